// Checks shared by the two backtest entries: the bundle, the dates, the chart directory and the
// market entries the engines read.
#include "service.hpp"

namespace vantorel::service {

nb::dict bundle_arg(nb::handle data) {
    // Only the bundle's `data` attribute is read, so any object carrying a dict there will do.
    if (data.is_none() || !nb::hasattr(data, "data"))
        bridge::raise_type_error("data", "BacktestData", data);
    nb::object inner = data.attr("data");
    if (!nb::isinstance<nb::dict>(inner))
        bridge::raise_type_error("data.data", "dict", inner);
    return nb::borrow<nb::dict>(inner);
}

void require_table(nb::handle table, const char* name, const char* empty_message) {
    if (table.is_none())
        throw nb::value_error(empty_message);
    if (!bridge::is_frame(table))
        bridge::raise_type_error(name, "pandas.DataFrame", table);
    if (nb::len(nb::object(table.attr("index"))) == 0)
        throw nb::value_error(empty_message);
}

std::string date_arg(nb::handle value, const char* name) {
    try {
        return nb::cast<std::string>(store_module().attr("normalize_yyyymmdd")(value));
    } catch (nb::python_error& e) {
        // Its type error can only be about the value given, which the caller knows by this name.
        if (!e.matches(PyExc_TypeError))
            throw;
    }
    bridge::raise_type_error(name, "str or int", value);
}

[[noreturn]] void raise_missing_datasets(const std::vector<std::string>& keys) {
    std::string names;
    for (const std::string& k : keys)
        names += (names.empty() ? "'" : ", '") + k + "'";
    const std::string msg = "回测数据缺少数据集 " + names + ",请使用 load_backtest_data() 加载的数据";
    PyErr_SetObject(PyExc_KeyError, nb::str(msg.data(), msg.size()).ptr());
    throw nb::python_error();
}

void add_engine_inputs(nb::dict kwargs, nb::dict matrices, std::initializer_list<const char*> before,
                       std::initializer_list<const char*> after) {
    // (argument name, dataset key) in the order the datasets are looked up.
    std::vector<std::pair<const char*, const char*>> wanted;
    for (const char* key : before)
        wanted.emplace_back(key, key);
    for (const bridge::MarketInput& input : bridge::kMarketInputs)
        wanted.emplace_back(input.argument, input.dataset);
    for (const char* key : after)
        wanted.emplace_back(key, key);
    std::vector<std::string> missing;
    for (const auto& [argument, key] : wanted) {
        if (matrices.contains(key))
            kwargs[argument] = matrices[key];
        else
            missing.emplace_back(key);
    }
    // Every absent entry is named at once, before the engine runs.
    if (!missing.empty())
        raise_missing_datasets(missing);
}

}  // namespace vantorel::service
