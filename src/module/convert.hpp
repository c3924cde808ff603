// Shared sample conversions, knees, laws and integer helpers.
//
// Plain C++ (no Python.h) so every kernel can use them.  Each rule of the
// module's arithmetic lives here exactly once; kernels call these instead of
// writing their own variant.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace divavova {

// ---------------------------------------------------------------------------
// Clamps and saturation

// clamp(v, a, b) = a if v < a else min(b, v).  min(b, v) is "b if b < v else
// v", so a NaN v passes through unchanged: callers that turn the result into
// an index go through float_to<> below, which maps NaN to 0.
// Also for lanes of floats (module/lanes.hpp).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"  // lanes are inlined: their calling convention never matters
template <class T>
constexpr T clamp(T v, T a, T b) {
    return v < a ? a : (b < v ? b : v);
}
#pragma GCC diagnostic pop

constexpr int32_t saturate_s16(int64_t v) {
    return v > 32767 ? 32767 : (v < -32768 ? -32768 : static_cast<int32_t>(v));
}

constexpr int32_t saturate_i32(int64_t v) {
    return v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v));
}

// ---------------------------------------------------------------------------
// 32-bit wrap-around.  Documented wrapping arithmetic is done in uint32_t and
// converted back; C++20 defines that conversion (modulo 2^32) and >> of
// negative values (arithmetic, flooring).

constexpr int32_t wrap_i32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
constexpr int32_t wrap_add_i32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t wrap_sub_i32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
constexpr int32_t wrap_mul_i32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
// Low 16 bits of a 32-bit value, as stored by an s16 write without saturation.
constexpr int16_t low16(int64_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// ---------------------------------------------------------------------------
// Float to integer with a defined result for every input: in-range values
// truncate toward zero (as a C cast does), NaN gives 0, values beyond the
// target's range saturate.  Every index derived from a float goes through
// this and is then bounded by its owner.

template <class Int, class Float>
constexpr Int float_to(Float v) {
    static_assert(std::is_integral_v<Int> && std::is_floating_point_v<Float>);
    if (!(v == v)) return 0;
    // Compare in a type that holds both bounds exactly: double for targets of
    // up to 32 bits (cheap, no x87), long double for 64-bit targets.
    using Wide = std::conditional_t<(sizeof(Int) <= 4), double, long double>;
    constexpr Wide lo = static_cast<Wide>(std::numeric_limits<Int>::min());
    constexpr Wide hi = static_cast<Wide>(std::numeric_limits<Int>::max()) + Wide(1);  // first value out of range
    const Wide w = static_cast<Wide>(v);
    if (w >= hi) return std::numeric_limits<Int>::max();
    if (w <= lo - Wide(1)) return std::numeric_limits<Int>::min();
    return static_cast<Int>(v);
}

// ---------------------------------------------------------------------------
// Full-scale units: an s16 sample times kFromS16 (2^-15, exact in float and
// double) is its value with full scale at 1.0; times kToS16 back.  Dividing
// by 32768 instead gives the same bits: both round the same exact quotient.

inline constexpr float kFromS16 = 0x1p-15f;
inline constexpr float kToS16 = 32768.0f;

// ---------------------------------------------------------------------------
// s16(v): the output conversion of the float engines.  32767 above 32767,
// -32768 below -32768, else rounded half away from zero: v + 0.5 truncated
// for v >= 0, v - 0.5 truncated for v < 0, the addition in v's own precision.
// NaN gives 0.

// v held to the s16 range: NaN gives 0, a value beyond a bound the bound.
// Selects only, no branches: vectorises, and does not mispredict on broadband
// audio.  For one float or for lanes of floats (module/lanes.hpp).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"  // lanes are inlined: their calling convention never matters
template <class F>
inline F held_to_s16_range(F v) {
    v = v == v ? v : 0.0f;
    v = v > 32767.0f ? 32767.0f : v;
    v = v < -32768.0f ? -32768.0f : v;
    return v;
}
#pragma GCC diagnostic pop

inline int16_t s16(float v) {
    // Holding v to the limits first changes nothing, since 32767 + 0.5 and
    // -32768 - 0.5 truncate back to the limits.
    v = held_to_s16_range(v);
    // v + 0.5f for v >= 0 (also -0), v + (-0.5f) == v - 0.5f below 0.
    return static_cast<int16_t>(static_cast<int32_t>(v + std::copysign(0.5f, v)));
}

// ---------------------------------------------------------------------------
// Soft knee with factor k on a 32-bit integer x: unchanged within +-28000,
// beyond it the excess is scaled by k / 65536 (flooring shift).  The value is
// returned in full; callers store its low 16 bits (low16) where the wrap is
// the documented behaviour, or saturate_s16 where a wrap would be a click.
// The product is formed in 64 bits: identical to the 32-bit product wherever
// that does not overflow, and defined where it would.

constexpr int32_t kKneeThreshold = 28000;

constexpr int64_t soft_knee(int64_t x, int32_t k) {
    if (x > kKneeThreshold) return (((x - kKneeThreshold) * k) >> 16) + kKneeThreshold;
    if (x < -kKneeThreshold) return (((x + kKneeThreshold) * k) >> 16) - kKneeThreshold;
    return x;
}

// low16(soft_knee(x, k)) in 32-bit arithmetic, for loops that vectorise:
// the low 16 bits of (excess x k) >> 16 are bits 16 .. 31 of the product,
// which the wrapping 32-bit product has right, and the low 16 bits of a sum
// depend only on those of its terms.
constexpr int16_t soft_knee_low16(int32_t x, int32_t k) {
    const int32_t inside = clamp(x, -kKneeThreshold, kKneeThreshold);
    const uint32_t product = static_cast<uint32_t>(x - inside) * static_cast<uint32_t>(k);
    return low16((static_cast<int32_t>(product) >> 16) + inside);
}

// k = 268435455 / (m * 32768 - 28000) for a knee that folds m full-scale s16
// ranges into one; m = 2 gives 7151, m = 64 gives 129.  m must be at least 1.
constexpr int32_t knee_factor(uint32_t ranges) {
    int64_t denominator = static_cast<int64_t>(ranges) * 32768 - kKneeThreshold;
    if (denominator <= 0) return 268435455;  // m = 0 does not occur; keep it defined
    int64_t k = 268435455 / denominator;
    return static_cast<int32_t>(k);
}

constexpr int32_t kKneeFactor2 = 7151;  // knee_factor(2)
constexpr int32_t kSteepKnee = 2;       // maps everything beyond the knee to about +-28000
static_assert(knee_factor(2) == kKneeFactor2);
static_assert(knee_factor(64) == 129);

// ---------------------------------------------------------------------------
// Dry/wet law: a mix from 0 to 2 gives dry = min(2 - mix, 1), wet = min(mix, 1).

template <class T>
struct DryWet {
    T dry;
    T wet;
};

template <class T>
constexpr DryWet<T> dry_wet(T mix) {
    T two_less = T(2) - mix;
    return {two_less < T(1) ? two_less : T(1), mix < T(1) ? mix : T(1)};
}

// ---------------------------------------------------------------------------
// one-pole(f): coefficient of a one-pole smoother at f hertz, single precision.
// The state moves as y = (x - y) * a + y.

inline float one_pole(float frequency_hz, uint32_t sample_rate) {
    if (frequency_hz <= 0.0f || sample_rate == 0) return 0.0f;
    float a = 1.0f - expf((frequency_hz * -6.2831855f) / static_cast<float>(sample_rate));
    return clamp(a, 0.0f, 1.0f);
}

// One step of that state toward x, for a float or lanes of floats.  y + a *
// (x - y) is the same expression: each operation is commutative in IEEE
// arithmetic, the difference is formed first either way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"  // lanes are inlined: their calling convention never matters
template <class T>
inline T one_pole_step(T y, T x, float a) {
    return (x - y) * a + y;
}

// Linear interpolation from a toward b by fraction f (0 gives a), the
// difference formed first; for floats or lanes of floats.
template <class T>
inline T interpolated(T a, T b, T f) {
    return a + (b - a) * f;
}
#pragma GCC diagnostic pop

// ---------------------------------------------------------------------------
// Sine oscillator (magic circle): k = 2 sin(pi rate / sample rate); per frame
// s += k v, then v -= k s with the new s.  Starts at s = 0, v = 1.

struct SineOscillator {
    float k = 0.0f;
    float s = 0.0f;
    float v = 1.0f;

    static float coefficient(float rate_hz, uint32_t sample_rate) {
        return 2.0f * sinf((3.14159265f * rate_hz) / static_cast<float>(sample_rate));
    }
    void restart() {
        s = 0.0f;
        v = 1.0f;
    }
    // Advances one frame and returns the new sine value s.
    float step() {
        s = s + k * v;
        v = v - k * s;
        return s;
    }
};

// ---------------------------------------------------------------------------
// Unaligned sample access for caller buffers (a memoryview slice may start at
// an odd address).

// Also lanes of values (module/lanes.hpp).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"  // lanes are inlined: their calling convention never matters
template <class T>
inline T load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
inline void store(void* p, T v) {
    std::memcpy(p, &v, sizeof v);
}
#pragma GCC diagnostic pop

}  // namespace divavova
