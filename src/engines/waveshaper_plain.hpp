// The waveshaper at the plain sample rate with the backlash off: every sample
// is a function of its own input only, so W samples (of any channel: the
// settings are shared) go side by side in the lanes of a vector.  Each lane
// does exactly the operations of the scalar path, in the same order:
//     v = (x * drive) * 2^-15 + bias, clipped to -1 .. 1,
//     the curve looked up and interpolated at v (when a curve is loaded),
//     ((r * gain) * 32768) * mix + x * (1 - mix), rounded half away from zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace divavova::waveshaper_plain {

// What the lanes need; the curve has 2 .. kMaxPoints points (or is absent).
struct Settings {
    float drive;
    float bias;
    float output_gain;
    float mix;
    float span;  // points - 1, as float
    const int16_t* curve;  // nullptr: no curve
    int32_t last_segment;  // points - 2
};

// Segments stay exact in int32 lanes (and as floats) up to this many points.
constexpr uint32_t kMaxPoints = 1u << 24;

// Eight lanes: two SSE2 registers, or one AVX2 register.
struct Lanes {
    static constexpr int W = 8;
    typedef float F __attribute__((vector_size(32)));
    typedef int32_t I __attribute__((vector_size(32)));
    typedef int16_t S __attribute__((vector_size(16)));

    // The clip to -1 .. 1 and the curve (when loaded) of each lane, in place
    // (a reference: a 32-byte value would not pass in registers on SSE2).
    static inline __attribute__((always_inline)) void clip_and_curve(const Settings& s, F& u) {
        const F lo_clip = F{} - 1.0f, hi_clip = F{} + 1.0f, zero = F{};
        u = u < lo_clip ? lo_clip : (hi_clip < u ? hi_clip : u);
        if (!s.curve) return;
        const F p = ((u + 1.0f) * 0.5f) * (F{} + s.span);
        // p is within 0 .. span, or NaN (segment 0 then).
        I segment = __builtin_convertvector(p == p ? p : zero, I);
        const I last = I{} + s.last_segment;
        segment = segment > last ? last : segment;
        I lo_i, hi_i;
        for (int l = 0; l < W; ++l) {
            lo_i[l] = s.curve[segment[l]];
            hi_i[l] = s.curve[segment[l] + 1];
        }
        const F lo = __builtin_convertvector(lo_i, F) / 32768.0f;
        const F hi = __builtin_convertvector(hi_i, F) / 32768.0f;
        u = lo + (hi - lo) * (p - __builtin_convertvector(segment, F));
    }

    // Clip and curve in place over `count` values, a multiple of W.
    static inline __attribute__((always_inline)) void shape(const Settings& s, float* values, size_t count) {
        for (size_t i = 0; i < count; i += W) {
            F u;
            std::memcpy(&u, values + i, sizeof u);
            clip_and_curve(s, u);
            std::memcpy(values + i, &u, sizeof u);
        }
    }

    // The whole samples of `count`, a multiple of W.
    static inline __attribute__((always_inline)) void run(const Settings& s, const int16_t* in, int16_t* out,
                                                          size_t count) {
        const F drive = F{} + s.drive, bias = F{} + s.bias, gain = F{} + s.output_gain;
        const F wet = F{} + s.mix, dry_share = F{} + (1.0f - s.mix), zero = F{};
        const F top = F{} + 32767.0f, bottom = F{} - 32768.0f;
        const I sign_bit = I{} + INT32_MIN;
        const I half = I{} + 0x3f000000;  // bits of 0.5f
        for (size_t i = 0; i < count; i += W) {
            S raw;
            std::memcpy(&raw, in + i, sizeof raw);
            const F x = __builtin_convertvector(raw, F);
            F r = (x * drive) * 3.0517578125e-05f + bias;
            clip_and_curve(s, r);
            F o = ((r * gain) * 32768.0f) * wet + x * dry_share;
            // Rounding as s16(float): NaN to 0, held to the limits, then
            // o + copysign(0.5, o) truncated.
            o = o == o ? o : zero;
            o = o > top ? top : o;
            o = o < bottom ? bottom : o;
            const F rounding = (F)(((I)o & sign_bit) | half);
            const S result = __builtin_convertvector(__builtin_convertvector(o + rounding, I), S);
            std::memcpy(out + i, &result, sizeof result);
        }
    }
};

// Runs the multiple of 8 samples of `count` with the widest lanes this
// processor has; returns how many samples it did.
size_t run(const Settings& settings, const int16_t* in, int16_t* out, size_t count);

// Clip and curve in place over the multiple of 8 values of `count` (drive,
// bias, gain and mix are not used); returns how many values it did.
size_t shape(const Settings& settings, float* values, size_t count);

}  // namespace divavova::waveshaper_plain
