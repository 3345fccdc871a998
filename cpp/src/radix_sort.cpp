#include "vantorel/radix_sort.hpp"

#include <array>

namespace vantorel {

void radix_sort(std::vector<KeyedIndex>& items, std::vector<KeyedIndex>& scratch) {
    const std::size_t n = items.size();
    if (n < 2)
        return;
    scratch.resize(n);
    // All eight byte histograms in one pass; bytes every key shares need no pass of their own.
    std::array<std::array<std::uint32_t, 256>, 8> counts{};
    for (const KeyedIndex& it : items)
        for (int b = 0; b < 8; ++b)
            ++counts[static_cast<std::size_t>(b)][(it.key >> (8 * b)) & 0xFF];
    KeyedIndex* src = items.data();
    KeyedIndex* dst = scratch.data();
    for (int b = 0; b < 8; ++b) {
        auto& c = counts[static_cast<std::size_t>(b)];
        if (c[(src[0].key >> (8 * b)) & 0xFF] == n)
            continue;
        std::uint32_t offset = 0;
        for (auto& slot : c) {
            const std::uint32_t k = slot;
            slot = offset;
            offset += k;
        }
        for (std::size_t i = 0; i < n; ++i)
            dst[c[(src[i].key >> (8 * b)) & 0xFF]++] = src[i];
        std::swap(src, dst);
    }
    if (src != items.data())
        std::memcpy(items.data(), src, n * sizeof(KeyedIndex));
}

}  // namespace vantorel
