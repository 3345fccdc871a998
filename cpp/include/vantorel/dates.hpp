// Trading-date labels: parsing to YYYYMMDD text and selection of label ranges.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// A calendar date that exists (proleptic Gregorian, years 1 to 9999).
bool is_valid_date(int year, int month, int day);

// The YYYYMMDD text of a date written as "YYYYMMDD", "YYYY-MM-DD" or "YYYY/MM/DD", optionally
// followed by a time of day after a blank or "T"; surrounding white space is ignored. Nothing when
// the text is not such a date or names a day that does not exist.
std::optional<std::string> parse_date_text(std::string_view text);

// True when the text has one of the shapes parse_date_text reads (eight digits, or four digits,
// "-" or "/", two digits, the same separator, two digits, then optionally a time), whether or not
// the day exists.
bool has_date_shape(std::string_view text);

// The YYYYMMDD text of an integer such as 20200102; nothing when it is not an existing date.
std::optional<std::string> date_from_integer(std::int64_t value);

// The YYYYMMDD text of a time stamp counted in `units_per_day` units since 1970-01-01 (the day it
// falls on, also before 1970); nothing outside years 1 to 9999.
std::optional<std::string> date_from_epoch(std::int64_t value, std::int64_t units_per_day);

// Positions of the labels with lo <= label <= hi in text order (an absent bound is open).
IndexMap positions_in_range(const std::vector<std::string_view>& labels, std::optional<std::string_view> lo,
                            std::optional<std::string_view> hi);

// True when positions are first, first + 1, ... (a row range a view can cover).
bool is_consecutive(const IndexMap& positions);

}  // namespace vantorel
