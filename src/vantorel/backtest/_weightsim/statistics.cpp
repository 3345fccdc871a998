// The total frame and the headline statistics.
#include "vantorel/stats.hpp"
#include "weightsim.hpp"

namespace vantorel::weightsim {

using namespace nb::literals;
using namespace vantorel::bridge;

namespace {

bool has_column(nb::handle frame, const char* name) {
    return PySequence_Contains(frame.attr("columns").ptr(), nb::str(name).ptr()) == 1;
}

// One column of n rows (a repeated column name would give more values than rows).
std::vector<double> column(nb::handle frame, const char* name, Index n) {
    return float_values(frame[name], name, n);
}

}  // namespace

nb::object total_frame(nb::handle total_backtesting) {
    if (!is_frame(total_backtesting))
        raise_type_error("total_backtesting", "DataFrame", total_backtesting);
    nb::object total = total_backtesting.attr("dropna")();
    const auto n = static_cast<Index>(nb::len(total));
    if (n == 0)
        return total;

    const std::vector<double> daily = column(total, "daily_return", n);
    const std::vector<double> index_daily = column(total, "index_daily_return", n);
    const bool has_close = has_column(total, "close");
    const std::vector<double> close = has_close ? column(total, "close", n) : std::vector<double>{};
    TotalFrameColumns t;
    {
        nb::gil_scoped_release release;
        t = build_total_frame(daily.data(), index_daily.data(), has_close ? close.data() : nullptr, n);
    }
    // Columns in the order of first assignment; assign() overwrites an existing column in place.
    nb::dict derived;
    derived["extra_daily_return"] = numpy_vector(std::move(t.extra_daily_return));
    derived["long"] = numpy_vector(std::move(t.long_nav));
    if (!has_close)
        derived["close"] = numpy_vector(std::move(t.close));
    derived["close_net_value"] = numpy_vector(std::move(t.close_net_value));
    derived["max_drowdown"] = numpy_vector(std::move(t.max_drowdown));
    derived["extra_return"] = numpy_vector(std::move(t.extra_return));
    derived["extra_max_drowdown"] = numpy_vector(std::move(t.extra_max_drowdown));
    return total.attr("assign")(**derived);
}

nb::dict empty_stats() {
    nb::dict out;
    for (const char* key : kEmptyStatKeys)
        out[key] = kNaN;
    return out;
}

nb::dict strategy_stats(nb::handle total_frame, const WeightSummary& weights) {
    if (!is_frame(total_frame))
        raise_type_error("total_frame", "DataFrame", total_frame);
    nb::object total = total_frame.attr("dropna")();
    const auto n = static_cast<Index>(nb::len(total));
    if (n == 0)
        return empty_stats();
    const std::vector<double> daily = column(total, "daily_return", n);
    const std::vector<double> index_daily = column(total, "index_daily_return", n);
    const std::vector<double> extra_daily = column(total, "extra_daily_return", n);
    const std::vector<double> long_nav = column(total, "long", n);
    const std::vector<double> close_nv = column(total, "close_net_value", n);
    const std::vector<double> max_dd = column(total, "max_drowdown", n);
    const std::vector<double> extra_return = column(total, "extra_return", n);
    const std::vector<double> extra_dd = column(total, "extra_max_drowdown", n);
    const TotalFrameInput input{daily.data(),        index_daily.data(), extra_daily.data(),
                                long_nav.data(),     close_nv.data(),    max_dd.data(),
                                extra_return.data(), extra_dd.data(),    n};
    std::array<double, 13> values;
    {
        nb::gil_scoped_release release;
        values = vantorel::strategy_stats(input, weights.holding_count, weights.turnover);
    }
    nb::dict out;
    for (std::size_t i = 0; i < kStatKeys.size(); ++i)
        out[kStatKeys[i]] = values[i];
    return out;
}

namespace {

WeightSummary summary_of(nb::handle signal_df) {
    if (signal_df.is_none())
        return WeightSummary{};
    return summarise_weights(weight_profile(WeightTable::whole(frame_arg(signal_df, "signal_df"))));
}

nb::dict calc_strategy_stats(nb::handle total_frame, nb::handle signal_df) {
    if (!is_frame(total_frame))
        raise_type_error("total_frame", "DataFrame", total_frame);
    return strategy_stats(total_frame, summary_of(signal_df));
}

}  // namespace

void register_statistics(nb::module_& m) {
    m.def("_build_total_backtesting_frame", &total_frame,
          nb::sig(
              "def _build_total_backtesting_frame(total_backtesting: pandas.DataFrame) -> pandas.DataFrame"),
          "total_backtesting"_a.none(),
          "The total frame: the rows of `total_backtesting` without missing values, plus\n"
          "extra_daily_return, long (strategy net value 1 + running sum of daily_return, rebased on\n"
          "its first row), close (when absent), close_net_value, max_drowdown, extra_return and\n"
          "extra_max_drowdown. Net values are additive, never compounded. The argument is not\n"
          "modified.");

    m.def("calc_strategy_stats", &calc_strategy_stats,
          nb::sig("def calc_strategy_stats(total_frame: pandas.DataFrame, signal_df: pandas.DataFrame | "
                  "None) -> dict[str, float]"),
          "total_frame"_a.none(), "signal_df"_a.none(),
          "The thirteen headline statistics of a total frame and its weight Frame.\n\n"
          "Annual figures are percentage points (linear annualisation over 252 days); Sharpe ratios\n"
          "come from safe_sharpe; max_dd and extra_max_dd are positive drawdown depths. All NaN when\n"
          "no complete row is left.");
}

}  // namespace vantorel::weightsim
