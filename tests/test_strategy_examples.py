"""Worked examples of the strategy engine, small enough to check by hand.

Every example runs against the compiled engine and against the plain
reference of ``support.reference``, which keeps the reference honest too.
"""

from __future__ import annotations

import dataclasses
import math
import statistics

import numpy as np
import pandas as pd
import pytest

from support.reference import EMPTY_STATS_KEYS, REFERENCE, STATS_KEYS, SUMMARY_COLUMNS

NAN = float("nan")
D = ["20240102", "20240103", "20240104", "20240105", "20240108", "20240109", "20240110", "20240111"]
A, B, C, E = "600000", "000001", "300750", "601318"


def market(dates, codes, **given):
    """The eight market Frames of a quiet market: every price 10, no split,
    no dividend, everything tradable.  ``given`` replaces any of them, either
    by a full array / scalar or by a dict {(date, code): value} of cells."""
    shape = (len(dates), len(codes))
    defaults = {
        "can_buy_stock": True, "cant_sell_stock": False, "split_factor": NAN, "dividend_factor": NAN,
        "close_price": 10.0, "prev_close": 10.0, "buy_price": 10.0, "sell_price": 10.0,
    }
    out = {}
    for name, default in defaults.items():
        dtype = bool if isinstance(default, bool) else np.float64
        value = given.get(name, default)
        if isinstance(value, dict):
            frame = pd.DataFrame(np.full(shape, default, dtype=dtype), index=dates, columns=codes)
            for (date, code), cell in value.items():
                frame.loc[date, code] = cell
        elif isinstance(value, pd.DataFrame):
            frame = value
        else:
            frame = pd.DataFrame(np.broadcast_to(np.asarray(value, dtype=dtype), shape).copy(),
                                 index=dates, columns=codes)
        out[name] = frame
    return out


def weights(dates, rows, codes):
    return pd.DataFrame(np.array(rows, dtype=np.float64), index=dates, columns=codes)


def vwap(impl, w, m, **kw):
    return impl.calc_strategy_vwap_daily_return(w, **m, **kw)


# A million in capital and lots of 100 shares at a price of 10 make a weight
# of 0.5 a target of 500 lots = 50 000 shares; no fees unless a test asks.
SMALL = dict(total_money=1e6, fee=0.0, rule_fee=0.0, lot_size=100)


# --------------------------------------------------------------------------
# weight smoothing
# --------------------------------------------------------------------------


class TestSmoothing:
    @pytest.mark.parametrize("window", [0, 1, -3])
    def test_window_of_one_or_less_returns_the_argument_itself(self, impl, window):
        w = weights(D[:3], [[0.1, NAN], [0.0, 0.2], [0.3, 0.3]], [A, B])
        assert impl._smooth_strategy_weights(w, window) is w

    def test_rolling_mean_counts_missing_as_zero_and_drops_zero_means(self, impl):
        w = weights(D[:4], [[0.2, 0.1], [NAN, -0.1], [0.4, 0.1], [0.4, NAN]], [A, B])
        got = impl._smooth_strategy_weights(w, 2)
        expected = pd.DataFrame({A: [0.1, 0.2, 0.4], B: [NAN, NAN, 0.05]}, index=D[1:4])
        pd.testing.assert_frame_equal(got, expected, check_exact=True, check_index_type=False,
                                      check_column_type=False)

    def test_window_sum_runs_oldest_to_newest(self, impl):
        # 0.1 + 0.1 + 0.1 is 0.30000000000000004 when summed in order
        w = weights(D[:3], [[0.1], [0.1], [0.1]], [A])
        got = impl._smooth_strategy_weights(w, 3)
        assert got.index.tolist() == [D[2]]
        assert got.iloc[0, 0] == ((0.1 + 0.1) + 0.1) / 3

    def test_all_zero_window_and_infinities(self, impl):
        w = weights(D[:4], [[np.inf, 0.0], [-np.inf, 0.0], [1.0, 0.0], [1.0, 0.0]], [A, B])
        got = impl._smooth_strategy_weights(w, 2)
        # on D1 the mean of A is NaN (inf + -inf) but that of B is 0: the row
        # is kept, and only then do the zero means of B become NaN
        assert got.index.tolist() == D[1:4]
        assert np.isnan(got.loc[D[1], A]) and got.loc[D[2], A] == -np.inf and got.loc[D[3], A] == 1.0
        assert got[B].isna().all()

    def test_row_whose_every_mean_is_missing_is_dropped(self, impl):
        w = weights(D[:3], [[np.inf], [-np.inf], [0.5]], [A])
        got = impl._smooth_strategy_weights(w, 2)
        assert got.index.tolist() == [D[2]]
        assert got.iloc[0, 0] == -np.inf

    def test_window_longer_than_the_frame_leaves_no_rows(self, impl):
        w = weights(D[:3], [[0.5, 0.5]] * 3, [A, B])
        got = impl._smooth_strategy_weights(w, 4)
        assert got.shape == (0, 2) and got.columns.tolist() == [A, B]
        returns = vwap(impl, got, market(D[:3], [A, B]))
        assert len(returns) == 0 and returns.dtype == np.float64


# --------------------------------------------------------------------------
# the VWAP simulation
# --------------------------------------------------------------------------


class TestSimulation:
    def test_equal_weights_on_four_stocks(self, impl):
        codes = [A, B, C, E]
        buy = [10.1, 10.0, 9.9, 10.2]
        close = [10.3, 9.8, 10.0, 10.5]
        w = weights(D[:2], [[0.25] * 4, [0.25] * 4], codes)
        m = market(D[:2], codes, buy_price=[[10.0] * 4, buy], close_price=[[10.0] * 4, close])
        got = vwap(impl, w, m)
        # floor(1e8 * 0.25 / (10 * 200)) * 200 = 2 500 000 shares of each
        expected = sum(2_500_000 * (c - b * 1.0001) for c, b in zip(close, buy, strict=True)) / 1e8
        assert got.index.tolist() == [D[1]]
        assert got.name is None and got.dtype == np.float64
        assert got.iloc[0] == pytest.approx(expected, rel=1e-12)

    def test_a_single_row_of_weights_trades_nothing(self, impl):
        got = vwap(impl, weights(D[:1], [[0.5, 0.5]], [A, B]), market(D[:2], [A, B]))
        assert len(got) == 0 and got.dtype == np.float64

    def test_a_date_trades_only_after_a_row_with_some_weight(self, impl):
        w = weights(D[:4], [[0.5, NAN], [NAN, NAN], [0.5, 0.5], [NAN, 0.1]], [A, B])
        got = vwap(impl, w, market(D[:4], [A, B]))
        assert got.index.tolist() == [D[1], D[3]]

    def test_blocked_sale_is_retried_until_it_goes_through(self, impl):
        # A is a flat stock that only keeps the dates alive; B is bought on
        # D1, cannot be sold on D2 and is sold on D3.
        w = weights(D[:5], [[0.5, 0.5], [0.5, NAN], [0.5, NAN], [0.5, NAN], [0.5, NAN]], [A, B])
        m = market(
            D[:5], [A, B],
            prev_close={(D[1], B): 10.0, (D[2], B): 11.0, (D[3], B): 12.0, (D[4], B): 13.0},
            close_price={(D[1], B): 11.0, (D[2], B): 12.0, (D[3], B): 13.0, (D[4], B): 20.0},
            sell_price={(D[3], B): 12.5},
            cant_sell_stock={(D[2], B): True},
        )
        got = vwap(impl, w, m, **SMALL)
        assert got.index.tolist() == D[1:5]
        np.testing.assert_allclose(got.to_numpy(), [0.05, 0.05, 0.025, 0.0], rtol=1e-12, atol=1e-15)

    def test_blocked_purchase_is_retried_in_full_next_day(self, impl):
        w = weights(D[:3], [[0.5, 0.5], [0.5, 0.5], [0.5, 0.5]], [A, B])
        m = market(
            D[:3], [A, B],
            close_price={(D[1], B): 12.0, (D[2], B): 11.0},
            buy_price={(D[2], B): 10.5},
            can_buy_stock={(D[1], B): False},
        )
        got = vwap(impl, w, m, **SMALL)
        np.testing.assert_allclose(got.to_numpy(), [0.0, 0.025], rtol=1e-12, atol=1e-15)

    def test_split_and_dividends(self, impl):
        # D1: bought (a dividend that day is not for the new shares);
        # D2: a 2-for-1 split halves the close: zero result, plus the
        #     dividend on the 50 000 shares held overnight;
        # D3: sold at the split-adjusted price, still earning that day's
        #     dividend on the shares held at the previous close.
        w = weights(D[:4], [[0.5, 0.5], [0.5, 0.5], [0.5, NAN], [0.5, NAN]], [A, B])
        m = market(
            D[:4], [A, B],
            dividend_factor={(D[1], B): 0.7, (D[2], B): 0.3, (D[3], B): 0.2},
            split_factor={(D[2], B): 2.0},
            close_price={(D[2], B): 5.0, (D[3], B): 5.0},
            prev_close={(D[3], B): 5.0},
            sell_price={(D[3], B): 5.0},
        )
        got = vwap(impl, w, m, **SMALL)
        np.testing.assert_allclose(got.to_numpy(), [0.0, 0.015, 0.01], rtol=1e-12, atol=1e-15)

    def test_split_scales_a_sale_too(self, impl):
        # sold on the split day: 50 000 * (2 * 5.5 - 10) = 50 000
        w = weights(D[:3], [[0.5, 0.5], [0.5, NAN], [0.5, NAN]], [A, B])
        m = market(D[:3], [A, B], split_factor={(D[2], B): 2.0}, sell_price={(D[2], B): 5.5},
                   close_price={(D[2], B): 5.0})
        got = vwap(impl, w, m, **SMALL)
        np.testing.assert_allclose(got.to_numpy(), [0.0, 0.05], rtol=1e-12, atol=1e-15)

    def test_missing_prices(self, impl):
        # D1: B bought at a missing price: the purchase counts nothing but
        #     the shares are held;  D2: they earn 11 - 10 each;
        # D3: a missing previous close makes the target zero, the sale at an
        #     unknown result counts nothing;  D4: B is gone, its jump is not ours.
        w = weights(D[:5], [[0.5, 0.5], [0.5, 0.5], [0.5, 0.5], [0.5, NAN], [0.5, NAN]], [A, B])
        m = market(
            D[:5], [A, B],
            buy_price={(D[1], B): NAN},
            close_price={(D[1], B): 12.0, (D[2], B): 11.0, (D[3], B): 14.0, (D[4], B): 20.0},
            prev_close={(D[3], B): NAN},
            sell_price={(D[3], B): 14.0},
        )
        got = vwap(impl, w, m, **SMALL)
        np.testing.assert_allclose(got.to_numpy(), [0.0, 0.05, 0.0, 0.0], rtol=1e-12, atol=1e-15)

    def test_non_positive_previous_close_gives_a_zero_target(self, impl):
        w = weights(D[:3], [[0.5, 0.5]] * 3, [A, B])
        m = market(D[:3], [A, B], prev_close={(D[1], B): 0.0, (D[2], B): -1.0},
                   close_price={(D[1], B): 12.0, (D[2], B): 13.0})
        got = vwap(impl, w, m, **SMALL)
        np.testing.assert_array_equal(got.to_numpy(), [0.0, 0.0])

    def test_negative_weights_sell_short(self, impl):
        # D1: short 50 000 at 9.5, marked at a close of 9 (the short book is
        #     held from the previous close: sell 50 000 * (9.5 - 10) and
        #     hold -50 000 * (9 - 10));  D2: -50 000 * (9 - 10) again.
        w = weights(D[:3], [[0.5, -0.5]] * 3, [A, B])
        m = market(D[:3], [A, B], sell_price={(D[1], B): 9.5}, close_price={(D[1], B): 9.0, (D[2], B): 9.0})
        got = vwap(impl, w, m, **SMALL)
        np.testing.assert_allclose(got.to_numpy(), [0.025, 0.05], rtol=1e-12, atol=1e-15)

    def test_targets_round_down_to_whole_lots(self, impl):
        # 1e6 * 0.00123 / (10 * 100) = 1.23 lots -> 1 lot long, -2 lots short
        w = weights(D[:2], [[0.00123, -0.00123]] * 2, [A, B])
        m = market(D[:2], [A, B], close_price=11.0)
        got = vwap(impl, w, m, **SMALL)
        assert got.iloc[0] == pytest.approx((100 * 1.0 - 200 * 1.0) / 1e6, rel=1e-12)

    def test_fees_and_stamp_duty(self, impl):
        w = weights(D[:3], [[0.5, 0.5], [0.5, NAN], [0.5, NAN]], [A, B])
        m = market(D[:3], [A, B], buy_price={(D[1], B): 10.0}, close_price={(D[1], B): 10.0},
                   sell_price={(D[2], B): 11.0})
        got = vwap(impl, w, m, total_money=1e6, fee=0.001, rule_fee=0.002, lot_size=100)
        # A pays the commission on its purchase too: 50 000 * 10 * 0.001 each
        buy_cost = -50_000 * 10.0 * 0.001
        sale = 50_000 * (11.0 * ((1.0 - 0.001) - 0.002) - 10.0)
        np.testing.assert_allclose(got.to_numpy(), [2 * buy_cost / 1e6, sale / 1e6], rtol=1e-12)

    def test_default_fees_and_lot_size(self, impl):
        w = weights(D[:2], [[0.5], [0.5]], [A])
        m = market(D[:2], [A], buy_price=10.0, close_price=10.0)
        got = vwap(impl, w, m)
        # floor(1e8 * 0.5 / 2000) * 200 = 5 000 000 shares, commission 1e-4
        assert got.iloc[0] == pytest.approx(-5_000_000 * 10.0 * 0.0001 / 1e8, rel=1e-12)

    def test_feasibility_frames_that_lack_cells_block_the_trade(self, impl):
        # can_buy_stock knows nothing of B: never bought.  cant_sell_stock
        # lacks D2: A cannot be sold that day and is sold on D3 instead.
        w = weights(D[:4], [[0.5, 0.5], [NAN, 0.5], [NAN, 0.5], [NAN, 0.5]], [A, B])
        m = market(D[:4], [A, B], close_price={(D[1], B): 11.0, (D[2], A): 11.0, (D[3], A): 12.0},
                   prev_close={(D[3], A): 11.0}, sell_price={(D[3], A): 11.5})
        m["can_buy_stock"] = m["can_buy_stock"][[A]]
        m["cant_sell_stock"] = m["cant_sell_stock"].drop(index=D[2])
        got = vwap(impl, w, m, **SMALL)
        np.testing.assert_allclose(got.to_numpy(), [0.0, 0.05, 0.025], rtol=1e-12, atol=1e-15)

    @pytest.mark.parametrize("cell, bought", [(1, True), (2, True), (-1, True), (0, False),
                                              (1.0, True), (0.5, True), (0.0, False), (NAN, False)])
    def test_feasibility_values_other_than_booleans(self, impl, cell, bought):
        w = weights(D[:2], [[0.5], [0.5]], [A])
        m = market(D[:2], [A], close_price={(D[1], A): 11.0})
        dtype = np.int64 if isinstance(cell, int) else np.float64
        m["can_buy_stock"] = pd.DataFrame(np.array([[cell], [cell]], dtype=dtype), index=D[:2], columns=[A])
        got = vwap(impl, w, m, **SMALL)
        assert got.iloc[0] == (0.05 if bought else 0.0)

    def test_nan_in_sell_restriction_blocks_the_sale(self, impl):
        w = weights(D[:3], [[0.5, 0.5], [0.5, NAN], [0.5, NAN]], [A, B])
        m = market(D[:3], [A, B], close_price={(D[2], B): 12.0})
        m["cant_sell_stock"] = pd.DataFrame([[0.0, 0.0], [0.0, 0.0], [0.0, NAN]], index=D[:3], columns=[A, B])
        got = vwap(impl, w, m, **SMALL)
        np.testing.assert_allclose(got.to_numpy(), [0.0, 0.1], rtol=1e-12, atol=1e-15)

    def test_market_data_is_read_by_label(self, impl):
        # the same market with its codes in another order and an extra date
        w = weights(D[:3], [[0.3, 0.6]] * 3, [A, B])
        m = market(D[:3], [A, B], close_price=[[10.0, 10.0], [10.5, 9.0], [11.0, 9.5]],
                   prev_close=[[10.0, 10.0], [10.0, 10.0], [10.5, 9.0]],
                   buy_price=[[10.0, 10.0], [10.2, 9.8], [10.0, 10.0]])
        base = vwap(impl, w, m)
        moved = {name: pd.concat([f, f.iloc[[0]].rename(index={D[0]: D[5]})])[[B, A]] for name, f in m.items()}
        got = vwap(impl, w, moved)
        pd.testing.assert_series_equal(got, base, check_exact=True, check_index_type=False)

    def test_weight_dates_unknown_to_the_market_see_missing_prices(self, impl):
        # D2 is not a market date: no previous close (the targets drop to
        # zero), no price and no permission to sell, so nothing is counted.
        w = weights([D[0], D[1], D[2]], [[0.5, 0.5]] * 3, [A, B])
        m = market([D[0], D[1]], [A, B], close_price={(D[1], B): 11.0})
        got = vwap(impl, w, m, **SMALL)
        assert got.index.tolist() == [D[1], D[2]]
        np.testing.assert_allclose(got.to_numpy(), [0.05, 0.0], rtol=1e-12, atol=1e-15)


# --------------------------------------------------------------------------
# total frame
# --------------------------------------------------------------------------


def dates(n):
    return list(pd.bdate_range("2024-01-02", periods=n).strftime("%Y%m%d"))


def daily(returns, bench=None, **extra):
    n = len(returns)
    table = pd.DataFrame({"daily_return": np.array(returns, dtype=np.float64)}, index=dates(n))
    table["index_daily_return"] = np.zeros(n) if bench is None else np.array(bench, dtype=np.float64)
    for name, values in extra.items():
        table[name] = np.array(values, dtype=np.float64)
    return table


class TestTotalFrame:
    def test_net_values_and_drawdowns_are_additive(self, impl):
        total = impl._build_total_backtesting_frame(daily([0.01, -0.02, 0.03]))
        assert total.columns.tolist() == [
            "daily_return", "index_daily_return", "extra_daily_return", "long", "close",
            "close_net_value", "max_drowdown", "extra_return", "extra_max_drowdown"]
        np.testing.assert_allclose(total["long"], [1.0, 0.99 / 1.01, 1.02 / 1.01], rtol=1e-14)
        np.testing.assert_allclose(total["max_drowdown"], [0.0, 0.99 / 1.01 - 1, 0.0], rtol=1e-14, atol=1e-16)
        np.testing.assert_array_equal(total["close"], [1.0, 1.0, 1.0])
        np.testing.assert_array_equal(total["close_net_value"], [1.0, 1.0, 1.0])
        np.testing.assert_allclose(total["extra_return"], [0.0, -0.02, 0.01], atol=1e-16)
        np.testing.assert_allclose(total["extra_max_drowdown"], [0.0, -0.02, 0.0], atol=1e-16)
        assert total["long"].iloc[0] == 1.0

    def test_excess_against_a_benchmark(self, impl):
        total = impl._build_total_backtesting_frame(daily([0.02, 0.0, 0.01], bench=[0.01, 0.01, -0.02]))
        np.testing.assert_allclose(total["extra_daily_return"], [0.01, -0.01, 0.03], rtol=1e-14)
        # running sum 0.01, 0, 0.03 rebased on its first value
        np.testing.assert_allclose(total["extra_return"], [0.0, -0.01, 0.02], atol=1e-16)
        np.testing.assert_allclose(total["extra_max_drowdown"], [0.0, -0.01, 0.0], atol=1e-16)
        np.testing.assert_allclose(total["close"], [1.01, 1.02, 1.0], rtol=1e-15)
        np.testing.assert_allclose(total["close_net_value"], [1.0, 1.02 / 1.01, 1.0 / 1.01], rtol=1e-14)

    def test_a_benchmark_level_is_rebased_on_its_first_kept_row(self, impl):
        table = daily([0.01, 0.02, 0.03], bench=[0.0, 0.01, 0.02], close=[3000.0, 3030.0, 3090.6])
        table = table[["daily_return", "close", "index_daily_return"]]
        total = impl._build_total_backtesting_frame(table)
        assert total.columns.tolist()[:3] == ["daily_return", "close", "index_daily_return"]
        assert "close" not in total.columns.tolist()[3:]
        np.testing.assert_allclose(total["close_net_value"], [1.0, 1.01, 1.0302], rtol=1e-14)
        np.testing.assert_array_equal(total["close"], [3000.0, 3030.0, 3090.6])

    def test_a_zero_first_level_falls_back_to_summed_benchmark_returns(self, impl):
        table = daily([0.01, 0.02, 0.03], bench=[0.005, 0.01, -0.02], close=[0.0, 3030.0, 3090.6])
        total = impl._build_total_backtesting_frame(table)
        np.testing.assert_allclose(total["close_net_value"], [1.005, 1.015, 0.995], rtol=1e-14)
        np.testing.assert_array_equal(total["close"], [0.0, 3030.0, 3090.6])

    def test_rows_with_any_missing_value_are_dropped_first(self, impl):
        table = daily([0.05, 0.01, NAN, 0.02, -0.01], bench=[0.0, 0.01, 0.0, NAN, 0.01],
                      note=[NAN, 1.0, 1.0, 1.0, 1.0])
        total = impl._build_total_backtesting_frame(table)
        assert total.index.tolist() == [D[1], D[4]]
        assert total.columns.tolist()[:3] == ["daily_return", "index_daily_return", "note"]
        np.testing.assert_allclose(total["long"], [1.0, 1.0 / 1.01], rtol=1e-14)
        np.testing.assert_allclose(total["extra_return"], [0.0, -0.02], atol=1e-16)

    def test_single_row(self, impl):
        total = impl._build_total_backtesting_frame(daily([0.03], bench=[0.01]))
        row = total.iloc[0]
        assert (row["long"], row["max_drowdown"], row["extra_return"],
                row["extra_max_drowdown"]) == (1.0, 0.0, 0.0, 0.0)
        stats = impl.calc_strategy_stats(total, None)
        assert stats["annual_return"] == 0.0 and stats["extra_annual_return"] == 0.0
        assert math.isnan(stats["long_sharp"]) and math.isnan(stats["return_corr"])

    @pytest.mark.parametrize("table", [
        pd.DataFrame({"daily_return": [], "index_daily_return": []}, dtype=np.float64),
        daily([NAN, 0.01], bench=[0.0, NAN]),
    ], ids=["no rows", "no complete row"])
    def test_nothing_left_comes_back_without_derived_columns(self, impl, table):
        total = impl._build_total_backtesting_frame(table)
        assert len(total) == 0
        assert total.columns.tolist() == ["daily_return", "index_daily_return"]
        stats = impl.calc_strategy_stats(total, weights(D[:2], [[0.5], [0.5]], [A]))
        assert list(stats) == list(EMPTY_STATS_KEYS)
        assert all(math.isnan(v) for v in stats.values())

    def test_running_sums_and_maxima_skip_a_missing_excess(self, impl):
        # inf - inf leaves one excess return missing; like the strategy's
        # running sum, the excess running sum and maximum step over it
        table = daily([0.01, np.inf, 0.02, 0.01], bench=[0.0, np.inf, 0.0, 0.03])
        total = impl._build_total_backtesting_frame(table)
        assert np.isnan(total["extra_daily_return"].iloc[1])
        np.testing.assert_allclose(total["extra_return"], [0.0, NAN, 0.02, 0.0], atol=1e-16)
        np.testing.assert_allclose(total["extra_max_drowdown"], [0.0, NAN, 0.0, -0.02], atol=1e-16)

    def test_zero_first_net_value_is_not_guarded(self, impl):
        # 1 + (-1) = 0 on the first row: the net value divides by zero
        total = impl._build_total_backtesting_frame(daily([-1.0, 0.5]))
        assert np.isnan(total["long"].iloc[0]) and total["long"].iloc[1] == np.inf


# --------------------------------------------------------------------------
# statistics
# --------------------------------------------------------------------------


def stats_of(impl, returns, bench=None, signal=None, **extra):
    return impl.calc_strategy_stats(impl._build_total_backtesting_frame(daily(returns, bench=bench, **extra)),
                                    signal)


class TestStatistics:
    def test_annual_figures_are_linear_in_points(self, impl):
        # 126 rows = half a year; +10 % in all -> 20 points a year
        returns = [0.0] + [0.1 / 125] * 125
        bench = [0.0] + [0.05 / 125] * 125
        stats = stats_of(impl, returns, bench=bench)
        assert list(stats) == list(STATS_KEYS)
        assert stats["annual_return"] == pytest.approx(20.0, rel=1e-12)
        assert stats["benchmark_annual_return"] == pytest.approx(10.0, rel=1e-12)
        assert stats["extra_annual_return"] == pytest.approx(10.0, rel=1e-12)

    def test_max_drawdown_is_measured_in_net_value_units(self, impl):
        stats = stats_of(impl, [0.0, 0.2, -0.3, 0.1])
        assert stats["max_dd"] == pytest.approx(0.3, rel=1e-12)   # 1.2 -> 0.9, not 0.25
        assert stats["extra_max_dd"] == pytest.approx(0.3, rel=1e-12)

    def test_turnover_and_holding_count(self, impl):
        signal = weights(D[:2], [[0.5, 0.5], [1.0, NAN]], [A, B])
        stats = stats_of(impl, [0.01, 0.02], signal=signal)
        assert stats["turnover"] == 0.5
        assert stats["holding_count"] == 1.5

    def test_holding_count_counts_zeros_but_not_infinities(self, impl):
        signal = weights(D[:2], [[0.0, np.inf, 0.2], [NAN, -np.inf, NAN]], [A, B, C])
        stats = stats_of(impl, [0.01, 0.02], signal=signal)
        assert stats["holding_count"] == 1.0
        # infinities count as the largest doubles: their jump is infinite
        assert stats["turnover"] == np.inf

    def test_weight_statistics_need_weights(self, impl):
        one_row = stats_of(impl, [0.01, 0.02], signal=weights(D[:1], [[0.2, NAN, 0.0]], [A, B, C]))
        assert one_row["holding_count"] == 2.0 and math.isnan(one_row["turnover"])
        none = stats_of(impl, [0.01, 0.02], signal=None)
        assert math.isnan(none["holding_count"]) and math.isnan(none["turnover"])
        no_rows = stats_of(impl, [0.01, 0.02], signal=weights([], np.zeros((0, 2)), [A, B]))
        assert math.isnan(no_rows["holding_count"]) and math.isnan(no_rows["turnover"])

    def test_ratios_and_rates(self, impl):
        returns = [0.01, 0.0, -0.01, 0.02, 0.015]
        bench = [0.005, 0.01, -0.02, 0.03, 0.015]
        stats = stats_of(impl, returns, bench=bench)
        excess = [r - b for r, b in zip(returns, bench, strict=True)]

        def sharpe(x):
            return statistics.mean(x) / statistics.stdev(x) * math.sqrt(252)

        assert stats["long_sharp"] == pytest.approx(sharpe(returns), rel=1e-12)
        assert stats["benchmark_sharp"] == pytest.approx(sharpe(bench), rel=1e-12)
        assert stats["extra_sharp"] == pytest.approx(sharpe(excess), rel=1e-12)
        assert stats["return_corr"] == pytest.approx(statistics.correlation(returns, bench), rel=1e-12)
        assert stats["win_rate"] == 0.6
        assert stats["excess_win_rate"] == 0.4

    def test_infinite_returns_are_left_out_of_ratios_and_rates(self, impl):
        table = daily([0.01, 0.03, 0.02], bench=[0.0, 0.01, 0.0])
        total = impl._build_total_backtesting_frame(table)
        total.loc[D[2], "daily_return"] = np.inf
        stats = impl.calc_strategy_stats(total, None)
        assert stats["long_sharp"] == pytest.approx(0.02 / math.sqrt(0.0002) * math.sqrt(252), rel=1e-12)
        assert stats["win_rate"] == 1.0

    def test_flat_benchmark_has_no_ratio_and_no_correlation(self, impl):
        stats = stats_of(impl, [0.01, -0.02, 0.03])
        assert stats["benchmark_annual_return"] == 0.0
        assert math.isnan(stats["benchmark_sharp"]) and math.isnan(stats["return_corr"])
        assert stats["extra_sharp"] == stats["long_sharp"]

    def test_rows_with_missing_derived_values_are_left_out(self, impl):
        # inf then -inf in the benchmark: the third row's benchmark level and
        # excess return are NaN, so the statistics see two rows only
        stats = stats_of(impl, [0.01, 0.02, 0.03], bench=[0.0, np.inf, -np.inf])
        assert stats["annual_return"] == pytest.approx((1.03 / 1.01 - 1) / (2 / 252) * 100, rel=1e-12)
        assert stats["win_rate"] == 1.0
        assert math.isnan(stats["benchmark_sharp"])   # one finite value left

    def test_no_row_without_missing_derived_values_gives_missing_statistics(self, impl):
        # a first net value of 0: every net value and drawdown is NaN
        stats = stats_of(impl, [-1.0, 0.5, 0.5])
        assert list(stats) == list(EMPTY_STATS_KEYS)
        assert all(math.isnan(v) for v in stats.values())


# --------------------------------------------------------------------------
# the whole pipeline
# --------------------------------------------------------------------------


def run(impl, w, m, **kw):
    return impl.run_strategy_backtest_core(w, **m, **kw)


def assert_empty_result(result, name="strategy"):
    assert result.strategy_name == name
    for series in (result.daily_return, result.cumulative_return):
        assert isinstance(series, pd.Series) and len(series) == 0 and series.dtype == np.float64
    assert list(result.stats) == list(EMPTY_STATS_KEYS)
    assert all(math.isnan(v) for v in result.stats.values())
    assert isinstance(result.benchmark_summary, pd.DataFrame) and result.benchmark_summary.shape == (0, 0)
    assert result.plot_paths == {}


def trending(dates, codes, step=0.1):
    """Every stock closes ``step`` above its previous close; VWAP at the previous close."""
    n = len(dates)
    prev = np.array([10.0 + step * i for i in range(n)])[:, None].repeat(len(codes), axis=1)
    return market(dates, codes, prev_close=prev, buy_price=prev, sell_price=prev, close_price=prev + step)


class TestPipeline:
    def test_result_record(self, impl):
        w = weights(D[:4], [[0.5, 0.5]] * 4, [A, B])
        result = run(impl, w, trending(D[:4], [A, B]), strategy_name="mom")
        if impl is not REFERENCE:
            assert dataclasses.is_dataclass(result) and type(result).__name__ == "_StrategyCoreResult"
            assert [f.name for f in dataclasses.fields(result)] == [
                "strategy_name", "daily_return", "cumulative_return", "stats", "benchmark_summary",
                "plot_paths"]
        assert result.strategy_name == "mom"
        assert result.daily_return.name == "daily_return" and result.cumulative_return.name == "long"
        assert result.daily_return.index.tolist() == D[1:4]
        assert result.cumulative_return.iloc[0] == 1.0
        assert list(result.stats) == list(STATS_KEYS)
        assert result.plot_paths == {}

    def test_flat_benchmark_without_a_benchmark_dictionary(self, impl):
        w = weights(D[:5], [[0.5, 0.3]] * 5, [A, B])
        result = run(impl, w, trending(D[:5], [A, B]), benchmark_dict=None)
        stats = result.stats
        assert stats["benchmark_annual_return"] == 0.0
        assert math.isnan(stats["benchmark_sharp"]) and math.isnan(stats["return_corr"])
        assert stats["extra_sharp"] == pytest.approx(stats["long_sharp"], rel=1e-12)
        assert result.benchmark_summary.shape == (0, 0)

    def test_primary_benchmark_level_and_summary(self, impl):
        w = weights(D[2:6], [[0.5, 0.5]] * 4, [A, B])
        m = trending(D[2:6], [A, B])
        s = pd.Series([0.01, 0.02, 0.005, 0.01, -0.03, -0.01], index=D[:6])
        result = run(impl, w, m, benchmark_dict={"000852": s})
        dates = D[3:6]
        assert result.daily_return.index.tolist() == dates
        # level 1 + running sum from the series' own first date, rebased on D3
        level = 1.0 + s.cumsum()
        bm_total = level[D[5]] / level[D[3]] - 1
        assert result.stats["benchmark_annual_return"] == pytest.approx(bm_total / (3 / 252) * 100, rel=1e-12)
        summary = result.benchmark_summary
        assert summary.columns.tolist() == list(SUMMARY_COLUMNS)
        assert summary["benchmark_name"].tolist() == ["000852"]
        bm = s[dates].to_numpy()
        strat = result.daily_return.to_numpy()
        excess = strat - bm
        cum = np.cumsum(excess)
        assert summary["benchmark_annual_return"].iloc[0] == pytest.approx(bm.mean() * 252, rel=1e-12)
        assert summary["excess_annual_return"].iloc[0] == pytest.approx(excess.mean() * 252, rel=1e-12)
        assert summary["excess_sharpe"].iloc[0] == pytest.approx(
            statistics.mean(excess) / statistics.stdev(excess) * math.sqrt(252), rel=1e-12)
        assert summary["excess_max_dd"].iloc[0] == pytest.approx(np.min(cum - np.maximum.accumulate(cum)),
                                                                 rel=1e-12, abs=1e-15)

    def test_missing_and_infinite_primary_values_count_as_zero(self, impl):
        w = weights(D[2:6], [[0.5, 0.5]] * 4, [A, B])
        m = trending(D[2:6], [A, B])
        s = pd.Series([np.inf, 0.02, -np.inf, 0.01, NAN, -0.02], index=D[:6])
        result = run(impl, w, m, benchmark_dict={"000852": s})
        # D4 is kept: its missing benchmark return counts as 0
        assert result.daily_return.index.tolist() == D[3:6]
        level = 1.0 + s.replace([np.inf, -np.inf], NAN).fillna(0.0).cumsum()
        expected = (level[D[5]] / level[D[3]] - 1) / (3 / 252) * 100
        assert result.stats["benchmark_annual_return"] == pytest.approx(expected, rel=1e-12)
        # the summary sees only the two dates the series has
        bm = np.array([0.01, -0.02])
        assert result.benchmark_summary["benchmark_annual_return"].iloc[0] == pytest.approx(bm.mean() * 252,
                                                                                            rel=1e-12)

    def test_benchmarks_in_dictionary_order_without_those_lacking_common_dates(self, impl):
        w = weights(D[:4], [[0.5, 0.5]] * 4, [A, B])
        m = trending(D[:4], [A, B])
        early = pd.Series([0.01, 0.02], index=["20231228", "20231229"])
        bm = {"000905": pd.Series([0.01, -0.01, 0.02], index=D[1:4]),
              "000300": early,
              "000852": pd.Series([NAN, 0.003, NAN], index=D[1:4])}
        # the primary benchmark ends before the trading: no date survives the join
        assert_empty_result(run(impl, w, m, benchmark_dict=bm, benchmark_names="000300"))
        result = run(impl, w, m, benchmark_dict=bm, benchmark_names="nothing")
        assert result.benchmark_summary["benchmark_name"].tolist() == ["000905", "000852"]
        one = result.benchmark_summary.iloc[1]
        assert one["benchmark_annual_return"] == pytest.approx(0.003 * 252, rel=1e-12)
        assert math.isnan(one["excess_sharpe"])     # one common date
        assert one["excess_max_dd"] == 0.0
        assert result.stats["benchmark_annual_return"] == 0.0   # flat benchmark

    def test_summary_is_empty_when_no_benchmark_shares_a_date(self, impl):
        w = weights(D[:4], [[0.5, 0.5]] * 4, [A, B])
        bm = {"000300": pd.Series([0.01, 0.02], index=["20231228", "20231229"])}
        result = run(impl, w, trending(D[:4], [A, B]), benchmark_dict=bm)
        assert len(result.daily_return) == 3
        assert result.benchmark_summary.shape == (0, 0)
        result = run(impl, w, trending(D[:4], [A, B]), benchmark_dict={})
        assert result.benchmark_summary.shape == (0, 0)

    @pytest.mark.parametrize("case", ["single date", "no common dates", "no common codes", "no weights"])
    def test_nothing_to_trade_gives_the_empty_result(self, impl, case):
        m = trending(D[:4], [A, B])
        w = {
            "single date": weights(D[:1], [[0.5, 0.5]], [A, B]),
            "no common dates": weights(D[5:8], [[0.5, 0.5]] * 3, [A, B]),
            "no common codes": weights(D[:4], [[0.5, 0.5]] * 4, [C, E]),
            "no weights": weights(D[:4], [[NAN, NAN]] * 4, [A, B]),
        }[case]
        assert_empty_result(run(impl, w, m, strategy_name="x"), "x")

    def test_returns_end_at_the_last_date_with_weights(self, impl):
        # the all-missing rows at the end still trade (the targets go to
        # zero) but no return later than D1 is kept
        w = weights(D[:5], [[0.5, 0.5], [0.5, 0.5], [NAN, NAN], [NAN, NAN], [NAN, NAN]], [A, B])
        w[C] = [0.1, NAN, NAN, NAN, 0.0]   # not a market code: dropped
        result = run(impl, w, trending(D[:5], [A, B]))
        assert result.daily_return.index.tolist() == [D[1]]
        assert list(result.stats) == list(STATS_KEYS)
        # the weight statistics see all five rows, missing ones included
        assert result.stats["holding_count"] == pytest.approx(4 / 5, rel=1e-12)
        assert result.stats["turnover"] == pytest.approx((0.0 + 1.0 + 0.0 + 0.0) / 4 * 0.5, rel=1e-12)

    def test_one_usable_row_before_missing_rows_gives_the_empty_result(self, impl):
        w = weights(D[:2], [[0.5, 0.5], [NAN, NAN]], [A, B])
        assert_empty_result(run(impl, w, trending(D[:2], [A, B])))

    def test_no_return_surviving_the_missing_value_filter_gives_the_empty_result(self, impl):
        # a weight too large to size: the target overflows to infinity and
        # the day's money result is infinity times a zero: NaN
        w = weights(D[:2], [[1e305], [1e305]], [A])
        result = run(impl, w, market(D[:2], [A]), fee=0.0)
        assert_empty_result(result)

    def test_infinite_weights_are_not_traded(self, impl):
        w = weights(D[:3], [[np.inf, 0.5], [-np.inf, 0.5], [0.5, 0.5]], [A, B])
        m = trending(D[:3], [A, B])
        result = run(impl, w, m)
        base = run(impl, weights(D[:3], [[NAN, 0.5], [NAN, 0.5], [0.5, 0.5]], [A, B]), m)
        np.testing.assert_array_equal(result.daily_return.to_numpy(), base.daily_return.to_numpy())

    def test_rolling_window_smooths_before_trading(self, impl):
        w = weights(D[:7], [[0.5, 0.5]] * 7, [A, B])
        m = trending(D[:7], [A, B])
        assert run(impl, w, m, rolling_window=5).daily_return.index.tolist() == D[5:7]
        assert run(impl, w, m, rolling_window=1).daily_return.index.tolist() == D[1:7]
        assert_empty_result(run(impl, w, m, rolling_window=7))

    def test_rolling_window_is_truncated_toward_zero(self, impl):
        w = weights(D[:6], [[0.5, 0.1], [0.3, NAN], [NAN, 0.2], [0.4, 0.4], [0.1, 0.0], [0.2, 0.3]], [A, B])
        m = trending(D[:6], [A, B])
        a = run(impl, w, m, rolling_window=3.9)
        b = run(impl, w, m, rolling_window=3)
        pd.testing.assert_series_equal(a.daily_return, b.daily_return, check_exact=True)
        assert a.stats["turnover"] == b.stats["turnover"]

    def test_weights_are_aligned_to_the_close_prices(self, impl):
        m = trending(D[:4], [A, B])
        w = weights([D[0], "20240106", D[1], D[2], D[3]], [[0.5, 0.5, 0.2]] * 5, [B, A, C])
        result = run(impl, w, m)
        assert result.daily_return.index.tolist() == D[1:4]
        # 2 market codes in every one of the four aligned rows
        assert result.stats["holding_count"] == 2.0
        assert result.stats["turnover"] == 0.0

    @pytest.mark.parametrize("kind, path", [(None, "chart.png"), ("large", None), ("long", None)])
    def test_no_chart_without_both_a_kind_and_a_path(self, impl, tmp_path, monkeypatch, kind, path):
        monkeypatch.chdir(tmp_path)
        w = weights(D[:3], [[0.5, 0.5]] * 3, [A, B])
        result = run(impl, w, trending(D[:3], [A, B]), plot_image_kind=kind, plot_save_path=path)
        assert result.plot_paths == {} and len(result.daily_return) == 2
        assert list(tmp_path.iterdir()) == []

    def test_capital_and_fees_are_passed_on(self, impl):
        w = weights(D[:3], [[0.5, 0.5]] * 3, [A, B])
        m = trending(D[:3], [A, B])
        got = run(impl, w, m, total_money=1e6, fee=0.001, rule_fee=0.002).daily_return
        expected = vwap(impl, w, m, total_money=1e6, fee=0.001, rule_fee=0.002)
        np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())


# --------------------------------------------------------------------------
# the shared kernels
# --------------------------------------------------------------------------


class TestKernels:
    def test_sharpe_ratio(self, core):
        x = [0.01, 0.03, -0.005, 0.02]
        expected = statistics.mean(x) / statistics.stdev(x) * math.sqrt(252)
        assert core.safe_sharpe(pd.Series(x), periods=252) == pytest.approx(expected, rel=1e-12)
        assert core.safe_sharpe(pd.Series(x), periods=52) == pytest.approx(expected / math.sqrt(252) * math.sqrt(52),
                                                                           rel=1e-12)
        assert core.safe_sharpe(pd.Series(x)) == pytest.approx(expected, rel=1e-12)

    @pytest.mark.parametrize("x", [[], [0.01], [0.0, 0.0, 0.0], [0.02, 0.02]])
    def test_sharpe_ratio_is_missing_for_degenerate_series(self, core, x):
        assert math.isnan(core.safe_sharpe(pd.Series(x, dtype=np.float64), periods=252))

    def test_datetime_index(self, core):
        frame = pd.DataFrame({"long": [1.0, 1.1]}, index=["20240102", "20240103"])
        got = core._with_datetime_index(frame)
        assert isinstance(got.index, pd.DatetimeIndex)
        assert got.index.tolist() == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-03")]
        assert got["long"].tolist() == [1.0, 1.1]
        assert len(core._with_datetime_index(frame.iloc[:0])) == 0
