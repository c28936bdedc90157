// Row-wise clipping kernels: median absolute deviation, standard deviation, percentile bands.
#include "bindings/register.hpp"
#include "bindings/strided.hpp"
#include "core/winsorize.hpp"

namespace sigmora::bind {

namespace {

template <class Kernel>
nb::object run_rows(const AnyMat& x, const Kernel& kernel) {
    double* out = nullptr;
    nb::object result = empty_matrix(x.shape(0), x.shape(1), out);
    const StridedTable table = strided_table(x);
    {
        nb::gil_scoped_release release;
        kernel(table, out);
    }
    return result;
}

}  // namespace

void register_winsorize(nanobind::module_& m) {
    using nb::arg;
    m.def(
        "winsorize_mad",
        [](AnyMat x, double n) {
            return run_rows(x, [n](const StridedTable& t, double* out) { winsorize_mad_rows(t, n, out); });
        },
        arg("x"), arg("n"),
        "Each row of a T x N table clipped to median -/+ n median absolute deviations of its present values.");
    m.def(
        "winsorize_std",
        [](AnyMat x, double n) {
            return run_rows(x, [n](const StridedTable& t, double* out) { winsorize_std_rows(t, n, out); });
        },
        arg("x"), arg("n"),
        "Each row of a T x N table clipped to mean -/+ n sample standard deviations of its present values.");
    m.def(
        "winsorize_percentile",
        [](AnyMat x, double q_lower, double q_upper) {
            return run_rows(x, [q_lower, q_upper](const StridedTable& t, double* out) {
                winsorize_percentile_rows(t, q_lower, q_upper, out);
            });
        },
        arg("x"), arg("q_lower"), arg("q_upper"),
        "Each row of a T x N table clipped to its q_lower and q_upper quantiles (fractions in [0, 1], numpy's "
        "linear interpolation) over its present values.");
}

}  // namespace sigmora::bind
