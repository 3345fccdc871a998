// Fast 64-bit checksums of stored rows (the XXH64 function).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// XXH64 of `bytes` bytes at `data` with seed 0.
std::uint64_t hash_bytes(const void* data, std::size_t bytes);

// One checksum per row of a C-order block: out[i] = hash_bytes(data + i * row_bytes, row_bytes).
void hash_rows(const void* data, Index rows, std::size_t row_bytes, std::uint64_t* out);

// One checksum over the labels of a stored dataset: its dates, its codes (none for a series) and
// its name (none for a frame or a nameless series). Each group and each label is length-prefixed,
// so moving a label between groups or splitting one changes the checksum.
std::uint64_t hash_labels(const std::vector<std::string_view>& dates,
                          const std::vector<std::string_view>* codes,
                          const std::optional<std::string_view>& name);

}  // namespace vantorel
