// Fixed-point phaser: per channel a chain of first-order all-pass stages
// with feedback from the chain's end to its input, the chain's output added
// to the dry signal and limited by the steep knee.  Q15 coefficients, 16-bit
// saturating state kept in the caller's buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "module/convert.hpp"
#include "module/dispatch.hpp"
#include "module/lanes.hpp"

namespace divavova {

constexpr uint32_t kPhaserMaxStages = 255;

struct PhaserSettings {
    int32_t coefficient_q15;  // all-pass coefficient a
    int32_t feedback_q15;
    int32_t depth_q15;
    uint32_t stages;  // 1 .. kPhaserMaxStages
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

// (a * b) / 32768 with the quotient truncated toward zero, for an int32_t or
// lanes of them: the arithmetic shift floors, so a negative product first
// gets 32767 added.  The product is negative only when the signs of a and b
// differ, and a zero product gives 0 with or without the 32767, so the sign
// comes from a ^ b, beside the multiply rather than after it.  For 16-bit a
// and b the product fits 31 bits.
template <class T>
inline T mul_q15(T a, T b) {
    return (a * b + (((a ^ b) >> 31) & 32767)) >> 15;
}
template <class T>
inline T sat16(T v) {
    return clamp(v, T{} - 32768, T{} + 32767);
}

// f = sat(s - a o) without a clamp on -mul(a, o): for 16-bit a and o it lies
// within -32768 .. 32767 (only -32768 * -32768 reaches +32768 before the sign).
template <class T>
inline T stage_output(T cell, T a, T o) {
    return sat16(cell - mul_q15(a, o));
}
template <class T>
inline T stage_state(T f, T a, T o) {
    return sat16(sat16(mul_q15(f, a)) + o);
}

#if defined(__SSE2__)
// The chain on 16-bit words: each value is the low half of its 32-bit lane
// (the high half is left as the 16-bit operations leave it), so that the
// saturations are single saturating adds and the products 16-bit ones.
// It needs factors above -32768: then every product mul(c, x) lies within
// -32767 .. 32767, so a saturating add of it is the sat of the sum.
struct Q15Words {
    using I = Lanes<4>::I;
    I low;   // c in the low half of every lane, 0 in the high half
    I sign;  // every bit set where c < 0

    explicit Q15Words(int32_t c) : low(I{} + (c & 0xffff)), sign(I{} + (c < 0 ? -1 : 0)) {}

    // mul(c, x) as a 32-bit lane.  pmaddwd multiplies the low halves as
    // signed 16-bit numbers and adds the product of the high halves, which
    // the zero high half of c.low makes 0.  The product is negative where
    // the signs of c and x differ (a zero product gives 0 with or without
    // the 32767), and the sign of x is read from its low half.
    I times(I x) const {
        const I product = (I)_mm_madd_epi16((__m128i)x, (__m128i)low);
        const I negative = (I)_mm_srai_epi16((__m128i)x, 15) ^ sign;
        return (product + (negative & 32767)) >> 15;
    }
};

inline Lanes<4>::I saturating_add(Lanes<4>::I a, Lanes<4>::I b) {
    return (Lanes<4>::I)_mm_adds_epi16((__m128i)a, (__m128i)b);
}
inline Lanes<4>::I saturating_sub(Lanes<4>::I a, Lanes<4>::I b) {
    return (Lanes<4>::I)_mm_subs_epi16((__m128i)a, (__m128i)b);
}
#endif

// Whether the chain can run on 16-bit words (see Q15Words).
inline bool phaser_fits_words(const PhaserSettings& s) {
#if defined(__SSE2__)
    return s.coefficient_q15 != -32768 && s.feedback_q15 != -32768;
#else
    return false;
#endif
}

inline int16_t phaser_output(const PhaserSettings& s, int32_t x, int32_t o) {
    int32_t t = x + sat16(mul_q15(s.depth_q15, o));
    return static_cast<int16_t>(soft_knee(t, kSteepKnee));  // |t| < 2^17: the knee stays in 16 bits
}

// One sample of one channel straight on the caller's cells (which may
// overlap each other): feedback, the stage chain, the knee.  Each stage
// computes y = s - a x and stores x + a y.
inline int16_t phase_sample_in_place(const PhaserSettings& s, int32_t x, int16_t* feedback, int16_t* stage_cells) {
    int32_t o = sat16(x + sat16(mul_q15<int32_t>(s.feedback_q15, *feedback)));
    const int32_t a = s.coefficient_q15;
    for (uint32_t j = 0; j < s.stages; ++j) {
        int32_t f = stage_output<int32_t>(stage_cells[j], a, o);
        stage_cells[j] = static_cast<int16_t>(stage_state(f, a, o));
        o = f;
    }
    *feedback = static_cast<int16_t>(o);
    return phaser_output(s, x, o);
}

// frames whole frames on private copies of the cells, the channels of a
// frame side by side in the lanes of one vector (the other lanes idle): each
// sample is one chain of dependent operations through every stage, and
// vector minimum and maximum (or, on Words, 16-bit saturating adds) keep the
// saturations on it short.
template <unsigned Channels, bool Words>
void phase_frames(PhaserSettings s, int16_t* samples, size_t frames, int32_t* feedback, int32_t* cells) {
    using L = Lanes<4>;
    using I = L::I;
    const uint32_t stages = s.stages;
    I lanes[kPhaserMaxStages], fed = {};
    for (uint32_t j = 0; j < stages; ++j) {
        lanes[j] = I{};
        for (unsigned h = 0; h < Channels; ++h) lanes[j][h] = cells[h * stages + j];
    }
    for (unsigned h = 0; h < Channels; ++h) fed[h] = feedback[h];
    const auto run = [&](auto start, auto stage_output, auto stage_state) {
        for (size_t n = 0; n < frames; ++n, samples += Channels) {
            I x = {};
            for (unsigned h = 0; h < Channels; ++h) x[h] = samples[h];
            I o = start(x, fed);
            for (uint32_t j = 0; j < stages; ++j) {
                const I f = stage_output(lanes[j], o);
                lanes[j] = stage_state(f, o);
                o = f;
            }
            fed = o;
            for (unsigned h = 0; h < Channels; ++h) samples[h] = phaser_output(s, x[h], static_cast<int16_t>(o[h]));
        }
    };
#if defined(__SSE2__)
    if constexpr (Words) {
        const Q15Words a(s.coefficient_q15), k(s.feedback_q15);
        run([&](I x, I fed) { return saturating_add(x, k.times(fed)); },
            [&](I cell, I o) { return saturating_sub(cell, a.times(o)); },
            [&](I f, I o) { return saturating_add(a.times(f), o); });
    } else
#endif
    {
        const I a = I{} + s.coefficient_q15, k = I{} + s.feedback_q15;
        run([&](I x, I fed) { return sat16(x + sat16(mul_q15(k, fed))); },
            [&](I cell, I o) { return stage_output(cell, a, o); }, [&](I f, I o) { return stage_state(f, a, o); });
    }
    for (uint32_t j = 0; j < stages; ++j)
        for (unsigned h = 0; h < Channels; ++h) cells[h * stages + j] = static_cast<int16_t>(lanes[j][h]);
    for (unsigned h = 0; h < Channels; ++h) feedback[h] = static_cast<int16_t>(fed[h]);
}

}  // namespace phaser_detail

// Processes count interleaved samples in place (a trailing partial frame
// included).  feedback: channels cells; allpass: channels * stages cells,
// channel-major.
template <unsigned Channels>
void phase_block(const PhaserSettings& s, int16_t* samples, size_t count, int16_t* feedback, int16_t* allpass) {
    using namespace phaser_detail;
    const size_t cell_count = size_t{Channels} * s.stages;
    const uintptr_t f0 = reinterpret_cast<uintptr_t>(feedback), a0 = reinterpret_cast<uintptr_t>(allpass);
    const bool overlapping = f0 < a0 + cell_count * 2 && a0 < f0 + Channels * 2;
    if (overlapping) {
        // The caller's cells share memory: keep the order of every access.
        for (size_t i = 0; i < count; ++i)
            samples[i] = phase_sample_in_place(s, samples[i], feedback + i % Channels, allpass + (i % Channels) * s.stages);
        return;
    }
    int32_t feedback_cells[Channels];
    int32_t cells[Channels * kPhaserMaxStages];
    for (unsigned h = 0; h < Channels; ++h) feedback_cells[h] = feedback[h];
    for (size_t c = 0; c < cell_count; ++c) cells[c] = allpass[c];
    size_t frames = count / Channels;
    phaser_fits_words(s) ? run_kernel<phase_frames<Channels, true>>(s, samples, frames, feedback_cells, cells)
          : run_kernel<phase_frames<Channels, false>>(s, samples, frames, feedback_cells, cells);
    if (count % Channels) phase_frames<1, false>(s, samples + frames * Channels, 1, feedback_cells, cells);  // left only
    for (unsigned h = 0; h < Channels; ++h) feedback[h] = static_cast<int16_t>(feedback_cells[h]);
    for (size_t c = 0; c < cell_count; ++c) allpass[c] = static_cast<int16_t>(cells[c]);
}

}  // namespace divavova
