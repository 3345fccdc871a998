"""The hand-written type stubs of the extensions agree with the running modules.

Every function and method a stub declares is compared with the signature the
module reports (nanobind's ``__nb_signature__``; ``inspect.signature`` for a
plain Python callable), and every function the module defines must appear in
its stub. Compared: parameter names, their kinds (positional, keyword-only,
``*args``, ``**kwargs``) and order, which parameters have defaults and the
default values, and the annotations of parameters and results.

Annotations are compared after this normalisation, applied to both sides:

- a dotted name keeps its last part (``pandas.DataFrame``, ``pd.DataFrame``
  and ``DataFrame`` are one type; likewise ``os.PathLike``,
  ``typing.Iterable`` and ``collections.abc.Iterable``);
- a stub's type alias (``PathLike: TypeAlias = str | os.PathLike[str]``)
  stands for what it aliases;
- ``Optional[X]`` is ``X | None``; two unions agree when every member of
  each has a partner in the other;
- ``Any`` and ``object`` are one type;
- where the module names a bare container or protocol (``dict``, ``list``,
  ``tuple``, ``PathLike``, ``Iterable``) the stub may give its parameters
  (``dict[str, Any]``): the binding then converts no further, and the stub
  says what callers pass or receive;
- where the module says ``object`` (an argument the binding takes untyped)
  the stub may name the type the function expects.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import re
from pathlib import Path

import pytest

from vantorel.backtest import BacktestService, synthetic

from support.service import bundle, market, store_dir  # noqa: F401  (fixtures)

STUB_DIR = Path(__file__).resolve().parents[1] / "src" / "vantorel" / "backtest"
MODULES = ["_core", "_weightsim", "_store", "_prepare", "_service"]
BARE_GENERICS = {"dict", "list", "tuple", "PathLike", "Iterable", "Sequence", "Mapping", "Callable", "type"}


# --------------------------------------------------------------------------
# annotations
# --------------------------------------------------------------------------


def _name(node: ast.expr) -> str:
    if isinstance(node, ast.Attribute):
        return node.attr
    if isinstance(node, ast.Name):
        return "object" if node.id == "Any" else node.id
    if isinstance(node, ast.Constant):
        return "None" if node.value is None else repr(node.value)
    return ast.unparse(node)


def norm(node: ast.expr | None, aliases: dict[str, ast.expr] | None = None):
    """A comparable form of an annotation: a name, (name, args) or a frozenset union. Names in
    `aliases` (a stub's `X: TypeAlias = ...`) stand for what they alias."""
    if node is None:
        return None
    if aliases and isinstance(node, ast.Name) and node.id in aliases:
        return norm(aliases[node.id], aliases)
    if aliases:
        node = _expand(node, aliases)
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        members = set()
        for side in (node.left, node.right):
            n = norm(side)
            members |= n if isinstance(n, frozenset) else {n}
        return frozenset(members)
    if isinstance(node, ast.Subscript):
        base = _name(node.value)
        items = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if base == "Optional":
            inner = norm(items[0])
            return frozenset((inner if isinstance(inner, frozenset) else {inner}) | {"None"})
        if base == "Union":
            members = set()
            for item in items:
                n = norm(item)
                members |= n if isinstance(n, frozenset) else {n}
            return frozenset(members)
        return (base, tuple(norm(i) for i in items))
    if isinstance(node, ast.List):
        return ("[]", tuple(norm(e) for e in node.elts))
    return _name(node)


def _expand(node: ast.expr, aliases: dict[str, ast.expr]) -> ast.expr:
    class Expand(ast.NodeTransformer):
        def visit_Name(self, n):
            return aliases.get(n.id, n)

    return Expand().visit(ast.parse(ast.unparse(node), mode="eval")).body


def _origin(n):
    return n[0] if isinstance(n, tuple) else n


def annotations_agree(runtime, stub) -> bool:
    if runtime is None or stub is None:
        return True  # one side does not annotate (a plain Python callable, say)
    if runtime == stub or runtime == "object":
        return True
    if isinstance(runtime, frozenset) or isinstance(stub, frozenset):
        # every member on each side has a partner on the other (`object` in the module takes any)
        r = runtime if isinstance(runtime, frozenset) else frozenset({runtime})
        s = stub if isinstance(stub, frozenset) else frozenset({stub})
        return (all(any(annotations_agree(m, n) for n in s) for m in r if m != "object")
                and all(any(annotations_agree(m, n) for m in r) for n in s))
    if isinstance(runtime, str) and runtime in BARE_GENERICS and _origin(stub) == runtime:
        return True
    if isinstance(runtime, tuple) and isinstance(stub, tuple):
        return (runtime[0] == stub[0] and len(runtime[1]) == len(stub[1])
                and all(annotations_agree(a, b) for a, b in zip(runtime[1], stub[1], strict=True)))
    return False


# --------------------------------------------------------------------------
# signatures
# --------------------------------------------------------------------------

_NO_DEFAULT = object()


class Param:
    def __init__(self, name, kind, annotation=None, default=_NO_DEFAULT):
        self.name, self.kind, self.annotation, self.default = name, kind, annotation, default

    def __repr__(self):
        return f"{self.kind} {self.name}: {self.annotation} = {self.default}"


def _default_value(node: ast.expr | None):
    if node is None:
        return _NO_DEFAULT
    try:
        value = ast.literal_eval(node)
    except ValueError:
        return ast.unparse(node)  # compared as written, e.g. float('nan')
    return value


def params_of(fn: ast.FunctionDef, aliases: dict[str, ast.expr] | None = None) -> tuple[list[Param], object]:
    def norm_(node):
        return norm(node, aliases)

    a = fn.args
    params = []
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for arg, d in zip(positional, defaults, strict=True):
        params.append(Param(arg.arg, "positional", norm_(arg.annotation), _default_value(d)))
    if a.vararg:
        params.append(Param(a.vararg.arg, "*", norm_(a.vararg.annotation)))
    for arg, d in zip(a.kwonlyargs, a.kw_defaults, strict=True):
        params.append(Param(arg.arg, "keyword", norm_(arg.annotation), _default_value(d)))
    if a.kwarg:
        params.append(Param(a.kwarg.arg, "**", norm_(a.kwarg.annotation)))
    return params, norm_(fn.returns)


def runtime_signatures(obj) -> list[tuple[list[Param], object]]:
    """The signatures a compiled function reports, one per overload; [] when it reports none."""
    nb = getattr(obj, "__nb_signature__", None)
    if nb is None:
        nb = getattr(getattr(obj, "__func__", None), "__nb_signature__", None)
    if nb is not None:
        out = []
        for text, _doc, defaults in nb:
            # nanobind writes defaults it cannot spell as \0, \1, ... and hands their values over
            text = re.sub(r"\\(\d+)", lambda m, d=defaults: repr(d[int(m.group(1))]), text)
            tree = ast.parse(text + ": ...")
            out.append(params_of(tree.body[0]))
        return out
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return []
    kinds = {inspect.Parameter.POSITIONAL_ONLY: "positional", inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional",
             inspect.Parameter.KEYWORD_ONLY: "keyword", inspect.Parameter.VAR_POSITIONAL: "*",
             inspect.Parameter.VAR_KEYWORD: "**"}
    params = [Param(p.name, kinds[p.kind], None,
                    _NO_DEFAULT if p.default is inspect.Parameter.empty else p.default)
              for p in sig.parameters.values()]
    return [(params, None)]


def _defaults_agree(runtime, stub) -> bool:
    if (runtime is _NO_DEFAULT) != (stub is _NO_DEFAULT):
        return False
    if stub is Ellipsis or runtime is _NO_DEFAULT:
        return True  # `= ...` in a stub says only that there is a default
    if isinstance(runtime, float) and isinstance(stub, float) and runtime != runtime:
        return stub != stub
    return runtime == stub and type(runtime) is type(stub)


def differences(runtime, stub, *, is_method: bool) -> list[str]:
    (r_params, r_ret), (s_params, s_ret) = runtime, stub
    if is_method and s_params and s_params[0].name in ("self", "cls") and (
            not r_params or r_params[0].name not in ("self", "cls")):
        s_params = s_params[1:]  # a bound method of a plain Python class reports no self
    problems = []
    if [(p.name, p.kind) for p in r_params] != [(p.name, p.kind) for p in s_params]:
        return [f"parameters {[(p.name, p.kind) for p in r_params]} in the module, "
                f"{[(p.name, p.kind) for p in s_params]} in the stub"]
    for r, s in zip(r_params, s_params, strict=True):
        if not _defaults_agree(r.default, s.default):
            problems.append(f"default of {r.name}: {r.default!r} in the module, {s.default!r} in the stub")
        if not annotations_agree(r.annotation, s.annotation):
            problems.append(f"type of {r.name}: {r.annotation} in the module, {s.annotation} in the stub")
    if not annotations_agree(r_ret, s_ret):
        problems.append(f"result: {r_ret} in the module, {s_ret} in the stub")
    return problems


# --------------------------------------------------------------------------
# the stubs
# --------------------------------------------------------------------------


def stub_aliases(module: str) -> dict[str, ast.expr]:
    """The type aliases a stub defines (`PathLike: TypeAlias = str | os.PathLike[str]`)."""
    tree = ast.parse((STUB_DIR / f"{module}.pyi").read_text(encoding="utf-8"))
    return {node.target.id: node.value for node in tree.body
            if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
            and node.value is not None and _name(node.annotation) == "TypeAlias"}


def stub_functions(module: str):
    """(qualified name, FunctionDef, is_method) for every function and method of a stub."""
    tree = ast.parse((STUB_DIR / f"{module}.pyi").read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node, False
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    yield f"{node.name}.{member.name}", member, True


def _lookup(mod, qualname: str):
    obj = mod
    for part in qualname.split("."):
        obj = inspect.getattr_static(obj, part, None) if inspect.isclass(obj) else getattr(obj, part, None)
        if obj is None:
            return None
        if isinstance(obj, (staticmethod, classmethod)):
            obj = obj.__func__
    return obj


def _is_property(fn: ast.FunctionDef) -> bool:
    return any(_name(d) in ("property", "setter") for d in fn.decorator_list)


@pytest.mark.parametrize("module", MODULES)
def test_every_stub_signature_matches_the_module(module):
    mod = importlib.import_module(f"vantorel.backtest.{module}")
    aliases = stub_aliases(module)
    problems = []
    for qualname, fn, is_method in stub_functions(module):
        if _is_property(fn):
            continue
        obj = _lookup(mod, qualname)
        if obj is None:
            problems.append(f"{qualname}: in the stub, not in the module")
            continue
        runtime = runtime_signatures(obj)
        if not runtime:
            continue  # a class without a reported signature (a dataclass made in Python, say)
        stub = params_of(fn, aliases)
        found = [differences(r, stub, is_method=is_method) for r in runtime]
        if all(found):
            problems += [f"{qualname}: {p}" for p in found[0]]
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("module", MODULES)
def test_every_compiled_function_is_in_the_stub(module):
    mod = importlib.import_module(f"vantorel.backtest.{module}")
    declared = {name for name, _, _ in stub_functions(module)}
    tree = ast.parse((STUB_DIR / f"{module}.pyi").read_text(encoding="utf-8"))
    declared |= {t.id for node in tree.body if isinstance(node, ast.AnnAssign) for t in [node.target]}
    declared |= {a.asname or a.name for node in tree.body if isinstance(node, ast.ImportFrom) for a in node.names}
    missing = []
    for name, obj in vars(mod).items():
        if hasattr(obj, "__nb_signature__") and name not in declared:
            missing.append(name)
        elif inspect.isclass(obj) and obj.__module__ == mod.__name__ and name in declared:
            for attr, member in vars(obj).items():
                fn = getattr(member, "__func__", member)
                if hasattr(fn, "__nb_signature__") and f"{name}.{attr}" not in declared \
                        and attr not in ("__new__",):
                    missing.append(f"{name}.{attr}")
    assert not missing, f"in {module}, not in its stub: {missing}"


@pytest.mark.parametrize("benchmark", [["000300", "000852"], None])
def test_strategy_backtest_takes_one_benchmark_name(bundle, benchmark):  # noqa: F811
    # as its stub says (benchmark: str): a list or None is refused, naming the argument
    dates = market().dates
    weights = synthetic.momentum_weights(market(), top_n=5, lookback=5)
    with pytest.raises(TypeError, match=r"^Argument 'benchmark_names' has incorrect type \(expected str"):
        BacktestService(None).backtest_strategy(weights, bundle, dates[0], dates[-1], None, "m",
                                                benchmark=benchmark, plot=None)
