#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "core/ic.hpp"

namespace sigmora::bind {
namespace {

using CorrArrays = std::tuple<OutArray<double>, OutArray<std::int64_t>, OutArray<std::uint8_t>>;

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

struct Buffers {
    std::vector<double> r;
    std::vector<std::int64_t> n;
    std::vector<std::uint8_t> constant;
    Buffers(std::size_t cells, std::size_t counts) : r(cells), n(counts), constant(cells) {}
    CorrOutput view() { return {r.data(), n.data(), constant.data()}; }
};

CorrArrays ic_by_row(const CMat& factor, const std::vector<CMat>& returns, bool rank) {
    auto ptrs = period_pointers(factor, returns);
    const std::size_t T = factor.shape(0), N = factor.shape(1), K = returns.size();
    Buffers b(T * K, T * K);
    {
        nb::gil_scoped_release release;
        sigmora::ic_by_row(factor.data(), ptrs.data(), K, T, N, rank, b.view());
    }
    return {to_numpy(std::move(b.r), {T, K}), to_numpy(std::move(b.n), {T, K}),
            to_numpy(std::move(b.constant), {T, K})};
}

CorrArrays ic_decay(const CMat& factor, const std::vector<CMat>& returns, std::size_t max_decay, bool rank) {
    auto ptrs = period_pointers(factor, returns);
    const std::size_t T = factor.shape(0), N = factor.shape(1), K = returns.size();
    const std::size_t D = max_decay > 1 ? max_decay - 1 : 0;
    Buffers b(D * T * K, D * T);
    {
        nb::gil_scoped_release release;
        sigmora::ic_decay(factor.data(), ptrs.data(), K, T, N, max_decay, rank, b.view());
    }
    return {to_numpy(std::move(b.r), {D, T, K}), to_numpy(std::move(b.n), {D, T}),
            to_numpy(std::move(b.constant), {D, T, K})};
}

std::tuple<CorrArrays, CorrArrays> ic_by_row_with_decay(const CMat& factor, const std::vector<CMat>& returns,
                                                        std::size_t max_decay, bool rank) {
    auto ptrs = period_pointers(factor, returns);
    const std::size_t T = factor.shape(0), N = factor.shape(1), K = returns.size();
    const std::size_t D = max_decay > 1 ? max_decay - 1 : 0;
    Buffers rows(T * K, T * K), b(D * T * K, D * T);
    {
        nb::gil_scoped_release release;
        CorrOutput row_view = rows.view();
        sigmora::ic_decay(factor.data(), ptrs.data(), K, T, N, max_decay, rank, b.view(), &row_view);
    }
    return {CorrArrays{to_numpy(std::move(rows.r), {T, K}), to_numpy(std::move(rows.n), {T, K}),
                       to_numpy(std::move(rows.constant), {T, K})},
            CorrArrays{to_numpy(std::move(b.r), {D, T, K}), to_numpy(std::move(b.n), {D, T}),
                       to_numpy(std::move(b.constant), {D, T, K})}};
}

CorrArrays ic_by_group(const CMat& factor, const std::vector<CMat>& returns, const CIntMat& codes,
                       std::size_t n_groups, bool rank) {
    auto ptrs = period_pointers(factor, returns);
    const std::size_t T = factor.shape(0), N = factor.shape(1), K = returns.size();
    if (codes.shape(1) != N || (codes.shape(0) != 1 && codes.shape(0) != T))
        throw std::invalid_argument("codes: expect shape " + shape_text({T, N}) + " or " + shape_text({1, N}) +
                                    ", got " + shape_text({codes.shape(0), codes.shape(1)}));
    Buffers b(n_groups * K, n_groups * K);
    {
        nb::gil_scoped_release release;
        sigmora::ic_by_group(factor.data(), ptrs.data(), K, T, N, codes.data(), codes.shape(0), n_groups, rank,
                             b.view());
    }
    return {to_numpy(std::move(b.r), {n_groups, K}), to_numpy(std::move(b.n), {n_groups, K}),
            to_numpy(std::move(b.constant), {n_groups, K})};
}

}  // namespace

void register_ic(nanobind::module_& m) {
    using nb::arg;
    m.def("ic_by_row", &ic_by_row, arg("factor"), arg("returns"), arg("rank"),
          "Per row t and period k: correlation of factor[t] with returns[k][t] over the complete pairs, "
          "Spearman (rank=True) or Pearson. Returns (r, n_pairs, constant), each T x K.");
    m.def("ic_decay", &ic_decay, arg("factor"), arg("returns"), arg("max_decay"), arg("rank"),
          "For d = 1 .. max_decay - 1: correlation of returns[k][t + d] with factor[t] over the instruments "
          "with a factor value and a return in every period. Returns (r: D x T x K, n: D x T, "
          "constant: D x T x K) with D = max_decay - 1.");
    m.def("ic_by_row_with_decay", &ic_by_row_with_decay, arg("factor"), arg("returns"), arg("max_decay"),
          arg("rank"), "(ic_by_row(factor, returns, rank), ic_decay(factor, returns, max_decay, rank)) in one pass "
          "that sorts every row once.");
    m.def("ic_by_group", &ic_by_group, arg("factor"), arg("returns"), arg("codes"), arg("n_groups"), arg("rank"),
          "Per group g and period k: correlation of returns[k] with factor pooled over the cells whose code "
          "is g (codes: 1 x N or T x N int64, -1 = none). Returns (r, n_pairs, constant), each n_groups x K.");
}

}  // namespace sigmora::bind
