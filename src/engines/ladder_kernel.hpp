// Four-stage resonant low-pass ladder per channel: trapezoidal one-pole
// stages, a cubic soft clip in the global feedback resolved each sample by
// predicting the linear part and iterating on the cubic, optional 2x
// oversampling, output after 1 to 4 stages.  Works in full-scale units.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "module/convert.hpp"
#include "module/convert_branchless.hpp"
#include "module/engine.hpp"

namespace divavova {

struct LadderKernel {
    uint32_t sample_rate;
    uint32_t channel_count;
    float cutoff_hz;
    float resonance;
    float drive;
    float compensation;
    float mix;
    uint8_t poles;
    uint8_t oversample;
    float g;
    float G;
    float kG;
    float feedback_divisor;
    float cubic_factor;
    float output_gain;
    float stage_state[2][4];
    float feedback_output[2];
    float previous_feedback_output[2];
    float previous_input[2];

    static constexpr const char* kUnknownOption = "unknown ladder option";
    static constexpr const char* kWholeFrames = "input must be whole 16-bit frames for the configured channel count";

    static LadderKernel make(uint32_t rate, uint32_t channels) {
        LadderKernel k{};
        k.sample_rate = rate;
        k.channel_count = channels;
        k.cutoff_hz = 1000.0f;
        k.resonance = 0.0f;
        k.drive = 1.0f;
        k.compensation = 0.0f;
        k.mix = 1.0f;
        k.poles = 4;
        k.oversample = 2;
        k.derive();
        return k;
    }

    bool initialised() const { return channel_count != 0; }
    size_t frame_bytes() const { return 2u * channel_count; }

    void derive() {
        const float rate = static_cast<float>(oversample) * static_cast<float>(sample_rate);
        const float fc = clamp(cutoff_hz, 1.0f, 0.49f * rate);
        const float t = tanf((fc * 3.1415927f) / rate);
        g = t / (t + 1.0f);
        G = (g * g) * (g * g);
        kG = G * resonance;
        output_gain = resonance * compensation + 1.0f;
        feedback_divisor = 1.0f / (kG + 1.0f);
        cubic_factor = (kG * feedback_divisor) * 0.33333334f;
    }

    Configured configure(uint32_t option, double value_in) {
        const float value = static_cast<float>(value_in);
        switch (option) {
            case 0:
                cutoff_hz = value;
                break;
            case 1:
                resonance = clamp(value, 0.0f, 4.2f);
                break;
            case 2:
                drive = clamp(value, 0.0f, 64.0f);
                break;
            case 3:
                poles = static_cast<uint8_t>(clamp(float_to<int32_t>(value + 0.5f), 1, 4));
                break;
            case 4:
                compensation = clamp(value, 0.0f, 1.0f);
                break;
            case 5:
                oversample = value >= 1.5f ? 2 : 1;
                break;
            case 6:
                mix = clamp(value, 0.0f, 1.0f);
                break;
            default:
                return Configured::unknown_option;
        }
        derive();
        return Configured::ok;
    }

    void finish() { derive(); }

    void reset() {
        for (int j = 0; j < 2; ++j) {
            for (float& s : stage_state[j]) s = 0.0f;
            feedback_output[j] = 0.0f;
            previous_feedback_output[j] = 0.0f;
            previous_input[j] = 0.0f;
        }
    }

    // One ladder step of channel j with input u; returns the selected stage's output.
    float step(int j, float u) {
        float* s = stage_state[j];
        const float one_minus_g = 1.0f - g;
        const float predicted =
            (((((one_minus_g * s[0]) * g + one_minus_g * s[1]) * g + one_minus_g * s[2]) * g + one_minus_g * s[3]) +
             u * G);
        const float L = kG * 0.6666667f;
        float y;
        if (predicted - L >= 1.0f) {
            y = predicted - L;
        } else if (predicted + L <= -1.0f) {
            y = predicted + L;
        } else {
            float r = 2.0f * feedback_output[j] - previous_feedback_output[j];
            const float linear = predicted * feedback_divisor;
            // Four fixed-point iterations; once one returns its own input
            // bit for bit, the remaining ones would too, so they are skipped.
            for (int iteration = 0; iteration < 4; ++iteration) {
                const float c = clamp(r, -1.0f, 1.0f);
                const float next = ((c * c) * c) * cubic_factor + linear;
                if (std::bit_cast<uint32_t>(next) == std::bit_cast<uint32_t>(r)) break;
                r = next;
            }
            y = clamp(r, -1.0f, 1.0f);
        }
        previous_feedback_output[j] = feedback_output[j];
        feedback_output[j] = y;
        const float q = clamp(y, -1.0f, 1.0f);
        float v = u - (q - ((q * q) * q) * 0.33333334f) * resonance;
        float outputs[4];
        for (int k = 0; k < 4; ++k) {
            const float o = v * g + one_minus_g * s[k];
            s[k] = 2.0f * o - s[k];
            outputs[k] = o;
            v = o;
        }
        return outputs[poles - 1];
    }

    template <int Channels, bool Oversampled>
    void run(const int16_t* in, int16_t* out, size_t frames) {
        const float gain = output_gain, wet = mix, in_gain = drive;
        for (size_t i = 0; i < frames; ++i) {
            for (int j = 0; j < Channels; ++j) {
                const float h = static_cast<float>(in[i * Channels + j]) * 0.000030517578125f;
                float value;
                if constexpr (Oversampled) {
                    const float y1 = step(j, ((h + previous_input[j]) * 0.5f) * in_gain);
                    const float y2 = step(j, h * in_gain);
                    value = (((((y1 + y2) * 0.5f) * gain - h) * wet) + h) * 32768.0f;
                } else {
                    const float y = step(j, h * in_gain);
                    value = (((y * gain - h) * wet) + h) * 32768.0f;
                }
                previous_input[j] = h;
                out[i * Channels + j] = s16_branchless(value);
            }
        }
    }

    void process(const int16_t* in, int16_t* out, size_t frames) {
        const bool twice = oversample == 2;
        if (channel_count == 2)
            twice ? run<2, true>(in, out, frames) : run<2, false>(in, out, frames);
        else
            twice ? run<1, true>(in, out, frames) : run<1, false>(in, out, frames);
    }
};

}  // namespace divavova
