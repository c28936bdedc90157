// Branch-free handling of missing cells: a data-dependent branch per cell mispredicts
// whenever missing cells are scattered at random.
#pragma once

#include <cstdint>
#include <cstring>

namespace sigmora {

// v when keep is true, +0.0 otherwise, without a branch.
inline double keep_or_zero(double v, bool keep) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits &= std::uint64_t{0} - static_cast<std::uint64_t>(keep);
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace sigmora
