// Bindings of core/portfolio.hpp: running growth, quantile labels and quantile returns.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>

#include <climits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "core/portfolio.hpp"

namespace sigmora::bind {
namespace {

// `column_major` (kept for callers written before the core read any memory order) says
// that `returns` holds one column of the table per row: the table is its transpose.
Out<double, 2> portfolio_growth(AnyMat returns, bool column_major) {
    const StridedTable table = column_major ? transposed(table_of(returns)) : table_of(returns);
    Out<double, 2> out = new_array<double>({table.rows, table.cols}, Fill::zeros, "returns");
    {
        nb::gil_scoped_release release;
        sigmora::portfolio_growth(table, out.data());
    }
    return out;
}

// The number of groups as the kernels take it.
int quantile_arg(const IntArg& quantile) {
    return static_cast<int>(int_arg(quantile, "quantile", 1, INT_MAX, "a positive integer"));
}

Out<std::int64_t, 2> portfolio_quantile_labels(CMat values, const IntArg& quantile_value, bool ascending) {
    const int quantile = quantile_arg(quantile_value);
    const std::size_t rows = values.shape(0), cols = values.shape(1);
    Out<std::int64_t, 2> out = new_array<std::int64_t>({rows, cols}, Fill::zeros, "values");
    {
        nb::gil_scoped_release release;
        sigmora::portfolio_quantile_labels(values.data(), rows, cols, quantile, ascending, out.data());
    }
    return out;
}

std::tuple<Out<double, 3>, Out<double, 3>> portfolio_quantile_returns(CIntMat labels, CMat growth, CIntVec periods,
                                                                      const IntArg& quantile_value,
                                                                      std::optional<CMat> weights) {
    const int quantile = quantile_arg(quantile_value);
    const std::size_t rows = labels.shape(0), cols = labels.shape(1);
    require_same_shape("labels", rows, cols, "growth", growth.shape(0), growth.shape(1));
    if (weights) require_same_shape("labels", rows, cols, "weights", weights->shape(0), weights->shape(1));
    const double* weight_data = weights ? weights->data() : nullptr;
    const std::size_t n_periods = periods.shape(0), q = static_cast<std::size_t>(quantile);
    Out<double, 3> returns = new_array<double>({n_periods, q, rows}, Fill::zeros, "quantile");
    Out<double, 3> turnover = new_array<double>({n_periods, q, rows}, Fill::zeros, "quantile");
    {
        nb::gil_scoped_release release;
        sigmora::portfolio_quantile_returns(labels.data(), growth.data(), weight_data, rows, cols, quantile,
                                            periods.data(),
                                            n_periods, returns.data(), turnover.data());
    }
    return {returns, turnover};
}

}  // namespace

void register_portfolio(nanobind::module_& m) {
    m.def("portfolio_growth", &portfolio_growth, nb::arg("returns"), nb::arg("column_major") = false,
          "Running product of one plus the returns down each column, skipping (and keeping) NaN; "
          "with column_major the input holds one column per row. The result is dates x instruments.");
    m.def("portfolio_quantile_labels", &portfolio_quantile_labels, nb::arg("values"), nb::arg("quantile"),
          nb::arg("ascending"),
          "Group code 0..quantile-1 of every cell from its row's ranks (-1 for NaN), int64 of the same shape.");
    m.def("portfolio_quantile_returns", &portfolio_quantile_returns, nb::arg("labels"), nb::arg("growth"),
          nb::arg("periods"), nb::arg("quantile"), nb::arg("weights") = nb::none(),
          "(returns, turnover), each periods x quantile x rows: level-averaged daily group returns and turnover. "
          "weights (same shape as labels, or None for equal weights): each member's starting weight in a group "
          "formed on that row; missing or non-positive: left out of the group's return.");
}

}  // namespace sigmora::bind
