// Double to single precision with a defined result for every input.
//
// A C++ cast of a double beyond the float range is undefined; IEEE
// round-to-nearest gives the largest float up to half a unit beyond it and
// infinity from there on.  narrow_to_float spells that out, so configure
// values such as 1e300 are stored as infinity on every compiler.
#pragma once

#include <limits>

namespace divavova {

constexpr float narrow_to_float(double v) {
    constexpr double largest = static_cast<double>(std::numeric_limits<float>::max());
    constexpr double overflow = 0x1.ffffffp127;  // largest + half a unit: rounds to infinity
    constexpr float infinity = std::numeric_limits<float>::infinity();
    if (v >= overflow) return infinity;
    if (v <= -overflow) return -infinity;
    if (v > largest) return std::numeric_limits<float>::max();
    if (v < -largest) return -std::numeric_limits<float>::max();
    return static_cast<float>(v);  // NaN and every value within range
}

static_assert(narrow_to_float(1e300) == std::numeric_limits<float>::infinity());
static_assert(narrow_to_float(-1e300) == -std::numeric_limits<float>::infinity());
static_assert(narrow_to_float(0x1.fffffefffffffp127) == std::numeric_limits<float>::max());
static_assert(narrow_to_float(0.1) == 0.1f);

}  // namespace divavova
