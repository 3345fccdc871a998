// Benchmark index daily returns from the data service's index table.
#include "builder.hpp"
#include "vantorel/daily_series.hpp"
#include "vantorel/factorize.hpp"

namespace vantorel::prepare {

using namespace nb::literals;
using bridge::libs;

nb::object format_benchmark_daily_return(nb::handle df, nb::handle benchmark_name, nb::handle index_code) {
    const std::string name = nb::cast<std::string>(nb::str(benchmark_name));
    const std::string code = nb::cast<std::string>(nb::str(index_code));
    if (!df.is_none() && !bridge::is_frame(df)) {
        const std::string type = nb::cast<std::string>(nb::handle(Py_TYPE(df.ptr())).attr("__name__"));
        raise_key_error("基准日频数据应为含 date 与 daily_return/close 列的 DataFrame: " + name + " (" +
                        code + "),实际为 " + type);
    }
    if (!has_rows(df))
        raise_key_error("基准日频数据为空: " + name + " (" + code + ")");
    const auto date = first_column(df, {"DataDate", "date"});
    if (!date)
        raise_key_error(name + " 基准缺少 DataDate 列");

    LabelColumn dates = read_label_column(table_column(df, *date), LabelKind::Date);
    if (first_column(df, {"ukey"})) {
        // Only the records of this index count.
        const LabelColumn ukeys = read_label_column(table_column(df, std::string("ukey")), LabelKind::Name);
        std::vector<std::uint8_t> is_this(ukeys.texts.size());
        for (std::size_t u = 0; u < ukeys.texts.size(); ++u)
            is_this[u] = ukeys.texts[u] == code;
        keep_where(dates.codes, ukeys.codes, is_this);
    }
    auto value = first_column(df, {"daily_return", "return", "returns", "pct_change", "change_rate"});
    const bool from_level = !value;
    if (from_level)
        value = first_column(df, {"close"});
    if (!value)
        raise_key_error(name + " 基准缺少 daily_return/close 列");

    const NumberColumn values = read_number_column(table_column(df, *value));
    const std::vector<Index> rank = text_ranks(dates.texts);
    // The last record of a date counts, in the table's order; a return from closing levels
    // compares with the previous date's own close, never a carried-forward one.
    DatedValues series =
        daily_values(dates.codes.data(), values.data, values.stride, values.size, rank, from_level);
    nb::object index = text_index(dates.texts, series.dates);
    index.attr("name") = "DataDate";
    return bridge::make_series(std::move(series.values), index, nb::str("index_daily_return"));
}

namespace {

nb::dict read_benchmark_dict(nb::handle self) {
    nb::dict codes = nb::borrow<nb::dict>(module().attr("BENCHMARK_INDEX_CODES"));
    nb::list ukeys;
    for (auto [short_name, code] : codes)
        ukeys.append(code);
    nb::object df = data_service().attr("get_index_daily")(
        "ukeys"_a = ukeys, "start_date"_a = self.attr("default_start"), "end_date"_a = self.attr("end_date"));
    nb::dict out;
    for (auto [short_name, code] : codes)
        out[short_name] = self.attr("_format_benchmark_daily_return")(df, short_name, code);
    return out;
}

}  // namespace

void register_benchmarks(nb::class_<Builder>& cls) {
    cls.def(
           "_format_benchmark_daily_return",
           [](nb::handle, nb::handle df, nb::handle name, nb::handle code) {
               return format_benchmark_daily_return(df, name, code);
           },
           "df"_a.none(), "benchmark_name"_a.none(), "index_code"_a.none(),
           nb::sig("def _format_benchmark_daily_return(self, df: pandas.DataFrame, benchmark_name: str, "
                   "index_code: str) -> pandas.Series"),
           "One index's daily returns, named index_daily_return, by YYYYMMDD date ascending.\n\n"
           "Records of other indices (by ukey) and without a date are left out; of several records of\n"
           "a date the last one counts. The return is daily_return (or return, returns, pct_change,\n"
           "change_rate), else derived from close as close / previous close - 1. Dates without a\n"
           "return are dropped. KeyError for an empty table or missing columns.")
        .def("_read_benchmark_dict", &read_benchmark_dict,
             nb::sig("def _read_benchmark_dict(self) -> dict[str, pandas.Series]"),
             "Daily returns of the benchmark indices, one index query for all of them.");
}

}  // namespace vantorel::prepare
