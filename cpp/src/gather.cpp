#include "vantorel/gather.hpp"

namespace vantorel {

std::vector<double> gather_numbers(const AlignedView& m) {
    const Index rows = m.rows(), cols = m.cols();
    std::vector<double> out(static_cast<std::size_t>(rows * cols));
    for (Index i = 0; i < rows; ++i)
        for (Index k = 0; k < cols; ++k)
            out[static_cast<std::size_t>(i * cols + k)] = m.number(i, k);
    return out;
}

std::vector<std::uint8_t> gather_flags(const AlignedView& m, bool missing) {
    const Index rows = m.rows(), cols = m.cols();
    std::vector<std::uint8_t> out(static_cast<std::size_t>(rows * cols));
    for (Index i = 0; i < rows; ++i)
        for (Index k = 0; k < cols; ++k)
            out[static_cast<std::size_t>(i * cols + k)] = m.flag(i, k, missing) ? 1 : 0;
    return out;
}

}  // namespace vantorel
