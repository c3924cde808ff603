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

#include "module/configured.hpp"
#include "module/convert.hpp"
#include "module/dispatch.hpp"
#include "module/lanes.hpp"
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
// Summed term by term, not in filter_design.hpp's Horner form: the two round
// differently, and each design's bits follow its own.
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

// One pass of Group modes over a run of samples of one channel, L::count
// modes to a vector.  Each lane does exactly the scalar update of its mode;
// a mode with no drive and no state is not updated and contributes nothing;
// the ordered sum of the modes is added to sums[f] lane by lane, in mode
// order.
template <class L, uint32_t Group>
struct Pass {
    using V = typename L::F;
    using M = typename L::I;
    static constexpr uint32_t Width = L::count;
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
            vb0[i] = load<V>(b0 + i * Width);
            va1[i] = load<V>(a1 + i * Width);
            vna2[i] = load<V>(na2 + i * Width);
            s1[i] = load<V>(z1 + i * Width);
            s2[i] = load<V>(z2 + i * Width);
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
                store(outputs + i * Width, (V)((M)y & update));
            }
            float sum = sums[f];
            for (uint32_t lane = 0; lane < Group; ++lane) sum = sum + outputs[lane];
            sums[f] = sum;
        }
        for (uint32_t i = 0; i < kVectors; ++i) {
            store(z1 + i * Width, s1[i]);
            store(z2 + i * Width, s2[i]);
        }
    }
};

template <uint32_t Width, uint32_t Group>
void pass_of_lanes(const float* b0, const float* a1, const float* na2, float* z1, float* z2, const int16_t* in,
                   size_t stride, size_t frames, float* sums) {
    Pass<Lanes<Width>, Group>::run(b0, a1, na2, z1, z2, in, stride, frames, sums);
}

// The pass of Group modes in 8 lanes where the processor has AVX2, else in
// 4 (the same bits either way).
template <uint32_t Group>
void pass(const float* b0, const float* a1, const float* na2, float* z1, float* z2, const int16_t* in, size_t stride,
          size_t frames, float* sums) {
    run_kernel_widened<pass_of_lanes<4, Group>, pass_of_lanes<8, Group>>(b0, a1, na2, z1, z2, in, stride, frames,
                                                                         sums);
}

// A run of modes lo .. hi of a bank of `end` modes; lo == end when empty.
struct ModeRange {
    uint32_t lo;
    uint32_t hi;
    uint32_t end;

    static ModeRange none(uint32_t end) { return {end, 0, end}; }
    bool empty() const { return lo == end; }
    bool whole_bank() const { return lo == 0 && hi + 1 == end; }
    bool covers(const ModeRange& other) const { return !empty() && other.lo >= lo && other.hi <= hi; }
    void cover(uint32_t first, uint32_t last) {
        if (empty() || first < lo) lo = first;
        if (last > hi) hi = last;
    }
};

// The visited modes laid out as whole groups, padded with silent modes (no
// coefficients, no state) that never update.
template <uint32_t Channels>
struct VisitedModes {
    static constexpr uint32_t kSlots = kModalMaxModes + kGroup;
    uint32_t first;    // the bank's index of slot 0
    uint32_t visited;  // slots holding modes
    uint32_t group;    // modes per pass
    uint32_t padded;   // slots run: visited rounded up to whole groups
    alignas(64) float b0[kSlots];
    alignas(64) float a1[kSlots];
    alignas(64) float na2[kSlots];  // -a2
    alignas(64) float z1[Channels][kSlots];
    alignas(64) float z2[Channels][kSlots];
};

// Every mode with state.
template <uint32_t Channels>
ModeRange ringing_modes(const ModalKernel& bank) {
    ModeRange range = ModeRange::none(bank.mode_count);
    for (uint32_t m = 0; m < bank.mode_count; ++m) {
        for (uint32_t c = 0; c < Channels; ++c) {
            if (bank.s1[m * Channels + c] != 0.0f || bank.s2[m * Channels + c] != 0.0f) range.cover(m, m);
        }
    }
    return range;
}

// Every mode that an input sample drives.
inline ModeRange driven_modes(const ModalKernel& bank) {
    ModeRange range = ModeRange::none(bank.mode_count);
    for (uint32_t m = 0; m < bank.mode_count; ++m) {
        if (bank.coefficients[m].b0 != 0.0f) range.cover(m, m);
    }
    return range;
}

// The modes to visit: every mode with state, widened to every driven mode
// when the block can drive one outside that range.
template <uint32_t Channels>
ModeRange visited_modes(const ModalKernel& bank, const int16_t* in, size_t frames) {
    ModeRange range = ringing_modes<Channels>(bank);
    if (range.whole_bank()) return range;
    const ModeRange driven = driven_modes(bank);
    if (driven.empty() || range.covers(driven)) return range;
    for (size_t i = 0; i < frames * Channels; ++i) {
        if (in[i] != 0) {
            range.cover(driven.lo, driven.hi);
            break;
        }
    }
    return range;
}

// The coefficients and states of the visited modes, into whole groups.
template <uint32_t Channels>
void gather(const ModalKernel& bank, ModeRange range, VisitedModes<Channels>& v) {
    v.first = range.lo;
    v.visited = range.hi - range.lo + 1;
    v.group = v.visited <= kSmallGroup ? kSmallGroup : kGroup;
    v.padded = (v.visited + v.group - 1) / v.group * v.group;
    for (uint32_t i = 0; i < v.visited; ++i) {
        const ModalCoefficients& k = bank.coefficients[v.first + i];
        v.b0[i] = k.b0;
        v.a1[i] = k.a1;
        v.na2[i] = -k.a2;
        for (uint32_t c = 0; c < Channels; ++c) {
            v.z1[c][i] = bank.s1[(v.first + i) * Channels + c];
            v.z2[c][i] = bank.s2[(v.first + i) * Channels + c];
        }
    }
}

// The visited modes' states back into the bank.
template <uint32_t Channels>
void scatter(const VisitedModes<Channels>& v, ModalKernel& bank) {
    for (uint32_t i = 0; i < v.visited; ++i) {
        for (uint32_t c = 0; c < Channels; ++c) {
            bank.s1[(v.first + i) * Channels + c] = v.z1[c][i];
            bank.s2[(v.first + i) * Channels + c] = v.z2[c][i];
        }
    }
}

// The block through the visited modes, chunk by chunk and channel by
// channel: each channel's sum of the modes mixed with its dry signal.
template <uint32_t Channels>
void resonate(const ModalKernel& bank, VisitedModes<Channels>& v, const int16_t* in, int16_t* out, size_t frames) {
    const float dry = 1.0f - bank.wet_mix;
    const float wet = bank.wet_mix * bank.wet_gain;
    const auto pass_of_group = v.group == kSmallGroup ? pass<kSmallGroup> : pass<kGroup>;
    float sums[kChunkFrames];
    for (size_t start = 0; start < frames; start += kChunkFrames) {
        const size_t n = frames - start < kChunkFrames ? frames - start : kChunkFrames;
        const int16_t* chunk_in = in + start * Channels;
        int16_t* chunk_out = out + start * Channels;
        for (uint32_t c = 0; c < Channels; ++c) {
            for (size_t f = 0; f < n; ++f) sums[f] = 0.0f;
            for (uint32_t g = 0; g < v.padded; g += v.group)
                pass_of_group(v.b0 + g, v.a1 + g, v.na2 + g, v.z1[c] + g, v.z2[c] + g, chunk_in + c, Channels, n,
                              sums);
            for (size_t f = 0; f < n; ++f) {
                float x = static_cast<float>(chunk_in[f * Channels + c]);
                chunk_out[f * Channels + c] = s16(sums[f] * wet + x * dry);
            }
        }
    }
}

}  // namespace modal_detail

template <uint32_t Channels>
void ModalKernel::run(const int16_t* in, int16_t* out, size_t frames) {
    using namespace modal_detail;
    const ModeRange range = visited_modes<Channels>(*this, in, frames);
    if (range.empty()) {
        const float dry = 1.0f - wet_mix;
        for (size_t i = 0; i < frames * Channels; ++i) out[i] = s16(static_cast<float>(in[i]) * dry);
        return;
    }
    VisitedModes<Channels> visited{};
    gather(*this, range, visited);
    resonate(*this, visited, in, out, frames);
    scatter(visited, *this);
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
