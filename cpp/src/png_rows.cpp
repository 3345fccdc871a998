#include "vantorel/png_rows.hpp"

#include <cstring>

namespace vantorel::png {

bool all_opaque(const std::uint8_t* rgba, std::size_t pixels) {
    std::uint8_t all = 0xff;
    for (std::size_t i = 0; i < pixels; ++i)
        all &= rgba[i * 4 + 3];
    return all == 0xff;
}

void pack_rows(const std::uint8_t* rgba, std::size_t height, std::size_t width, bool rgb, std::uint8_t* out) {
    const std::size_t stride = row_bytes(width, rgb);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* src = rgba + y * width * 4;
        std::uint8_t* dst = out + y * stride;
        *dst++ = 0;
        if (!rgb) {
            std::memcpy(dst, src, width * 4);
            continue;
        }
        for (std::size_t x = 0; x < width; ++x, src += 4, dst += 3) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
    }
}

std::uint32_t adler32_combine(std::uint32_t first, std::uint32_t second, std::size_t second_length) {
    // Adler-32 is a = 1 + sum of bytes, b = sum of the a's, both mod 65521; joining shifts the
    // second part's sums by the first part's a, once per byte of the second part.
    constexpr std::uint64_t kBase = 65521;
    const std::uint64_t rem = second_length % kBase;
    const std::uint64_t a1 = first & 0xffff, b1 = first >> 16;
    const std::uint64_t a2 = second & 0xffff, b2 = second >> 16;
    const std::uint64_t a = (a1 + a2 + kBase - 1) % kBase;
    const std::uint64_t b = (b1 + b2 + rem * a1 % kBase + kBase - rem) % kBase;
    return static_cast<std::uint32_t>(b << 16 | a);
}

}  // namespace vantorel::png
