// Holding periods as handed over by callers: positive integers, checked once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sigmora {

inline std::vector<std::size_t> checked_periods(const std::int64_t* periods, std::size_t n_periods) {
    std::vector<std::size_t> out(n_periods);
    for (std::size_t k = 0; k < n_periods; ++k) {
        if (periods[k] < 1) {
            throw std::invalid_argument("periods: expect positive integers, got " + std::to_string(periods[k]));
        }
        out[k] = static_cast<std::size_t>(periods[k]);
    }
    return out;
}

}  // namespace sigmora
