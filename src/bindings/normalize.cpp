// Binding of core/normalize.hpp: cross-sectional standardisation.
#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "core/normalize.hpp"

namespace sigmora::bind {

namespace {

// The result comes in the memory order the core answers in for this table (column-major
// for pandas' column-major tables).
Out<double, 2> preprocess_normalize(AnyMat x) {
    const StridedTable table = table_of(x);
    Out<double, 2> out = new_array<double>({table.rows, table.cols}, Fill::none, "x", result_order(table));
    {
        nb::gil_scoped_release release;
        sigmora::preprocess_normalize(table, out.data());
    }
    return out;
}

}  // namespace

void register_normalize(nanobind::module_& m) {
    m.def("preprocess_normalize", &preprocess_normalize, nb::arg("x"),
          "Each row of a T x N table minus its mean, divided by its sample standard deviation (present values "
          "only); constant rows and rows with fewer than two values become NaN, infinities become 0.");
}

}  // namespace sigmora::bind
