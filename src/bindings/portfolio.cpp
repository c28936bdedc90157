#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "bindings/strided.hpp"
#include "core/factor_portfolio.hpp"
#include "core/portfolio.hpp"

namespace sigmora::bind {
namespace {

void require_same_shape(const char* a, std::size_t ar, std::size_t ac, const char* b, std::size_t br,
                        std::size_t bc) {
    if (ar != br || ac != bc) {
        throw std::invalid_argument(std::string(a) + " and " + b + ": expect the same shape, got " +
                                    shape_text({ar, ac}) + " and " + shape_text({br, bc}));
    }
}

OutArray<double> running_growth(CMat returns, bool column_major) {
    const std::size_t rows = returns.shape(column_major ? 1 : 0), cols = returns.shape(column_major ? 0 : 1);
    std::vector<double> out(rows * cols);
    {
        nb::gil_scoped_release release;
        sigmora::running_growth(returns.data(), rows, cols, column_major, out.data());
    }
    return to_numpy(std::move(out), {rows, cols});
}

OutArray<std::int64_t> quantile_labels(CMat values, int quantile, bool ascending) {
    const std::size_t rows = values.shape(0), cols = values.shape(1);
    std::vector<std::int64_t> out(rows * cols);
    {
        nb::gil_scoped_release release;
        sigmora::quantile_labels(values.data(), rows, cols, quantile, ascending, out.data());
    }
    return to_numpy(std::move(out), {rows, cols});
}

nb::tuple quantile_period_returns(CIntMat labels, CMat growth, CIntVec periods, int quantile) {
    const std::size_t rows = labels.shape(0), cols = labels.shape(1);
    require_same_shape("labels", rows, cols, "growth", growth.shape(0), growth.shape(1));
    if (quantile < 1) throw std::invalid_argument("quantile: expect a positive integer, got " + std::to_string(quantile));
    const std::size_t n_periods = periods.shape(0), q = static_cast<std::size_t>(quantile);
    std::vector<double> returns(n_periods * q * rows), turnover(n_periods * q * rows);
    {
        nb::gil_scoped_release release;
        sigmora::quantile_period_returns(labels.data(), growth.data(), rows, cols, quantile, periods.data(), n_periods,
                                         returns.data(), turnover.data());
    }
    return nb::make_tuple(to_numpy(std::move(returns), {n_periods, q, rows}),
                          to_numpy(std::move(turnover), {n_periods, q, rows}));
}

OutArray<double> factor_weights(AnyMat values, bool ascending) {
    const StridedTable table = strided_table(values);
    std::vector<double> out(table.rows * table.cols);
    {
        nb::gil_scoped_release release;
        sigmora::factor_weights(table, ascending, out.data());
    }
    return to_numpy(std::move(out), {table.rows, table.cols});
}

OutArray<double> factor_period_returns(AnyMat values, AnyMat returns, CIntVec periods, bool ascending,
                                       bool returns_are_growth) {
    const StridedTable factor = strided_table(values), daily = strided_table(returns);
    require_same_shape("values", factor.rows, factor.cols, "returns", daily.rows, daily.cols);
    const std::size_t n_periods = periods.shape(0);
    std::vector<double> out(n_periods * factor.rows);
    {
        nb::gil_scoped_release release;
        sigmora::factor_period_returns(factor, daily, returns_are_growth, ascending, periods.data(), n_periods,
                                       out.data());
    }
    return to_numpy(std::move(out), {n_periods, factor.rows});
}

}  // namespace

void register_portfolio(nanobind::module_& m) {
    m.def("portfolio_growth", &running_growth, nb::arg("returns"), nb::arg("column_major") = false,
          "Running product of one plus the returns down each column, skipping (and keeping) NaN; "
          "with column_major the input holds one column per row. The result is dates x instruments.");
    m.def("portfolio_quantile_labels", &quantile_labels, nb::arg("values"), nb::arg("quantile"),
          nb::arg("ascending"),
          "Group code 0..quantile-1 of every cell from its row's ranks (-1 for NaN), int64 of the same shape.");
    m.def("portfolio_quantile_returns", &quantile_period_returns, nb::arg("labels"), nb::arg("growth"),
          nb::arg("periods"), nb::arg("quantile"),
          "(returns, turnover), each periods x quantile x rows: level-averaged daily group returns and turnover.");
    m.def("portfolio_factor_weights", &factor_weights, nb::arg("values"), nb::arg("ascending"),
          "Demeaned values over the row's sum of absolute deviations, negated when ascending.");
    m.def("portfolio_factor_returns", &factor_period_returns, nb::arg("values"), nb::arg("returns"),
          nb::arg("periods"), nb::arg("ascending"), nb::arg("returns_are_growth") = false,
          "Level-averaged daily returns, periods x rows, of the portfolio weighted on each row by the "
          "previous row's demeaned values; returns holds daily returns, or running growth when "
          "returns_are_growth.");
}

}  // namespace sigmora::bind
