// Fast 64-bit checksums of stored rows (the XXH64 function).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantorel/matrix.hpp"

namespace vantorel {

// XXH64 of `bytes` bytes at `data` with seed 0.
std::uint64_t hash_bytes(const void* data, std::size_t bytes);

// One checksum per row of a C-order block: out[i] = hash_bytes(data + i * row_bytes, row_bytes).
void hash_rows(const void* data, Index rows, std::size_t row_bytes, std::uint64_t* out);

}  // namespace vantorel
