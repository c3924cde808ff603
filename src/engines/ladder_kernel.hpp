// Four-stage resonant low-pass ladder per channel: trapezoidal one-pole
// stages, a cubic soft clip in the global feedback resolved each sample by
// predicting the linear part and iterating on the cubic, optional 2x
// oversampling, output after 1 to 4 stages.  Works in full-scale units.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "module/convert.hpp"
#include "module/configured.hpp"

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
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;

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
                out[i * Channels + j] = s16(value);
            }
        }
    }

#if defined(__SSE2__)
    // Both channels of a stereo stream side by side in the lanes of one
    // register: each lane performs exactly the scalar step's operations.  The
    // three ways of resolving the feedback become selects; the iterations run
    // until every lane that needs them has reached its fixed point (a lane
    // at its fixed point stays there, so extra rounds change nothing).
    struct StereoLadder {
        __m128 s[4];
        __m128 y;
        __m128 y_previous;
    };

    static __m128 clamp_unit(__m128 x) {
        // (x < -1 ? -1 : x), then (1 < x ? 1 : x): maxps/minps return their
        // second operand when the comparison fails, NaN included.
        return _mm_min_ps(_mm_set1_ps(1.0f), _mm_max_ps(_mm_set1_ps(-1.0f), x));
    }

    __m128 step_stereo(StereoLadder& st, __m128 u) const {
        const __m128 vg = _mm_set1_ps(g), omg = _mm_set1_ps(1.0f - g);
        __m128 p = _mm_mul_ps(_mm_mul_ps(omg, st.s[0]), vg);
        p = _mm_mul_ps(_mm_add_ps(p, _mm_mul_ps(omg, st.s[1])), vg);
        p = _mm_mul_ps(_mm_add_ps(p, _mm_mul_ps(omg, st.s[2])), vg);
        p = _mm_add_ps(_mm_add_ps(p, _mm_mul_ps(omg, st.s[3])), _mm_mul_ps(u, _mm_set1_ps(G)));
        const __m128 limit = _mm_set1_ps(kG * 0.6666667f);
        const __m128 above = _mm_sub_ps(p, limit), below = _mm_add_ps(p, limit);
        const __m128 take_above = _mm_cmpge_ps(above, _mm_set1_ps(1.0f));
        const __m128 take_below = _mm_andnot_ps(take_above, _mm_cmple_ps(below, _mm_set1_ps(-1.0f)));
        const __m128 settled = _mm_or_ps(take_above, take_below);
        __m128 r = _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(2.0f), st.y), st.y_previous);
        const __m128 linear = _mm_mul_ps(p, _mm_set1_ps(feedback_divisor));
        const __m128 cubic = _mm_set1_ps(cubic_factor);
        for (int iteration = 0; iteration < 4; ++iteration) {
            const __m128 c = clamp_unit(r);
            const __m128 next = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(_mm_mul_ps(c, c), c), cubic), linear);
            const __m128 same = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castps_si128(next), _mm_castps_si128(r)));
            if ((_mm_movemask_ps(_mm_or_ps(same, settled)) & 3) == 3) break;
            r = next;
        }
        const __m128 solved = clamp_unit(r);
        const __m128 direct = _mm_or_ps(_mm_and_ps(take_above, above), _mm_and_ps(take_below, below));
        const __m128 y = _mm_or_ps(direct, _mm_andnot_ps(settled, solved));
        st.y_previous = st.y;
        st.y = y;
        // clamp(y): the solved value is already clamped, so only the direct
        // lanes need it, and theirs is ready before the iterations end.
        const __m128 q = _mm_or_ps(_mm_and_ps(settled, clamp_unit(direct)), _mm_andnot_ps(settled, solved));
        const __m128 shaped = _mm_sub_ps(q, _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(q, q), q), _mm_set1_ps(0.33333334f)));
        __m128 v = _mm_sub_ps(u, _mm_mul_ps(shaped, _mm_set1_ps(resonance)));
        __m128 outputs[4];
        for (int k = 0; k < 4; ++k) {
            const __m128 o = _mm_add_ps(_mm_mul_ps(v, vg), _mm_mul_ps(omg, st.s[k]));
            st.s[k] = _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(2.0f), o), st.s[k]);
            outputs[k] = o;
            v = o;
        }
        return outputs[poles - 1];
    }

    template <bool Oversampled>
    void run_stereo(const int16_t* in, int16_t* out, size_t frames) {
        StereoLadder st;
        for (int k = 0; k < 4; ++k) st.s[k] = _mm_setr_ps(stage_state[0][k], stage_state[1][k], 0.0f, 0.0f);
        st.y = _mm_setr_ps(feedback_output[0], feedback_output[1], 0.0f, 0.0f);
        st.y_previous = _mm_setr_ps(previous_feedback_output[0], previous_feedback_output[1], 0.0f, 0.0f);
        __m128 previous = _mm_setr_ps(previous_input[0], previous_input[1], 0.0f, 0.0f);
        const __m128 gain = _mm_set1_ps(output_gain), wet = _mm_set1_ps(mix), in_gain = _mm_set1_ps(drive);
        const __m128 half = _mm_set1_ps(0.5f), scale_in = _mm_set1_ps(0.000030517578125f);
        const __m128 scale_out = _mm_set1_ps(32768.0f);
        for (size_t i = 0; i < frames; ++i) {
            const __m128 h = _mm_mul_ps(
                _mm_setr_ps(static_cast<float>(in[2 * i]), static_cast<float>(in[2 * i + 1]), 0.0f, 0.0f), scale_in);
            __m128 value;
            if constexpr (Oversampled) {
                const __m128 y1 = step_stereo(st, _mm_mul_ps(_mm_mul_ps(_mm_add_ps(h, previous), half), in_gain));
                const __m128 y2 = step_stereo(st, _mm_mul_ps(h, in_gain));
                const __m128 y = _mm_mul_ps(_mm_mul_ps(_mm_add_ps(y1, y2), half), gain);
                value = _mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_sub_ps(y, h), wet), h), scale_out);
            } else {
                const __m128 y = _mm_mul_ps(step_stereo(st, _mm_mul_ps(h, in_gain)), gain);
                value = _mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_sub_ps(y, h), wet), h), scale_out);
            }
            previous = h;
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, value);
            out[2 * i] = s16(lanes[0]);
            out[2 * i + 1] = s16(lanes[1]);
        }
        alignas(16) float lanes[4];
        for (int k = 0; k < 4; ++k) {
            _mm_store_ps(lanes, st.s[k]);
            stage_state[0][k] = lanes[0];
            stage_state[1][k] = lanes[1];
        }
        _mm_store_ps(lanes, st.y);
        feedback_output[0] = lanes[0];
        feedback_output[1] = lanes[1];
        _mm_store_ps(lanes, st.y_previous);
        previous_feedback_output[0] = lanes[0];
        previous_feedback_output[1] = lanes[1];
        _mm_store_ps(lanes, previous);
        previous_input[0] = lanes[0];
        previous_input[1] = lanes[1];
    }
#endif

    void process(const int16_t* in, int16_t* out, size_t frames) {
        const bool twice = oversample == 2;
        if (channel_count == 2) {
#if defined(__SSE2__)
            twice ? run_stereo<true>(in, out, frames) : run_stereo<false>(in, out, frames);
#else
            twice ? run<2, true>(in, out, frames) : run<2, false>(in, out, frames);
#endif
        } else {
            twice ? run<1, true>(in, out, frames) : run<1, false>(in, out, frames);
        }
    }
};

}  // namespace divavova
