"""Where the items of a batch run: a pool of threads sharing the bundle, or tasks on a Ray cluster.

Both call ``on_done(item, outcome)`` in this thread as items finish, with ``outcome`` the pair
``evaluate`` returns or the exception the item raised.
"""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor, as_completed
from typing import Any

from .items import Item, evaluate

__all__ = ["RAY_HINT", "require_ray", "run_on_ray", "run_on_threads"]

RAY_HINT = "engine='ray' needs Ray: pip install vantorel-backtest[ray]"
# A task whose worker dies is run once more; a second death reports the item as failed.
RAY_RETRIES = 1


def run_on_threads(items: list[Item], job: dict[str, Any], workers: int, on_done: Callable) -> None:
    """Items on ``workers`` threads. A function item computes its table in the thread that backtests it,
    so at most ``workers`` computed tables are alive at a time."""
    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="vantorel-batch") as pool:
        futures = {pool.submit(evaluate, item=item, **job): item for item in items}
        for future in as_completed(futures):
            error = future.exception()
            on_done(futures[future], error if error is not None else future.result())


def require_ray():
    try:
        import ray
    except ImportError as exc:
        raise ImportError(RAY_HINT) from exc
    return ray


def run_on_ray(items: list[Item], job: dict[str, Any], workers: int | None, address: str | None,
               on_done: Callable) -> None:
    """One Ray task per item. The bundle is put into the object store once and every task reads it from
    there without a copy (its arrays arrive read-only). Connects to ``address`` or to the Ray instance
    already running in this process, else starts a local one of ``workers`` CPUs for the batch."""
    ray = require_ray()
    started = False
    if not ray.is_initialized():
        ray.init(address=address, num_cpus=workers if address is None else None, include_dashboard=False,
                 log_to_driver=False, configure_logging=False)
        started = True
    try:
        data = ray.put(job["data"])
        remote = ray.remote(num_cpus=1, max_retries=RAY_RETRIES)(_remote_evaluate)
        rest = {k: v for k, v in job.items() if k != "data"}
        pending = {remote.remote(item, data, rest): item for item in items}
        del data  # the tasks hold the bundle now; it leaves the object store with the last of them
        waiting = list(pending)
        while waiting:
            done, waiting = ray.wait(waiting, num_returns=1)
            for ref in done:
                try:
                    outcome = ray.get(ref)
                except Exception as exc:  # the item's own error, or its worker's death
                    outcome = _cause(ray, exc)
                on_done(pending.pop(ref), outcome)
    finally:
        if started:
            ray.shutdown()


def _remote_evaluate(item: Item, data, job: dict[str, Any]):
    return evaluate(item=item, data=data, **job)


def _cause(ray, exc: Exception) -> BaseException:
    """The exception an item raised inside its task (Ray wraps it), else Ray's own error (a worker that
    died twice, say)."""
    if isinstance(exc, ray.exceptions.RayTaskError) and isinstance(getattr(exc, "cause", None), BaseException):
        return exc.cause
    return exc
