#include "core/prices.hpp"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <limits>

#include "core/parallel.hpp"

namespace sigmora {

namespace {

inline double at(const StridedTable& t, std::size_t r, std::size_t j) {
    return t.data[static_cast<std::ptrdiff_t>(r) * t.row_stride + static_cast<std::ptrdiff_t>(j) * t.col_stride];
}

// Columns per thread block below which splitting does not pay.
constexpr std::size_t kMinColumns = 64;

}  // namespace

PresentLines present_lines(const StridedTable& t) {
    std::vector<std::uint8_t> row_any(t.rows, 0), col_any(t.cols, 0);
    // One pass in memory order (a memory-bound scan: threads would not shorten it).
    const bool rows_outer = std::llabs(static_cast<long long>(t.col_stride)) <= std::llabs(static_cast<long long>(t.row_stride));
    if (rows_outer) {
        for (std::size_t r = 0; r < t.rows; ++r)
            for (std::size_t j = 0; j < t.cols; ++j) {
                const std::uint8_t here = !std::isnan(at(t, r, j));
                row_any[r] |= here;
                col_any[j] |= here;
            }
    } else {
        for (std::size_t j = 0; j < t.cols; ++j)
            for (std::size_t r = 0; r < t.rows; ++r) {
                const std::uint8_t here = !std::isnan(at(t, r, j));
                row_any[r] |= here;
                col_any[j] |= here;
            }
    }
    PresentLines lines;
    for (std::size_t r = 0; r < t.rows; ++r)
        if (row_any[r]) lines.rows.push_back(static_cast<std::int64_t>(r));
    for (std::size_t j = 0; j < t.cols; ++j)
        if (col_any[j]) lines.cols.push_back(static_cast<std::int64_t>(j));
    return lines;
}

void returns_from_closes(const StridedTable& t, const PresentLines& lines, double* out) {
    const std::size_t R = lines.rows.size(), C = lines.cols.size();
    if (R < 2 || C == 0) return;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    parallel_for(
        C,
        [&](std::size_t begin, std::size_t end) {
            std::vector<double> last(end - begin, nan);
            for (std::size_t i = 0; i < R; ++i) {
                const auto r = static_cast<std::size_t>(lines.rows[i]);
                double* o = i > 0 ? out + (i - 1) * C : nullptr;
                for (std::size_t c = begin; c < end; ++c) {
                    const double x = at(t, r, static_cast<std::size_t>(lines.cols[c]));
                    const double filled = std::isnan(x) ? last[c - begin] : x;
                    if (o) o[c] = filled / last[c - begin] - 1.0;
                    last[c - begin] = filled;
                }
            }
        },
        kMinColumns);
}

}  // namespace sigmora

namespace sigmora {

bool forward_returns(const StridedTable& t, const std::int64_t* rows, std::size_t n_rows,
                     const std::int64_t* periods, std::size_t n_periods, double* const* out) {
    const std::size_t T = t.rows, N = t.cols;
    std::unique_ptr<double[]> growth(new double[T * N]);  // every value is written below
    std::vector<std::uint8_t> bad(N, 0);
    // Growth down each column: sequential products, one block of columns per thread, walked
    // a row at a time (each row's stretch of the block is contiguous in both tables).
    parallel_for(
        N,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = 0; r < T; ++r) {
                double* g = growth.get() + r * N;
                const double* previous = r > 0 ? g - N : nullptr;
                for (std::size_t j = begin; j < end; ++j) {
                    const double x = at(t, r, j);
                    const double factor = std::isnan(x) ? 1.0 : x + 1.0;
                    g[j] = previous ? previous[j] * factor : factor;
                    if (std::isinf(x) || std::isnan(g[j])) bad[j] = 1;
                }
            }
        },
        kMinColumns);
    for (std::size_t j = 0; j < N; ++j)
        if (bad[j]) return false;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    parallel_for(n_rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const auto base = static_cast<std::size_t>(rows[i]);
            const double* from = growth.get() + base * N;
            for (std::size_t k = 0; k < n_periods; ++k) {
                double* o = out[k] + i * N;
                // Compared before adding, so that no period, however large, overflows.
                if (periods[k] < 0 || periods[k] >= static_cast<std::int64_t>(T) - rows[i]) {
                    std::fill(o, o + N, nan);
                    continue;
                }
                const double* to = growth.get() + static_cast<std::size_t>(rows[i] + periods[k]) * N;
                for (std::size_t j = 0; j < N; ++j) o[j] = to[j] / from[j] - 1.0;
            }
        }
    });
    return true;
}

}  // namespace sigmora
