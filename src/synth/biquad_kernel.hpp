// Per-voice fixed-point biquad: Q15 coefficients designed per call with
// polynomial sine/cosine, 32-bit wrapping accumulation, s16-range outputs.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "module/convert.hpp"

namespace divavova {

enum BiquadMode : uint32_t {
    kLowPass = 0,
    kHighPass = 1,
    kBandPass = 2,
    kNotch = 3,
    kPeaking = 4,
    kLowShelf = 5,
    kHighShelf = 6,
};
constexpr uint32_t kBiquadModes = 7;

struct BiquadQ15 {
    int32_t a1, a2, b0, b1, b2;
};

// Approximates 1 / sqrt(a) in single precision with one Newton step from the
// bit-level first guess.
inline float approximate_inverse_sqrt(float a) {
    const uint32_t guess = 0x5F3759DFu - (std::bit_cast<uint32_t>(a) >> 1);
    const float y = std::bit_cast<float>(guess);
    return (1.5f - ((0.5f * a) * y) * y) * y;
}

// Cookbook-form design with sine and cosine from polynomials fitted over
// 0 .. pi/2 (both exact at the ends), normalised by a0 and rounded to Q15.
// Non-finite or enormous values saturate in the conversion; NaN gives 0.
inline BiquadQ15 design_biquad(uint32_t mode, double frequency_hz, double q, double gain, uint32_t sample_rate) {
    const double w = (1.0 / static_cast<double>(sample_rate)) * 6.283185307179586 * frequency_hz;
    const double x = w * 1.2732395447351628 - 1.0;
    const double x2 = x * x;
    const double x3 = x2 * x;
    const double x4 = x2 * x2;
    const double x5 = x3 * x2;
    const double even = (0.0109 * x4 + (-0.21798592) * x2) + 0.70708592;
    const double odd = ((-0.00171961) * x5 + 0.05707685 * x3) + (-0.55535724) * x;
    const double cw = odd + even;
    const double sw = even - odd;
    const double alpha = sw / (q + q);
    const double A = gain;

    // Modes 0 to 3 share the denominator; the peaking and shelf forms set their own.
    double b0 = 0, b1 = 0, b2 = 0;
    double a0 = 1.0 + alpha, a1 = -2.0 * cw, a2 = 1.0 - alpha;
    switch (mode) {
        case kLowPass:
            b0 = (1.0 - cw) * 0.5;
            b1 = 1.0 - cw;
            b2 = b0;
            break;
        case kHighPass:
            b0 = (1.0 + cw) * 0.5;
            b1 = -(1.0 + cw);
            b2 = b0;
            break;
        case kBandPass:
            b0 = alpha;
            b1 = 0.0;
            b2 = -alpha;
            break;
        case kNotch:
            b0 = 1.0;
            b1 = -2.0 * cw;
            b2 = 1.0;
            break;
        case kPeaking:
            b0 = 1.0 + alpha * A;
            b1 = -2.0 * cw;
            b2 = 1.0 - alpha * A;
            a0 = 1.0 + alpha / A;
            a2 = 1.0 - alpha / A;
            break;
        default: {  // the two shelves
            const double r = static_cast<double>(approximate_inverse_sqrt(static_cast<float>(A)));
            const double s = ((r * A) + (r * A)) * alpha;
            const double t1 = cw * (A - 1.0);
            const double t2 = cw * (A + 1.0);
            const double P = s + (t1 + (A + 1.0));
            const double P_ = (t1 + (A + 1.0)) - s;
            const double M = s + ((A + 1.0) - t1);
            const double M_ = ((A + 1.0) - t1) - s;
            const double U = t2 + (A - 1.0);
            const double V = (A - 1.0) - t2;
            if (mode == kLowShelf) {
                b0 = A * M;
                b1 = (2.0 * A) * V;
                b2 = A * M_;
                a0 = P;
                a1 = -2.0 * U;
                a2 = P_;
            } else {
                b0 = A * P;
                b1 = (-2.0 * A) * U;
                b2 = A * P_;
                a0 = M;
                a1 = 2.0 * V;
                a2 = M_;
            }
            break;
        }
    }
    const double inv = 1.0 / a0;
    auto q15 = [inv](double value) { return float_to<int32_t>(std::round(std::ldexp(inv * value, 15))); };
    BiquadQ15 c;
    c.a1 = q15(a1);
    c.a2 = q15(a2);
    c.b0 = q15(b0);
    c.b1 = q15(b1);
    c.b2 = q15(b2);
    return c;
}

struct BiquadHistory {
    int32_t x1, x2, y1, y2;
};

// One sample through the filter: a 32-bit wrapping accumulator, rounded by
// +16384 and a truncating division by 32768, clamped to s16.  Wrapping sums
// are associative, so the terms that do not wait for the previous output
// (and the rounding offset) are added first and y1 comes last.
inline int32_t biquad_step(const BiquadQ15& c, BiquadHistory& h, int32_t x) {
    const uint32_t ready = static_cast<uint32_t>(c.b0) * static_cast<uint32_t>(x) +
                           static_cast<uint32_t>(c.b1) * static_cast<uint32_t>(h.x1) +
                           static_cast<uint32_t>(c.b2) * static_cast<uint32_t>(h.x2) -
                           static_cast<uint32_t>(c.a2) * static_cast<uint32_t>(h.y2) + 16384u;
    const uint32_t rounded_acc = ready - static_cast<uint32_t>(c.a1) * static_cast<uint32_t>(h.y1);
    const int32_t y = clamp(static_cast<int32_t>(rounded_acc) / 32768, -32768, 32767);
    h.x2 = h.x1;
    h.x1 = x;
    h.y2 = h.y1;
    h.y1 = y;
    return y;
}

// Filters n samples in place with one history.
inline void biquad_filter(const BiquadQ15& coefficients, BiquadHistory& h, int32_t* samples, size_t n) {
    const BiquadQ15 c = coefficients;  // a local copy cannot alias the samples
    BiquadHistory local = h;
    for (size_t i = 0; i < n; ++i) samples[i] = biquad_step(c, local, samples[i]);
    h = local;
}

// Filters n interleaved frames of Channels samples in place, each channel with
// its own history.  The channels are independent, so running them side by
// side gives what filtering them one after the other does.
template <int Channels>
void biquad_filter_interleaved(const BiquadQ15& coefficients, BiquadHistory* histories, int32_t* samples,
                               size_t frames) {
    const BiquadQ15 c = coefficients;
    BiquadHistory local[Channels];
    for (int ch = 0; ch < Channels; ++ch) local[ch] = histories[ch];
    for (size_t f = 0; f < frames; ++f)
        for (int ch = 0; ch < Channels; ++ch)
            samples[f * Channels + ch] = biquad_step(c, local[ch], samples[f * Channels + ch]);
    for (int ch = 0; ch < Channels; ++ch) histories[ch] = local[ch];
}

// Blend of dry input and filtered samples, through the soft knee for two
// full-scale ranges, low 16 bits stored.
inline void biquad_blend(int16_t* out, const int16_t* dry, const int32_t* wet, size_t n, double mix) {
    const double dry_share = 1.0 - mix;
    auto blend = [&](size_t i) {
        return static_cast<double>(dry[i]) * dry_share + static_cast<double>(wet[i]) * mix;
    };
    // |blend| <= 32768 (|dry share| + |mix|): when that is below 2^31 (any
    // ordinary mix) the plain conversion is defined; otherwise convert safely.
    const double bound = 32768.0 * (std::fabs(dry_share) + std::fabs(mix));
    if (bound < 2147483647.0) {
        for (size_t i = 0; i < n; ++i) out[i] = low16(soft_knee(static_cast<int32_t>(blend(i)), kKneeFactor2));
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = low16(soft_knee(float_to<int32_t>(blend(i)), kKneeFactor2));
    }
}

}  // namespace divavova
