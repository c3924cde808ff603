// Octave divider: a Schmitt trigger on the mono-summed input clocks a
// divide-by-2 flip-flop, which clocks a second one.  While the selected
// flip-flop is low the input is scaled by a gain running from 1 (depth 0) to
// -1 (full depth), in Q15.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/configured.hpp"
#include "module/convert.hpp"

namespace divavova {

// The ids of configure.
enum class SubOctaveOption : uint32_t {
    octaves,
    depth,
    threshold,
    holdoff_ms,
};

struct SubOctaveKernel {
    static constexpr const char* kUnknownOption = "unknown sub-octave option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;

    uint32_t sample_rate;
    uint32_t channel_count;  // 0 only before the first initialisation
    uint32_t octaves;        // 1 or 2
    uint32_t depth_q15;      // 0 .. 32768
    uint32_t threshold;      // s16 units
    uint32_t holdoff_frames;
    float holdoff_ms;
    bool comparator_high;
    bool first_flip_flop;
    bool second_flip_flop;
    uint32_t holdoff_counter;

    bool initialised() const { return channel_count != 0; }

    // Frames for a hold-off of t ms, capped at a tenth of a second.
    uint32_t holdoff(float t_ms) const {
        float rate = static_cast<float>(sample_rate);
        float frames = (rate * t_ms) / 1000.0f;
        if (!(frames > 0.0f)) return 0;
        float cap = rate / 10.0f;
        return float_to<uint32_t>((cap < frames ? cap : frames) + 0.5f);
    }

    static SubOctaveKernel start(uint32_t rate, uint32_t channels) {
        SubOctaveKernel k{};
        k.sample_rate = rate;
        k.channel_count = channels;
        k.octaves = 1;
        k.depth_q15 = 32768;
        k.threshold = 328;
        k.holdoff_ms = 1.0f;
        k.holdoff_frames = k.holdoff(1.0f);
        k.reset();
        return k;
    }

    // A level from 0 .. 1 in Q15, rounded, with the given ceiling.
    static uint32_t level_q15(float value, uint32_t ceiling) {
        if (value <= 0.0f) return 0;
        if (value >= 1.0f) return ceiling;
        return float_to<uint32_t>(value * 32768.0f + 0.5f);  // NaN lands here and gives 0
    }

    // Stores one option.
    Configured configure(uint32_t option, double value_in) {
        float value = static_cast<float>(value_in);
        switch (static_cast<SubOctaveOption>(option)) {
            case SubOctaveOption::octaves: octaves = value >= 2.0f ? 2 : 1; return Configured::ok;
            case SubOctaveOption::depth: depth_q15 = level_q15(value, 32768); return Configured::ok;
            case SubOctaveOption::threshold: threshold = level_q15(value, 32767); return Configured::ok;
            case SubOctaveOption::holdoff_ms:
                holdoff_ms = value > 0.0f ? value : 0.0f;  // NaN counts as no hold-off
                holdoff_frames = holdoff(holdoff_ms);
                return Configured::ok;
            default: return Configured::unknown_option;
        }
    }

    void finish() { holdoff_frames = holdoff(holdoff_ms); }

    void reset() {
        comparator_high = false;
        first_flip_flop = true;
        second_flip_flop = true;
        holdoff_counter = 0;
    }

    size_t frame_bytes() const { return 2 * static_cast<size_t>(channel_count); }

    void process(const int16_t* in, int16_t* out, size_t frames) {
        if (channel_count == 2)
            run<2>(in, out, frames);
        else
            run<1>(in, out, frames);
    }

private:
    template <int Channels>
    void run(const int16_t* in, int16_t* out, size_t frames) {
        const int32_t high = static_cast<int32_t>(threshold);
        const int32_t low = -high;
        const int32_t gain_q15 = 32768 - 2 * static_cast<int32_t>(depth_q15);
        const bool use_second = octaves == 2;
        bool comparator = comparator_high, first = first_flip_flop, second = second_flip_flop;
        uint32_t counter = holdoff_counter;
        for (size_t f = 0; f < frames; ++f) {
            const int16_t* frame = in + Channels * f;
            int32_t s = Channels == 2 ? (int32_t{frame[0]} + int32_t{frame[1]}) >> 1 : int32_t{frame[0]};
            if (counter != 0) --counter;
            if (!comparator) {
                if (s > high) {
                    comparator = true;
                    if (counter == 0) {
                        counter = holdoff_frames;
                        if (!first) second = !second;
                        first = !first;
                    }
                }
            } else if (s < low) {
                comparator = false;
            }
            bool pass = use_second ? second : first;
            for (int c = 0; c < Channels; ++c) {
                int32_t x = frame[c];
                out[Channels * f + c] = pass ? frame[c] : static_cast<int16_t>(saturate_s16((gain_q15 * x) >> 15));
            }
        }
        comparator_high = comparator;
        first_flip_flop = first;
        second_flip_flop = second;
        holdoff_counter = counter;
    }
};

}  // namespace divavova
