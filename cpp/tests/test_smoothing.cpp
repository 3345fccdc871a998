// Rolling means: of strategy weights (missing weights count as 0, zero means become NaN) and of
// factor values (a window needs every value present).
#include <cmath>

#include "check.hpp"
#include "grid.hpp"
#include "vantorel/group_backtest.hpp"
#include "vantorel/weights.hpp"

using testgrid::Table;
using vantorel::AlignedView;
using vantorel::kNaN;

TEST(weight_mean_counts_missing_as_zero_and_drops_zero_means) {
    const Table w{{0.2, 0.1}, {kNaN, -0.1}, {0.4, 0.1}, {0.4, kNaN}};
    const auto s = vantorel::smooth_weights(AlignedView(w.view()), 2);
    // Stock 0: (0.2 + 0) / 2, (0 + 0.4) / 2, (0.4 + 0.4) / 2; stock 1: 0, 0, then 0.1 / 2.
    CHECK(s.values.rows == 3 && s.values.cols == 2);
    CHECK(s.kept_rows == (std::vector<vantorel::Index>{1, 2, 3}));
    const double expected[3][2] = {{0.1, kNaN}, {0.2, kNaN}, {0.4, 0.05}};
    for (int i = 0; i < 3 && s.values.rows == 3; ++i)
        for (int k = 0; k < 2; ++k)
            CHECK_SAME(s.values.values[static_cast<std::size_t>(i * 2 + k)], expected[i][k]);
}

TEST(weight_window_sums_oldest_to_newest) {
    const Table w{{0.1}, {0.1}, {0.1}};
    const auto s = vantorel::smooth_weights(AlignedView(w.view()), 3);
    CHECK(s.values.rows == 1);
    CHECK_SAME(s.values.values.at(0), ((0.1 + 0.1) + 0.1) / 3);  // 0.30000000000000004 / 3
}

TEST(weight_rows_whose_every_mean_is_missing_are_dropped) {
    // inf + -inf is NaN: the first window is dropped; the second keeps -inf.
    const Table w{{INFINITY}, {-INFINITY}, {0.5}};
    const auto s = vantorel::smooth_weights(AlignedView(w.view()), 2);
    CHECK(s.kept_rows == (std::vector<vantorel::Index>{2}));
    CHECK_SAME(s.values.values.at(0), -INFINITY);
    // A window longer than the table leaves no rows but keeps the columns.
    const Table short_table{{0.5, 0.5}, {0.5, 0.5}};
    const auto none = vantorel::smooth_weights(AlignedView(short_table.view()), 3);
    CHECK(none.values.rows == 0 && none.values.cols == 2 && none.kept_rows.empty());
}

TEST(factor_mean_needs_a_full_window) {
    const Table f{{1.0, kNaN}, {2.0, 4.0}, {3.0, 6.0}, {kNaN, 8.0}};
    const auto m = vantorel::rolling_mean(AlignedView(f.view()), 2);
    const double expected[4][2] = {{kNaN, kNaN}, {1.5, kNaN}, {2.5, 5.0}, {kNaN, 7.0}};
    CHECK(m.rows == 4 && m.cols == 2);
    for (int i = 0; i < 4 && m.rows == 4; ++i)
        for (int k = 0; k < 2; ++k)
            CHECK_SAME(m.values[static_cast<std::size_t>(i * 2 + k)], expected[i][k]);
    // Windows of 0 and 1 copy the values.
    for (vantorel::Index window : {0, 1}) {
        const auto copy = vantorel::rolling_mean(AlignedView(f.view()), window);
        for (std::size_t j = 0; j < f.values.size(); ++j)
            CHECK_SAME(copy.values[j], f.values[j]);
    }
}
