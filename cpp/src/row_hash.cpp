#include "vantorel/row_hash.hpp"

#include <cstring>
#include <string>

namespace vantorel {

namespace {

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kP5 = 0x27D4EB2F165667C5ULL;

inline std::uint64_t rotl(std::uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}

// Stored files are little-endian; so is every host we build for.
inline std::uint64_t read64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline std::uint32_t read32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline std::uint64_t round(std::uint64_t acc, std::uint64_t input) {
    acc += input * kP2;
    acc = rotl(acc, 31);
    return acc * kP1;
}

inline std::uint64_t merge_round(std::uint64_t acc, std::uint64_t val) {
    acc ^= round(0, val);
    return acc * kP1 + kP4;
}

}  // namespace

std::uint64_t hash_bytes(const void* data, std::size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    const unsigned char* const end = p + len;
    std::uint64_t h;
    if (len >= 32) {
        const unsigned char* const limit = end - 32;
        std::uint64_t v1 = kP1 + kP2, v2 = kP2, v3 = 0, v4 = 0 - kP1;
        do {
            v1 = round(v1, read64(p));
            v2 = round(v2, read64(p + 8));
            v3 = round(v3, read64(p + 16));
            v4 = round(v4, read64(p + 24));
            p += 32;
        } while (p <= limit);
        h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
        h = merge_round(h, v1);
        h = merge_round(h, v2);
        h = merge_round(h, v3);
        h = merge_round(h, v4);
    } else {
        h = kP5;
    }
    h += static_cast<std::uint64_t>(len);
    while (p + 8 <= end) {
        h ^= round(0, read64(p));
        h = rotl(h, 27) * kP1 + kP4;
        p += 8;
    }
    if (p + 4 <= end) {
        h ^= static_cast<std::uint64_t>(read32(p)) * kP1;
        h = rotl(h, 23) * kP2 + kP3;
        p += 4;
    }
    while (p < end) {
        h ^= static_cast<std::uint64_t>(*p) * kP5;
        h = rotl(h, 11) * kP1;
        ++p;
    }
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

void hash_rows(const void* data, Index rows, std::size_t row_bytes, std::uint64_t* out) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (Index i = 0; i < rows; ++i)
        out[i] = hash_bytes(p + static_cast<std::size_t>(i) * row_bytes, row_bytes);
}

namespace {

void append_count(std::string& out, std::uint64_t n) {
    char bytes[8];
    std::memcpy(bytes, &n, 8);
    out.append(bytes, 8);
}

void append_group(std::string& out, const std::vector<std::string_view>& labels) {
    append_count(out, labels.size());
    for (std::string_view label : labels) {
        append_count(out, label.size());
        out.append(label);
    }
}

}  // namespace

std::uint64_t hash_labels(const std::vector<std::string_view>& dates,
                          const std::vector<std::string_view>* codes,
                          const std::optional<std::string_view>& name) {
    std::string buffer;
    append_group(buffer, dates);
    if (codes != nullptr) {
        buffer.push_back('c');
        append_group(buffer, *codes);
    }
    if (name) {
        buffer.push_back('n');
        append_count(buffer, name->size());
        buffer.append(*name);
    }
    return hash_bytes(buffer.data(), buffer.size());
}

}  // namespace vantorel
