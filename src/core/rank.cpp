#include "core/rank.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/numeric.hpp"

namespace sigmora {
namespace {

struct KeyPos {
    std::uint64_t key;
    std::uint32_t pos;
};

// Unsigned key with the order of the doubles (NaN excluded); -0.0 maps to 0.0's key.
inline std::uint64_t order_key(double v) {
    if (v == 0.0) v = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) ? ~bits : (bits | 0x8000000000000000ull);
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
    std::uint64_t lo = a[0].key, hi = a[0].key;
    for (std::size_t i = 0; i < n; ++i) {
        lo = std::min(lo, a[i].key);
        hi = std::max(hi, a[i].key);
    }
    if (lo == hi) return;
    constexpr int kBits = 11, kPrefix = 2 * kBits;
    constexpr std::uint32_t kMask = (1u << kBits) - 1;
    const int width = 64 - __builtin_clzll(hi - lo);
    const int shift = width > kPrefix ? width - kPrefix : 0;
    auto prefix = [lo, shift](const KeyPos& e) { return static_cast<std::uint32_t>((e.key - lo) >> shift); };
    thread_local std::array<std::array<std::uint32_t, std::size_t{1} << kBits>, 2> tls_counts;
    auto& counts = tls_counts;  // the thread's address once, not in every iteration
    for (auto& c : counts) c.fill(0);
    std::uint32_t* low = counts[0].data();
    std::uint32_t* high = counts[1].data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t p = prefix(a[i]);
        ++low[p & kMask];
        ++high[p >> kBits];
    }
    KeyPos* from = a;
    KeyPos* to = tmp;
    for (int pass = 0; pass < 2; ++pass) {
        auto& c = counts[pass];
        if (c[(prefix(from[0]) >> (pass * kBits)) & kMask] == n) continue;
        std::uint32_t sum = 0;
        for (auto& x : c) {
            const std::uint32_t here = x;
            x = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) to[c[(prefix(from[i]) >> (pass * kBits)) & kMask]++] = from[i];
        std::swap(from, to);
    }
    if (from != a) std::copy(from, from + n, a);
    std::size_t i = 0;
    while (i < n) {
        const std::uint32_t p = prefix(a[i]);
        std::size_t j = i + 1;
        while (j < n && prefix(a[j]) == p) ++j;
        // The run's keys share the top `kPrefix` of `width` bits: its range is narrower, and the
        // recursion ends within 64 / kPrefix levels.
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

}  // namespace

void sort_order(const double* values, const std::uint8_t* keep, std::size_t n, std::vector<std::uint32_t>& out) {
    if (n >= kMaxRankPositions) throw std::invalid_argument("sort_order: too many values to rank");
    thread_local std::vector<KeyPos> tls_entries, tls_tmp;
    // The thread's vectors looked up once, not on every value (a call each in a shared library).
    auto& entries = tls_entries;
    auto& tmp = tls_tmp;
    if (entries.size() < n) entries.resize(n);
    KeyPos* fill = entries.data();
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j)
        if ((!keep || keep[j]) && !std::isnan(values[j]))
            fill[m++] = {order_key(values[j]), static_cast<std::uint32_t>(j)};
    entries.resize(m);
    radix_sort(entries, tmp);
    out.resize(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const bool new_run = i == 0 || entries[i].key != entries[i - 1].key;
        out[i] = entries[i].pos | (new_run ? kNewRun : 0u);
    }
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
