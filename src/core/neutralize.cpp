#include "core/neutralize.hpp"

#include "core/numeric.hpp"
#include "core/ols.hpp"
#include "core/parallel.hpp"
#include "core/sizes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace sigmora {
namespace {

using Eigen::Index;

// Budget for one thread's dense block of style exposures (dates x keys x factors).
constexpr std::size_t kStyleBlockBytes = std::size_t(16) << 20;

// Whether v is -1 or in 0 .. bound - 1 (any bound, however large).
inline bool in_range(std::int64_t v, std::size_t bound) {
    return v == -1 || (v >= 0 && static_cast<std::uint64_t>(v) < bound);
}

// "-1 .. bound - 1", or "-1" for an empty range.
std::string range_text(std::size_t bound) { return bound ? "-1 .. " + std::to_string(bound - 1) : "-1"; }

// Checks v[0..n) against in_range; returns one past the largest value (0 when all are -1),
// the number of slots the values really use.
std::size_t check_range(const std::int64_t* v, std::size_t n, std::size_t bound, const char* what) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!in_range(v[i], bound)) {
            throw std::invalid_argument(std::string(what) + ": expect values in " + range_text(bound) + ", got " +
                                        std::to_string(v[i]) + " at position " + std::to_string(i));
        }
        if (v[i] >= 0) used = std::max(used, static_cast<std::size_t>(v[i]) + 1);
    }
    return used;
}

// Stable counting sort of the items with a group in 0 .. n_groups - 1 (others dropped):
// the items of group g are order[offsets[g] .. offsets[g + 1]), in increasing order.
struct Buckets {
    std::vector<std::size_t> offsets, order;

    template <typename GroupOf>
    Buckets(std::size_t n_items, std::size_t n_groups, GroupOf group_of) : offsets(n_groups + 1, 0) {
        for (std::size_t r = 0; r < n_items; ++r) {
            const std::int64_t g = group_of(r);
            if (g >= 0) ++offsets[static_cast<std::size_t>(g) + 1];
        }
        for (std::size_t g = 0; g < n_groups; ++g) offsets[g + 1] += offsets[g];
        order.resize(offsets[n_groups]);
        std::vector<std::size_t> next(offsets.begin(), offsets.end() - 1);
        for (std::size_t r = 0; r < n_items; ++r) {
            const std::int64_t g = group_of(r);
            if (g >= 0) order[next[static_cast<std::size_t>(g)]++] = r;
        }
    }
};

// One thread's buffers for the regression of one factor row at a time. Industry codes
// are checked beforehand; `n_used` is one past the largest, which sizes the per-industry
// buffers, and `rank_dim` the dimension the rank tolerance counts in the dummies.
class RowSolver {
public:
    RowSolver(std::size_t N, std::size_t S, const std::vector<const double*>& dense, const std::int64_t* codes,
              std::size_t n_used, std::size_t rank_dim)
        : N_(N), S_(S), K_(S + dense.size()), dense_(dense), codes_(codes), n_used_(n_used), rank_dim_(rank_dim),
          group_(N), complete_(N), count_(n_used), sums_(n_used * (K_ + 1)), first_(n_used),
          A_(static_cast<Index>(K_), static_cast<Index>(N)), y_(static_cast<Index>(N)) {
        rows_.reserve(N);
    }

    // style[i]: the S exposures of instrument i on this row's date, or nullptr.
    void solve(std::size_t t, const double* yt, const double* const* style, double* out) {
        const std::size_t K = K_;
        std::fill(out, out + N_, kNaN);

        // Complete instruments: the value and every regressor finite.
        std::size_t n_complete = 0;
        std::fill(count_.begin(), count_.end(), 0);
        for (std::size_t i = 0; i < N_; ++i) {
            const std::int64_t code = codes_ ? codes_[t * N_ + i] : -1;
            group_[i] = code;
            bool ok = std::isfinite(yt[i]);
            if (ok && S_ > 0) {
                ok = style[i] != nullptr;
                for (std::size_t s = 0; ok && s < S_; ++s) ok = std::isfinite(style[i][s]);
            }
            for (std::size_t o = 0; ok && o < dense_.size(); ++o) ok = std::isfinite(dense_[o][t * N_ + i]);
            complete_[i] = ok;
            if (!ok) continue;
            ++n_complete;
            if (code >= 0) ++count_[static_cast<std::size_t>(code)];
        }
        if (n_complete == 0) return;

        // The only member of its industry on this date is fitted exactly by its dummy; it
        // adds a zero row to the demeaned regression, so it is left out of it.
        rows_.clear();
        for (std::size_t i = 0; i < N_; ++i) {
            if (!complete_[i]) continue;
            if (group_[i] >= 0 && count_[static_cast<std::size_t>(group_[i])] == 1) {
                out[i] = 0.0;
                continue;
            }
            rows_.push_back(i);
        }
        const Index m = static_cast<Index>(rows_.size());
        if (m == 0) return;
        for (Index r = 0; r < m; ++r) {
            const std::size_t i = rows_[static_cast<std::size_t>(r)];
            y_(r) = yt[i];
            double* a = A_.col(r).data();  // instrument i's regressors, contiguous
            for (std::size_t s = 0; s < S_; ++s) a[s] = style[i][s];
            for (std::size_t o = 0; o < dense_.size(); ++o) a[S_ + o] = dense_[o][t * N_ + i];
        }
        auto Am = A_.leftCols(m);
        auto ym = y_.head(m);
        // Column scales from the regressors before demeaning: one that is constant within
        // industries must leave only rounding noise, small against its own scale, and not a
        // unit column of noise. Each regressor is scaled by the power of two that brings its
        // 2-norm into [1, 2), found in two steps so that no square overflows or underflows
        // whatever the unit: to magnitude ~1 first, then by its sum of squares. The values
        // are brought to magnitude ~1 as well (the residuals are scaled back at the end).
        // All of it happens before the demeaning, which powers of two commute with exactly,
        // so that its sums cannot overflow either.
        equalise_magnitudes(Am, magnitude_);
        unit_.setZero(static_cast<Index>(K));
        for (Index r = 0; r < m; ++r) {
            const double* a = Am.col(r).data();
            for (std::size_t c = 0; c < K; ++c) unit_(static_cast<Index>(c)) += a[c] * a[c];
        }
        for (std::size_t c = 0; c < K; ++c) unit_(static_cast<Index>(c)) = unit_scale(std::sqrt(unit_(static_cast<Index>(c))));
        for (Index r = 0; r < m; ++r) {
            double* a = Am.col(r).data();
            for (std::size_t c = 0; c < K; ++c) a[c] *= unit_(static_cast<Index>(c));
        }
        const double y_scale = magnitude_scale(ym.cwiseAbs().maxCoeff());
        ym *= y_scale;

        if (codes_) {
            // The values are taken about their industry's first value: an industry whose values
            // are all equal is then fitted exactly, its residuals exact zeros, not rounding noise
            // that a later standardisation would blow up to unit variance.
            std::fill(sums_.begin(), sums_.end(), 0.0);
            std::fill(first_.begin(), first_.end(), kNaN);
            for (Index r = 0; r < m; ++r) {
                const std::int64_t g = group_[rows_[static_cast<std::size_t>(r)]];
                if (g < 0) continue;
                double& first = first_[static_cast<std::size_t>(g)];
                if (std::isnan(first)) first = ym(r);
                ym(r) -= first;
                double* sg = &sums_[static_cast<std::size_t>(g) * (K + 1)];
                const double* a = Am.col(r).data();
                sg[0] += ym(r);
                for (std::size_t c = 0; c < K; ++c) sg[c + 1] += a[c];
            }
            for (std::size_t g = 0; g < n_used_; ++g) {
                if (count_[g] < 2) continue;
                double* sg = &sums_[g * (K + 1)];
                for (std::size_t c = 0; c <= K; ++c) sg[c] /= static_cast<double>(count_[g]);
            }
            for (Index r = 0; r < m; ++r) {
                const std::int64_t g = group_[rows_[static_cast<std::size_t>(r)]];
                if (g < 0) continue;
                const double* mean = &sums_[static_cast<std::size_t>(g) * (K + 1)];
                double* a = Am.col(r).data();
                ym(r) -= mean[0];
                for (std::size_t c = 0; c < K; ++c) a[c] -= mean[c + 1];
            }
        }

        projector_.project(Am, ym, /*columns_scaled=*/true, std::max(n_complete, rank_dim_));
        const double y_unit = 1.0 / y_scale;
        for (Index r = 0; r < m; ++r) out[rows_[static_cast<std::size_t>(r)]] = ym(r) * y_unit;
    }

private:
    std::size_t N_, S_, K_;
    const std::vector<const double*>& dense_;
    const std::int64_t* codes_;
    std::size_t n_used_, rank_dim_;
    std::vector<std::int64_t> group_;
    std::vector<unsigned char> complete_;
    std::vector<std::size_t> count_;
    std::vector<double> sums_, first_;
    std::vector<std::size_t> rows_;
    Eigen::MatrixXd A_;  // K x N: column r holds the regressors of the r-th included instrument
    Eigen::VectorXd y_, magnitude_, unit_;
    ResidualProjector projector_;
};

}  // namespace

void ols_neutralize(const double* endog, std::size_t T, std::size_t N, const LongExposures& style,
                    const std::vector<const double*>& dense, const std::int64_t* codes, std::size_t n_industries,
                    double* out) {
    const std::size_t S = style.n_factors, K = S + dense.size();
    // Buffers are sized by the industries, dates and keys the data use, never by the counts
    // passed along with them (which only bound the codes).
    const std::size_t n_used = codes ? check_range(codes, T * N, n_industries, "industry codes") : 0;
    // The dummies count in the rank tolerance as n_industries columns (saturating: a count
    // past the address space is as good as infinite there).
    const std::size_t rank_dim = K + std::min(n_industries, SIZE_MAX - K);
    if (S == 0) {
        parallel_for(T, [&](std::size_t begin, std::size_t end) {
            RowSolver solver(N, 0, dense, codes, n_used, rank_dim);
            std::vector<const double*> none(N, nullptr);
            for (std::size_t t = begin; t < end; ++t) solver.solve(t, endog + t * N, none.data(), out + t * N);
        });
        return;
    }

    const std::size_t record_dates = check_range(style.record_date, style.n_records, style.n_dates, "record dates");
    const std::size_t record_keys = check_range(style.record_key, style.n_records, style.n_keys, "record keys");
    const std::size_t row_dates = check_range(style.row_date, T, style.n_dates, "row dates");
    const std::size_t column_keys = check_range(style.column_key, N, style.n_keys, "column keys");
    const std::size_t n_dates = std::max(record_dates, row_dates), n_keys_used = std::max(record_keys, column_keys);

    // The records arrive in the service's order (by instrument, then date), so one date's
    // exposures lie far apart. Dates are taken in blocks: each block's records are copied,
    // in memory order, into a dense dates x keys x factors buffer, and the block's rows
    // read their exposures from there.
    const std::size_t n_keys = std::max<std::size_t>(n_keys_used, 1);
    const std::size_t per_date = checked_cells({n_keys, S}, sizeof(double), "style exposures");
    const std::size_t block = std::clamp<std::size_t>(kStyleBlockBytes / (per_date * sizeof(double)), 1,
                                                      std::max<std::size_t>(n_dates, 1));
    const std::size_t n_blocks = (n_dates + block - 1) / block;
    const Buckets records(style.n_records, n_blocks, [&](std::size_t r) {
        const std::int64_t d = style.record_date[r];
        return d < 0 ? d : static_cast<std::int64_t>(static_cast<std::size_t>(d) / block);
    });
    const Buckets rows_of_date(T, n_dates, [&](std::size_t t) { return style.row_date[t]; });
    for (std::size_t t = 0; t < T; ++t)
        if (style.row_date[t] < 0) std::fill(out + t * N, out + (t + 1) * N, kNaN);  // no exposures

    parallel_for(n_blocks, [&](std::size_t begin, std::size_t end) {
        RowSolver solver(N, S, dense, codes, n_used, rank_dim);
        std::vector<double> exposures(block * n_keys * S);
        std::vector<unsigned char> present(block * n_keys);
        std::vector<const double*> of_column(N);
        for (std::size_t b = begin; b < end; ++b) {
            const std::size_t first = b * block;
            std::fill(present.begin(), present.end(), 0);
            for (std::size_t k = records.offsets[b]; k < records.offsets[b + 1]; ++k) {
                const std::size_t r = records.order[k];
                if (style.record_key[r] < 0) continue;
                const std::size_t cell =
                    (static_cast<std::size_t>(style.record_date[r]) - first) * n_keys +
                    static_cast<std::size_t>(style.record_key[r]);
                if (present[cell])
                    throw std::invalid_argument("style exposures: two records for one (order_book_id, date) pair");
                present[cell] = 1;
                for (std::size_t s = 0; s < S; ++s)
                    exposures[cell * S + s] = style.values[static_cast<std::ptrdiff_t>(r) * style.record_stride +
                                                           static_cast<std::ptrdiff_t>(s) * style.factor_stride];
            }
            const std::size_t last = std::min(first + block, n_dates);
            for (std::size_t d = first; d < last; ++d) {
                for (std::size_t i = 0; i < N; ++i) {
                    const std::int64_t key = style.column_key[i];
                    const std::size_t cell = (d - first) * n_keys + static_cast<std::size_t>(key < 0 ? 0 : key);
                    of_column[i] = key >= 0 && present[cell] ? &exposures[cell * S] : nullptr;
                }
                for (std::size_t k = rows_of_date.offsets[d]; k < rows_of_date.offsets[d + 1]; ++k) {
                    const std::size_t t = rows_of_date.order[k];
                    solver.solve(t, endog + t * N, of_column.data(), out + t * N);
                }
            }
        }
    });
}

}  // namespace sigmora
