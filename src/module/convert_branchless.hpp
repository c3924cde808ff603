// Branch-free twin of s16(float) for hot loops.  s16() in convert.hpp picks
// the rounding direction with a branch on the sign, which mispredicts on
// broadband audio; this gives the identical result for every float (NaN 0,
// saturation at the s16 limits, half away from zero with v + 0.5f or
// v - 0.5f in single precision) with selects only, so it also vectorises.
#pragma once

#include <cmath>
#include <cstdint>

namespace divavova {

inline int16_t s16_branchless(float v) {
    v = v == v ? v : 0.0f;
    v = v > 32767.0f ? 32767.0f : v;
    v = v < -32768.0f ? -32768.0f : v;
    // v + 0.5f for v >= 0 (also -0), v + (-0.5f) == v - 0.5f below 0; the
    // sum of -0 and -0.5f truncates to 0 as 0.5f does.
    return static_cast<int16_t>(static_cast<int32_t>(v + std::copysign(0.5f, v)));
}

}  // namespace divavova
