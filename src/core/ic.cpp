#include "core/ic.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/numeric.hpp"
#include "core/parallel.hpp"
#include "core/rank.hpp"

namespace sigmora {
namespace {

bool all_equal(const double* v, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i)
        if (!(v[i] == v[0])) return false;
    return true;
}

// Mean with one refinement pass, so the centring error stays at rounding level.
double accurate_mean(const double* v, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += v[i];
    const double m = s / static_cast<double>(n);
    double c = 0.0;
    for (std::size_t i = 0; i < n; ++i) c += v[i] - m;
    return m + c / static_cast<double>(n);
}

// Scratch buffers of one worker; every kernel call resizes them to its own sizes.
struct Scratch {
    std::vector<std::uint8_t> keep;
    std::vector<std::uint32_t> order_x, order_y, run;
    std::vector<std::uint32_t> rank_x;
    FirstRanks first{0, 0.0};
    std::vector<double> gx, gy;

    void reserve(std::size_t m) {
        keep.resize(m);
        rank_x.resize(m);
        gx.resize(m);
        gy.resize(m);
    }
};

// Spearman over the n kept positions: s.rank_x holds the factor's doubled ranks, `order`
// is the returns' sorted order; `returns_first` picks which variable numpy's corrcoef
// would see first.
void store_rank_corr(const std::vector<std::uint32_t>& order, std::size_t n, Scratch& s, bool returns_first,
                     double& r, std::uint8_t& constant) {
    const RankSums sums = rank_sums_against(order.data(), order.size(), s.keep.data(), s.first, s.rank_x.data(), s.run);
    constant = (sums.sxx == 0.0 || sums.syy == 0.0) ? 1 : 0;
    r = returns_first ? corrcoef_from_sums(sums.sxy, sums.syy, sums.sxx, n)
                      : corrcoef_from_sums(sums.sxy, sums.sxx, sums.syy, n);
}

// Correlates x (length m) with each ys[k] over the positions where both are present.
// Results go to out cell `cell0 + k`.
// With `orders`, x's sorted order is kept as its row `row`.
void correlate_sample(const double* x, const double* const* ys, std::size_t n_periods, std::size_t m, bool rank,
                      bool returns_first, Scratch& s, CorrOutput out, std::size_t cell0,
                      RowOrders* orders = nullptr, std::size_t row = 0) {
    s.reserve(m);
    if (rank) {
        sort_order(x, nullptr, m, s.order_x);
        if (orders) orders->store(row, s.order_x);
    }
    for (std::size_t k = 0; k < n_periods; ++k) {
        const double* y = ys[k];
        std::size_t n = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const bool both = !std::isnan(x[j]) && !std::isnan(y[j]);
            s.keep[j] = both;
            n += both;
        }
        const std::size_t cell = cell0 + k;
        out.n[cell] = static_cast<std::int64_t>(n);
        out.r[cell] = kNaN;
        out.constant[cell] = 0;
        if (n < 2) continue;
        if (rank) {
            s.first = rank_first(s.order_x.data(), s.order_x.size(), s.keep.data(), s.rank_x.data(), s.run);
            sort_order(y, s.keep.data(), m, s.order_y);
            store_rank_corr(s.order_y, n, s, returns_first, out.r[cell], out.constant[cell]);
        } else {
            std::size_t i = 0;
            for (std::size_t j = 0; j < m; ++j)
                if (s.keep[j]) {
                    s.gx[i] = returns_first ? y[j] : x[j];
                    s.gy[i] = returns_first ? x[j] : y[j];
                    ++i;
                }
            bool constant = false;
            out.r[cell] = pearson_corr(s.gx.data(), s.gy.data(), n, constant);
            out.constant[cell] = constant;
        }
    }
}

void check_sizes(std::size_t n_cols) {
    if (n_cols >= kMaxRankPositions)
        throw std::invalid_argument("ic: too many instruments (" + std::to_string(n_cols) + ")");
}

}  // namespace

double pearson_corr(const double* x, const double* y, std::size_t n, bool& constant) {
    constant = n > 0 && (all_equal(x, n) || all_equal(y, n));
    if (n < 2 || constant) return kNaN;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(x[i]) || !std::isfinite(y[i])) return kNaN;  // inf - mean is NaN in scipy too
    const double mx = accurate_mean(x, n), my = accurate_mean(y, n);
    double xmax = 0.0, ymax = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        xmax = std::max(xmax, std::fabs(x[i] - mx));
        ymax = std::max(ymax, std::fabs(y[i] - my));
    }
    // Scaling by the largest deviation before squaring avoids overflow for huge values.
    double sx = 0.0, sy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = (x[i] - mx) / xmax, b = (y[i] - my) / ymax;
        sx += a * a;
        sy += b * b;
    }
    const double normx = xmax * std::sqrt(sx), normy = ymax * std::sqrt(sy);
    double r = 0.0;
    for (std::size_t i = 0; i < n; ++i) r += ((x[i] - mx) / normx) * ((y[i] - my) / normy);
    r = std::clamp(r, -1.0, 1.0);
    if (n == 2) r = std::nearbyint(r);  // two points lie on a line: exactly ±1
    return r;
}

void ic_by_row(const double* factor, const double* const* returns, std::size_t n_periods, std::size_t n_rows,
               std::size_t n_cols, bool rank, CorrOutput out, RowOrders* orders) {
    check_sizes(n_cols);
    if (orders) orders->reset(rank ? n_rows : 0, rank ? n_cols : 0);
    RowOrders* keep_orders = rank ? orders : nullptr;
    parallel_for(n_rows, [&](std::size_t begin, std::size_t end) {
        Scratch s;
        std::vector<const double*> ys(n_periods);
        for (std::size_t t = begin; t < end; ++t) {
            for (std::size_t k = 0; k < n_periods; ++k) ys[k] = returns[k] + t * n_cols;
            correlate_sample(factor + t * n_cols, ys.data(), n_periods, n_cols, rank, false, s, out, t * n_periods,
                             keep_orders, t);
        }
    });
}

namespace {

// Centred sums of squares below this (2^-900) may have lost their terms to underflow;
// every ordinary spread is far above it.
constexpr double kTinyMoment = 0x1p-900;

// Mean of the finite values of v[0..n) where mask is set (0 when there are none): a
// centre close to every subset's mean, so shifted sums lose no precision.
double finite_mean(const double* v, const std::uint8_t* mask, std::size_t n) {
    double s = 0.0;
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j)
        if (mask[j] && std::isfinite(v[j])) {
            s += v[j];
            ++m;
        }
    return m ? s / static_cast<double>(m) : 0.0;
}

// ---- rank vectors: every row ranked once, each pair of rows correlated from the ranks

// Writes the doubled average ranks of a sorted order's positions to ranks[pos]; the other
// positions keep what they hold (0 from the caller).
void fill_doubled_ranks(const std::vector<std::uint32_t>& order, std::uint32_t* ranks) {
    const std::size_t n = order.size();
    std::size_t run_start = 0;
    for (std::size_t i = 1; i <= n; ++i) {
        if (i < n && !(order[i] & kNewRun)) continue;
        // Ranks run_start + 1 .. i share their mean; doubled: run_start + i + 1.
        const auto doubled = static_cast<std::uint32_t>(run_start + i + 1);
        for (std::size_t q = run_start; q < i; ++q) ranks[order[q] & ~kNewRun] = doubled;
        run_start = i;
    }
}

template <class Acc>
Acc sum_squares(const std::uint32_t* a, std::size_t n) {
    Acc s = 0;
    for (std::size_t j = 0; j < n; ++j) s += static_cast<Acc>(a[j]) * static_cast<Acc>(a[j]);
    return s;
}

// Doubled ranks among a subset. `ranks` holds the doubled average ranks of a set P of
// positions (0 outside P, none above max_rank) and `keep` marks a subset of P; `out`
// receives the doubled average ranks among the kept positions (0 elsewhere).
// A kept value's doubled rank, 2 * (values below) + (values tied) + 1, loses 2 for every
// dropped value below it and 1 for every dropped value tied with it; the dropped values'
// own ranks tell which those are, so no value is compared and nothing is sorted again.
void restrict_ranks(const std::uint32_t* ranks, const std::uint8_t* keep, std::size_t n, std::size_t max_rank,
                    std::vector<std::uint32_t>& table, std::uint32_t* out) {
    table.assign(max_rank + 1, 0);
    for (std::size_t j = 0; j < n; ++j)
        if (ranks[j] && !keep[j]) ++table[ranks[j]];
    std::uint32_t below = 0;
    for (std::size_t v = 0; v <= max_rank; ++v) {
        const std::uint32_t here = table[v];
        table[v] = 2 * below + here;
        below += here;
    }
    for (std::size_t j = 0; j < n; ++j) out[j] = keep[j] ? ranks[j] - table[ranks[j]] : 0u;
}

// The factor side of a rank correlation: doubled ranks over a set of positions (0
// elsewhere), how many, and their sum of squares.
template <class Acc>
struct RankedRow {
    const std::uint32_t* ranks;
    std::size_t n;
    Acc sq;
};

// The factor side ranked over the n positions it shares with the other side (marked in
// `keep`, a subset of its own): the row itself when it loses nothing, else narrowed into
// `buffer`.
template <class Acc>
RankedRow<Acc> on_common(const RankedRow<Acc>& row, const std::uint8_t* keep, std::size_t n, std::size_t n_cols,
                         std::vector<std::uint32_t>& table, std::uint32_t* buffer) {
    if (n == row.n) return row;
    restrict_ranks(row.ranks, keep, n_cols, 2 * row.n, table, buffer);
    return {buffer, n, sum_squares<Acc>(buffer, n_cols)};
}

// The return side's rank sums against the factor side: walks the returns' sorted order
// (over any superset of the common positions), keeps the positions where x has a rank, and
// ranks them among themselves as it goes; sum(rx * ry) and sum(ry * ry) over them.
template <class Acc>
struct WalkSums {
    Acc sxy, syy;
    std::size_t n;
};

template <class Acc>
WalkSums<Acc> walk_against(const std::uint32_t* order, std::size_t n_order, bool ties, const std::uint32_t* rx) {
    if (!ties) {
        // Every kept position is a run of its own: the i-th kept has doubled rank 2i.
        Acc sxy = 0;
        std::uint32_t kept = 0;
        for (std::size_t i = 0; i < n_order; ++i) {
            const std::uint32_t r = rx[order[i] & ~kNewRun];
            kept += r != 0;
            sxy += static_cast<Acc>(r) * static_cast<Acc>(2 * kept);
        }
        const Acc n = kept;
        return {sxy, 4 * (n * (n + 1) * (2 * n + 1) / 6), kept};
    }
    // A run of equal values: its kept positions share the doubled rank 2 * below + m + 1
    // (m of them, `below` kept before the run).
    Acc sxy = 0, syy = 0, run_x = 0;
    std::size_t below = 0, run_m = 0;
    auto close_run = [&]() {
        const Acc doubled = static_cast<Acc>(2 * below + run_m + 1);
        sxy += run_x * doubled;
        syy += static_cast<Acc>(run_m) * doubled * doubled;
        below += run_m;
        run_m = 0;
        run_x = 0;
    };
    for (std::size_t i = 0; i < n_order; ++i) {
        const std::uint32_t e = order[i];
        if ((e & kNewRun) && run_m) close_run();
        const std::uint32_t r = rx[e & ~kNewRun];
        run_x += r;
        run_m += r != 0;
    }
    if (run_m) close_run();
    return {sxy, syy, below};
}

// Spearman correlation from the centred rank sums over n common positions; `returns_first`
// picks which variable numpy's corrcoef would see first.
template <class Acc>
void rank_corr_cell(Acc sxy_raw, Acc sxx_raw, Acc syy_raw, std::size_t n, bool returns_first, double& r,
                    std::uint8_t& constant) {
    const Acc c = rank_centring<Acc>(n);
    const double sxy = static_cast<double>(sxy_raw - c) / 4.0;
    const double sxx = static_cast<double>(sxx_raw - c) / 4.0, syy = static_cast<double>(syy_raw - c) / 4.0;
    constant = (sxx == 0.0 || syy == 0.0) ? 1 : 0;
    r = returns_first ? corrcoef_from_sums(sxy, syy, sxx, n) : corrcoef_from_sums(sxy, sxx, syy, n);
}

// ---- many factor rows against one return order at once

// Factor rows walked together against one return order; their ranks sit side by side per
// position in a window (kLanes consecutive slots of it per walk).
constexpr std::size_t kLanes = 8;
// The lanes sum doubled ranks in 32 bits: a row's total n (n + 1) must fit.
constexpr std::size_t kMaxLaneCols = 65535;

// Runs of two or more equal values in a sorted order, as [begin, end) index ranges.
void tie_groups(const std::vector<std::uint32_t>& order, std::vector<std::pair<std::size_t, std::size_t>>& groups) {
    groups.clear();
    const std::size_t n = order.size();
    std::size_t start = 0;
    for (std::size_t i = 1; i <= n; ++i) {
        if (i < n && !(order[i] & kNewRun)) continue;
        if (i - start >= 2) groups.emplace_back(start, i);
        start = i;
    }
}

// 1^2 + ... + x^2.
inline std::int64_t sum_of_squares_to(std::int64_t x) { return x * (x + 1) * (2 * x + 1) / 6; }

struct LaneSums {
    std::int64_t sxy[kLanes], syy[kLanes];
    std::uint32_t n[kLanes];
};

// Rank sums of one return order against kLanes factor rows, each ranked over positions
// the order covers (0 elsewhere): lane l's ranks of position p are at lanes[p * stride + l].
// Ranks the kept positions (rank != 0) among themselves as the walk goes, in additions only:
// were there no ties, the i-th kept would have doubled rank 2i, and
//   sum(rx * i) = n * P - B,  P = sum of rx, B = sum over kept of the rx sum before it;
// a run of m tied kept after `below` others has doubled rank 2 * below + m + 1 instead, a
// correction read off P, B and n at the run's ends. Exact integers, as the one-pair walk.
// `block` bounds how many positions B's 32-bit partial sums may take.
void walk_lanes(const std::vector<std::uint32_t>& order, const std::vector<std::pair<std::size_t, std::size_t>>& groups,
                const std::uint32_t* lanes, std::size_t stride, std::size_t block, LaneSums& out) {
    // Four lanes to a vector (GCC / Clang vector extensions: SIMD where the target has it).
    typedef std::uint32_t Vec __attribute__((vector_size(16)));
    constexpr std::size_t kVecs = kLanes / 4;
    Vec vP[kVecs] = {}, vn[kVecs] = {}, vpart[kVecs] = {};
    std::uint32_t P[kLanes], n[kLanes];
    std::uint64_t B[kLanes] = {};
    std::int64_t fix_xy[kLanes] = {}, fix_yy[kLanes] = {};
    const std::uint32_t* entries = order.data();
    auto scan = [&](std::size_t from, std::size_t to) {
        for (std::size_t i0 = from; i0 < to; i0 += block) {
            const std::size_t i1 = std::min(to, i0 + block);
            for (std::size_t i = i0; i < i1; ++i) {
                const std::uint32_t* w = lanes + static_cast<std::size_t>(entries[i] & ~kNewRun) * stride;
                for (std::size_t v = 0; v < kVecs; ++v) {
                    Vec r;
                    std::memcpy(&r, w + 4 * v, sizeof r);
                    const Vec kept = (Vec)(r != 0);  // all ones where kept
                    vpart[v] += vP[v] & kept;
                    vP[v] += r;
                    vn[v] -= kept;
                }
            }
            std::uint32_t part[kLanes];
            std::memcpy(part, vpart, sizeof part);
            for (std::size_t l = 0; l < kLanes; ++l) B[l] += part[l];
            for (std::size_t v = 0; v < kVecs; ++v) vpart[v] = Vec{};
        }
        std::memcpy(P, vP, sizeof P);
        std::memcpy(n, vn, sizeof n);
    };
    std::size_t at = 0;
    for (const auto& g : groups) {
        scan(at, g.first);
        std::uint32_t P0[kLanes], n0[kLanes];
        std::uint64_t B0[kLanes];
        std::copy(P, P + kLanes, P0);
        std::copy(n, n + kLanes, n0);
        std::copy(B, B + kLanes, B0);
        scan(g.first, g.second);
        for (std::size_t l = 0; l < kLanes; ++l) {
            const std::int64_t below = n0[l], m = n[l] - n0[l], X = P[l] - P0[l];
            const std::int64_t Y = below * X + m * static_cast<std::int64_t>(P[l]) - static_cast<std::int64_t>(B[l] - B0[l]);
            const std::int64_t doubled = 2 * below + m + 1;
            fix_xy[l] += X * doubled - 2 * Y;
            fix_yy[l] += m * doubled * doubled - 4 * (sum_of_squares_to(below + m) - sum_of_squares_to(below));
        }
        at = g.second;
    }
    scan(at, order.size());
    for (std::size_t l = 0; l < kLanes; ++l) {
        const std::int64_t Q = static_cast<std::int64_t>(n[l]) * P[l] - static_cast<std::int64_t>(B[l]);
        out.sxy[l] = 2 * Q + fix_xy[l];
        out.syy[l] = 4 * sum_of_squares_to(n[l]) + fix_yy[l];
        out.n[l] = n[l];
    }
}

template <class Acc>
void decay_by_rank_with(const double* factor, const double* const* returns, std::size_t K, std::size_t T,
                        std::size_t N, std::size_t n_decays, const std::vector<std::uint8_t>& complete,
                        CorrOutput out, CorrOutput* rows, RowOrders* orders) {
    // Factor row t meets up to n_decays + 1 return rows: ranked once.
    std::vector<std::uint32_t> factor_ranks(T * N);
    std::vector<RankedRow<Acc>> factor_rows(T);
    parallel_for(T, [&](std::size_t begin, std::size_t end) {
        std::vector<std::uint32_t> order;
        for (std::size_t t = begin; t < end; ++t) {
            std::uint32_t* ranks = factor_ranks.data() + t * N;
            sort_order(factor + t * N, nullptr, N, order);
            if (orders) orders->store(t, order);
            fill_doubled_ranks(order, ranks);
            factor_rows[t] = {ranks, order.size(), sum_squares<Acc>(ranks, N)};
        }
    });
    // Each return row u serves the dates u - d (and date u itself for `rows`): sorted once
    // per period. A pair (t, u) is correlated over the instruments with a factor value on t
    // and a return in every period on u. On market data these are usually all the factor's
    // instruments of t: its ranks serve as they are, and every period's order of u is walked
    // once against the kLanes factor rows before u at a time (the window). Otherwise the
    // factor's ranks are narrowed to the common instruments and walked alone.
    const bool lanes = N <= kMaxLaneCols;
    const std::size_t slots = lanes ? (n_decays + kLanes - 1) / kLanes * kLanes : 0;
    const std::size_t block = lanes && N ? std::max<std::size_t>(1, 0xFFFFFFFFull / (N * (N + 1))) : 1;
    parallel_for(T, [&](std::size_t begin, std::size_t end) {
        std::vector<std::uint32_t> table, bx(N), window(slots * N, 0u);
        std::vector<std::vector<std::uint32_t>> ret_order(K);
        std::vector<std::vector<std::pair<std::size_t, std::size_t>>> ret_groups(K);
        std::vector<std::uint8_t> ret_ties(K), keep(N), alone(n_decays + 1);
        LaneSums sums;
        // Window slot t % slots holds factor row t's ranks once row t is past.
        auto enter = [&](std::size_t t) {
            const std::uint32_t* ranks = factor_ranks.data() + t * N;
            std::uint32_t* w = window.data() + t % slots;
            for (std::size_t j = 0; j < N; ++j) w[j * slots] = ranks[j];
        };
        const std::size_t first = rows ? begin : std::max<std::size_t>(begin, 1);
        if (lanes)
            for (std::size_t t = first > slots ? first - slots : 0; t + 1 < first; ++t) enter(t);
        for (std::size_t u = first; u < end; ++u) {
            if (lanes && u >= 1) enter(u - 1);
            const std::uint8_t* all = complete.data() + u * N;
            for (std::size_t k = 0; k < K; ++k) {
                sort_order(returns[k] + u * N, nullptr, N, ret_order[k]);
                ret_ties[k] = has_ties(ret_order[k].data(), ret_order[k].size());
                if (lanes) tie_groups(ret_order[k], ret_groups[k]);
            }
            if (rows) {
                const RankedRow<Acc>& f = factor_rows[u];
                for (std::size_t k = 0; k < K; ++k) {
                    const double* y = returns[k] + u * N;
                    std::size_t n = 0;
                    for (std::size_t j = 0; j < N; ++j) {
                        const std::uint8_t both = (f.ranks[j] != 0) & !std::isnan(y[j]);
                        keep[j] = both;
                        n += both;
                    }
                    const std::size_t cell = u * K + k;
                    rows->n[cell] = static_cast<std::int64_t>(n);
                    rows->r[cell] = kNaN;
                    rows->constant[cell] = 0;
                    if (n < 2) continue;
                    const RankedRow<Acc> x = on_common(f, keep.data(), n, N, table, bx.data());
                    const WalkSums<Acc> w = walk_against<Acc>(ret_order[k].data(), ret_order[k].size(), ret_ties[k],
                                                              x.ranks);
                    rank_corr_cell(w.sxy, x.sq, w.syy, n, false, rows->r[cell], rows->constant[cell]);
                }
            }
            std::size_t n_alone = 0;
            for (std::size_t d = 1; d <= n_decays && d <= u; ++d) {
                const std::size_t t = u - d, row = (d - 1) * T + t;
                const RankedRow<Acc>& f = factor_rows[t];
                std::size_t n = 0;
                for (std::size_t j = 0; j < N; ++j) {
                    const std::uint8_t both = all[j] & (f.ranks[j] != 0);
                    keep[j] = both;
                    n += both;
                }
                out.n[row] = static_cast<std::int64_t>(n);
                alone[d] = !lanes || n != f.n;
                if (n < 2 || !alone[d]) continue;
                ++n_alone;
                const RankedRow<Acc> x = on_common(f, keep.data(), n, N, table, bx.data());
                for (std::size_t k = 0; k < K; ++k) {
                    const WalkSums<Acc> w = walk_against<Acc>(ret_order[k].data(), ret_order[k].size(), ret_ties[k],
                                                              x.ranks);
                    rank_corr_cell(w.sxy, x.sq, w.syy, n, true, out.r[row * K + k], out.constant[row * K + k]);
                }
            }
            if (!lanes || u == 0 || n_alone == std::min(n_decays, u)) continue;
            for (std::size_t s0 = 0; s0 < slots; s0 += kLanes) {
                // Slot s holds row t = u - d with d = 1 + (u - 1 - s) mod slots.
                bool needed = false;
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const std::size_t d = 1 + (u - 1 + slots - (s0 + l) % slots) % slots;
                    needed = needed || (d <= n_decays && d <= u && !alone[d]);
                }
                if (!needed) continue;
                for (std::size_t k = 0; k < K; ++k) {
                    walk_lanes(ret_order[k], ret_groups[k], window.data() + s0, slots, block, sums);
                    for (std::size_t l = 0; l < kLanes; ++l) {
                        const std::size_t d = 1 + (u - 1 + slots - (s0 + l) % slots) % slots;
                        if (d > n_decays || d > u || alone[d]) continue;
                        const std::size_t t = u - d, row = (d - 1) * T + t;
                        if (sums.n[l] < 2) continue;
                        rank_corr_cell<std::int64_t>(sums.sxy[l], factor_rows[t].sq, sums.syy[l], sums.n[l], true,
                                                     out.r[row * K + k], out.constant[row * K + k]);
                    }
                }
            }
        }
    });
}

void decay_by_rank(const double* factor, const double* const* returns, std::size_t K, std::size_t T,
                   std::size_t N, std::size_t n_decays, const std::vector<std::uint8_t>& complete, CorrOutput out,
                   CorrOutput* rows, RowOrders* orders) {
    if (N <= kNarrowRankSums)
        decay_by_rank_with<std::int64_t>(factor, returns, K, T, N, n_decays, complete, out, rows, orders);
    else
        decay_by_rank_with<WideRankSum>(factor, returns, K, T, N, n_decays, complete, out, rows, orders);
}

void decay_by_value(const double* factor, const double* const* returns, std::size_t K, std::size_t T,
                    std::size_t N, std::size_t n_decays, const std::vector<std::uint8_t>& complete, CorrOutput out) {
    std::vector<double> ret_centre(T * K);
    parallel_for(T, [&](std::size_t begin, std::size_t end) {
        for (std::size_t u = begin; u < end; ++u)
            for (std::size_t k = 0; k < K; ++k)
                ret_centre[u * K + k] = finite_mean(returns[k] + u * N, complete.data() + u * N, N);
    });
    parallel_for(T, [&](std::size_t begin, std::size_t end) {
        Scratch s;
        s.reserve(N);
        std::vector<std::uint8_t> has_factor(N);
        for (std::size_t t = begin; t < end; ++t) {
            const double* f = factor + t * N;
            for (std::size_t j = 0; j < N; ++j) has_factor[j] = !std::isnan(f[j]);
            const double fc = finite_mean(f, has_factor.data(), N);
            for (std::size_t d = 1; d <= n_decays && t + d < T; ++d) {
                const std::size_t u = t + d, row = (d - 1) * T + t;
                const std::uint8_t* all = complete.data() + u * N;
                // Shifted one-pass moments of the factor over the pair's instruments.
                std::size_t n = 0;
                double sy = 0.0, syy = 0.0, ymin = kInf, ymax = -kInf;
                for (std::size_t j = 0; j < N; ++j) {
                    const bool both = all[j] && has_factor[j];
                    s.keep[j] = both;
                    if (!both) continue;
                    ++n;
                    const double dy = f[j] - fc;
                    sy += dy;
                    syy += dy * dy;
                    ymin = std::min(ymin, f[j]);
                    ymax = std::max(ymax, f[j]);
                }
                out.n[row] = static_cast<std::int64_t>(n);
                if (n < 2) continue;
                const double nn = static_cast<double>(n);
                for (std::size_t k = 0; k < K; ++k) {
                    const double* x = returns[k] + u * N;
                    const double xc = ret_centre[u * K + k];
                    double sx = 0.0, sxx = 0.0, sxy = 0.0, xmin = kInf, xmax = -kInf;
                    for (std::size_t j = 0; j < N; ++j) {
                        if (!s.keep[j]) continue;
                        const double dx = x[j] - xc, dy = f[j] - fc;
                        sx += dx;
                        sxx += dx * dx;
                        sxy += dx * dy;
                        xmin = std::min(xmin, x[j]);
                        xmax = std::max(xmax, x[j]);
                    }
                    const std::size_t cell = row * K + k;
                    out.constant[cell] = xmin == xmax || ymin == ymax;
                    if (out.constant[cell]) continue;
                    const double vx = sxx - sx * sx / nn, vy = syy - sy * sy / nn, cxy = sxy - sx * sy / nn;
                    if (!std::isfinite(vx) || !std::isfinite(vy) || !std::isfinite(cxy) ||
                        std::fabs(vx) < kTinyMoment || std::fabs(vy) < kTinyMoment) {
                        // ±inf, values so large that squares overflow or so close together
                        // that they underflow: the careful path, which scales them first.
                        std::size_t i = 0;
                        for (std::size_t j = 0; j < N; ++j)
                            if (s.keep[j]) {
                                s.gx[i] = x[j];
                                s.gy[i] = f[j];
                                ++i;
                            }
                        bool constant = false;
                        out.r[cell] = pearson_corr(s.gx.data(), s.gy.data(), n, constant);
                        continue;
                    }
                    double r = std::clamp(cxy / (std::sqrt(vx) * std::sqrt(vy)), -1.0, 1.0);
                    if (n == 2) r = std::nearbyint(r);
                    out.r[cell] = r;
                }
            }
        }
    });
}

}  // namespace

void ic_decay(const double* factor, const double* const* returns, std::size_t n_periods, std::size_t n_rows,
              std::size_t n_cols, std::size_t max_decay, bool rank, CorrOutput out, CorrOutput* rows,
              RowOrders* orders) {
    check_sizes(n_cols);
    if (orders) orders->reset(0, 0);
    if (max_decay < 2 || (rows && !rank)) {
        if (rows) ic_by_row(factor, returns, n_periods, n_rows, n_cols, rank, *rows, orders);
        if (max_decay < 2) return;
        rows = nullptr;
        orders = nullptr;
    }
    const std::size_t n_decays = ic_decay_rows(max_decay, n_rows), T = n_rows, N = n_cols, K = n_periods;
    if (n_decays == 0) {
        if (rows) ic_by_row(factor, returns, n_periods, n_rows, n_cols, rank, *rows, orders);
        return;
    }
    if (!rank) orders = nullptr;
    if (orders) orders->reset(T, N);
    std::fill(out.n, out.n + n_decays * T, std::int64_t{0});
    std::fill(out.r, out.r + n_decays * T * K, kNaN);
    std::fill(out.constant, out.constant + n_decays * T * K, std::uint8_t{0});
    // complete[u * N + j]: instrument j has a return in every period on row u.
    std::vector<std::uint8_t> complete(T * N);
    parallel_for(T, [&](std::size_t begin, std::size_t end) {
        for (std::size_t u = begin; u < end; ++u)
            for (std::size_t j = 0; j < N; ++j) {
                bool all = true;
                for (std::size_t k = 0; k < K; ++k) all = all && !std::isnan(returns[k][u * N + j]);
                complete[u * N + j] = all;
            }
    });
    if (rank)
        decay_by_rank(factor, returns, K, T, N, n_decays, complete, out, rows, orders);
    else
        decay_by_value(factor, returns, K, T, N, n_decays, complete, out);
}

namespace {

// One group's Spearman correlation for one period over m pooled cells: the factor's ranks
// `fx` (over its own values), the period's values `y`; returns are the first variable.
template <class Acc>
void group_rank_cell(const RankedRow<Acc>& fx, const double* y, std::size_t m, std::vector<std::uint8_t>& keep,
                     std::vector<std::uint32_t>& order, std::vector<std::uint32_t>& table,
                     std::vector<std::uint32_t>& bx, CorrOutput out, std::size_t cell) {
    keep.resize(m);
    std::size_t n = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint8_t both = (fx.ranks[i] != 0) & !std::isnan(y[i]);
        keep[i] = both;
        n += both;
    }
    out.n[cell] = static_cast<std::int64_t>(n);
    out.r[cell] = kNaN;
    out.constant[cell] = 0;
    if (n < 2) return;
    if (n != fx.n) bx.resize(m);
    const RankedRow<Acc> x = on_common(fx, keep.data(), n, m, table, bx.data());
    sort_order(y, keep.data(), m, order);  // the common cells only: no more to sort than needed
    const WalkSums<Acc> w = walk_against<Acc>(order.data(), order.size(), has_ties(order.data(), order.size()), x.ranks);
    rank_corr_cell(w.sxy, x.sq, w.syy, n, true, out.r[cell], out.constant[cell]);
}

template <class Code>
void ic_by_group_with(const double* factor, const double* const* returns, std::size_t n_periods, std::size_t n_rows,
                      std::size_t n_cols, const Code* codes, std::size_t n_code_rows, std::size_t n_groups,
                      bool rank, CorrOutput out) {
    check_sizes(n_cols);
    if (n_code_rows != 1 && n_code_rows != n_rows)
        throw std::invalid_argument("codes: expect 1 or " + std::to_string(n_rows) + " rows, got " +
                                    std::to_string(n_code_rows));
    const std::size_t n_cells = n_rows * n_cols;
    if (n_cells >= std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("ic_by_group: too many cells (" + std::to_string(n_cells) + ")");

    // Groups that hold a cell: 0 .. n_used - 1. The buffers are sized by them, not by
    // n_groups; the groups past them are empty.
    auto code_of = [&](std::size_t t, std::size_t j) {
        return static_cast<std::int64_t>(codes[(n_code_rows == 1 ? 0 : t) * n_cols + j]);
    };
    std::size_t n_used = 0;
    for (std::size_t t = 0; t < n_code_rows; ++t)
        for (std::size_t j = 0; j < n_cols; ++j) {
            const std::int64_t c = code_of(t, j);
            if (c < -1 || (c >= 0 && static_cast<std::uint64_t>(c) >= n_groups))
                throw std::invalid_argument("codes: expect -1 or a group in [0, " + std::to_string(n_groups) +
                                            "), got " + std::to_string(c));
            if (c >= 0) n_used = std::max(n_used, static_cast<std::size_t>(c) + 1);
        }
    if (n_periods == 0) return;  // no cell to write

    // Cells by group (counting sort, cells ascending within a group).
    std::vector<std::size_t> offset(n_used + 1, 0);
    for (std::size_t t = 0; t < n_rows; ++t)
        for (std::size_t j = 0; j < n_cols; ++j) {
            const std::int64_t c = code_of(t, j);
            if (c >= 0) ++offset[static_cast<std::size_t>(c) + 1];
        }
    for (std::size_t g = 0; g < n_used; ++g) offset[g + 1] += offset[g];

    if (rank) {
        // Groups past n_used hold nothing.
        for (std::size_t g = n_used; g < n_groups; ++g)
            for (std::size_t k = 0; k < n_periods; ++k) {
                out.n[g * n_periods + k] = 0;
                out.r[g * n_periods + k] = kNaN;
                out.constant[g * n_periods + k] = 0;
            }
        // One table at a time is laid out group by group in one sequential pass (reading
        // each group's cells from the whole table would read it once per group); the factor
        // is ranked once per group, each period sorted once per group and walked against
        // the factor's ranks.
        std::vector<double> grouped(offset[n_used]);
        auto lay_out = [&](const double* values) {
            std::vector<std::size_t> fill(offset.begin(), offset.end() - 1);
            for (std::size_t t = 0; t < n_rows; ++t)
                for (std::size_t j = 0; j < n_cols; ++j) {
                    const std::int64_t c = code_of(t, j);
                    if (c >= 0) grouped[fill[static_cast<std::size_t>(c)]++] = values[t * n_cols + j];
                }
        };
        lay_out(factor);
        std::vector<std::uint32_t> factor_ranks(offset[n_used]);
        std::vector<RankedRow<std::int64_t>> narrow(n_used);
        std::vector<RankedRow<WideRankSum>> wide(n_used);
        parallel_for(n_used, [&](std::size_t begin, std::size_t end) {
            std::vector<std::uint32_t> order;
            for (std::size_t g = begin; g < end; ++g) {
                const std::size_t m = offset[g + 1] - offset[g];
                std::uint32_t* ranks = factor_ranks.data() + offset[g];
                sort_order(grouped.data() + offset[g], nullptr, m, order);
                fill_doubled_ranks(order, ranks);
                if (m <= kNarrowRankSums)
                    narrow[g] = {ranks, order.size(), sum_squares<std::int64_t>(ranks, m)};
                else
                    wide[g] = {ranks, order.size(), sum_squares<WideRankSum>(ranks, m)};
            }
        });
        for (std::size_t k = 0; k < n_periods; ++k) {
            lay_out(returns[k]);
            parallel_for(n_used, [&](std::size_t begin, std::size_t end) {
                std::vector<std::uint8_t> keep;
                std::vector<std::uint32_t> order, table, bx;
                for (std::size_t g = begin; g < end; ++g) {
                    const std::size_t m = offset[g + 1] - offset[g];
                    const double* y = grouped.data() + offset[g];
                    if (m <= kNarrowRankSums)
                        group_rank_cell(narrow[g], y, m, keep, order, table, bx, out, g * n_periods + k);
                    else
                        group_rank_cell(wide[g], y, m, keep, order, table, bx, out, g * n_periods + k);
                }
            });
        }
        return;
    }

    std::vector<std::uint32_t> cells(offset[n_used]);
    {
        std::vector<std::size_t> fill(offset.begin(), offset.end() - 1);
        for (std::size_t t = 0; t < n_rows; ++t)
            for (std::size_t j = 0; j < n_cols; ++j) {
                const std::int64_t c = code_of(t, j);
                if (c >= 0) cells[fill[static_cast<std::size_t>(c)]++] = static_cast<std::uint32_t>(t * n_cols + j);
            }
    }

    parallel_for(n_groups, [&](std::size_t begin, std::size_t end) {
        Scratch s;
        std::vector<double> x;
        std::vector<std::vector<double>> y(n_periods);
        std::vector<const double*> ys(n_periods);
        for (std::size_t g = begin; g < end; ++g) {
            const std::uint32_t* c = g < n_used ? cells.data() + offset[g] : nullptr;
            const std::size_t m = g < n_used ? offset[g + 1] - offset[g] : 0;
            x.resize(m);
            for (std::size_t i = 0; i < m; ++i) x[i] = factor[c[i]];
            for (std::size_t k = 0; k < n_periods; ++k) {
                y[k].resize(m);
                for (std::size_t i = 0; i < m; ++i) y[k][i] = returns[k][c[i]];
                ys[k] = y[k].data();
            }
            correlate_sample(x.data(), ys.data(), n_periods, m, rank, true, s, out, g * n_periods);
        }
    });
}

}  // namespace

void ic_by_group(const double* factor, const double* const* returns, std::size_t n_periods, std::size_t n_rows,
                 std::size_t n_cols, const std::int64_t* codes, std::size_t n_code_rows, std::size_t n_groups,
                 bool rank, CorrOutput out) {
    ic_by_group_with(factor, returns, n_periods, n_rows, n_cols, codes, n_code_rows, n_groups, rank, out);
}

void ic_by_group(const double* factor, const double* const* returns, std::size_t n_periods, std::size_t n_rows,
                 std::size_t n_cols, const std::int32_t* codes, std::size_t n_code_rows, std::size_t n_groups,
                 bool rank, CorrOutput out) {
    ic_by_group_with(factor, returns, n_periods, n_rows, n_cols, codes, n_code_rows, n_groups, rank, out);
}

}  // namespace sigmora
