// Where each row and column of a stored dataset comes from once new rows are merged into it.
#pragma once

#include <string>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// Target position -> position of the same text in `source` (its first one), -1 when absent.
IndexMap text_positions(const std::vector<std::string>& source, const std::vector<std::string>& target);

// Incoming rows merged into a stored dataset. Stored rows before the first incoming date stay where
// they are; from there on, incoming rows replace stored rows of the same date and add new dates.
// New codes add columns (sorted together with the stored ones when those were sorted), which, like
// incoming rows from the first stored date on, rewrites the whole dataset.
struct TailMerge {
    std::vector<std::string> codes;       // the merged columns
    Index cut = 0;                        // stored rows before the first incoming date
    bool rewrite = false;                 // the whole dataset is written again
    Index first_read = 0;                 // first stored row read back: 0 on a rewrite, else cut
    std::vector<std::string> tail_dates;  // the dates from the cut on: ascending, each once
    std::vector<std::string> out_dates;   // the dates written: the first `cut` on a rewrite, then tail_dates
    struct Row {
        bool incoming;  // an incoming row, else a stored row
        Index row;      // incoming row (in date order), or stored row counted from first_read
    };
    std::vector<Row> rows;      // the source of each row written
    IndexMap stored_columns;    // merged column -> stored column, -1 for a new code
    IndexMap incoming_columns;  // merged column -> incoming column, -1 when it lacks the code
};
// `stored_codes` and `incoming_codes` are the columns ({""} for a series, whose codes never change);
// `incoming_dates` are ascending and not empty; stored dates are ascending.
TailMerge plan_tail_merge(const std::vector<std::string>& stored_dates,
                          const std::vector<std::string>& stored_codes, bool is_series,
                          const std::vector<std::string>& incoming_dates,
                          const std::vector<std::string>& incoming_codes);

}  // namespace vantorel
