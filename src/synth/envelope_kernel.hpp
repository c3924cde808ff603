// ADSR envelope of one voice in fixed point.  The level moves once per tick
// of 256 samples by a precomputed step, so a 256-sample block sees one level.
#pragma once

#include <cmath>
#include <cstdint>

#include "module/convert.hpp"

namespace divavova {

struct EnvelopeKernel {
    enum Stage : int32_t { attack = 0, decay = 1, sustain = 2, release_stage = 3 };
    static constexpr uint32_t kTickSamples = 256;

    // Definition.  The two levels are compared as unsigned 16-bit values.
    int16_t attack_step;
    int16_t decay_step;
    int16_t release_step;
    int16_t attack_level;
    int16_t sustain_level;
    // Running state.
    int16_t level;
    uint16_t sample_counter;
    int32_t stage;

    // Level change per tick that covers `span` in about `time_s` seconds:
    // at least 1 (so a negative time, or one too long to count, gives the
    // slowest ramp) and at most 32767 (also for an instant ramp).
    static int16_t ramp(uint32_t sample_rate, double time_s, int16_t span) {
        const int32_t ramp_samples = float_to<int32_t>(std::round(static_cast<double>(sample_rate) * time_s));
        if (ramp_samples == 0) return 32767;
        const int32_t per_tick = (span < 0 ? -(span * 256) : span * 256) / ramp_samples;
        const int32_t magnitude = per_tick < 1 ? 1 : (per_tick > 32767 ? 32767 : per_tick);
        return static_cast<int16_t>(span < 0 ? -magnitude : magnitude);
    }

    // A level given as a fraction of full scale, truncated and kept to 16 bits.
    static int16_t level_of(double fraction_x32767) { return low16(float_to<int64_t>(fraction_x32767)); }

    void define(uint32_t sample_rate, bool enabled, double attack_time_s, double decay_time_s,
                double release_time_s, double attack_fraction, double sustain_fraction) {
        if (!enabled) {
            attack_step = 32767;
            decay_step = -32767;
            release_step = -32767;
            attack_level = 32767;
            sustain_level = 32767;
            return;
        }
        const int16_t peak = level_of(attack_fraction * 32767.0);
        const int16_t hold = level_of((sustain_fraction * 32767.0) * attack_fraction);
        attack_level = peak;
        sustain_level = hold;
        attack_step = ramp(sample_rate, attack_time_s, peak);
        decay_step = static_cast<int16_t>(-ramp(sample_rate, decay_time_s, low16(peak - hold)));
        release_step = static_cast<int16_t>(-ramp(sample_rate, release_time_s, hold != 0 ? hold : peak));
    }

    // Running state of a new note: one tick taken already.
    void start() {
        level = 0;
        sample_counter = 0;
        stage = attack;
        advance(kTickSamples);
    }

    void tick() {
        const int32_t moved_attack = int32_t{level} + attack_step;
        const int32_t moved_decay = int32_t{level} + decay_step;
        const int32_t moved_release = int32_t{level} + release_step;
        switch (stage) {
            case attack:
                if (moved_attack >= int32_t{static_cast<uint16_t>(attack_level)}) {
                    level = attack_level;
                    stage = decay;
                } else {
                    level = low16(moved_attack);
                }
                break;
            case decay:
                if (moved_decay <= int32_t{static_cast<uint16_t>(sustain_level)}) {
                    level = sustain_level;
                    stage = sustain;
                } else {
                    level = low16(moved_decay);
                }
                break;
            case release_stage:
                level = moved_release < 0 ? int16_t{0} : low16(moved_release);
                break;
            default:  // sustain holds
                break;
        }
    }

    // Only the low 16 bits of the count reach the counter, so a count of
    // 65536 takes no tick and at most 255 ticks happen per call.
    void advance(uint64_t samples) {
        sample_counter = static_cast<uint16_t>(sample_counter + static_cast<uint16_t>(samples));
        while (sample_counter >= kTickSamples) {
            sample_counter = static_cast<uint16_t>(sample_counter - kTickSamples);
            tick();
        }
    }
};

}  // namespace divavova
