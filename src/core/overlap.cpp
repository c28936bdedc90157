#include "core/overlap.hpp"

#include <Eigen/Core>
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/numeric.hpp"
#include "core/parallel.hpp"
#include "core/rank.hpp"
#include "core/sizes.hpp"

namespace sigmora {
namespace {

using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic>;

// Common sets up to this size keep every cross sum of centred doubled ranks, and every
// partial sum of it, below 2^53: n (n - 1)^2 < 2^53. Larger ones are summed in integers.
constexpr std::size_t kExactProductRows = 200000;

// Chunks of dates with sums of their own, and the memory all of them may take.
constexpr std::size_t kMaxChunks = 64;
constexpr std::size_t kChunkBudgetBytes = std::size_t{256} << 20;
// Memory for rows gathered from tables whose rows are not contiguous.
constexpr std::size_t kGatherBudgetBytes = std::size_t{32} << 20;
constexpr std::size_t kMaxGatherRows = 32;
constexpr std::size_t kPrefetchColumns = 8;

// Per pair i < j (packed upper triangle) the sum of the dates' correlations and their number.
struct Sums {
    std::vector<double> r;
    std::vector<std::int64_t> n;
    std::vector<std::int64_t> diagonal;
};

inline std::size_t pair_index(std::size_t i, std::size_t j, std::size_t F) {
    return i * F - i * (i + 1) / 2 + (j - i - 1);
}

std::uint64_t mask_hash(const std::uint8_t* mask, std::size_t n) {
    std::uint64_t h = 1469598103934665603ull;
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        std::uint64_t w;
        std::memcpy(&w, mask + j, 8);
        h = (h ^ w) * 1099511628211ull;
    }
    for (; j < n; ++j) h = (h ^ mask[j]) * 1099511628211ull;
    return h;
}

// What one worker keeps between dates.
struct DateScratch {
    std::vector<std::vector<std::uint32_t>> orders;  // per factor: sorted order of its present values
    std::vector<std::uint8_t> masks;                 // F x N: value present
    std::vector<std::uint64_t> hashes;
    std::vector<std::uint8_t> ties;                  // per factor: its present values hold ties
    std::vector<std::vector<std::size_t>> groups;    // factors with one mask, ascending
    std::vector<std::uint8_t> keep;
    std::vector<std::uint32_t> column, twice_rank, run;
    std::vector<std::size_t> members;
    std::vector<double> centred;                     // members x n, row-major
    Matrix products;
    Eigen::VectorXd squares;

    DateScratch(std::size_t F, std::size_t N)
        : orders(F), masks(F * N), hashes(F), ties(F), keep(N), column(N), twice_rank(N) {}
};

void add(Sums& sums, std::size_t F, std::size_t a, std::size_t b, double r) {
    const std::size_t p = pair_index(a, b, F);
    sums.r[p] += r;
    ++sums.n[p];
}

// Orders up to this length keep 4 sum(rank_a rank_b) below 2^63 in the walk below.
constexpr std::size_t kNarrowWalk = std::size_t{1} << 20;

// One row of values as the rank walks read it.
struct RankedRow {
    const std::uint32_t* order;  // sorted order of the present values
    std::size_t n_order;
    const std::uint8_t* mask;    // N flags: value present
    bool ties;
};

// The Spearman correlation of rows x (the first variable) and y over the positions both
// have, ranked among those: the value ic_by_row gives, bit for bit. NaN when fewer than two
// positions are common or a side is constant there. `rank` and `run` are scratch (N).
// Without ties the positions x's order lists are those x has, so the common set is where
// y's mask is set along x's order, and x's mask along y's; ranks among the kept positions
// are counts of kept entries so far, and the loops have no branch on the masks.
double row_rank_corr(const RankedRow& x, const RankedRow& y, std::size_t N, std::vector<std::uint32_t>& rank,
                     std::vector<std::uint8_t>& keep, std::vector<std::uint32_t>& run) {
    if (!x.ties && !y.ties && N <= kNarrowWalk) {
        std::uint32_t* rank_x = rank.data();
        std::uint32_t kept = 0;
        for (std::size_t i = 0; i < x.n_order; ++i) {
            const std::uint32_t pos = x.order[i] & ~kNewRun;
            kept += y.mask[pos];
            rank_x[pos] = kept;  // meaningful where y.mask[pos] is set, read only there
        }
        const std::size_t n = kept;
        if (n < 2) return kNaN;
        std::uint32_t rank_y = 0;
        std::int64_t cross = 0;
        for (std::size_t i = 0; i < y.n_order; ++i) {
            const std::uint32_t pos = y.order[i] & ~kNewRun;
            const std::uint32_t k = x.mask[pos];
            rank_y += k;
            cross += static_cast<std::int64_t>(rank_x[pos] & (0u - k)) * rank_y;
        }
        // As rank_sums_against computes them, on doubled ranks: (sum - n (n + 1)^2) / 4.
        const auto nn = static_cast<std::int64_t>(n);
        const std::int64_t centring = nn * (nn + 1) * (nn + 1);
        const std::int64_t squares = 4 * (nn * (nn + 1) * (2 * nn + 1) / 6);
        const double sxx = static_cast<double>(squares - centring) / 4.0;
        return corrcoef_from_sums(static_cast<double>(4 * cross - centring) / 4.0, sxx, sxx, n);
    }
    std::size_t n = 0;
    for (std::size_t j = 0; j < N; ++j) {
        keep[j] = x.mask[j] & y.mask[j];
        n += keep[j];
    }
    if (n < 2) return kNaN;
    const FirstRanks first = rank_first(x.order, x.n_order, keep.data(), rank.data(), run);
    const RankSums rs = rank_sums_against(y.order, y.n_order, keep.data(), first, rank.data(), run);
    return corrcoef_from_sums(rs.sxy, rs.sxx, rs.syy, n);
}

RankedRow ranked(const DateScratch& s, std::size_t f, std::size_t N) {
    return {s.orders[f].data(), s.orders[f].size(), s.masks.data() + f * N, s.ties[f] != 0};
}

// One pair of factors a < b with masks of their own.
void pair_by_walk(std::size_t a, std::size_t b, std::size_t N, DateScratch& s, std::size_t F, Sums& sums) {
    const double r = row_rank_corr(ranked(s, a, N), ranked(s, b, N), N, s.twice_rank, s.keep, s.run);
    if (!std::isnan(r)) add(sums, F, a, b, r);
}

// Every pair (a in g, b in h), summed in integers over the common set `keep` of n.
void pairs_by_walks(const std::vector<std::size_t>& g, const std::vector<std::size_t>& h, bool same,
                    std::size_t n, DateScratch& s, std::size_t F, Sums& sums) {
    for (std::size_t ia = 0; ia < g.size(); ++ia)
        for (std::size_t ib = same ? ia + 1 : 0; ib < h.size(); ++ib) {
            const std::size_t lo = std::min(g[ia], h[ib]), hi = std::max(g[ia], h[ib]);
            const FirstRanks first =
                rank_first(s.orders[lo].data(), s.orders[lo].size(), s.keep.data(), s.twice_rank.data(), s.run);
            const RankSums rs = rank_sums_against(s.orders[hi].data(), s.orders[hi].size(), s.keep.data(), first,
                                                  s.twice_rank.data(), s.run);
            if (rs.sxx == 0.0 || rs.syy == 0.0) continue;  // one side constant
            add(sums, F, lo, hi, corrcoef_from_sums(rs.sxy, rs.sxx, rs.syy, n));
        }
}

// Every pair (a in g, b in h) from the centred doubled ranks on the common set `keep`
// of n: one matrix product per pair of groups (the group with itself when `same`).
void pairs_by_product(const std::vector<std::size_t>& g, const std::vector<std::size_t>& h, bool same,
                      std::size_t n, DateScratch& s, std::size_t F, Sums& sums) {
    s.members.assign(g.begin(), g.end());
    if (!same) s.members.insert(s.members.end(), h.begin(), h.end());
    const std::size_t m = s.members.size(), N = s.keep.size();
    std::uint32_t next = 0;
    for (std::size_t j = 0; j < N; ++j) {
        s.column[j] = next;
        next += s.keep[j];
    }
    s.centred.resize(m * n);
    const double centre = static_cast<double>(n + 1);
    for (std::size_t i = 0; i < m; ++i) {
        const auto& order = s.orders[s.members[i]];
        double* row = s.centred.data() + i * n;
        walk_average_ranks(order.data(), order.size(), s.keep.data(), s.run, [&](std::uint32_t pos, std::uint32_t r) {
            row[s.column[pos]] = static_cast<double>(r) - centre;
        });
    }
    const Eigen::Map<const RowMatrix> z(s.centred.data(), static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(n));
    // Every product below is a sum of integers under 2^53: exact in any order.
    if (same) {
        s.products.setZero(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(m));
        s.products.selfadjointView<Eigen::Upper>().rankUpdate(z);
        for (std::size_t ia = 0; ia < m; ++ia) {
            const double sa = s.products(ia, ia) / 4.0;
            if (sa == 0.0) continue;
            for (std::size_t ib = ia + 1; ib < m; ++ib) {
                const double sb = s.products(ib, ib) / 4.0;
                if (sb == 0.0) continue;
                // Members are ascending: a = members[ia] is the lower-numbered factor.
                add(sums, F, g[ia], g[ib], corrcoef_from_sums(s.products(ia, ib) / 4.0, sa, sb, n));
            }
        }
        return;
    }
    const auto ng = static_cast<Eigen::Index>(g.size()), nh = static_cast<Eigen::Index>(h.size());
    s.products.noalias() = z.topRows(ng) * z.bottomRows(nh).transpose();
    s.squares = z.rowwise().squaredNorm();
    for (Eigen::Index ia = 0; ia < ng; ++ia)
        for (Eigen::Index ib = 0; ib < nh; ++ib) {
            const double sa = s.squares(ia) / 4.0, sb = s.squares(ng + ib) / 4.0;
            if (sa == 0.0 || sb == 0.0) continue;
            const double sab = s.products(ia, ib) / 4.0;
            const std::size_t a = g[static_cast<std::size_t>(ia)], b = h[static_cast<std::size_t>(ib)];
            add(sums, F, std::min(a, b), std::max(a, b),
                a < b ? corrcoef_from_sums(sab, sa, sb, n) : corrcoef_from_sums(sab, sb, sa, n));
        }
}

// One date: rows[f] points at factor f's N values.
void one_date(const double* const* rows, std::size_t F, std::size_t N, DateScratch& s, Sums& sums) {
    s.groups.clear();
    for (std::size_t f = 0; f < F; ++f) {
        sort_order(rows[f], nullptr, N, s.orders[f]);
        std::uint8_t* mask = s.masks.data() + f * N;
        for (std::size_t j = 0; j < N; ++j) mask[j] = !std::isnan(rows[f][j]);
        const auto& order = s.orders[f];
        s.ties[f] = has_ties(order.data(), order.size());
        if (order.size() >= 2 && s.ties[f]) {
            std::size_t runs = 0;
            for (std::uint32_t e : order) runs += (e & kNewRun) != 0;
            if (runs > 1) ++sums.diagonal[f];
        } else if (order.size() >= 2) {
            ++sums.diagonal[f];
        }
        s.hashes[f] = mask_hash(mask, N);
        bool placed = false;
        for (auto& group : s.groups) {
            const std::size_t first = group.front();
            if (s.hashes[first] == s.hashes[f] && s.orders[first].size() == order.size() &&
                std::memcmp(s.masks.data() + first * N, mask, N) == 0) {
                group.push_back(f);
                placed = true;
                break;
            }
        }
        if (!placed) s.groups.push_back({f});
    }
    for (std::size_t gi = 0; gi < s.groups.size(); ++gi)
        for (std::size_t hi = gi; hi < s.groups.size(); ++hi) {
            const auto& g = s.groups[gi];
            const auto& h = s.groups[hi];
            const bool same = gi == hi;
            if (same && g.size() < 2) continue;
            if (!same && g.size() == 1 && h.size() == 1) {
                pair_by_walk(std::min(g[0], h[0]), std::max(g[0], h[0]), N, s, F, sums);
                continue;
            }
            const std::uint8_t* mg = s.masks.data() + g.front() * N;
            const std::uint8_t* mh = s.masks.data() + h.front() * N;
            std::size_t n = 0;
            for (std::size_t j = 0; j < N; ++j) {
                s.keep[j] = mg[j] & mh[j];
                n += s.keep[j];
            }
            if (n < 2) continue;
            if (n > kExactProductRows)
                pairs_by_walks(g, h, same, n, s, F, sums);
            else
                pairs_by_product(g, h, same, n, s, F, sums);
        }
}

}  // namespace

void mean_rank_correlation(const StridedTable* tables, std::size_t n_tables, double* mean, std::int64_t* dates) {
    const std::size_t F = n_tables;
    if (F == 0) return;
    const std::size_t T = tables[0].rows, N = tables[0].cols;
    for (std::size_t f = 1; f < F; ++f)
        if (tables[f].rows != T || tables[f].cols != N)
            throw std::invalid_argument("tables[" + std::to_string(f) + "]: expect shape " + size_text({T, N}) +
                                        " as tables[0], got " + size_text({tables[f].rows, tables[f].cols}));
    if (N >= kMaxRankPositions)
        throw std::invalid_argument("tables: too many instruments to rank (" + std::to_string(N) + ")");
    const std::size_t P = F * (F - 1) / 2;
    const std::size_t per_chunk = checked_cells({P + F, 2}, sizeof(double), "tables") * sizeof(double);
    const std::size_t n_chunks =
        T == 0 ? 0 : std::max<std::size_t>(1, std::min({T, kMaxChunks, kChunkBudgetBytes / std::max<std::size_t>(per_chunk, 1)}));
    std::vector<Sums> chunks(n_chunks);
    for (auto& c : chunks) {
        c.r = buffer<double>({P}, 0.0, "tables");
        c.n = buffer<std::int64_t>({P}, 0, "tables");
        c.diagonal = buffer<std::int64_t>({F}, 0, "tables");
    }
    bool contiguous_rows = true;
    for (std::size_t f = 0; f < F; ++f) contiguous_rows = contiguous_rows && (tables[f].col_stride == 1 || N <= 1);
    const std::size_t row_bytes = std::max<std::size_t>(checked_cells({F, N}, sizeof(double), "tables") * sizeof(double), 1);
    const std::size_t gather_rows = std::clamp<std::size_t>(kGatherBudgetBytes / row_bytes, 1, kMaxGatherRows);

    // Chunk c holds dates [c T / n_chunks, (c + 1) T / n_chunks).
    parallel_for(n_chunks, [&](std::size_t c_begin, std::size_t c_end) {
        DateScratch s(F, N);
        std::vector<double> copy(contiguous_rows ? 0 : gather_rows * F * N);
        std::vector<const double*> rows(F);
        for (std::size_t c = c_begin; c < c_end; ++c) {
            const std::size_t t_begin = c * T / n_chunks, t_end = (c + 1) * T / n_chunks;
            for (std::size_t t0 = t_begin; t0 < t_end; t0 += gather_rows) {
                const std::size_t n_rows = std::min(gather_rows, t_end - t0);
                if (!contiguous_rows) {
                    // Tables kept column by column: read a few rows at a time, so that each
                    // cache line serves several dates.
                    for (std::size_t f = 0; f < F; ++f) {
                        const StridedTable& tb = tables[f];
                        double* dst = copy.data() + f * gather_rows * N;
                        const double* first = tb.data + static_cast<std::ptrdiff_t>(t0) * tb.row_stride;
                        for (std::size_t j = 0; j < N; ++j) {
                            const double* col = first + static_cast<std::ptrdiff_t>(j) * tb.col_stride;
                            // Columns lie pages apart, beyond what the hardware prefetches:
                            // ask for the one kPrefetchColumns ahead.
                            if (j + kPrefetchColumns < N) {
                                const double* ahead = col + static_cast<std::ptrdiff_t>(kPrefetchColumns) * tb.col_stride;
                                for (std::size_t i = 0; i < n_rows; i += 8)
                                    __builtin_prefetch(ahead + static_cast<std::ptrdiff_t>(i) * tb.row_stride);
                            }
                            for (std::size_t i = 0; i < n_rows; ++i)
                                dst[i * N + j] = col[static_cast<std::ptrdiff_t>(i) * tb.row_stride];
                        }
                    }
                }
                for (std::size_t i = 0; i < n_rows; ++i) {
                    for (std::size_t f = 0; f < F; ++f)
                        rows[f] = contiguous_rows
                                      ? tables[f].data + static_cast<std::ptrdiff_t>(t0 + i) * tables[f].row_stride
                                      : copy.data() + (f * gather_rows + i) * N;
                    one_date(rows.data(), F, N, s, chunks[c]);
                }
            }
        }
    });

    for (std::size_t i = 0; i < F; ++i) {
        std::int64_t d = 0;
        for (const auto& c : chunks) d += c.diagonal[i];
        mean[i * F + i] = d > 0 ? 1.0 : kNaN;  // a factor never ranked on any date has no correlation, not even with itself
        dates[i * F + i] = d;
        for (std::size_t j = i + 1; j < F; ++j) {
            const std::size_t p = pair_index(i, j, F);
            double r = 0.0;
            std::int64_t n = 0;
            for (const auto& c : chunks) {
                r += c.r[p];
                n += c.n[p];
            }
            mean[i * F + j] = mean[j * F + i] = n > 0 ? r / static_cast<double>(n) : kNaN;
            dates[i * F + j] = dates[j * F + i] = n;
        }
    }
}

void rank_autocorrelation(const RowOrders& orders, const std::int64_t* lags, std::size_t n_lags, double* out) {
    const std::size_t T = orders.rows, N = orders.cols;
    for (std::size_t j = 0; j < n_lags; ++j)
        if (lags[j] < 1)
            throw std::invalid_argument("lags: expect positive lags, got " + std::to_string(lags[j]));
    std::fill(out, out + checked_cells({T, n_lags}, sizeof(double), "lags"), kNaN);
    if (T < 2 || N == 0 || n_lags == 0) return;
    // A row's present values are the positions its order lists.
    std::vector<std::uint8_t> masks = buffer<std::uint8_t>({T, N}, 0, "factor");
    std::vector<std::uint8_t> ties(T);
    parallel_for(T, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            const std::uint32_t* order = orders.row(t);
            for (std::size_t i = 0; i < orders.counts[t]; ++i) masks[t * N + (order[i] & ~kNewRun)] = 1;
            ties[t] = has_ties(order, orders.counts[t]);
        }
    });
    auto row_of = [&](std::size_t t) {
        return RankedRow{orders.row(t), orders.counts[t], masks.data() + t * N, ties[t] != 0};
    };
    parallel_for(T, [&](std::size_t begin, std::size_t end) {
        std::vector<std::uint32_t> rank(N), run;
        std::vector<std::uint8_t> keep(N);
        for (std::size_t t = begin; t < end; ++t)
            for (std::size_t j = 0; j < n_lags; ++j) {
                const auto lag = static_cast<std::uint64_t>(lags[j]);
                if (lag > t) continue;
                out[t * n_lags + j] = row_rank_corr(row_of(t), row_of(t - lag), N, rank, keep, run);
            }
    });
}

void rank_autocorrelation(const StridedTable& factor, const std::int64_t* lags, std::size_t n_lags, double* out) {
    const std::size_t T = factor.rows, N = factor.cols;
    if (N >= kMaxRankPositions)
        throw std::invalid_argument("factor: too many instruments to rank (" + std::to_string(N) + ")");
    for (std::size_t j = 0; j < n_lags; ++j)
        if (lags[j] < 1)
            throw std::invalid_argument("lags: expect positive lags, got " + std::to_string(lags[j]));
    if (T < 2 || N == 0 || n_lags == 0) {
        std::fill(out, out + checked_cells({T, n_lags}, sizeof(double), "lags"), kNaN);
        return;
    }
    // Every row is sorted once and meets the rows `lag` earlier for every lag.
    RowOrders orders;
    orders.reset(T, N);
    parallel_for(T, [&](std::size_t begin, std::size_t end) {
        std::vector<double> row(N);
        std::vector<std::uint32_t> order;
        for (std::size_t t = begin; t < end; ++t) {
            const double* src = factor.data + static_cast<std::ptrdiff_t>(t) * factor.row_stride;
            for (std::size_t j = 0; j < N; ++j) row[j] = src[static_cast<std::ptrdiff_t>(j) * factor.col_stride];
            sort_order(row.data(), nullptr, N, order);
            orders.store(t, order);
        }
    });
    rank_autocorrelation(orders, lags, n_lags, out);
}

}  // namespace sigmora
