// Dynamics engine: options, side-chain path (key, feedback detection,
// high- and low-pass), level detectors (peak, RMS, half-sample interpolated,
// four-times oversampled), look-ahead ring, gain smoothing and output.
// Plain C++; the gain computers live in dynamics_gain.hpp.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engines/dynamics_gain.hpp"
#include "engines/dynamics_libm_lanes.hpp"
#include "module/dispatch.hpp"
#include "module/configured.hpp"
#include "module/convert.hpp"
#include "module/memory.hpp"
#include "module/narrow.hpp"

namespace divavova {

// Polyphase taps of the four-times oversampled peak detector; row p is phase
// p, column k weighs the k-th oldest of the last twelve samples.
inline constexpr float kOversampleTaps[4][12] = {
    {2.8773002e-19f, 0.000705750659f, -0.00429586414f, 0.0151204467f, -0.0425751023f, 0.127196431f, 0.972673595f,
     -0.0932201967f, 0.0331783853f, -0.0113643231f, 0.00294428063f, -0.000363411964f},
    {-8.46131225e-05f, 0.00293353549f, -0.0146775581f, 0.0478926823f, -0.13199158f, 0.449310958f, 0.771207988f,
     -0.170813993f, 0.0621681139f, -0.0202707946f, 0.00468613766f, -0.000360888691f},
    {-0.000360888691f, 0.00468613766f, -0.0202707946f, 0.0621681139f, -0.170813993f, 0.771207988f, 0.449310958f,
     -0.13199158f, 0.0478926823f, -0.0146775581f, 0.00293353549f, -8.46131225e-05f},
    {-0.000363411964f, 0.00294428063f, -0.0113643231f, 0.0331783853f, -0.0932201967f, 0.972673595f, 0.127196431f,
     -0.0425751023f, 0.0151204467f, -0.00429586414f, 0.000705750659f, 2.8773002e-19f},
};

enum class Detector : uint8_t { plain = 0, interpolated = 1, oversampled = 2 };

// Per-stream history of the side chain and the output stage; all zero after
// reset.
struct PathState {
    float highpass[2];
    float highpass2[2];
    float lowpass[2];
    float lowpass2[2];
    float mean_square[2];
    float interpolation_history[2][3];   // oldest first
    float oversample_history[2][12];     // oldest first
    float previous_output[2];            // full scale 1.0, for feedback detection
    float smoothed_gain;
    uint8_t smoothed_gain_valid;
    float gain_reduction_db;
};

// The ids of configure.
enum class DynamicsOption : uint32_t {
    threshold_db,
    ratio,
    knee_db,
    makeup_db,
    attack_ms,
    release_ms,
    transient_attack_db,
    transient_sustain_db,
    sidechain_highpass_hz,
    lookahead_ms,
    detector,
    fast_attack_ms,
    fast_release_ms,
    slow_attack_ms,
    slow_release_ms,
    rms,
    rms_window_ms,
    feedback_detect,
    sidechain_lowpass_hz,
    sidechain_filter_order,
    listen,
    range_db,
    gate_hold_ms,
    hysteresis_db,
    key_relative,
    adaptive_attack,
    dual_transient,
    sustain_fast_attack_ms,
    sustain_fast_release_ms,
    sustain_slow_attack_ms,
    sustain_slow_release_ms,
    hold_ms,
    gain_smoothing_ms,
    feedback_slope,
};

struct DynamicsKernel {
    static constexpr const char* kUnknownOption = "unknown dynamics option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;
    static constexpr const char* kShortKey = "the key must carry at least as many frames as the input";

    uint32_t sample_rate;
    uint32_t channel_count;  // 0: never initialised
    GainSettings gain;
    float makeup_gain;
    float highpass_coefficient;  // 0 = off
    float lowpass_coefficient;   // 0 = off
    uint8_t filter_order;        // 1 or 2
    uint32_t lookahead_frames;
    Detector detector;
    uint8_t rms;
    float rms_coefficient;
    uint8_t listen;
    float smoothing_coefficient;  // 1 = no smoothing

    PathState path;
    GainState gain_state;

    int16_t* ring;  // lookahead ring, ring_capacity interleaved frames
    uint32_t ring_capacity;
    uint32_t ring_write_frame;

    bool initialised() const { return channel_count != 0; }
    size_t frame_bytes() const { return 2 * static_cast<size_t>(channel_count); }

    // The record of a new object: defaults, cleared history, no ring.
    static DynamicsKernel initial(int32_t mode, uint32_t sample_rate, uint32_t channel_count) {
        DynamicsKernel k{};
        k.sample_rate = sample_rate;
        k.channel_count = channel_count;
        GainSettings& g = k.gain;
        g.mode = mode;
        g.threshold_db = -24.0f;
        g.ratio = 4.0f;
        g.knee_db = 6.0f;
        g.fast_attack_ms = 1.0f;
        g.fast_release_ms = 50.0f;
        g.slow_attack_ms = 25.0f;
        g.slow_release_ms = 300.0f;
        g.sustain_fast_attack_ms = 1.0f;
        g.sustain_fast_release_ms = 200.0f;
        g.sustain_slow_attack_ms = 25.0f;
        g.sustain_slow_release_ms = 1200.0f;
        g.range_db = 1.0f;
        k.makeup_gain = 1.0f;
        k.filter_order = 1;
        k.smoothing_coefficient = 1.0f;
        return k;
    }

    void free_memory() {
        engine_release(ring);
        ring_capacity = 0;
        ring_write_frame = 0;
    }

    float frequency_coefficient(float hz) const { return one_pole(hz, sample_rate); }

    // Frames of a time in ms, truncated; NaN and negative give 0, huge values saturate.
    uint32_t ms_to_frames(float ms) const {
        if (ms <= 0.0f) return 0;
        return float_to<uint32_t>((static_cast<float>(sample_rate) * ms) / 1000.0f);
    }

    // The options kept as given.
    float* stored_option(uint32_t option) {
        switch (static_cast<DynamicsOption>(option)) {
            case DynamicsOption::threshold_db: return &gain.threshold_db;
            case DynamicsOption::transient_attack_db: return &gain.transient_attack_db;
            case DynamicsOption::transient_sustain_db: return &gain.transient_sustain_db;
            case DynamicsOption::fast_attack_ms: return &gain.fast_attack_ms;
            case DynamicsOption::fast_release_ms: return &gain.fast_release_ms;
            case DynamicsOption::slow_attack_ms: return &gain.slow_attack_ms;
            case DynamicsOption::slow_release_ms: return &gain.slow_release_ms;
            case DynamicsOption::range_db: return &gain.range_db;
            case DynamicsOption::sustain_fast_attack_ms: return &gain.sustain_fast_attack_ms;
            case DynamicsOption::sustain_fast_release_ms: return &gain.sustain_fast_release_ms;
            case DynamicsOption::sustain_slow_attack_ms: return &gain.sustain_slow_attack_ms;
            case DynamicsOption::sustain_slow_release_ms: return &gain.sustain_slow_release_ms;
            default: return nullptr;
        }
    }

    Configured configure(uint32_t option, double value_in) {
        const float v = narrow_to_float(value_in);
        if (float* stored = stored_option(option)) {
            *stored = v;
            return Configured::ok;
        }
        GainSettings& g = gain;
        switch (static_cast<DynamicsOption>(option)) {
            // NaN ratio or knee would poison every later gain: it takes the bound.
            case DynamicsOption::ratio: g.ratio = v > 1.0f ? v : 1.0f; break;
            case DynamicsOption::knee_db: g.knee_db = v > 0.0f ? v : 0.0f; break;
            case DynamicsOption::makeup_db: makeup_gain = db_to_linear(v); break;
            case DynamicsOption::attack_ms: g.attack_coefficient = time_coefficient(v, sample_rate); break;
            case DynamicsOption::release_ms: g.release_coefficient = time_coefficient(v, sample_rate); break;
            case DynamicsOption::sidechain_highpass_hz: highpass_coefficient = frequency_coefficient(v); break;
            case DynamicsOption::lookahead_ms:
                lookahead_frames = ms_to_frames(clamp(v, 0.0f, 50.0f));
                return grow_ring();
            case DynamicsOption::detector:
                detector = v <= 0.0f ? Detector::plain : (v < 2.0f ? Detector::interpolated : Detector::oversampled);
                break;
            case DynamicsOption::rms: rms = v >= 1.0f; break;
            case DynamicsOption::rms_window_ms: rms_coefficient = time_coefficient(v, sample_rate); break;
            case DynamicsOption::feedback_detect: g.feedback_detect = v != 0.0f; break;
            case DynamicsOption::sidechain_lowpass_hz: lowpass_coefficient = frequency_coefficient(v); break;
            case DynamicsOption::sidechain_filter_order: filter_order = v >= 2.0f ? 2 : 1; break;
            case DynamicsOption::listen: listen = v != 0.0f; break;
            case DynamicsOption::gate_hold_ms: g.gate_hold_frames = ms_to_frames(v); break;
            case DynamicsOption::hysteresis_db: g.hysteresis_db = fabsf(v); break;
            case DynamicsOption::key_relative: g.key_relative = v != 0.0f; break;
            case DynamicsOption::adaptive_attack: g.adaptive_attack = v != 0.0f; break;
            case DynamicsOption::dual_transient: g.dual_transient = v != 0.0f; break;
            case DynamicsOption::hold_ms: g.hold_frames = ms_to_frames(v); break;
            case DynamicsOption::gain_smoothing_ms: smoothing_coefficient = time_coefficient(v, sample_rate); break;
            case DynamicsOption::feedback_slope: g.feedback_slope = v != 0.0f; break;
            default: return Configured::unknown_option;
        }
        return Configured::ok;
    }

    // The ring only grows; on failure the old ring stays in place.
    Configured grow_ring() {
        if (lookahead_frames == 0 || lookahead_frames <= ring_capacity) return Configured::ok;
        int16_t* fresh = engine_alloc<int16_t>(static_cast<size_t>(lookahead_frames) * channel_count);
        if (!fresh) return Configured::no_memory;
        engine_free(ring);
        ring = fresh;
        ring_capacity = lookahead_frames;
        ring_write_frame = 0;
        return Configured::ok;
    }

    void finish() {
        if (gain.attack_coefficient == 0.0f) gain.attack_coefficient = time_coefficient(10.0f, sample_rate);
        if (gain.release_coefficient == 0.0f) gain.release_coefficient = time_coefficient(120.0f, sample_rate);
        if (rms_coefficient == 0.0f) rms_coefficient = time_coefficient(10.0f, sample_rate);
    }

    void reset() {
        path = PathState{};
        gain_state = GainState{};
        if (ring) std::memset(ring, 0, static_cast<size_t>(ring_capacity) * channel_count * sizeof(int16_t));
        ring_write_frame = 0;
    }

    // key is nullptr or holds at least as many frames as in.
    void process(const int16_t* in, const int16_t* key, int16_t* out, size_t frames);

private:
    template <uint32_t N>
    struct Chunk;
    template <uint32_t N>
    void side_chain(PathState& p, const int16_t* in, const int16_t* key, size_t count, uint32_t& write,
                    uint32_t lookahead, Chunk<N>& v) const;
    template <uint32_t N>
    void detect_levels(PathState& p, const float* det, const float* side, size_t count, float* levels,
                       float* key_levels) const;
    template <uint32_t N, GainKind kind, class T>
    static void run(DynamicsKernel* self, const int16_t* in, const int16_t* key, int16_t* out, size_t frames,
                    const GainConstants* constants, uint32_t lookahead);
    template <uint32_t N, GainKind kind>
    void run_with_best_math(const int16_t* in, const int16_t* key, int16_t* out, size_t frames,
                            const GainConstants& c, uint32_t lookahead);
};

// One filter stage on a channel's state: s follows x; the low-pass returns
// s, the high-pass the remainder x - s.
inline float lowpass_step(float& s, float x, float a) {
    s = one_pole_step(s, x, a);
    return s;
}
inline float highpass_step(float& s, float x, float a) {
    s = one_pole_step(s, x, a);
    return x - s;
}

// One side-chain filter (and its second stage when `second` is given) over
// a chunk of interleaved values, each channel's states in frame order.
template <uint32_t N, class Step>
inline void filter_chunk(Step step, float* first, float* second, float* values, size_t count, float a) {
    for (uint32_t ch = 0; ch < N; ++ch) {
        for (size_t i = 0; i < count; ++i) values[i * N + ch] = step(first[ch], values[i * N + ch], a);
        if (second) {
            for (size_t i = 0; i < count; ++i) values[i * N + ch] = step(second[ch], values[i * N + ch], a);
        }
    }
}

// A value already clamped to the s16 range, truncated toward zero; NaN
// gives 0.  Branch-free, unlike float_to, which must also bound the value.
inline int16_t truncate_clamped(float y) {
    const int32_t t = static_cast<int32_t>(y == y ? y : 0.0f);
    return static_cast<int16_t>(t);
}

// The largest |x| over the channels of one frame (0 for silence).
template <uint32_t N>
inline float largest_magnitude(const float* frame) {
    float level = 0.0f;
    for (uint32_t ch = 0; ch < N; ++ch) level = max_of(level, fabsf(frame[ch]));
    return level;
}

// |y| of the half-sample point between h1 and h2 of (h0, h1, h2, x).
inline float interpolated_peak(float (&h)[3], float x) {
    const float v = fabsf(0.5625f * h[1] - 0.0625f * h[0] + 0.5625f * h[2] - 0.0625f * x);
    h[0] = h[1];
    h[1] = h[2];
    h[2] = x;
    return v;
}

// Largest |y| over the four phases of the oversampled signal ending at x.
inline float oversampled_peak(float (&h)[12], float x) {
    std::memmove(&h[0], &h[1], 11 * sizeof(float));
    h[11] = x;
    float peak = 0.0f;
    for (const auto& taps : kOversampleTaps) {
        float y = h[0] * taps[0];
        for (int k = 1; k < 12; ++k) y = y + h[k] * taps[k];
        peak = max_of(peak, fabsf(y));
    }
    return peak;
}

// The values of one chunk of frames on their way through the stages.
template <uint32_t N>
struct DynamicsKernel::Chunk {
    float levels[kGainChunk];
    float key_levels[kGainChunk];
    float sources[kGainChunk * N];  // the delayed dry signal, or the input beside a key
    float side[kGainChunk * N];     // the side-chain input
    float det[kGainChunk * N];      // the side chain after its filters
    const float* source;            // what the output stage scales: one of the three
};

// Each frame's level from the filtered side chain, by the detector chosen,
// and the key's level when the gain is key-relative.
template <uint32_t N>
void DynamicsKernel::detect_levels(PathState& p, const float* det, const float* side, size_t count, float* levels,
                                   float* key_levels) const {
    if (rms) {
        const float rms_k = rms_coefficient;
        for (size_t i = 0; i < count; ++i) {
            float largest = 0.0f;
            for (uint32_t ch = 0; ch < N; ++ch) {
                const float d = det[i * N + ch];
                p.mean_square[ch] = one_pole_step(p.mean_square[ch], d * d, rms_k);
                largest = max_of(largest, p.mean_square[ch]);
            }
            levels[i] = sqrtf(largest);
        }
    } else {
        for (size_t i = 0; i < count; ++i) levels[i] = largest_magnitude<N>(det + i * N);
    }
    if (detector == Detector::interpolated) {
        for (size_t i = 0; i < count; ++i) {
            for (uint32_t ch = 0; ch < N; ++ch)
                levels[i] = max_of(levels[i], interpolated_peak(p.interpolation_history[ch], det[i * N + ch]));
        }
    } else if (detector == Detector::oversampled) {
        for (size_t i = 0; i < count; ++i) {
            for (uint32_t ch = 0; ch < N; ++ch)
                levels[i] = max_of(levels[i], oversampled_peak(p.oversample_history[ch], det[i * N + ch]));
        }
    }
    if (gain.key_relative) {
        for (size_t i = 0; i < count; ++i) key_levels[i] = largest_magnitude<N>(side + i * N);
    }
}

// The side chain of a chunk: each frame's level (and key level), and the
// source the output stage scales.  Each step runs over the whole chunk with
// its settings tested once: every filter and detector still sees its own
// inputs in frame order.  Without a key, feedback or look-ahead the side
// chain's input is the dry signal itself, and without filters it is what
// the detectors read; no copy is made then.
template <uint32_t N>
void DynamicsKernel::side_chain(PathState& p, const int16_t* in, const int16_t* key, size_t count, uint32_t& write,
                                uint32_t lookahead, Chunk<N>& v) const {
    const size_t values = count * N;
    if (gain.feedback_detect) {
        for (uint32_t ch = 0; ch < N; ++ch) v.side[ch] = p.previous_output[ch];
    } else {
        const int16_t* side_in = key ? key : in;
        for (size_t i = 0; i < values; ++i) v.side[i] = static_cast<float>(side_in[i]) * kFromS16;
    }
    v.source = v.sources;
    if (lookahead != 0) {
        int16_t* const cells = ring;
        for (size_t i = 0; i < count; ++i) {
            int16_t* cell = cells + static_cast<size_t>(write) * N;
            for (uint32_t ch = 0; ch < N; ++ch) {
                v.sources[i * N + ch] = static_cast<float>(cell[ch]) * kFromS16;
                cell[ch] = in[i * N + ch];
            }
            write = write + 1 == lookahead ? 0 : write + 1;
        }
    } else if (key || gain.feedback_detect) {
        for (size_t i = 0; i < values; ++i) v.sources[i] = static_cast<float>(in[i]) * kFromS16;
    } else {
        v.source = v.side;
    }
    const bool highpass = highpass_coefficient > 0.0f;
    const bool lowpass = lowpass_coefficient > 0.0f;
    const float* det = v.side;
    if (highpass || lowpass) {
        for (size_t i = 0; i < values; ++i) v.det[i] = v.side[i];
        const bool second_stage = filter_order == 2;
        if (highpass)
            filter_chunk<N>(highpass_step, p.highpass, second_stage ? p.highpass2 : nullptr, v.det, count,
                            highpass_coefficient);
        if (lowpass)
            filter_chunk<N>(lowpass_step, p.lowpass, second_stage ? p.lowpass2 : nullptr, v.det, count,
                            lowpass_coefficient);
        det = v.det;
    }

    detect_levels<N>(p, det, v.side, count, v.levels, v.key_levels);
    // Listening outputs the filtered side chain at unit gain.
    if (listen) v.source = det;
}

// Three stages over chunks of frames: the side chain gives each frame's
// level, the gain computer turns the levels into gains, and the output stage
// applies them.  The side chain and the gain computer share no state, so the
// stages may run chunk by chunk; with feedback detection the side chain
// reads the previous output, and the chunk is one frame.
template <uint32_t N, GainKind kind, class T>
void DynamicsKernel::run(DynamicsKernel* self, const int16_t* in, const int16_t* key, int16_t* out, size_t frames,
                         const GainConstants* constants, uint32_t lookahead) {
    // Local copies: the compiler then knows that no store into the history
    // changes a setting, and keeps both in registers.
    const GainConstants c = *constants;
    const GainSettings g = self->gain;
    PathState p = self->path;
    GainState gs = self->gain_state;
    const bool feedback = g.feedback_detect != 0;
    const bool smoothing = self->smoothing_coefficient < 1.0f;
    const float makeup = self->makeup_gain;
    const float smoothing_k = self->smoothing_coefficient;
    uint32_t write = self->ring_write_frame;
    float reduction_db = p.gain_reduction_db;
    const size_t chunk = feedback ? 1 : kGainChunk;
    Chunk<N> v;
    GainLanes lanes;
    float gains[kGainChunk];

    for (size_t start = 0; start < frames; start += chunk) {
        const size_t count = frames - start < chunk ? frames - start : chunk;
        self->side_chain<N>(p, in + start * N, key ? key + start * N : nullptr, count, write, lookahead, v);
        chunk_gains<kind, T>(g, c, gs, v.levels, v.key_levels, lanes, gains, count, reduction_db);
        for (size_t i = 0; i < count; ++i) gains[i] = gains[i] * makeup;
        if (smoothing) {
            for (size_t i = 0; i < count; ++i) {
                if (p.smoothed_gain_valid) {
                    gains[i] = one_pole_step(p.smoothed_gain, gains[i], smoothing_k);
                } else {
                    p.smoothed_gain_valid = 1;
                }
                p.smoothed_gain = gains[i];
            }
        }
        if (self->listen) {
            for (size_t i = 0; i < count; ++i) gains[i] = 1.0f;
        }

        int16_t* chunk_out = out + start * N;
        if (feedback) {
            for (uint32_t ch = 0; ch < N; ++ch) {
                const float y = clamp((gains[0] * v.source[ch]) * kToS16, -32768.0f, 32767.0f);
                chunk_out[ch] = truncate_clamped(y);
                p.previous_output[ch] = y * kFromS16;
            }
        } else {
            for (size_t i = 0; i < count; ++i) {
                for (uint32_t ch = 0; ch < N; ++ch) {
                    const float y = clamp((gains[i] * v.source[i * N + ch]) * kToS16, -32768.0f, 32767.0f);
                    chunk_out[i * N + ch] = truncate_clamped(y);
                }
            }
        }
    }
    self->ring_write_frame = write;
    p.gain_reduction_db = reduction_db;
    self->path = p;
    self->gain_state = gs;
}

// The C library's logf and expf, or (where the processor has AVX-512, or
// AVX2 and FMA, and the library rounds as the lanes do) lanes that return
// the same bits.
template <uint32_t N, GainKind kind>
void DynamicsKernel::run_with_best_math(const int16_t* in, const int16_t* key, int16_t* out, size_t frames,
                                        const GainConstants& c, uint32_t lookahead) {
#if DIVAVOVA_LIBM_LANES
    if (libm_lanes_usable()) {
        return run_loop_avx512bw([&] { run<N, kind, Floats8>(this, in, key, out, frames, &c, lookahead); });
    }
    if (libm_lanes4_usable()) {
        return run_loop_avx2fma([&] { run<N, kind, Floats4>(this, in, key, out, frames, &c, lookahead); });
    }
#endif
    run<N, kind, float>(this, in, key, out, frames, &c, lookahead);
}

inline void DynamicsKernel::process(const int16_t* in, const int16_t* key, int16_t* out, size_t frames) {
    const GainConstants c = gain_constants(gain, sample_rate);
    const uint32_t lookahead = lookahead_frames < ring_capacity ? lookahead_frames : ring_capacity;
    if (lookahead != 0 && ring_write_frame >= lookahead) ring_write_frame = 0;
    if (frames == 0) return;
    const GainKind kind = gain_kind(gain);
    if (channel_count == 1) {
        switch (kind) {
            case GainKind::envelope: return run_with_best_math<1, GainKind::envelope>(in, key, out, frames, c, lookahead);
            case GainKind::gated: return run_with_best_math<1, GainKind::gated>(in, key, out, frames, c, lookahead);
            case GainKind::transient: return run_with_best_math<1, GainKind::transient>(in, key, out, frames, c, lookahead);
        }
    } else {
        switch (kind) {
            case GainKind::envelope: return run_with_best_math<2, GainKind::envelope>(in, key, out, frames, c, lookahead);
            case GainKind::gated: return run_with_best_math<2, GainKind::gated>(in, key, out, frames, c, lookahead);
            case GainKind::transient: return run_with_best_math<2, GainKind::transient>(in, key, out, frames, c, lookahead);
        }
    }
}

}  // namespace divavova
