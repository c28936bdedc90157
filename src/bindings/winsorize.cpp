// Bindings of core/winsorize.hpp: row-wise clipping by median absolute deviation,
// standard deviation and percentile bands.
#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "core/winsorize.hpp"

namespace sigmora::bind {

namespace {

// Runs kernel(table, out) on x, into a new row-major array of x's shape.
template <class Kernel>
Out<double, 2> run_rows(const AnyMat& x, const Kernel& kernel) {
    const StridedTable table = table_of(x);
    Out<double, 2> out = new_array<double>({table.rows, table.cols}, Fill::none, "x");
    {
        nb::gil_scoped_release release;
        kernel(table, out.data());
    }
    return out;
}

Out<double, 2> winsorize_mad(AnyMat x, double n) {
    return run_rows(x, [n](const StridedTable& t, double* out) { sigmora::winsorize_mad(t, n, out); });
}

Out<double, 2> winsorize_std(AnyMat x, double n) {
    return run_rows(x, [n](const StridedTable& t, double* out) { sigmora::winsorize_std(t, n, out); });
}

Out<double, 2> winsorize_percentile(AnyMat x, double q_lower, double q_upper) {
    return run_rows(x, [q_lower, q_upper](const StridedTable& t, double* out) {
        sigmora::winsorize_percentile(t, q_lower, q_upper, out);
    });
}

}  // namespace

void register_winsorize(nanobind::module_& m) {
    using nb::arg;
    m.def("winsorize_mad", &winsorize_mad, arg("x"), arg("n"),
          "Each row of a T x N table clipped to median -/+ n median absolute deviations of its present values.");
    m.def("winsorize_std", &winsorize_std, arg("x"), arg("n"),
          "Each row of a T x N table clipped to mean -/+ n sample standard deviations of its present values.");
    m.def("winsorize_percentile", &winsorize_percentile, arg("x"), arg("q_lower"), arg("q_upper"),
          "Each row of a T x N table clipped to its q_lower and q_upper quantiles (fractions in [0, 1], numpy's "
          "linear interpolation) over its present values.");
}

}  // namespace sigmora::bind
