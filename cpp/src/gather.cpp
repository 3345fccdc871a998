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

IndexMap positions_where(const std::vector<std::uint8_t>& mask) {
    IndexMap out;
    for (std::size_t i = 0; i < mask.size(); ++i)
        if (mask[i])
            out.push_back(static_cast<Index>(i));
    return out;
}

IndexMap found_positions(const IndexMap& map) {
    IndexMap out;
    for (std::size_t i = 0; i < map.size(); ++i)
        if (map[i] >= 0)
            out.push_back(static_cast<Index>(i));
    return out;
}

std::vector<double> take(const std::vector<double>& x, const IndexMap& pos) {
    std::vector<double> out(pos.size());
    for (std::size_t i = 0; i < pos.size(); ++i)
        out[i] = pos[i] < 0 ? kNaN : x[static_cast<std::size_t>(pos[i])];
    return out;
}

IndexMap compose(const IndexMap& outer, const IndexMap& inner) {
    IndexMap out(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i)
        out[i] = inner[i] < 0 ? -1 : outer[static_cast<std::size_t>(inner[i])];
    return out;
}

}  // namespace vantorel
