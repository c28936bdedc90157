#include "core/normalize.hpp"

#include <algorithm>
#include <cmath>

#include "core/masked.hpp"
#include "core/numeric.hpp"
#include "core/row_blocks.hpp"

namespace sigmora {
namespace {

// The scale a row is standardised at: the power of two that brings its largest magnitude
// into [1, 2) (see magnitude_scale), 1 for a row holding an infinity or no value. The
// squares, the mean and the deviations are all taken of values times this scale, so a
// row of huge or tiny values neither overflows nor underflows, and a row scaled by a power
// of two gives the same bits (z-scores have no unit); for ordinary magnitudes the bits
// are those of the unscaled formula.
SIGMORA_ALWAYS_INLINE double row_unit(double lowest, double highest) {
    return magnitude_scale(std::max(std::fabs(lowest), std::fabs(highest)));
}

// The row's sum of values times `unit`, from its plain sum `total`: sums commute exactly
// with a power of two, unless the plain sum overflowed, which only a row of huge values
// does; it is then summed again, scaled, left to right.
SIGMORA_ALWAYS_INLINE double scaled_total(double total, double unit, const double* row, std::size_t cols) {
    if (std::isfinite(total) || unit == 1.0) return total * unit;
    double scaled = 0.0;
    for (std::size_t j = 0; j < cols; ++j) scaled += keep_or_zero(row[j] * unit, row[j] == row[j]);
    return scaled;
}

// Standardises G rows at once: each row keeps its own left-to-right sums, and the G
// independent sums keep the processor busy where one sequential sum would stall.
// A sum starts at +0.0 and so never becomes -0.0: adding 0.0 for a missing cell leaves
// it unchanged, as skipping the cell does.
template <std::size_t G>
SIGMORA_ALWAYS_INLINE void normalize_group(const double* const* rows, std::size_t cols, double* const* outs) {
    double total[G], lowest[G], highest[G], squares[G], mean[G], std_dev[G], unit[G];
    std::size_t count[G];
    for (std::size_t g = 0; g < G; ++g) {
        total[g] = 0.0, squares[g] = 0.0, lowest[g] = kInf, highest[g] = -kInf, count[g] = 0;
    }
    for (std::size_t j = 0; j < cols; ++j) {
        for (std::size_t g = 0; g < G; ++g) {
            const double v = rows[g][j];
            const bool present = v == v;
            total[g] += keep_or_zero(v, present);
            count[g] += present;
            lowest[g] = std::min(lowest[g], v);  // NaN compares false: ignored
            highest[g] = std::max(highest[g], v);
        }
    }
    for (std::size_t g = 0; g < G; ++g) {
        unit[g] = row_unit(lowest[g], highest[g]);
        mean[g] = scaled_total(total[g], unit[g], rows[g], cols) / static_cast<double>(count[g]);
    }
    for (std::size_t j = 0; j < cols; ++j) {
        for (std::size_t g = 0; g < G; ++g) {
            const double v = rows[g][j], d = mean[g] - v * unit[g];
            squares[g] += keep_or_zero(d * d, v == v);
        }
    }
    for (std::size_t g = 0; g < G; ++g) {
        const bool no_spread = count[g] < 2 || lowest[g] == highest[g];
        std_dev[g] = no_spread ? kNaN : std::sqrt(squares[g] / static_cast<double>(count[g] - 1));
        const double* row = rows[g];
        double* row_out = outs[g];
        for (std::size_t j = 0; j < cols; ++j) {
            const double z = (row[j] * unit[g] - mean[g]) / std_dev[g];
            row_out[j] = std::isinf(z) ? 0.0 : z;
        }
    }
}

SIGMORA_AVX2_CLONES
void normalize_four(const double* const* rows, std::size_t cols, double* const* outs) {
    normalize_group<4>(rows, cols, outs);
}

SIGMORA_AVX2_CLONES
void normalize_one(const double* const* rows, std::size_t cols, double* const* outs) {
    normalize_group<1>(rows, cols, outs);
}

// Column-major tables: rows [r0, r0 + n) standardised column by column, so that each
// step reads a contiguous run of n values (one per row) and the processor handles
// several rows per instruction; every row still sums its cells left to right.
// x and out hold element (r, j) at [r + j * rows]; n <= kColumnChunk.
constexpr std::size_t kColumnChunk = 64;

SIGMORA_AVX2_CLONES
void normalize_column_chunk(const double* x, std::size_t rows, std::size_t cols, std::size_t r0, std::size_t n,
                            double* out) {
    double total[kColumnChunk], lowest[kColumnChunk], highest[kColumnChunk], squares[kColumnChunk];
    double count[kColumnChunk], mean[kColumnChunk], std_dev[kColumnChunk], unit[kColumnChunk];
    for (std::size_t i = 0; i < n; ++i) {
        total[i] = 0.0, squares[i] = 0.0, lowest[i] = kInf, highest[i] = -kInf, count[i] = 0.0;
    }
    for (std::size_t j = 0; j < cols; ++j) {
        const double* column = x + j * rows + r0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = column[i];
            const bool present = v == v;
            total[i] += keep_or_zero(v, present);
            count[i] += present ? 1.0 : 0.0;
            lowest[i] = std::min(lowest[i], v);
            highest[i] = std::max(highest[i], v);
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        unit[i] = row_unit(lowest[i], highest[i]);
        double scaled = total[i] * unit[i];
        if (!std::isfinite(total[i]) && unit[i] != 1.0) {
            scaled = 0.0;  // the plain sum overflowed: sum again, scaled (see scaled_total)
            for (std::size_t j = 0; j < cols; ++j) {
                const double v = x[j * rows + r0 + i];
                scaled += keep_or_zero(v * unit[i], v == v);
            }
        }
        mean[i] = scaled / count[i];
    }
    for (std::size_t j = 0; j < cols; ++j) {
        const double* column = x + j * rows + r0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = column[i], d = mean[i] - v * unit[i];
            squares[i] += keep_or_zero(d * d, v == v);
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const bool no_spread = count[i] < 2.0 || lowest[i] == highest[i];
        std_dev[i] = no_spread ? kNaN : std::sqrt(squares[i] / (count[i] - 1.0));
    }
    for (std::size_t j = 0; j < cols; ++j) {
        const double* column = x + j * rows + r0;
        double* out_column = out + j * rows + r0;
        for (std::size_t i = 0; i < n; ++i) {
            const double z = (column[i] * unit[i] - mean[i]) / std_dev[i];
            out_column[i] = std::isinf(z) ? 0.0 : z;
        }
    }
}

// x and out column-major: element (r, j) at [r + j * rows].
void normalize_column_major(const double* x, std::size_t rows, std::size_t cols, double* out) {
    if (rows == 0 || cols == 0) return;
    const std::size_t n_chunks = (rows + kColumnChunk - 1) / kColumnChunk;
    parallel_for(n_chunks, [&](std::size_t first, std::size_t end) {
        for (std::size_t c = first; c < end; ++c) {
            const std::size_t r0 = c * kColumnChunk;
            normalize_column_chunk(x, rows, cols, r0, std::min(kColumnChunk, rows - r0), out);
        }
    });
}

// x in any layout, out row-major.
void normalize_rows(const StridedTable& x, double* out) {
    const std::size_t cols = x.cols;
    for_each_row_block(x, [&](std::size_t r0, std::size_t n_rows, const double* const* rows) {
        double* outs[kRowBlock];
        for (std::size_t i = 0; i < n_rows; ++i) outs[i] = out + (r0 + i) * cols;
        std::size_t i = 0;
        for (; i + 4 <= n_rows; i += 4) normalize_four(rows + i, cols, outs + i);
        for (; i < n_rows; ++i) normalize_one(rows + i, cols, outs + i);
    });
}

}  // namespace

void preprocess_normalize(const StridedTable& x, double* out) {
    // Column-major, as pandas holds a float table: work and answer in that order.
    if (result_order(x) == Order::column_major) {
        normalize_column_major(x.data, x.rows, x.cols, out);
    } else {
        normalize_rows(x, out);
    }
}

}  // namespace sigmora
