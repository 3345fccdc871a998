// Read-only views of dense 2-D arrays and their alignment through label maps.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vantorel {

using Index = std::int64_t;

// Target position -> source position, or -1 when the label is missing.
using IndexMap = std::vector<Index>;
// 0, 1, ..., n - 1.
IndexMap identity_map(Index n);

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kMaxFinite = std::numeric_limits<double>::max();

// NaN -> 0, +inf -> largest double, -inf -> most negative double; other values unchanged.
// Written as selects, without branches: the trading loop runs it millions of times.
inline double neutralise(double v) {
    const double z = v == v ? v : 0.0;
    return z > kMaxFinite ? kMaxFinite : (z < -kMaxFinite ? -kMaxFinite : z);
}

enum class ElementKind : std::uint8_t { Float64, Bool };

// A strided view (strides in elements, possibly negative) over float64 or bool data.
struct MatrixView {
    const void* data = nullptr;
    ElementKind kind = ElementKind::Float64;
    Index rows = 0;
    Index cols = 0;
    Index row_stride = 0;
    Index col_stride = 0;

    // True when walking down a column is the contiguous direction.
    bool column_major() const {
        const Index rs = row_stride < 0 ? -row_stride : row_stride;
        const Index cs = col_stride < 0 ? -col_stride : col_stride;
        return rs < cs;
    }
};

// A MatrixView read at target positions (row i, column k) through two label maps.
// Offsets are precomputed once so a read is one add and one load.
class AlignedView {
public:
    static constexpr Index kMissing = std::numeric_limits<Index>::min();

    AlignedView() = default;
    AlignedView(const MatrixView& src, const IndexMap& row_map, const IndexMap& col_map);
    // Identity alignment: target (i, k) is source (i, k).
    explicit AlignedView(const MatrixView& src);

    Index rows() const { return static_cast<Index>(row_offset_.size()); }
    Index cols() const { return static_cast<Index>(col_offset_.size()); }
    const MatrixView& source() const { return src_; }

    // Value as a double; NaN when the cell is absent. Bool data reads as 0 / 1.
    double number(Index i, Index k) const {
        const Index ro = row_offset_[i], co = col_offset_[k];
        if (ro == kMissing || co == kMissing)
            return kNaN;
        if (src_.kind == ElementKind::Float64)
            return static_cast<const double*>(src_.data)[ro + co];
        return static_cast<const std::uint8_t*>(src_.data)[ro + co] ? 1.0 : 0.0;
    }

    // One target row, for many reads along it.
    class Row {
    public:
        Row() = default;
        // A row stored elsewhere: `base` is its element at offset 0, `col_offset` the offset of each
        // target column (kMissing when absent); a null base is an absent row.
        Row(const void* base, ElementKind kind, const Index* col_offset)
            : base_(static_cast<const std::uint8_t*>(base)), kind_(kind), col_offset_(col_offset) {}

        double number(Index k) const {
            const Index co = col_offset_[k];
            if (base_ == nullptr || co == kMissing)
                return kNaN;
            if (kind_ == ElementKind::Float64)
                return reinterpret_cast<const double*>(base_)[co];
            return base_[co] ? 1.0 : 0.0;
        }
        bool flag(Index k, bool missing) const {
            const Index co = col_offset_[k];
            if (base_ == nullptr || co == kMissing)
                return missing;
            if (kind_ == ElementKind::Bool)
                return base_[co] != 0;
            const double v = reinterpret_cast<const double*>(base_)[co];
            return std::isnan(v) ? missing : v != 0.0;
        }

        // The row exists in the source (its date is not absent).
        bool present() const { return base_ != nullptr; }
        // The row's elements, indexed by column offset, when it exists and holds that type; else null.
        const double* doubles() const {
            return kind_ == ElementKind::Float64 ? reinterpret_cast<const double*>(base_) : nullptr;
        }
        const std::uint8_t* bools() const { return kind_ == ElementKind::Bool ? base_ : nullptr; }
        // number() and flag() at a column offset already looked up and known not to be missing.
        double number_at(Index co) const {
            if (kind_ == ElementKind::Float64)
                return reinterpret_cast<const double*>(base_)[co];
            return base_[co] ? 1.0 : 0.0;
        }
        bool flag_at(Index co, bool missing) const {
            if (kind_ == ElementKind::Bool)
                return base_[co] != 0;
            const double v = reinterpret_cast<const double*>(base_)[co];
            return std::isnan(v) ? missing : v != 0.0;
        }

    private:
        friend class AlignedView;
        const std::uint8_t* base_ = nullptr;  // element (row, 0) of the source; null when absent
        ElementKind kind_ = ElementKind::Float64;
        const Index* col_offset_ = nullptr;
    };
    Row row(Index i) const;
    // Element offset of each target column in the source (kMissing when absent).
    const std::vector<Index>& column_offsets() const { return col_offset_; }
    // Element offset of each target row in the source (kMissing when absent).
    const std::vector<Index>& row_offsets() const { return row_offset_; }

    // Target row i (all columns) into out[0 .. cols()).
    void read_row(Index i, double* out) const;
    // Target column k in place when it is one contiguous run of float64 in the source, else null.
    const double* contiguous_column(Index k) const {
        if (!contiguous_cols_ || col_offset_[static_cast<std::size_t>(k)] == kMissing)
            return nullptr;
        return static_cast<const double*>(src_.data) + col_offset_[static_cast<std::size_t>(k)];
    }
    // Target row i in place when it is one contiguous run of float64 in the source, else null.
    const double* contiguous_row(Index i) const {
        if (!contiguous_rows_ || row_offset_[static_cast<std::size_t>(i)] == kMissing)
            return nullptr;
        return static_cast<const double*>(src_.data) + row_offset_[static_cast<std::size_t>(i)];
    }

    // A feasibility flag: true for a non-zero, non-NaN value. An absent or NaN cell gives `missing`.
    bool flag(Index i, Index k, bool missing) const {
        const Index ro = row_offset_[i], co = col_offset_[k];
        if (ro == kMissing || co == kMissing)
            return missing;
        if (src_.kind == ElementKind::Bool)
            return static_cast<const std::uint8_t*>(src_.data)[ro + co] != 0;
        const double v = static_cast<const double*>(src_.data)[ro + co];
        if (std::isnan(v))
            return missing;
        return v != 0.0;
    }

private:
    MatrixView src_;
    std::vector<Index> row_offset_;
    std::vector<Index> col_offset_;
    bool contiguous_rows_ = false;  // float64 source, columns map one to one onto a unit stride
    bool contiguous_cols_ = false;  // float64 source, rows map one to one onto a unit stride
};

// Dense row-major result matrix.
struct DenseMatrix {
    Index rows = 0;
    Index cols = 0;
    std::vector<double> values;

    MatrixView view() const { return MatrixView{values.data(), ElementKind::Float64, rows, cols, cols, 1}; }
};

}  // namespace vantorel
