// Per-voice fixed-point biquad: Q15 coefficients designed per call with
// polynomial sine/cosine, 32-bit wrapping accumulation, s16-range outputs.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "module/convert.hpp"
#include "module/dispatch.hpp"

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

// Frames per pass of the block loops: their scratch lives on the stack.
constexpr size_t kBiquadChunkFrames = 256;

// Stops the compiler from re-associating a wrapping sum across this point.
// The sums are exact in any order; the order only decides which terms wait
// for the previous output.
inline void keep_sum_order(uint32_t& partial) { asm("" : "+r"(partial)); }

// The feedback half of one channel.  Each output waits for the previous one,
// so the time per sample is the latency of the path from one output to the
// next; the loop keeps that path at a shift, a multiply and a subtraction.
//
// The rounded accumulator r gives y = trunc(r / 32768) = floor + correction,
// floor = r >> 15 and correction 1 when r is negative with a remainder.  So
// a1 * y = a1 * floor + (correction ? a1 : 0): the next accumulator subtracts
// the correction term, ready a cycle sooner, before the product with the
// floor.  Beyond the clamp bounds (rare: the branch is predicted) y is the
// bound, kept as floor with no correction.
struct BiquadFeedback {
    int32_t y1, y2;       // the last two outputs
    int32_t floor1;       // y1 - correction (y1 itself after a clamp)
    uint32_t correction1; // a1 where y1 = floor1 + 1, else 0

    static BiquadFeedback from(const BiquadHistory& h) { return {h.y1, h.y2, h.y1, 0u}; }

    // The output for a sample whose feedforward terms and rounding offset
    // (b0 x + b1 x1 + b2 x2 + 16384) sum to ready.
    int32_t step(uint32_t a1, uint32_t a2, uint32_t ready) {
        // r >= 2^30 truncates to 32768 or more, r <= -(2^30 + 2^15) to -32769 or less
        constexpr uint32_t kLowest = static_cast<uint32_t>(-1073774591);
        constexpr uint32_t kSpan = 1073741823u - kLowest;
        uint32_t partial = ready - a2 * static_cast<uint32_t>(y2);
        keep_sum_order(partial);
        partial -= correction1;
        keep_sum_order(partial);
        const int32_t r = static_cast<int32_t>(partial - a1 * static_cast<uint32_t>(floor1));
        const int32_t negative = r >> 31;  // all ones or zero
        int32_t out = (r + (negative & 0x7fff)) >> 15;
        floor1 = r >> 15;
        correction1 = (r & 0x7fff) ? (a1 & static_cast<uint32_t>(negative)) : 0u;
        if (__builtin_expect(static_cast<uint32_t>(r) - kLowest > kSpan, 0)) {
            out = r < 0 ? -32768 : 32767;
            floor1 = out;
            correction1 = 0u;
        }
        y2 = y1;
        y1 = out;
        return out;
    }

    void store(BiquadHistory& h) const {
        h.y1 = y1;
        h.y2 = y2;
    }
};

// Filters frames of Channels interleaved samples, each channel with its own
// history, from in (s16 or i32) to y (i32), in chunks: the feedforward terms
// of a chunk first (no recurrence: they vectorise), then the feedback of
// every channel side by side, so that the channels' chains overlap.
template <int Channels, class Sample>
void biquad_filter_frames(const BiquadQ15& coefficients, BiquadHistory* histories, const Sample* in, int32_t* y,
                          size_t frames) {
    constexpr size_t C = Channels;
    const uint32_t b0 = coefficients.b0, b1 = coefficients.b1, b2 = coefficients.b2;
    // x[0 .. 2C) holds the two previous input frames, x2 first; the chunk follows
    uint32_t x[(kBiquadChunkFrames + 2) * C];
    uint32_t ready[kBiquadChunkFrames * C];
    BiquadFeedback feedback[C];
    for (size_t ch = 0; ch < C; ++ch) {
        x[ch] = static_cast<uint32_t>(histories[ch].x2);
        x[C + ch] = static_cast<uint32_t>(histories[ch].x1);
        feedback[ch] = BiquadFeedback::from(histories[ch]);
    }
    for (size_t done = 0; done < frames;) {
        const size_t m = frames - done < kBiquadChunkFrames ? frames - done : kBiquadChunkFrames;
        const size_t n = m * C;
        const Sample* chunk = in + done * C;
        for (size_t j = 0; j < n; ++j) x[2 * C + j] = static_cast<uint32_t>(static_cast<int32_t>(chunk[j]));
        for (size_t j = 0; j < n; ++j) ready[j] = b0 * x[2 * C + j] + b1 * x[C + j] + b2 * x[j] + 16384u;
        for (size_t i = 0; i < m; ++i)
            for (size_t ch = 0; ch < C; ++ch)
                y[(done + i) * C + ch] = feedback[ch].step(coefficients.a1, coefficients.a2, ready[i * C + ch]);
        for (size_t j = 0; j < 2 * C; ++j) x[j] = x[n + j];
        done += m;
    }
    for (size_t ch = 0; ch < C; ++ch) {
        histories[ch].x2 = static_cast<int32_t>(x[ch]);
        histories[ch].x1 = static_cast<int32_t>(x[C + ch]);
        feedback[ch].store(histories[ch]);
    }
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
        for (size_t i = 0; i < n; ++i) out[i] = soft_knee_low16(static_cast<int32_t>(blend(i)), kKneeFactor2);
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = soft_knee_low16(float_to<int32_t>(blend(i)), kKneeFactor2);
    }
}

// process_s16's loop: each chunk filtered into scratch, then blended with
// its dry samples into out.
template <int Channels>
void biquad_filter_blend(BiquadQ15 coefficients, BiquadHistory* histories, const int16_t* dry, int16_t* out,
                         size_t frames, double mix) {
    int32_t wet[kBiquadChunkFrames * Channels];
    for (size_t done = 0; done < frames; done += kBiquadChunkFrames) {
        const size_t m = frames - done < kBiquadChunkFrames ? frames - done : kBiquadChunkFrames;
        biquad_filter_frames<Channels>(coefficients, histories, dry + done * Channels, wet, m);
        biquad_blend(out + done * Channels, dry + done * Channels, wet, m * Channels, mix);
    }
}

// Advances the histories by a block of s16 samples without an output (when
// process_s16's result cannot be had, the filter has run all the same).
inline void biquad_advance(BiquadQ15 coefficients, BiquadHistory* histories, const int16_t* dry, size_t n,
                           int channels) {
    int32_t wet[kBiquadChunkFrames * 2];
    const size_t frames = n / static_cast<size_t>(channels);
    for (size_t done = 0; done < frames; done += kBiquadChunkFrames) {
        const size_t m = frames - done < kBiquadChunkFrames ? frames - done : kBiquadChunkFrames;
        if (channels == 2)
            biquad_filter_frames<2>(coefficients, histories, dry + done * 2, wet, m);
        else
            biquad_filter_frames<1>(coefficients, histories, dry + done, wet, m);
    }
}

// process_i32's loop: one channel of i32 samples from in to out.
inline void biquad_filter_i32(BiquadQ15 coefficients, BiquadHistory* history, const int32_t* in, int32_t* out,
                              size_t n) {
    biquad_filter_frames<1>(coefficients, history, in, out, n);
}

}  // namespace divavova
