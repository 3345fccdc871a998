// The pixel side of writing a PNG file: rows packed behind their filter bytes, and the checksum
// arithmetic that lets parts of the image be deflated apart and joined into one zlib stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantorel::png {

// Whether every pixel of an RGBA buffer is fully opaque (the picture then needs no alpha channel).
bool all_opaque(const std::uint8_t* rgba, std::size_t pixels);

// Bytes of one packed row: its filter byte and width pixels of 3 (RGB) or 4 (RGBA) bytes.
inline std::size_t row_bytes(std::size_t width, bool rgb) {
    return 1 + width * (rgb ? 3 : 4);
}

// Writes height rows of an RGBA buffer into `out` (height * row_bytes(width, rgb) bytes), each row
// behind filter byte 0 (none), dropping the alpha byte of each pixel when `rgb`.
void pack_rows(const std::uint8_t* rgba, std::size_t height, std::size_t width, bool rgb, std::uint8_t* out);

// The Adler-32 checksum of two buffers joined, from their checksums and the second one's length.
std::uint32_t adler32_combine(std::uint32_t first, std::uint32_t second, std::size_t second_length);

}  // namespace vantorel::png
