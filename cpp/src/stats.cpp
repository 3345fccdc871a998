#include "vantorel/stats.hpp"

#include <algorithm>
#include <cmath>

namespace vantorel {

namespace {

// Mean skipping NaN; NaN when nothing is left.
double mean(const double* x, Index n) {
    double s = 0.0;
    Index count = 0;
    for (Index i = 0; i < n; ++i)
        if (!std::isnan(x[i])) {
            s += x[i];
            ++count;
        }
    return count == 0 ? kNaN : s / static_cast<double>(count);
}

// Drawdown of a level series: level minus its running maximum.
std::vector<double> drawdown(const std::vector<double>& level) {
    std::vector<double> out(level.size());
    double peak = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < level.size(); ++i) {
        // The running maximum skips NaN; a NaN level gives a NaN drawdown.
        if (!std::isnan(level[i]) && !(level[i] <= peak))
            peak = level[i];
        out[i] = level[i] - peak;
    }
    return out;
}

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

}  // namespace

double safe_sharpe(const double* x, Index n, double periods) {
    Index count = 0;
    for (Index i = 0; i < n; ++i)
        count += !std::isnan(x[i]);
    if (count < 2)
        return kNaN;
    const double m = mean(x, n);
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

double pearson(const double* x, const double* y, Index n) {
    if (n < 2)
        return kNaN;
    const double mx = mean(x, n), my = mean(y, n);
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

    t.max_drowdown = drawdown(t.long_nav);

    std::vector<double> excess = running_sum(t.extra_daily_return.data(), n);
    t.extra_return.resize(N);
    for (std::size_t i = 0; i < N; ++i)
        t.extra_return[i] = excess[i] - excess[0];
    std::vector<double> excess_level(N);
    for (std::size_t i = 0; i < N; ++i)
        excess_level[i] = t.extra_return[i] + 1.0;
    t.extra_max_drowdown = drawdown(excess_level);
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
    const std::vector<double> dd = drawdown(cum);
    ExcessSummary s;
    s.benchmark_annual_return = mean(benchmark, n) * kTradingDaysPerYear;
    s.excess_annual_return = mean(excess.data(), n) * kTradingDaysPerYear;
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

bool summarise_excess_where_present(const double* strategy, const double* benchmark, Index n,
                                    ExcessSummary& out) {
    std::vector<double> s, b;
    for (Index i = 0; i < n; ++i)
        if (!std::isnan(benchmark[i])) {
            s.push_back(strategy[i]);
            b.push_back(benchmark[i]);
        }
    if (b.empty())
        return false;
    out = summarise_excess(s.data(), b.data(), static_cast<Index>(b.size()));
    return true;
}

}  // namespace vantorel
