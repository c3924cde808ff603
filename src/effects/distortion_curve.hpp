// Waveshaping distortion on s16 samples: pre-gain, one of four curves,
// post-gain, an optional exponential soft limiter and a dry/wet mix.  Every
// sample is shaped on its own, so a block is any run of samples.
//
// The curves and the limiter are written once, as templates on the maths
// they call (exp, pow, sqrt, abs and signs, bundled as a class M).  The exact
// chain instantiates them with ExactMath below, the C library on one sample
// at a time; the fast path (distortion_fast.hpp) instantiates the same
// expressions with polynomial exp and log over lanes of doubles, so the two
// chains do the same arithmetic operations in the same order and differ only
// in their exp and log.  Its proof of exactness rests on that.
#pragma once

#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "module/convert.hpp"

// The fast path instantiates the templates below with vectors of doubles.
// Every function taking or returning one is inlined into a block loop, so no
// vector crosses a call and GCC's note on the vector calling convention does
// not apply.  GCC reports it at the end of the translation unit, so it is
// silenced for the rest of the including file (distortion.cpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace divavova {

enum class DistortionShape : int { power = 0, bit_reduction = 1, exponential = 2, rational = 3 };

struct DistortionSettings {
    DistortionShape shape;
    bool soft_limit;
    double pre_gain;        // linear
    double post_gain;       // linear
    double curve_constant;  // power: exponent; rational: slope
    int32_t bit_mask;       // bit reduction: the bits that survive
    double mix;             // wet fraction
};

// dB to a linear factor: exp(dB * ln(10) / 20).
inline double distortion_gain(double gain_db) { return exp(gain_db * 0.11512925464970228); }

inline DistortionSettings distortion_settings(double drive, double pre_gain_db, double post_gain_db, int shape,
                                              bool soft_limit, double mix) {
    DistortionSettings s{};
    s.shape = static_cast<DistortionShape>(shape);
    s.soft_limit = soft_limit;
    s.pre_gain = distortion_gain(pre_gain_db);
    s.post_gain = distortion_gain(post_gain_db);
    s.mix = mix;
    switch (s.shape) {
        case DistortionShape::power:
            s.curve_constant = 1.0001 - drive;
            break;
        case DistortionShape::rational:
            s.curve_constant = (2.0 * drive) / (1.0001 - drive);
            break;
        case DistortionShape::bit_reduction: {
            // The shift is the rounded drive modulo 32 (a 64-bit integer keeps
            // that exact for every drive a caller can mean; NaN gives 0).
            int64_t bits = float_to<int64_t>(std::round(drive * 14.0)) & 31;
            s.bit_mask = static_cast<int32_t>(UINT32_MAX << bits);
            break;
        }
        case DistortionShape::exponential:
            break;
    }
    return s;
}

namespace distortion_detail {

constexpr double kSampleStep = kFromS16;  // a sample value as a fraction of full scale, exact in double
constexpr double kFullScale = 32767.0;           // the largest wet sample
constexpr double kExponentialScale = 0.686306;   // a = this * u in the exponential curve

// e^z and e^-z.
template <class Real>
struct ExpPair {
    Real plus, minus;
};

// The C library on one sample.
struct ExactMath {
    using Real = double;
    static double exp(double z) { return std::exp(z); }
    static ExpPair<double> exp_pair(double z) { return {std::exp(z), std::exp(-z)}; }
    static double pow(double x, double p) { return std::pow(x, p); }
    static double sqrt(double x) { return std::sqrt(x); }
    static double abs(double x) { return std::fabs(x); }
    // magnitude with the sign of s (magnitude is never negative, NaN aside).
    static double with_sign_of(double magnitude, double s) { return std::copysign(magnitude, s); }
    // For |a| beyond about 709 both exponentials of a side overflow and the
    // curve's quotient is inf / inf; the curve has long since reached its
    // limit of +-1 there, so that is what it gives.
    static double exponential_limit(double a, double curve) {
        if (std::isnan(curve)) return a > 0.0 ? 1.0 : -1.0;
        return curve;
    }
};

// u2: the curve of u = v / 32768 (v the pre-gained sample), times the post
// gain.  Bit reduction leaves u as it is.
template <class M, DistortionShape Shape>
[[gnu::always_inline]] inline typename M::Real curve(const DistortionSettings& s, typename M::Real u) {
    using Real = typename M::Real;
    if constexpr (Shape == DistortionShape::power) {
        // |u|^P, negated where v < 0 (where u < 0).
        u = M::with_sign_of(M::pow(M::abs(u), s.curve_constant), u);
    } else if constexpr (Shape == DistortionShape::exponential) {
        Real a = kExponentialScale * u;
        ExpPair<Real> e = M::exp_pair(a);
        Real numerator = e.plus - M::exp(-a * (1.0 + M::exp(-0.75 * M::sqrt(M::abs(a)))));
        u = M::exponential_limit(a, numerator / (e.minus + e.plus));
    } else if constexpr (Shape == DistortionShape::rational) {
        u = ((s.curve_constant + 1.0) * u) / ((M::abs(u) * s.curve_constant) + 1.0);
    }
    return u * s.post_gain;
}

// The soft limiter on u2: 1 - e^-u2 above 0, e^u2 - 1 otherwise, written as
// sign(u2) (1 - e^-|u2|), which rounds the same (rounding is symmetric).
template <class M>
struct Limited {
    typename M::Real size;  // |u2|
    typename M::Real tail;  // e^-|u2|
    typename M::Real y;     // the limited value times 32767
};

template <class M>
[[gnu::always_inline]] inline Limited<M> soft_limited(typename M::Real u2) {
    Limited<M> l;
    l.size = M::abs(u2);
    l.tail = M::exp(-l.size);
    l.y = M::with_sign_of(1.0 - l.tail, u2) * kFullScale;
    return l;
}

// Float to integer conversions.  Safe: the caller has proved every value is
// finite and in range, so a plain truncating cast is the same and vectorises.
template <bool Safe, class Int>
inline Int truncate(double v) {
    if constexpr (Safe) {
        return static_cast<Int>(v);
    } else {
        return float_to<Int>(v);
    }
}

// The wet sample w of input x, before the mix, by the exact chain.
template <DistortionShape Shape, bool SoftLimit, bool Safe>
inline int32_t shaped(const DistortionSettings& s, double x) {
    int32_t v = truncate<Safe, int32_t>(x * s.pre_gain);
    if constexpr (Shape == DistortionShape::bit_reduction) v &= s.bit_mask;
    if constexpr (Shape == DistortionShape::bit_reduction && !SoftLimit) {
        // Raw sample units.  Clamping the finite product before truncating is
        // the same as clamping the truncated value (the bounds are integers).
        double w = static_cast<double>(v) * s.post_gain;
        if constexpr (Safe) {
#if defined(__SSE2__)
            // The clamp as one max and one min instruction (maxsd(a, b) is "a if
            // b < a, else b", minsd(a, b) "a if a < b, else b"), not the
            // branches the compiler makes of it, which random samples mispredict.
            const __m128d bounded = _mm_min_sd(_mm_set_sd(kFullScale), _mm_max_sd(_mm_set_sd(-kFullScale), _mm_set_sd(w)));
            return static_cast<int32_t>(_mm_cvtsd_f64(bounded));
#else
            return static_cast<int32_t>(clamp(w, -kFullScale, kFullScale));
#endif
        } else {
            return clamp(float_to<int32_t>(w), -32767, 32767);
        }
    } else {
        double u2 = curve<ExactMath, Shape>(s, static_cast<double>(v) * kSampleStep);
        if constexpr (SoftLimit) {
            return float_to<int32_t>(soft_limited<ExactMath>(u2).y);  // |y| < 32768, or NaN giving 0
        } else {
            return clamp(float_to<int32_t>(u2 * kFullScale), -32767, 32767);
        }
    }
}

// The output of input x with wet sample w.
template <bool Safe>
inline int16_t mixed(const DistortionSettings& s, double x, int32_t w) {
    // With a mix outside 0 .. 1 the sum can leave the 16-bit range: saturate.
    return truncate<Safe, int16_t>(((1.0 - s.mix) * x) + (static_cast<double>(w) * s.mix));
}

}  // namespace distortion_detail
}  // namespace divavova
