// Gain computers of the dynamics engine: how a detected level becomes a gain
// for the compressor, limiter, expander, slope gate, held gate and the
// transient shaper.  Plain C++, single precision throughout; every follower
// is e = e + k * (x - e) with the difference formed first.
#pragma once

#include <cmath>
#include <cstdint>

#include "module/convert.hpp"

namespace divavova {

inline constexpr float kDbPerNeper = 8.685889f;      // 20 / ln 10
inline constexpr float kNeperPerDb = 0.115129255f;   // ln 10 / 20

// std::max / std::min argument order: max(a, b) is b only when a < b.
inline float max_of(float a, float b) { return a < b ? b : a; }
inline float min_of(float a, float b) { return b < a ? b : a; }

inline float db_to_linear(float db) { return expf(db * kNeperPerDb); }
inline float linear_to_db(float level) { return logf(level) * kDbPerNeper; }

// The same values with the library call skipped where the result is exact:
// expf(+-0) is 1 and logf(1) is +0.
inline float gain_of_db(float db) { return db == 0.0f ? 1.0f : db_to_linear(db); }
inline float db_of_gain(float gain) { return gain == 1.0f ? 0.0f : linear_to_db(max_of(1e-6f, gain)); }

// A time in milliseconds as a one-pole coefficient; 0 ms or less is instant,
// and so is NaN, which would otherwise stick in the envelope it drives.
inline float time_coefficient(float ms, uint32_t sample_rate) {
    if (!(ms > 0.0f)) return 1.0f;
    return 1.0f - expf(-1000.0f / (ms * static_cast<float>(sample_rate)));
}

inline float follow(float envelope, float target, float k) { return envelope + k * (target - envelope); }

enum DynamicsMode : int32_t { kCompressor = 0, kLimiter = 1, kExpander = 2, kGate = 3, kTransientShaper = 4 };

enum class GateState : uint8_t { closed = 0, opening = 1, open = 2, closing = 3 };

// The options the gain computers read, in their stored forms.
struct GainSettings {
    int32_t mode;
    float threshold_db;
    float ratio;     // >= 1
    float knee_db;   // >= 0
    float attack_coefficient;
    float release_coefficient;
    float transient_attack_db;
    float transient_sustain_db;
    float fast_attack_ms, fast_release_ms, slow_attack_ms, slow_release_ms;
    float sustain_fast_attack_ms, sustain_fast_release_ms, sustain_slow_attack_ms, sustain_slow_release_ms;
    uint32_t hold_frames;
    uint32_t gate_hold_frames;
    float range_db;       // > 0 selects the mode's own floor
    float hysteresis_db;  // >= 0
    uint8_t dual_transient;
    uint8_t key_relative;
    uint8_t adaptive_attack;
    uint8_t feedback_detect;
    uint8_t feedback_slope;
};

// Envelopes, counters and the gate; all zero is the state after reset.
struct GainState {
    float envelope;
    float fast_envelope, slow_envelope;
    float key_envelope;
    float second_fast_envelope, second_slow_envelope;
    float held_level;
    uint32_t hold_counter;
    GateState gate_state;
    float gate_gain;
    uint32_t gate_hold_counter;
};

// What a process call derives once from the settings and the sample rate.
struct GainConstants {
    float fast_attack, fast_release, slow_attack, slow_release;
    float second_fast_attack, second_fast_release, second_slow_attack, second_slow_release;
    float gate_open, gate_close, gate_floor;  // 0 unless the held gate runs
    float adaptive_reference;                 // 0 unless adaptive attack is on
    // The static curve's settings in the forms curve_db uses.
    float curve_slope;   // compressor: dB of reduction per dB over
    float curve_half;    // compressor: half the knee width
    float curve_width2;  // compressor: twice the knee width
    float curve_floor;   // expander and gate: the deepest reduction
    float curve_rise;    // expander: ratio - 1
};

// Which of the three computers a call uses; the mode is fixed for a call.
// The compressor is the envelope computer with the knee curve, split out so
// that its loop carries no test of the mode.
enum class GainKind { envelope, compressor, gated, transient };

inline GainKind gain_kind(const GainSettings& s) {
    if (s.mode == kTransientShaper) return GainKind::transient;
    if (s.mode == kGate && s.gate_hold_frames != 0) return GainKind::gated;
    if (s.mode != kLimiter && s.mode != kExpander && s.mode != kGate) return GainKind::compressor;
    return GainKind::envelope;
}

inline GainConstants gain_constants(const GainSettings& s, uint32_t sample_rate) {
    GainConstants c{};
    // Only the transient shaper reads the envelope times.
    if (gain_kind(s) == GainKind::transient) {
        c.fast_attack = time_coefficient(s.fast_attack_ms, sample_rate);
        c.fast_release = time_coefficient(s.fast_release_ms, sample_rate);
        c.slow_attack = time_coefficient(s.slow_attack_ms, sample_rate);
        c.slow_release = time_coefficient(s.slow_release_ms, sample_rate);
        c.second_fast_attack = time_coefficient(s.sustain_fast_attack_ms, sample_rate);
        c.second_fast_release = time_coefficient(s.sustain_fast_release_ms, sample_rate);
        c.second_slow_attack = time_coefficient(s.sustain_slow_attack_ms, sample_rate);
        c.second_slow_release = time_coefficient(s.sustain_slow_release_ms, sample_rate);
    }
    c.curve_slope = (s.feedback_detect && s.feedback_slope) ? s.ratio - 1.0f : 1.0f - 1.0f / s.ratio;
    c.curve_half = s.knee_db / 2.0f;
    c.curve_width2 = s.knee_db + s.knee_db;
    c.curve_floor = s.range_db <= 0.0f ? s.range_db : (s.mode == kExpander ? -60.0f : -80.0f);
    c.curve_rise = s.ratio - 1.0f;
    if (gain_kind(s) == GainKind::gated) {
        c.gate_open = db_to_linear(s.threshold_db);
        c.gate_close = db_to_linear(s.threshold_db - s.hysteresis_db);
        c.gate_floor = db_to_linear(s.range_db <= 0.0f ? s.range_db : -80.0f);
    }
    if (s.adaptive_attack) c.adaptive_reference = db_to_linear(s.threshold_db);
    return c;
}

// Level in dB of an envelope, kept off log(0).
inline float envelope_db(float envelope, float offset) { return linear_to_db(max_of(1e-6f, envelope + offset)); }

// Compressor with a quadratic knee of width W centred on the threshold.
inline float compressor_curve_db(const GainSettings& s, const GainConstants& c, float x) {
    const float half = c.curve_half;
    if (x <= -half) return 0.0f;
    if (x < half && s.knee_db > 0.0f) {
        const float into = half + x;
        return (((-c.curve_slope) * into) * into) / c.curve_width2;
    }
    return -c.curve_slope * x;
}

// The static curve: gain change in dB for an overshoot x in dB.
inline float curve_db(const GainSettings& s, const GainConstants& c, float x) {
    switch (s.mode) {
        case kLimiter:
            return x > 0.0f ? -x : 0.0f;
        case kExpander:
            if (x >= 0.0f) return 0.0f;
            return max_of(c.curve_floor, c.curve_rise * x);
        case kGate:
            if (x >= 0.0f) return 0.0f;
            return max_of(c.curve_floor, 8.0f * x);
        default: return compressor_curve_db(s, c, x);
    }
}

// Envelope follower, optional key-relative level, then the mode's curve.
template <bool compressor>
inline float envelope_gain(const GainSettings& s, const GainConstants& c, GainState& st, float level, float key_level,
                           float& reduction_db) {
    const bool rising = level > st.envelope;
    float k = rising ? s.attack_coefficient : s.release_coefficient;
    if (s.adaptive_attack && rising && c.adaptive_reference > 0.0f) {
        const float over = level / c.adaptive_reference;
        if (over > 1.0f) k = min_of(1.0f, sqrtf(over) * s.attack_coefficient);
    }
    st.envelope = follow(st.envelope, level, k);
    float level_db = envelope_db(st.envelope, 1e-6f);
    if (s.key_relative) {
        const float kk = key_level > st.key_envelope ? s.attack_coefficient : s.release_coefficient;
        st.key_envelope = follow(st.key_envelope, key_level, kk);
        level_db = level_db - envelope_db(st.key_envelope, 1e-6f);
    }
    const float x = level_db - s.threshold_db;
    const float change_db = compressor ? compressor_curve_db(s, c, x) : curve_db(s, c, x);
    reduction_db = change_db;
    return gain_of_db(change_db);
}

// Gate with hold and hysteresis, working on the level directly.
inline float gated_gain(const GainSettings& s, const GainConstants& c, GainState& st, float level,
                        float& reduction_db) {
    if (level >= c.gate_open && st.gate_state != GateState::open) st.gate_state = GateState::opening;
    float g;
    switch (st.gate_state) {
        case GateState::closed:
            st.gate_gain = c.gate_floor;
            g = c.gate_floor;
            break;
        case GateState::opening:
            st.gate_gain = follow(st.gate_gain, 1.0f, s.attack_coefficient);
            if (st.gate_gain >= 0.999f) {
                st.gate_gain = 1.0f;
                st.gate_state = GateState::open;
                st.gate_hold_counter = s.gate_hold_frames;
            }
            g = st.gate_gain;
            break;
        case GateState::open:
            st.gate_gain = 1.0f;
            if (level >= c.gate_close) {
                st.gate_hold_counter = s.gate_hold_frames;
            } else if (st.gate_hold_counter != 0) {
                st.gate_hold_counter -= 1;
            } else {
                st.gate_state = GateState::closing;
            }
            g = 1.0f;
            break;
        default:  // closing
            st.gate_gain = follow(st.gate_gain, c.gate_floor, s.release_coefficient);
            if (c.gate_floor + 1e-6f >= st.gate_gain) {
                st.gate_gain = c.gate_floor;
                st.gate_state = GateState::closed;
            }
            g = st.gate_gain;
            break;
    }
    reduction_db = db_of_gain(g);
    return g;
}

// Peak-hold follower: jumps to a new peak, holds it for hold frames, then
// releases toward the level.
inline float held_level(GainState& st, uint32_t hold_frames, float level, float release) {
    if (level >= st.held_level) {
        st.held_level = level;
        st.hold_counter = hold_frames;
        return level;
    }
    if (st.hold_counter != 0) {
        st.hold_counter -= 1;
        return st.held_level;
    }
    st.held_level = follow(st.held_level, level, release);
    return st.held_level;
}

inline float rising_or_falling(float envelope, float level, float attack, float release) {
    return follow(envelope, level, level > envelope ? attack : release);
}

// Difference of a fast and a slow envelope, 6 dB being full scale, in -1 .. 1.
inline float transient_amount(float fast, float slow) {
    const float diff = (envelope_db(fast, 1e-5f) - envelope_db(slow, 1e-5f)) / 6.0f;
    return clamp(diff, -1.0f, 1.0f);
}

inline float transient_gain(const GainSettings& s, const GainConstants& c, GainState& st, float level,
                            float& reduction_db) {
    st.fast_envelope = rising_or_falling(st.fast_envelope, level, c.fast_attack, c.fast_release);
    float slow;
    if (s.hold_frames != 0 && !s.dual_transient) {
        slow = held_level(st, s.hold_frames, level, c.slow_release);
    } else {
        slow = rising_or_falling(st.slow_envelope, level, c.slow_attack, c.slow_release);
    }
    st.slow_envelope = slow;
    const float t1 = transient_amount(st.fast_envelope, slow);
    float change_db;
    if (!s.dual_transient) {
        change_db = t1 > 0.0f ? t1 * s.transient_attack_db : (-t1) * s.transient_sustain_db;
    } else {
        st.second_fast_envelope =
            rising_or_falling(st.second_fast_envelope, level, c.second_fast_attack, c.second_fast_release);
        float slow2;
        if (s.hold_frames != 0) {
            slow2 = held_level(st, s.hold_frames, level, c.second_slow_release);
        } else {
            slow2 = rising_or_falling(st.second_slow_envelope, level, c.second_slow_attack, c.second_slow_release);
        }
        st.second_slow_envelope = slow2;
        const float t2 = transient_amount(st.second_fast_envelope, slow2);
        change_db = (t2 < 0.0f ? -t2 : 0.0f) * s.transient_sustain_db + (t1 > 0.0f ? t1 : 0.0f) * s.transient_attack_db;
    }
    reduction_db = change_db;
    return gain_of_db(change_db);
}

template <GainKind kind>
inline float compute_gain(const GainSettings& s, const GainConstants& c, GainState& st, float level, float key_level,
                          float& reduction_db) {
    if constexpr (kind == GainKind::transient) return transient_gain(s, c, st, level, reduction_db);
    else if constexpr (kind == GainKind::gated) return gated_gain(s, c, st, level, reduction_db);
    else return envelope_gain<kind == GainKind::compressor>(s, c, st, level, key_level, reduction_db);
}

}  // namespace divavova
