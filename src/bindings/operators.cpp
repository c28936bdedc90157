// Kernels of the expression operators (sigmora/operators.py): time series per column,
// cross sections and groups per row.
#include <nanobind/stl/string.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "bindings/register.hpp"
#include "bindings/arrays.hpp"
#include "core/operators.hpp"

namespace sigmora::bind {

namespace {

using GroupMat = nb::ndarray<const std::int32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

ops::TsOp ts_kind(const std::string& name) {
    static const std::pair<const char*, ops::TsOp> kinds[] = {
        {"sum", ops::TsOp::Sum},         {"mean", ops::TsOp::Mean},
        {"std", ops::TsOp::Std},         {"zscore", ops::TsOp::Zscore},
        {"min", ops::TsOp::Min},         {"max", ops::TsOp::Max},
        {"argmin", ops::TsOp::ArgMin},   {"argmax", ops::TsOp::ArgMax},
        {"product", ops::TsOp::Product}, {"rank", ops::TsOp::Rank},
        {"decay_linear", ops::TsOp::DecayLinear}, {"ema", ops::TsOp::Ema},
        {"slope", ops::TsOp::Slope},     {"rsquare", ops::TsOp::Rsquare},
        {"resid", ops::TsOp::Resid}};
    for (const auto& k : kinds)
        if (name == k.first) return k.second;
    throw std::invalid_argument("op: unknown time-series operation '" + name + "'");
}

std::size_t window(std::int64_t d) {
    if (d < 1) throw std::invalid_argument("d: expect a window of at least 1 row, got " + std::to_string(d));
    return static_cast<std::size_t>(d);
}

nb::object ts_op(const std::string& name, AnyMat x, std::int64_t d, double param, nb::handle out_arg) {
    const ops::TsOp op = ts_kind(name);
    const std::size_t w = window(d);
    double* out = nullptr;
    const StridedTable table = table_of(x);
    nb::object result = out_matrix(out_arg, x.shape(0), x.shape(1), out, {bytes_of(table)});
    {
        nb::gil_scoped_release release;
        ops::ts_unary(op, table, w, param, out);
    }
    return result;
}

nb::object ts_op2(const std::string& name, AnyMat x, AnyMat y, std::int64_t d, nb::handle out_arg) {
    ops::Ts2Op op;
    if (name == "corr") {
        op = ops::Ts2Op::Corr;
    } else if (name == "cov") {
        op = ops::Ts2Op::Cov;
    } else {
        throw std::invalid_argument("op: unknown two-operand time-series operation '" + name + "'");
    }
    if (x.shape(0) != y.shape(0) || x.shape(1) != y.shape(1))
        throw std::invalid_argument("y: expect the shape of x " + shape_text({x.shape(0), x.shape(1)}) + ", got " +
                                    shape_text({y.shape(0), y.shape(1)}));
    const std::size_t w = window(d);
    double* out = nullptr;
    const StridedTable tx = table_of(x), ty = table_of(y);
    nb::object result = out_matrix(out_arg, x.shape(0), x.shape(1), out, {bytes_of(tx), bytes_of(ty)});
    {
        nb::gil_scoped_release release;
        ops::ts_binary(op, tx, ty, w, out);
    }
    return result;
}

nb::object cs_op(const std::string& name, AnyMat x, double param, nb::handle out_arg) {
    ops::CsOp op;
    if (name == "rank") {
        op = ops::CsOp::Rank;
    } else if (name == "zscore") {
        op = ops::CsOp::Zscore;
    } else if (name == "demean") {
        op = ops::CsOp::Demean;
    } else if (name == "scale") {
        op = ops::CsOp::Scale;
    } else {
        throw std::invalid_argument("op: unknown cross-sectional operation '" + name + "'");
    }
    double* out = nullptr;
    const StridedTable table = table_of(x);
    nb::object result = out_matrix(out_arg, x.shape(0), x.shape(1), out, {bytes_of(table)});
    {
        nb::gil_scoped_release release;
        ops::cs_unary(op, table, param, out);
    }
    return result;
}

nb::object group_op(const std::string& name, AnyMat x, GroupMat groups, std::int64_t n_groups, nb::handle out_arg) {
    ops::GroupOp op;
    if (name == "neutralize") {
        op = ops::GroupOp::Neutralize;
    } else if (name == "rank") {
        op = ops::GroupOp::Rank;
    } else {
        throw std::invalid_argument("op: unknown group operation '" + name + "'");
    }
    if (groups.shape(0) != x.shape(0) || groups.shape(1) != x.shape(1))
        throw std::invalid_argument("groups: expect the shape of x " + shape_text({x.shape(0), x.shape(1)}) +
                                    ", got " + shape_text({groups.shape(0), groups.shape(1)}));
    if (n_groups < 0) throw std::invalid_argument("n_groups: expect a non-negative count");
    double* out = nullptr;
    const StridedTable table = table_of(x);
    const std::int32_t* g = groups.data();
    const auto g_lo = reinterpret_cast<std::uintptr_t>(g);
    const Bytes g_bytes{g_lo, g_lo + groups.shape(0) * groups.shape(1) * sizeof(std::int32_t)};
    nb::object result = out_matrix(out_arg, x.shape(0), x.shape(1), out, {bytes_of(table), g_bytes});
    {
        nb::gil_scoped_release release;
        ops::group_op(op, table, g, static_cast<std::size_t>(n_groups), out);
    }
    return result;
}

nb::object group_codes(AnyMat labels) {
    std::int32_t* codes = nullptr;
    Out<std::int32_t, 2> array = new_array<std::int32_t>({labels.shape(0), labels.shape(1)}, Fill::none, "groups");
    codes = array.data();
    const StridedTable table = table_of(labels);
    std::size_t n_groups = 0;
    bool integral;
    {
        nb::gil_scoped_release release;
        integral = ops::integral_group_codes(table, codes, n_groups);
    }
    if (!integral) return nb::none();
    return nb::make_tuple(nb::cast(array), n_groups);
}

}  // namespace

// Every kernel below writes every cell of its result.
#define OUT_DOC                                                                                          \
    " `out`: None (a new table) or a writable C-contiguous float64 T x N array, sharing no memory with " \
    "the inputs, that receives the result and is returned."

void register_operators(nanobind::module_& m) {
    m.def("ops_ts", &ts_op, nb::arg("op"), nb::arg("x"), nb::arg("d"), nb::arg("param") = 0.0,
          nb::arg("out") = nb::none(),
          "Trailing-window operation `op` over d rows of each column of a T x N table (NaN where the window "
          "holds a missing value or reaches before the first row)." OUT_DOC);
    m.def("ops_ts2", &ts_op2, nb::arg("op"), nb::arg("x"), nb::arg("y"), nb::arg("d"), nb::arg("out") = nb::none(),
          "Trailing-window correlation ('corr') or sample covariance ('cov') of two T x N tables per column." OUT_DOC);
    m.def("ops_cs", &cs_op, nb::arg("op"), nb::arg("x"), nb::arg("param") = 1.0, nb::arg("out") = nb::none(),
          "Per-row operation over the present values of a T x N table: rank (percentile, ties averaged), "
          "zscore, demean or scale (sum of absolute values = param)." OUT_DOC);
    m.def("ops_group_codes", &group_codes, nb::arg("labels"),
          "Int32 group codes of a T x N table of float labels and their count (1 + the largest), -1 where a "
          "label is missing (NaN or infinite); None when a present label is not an integer in [0, 2^20).");
    m.def("ops_group", &group_op, nb::arg("op"), nb::arg("x"), nb::arg("groups"), nb::arg("n_groups"),
          nb::arg("out") = nb::none(),
          "Per-row and group operation: neutralize (minus the group mean) or rank (percentile within the "
          "group); groups are int32 codes in [0, n_groups), negative for unknown." OUT_DOC);
}

#undef OUT_DOC

}  // namespace sigmora::bind
