// Summary figures of a daily information coefficient series, and the Student t tail they test with.
#pragma once

#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// Figures of the present (non-NaN) values of a daily IC series. With fewer than two values, or a
// standard deviation of zero (within 1e-13 of the mean's size: rounding), the ratios are NaN; the
// mean and the share need one value.
struct IcStats {
    double mean = kNaN;
    double std = kNaN;             // sample standard deviation (n - 1)
    double icir = kNaN;            // mean / std
    double icir_annual = kNaN;     // icir x sqrt(252)
    double t_stat = kNaN;          // mean / (std / sqrt(n))
    double p_value = kNaN;         // two-sided, Student's t with n - 1 degrees of freedom
    double positive_share = kNaN;  // share of the days with an IC above zero
    Index days = 0;
};
IcStats ic_stats(const double* ic, Index n);

// P(|T| >= |t|) for Student's t with `df` > 0 degrees of freedom; NaN for a NaN t or df <= 0.
double student_t_two_sided_p(double t, double df);

// The same figures per calendar year: years[i] is row i's year (negative when unknown, left out).
struct YearIcStats {
    int year;
    IcStats stats;
};
std::vector<YearIcStats> ic_stats_by_year(const std::vector<double>& ic, const std::vector<int>& years);

// Mean IC per year and calendar month (1..12): one row of twelve per year of ic_stats_by_year's
// order, NaN where a month has no value.
std::vector<double> mean_ic_by_month(const std::vector<double>& ic, const std::vector<int>& years,
                                     const std::vector<int>& months);

}  // namespace vantorel
