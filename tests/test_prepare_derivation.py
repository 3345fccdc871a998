"""Derived matrices and the payload: worked examples, the plain statement, and full builds."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st
from hypothesis.extra import numpy as hnp

from vantorel.backtest import _prepare as P, synthetic
from vantorel.backtest.synthetic_service import SyntheticDataService
from vantorel.exceptions import NetworkError

from support import prepare_reference as ref
from support.clients import use_client  # noqa: F401  (fixture)

Builder = P.GroupPreparedDataBuilder
NAN = np.nan
DATES = ["20200102", "20200103", "20200106", "20200107"]
CODES = ["000001", "000002", "000003"]
SOURCE_KEYS = ["rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open", "tick_vwap_price_935_1005",
               "tick_vwap_price_925_1000", "split_coefficient_to", "rq_get_dividend", "rq_is_suspended"]


def _frame(values, index=DATES, columns=CODES) -> pd.DataFrame:
    return pd.DataFrame(np.asarray(values, dtype=float), index=pd.Index(index, dtype="str"),
                        columns=pd.Index(columns, dtype="str"))


def _source(**overrides) -> dict:
    base = np.arange(1.0, 13.0).reshape(4, 3) + 10
    out = {key: _frame(base) for key in SOURCE_KEYS}
    out["rq_is_suspended"] = _frame(np.ones((4, 3)))
    out["split_coefficient_to"] = _frame(np.full((4, 3), NAN))
    out["rq_get_dividend"] = _frame(np.full((4, 3), NAN))
    out["limit_up"] = _frame(np.full((4, 3), 99.0))
    out["limit_down"] = _frame(np.full((4, 3), 1.0))
    out.update(overrides)
    return out


def _derive(source):
    return Builder("20200101", "20200131")._build_from_matrices(source)


def assert_matches_reference(actual: dict, expected: dict) -> None:
    assert list(actual) == list(P.BASE_MATRIX_DTYPE)
    for key, frame in expected.items():
        got = actual[key]
        assert list(got.index) == list(frame.index), key
        assert list(got.columns) == list(frame.columns), key
        want = frame.to_numpy(dtype=bool if key in ("can_buy_stock", "cant_sell_stock") else float)
        if key in ("can_buy_stock", "cant_sell_stock"):
            assert (got.dtypes == np.dtype(bool)).all(), key
        np.testing.assert_array_equal(got.to_numpy(), want, err_msg=key)


def test_missing_close_blanks_split_and_dividend():
    close = _frame([[10, 11, 12], [NAN, 11, 12], [10, 11, NAN], [10, 11, 12]])
    split = _frame(np.full((4, 3), 20.0))
    dividend = _frame(np.full((4, 3), 5.0))
    out = _derive(_source(Close=close, split_coefficient_to=split, rq_get_dividend=dividend))
    valid = np.isfinite(close.to_numpy())
    np.testing.assert_array_equal(out["close_price_valid"].to_numpy(), np.where(valid, 1.0, NAN))
    np.testing.assert_array_equal(out["rq_get_split"].to_numpy(), np.where(valid, 2.0, NAN))
    np.testing.assert_array_equal(out["rq_get_dividend"].to_numpy(), np.where(valid, 5.0 / 10 * 0.9, NAN))
    assert np.isnan(out["prev_close"].iloc[0]).all()
    np.testing.assert_array_equal(out["prev_close"].iloc[1:].to_numpy(), close.iloc[:-1].to_numpy())
    for key in ("industry_matrix", "close_price", "open_price", "buy_price", "sell_price"):
        assert out[key] is not None
    assert out["close_price"] is close


def test_split_and_dividend_rows_cut_at_the_close_dates():
    close = _frame(np.ones((2, 3)), DATES[1:3])
    split = _frame(np.full((4, 3), 10.0))
    out = _derive(_source(Close=close, split_coefficient_to=split, rq_get_dividend=split))
    assert list(out["rq_get_split"].index) == DATES[1:]     # rows before the first close date dropped
    assert list(out["rq_get_dividend"].index) == DATES[:3]  # rows after the last close date dropped
    # outside the close's dates the valid mask is missing, so the values are too
    assert np.isnan(out["rq_get_split"].loc["20200107"]).all()


def test_forward_rank_cache():
    opens = _frame([[1, 1, 1], [10, 20, 30], [11, 22, 33], [12, 20, NAN]])
    out = _derive(_source(Open=opens))["forward_return_rank_cache"]
    # row 0: returns from row 1 to row 2 are all 0.1 (up to rounding): compare with the rule
    r0 = opens.iloc[2].to_numpy() / opens.iloc[1].to_numpy() - 1
    expected0 = pd.Series(r0).rank(method="average").to_numpy()
    np.testing.assert_array_equal(out.iloc[0].to_numpy(), expected0)
    # row 1: 12/11 - 1 > 20/22 - 1; a missing open leaves its stock out
    np.testing.assert_array_equal(out.iloc[1].to_numpy(), [2.0, 1.0, NAN])
    assert out.iloc[2:].isna().all().all()  # no later opens for the last two rows
    tied = _frame([[1, 1, 1], [2, 2, 2], [4, 4, 6], [1, 1, 1]])
    np.testing.assert_array_equal(_derive(_source(Open=tied))["forward_return_rank_cache"].iloc[0].to_numpy(),
                                  [1.5, 1.5, 3.0])
    # The module's function (the synthetic market's cache) is the derivation's, in either memory order.
    for frame in (opens, tied, pd.DataFrame(np.asfortranarray(opens.to_numpy()), opens.index, opens.columns),
                  tied.astype("int64")):
        pd.testing.assert_frame_equal(P._forward_return_rank(frame),
                                      _derive(_source(Open=frame))["forward_return_rank_cache"])
    with pytest.raises(TypeError, match=r"^Argument 'open_price' has incorrect type"):
        P._forward_return_rank(opens.to_numpy())


def test_limits_override_suspension_flag():
    price = _frame(np.full((4, 3), 10.0))
    at_up = _frame([[10, 11, 11]] * 4)
    at_down = _frame([[9, 10, 9]] * 4)
    susp = _frame([[1, 1, 0]] * 4)
    susp.iloc[3, 0] = NAN
    out = _derive(_source(tick_vwap_price_935_1005=price, tick_vwap_price_925_1000=price, limit_up=at_up,
                          limit_down=at_down, rq_is_suspended=susp))
    # can buy: only where the factor is 1 and the price is below the upper limit
    np.testing.assert_array_equal(out["can_buy_stock"].to_numpy(), [[False, True, False]] * 3 + [[False, True, False]])
    # cannot sell: at the lower limit whatever the factor says, and wherever it is not 1 (missing too)
    np.testing.assert_array_equal(out["cant_sell_stock"].to_numpy(), [[False, True, True]] * 3 + [[True, True, True]])


def test_suspension_labels_widen_the_flags():
    price = _frame(np.full((4, 2), 10.0), columns=CODES[:2])
    susp = _frame([[1, 1, 1]] * 4)
    out = _derive(_source(tick_vwap_price_935_1005=price, tick_vwap_price_925_1000=price, rq_is_suspended=susp))
    # a stock only the suspension factor knows is never tradable: no price, and S missing
    assert list(out["can_buy_stock"].columns) == CODES
    assert out["can_buy_stock"]["000003"].eq(False).all() and out["cant_sell_stock"]["000003"].eq(False).all()


def test_empty_close_drops_split_and_dividend_rows():
    empty = pd.DataFrame()
    out = _derive(_source(Close=empty, split_coefficient_to=_frame(np.ones((4, 3))),
                          rq_get_dividend=_frame(np.ones((4, 3)))))
    assert len(out["rq_get_split"]) == 0 and len(out["rq_get_dividend"]) == 0
    assert out["close_price_valid"].shape == (0, 0) and out["prev_close"].shape == (0, 0)


def test_missing_source_key_named():
    source = _source()
    del source["limit_up"]
    with pytest.raises(KeyError) as info:
        _derive(source)
    assert info.value.args == ("limit_up",)


_cells = st.sampled_from([NAN, 0.0, 1.0, 1.0, 2.0, 10.0, 10.5, np.inf, -1.0])


@st.composite
def _misaligned_source(draw):
    out = {}
    for key in SOURCE_KEYS:
        rows = draw(st.lists(st.sampled_from(DATES), unique=True, min_size=0 if key != "Close" else 1, max_size=4))
        cols = draw(st.lists(st.sampled_from(CODES), unique=True, min_size=1, max_size=3))
        values = draw(hnp.arrays(np.float64, (len(rows), len(cols)), elements=_cells))
        out[key] = _frame(values, sorted(rows), sorted(cols))
    return out


@given(_misaligned_source())
def test_derivation_matches_the_plain_statement(source):
    assert_matches_reference(_derive(source), ref.build_from_matrices(source))


# --------------------------------------------------------------------------
# payloads and full builds


@pytest.fixture(scope="module")
def market():
    return synthetic.make_market(60, 40, seed=11)


def test_payload_layout_and_time_keys(market, use_client):
    use_client(SyntheticDataService(market))
    builder = Builder(market.dates[0], market.dates[-1])
    full, incremental = builder.build(), builder.build_incremental()
    for payload, key, other in [(full, "created_at", "updated_at"), (incremental, "updated_at", "created_at")]:
        assert list(payload) == ["version", "meta", "data"] and payload["version"] == 1
        meta = payload["meta"]
        assert list(meta) == ["start_date", "end_date", "ddb_start", "ddb_end", "component_names",
                              "component_dataset_keys", key] and other not in meta
        assert (meta["start_date"], meta["end_date"]) == (market.dates[0], market.dates[-1])
        assert meta["component_names"] == P.COMPONENT_FACTOR_NAMES
        keys = [P.component_dataset_key(n) for n in P.COMPONENT_FACTOR_NAMES]
        assert list(meta["component_dataset_keys"].values()) == keys
        assert list(payload["data"]) == list(P.BASE_MATRIX_DTYPE) + keys + ["benchmark_dict"]
        assert list(payload["data"]["benchmark_dict"]) == ["000852", "000300", "000905"]
    for key in full["data"]:
        if key != "benchmark_dict":
            pd.testing.assert_frame_equal(full["data"][key], incremental["data"][key], check_exact=True)


def test_assemble_leaves_the_callers_dictionary(market):
    builder = Builder(market.dates[0], market.dates[-1])
    data = {"close_price": market.frames["close_price"]}
    masks = {"b": market.components[synthetic.COMPONENT_NAMES[0]], "a": market.components[synthetic.COMPONENT_NAMES[1]]}
    payload = builder._assemble_payload(data, masks, {}, ["a", "b"], "updated_at")
    assert list(data) == ["close_price"]
    assert list(payload["data"]) == ["close_price", "component__a", "component__b", "benchmark_dict"]


def test_missing_components_abort_the_build(market, use_client):
    names = P.COMPONENT_FACTOR_NAMES
    use_client(SyntheticDataService(market, fail=lambda method, what: what in (names[1], names[3])))
    with pytest.raises(ValueError) as info:
        Builder(market.dates[0], market.dates[-1]).build()
    assert str(info.value) == f"成分股矩阵缺失，无法精确生成二进制缓存: ['{names[1]}', '{names[3]}']"


def test_required_factor_failure_propagates(market, use_client):
    use_client(SyntheticDataService(market, fail=lambda method, what: what == "Open"))
    with pytest.raises(NetworkError):
        Builder(market.dates[0], market.dates[-1]).build()


def test_incremental_build_uses_one_batch_query(market, use_client):
    client = use_client(SyntheticDataService(market))
    Builder(market.dates[10], market.dates[20]).build_incremental()
    factor_calls = [c for c in client.calls if c[0] == "get_factors"]
    assert len(factor_calls[0][1]) == 15 and factor_calls[0][2:] == (
        f"{market.dates[10][:4]}-{market.dates[10][4:6]}-{market.dates[10][6:]}",
        f"{market.dates[20][:4]}-{market.dates[20][4:6]}-{market.dates[20][6:]}")
    # factors without a single record in the range (no split, no dividend) are asked for again
    assert all(isinstance(c[1], str) for c in factor_calls[1:])
    client.calls.clear()
    client.fail = lambda method, what: not isinstance(what, str) and method == "get_factors"
    Builder(market.dates[10], market.dates[20]).build_incremental()
    assert len([c for c in client.calls if c[0] == "get_factors"]) == 1 + 15


@pytest.mark.parametrize(
    "form",
    [
        dict(),
        dict(form="wide", date_column="DataDate", date_kind="text"),
        dict(value_column="x", factor_column="factor_name", date_kind="int", index_value="close"),
    ],
    ids=["narrow", "wide", "narrow-int-close"],
)
def test_build_reproduces_the_market(market, use_client, form):
    use_client(SyntheticDataService(market, **form))
    data = Builder(market.dates[0], market.dates[-1]).build()["data"]
    f = market.frames
    for key in ("close_price", "open_price", "buy_price", "sell_price", "prev_close", "forward_return_rank_cache",
                "can_buy_stock", "cant_sell_stock"):
        np.testing.assert_array_equal(data[key].to_numpy(), f[key].to_numpy(), err_msg=key)
        assert list(data[key].index) == market.dates and list(data[key].columns) == market.codes
    for key in ("rq_get_split", "rq_get_dividend"):
        np.testing.assert_allclose(data[key].to_numpy(), f[key].to_numpy(), rtol=1e-14, err_msg=key)
    # the close is quoted on suspended days too, so only listing makes it missing
    np.testing.assert_array_equal(data["close_price_valid"].to_numpy(),
                                  np.where(np.isfinite(f["close_price"].to_numpy()), 1.0, NAN))
    for name in synthetic.COMPONENT_NAMES:
        np.testing.assert_array_equal(data[P.component_dataset_key(name)].to_numpy(),
                                      market.components[name].to_numpy())
    for name, series in market.benchmark_dict.items():
        got = data["benchmark_dict"][name]
        if form.get("index_value") == "close":
            series = series.iloc[1:]  # the first date has no previous close
        assert list(got.index) == list(series.index)
        np.testing.assert_allclose(got.to_numpy(), series.to_numpy(), rtol=1e-9, atol=1e-15)
