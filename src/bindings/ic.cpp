// Bindings of core/ic.hpp: information coefficients per date, per decay and per group.
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "bindings/sorted_rows.hpp"
#include "core/ic.hpp"

namespace sigmora::bind {
namespace {

// Pointers to the period matrices, checked against the factor's shape.
std::vector<const double*> period_pointers(const CMat& factor, const std::vector<CMat>& returns) {
    std::vector<const double*> ptrs;
    for (std::size_t k = 0; k < returns.size(); ++k) {
        if (returns[k].shape(0) != factor.shape(0) || returns[k].shape(1) != factor.shape(1))
            throw std::invalid_argument("returns[" + std::to_string(k) + "]: expect shape " +
                                        shape_text({factor.shape(0), factor.shape(1)}) + ", got " +
                                        shape_text({returns[k].shape(0), returns[k].shape(1)}));
        ptrs.push_back(returns[k].data());
    }
    return ptrs;
}

// (r, n_pairs, constant) of a correlation kernel: r and constant have DR dimensions, the
// pair counts DN.
template <std::size_t DR, std::size_t DN>
struct Corr {
    Out<double, DR> r;
    Out<std::int64_t, DN> n;
    Out<std::uint8_t, DR> constant;

    // `what` names the argument the first dimension comes from.
    Corr(const std::size_t (&cells)[DR], const std::size_t (&counts)[DN], const char* what)
        : r(new_array<double>(cells, Fill::zeros, what)),
          n(new_array<std::int64_t>(counts, Fill::zeros, what)),
          constant(new_array<std::uint8_t>(cells, Fill::zeros, what)) {}
    CorrOutput view() { return {r.data(), n.data(), constant.data()}; }
    std::tuple<Out<double, DR>, Out<std::int64_t, DN>, Out<std::uint8_t, DR>> arrays() const {
        return {r, n, constant};
    }
};

using RowArrays = std::tuple<Out<double, 2>, Out<std::int64_t, 2>, Out<std::uint8_t, 2>>;
using DecayArrays = std::tuple<Out<double, 3>, Out<std::int64_t, 2>, Out<std::uint8_t, 3>>;

// A fresh table for a kernel to fill when the caller passed a handle, else none.
std::shared_ptr<RowOrders> orders_for(const SortedRows* handle) {
    return handle ? std::make_shared<RowOrders>() : nullptr;
}

RowArrays ic_by_row(const CMat& factor, const std::vector<CMat>& returns, bool rank, SortedRows* orders) {
    auto ptrs = period_pointers(factor, returns);
    const std::size_t T = factor.shape(0), N = factor.shape(1), K = returns.size();
    Corr<2, 2> rows({T, K}, {T, K}, "factor");
    auto kept = orders_for(orders);
    {
        nb::gil_scoped_release release;
        sigmora::ic_by_row(factor.data(), ptrs.data(), K, T, N, rank, rows.view(), kept.get());
    }
    if (orders) orders->orders = kept;
    return rows.arrays();
}

// max_decay past the number of rows asks for nothing more: it saturates instead of failing.
std::size_t max_decay_arg(const IntArg& max_decay) { return size_arg(max_decay, "max_decay", /*saturate=*/true); }

DecayArrays ic_decay(const CMat& factor, const std::vector<CMat>& returns, const IntArg& max_decay_value, bool rank) {
    auto ptrs = period_pointers(factor, returns);
    const std::size_t T = factor.shape(0), N = factor.shape(1), K = returns.size();
    const std::size_t max_decay = max_decay_arg(max_decay_value), D = sigmora::ic_decay_rows(max_decay, T);
    Corr<3, 2> decay({D, T, K}, {D, T}, "max_decay");
    {
        nb::gil_scoped_release release;
        sigmora::ic_decay(factor.data(), ptrs.data(), K, T, N, max_decay, rank, decay.view());
    }
    return decay.arrays();
}

std::tuple<RowArrays, DecayArrays> ic_by_row_with_decay(const CMat& factor, const std::vector<CMat>& returns,
                                                        const IntArg& max_decay_value, bool rank, SortedRows* orders) {
    auto ptrs = period_pointers(factor, returns);
    const std::size_t T = factor.shape(0), N = factor.shape(1), K = returns.size();
    const std::size_t max_decay = max_decay_arg(max_decay_value), D = sigmora::ic_decay_rows(max_decay, T);
    Corr<2, 2> rows({T, K}, {T, K}, "factor");
    Corr<3, 2> decay({D, T, K}, {D, T}, "max_decay");
    auto kept = orders_for(orders);
    {
        nb::gil_scoped_release release;
        sigmora::ic_by_row_with_decay(factor.data(), ptrs.data(), K, T, N, max_decay, rank, rows.view(),
                                      decay.view(), kept.get());
    }
    if (orders) orders->orders = kept;
    return {rows.arrays(), decay.arrays()};
}

// Industry codes as int32 (what the analysis passes) or int64.
using CInt32Mat = nb::ndarray<const std::int32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

template <class Codes>
RowArrays ic_by_group(const CMat& factor, const std::vector<CMat>& returns, const Codes& codes,
                      const IntArg& n_groups_value, bool rank) {
    const std::size_t n_groups = size_arg(n_groups_value, "n_groups");
    auto ptrs = period_pointers(factor, returns);
    const std::size_t T = factor.shape(0), N = factor.shape(1), K = returns.size();
    if (codes.shape(1) != N || (codes.shape(0) != 1 && codes.shape(0) != T))
        throw std::invalid_argument("codes: expect shape " + shape_text({T, N}) + " or " + shape_text({1, N}) +
                                    ", got " + shape_text({codes.shape(0), codes.shape(1)}));
    Corr<2, 2> groups({n_groups, K}, {n_groups, K}, "n_groups");
    {
        nb::gil_scoped_release release;
        sigmora::ic_by_group(factor.data(), ptrs.data(), K, T, N, codes.data(), codes.shape(0), n_groups, rank,
                             groups.view());
    }
    return groups.arrays();
}

}  // namespace

void register_ic(nanobind::module_& m) {
    using nb::arg;
    nb::class_<SortedRows>(m, "SortedRows",
                           "The sorted orders of a factor's rows, kept by a rank IC kernel given this handle "
                           "(orders=...) for rank_autocorrelation; empty until a kernel fills it.")
        .def(nb::init<>())
        .def_prop_ro("rows", [](const SortedRows& s) { return s.orders->rows; })
        .def_prop_ro("cols", [](const SortedRows& s) { return s.orders->cols; });
    m.def("ic_by_row", &ic_by_row, arg("factor"), arg("returns"), arg("rank"), arg("orders").none() = nb::none(),
          "Per row t and period k: correlation of factor[t] with returns[k][t] over the complete pairs, "
          "Spearman (rank=True) or Pearson. Returns (r, n_pairs, constant), each T x K. With rank and a "
          "SortedRows `orders`, the factor rows' sorted orders are kept there (emptied without rank).");
    m.def("ic_decay", &ic_decay, arg("factor"), arg("returns"), arg("max_decay"), arg("rank"),
          "For d = 1 .. max_decay - 1: correlation of returns[k][t + d] with factor[t] over the instruments "
          "with a factor value and a return in every period. Returns (r: D x T x K, n: D x T, "
          "constant: D x T x K) with D = min(max_decay - 1, T - 1): no window starts past the last row.");
    m.def("ic_by_row_with_decay", &ic_by_row_with_decay, arg("factor"), arg("returns"), arg("max_decay"),
          arg("rank"), arg("orders").none() = nb::none(),
          "(ic_by_row(factor, returns, rank), ic_decay(factor, returns, max_decay, rank)) in one pass "
          "that sorts every row once; `orders` as in ic_by_row.");
    const char* by_group_doc =
        "Per group g and period k: correlation of returns[k] with factor pooled over the cells whose code "
        "is g (codes: 1 x N or T x N int32 or int64, -1 = none). Returns (r, n_pairs, constant), each n_groups x K.";
    m.def("ic_by_group", &ic_by_group<CInt32Mat>, arg("factor"), arg("returns"), arg("codes"), arg("n_groups"),
          arg("rank"), by_group_doc);
    m.def("ic_by_group", &ic_by_group<CIntMat>, arg("factor"), arg("returns"), arg("codes"), arg("n_groups"),
          arg("rank"), by_group_doc);
}

}  // namespace sigmora::bind
