#include "vantorel/report.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

#include "vantorel/stats.hpp"

namespace vantorel {

std::string format_fixed(double value, int digits) {
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    if (digits < 0)
        digits = 0;
    std::string buf(static_cast<std::size_t>(330 + digits), '\0');
    const auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, digits);
    buf.resize(static_cast<std::size_t>(res.ptr - buf.data()));
    return buf;
}

PeriodMetrics period_metrics(const double* r, Index n, double periods) {
    PeriodMetrics out;
    if (n <= 0)
        return out;
    double sum = 0.0, running = 0.0, peak = kNaN, worst = kNaN;
    Index count = 0;
    for (Index i = 0; i < n; ++i) {
        const double v = r[i];
        if (std::isnan(v))
            continue;
        sum += v;
        ++count;
        running += v;
        peak = std::isnan(peak) ? running : std::max(peak, running);
        const double dd = running - std::max(peak, 0.0);  // the start level counts as a peak
        if (!std::isnan(dd))
            worst = std::isnan(worst) ? dd : std::min(worst, dd);
    }
    out.period_return = sum;  // an all-NaN run sums to zero
    const double annualized = count > 0 ? sum / static_cast<double>(count) * periods : kNaN;
    out.max_drawdown = std::isnan(worst) ? kNaN : std::fabs(worst);
    if (!std::isnan(out.max_drawdown) && out.max_drawdown > 1e-12)
        out.calmar = annualized / out.max_drawdown;
    return out;
}

std::vector<YearlyRow> yearly_metrics(const std::int64_t* years, const double* strategy, const double* excess,
                                      Index n, double periods) {
    std::map<std::int64_t, std::pair<std::vector<double>, std::vector<double>>> by_year;
    for (Index i = 0; i < n; ++i) {
        auto& [s, e] = by_year[years[i]];
        if (std::isfinite(strategy[i]))
            s.push_back(strategy[i]);
        if (std::isfinite(excess[i]))
            e.push_back(excess[i]);
    }
    std::vector<YearlyRow> rows;
    for (const auto& [year, series] : by_year) {
        const auto& [s, e] = series;
        if (s.empty() && e.empty())
            continue;
        const auto ns = static_cast<Index>(s.size()), ne = static_cast<Index>(e.size());
        const PeriodMetrics ps = period_metrics(s.data(), ns, periods);
        const PeriodMetrics pe = period_metrics(e.data(), ne, periods);
        rows.push_back(YearlyRow{year, ps.period_return, safe_sharpe(s.data(), ns, periods), ps.max_drawdown,
                                 ps.calmar, pe.period_return, safe_sharpe(e.data(), ne, periods),
                                 pe.max_drawdown, pe.calmar});
    }
    return rows;
}

std::int64_t week_ending_friday(std::int64_t day) {
    // 1970-01-01 was a Thursday: weekday 0 = Monday gives (day + 3) mod 7.
    const std::int64_t weekday = ((day + 3) % 7 + 7) % 7;
    return day + (4 - weekday + 7) % 7;
}

WeeklySamples weekly_last(const std::vector<std::int64_t>& days, const std::vector<const double*>& columns) {
    const auto n = static_cast<Index>(days.size());
    std::vector<Index> order(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i)
        order[static_cast<std::size_t>(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](Index a, Index b) { return days[a] < days[b]; });

    WeeklySamples out;
    out.columns.resize(columns.size());
    std::size_t i = 0;
    while (i < order.size()) {
        const std::int64_t friday = week_ending_friday(days[static_cast<std::size_t>(order[i])]);
        std::vector<double> last(columns.size(), kNaN);
        for (; i < order.size() && week_ending_friday(days[static_cast<std::size_t>(order[i])]) == friday;
             ++i)
            for (std::size_t c = 0; c < columns.size(); ++c) {
                const double v = columns[c][order[i]];
                if (std::isfinite(v))
                    last[c] = v;
            }
        if (std::all_of(last.begin(), last.end(), [](double v) { return std::isnan(v); }))
            continue;  // a week without any value is no row
        out.fridays.push_back(friday);
        for (std::size_t c = 0; c < columns.size(); ++c)
            out.columns[c].push_back(last[c]);
    }
    return out;
}

RollingStability rolling_stability(const double* x, Index n, Index window, double periods) {
    RollingStability out;
    out.sharpe.assign(static_cast<std::size_t>(std::max<Index>(n, 0)), kNaN);
    out.win_rate.assign(out.sharpe.size(), kNaN);
    if (window < 1)
        return out;
    for (Index end = window; end <= n; ++end) {
        const double* w = x + (end - window);
        bool full = true;
        double sum = 0.0;
        Index wins = 0;
        for (Index k = 0; k < window; ++k) {
            if (std::isnan(w[k])) {
                full = false;
                break;
            }
            sum += w[k];
            wins += w[k] > 0.0 ? 1 : 0;
        }
        if (!full)
            continue;
        const double mean = sum / static_cast<double>(window);
        double ss = 0.0;
        for (Index k = 0; k < window; ++k)
            ss += (w[k] - mean) * (w[k] - mean);
        const double sd = window > 1 ? std::sqrt(ss / static_cast<double>(window - 1)) : kNaN;
        const auto i = static_cast<std::size_t>(end - 1);
        out.sharpe[i] = mean / sd * std::sqrt(periods);
        out.win_rate[i] = static_cast<double>(wins) / static_cast<double>(window);
    }
    return out;
}

}  // namespace vantorel
