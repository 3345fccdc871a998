#include "vantorel/ic_stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vantorel/stats.hpp"

namespace vantorel {

namespace {

constexpr double kNoSpread = 1e-13;

// Continued fraction of the regularised incomplete beta function I_x(a, b), evaluated by the
// modified Lentz method; converges fast for x < (a + 1) / (a + b + 2).
double beta_fraction(double a, double b, double x) {
    constexpr double kTiny = 1e-300, kEpsilon = 1e-16;
    constexpr int kMaxTerms = 10000;
    const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
    double c = 1.0;
    double d = 1.0 - qab * x / qap;
    if (std::fabs(d) < kTiny)
        d = kTiny;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m <= kMaxTerms; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
        d = 1.0 + aa * d;
        d = std::fabs(d) < kTiny ? kTiny : d;
        c = 1.0 + aa / c;
        c = std::fabs(c) < kTiny ? kTiny : c;
        d = 1.0 / d;
        h *= d * c;
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
        d = 1.0 + aa * d;
        d = std::fabs(d) < kTiny ? kTiny : d;
        c = 1.0 + aa / c;
        c = std::fabs(c) < kTiny ? kTiny : c;
        d = 1.0 / d;
        const double step = d * c;
        h *= step;
        if (std::fabs(step - 1.0) < kEpsilon)
            break;
    }
    return h;
}

// I_x(a, b) for 0 <= x <= 1, given x and y = 1 - x each computed without cancellation.
double regularised_beta(double a, double b, double x, double y) {
    if (x <= 0.0)
        return 0.0;
    if (y <= 0.0)
        return 1.0;
    const double log_front =
        std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log(y);
    const double front = std::exp(log_front);
    if (x < (a + 1.0) / (a + b + 2.0))
        return front * beta_fraction(a, b, x) / a;
    return 1.0 - front * beta_fraction(b, a, y) / b;
}

}  // namespace

double student_t_two_sided_p(double t, double df) {
    if (std::isnan(t) || !(df > 0.0))
        return kNaN;
    if (std::isinf(t))
        return 0.0;
    // P(|T| >= |t|) = I_x(df / 2, 1 / 2) with x = df / (df + t^2).
    const double t2 = t * t;
    return std::clamp(regularised_beta(df / 2.0, 0.5, df / (df + t2), t2 / (df + t2)), 0.0, 1.0);
}

IcStats ic_stats(const double* ic, Index n) {
    IcStats s;
    double sum = 0.0;
    Index positive = 0;
    for (Index i = 0; i < n; ++i)
        if (!std::isnan(ic[i])) {
            sum += ic[i];
            positive += ic[i] > 0.0;
            ++s.days;
        }
    if (s.days == 0)
        return s;
    const auto count = static_cast<double>(s.days);
    s.mean = sum / count;
    s.positive_share = static_cast<double>(positive) / count;
    if (s.days < 2)
        return s;
    double ss = 0.0;
    for (Index i = 0; i < n; ++i)
        if (!std::isnan(ic[i]))
            ss += (ic[i] - s.mean) * (ic[i] - s.mean);
    s.std = std::sqrt(ss / (count - 1.0));
    // A spread within the rounding of the mean (the same IC every day, summed in floating point) is
    // no spread: the ratios are undefined, not astronomically large.
    if (!std::isfinite(s.std) || s.std <= kNoSpread * std::fabs(s.mean))
        return s;
    s.icir = s.mean / s.std;
    s.icir_annual = s.icir * std::sqrt(kTradingDaysPerYear);
    s.t_stat = s.mean / (s.std / std::sqrt(count));
    s.p_value = student_t_two_sided_p(s.t_stat, count - 1.0);
    return s;
}

namespace {

// The distinct known years, ascending.
std::vector<int> distinct_years(const std::vector<int>& years) {
    std::vector<int> out;
    for (int y : years)
        if (y >= 0)
            out.push_back(y);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace

std::vector<YearIcStats> ic_stats_by_year(const std::vector<double>& ic, const std::vector<int>& years) {
    std::vector<YearIcStats> out;
    std::vector<double> values;
    for (int year : distinct_years(years)) {
        values.clear();
        for (std::size_t i = 0; i < ic.size() && i < years.size(); ++i)
            if (years[i] == year)
                values.push_back(ic[i]);
        out.push_back(YearIcStats{year, ic_stats(values.data(), static_cast<Index>(values.size()))});
    }
    return out;
}

std::vector<double> mean_ic_by_month(const std::vector<double>& ic, const std::vector<int>& years,
                                     const std::vector<int>& months) {
    const std::vector<int> known = distinct_years(years);
    std::vector<double> sum(known.size() * 12, 0.0), count(known.size() * 12, 0.0);
    for (std::size_t i = 0; i < ic.size() && i < years.size() && i < months.size(); ++i) {
        if (years[i] < 0 || months[i] < 1 || months[i] > 12 || std::isnan(ic[i]))
            continue;
        const auto row =
            static_cast<std::size_t>(std::lower_bound(known.begin(), known.end(), years[i]) - known.begin());
        const std::size_t at = row * 12 + static_cast<std::size_t>(months[i] - 1);
        sum[at] += ic[i];
        count[at] += 1.0;
    }
    for (std::size_t at = 0; at < sum.size(); ++at)
        sum[at] = count[at] > 0.0 ? sum[at] / count[at] : kNaN;
    return sum;
}

}  // namespace vantorel
