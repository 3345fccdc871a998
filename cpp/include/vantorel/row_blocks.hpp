// Reading an aligned matrix one row at a time, whatever the memory order of its source.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "vantorel/matrix.hpp"

namespace vantorel {

// The kernels walk dates as rows. A row-ordered source is read in place. A column-ordered one (pandas
// keeps a Frame made by arithmetic column by column) is transposed a block of rows at a time into a
// buffer of the reader's own: each column's run through the block is read in storage order, and the
// buffer, a few rows of every target column, is reused block after block: memory bounded by the width,
// never a copy of the whole matrix, and the day loop then walks rows as it does in a row-ordered source.
//
// A reader belongs to one thread at a time; the view it reads must outlive it.
class RowBlocks {
public:
    // Rows per block unless told: eight float64 values of a column are one cache line. Longer blocks
    // measured slower: the buffers outgrow the cache, and a block whose loads name its columns needs
    // more of them.
    static constexpr Index kBlockRows = 8;

    RowBlocks() = default;
    explicit RowBlocks(const AlignedView& view, Index block_rows = kBlockRows)
        : view_(&view), block_(block_rows) {
        const MatrixView& src = view.source();
        transposing_ = src.column_major() && view.rows() > 1 && view.cols() > 0;
        if (!transposing_)
            return;
        const auto cols = static_cast<std::size_t>(view.cols());
        const std::vector<Index>& source_offsets = view.column_offsets();
        offsets_.assign(cols, AlignedView::kMissing);
        for (std::size_t k = 0; k < cols; ++k)
            if (source_offsets[k] != AlignedView::kMissing)
                offsets_[k] = static_cast<Index>(k);
        const auto cells = static_cast<std::size_t>(block_) * cols;
        if (src.kind == ElementKind::Float64)
            doubles_.assign(cells, kNaN);
        else
            bytes_.assign(cells, 0);
        block_rows_.resize(static_cast<std::size_t>(block_));
    }

    // Whether rows are read through the buffer (a column-ordered source).
    bool transposing() const { return transposing_; }
    // The most rows one load() takes.
    Index block_rows() const { return block_; }

    // Makes target rows [first, first + n) readable, n <= block_rows(); rows outside the block must not be
    // read until the next load.
    void load(Index first, Index n) {
        first_ = first;
        if (transposing_)
            transpose_block(n);
    }

    // Target row i (in the loaded block when transposing).
    AlignedView::Row row(Index i) const {
        if (!transposing_)
            return view_->row(i);
        const Index j = i - first_;
        const void* base = nullptr;
        if (block_rows_[static_cast<std::size_t>(j)] != AlignedView::kMissing)
            base = doubles_.empty() ? static_cast<const void*>(bytes_.data() + j * view_->cols())
                                    : static_cast<const void*>(doubles_.data() + j * view_->cols());
        return AlignedView::Row(base, view_->source().kind, offsets_.data());
    }

    // Target row i as float64 values in target column order (NaN where absent) without a copy, when the
    // source and the last load allow; else null.
    const double* contiguous_row(Index i) const {
        if (!transposing_)
            return view_->contiguous_row(i);
        const Index j = i - first_;
        if (doubles_.empty() || block_rows_[static_cast<std::size_t>(j)] == AlignedView::kMissing)
            return nullptr;
        return doubles_.data() + j * view_->cols();
    }

    // Target row i, every column, into out[0 .. cols()): NaN where absent, bool data as 0 / 1.
    void read_row(Index i, double* out) const {
        if (!transposing_) {
            view_->read_row(i, out);
            return;
        }
        const Index n = view_->cols();
        if (const double* values = contiguous_row(i)) {
            std::copy(values, values + n, out);
            return;
        }
        const AlignedView::Row r = row(i);
        for (Index k = 0; k < n; ++k)
            out[k] = r.number(k);
    }

    // The offset of each target column in the rows row() gives (kMissing when absent).
    const std::vector<Index>& column_offsets() const {
        return transposing_ ? offsets_ : view_->column_offsets();
    }
    // Whether the rows of both readers, loaded alike, place every target column at the same offset.
    bool same_columns(const RowBlocks& other) const {
        if (transposing_ != other.transposing_)
            return false;
        if (!transposing_)
            return view_->column_offsets() == other.view_->column_offsets();
        const std::vector<Index>&a = view_->column_offsets(), &b = other.view_->column_offsets();
        if (a.size() != b.size())
            return false;
        for (std::size_t k = 0; k < a.size(); ++k)
            if ((a[k] == AlignedView::kMissing) != (b[k] == AlignedView::kMissing))
                return false;
        return true;
    }

private:
    void transpose_block(Index n) {
        const std::vector<Index>& rows = view_->row_offsets();
        // One run per column when the block's rows are evenly spaced in the source (no row absent).
        const Index step = view_->source().row_stride;
        bool even = true;
        for (Index j = 0; j < n; ++j) {
            const Index ro = rows[static_cast<std::size_t>(first_ + j)];
            block_rows_[static_cast<std::size_t>(j)] = ro;
            even = even && ro != AlignedView::kMissing && ro == block_rows_[0] + j * step;
        }
        if (!doubles_.empty())
            transpose(static_cast<const double*>(view_->source().data), doubles_.data(), n, even, step);
        else
            transpose(static_cast<const std::uint8_t*>(view_->source().data), bytes_.data(), n, even, step);
    }

    // Block row j of column k goes to out[j * width + k]; the source's missing columns keep the NaN (or
    // false) the buffer was filled with. Columns are copied eight at a time, rows outer: eight runs are
    // read in order while each buffered row gets eight values side by side. Reading a column's run is a wait
    // on memory, so the runs of the columns a little further on are fetched meanwhile, and so is the start of
    // each column's next run: the next block, reading the same columns, finds it in cache.
    template <typename T>
    void transpose(const T* src, T* out, Index n, bool even, Index step) const {
        const std::vector<Index>& cols = view_->column_offsets();
        const std::size_t count = cols.size();
        const Index width = static_cast<Index>(count);
        if (!even) {
            // Rows absent or unevenly spaced: each cell through its row's offset.
            for (std::size_t k = 0; k < count; ++k) {
                const Index co = cols[k];
                if (co == AlignedView::kMissing)
                    continue;
                for (Index j = 0; j < n; ++j) {
                    const Index ro = block_rows_[static_cast<std::size_t>(j)];
                    if (ro != AlignedView::kMissing)
                        out[j * width + static_cast<Index>(k)] = src[co + ro];
                }
            }
            return;
        }
        constexpr std::size_t kTile = 8, kAhead = 16;
        const T* base = src + block_rows_[0];
        const auto run_bytes = static_cast<std::size_t>(n) * sizeof(T);
        // The next block's rows continue these runs when the next target row follows on in the source.
        const Index after = first_ + n;
        const bool next_run = step == 1 && after < view_->rows() &&
                              view_->row_offsets()[static_cast<std::size_t>(after)] == block_rows_[0] + n;
        const T* run[kTile];
        T* dst[kTile];
        std::size_t c = 0;
        while (c < count) {
            std::size_t t = 0;
            for (; c < count && t < kTile; ++c) {
                if (step == 1 && c + kAhead < count && cols[c + kAhead] != AlignedView::kMissing) {
                    const char* ahead = reinterpret_cast<const char*>(base + cols[c + kAhead]);
                    for (std::size_t b = 0; b < run_bytes; b += 64)
                        __builtin_prefetch(ahead + b);
                    if (next_run)
                        __builtin_prefetch(ahead + run_bytes);  // where the next block's run starts
                }
                if (cols[c] == AlignedView::kMissing)
                    continue;
                run[t] = base + cols[c];
                dst[t] = out + c;
                ++t;
            }
            if (t == kTile && step == 1)
                copy_tile<kTile>(run, dst, n, width);
            else
                for (Index j = 0; j < n; ++j)
                    for (std::size_t u = 0; u < t; ++u)
                        dst[u][j * width] = run[u][j * step];
        }
    }

    // Row j of each of the W runs to dst[u][j * width]: a fixed count the compiler unrolls.
    template <std::size_t W, typename T>
    static void copy_tile(const T* const* run, T* const* dst, Index n, Index width) {
        const T* r[W];
        T* d[W];
        for (std::size_t u = 0; u < W; ++u) {
            r[u] = run[u];
            d[u] = dst[u];
        }
        for (Index j = 0; j < n; ++j)
            for (std::size_t u = 0; u < W; ++u)
                d[u][j * width] = r[u][j];
    }

    const AlignedView* view_ = nullptr;
    Index block_ = kBlockRows;
    bool transposing_ = false;
    Index first_ = 0;
    std::vector<Index> offsets_;       // target column -> its offset in a buffered row
    std::vector<Index> block_rows_;    // source offset of each row of the loaded block
    std::vector<double> doubles_;      // the block, row-major, when the source holds float64
    std::vector<std::uint8_t> bytes_;  // the block, row-major, when it holds bools
};

}  // namespace vantorel
