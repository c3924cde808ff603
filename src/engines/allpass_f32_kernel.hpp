// A chain of identical first-order all-pass sections per channel, with
// feedback from the chain output to its input and a coefficient that glides
// linearly across each block to the newly designed value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engines/filter_design.hpp"
#include "engines/frame_walk.hpp"
#include "module/convert.hpp"
#include "module/configured.hpp"
#include "module/memory.hpp"

namespace divavova {

// The ids of configure.
enum class AllPassF32Option : uint32_t {
    frequency_hz,
    feedback,
    mix,
};

struct AllPassF32Kernel {
    static constexpr uint32_t kMaxStages = 16;

    uint32_t sample_rate;
    uint32_t channel_count;
    uint32_t stages;
    float frequency_hz;
    float feedback;
    float mix;
    float coefficient;  // designed value, the glide target
    float designed_frequency_hz;
    uint32_t designed_rate;
    bool designed;
    float* section_states;  // channel j uses [j * stages, (j + 1) * stages)
    uint32_t state_count;
    float feedback_state[2];
    float running_coefficient;
    bool running_set;

    static constexpr const char* kUnknownOption = "unknown all-pass option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;

    // A fresh record with its own zeroed state array; section_states is null
    // when the allocation failed.
    static AllPassF32Kernel make(uint32_t rate, uint32_t channels, uint32_t stage_count) {
        AllPassF32Kernel k{};
        k.sample_rate = rate;
        k.channel_count = channels;
        k.stages = stage_count;
        k.frequency_hz = 1000.0f;
        k.feedback = 0.0f;
        k.mix = 1.0f;
        k.state_count = channels * stage_count;
        k.section_states = engine_alloc<float>(k.state_count);
        return k;
    }

    bool initialised() const { return channel_count != 0 && section_states != nullptr; }
    size_t frame_bytes() const { return 2u * channel_count; }
    void free_memory() { engine_release(section_states); }

    Configured configure(uint32_t option, double value_in) {
        const float value = static_cast<float>(value_in);
        switch (static_cast<AllPassF32Option>(option)) {
            case AllPassF32Option::frequency_hz:
                frequency_hz = limit_design_frequency(value, sample_rate);
                break;
            case AllPassF32Option::feedback:
                feedback = clamp(value, -0.99f, 0.99f);
                break;
            case AllPassF32Option::mix:
                mix = clamp(value, 0.0f, 1.0f);
                break;
            default:
                return Configured::unknown_option;
        }
        return Configured::ok;
    }

    void finish() { design(); }

    void reset() {
        for (uint32_t i = 0; i < state_count; ++i) section_states[i] = 0.0f;
        feedback_state[0] = feedback_state[1] = 0.0f;
        running_coefficient = 0.0f;
        running_set = false;
    }

    void design() {
        if (designed && sample_rate == designed_rate && frequency_hz == designed_frequency_hz) return;
        const double w = (static_cast<double>(frequency_hz) * 3.141592653589793) / static_cast<double>(sample_rate);
        const SineCosine sc = taylor_sine_cosine(w);
        const double t = sc.cosine == 0.0 ? 1e9 : sc.sine / sc.cosine;
        coefficient = clamp(static_cast<float>((t - 1.0) / (t + 1.0)), -0.9999f, 0.9999f);
        designed_frequency_hz = frequency_hz;
        designed_rate = sample_rate;
        designed = true;
    }

    // The chain on the lanes of a frame (see frame_walk.hpp).  The chain from
    // one frame's feedback state to the next runs through the feedback product
    // and every section's multiply and add; the section states wait in `q` off
    // that chain, and the flushes of the whole frame are one predicted branch,
    // taken only when a state is tiny.
    template <int Channels>
    void run(const int16_t* in, int16_t* out, size_t frames) {
        using namespace frame_walk;
        const uint32_t n_stages = stages;
        const F fb = splat(feedback), wet = splat(mix), dry = splat(1.0f - mix);
        const F step = splat((coefficient - running_coefficient) / static_cast<float>(frames));
        F h = splat(running_coefficient);
        F q[kMaxStages];
        for (uint32_t k = 0; k < n_stages; ++k) {
            const float pair[2] = {section_states[k], section_states[(Channels - 1) * n_stages + k]};
            q[k] = channels_in<Channels>(pair);
        }
        F fb_state = channels_in<Channels>(feedback_state);
        walk<Channels>(
            in, out, frames,
            [&](F x) {
                F v = x + fb * fb_state;
                I small = {};
                for (uint32_t k = 0; k < n_stages; ++k) {
                    const F y = v * h + q[k];
                    q[k] = v - y * h;
                    small |= tiny(q[k]);
                    v = y;
                }
                fb_state = v;
                if (__builtin_expect(any(small | tiny(v)), 0)) {
                    asm volatile("");
                    for (uint32_t k = 0; k < n_stages; ++k) q[k] = cleared(tiny(q[k]), q[k]);
                    fb_state = cleared(tiny(v), v);
                }
                h = h + step;
                return v;
            },
            [&](F x, F v) { return x * dry + v * wet; });
        for (uint32_t k = 0; k < n_stages; ++k) {
            float pair[2];
            channels_out<Channels>(q[k], pair);
            for (int j = 0; j < Channels; ++j) section_states[j * n_stages + k] = pair[j];
        }
        channels_out<Channels>(fb_state, feedback_state);
    }

    void process(const int16_t* in, int16_t* out, size_t frames) {
        if (frames == 0) return;
        if (!running_set) {
            running_coefficient = coefficient;
            running_set = true;
        }
        channel_count == 2 ? run<2>(in, out, frames) : run<1>(in, out, frames);
        running_coefficient = coefficient;
    }
};

}  // namespace divavova
