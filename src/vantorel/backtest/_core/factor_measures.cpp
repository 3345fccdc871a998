// The factor analytics of a group backtest as pandas objects: the new fields of the kernel result.
#include <nanobind/stl/string.h>

#include "core.hpp"

namespace vantorel::core {

using namespace nb::literals;
using namespace vantorel::bridge;

namespace {

constexpr const char* kIcFields[] = {"mean",   "std",     "icir",           "icir_annual",
                                     "t_stat", "p_value", "positive_share", "days"};

nb::list ic_field_names() {
    nb::list names;
    for (const char* f : kIcFields)
        names.append(f);
    return names;
}

std::vector<double> ic_values(const IcStats& s) {
    return {s.mean,   s.std,     s.icir,           s.icir_annual,
            s.t_stat, s.p_value, s.positive_share, static_cast<double>(s.days)};
}

nb::object ic_summary_series(const std::vector<double>& rank_ic) {
    const IcStats s = ic_stats(rank_ic.data(), static_cast<Index>(rank_ic.size()));
    return make_series(ic_values(s), libs().Index(ic_field_names()), nb::str("rank_ic"));
}

nb::object ic_by_year_frame(const std::vector<double>& rank_ic, const Calendar& calendar) {
    const std::vector<YearIcStats> years = ic_stats_by_year(rank_ic, calendar.years);
    nb::list labels;
    std::vector<double> values;
    for (const YearIcStats& y : years) {
        labels.append(y.year);
        const std::vector<double> row = ic_values(y.stats);
        values.insert(values.end(), row.begin(), row.end());
    }
    const auto rows = static_cast<Index>(years.size());
    nb::object frame = make_frame(std::move(values), rows, std::size(kIcFields),
                                  libs().Index(labels, "dtype"_a = "int64", "name"_a = "year"),
                                  libs().Index(ic_field_names()));
    frame["days"] = frame["days"].attr("astype")("int64");
    return frame;
}

nb::object ic_decay_frame(const SignalAnalytics& a) {
    const auto horizons = static_cast<Index>(kIcHorizons.size());
    nb::list labels;
    std::vector<double> values;
    for (Index h = 0; h < horizons; ++h) {
        labels.append(kIcHorizons[static_cast<std::size_t>(h)]);
        const std::vector<double> ic = block_column(a.horizon_ic, a.rows, horizons, h);
        const IcStats s = ic_stats(ic.data(), a.rows);
        values.insert(values.end(), {s.mean, s.icir, s.t_stat, static_cast<double>(s.days)});
    }
    nb::list columns;
    for (const char* c : {"mean_ic", "icir", "t_stat", "days"})
        columns.append(c);
    nb::object frame =
        make_frame(std::move(values), horizons, 4,
                   libs().Index(labels, "dtype"_a = "int64", "name"_a = "horizon"), libs().Index(columns));
    frame["days"] = frame["days"].attr("astype")("int64");
    return frame;
}

nb::object long_short_record(const LongShort& ls, nb::handle dates) {
    std::vector<double> daily = ls.daily, net_value = ls.net_value, drawdown = ls.drawdown;
    return nb::module_::import_("vantorel.backtest.result")
        .attr("LongShort")("daily_return"_a = make_series(std::move(daily), dates, nb::str("long_short")),
                           "net_value"_a = make_series(std::move(net_value), dates, nb::str("net_value")),
                           "drawdown"_a = make_series(std::move(drawdown), dates, nb::str("drawdown")),
                           "annual_return"_a = ls.annual_return, "sharpe"_a = ls.sharpe,
                           "max_drawdown"_a = ls.max_drawdown);
}

nb::object group_forward_frame(const SignalAnalytics& a, const std::vector<double>& annual,
                               nb::handle group_labels) {
    std::vector<double> values;
    for (Index g = 0; g < a.groups; ++g) {
        const std::vector<double> daily = block_column(a.forward_return, a.rows, a.groups, g);
        const double mean = nan_mean(daily.data(), a.rows);
        const double forward_annual = mean * kTradingDaysPerYear;
        const double traded = annual[static_cast<std::size_t>(g)];
        values.insert(values.end(), {mean, forward_annual, traded, forward_annual - traded});
    }
    nb::list columns;
    for (const char* c : {"forward_return", "annual_forward_return", "annual_return", "trading_gap"})
        columns.append(c);
    return make_frame(std::move(values), a.groups, 4, group_labels, libs().Index(columns));
}

}  // namespace

Calendar calendar_of(nb::handle dates) {
    const Libraries& l = libs();
    nb::object parsed;
    if (PyObject_IsInstance(dates.ptr(), l.pd.attr("DatetimeIndex").ptr()) == 1)
        parsed = nb::borrow(dates);
    else  // YYYYMMDD labels, as text or integers; anything else has no calendar date
        parsed = l.pd.attr("to_datetime")(dates.attr("astype")("str"), "format"_a = "%Y%m%d",
                                          "errors"_a = "coerce");
    Calendar out;
    for (const char* part : {"year", "month"}) {
        const std::vector<double> values = float_values(
            parsed.attr(part).attr("to_numpy")("dtype"_a = "float64", "na_value"_a = kNaN), part);
        std::vector<int>& into = std::string(part) == "year" ? out.years : out.months;
        into.reserve(values.size());
        for (double v : values)
            into.push_back(std::isnan(v) ? -1 : static_cast<int>(v));
    }
    return out;
}

AnalyticsChartData analytics_chart_data(const FactorBacktest& run, const Calendar& calendar,
                                        nb::handle dates) {
    const SignalAnalytics& a = run.analytics;
    const GroupBacktestResult& g = run.groups;
    AnalyticsChartData d;
    d.dates = nb::borrow(dates);
    d.groups = g.groups;
    const auto horizons = static_cast<Index>(kIcHorizons.size());
    for (Index h = 0; h < horizons; ++h) {
        const std::vector<double> ic = block_column(a.horizon_ic, a.rows, horizons, h);
        const IcStats s = ic_stats(ic.data(), a.rows);
        d.decay_mean.push_back(s.mean);
        d.decay_icir.push_back(s.icir);
    }
    for (const YearIcStats& y : ic_stats_by_year(g.rank_ic, calendar.years)) {
        d.years.push_back(y.year);
        d.year_mean.push_back(y.stats.mean);
    }
    d.month_ic = mean_ic_by_month(g.rank_ic, calendar.years, calendar.months);
    for (Index k = 0; k < a.groups; ++k) {
        const std::vector<double> column = block_column(a.turnover, a.rows, a.groups, k);
        d.mean_turnover.push_back(nan_mean(column.data(), a.rows));
    }
    d.autocorrelation = a.autocorrelation;
    d.mean_autocorrelation = nan_mean(a.autocorrelation.data(), a.rows);
    d.long_short = long_short(g.daily, g.rows, g.groups);
    d.monotonicity = monotonicity(group_annual_returns(g.daily, g.rows, g.groups));
    return d;
}

void add_factor_measures(nb::dict& fields, const FactorBacktest& run, const std::vector<double>& annual,
                         const Calendar& calendar, nb::handle dates, nb::handle group_labels) {
    const SignalAnalytics& a = run.analytics;
    fields["ic_summary"] = ic_summary_series(run.groups.rank_ic);
    fields["ic_by_year"] = ic_by_year_frame(run.groups.rank_ic, calendar);
    fields["ic_decay"] = ic_decay_frame(a);
    std::vector<double> turnover = a.turnover;
    fields["group_turnover"] = make_frame(std::move(turnover), a.rows, a.groups, dates, group_labels);
    std::vector<double> autocorrelation = a.autocorrelation;
    fields["factor_autocorrelation"] =
        make_series(std::move(autocorrelation), dates, nb::str("factor_autocorrelation"));
    fields["long_short"] =
        long_short_record(long_short(run.groups.daily, run.groups.rows, run.groups.groups), dates);
    fields["monotonicity"] = monotonicity(annual);
    fields["group_forward_return"] = group_forward_frame(a, annual, group_labels);
}

}  // namespace vantorel::core
