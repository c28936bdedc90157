// Daily returns from closing prices.
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include <tuple>
#include <vector>

#include "bindings/register.hpp"
#include "bindings/arrays.hpp"
#include "core/prices.hpp"

namespace sigmora::bind {

namespace {

// A 1-D int64 result holding `values`, through the shared allocator.
Out<std::int64_t, 1> int_vector(const std::vector<std::int64_t>& values) {
    Out<std::int64_t, 1> array = new_array<std::int64_t>({values.size()}, Fill::none, "result");
    std::copy(values.begin(), values.end(), array.data());
    return array;
}

std::tuple<nb::object, Out<std::int64_t, 1>, Out<std::int64_t, 1>> returns(AnyMat closes) {
    const StridedTable table = table_of(closes);
    PresentLines lines;
    {
        nb::gil_scoped_release release;
        lines = present_lines(table);
    }
    const std::size_t n_rows = lines.rows.empty() ? 0 : lines.rows.size() - 1, n_cols = lines.cols.size();
    double* out = nullptr;
    nb::object result = empty_matrix(n_rows, n_cols, out);
    {
        nb::gil_scoped_release release;
        returns_from_closes(table, lines, out);
    }
    // The first present row is only the base of the second one's return.
    std::vector<std::int64_t> rows(lines.rows.begin() + (lines.rows.empty() ? 0 : 1), lines.rows.end());
    return {result, int_vector(rows), int_vector(lines.cols)};
}

// The forward returns of every period as K new arrays (rows x instruments), or None when the
// table holds an infinite return or a growth that turns NaN.
nb::object forward(AnyMat returns, CIntVec rows, CIntVec periods) {
    const StridedTable table = table_of(returns);
    const std::size_t n = rows.shape(0), K = periods.shape(0);
    for (std::size_t i = 0; i < n; ++i)
        if (rows.data()[i] < 0 || rows.data()[i] >= static_cast<std::int64_t>(table.rows))
            throw std::invalid_argument("rows: expect positions in 0 .. " + std::to_string(table.rows) +
                                        " - 1, got " + std::to_string(rows.data()[i]));
    nb::list arrays;
    std::vector<double*> out(K);
    for (std::size_t k = 0; k < K; ++k) arrays.append(empty_matrix(n, table.cols, out[k]));
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = forward_returns(table, rows.data(), n, periods.data(), K, out.data());
    }
    return ok ? nb::object(arrays) : nb::none();
}

}  // namespace

void register_prices(nanobind::module_& m) {
    m.def("returns_from_closes", &returns, nb::arg("closes"),
          "Daily returns of a dates x instruments table of closes (NaN = none): (returns, rows, cols) where "
          "rows are the positions of the dates with any close after the first such date, cols those of the "
          "instruments with any close; a missing close takes the last one before it, and each return is "
          "close / previous close - 1 (pandas' ffill().pct_change() on the present rows and columns).");
    m.def("forward_returns", &forward, nb::arg("returns"), nb::arg("rows"), nb::arg("periods"),
          "Compounded forward returns of a dates x instruments table of one-period returns (NaN counted as 0): "
          "one rows x instruments array per period, growth[row + period] / growth[row] - 1 (NaN past the "
          "table's end); None when a return is infinite or a growth turns NaN.");
}

}  // namespace sigmora::bind
