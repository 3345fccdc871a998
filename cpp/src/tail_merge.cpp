#include "vantorel/tail_merge.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace vantorel {

IndexMap text_positions(const std::vector<std::string>& source, const std::vector<std::string>& target) {
    std::unordered_map<std::string_view, Index> at;
    at.reserve(source.size());
    for (std::size_t i = 0; i < source.size(); ++i)
        at.emplace(source[i], static_cast<Index>(i));
    IndexMap out(target.size(), -1);
    for (std::size_t i = 0; i < target.size(); ++i) {
        auto it = at.find(target[i]);
        if (it != at.end())
            out[i] = it->second;
    }
    return out;
}

TailMerge plan_tail_merge(const std::vector<std::string>& stored_dates,
                          const std::vector<std::string>& stored_codes, bool is_series,
                          const std::vector<std::string>& incoming_dates,
                          const std::vector<std::string>& incoming_codes) {
    TailMerge m;
    m.codes = stored_codes;
    if (!is_series) {
        const std::unordered_set<std::string> have(stored_codes.begin(), stored_codes.end());
        for (const std::string& c : incoming_codes)
            if (have.count(c) == 0)
                m.codes.push_back(c);
        if (m.codes.size() != stored_codes.size() && std::is_sorted(stored_codes.begin(), stored_codes.end()))
            std::sort(m.codes.begin(), m.codes.end());
    }
    const bool columns_changed = m.codes.size() != stored_codes.size();
    m.cut = static_cast<Index>(
        std::lower_bound(stored_dates.begin(), stored_dates.end(), incoming_dates.front()) -
        stored_dates.begin());
    m.rewrite = columns_changed || m.cut == 0;
    m.first_read = m.rewrite ? 0 : m.cut;

    m.tail_dates.assign(stored_dates.begin() + m.cut, stored_dates.end());
    m.tail_dates.insert(m.tail_dates.end(), incoming_dates.begin(), incoming_dates.end());
    std::sort(m.tail_dates.begin(), m.tail_dates.end());
    m.tail_dates.erase(std::unique(m.tail_dates.begin(), m.tail_dates.end()), m.tail_dates.end());

    m.stored_columns = text_positions(stored_codes, m.codes);
    m.incoming_columns = text_positions(incoming_codes, m.codes);
    if (m.rewrite)
        for (Index i = 0; i < m.cut; ++i) {
            m.rows.push_back({false, i});
            m.out_dates.push_back(stored_dates[static_cast<std::size_t>(i)]);
        }
    const IndexMap from_incoming = text_positions(incoming_dates, m.tail_dates);
    const IndexMap from_store = text_positions(stored_dates, m.tail_dates);
    for (std::size_t i = 0; i < m.tail_dates.size(); ++i) {
        if (from_incoming[i] >= 0)
            m.rows.push_back({true, from_incoming[i]});
        else
            m.rows.push_back({false, from_store[i] - m.first_read});
        m.out_dates.push_back(m.tail_dates[i]);
    }
    return m;
}

}  // namespace vantorel
