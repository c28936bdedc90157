// Average ranks (ties share the mean of their positions, as scipy's rankdata
// "average" method does) over sorted orders, and rank correlations built on them.
//
// A sorted order lists positions by value and flags each position whose value differs
// from the one before it, so that ranks among any subset of the positions can be read
// off in one linear walk, without looking at the values or sorting again.
//
// Ranks are kept doubled: twice an average rank is always an integer, so centred
// rank sums are computed exactly in integer arithmetic, whatever the summation order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sigmora {

// Largest position a sorted order can hold; the top bit carries the run flag.
constexpr std::size_t kMaxRankPositions = std::size_t{1} << 31;
constexpr std::uint32_t kNewRun = 0x80000000u;

// Sorted order of the non-NaN values[pos], pos in [0, n) (restricted to keep[pos] != 0
// when `keep` is given): entries are pos | kNewRun when values[pos] differs from the
// previous entry's value. ±inf are values (last / first); -0.0 and 0.0 tie.
// n must be below kMaxRankPositions.
void sort_order(const double* values, const std::uint8_t* keep, std::size_t n, std::vector<std::uint32_t>& out);

// Whether a sorted order holds equal values: an entry after the first without kNewRun.
inline bool has_ties(const std::uint32_t* order, std::size_t n) {
    std::uint32_t all = kNewRun;
    for (std::size_t i = 1; i < n; ++i) all &= order[i];
    return !(all & kNewRun);
}

// Walks a sorted order over the positions with keep[pos] != 0 and calls
// emit(pos, 2 * average rank among the kept ones) for each, in rank order (a run of
// ties is emitted once it is complete). Returns the number kept. `run` is scratch.
template <class Emit>
std::size_t walk_average_ranks(const std::uint32_t* order, std::size_t n_order, const std::uint8_t* keep,
                               std::vector<std::uint32_t>& run, Emit&& emit) {
    if (!has_ties(order, n_order)) {
        // Every kept entry is a run of its own: the i-th has rank i + 1.
        std::size_t n_kept = 0;
        for (std::size_t i = 0; i < n_order; ++i) {
            const std::uint32_t pos = order[i] & ~kNewRun;
            if (!keep[pos]) continue;
            emit(pos, static_cast<std::uint32_t>(2 * n_kept + 2));
            ++n_kept;
        }
        return n_kept;
    }
    if (run.size() < n_order) run.resize(n_order);
    std::uint32_t* kept = run.data();  // kept positions in rank order; the open run is [run_start, n_kept)
    std::size_t n_kept = 0, run_start = 0;
    auto flush = [&]() {
        // Ranks run_start + 1 .. n_kept share their mean; doubled it is an integer <= 2n < 2^32.
        const auto doubled = static_cast<std::uint32_t>(run_start + n_kept + 1);
        for (std::size_t i = run_start; i < n_kept; ++i) emit(kept[i], doubled);
        run_start = n_kept;
    };
    // A value change anywhere between two kept entries separates them.
    std::uint32_t changed = 0;
    for (std::size_t i = 0; i < n_order; ++i) {
        const std::uint32_t e = order[i];
        changed |= e & kNewRun;
        const std::uint32_t pos = e & ~kNewRun;
        if (!keep[pos]) continue;
        if (changed && n_kept > run_start) flush();
        changed = 0;
        kept[n_kept++] = pos;
    }
    flush();
    return n_kept;
}

// Doubled ranks are at most 2n, so sums of n products stay below 4 n^3 <= 2^62 in 64 bits
// up to n = 2^20; beyond that they are summed in 128 bits.
constexpr std::size_t kNarrowRankSums = std::size_t{1} << 20;
__extension__ typedef __int128 WideRankSum;

// With r the doubled ranks of n values, c = r - (n + 1) and sum(r) = n (n + 1):
// sum(cx cy) = sum(rx ry) - n (n + 1)^2, likewise for the squares.
template <class Acc>
Acc rank_centring(std::size_t n) {
    return static_cast<Acc>(n) * static_cast<Acc>(n + 1) * static_cast<Acc>(n + 1);
}

// Centred rank sums of a pair of variables over the same n kept positions: with
// c = twice_rank - (n + 1), sum(cx * cy) / 4, sum(cx * cx) / 4 and sum(cy * cy) / 4.
// Computed in integers and exact whenever the true sums are below 2^53.
struct RankSums {
    double sxy, sxx, syy;
};

// The first variable of a rank correlation: how many positions were kept and their
// centred sum of squares (sxx of RankSums).
struct FirstRanks {
    std::size_t n;
    double sxx;
};

// Walks the first variable's sorted order over the positions with keep[pos] != 0,
// writing 2 * (average rank among them) to twice_rank[pos]. `run` is scratch.
FirstRanks rank_first(const std::uint32_t* order, std::size_t n_order, const std::uint8_t* keep,
                      std::uint32_t* twice_rank, std::vector<std::uint32_t>& run);

// Walks the second variable's sorted order over the same kept positions and pairs each
// position's doubled rank with twice_rank_x[pos] written by rank_first.
RankSums rank_sums_against(const std::uint32_t* order, std::size_t n_order, const std::uint8_t* keep,
                           const FirstRanks& first, const std::uint32_t* twice_rank_x,
                           std::vector<std::uint32_t>& run);

// Correlation from centred sums with n - 1 degrees of freedom, in the operation order of
// numpy's corrcoef for the pair (first, second): ((sxy / (n-1)) / sd(second)) / sd(first),
// clipped to [-1, 1]. NaN when either variable is constant or n < 2.
double corrcoef_from_sums(double s_first_second, double s_first, double s_second, std::size_t n);

}  // namespace sigmora
