#include "core/rank.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/numeric.hpp"

namespace sigmora {
namespace {

struct KeyPos {
    std::uint64_t key;
    std::uint32_t pos;
};

// Unsigned key with the order of the doubles (NaN excluded); -0.0 maps to 0.0's key.
// Branch-free: -0.0 + 0.0 is 0.0, and a mask replaces the choice of complement.
inline std::uint64_t order_key(double v) {
    v += 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint64_t negative = 0 - (bits >> 63);
    return bits ^ (negative | 0x8000000000000000ull);
}

// Unsigned key with the order of v's nearest float: monotone in v, as order_key, but coarser.
// Values beyond the float's range are clamped to its largest (a conversion would be undefined),
// and 0.0 and -0.0 share a key, as they do in order_key. NaN gives some key: it is never used.
inline std::uint32_t coarse_key(double v) {
    constexpr double kMax = std::numeric_limits<float>::max();
    const float f = static_cast<float>(std::min(std::max(v, -kMax), kMax)) + 0.0f;
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    const std::uint32_t negative = 0u - (bits >> 31);
    return bits ^ (negative | 0x80000000u);
}

// LSD radix sort on the 64-bit keys; passes whose digit is the same for every key are
// skipped. Several times faster than comparison sorts on doubles. Narrow digits keep
// the scatter local on large arrays, wider ones save passes on row-sized ones.
template <int kBits>
void radix_passes(std::vector<KeyPos>& a, std::vector<KeyPos>& tmp) {
    constexpr int kPasses = (64 + kBits - 1) / kBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    const std::size_t n = a.size();
    thread_local std::array<std::array<std::uint32_t, kBuckets>, kPasses> counts;
    for (auto& c : counts) c.fill(0);
    for (const KeyPos& e : a)
        for (int p = 0; p < kPasses; ++p) ++counts[p][(e.key >> (p * kBits)) & (kBuckets - 1)];
    tmp.resize(n);
    for (int p = 0; p < kPasses; ++p) {
        auto& c = counts[p];
        if (c[(a[0].key >> (p * kBits)) & (kBuckets - 1)] == n) continue;
        std::uint32_t sum = 0;
        for (auto& x : c) {
            const std::uint32_t here = x;
            x = sum;
            sum += here;
        }
        for (const KeyPos& e : a) tmp[c[(e.key >> (p * kBits)) & (kBuckets - 1)]++] = e;
        a.swap(tmp);
    }
}

// Row-sized sorts go by a 22-bit prefix of the keys, in two digits of 11 bits.
constexpr int kDigitBits = 11, kPrefixBits = 2 * kDigitBits;
constexpr std::uint32_t kDigitMask = (1u << kDigitBits) - 1;

// The thread's counts of both digits. A function the compiler does not see into: given a
// thread_local's address, it computes it again wherever it likes (a call into the loader on
// every iteration of a counting loop); this address it has to keep.
using PrefixCounts = std::array<std::array<std::uint32_t, std::size_t{1} << kDigitBits>, 2>;
__attribute__((noinline)) PrefixCounts& thread_counts() {
    thread_local PrefixCounts counts;
    return counts;
}

inline bool key_then_position(const KeyPos& x, const KeyPos& y) {
    return x.key < y.key || (x.key == y.key && x.pos < y.pos);
}

// Row-sized arrays: a stable LSD radix sort on the top 22 bits of key - min (two passes of 11
// bits instead of six over all 64), then each run of equal prefixes put in order the same way
// over its own, narrower range of keys, 22 bits further down. Float keys spread evenly within a
// power of 2, so runs are short: a few equal or nearly equal values; but a tight cluster of
// values beside an outlier (a ratio near 1 and one far off) shares a prefix, and so do ties.
// A run of ties ends at once (its range is empty); short runs are sorted by comparison. The
// result is the order the full radix sort gives, ties in position order included. `tmp` has
// room for n entries; the counts are free again once the passes are done, before the runs.
void prefix_radix(KeyPos* a, KeyPos* tmp, std::size_t n);

void prefix_sort(KeyPos* a, KeyPos* tmp, std::size_t n) {
    if (n <= 16) {
        for (std::size_t k = 1; k < n; ++k) {  // insertion sort: stable
            const KeyPos e = a[k];
            std::size_t m = k;
            for (; m > 0 && a[m - 1].key > e.key; --m) a[m] = a[m - 1];
            a[m] = e;
        }
        return;
    }
    if (n < 256) {
        std::sort(a, a + n, key_then_position);
        return;
    }
    prefix_radix(a, tmp, n);
}

// Puts a[0, n) in order by a 22-bit prefix(e), given its two 11-bit digits' counts: two stable
// passes (into tmp and back). Entries are KeyPos or the 8-byte entries of sort_order.
template <class Entry, class Prefix>
void prefix_passes(Entry* a, Entry* tmp, std::size_t n, PrefixCounts& counts, Prefix prefix) {
    Entry* from = a;
    Entry* to = tmp;
    for (int pass = 0; pass < 2; ++pass) {
        auto& c = counts[pass];
        auto digit = [&](const Entry& e) { return (prefix(e) >> (pass * kDigitBits)) & kDigitMask; };
        if (c[digit(from[0])] == n) continue;
        std::uint32_t sum = 0;
        for (auto& x : c) {
            const std::uint32_t here = x;
            x = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) to[c[digit(from[i])]++] = from[i];
        std::swap(from, to);
    }
    if (from != a) std::copy(from, from + n, a);
}

// prefix_sort's radix passes, apart: the thread's counts are looked up (a call in a shared
// library) only by the calls that use them, not by every short run. The prefix is the top 22
// bits of key - min; a run's keys share them, so the recursion ends within 64 / 22 levels.
__attribute__((noinline)) void prefix_radix(KeyPos* a, KeyPos* tmp, std::size_t n) {
    std::uint64_t lo = a[0].key, hi = a[0].key;
    for (std::size_t i = 0; i < n; ++i) {
        lo = std::min(lo, a[i].key);
        hi = std::max(hi, a[i].key);
    }
    if (lo == hi) return;
    const int width = 64 - __builtin_clzll(hi - lo);
    const int shift = width > kPrefixBits ? width - kPrefixBits : 0;
    auto prefix = [lo, shift](const KeyPos& e) { return static_cast<std::uint32_t>((e.key - lo) >> shift); };
    PrefixCounts& counts = thread_counts();
    for (auto& c : counts) c.fill(0);
    std::uint32_t* low = counts[0].data();
    std::uint32_t* high = counts[1].data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t p = prefix(a[i]);
        ++low[p & kDigitMask];
        ++high[p >> kDigitBits];
    }
    prefix_passes(a, tmp, n, counts, prefix);
    // Each run of equal prefixes in order by prefix_sort: its keys lie in a narrower range.
    std::size_t i = 0;
    while (i < n) {
        const std::uint32_t p = prefix(a[i]);
        std::size_t j = i + 1;
        while (j < n && prefix(a[j]) == p) ++j;
        if (j - i > 1) prefix_sort(a + i, tmp + i, j - i);
        i = j;
    }
}

void radix_sort(std::vector<KeyPos>& a, std::vector<KeyPos>& tmp) {
    if (a.size() < (std::size_t{1} << 16)) {
        tmp.resize(a.size());
        prefix_sort(a.data(), tmp.data(), a.size());
    } else {
        radix_passes<8>(a, tmp);
    }
}

// Rows of kCoarseMin to 2^16 - 1 values start from the top 22 bits of their float keys, counted
// while the entries are built. A value's float is monotone in it (rounding to nearest is), so
// sorting by it and then each run of equal prefixes by prefix_sort gives the order prefix_sort
// alone gives, ties in position order included. The float's 8 exponent and 13 mantissa bits
// spread row values far better than the double's prefix over a wide range; values beyond the
// float's range or closer than it resolves share a prefix and are put in order by the run's
// prefix_sort. The passes move 8-byte entries, the float key above the position: only a run's
// entries get their full keys (most runs are one value long).
constexpr std::size_t kCoarseMin = 256;
constexpr int kCoarseShift = 64 - kPrefixBits;

// The positions of sorted entries a[0, n), each with kNewRun where its key differs from the one
// before (the first always).
void flag_runs(const KeyPos* a, std::size_t n, std::uint32_t* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const bool new_run = i == 0 || a[i].key != a[i - 1].key;
        out[i] = a[i].pos | (new_run ? kNewRun : 0u);
    }
}

// The sorted order of the coarse entries a[0, m): each run of equal prefixes (in position
// order) put in order by its values' full keys. A run's first value differs from the one before
// it (their floats differ), so it starts a new run of equal values.
void resolve_runs(const double* values, const std::uint64_t* a, std::size_t m, std::vector<KeyPos>& run,
                  std::vector<KeyPos>& tmp, std::uint32_t* out) {
    std::size_t i = 0;
    while (i < m) {
        const std::uint64_t p = a[i] >> kCoarseShift;
        std::size_t j = i + 1;
        while (j < m && (a[j] >> kCoarseShift) == p) ++j;
        if (j - i == 1) {
            out[i] = static_cast<std::uint32_t>(a[i]) | kNewRun;
        } else {
            const std::size_t len = j - i;
            if (run.size() < len) run.resize(len);
            if (tmp.size() < len) tmp.resize(len);
            for (std::size_t k = 0; k < len; ++k) {
                const std::uint32_t pos = static_cast<std::uint32_t>(a[i + k]);
                run[k] = {order_key(values[pos]), pos};
            }
            prefix_sort(run.data(), tmp.data(), len);
            flag_runs(run.data(), len, out + i);
        }
        i = j;
    }
}

}  // namespace

void sort_order(const double* values, const std::uint8_t* keep, std::size_t n, std::vector<std::uint32_t>& out) {
    if (n >= kMaxRankPositions) throw std::invalid_argument("sort_order: too many values to rank");
    thread_local std::vector<KeyPos> tls_entries, tls_tmp;
    thread_local std::vector<std::uint64_t> tls_coarse, tls_coarse_tmp;
    // The thread's vectors looked up once, not on every value (a call each in a shared library).
    auto& entries = tls_entries;
    auto& tmp = tls_tmp;
    std::size_t m = 0;
    if (n >= kCoarseMin && n < (std::size_t{1} << 16)) {
        auto& coarse = tls_coarse;
        if (coarse.size() < n) coarse.resize(n);
        std::uint64_t* fill = coarse.data();
        PrefixCounts& counts = thread_counts();
        for (auto& c : counts) c.fill(0);
        std::uint32_t* low = counts[0].data();
        std::uint32_t* high = counts[1].data();
        // Without branches (missing values fall anywhere in a row): every value is written at
        // the next place, and counted, but only a kept one moves the place on or counts 1.
        for (std::size_t j = 0; j < n; ++j) {
            const double v = values[j];
            const std::uint32_t kept = (!keep || keep[j]) & !std::isnan(v);
            const std::uint32_t k32 = coarse_key(v);
            fill[m] = (static_cast<std::uint64_t>(k32) << 32) | j;
            m += kept;
            const std::uint32_t p = k32 >> (32 - kPrefixBits);
            low[p & kDigitMask] += kept;
            high[p >> kDigitBits] += kept;
        }
        if (m >= kCoarseMin) {
            auto& coarse_tmp = tls_coarse_tmp;
            if (coarse_tmp.size() < m) coarse_tmp.resize(m);
            prefix_passes(fill, coarse_tmp.data(), m, counts,
                          [](std::uint64_t e) { return static_cast<std::uint32_t>(e >> kCoarseShift); });
            out.resize(m);
            resolve_runs(values, fill, m, entries, tmp, out.data());
            return;
        }
        // Few values kept: the plain sort of the full keys below.
        entries.resize(m);
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint32_t pos = static_cast<std::uint32_t>(fill[i]);
            entries[i] = {order_key(values[pos]), pos};
        }
    } else {
        if (entries.size() < n) entries.resize(n);
        KeyPos* fill = entries.data();
        for (std::size_t j = 0; j < n; ++j)
            if ((!keep || keep[j]) && !std::isnan(values[j]))
                fill[m++] = {order_key(values[j]), static_cast<std::uint32_t>(j)};
        entries.resize(m);
    }
    radix_sort(entries, tmp);
    out.resize(entries.size());
    flag_runs(entries.data(), entries.size(), out.data());
}

namespace {

template <class Acc>
FirstRanks rank_first_with(const std::uint32_t* order, std::size_t n_order, const std::uint8_t* keep,
                           std::uint32_t* twice_rank, std::vector<std::uint32_t>& run) {
    Acc sq = 0;
    const std::size_t n = walk_average_ranks(order, n_order, keep, run, [&](std::uint32_t pos, std::uint32_t r) {
        twice_rank[pos] = r;
        sq += static_cast<Acc>(r) * static_cast<Acc>(r);
    });
    return {n, static_cast<double>(sq - rank_centring<Acc>(n)) / 4.0};
}

template <class Acc>
RankSums rank_sums_with(const std::uint32_t* order, std::size_t n_order, const std::uint8_t* keep,
                        const FirstRanks& first, const std::uint32_t* twice_rank_x, std::vector<std::uint32_t>& run) {
    const std::size_t n = first.n;
    Acc sxy = 0, syy = 0;
    if (!has_ties(order, n_order)) {
        // Ranks 1 .. n in walk order: only the cross products need the walk.
        walk_average_ranks(order, n_order, keep, run, [&](std::uint32_t pos, std::uint32_t r) {
            sxy += static_cast<Acc>(twice_rank_x[pos]) * static_cast<Acc>(r);
        });
        const Acc nn = static_cast<Acc>(n);
        syy = 4 * (nn * (nn + 1) * (2 * nn + 1) / 6);
    } else {
        walk_average_ranks(order, n_order, keep, run, [&](std::uint32_t pos, std::uint32_t r) {
            sxy += static_cast<Acc>(twice_rank_x[pos]) * static_cast<Acc>(r);
            syy += static_cast<Acc>(r) * static_cast<Acc>(r);
        });
    }
    const Acc c = rank_centring<Acc>(n);
    return {static_cast<double>(sxy - c) / 4.0, first.sxx, static_cast<double>(syy - c) / 4.0};
}

}  // namespace

FirstRanks rank_first(const std::uint32_t* order, std::size_t n_order, const std::uint8_t* keep,
                      std::uint32_t* twice_rank, std::vector<std::uint32_t>& run) {
    if (n_order <= kNarrowRankSums) return rank_first_with<std::int64_t>(order, n_order, keep, twice_rank, run);
    return rank_first_with<WideRankSum>(order, n_order, keep, twice_rank, run);
}

RankSums rank_sums_against(const std::uint32_t* order, std::size_t n_order, const std::uint8_t* keep,
                           const FirstRanks& first, const std::uint32_t* twice_rank_x,
                           std::vector<std::uint32_t>& run) {
    if (n_order <= kNarrowRankSums) return rank_sums_with<std::int64_t>(order, n_order, keep, first, twice_rank_x, run);
    return rank_sums_with<WideRankSum>(order, n_order, keep, first, twice_rank_x, run);
}

double corrcoef_from_sums(double s_first_second, double s_first, double s_second, std::size_t n) {
    if (n < 2 || s_first == 0.0 || s_second == 0.0) return kNaN;
    const double inv = 1.0 / static_cast<double>(n - 1);
    const double r = ((s_first_second * inv) / std::sqrt(s_second * inv)) / std::sqrt(s_first * inv);
    return std::clamp(r, -1.0, 1.0);
}

}  // namespace sigmora
