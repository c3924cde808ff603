// Fixed-point phaser: per channel a chain of first-order all-pass stages
// with feedback from the chain's end to its input, the chain's output added
// to the dry signal and limited by the steep knee.  Q15 coefficients, 16-bit
// saturating state kept in the caller's buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/convert.hpp"

namespace divavova {

struct PhaserSettings {
    int32_t coefficient_q15;  // all-pass coefficient a
    int32_t feedback_q15;
    int32_t depth_q15;
    uint32_t stages;  // 1 .. 255
};

// A Q15 control: the low 16 bits (sign-extended) of value * 32767 truncated.
inline int32_t phaser_q15(double value) { return low16(float_to<int32_t>(value * 32767.0)); }

inline PhaserSettings phaser_settings(uint32_t stages, double sweep_hz, double sample_rate, double feedback,
                                      double depth) {
    double ratio = sweep_hz / sample_rate;
    return {phaser_q15((1.0 - ratio) / (1.0 + ratio)), phaser_q15(feedback), phaser_q15(depth), stages};
}

// Below about 1% depth the effect is bypassed: output = input, state untouched.
inline bool phaser_bypassed(const PhaserSettings& s) { return s.depth_q15 <= 328; }

namespace phaser_detail {

// (a * b) / 32768 with the quotient truncated toward zero.
inline int32_t mul_q15(int32_t a, int32_t b) { return (a * b) / 32768; }
inline int32_t sat16(int32_t v) { return clamp(v, -32768, 32767); }

// One sample of one channel through feedback, the stage chain and the knee.
// Each stage computes y = s - a x and stores x + a y.
inline int16_t phase_sample(const PhaserSettings& s, int32_t x, int16_t* feedback, int16_t* stage_cells) {
    int32_t o = sat16(x + sat16(mul_q15(s.feedback_q15, *feedback)));
    const int32_t a = s.coefficient_q15;
    for (uint32_t j = 0; j < s.stages; ++j) {
        int32_t f = sat16(stage_cells[j] + sat16(-mul_q15(a, o)));
        stage_cells[j] = static_cast<int16_t>(sat16(sat16(mul_q15(f, a)) + o));
        o = f;
    }
    *feedback = static_cast<int16_t>(o);
    int32_t t = x + sat16(mul_q15(s.depth_q15, o));
    return static_cast<int16_t>(soft_knee(t, kSteepKnee));  // |t| < 2^17: the knee stays in 16 bits
}

}  // namespace phaser_detail

// Processes count interleaved samples in place (a trailing partial frame
// included).  feedback: channels cells; allpass: channels * stages cells,
// channel-major.
template <unsigned Channels>
void phase_block(const PhaserSettings& s, int16_t* samples, size_t count, int16_t* feedback, int16_t* allpass) {
    using phaser_detail::phase_sample;
    size_t i = 0;
    for (; i + Channels <= count; i += Channels) {
        for (unsigned h = 0; h < Channels; ++h)
            samples[i + h] = phase_sample(s, samples[i + h], feedback + h, allpass + h * s.stages);
    }
    for (unsigned h = 0; i < count; ++i, ++h) samples[i] = phase_sample(s, samples[i], feedback + h, allpass + h * s.stages);
}

}  // namespace divavova
