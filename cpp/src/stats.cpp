#include "vantorel/stats.hpp"

#include <algorithm>
#include <cmath>

#include "vantorel/gather.hpp"

namespace vantorel {

namespace {

// Minimum skipping NaN; NaN when nothing is left.
double nan_min(const double* x, Index n) {
    double m = kNaN;
    for (Index i = 0; i < n; ++i)
        if (!std::isnan(x[i]) && (std::isnan(m) || x[i] < m))
            m = x[i];
    return m;
}

// Infinities and NaN removed.
std::vector<double> finite_only(const double* x, Index n) {
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i)
        if (std::isfinite(x[i]))
            out.push_back(x[i]);
    return out;
}

double share_positive(const std::vector<double>& x) {
    if (x.empty())
        return kNaN;
    double count = 0.0;
    for (double v : x)
        count += v > 0.0 ? 1.0 : 0.0;
    return count / static_cast<double>(x.size());
}

// The values of `series` and `benchmark` on the dates where the benchmark is not NaN.
void where_present(const double* series, const double* benchmark, Index n, std::vector<double>& s,
                   std::vector<double>& b) {
    s.clear();
    b.clear();
    for (Index i = 0; i < n; ++i)
        if (!std::isnan(benchmark[i])) {
            s.push_back(series[i]);
            b.push_back(benchmark[i]);
        }
}

}  // namespace

double nan_mean(const double* x, Index n) {
    double s = 0.0;
    Index count = 0;
    for (Index i = 0; i < n; ++i)
        if (!std::isnan(x[i])) {
            s += x[i];
            ++count;
        }
    return count == 0 ? kNaN : s / static_cast<double>(count);
}

std::vector<double> annual_means(const std::vector<double>& daily, Index rows, Index cols, double periods) {
    std::vector<double> out(static_cast<std::size_t>(cols), kNaN);
    if (rows == 0)
        return out;
    for (Index k = 0; k < cols; ++k) {
        double sum = 0.0;
        for (Index i = 0; i < rows; ++i)
            sum += daily[static_cast<std::size_t>(i * cols + k)];
        out[static_cast<std::size_t>(k)] = sum / static_cast<double>(rows) * periods;
    }
    return out;
}

double safe_sharpe(const double* x, Index n, double periods) {
    Index count = 0;
    for (Index i = 0; i < n; ++i)
        count += !std::isnan(x[i]);
    if (count < 2)
        return kNaN;
    const double m = nan_mean(x, n);
    double ss = 0.0;
    for (Index i = 0; i < n; ++i)
        if (!std::isnan(x[i]))
            ss += (x[i] - m) * (x[i] - m);
    const double sd = std::sqrt(ss / static_cast<double>(count - 1));
    if (!std::isfinite(sd) || sd == 0.0)
        return kNaN;
    return m / sd * std::sqrt(periods);
}

std::vector<double> running_sum(const double* x, Index n) {
    std::vector<double> out(static_cast<std::size_t>(n));
    double s = 0.0;
    for (Index i = 0; i < n; ++i) {
        if (std::isnan(x[i])) {
            out[static_cast<std::size_t>(i)] = kNaN;  // a missing value is skipped, not carried
            continue;
        }
        out[static_cast<std::size_t>(i)] = (s += x[i]);
    }
    return out;
}

std::vector<double> drawdown_from_peak(const double* x, Index n) {
    std::vector<double> out(static_cast<std::size_t>(n), kNaN);
    double peak = kNaN;
    for (Index i = 0; i < n; ++i) {
        if (std::isnan(x[i]))
            continue;
        peak = std::isnan(peak) ? x[i] : std::max(peak, x[i]);
        out[static_cast<std::size_t>(i)] = x[i] - peak;
    }
    return out;
}

double pearson(const double* x, const double* y, Index n) {
    if (n < 2)
        return kNaN;
    const double mx = nan_mean(x, n), my = nan_mean(y, n);
    double sxy = 0.0, sxx = 0.0, syy = 0.0;
    for (Index i = 0; i < n; ++i) {
        const double dx = x[i] - mx, dy = y[i] - my;
        sxy += dx * dy;
        sxx += dx * dx;
        syy += dy * dy;
    }
    const double r = sxy / std::sqrt(sxx) / std::sqrt(syy);
    if (std::isnan(r))
        return kNaN;
    return std::clamp(r, -1.0, 1.0);
}

TotalFrameColumns build_total_frame(const double* daily, const double* index_daily, const double* close,
                                    Index n) {
    TotalFrameColumns t;
    const auto N = static_cast<std::size_t>(n);
    if (n == 0)
        return t;

    t.extra_daily_return.resize(N);
    for (std::size_t i = 0; i < N; ++i)
        t.extra_daily_return[i] = daily[i] - index_daily[i];

    // Net values are additive: 1 + running sum, rebased on the first row.
    std::vector<double> nav = running_sum(daily, n);
    for (double& v : nav)
        v += 1.0;
    t.long_nav.resize(N);
    for (std::size_t i = 0; i < N; ++i)
        t.long_nav[i] = nav[i] / nav[0];

    const bool close_usable = close != nullptr && !std::isnan(close[0]) && close[0] != 0.0;
    t.close_net_value.resize(N);
    if (close_usable) {
        for (std::size_t i = 0; i < N; ++i)
            t.close_net_value[i] = close[i] / close[0];
    } else {
        std::vector<double> proxy = running_sum(index_daily, n);
        for (double& v : proxy)
            v += 1.0;
        if (close == nullptr) {
            // Without a close column the proxy level becomes the close and is rebased.
            for (std::size_t i = 0; i < N; ++i)
                t.close_net_value[i] = proxy[i] / proxy[0];
            t.close = std::move(proxy);
        } else {
            t.close_net_value = std::move(proxy);  // an unusable first close: not rebased
        }
    }

    t.max_drowdown = drawdown_from_peak(t.long_nav.data(), n);

    std::vector<double> excess = running_sum(t.extra_daily_return.data(), n);
    t.extra_return.resize(N);
    for (std::size_t i = 0; i < N; ++i)
        t.extra_return[i] = excess[i] - excess[0];
    std::vector<double> excess_level(N);
    for (std::size_t i = 0; i < N; ++i)
        excess_level[i] = t.extra_return[i] + 1.0;
    t.extra_max_drowdown = drawdown_from_peak(excess_level.data(), n);
    return t;
}

std::array<double, 13> strategy_stats(const TotalFrameInput& t, double holding_count, double turnover) {
    std::array<double, 13> s;
    s.fill(kNaN);
    const Index n = t.rows;
    if (n == 0)
        return s;
    const std::vector<double> daily = finite_only(t.daily_return, n);
    const std::vector<double> bench = finite_only(t.index_daily_return, n);
    const std::vector<double> extra = finite_only(t.extra_daily_return, n);
    const double years = static_cast<double>(n) / kTradingDaysPerYear;
    const double benchmark_total_return = t.close_net_value[n - 1] - 1.0;
    const auto dn = static_cast<Index>(daily.size());
    const auto bn = static_cast<Index>(bench.size());
    const auto en = static_cast<Index>(extra.size());

    s[0] = years == 0.0 ? kNaN : (t.long_nav[n - 1] - 1.0) / years * 100.0;
    s[1] = safe_sharpe(daily.data(), dn, kTradingDaysPerYear);
    s[2] = std::fabs(nan_min(t.max_drowdown, n));
    s[3] = years == 0.0 ? kNaN : benchmark_total_return / years * 100.0;
    s[4] = safe_sharpe(bench.data(), bn, kTradingDaysPerYear);
    s[5] = years == 0.0 ? kNaN : t.extra_return[n - 1] / years * 100.0;
    s[6] = safe_sharpe(extra.data(), en, kTradingDaysPerYear);
    s[7] = std::fabs(nan_min(t.extra_max_drowdown, n));
    s[8] = pearson(t.daily_return, t.index_daily_return, n);
    s[9] = share_positive(daily);
    s[10] = share_positive(extra);
    s[11] = holding_count;
    s[12] = turnover;
    return s;
}

ExcessSummary summarise_excess(const double* strategy, const double* benchmark, Index n) {
    std::vector<double> excess(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i)
        excess[static_cast<std::size_t>(i)] = strategy[i] - benchmark[i];
    const std::vector<double> cum = running_sum(excess.data(), n);
    const std::vector<double> dd = drawdown_from_peak(cum.data(), n);
    ExcessSummary s;
    s.benchmark_annual_return = nan_mean(benchmark, n) * kTradingDaysPerYear;
    s.excess_annual_return = nan_mean(excess.data(), n) * kTradingDaysPerYear;
    s.excess_sharpe = safe_sharpe(excess.data(), n, kTradingDaysPerYear);
    s.excess_max_dd = nan_min(dd.data(), n);
    return s;
}

BenchmarkLevel benchmark_level(const double* returns, Index n) {
    BenchmarkLevel b;
    b.daily.assign(returns, returns + n);
    for (double& x : b.daily)
        if (!std::isfinite(x))
            x = 0.0;
    b.level = running_sum(b.daily.data(), n);
    for (double& x : b.level)
        x += 1.0;
    return b;
}

BenchmarkJoin join_benchmark(const std::vector<double>& daily, const double* benchmark_returns,
                             Index benchmark_rows, const IndexMap& to_benchmark) {
    const BenchmarkLevel bm = benchmark_level(benchmark_returns, benchmark_rows);
    BenchmarkJoin out;
    out.rows = found_positions(to_benchmark);
    for (std::size_t i = 0; i < to_benchmark.size(); ++i)
        if (to_benchmark[i] < 0)
            out.missing.push_back(static_cast<Index>(i));
    const IndexMap joined_bm = compose(to_benchmark, out.rows);
    out.daily_return = take(daily, out.rows);
    out.close = take(bm.level, joined_bm);
    out.index_daily_return = take(bm.daily, joined_bm);
    return out;
}

bool summarise_excess_where_present(const double* strategy, const double* benchmark, Index n,
                                    ExcessSummary& out) {
    std::vector<double> s, b;
    where_present(strategy, benchmark, n, s, b);
    if (b.empty())
        return false;
    out = summarise_excess(s.data(), b.data(), static_cast<Index>(b.size()));
    return true;
}

std::vector<BenchmarkSummary> summarise_against_benchmark(const double* daily, Index rows, Index cols,
                                                          const double* benchmark) {
    std::vector<BenchmarkSummary> out;
    std::vector<double> column(cols == 1 ? 0 : static_cast<std::size_t>(rows)), s, b;
    for (Index c = 0; c < cols; ++c) {
        const double* series = daily;
        if (cols != 1) {
            for (Index i = 0; i < rows; ++i)
                column[static_cast<std::size_t>(i)] = daily[i * cols + c];
            series = column.data();
        }
        where_present(series, benchmark, rows, s, b);
        if (b.empty())
            return {};  // no date in common: the same for every column
        const auto n = static_cast<Index>(b.size());
        out.push_back(BenchmarkSummary{annual_means(s, n, 1, kTradingDaysPerYear)[0],
                                       summarise_excess(s.data(), b.data(), n)});
    }
    return out;
}

}  // namespace vantorel
