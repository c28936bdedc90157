#include "core/factor_portfolio.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/holding_periods.hpp"
#include "core/numeric.hpp"
#include "core/parallel.hpp"
#include "core/sizes.hpp"
#include "core/row_blocks.hpp"

namespace sigmora {
namespace {

// What turns a row's values into its weights: weight = (value - mean) / spread.
struct RowScale {
    double mean;
    double spread;
};

RowScale row_scale(const double* row, std::size_t cols) {
    double sum = 0.0, lo = kNaN, hi = kNaN;
    std::size_t n = 0;
    for (std::size_t i = 0; i < cols; ++i) {
        if (!std::isnan(row[i])) {
            sum += row[i];
            lo = n ? std::min(lo, row[i]) : row[i];
            hi = n ? std::max(hi, row[i]) : row[i];
            ++n;
        }
    }
    // Values that do not spread have their own value as mean: a rounded sum would leave
    // tiny deviations of one sign, i.e. a one-sided book instead of none.
    const double mean = n == 0 ? kNaN : lo == hi ? lo : sum / static_cast<double>(n);
    double spread = 0.0;
    for (std::size_t i = 0; i < cols; ++i) {
        const double d = row[i] - mean;
        if (!std::isnan(d)) spread += std::fabs(d);
    }
    return RowScale{mean, spread};
}

inline double weight(double value, const RowScale& s, bool ascending) {
    const double w = (value - s.mean) / s.spread;
    return ascending ? -w : w;
}

std::vector<RowScale> row_scales(const StridedTable& values) {
    std::vector<RowScale> out(values.rows, RowScale{kNaN, kNaN});
    for_each_row_block(values, [&](std::size_t r0, std::size_t n, const double* const* rows) {
        for (std::size_t k = 0; k < n; ++k) out[r0 + k] = row_scale(rows[k], values.cols);
    });
    return out;
}

// The sums below run over eight lanes (two four-wide vectors) in a fixed order, so the
// result does not depend on the instruction set the compiler picks or on the threads.
// Internal helpers only: the vector calling convention never crosses a library boundary.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double v4d __attribute__((vector_size(32)));
typedef std::int64_t v4i __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 8;

SIGMORA_ALWAYS_INLINE v4d load4(const double* p) {
    v4d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Sum over a tile of coef * now - w, skipping missing terms: a sub-portfolio's return since
// its rebalance on these instruments, with coef = w / divisor. `width` is a multiple of 8.
SIGMORA_ALWAYS_INLINE double held_sum(const double* coef, const double* now, const double* w, std::size_t width) {
    v4d a = {0.0, 0.0, 0.0, 0.0}, b = a;
    for (std::size_t i = 0; i < width; i += kLanes) {
        const v4d x = load4(coef + i) * load4(now + i) - load4(w + i);
        const v4d y = load4(coef + i + 4) * load4(now + i + 4) - load4(w + i + 4);
        a += (v4d)((v4i)x & (x == x));
        b += (v4d)((v4i)y & (y == y));
    }
    return ((a[0] + a[1]) + (a[2] + a[3])) + ((b[0] + b[1]) + (b[2] + b[3]));
}

// The instruments are cut into tiles of kTile columns whose whole state (divisors and
// coefficients of every level, recent weight rows) stays in cache while the tile's rows
// are walked in time order; kBlockTiles consecutive tiles are one unit of parallel work
// with its own partial sums, added up block by block afterwards.
constexpr std::size_t kTile = 128;
constexpr std::size_t kBlockTiles = 4;
constexpr std::size_t kPanelRows = 32;
// Levels run through one pass over the tables; more levels make more passes.
constexpr std::size_t kMaxLevelsPerPass = 64;

// Rows [r0, r0 + n) and columns [c0, c0 + w) of the table into dest (row stride `stride`),
// NaN in the columns from w to stride.
void gather(const StridedTable& t, std::size_t r0, std::size_t n, std::size_t c0, std::size_t w,
            std::size_t stride, double* dest) {
    if (n == 0) return;
    for (std::size_t k = 0; k < n; ++k) std::fill(dest + k * stride + w, dest + (k + 1) * stride, kNaN);
    const double* base = t.data + static_cast<std::ptrdiff_t>(r0) * t.row_stride +
                         static_cast<std::ptrdiff_t>(c0) * t.col_stride;
    if (t.col_stride == 1) {
        for (std::size_t k = 0; k < n; ++k) {
            std::memcpy(dest + k * stride, base + static_cast<std::ptrdiff_t>(k) * t.row_stride, w * sizeof(double));
        }
    } else {
        for (std::size_t j = 0; j < w; ++j) {
            const double* column = base + static_cast<std::ptrdiff_t>(j) * t.col_stride;
            for (std::size_t k = 0; k < n; ++k) dest[k * stride + j] = column[static_cast<std::ptrdiff_t>(k) * t.row_stride];
        }
    }
}

struct PeriodLevels {
    std::size_t period;
    std::size_t n_levels;  // levels starting at or after the last row hold nothing
    std::size_t first;     // index of its first level among the pass's levels
};

// One job of the held-return pass: the tables, the levels and where the sums go.
struct HeldJob {
    const StridedTable& values;
    const std::vector<RowScale>& scales;
    const StridedTable& returns;
    bool returns_are_growth, ascending;
    const std::vector<PeriodLevels>& pass;
    std::size_t n_levels, longest, n_tiles;
    double* partial;  // n_blocks x n_levels x rows
};

// Blocks [block0, block1) of the pass. Built for AVX2 as well where the processor has it;
// both versions compute the same lanes in the same order.
SIGMORA_AVX2_CLONES
void walk_blocks(const HeldJob& job, std::size_t block0, std::size_t block1) {
    const StridedTable &values = job.values, &returns = job.returns;
    const std::size_t rows = values.rows, cols = values.cols, n_levels = job.n_levels, longest = job.longest;
    const std::size_t n_tiles = job.n_tiles;
    const bool returns_are_growth = job.returns_are_growth, ascending = job.ascending;
    const std::vector<RowScale>& scales = job.scales;
    const std::vector<PeriodLevels>& pass = job.pass;
    constexpr std::size_t W = kTile;
    std::vector<double> factor_panel(kPanelRows * W, kNaN), return_panel(kPanelRows * W, kNaN);
    std::vector<double> product(W), growth_a(W), growth_b(W);
    // Weight rows of the last `longest` rows: row r in slot r % longest.
    std::vector<double> recent = buffer({longest, W}, 0.0, "periods");
    std::vector<double> divisor = buffer({n_levels, W}, 0.0, "periods"), coef = buffer({n_levels, W}, 0.0, "periods");
    std::vector<std::size_t> held_slot(n_levels, 0);
    for (std::size_t block = block0; block < block1; ++block) {
        double* sums = job.partial + block * n_levels * rows;
        const std::size_t tile_end = std::min(n_tiles, (block + 1) * kBlockTiles);
        for (std::size_t tile = block * kBlockTiles; tile < tile_end; ++tile) {
            const std::size_t c0 = tile * W, width = std::min(W, cols - c0);
            std::fill(product.begin(), product.end(), 1.0);
            std::fill(divisor.begin(), divisor.end(), kNaN);
            std::fill(coef.begin(), coef.end(), kNaN);
            double* before = growth_a.data();  // growth on the previous row
            double* now = growth_b.data();
            for (std::size_t p0 = 0; p0 < rows; p0 += kPanelRows) {
                const std::size_t n = std::min(kPanelRows, rows - p0);
                gather(returns, p0, n, c0, width, W, return_panel.data());
                // Panel row k holds the factor values of row p0 + k - 1 (row 0 has no weights).
                if (p0 == 0) {
                    gather(values, 0, n - 1, c0, width, W, factor_panel.data() + W);
                } else {
                    gather(values, p0 - 1, n, c0, width, W, factor_panel.data());
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const std::size_t t = p0 + k;
                    const double* r = return_panel.data() + k * W;
                    if (returns_are_growth) {
                        std::copy(r, r + W, now);
                    } else {
                        for (std::size_t i = 0; i < W; ++i) {
                            const double g = 1.0 + r[i];
                            const bool missing = g != g;
                            product[i] = missing ? product[i] : product[i] * g;
                            now[i] = missing ? kNaN : product[i];
                        }
                    }
                    if (t >= 1) {
                        const std::size_t slot = t % longest;
                        double* w = recent.data() + slot * W;
                        const double* v = factor_panel.data() + k * W;
                        const RowScale s = scales[t - 1];
                        for (std::size_t i = 0; i < W; ++i) w[i] = weight(v[i], s, ascending);
                        for (const PeriodLevels& p : pass) {
                            const std::size_t l = p.first + (t - 1) % p.period;
                            double* d = divisor.data() + l * W;
                            double* c = coef.data() + l * W;
                            for (std::size_t i = 0; i < W; ++i) {
                                d[i] = before[i] != before[i] ? d[i] : before[i];
                                c[i] = w[i] / d[i];
                            }
                            held_slot[l] = slot;
                        }
                        for (const PeriodLevels& p : pass) {
                            const std::size_t started = std::min(p.n_levels, t);  // level lv starts on row lv
                            for (std::size_t l = p.first; l < p.first + started; ++l) {
                                sums[l * rows + t] += held_sum(coef.data() + l * W, now,
                                                               recent.data() + held_slot[l] * W, W);
                            }
                        }
                    }
                    std::swap(before, now);
                }
            }
        }
    }
}

// held[l * rows + t]: level l's cumulative return within its holding window on row t
// (0 before its first rebalance), for the levels of `pass`.
void held_returns(const StridedTable& values, const std::vector<RowScale>& scales, const StridedTable& returns,
                  bool returns_are_growth, bool ascending, const std::vector<PeriodLevels>& pass,
                  std::size_t n_levels, double* held) {
    const std::size_t rows = values.rows, cols = values.cols;
    std::size_t longest = 1;
    for (const PeriodLevels& p : pass) longest = std::max(longest, p.n_levels);
    const std::size_t n_tiles = (cols + kTile - 1) / kTile;
    const std::size_t n_blocks = (n_tiles + kBlockTiles - 1) / kBlockTiles;
    std::vector<double> partial = buffer({n_blocks, n_levels, rows}, 0.0, "periods");

    const HeldJob job{values, scales, returns, returns_are_growth, ascending, pass, n_levels, longest, n_tiles,
                      partial.data()};
    parallel_for(n_blocks, [&](std::size_t block0, std::size_t block1) { walk_blocks(job, block0, block1); }, 1);

    std::fill(held, held + n_levels * rows, 0.0);
    for (std::size_t block = 0; block < n_blocks; ++block) {
        const double* sums = partial.data() + block * n_levels * rows;
        for (std::size_t j = 0; j < n_levels * rows; ++j) held[j] += sums[j];
    }
}

// Level-averaged daily change of the period's sub-portfolios from their held returns.
void average_levels(const double* held, std::size_t rows, const PeriodLevels& p, double* out) {
    std::vector<double> sum(rows, 0.0);
    std::vector<std::size_t> count(rows, 0);
    // Levels starting at or after the last row hold nothing: a change of 0 from row 1 on.
    for (std::size_t t = 1; t < rows; ++t) count[t] += p.period - p.n_levels;
    for (std::size_t l = 0; l < p.n_levels; ++l) {
        const std::size_t lv = l + 1;
        const double* h = held + (p.first + l) * rows;
        // Day-to-day change of the window's value 1 + held (missing values carry the last
        // known one); a rebalance row takes the window's own first-day return.
        double previous = kNaN;
        for (std::size_t t = 0; t < rows; ++t) {
            const double value = 1.0 + h[t];
            const double carried = std::isnan(value) ? previous : value;
            double change = t == 0 ? kNaN : carried / previous - 1.0;
            if (t >= lv && (t - lv) % p.period == 0) change = h[t];
            previous = carried;
            if (!std::isnan(change)) {
                sum[t] += change;
                ++count[t];
            }
        }
    }
    for (std::size_t t = 0; t < rows; ++t) out[t] = count[t] ? sum[t] / static_cast<double>(count[t]) : kNaN;
}

}  // namespace

void portfolio_factor_weights(const StridedTable& values, bool ascending, double* out) {
    for_each_row_block(values, [&](std::size_t r0, std::size_t n, const double* const* rows) {
        for (std::size_t k = 0; k < n; ++k) {
            const RowScale s = row_scale(rows[k], values.cols);
            double* w = out + (r0 + k) * values.cols;
            for (std::size_t i = 0; i < values.cols; ++i) w[i] = weight(rows[k][i], s, ascending);
        }
    });
}

void portfolio_factor_returns(const StridedTable& values, const StridedTable& returns, bool returns_are_growth,
                              bool ascending, const std::int64_t* periods, std::size_t n_periods, double* out) {
    const std::vector<std::size_t> period_list = checked_periods(periods, n_periods);
    const std::size_t rows = values.rows;
    const std::vector<RowScale> scales = row_scales(values);
    // Periods in passes of a bounded number of levels (a longer period takes a pass alone).
    std::size_t pi = 0;
    while (pi < n_periods) {
        std::vector<PeriodLevels> pass;
        std::size_t n_levels = 0;
        std::vector<std::size_t> outputs;
        while (pi < n_periods) {
            const std::size_t levels = std::min(period_list[pi], rows);
            if (!pass.empty() && n_levels + levels > kMaxLevelsPerPass) break;
            pass.push_back(PeriodLevels{period_list[pi], levels, n_levels});
            outputs.push_back(pi);
            n_levels += levels;
            ++pi;
        }
        std::vector<double> held = buffer({n_levels, rows}, 0.0, "periods");
        held_returns(values, scales, returns, returns_are_growth, ascending, pass, n_levels, held.data());
        for (std::size_t k = 0; k < pass.size(); ++k) average_levels(held.data(), rows, pass[k], out + outputs[k] * rows);
    }
}

}  // namespace sigmora
