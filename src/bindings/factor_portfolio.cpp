// Bindings of core/factor_portfolio.hpp: the demeaned-factor-weighted long-short portfolio.
#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "core/factor_portfolio.hpp"

namespace sigmora::bind {
namespace {

Out<double, 2> portfolio_factor_weights(AnyMat values, bool ascending) {
    const StridedTable table = table_of(values);
    Out<double, 2> out = new_array<double>({table.rows, table.cols}, Fill::zeros, "values");
    {
        nb::gil_scoped_release release;
        sigmora::portfolio_factor_weights(table, ascending, out.data());
    }
    return out;
}

Out<double, 2> portfolio_factor_returns(AnyMat values, AnyMat returns, CIntVec periods, bool ascending,
                                        bool returns_are_growth) {
    const StridedTable factor = table_of(values), daily = table_of(returns);
    require_same_shape("values", factor.rows, factor.cols, "returns", daily.rows, daily.cols);
    const std::size_t n_periods = periods.shape(0);
    Out<double, 2> out = new_array<double>({n_periods, factor.rows}, Fill::zeros, "periods");
    {
        nb::gil_scoped_release release;
        sigmora::portfolio_factor_returns(factor, daily, returns_are_growth, ascending, periods.data(), n_periods,
                                          out.data());
    }
    return out;
}

}  // namespace

void register_factor_portfolio(nanobind::module_& m) {
    m.def("portfolio_factor_weights", &portfolio_factor_weights, nb::arg("values"), nb::arg("ascending"),
          "Demeaned values over the row's sum of absolute deviations, negated when ascending.");
    m.def("portfolio_factor_returns", &portfolio_factor_returns, nb::arg("values"), nb::arg("returns"),
          nb::arg("periods"), nb::arg("ascending"), nb::arg("returns_are_growth") = false,
          "Level-averaged daily returns, periods x rows, of the portfolio weighted on each row by the "
          "previous row's demeaned values; returns holds daily returns, or running growth when "
          "returns_are_growth.");
}

}  // namespace sigmora::bind
