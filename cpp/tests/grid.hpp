// Small dense tables for the tests: dates x stocks, row-major, read through identity views.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "vantorel/matrix.hpp"
#include "vantorel/simulate.hpp"

namespace testgrid {

using vantorel::Index;
using vantorel::kNaN;

// A float64 table; `rows` lists the rows, each of the same length.
struct Table {
    Index rows = 0, cols = 0;
    std::vector<double> values;

    Table() = default;
    Table(std::initializer_list<std::initializer_list<double>> rs) {
        rows = static_cast<Index>(rs.size());
        for (const auto& r : rs) {
            cols = static_cast<Index>(r.size());
            values.insert(values.end(), r.begin(), r.end());
        }
    }
    Table(Index r, Index c, double fill) : rows(r), cols(c), values(static_cast<std::size_t>(r * c), fill) {}

    double& at(Index i, Index k) { return values[static_cast<std::size_t>(i * cols + k)]; }
    vantorel::MatrixView view() const {
        return vantorel::MatrixView{values.data(), vantorel::ElementKind::Float64, rows, cols, cols, 1};
    }
    // The same values stored column by column, as pandas often hands them over.
    vantorel::MatrixView column_major_view(std::vector<double>& storage) const {
        storage.resize(values.size());
        for (Index i = 0; i < rows; ++i)
            for (Index k = 0; k < cols; ++k)
                storage[static_cast<std::size_t>(k * rows + i)] =
                    values[static_cast<std::size_t>(i * cols + k)];
        return vantorel::MatrixView{storage.data(), vantorel::ElementKind::Float64, rows, cols, 1, rows};
    }
};

// A boolean table (one byte per cell).
struct Flags {
    Index rows = 0, cols = 0;
    std::vector<std::uint8_t> values;

    Flags(Index r, Index c, bool fill)
        : rows(r), cols(c), values(static_cast<std::size_t>(r * c), fill ? 1 : 0) {}
    void set(Index i, Index k, bool v) { values[static_cast<std::size_t>(i * cols + k)] = v ? 1 : 0; }
    vantorel::MatrixView view() const {
        return vantorel::MatrixView{values.data(), vantorel::ElementKind::Bool, rows, cols, cols, 1};
    }
};

// The eight market tables of a quiet market: every price 10, no split or dividend, everything
// tradable. Tests change single cells before taking views().
struct Market {
    Flags can_buy, cant_sell;
    Table split, dividend, close, prev_close, buy_price, sell_price;

    Market(Index rows, Index cols)
        : can_buy(rows, cols, true),
          cant_sell(rows, cols, false),
          split(rows, cols, kNaN),
          dividend(rows, cols, kNaN),
          close(rows, cols, 10.0),
          prev_close(rows, cols, 10.0),
          buy_price(rows, cols, 10.0),
          sell_price(rows, cols, 10.0) {}

    vantorel::MarketViews views() const {
        using vantorel::AlignedView;
        return vantorel::MarketViews{AlignedView(can_buy.view()),   AlignedView(cant_sell.view()),
                                     AlignedView(split.view()),     AlignedView(dividend.view()),
                                     AlignedView(close.view()),     AlignedView(prev_close.view()),
                                     AlignedView(buy_price.view()), AlignedView(sell_price.view())};
    }
};

}  // namespace testgrid
