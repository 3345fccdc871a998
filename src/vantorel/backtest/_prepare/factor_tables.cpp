// Factor query results (long or wide tables) turned into one date x stock Frame per factor name.
#include <unordered_map>

#include "builder.hpp"
#include "vantorel/factorize.hpp"
#include "vantorel/pivot.hpp"

namespace vantorel::prepare {

using namespace nb::literals;
using bridge::libs;

namespace {

// Dates and stock codes of a table, read once for all its factors.
struct TableLabels {
    LabelColumn dates;
    LabelColumn codes;
    std::vector<Index> date_rank;
    std::vector<Index> code_rank;
};

nb::object pivot_frame(const TableLabels& labels, PivotTable&& table) {
    const auto rows = static_cast<Index>(table.rows.size());
    const auto cols = static_cast<Index>(table.cols.size());
    nb::object frame =
        bridge::make_frame(std::move(table.values), rows, cols, text_index(labels.dates.texts, table.rows),
                           text_index(labels.codes.texts, table.cols));
    return store_module().attr("clean_matrix")(frame);
}

std::vector<PivotTable> pivot(const TableLabels& labels, const std::int32_t* group, Index n_groups,
                              const NumberColumn& values) {
    LongTable t;
    t.group = group;
    t.row = labels.dates.codes.data();
    t.col = labels.codes.codes.data();
    t.values = values.data;
    t.value_stride = values.stride;
    t.size = values.size;
    nb::gil_scoped_release release;  // codes owned here; the values are kept alive by `values.owner`
    return pivot_groups(t, n_groups, labels.date_rank, labels.code_rank);
}

}  // namespace

bool has_label_columns(nb::handle df) {
    return first_column(df, {"ukey"}) && first_column(df, {"DataDate", "date"});
}

nb::dict factors_to_matrices(nb::handle df, nb::handle names_arg) {
    nb::list names = list_arg(names_arg, "names");
    if (!df.is_none() && !bridge::is_frame(df))
        bridge::raise_type_error("df", "pandas.DataFrame", df);
    nb::dict result;
    for (nb::handle name : names)
        result[name] = empty_frame();
    if (!has_rows(df))
        return result;

    nb::object columns = df.attr("columns");
    // Spellings of one column, the canonical one first: date/DataDate, value/x, factor/factor_name.
    const auto ukey = first_column(df, {"ukey"});
    const auto date = first_column(df, {"DataDate", "date"});
    if (!ukey || !date)
        raise_key_error("因子查询返回结果缺少 ukey/date 列");
    const auto value = first_column(df, {"x", "value"});
    const auto factor = first_column(df, {"factorname", "factor", "factor_name"});

    TableLabels labels;
    // A missing ukey stays missing, so its record is dropped rather than filed under "nan".
    labels.codes = read_label_column(table_column(df, *ukey), LabelKind::StockCode);
    labels.dates = read_label_column(table_column(df, *date), LabelKind::Date);
    labels.date_rank = text_ranks(labels.dates.texts);
    labels.code_rank = text_ranks(labels.codes.texts);

    if (value && (factor || nb::len(names) == 1)) {
        // Long table: one group per requested factor name, or the whole table for a single name.
        const NumberColumn values = read_number_column(table_column(df, *value));
        std::vector<nb::object> group_names;
        std::vector<std::int32_t> group_codes;
        if (factor) {
            LabelColumn seen = read_label_column(table_column(df, *factor), LabelKind::Name);
            std::unordered_map<std::string, std::int32_t> wanted;
            for (nb::handle name : names) {
                const std::string text = nb::cast<std::string>(nb::str(name));
                if (wanted.try_emplace(text, static_cast<std::int32_t>(group_names.size())).second)
                    group_names.push_back(nb::borrow(name));
            }
            std::vector<std::int32_t> table;
            for (const std::string& text : seen.texts) {
                auto it = wanted.find(text);
                table.push_back(it == wanted.end() ? -1 : it->second);
            }
            group_codes = std::move(seen.codes);
            remap_codes(group_codes, table);
        } else {
            group_names.push_back(nb::borrow(names[0]));
        }
        std::vector<PivotTable> tables = pivot(labels, factor ? group_codes.data() : nullptr,
                                               static_cast<Index>(group_names.size()), values);
        for (std::size_t g = 0; g < tables.size(); ++g)
            if (!tables[g].rows.empty())
                result[group_names[g]] = pivot_frame(labels, std::move(tables[g]));
        return result;
    }

    // Wide table: every requested name that is a column holds that factor's values. A single name
    // without a value column is read this way too.
    for (nb::handle name : names) {
        if (!bridge::truthy(columns.attr("__contains__")(name)))
            continue;
        const NumberColumn values = read_number_column(table_column(df, name));
        std::vector<PivotTable> tables = pivot(labels, nullptr, 1, values);
        if (!tables[0].rows.empty())
            result[name] = pivot_frame(labels, std::move(tables[0]));
    }
    return result;
}

}  // namespace vantorel::prepare
