#include "core/operators.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/parallel.hpp"
#include "core/rank.hpp"

namespace sigmora::ops {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Columns gathered at a time from a table whose columns are not contiguous: one cache line
// of a row-major table serves all of them.
constexpr std::size_t kColumnBlock = 8;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Calls fn(x column, y column or null, output column) for blocks of up to kColumnBlock columns,
// the blocks split over the threads in a fixed partition. Each column pointer addresses T
// contiguous doubles: the table's own memory when its columns are contiguous, otherwise a
// per-thread copy; fn writes T contiguous doubles of a per-thread buffer, which is then
// written to the row-major T x N `out` a block row at a time (kColumnBlock doubles of a
// row share a cache line or two).
template <class Fn>
void for_each_column_block(const StridedTable* const* tables, std::size_t n_tables, double* out, const Fn& fn) {
    const StridedTable& first = *tables[0];
    const std::size_t T = first.rows, N = first.cols;
    if (T == 0 || N == 0) return;
    const std::size_t n_blocks = (N + kColumnBlock - 1) / kColumnBlock;
    parallel_for(n_blocks, [&](std::size_t b0, std::size_t b1) {
        std::vector<double> copy[2];
        std::vector<double> result(kColumnBlock * T);
        for (std::size_t b = b0; b < b1; ++b) {
            const std::size_t j0 = b * kColumnBlock, nb = std::min(kColumnBlock, N - j0);
            const double* cols[2][kColumnBlock];
            for (std::size_t k = 0; k < n_tables; ++k) {
                const StridedTable& x = *tables[k];
                if (x.row_stride == 1 || T == 1) {
                    for (std::size_t c = 0; c < nb; ++c)
                        cols[k][c] = x.data + static_cast<std::ptrdiff_t>(j0 + c) * x.col_stride;
                } else {
                    copy[k].resize(nb * T);
                    double* dst = copy[k].data();
                    for (std::size_t t = 0; t < T; ++t) {
                        const double* row = x.data + static_cast<std::ptrdiff_t>(t) * x.row_stride +
                                            static_cast<std::ptrdiff_t>(j0) * x.col_stride;
                        for (std::size_t c = 0; c < nb; ++c) dst[c * T + t] = row[static_cast<std::ptrdiff_t>(c) * x.col_stride];
                    }
                    for (std::size_t c = 0; c < nb; ++c) cols[k][c] = dst + c * T;
                }
            }
            for (std::size_t c = 0; c < nb; ++c)
                fn(cols[0][c], n_tables > 1 ? cols[1][c] : nullptr, result.data() + c * T);
            for (std::size_t t = 0; t < T; ++t) {
                double* row = out + t * N + j0;
                for (std::size_t c = 0; c < nb; ++c) row[c] = result[c * T + t];
            }
        }
    });
}

// Per-column scratch kept by each thread between columns.
struct Scratch {
    std::vector<std::size_t> missing;  // missing[t] = missing values among rows < t
    std::vector<std::size_t> changes;  // changes[t] = rows u < t, u >= 1, whose value differs from row u - 1
    std::vector<double> a, b, c;
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Prefix counts of missing rows (x or, when given, y missing). Infinities count as missing, as
// pandas' rolling windows take them.
void count_missing(const double* x, const double* y, std::size_t T, std::vector<std::size_t>& missing) {
    missing.resize(T + 1);
    missing[0] = 0;
    for (std::size_t t = 0; t < T; ++t)
        missing[t + 1] = missing[t] + ((!std::isfinite(x[t]) || (y && !std::isfinite(y[t]))) ? 1 : 0);
}

// Prefix counts of value changes between consecutive rows: the window [s, t] is constant when
// changes[t + 1] == changes[s + 1].
void count_changes(const double* x, std::size_t T, std::vector<std::size_t>& changes) {
    changes.resize(T + 1);
    changes[0] = 0;
    if (T > 0) changes[1] = 0;
    for (std::size_t t = 1; t < T; ++t) changes[t + 1] = changes[t] + (x[t] != x[t - 1] ? 1 : 0);
}

inline bool window_missing(const std::vector<std::size_t>& missing, std::size_t s, std::size_t t) {
    return missing[t + 1] != missing[s];
}

inline bool window_constant(const std::vector<std::size_t>& changes, std::size_t s, std::size_t t) {
    return changes[t + 1] == changes[s + 1];
}

// Windows of d rows as a suffix of one block plus a prefix of the next (blocks of d rows,
// the last one ending on the last row). M supplies:
//   Acc identity(); void reference(bt) (called before each block);
//   Acc lift(p); Acc combine(earlier, later); double finish(acc, s, t).
// Windows reaching before row 0 or holding a missing row give NaN.
template <class M>
void block_windows(M& m, std::size_t T, std::size_t d, const std::vector<std::size_t>& missing,
                   std::vector<typename M::Acc>& suffix, double* out) {
    using Acc = typename M::Acc;
    for (std::size_t t = 0; t < std::min(T, d - 1); ++t) out[t] = kNaN;
    if (T < d) return;
    suffix.resize(d);
    for (std::size_t bt = T % d; bt < T; bt += d) {
        m.reference(bt);
        const std::size_t lo = bt >= d ? bt - d : 0;
        Acc acc = m.identity();
        for (std::size_t p = bt; p > lo; --p) {
            acc = m.combine(m.lift(p - 1), acc);
            suffix[p - 1 - lo] = acc;
        }
        Acc pre = m.identity();
        for (std::size_t t = bt; t < bt + d; ++t) {
            pre = m.combine(pre, m.lift(t));
            if (t + 1 < d) continue;
            const std::size_t s = t + 1 - d;
            if (window_missing(missing, s, t)) {
                out[t] = kNaN;
                continue;
            }
            out[t] = m.finish(s < bt ? m.combine(suffix[s - lo], pre) : pre, s, t);
        }
    }
}

// ----------------------------------------------------------------------------- monoids

struct Located {
    double v;
    std::size_t at;
};

// Position of the window's largest (smallest) value, 1 for the oldest row and d for the
// newest; the oldest of equal extremes wins.
template <bool kMax>
struct ArgExtremeM {
    const double* x;
    using Acc = Located;
    void reference(std::size_t) {}
    Acc identity() const { return {0.0, kNone}; }
    Acc lift(std::size_t p) const { return {x[p], p}; }
    Acc combine(Acc a, Acc b) const {
        if (a.at == kNone) return b;
        if (b.at == kNone) return a;
        return (kMax ? b.v > a.v : b.v < a.v) ? b : a;
    }
    double finish(Acc a, std::size_t s, std::size_t) const { return static_cast<double>(a.at - s + 1); }
};

// ----------------------------------------------------------------------------- O(T d) kernels

// acc[t] = sum over lags i of weight[i] * x[t - i], for t >= d - 1 (newest lag first).
void weighted_lags(const double* x, std::size_t T, std::size_t d, const double* weight, std::vector<double>& acc) {
    acc.assign(T, 0.0);
    for (std::size_t i = 0; i < d; ++i) {
        const double w = weight[i];
        for (std::size_t t = d - 1; t < T; ++t) acc[t] += w * x[t - i];
    }
}

// Least squares of the window's values on time 1 .. d (oldest to newest).
void regression_column(TsOp op, const double* x, std::size_t T, std::size_t d, Scratch& s, double* out) {
    const double n = static_cast<double>(d);
    const double mid = (n + 1.0) / 2.0;
    const double suu = n * (n * n - 1.0) / 12.0;  // sum of (u - mid)^2
    std::vector<double> centred(d), ones(d, 1.0);
    for (std::size_t i = 0; i < d; ++i) centred[i] = (n - static_cast<double>(i)) - mid;
    weighted_lags(x, T, d, centred.data(), s.a);  // sum of (u - mid) * y
    if (op != TsOp::Slope) weighted_lags(x, T, d, ones.data(), s.b);
    if (op == TsOp::Rsquare) {
        // sum of (y - mean)^2 about each window's own mean
        std::vector<double>& syy = s.c;
        syy.assign(T, 0.0);
        for (std::size_t t = d - 1; t < T; ++t) s.b[t] /= n;  // the window means (Rsquare uses no sums)
        for (std::size_t i = 0; i < d; ++i)
            for (std::size_t t = d - 1; t < T; ++t) {
                const double e = x[t - i] - s.b[t];
                syy[t] += e * e;
            }
    }
    for (std::size_t t = 0; t < T; ++t) {
        if (d < 2 || t + 1 < d || window_missing(s.missing, t + 1 - d, t)) {
            out[t] = kNaN;
            continue;
        }
        const double slope = s.a[t] / suu;
        if (op == TsOp::Slope) {
            out[t] = slope;
        } else if (op == TsOp::Resid) {
            out[t] = x[t] - (s.b[t] / n + slope * (n - mid));
        } else if (window_constant(s.changes, t + 1 - d, t) || !(s.c[t] > 0.0)) {
            out[t] = kNaN;
        } else {
            out[t] = std::clamp((s.a[t] * s.a[t]) / (suu * s.c[t]), 0.0, 1.0);
        }
    }
}

// ----------------------------------------------------------------------------- row-major kernels
//
// The same windows computed a chunk of columns at a time, row after row: every step is a loop
// over the chunk's contiguous cells of one row, which the compiler vectorises, and nothing is
// transposed. The windows are those of block_windows above (a suffix of one block of d rows
// aligned on the last row plus a prefix of the next), each cell's sums taken in the same order
// as a per-column pass would take them, so the chunk width never changes a bit. Missing values and
// value changes are counted per column over the window as it slides (integer counts: exact).

// A chunk of up to `lanes` columns [j0, j0 + n) of the T x N tables x (and y), readable as
// row-major rows of stride ld: the tables' own memory when their rows are contiguous,
// otherwise a copy of the chunk.
struct RowChunk {
    const double* x = nullptr;
    const double* y = nullptr;
    std::ptrdiff_t ld = 0;
    std::size_t n = 0;
    const double* xr(std::size_t t) const { return x + static_cast<std::ptrdiff_t>(t) * ld; }
    const double* yr(std::size_t t) const { return y + static_cast<std::ptrdiff_t>(t) * ld; }
};

inline const double* row_at(const double* base, const RowChunk& c, std::size_t t) {
    return base + static_cast<std::ptrdiff_t>(t) * c.ld;
}

RowChunk row_chunk(const StridedTable& x, const StridedTable* y, std::size_t j0, std::size_t n,
                   std::vector<double>& copy_x, std::vector<double>& copy_y) {
    RowChunk c;
    c.n = n;
    const StridedTable* tables[2] = {&x, y};
    const double** dst[2] = {&c.x, &c.y};
    std::vector<double>* copies[2] = {&copy_x, &copy_y};
    bool direct = true;
    for (int k = 0; k < 2; ++k)
        if (tables[k] && !(tables[k]->col_stride == 1 || tables[k]->cols == 1)) direct = false;
    // Rows of both tables must share one stride to be read in place.
    if (direct && y && y->row_stride != x.row_stride) direct = false;
    if (direct) {
        c.ld = x.row_stride;
        for (int k = 0; k < 2; ++k)
            if (tables[k]) *dst[k] = tables[k]->data + j0;
        if (x.rows <= 1) c.ld = 0;
        return c;
    }
    c.ld = static_cast<std::ptrdiff_t>(n);
    for (int k = 0; k < 2; ++k) {
        if (!tables[k]) continue;
        const StridedTable& t = *tables[k];
        copies[k]->resize(t.rows * n);
        double* out = copies[k]->data();
        // In tiles of 32 rows: a column-major table's column is read 32 contiguous cells at a
        // time, and the copy's 32 rows written meanwhile stay few enough for the TLB.
        constexpr std::size_t kTile = 32;
        for (std::size_t r0 = 0; r0 < t.rows; r0 += kTile) {
            const std::size_t r1 = std::min(t.rows, r0 + kTile);
            for (std::size_t c2 = 0; c2 < n; ++c2) {
                const double* col = t.data + static_cast<std::ptrdiff_t>(j0 + c2) * t.col_stride;
                for (std::size_t r = r0; r < r1; ++r) out[r * n + c2] = col[static_cast<std::ptrdiff_t>(r) * t.row_stride];
            }
        }
        *dst[k] = out;
    }
    return c;
}

// NaN where `missing` is not 0, else v. Both arguments are loaded before the select, which
// keeps the loops that call it free of branches (and vectorised).
inline double nan_where(double missing, double v) { return missing != 0.0 ? kNaN : v; }

// 1 where a value is missing (NaN or infinite), else 0; branch-free, so loops of it vectorise.
inline double missing_flag(double v) { return std::fabs(v) <= std::numeric_limits<double>::max() ? 0.0 : 1.0; }

// Per-column counts over the window of the last d rows: rows with a missing value (x, or y
// when given, not finite) and value changes between consecutive rows of the window. Counts
// are small integers held in doubles (exact), which keeps the loops in one vector type.
struct WindowCounts {
    std::vector<double> missing, changes_x, changes_y;
    bool track_changes = false;

    void reset(std::size_t n, bool changes, bool pair) {
        missing.assign(n, 0.0);
        track_changes = changes;
        changes_x.assign(changes ? n : 0, 0.0);
        changes_y.assign(changes && pair ? n : 0, 0.0);
    }
    // Brings the counts from the window ending at row t - 1 to the one ending at row t.
    void advance(const RowChunk& c, std::size_t t, std::size_t d) {
        double* m = missing.data();
        add_missing(c, t, m, 1.0);
        if (t >= d) add_missing(c, t - d, m, -1.0);
        if (!track_changes) return;
        // The window [t + 1 - d, t] holds the changes at rows u in [t + 2 - d, t].
        if (t >= 1) add_change(c.x, c, t, changes_x.data(), 1.0);
        if (t + 1 >= d + 1) add_change(c.x, c, t + 1 - d, changes_x.data(), -1.0);
        if (c.y && !changes_y.empty()) {
            if (t >= 1) add_change(c.y, c, t, changes_y.data(), 1.0);
            if (t + 1 >= d + 1) add_change(c.y, c, t + 1 - d, changes_y.data(), -1.0);
        }
    }

private:
    static void add_missing(const RowChunk& c, std::size_t t, double* m, double sign) {
        const double* x = c.xr(t);
        if (c.y) {
            const double* y = c.yr(t);
            for (std::size_t j = 0; j < c.n; ++j) m[j] += sign * std::max(missing_flag(x[j]), missing_flag(y[j]));
        } else {
            for (std::size_t j = 0; j < c.n; ++j) m[j] += sign * missing_flag(x[j]);
        }
    }
    // The change at row u (between rows u - 1 and u; NaN differs from everything).
    static void add_change(const double* base, const RowChunk& c, std::size_t u, double* ch, double sign) {
        const double* now = row_at(base, c, u);
        const double* before = row_at(base, c, u - 1);
        for (std::size_t j = 0; j < c.n; ++j) ch[j] += now[j] != before[j] ? sign : 0.0;
    }
};

// The opening of a row kernel's step at row t: brings the counts to the window ending at row t
// and, while that window reaches before row 0 (t + 1 < d), writes NaN to the chunk's cells of
// the output row. Returns true for such a row (nothing more to compute there).
inline bool warm_up_row(WindowCounts& counts, const RowChunk& c, std::size_t t, std::size_t d, double* out_row) {
    counts.advance(c, t, d);
    if (t + 1 >= d) return false;
    std::fill(out_row, out_row + c.n, kNaN);
    return true;
}

// Windows of d rows as a suffix of one block plus a prefix of the next, as block_windows,
// over a chunk of columns. M supplies, over K accumulators of n lanes each (acc[k * n + j]):
//   void identity(double* acc); void reference(bt);
//   void lift_before(p, double* acc)  acc = combine(lift(p), acc)
//   void lift_after(t, double* acc)   acc = combine(acc, lift(t))
//   void combine(const double* earlier, const double* later, double* into)
//   void finish(const double* acc, s, t, const WindowCounts&, double* out_row)
template <class M>
void block_windows_rows(M& m, const RowChunk& c, std::size_t T, std::size_t d, WindowCounts& counts,
                        std::vector<double>& suffix, double* out, std::size_t out_ld) {
    const std::size_t n = c.n, K = M::K;
    if (T < d) {
        for (std::size_t t = 0; t < T; ++t) std::fill(out + t * out_ld, out + t * out_ld + n, kNaN);
        return;
    }
    // Rows before the first block: all of them (t < T % d <= d - 1) are warm-up rows.
    for (std::size_t t = 0; t < T % d; ++t) warm_up_row(counts, c, t, d, out + t * out_ld);
    suffix.resize(d * K * n);
    std::vector<double> acc(K * n), pre(K * n), both(K * n);
    for (std::size_t bt = T % d; bt < T; bt += d) {
        m.reference(bt);
        const std::size_t lo = bt >= d ? bt - d : 0;
        m.identity(acc.data());
        for (std::size_t p = bt; p > lo; --p) {
            m.lift_before(p - 1, acc.data());
            std::copy(acc.begin(), acc.end(), suffix.begin() + (p - 1 - lo) * K * n);
        }
        m.identity(pre.data());
        for (std::size_t t = bt; t < bt + d; ++t) {
            const bool warm_up = warm_up_row(counts, c, t, d, out + t * out_ld);
            m.lift_after(t, pre.data());
            if (warm_up) continue;
            const std::size_t s = t + 1 - d;
            const double* window = pre.data();
            if (s < bt) {
                m.combine(suffix.data() + (s - lo) * K * n, pre.data(), both.data());
                window = both.data();
            }
            m.finish(window, s, t, counts, out + t * out_ld);
        }
    }
}

struct SumRows {
    static constexpr std::size_t K = 1;
    const RowChunk& c;
    std::size_t d;
    bool mean;
    void reference(std::size_t) {}
    void identity(double* a) const { std::fill(a, a + c.n, 0.0); }
    void lift_before(std::size_t p, double* a) const {
        const double* x = c.xr(p);
        for (std::size_t j = 0; j < c.n; ++j) a[j] = x[j] + a[j];
    }
    void lift_after(std::size_t t, double* a) const {
        const double* x = c.xr(t);
        for (std::size_t j = 0; j < c.n; ++j) a[j] = a[j] + x[j];
    }
    void combine(const double* e, const double* l, double* into) const {
        for (std::size_t j = 0; j < c.n; ++j) into[j] = e[j] + l[j];
    }
    void finish(const double* a, std::size_t, std::size_t t, const WindowCounts& w, double* o) const {
        const double* x = c.xr(t);
        const double n = static_cast<double>(d);
        if (!mean) {
            for (std::size_t j = 0; j < c.n; ++j) o[j] = nan_where(w.missing[j], a[j]);
            return;
        }
        // The division runs in every lane, before the selects: a division the compiler would
        // have to hoist out of a condition keeps the loop scalar.
        for (std::size_t j = 0; j < c.n; ++j) {
            const double mean_of_sum = a[j] / n, today = x[j], changes = w.changes_x[j];
            o[j] = nan_where(w.missing[j], changes == 0.0 ? today : mean_of_sum);
        }
    }
};

template <bool kMax>
struct ExtremeRows {
    static constexpr std::size_t K = 1;
    const RowChunk& c;
    static double pick(double a, double b) { return kMax ? (b > a ? b : a) : (b < a ? b : a); }
    void reference(std::size_t) {}
    void identity(double* a) const {
        std::fill(a, a + c.n, kMax ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity());
    }
    void lift_before(std::size_t p, double* a) const {
        const double* x = c.xr(p);
        for (std::size_t j = 0; j < c.n; ++j) a[j] = pick(x[j], a[j]);
    }
    void lift_after(std::size_t t, double* a) const {
        const double* x = c.xr(t);
        for (std::size_t j = 0; j < c.n; ++j) a[j] = pick(a[j], x[j]);
    }
    void combine(const double* e, const double* l, double* into) const {
        for (std::size_t j = 0; j < c.n; ++j) into[j] = pick(e[j], l[j]);
    }
    void finish(const double* a, std::size_t, std::size_t, const WindowCounts& w, double* o) const {
        for (std::size_t j = 0; j < c.n; ++j) o[j] = nan_where(w.missing[j], a[j]);
    }
};

struct ProductRows {
    static constexpr std::size_t K = 1;
    const RowChunk& c;
    void reference(std::size_t) {}
    void identity(double* a) const { std::fill(a, a + c.n, 1.0); }
    void lift_before(std::size_t p, double* a) const {
        const double* x = c.xr(p);
        for (std::size_t j = 0; j < c.n; ++j) a[j] = x[j] * a[j];
    }
    void lift_after(std::size_t t, double* a) const {
        const double* x = c.xr(t);
        for (std::size_t j = 0; j < c.n; ++j) a[j] = a[j] * x[j];
    }
    void combine(const double* e, const double* l, double* into) const {
        for (std::size_t j = 0; j < c.n; ++j) into[j] = e[j] * l[j];
    }
    void finish(const double* a, std::size_t, std::size_t, const WindowCounts& w, double* o) const {
        for (std::size_t j = 0; j < c.n; ++j) o[j] = nan_where(w.missing[j], a[j]);
    }
};

// The reference value of each column for the block [bt, bt + d): its first present value,
// else the first present value of the d rows before it, else 0.
void block_references(const double* base, const RowChunk& c, std::size_t bt, std::size_t d, std::size_t T,
                      double* ref) {
    for (std::size_t j = 0; j < c.n; ++j) {
        double r = 0.0;
        bool found = false;
        for (std::size_t t = bt; t < std::min(T, bt + d) && !found; ++t) {
            const double v = row_at(base, c, t)[j];
            if (std::isfinite(v)) r = v, found = true;
        }
        for (std::size_t t = bt; t > (bt >= d ? bt - d : 0) && !found; --t) {
            const double v = row_at(base, c, t - 1)[j];
            if (std::isfinite(v)) r = v, found = true;
        }
        ref[j] = r;
    }
}

struct StdRows {
    static constexpr std::size_t K = 2;
    const RowChunk& c;
    std::size_t T, d;
    bool zscore;
    std::vector<double> ref;
    void reference(std::size_t bt) {
        ref.resize(c.n);
        block_references(c.x, c, bt, d, T, ref.data());
    }
    void identity(double* a) const { std::fill(a, a + 2 * c.n, 0.0); }
    void lift_before(std::size_t p, double* a) const {
        const double* x = c.xr(p);
        double *s1 = a, *s2 = a + c.n;
        for (std::size_t j = 0; j < c.n; ++j) {
            const double v = x[j] - ref[j];
            s1[j] = v + s1[j];
            s2[j] = v * v + s2[j];
        }
    }
    void lift_after(std::size_t t, double* a) const {
        const double* x = c.xr(t);
        double *s1 = a, *s2 = a + c.n;
        for (std::size_t j = 0; j < c.n; ++j) {
            const double v = x[j] - ref[j];
            s1[j] = s1[j] + v;
            s2[j] = s2[j] + v * v;
        }
    }
    void combine(const double* e, const double* l, double* into) const {
        for (std::size_t j = 0; j < 2 * c.n; ++j) into[j] = e[j] + l[j];
    }
    void finish(const double* a, std::size_t, std::size_t t, const WindowCounts& w, double* o) const {
        const double* x = c.xr(t);
        const double *s1 = a, *s2 = a + c.n;
        const double n = static_cast<double>(d);
        if (d < 2) {
            for (std::size_t j = 0; j < c.n; ++j) o[j] = kNaN;
            return;
        }
        const double constant = zscore ? kNaN : 0.0;  // a window of equal values
        // Reciprocals of the window's constants: a division a cell fewer (or two, for the
        // standard deviation alone), for a rounding or two more.
        const double inv_n = 1.0 / n, inv_scale = 1.0 / (n * (n - 1.0));
        for (std::size_t j = 0; j < c.n; ++j) {
            const double var = (n * s2[j] - s1[j] * s1[j]) * inv_scale;
            const double sd = std::sqrt(var < 0.0 ? 0.0 : var);
            const double z = (x[j] - (ref[j] + s1[j] * inv_n)) / sd;
            const double changes = w.changes_x[j], missing = w.missing[j];
            double v = zscore ? (sd > 0.0 ? z : kNaN) : sd;
            v = changes == 0.0 ? constant : v;
            o[j] = nan_where(missing, v);
        }
    }
};

// Adds a row's centred terms to the five sums of a pair of columns. Ten streams: too many for
// the compiler to check for overlaps, so the parameters say they do not (qualifiers on
// parameters survive inlining; on local pointers they did not, and the loop stayed scalar).
inline void lift_pair(const double* __restrict x, const double* __restrict y, const double* __restrict cx,
                      const double* __restrict cy, double* __restrict sx, double* __restrict sy,
                      double* __restrict sxx, double* __restrict syy, double* __restrict sxy, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        const double u = x[j] - cx[j], v = y[j] - cy[j];
        sx[j] += u;
        sy[j] += v;
        sxx[j] += u * u;
        syy[j] += v * v;
        sxy[j] += u * v;
    }
}

struct PairRows {
    static constexpr std::size_t K = 5;
    const RowChunk& c;
    std::size_t T, d;
    bool corr;
    std::vector<double> rx, ry;
    void reference(std::size_t bt) {
        rx.resize(c.n);
        ry.resize(c.n);
        block_references(c.x, c, bt, d, T, rx.data());
        block_references(c.y, c, bt, d, T, ry.data());
    }
    void identity(double* a) const { std::fill(a, a + 5 * c.n, 0.0); }
    // Adds row r's centred terms to the five sums (addition commutes bit for bit, so the row
    // before the window and the row after it share this).
    void lift(std::size_t r, double* a) const {
        const std::size_t n = c.n;
        lift_pair(c.xr(r), c.yr(r), rx.data(), ry.data(), a, a + n, a + 2 * n, a + 3 * n, a + 4 * n, n);
    }
    void lift_before(std::size_t p, double* a) const { lift(p, a); }
    void lift_after(std::size_t t, double* a) const { lift(t, a); }
    void combine(const double* e, const double* l, double* into) const {
        for (std::size_t j = 0; j < 5 * c.n; ++j) into[j] = e[j] + l[j];
    }
    void finish(const double* a, std::size_t s, std::size_t t, const WindowCounts& w, double* o) const {
        const std::size_t n = c.n;
        const double *sx = a, *sy = a + n, *sxx = a + 2 * n, *syy = a + 3 * n, *sxy = a + 4 * n;
        const double *xt = c.xr(t), *yt = c.yr(t), *xs = c.xr(s), *ys = c.yr(s);
        const double m = static_cast<double>(d);
        // Lane-uniform cases outside the loops; within them every lane computes every candidate
        // and then picks, so that the loops have no branches and vectorise (the values they
        // discard may be NaN or infinite).
        if (d < 2) {
            for (std::size_t j = 0; j < n; ++j) o[j] = kNaN;
            return;
        }
        if (!corr) {
            const double inv_scale = 1.0 / (m * (m - 1.0));  // no division a cell
            for (std::size_t j = 0; j < n; ++j) {
                const double cov = (m * sxy[j] - sx[j] * sy[j]) * inv_scale;
                const double cx = w.changes_x[j], cy = w.changes_y[j];
                o[j] = nan_where(w.missing[j], (cx == 0.0) | (cy == 0.0) ? 0.0 : cov);
            }
            return;
        }
        if (d == 2) {
            // Two points are perfectly correlated: the sign, exactly (the formula would round).
            for (std::size_t j = 0; j < n; ++j) {
                const bool same = (xt[j] - xs[j] > 0.0) == (yt[j] - ys[j] > 0.0);
                const double cx = w.changes_x[j], cy = w.changes_y[j];
                o[j] = nan_where(w.missing[j], (cx == 0.0) | (cy == 0.0) ? kNaN : (same ? 1.0 : -1.0));
            }
            return;
        }
        // The sums scaled by m: one division and one square root a cell, not four divisions.
        for (std::size_t j = 0; j < n; ++j) {
            const double vx = m * sxx[j] - sx[j] * sx[j], vy = m * syy[j] - sy[j] * sy[j];
            const double r = (m * sxy[j] - sx[j] * sy[j]) / std::sqrt(vx * vy);
            const double above = r < -1.0 ? -1.0 : r;
            const double clipped = 1.0 < above ? 1.0 : above;
            const double cx = w.changes_x[j], cy = w.changes_y[j], missing = w.missing[j];
            const bool undefined = (cx == 0.0) | (cy == 0.0) | !(vx > 0.0) | !(vy > 0.0) | (missing != 0.0);
            o[j] = undefined ? kNaN : clipped;
        }
    }
};

// Rank of today's value in its window (ties averaged) over d, counted row against row.
void rank_rows(const RowChunk& c, std::size_t T, std::size_t d, WindowCounts& counts, double* out, std::size_t out_ld) {
    const std::size_t n = c.n;
    std::vector<double> twice(n);
    const double m = static_cast<double>(d);
    for (std::size_t t = 0; t < T; ++t) {
        double* o = out + t * out_ld;
        if (warm_up_row(counts, c, t, d, o)) continue;
        const double* now = c.xr(t);
        std::fill(twice.begin(), twice.end(), 2.0);
        for (std::size_t i = 1; i < d; ++i) {
            const double* v = c.xr(t - i);
            for (std::size_t j = 0; j < n; ++j) twice[j] += (v[j] < now[j] ? 2.0 : 0.0) + (v[j] == now[j] ? 1.0 : 0.0);
        }
        for (std::size_t j = 0; j < n; ++j) o[j] = nan_where(counts.missing[j], (twice[j] * 0.5) / m);
    }
}

// Sum over lags i of weight[i] * x[t - i], newest lag first, as weighted_lags.
void weighted_rows(const RowChunk& c, std::size_t T, std::size_t d, const std::vector<double>& weight,
                   WindowCounts& counts, double* out, std::size_t out_ld) {
    const std::size_t n = c.n;
    std::vector<double> acc(n);
    for (std::size_t t = 0; t < T; ++t) {
        double* o = out + t * out_ld;
        if (warm_up_row(counts, c, t, d, o)) continue;
        std::fill(acc.begin(), acc.end(), 0.0);
        for (std::size_t i = 0; i < d; ++i) {
            const double w = weight[i];
            const double* v = c.xr(t - i);
            for (std::size_t j = 0; j < n; ++j) acc[j] += w * v[j];
        }
        for (std::size_t j = 0; j < n; ++j) o[j] = nan_where(counts.missing[j], acc[j]);
    }
}

// Columns per chunk: the suffix sums of a block (d rows x K accumulators) stay within about
// 256 KB. A function of the operation and the window only, never of the thread count.
std::size_t chunk_lanes(std::size_t d, std::size_t K) {
    const std::size_t per_lane = std::max<std::size_t>(1, d * K) * sizeof(double);
    std::size_t lanes = (std::size_t{256} << 10) / per_lane;
    lanes = std::clamp<std::size_t>(lanes, 16, 512);
    return lanes - lanes % 8;
}

// Calls body(chunk, out + j0) for chunks of `lanes` columns [j0, j0 + n), the chunks split over
// the threads in a fixed partition; out is row-major T x N.
template <class Body>
void for_each_row_chunk(const StridedTable& x, const StridedTable* y, std::size_t lanes, double* out,
                        const Body& body) {
    const std::size_t N = x.cols;
    if (x.rows == 0 || N == 0) return;
    const std::size_t n_chunks = (N + lanes - 1) / lanes;
    parallel_for(n_chunks, [&](std::size_t b0, std::size_t b1) {
        std::vector<double> copy_x, copy_y;
        for (std::size_t b = b0; b < b1; ++b) {
            const std::size_t j0 = b * lanes, n = std::min(lanes, N - j0);
            const RowChunk c = row_chunk(x, y, j0, n, copy_x, copy_y);
            body(c, out + j0);
        }
    });
}

bool on_rows(TsOp op) {
    switch (op) {
        case TsOp::Sum:
        case TsOp::Mean:
        case TsOp::Std:
        case TsOp::Zscore:
        case TsOp::Min:
        case TsOp::Max:
        case TsOp::Product:
        case TsOp::Rank:
        case TsOp::DecayLinear:
        case TsOp::Ema:
            return true;
        default:
            return false;
    }
}

// The row kernels' loops work lane by lane, one column per lane, so that wider vectors do
// the same operations on more columns at once: the same bits, in fewer instructions. Where the
// compiler can, these two functions are built three times, for AVX-512, AVX2 and any x86-64,
// and the loader picks the widest the processor runs (everything they call is compiled into
// each copy).
// That needs glibc's indirect functions; the sanitizer build keeps one plain copy.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute) && !defined(__SANITIZE_ADDRESS__)
#if __has_attribute(target_clones) && __has_attribute(flatten)
#define SIGMORA_LANE_CLONES __attribute__((target_clones("avx512f", "avx2", "default"), flatten))
#endif
#endif
#ifndef SIGMORA_LANE_CLONES
#define SIGMORA_LANE_CLONES
#endif

SIGMORA_LANE_CLONES
void unary_chunk(TsOp op, const RowChunk& c, std::size_t T, std::size_t N, std::size_t d,
                 const std::vector<double>& weight, double* o) {
    WindowCounts counts;
    counts.reset(c.n, op == TsOp::Mean || op == TsOp::Std || op == TsOp::Zscore, false);
    std::vector<double> suffix;
    switch (op) {
        case TsOp::Sum:
        case TsOp::Mean: {
            SumRows m{c, d, op == TsOp::Mean};
            block_windows_rows(m, c, T, d, counts, suffix, o, N);
            break;
        }
        case TsOp::Std:
        case TsOp::Zscore: {
            StdRows m{c, T, d, op == TsOp::Zscore, {}};
            block_windows_rows(m, c, T, d, counts, suffix, o, N);
            break;
        }
        case TsOp::Min: {
            ExtremeRows<false> m{c};
            block_windows_rows(m, c, T, d, counts, suffix, o, N);
            break;
        }
        case TsOp::Max: {
            ExtremeRows<true> m{c};
            block_windows_rows(m, c, T, d, counts, suffix, o, N);
            break;
        }
        case TsOp::Product: {
            ProductRows m{c};
            block_windows_rows(m, c, T, d, counts, suffix, o, N);
            break;
        }
        case TsOp::Rank:
            rank_rows(c, T, d, counts, o, N);
            break;
        case TsOp::DecayLinear:
        case TsOp::Ema:
            weighted_rows(c, T, d, weight, counts, o, N);
            break;
        default:
            throw std::logic_error("ts_unary_rows: not a row-wise operation");
    }
}

SIGMORA_LANE_CLONES
void pair_chunk(Ts2Op op, const RowChunk& c, std::size_t T, std::size_t N, std::size_t d, double* o) {
    WindowCounts counts;
    counts.reset(c.n, true, true);
    std::vector<double> suffix;
    PairRows m{c, T, d, op == Ts2Op::Corr, {}, {}};
    block_windows_rows(m, c, T, d, counts, suffix, o, N);
}

void ts_unary_rows(TsOp op, const StridedTable& x, std::size_t d, const std::vector<double>& weight, double* out) {
    const std::size_t T = x.rows, N = x.cols;
    const std::size_t K = (op == TsOp::Std || op == TsOp::Zscore) ? 2 : 1;
    const bool windowed = !(op == TsOp::Rank || op == TsOp::DecayLinear || op == TsOp::Ema);
    const std::size_t lanes = chunk_lanes(windowed ? d : 1, K);
    for_each_row_chunk(x, nullptr, lanes, out, [&](const RowChunk& c, double* o) {
        unary_chunk(op, c, T, N, d, weight, o);
    });
}

void check_window(std::size_t d) {
    if (d < 1) throw std::invalid_argument("d: expect a window of at least 1 row, got 0");
}

}  // namespace

void ts_unary(TsOp op, const StridedTable& x, std::size_t d, double param, double* out) {
    check_window(d);
    if (op == TsOp::Ema && !(param > 0.0 && param <= 1.0))
        throw std::invalid_argument("alpha: expect 0 < alpha <= 1, got " + std::to_string(param));
    std::vector<double> weight;
    if (op == TsOp::DecayLinear || op == TsOp::Ema) {
        // Lag 0 (the newest row) first.
        weight.resize(d);
        double total = 0.0;
        for (std::size_t i = 0; i < d; ++i) {
            weight[i] = op == TsOp::DecayLinear ? static_cast<double>(d - i) : std::pow(1.0 - param, static_cast<double>(i));
            total += weight[i];
        }
        for (double& w : weight) w /= total;
    }
    if (on_rows(op)) {
        ts_unary_rows(op, x, d, weight, out);
        return;
    }
    const StridedTable* tables[1] = {&x};
    const std::size_t T = x.rows;
    for_each_column_block(tables, 1, out, [&](const double* col, const double*, double* o) {
        Scratch& s = scratch();
        count_missing(col, nullptr, T, s.missing);
        switch (op) {
            case TsOp::ArgMin: {
                ArgExtremeM<false> m{col};
                thread_local std::vector<Located> suffix;
                block_windows(m, T, d, s.missing, suffix, o);
                break;
            }
            case TsOp::ArgMax: {
                ArgExtremeM<true> m{col};
                thread_local std::vector<Located> suffix;
                block_windows(m, T, d, s.missing, suffix, o);
                break;
            }
            case TsOp::Slope:
            case TsOp::Rsquare:
            case TsOp::Resid:
                count_changes(col, T, s.changes);
                regression_column(op, col, T, d, s, o);
                break;
            default:  // the others run on rows (on_rows)
                throw std::logic_error("ts_unary: operation without a column kernel");
        }
    });
}

void ts_binary(Ts2Op op, const StridedTable& x, const StridedTable& y, std::size_t d, double* out) {
    check_window(d);
    if (x.rows != y.rows || x.cols != y.cols) throw std::invalid_argument("x and y: expect the same shape");
    const std::size_t T = x.rows, N = x.cols;
    for_each_row_chunk(x, &y, chunk_lanes(d, 5), out, [&](const RowChunk& c, double* o) {
        pair_chunk(op, c, T, N, d, o);
    });
}

// ----------------------------------------------------------------------------- cross-section

namespace {

void cs_row(CsOp op, const double* x, std::size_t N, double param, double* out) {
    if (op == CsOp::Rank) {
        thread_local std::vector<std::uint32_t> order;
        sort_order(x, nullptr, N, order);
        for (std::size_t j = 0; j < N; ++j) out[j] = kNaN;
        const double n = static_cast<double>(order.size());
        // Every position of the order is kept: walk the runs of equal values directly, writing
        // each position's doubled rank; the division by n follows in one pass over the row,
        // which vectorises (a division per value inside the walk bounded the whole operator).
        std::size_t a = 0;
        const std::size_t m = order.size();
        while (a < m) {
            std::size_t b = a + 1;
            while (b < m && !(order[b] & kNewRun)) ++b;
            // ranks a + 1 .. b share their mean; doubled it is the integer a + 1 + b
            const double twice = static_cast<double>(a + 1 + b);
            for (std::size_t q = a; q < b; ++q) out[order[q] & ~kNewRun] = twice;
            a = b;
        }
        for (std::size_t j = 0; j < N; ++j) out[j] = (out[j] * 0.5) / n;
        return;
    }
    std::size_t n = 0;
    double sum = 0.0;
    for (std::size_t j = 0; j < N; ++j) {
        if (std::isnan(x[j])) continue;
        ++n;
        sum += op == CsOp::Scale ? std::fabs(x[j]) : x[j];
    }
    if (op == CsOp::Scale) {
        for (std::size_t j = 0; j < N; ++j) out[j] = n ? (x[j] / sum) * param : kNaN;
        return;
    }
    const double mean = n ? sum / static_cast<double>(n) : kNaN;
    if (op == CsOp::Demean) {
        for (std::size_t j = 0; j < N; ++j) out[j] = x[j] - mean;
        return;
    }
    // Zscore: sample standard deviation; a row of fewer than two values, or of equal values, is NaN.
    double ss = 0.0, first = kNaN;
    bool constant = true;
    for (std::size_t j = 0; j < N; ++j) {
        if (std::isnan(x[j])) continue;
        if (std::isnan(first)) first = x[j];
        constant = constant && x[j] == first;
        const double e = x[j] - mean;
        ss += e * e;
    }
    const double sd = n >= 2 ? std::sqrt(ss / static_cast<double>(n - 1)) : kNaN;
    for (std::size_t j = 0; j < N; ++j) out[j] = (constant || !(sd > 0.0)) ? kNaN : (x[j] - mean) / sd;
}

}  // namespace

void cs_unary(CsOp op, const StridedTable& x, double param, double* out) {
    const std::size_t N = x.cols;
    if (N >= kMaxRankPositions) throw std::invalid_argument("x: too many columns");
    for_each_row_block(x, [&](std::size_t r0, std::size_t n_rows, const double* const* rows) {
        for (std::size_t i = 0; i < n_rows; ++i) cs_row(op, rows[i], N, param, out + (r0 + i) * N);
    });
}

bool integral_group_codes(const StridedTable& labels, std::int32_t* codes, std::size_t& n_groups) {
    const std::size_t N = labels.cols;
    n_groups = 0;
    if (labels.rows == 0 || N == 0) return true;
    const std::size_t n_blocks = (labels.rows + kRowBlock - 1) / kRowBlock;
    // Per block of rows: the largest label + 1, or -1 for a label that is not a code. Each block
    // writes its own slot, so the outcome does not depend on the threads.
    std::vector<double> block_top(n_blocks, 0.0);
    for_each_row_block(labels, [&](std::size_t r0, std::size_t n_rows, const double* const* rows) {
        double top = 0.0;
        bool integral = true;
        for (std::size_t i = 0; i < n_rows; ++i) {
            const double* g = rows[i];
            std::int32_t* c = codes + (r0 + i) * N;
            for (std::size_t j = 0; j < N; ++j) {
                const double v = g[j];
                const bool present = std::fabs(v) <= std::numeric_limits<double>::max();
                const bool code = v >= 0.0 && v < kMaxGroupLabel && v == std::floor(v);
                integral = integral && (!present || code);
                c[j] = present && code ? static_cast<std::int32_t>(v) : -1;
                top = present && code && v + 1.0 > top ? v + 1.0 : top;
            }
        }
        block_top[r0 / kRowBlock] = integral ? top : -1.0;
    });
    double top = 0.0;
    for (double b : block_top) {
        if (b < 0.0) return false;
        top = std::max(top, b);
    }
    n_groups = static_cast<std::size_t>(top);
    return true;
}

void group_op(GroupOp op, const StridedTable& x, const std::int32_t* groups, std::size_t n_groups, double* out) {
    const std::size_t N = x.cols;
    if (N >= kMaxRankPositions) throw std::invalid_argument("x: too many columns");
    for_each_row_block(x, [&](std::size_t r0, std::size_t n_rows, const double* const* rows) {
        thread_local std::vector<double> sums;
        thread_local std::vector<std::size_t> counts, start;
        thread_local std::vector<std::uint32_t> order, sorted;
        for (std::size_t i = 0; i < n_rows; ++i) {
            const double* v = rows[i];
            const std::int32_t* g = groups + (r0 + i) * N;
            double* o = out + (r0 + i) * N;
            for (std::size_t j = 0; j < N; ++j) {
                if (g[j] >= 0 && static_cast<std::size_t>(g[j]) >= n_groups)
                    throw std::invalid_argument("groups: a group code is not below n_groups");
                o[j] = kNaN;
            }
            counts.assign(n_groups, 0);
            if (op == GroupOp::Neutralize) {
                sums.assign(n_groups, 0.0);
                for (std::size_t j = 0; j < N; ++j) {
                    if (g[j] < 0 || std::isnan(v[j])) continue;
                    sums[static_cast<std::size_t>(g[j])] += v[j];
                    ++counts[static_cast<std::size_t>(g[j])];
                }
                for (std::size_t j = 0; j < N; ++j) {
                    if (g[j] < 0 || std::isnan(v[j])) continue;
                    const std::size_t k = static_cast<std::size_t>(g[j]);
                    o[j] = v[j] - sums[k] / static_cast<double>(counts[k]);
                }
                continue;
            }
            // Rank: the row's sorted order, split by group (stable), then average ranks per group.
            sort_order(v, nullptr, N, order);
            for (std::uint32_t e : order) {
                const std::int32_t k = g[e & ~kNewRun];
                if (k >= 0) ++counts[static_cast<std::size_t>(k)];
            }
            start.assign(n_groups + 1, 0);
            for (std::size_t k = 0; k < n_groups; ++k) start[k + 1] = start[k] + counts[k];
            sorted.resize(start[n_groups]);
            for (std::uint32_t e : order) {
                const std::uint32_t pos = e & ~kNewRun;
                const std::int32_t k = g[pos];
                if (k >= 0) sorted[start[static_cast<std::size_t>(k)]++] = pos;
            }
            // start[k] now holds the end of group k's segment.
            std::size_t begin = 0;
            for (std::size_t k = 0; k < n_groups; ++k) {
                const std::size_t end = start[k];
                const double n = static_cast<double>(end - begin);
                std::size_t a = begin;
                while (a < end) {
                    std::size_t b = a + 1;
                    while (b < end && v[sorted[b]] == v[sorted[a]]) ++b;
                    // positions a .. b-1 (ranks a-begin+1 .. b-begin) share their mean
                    const double twice = static_cast<double>((a - begin + 1) + (b - begin));
                    for (std::size_t q = a; q < b; ++q) o[sorted[q]] = (twice * 0.5) / n;
                    a = b;
                }
                begin = end;
            }
        }
    });
}

}  // namespace sigmora::ops
