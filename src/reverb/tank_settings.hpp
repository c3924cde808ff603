// Settings of the plate-style reverb tank: the geometry (twelve line lengths,
// the pre-delay capacity and up to 32 taps, fixed at construction) and the
// parameters with the values derived from them (changed by configure and
// finish).  The default geometry is given at a reference rate of 29761 Hz and
// rescaled to the engine's rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "module/convert.hpp"

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
inline constexpr uint32_t kModulatedLines[2] = {4, 8};

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

// The ids of configure.
enum class TankOption : uint32_t {
    decay,
    input_diffusion,
    damping_hz,
    bandwidth_hz,
    highpass_hz,
    predelay_ms,
    modulation_depth_ms,
    modulation_rate_hz,
    drive,
    width,
    tilt_db,
    mix,
};

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
    wrong_count,  // delays not 12 numbers, taps not groups of 4
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

// Cells after the end of each line that repeat its first cells, so that a
// chunk of up to that many frames can run across the end (see the frame
// loop in tank_kernel.hpp).
inline constexpr uint32_t kTankLineMirror = 8;

// Samples of the one storage block: twelve lines, each with its mirrored
// cells, and the pre-delay line.
inline uint64_t tank_storage_samples(const TankSettings& s) {
    uint64_t total = s.predelay_capacity_frames;
    for (uint32_t k = 0; k < kTankLines; ++k) total += s.line_frames[k] + kTankLineMirror;
    return total;
}

// Stores one parameter, clamped as its option says, and every value derived
// from it.  configure sets the value it is given; finish sets each stored
// value again, so both derive alike.  False for an unknown option.
inline bool tank_set(TankSettings& s, TankOption option, float v) {
    const uint32_t rate = s.sample_rate;
    switch (option) {
        case TankOption::decay: s.decay = clamp(v, 0.0f, 0.999f); break;
        case TankOption::input_diffusion: s.diffusion = clamp(v, 0.0f, 0.9f); break;
        case TankOption::damping_hz:
            s.damping_hz = v;
            s.damping_coefficient = one_pole(v, rate);
            break;
        case TankOption::bandwidth_hz:
            s.bandwidth_hz = v;
            s.bandwidth_coefficient = one_pole(v, rate);
            break;
        case TankOption::highpass_hz:
            s.highpass_hz = v;
            s.highpass_coefficient = one_pole(v, rate);
            break;
        case TankOption::predelay_ms: {
            // Never more frames than the capacity (compared in f32, as the time is).
            s.predelay_ms = v < 0.0f ? 0.0f : v;
            const float frames = (static_cast<float>(rate) * s.predelay_ms) / 1000.0f;
            const float capacity = static_cast<float>(s.predelay_capacity_frames);
            s.predelay_frames = float_to<uint32_t>(capacity < frames ? capacity : frames);
            break;
        }
        case TankOption::modulation_depth_ms:
            s.modulation_depth_ms = clamp(v, 0.0f, 100.0f);
            s.modulation_depth_frames = (static_cast<float>(rate) * s.modulation_depth_ms) / 1000.0f;
            break;
        case TankOption::modulation_rate_hz:
            s.modulation_rate_hz = clamp(v, 0.0f, 100.0f);
            s.oscillator_coefficient =
                s.modulation_rate_hz <= 0.0f ? 0.0f : SineOscillator::coefficient(s.modulation_rate_hz, rate);
            break;
        case TankOption::drive: s.drive = clamp(v, 0.0f, 1.0f); break;
        case TankOption::width: s.width = clamp(v, 0.0f, 2.0f); break;
        case TankOption::tilt_db:
            // 0.057564627 is ln(10) / 40: the gains are 10^(-+t / 40).
            s.tilt_db = clamp(v, -24.0f, 24.0f);
            s.tilt_low_gain = expf(-s.tilt_db * 0.057564627f);
            s.tilt_high_gain = expf(s.tilt_db * 0.057564627f);
            s.tilt_coefficient = one_pole(1000.0f, rate);
            break;
        case TankOption::mix: s.mix = clamp(v, 0.0f, 2.0f); break;
        default: return false;
    }
    return true;
}

// finish: every derived value again from the stored parameters (decay,
// diffusion, drive, width and mix derive nothing), then the depth limited so
// that the modulated lines keep a delay of at least one frame.
inline void tank_finish(TankSettings& s) {
    tank_set(s, TankOption::damping_hz, s.damping_hz);
    tank_set(s, TankOption::bandwidth_hz, s.bandwidth_hz);
    tank_set(s, TankOption::highpass_hz, s.highpass_hz);
    tank_set(s, TankOption::modulation_rate_hz, s.modulation_rate_hz);
    // configure gives a NaN rate a NaN coefficient; finish stops the oscillator.
    if (!(s.modulation_rate_hz > 0.0f)) s.oscillator_coefficient = 0.0f;
    tank_set(s, TankOption::modulation_depth_ms, s.modulation_depth_ms);
    tank_set(s, TankOption::predelay_ms, s.predelay_ms);
    tank_set(s, TankOption::tilt_db, s.tilt_db);
    for (uint32_t line : kModulatedLines) {
        const float bound = static_cast<float>(s.line_frames[line] - 2) * 0.5f;
        if (s.modulation_depth_frames > bound) s.modulation_depth_frames = bound < 0.0f ? 0.0f : bound;
    }
}

}  // namespace divavova
