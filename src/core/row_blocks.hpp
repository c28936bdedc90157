// Row-by-row traversal of a table that may be laid out either way in memory.
//
// pandas keeps a float table column by column, so a table's rows are usually strided.
// Kernels that work per row read it through StridedTable and for_each_row_block, which
// hands them each row as a contiguous array: the table's own memory when rows are
// contiguous, otherwise a per-thread copy gathered a few rows at a time (so each cache
// line read serves several rows). This replaces a separate transposing copy of the
// whole table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/parallel.hpp"
#include "core/table.hpp"

namespace sigmora {

// Rows handed to the block function at a time.
constexpr std::size_t kRowBlock = 8;
constexpr std::size_t kPrefetchColumns = 64;

// Calls block_fn(first_row, n_rows, row_ptrs) on consecutive blocks of up to kRowBlock
// rows, blocks split over the worker threads in a fixed partition; row_ptrs[i] points at
// row first_row + i as cols contiguous doubles, valid during the call. Empty tables
// make no call.
template <class BlockFn>
void for_each_row_block(const StridedTable& t, const BlockFn& block_fn) {
    if (t.rows == 0 || t.cols == 0) return;  // nothing to read (data may be null)
    const std::size_t n_blocks = (t.rows + kRowBlock - 1) / kRowBlock;
    const bool contiguous_rows = t.col_stride == 1 || t.cols <= 1;
    parallel_for(n_blocks, [&](std::size_t first_block, std::size_t end_block) {
        std::vector<double> copy(contiguous_rows ? 0 : kRowBlock * t.cols);
        const double* row_ptrs[kRowBlock];
        for (std::size_t b = first_block; b < end_block; ++b) {
            const std::size_t r0 = b * kRowBlock, n_rows = std::min(kRowBlock, t.rows - r0);
            const double* block = t.data + static_cast<std::ptrdiff_t>(r0) * t.row_stride;
            if (contiguous_rows) {
                for (std::size_t i = 0; i < n_rows; ++i) row_ptrs[i] = block + static_cast<std::ptrdiff_t>(i) * t.row_stride;
            } else {
                for (std::size_t j = 0; j < t.cols; ++j) {
                    const double* column = block + static_cast<std::ptrdiff_t>(j) * t.col_stride;
                    // Columns lie far apart, beyond what the hardware prefetcher follows:
                    // ask for the block's cells a few dozen columns ahead.
                    if (j + kPrefetchColumns < t.cols) {
                        const double* ahead = column + static_cast<std::ptrdiff_t>(kPrefetchColumns) * t.col_stride;
                        __builtin_prefetch(ahead);
                        __builtin_prefetch(ahead + static_cast<std::ptrdiff_t>(n_rows - 1) * t.row_stride);
                    }
                    for (std::size_t i = 0; i < n_rows; ++i) {
                        copy[i * t.cols + j] = column[static_cast<std::ptrdiff_t>(i) * t.row_stride];
                    }
                }
                for (std::size_t i = 0; i < n_rows; ++i) row_ptrs[i] = copy.data() + i * t.cols;
            }
            block_fn(r0, n_rows, row_ptrs);
        }
    });
}

}  // namespace sigmora
