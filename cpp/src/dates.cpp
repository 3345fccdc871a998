#include "vantorel/dates.hpp"

#include <cctype>

namespace vantorel {

namespace {

bool all_digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return !s.empty();
}

int to_int(std::string_view s) {
    int v = 0;
    for (char c : s)
        v = v * 10 + (c - '0');
    return v;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

std::optional<std::string> checked(std::string_view y, std::string_view m, std::string_view d) {
    if (!all_digits(y) || !all_digits(m) || !all_digits(d) || y.size() != 4 || m.size() != 2 || d.size() != 2)
        return std::nullopt;
    if (!is_valid_date(to_int(y), to_int(m), to_int(d)))
        return std::nullopt;
    std::string out;
    out.reserve(8);
    out.append(y).append(m).append(d);
    return out;
}

}  // namespace

bool is_valid_date(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1)
        return false;
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= last;
}

std::optional<std::string> parse_date_text(std::string_view text) {
    text = trim(text);
    if (text.size() == 8)
        return checked(text.substr(0, 4), text.substr(4, 2), text.substr(6, 2));
    if (text.size() < 10)
        return std::nullopt;
    const char sep = text[4];
    if ((sep != '-' && sep != '/') || text[7] != sep)
        return std::nullopt;
    if (text.size() > 10 && text[10] != ' ' && text[10] != 'T')
        return std::nullopt;
    return checked(text.substr(0, 4), text.substr(5, 2), text.substr(8, 2));
}

bool has_date_shape(std::string_view text) {
    text = trim(text);
    if (text.size() == 8)
        return all_digits(text);
    if (text.size() < 10 || (text.size() > 10 && text[10] != ' ' && text[10] != 'T'))
        return false;
    const char sep = text[4];
    return (sep == '-' || sep == '/') && text[7] == sep && all_digits(text.substr(0, 4)) &&
           all_digits(text.substr(5, 2)) && all_digits(text.substr(8, 2));
}

std::optional<std::string> date_from_integer(std::int64_t value) {
    if (value < 10000101 || value > 99991231)
        return std::nullopt;
    const auto year = static_cast<int>(value / 10000);
    const auto month = static_cast<int>(value / 100 % 100);
    const auto day = static_cast<int>(value % 100);
    if (!is_valid_date(year, month, day))
        return std::nullopt;
    return std::to_string(value);
}

std::optional<std::string> date_from_epoch(std::int64_t value, std::int64_t units_per_day) {
    if (units_per_day <= 0)
        return std::nullopt;
    // Floor division, so an instant before 1970 belongs to the day it falls on.
    std::int64_t days = value / units_per_day;
    if (value % units_per_day != 0 && value < 0)
        --days;
    // Civil date from a day count (proleptic Gregorian), after H. Hinnant.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 1 || year > 9999)
        return std::nullopt;
    return date_from_integer(year * 10000 + month * 100 + day);
}

IndexMap positions_in_range(const std::vector<std::string_view>& labels, std::optional<std::string_view> lo,
                            std::optional<std::string_view> hi) {
    IndexMap out;
    const auto n = static_cast<Index>(labels.size());
    for (Index i = 0; i < n; ++i) {
        const std::string_view label = labels[static_cast<std::size_t>(i)];
        if ((!lo || label >= *lo) && (!hi || label <= *hi))
            out.push_back(i);
    }
    return out;
}

bool is_consecutive(const IndexMap& positions) {
    for (std::size_t i = 1; i < positions.size(); ++i)
        if (positions[i] != positions[i - 1] + 1)
            return false;
    return true;
}

}  // namespace vantorel
