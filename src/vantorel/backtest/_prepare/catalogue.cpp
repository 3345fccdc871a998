// The dataset catalogue: source factors, stored matrices and their dtypes, benchmarks, components.
#include "prepare.hpp"

namespace vantorel::prepare {

namespace {

nb::list texts(std::initializer_list<const char*> items) {
    nb::list out;
    for (const char* s : items)
        out.append(s);
    return out;
}

}  // namespace

void register_catalogue(nb::module_& m) {
    m.attr("FLOAT_STORAGE_DTYPE") = kFloatStorageDtype;
    m.attr("BOOL_STORAGE_DTYPE") = kBoolStorageDtype;
    m.attr("PREPARED_DATA_VERSION") = kPreparedDataVersion;
    m.attr("TAIL_RELOAD_ROWS") = kTailReloadRows;
    nb::object typing = nb::module_::import_("typing");
    nb::object os = nb::module_::import_("os");
    m.attr("PathLike") = typing.attr(
        "Union")[nb::make_tuple(nb::module_::import_("builtins").attr("str"), os.attr("PathLike"))];

    m.attr("COMPONENT_FACTOR_NAMES") =
        texts({"rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
               "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
               "rq_index_components_new_932000.INDX"});

    nb::dict benchmarks;
    benchmarks["000852"] = "000852.XSHG";
    benchmarks["000300"] = "000300.XSHG";
    benchmarks["000905"] = "000905.XSHG";
    m.attr("BENCHMARK_INDEX_CODES") = benchmarks;

    nb::list required = texts({"rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
                               "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"});
    nb::list optional = texts({"split_coefficient_to", "rq_get_dividend", "rq_is_suspended"});
    m.attr("REQUIRED_FACTOR_NAMES") = required;
    m.attr("OPTIONAL_FACTOR_NAMES") = optional;
    nb::list inputs;
    for (nb::handle n : required)
        inputs.append(n);
    for (nb::handle n : optional)
        inputs.append(n);
    m.attr("BUILD_INPUT_NAMES") = inputs;

    nb::dict base;
    for (const char* key : {"industry_matrix", "close_price", "open_price", "close_price_valid", "prev_close",
                            "buy_price", "sell_price", "rq_get_split", "rq_get_dividend"})
        base[key] = kFloatStorageDtype;
    base["can_buy_stock"] = kBoolStorageDtype;
    base["cant_sell_stock"] = kBoolStorageDtype;
    base["forward_return_rank_cache"] = kFloatStorageDtype;
    m.attr("BASE_MATRIX_DTYPE") = base;
}

}  // namespace vantorel::prepare
