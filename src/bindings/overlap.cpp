// Bindings of core/overlap.hpp: the mean per-date rank correlation of every pair of factors.
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <tuple>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "bindings/sorted_rows.hpp"
#include "core/overlap.hpp"

namespace sigmora::bind {
namespace {

std::tuple<Out<double, 2>, Out<std::int64_t, 2>> mean_rank_correlation(const std::vector<AnyMat>& tables) {
    std::vector<StridedTable> views;
    views.reserve(tables.size());
    for (const auto& t : tables) views.push_back(table_of(t));
    const std::size_t F = views.size();
    Out<double, 2> mean = new_array<double>({F, F}, Fill::none, "tables");
    Out<std::int64_t, 2> dates = new_array<std::int64_t>({F, F}, Fill::none, "tables");
    {
        nb::gil_scoped_release release;
        sigmora::mean_rank_correlation(views.data(), F, mean.data(), dates.data());
    }
    return {mean, dates};
}

Out<double, 2> rank_autocorrelation(const AnyMat& factor, const CIntVec& lags) {
    const StridedTable table = table_of(factor);
    const std::size_t L = lags.shape(0);
    Out<double, 2> out = new_array<double>({table.rows, L}, Fill::none, "lags");
    {
        nb::gil_scoped_release release;
        sigmora::rank_autocorrelation(table, lags.data(), L, out.data());
    }
    return out;
}

Out<double, 2> rank_autocorrelation_of_orders(const SortedRows& orders, const CIntVec& lags) {
    const std::shared_ptr<const RowOrders> kept = orders.orders;
    const std::size_t L = lags.shape(0);
    Out<double, 2> out = new_array<double>({kept->rows, L}, Fill::none, "lags");
    {
        nb::gil_scoped_release release;
        sigmora::rank_autocorrelation(*kept, lags.data(), L, out.data());
    }
    return out;
}

}  // namespace

void register_overlap(nanobind::module_& m) {
    using nb::arg;
    m.def("mean_rank_correlation", &mean_rank_correlation, arg("tables"),
          "F tables of one shape T x N (dates x instruments, NaN = missing). Returns (mean, dates), each F x F: "
          "per pair the mean over dates of the Spearman correlation over the instruments both have (ranked "
          "among those), over the dates with two or more such instruments and neither side constant, and the "
          "number of those dates (NaN and 0 when there is none). The diagonal is 1 and the number of dates on "
          "which the table has two or more values, not all equal.");
    m.def("rank_autocorrelation", &rank_autocorrelation, arg("factor"), arg("lags"),
          "T x L: the Spearman correlation of factor row t with row t - lags[j] over the instruments present "
          "on both (NaN for t < lag, fewer than two common instruments or a constant row); lags: positive "
          "int64. Equals ic_by_row(factor[lag:], [factor[:-lag]], True) on every row; each row is sorted once.");
    m.def("rank_autocorrelation", &rank_autocorrelation_of_orders, arg("orders"), arg("lags"),
          "The same from a SortedRows a rank IC kernel filled for the factor: the same bits, no sort.");
}

}  // namespace sigmora::bind
