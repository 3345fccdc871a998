// Internal pieces of the strategy engine module, shared by its topic files.
#pragma once

#include <memory>

#include "bridge.hpp"
#include "vantorel/simulate.hpp"
#include "vantorel/weights.hpp"

namespace vantorel::weightsim {

namespace nb = nanobind;
using bridge::Frame;
using bridge::MarketFrames;

// A weight table read through row and column maps of a source array, so that aligning a
// user's Frame to the market costs no copy; smoothing replaces the source with its own matrix.
struct WeightTable {
    nb::object index;    // row labels
    nb::object columns;  // column labels
    nb::object keep_alive;
    MatrixView source;
    IndexMap rows;
    IndexMap cols;
    std::shared_ptr<DenseMatrix> owned;

    static WeightTable whole(const Frame& f);
    AlignedView aligned() const { return AlignedView(source, rows, cols); }
    Index row_count() const { return static_cast<Index>(rows.size()); }
};

// Rolling-mean smoothing of a weight table; windows of 0 or 1 leave it as it is.
WeightTable smooth(const WeightTable& w, Index window);

// Per-row counts and changes of a weight table, from one pass without the GIL.
WeightProfile weight_profile(const WeightTable& w);

struct DailyReturns {
    nb::object index;  // trading dates: the signal dates after the one-day shift
    std::vector<double> values;
    WeightProfile profile;  // of the weight table
};
// Trades the weights of each date of `w` on the next date.
DailyReturns simulate(const WeightTable& w, const MarketFrames& market, const TradingCosts& costs);

// The total frame from a joined daily table (rows with missing values dropped first).
nb::object total_frame(nb::handle total_backtesting);
// The statistics dictionary; the weight summary is computed by the caller.
nb::dict strategy_stats(nb::handle total_frame, const WeightSummary& weights);
nb::dict empty_stats();

void register_simulation(nb::module_& m);
void register_statistics(nb::module_& m);
void register_pipeline(nb::module_& m);

}  // namespace vantorel::weightsim
