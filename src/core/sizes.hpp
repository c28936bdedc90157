// Sizes computed from arguments.
//
// A count that comes from a caller (a number of groups, decays, quantiles, a holding
// period) is never trusted to size memory as it is: products and sums of sizes are
// checked for wrap-around, and a buffer that cannot be had ends in an exception naming
// the argument that asked for it, never in a short buffer or a crash. The bindings raise
// std::overflow_error as OverflowError and OutOfMemory as MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace sigmora {

// A buffer sized by an argument could not be allocated; what() names the argument.
class OutOfMemory : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Largest number of bytes one array may hold: what a pointer difference can span.
inline constexpr std::size_t kMaxArrayBytes = static_cast<std::size_t>(PTRDIFF_MAX);

// "a x b x c" of the sizes [first, last).
inline std::string size_text(const std::size_t* first, const std::size_t* last) {
    std::string s;
    for (const std::size_t* d = first; d != last; ++d) {
        if (d != first) s += " x ";
        s += std::to_string(*d);
    }
    return s;
}

inline std::string size_text(std::initializer_list<std::size_t> dims) { return size_text(dims.begin(), dims.end()); }

// a + b; std::overflow_error naming `what` when the sum wraps around.
inline std::size_t checked_add(std::size_t a, std::size_t b, const char* what) {
    std::size_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        throw std::overflow_error(std::string(what) + ": a size of " + std::to_string(a) + " + " +
                                  std::to_string(b) + " does not fit in a machine word");
    return sum;
}

// The number of cells of an array of shape [first, last) whose cells take `cell_bytes`
// bytes; std::overflow_error naming `what` when the array would not fit in the address
// space. The sizes that are not zero must fit together even in an empty array, whose
// strides still span them (NumPy refuses such shapes too).
inline std::size_t checked_cells(const std::size_t* first, const std::size_t* last, std::size_t cell_bytes,
                                 const char* what) {
    std::size_t span = cell_bytes;
    bool overflow = false, empty = false;
    for (const std::size_t* d = first; d != last; ++d) {
        if (*d == 0) {
            empty = true;
            continue;
        }
        overflow = __builtin_mul_overflow(span, *d, &span) || overflow;
    }
    if (overflow || span > kMaxArrayBytes)
        throw std::overflow_error(std::string(what) + ": an array of " + size_text(first, last) + " cells of " +
                                  std::to_string(cell_bytes) + " bytes does not fit in memory");
    return empty || cell_bytes == 0 ? 0 : span / cell_bytes;
}

inline std::size_t checked_cells(std::initializer_list<std::size_t> dims, std::size_t cell_bytes, const char* what) {
    return checked_cells(dims.begin(), dims.end(), cell_bytes, what);
}

// A vector of the cells of an array of shape `dims`, each `value`: checked_cells, and
// OutOfMemory naming `what` when the memory cannot be had.
template <typename T>
std::vector<T> buffer(std::initializer_list<std::size_t> dims, const T& value, const char* what) {
    const std::size_t cells = checked_cells(dims, sizeof(T), what);
    try {
        return std::vector<T>(cells, value);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory(std::string(what) + ": cannot allocate " + size_text(dims) + " cells of " +
                          std::to_string(sizeof(T)) + " bytes");
    }
}

}  // namespace sigmora
