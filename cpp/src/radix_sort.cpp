#include "vantorel/radix_sort.hpp"

#include <array>

namespace vantorel {

void radix_sort(std::vector<KeyedIndex>& items, std::vector<KeyedIndex>& scratch) {
    // Six passes of 11 bits: fewer moves than eight byte passes, small enough histograms.
    constexpr int kBits = 11, kPasses = 6;
    constexpr std::uint64_t kMask = (1u << kBits) - 1;
    const std::size_t n = items.size();
    if (n < 2)
        return;
    scratch.resize(n);
    // All histograms in one pass; digits every key shares need no pass of their own.
    std::array<std::array<std::uint32_t, 1u << kBits>, kPasses> counts{};
    for (const KeyedIndex& it : items)
        for (int p = 0; p < kPasses; ++p)
            ++counts[static_cast<std::size_t>(p)][(it.key >> (kBits * p)) & kMask];
    KeyedIndex* src = items.data();
    KeyedIndex* dst = scratch.data();
    for (int p = 0; p < kPasses; ++p) {
        auto& c = counts[static_cast<std::size_t>(p)];
        const int shift = kBits * p;
        if (c[(src[0].key >> shift) & kMask] == n)
            continue;
        std::uint32_t offset = 0;
        for (auto& slot : c) {
            const std::uint32_t k = slot;
            slot = offset;
            offset += k;
        }
        for (std::size_t i = 0; i < n; ++i)
            dst[c[(src[i].key >> shift) & kMask]++] = src[i];
        std::swap(src, dst);
    }
    if (src != items.data())
        std::memcpy(items.data(), src, n * sizeof(KeyedIndex));
}

}  // namespace vantorel
