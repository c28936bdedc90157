// What Python holds of the sorted orders a rank IC kernel kept: an opaque handle that only
// kernels fill, so that no order reaches a kernel unchecked. A call swaps in a new table
// when it is done (with the GIL held); a kernel reading one keeps its own reference, so a
// handle refilled meanwhile by another thread frees nothing under it.
#pragma once

#include <memory>

#include "core/row_orders.hpp"

namespace sigmora::bind {

struct SortedRows {
    std::shared_ptr<const RowOrders> orders = std::make_shared<const RowOrders>();
};

}  // namespace sigmora::bind
