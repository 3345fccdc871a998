// Reading source factors from the data service: single and batch queries with their fall-backs,
// index-membership masks, and the gathering of every input of a build.
//
// Methods call each other through the instance, so a subclass (or a test) can replace one step.
#include "builder.hpp"
#include "vantorel/derive.hpp"

namespace vantorel::prepare {

using namespace nb::literals;
using bridge::libs;

namespace {

nb::object query_dates(nb::handle self, const char* field) {
    return self.attr("_vr_factor_date")(self.attr(field));
}

nb::object read_normal_factor_matrix(nb::handle self, nb::handle name) {
    bridge::str_arg(name, "name");
    nb::dict matrices;
    {
        nb::object df = data_service().attr("get_factors")(
            "factor"_a = name, "start_date"_a = query_dates(self, "default_start"),
            "end_date"_a = query_dates(self, "end_date"));
        check_factor_answer(df, name);
        nb::list names;
        names.append(name);
        matrices = nb::borrow<nb::dict>(self.attr("_vr_factors_to_matrices")(df, names));
    }  // the query table is released here
    nb::object matrix = matrices.attr("get")(name);
    return has_rows(matrix) ? matrix : empty_frame();
}

nb::object read_normal_factor_batch(nb::handle self, nb::handle names_arg) {
    nb::list names = parse_name_list(list_arg(names_arg, "names"));
    nb::dict matrices;
    if (nb::len(names) == 0)
        return matrices;
    try {
        nb::object df = data_service().attr("get_factors")(
            "factor"_a = names, "start_date"_a = query_dates(self, "default_start"),
            "end_date"_a = query_dates(self, "end_date"));
        check_factor_answer(df, names);
        matrices = nb::borrow<nb::dict>(self.attr("_vr_factors_to_matrices")(df, names));
    } catch (nb::python_error& e) {
        if (!is_network_error(e))
            throw;
        // A failed batch falls back to one query per factor below.
        matrices = nb::dict();
        for (nb::handle name : names)
            matrices[name] = empty_frame();
    }
    for (nb::handle name : names)
        if (!has_rows(matrices.attr("get")(name)))
            matrices[name] = self.attr("_read_normal_factor_matrix")(name);
    return matrices;
}

nb::object batch_or_read(nb::handle self, nb::handle batch, nb::handle name) {
    nb::object entry = batch_entry(dict_arg(batch, "batch", false), name);
    if (has_rows(entry))
        return sorted_by_rows(entry);
    return self.attr("_read_normal_factor_matrix")(name);
}

nb::object read_or_empty(nb::handle self, nb::handle name, nb::handle reference, nb::handle batch_arg) {
    nb::object batch = dict_arg(batch_arg, "batch", true);
    if (!batch.is_none()) {
        nb::object entry = batch_entry(batch, name);
        if (has_rows(entry))
            return sorted_by_rows(entry);
        return self.attr("_empty_like")(reference);
    }
    nb::object matrix = self.attr("_read_normal_factor_matrix")(name);
    if (has_rows(matrix))
        return matrix;
    return self.attr("_empty_like")(reference);
}

// 1.0 where the stock is a member, NaN elsewhere; None when no cell is a member.
nb::object membership(nb::handle raw) {
    nb::object sorted = sorted_by_rows(raw);
    const bridge::Frame f = bridge::frame_arg(sorted, "component");
    const AlignedView view(f.view);
    bool any = false;
    std::vector<double> mask;
    {
        nb::gil_scoped_release release;  // reads the Frame's buffer, kept alive by `f`
        mask = membership_mask(view, any);
    }
    if (!any)
        return nb::none();
    return bridge::make_frame(std::move(mask), view.rows(), view.cols(), f.index, f.columns);
}

nb::dict component_matrices(nb::handle self, nb::handle names_arg, nb::handle batch_arg) {
    nb::list names = list_arg(names_arg, "component_names");
    nb::object batch = dict_arg(batch_arg, "batch", true);
    nb::dict out;
    for (nb::handle name : names) {
        nb::object raw;
        try {
            raw = batch.is_none() ? nb::object() : batch_entry(batch, name);
            if (!has_rows(raw))
                raw = self.attr("_read_normal_factor_matrix")(name);
        } catch (nb::python_error& e) {
            if (!is_network_error(e))
                throw;
            continue;  // this index is missing from the result; the build reports it
        }
        if (!has_rows(raw))
            continue;
        // An index without a single member (all zero or missing) counts as missing too.
        nb::object mask = membership(raw);
        if (!mask.is_none())
            out[name] = mask;
    }
    return out;
}

// Close x 0 + 1: only its labels are used, to shape placeholders of absent factors.
nb::object reference_of(nb::handle close) {
    if (!bridge::is_frame(close) || nb::len(nb::object(close.attr("index"))) == 0)
        return nb::borrow(close);
    const bridge::Frame f = bridge::frame_arg(close, "Close");
    const AlignedView view(f.view);
    std::vector<double> ones;
    {
        nb::gil_scoped_release release;  // reads the Frame's buffer, kept alive by `f`
        ones = valid_mask(view);
    }
    return bridge::make_frame(std::move(ones), view.rows(), view.cols(), f.index, f.columns);
}

nb::tuple read_source_data(nb::handle self, nb::handle incremental_arg) {
    if (!PyBool_Check(incremental_arg.ptr()))
        bridge::raise_type_error("incremental", "bool", incremental_arg);
    const bool incremental = incremental_arg.ptr() == Py_True;
    nb::object mod = module();
    nb::list component_names = get_component_factor_names();
    nb::dict source;
    nb::object components;
    if (incremental) {
        nb::list wanted;
        for (nb::handle n : mod.attr("BUILD_INPUT_NAMES"))
            wanted.append(n);
        for (nb::handle n : component_names)
            wanted.append(n);
        nb::object batch = self.attr("_read_normal_factor_batch")(wanted);
        source["Close"] = self.attr("_batch_or_read")(batch, "Close");
        nb::object reference = reference_of(source["Close"]);
        components = self.attr("_component_matrices")(component_names, "batch"_a = batch);
        for (nb::handle name : mod.attr("REQUIRED_FACTOR_NAMES"))
            if (nb::cast<std::string>(name) != "Close")
                source[name] = self.attr("_batch_or_read")(batch, name);
        for (nb::handle name : mod.attr("OPTIONAL_FACTOR_NAMES"))
            source[name] = self.attr("_read_or_empty")(name, reference, "batch"_a = batch);
    } else {
        for (nb::handle name : mod.attr("REQUIRED_FACTOR_NAMES"))
            source[name] = self.attr("_read_normal_factor_matrix")(name);
        nb::object reference = reference_of(source["Close"]);
        for (nb::handle name : mod.attr("OPTIONAL_FACTOR_NAMES"))
            source[name] = self.attr("_read_or_empty")(name, reference);
        components = self.attr("_component_matrices")(component_names);
    }
    return nb::make_tuple(source, components, self.attr("_read_benchmark_dict")(), component_names);
}

}  // namespace

void register_reads(nb::class_<Builder>& cls) {
    cls.def("_read_normal_factor_matrix", &read_normal_factor_matrix, "name"_a.none(),
            nb::sig("def _read_normal_factor_matrix(self, name: str) -> pandas.DataFrame"),
            "One factor over the builder's dates, one query; an empty Frame when it has no data.\n"
            "Errors of the data service propagate.")
        .def("_read_normal_factor_batch", &read_normal_factor_batch, "names"_a.none(),
             nb::sig("def _read_normal_factor_batch(self, names: list[str]) -> dict[str, pandas.DataFrame]"),
             "Several factors in one query. A NetworkError of that query falls back to one query per\n"
             "factor; a factor the batch lacks is read on its own.")
        .def("_batch_or_read", &batch_or_read, "batch"_a.none(), "name"_a.none(),
             nb::sig("def _batch_or_read(self, batch: dict[str, pandas.DataFrame], name: str) -> "
                     "pandas.DataFrame"),
             "The batch entry sorted by date when it has rows, else a query of its own.")
        .def("_read_or_empty", &read_or_empty, "name"_a.none(), "reference"_a.none(),
             "batch"_a.none() = nb::none(),
             nb::sig("def _read_or_empty(self, name: str, reference: pandas.DataFrame, "
                     "batch: dict[str, pandas.DataFrame] | None = None) -> pandas.DataFrame"),
             "An optional factor: the batch entry (or, without a batch, a query), else an all-NaN Frame\n"
             "with the reference's labels.")
        .def("_component_matrices", &component_matrices, "component_names"_a.none(),
             "batch"_a.none() = nb::none(),
             nb::sig("def _component_matrices(self, component_names: list[str], "
                     "batch: dict[str, pandas.DataFrame] | None = None) -> dict[str, pandas.DataFrame]"),
             "Index-membership masks (1.0 member, NaN not; 0 and infinities are not members), rows\n"
             "ascending. An index whose read fails with NetworkError, or that has no member, is left\n"
             "out.")
        .def("_read_source_data", &read_source_data, "incremental"_a.none(),
             nb::sig("def _read_source_data(self, incremental: bool) -> tuple[dict[str, pandas.DataFrame], "
                     "dict[str, pandas.DataFrame], dict[str, pandas.Series], list[str]]"),
             "(source factors, membership masks, benchmark returns, component names). Incremental\n"
             "reads use one batch query; full reads one query per factor.");
}

}  // namespace vantorel::prepare
