// The batch entries: many backtests over one bundle, run by the Python batch layer (thread pools and
// Ray tasks are glue; every backtest still goes through the entries of this class).
#include "service.hpp"

namespace vantorel::service {

namespace {

nb::object forward(const char* function, nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object batch = nb::module_::import_("vantorel.backtest.batch");
    return batch.attr(function)(self, *args, **kwargs);
}

constexpr const char* kBatchOptions =
    "output_dir: str | os.PathLike | None = None, *, workers: int | None = None, engine: str = 'threads', "
    "keep_results: bool = True, progress: bool = True, ray_address: str | None = None, **options: object) -> "
    "vantorel.backtest.batch.BatchResult";

}  // namespace

void register_batch(nb::class_<BacktestService>& cls) {
    static const std::string factor_sig =
        std::string(
            "def backtest_many(self, factors: collections.abc.Mapping[str, object], data: "
            "vantorel.backtest.result.BacktestData, start_date: str | int | None, end_date: str | int | "
            "None, ") +
        kBatchOptions;
    static const std::string strategy_sig =
        std::string(
            "def backtest_strategy_many(self, strategies: collections.abc.Mapping[str, object], data: "
            "vantorel.backtest.result.BacktestData, start_date: str | int | None, end_date: str | int | "
            "None, ") +
        kBatchOptions;
    cls.def(
           "backtest_many",
           [](nb::handle self, nb::args args, nb::kwargs kwargs) {
               return forward("backtest_many", self, args, kwargs);
           },
           nb::sig(factor_sig.c_str()),
           "Factor group backtests of many factors over one bundle.\n\n"
           "factors maps a name to a factor Frame, to a function of the bundle that computes it (called\n"
           "where the item runs), or to a (factor, overrides) pair whose keywords apply to that item only.\n"
           "options are the keywords of backtest(). A start_date or end_date of None is each item's own\n"
           "first or last date. Without output_dir no chart is drawn; with it each\n"
           "item's chart is written there as backtest() writes it. engine='threads' runs `workers` threads\n"
           "(default: the number of cores) on the one bundle; engine='ray' runs one Ray task per item\n"
           "(pip install vantorel-backtest[ray]) on the cluster at ray_address, the Ray instance of this\n"
           "process, or a local one of `workers` CPUs. Returns a BatchResult: summary (one row per item,\n"
           "in the order given), results, errors and wall_time; one failing item never stops the batch.")
        .def(
            "backtest_strategy_many",
            [](nb::handle self, nb::args args, nb::kwargs kwargs) {
                return forward("backtest_strategy_many", self, args, kwargs);
            },
            nb::sig(strategy_sig.c_str()),
            "Strategy backtests of many weight tables over one bundle; as backtest_many, with the\n"
            "keywords of backtest_strategy() as options and the statistics as the summary's columns.");
}

}  // namespace vantorel::service
