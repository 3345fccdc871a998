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
    std::sort(scratch.begin(), scratch.end(),
              [](const auto& a, const auto& b) { return a.first < b.first || (a.first == b.first && a.second < b.second); });
    const std::size_t m = scratch.size();
    for (std::size_t lo = 0; lo < m;) {
        std::size_t hi = lo + 1;
        while (hi < m && scratch[hi].first == scratch[lo].first)
            ++hi;
        // Positions lo + 1 .. hi share their mean, which is exact in binary.
        const double rank = (static_cast<double>(lo + 1) + static_cast<double>(hi)) / 2.0;
        for (std::size_t j = lo; j < hi; ++j)
            out[scratch[j].second] = rank;
        lo = hi;
    }
}

std::vector<double> forward_return_rank(const AlignedView& open) {
    const Index rows = open.rows(), cols = open.cols();
    std::vector<double> out(static_cast<std::size_t>(rows * cols), kNaN);
    std::vector<double> ret(static_cast<std::size_t>(cols)), next(static_cast<std::size_t>(cols)),
        after(static_cast<std::size_t>(cols));
    std::vector<std::pair<double, Index>> scratch;
    scratch.reserve(static_cast<std::size_t>(cols));
    for (Index i = 0; i + 2 < rows; ++i) {
        open.read_row(i + 1, next.data());
        open.read_row(i + 2, after.data());
        for (Index k = 0; k < cols; ++k) {
            const double r = after[static_cast<std::size_t>(k)] / next[static_cast<std::size_t>(k)] - 1.0;
            ret[static_cast<std::size_t>(k)] = std::isinf(r) ? kNaN : r;
        }
        average_rank(ret.data(), cols, out.data() + i * cols, scratch);
    }
    return out;
}

}  // namespace vantorel
