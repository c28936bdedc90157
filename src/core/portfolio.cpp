#include "core/portfolio.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/holding_periods.hpp"
#include "core/numeric.hpp"
#include "core/parallel.hpp"
#include "core/sizes.hpp"

namespace sigmora {
namespace {

// Rows handed to one thread at least, so small tables do not pay for threads.
std::size_t min_rows(std::size_t cols) { return std::max<std::size_t>(1, 16384 / std::max<std::size_t>(cols, 1)); }

// One staggered sub-portfolio of a holding period: rebalances on rows lv, lv + p, ...
struct Level {
    std::size_t period;
    std::size_t offset;  // lv, 1 <= lv <= period

    std::size_t n_blocks(std::size_t rows) const { return rows > offset ? (rows - offset + period - 1) / period : 0; }
    std::size_t rebalance_row(std::size_t block) const { return offset + block * period; }
    // Rebalance row in force on row t (requires t >= offset).
    std::size_t rebalance_row_of(std::size_t t) const { return offset + ((t - offset) / period) * period; }
};

// Edge k (0 <= k <= q) of the bucket rule for n ranks 1..n and q groups, computed with the
// same floating-point steps as interpolated quantiles of the sorted ranks at
// linspace(0, 1, q + 1); the first edge lowered by one. Non-decreasing in k.
double rank_edge(std::size_t n, std::size_t q, std::size_t k) {
    const double step = 1.0 / static_cast<double>(q);
    const double last = static_cast<double>(n - 1);
    const double share = k == q ? 1.0 : static_cast<double>(k) * step;
    const double idx = share * last;
    const double fraction = std::fmod(idx, 1.0);
    std::size_t pos = static_cast<std::size_t>(idx);
    if (pos > n - 1) pos = n - 1;
    const double a = static_cast<double>(pos + 1);                   // sorted rank at pos
    const double b = pos + 1 < n ? static_cast<double>(pos + 2) : 1.0;  // next one, wrapping
    const double edge = a + (b - a) * fraction;
    return k == 0 ? edge - 1.0 : edge;
}

// Per group g: the growth since the rebalance of a portfolio that started with the weights
// `wgt` of its members (off[g] .. off[g + 1] of the member list), i.e. the weighted mean
// of the members' growth over those with a weight and a growth; NaN when none has both.
// The same two running sums in the same order as the equal-weighted mean, so that weights
// of one give its bits (sums of ones are exact).
void weighted_means(const double* now, const std::uint32_t* who, const double* inv, const double* wgt,
                    const std::size_t* off, std::size_t q, double* m) {
    for (std::size_t g = 0; g < q; ++g) {
        double s0 = 0.0, s1 = 0.0, w0 = 0.0, w1 = 0.0;
        std::size_t k = off[g];
        const std::size_t stop = off[g + 1];
        for (; k + 2 <= stop; k += 2) {
            const double v0 = now[who[k]] * inv[k];
            const double v1 = now[who[k + 1]] * inv[k + 1];
            const bool ok0 = v0 == v0 && wgt[k] > 0.0, ok1 = v1 == v1 && wgt[k + 1] > 0.0;
            s0 += ok0 ? wgt[k] * v0 : 0.0;
            s1 += ok1 ? wgt[k + 1] * v1 : 0.0;
            w0 += ok0 ? wgt[k] : 0.0;
            w1 += ok1 ? wgt[k + 1] : 0.0;
        }
        if (k < stop) {
            const double v = now[who[k]] * inv[k];
            if (v == v && wgt[k] > 0.0) { s0 += wgt[k] * v; w0 += wgt[k]; }
        }
        const double total = w0 + w1;
        m[g] = total > 0.0 ? (s0 + s1) / total : kNaN;
    }
}

}  // namespace

void portfolio_growth(const StridedTable& returns, double* out) {
    // Columns in parallel (the product runs along time), a few at a time so that every row
    // of the output is written a cache line at a time. One loop serves every memory order:
    // a column-major table (pandas' layout) is read down its columns, a row-major one a
    // cache line of each row at a time.
    constexpr std::size_t kChunk = 8;
    const std::size_t rows = returns.rows, cols = returns.cols;
    const std::ptrdiff_t row_step = returns.row_stride, col_step = returns.col_stride;
    parallel_for((cols + kChunk - 1) / kChunk, [&](std::size_t c0, std::size_t c1) {
        double product[kChunk];
        for (std::size_t chunk = c0; chunk < c1; ++chunk) {
            const std::size_t first = chunk * kChunk, width = std::min(kChunk, cols - first);
            std::fill(product, product + kChunk, 1.0);
            for (std::size_t t = 0; t < rows; ++t) {
                double* o = out + t * cols + first;
                for (std::size_t j = 0; j < width; ++j) {
                    const double g = 1.0 + returns.data[static_cast<std::ptrdiff_t>(t) * row_step +
                                                        static_cast<std::ptrdiff_t>(first + j) * col_step];
                    if (std::isnan(g)) {
                        o[j] = kNaN;
                    } else {
                        product[j] *= g;
                        o[j] = product[j];
                    }
                }
            }
        }
    }, 8);
}

void portfolio_quantile_labels(const double* values, std::size_t rows, std::size_t cols, int quantile,
                               bool ascending, std::int64_t* out) {
    if (quantile < 1) throw std::invalid_argument("quantile: expect a positive integer, got " + std::to_string(quantile));
    struct Cell {
        double value;
        std::size_t column;
    };
    const std::size_t q = static_cast<std::size_t>(quantile);
    parallel_for(rows, [&](std::size_t begin, std::size_t end) {
        std::vector<Cell> order;
        order.reserve(cols);
        for (std::size_t t = begin; t < end; ++t) {
            const double* row = values + t * cols;
            std::int64_t* lab = out + t * cols;
            order.clear();
            for (std::size_t i = 0; i < cols; ++i) {
                lab[i] = -1;
                if (!std::isnan(row[i])) order.push_back(Cell{row[i], i});
            }
            const std::size_t n = order.size();
            if (n == 0) continue;
            // Ranks follow the values, equal values in column order (in either direction).
            // Group k holds the ranks r with edge[k] < r <= edge[k + 1], so partitioning at
            // each edge is enough; no full sort is needed. Groups whose upper edge does not
            // pass the ranks already placed are empty and skipped by a binary search over
            // the edges, so the work does not grow with the number of groups.
            auto before = [ascending](const Cell& a, const Cell& b) {
                if (a.value == b.value) return a.column < b.column;
                return ascending ? a.value < b.value : a.value > b.value;
            };
            // Ranks at or below group g's upper edge (g < q - 1; the last group takes the rest).
            auto upper = [n, q](std::size_t g) { return std::floor(rank_edge(n, q, g + 1)); };
            std::size_t lo = 0;
            for (std::size_t k = 0; lo < n; ++k) {
                std::size_t hi = n;
                if (k + 1 < q && !(upper(k) > static_cast<double>(lo))) {
                    // The first group after k whose upper edge passes lo (or the last group).
                    std::size_t empty = k, next = q - 1;
                    while (next - empty > 1) {
                        const std::size_t mid = empty + (next - empty) / 2;
                        (upper(mid) > static_cast<double>(lo) ? next : empty) = mid;
                    }
                    k = next;
                }
                if (k + 1 < q) {
                    hi = std::min(n, static_cast<std::size_t>(upper(k)));
                    if (hi < n) std::nth_element(order.begin() + lo, order.begin() + hi, order.end(), before);
                }
                for (std::size_t j = lo; j < hi; ++j) lab[order[j].column] = static_cast<std::int64_t>(k);
                lo = hi;
            }
        }
    }, min_rows(cols));
}

void portfolio_quantile_returns(const std::int64_t* labels, const double* growth, const double* weights,
                                std::size_t rows, std::size_t cols, int quantile, const std::int64_t* periods,
                                std::size_t n_periods, double* out_returns, double* out_turnover) {
    if (quantile < 1) throw std::invalid_argument("quantile: expect a positive integer, got " + std::to_string(quantile));
    const std::vector<std::size_t> period_list = checked_periods(periods, n_periods);
    const std::size_t q = static_cast<std::size_t>(quantile);
    if (cols > std::numeric_limits<std::uint32_t>::max()) throw std::invalid_argument("labels: too many columns");

    // Members per group on every row; a row without any member starts no holding block.
    std::vector<std::int64_t> members = buffer({rows, q}, std::int64_t{0}, "quantile");
    std::vector<char> bad_row(rows, 0);
    parallel_for(rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            const std::int64_t* lab = labels + t * cols;
            std::int64_t* count = members.data() + t * q;
            for (std::size_t i = 0; i < cols; ++i) {
                const std::int64_t g = lab[i];
                if (g < -1 || g >= static_cast<std::int64_t>(q)) {
                    bad_row[t] = 1;
                } else if (g >= 0) {
                    ++count[g];
                }
            }
        }
    }, min_rows(cols));
    if (std::find(bad_row.begin(), bad_row.end(), 1) != bad_row.end()) {
        throw std::invalid_argument("labels: expect codes -1 (none) or 0 to " + std::to_string(q - 1));
    }
    std::vector<char> labelled(rows, 0);
    for (std::size_t t = 0; t < rows; ++t) {
        for (std::size_t g = 0; g < q; ++g) labelled[t] |= members[t * q + g] > 0;
    }

    // The mean growth of a group on row t since a rebalance on row r depends on (r, t) alone
    // (the labels of row r, the growth before it), so the levels of all periods share it:
    // span[t][d][g] for r = t - d, with d below the longest period.
    std::size_t longest = 0;
    for (std::size_t p : period_list) longest = std::max(longest, std::min(p, rows));
    std::vector<double> span = buffer({rows, longest, q}, kNaN, "periods");
    parallel_for(rows, [&](std::size_t begin, std::size_t end) {
        // Members of the recent rebalance rows, group by group (column order within a group),
        // with one over their growth on the row before; slot r % longest holds row r.
        std::vector<std::size_t> slot_row(longest, rows);
        std::vector<std::uint32_t> member = buffer({longest, cols}, std::uint32_t{0}, "periods");
        std::vector<double> inverse = buffer({longest, cols}, 0.0, "periods");
        // Starting weight of each listed member (weighted groups only; 0: none).
        std::vector<double> start_weight = weights ? buffer({longest, cols}, 0.0, "weights") : std::vector<double>();
        std::vector<std::size_t> first = buffer({longest, checked_add(q, 1, "quantile")}, std::size_t{0}, "periods");
        std::vector<std::size_t> fill(q);
        auto list_members = [&](std::size_t slot, std::size_t r) {
            std::size_t* off = first.data() + slot * (q + 1);
            off[0] = 0;
            for (std::size_t g = 0; g < q; ++g) off[g + 1] = off[g] + static_cast<std::size_t>(members[r * q + g]);
            std::copy(off, off + q, fill.begin());
            const std::int64_t* lab = labels + r * cols;
            const double* before = growth + (r - 1) * cols;
            std::uint32_t* who = member.data() + slot * cols;
            double* inv = inverse.data() + slot * cols;
            const double* start = weights ? weights + r * cols : nullptr;
            double* wgt = weights ? start_weight.data() + slot * cols : nullptr;
            for (std::size_t i = 0; i < cols; ++i) {
                if (lab[i] < 0) continue;
                const std::size_t k = fill[static_cast<std::size_t>(lab[i])]++;
                who[k] = static_cast<std::uint32_t>(i);
                inv[k] = 1.0 / before[i];
                if (wgt) wgt[k] = start[i] > 0.0 && std::isfinite(start[i]) ? start[i] : 0.0;
            }
            slot_row[slot] = r;
        };
        for (std::size_t t = begin; t < end; ++t) {
            const double* now = growth + t * cols;
            for (std::size_t d = 0; d < longest && d < t; ++d) {
                const std::size_t r = t - d;  // >= 1: no level rebalances on row 0
                if (!labelled[r]) continue;
                const std::size_t slot = r % longest;
                if (slot_row[slot] != r) list_members(slot, r);
                const std::size_t* off = first.data() + slot * (q + 1);
                const std::uint32_t* who = member.data() + slot * cols;
                const double* inv = inverse.data() + slot * cols;
                double* m = span.data() + (t * longest + d) * q;
                if (weights) {
                    weighted_means(now, who, inv, start_weight.data() + slot * cols, off, q, m);
                    continue;
                }
                for (std::size_t g = 0; g < q; ++g) {
                    // Two running sums in a fixed order: quicker, and the same whatever the threads.
                    double s0 = 0.0, s1 = 0.0;
                    std::size_t n0 = 0, n1 = 0, k = off[g];
                    const std::size_t stop = off[g + 1];
                    for (; k + 2 <= stop; k += 2) {
                        const double v0 = now[who[k]] * inv[k];
                        const double v1 = now[who[k + 1]] * inv[k + 1];
                        const bool ok0 = v0 == v0, ok1 = v1 == v1;
                        s0 += ok0 ? v0 : 0.0;
                        s1 += ok1 ? v1 : 0.0;
                        n0 += ok0;
                        n1 += ok1;
                    }
                    if (k < stop) {
                        const double v = now[who[k]] * inv[k];
                        if (v == v) { s0 += v; ++n0; }
                    }
                    const std::size_t n = n0 + n1;
                    m[g] = n ? (s0 + s1) / static_cast<double>(n) : kNaN;
                }
            }
        }
    }, min_rows(cols));

    const std::size_t plane = q * rows;
    for (std::size_t pi = 0; pi < n_periods; ++pi) {
        const std::size_t period = period_list[pi];
        // Levels starting at or after the last row hold nothing and add nothing.
        const std::size_t n_levels = std::min(period, rows);

        // Per level, along time: daily returns and turnover (NaN where the level has none).
        std::vector<double> daily = buffer({n_levels, rows, q}, kNaN, "periods");
        std::vector<double> turnover = buffer({n_levels, rows, q}, kNaN, "periods");
        parallel_for(n_levels, [&](std::size_t begin, std::size_t end) {
            std::vector<double> last_mean(q);
            std::vector<std::int64_t> entering(q);
            std::vector<std::int64_t> last_row(q);
            for (std::size_t l = begin; l < end; ++l) {
                const Level level{period, l + 1};
                std::fill(last_mean.begin(), last_mean.end(), kNaN);
                std::fill(last_row.begin(), last_row.end(), -1);
                for (std::size_t b = 0, nb = level.n_blocks(rows); b < nb; ++b) {
                    const std::size_t r = level.rebalance_row(b);
                    if (!labelled[r]) continue;
                    const std::int64_t* lab = labels + r * cols;
                    std::fill(entering.begin(), entering.end(), 0);
                    for (std::size_t i = 0; i < cols; ++i) {
                        const std::int64_t g = lab[i];
                        if (g < 0 || last_row[g] < 0) continue;
                        if (labels[static_cast<std::size_t>(last_row[g]) * cols + i] != g) ++entering[g];
                    }
                    const std::size_t stop = std::min(r + period, rows);
                    for (std::size_t t = r; t < stop; ++t) {
                        const double* m = span.data() + (t * longest + (t - r)) * q;
                        double* ret = daily.data() + (l * rows + t) * q;
                        double* turn = turnover.data() + (l * rows + t) * q;
                        for (std::size_t g = 0; g < q; ++g) {
                            const double value = m[g];
                            // A missing mean carries the last known one forward.
                            const double carried = std::isnan(value) ? last_mean[g] : value;
                            ret[g] = t == r ? value - 1.0 : carried / last_mean[g] - 1.0;
                            last_mean[g] = carried;
                            const std::int64_t size = members[r * q + g];
                            if (size == 0) continue;
                            turn[g] = (t == r && last_row[g] >= 0)
                                          ? static_cast<double>(entering[g]) / static_cast<double>(size)
                                          : 0.0;
                        }
                    }
                    for (std::size_t g = 0; g < q; ++g) {
                        if (members[r * q + g] > 0) last_row[g] = static_cast<std::int64_t>(r);
                    }
                }
            }
        }, 1);

        // Average the levels, skipping missing values.
        double* ret_out = out_returns + pi * plane;
        double* turn_out = out_turnover + pi * plane;
        parallel_for(rows, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) {
                for (std::size_t g = 0; g < q; ++g) {
                    double rs = 0.0, ts = 0.0;
                    std::size_t rn = 0, tn = 0;
                    for (std::size_t l = 0; l < n_levels; ++l) {
                        const double rv = daily[(l * rows + t) * q + g];
                        const double tv = turnover[(l * rows + t) * q + g];
                        if (!std::isnan(rv)) { rs += rv; ++rn; }
                        if (!std::isnan(tv)) { ts += tv; ++tn; }
                    }
                    ret_out[g * rows + t] = rn ? rs / static_cast<double>(rn) : kNaN;
                    turn_out[g * rows + t] = tn ? ts / static_cast<double>(tn) : kNaN;
                }
            }
        }, 256);
    }
}

}  // namespace sigmora
