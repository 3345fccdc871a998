// The trading engines' market inputs, defaults and benchmark summary, shared by _core and _weightsim.
#include "bridge.hpp"
#include "vantorel/stats.hpp"

namespace vantorel::bridge {

MarketFrames market_frames(const std::array<nb::handle, kMarketInputCount>& inputs) {
    MarketFrames m;
    for (std::size_t i = 0; i < kMarketInputCount; ++i)
        m.frames[i] = frame_arg(inputs[i], kMarketInputs[i].argument);
    // Labels of another kind are read in the kind of close_price's.
    for (std::size_t i = 0; i < kMarketInputCount; ++i)
        if (i != kCloseInput)
            conform_frame(m.frames[i], m.close().index, m.close().columns, kMarketInputs[i].argument);
    return m;
}

void export_trading_defaults(nb::module_& m) {
    m.attr("DEFAULT_BENCHMARK") = kDefaultBenchmark;
    m.attr("DEFAULT_TOTAL_MONEY") = kDefaultTotalMoney;
    m.attr("DEFAULT_FEE") = kDefaultFee;
    m.attr("DEFAULT_RULE_FEE") = kDefaultRuleFee;
    m.attr("DEFAULT_LOT_SIZE") = kDefaultLotSize;
}

nb::object benchmark_summary_frame(const std::vector<nb::object>& names, nb::handle benchmarks,
                                   nb::handle dates, const std::vector<double>& daily, Index rows, Index cols,
                                   bool per_group) {
    nb::list table;
    if (!benchmarks.is_none()) {
        nb::dict bench = nb::borrow<nb::dict>(benchmarks);
        for (const nb::object& name : names) {
            if (!bench.contains(name))
                continue;
            const std::vector<double> aligned =
                float_values(nb::object(bench[name]).attr("reindex")(dates), "benchmark_dict", rows);
            const std::vector<BenchmarkSummary> summaries =
                summarise_against_benchmark(daily.data(), rows, cols, aligned.data());
            for (std::size_t c = 0; c < summaries.size(); ++c) {
                const BenchmarkSummary& s = summaries[c];
                nb::dict row;
                row["benchmark_name"] = name;
                if (per_group) {
                    row["group"] = c + 1;
                    row["annual_return"] = s.annual_return;
                } else {
                    row["benchmark_annual_return"] = s.excess.benchmark_annual_return;
                }
                row["excess_annual_return"] = s.excess.excess_annual_return;
                row["excess_sharpe"] = s.excess.excess_sharpe;
                row["excess_max_dd"] = s.excess.excess_max_dd;
                table.append(row);
            }
        }
    }
    if (nb::len(table) == 0)
        return libs().DataFrame();
    return libs().DataFrame(table);
}

}  // namespace vantorel::bridge
