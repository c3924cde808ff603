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

// Vector types of W lanes (spelled out per width: a vector size that
// depends on a template parameter is not taken as one).
template <int W>
struct VectorsOf;
template <>
struct VectorsOf<4> {
    typedef float F __attribute__((vector_size(16)));
    typedef int32_t I __attribute__((vector_size(16)));
    typedef int16_t S __attribute__((vector_size(8)));
    typedef uint32_t U __attribute__((vector_size(16)));
};
template <>
struct VectorsOf<8> {
    typedef float F __attribute__((vector_size(32)));
    typedef int32_t I __attribute__((vector_size(32)));
    typedef int16_t S __attribute__((vector_size(16)));
    typedef uint32_t U __attribute__((vector_size(32)));
};

// W lanes; eight are two SSE2 registers, or one AVX2 register.
template <int Width>
struct LanesOf {
    static constexpr int W = Width;
    typedef typename VectorsOf<Width>::F F;
    typedef typename VectorsOf<Width>::I I;
    typedef typename VectorsOf<Width>::S S;
    typedef typename VectorsOf<Width>::U U;

    // The clip to -1 .. 1 and the curve (when loaded) of each lane, in place
    // (a reference: a 32-byte value would not pass in registers on SSE2).
    // Gather: read the points with one AVX2 gather (only where this is
    // inlined into code built for AVX2).
    template <bool Gather = false>
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
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // Points i and i + 1 in one 32-bit read (i <= points - 2, so it
        // stays inside the curve): point i in the low half.
        I pair{};
#if defined(__x86_64__) && defined(__GNUC__)
        if constexpr (Gather && W == 8) {
            I all = I{} - 1;
            __asm__("vpgatherdd %[all], (%[curve], %[segment], 2), %[pair]"
                    : [pair] "+&x"(pair), [all] "+&x"(all)
                    : [curve] "r"(s.curve), [segment] "x"(segment),
                      "m"(*reinterpret_cast<const int16_t(*)[kMaxPoints]>(s.curve)));
        } else
#endif
        {
            for (int l = 0; l < W; ++l) std::memcpy(&pair[l], s.curve + segment[l], sizeof(int32_t));
        }
        lo_i = (I)((U)pair << 16) >> 16;
        hi_i = pair >> 16;
#else
        for (int l = 0; l < W; ++l) {
            lo_i[l] = s.curve[segment[l]];
            hi_i[l] = s.curve[segment[l] + 1];
        }
#endif
        const F lo = __builtin_convertvector(lo_i, F) / 32768.0f;
        const F hi = __builtin_convertvector(hi_i, F) / 32768.0f;
        u = lo + (hi - lo) * (p - __builtin_convertvector(segment, F));
    }

    // ((r * gain) * 32768) * mix + x * (1 - mix), rounded as s16(float):
    // NaN to 0, held to the limits, then o + copysign(0.5, o) truncated.
    static inline __attribute__((always_inline)) S output(const Settings& s, const F& r, const F& x) {
        const F zero = F{}, top = F{} + 32767.0f, bottom = F{} - 32768.0f;
        const I sign_bit = I{} + INT32_MIN;
        const I half = I{} + 0x3f000000;  // bits of 0.5f
        F o = ((r * s.output_gain) * 32768.0f) * s.mix + x * (1.0f - s.mix);
        o = o == o ? o : zero;
        o = o > top ? top : o;
        o = o < bottom ? bottom : o;
        const F rounding = (F)(((I)o & sign_bit) | half);
        return __builtin_convertvector(__builtin_convertvector(o + rounding, I), S);
    }

    // (By reference: a 32-byte value would not pass in registers on SSE2.)
    static inline __attribute__((always_inline)) void load(const int16_t* in, F& x) {
        S raw;
        std::memcpy(&raw, in, sizeof raw);
        x = __builtin_convertvector(raw, F);
    }

    // v = (x * drive) * 2^-15 + bias over `count` samples, a multiple of W.
    static inline __attribute__((always_inline)) void scale(const Settings& s, const int16_t* in, float* v,
                                                            size_t count) {
        for (size_t i = 0; i < count; i += W) {
            F x;
            load(in + i, x);
            const F u = (x * s.drive) * 3.0517578125e-05f + s.bias;
            std::memcpy(v + i, &u, sizeof u);
        }
    }

    // The output of `count` shaped values r (a multiple of W) against the dry
    // samples in.
    static inline __attribute__((always_inline)) void finish(const Settings& s, const float* r, const int16_t* in,
                                                             int16_t* out, size_t count) {
        for (size_t i = 0; i < count; i += W) {
            F u;
            std::memcpy(&u, r + i, sizeof u);
            F x;
            load(in + i, x);
            const S result = output(s, u, x);
            std::memcpy(out + i, &result, sizeof result);
        }
    }

    // The whole samples of `count`, a multiple of W.
    static inline __attribute__((always_inline)) void run(const Settings& s, const int16_t* in, int16_t* out,
                                                          size_t count) {
        for (size_t i = 0; i < count; i += W) {
            F x;
            load(in + i, x);
            F r = (x * s.drive) * 3.0517578125e-05f + s.bias;
            clip_and_curve(s, r);
            const S result = output(s, r, x);
            std::memcpy(out + i, &result, sizeof result);
        }
    }
};

using Lanes = LanesOf<8>;

// Runs the multiple of 8 samples of `count` with the widest lanes this
// processor has; returns how many samples it did.
size_t run(const Settings& settings, const int16_t* in, int16_t* out, size_t count);


}  // namespace divavova::waveshaper_plain
