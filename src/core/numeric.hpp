// Numeric constants and compiler switches shared by the kernels. Every kernel file takes
// NaN, infinity and the AVX2 clone attribute from here rather than spelling them itself.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

namespace sigmora {

// Missing value, and the infinity used for empty minima / maxima and open clip bounds.
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// The power of two p that brings a magnitude m into [1, 2): m * p is in [1, 2) for a
// normal m, below 1 for a subnormal one; 1 for 0, infinities and NaN. Both p and 1 / p are
// finite, and multiplying by them is exact (barring underflow), so a kernel that computes
// squares or products of values scaled by p (p from their largest magnitude) and takes
// 1 / p back at the end gets, for ordinary magnitudes, the very bits of the unscaled
// computation, and cannot overflow or lose its values to underflow. Scaling the data by
// a power of two 2^k scales p by 2^-k exactly, so the scaled values, and with them
// everything computed from them, do not depend on the unit of the data.
inline double magnitude_scale(double m) {
    m = std::fabs(m);
    if (!(m > 0.0) || !(m < kInf)) return 1.0;
    return std::ldexp(1.0, -std::clamp(std::ilogb(m), -1022, 1023));
}

}  // namespace sigmora

// SIGMORA_AVX2_CLONES: put before a hot function to get a second build of it for
// processors with AVX2, picked once at load time (GCC's target_clones, which needs ifunc
// support: x86-64 ELF targets). Plain AVX2 has no fused multiply-add, and the kernels are
// compiled with -ffp-contract=off, so both builds round every operation the same way and
// give the same bits. On other compilers and targets it expands to nothing and only the
// baseline build exists.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__)
#define SIGMORA_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SIGMORA_AVX2_CLONES
#endif

// SIGMORA_ALWAYS_INLINE: for the helpers a cloned function calls. They must be inlined
// into each clone to be built for its instruction set; a call would run the baseline build.
#if defined(__GNUC__)
#define SIGMORA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define SIGMORA_ALWAYS_INLINE inline
#endif
