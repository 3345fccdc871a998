// Finding the non-NaN cells of a contiguous run quickly: most cells of a weight row are empty.
#pragma once

#include <cstdint>

#include "vantorel/matrix.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantorel {

// Calls fn(k) for every k in [0, n) where x[k] is not NaN, in ascending order.
template <class Fn>
inline void for_each_present(const double* x, Index n, Fn&& fn) {
    Index k = 0;
#if defined(__SSE2__)
    // Eight cells per step: one bit per present cell, then visit the set bits.
    for (; k + 8 <= n; k += 8) {
        const unsigned mask =
            static_cast<unsigned>(_mm_movemask_pd(_mm_cmpord_pd(_mm_loadu_pd(x + k), _mm_loadu_pd(x + k)))) |
            static_cast<unsigned>(
                _mm_movemask_pd(_mm_cmpord_pd(_mm_loadu_pd(x + k + 2), _mm_loadu_pd(x + k + 2))))
                << 2 |
            static_cast<unsigned>(
                _mm_movemask_pd(_mm_cmpord_pd(_mm_loadu_pd(x + k + 4), _mm_loadu_pd(x + k + 4))))
                << 4 |
            static_cast<unsigned>(
                _mm_movemask_pd(_mm_cmpord_pd(_mm_loadu_pd(x + k + 6), _mm_loadu_pd(x + k + 6))))
                << 6;
        for (unsigned m = mask; m != 0; m &= m - 1)
            fn(k + __builtin_ctz(m));
    }
#endif
    for (; k < n; ++k)
        if (x[k] == x[k])
            fn(k);
}

}  // namespace vantorel
