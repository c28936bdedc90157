// The sorted orders of every row of a table, kept by a kernel that sorts them anyway (the
// rank IC kernels sort every factor row) for one that would sort them again (the factor's
// rank autocorrelation).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/sizes.hpp"

namespace sigmora {

// Row t's order is sort_order(row t, no keep, cols): its first counts[t] entries of
// entries[t * cols ..]. Only kernels fill it, so every entry is a position below cols.
struct RowOrders {
    std::size_t rows = 0, cols = 0;
    std::vector<std::uint32_t> entries;
    std::vector<std::uint32_t> counts;

    void reset(std::size_t n_rows, std::size_t n_cols) {
        entries = buffer<std::uint32_t>({n_rows, n_cols}, 0u, "factor");
        counts = buffer<std::uint32_t>({n_rows}, 0u, "factor");
        rows = n_rows;
        cols = n_cols;
    }
    void store(std::size_t t, const std::vector<std::uint32_t>& order) {
        std::copy(order.begin(), order.end(), entries.begin() + static_cast<std::ptrdiff_t>(t * cols));
        counts[t] = static_cast<std::uint32_t>(order.size());
    }
    const std::uint32_t* row(std::size_t t) const { return entries.data() + t * cols; }
};

}  // namespace sigmora
