// Daily returns from closing prices.
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "bindings/register.hpp"
#include "bindings/arrays.hpp"
#include "core/prices.hpp"

namespace sigmora::bind {

namespace {

// A 1-D int64 result holding `values`, through the shared allocator.
Out<std::int64_t, 1> int_vector(const std::vector<std::int64_t>& values) {
    Out<std::int64_t, 1> array = new_array<std::int64_t>({values.size()}, Fill::none);
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

}  // namespace

void register_prices(nanobind::module_& m) {
    m.def("returns_from_closes", &returns, nb::arg("closes"),
          "Daily returns of a dates x instruments table of closes (NaN = none): (returns, rows, cols) where "
          "rows are the positions of the dates with any close after the first such date, cols those of the "
          "instruments with any close; a missing close takes the last one before it, and each return is "
          "close / previous close - 1 (pandas' ffill().pct_change() on the present rows and columns).");
}

}  // namespace sigmora::bind
