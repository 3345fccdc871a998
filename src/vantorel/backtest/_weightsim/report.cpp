// Formatters, period and yearly metrics, and the weekly net value frame.
#include "report.hpp"

#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "vantorel/report.hpp"

namespace vantorel::weightsim {

using namespace nb::literals;
using bridge::libs;

namespace {

nb::module_* g_module = nullptr;

double periods_per_year() {
    return nb::cast<double>(nb::float_(weightsim_module().attr("TRADING_DAYS_PER_YEAR")));
}

// None, NaN and the frame library's missing markers.
bool is_missing(nb::handle value) {
    if (value.is_none())
        return true;
    if (PyFloat_Check(value.ptr()))
        return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
    nb::object missing = libs().pd.attr("isna")(value);
    return PyBool_Check(missing.ptr()) || nb::isinstance(missing, libs().np.attr("bool_"))
               ? bridge::truthy(missing)
               : false;
}

double as_double(nb::handle value, const char* name = "value") {
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        bridge::raise_type_error(name, "float", value);
    }
    return d;
}

int digits_arg(nb::handle digits) {
    const std::int64_t d = bridge::int_arg(digits, "digits");
    return static_cast<int>(std::clamp<std::int64_t>(d, 0, 100000));
}

nb::tuple period_tuple(nb::handle daily_return) {
    if (daily_return.is_none())
        return nb::make_tuple(kNaN, kNaN, kNaN);
    const Py_ssize_t length = PyObject_Length(daily_return.ptr());
    if (length < 0) {  // no sequence of returns at all
        PyErr_Clear();
        bridge::raise_type_error("daily_return", "Series", daily_return);
    }
    if (length == 0)
        return nb::make_tuple(kNaN, kNaN, kNaN);
    const std::vector<double> r = bridge::float_values(daily_return, "daily_return");
    const PeriodMetrics m = period_metrics(r.data(), static_cast<Index>(r.size()), periods_per_year());
    return nb::make_tuple(m.period_return, m.max_drawdown, m.calmar);
}

}  // namespace

nb::module_ weightsim_module() {
    return *g_module;
}

std::string format_pct(nb::handle value, int digits) {
    if (is_missing(value))
        return "--";
    return format_fixed(as_double(value) * 100.0, digits) + "%";
}

std::string format_pct_points(nb::handle value, int digits) {
    if (is_missing(value))
        return "--";
    return format_fixed(as_double(value), digits) + "%";
}

std::string format_num(nb::handle value, int digits) {
    if (is_missing(value))
        return "--";
    return format_fixed(as_double(value), digits);
}

std::string format_annual_excess(nb::handle annual_excess) {
    if (annual_excess.is_none())
        return "--";
    if (!bridge::is_series(annual_excess))
        bridge::raise_type_error("annual_excess", "Series", annual_excess);
    if (nb::len(annual_excess) == 0)
        return "--";
    std::string out;
    nb::object years = annual_excess.attr("index").attr("tolist")();
    nb::object values = annual_excess.attr("tolist")();
    for (std::size_t i = 0; i < nb::len(years); ++i) {
        nb::object value = values[nb::int_(i)];
        if (is_missing(value))
            continue;
        if (!out.empty())
            out += " | ";
        nb::object year = years[nb::int_(i)];
        const double ratio = as_double(value, "annual_excess");
        out += nb::cast<std::string>(nb::str(nb::handle(year))) + ": " + format_fixed(ratio * 100.0, 2) + "%";
    }
    return out.empty() ? "--" : out;
}

nb::object daily_returns_of(nb::handle plot_df) {
    nb::list columns;
    for (const char* c : {"daily_return", "index_daily_return", "extra_daily_return"})
        columns.append(c);
    return plot_df[columns].attr("copy")();
}

nb::object column_values(nb::handle frame, const char* column) {
    return frame[column].attr("to_numpy")("dtype"_a = "float64", "na_value"_a = libs().np.attr("nan"));
}

// The daily table's column, or the key error of a table that lacks it, naming the column.
nb::object daily_column(nb::handle daily, const char* column) {
    if (!bridge::truthy(daily.attr("columns").attr("__contains__")(column))) {
        const std::string msg = std::string("Argument 'daily' has no column '") + column + "'";
        PyErr_SetString(PyExc_KeyError, msg.c_str());
        throw nb::python_error();
    }
    return daily[column];
}

nb::object yearly_performance_metrics(nb::handle daily) {
    if (!bridge::is_frame(daily))
        bridge::raise_type_error("daily", "DataFrame", daily);
    nb::object row_index = daily.attr("index");
    // Years come from a date-time index; anything else is the attribute error it always was, named.
    if (PyObject_IsInstance(row_index.ptr(), libs().pd.attr("DatetimeIndex").ptr()) != 1) {
        const std::string msg = "Argument 'daily' needs a date-time row index, got " +
                                nb::cast<std::string>(nb::type_name(row_index.type()));
        PyErr_SetString(PyExc_AttributeError, msg.c_str());
        throw nb::python_error();
    }
    nb::object returns = daily_column(daily, "daily_return"),
               extra = daily_column(daily, "extra_daily_return");
    if (bridge::truthy(row_index.attr("hasnans"))) {
        // Rows without a date belong to no year (as in a group-by on the year).
        nb::object dated = row_index.attr("notna")();
        row_index = row_index[dated];
        returns = returns[dated];
        extra = extra[dated];
    }
    nb::object years = row_index.attr("year").attr("to_numpy")("dtype"_a = "int64");
    const std::vector<double> year_numbers = bridge::float_values(years, "year");  // small integers, exact
    const auto n = static_cast<Index>(year_numbers.size());
    const std::vector<double> strategy = bridge::float_values(returns, "daily_return", n);
    const std::vector<double> excess = bridge::float_values(extra, "extra_daily_return", n);
    const std::vector<std::int64_t> year(year_numbers.begin(), year_numbers.end());
    const double periods = periods_per_year();
    std::vector<YearlyRow> rows;
    {
        nb::gil_scoped_release release;  // plain vectors owned here
        rows = yearly_metrics(year.data(), strategy.data(), excess.data(), static_cast<Index>(year.size()),
                              periods);
    }
    if (rows.empty())
        return libs().DataFrame();
    nb::list index;
    std::vector<std::vector<double>> cols(8);
    for (const YearlyRow& r : rows) {
        index.append(r.year);
        const double v[8] = {r.strategy_return, r.strategy_sharpe, r.strategy_max_dd, r.strategy_calmar,
                             r.excess_return,   r.excess_sharpe,   r.excess_max_dd,   r.excess_calmar};
        for (int c = 0; c < 8; ++c)
            cols[c].push_back(v[c]);
    }
    static const char* kColumns[8] = {"strategy_return", "strategy_sharpe", "strategy_max_dd",
                                      "strategy_calmar", "excess_return",   "excess_sharpe",
                                      "excess_max_dd",   "excess_calmar"};
    nb::dict data;
    for (int c = 0; c < 8; ++c)
        data[kColumns[c]] = bridge::numpy_vector(std::move(cols[c]));
    nb::object idx = libs().Index(index, "dtype"_a = "int64", "name"_a = "year");
    return libs().DataFrame(data, "index"_a = idx);
}

nb::object weekly_net_value_frame(nb::handle total) {
    const auto& l = libs();
    nb::object df = weightsim_module().attr("_with_datetime_index")(total);
    if (bridge::truthy(df.attr("empty")))
        return l.DataFrame();
    const char* names[3] = {"long", "close_net_value", "extra_return"};
    nb::object arrays[3];
    std::vector<const double*> columns;
    for (int c = 0; c < 3; ++c) {
        arrays[c] = l.np.attr("ascontiguousarray")(column_values(df, names[c]));
    }
    nb::object days_array =
        df.attr("index").attr("to_numpy")().attr("astype")("datetime64[D]").attr("astype")("int64");
    const std::vector<double> day_numbers = bridge::float_values(days_array, "index");  // exact below 2**53
    const std::vector<std::int64_t> days(day_numbers.begin(), day_numbers.end());
    std::vector<std::vector<double>> values(3);
    for (int c = 0; c < 3; ++c)
        values[c] = bridge::float_values(arrays[c], names[c]);
    for (int c = 0; c < 3; ++c)
        columns.push_back(values[c].data());
    WeeklySamples weekly;
    {
        nb::gil_scoped_release release;  // plain vectors owned here
        weekly = weekly_last(days, columns);
    }
    nb::object fridays = l.np.attr("array")(nb::cast(weekly.fridays), "dtype"_a = "datetime64[D]");
    nb::object index = l.pd.attr("DatetimeIndex")(fridays.attr("astype")("datetime64[ns]"),
                                                  "name"_a = df.attr("index").attr("name"));
    nb::dict data;
    for (int c = 0; c < 3; ++c)
        data[names[c]] = bridge::numpy_vector(std::move(weekly.columns[c]));
    if (weekly.fridays.empty())
        return l.DataFrame(data, "index"_a = index);
    std::vector<double> excess_nav(weekly.fridays.size());
    const nb::object extra = data["extra_return"];
    {
        const std::vector<double> e = bridge::float_values(extra, "extra_return");
        for (std::size_t i = 0; i < e.size(); ++i)
            excess_nav[i] = e[i] + 1.0;
    }
    data["extra_net_value"] = bridge::numpy_vector(std::move(excess_nav));
    return l.DataFrame(data, "index"_a = index);
}

void register_report(nb::module_& m) {
    g_module = new nb::module_(nb::borrow<nb::module_>(m));  // leaked: outlives static destructors
    m.def(
        "_format_pct", [](nb::handle v, nb::handle d) { return format_pct(v, digits_arg(d)); },
        "value"_a.none(), "digits"_a.none() = 2,
        nb::sig("def _format_pct(value: object, digits: int = 2) -> str"),
        "A ratio as a percentage with `digits` decimals (0.05 -> \"5.00%\"); \"--\" when missing.");
    m.def(
        "_format_pct_points", [](nb::handle v, nb::handle d) { return format_pct_points(v, digits_arg(d)); },
        "value"_a.none(), "digits"_a.none() = 2,
        nb::sig("def _format_pct_points(value: object, digits: int = 2) -> str"),
        "Percentage points with `digits` decimals and \"%\" (5.0 -> \"5.00%\"); \"--\" when missing.");
    m.def(
        "_format_num", [](nb::handle v, nb::handle d) { return format_num(v, digits_arg(d)); },
        "value"_a.none(), "digits"_a.none() = 2,
        nb::sig("def _format_num(value: object, digits: int = 2) -> str"),
        "A number with `digits` decimals; \"--\" when missing.");
    m.def("_format_annual_excess", &format_annual_excess, "annual_excess"_a.none(),
          nb::sig("def _format_annual_excess(annual_excess: pandas.Series | None) -> str"),
          "\"2020: 5.00% | 2024: -1.20%\" from a series of yearly ratios; missing years skipped; \"--\"\n"
          "when nothing is left.");
    m.def("_period_return_drawdown_calmar", &period_tuple, "daily_return"_a.none(),
          nb::sig("def _period_return_drawdown_calmar(daily_return: pandas.Series | None) -> "
                  "tuple[float, float, float]"),
          "(period return, maximum drawdown, Calmar) of daily returns on the additive equity line\n"
          "1 + running sum; NaN entries skipped; (nan, nan, nan) for None or an empty series.");
    m.def("_calc_yearly_performance_metrics", &yearly_performance_metrics, "daily"_a.none(),
          nb::sig("def _calc_yearly_performance_metrics(daily: pandas.DataFrame) -> pandas.DataFrame"),
          "Per calendar year: return, Sharpe, maximum drawdown and Calmar of the strategy\n"
          "(daily_return) and of the excess (extra_daily_return), infinities and NaN dropped.");
    m.def("_build_weekly_net_value_frame", &weekly_net_value_frame, "total"_a.none(),
          nb::sig("def _build_weekly_net_value_frame(total: pandas.DataFrame) -> pandas.DataFrame"),
          "Friday-labelled weekly samples (last non-missing value of each week) of long,\n"
          "close_net_value and extra_return, plus extra_net_value = extra_return + 1.");
}

}  // namespace vantorel::weightsim
