#include "core/winsorize.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/masked.hpp"
#include "core/numeric.hpp"
#include "core/row_blocks.hpp"

namespace sigmora {
namespace {

// numpy's pairwise summation (loops_utils.h: blocks of at most 128 summed with eight
// accumulators, larger ranges split in halves rounded to a multiple of 8), over the
// terms term(i) for i in [begin, begin + n).
template <class Term>
double pairwise(const Term& term, std::size_t begin, std::size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += term(begin + i);
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = term(begin + j);
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] += term(begin + i + j);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += term(begin + i);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(term, begin, n2) + pairwise(term, begin + n2, n - n2);
}

// A reduction starts from the identity 0.0 (so an all -0.0 sum is +0.0, as in numpy).
template <class Term>
double reduce_sum(const Term& term, std::size_t n) {
    return 0.0 + pairwise(term, 0, n);
}

// Moves the k-th smallest of a[0..n) (no NaN) to a[k], smaller-or-equal values before
// it and greater-or-equal after, like std::nth_element. Quickselect with a branch-free
// partition: on random data the comparison with the pivot is a coin flip, and a branch
// on it mispredicts half the time. Values equal to the pivot are split off when they
// would stall progress; after too many rounds (adversarial input) std::nth_element
// takes over.
void select_kth(double* a, std::size_t n, std::size_t k) {
    std::size_t lo = 0, hi = n;
    for (int rounds = 0; hi - lo > 16; ++rounds) {
        if (rounds > 64) {
            std::nth_element(a + lo, a + k, a + hi);
            return;
        }
        const std::size_t mid = lo + (hi - lo) / 2;
        const double x0 = a[lo], x1 = a[mid], x2 = a[hi - 1];
        const double pivot = std::max(std::min(x0, x1), std::min(std::max(x0, x1), x2));
        std::size_t store = lo;  // [lo, store) < pivot <= [store, i)
        for (std::size_t i = lo; i < hi; ++i) {
            const double x = a[i];
            a[i] = a[store];
            a[store] = x;
            store += x < pivot;
        }
        if (k < store) {
            hi = store;
            continue;
        }
        if (store > lo + (hi - lo) / 16) {
            lo = store;
            continue;
        }
        std::size_t equal_end = store;  // [store, equal_end) == pivot < [equal_end, i)
        for (std::size_t i = store; i < hi; ++i) {
            const double x = a[i];
            a[i] = a[equal_end];
            a[equal_end] = x;
            equal_end += x <= pivot;
        }
        if (k < equal_end) return;  // a[k] == pivot
        lo = equal_end;
    }
    std::sort(a + lo, a + hi);
}

std::size_t count_present(const double* x, std::size_t n) {
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j) m += x[j] == x[j];
    return m;
}

// Copies the present values of x[0..n) to buf; returns their count.
std::size_t gather_present(const double* x, std::size_t n, double* buf) {
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
        buf[m] = x[j];
        m += x[j] == x[j];
    }
    return m;
}

// The values of rank k and, when want_next, k + 1 (0-based, k + want_next < m) among
// the m present values of v[0..n). Many values: bracket the ranks between two values of
// a strided sample, then select only among the values inside the bracket, found in one
// pass over v (comparisons are false for NaN, so missing cells drop out by themselves);
// when the bracket misses, or with few values, select among all present values.
// scratch holds n doubles; v is not modified.
void select_ranks(const double* v, std::size_t n, std::size_t m, std::size_t k, bool want_next, double* scratch,
                  double* at_k, double* at_next) {
    constexpr std::size_t kMinBracketed = 1024, kMaxSample = 512;
    const std::size_t last = k + (want_next ? 1 : 0);
    if (m >= kMinBracketed) {
        double sample[kMaxSample];
        const std::size_t stride = n / std::min(kMaxSample, m / 8);
        std::size_t n_sample = 0;
        for (std::size_t j = 0; j < n && n_sample < kMaxSample; j += stride) {
            sample[n_sample] = v[j];
            n_sample += v[j] == v[j];
        }
        // about three standard deviations of the sample rank of the wanted value
        const auto margin = static_cast<std::size_t>(1.5 * std::sqrt(static_cast<double>(n_sample))) + 2;
        const std::size_t rank_lo = k * n_sample / m, rank_hi = last * n_sample / m;
        double lo = -kInf, hi = kInf;
        std::size_t sample_end = n_sample;
        if (rank_hi + margin < n_sample) {
            select_kth(sample, n_sample, rank_hi + margin);
            hi = sample[rank_hi + margin];
            sample_end = rank_hi + margin;
        }
        if (rank_lo >= margin) {
            select_kth(sample, sample_end, rank_lo - margin);
            lo = sample[rank_lo - margin];
        }
        std::size_t below = 0, inside = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const double x = v[j];
            below += x < lo;
            scratch[inside] = x;  // inside <= j < n
            inside += (x >= lo) & (x <= hi);
        }
        if (below <= k && last < below + inside) {
            const std::size_t kk = k - below;
            select_kth(scratch, inside, kk);
            *at_k = scratch[kk];
            if (want_next) *at_next = *std::min_element(scratch + kk + 1, scratch + inside);
            return;
        }
    }
    gather_present(v, n, scratch);  // sorting a range that holds NaN is undefined
    select_kth(scratch, m, k);
    *at_k = scratch[k];
    if (want_next) *at_next = *std::min_element(scratch + k + 1, scratch + m);
}

void check_fraction(double q, const char* name) {
    if (!(q >= 0.0 && q <= 1.0)) {
        throw std::invalid_argument(std::string(name) + ": expect a fraction in [0, 1], got " + std::to_string(q));
    }
}

// Runs row_fn(row, row_out, buf, scratch) on every row; buf and scratch hold cols doubles.
template <class RowFn>
void for_each_row(const StridedTable& x, double* out, const RowFn& row_fn) {
    const std::size_t cols = x.cols;
    for_each_row_block(x, [&](std::size_t r0, std::size_t n_rows, const double* const* rows) {
        std::vector<double> work(2 * cols);
        for (std::size_t i = 0; i < n_rows; ++i) row_fn(rows[i], out + (r0 + i) * cols, work.data(), work.data() + cols);
    });
}

}  // namespace

double nan_pairwise_sum(const double* x, std::size_t n) {
    return reduce_sum([x](std::size_t i) { return keep_or_zero(x[i], x[i] == x[i]); }, n);
}

double nan_median(const double* v, std::size_t n, std::size_t m, double* scratch) {
    if (m == 0) return kNaN;
    // numpy takes the mean of the one or two middle values: (0 + a [+ b]) / count.
    double low, high;
    if (m % 2 == 1) {
        select_ranks(v, n, m, m / 2, false, scratch, &low, nullptr);
        return 0.0 + low;
    }
    select_ranks(v, n, m, m / 2 - 1, true, scratch, &low, &high);
    return ((0.0 + low) + high) / 2.0;
}

void nan_quantiles(const double* v, std::size_t n, std::size_t m, const double* q, std::size_t nq, double* result,
                   double* scratch) {
    const double last = static_cast<double>(m) - 1.0;
    for (std::size_t i = 0; i < nq; ++i) {
        if (m == 0) {
            result[i] = kNaN;
            continue;
        }
        // The neighbours numpy interpolates between, and its weight. Above the last
        // index numpy takes the last value for both and measures the weight from -1;
        // that is kept, since with an infinite last value it makes the result NaN.
        const double virtual_index = last * q[i];
        double a, b, t;
        if (virtual_index >= last) {
            select_ranks(v, n, m, m - 1, false, scratch, &a, nullptr);
            b = a;
            t = virtual_index - (-1.0);
        } else {
            const double floor_index = std::floor(virtual_index);
            select_ranks(v, n, m, static_cast<std::size_t>(floor_index), true, scratch, &a, &b);
            t = virtual_index - floor_index;
        }
        // numpy's _lerp: a + (b - a) * t, or b - (b - a) * (1 - t) when t >= 0.5.
        const double diff = b - a;
        result[i] = t >= 0.5 ? b - diff * (1.0 - t) : a + diff * t;
    }
}

void clip_row(const double* x, std::size_t n, double lower, double upper, double* out) {
    if (!std::isnan(lower) && !std::isnan(upper) && upper < lower) std::swap(lower, upper);
    if (std::isnan(lower)) lower = -kInf;
    if (std::isnan(upper)) upper = kInf;
    for (std::size_t j = 0; j < n; ++j) {
        double v = x[j];
        v = v < lower ? lower : v;  // NaN compares false: kept
        out[j] = v > upper ? upper : v;
    }
}

void winsorize_mad(const StridedTable& x, double n, double* out) {
    const std::size_t cols = x.cols;
    for_each_row(x, out, [cols, n](const double* row, double* row_out, double* buf, double* scratch) {
        const double median = nan_median(row, cols, count_present(row, cols), scratch);
        // Missing cells give NaN deviations, and so does inf - inf: both are skipped.
        for (std::size_t j = 0; j < cols; ++j) buf[j] = std::fabs(row[j] - median);
        const double median_diff = nan_median(buf, cols, count_present(buf, cols), scratch);
        clip_row(row, cols, median - median_diff * n, median + median_diff * n, row_out);
    });
}

void winsorize_std(const StridedTable& x, double n, double* out) {
    const std::size_t cols = x.cols;
    for_each_row(x, out, [cols, n](const double* row, double* row_out, double*, double*) {
        // The band is computed at the scale (a power of two) that brings the row's largest
        // magnitude to ~1 and scaled back: squares of huge or tiny values neither overflow
        // nor underflow, and for ordinary magnitudes the bits are those of the plain formula
        // (sums, quotients and square roots commute exactly with a power of two).
        std::size_t count = 0;
        double reach = 0.0;
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = row[j];
            count += v == v;
            reach = std::fabs(v) > reach ? std::fabs(v) : reach;  // NaN compares false: ignored
        }
        const double unit = magnitude_scale(reach);
        double total = nan_pairwise_sum(row, cols) * unit;
        if (!std::isfinite(total) && unit != 1.0) {  // the plain sum overflowed: sum again, scaled
            total = reduce_sum([row, unit](std::size_t j) { return keep_or_zero(row[j] * unit, row[j] == row[j]); },
                               cols);
        }
        const double mean = count > 0 ? total / static_cast<double>(count) : kNaN;
        double std_dev = kNaN;
        if (count > 1) {
            // pandas' nanvar: two passes, squared deviations of the present cells from
            // the mean, missing cells counted as 0, divided by count - 1.
            auto squared = [row, mean, unit](std::size_t j) {
                const double d = mean - row[j] * unit;
                return keep_or_zero(d * d, row[j] == row[j]);
            };
            std_dev = std::sqrt(reduce_sum(squared, cols) / static_cast<double>(count - 1));
        }
        const double back = 1.0 / unit;
        clip_row(row, cols, (mean - std_dev * n) * back, (mean + std_dev * n) * back, row_out);
    });
}

void winsorize_percentile(const StridedTable& x, double q_lower, double q_upper, double* out) {
    check_fraction(q_lower, "q_lower");
    check_fraction(q_upper, "q_upper");
    const double q[2] = {q_lower, q_upper};
    const std::size_t cols = x.cols;
    for_each_row(x, out, [cols, &q](const double* row, double* row_out, double*, double* scratch) {
        double bounds[2];
        nan_quantiles(row, cols, count_present(row, cols), q, 2, bounds, scratch);
        clip_row(row, cols, bounds[0], bounds[1], row_out);
    });
}

}  // namespace sigmora
