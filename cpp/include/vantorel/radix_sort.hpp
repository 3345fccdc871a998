// Stable LSD radix sort of (double key, int payload) pairs: the daily ranking of a few thousand
// stocks, thousands of times, where a comparison sort's scattered loads dominate.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace vantorel {

struct KeyedIndex {
    std::uint64_t key;  // order-preserving image of the double
    std::int32_t index;
};

// Unsigned integers ordered as the doubles are (NaN excluded); -0.0 and 0.0 map alike.
inline std::uint64_t sortable_key(double v) {
    if (v == 0.0)
        v = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x8000000000000000ULL) ? ~bits : bits | 0x8000000000000000ULL;
}

// Sorts by key, keeping the input order among equal keys. `scratch` is reused between calls.
void radix_sort(std::vector<KeyedIndex>& items, std::vector<KeyedIndex>& scratch);

}  // namespace vantorel
