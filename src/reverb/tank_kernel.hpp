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

#include "module/configured.hpp"
#include "module/convert.hpp"
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
    template <uint32_t Channels>
    void run(const int16_t* in, int16_t* out, size_t frames);
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

namespace tank_detail {

// A line at one frame: its samples, length and write position.
struct Line {
    const int16_t* data;
    uint32_t length;
    uint32_t position;
};

// x mod length for any u32 x (the common cases without a division).
inline uint32_t reduce(uint32_t x, uint32_t length) {
    if (x < length) return x;
    x -= length;
    return x < length ? x : x % length;
}

// Modulated all-pass read: linear interpolation at age t in [1, L - 1].
inline float modulated_read(const Line& line, float last_age, float depth, float phase) {
    float t = (last_age - depth) + phase * depth;
    t = t < 1.0f ? 1.0f : (last_age < t ? last_age : t);
    uint32_t whole = (t == t) ? static_cast<uint32_t>(static_cast<int64_t>(t)) : 0;
    float fraction = t - static_cast<float>(whole);
    uint32_t a0 = reduce(line.length + line.position - whole, line.length);
    uint32_t a1 = a0 == 0 ? line.length - 1 : a0 - 1;
    float z0 = static_cast<float>(line.data[a0]);
    return z0 + (static_cast<float>(line.data[a1]) - z0) * fraction;
}

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

// During a run of frames in which no line position, tap and pre-delay
// cursor wraps, every fixed read and write of frame j is at a base pointer
// plus j: the positions and their wrap tests are then per run, not per frame.
struct Run {
    int16_t* at[kTankLines];              // each line's write position
    const int16_t* taps[2][kTankMaxTaps];  // each tap's read position
};

// Frames from `cursor` to the end of a line of `length` (cursor < length).
inline uint32_t room(uint32_t cursor, uint32_t length) { return length - cursor; }

// All-pass on a line's cell: returns the output, writes the cell.
inline float allpass_at(int16_t* cell, float y, float a) {
    float z = static_cast<float>(*cell);
    float n = y + z * a;
    *cell = line16(n);
    return z - n * a;
}

// One half of the tank on its four lines (cells at[0..3] + j): the modulated
// all-pass fed with `feed` (the other half's output times the decay, plus the
// diffused input), delay A, the damping low-pass, the all-pass, delay B.
// `modulated` is the half's first line at this frame's position.
inline void tank_half_at(int16_t* const* at, size_t j, const Line& modulated, float last_age, float depth,
                         float phase, float feed, float d1, float d2, float g, float damping, float& damping_state) {
    float z = modulated_read(modulated, last_age, depth, phase);
    float n = z * d1 + feed;
    at[0][j] = line16(n);
    float y = z - n * d1;
    float delayed = static_cast<float>(at[1][j]);
    at[1][j] = line16(y);
    if (damping > 0.0f) {
        damping_state = (delayed - damping_state) * damping + damping_state;
        delayed = damping_state;
    }
    float z2 = static_cast<float>(at[2][j]);
    float n2 = delayed * g + z2 * d2;
    at[2][j] = line16(n2);
    at[3][j] = line16(z2 - n2 * d2);
}

// One channel's tap sum, in table order.
inline float tap_sum_at(const int16_t* const* taps, const float* gains, uint32_t count, size_t j) {
    float sum = 0.0f;
    for (uint32_t i = 0; i < count; ++i) sum = sum + static_cast<float>(taps[i][j]) * gains[i];
    return sum;
}

// Both channels' sums, each in its own table order, the two chains of
// additions interleaved.
inline void tap_sums_at(const Run& run, const float (*gains)[kTankMaxTaps], const uint32_t* counts, size_t j,
                        float* sums) {
    float l = 0.0f, r = 0.0f;
    uint32_t both = counts[0] < counts[1] ? counts[0] : counts[1];
    uint32_t i = 0;
    for (; i < both; ++i) {
        l = l + static_cast<float>(run.taps[0][i][j]) * gains[0][i];
        r = r + static_cast<float>(run.taps[1][i][j]) * gains[1][i];
    }
    for (uint32_t t = i; t < counts[0]; ++t) l = l + static_cast<float>(run.taps[0][t][j]) * gains[0][t];
    for (uint32_t t = i; t < counts[1]; ++t) r = r + static_cast<float>(run.taps[1][t][j]) * gains[1][t];
    sums[0] = l;
    sums[1] = r;
}

}  // namespace tank_detail

template <uint32_t Channels>
void TankKernel::run(const int16_t* in, int16_t* out, size_t frames) {
    using namespace tank_detail;
    const TankSettings& s = settings;
    uint32_t positions[kTankLines];
    for (uint32_t k = 0; k < kTankLines; ++k) positions[k] = line_position[k];

    // Taps in table order; in stereo split by channel, keeping each
    // channel's order, so both sums add in table order.
    uint8_t tap_lines[2][kTankMaxTaps];
    uint32_t tap_ages[2][kTankMaxTaps];
    float tap_gains[2][kTankMaxTaps];
    uint32_t tap_counts[2] = {0, 0};
    for (uint32_t i = 0; i < s.tap_count; ++i) {
        uint32_t line = s.tap_line[i];
        uint32_t age = s.tap_offset_frames[i];
        if (age >= s.line_frames[line]) age = s.line_frames[line] - 1;
        uint32_t group = Channels == 2 ? s.tap_channel[i] : 0;
        tap_lines[group][tap_counts[group]] = static_cast<uint8_t>(line);
        tap_ages[group][tap_counts[group]] = age;
        tap_gains[group][tap_counts[group]] = s.tap_gain[i];
        ++tap_counts[group];
    }

    const float m = s.diffusion;
    const float m2 = m * 0.8333333f;
    const float d1 = m * 0.93333334f;
    const float d2 = m * 0.6666667f;
    const DryWet<float> mix = dry_wet(s.mix);
    const float k = s.oscillator_coefficient;
    const float depth = k != 0.0f ? s.modulation_depth_frames : 0.0f;
    const float g = s.decay;
    const float last_age_left = static_cast<float>(s.line_frames[4] - 1);
    const float last_age_right = static_cast<float>(s.line_frames[8] - 1);
    const float bandwidth = s.bandwidth_coefficient;
    const float highpass = s.highpass_coefficient;
    const float damping = s.damping_coefficient;
    const float drive = s.drive;
    const float width = s.width;
    const bool use_width = Channels == 2 && width != 1.0f;
    const bool use_tilt = s.tilt_db != 0.0f && s.tilt_coefficient > 0.0f;
    const float tilt = s.tilt_coefficient, low_gain = s.tilt_low_gain, high_gain = s.tilt_high_gain;

    const uint32_t predelay = s.predelay_frames;
    const uint32_t capacity = s.predelay_capacity_frames;
    const bool use_predelay = predelay >= 1 && predelay <= capacity;
    int16_t* pre = predelay_start;
    uint32_t w = predelay_position;

    float sine = oscillator_sine, cosine = oscillator_cosine;
    float bw = bandwidth_state, hp = highpass_state;
    float damp_left = damping_state[0], damp_right = damping_state[1];
    float tilt_states[2] = {tilt_state[0], tilt_state[1]};

    Run cells;
    for (size_t f = 0; f < frames;) {
        // The longest run from here in which nothing wraps.
        size_t n = frames - f;
        for (uint32_t line = 0; line < kTankLines; ++line) {
            cells.at[line] = line_start[line] + positions[line];
            const size_t left = room(positions[line], s.line_frames[line]);
            n = left < n ? left : n;
        }
        for (uint32_t group = 0; group < 2; ++group) {
            for (uint32_t i = 0; i < tap_counts[group]; ++i) {
                // The tap reads `age` frames before the write position.
                const uint32_t line = tap_lines[group][i], length = s.line_frames[line];
                const uint32_t position = positions[line], age = tap_ages[group][i];
                const uint32_t cursor = position >= age ? position - age : position + (length - age);
                cells.taps[group][i] = line_start[line] + cursor;
                const size_t left = room(cursor, length);
                n = left < n ? left : n;
            }
        }
        // Pre-delay: read before write, so a delay of the whole capacity
        // returns the sample written that many frames ago.
        const uint32_t r = !use_predelay ? w : (w >= predelay ? w - predelay : w + (capacity - predelay));
        {
            const size_t left = room(w, capacity);
            n = left < n ? left : n;
        }
        if (use_predelay) {
            const size_t left = room(r, capacity);
            n = left < n ? left : n;
        }
        int16_t* const pre_write = pre + w;
        const int16_t* const pre_read = pre + r;
        const int16_t* const frame_in = in + f * Channels;
        int16_t* const frame_out = out + f * Channels;

        for (size_t j = 0; j < n; ++j) {
            sine = sine + k * cosine;
            cosine = cosine - k * sine;

            float dry_in[Channels];
            for (uint32_t c = 0; c < Channels; ++c) dry_in[c] = static_cast<float>(frame_in[j * Channels + c]);
            float x = Channels == 1 ? dry_in[0] : (dry_in[1] + dry_in[0]) * 0.5f;

            float y = x;
            if (use_predelay) y = static_cast<float>(pre_read[j]);
            pre_write[j] = predelay_sample<Channels>(frame_in + j * Channels);

            if (bandwidth > 0.0f) {
                bw = (y - bw) * bandwidth + bw;
                y = bw;
            }
            if (highpass > 0.0f) {
                hp = (y - hp) * highpass + hp;
                y = y - hp;
            }
            if (drive > 0.0f) {
                float u = clamp(y * 0.000030517578f, -1.0f, 1.0f);
                y = (u - u * drive * u * u / 3.0f) * 32768.0f;
            }

            y = allpass_at(cells.at[0] + j, y, m);
            y = allpass_at(cells.at[1] + j, y, m);
            y = allpass_at(cells.at[2] + j, y, m2);
            const float e = allpass_at(cells.at[3] + j, y, m2);

            const float zl = static_cast<float>(cells.at[7][j]);
            const float zr = static_cast<float>(cells.at[11][j]);

            const Line left_first = {line_start[4], s.line_frames[4], positions[4] + static_cast<uint32_t>(j)};
            const Line right_first = {line_start[8], s.line_frames[8], positions[8] + static_cast<uint32_t>(j)};
            tank_half_at(cells.at + 4, j, left_first, last_age_left, depth, sine, zr * g + e, d1, d2, g, damping,
                         damp_left);
            tank_half_at(cells.at + 8, j, right_first, last_age_right, depth, cosine, zl * g + e, d1, d2, g,
                         damping, damp_right);

            // Taps read after every write, so age 0 is this frame's sample.
            float wet[Channels];
            if constexpr (Channels == 2) {
                tap_sums_at(cells, tap_gains, tap_counts, j, wet);
            } else {
                wet[0] = tap_sum_at(cells.taps[0], tap_gains[0], tap_counts[0], j) * 0.5f;
            }

            if constexpr (Channels == 2) {
                if (use_width) {
                    float mid = (wet[1] + wet[0]) * 0.5f;
                    float side = (wet[0] - wet[1]) * 0.5f * width;
                    wet[0] = side + mid;
                    wet[1] = mid - side;
                }
            }
            for (uint32_t c = 0; c < Channels; ++c) {
                float o = wet[c];
                if (use_tilt) {
                    tilt_states[c] = (o - tilt_states[c]) * tilt + tilt_states[c];
                    o = tilt_states[c] * low_gain + (o - tilt_states[c]) * high_gain;
                }
                frame_out[j * Channels + c] = s16(dry_in[c] * mix.dry + o * mix.wet);
            }
        }

        for (uint32_t line = 0; line < kTankLines; ++line) {
            const uint32_t moved = positions[line] + static_cast<uint32_t>(n);
            positions[line] = moved == s.line_frames[line] ? 0 : moved;
        }
        w += static_cast<uint32_t>(n);
        if (w == capacity) w = 0;
        f += n;
    }

    for (uint32_t k2 = 0; k2 < kTankLines; ++k2) line_position[k2] = positions[k2];
    predelay_position = w;
    oscillator_sine = sine;
    oscillator_cosine = cosine;
    bandwidth_state = bw;
    highpass_state = hp;
    damping_state[0] = damp_left;
    damping_state[1] = damp_right;
    tilt_state[0] = tilt_states[0];
    tilt_state[1] = tilt_states[1];
}

inline void TankKernel::process(const int16_t* in, int16_t* out, size_t frames) {
    if (settings.channel_count == 1)
        run<1>(in, out, frames);
    else
        run<2>(in, out, frames);
}

}  // namespace divavova
