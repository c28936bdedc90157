// Cross-sectional standardisation kernel.
#include "bindings/register.hpp"
#include "bindings/strided.hpp"
#include "core/normalize.hpp"

namespace sigmora::bind {

namespace {

nb::object normalize(AnyMat x) {
    const std::size_t rows = x.shape(0), cols = x.shape(1);
    if (rows > 1 && cols > 1 && x.stride(0) == 1 && x.stride(1) == static_cast<std::int64_t>(rows)) {
        // Column-major, as pandas holds a float table: work and answer in that order.
        double* out = nullptr;
        nb::object result = empty_matrix(cols, rows, out);
        {
            nb::gil_scoped_release release;
            normalize_column_major(x.data(), rows, cols, out);
        }
        return result.attr("T");
    }
    double* out = nullptr;
    nb::object result = empty_matrix(x.shape(0), x.shape(1), out);
    const StridedTable table = strided_table(x);
    {
        nb::gil_scoped_release release;
        normalize_rows(table, out);
    }
    return result;
}

}  // namespace

void register_preprocess(nanobind::module_& m) {
    m.def("preprocess_normalize", &normalize, nb::arg("x"),
          "Each row of a T x N table minus its mean, divided by its sample standard deviation (present values "
          "only); constant rows and rows with fewer than two values become NaN, infinities become 0.");
}

}  // namespace sigmora::bind
