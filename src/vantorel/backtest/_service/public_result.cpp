// The public result of an engine result, for both backtest entries.
#include "service.hpp"

namespace vantorel::service {

nb::object public_result(const char* type_name, nb::handle core_result,
                         std::initializer_list<const char*> fields, nb::dict given) {
    nb::dict kwargs;
    for (const char* field : fields)
        kwargs[field] =
            given.contains(field) ? nb::object(given[field]) : nb::object(core_result.attr(field));
    return nb::module_::import_("vantorel.backtest.result").attr(type_name)(**kwargs);
}

}  // namespace vantorel::service
