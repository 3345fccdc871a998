#include "vantorel/rank.hpp"

#include <algorithm>
#include <cmath>

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
