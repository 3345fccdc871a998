#include "vantorel/rank.hpp"

#include <algorithm>
#include <cmath>

#include "vantorel/stats.hpp"

namespace vantorel {

void average_rank(const double* x, Index n, double* out, std::vector<std::pair<double, Index>>& scratch) {
    scratch.clear();
    for (Index k = 0; k < n; ++k) {
        out[k] = kNaN;
        if (!std::isnan(x[k]))
            scratch.emplace_back(x[k], k);
    }
    std::sort(scratch.begin(), scratch.end(), [](const auto& a, const auto& b) {
        return a.first < b.first || (a.first == b.first && a.second < b.second);
    });
    average_ranks_of_sorted(
        scratch.size(), [&](std::size_t j) { return scratch[j].first; },
        [&](std::size_t j) { return scratch[j].second; }, out);
}

void average_ranks(const double* values, std::size_t n, double* ranks, RankScratch& s) {
    if (n == 0)
        return;
    // Four running extremes each: independent chains the processor overlaps.
    double lo4[4] = {values[0], values[0], values[0], values[0]}, hi4[4] = {lo4[0], lo4[0], lo4[0], lo4[0]};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t j = 0; j < 4; ++j) {
            lo4[j] = std::min(lo4[j], values[i + j]);
            hi4[j] = std::max(hi4[j], values[i + j]);
        }
    for (; i < n; ++i) {
        lo4[0] = std::min(lo4[0], values[i]);
        hi4[0] = std::max(hi4[0], values[i]);
    }
    const double lo = std::min(std::min(lo4[0], lo4[1]), std::min(lo4[2], lo4[3]));
    const double hi = std::max(std::max(hi4[0], hi4[1]), std::max(hi4[2], hi4[3]));
    // Bucket of a value: monotone in the value, so buckets come in the values' order and equal values
    // share one. A spread too wide or too narrow for the arithmetic puts every value in one bucket.
    const double scale = static_cast<double>(n) / (hi - lo);
    const bool spread = std::isfinite(scale) && scale > 0.0;
    const double last = static_cast<double>(n - 1);
    s.bucket.resize(n);
    for (i = 0; i < n; ++i) {
        const double b = spread ? std::min((values[i] - lo) * scale, last) : 0.0;
        s.bucket[i] = static_cast<std::uint32_t>(b);
    }
    s.start.assign(n + 1, 0);
    for (i = 0; i < n; ++i)
        ++s.start[s.bucket[i] + 1];
    for (std::size_t k = 0; k < n; ++k)
        s.start[k + 1] += s.start[k];
    // Values in bucket order; a few slots past the end keep the window below inside the buffer.
    constexpr std::uint32_t kWindow = 4;
    s.order.resize(n);
    s.sorted_value.resize(n + kWindow);
    s.sorted_bucket.resize(n);
    s.cursor.assign(s.start.begin(), s.start.end() - 1);
    for (i = 0; i < n; ++i) {
        const std::uint32_t p = s.cursor[s.bucket[i]]++;
        s.order[p] = static_cast<std::uint32_t>(i);
        s.sorted_value[p] = values[i];
        s.sorted_bucket[p] = s.bucket[i];
    }
    // A value's average rank is its bucket's start plus its average rank within the bucket. Buckets
    // of up to kWindow values (nearly all of them) compare a fixed window of slots, without a branch
    // to mispredict; larger ones are sorted afterwards.
    bool large = false;
    for (std::size_t p = 0; p < n; ++p) {
        const std::uint32_t k = s.sorted_bucket[p];
        const std::uint32_t first = s.start[k], end = s.start[k + 1];
        if (end - first > kWindow) {
            large = true;
            continue;
        }
        const double v = s.sorted_value[p];
        std::uint32_t below = 0, equal = 0;
        for (std::uint32_t j = first; j < first + kWindow; ++j) {
            const bool inside = j < end;
            below += inside & (s.sorted_value[j] < v);
            equal += inside & (s.sorted_value[j] == v);
        }
        // Positions first + below + 1 .. first + below + equal share their mean.
        ranks[s.order[p]] = static_cast<double>(first + below) + (1.0 + static_cast<double>(equal)) / 2.0;
    }
    if (!large)
        return;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t first = s.start[k], size = s.start[k + 1] - first;
        if (size <= kWindow)
            continue;
        std::uint32_t* sorted = s.order.data() + first;
        std::sort(sorted, sorted + size,
                  [&](std::uint32_t a, std::uint32_t b) { return values[a] < values[b]; });
        for (std::uint32_t run = 0; run < size;) {
            std::uint32_t run_end = run + 1;
            while (run_end < size && values[sorted[run_end]] == values[sorted[run]])
                ++run_end;
            const double rank =
                static_cast<double>(first + run) + (1.0 + static_cast<double>(run_end - run)) / 2.0;
            for (std::uint32_t j = run; j < run_end; ++j)
                ranks[sorted[j]] = rank;
            run = run_end;
        }
    }
}

double rank_correlation(const double* rx, const double* ry, std::size_t n) {
    if (n < 2)
        return kNaN;
    // Average ranks 1..n sum to n (n + 1) / 2 exactly, whatever the ties: their mean needs no pass.
    const double mean = (static_cast<double>(n) + 1.0) / 2.0;
    double sxy = 0.0, sxx = 0.0, syy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = rx[i] - mean, dy = ry[i] - mean;
        sxy += dx * dy;
        sxx += dx * dx;
        syy += dy * dy;
    }
    const double r = sxy / std::sqrt(sxx) / std::sqrt(syy);
    return std::isnan(r) ? kNaN : std::clamp(r, -1.0, 1.0);
}

double spearman_of_sorted(const std::vector<std::uint64_t>& x_keys, const std::vector<double>& y,
                          SpearmanScratch& s) {
    const std::size_t n = y.size();
    if (n < 2)
        return kNaN;
    s.rx.resize(n);
    average_ranks_of_sorted(
        n, [&](std::size_t i) { return x_keys[i]; }, [](std::size_t i) { return i; }, s.rx);
    s.ry.resize(n);
    average_ranks(y.data(), n, s.ry.data(), s.ranks);
    return rank_correlation(s.rx.data(), s.ry.data(), n);
}

void forward_open_return_row(const double* next_open, const double* after_open, Index cols, double* forward) {
    for (Index k = 0; k < cols; ++k) {
        const double r = after_open[k] / next_open[k] - 1.0;
        forward[k] = std::isinf(r) ? kNaN : r;
    }
}

namespace {

// Calls row(i, forward) for every date i with two dates after it, forward holding its returns.
template <typename Row>
void for_each_forward_row(const AlignedView& open, Row row) {
    const Index rows = open.rows(), cols = open.cols();
    std::vector<double> forward(static_cast<std::size_t>(cols)), next(static_cast<std::size_t>(cols)),
        after(static_cast<std::size_t>(cols));
    for (Index i = 0; i + 2 < rows; ++i) {
        open.read_row(i + 1, next.data());
        open.read_row(i + 2, after.data());
        forward_open_return_row(next.data(), after.data(), cols, forward.data());
        row(i, forward.data());
    }
}

}  // namespace

DenseMatrix forward_open_return(const AlignedView& open) {
    DenseMatrix out;
    out.rows = open.rows();
    out.cols = open.cols();
    out.values.assign(static_cast<std::size_t>(out.rows * out.cols), kNaN);
    for_each_forward_row(open, [&](Index i, const double* forward) {
        std::copy(forward, forward + out.cols, out.values.begin() + i * out.cols);
    });
    return out;
}

std::vector<double> forward_return_rank(const AlignedView& open) {
    const Index rows = open.rows(), cols = open.cols();
    std::vector<double> out(static_cast<std::size_t>(rows * cols), kNaN);
    std::vector<std::pair<double, Index>> scratch;
    scratch.reserve(static_cast<std::size_t>(cols));
    for_each_forward_row(open, [&](Index i, const double* forward) {
        average_rank(forward, cols, out.data() + i * cols, scratch);
    });
    return out;
}

}  // namespace vantorel
