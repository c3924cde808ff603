// Modal resonator bank: up to 64 two-pole resonators driven in parallel by
// one s16 signal per channel, their sum mixed with the dry signal.
//
// Each mode is y[n] = b0 x[n] - a1 y[n-1] - a2 y[n-2] in transposed form
// (states s1, s2).  A mode with no drive and no state is skipped, and states
// that decay below 1e-20 are flushed to exact zeros, so a bank that has rung
// out costs nothing.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "module/cpu.hpp"
#include "module/configured.hpp"
#include "module/convert.hpp"
#include "module/memory.hpp"

namespace divavova {

inline constexpr uint32_t kModalMaxModes = 64;

struct ModalMode {
    float frequency_hz;
    float decay_s;
    float gain;
};

struct ModalCoefficients {
    float b0;
    float a1;
    float a2;
};

namespace modal_detail {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kThreeHalfPi = 4.71238898038469;

// Taylor series on the first quadrant: sin through x^13, cos through x^12.
inline double taylor_sin(double x) {
    double x2 = x * x;
    double x3 = x2 * x, x5 = x3 * x2, x7 = x5 * x2, x9 = x7 * x2, x11 = x9 * x2, x13 = x11 * x2;
    return x - x3 / 6.0 + x5 / 120.0 - x7 / 5040.0 + x9 / 362880.0 - x11 / 39916800.0 + x13 / 6227020800.0;
}

inline double taylor_cos(double x) {
    double x2 = x * x;
    double x4 = x2 * x2, x6 = x4 * x2, x8 = x6 * x2, x10 = x8 * x2, x12 = x10 * x2;
    return 1.0 - x2 / 2.0 + x4 / 24.0 - x6 / 720.0 + x8 / 40320.0 - x10 / 3628800.0 + x12 / 479001600.0;
}

// sin and cos of any angle: reduced into 0..2pi, folded into the first quadrant.
inline void sin_cos(double angle, double* sine, double* cosine) {
    double w = std::fmod(angle, kTwoPi);
    if (w < 0.0) w += kTwoPi;
    double x = w, sin_sign = 1.0, cos_sign = 1.0;
    if (w <= kHalfPi) {
    } else if (w <= kPi) {
        x = kPi - w;
        cos_sign = -1.0;
    } else if (w <= kThreeHalfPi) {
        x = w - kPi;
        sin_sign = cos_sign = -1.0;
    } else {
        x = kTwoPi - w;
        sin_sign = -1.0;
    }
    *sine = sin_sign * taylor_sin(x);
    *cosine = cos_sign * taylor_cos(x);
}

// exp(-k) for k >= 0: halve the argument into 0..0.125, a degree-7 series,
// then square back.
inline double exp_negative(double k) {
    double x = k > 0.0 ? k : 0.0;
    int halvings = 0;
    while (x > 0.125 && halvings < 24) {
        x *= 0.5;
        ++halvings;
    }
    double y = -x;
    double y2 = y * y, y3 = y2 * y, y4 = y3 * y, y5 = y4 * y, y6 = y5 * y, y7 = y6 * y;
    double r = 1.0 + y + y2 / 2.0 + y3 / 6.0 + y4 / 24.0 + y5 / 120.0 + y6 / 720.0 + y7 / 5040.0;
    for (int i = 0; i < halvings; ++i) r = r * r;
    return r;
}

inline ModalCoefficients design(const ModalMode& mode, uint32_t sample_rate) {
    double f = mode.frequency_hz, decay = mode.decay_s, gain = mode.gain;
    if (f <= 0.0) return {0.0f, 0.0f, 0.0f};
    double rate = static_cast<double>(sample_rate);
    double omega = (f * kTwoPi) / rate;
    double sine, cosine;
    sin_cos(omega, &sine, &cosine);
    // ln(1000) over the decay length in samples: -60 dB after `decay` seconds.
    double k = 6.907755278982137 / (decay * rate);
    double r = exp_negative(k);
    return {static_cast<float>(gain * sine), static_cast<float>((-2.0 * r) * cosine), static_cast<float>(r * r)};
}

}  // namespace modal_detail

// The ids of configure.
enum class ModalOption : uint32_t {
    wet_mix,
    wet_gain,
};

struct ModalKernel {
    uint32_t sample_rate;
    uint32_t channel_count;
    uint32_t mode_count;
    float wet_mix;
    float wet_gain;
    ModalMode* modes;
    ModalCoefficients* coefficients;
    uint8_t coefficients_valid;
    float* s1;
    float* s2;
    uint32_t state_count;

    static constexpr const char* kUnknownOption = "unknown modal option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;

    // False only for the all-zero record of an object never initialised.
    bool initialised() const { return channel_count != 0; }
    size_t frame_bytes() const { return 2u * channel_count; }

    void free_tables() {
        engine_release(modes);
        engine_release(coefficients);
        coefficients_valid = 0;
    }
    void free_states() {
        engine_release(s1);
        engine_release(s2);
        state_count = 0;
    }
    void free_memory() {
        free_tables();
        free_states();
    }

    // The mode and coefficient tables for `count` modes, then the format;
    // false (nothing allocated) when memory is short.
    bool build_tables(uint32_t rate, uint32_t channels, uint32_t count) {
        ModalMode* fresh_modes = engine_alloc<ModalMode>(count);
        ModalCoefficients* fresh_coefficients = engine_alloc<ModalCoefficients>(count);
        if (!fresh_modes || !fresh_coefficients) {
            engine_free(fresh_modes);
            engine_free(fresh_coefficients);
            return false;
        }
        modes = fresh_modes;
        coefficients = fresh_coefficients;
        sample_rate = rate == 0 ? 1 : rate;
        channel_count = channels;
        mode_count = count;
        wet_mix = 1.0f;
        wet_gain = 1.0f;
        for (uint32_t m = 0; m < count; ++m) modes[m] = {100.0f, 0.001f, 0.0f};
        coefficients_valid = 0;
        return true;
    }

    bool build_states() {
        size_t count = static_cast<size_t>(mode_count) * channel_count;
        float* fresh_s1 = engine_alloc<float>(count);
        float* fresh_s2 = engine_alloc<float>(count);
        if (!fresh_s1 || !fresh_s2) {
            engine_free(fresh_s1);
            engine_free(fresh_s2);
            return false;
        }
        s1 = fresh_s1;
        s2 = fresh_s2;
        state_count = static_cast<uint32_t>(count);
        return true;
    }

    Configured configure(uint32_t option, double value) {
        float v = static_cast<float>(value);
        switch (static_cast<ModalOption>(option)) {
            case ModalOption::wet_mix: wet_mix = clamp(v, 0.0f, 1.0f); break;
            case ModalOption::wet_gain: wet_gain = clamp(v, 0.0f, 16.0f); break;
            default: return Configured::unknown_option;
        }
        return Configured::ok;
    }

    // Stores one mode (clamped); the index is checked by the caller.  A bank
    // without tables stores nothing.
    void set_mode(uint32_t index, double frequency_hz, double decay_s, double gain) {
        if (!modes) return;
        float f = static_cast<float>(frequency_hz);
        float limit = static_cast<float>(sample_rate) * 0.5f * 0.999f;
        modes[index].frequency_hz = f < 0.0f ? 0.0f : (limit < f ? limit : f);
        modes[index].decay_s = clamp(static_cast<float>(decay_s), 0.001f, 30.0f);
        modes[index].gain = clamp(static_cast<float>(gain), -16.0f, 16.0f);
        coefficients_valid = 0;
    }

    void finish() {
        if (coefficients_valid || !modes || !coefficients) return;
        for (uint32_t m = 0; m < mode_count; ++m) coefficients[m] = modal_detail::design(modes[m], sample_rate);
        coefficients_valid = 1;
    }

    void reset() {
        if (s1) std::memset(s1, 0, static_cast<size_t>(state_count) * sizeof(float));
        if (s2) std::memset(s2, 0, static_cast<size_t>(state_count) * sizeof(float));
    }

    bool silent() const {
        if (!s1 || !s2) return true;
        for (uint32_t i = 0; i < state_count; ++i)
            if (s1[i] != 0.0f || s2[i] != 0.0f) return false;
        return true;
    }

    void process(const int16_t* in, int16_t* out, size_t frames);

private:
    template <uint32_t Channels>
    void run(const int16_t* in, int16_t* out, size_t frames);
};

namespace modal_detail {

// Modes per pass: several vectors in flight hide the recurrence latency; a
// bank of at most kSmallGroup visited modes takes the narrower pass.
constexpr uint32_t kGroup = 16;
constexpr uint32_t kSmallGroup = 8;
constexpr size_t kChunkFrames = 256;

typedef float Float4 __attribute__((vector_size(16)));
typedef int32_t Mask4 __attribute__((vector_size(16)));
typedef float Float8 __attribute__((vector_size(32)));
typedef int32_t Mask8 __attribute__((vector_size(32)));

// One pass of Group modes over a run of samples of one channel.  Each lane
// does exactly the scalar update of its mode; a mode with no drive and no
// state is not updated and contributes nothing; the ordered sum of the
// modes is added to sums[f] lane by lane, in mode order.
template <class V, class M, uint32_t Group>
struct Pass {
    static constexpr uint32_t Width = sizeof(V) / sizeof(float);
    static constexpr uint32_t kVectors = Group / Width;

    static inline __attribute__((always_inline)) void run(const float* b0, const float* a1, const float* na2,
                                                          float* z1, float* z2, const int16_t* in, size_t stride,
                                                          size_t frames, float* sums) {
        const V zero = {};
        const V floor = zero + 1e-20f;
        const M no_lanes = {};
        const M magnitude_mask = no_lanes + 0x7fffffff;
        V vb0[kVectors], va1[kVectors], vna2[kVectors], s1[kVectors], s2[kVectors];
        M driven[kVectors];
        for (uint32_t i = 0; i < kVectors; ++i) {
            std::memcpy(&vb0[i], b0 + i * Width, sizeof(V));
            std::memcpy(&va1[i], a1 + i * Width, sizeof(V));
            std::memcpy(&vna2[i], na2 + i * Width, sizeof(V));
            std::memcpy(&s1[i], z1 + i * Width, sizeof(V));
            std::memcpy(&s2[i], z2 + i * Width, sizeof(V));
            driven[i] = vb0[i] != zero;
        }
        alignas(64) float outputs[Group];
        for (size_t f = 0; f < frames; ++f) {
            const float x = static_cast<float>(in[f * stride]);
            const V xs = zero + x;
            const bool sounding = x != 0.0f;
            for (uint32_t i = 0; i < kVectors; ++i) {
                M update = (s1[i] != zero) | (s2[i] != zero);
                if (sounding) update |= driven[i];
                V y = vb0[i] * xs + s1[i];
                V n1 = s2[i] - y * va1[i];
                V n2 = vna2[i] * y;
                // |n| < 1e-20 for both: flushed to exact zeros (NaN is kept).
                M flush = ((V)((M)n1 & magnitude_mask) < floor) & ((V)((M)n2 & magnitude_mask) < floor);
                n1 = (V)((M)n1 & ~flush);
                n2 = (V)((M)n2 & ~flush);
                s1[i] = update ? n1 : s1[i];
                s2[i] = update ? n2 : s2[i];
                V contribution = (V)((M)y & update);
                std::memcpy(outputs + i * Width, &contribution, sizeof(V));
            }
            float sum = sums[f];
            for (uint32_t lane = 0; lane < Group; ++lane) sum = sum + outputs[lane];
            sums[f] = sum;
        }
        for (uint32_t i = 0; i < kVectors; ++i) {
            std::memcpy(z1 + i * Width, &s1[i], sizeof(V));
            std::memcpy(z2 + i * Width, &s2[i], sizeof(V));
        }
    }
};

using PassFunction = void (*)(const float*, const float*, const float*, float*, float*, const int16_t*, size_t,
                              size_t, float*);

template <uint32_t Group>
void pass_sse2(const float* b0, const float* a1, const float* na2, float* z1, float* z2, const int16_t* in,
               size_t stride, size_t frames, float* sums) {
    Pass<Float4, Mask4, Group>::run(b0, a1, na2, z1, z2, in, stride, frames, sums);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <uint32_t Group>
__attribute__((target("avx2"))) void pass_avx2(const float* b0, const float* a1, const float* na2, float* z1,
                                               float* z2, const int16_t* in, size_t stride, size_t frames,
                                               float* sums) {
    Pass<Float8, Mask8, Group>::run(b0, a1, na2, z1, z2, in, stride, frames, sums);
}
#endif

// The widest pass of Group modes this processor runs (the same bits either way).
template <uint32_t Group>
PassFunction best_pass() {
#if defined(__x86_64__) && defined(__GNUC__)
    if (DIVAVOVA_CPU_SUPPORTS("avx2")) return pass_avx2<Group>;
#endif
    return pass_sse2<Group>;
}

}  // namespace modal_detail

template <uint32_t Channels>
void ModalKernel::run(const int16_t* in, int16_t* out, size_t frames) {
    using namespace modal_detail;
    const uint32_t count = mode_count;
    const float dry = 1.0f - wet_mix;

    // The modes to visit: every mode with state, widened to every driven
    // mode when the block can drive one outside that range.
    uint32_t lo = count, hi = 0;  // lo == count: no mode to visit
    auto cover = [&](uint32_t first, uint32_t last) {
        if (lo == count || first < lo) lo = first;
        if (last > hi) hi = last;
    };
    for (uint32_t m = 0; m < count; ++m) {
        for (uint32_t c = 0; c < Channels; ++c) {
            if (s1[m * Channels + c] != 0.0f || s2[m * Channels + c] != 0.0f) cover(m, m);
        }
    }
    if (!(lo == 0 && hi + 1 == count)) {
        uint32_t driven_lo = count, driven_hi = 0;
        for (uint32_t m = 0; m < count; ++m) {
            if (coefficients[m].b0 != 0.0f) {
                if (driven_lo == count) driven_lo = m;
                driven_hi = m;
            }
        }
        bool outside = driven_lo < count && (lo == count || driven_lo < lo || driven_hi > hi);
        if (outside) {
            bool sounding = false;
            for (size_t i = 0; i < frames * Channels && !sounding; ++i) sounding = in[i] != 0;
            if (sounding) cover(driven_lo, driven_hi);
        }
    }
    if (lo == count) {
        for (size_t i = 0; i < frames * Channels; ++i) out[i] = s16(static_cast<float>(in[i]) * dry);
        return;
    }

    // The visited modes laid out as whole groups, padded with silent modes
    // (no coefficients, no state) that never update.
    const uint32_t visited = hi - lo + 1;
    const bool small = visited <= kSmallGroup;
    const uint32_t group = small ? kSmallGroup : kGroup;
    const uint32_t padded = (visited + group - 1) / group * group;
    constexpr uint32_t kSlots = kModalMaxModes + kGroup;
    alignas(64) float b0[kSlots] = {}, a1[kSlots] = {}, na2[kSlots] = {};
    alignas(64) float z1[Channels][kSlots] = {}, z2[Channels][kSlots] = {};
    for (uint32_t i = 0; i < visited; ++i) {
        const ModalCoefficients& k = coefficients[lo + i];
        b0[i] = k.b0;
        a1[i] = k.a1;
        na2[i] = -k.a2;
        for (uint32_t c = 0; c < Channels; ++c) {
            z1[c][i] = s1[(lo + i) * Channels + c];
            z2[c][i] = s2[(lo + i) * Channels + c];
        }
    }
    const float wet = wet_mix * wet_gain;
    static const PassFunction wide_pass = best_pass<kGroup>(), small_pass = best_pass<kSmallGroup>();
    const PassFunction pass = small ? small_pass : wide_pass;

    float sums[kChunkFrames];
    for (size_t start = 0; start < frames; start += kChunkFrames) {
        const size_t n = frames - start < kChunkFrames ? frames - start : kChunkFrames;
        const int16_t* chunk_in = in + start * Channels;
        int16_t* chunk_out = out + start * Channels;
        for (uint32_t c = 0; c < Channels; ++c) {
            for (size_t f = 0; f < n; ++f) sums[f] = 0.0f;
            for (uint32_t g = 0; g < padded; g += group)
                pass(b0 + g, a1 + g, na2 + g, z1[c] + g, z2[c] + g, chunk_in + c, Channels, n, sums);
            for (size_t f = 0; f < n; ++f) {
                float x = static_cast<float>(chunk_in[f * Channels + c]);
                chunk_out[f * Channels + c] = s16(sums[f] * wet + x * dry);
            }
        }
    }

    for (uint32_t i = 0; i < visited; ++i) {
        for (uint32_t c = 0; c < Channels; ++c) {
            s1[(lo + i) * Channels + c] = z1[c][i];
            s2[(lo + i) * Channels + c] = z2[c][i];
        }
    }
}

inline void ModalKernel::process(const int16_t* in, int16_t* out, size_t frames) {
    const size_t needed = static_cast<size_t>(mode_count) * channel_count;
    if (!s1 || !s2 || !coefficients || state_count < needed) {
        std::memcpy(out, in, frames * frame_bytes());
        return;
    }
    if (channel_count == 1)
        run<1>(in, out, frames);
    else
        run<2>(in, out, frames);
}

}  // namespace divavova
