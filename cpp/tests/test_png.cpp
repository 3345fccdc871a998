// PNG rows and the checksum of a zlib stream deflated in parts.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "vantorel/png_rows.hpp"

namespace {

std::uint32_t adler32(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
    std::uint32_t a = 1, b = 0;
    for (std::size_t i = from; i < to; ++i) {
        a = (a + bytes[i]) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

}  // namespace

TEST(rows_keep_their_pixels_behind_a_none_filter_byte) {
    // Two rows of two pixels; the second pixel is translucent.
    const std::vector<std::uint8_t> rgba{1, 2, 3, 255, 4, 5, 6, 7, 8, 9, 10, 255, 11, 12, 13, 255};
    CHECK(!vantorel::png::all_opaque(rgba.data(), 4));
    CHECK(vantorel::png::all_opaque(rgba.data() + 8, 2));

    std::vector<std::uint8_t> rows(2 * vantorel::png::row_bytes(2, false));
    vantorel::png::pack_rows(rgba.data(), 2, 2, false, rows.data());
    CHECK(rows ==
          (std::vector<std::uint8_t>{0, 1, 2, 3, 255, 4, 5, 6, 7, 0, 8, 9, 10, 255, 11, 12, 13, 255}));

    rows.assign(2 * vantorel::png::row_bytes(2, true), 0xee);
    vantorel::png::pack_rows(rgba.data(), 2, 2, true, rows.data());
    CHECK(rows == (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6, 0, 8, 9, 10, 11, 12, 13}));
}

TEST(checksums_of_parts_join_into_the_checksum_of_the_whole) {
    // Long enough for both sums to wrap many times; split at the edges and in between.
    std::vector<std::uint8_t> bytes(200000);
    std::uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 24 | 0xc0);
    }
    for (std::size_t cut :
         {std::size_t{0}, std::size_t{1}, std::size_t{65521}, std::size_t{131043}, bytes.size()}) {
        const std::uint32_t joined = vantorel::png::adler32_combine(
            adler32(bytes, 0, cut), adler32(bytes, cut, bytes.size()), bytes.size() - cut);
        CHECK(joined == adler32(bytes, 0, bytes.size()));
    }
}
