// Plate-style reverb tank: four input diffusers and a figure-of-eight tank of
// two halves, twelve 16-bit lines plus a pre-delay line in one allocation,
// the wet signal read from up to 32 taps placed anywhere on the lines.
//
// The default geometry is given at a reference rate of 29761 Hz and rescaled
// to the engine's rate.  Every per-frame quantity is single precision; every
// write into a line is truncated to 16 bits, so the recirculating state is
// quantised at each write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "module/configured.hpp"
#include "module/convert.hpp"
#include "module/cpu.hpp"
#include "module/memory.hpp"

namespace divavova {

inline constexpr uint32_t kTankLines = 12;
inline constexpr uint32_t kTankMaxTaps = 32;
inline constexpr uint32_t kTankDefaultTaps = 14;
inline constexpr float kTankReferenceRate = 29761.0f;
inline constexpr uint32_t kTankMinLineFrames = 4;
inline constexpr uint32_t kTankMaxLineFrames = 0x400000;
inline constexpr uint32_t kTankMaxTotalFrames = 0x800000;

// Line lengths at the reference rate: diffusers 0..3, left half 4..7
// (modulated all-pass, delay A, all-pass, delay B), right half 8..11.
inline constexpr uint32_t kTankReferenceLines[kTankLines] = {142,  107,  379, 277,  672,  4453,
                                                             1800, 3720, 908, 4217, 2656, 3163};

struct TankReferenceTap {
    uint8_t channel;
    uint8_t line;
    uint32_t offset;
    float gain;
};

inline constexpr TankReferenceTap kTankReferenceTaps[kTankDefaultTaps] = {
    {0, 9, 266, 0.6f},   {0, 9, 2974, 0.6f}, {0, 10, 1913, -0.6f}, {0, 11, 1996, 0.6f}, {0, 5, 1990, -0.6f},
    {0, 6, 187, -0.6f},  {0, 7, 1066, -0.6f}, {1, 5, 353, 0.6f},   {1, 5, 3627, 0.6f},  {1, 6, 1228, -0.6f},
    {1, 7, 2673, 0.6f},  {1, 9, 2111, -0.6f}, {1, 10, 335, -0.6f}, {1, 11, 121, -0.6f},
};

// line16(v): what a line stores.  Saturates at the s16 bounds, otherwise
// truncates toward zero; NaN stores 0.  Selects only, like s16().
inline int16_t line16(float v) {
    v = v == v ? v : 0.0f;
    v = (32767.0f < v) ? 32767.0f : v;
    v = (v < -32768.0f) ? -32768.0f : v;
    return static_cast<int16_t>(static_cast<int32_t>(v));
}

// The settings block: built whole by the initialiser, then installed.
struct TankSettings {
    uint32_t sample_rate;
    uint32_t channel_count;
    uint32_t line_frames[kTankLines];
    uint32_t predelay_capacity_frames;
    uint32_t predelay_frames;
    float decay;
    float diffusion;
    float damping_coefficient;
    float bandwidth_coefficient;
    float highpass_coefficient;
    float tilt_coefficient;
    float tilt_low_gain;
    float tilt_high_gain;
    float oscillator_coefficient;
    float modulation_depth_frames;
    float drive;
    float width;
    float mix;
    uint8_t tap_channel[kTankMaxTaps];
    uint8_t tap_line[kTankMaxTaps];
    uint32_t tap_offset_frames[kTankMaxTaps];
    float tap_gain[kTankMaxTaps];
    uint32_t tap_count;
    float damping_hz;
    float bandwidth_hz;
    float highpass_hz;
    float modulation_rate_hz;
    float modulation_depth_ms;
    float predelay_ms;
    float tilt_db;
};

// Outcome of a construction step; the binding turns each into its message.
enum class TankBuild {
    ok,
    wrong_count,        // delays not 12 numbers, taps not groups of 4
    line_too_short,
    lines_do_not_fit,
    bad_tap_channel,
    bad_tap_line,
    bad_tap_offset,
};

// rescale(n) from the reference rate: x = rate * n / 29761 in f32.
inline float tank_rescaled(uint32_t sample_rate, uint32_t reference_frames) {
    return (static_cast<float>(sample_rate) * static_cast<float>(reference_frames)) / kTankReferenceRate;
}

inline uint32_t tank_rescaled_line(uint32_t sample_rate, uint32_t reference_frames) {
    float x = tank_rescaled(sample_rate, reference_frames);
    if (x < 1.0f) return kTankMinLineFrames;
    uint32_t r = float_to<uint32_t>(x + 0.5f);
    return r < kTankMinLineFrames ? kTankMinLineFrames : r;
}

inline uint32_t tank_rescaled_offset(uint32_t sample_rate, uint32_t reference_frames) {
    float x = tank_rescaled(sample_rate, reference_frames);
    if (x < 1.0f) return 1;
    return float_to<uint32_t>(x + 0.5f);
}

// Pre-delay frames for a time in ms (already raised to at least 0): never
// more than the capacity (compared in f32, as the time is).
inline uint32_t tank_predelay_frames(uint32_t sample_rate, uint32_t capacity, float time_ms) {
    float x = (static_cast<float>(sample_rate) * time_ms) / 1000.0f;
    float capacity_f = static_cast<float>(capacity);
    return float_to<uint32_t>(capacity_f < x ? capacity_f : x);
}

// A construction's settings before `delays` and `taps`: rescaled geometry,
// the default taps and the construction values of every parameter.
inline TankSettings tank_default_settings(uint32_t sample_rate, double max_predelay_ms, uint32_t channel_count) {
    TankSettings s;
    std::memset(&s, 0, sizeof s);
    s.sample_rate = sample_rate;
    for (uint32_t k = 0; k < kTankLines; ++k) s.line_frames[k] = tank_rescaled_line(sample_rate, kTankReferenceLines[k]);
    for (uint32_t i = 0; i < kTankDefaultTaps; ++i) {
        const TankReferenceTap& tap = kTankReferenceTaps[i];
        uint32_t offset = tank_rescaled_offset(sample_rate, tap.offset);
        uint32_t last = s.line_frames[tap.line] - 1;
        s.tap_channel[i] = tap.channel;
        s.tap_line[i] = tap.line;
        s.tap_offset_frames[i] = offset < last ? offset : last;
        s.tap_gain[i] = tap.gain;
    }
    s.tap_count = kTankDefaultTaps;
    float capacity_ms = clamp(static_cast<float>(max_predelay_ms), 0.0f, 10000.0f);
    float x = (static_cast<float>(sample_rate) * capacity_ms) / 1000.0f;
    // NaN counts as "below 1": the line always has a frame.
    s.predelay_capacity_frames = (x >= 1.0f) ? float_to<uint32_t>(x) : 1;
    s.predelay_frames = 0;
    s.decay = 0.5f;
    s.diffusion = 0.75f;
    s.width = 1.0f;
    s.mix = 0.3f;
    s.tilt_low_gain = 1.0f;
    s.tilt_high_gain = 1.0f;
    s.channel_count = channel_count;
    return s;
}

// Custom line lengths (already converted to u32).  Installed taps that reach
// past their new line are pulled in to its last frame.
inline TankBuild tank_apply_delays(TankSettings& s, const uint32_t (&frames)[kTankLines]) {
    uint64_t total = 0;
    for (uint32_t k = 0; k < kTankLines; ++k) {
        if (frames[k] < kTankMinLineFrames) return TankBuild::line_too_short;
        total += frames[k];
        if (frames[k] > kTankMaxLineFrames || total > kTankMaxTotalFrames) return TankBuild::lines_do_not_fit;
    }
    std::memcpy(s.line_frames, frames, sizeof s.line_frames);
    for (uint32_t i = 0; i < s.tap_count; ++i) {
        uint32_t length = s.line_frames[s.tap_line[i]];
        if (s.tap_offset_frames[i] >= length) s.tap_offset_frames[i] = length - 1;
    }
    return TankBuild::ok;
}

// Custom taps: `count` values, four per tap (channel, line, offset, gain).
// Every group is checked before any is installed; all previous taps go.
inline TankBuild tank_apply_taps(TankSettings& s, const float* values, size_t count) {
    if (count % 4 != 0 || count > 4 * kTankMaxTaps) return TankBuild::wrong_count;
    for (size_t i = 0; i < count; i += 4) {
        float channel = values[i], line = values[i + 1], offset = values[i + 2];
        if (channel < 0.0f || channel > 1.0f) return TankBuild::bad_tap_channel;
        if (line < 0.0f || !(line < 12.0f)) return TankBuild::bad_tap_line;
        float length = static_cast<float>(s.line_frames[static_cast<uint32_t>(line)]);
        if (offset < 0.0f || !(offset < length)) return TankBuild::bad_tap_offset;
    }
    for (size_t i = 0; i < count; i += 4) {
        size_t tap = i / 4;
        s.tap_channel[tap] = float_to<uint8_t>(values[i]);
        s.tap_line[tap] = static_cast<uint8_t>(values[i + 1]);
        s.tap_offset_frames[tap] = static_cast<uint32_t>(values[i + 2]);
        s.tap_gain[tap] = values[i + 3];
    }
    s.tap_count = static_cast<uint32_t>(count / 4);
    return TankBuild::ok;
}

// Samples of the one storage block: twelve lines and the pre-delay line.
inline uint64_t tank_storage_samples(const TankSettings& s) {
    uint64_t total = s.predelay_capacity_frames;
    for (uint32_t k = 0; k < kTankLines; ++k) total += s.line_frames[k];
    return total;
}

struct TankKernel {
    TankSettings settings;
    // Running state.
    int16_t* line_start[kTankLines];
    uint32_t line_position[kTankLines];
    int16_t* predelay_start;
    uint32_t predelay_position;
    float bandwidth_state;
    float highpass_state;
    float damping_state[2];
    float tilt_state[2];
    float oscillator_sine;
    float oscillator_cosine;
    int16_t* storage;
    uint32_t storage_samples;

    static constexpr const char* kUnknownOption = "unknown tank option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;

    bool initialised() const { return storage != nullptr; }
    size_t frame_bytes() const { return 2u * settings.channel_count; }

    // Installs new settings and their storage (zeroed, tank_storage_samples
    // long), freeing the previous storage.
    void install(const TankSettings& fresh, int16_t* fresh_storage) {
        engine_free(storage);
        settings = fresh;
        storage = fresh_storage;
        storage_samples = static_cast<uint32_t>(tank_storage_samples(fresh));
        restart();
    }

    void free_memory() {
        engine_release(storage);
        storage_samples = 0;
    }

    // Clears the lines and every running state; settings stay.
    void reset() {
        if (storage) std::memset(storage, 0, static_cast<size_t>(storage_samples) * sizeof(int16_t));
        restart();
    }

    Configured configure(uint32_t option, double value);
    void finish();
    void process(const int16_t* in, int16_t* out, size_t frames);

private:
    void restart();
};

inline void TankKernel::restart() {
    size_t offset = 0;
    for (uint32_t k = 0; k < kTankLines; ++k) {
        line_start[k] = storage ? storage + offset : nullptr;
        offset += settings.line_frames[k];
        line_position[k] = 0;
    }
    predelay_start = storage ? storage + offset : nullptr;
    predelay_position = 0;
    bandwidth_state = 0.0f;
    highpass_state = 0.0f;
    damping_state[0] = damping_state[1] = 0.0f;
    tilt_state[0] = tilt_state[1] = 0.0f;
    oscillator_sine = 0.0f;
    oscillator_cosine = 1.0f;
}

inline float tank_oscillator_coefficient(float rate_hz, uint32_t sample_rate) {
    return sample_rate == 0 ? 0.0f : SineOscillator::coefficient(rate_hz, sample_rate);
}

inline void tank_set_tilt(TankSettings& s, float tilt_db) {
    s.tilt_db = tilt_db;
    s.tilt_low_gain = expf(-tilt_db * 0.057564627f);
    s.tilt_high_gain = expf(tilt_db * 0.057564627f);
    s.tilt_coefficient = one_pole(1000.0f, s.sample_rate);
}

inline float raised_to_zero(float v) { return v < 0.0f ? 0.0f : v; }

inline Configured TankKernel::configure(uint32_t option, double value) {
    TankSettings& s = settings;
    float v = static_cast<float>(value);
    switch (option) {
        case 0: s.decay = clamp(v, 0.0f, 0.999f); break;
        case 1: s.diffusion = clamp(v, 0.0f, 0.9f); break;
        case 2:
            s.damping_hz = v;
            s.damping_coefficient = one_pole(v, s.sample_rate);
            break;
        case 3:
            s.bandwidth_hz = v;
            s.bandwidth_coefficient = one_pole(v, s.sample_rate);
            break;
        case 4:
            s.highpass_hz = v;
            s.highpass_coefficient = one_pole(v, s.sample_rate);
            break;
        case 5:
            s.predelay_ms = raised_to_zero(v);
            s.predelay_frames = tank_predelay_frames(s.sample_rate, s.predelay_capacity_frames, s.predelay_ms);
            break;
        case 6:
            s.modulation_depth_ms = clamp(v, 0.0f, 100.0f);
            s.modulation_depth_frames = (static_cast<float>(s.sample_rate) * s.modulation_depth_ms) / 1000.0f;
            break;
        case 7: {
            float rate = clamp(v, 0.0f, 100.0f);
            s.modulation_rate_hz = rate;
            s.oscillator_coefficient = rate <= 0.0f ? 0.0f : tank_oscillator_coefficient(rate, s.sample_rate);
            break;
        }
        case 8: s.drive = clamp(v, 0.0f, 1.0f); break;
        case 9: s.width = clamp(v, 0.0f, 2.0f); break;
        case 10: tank_set_tilt(s, clamp(v, -24.0f, 24.0f)); break;
        case 11: s.mix = clamp(v, 0.0f, 2.0f); break;
        default: return Configured::unknown_option;
    }
    return Configured::ok;
}

inline constexpr uint32_t kModulatedLines[2] = {4, 8};

inline void TankKernel::finish() {
    TankSettings& s = settings;
    s.damping_coefficient = one_pole(s.damping_hz, s.sample_rate);
    s.bandwidth_coefficient = one_pole(s.bandwidth_hz, s.sample_rate);
    s.highpass_coefficient = one_pole(s.highpass_hz, s.sample_rate);
    s.modulation_rate_hz = clamp(s.modulation_rate_hz, 0.0f, 100.0f);
    s.oscillator_coefficient =
        s.modulation_rate_hz > 0.0f ? tank_oscillator_coefficient(s.modulation_rate_hz, s.sample_rate) : 0.0f;
    s.modulation_depth_ms = clamp(s.modulation_depth_ms, 0.0f, 100.0f);
    s.modulation_depth_frames = (static_cast<float>(s.sample_rate) * s.modulation_depth_ms) / 1000.0f;
    s.predelay_ms = raised_to_zero(s.predelay_ms);
    s.predelay_frames = tank_predelay_frames(s.sample_rate, s.predelay_capacity_frames, s.predelay_ms);
    tank_set_tilt(s, clamp(s.tilt_db, -24.0f, 24.0f));
    // The modulated lines keep a delay of at least one frame.
    for (uint32_t line : kModulatedLines) {
        float bound = static_cast<float>(s.line_frames[line] - 2) * 0.5f;
        if (s.modulation_depth_frames > bound) s.modulation_depth_frames = bound < 0.0f ? 0.0f : bound;
    }
}

// ---------------------------------------------------------------------------
// The per-frame path.
//
// Frames go through in chunks of C frames (8 in the AVX2 build, then 4), and
// the frames left before a wrap one by one.  Within a chunk each stage runs
// for all C frames before the next stage starts, so the stages without a
// running state work on C independent lanes, and each lane does its frame's
// operations in their order (nothing is reordered or merged).  The result is
// the frame-by-frame one, value for value, because:
// - a fixed line of length L >= C is read and then written at one cell per
//   frame: frame k of the chunk reads the sample written L frames earlier,
//   before the chunk, and no other frame of the chunk writes that cell;
// - the states that run from frame to frame (oscillator, pre-delay,
//   bandwidth, high-pass, damping, tilt) step through the chunk frame by
//   frame;
// - the modulated all-pass reads at an age of 1 .. L - 1 (and the cell one
//   older): the lanes read together only when every age in the chunk is at
//   least C, so older than the chunk, and frame by frame otherwise;
// - a tap of age r reads after the chunk when r <= L - C (no later frame of
//   the chunk writes its cell) and before it when r >= C (no earlier frame
//   writes it).  A tap that is neither (r < C and r > L - C) cuts every
//   cycle of its line into runs shorter than C, so no chunk of C can run
//   while it exists; the check below just says so.

namespace tank_detail {

// Per-call values of the frame loop.
struct Pass {
    float m, m2, d1, d2;  // diffuser and tank all-pass coefficients
    float dry, wet;
    float k;      // oscillator coefficient
    float depth;  // modulation depth in frames, 0 without the oscillator
    float g;      // decay
    float bandwidth, highpass, damping, drive, width;
    float tilt, low_gain, high_gain;
    bool use_predelay, use_width, use_tilt;
    int16_t* predelay_line;
    uint32_t predelay_capacity;
    uint32_t modulated_frames[2];  // L4, L8
    float last_age[2];             // L4 - 1, L8 - 1
};

// The states that run from frame to frame.
struct Running {
    float sine, cosine;
    float bw, hp;
    float damping[2];
    float tilt[2];
    uint32_t predelay_write, predelay_read;  // pre-delay cursors
};

// Taps in table order (channel 0 for every tap in mono).
struct TapPlan {
    uint32_t count;
    uint8_t channel[kTankMaxTaps];
    uint8_t line[kTankMaxTaps];
    uint32_t age[kTankMaxTaps];
    float gain[kTankMaxTaps];
};

// What the pre-delay stores: s16 of the input (mono) or of the mean of the
// two inputs, worked on the integers.  The mean is a whole or a half number,
// well inside the s16 range, and s16 rounds it half away from zero: for a sum
// s of the two, (s + 1) >> 1 from zero up, s >> 1 (flooring) below zero.
template <uint32_t Channels>
inline int16_t predelay_sample(const int16_t* frame) {
    if constexpr (Channels == 1) {
        return frame[0];
    } else {
        const int32_t sum = static_cast<int32_t>(frame[0]) + static_cast<int32_t>(frame[1]);
        return static_cast<int16_t>(sum >= 0 ? (sum + 1) >> 1 : sum >> 1);
    }
}

// During a run of frames in which no line position or tap cursor wraps,
// every line read and write of frame j is at a base pointer plus j.  The
// pre-delay steps its own cursors frame by frame: its line can be as short
// as one frame.
struct Run {
    int16_t* at[kTankLines];             // each line's write position
    const int16_t* taps[kTankMaxTaps];   // each tap's read position
    uint32_t modulated_position[2];      // write positions of lines 4 and 8
};

// One frame of the pre-delay: returns the input delayed (or x unchanged
// without a pre-delay) and stores the frame's rounded input.  The read comes
// first, so a delay of the whole capacity returns the sample written that
// many frames ago.
template <uint32_t Channels>
inline float predelay_step(const Pass& p, Running& state, const int16_t* frame, float x) {
    float y = x;
    if (p.use_predelay) {
        y = static_cast<float>(p.predelay_line[state.predelay_read]);
        const uint32_t next = state.predelay_read + 1;
        state.predelay_read = next == p.predelay_capacity ? 0 : next;
    }
    p.predelay_line[state.predelay_write] = predelay_sample<Channels>(frame);
    const uint32_t next = state.predelay_write + 1;
    state.predelay_write = next == p.predelay_capacity ? 0 : next;
    return y;
}

// Whether chunks of C frames fit the geometry: every line holds at least C
// frames and every tap reads either after the chunk or before it.  The taps
// that read before it are set in `early`.
inline bool chunks_fit(const TankSettings& s, const TapPlan& taps, uint32_t frames, uint32_t& early) {
    early = 0;
    for (uint32_t line = 0; line < kTankLines; ++line)
        if (s.line_frames[line] < frames) return false;
    for (uint32_t i = 0; i < taps.count; ++i) {
        const uint32_t length = s.line_frames[taps.line[i]], age = taps.age[i];
        if (age <= length - frames) continue;
        if (age < frames) return false;
        early |= 1u << i;
    }
    return true;
}

// All-pass on a line's cell: returns the output, writes the cell.
inline float allpass_at(int16_t* cell, float y, float a) {
    const float z = static_cast<float>(*cell);
    const float n = y + z * a;
    *cell = line16(n);
    return z - n * a;
}

// Age of the modulated all-pass read: (L - 1) - depth + phase * depth,
// held to [1, L - 1] (NaN passes).
inline float modulated_age(float last_age, float depth, float phase) {
    const float t = (last_age - depth) + phase * depth;
    return t < 1.0f ? 1.0f : (last_age < t ? last_age : t);
}

// The modulated all-pass of one frame, writing cell `at` of its line: the
// read at `age` interpolates linearly toward the next older sample.
inline float modulated_allpass_at(int16_t* line, uint32_t length, uint32_t at, float age, float feed, float d1) {
    // age is NaN or within [1, L - 1], L <= 2^22: the 32-bit conversion
    // truncates it exactly; whole <= L - 1 and at < L, so one subtraction
    // reduces.
    const uint32_t whole = age == age ? static_cast<uint32_t>(static_cast<int32_t>(age)) : 0;
    uint32_t a0 = length + at - whole;
    a0 = a0 < length ? a0 : a0 - length;
    const uint32_t a1 = a0 == 0 ? length - 1 : a0 - 1;
    const float fraction = age - static_cast<float>(whole);
    const float z0 = static_cast<float>(line[a0]);
    const float z = z0 + (static_cast<float>(line[a1]) - z0) * fraction;
    const float n = z * d1 + feed;
    line[at] = line16(n);
    return z - n * d1;
}

// The tap sums to the wet signal: mono halves its one sum, stereo applies
// the width.  For one frame (float) or a chunk's lanes (vectors).
template <uint32_t Channels, class T>
inline void halve_or_widen(const Pass& p, T* wet) {
    if constexpr (Channels == 1) {
        wet[0] = wet[0] * 0.5f;
    } else if (p.use_width) {
        const T mid = (wet[1] + wet[0]) * 0.5f;
        const T side = (wet[0] - wet[1]) * 0.5f * p.width;
        wet[0] = side + mid;
        wet[1] = mid - side;
    }
}

// One frame (j of a run), in the order of the description above: input,
// pre-delay, input filters and drive, diffusers, both halves, taps, width,
// tilt and output.
template <uint32_t Channels>
inline void run_frame(const Pass& p, Running& state, const Run& run, const TapPlan& taps, size_t j, const int16_t* in,
                      int16_t* out) {
    state.sine = state.sine + p.k * state.cosine;
    state.cosine = state.cosine - p.k * state.sine;

    const int16_t* frame_in = in + j * Channels;
    float dry_in[Channels];
    for (uint32_t c = 0; c < Channels; ++c) dry_in[c] = static_cast<float>(frame_in[c]);
    float y = predelay_step<Channels>(p, state, frame_in,
                                      Channels == 1 ? dry_in[0] : (dry_in[Channels - 1] + dry_in[0]) * 0.5f);
    if (p.bandwidth > 0.0f) {
        state.bw = (y - state.bw) * p.bandwidth + state.bw;
        y = state.bw;
    }
    if (p.highpass > 0.0f) {
        state.hp = (y - state.hp) * p.highpass + state.hp;
        y = y - state.hp;
    }
    if (p.drive > 0.0f) {
        const float u = clamp(y * 0.000030517578f, -1.0f, 1.0f);
        y = (u - u * p.drive * u * u / 3.0f) * 32768.0f;
    }
    y = allpass_at(run.at[0] + j, y, p.m);
    y = allpass_at(run.at[1] + j, y, p.m);
    y = allpass_at(run.at[2] + j, y, p.m2);
    const float e = allpass_at(run.at[3] + j, y, p.m2);

    const float zl = static_cast<float>(run.at[7][j]);
    const float zr = static_cast<float>(run.at[11][j]);
    const uint32_t at = static_cast<uint32_t>(j);
    float half[2];
    half[0] = modulated_allpass_at(run.at[4] - run.modulated_position[0], p.modulated_frames[0],
                                   run.modulated_position[0] + at, modulated_age(p.last_age[0], p.depth, state.sine),
                                   zr * p.g + e, p.d1);
    half[1] = modulated_allpass_at(run.at[8] - run.modulated_position[1], p.modulated_frames[1],
                                   run.modulated_position[1] + at,
                                   modulated_age(p.last_age[1], p.depth, state.cosine), zl * p.g + e, p.d1);
    for (uint32_t h = 0; h < 2; ++h) {
        int16_t* delay_a = run.at[5 + 4 * h] + j;
        float delayed = static_cast<float>(*delay_a);
        *delay_a = line16(half[h]);
        if (p.damping > 0.0f) {
            state.damping[h] = (delayed - state.damping[h]) * p.damping + state.damping[h];
            delayed = state.damping[h];
        }
        int16_t* cell = run.at[6 + 4 * h] + j;
        const float z = static_cast<float>(*cell);
        const float n = delayed * p.g + z * p.d2;
        *cell = line16(n);
        run.at[7 + 4 * h][j] = line16(z - n * p.d2);
    }

    float wet[Channels];
    for (uint32_t c = 0; c < Channels; ++c) wet[c] = 0.0f;
    for (uint32_t t = 0; t < taps.count; ++t) {
        float& sum = wet[Channels == 2 ? taps.channel[t] : 0];
        sum = sum + static_cast<float>(run.taps[t][j]) * taps.gain[t];
    }
    halve_or_widen<Channels>(p, wet);
    int16_t* frame_out = out + j * Channels;
    for (uint32_t c = 0; c < Channels; ++c) {
        float o = wet[c];
        if (p.use_tilt) {
            state.tilt[c] = (o - state.tilt[c]) * p.tilt + state.tilt[c];
            o = state.tilt[c] * p.low_gain + (o - state.tilt[c]) * p.high_gain;
        }
        frame_out[c] = s16(dry_in[c] * p.dry + o * p.wet);
    }
}

// C lanes of single-precision values in one vector (GCC vector types: each
// operation works lane by lane with the scalar operation's rounding).  The
// helpers are inlined into the loop they serve, so the vector calling
// convention (what -Wpsabi warns about) never matters; the note is off for
// the rest of the file that includes this header, since GCC reports it
// where the instantiations are emitted, at the end of the file.
#pragma GCC diagnostic ignored "-Wpsabi"

template <uint32_t C>
struct LaneTypes {
    static_assert(C == 4 || C == 8);
    typedef float F __attribute__((vector_size(4 * C)));
    typedef int32_t I __attribute__((vector_size(4 * C)));
    typedef int16_t H __attribute__((vector_size(2 * C)));
    typedef uint64_t U __attribute__((vector_size(4 * C)));
};

template <uint32_t C>
struct Lanes {
    using F = typename LaneTypes<C>::F;
    using I = typename LaneTypes<C>::I;
    using H = typename LaneTypes<C>::H;
    using U = typename LaneTypes<C>::U;

    static F splat(float x) {
        F v;
        for (uint32_t i = 0; i < C; ++i) v[i] = x;
        return v;
    }
    static F load(const int16_t* cells) {
        if constexpr (C == 8) {
            // Element by element, which GCC builds as one sign-extending load.
            return widened(cells, std::make_index_sequence<C>());
        } else {
            // Without SSE4.1's sign extension: each sample into the high half
            // of its 32-bit lane, then an arithmetic shift down.
            typedef int16_t H8 __attribute__((vector_size(16)));
            typedef int64_t Q2 __attribute__((vector_size(16)));
            int64_t bits;
            std::memcpy(&bits, cells, sizeof bits);
            const Q2 low = {bits, 0};
            const H8 h = reinterpret_cast<H8>(low);
            const I wide = reinterpret_cast<I>(__builtin_shufflevector(h, h, 0, 0, 1, 1, 2, 2, 3, 3)) >> 16;
            return __builtin_convertvector(wide, F);
        }
    }
    template <size_t... K>
    static F widened(const int16_t* cells, std::index_sequence<K...>) {
        const I wide = {cells[K]...};
        return __builtin_convertvector(wide, F);
    }
    static void store(int16_t* cells, H h) { std::memcpy(cells, &h, sizeof h); }
    // Whether every lane is 0.
    static bool none(const I& v) {
        const U u = reinterpret_cast<U>(v);
        uint64_t any = u[0];
        for (uint32_t i = 1; i < C / 2; ++i) any |= u[i];
        return any == 0;
    }
    // a where the mask is set, else b.
    static F pick(const I& mask, const F& a, const F& b) { return mask ? a : b; }
    // line16 of every lane (see line16 above: NaN 0, saturate, truncate).
    static void store_line16(int16_t* cells, const F& value) {
        F v = reinterpret_cast<F>(reinterpret_cast<I>(value) & (value == value));
        const F top = splat(32767.0f), bottom = splat(-32768.0f);
        v = pick(top < v, top, v);
        v = pick(v < bottom, bottom, v);
        store(cells, __builtin_convertvector(__builtin_convertvector(v, I), H));
    }
    // s16 of every lane (see s16 in convert.hpp), as 32-bit integers.
    static I rounded_s16(const F& value) {
        F v = reinterpret_cast<F>(reinterpret_cast<I>(value) & (value == value));
        const F top = splat(32767.0f), bottom = splat(-32768.0f);
        v = pick(top < v, top, v);
        v = pick(v < bottom, bottom, v);
        // copysign(0.5f, v): v's sign bit on 0.5.
        const I sign = reinterpret_cast<I>(v) & static_cast<int32_t>(0x80000000u);
        const F half = reinterpret_cast<F>(sign | reinterpret_cast<I>(splat(0.5f)));
        return __builtin_convertvector(v + half, I);
    }
};

// All-pass on C cells of a line: y becomes the outputs, the cells the new
// line samples.
template <uint32_t C>
[[gnu::always_inline]] inline void allpass_lanes(int16_t* cells, typename Lanes<C>::F& y, float a) {
    using L = Lanes<C>;
    const typename L::F z = L::load(cells);
    const typename L::F n = y + z * a;
    L::store_line16(cells, n);
    y = z - n * a;
}

// The modulated all-pass of one half for C frames from `position`: read at
// age t in [1, L - 1] with linear interpolation toward the next older
// sample, then the all-pass with coefficient d1 on the input `feed`.
template <uint32_t C>
[[gnu::always_inline]] inline void modulated_allpass_lanes(int16_t* line, uint32_t length, uint32_t position,
                                                           float last_age, float depth,
                                                           const typename Lanes<C>::F& phase,
                                                           const typename Lanes<C>::F& feed, float d1,
                                                           typename Lanes<C>::F& y) {
    using L = Lanes<C>;
    using F = typename L::F;
    using I = typename L::I;
    const F last = L::splat(last_age), one = L::splat(1.0f);
    F t = (last_age - depth) + phase * depth;
    t = L::pick(t < one, one, L::pick(last < t, last, t));
    // t is NaN or within [1, L - 1], L <= 2^22: the conversion truncates it
    // exactly, as the scalar path's does (NaN lanes, never read together,
    // convert as 1).
    const I ordered = t == t;
    const I whole = __builtin_convertvector(L::pick(ordered, t, one), I);
    // whole <= L - 1 and position < L, so one subtraction reduces.
    const uint32_t q = static_cast<uint32_t>(whole[0]);
    uint32_t first = length + position - q;
    first = first < length ? first : first - length;
    {
        // Every lane ordered and of one whole age.
        if (L::none(~ordered | (whole ^ whole[0])) && q >= C && first >= 1 && first + C <= length) {
            // One age for the chunk, older than the chunk, no wrap: the
            // frames read consecutive cells that no frame of the chunk writes.
            const F fraction = t - __builtin_convertvector(whole, F);
            const F z0 = L::load(line + first);
            const F z = z0 + (L::load(line + first - 1) - z0) * fraction;
            const F n = z * d1 + feed;
            L::store_line16(line + position, n);
            y = z - n * d1;
            return;
        }
    }
    // Frame by frame: a read may reach the sample of an earlier frame of the
    // chunk, or the age is NaN.
    for (uint32_t i = 0; i < C; ++i) y[i] = modulated_allpass_at(line, length, position + i, t[i], feed[i], d1);
}

// C frames from frame j of a run.  `early` marks the taps that read before
// the chunk's writes.
template <uint32_t Channels, uint32_t C>
[[gnu::always_inline]] inline void run_chunk(const Pass& p, Running& state, const Run& run, const TapPlan& taps,
                                             uint32_t early, size_t j, const int16_t* in, int16_t* out) {
    using L = Lanes<C>;
    using F = typename L::F;
    using I = typename L::I;
    F s = {}, v = {};
    {
        float sine = state.sine, cosine = state.cosine;
        for (uint32_t i = 0; i < C; ++i) {
            sine = sine + p.k * cosine;
            cosine = cosine - p.k * sine;
            s[i] = sine;
            v[i] = cosine;
        }
        state.sine = sine;
        state.cosine = cosine;
    }

    const int16_t* frames_in = in + j * Channels;
    F dry_in[Channels];
    if constexpr (Channels == 1) {
        dry_in[0] = L::load(frames_in);
    } else {
        int16_t split[2][C];
        for (uint32_t i = 0; i < C; ++i) {
            split[0][i] = frames_in[2 * i];
            split[1][i] = frames_in[2 * i + 1];
        }
        dry_in[0] = L::load(split[0]);
        dry_in[1] = L::load(split[1]);
    }

    // The taps that read what the chunk is about to overwrite.
    int16_t before[kTankMaxTaps][C];
    for (uint32_t mask = early; mask != 0; mask &= mask - 1) {
        const uint32_t t = static_cast<uint32_t>(__builtin_ctz(mask));
        std::memcpy(before[t], run.taps[t] + j, sizeof before[t]);
    }

    // Input and pre-delay (read before write, so a delay of the whole
    // capacity returns the sample written that many frames ago).
    F y = Channels == 1 ? dry_in[0] : (dry_in[Channels - 1] + dry_in[0]) * 0.5f;
    const uint32_t capacity = p.predelay_capacity;
    if (state.predelay_write + C <= capacity && (!p.use_predelay || state.predelay_read + C <= capacity)) {
        // Neither pre-delay cursor wraps within the chunk.
        int16_t* write = p.predelay_line + state.predelay_write;
        if (p.use_predelay) {
            const int16_t* read = p.predelay_line + state.predelay_read;
            for (uint32_t i = 0; i < C; ++i) {
                y[i] = static_cast<float>(read[i]);
                write[i] = predelay_sample<Channels>(frames_in + i * Channels);
            }
            state.predelay_read = state.predelay_read + C == capacity ? 0 : state.predelay_read + C;
        } else {
            for (uint32_t i = 0; i < C; ++i) write[i] = predelay_sample<Channels>(frames_in + i * Channels);
        }
        state.predelay_write = state.predelay_write + C == capacity ? 0 : state.predelay_write + C;
    } else {
        float delayed[C];
        Running cursors = state;
        for (uint32_t i = 0; i < C; ++i)
            delayed[i] = predelay_step<Channels>(p, cursors, frames_in + i * Channels, y[i]);
        state.predelay_write = cursors.predelay_write;
        state.predelay_read = cursors.predelay_read;
        std::memcpy(&y, delayed, sizeof y);
    }
    if (p.bandwidth > 0.0f) {
        float bw = state.bw;
        for (uint32_t i = 0; i < C; ++i) {
            bw = (y[i] - bw) * p.bandwidth + bw;
            y[i] = bw;
        }
        state.bw = bw;
    }
    if (p.highpass > 0.0f) {
        float hp = state.hp;
        for (uint32_t i = 0; i < C; ++i) {
            hp = (y[i] - hp) * p.highpass + hp;
            y[i] = y[i] - hp;
        }
        state.hp = hp;
    }
    if (p.drive > 0.0f) {
        // clamp(u, -1, 1): -1 if u < -1, else min(1, u) (NaN passes).
        const F low = L::splat(-1.0f), high = L::splat(1.0f);
        F u = y * 0.000030517578f;
        u = L::pick(u < low, low, L::pick(high < u, high, u));
        y = (u - u * p.drive * u * u / 3.0f) * 32768.0f;
    }

    // Input diffusers; y becomes the diffused input e.
    allpass_lanes<C>(run.at[0] + j, y, p.m);
    allpass_lanes<C>(run.at[1] + j, y, p.m);
    allpass_lanes<C>(run.at[2] + j, y, p.m2);
    allpass_lanes<C>(run.at[3] + j, y, p.m2);

    // Each half is fed the other's delay B output, written L frames earlier,
    // times the decay, plus the diffused input.
    const F feed_left = L::load(run.at[11] + j) * p.g + y;
    const F feed_right = L::load(run.at[7] + j) * p.g + y;

    F half[2] = {}, delayed[2];
    modulated_allpass_lanes<C>(run.at[4] - run.modulated_position[0], p.modulated_frames[0],
                               run.modulated_position[0] + static_cast<uint32_t>(j), p.last_age[0], p.depth, s,
                               feed_left, p.d1, half[0]);
    modulated_allpass_lanes<C>(run.at[8] - run.modulated_position[1], p.modulated_frames[1],
                               run.modulated_position[1] + static_cast<uint32_t>(j), p.last_age[1], p.depth, v,
                               feed_right, p.d1, half[1]);
    for (uint32_t h = 0; h < 2; ++h) {
        // Delay A.
        int16_t* cells = run.at[5 + 4 * h] + j;
        delayed[h] = L::load(cells);
        L::store_line16(cells, half[h]);
    }
    if (p.damping > 0.0f) {
        float left = state.damping[0], right = state.damping[1];
        for (uint32_t i = 0; i < C; ++i) {
            left = (delayed[0][i] - left) * p.damping + left;
            right = (delayed[1][i] - right) * p.damping + right;
            delayed[0][i] = left;
            delayed[1][i] = right;
        }
        state.damping[0] = left;
        state.damping[1] = right;
    }
    for (uint32_t h = 0; h < 2; ++h) {
        // The all-pass takes the damped delay A output times the decay;
        // delay B stores its output.
        int16_t* cells = run.at[6 + 4 * h] + j;
        const F z = L::load(cells);
        const F n = delayed[h] * p.g + z * p.d2;
        L::store_line16(cells, n);
        L::store_line16(run.at[7 + 4 * h] + j, z - n * p.d2);
    }

    // Taps, each channel's sum in table order; mono sums every tap.
    F wet[Channels];
    for (uint32_t c = 0; c < Channels; ++c) wet[c] = L::splat(0.0f);
    const uint32_t count = taps.count;
    for (uint32_t t = 0; t < count; ++t) {
        const int16_t* cells = run.taps[t] + j;
        if (early != 0 && ((early >> t) & 1u)) cells = before[t];
        const F value = L::load(cells) * taps.gain[t];
        if constexpr (Channels == 2) {
            if (taps.channel[t] != 0)
                wet[1] = wet[1] + value;
            else
                wet[0] = wet[0] + value;
        } else {
            wet[0] = wet[0] + value;
        }
    }
    halve_or_widen<Channels>(p, wet);
    if (p.use_tilt) {
        for (uint32_t c = 0; c < Channels; ++c) {
            float ts = state.tilt[c];
            for (uint32_t i = 0; i < C; ++i) {
                const float o = wet[c][i];
                ts = (o - ts) * p.tilt + ts;
                wet[c][i] = ts * p.low_gain + (o - ts) * p.high_gain;
            }
            state.tilt[c] = ts;
        }
    }
    int16_t* frames_out = out + j * Channels;
    if constexpr (Channels == 1) {
        L::store(frames_out, __builtin_convertvector(L::rounded_s16(dry_in[0] * p.dry + wet[0] * p.wet),
                                                     typename L::H));
    } else {
        const I left = L::rounded_s16(dry_in[0] * p.dry + wet[0] * p.wet);
        const I right = L::rounded_s16(dry_in[1] * p.dry + wet[1] * p.wet);
        for (uint32_t i = 0; i < C; ++i) {
            frames_out[2 * i] = static_cast<int16_t>(left[i]);
            frames_out[2 * i + 1] = static_cast<int16_t>(right[i]);
        }
    }
}

// Frames from `cursor` to the end of a line of `length` (cursor < length).
inline uint32_t room(uint32_t cursor, uint32_t length) { return length - cursor; }

// Chunks of Wide frames where the geometry allows, then of 4, then single
// frames.
template <uint32_t Channels, uint32_t Wide>
void run_frames(TankKernel* kernel, const int16_t* in, int16_t* out, size_t frames) {
    const TankSettings& s = kernel->settings;
    uint32_t positions[kTankLines];
    for (uint32_t k = 0; k < kTankLines; ++k) positions[k] = kernel->line_position[k];

    TapPlan taps;
    taps.count = s.tap_count;
    for (uint32_t i = 0; i < s.tap_count; ++i) {
        const uint32_t line = s.tap_line[i];
        const uint32_t age = s.tap_offset_frames[i];
        taps.channel[i] = Channels == 2 ? s.tap_channel[i] : 0;
        taps.line[i] = static_cast<uint8_t>(line);
        taps.age[i] = age < s.line_frames[line] ? age : s.line_frames[line] - 1;
        taps.gain[i] = s.tap_gain[i];
    }
    uint32_t early_wide = 0, early4 = 0;
    const bool fit_wide = Wide > 4 && chunks_fit(s, taps, Wide, early_wide);
    const bool fit4 = chunks_fit(s, taps, 4, early4);

    Pass p;
    p.m = s.diffusion;
    p.m2 = p.m * 0.8333333f;
    p.d1 = p.m * 0.93333334f;
    p.d2 = p.m * 0.6666667f;
    const DryWet<float> mix = dry_wet(s.mix);
    p.dry = mix.dry;
    p.wet = mix.wet;
    p.k = s.oscillator_coefficient;
    p.depth = p.k != 0.0f ? s.modulation_depth_frames : 0.0f;
    p.g = s.decay;
    p.bandwidth = s.bandwidth_coefficient;
    p.highpass = s.highpass_coefficient;
    p.damping = s.damping_coefficient;
    p.drive = s.drive;
    p.width = s.width;
    p.tilt = s.tilt_coefficient;
    p.low_gain = s.tilt_low_gain;
    p.high_gain = s.tilt_high_gain;
    p.use_width = Channels == 2 && s.width != 1.0f;
    p.use_tilt = s.tilt_db != 0.0f && s.tilt_coefficient > 0.0f;
    for (uint32_t h = 0; h < 2; ++h) {
        p.modulated_frames[h] = s.line_frames[kModulatedLines[h]];
        p.last_age[h] = static_cast<float>(p.modulated_frames[h] - 1);
    }
    const uint32_t predelay = s.predelay_frames;
    const uint32_t capacity = s.predelay_capacity_frames;
    p.use_predelay = predelay >= 1 && predelay <= capacity;
    p.predelay_line = kernel->predelay_start;
    p.predelay_capacity = capacity;

    Running state;
    state.sine = kernel->oscillator_sine;
    state.cosine = kernel->oscillator_cosine;
    state.bw = kernel->bandwidth_state;
    state.hp = kernel->highpass_state;
    state.damping[0] = kernel->damping_state[0];
    state.damping[1] = kernel->damping_state[1];
    state.tilt[0] = kernel->tilt_state[0];
    state.tilt[1] = kernel->tilt_state[1];
    const uint32_t w = kernel->predelay_position;
    state.predelay_write = w;
    state.predelay_read = !p.use_predelay ? 0 : (w >= predelay ? w - predelay : w + (capacity - predelay));

    Run run;
    for (size_t f = 0; f < frames;) {
        // The longest run from here in which nothing wraps.
        size_t n = frames - f;
        for (uint32_t line = 0; line < kTankLines; ++line) {
            run.at[line] = kernel->line_start[line] + positions[line];
            const size_t left = room(positions[line], s.line_frames[line]);
            n = left < n ? left : n;
        }
        for (uint32_t i = 0; i < taps.count; ++i) {
            // The tap reads `age` frames before the write position.
            const uint32_t line = taps.line[i], length = s.line_frames[line];
            const uint32_t position = positions[line], age = taps.age[i];
            const uint32_t cursor = position >= age ? position - age : position + (length - age);
            run.taps[i] = kernel->line_start[line] + cursor;
            const size_t left = room(cursor, length);
            n = left < n ? left : n;
        }
        run.modulated_position[0] = positions[kModulatedLines[0]];
        run.modulated_position[1] = positions[kModulatedLines[1]];
        const int16_t* run_in = in + f * Channels;
        int16_t* run_out = out + f * Channels;

        size_t j = 0;
        if (fit_wide)
            for (; j + Wide <= n; j += Wide)
                run_chunk<Channels, Wide>(p, state, run, taps, early_wide, j, run_in, run_out);
        if (fit4)
            for (; j + 4 <= n; j += 4) run_chunk<Channels, 4>(p, state, run, taps, early4, j, run_in, run_out);
        for (; j < n; ++j) run_frame<Channels>(p, state, run, taps, j, run_in, run_out);

        for (uint32_t line = 0; line < kTankLines; ++line) {
            const uint32_t moved = positions[line] + static_cast<uint32_t>(n);
            positions[line] = moved == s.line_frames[line] ? 0 : moved;
        }
        f += n;
    }

    for (uint32_t k = 0; k < kTankLines; ++k) kernel->line_position[k] = positions[k];
    kernel->predelay_position = state.predelay_write;
    kernel->oscillator_sine = state.sine;
    kernel->oscillator_cosine = state.cosine;
    kernel->bandwidth_state = state.bw;
    kernel->highpass_state = state.hp;
    kernel->damping_state[0] = state.damping[0];
    kernel->damping_state[1] = state.damping[1];
    kernel->tilt_state[0] = state.tilt[0];
    kernel->tilt_state[1] = state.tilt[1];
}

// The same loop built for AVX2, in chunks of 8 frames (one 256-bit vector
// per stage); the baseline build takes chunks of 4 (one 128-bit vector).
// Both do the same float operations on every value, so the output does not
// depend on the path taken.
#if defined(__x86_64__) && defined(__GNUC__)
template <uint32_t Channels>
__attribute__((target("avx2"), flatten)) void run_frames_avx2(TankKernel* kernel, const int16_t* in, int16_t* out,
                                                               size_t frames) {
    run_frames<Channels, 8>(kernel, in, out, frames);
}
#endif

template <uint32_t Channels>
void run_frames_best(TankKernel* kernel, const int16_t* in, int16_t* out, size_t frames) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool has_avx2 = DIVAVOVA_CPU_SUPPORTS("avx2");
    if (has_avx2) return run_frames_avx2<Channels>(kernel, in, out, frames);
#endif
    run_frames<Channels, 4>(kernel, in, out, frames);
}

}  // namespace tank_detail

inline void TankKernel::process(const int16_t* in, int16_t* out, size_t frames) {
    if (settings.channel_count == 1)
        tank_detail::run_frames_best<1>(this, in, out, frames);
    else
        tank_detail::run_frames_best<2>(this, in, out, frames);
}

}  // namespace divavova
