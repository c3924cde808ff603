// Pieces shared by the s16 delay effects (echo, multi-tap, pitch shift,
// Freeverb): cell access on caller buffers, the 16-bit knee store and the
// dry/wet output stage.  Plain C++, no Python.h.
//
// Caller buffers may start at any address and may even overlap each other,
// so cells are read and written through load/store (plain moves on x86) in
// program order rather than through typed pointers.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "module/convert.hpp"
#include "module/lanes.hpp"  // the lane types, and -Wpsabi off for the helpers on lanes below

namespace divavova::delay {

inline int16_t get_cell(const uint8_t* cells, size_t index) { return load<int16_t>(cells + 2 * index); }
inline void set_cell(uint8_t* cells, size_t index, int16_t value) { store<int16_t>(cells + 2 * index, value); }

// The soft knee (factor 7151, two full ranges folded into one) stored as an
// s16 cell.  Within two full ranges the knee already lands inside 16 bits;
// beyond them (feedback or gains above 1) it saturates rather than wrapping,
// since a wrapped sample is a full-scale click.
inline int16_t knee_s16(int64_t x) { return static_cast<int16_t>(saturate_s16(soft_knee(x, kKneeFactor2))); }

// The same two steps on 32-bit lanes (a GCC vector type, or int32_t): the
// knee formed in 32 bits, exact for |x| < kKneeLanesBound, then saturated.
constexpr int32_t kKneeLanesBound = 250000;  // (250000 - 28000) * 7151 < 2^31

template <class V>
inline V saturate_s16_lanes(V v) {
    const V lo = V{} - 32768, hi = V{} + 32767;
    v = v < lo ? lo : v;
    return v > hi ? hi : v;
}

// The knee with factor k, exact while (|x| - 28000) * k stays below 2^31.
// One product: the excess beyond the threshold is 0 within it, and
// (0 * k) >> 16 is 0.
template <class V>
inline V knee_lanes(V x, int32_t k) {
    const V t = V{} + kKneeThreshold;
    const V inside = x > t ? t : (x < -t ? -t : x);
    return (((x - inside) * k) >> 16) + inside;
}

template <class V>
inline V knee_lanes(V x) {
    return knee_lanes(x, kKneeFactor2);
}

// Double to 32-bit integer, truncating toward zero.  Bounded: the caller has
// shown (once per call, see fits_i32) that every value it converts is finite
// and well inside the 32-bit range, where the plain conversion gives exactly
// float_to's result without its NaN and range tests.
template <bool Bounded>
inline int32_t to_i32(double v) {
    if constexpr (Bounded)
        return static_cast<int32_t>(v);
    else
        return float_to<int32_t>(v);
}

// Whether values of magnitude up to bound (a sum of |coefficient| * 32768
// terms; NaN or infinite when a coefficient is) convert without a range test.
// The margin covers the rounding of the double arithmetic that forms them.
inline bool fits_i32(double bound) { return bound < 2147418112.0; }  // 2^31 - 2^16

// The output stage of every delay effect: the knee of dry * x + wet * delayed,
// the sum in double precision and truncated toward zero first.
template <bool Bounded = false>
inline int16_t mix_out(double dry, double wet, double x, double delayed) {
    return knee_s16(to_i32<Bounded>(dry * x + wet * delayed));
}

// Runs body(channels, bounded) with both as compile-time constants
// (std::integral_constant), so the kernels specialise on the channel count
// and on whether the call's gains bound every conversion.
template <class Body>
inline void dispatch(unsigned channels, bool bounded, Body&& body) {
    using mono = std::integral_constant<unsigned, 1>;
    using stereo = std::integral_constant<unsigned, 2>;
    if (channels == 2) {
        if (bounded)
            body(stereo{}, std::true_type{});
        else
            body(stereo{}, std::false_type{});
    } else {
        if (bounded)
            body(mono{}, std::true_type{});
        else
            body(mono{}, std::false_type{});
    }
}

// A position brought into 0 .. range - 1 (range at least 1).
inline uint32_t reduce(uint32_t position, uint64_t range) {
    return position < range ? position : static_cast<uint32_t>(position % range);
}

}  // namespace divavova::delay
