// Codes for the cells of long label columns: equal items share a code, numbered by first appearance.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// A column of labels as small integers: codes[i] is the label of row i, -1 when it has none.
struct Codes {
    std::vector<std::int32_t> codes;
    std::vector<Index> first;  // row where each code first appears
};

// Codes of 64-bit words (object pointers, int64 values, float64 bit patterns) compared bit for bit.
// `stride` is in words. Runs of equal neighbours, the usual shape of query tables, cost one compare.
Codes factorize_words(const std::uint64_t* data, Index n, Index stride);

// codes[i] := table[codes[i]], -1 passing through (table entries may be -1 too).
void remap_codes(std::vector<std::int32_t>& codes, const std::vector<std::int32_t>& table);

// codes[i] := -1 where by[i] is -1 or keep[by[i]] is 0 (records of another label dropped).
void keep_where(std::vector<std::int32_t>& codes, const std::vector<std::int32_t>& by,
                const std::vector<std::uint8_t>& keep);

// Position of each text in ascending byte order (the order of Python's str comparison for UTF-8).
std::vector<Index> text_ranks(const std::vector<std::string>& texts);

}  // namespace vantorel
