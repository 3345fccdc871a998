#include "vantorel/simulate.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <optional>

#include "vantorel/day_trader.hpp"

namespace vantorel {

using trading::DaySums;
using trading::DayTrader;
using trading::MarketBlocks;
using trading::merge_active;

namespace {

// Whether any market input is stored column by column (pandas keeps a Frame made by arithmetic so).
bool column_ordered(const MarketViews& m) {
    for (const AlignedView* v : {&m.can_buy, &m.cant_sell, &m.split, &m.dividend, &m.close, &m.prev_close,
                                 &m.buy_price, &m.sell_price})
        if (v->rows() > 1 && v->cols() > 0 && v->source().column_major())
            return true;
    return false;
}

// The eight inputs read through one pair of offsets, when their labels, memory order and element types
// agree (float64 prices and amounts, boolean masks): the common case, one lookup per cell for all eight.
struct SharedCells {
    const double *prev_close, *close, *buy_price, *sell_price, *split, *dividend;
    const std::uint8_t *can_buy, *cant_sell;
    const Index *rows, *cols;

    static bool available(const MarketViews& m) {
        for (const AlignedView* v :
             {&m.split, &m.dividend, &m.close, &m.prev_close, &m.buy_price, &m.sell_price})
            if (v->source().kind != ElementKind::Float64 || !same_cells(*v, m.close))
                return false;
        for (const AlignedView* v : {&m.can_buy, &m.cant_sell})
            if (v->source().kind != ElementKind::Bool || !same_cells(*v, m.close))
                return false;
        return true;
    }
    explicit SharedCells(const MarketViews& m)
        : prev_close(doubles(m.prev_close)),
          close(doubles(m.close)),
          buy_price(doubles(m.buy_price)),
          sell_price(doubles(m.sell_price)),
          split(doubles(m.split)),
          dividend(doubles(m.dividend)),
          can_buy(static_cast<const std::uint8_t*>(m.can_buy.source().data)),
          cant_sell(static_cast<const std::uint8_t*>(m.cant_sell.source().data)),
          rows(m.close.row_offsets().data()),
          cols(m.close.column_offsets().data()) {}

    trading::Quote quote(Index r, Index k) const {
        const Index ro = rows[r], co = cols[k];
        if (ro == AlignedView::kMissing || co == AlignedView::kMissing)
            return trading::Quote{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, false, true};
        const Index c = ro + co;
        return trading::Quote{prev_close[c], close[c],    buy_price[c],    sell_price[c],
                              split[c],      dividend[c], can_buy[c] != 0, cant_sell[c] != 0};
    }
    // Asks for stock k's cells of rows [first, last] ahead of their use.
    void prefetch(Index first, Index last, Index k) const {
        const Index a = rows[first], b = rows[last], co = cols[k];
        if (a == AlignedView::kMissing || b == AlignedView::kMissing || co == AlignedView::kMissing || b < a)
            return;
        for (const double* p : {prev_close, close, buy_price, sell_price, split, dividend}) {
            for (Index c = a; c <= b; c += 8)
                __builtin_prefetch(p + co + c);
            __builtin_prefetch(p + co + b);
        }
        __builtin_prefetch(can_buy + co + a);
        __builtin_prefetch(cant_sell + co + a);
    }

private:
    static bool same_cells(const AlignedView& a, const AlignedView& b) {
        return a.row_offsets() == b.row_offsets() && a.column_offsets() == b.column_offsets();
    }
    static const double* doubles(const AlignedView& v) { return static_cast<const double*>(v.source().data); }
};

// A weight block's traded entries regrouped by stock: for block day j the entries of the row before it,
// as (day, weight) runs per column, columns ascending. Buffers are reused block after block.
class TradedByStock {
public:
    explicit TradedByStock(std::size_t cols) : start_(cols + 1, 0) {}

    void build(const WeightBlocks& blocks) {
        const std::size_t n = blocks.size();
        std::fill(start_.begin(), start_.end(), 0);
        for (std::size_t j = 0; j < n; ++j)
            for (const WeightEntry& e : traded(blocks, j))
                ++start_[static_cast<std::size_t>(e.col) + 1];
        columns_.clear();
        for (std::size_t k = 0; k + 1 < start_.size(); ++k) {
            if (start_[k + 1] != 0)
                columns_.push_back(static_cast<std::int32_t>(k));
            start_[k + 1] += start_[k];
        }
        cells_.resize(start_.back());
        fill_ = start_;
        for (std::size_t j = 0; j < n; ++j)  // days ascending within each column
            for (const WeightEntry& e : traded(blocks, j))
                cells_[fill_[static_cast<std::size_t>(e.col)]++] =
                    Cell{static_cast<std::uint32_t>(j), e.weight};
    }

    struct Cell {
        std::uint32_t day;
        double weight;
    };
    // The traded entries of the block.
    std::size_t size() const { return cells_.size(); }
    // The columns with any traded entry in the block, ascending.
    const std::vector<std::int32_t>& columns() const { return columns_; }
    const Cell* begin(std::int32_t k) const { return cells_.data() + start_[static_cast<std::size_t>(k)]; }
    const Cell* end(std::int32_t k) const { return cells_.data() + start_[static_cast<std::size_t>(k) + 1]; }

private:
    static const std::vector<WeightEntry>& traded(const WeightBlocks& blocks, std::size_t j) {
        return j > 0 ? blocks.entries(j - 1) : blocks.previous_row();
    }
    std::vector<std::size_t> start_, fill_;
    std::vector<Cell> cells_;
    std::vector<std::int32_t> columns_;
};

// How many stocks ahead the next cells are asked for: a stock's walk through a block is short.
constexpr std::size_t kAhead = 4;
// Long blocks let each stock's walk down a column cover many days per page of the market it visits;
// the traded entries a block holds are bounded, so a dense weight table takes shorter blocks.
constexpr std::size_t kMinStockBlockRows = WeightBlocks::kBlockRows;
constexpr std::size_t kMaxStockBlockRows = 1024;
constexpr std::size_t kBlockEntries = std::size_t{1} << 18;

// A column-ordered market is read down its columns: each weight block is traded stock by stock, every
// stock walking its days of the block in storage order. A stock's holding evolves on its own, and each
// day's sums still add the day's stocks in ascending column order, so the results are the same to the
// bit as the day-by-day walk's.
void simulate_by_stock(WeightBlocks& blocks, const MarketViews& market, const DayTrader& trader,
                       std::vector<double>& returns, std::size_t cols) {
    std::vector<double> held(cols, 0.0);
    std::vector<std::int32_t> holding, stocks;
    std::vector<DaySums> sums;
    std::vector<std::uint8_t> trading_day;
    TradedByStock traded(cols);
    const std::optional<SharedCells> cells =
        SharedCells::available(market) ? std::optional<SharedCells>(SharedCells(market)) : std::nullopt;
    const SharedCells* shared = cells ? &*cells : nullptr;
    while (blocks.next()) {
        const std::size_t n = blocks.size();
        const Index first = blocks.first_row();
        const Index last_row = first + static_cast<Index>(n) - 1;
        traded.build(blocks);
        const std::size_t per_row = std::max<std::size_t>(traded.size() / n, 1);
        blocks.set_block_rows(std::clamp(kBlockEntries / per_row, kMinStockBlockRows, kMaxStockBlockRows));
        sums.assign(n, DaySums{});
        trading_day.resize(n);
        for (std::size_t j = 0; j < n; ++j)
            trading_day[j] = is_trading_row(blocks.profile(), first + static_cast<Index>(j));
        // The stocks the block can touch: those held before it and those its weights name.
        stocks.clear();
        std::set_union(holding.begin(), holding.end(), traded.columns().begin(), traded.columns().end(),
                       std::back_inserter(stocks));
        holding.clear();
        for (std::size_t s = 0; s < stocks.size(); ++s) {
            const std::int32_t k = stocks[s];
            if (shared != nullptr && s + kAhead < stocks.size())
                shared->prefetch(first, last_row, stocks[s + kAhead]);
            double h = held[static_cast<std::size_t>(k)];
            const TradedByStock::Cell* cell = traded.begin(k);
            const TradedByStock::Cell* const last = traded.end(k);
            for (std::size_t j = 0; j < n; ++j) {
                if (h == 0.0) {  // nothing held: the next day that names the stock, if any
                    if (cell == last)
                        break;
                    j = cell->day;
                }
                const bool named = cell != last && cell->day == j;
                const double w = named ? cell->weight : kNaN;
                cell += named;
                // A stock trades on a trading day when it is held or named by the traded weights.
                if ((!named && h == 0.0) || trading_day[j] == 0)
                    continue;
                const Index r = first + static_cast<Index>(j);
                trader.step(shared != nullptr ? shared->quote(r, k) : trading::quote_at(market, r, k), w, h,
                            sums[j]);
            }
            held[static_cast<std::size_t>(k)] = h;
            if (h != 0.0)
                holding.push_back(k);
        }
        for (std::size_t j = 0; j < n; ++j)
            if (trading_day[j] != 0)
                returns[static_cast<std::size_t>(first) + j] =
                    trading::day_cash(sums[j]) / trader.total_money();
    }
}

}  // namespace

SimulatedReturns simulate_vwap_returns(const AlignedView& weights, const MarketViews& market,
                                       const TradingCosts& costs) {
    SimulatedReturns result;
    result.returns.assign(static_cast<std::size_t>(weights.rows()), 0.0);
    DayTrader trader(costs);
    const auto cols = static_cast<std::size_t>(weights.cols());
    if (column_ordered(market)) {
        WeightBlocks blocks(weights, kMinStockBlockRows);
        simulate_by_stock(blocks, market, trader, result.returns, cols);
        result.profile = blocks.take_profile();
        return result;
    }
    WeightBlocks blocks(weights);
    MarketBlocks days(market);

    // A stock that is neither held nor given a weight contributes nothing, so each day visits only
    // the union of yesterday's holdings and the traded weights, in ascending column order: the
    // day's sums add stocks in the same order as a walk over every column would.
    std::vector<double> held(cols, 0.0);
    std::vector<std::int32_t> holding, active;
    std::vector<double> active_weight;
    while (blocks.next()) {
        for (std::size_t j = 0; j < blocks.size(); ++j) {
            const Index r = blocks.first_row() + static_cast<Index>(j);
            if (is_trading_row(blocks.profile(), r)) {
                // The day trades the previous row's weights.
                const std::vector<WeightEntry>& traded =
                    j > 0 ? blocks.entries(j - 1) : blocks.previous_row();
                merge_active(traded, holding, active, active_weight);
                result.returns[static_cast<std::size_t>(r)] =
                    trader.trade(days, r, active, active_weight, held, holding);
            }
        }
    }
    result.profile = blocks.take_profile();
    return result;
}

IndexMap trading_rows(const WeightProfile& p) {
    IndexMap rows;
    for (Index r = 1; r < p.rows(); ++r)
        if (is_trading_row(p, r))
            rows.push_back(r);
    return rows;
}

}  // namespace vantorel
