#include "vantorel/factorize.hpp"

#include <algorithm>
#include <numeric>

namespace vantorel {

namespace {

// Open addressing with linear probing; keys are arbitrary words, so occupancy is kept apart.
class WordTable {
public:
    WordTable() { resize(1024); }

    // The code of `key`, or `fresh` after inserting it.
    std::int32_t find_or_insert(std::uint64_t key, std::int32_t fresh) {
        std::size_t slot = hash(key) & mask_;
        while (used_[slot]) {
            if (keys_[slot] == key)
                return values_[slot];
            slot = (slot + 1) & mask_;
        }
        used_[slot] = 1;
        keys_[slot] = key;
        values_[slot] = fresh;
        if (++size_ * 2 > keys_.size())
            grow();
        return fresh;
    }

private:
    static std::size_t hash(std::uint64_t x) {
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        return static_cast<std::size_t>(x);
    }
    void resize(std::size_t n) {
        keys_.assign(n, 0);
        values_.assign(n, 0);
        used_.assign(n, 0);
        mask_ = n - 1;
        size_ = 0;
    }
    void grow() {
        std::vector<std::uint64_t> keys = std::move(keys_);
        std::vector<std::int32_t> values = std::move(values_);
        std::vector<std::uint8_t> used = std::move(used_);
        resize(keys.size() * 2);
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (used[i])
                find_or_insert(keys[i], values[i]);
    }

    std::vector<std::uint64_t> keys_;
    std::vector<std::int32_t> values_;
    std::vector<std::uint8_t> used_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace

Codes factorize_words(const std::uint64_t* data, Index n, Index stride) {
    Codes out;
    out.codes.resize(static_cast<std::size_t>(n));
    WordTable table;
    std::uint64_t previous = 0;
    std::int32_t previous_code = -1;
    for (Index i = 0; i < n; ++i) {
        const std::uint64_t w = data[i * stride];
        if (previous_code >= 0 && w == previous) {
            out.codes[static_cast<std::size_t>(i)] = previous_code;
            continue;
        }
        const auto fresh = static_cast<std::int32_t>(out.first.size());
        const std::int32_t code = table.find_or_insert(w, fresh);
        if (code == fresh)
            out.first.push_back(i);
        out.codes[static_cast<std::size_t>(i)] = code;
        previous = w;
        previous_code = code;
    }
    return out;
}

void remap_codes(std::vector<std::int32_t>& codes, const std::vector<std::int32_t>& table) {
    for (std::int32_t& c : codes)
        if (c >= 0)
            c = table[static_cast<std::size_t>(c)];
}

void keep_where(std::vector<std::int32_t>& codes, const std::vector<std::int32_t>& by,
                const std::vector<std::uint8_t>& keep) {
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const std::int32_t b = by[i];
        if (b < 0 || !keep[static_cast<std::size_t>(b)])
            codes[i] = -1;
    }
}

std::vector<Index> text_ranks(const std::vector<std::string>& texts) {
    std::vector<Index> order(texts.size());
    std::iota(order.begin(), order.end(), Index{0});
    std::sort(order.begin(), order.end(), [&](Index a, Index b) {
        return texts[static_cast<std::size_t>(a)] < texts[static_cast<std::size_t>(b)];
    });
    std::vector<Index> rank(texts.size());
    for (std::size_t r = 0; r < order.size(); ++r)
        rank[static_cast<std::size_t>(order[r])] = static_cast<Index>(r);
    return rank;
}

}  // namespace vantorel
