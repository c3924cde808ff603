// Waveshaping distortion on s16 samples: pre-gain, one of four curves,
// post-gain, an optional exponential soft limiter and a dry/wet mix.  Every
// sample is shaped on its own, so a block is any run of samples.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "effects/distortion_fast.hpp"
#include "module/convert.hpp"
#include "module/dispatch.hpp"

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

// Exponential saturation of u.  For |a| beyond about 709 both exponentials
// of a side overflow and the quotient is inf / inf; the curve has long since
// reached its limit of +-1 there, so that is what it gives.
inline double exponential_curve(double u) {
    double a = 0.686306 * u;
    double e = exp(a);
    double numerator = e - exp(-a * (1.0 + exp(-0.75 * sqrt(std::fabs(a)))));
    double curve = numerator / (exp(-a) + e);
    if (std::isnan(curve)) return a > 0.0 ? 1.0 : -1.0;
    return curve;
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

// The wet sample w of input x, before the mix.
template <DistortionShape Shape, bool SoftLimit, bool Safe>
inline int32_t shaped(const DistortionSettings& s, double x) {
    int32_t v = truncate<Safe, int32_t>(x * s.pre_gain);
    if constexpr (Shape == DistortionShape::bit_reduction) v &= s.bit_mask;
    if constexpr (Shape == DistortionShape::bit_reduction && !SoftLimit) {
        // Raw sample units.  Clamping the finite product before truncating is
        // the same as clamping the truncated value (the bounds are integers).
        double w = static_cast<double>(v) * s.post_gain;
        if constexpr (Safe) {
            return static_cast<int32_t>(clamp(w, -32767.0, 32767.0));
        } else {
            return clamp(float_to<int32_t>(w), -32767, 32767);
        }
    } else {
        double u = static_cast<double>(v) * 3.0517578125e-05;
        if constexpr (Shape == DistortionShape::power) {
            double magnitude = pow(std::fabs(u), s.curve_constant);
            u = v < 0 ? -magnitude : magnitude;
        } else if constexpr (Shape == DistortionShape::exponential) {
            u = exponential_curve(u);
        } else if constexpr (Shape == DistortionShape::rational) {
            u = ((s.curve_constant + 1.0) * u) / ((std::fabs(u) * s.curve_constant) + 1.0);
        }
        u = u * s.post_gain;
        if constexpr (SoftLimit) {
            u = u > 0.0 ? 1.0 - exp(-u) : exp(u) - 1.0;
            return float_to<int32_t>(u * 32767.0);  // |u| < 1, or NaN giving 0
        } else {
            return clamp(float_to<int32_t>(u * 32767.0), -32767, 32767);
        }
    }
}

// The output of input x with wet sample w.
template <bool Safe>
inline int16_t mixed(const DistortionSettings& s, double x, int32_t w) {
    // With a mix outside 0 .. 1 the sum can leave the 16-bit range: saturate.
    return truncate<Safe, int16_t>(((1.0 - s.mix) * x) + (static_cast<double>(w) * s.mix));
}

template <DistortionShape Shape, bool SoftLimit, bool Safe>
inline int16_t distort_sample(const DistortionSettings& s, int16_t sample) {
    double x = sample;
    return mixed<Safe>(s, x, shaped<Shape, SoftLimit, Safe>(s, x));
}

// Whether the fast path below serves these settings (and its constants).
inline bool fast_path(const DistortionSettings& s, distortion_fast::FastSettings* f) {
    bool power = s.shape == DistortionShape::power;
    return (power || s.shape == DistortionShape::exponential) &&
           distortion_fast::fast_settings(power, s.soft_limit, s.pre_gain, s.post_gain, s.curve_constant, s.mix, f);
}

// The certified fast path (distortion_fast.hpp) over a block, N samples at a
// time: w of every sample by the fast chain, the uncertain ones again by the
// exact chain, then the mix.  Only for settings that fast_path accepts,
// which imply the Safe conversions.
template <DistortionShape Shape, bool SoftLimit, int N>
[[gnu::always_inline]] inline void distort_fast(const DistortionSettings* s, const distortion_fast::FastSettings* f,
                                                const int16_t* in, int16_t* out, size_t count) {
    using L = distortion_fast::Lanes<N>;
    constexpr size_t kLanes = N, kChunk = 256, kGroups = kChunk / kLanes;
    typename L::F64 u[kGroups];
    typename L::CurveStart start[kGroups];
    int32_t w[kChunk];
    for (size_t first = 0; first < count; first += kChunk) {
        size_t n = count - first < kChunk ? count - first : kChunk;
        size_t groups = (n + kLanes - 1) / kLanes;
        const int16_t* x = in + first;
        for (size_t i = 0; i < n / kLanes; ++i) u[i] = L::pre_gained(*f, load<typename L::I16>(x + (i * kLanes)));
        if (n % kLanes != 0) {
            typename L::I16 tail{};  // the lanes past the end shape 0
            std::memcpy(&tail, x + (n / kLanes * kLanes), (n % kLanes) * sizeof(int16_t));
            u[n / kLanes] = L::pre_gained(*f, tail);
        }
        if constexpr (Shape == DistortionShape::power) {
            for (size_t i = 0; i < groups; ++i) u[i] = L::power_curve(*f, u[i]);
        } else {
            for (size_t i = 0; i < groups; ++i) L::exponential_start(u[i], start[i]);
            for (size_t i = 0; i < groups; ++i) u[i] = L::exponential_end(*f, start[i]);
        }
        typename L::I32 uncertain{};
        for (size_t i = 0; i < groups; ++i) {
            typename L::I32 lanes = L::template certified<SoftLimit>(*f, u[i]);
            uncertain |= lanes == distortion_fast::kUncertain;
            store(w + (i * kLanes), lanes);
        }
        int32_t any = 0;
        for (size_t j = 0; j < kLanes; ++j) any |= uncertain[j];
        if (any != 0) {
            for (size_t i = 0; i < n; ++i)
                if (w[i] == distortion_fast::kUncertain) w[i] = shaped<Shape, SoftLimit, true>(*s, x[i]);
        }
        for (size_t i = 0; i < n; ++i) out[first + i] = mixed<true>(*s, x[i], w[i]);
    }
}

template <DistortionShape Shape, bool SoftLimit>
void distort_fast4(const DistortionSettings* s, const distortion_fast::FastSettings* f, const int16_t* in,
                   int16_t* out, size_t count) {
    distort_fast<Shape, SoftLimit, 4>(s, f, in, out, count);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <DistortionShape Shape, bool SoftLimit>
__attribute__((target("avx512f,avx512dq,avx512vl"))) void distort_fast8(const DistortionSettings* s,
                                                                        const distortion_fast::FastSettings* f,
                                                                        const int16_t* in, int16_t* out,
                                                                        size_t count) {
    distort_fast<Shape, SoftLimit, 8>(s, f, in, out, count);
}
#endif

// Eight lanes where the processor has AVX-512, else four (AVX2 or baseline).
template <DistortionShape Shape, bool SoftLimit>
void distort_fast_dispatch(const DistortionSettings& s, const distortion_fast::FastSettings& f, const int16_t* in,
                           int16_t* out, size_t count) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool has_avx512 =
        DIVAVOVA_CPU_SUPPORTS("avx512f") && DIVAVOVA_CPU_SUPPORTS("avx512dq") && DIVAVOVA_CPU_SUPPORTS("avx512vl");
    if (has_avx512) return distort_fast8<Shape, SoftLimit>(&s, &f, in, out, count);
#endif
    run_kernel<distort_fast4<Shape, SoftLimit>>(&s, &f, in, out, count);
}

// memo: nullptr, or 65536 zeroed cells remembering the output of each input
// value (stored + 65536, so 0 means "not yet").  Worth it on long blocks of
// the curves that call exp or pow.
template <DistortionShape Shape, bool SoftLimit, bool Safe>
void distort_block(const DistortionSettings& s, const int16_t* in, int16_t* out, size_t count, int32_t* memo) {
    if (memo) {
        for (size_t i = 0; i < count; ++i) {
            int32_t& cell = memo[in[i] + 32768];
            if (cell == 0) cell = distort_sample<Shape, SoftLimit, Safe>(s, in[i]) + 65536;
            out[i] = static_cast<int16_t>(cell - 65536);
        }
    } else {
        for (size_t i = 0; i < count; ++i) out[i] = distort_sample<Shape, SoftLimit, Safe>(s, in[i]);
    }
}

template <DistortionShape Shape, bool SoftLimit>
void distort_block(const DistortionSettings& s, const int16_t* in, int16_t* out, size_t count, int32_t* memo) {
    // Plain casts are exact when x * pre stays within 32 bits, the mix keeps
    // the sum between the dry and the wet sample, and (bit reduction) the
    // post-gain product is finite.
    bool safe = s.pre_gain < 65535.0 && s.mix >= 0.0 && s.mix <= 1.0 &&
                (Shape != DistortionShape::bit_reduction || SoftLimit || std::fabs(s.post_gain) < 1e290);
    if (safe) {
        distort_block<Shape, SoftLimit, true>(s, in, out, count, memo);
    } else {
        distort_block<Shape, SoftLimit, false>(s, in, out, count, memo);
    }
}

template <DistortionShape Shape>
void distort_block(const DistortionSettings& s, const int16_t* in, int16_t* out, size_t count, int32_t* memo) {
    if constexpr (Shape == DistortionShape::power || Shape == DistortionShape::exponential) {
        distortion_fast::FastSettings f;
        if (!memo && fast_path(s, &f)) {
            if (s.soft_limit) return distort_fast_dispatch<Shape, true>(s, f, in, out, count);
            return distort_fast_dispatch<Shape, false>(s, f, in, out, count);
        }
    }
    if (s.soft_limit) {
        distort_block<Shape, true>(s, in, out, count, memo);
    } else {
        distort_block<Shape, false>(s, in, out, count, memo);
    }
}

}  // namespace distortion_detail

// Whether a block of count samples is worth remembering per input value:
// long blocks of the curves that call exp or pow, unless the fast path
// serves them (it is faster per sample than the exact chain is per value).
inline bool distortion_wants_memo(const DistortionSettings& s, size_t count) {
    distortion_fast::FastSettings f;
    return count >= 4096 && !(s.shape == DistortionShape::bit_reduction && !s.soft_limit) &&
           !distortion_detail::fast_path(s, &f);
}

// Shapes count samples from in into out (which may be the same memory).
// shape must be 0 .. 3.
inline void distort(const DistortionSettings& s, const int16_t* in, int16_t* out, size_t count, int32_t* memo) {
    using namespace distortion_detail;
    switch (s.shape) {
        case DistortionShape::power:
            return distort_block<DistortionShape::power>(s, in, out, count, memo);
        case DistortionShape::bit_reduction:
            return distort_block<DistortionShape::bit_reduction>(s, in, out, count, memo);
        case DistortionShape::exponential:
            return distort_block<DistortionShape::exponential>(s, in, out, count, memo);
        case DistortionShape::rational:
            return distort_block<DistortionShape::rational>(s, in, out, count, memo);
    }
}

}  // namespace divavova
