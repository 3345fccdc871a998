// Declarations shared by the source files of GroupPreparedDataBuilder.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge.hpp"
#include "prepare.hpp"

namespace vantorel::prepare {

// ---- label and number columns of query tables (columns.cpp) ------------------------------

enum class LabelKind {
    StockCode,  // the first six characters of the text form
    Date,       // YYYYMMDD, each distinct value parsed on its own
    Name,       // the text form
};

// A column of labels read once: a code per record (-1 when it has none) and the text of each code.
struct LabelColumn {
    std::vector<std::int32_t> codes;
    std::vector<std::string> texts;
};
LabelColumn read_label_column(nb::handle series, LabelKind kind);

// One date value (text, number, date object) as YYYYMMDD text; nothing when it names no date.
std::optional<std::string> date_text(nb::handle value);

// A column as float64 (unparseable entries NaN), kept alive by `owner`.
struct NumberColumn {
    nb::object owner;
    const double* data = nullptr;
    Index stride = 1;
    Index size = 0;
};
NumberColumn read_number_column(nb::handle series);

// Columns of a query table. The first of `spellings` that the table has, or nothing.
std::optional<std::string> first_column(nb::handle df, std::initializer_list<const char*> spellings);
// One column (the first of several with that label).
nb::object table_column(nb::handle df, nb::handle label);
nb::object table_column(nb::handle df, const std::string& label);
// KeyError with one message text.
[[noreturn]] void raise_key_error(const std::string& message);

// pd.Index (text dtype) of texts[codes[i]] for each i.
nb::object text_index(const std::vector<std::string>& texts, const std::vector<std::int32_t>& codes);

// ---- builder helpers ---------------------------------------------------------------------

struct Builder {
    nb::object default_start;
    nb::object end_date;
    nb::object ddb_start;
    nb::object ddb_end;
};

// True when the error is the package's NetworkError (or a subclass).
bool is_network_error(nb::python_error& e);
nb::object empty_frame();
// The object has at least one row (None has none).
bool has_rows(nb::handle frame);
nb::object data_service();
// A list argument; anything else is a type error naming the argument.
nb::list list_arg(nb::handle value, const char* name);
// A dict argument, None allowed when `optional`.
nb::object dict_arg(nb::handle value, const char* name, bool optional);
nb::object empty_like(nb::handle reference, nb::handle fill_value);
nb::object sorted_by_rows(nb::handle frame);

// The table has the stock-code and date columns every factor query result needs.
bool has_label_columns(nb::handle df);
// A factor query's answer (None, or a DataFrame with ukey and date columns when it has rows);
// KeyError naming the query otherwise.
void check_factor_answer(nb::handle df, nb::handle query);
// A Frame whose row labels are texts (YYYYMMDD, as clean_matrix gives); TypeError or ValueError
// naming it otherwise.
void require_text_dates(nb::handle frame, const std::string& name);
// batch[name] (None when absent); TypeError or ValueError naming the entry when it is no Frame
// labelled by dates.
nb::object batch_entry(nb::handle batch, nb::handle name);

nb::dict factors_to_matrices(nb::handle df, nb::handle names);
nb::object format_benchmark_daily_return(nb::handle df, nb::handle benchmark_name, nb::handle index_code);
nb::dict build_from_matrices(nb::handle source);

void register_builder(nb::module_& m);
void register_reads(nb::class_<Builder>& cls);
void register_benchmarks(nb::class_<Builder>& cls);
void register_derivation(nb::class_<Builder>& cls);
void register_derivation(nb::module_& m);
void register_payload(nb::class_<Builder>& cls);

}  // namespace vantorel::prepare
