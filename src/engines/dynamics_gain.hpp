// Gain computers of the dynamics engine: how a detected level becomes a gain
// for the compressor, limiter, expander, slope gate, held gate and the
// transient shaper.  Plain C++, single precision throughout; every follower
// steps as one_pole_step (module/convert.hpp).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "module/convert.hpp"
#include "module/lanes.hpp"

namespace divavova {

inline constexpr float kDbPerNeper = 8.685889f;      // 20 / ln 10
inline constexpr float kNeperPerDb = 0.115129255f;   // ln 10 / 20

// std::max / std::min argument order: max(a, b) is b only when a < b.  T is
// float or a vector of floats, lane by lane (see LaneMath below).
template <class T>
inline T max_of(T a, T b) {
    return a < b ? b : a;
}
template <class T>
inline T min_of(T a, T b) {
    return b < a ? b : a;
}

inline float db_to_linear(float db) { return expf(db * kNeperPerDb); }
inline float linear_to_db(float level) { return logf(level) * kDbPerNeper; }

// The same value with the library call skipped where the result is exact:
// logf(1) is +0.
inline float db_of_gain(float gain) { return gain == 1.0f ? 0.0f : linear_to_db(max_of(1e-6f, gain)); }

// The frame-by-frame part of the gain computers is written once over a lane
// type T: float, one frame at a time with the C library's logf and expf, or
// a vector of floats (dynamics_libm_lanes.hpp), several frames at a time
// with lanes that return the library's bits.  LaneMath<T> is the module's
// Lanes of that width with the logarithm and the exponential added.
template <class T>
struct LaneMath;

template <>
struct LaneMath<float> : Lanes<1> {
    static float log(float x) { return logf(x); }
    // expf(+-0) is 1, so that call is skipped.
    static float exp(float x) { return x == 0.0f ? 1.0f : expf(x); }
};

// A time in milliseconds as a one-pole coefficient; 0 ms or less is instant,
// and so is NaN, which would otherwise stick in the envelope it drives.
inline float time_coefficient(float ms, uint32_t sample_rate) {
    if (!(ms > 0.0f)) return 1.0f;
    return 1.0f - expf(-1000.0f / (ms * static_cast<float>(sample_rate)));
}

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
enum class GainKind { envelope, gated, transient };

inline GainKind gain_kind(const GainSettings& s) {
    if (s.mode == kTransientShaper) return GainKind::transient;
    if (s.mode == kGate && s.gate_hold_frames != 0) return GainKind::gated;
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

// ---------------------------------------------------------------------------
// The computers work chunk by chunk.  Each runs its serial part (envelopes,
// counters, the gate's state) frame by frame and stores it; the rest depends
// on one frame's values alone and runs LaneMath<T>::count frames at a time.

inline constexpr size_t kGainChunk = 256;

// Working values of one chunk, one per frame.
struct GainLanes {
    float attack[kGainChunk];  // the envelope's attack coefficient (adaptive attack)
    float envelope[kGainChunk];
    float key_envelope[kGainChunk];
    float fast[kGainChunk];  // the transient shaper's envelopes
    float slow[kGainChunk];
    float second_fast[kGainChunk];
    float second_slow[kGainChunk];
    float change_db[kGainChunk];  // the gain change of each frame
};

// Level in dB of an envelope, kept off log(0): dB(max(1e-6, e + offset)).
template <class T>
inline T envelope_db(T envelope, float offset) {
    using L = LaneMath<T>;
    return L::log(max_of(L::splat(1e-6f), envelope + L::splat(offset))) * L::splat(kDbPerNeper);
}

template <class T>
inline T gain_of_db(T db) {
    return LaneMath<T>::exp(db * LaneMath<T>::splat(kNeperPerDb));
}

// The static curves: gain change in dB for an overshoot x in dB.  Both sides
// of each choice are formed and one is taken, as vector lanes do.
struct LimiterCurve {
    template <class T>
    T operator()(T x) const {
        const T zero = LaneMath<T>::splat(0.0f);
        return x > zero ? -x : zero;
    }
};

// Expander (rise = ratio - 1) and gate by slope (rise 8): below the
// threshold, rise dB per dB down to the floor.
struct FloorCurve {
    float rise;
    float floor_db;

    template <class T>
    T operator()(T x) const {
        using L = LaneMath<T>;
        const T zero = L::splat(0.0f);
        const T below = max_of(L::splat(floor_db), L::splat(rise) * x);
        return x >= zero ? zero : below;
    }
};

// Compressor with a quadratic knee of width W centred on the threshold.
struct CompressorCurve {
    float slope;   // dB of reduction per dB over
    float half;    // half the knee width
    float width2;  // twice the knee width
    bool knee;     // the width is above 0

    CompressorCurve(const GainSettings& s, const GainConstants& c)
        : slope(c.curve_slope), half(c.curve_half), width2(c.curve_width2), knee(s.knee_db > 0.0f) {}

    template <class T>
    T operator()(T x) const {
        using L = LaneMath<T>;
        const T into = L::splat(half) + x;
        const T in_knee = ((L::splat(-slope) * into) * into) / L::splat(width2);
        const T above = L::splat(-slope) * x;
        const T over = knee ? (x < L::splat(half) ? in_knee : above) : above;
        return x <= L::splat(-half) ? L::splat(0.0f) : over;
    }
};

// Serial part of the envelope computer for frames first .. first + count
// of a chunk: the envelope after each frame, and the key envelope when the
// level is key-relative.
inline void follow_envelope(const GainSettings& s, const GainConstants& c, GainState& st, const float* levels,
                            const float* key_levels, GainLanes& w, size_t first, size_t count) {
    const float attack = s.attack_coefficient;
    const float release = s.release_coefficient;
    const size_t end = first + count;
    const auto follow_levels = [&](auto attack_of) {
        float e = st.envelope;
        for (size_t i = first; i < end; ++i) {
            // A branch rather than a select: the select's compare and blend
            // would lengthen the chain from one frame to the next.
            if (__builtin_expect(levels[i] > e, 0)) {
                e = one_pole_step(e, levels[i], attack_of(i));
            } else {
                e = one_pole_step(e, levels[i], release);
            }
            w.envelope[i] = e;
        }
        st.envelope = e;
    };
    // Adaptive attack speeds the attack by the square root of the level over
    // the threshold; it depends on the level alone.
    const float reference = c.adaptive_reference;
    if (s.adaptive_attack && reference > 0.0f) {
        for (size_t i = first; i < end; ++i) {
            const float over = levels[i] / reference;
            const float faster = min_of(1.0f, sqrtf(over) * attack);
            w.attack[i] = over > 1.0f ? faster : attack;
        }
        follow_levels([&](size_t i) { return w.attack[i]; });
    } else {
        follow_levels([=](size_t) { return attack; });
    }
    if (s.key_relative) {
        float k = st.key_envelope;
        for (size_t i = first; i < end; ++i) {
            k = one_pole_step(k, key_levels[i], key_levels[i] > k ? attack : release);
            w.key_envelope[i] = k;
        }
        st.key_envelope = k;
    }
}

// The rest of the envelope computer for the frames from first on: level in
// dB, curve, gain.
template <class T, class Curve>
inline void envelope_gains(const GainSettings& s, const Curve& curve, GainLanes& w, size_t first, float* gains) {
    T level_db = envelope_db(load<T>(w.envelope + first), 1e-6f);
    if (s.key_relative) level_db = level_db - envelope_db(load<T>(w.key_envelope + first), 1e-6f);
    const T change_db = curve(level_db - LaneMath<T>::splat(s.threshold_db));
    store(w.change_db + first, change_db);
    store(gains + first, gain_of_db(change_db));
}

// The envelope computer over a chunk, one group of lanes at a time: the
// serial envelope of each group is issued before the lanes of the group two
// before it, whose envelopes are then in memory, so the processor overlaps
// the two.  (One group before, the lanes wait on envelopes still in flight
// often enough that the two costs nearly add up; two groups run the mono
// compressor 1.15 times as fast, three or four no faster than two.)  Frames
// after the last whole group go one at a time.
template <class T, class Curve>
inline void envelope_chunk(const GainSettings& s, const GainConstants& c, GainState& st, const float* levels,
                           const float* key_levels, GainLanes& w, float* gains, size_t count, const Curve& curve) {
    constexpr size_t lanes = LaneMath<T>::count;
    constexpr size_t lag = 2 * lanes;
    const size_t whole = count - count % lanes;
    for (size_t first = 0; first < whole; first += lanes) {
        follow_envelope(s, c, st, levels, key_levels, w, first, lanes);
        if (first >= lag) envelope_gains<T>(s, curve, w, first - lag, gains);
    }
    for (size_t first = whole > lag ? whole - lag : 0; first < whole; first += lanes)
        envelope_gains<T>(s, curve, w, first, gains);
    for (size_t i = whole; i < count; ++i) {
        follow_envelope(s, c, st, levels, key_levels, w, i, 1);
        envelope_gains<float>(s, curve, w, i, gains);
    }
}

template <class T>
inline void envelope_chunk(const GainSettings& s, const GainConstants& c, GainState& st, const float* levels,
                           const float* key_levels, GainLanes& w, float* gains, size_t count) {
    switch (s.mode) {
        case kLimiter: return envelope_chunk<T>(s, c, st, levels, key_levels, w, gains, count, LimiterCurve{});
        case kExpander:
            return envelope_chunk<T>(s, c, st, levels, key_levels, w, gains, count,
                                     FloorCurve{c.curve_rise, c.curve_floor});
        case kGate:
            return envelope_chunk<T>(s, c, st, levels, key_levels, w, gains, count, FloorCurve{8.0f, c.curve_floor});
        default:
            return envelope_chunk<T>(s, c, st, levels, key_levels, w, gains, count, CompressorCurve(s, c));
    }
}

// Gate with hold and hysteresis, working on the level directly.
inline float gated_gain(const GainSettings& s, const GainConstants& c, GainState& st, float level) {
    if (level >= c.gate_open && st.gate_state != GateState::open) st.gate_state = GateState::opening;
    switch (st.gate_state) {
        case GateState::closed:
            st.gate_gain = c.gate_floor;
            return c.gate_floor;
        case GateState::opening:
            st.gate_gain = one_pole_step(st.gate_gain, 1.0f, s.attack_coefficient);
            if (st.gate_gain >= 0.999f) {
                st.gate_gain = 1.0f;
                st.gate_state = GateState::open;
                st.gate_hold_counter = s.gate_hold_frames;
            }
            return st.gate_gain;
        case GateState::open:
            st.gate_gain = 1.0f;
            if (level >= c.gate_close) {
                st.gate_hold_counter = s.gate_hold_frames;
            } else if (st.gate_hold_counter != 0) {
                st.gate_hold_counter -= 1;
            } else {
                st.gate_state = GateState::closing;
            }
            return 1.0f;
        default:  // closing
            st.gate_gain = one_pole_step(st.gate_gain, c.gate_floor, s.release_coefficient);
            if (c.gate_floor + 1e-6f >= st.gate_gain) {
                st.gate_gain = c.gate_floor;
                st.gate_state = GateState::closed;
            }
            return st.gate_gain;
    }
}

// Only the last frame's gain change is ever read, so only its logarithm is
// taken.
inline void gated_gains(const GainSettings& s, const GainConstants& c, GainState& st, const float* levels,
                        float* gains, size_t count, float& reduction_db) {
    for (size_t i = 0; i < count; ++i) gains[i] = gated_gain(s, c, st, levels[i]);
    reduction_db = db_of_gain(gains[count - 1]);
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
    st.held_level = one_pole_step(st.held_level, level, release);
    return st.held_level;
}

inline float rising_or_falling(float envelope, float level, float attack, float release) {
    return one_pole_step(envelope, level, level > envelope ? attack : release);
}

// Serial part of the transient shaper: its fast and slow envelopes (and the
// second pair) after each frame.
inline void follow_transient(const GainSettings& s, const GainConstants& c, GainState& st, const float* levels,
                             GainLanes& w, size_t count) {
    const bool held = s.hold_frames != 0;
    for (size_t i = 0; i < count; ++i) {
        const float level = levels[i];
        st.fast_envelope = rising_or_falling(st.fast_envelope, level, c.fast_attack, c.fast_release);
        if (held && !s.dual_transient) {
            st.slow_envelope = held_level(st, s.hold_frames, level, c.slow_release);
        } else {
            st.slow_envelope = rising_or_falling(st.slow_envelope, level, c.slow_attack, c.slow_release);
        }
        w.fast[i] = st.fast_envelope;
        w.slow[i] = st.slow_envelope;
        if (s.dual_transient) {
            st.second_fast_envelope =
                rising_or_falling(st.second_fast_envelope, level, c.second_fast_attack, c.second_fast_release);
            if (held) {
                st.second_slow_envelope = held_level(st, s.hold_frames, level, c.second_slow_release);
            } else {
                st.second_slow_envelope = rising_or_falling(st.second_slow_envelope, level, c.second_slow_attack,
                                                            c.second_slow_release);
            }
            w.second_fast[i] = st.second_fast_envelope;
            w.second_slow[i] = st.second_slow_envelope;
        }
    }
}

// Difference of a fast and a slow envelope, 6 dB being full scale, in -1 .. 1.
template <class T>
inline T transient_amount(T fast, T slow) {
    using L = LaneMath<T>;
    const T diff = (envelope_db(fast, 1e-5f) - envelope_db(slow, 1e-5f)) / L::splat(6.0f);
    return clamp(diff, L::splat(-1.0f), L::splat(1.0f));
}

// The rest of the transient shaper for the frames from first on.
template <class T>
inline void transient_gains(const GainSettings& s, GainLanes& w, size_t first, float* gains) {
    using L = LaneMath<T>;
    const T zero = L::splat(0.0f);
    const T attack_db = L::splat(s.transient_attack_db);
    const T sustain_db = L::splat(s.transient_sustain_db);
    const T t1 = transient_amount(load<T>(w.fast + first), load<T>(w.slow + first));
    T change_db;
    if (!s.dual_transient) {
        change_db = t1 > zero ? t1 * attack_db : (-t1) * sustain_db;
    } else {
        // The second pair judges the sustain.
        const T t2 = transient_amount(load<T>(w.second_fast + first), load<T>(w.second_slow + first));
        change_db = (t2 < zero ? -t2 : zero) * sustain_db + (t1 > zero ? t1 : zero) * attack_db;
    }
    store(w.change_db + first, change_db);
    store(gains + first, gain_of_db(change_db));
}

template <class T>
inline void transient_chunk(const GainSettings& s, const GainConstants& c, GainState& st, const float* levels,
                            GainLanes& w, float* gains, size_t count) {
    constexpr size_t lanes = LaneMath<T>::count;
    follow_transient(s, c, st, levels, w, count);
    size_t first = 0;
    for (; first + lanes <= count; first += lanes) transient_gains<T>(s, w, first, gains);
    for (; first < count; ++first) transient_gains<float>(s, w, first, gains);
}

// The linear gain of each frame of a chunk (before make-up), and the gain
// change in dB of its last frame.
template <GainKind kind, class T>
inline void chunk_gains(const GainSettings& s, const GainConstants& c, GainState& st, const float* levels,
                        const float* key_levels, GainLanes& w, float* gains, size_t count, float& reduction_db) {
    if constexpr (kind == GainKind::gated) {
        gated_gains(s, c, st, levels, gains, count, reduction_db);
        return;
    } else if constexpr (kind == GainKind::transient) {
        transient_chunk<T>(s, c, st, levels, w, gains, count);
    } else {
        envelope_chunk<T>(s, c, st, levels, key_levels, w, gains, count);
    }
    reduction_db = w.change_db[count - 1];
}

}  // namespace divavova
