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
#include "module/dispatch.hpp"

namespace divavova {

// The ids of configure.
enum class LadderOption : uint32_t {
    cutoff_hz,
    resonance,
    drive,
    poles,
    compensation,
    oversample,
    mix,
};

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
        switch (static_cast<LadderOption>(option)) {
            case LadderOption::cutoff_hz:
                cutoff_hz = value;
                break;
            case LadderOption::resonance:
                resonance = clamp(value, 0.0f, 4.2f);
                break;
            case LadderOption::drive:
                drive = clamp(value, 0.0f, 64.0f);
                break;
            case LadderOption::poles:
                poles = static_cast<uint8_t>(clamp(float_to<int32_t>(value + 0.5f), 1, 4));
                break;
            case LadderOption::compensation:
                compensation = clamp(value, 0.0f, 1.0f);
                break;
            case LadderOption::oversample:
                oversample = value >= 1.5f ? 2 : 1;
                break;
            case LadderOption::mix:
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
                const float h = static_cast<float>(in[i * Channels + j]) * kFromS16;
                float value;
                if constexpr (Oversampled) {
                    const float y1 = step(j, ((h + previous_input[j]) * 0.5f) * in_gain);
                    const float y2 = step(j, h * in_gain);
                    value = (((((y1 + y2) * 0.5f) * gain - h) * wet) + h) * kToS16;
                } else {
                    const float y = step(j, h * in_gain);
                    value = (((y * gain - h) * wet) + h) * kToS16;
                }
                previous_input[j] = h;
                out[i * Channels + j] = s16(value);
            }
        }
    }

#if defined(__SSE2__)
    // Both channels of a stereo stream side by side in the lanes of one
    // register (the two unused lanes hold zeros, which stay zeros): each lane
    // performs exactly the scalar step's operations.
    //
    // The run is bound by the latency of the chain from one sample's
    // feedback output to the next one's (about twenty dependent multiplies
    // and adds), so the step keeps everything else off that chain:
    // - The feedback solve is four passes r = f(r).  A pass that returns its
    //   input bit for bit is a fixed point and every later pass returns it
    //   again, so the four passes give r1 = f(r0) whenever f(r1) == r1; and
    //   when r1 lies inside -1 .. 1 the clamps of the solved value and of y
    //   leave it unchanged.  That is the usual case: the step then carries r1
    //   straight on as y and q, and the checks (no lane takes a direct
    //   branch; r1 is a fixed point inside -1 .. 1) are branches the
    //   processor predicts rather than operations the next sample waits for.
    //   Direct branches taken by every lane are branches too; lanes that
    //   differ are resolved with selects.
    // - (1 - g) x s is formed as soon as each stage state is, and used by both
    //   the prediction and the stage update, as in the scalar step.
    struct LaneState {
        __m128 s[4];
        __m128 t[4];  // (1 - g) x s
        __m128 y;
        __m128 y_previous;
    };

    struct LaneConstants {
        __m128 g;
        __m128 one_minus_g;
        __m128 G;
        __m128 limit;  // kG x 0.6666667
        __m128 feedback_divisor;
        __m128 cubic_factor;
        __m128 resonance;
        __m128 one;
        __m128 minus_one;
        __m128 third;  // 0.33333334
        __m128 magnitude_bits;
        __m128 drive;
        __m128 output_gain;
        __m128 mix;
    };

    static constexpr int kChannelBits = 3;  // movemask bits of the two channels' lanes

    LaneConstants lane_constants() const {
        return {_mm_set1_ps(g),
                _mm_set1_ps(1.0f - g),
                _mm_set1_ps(G),
                _mm_set1_ps(kG * 0.6666667f),
                _mm_set1_ps(feedback_divisor),
                _mm_set1_ps(cubic_factor),
                _mm_set1_ps(resonance),
                _mm_set1_ps(1.0f),
                _mm_set1_ps(-1.0f),
                _mm_set1_ps(0.33333334f),
                _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)),
                _mm_set1_ps(drive),
                _mm_set1_ps(output_gain),
                _mm_set1_ps(mix)};
    }

    static __m128 clamp_unit(const LaneConstants& k, __m128 x) {
        // (x < -1 ? -1 : x), then (1 < x ? 1 : x): maxps/minps return their
        // second operand when the comparison fails, NaN included.
        return _mm_min_ps(k.one, _mm_max_ps(k.minus_one, x));
    }

    static __m128 select(__m128 mask, __m128 a, __m128 b) {
        return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
    }

    static __m128 same_bits(__m128 a, __m128 b) {
        return _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castps_si128(a), _mm_castps_si128(b)));
    }

    static __m128 cube(__m128 x) { return _mm_mul_ps(_mm_mul_ps(x, x), x); }

    // One pass of the feedback solve: clamp(r)^3 x cubic factor + P x divisor.
    static __m128 feedback_pass(const LaneConstants& k, __m128 r, __m128 linear) {
        return _mm_add_ps(_mm_mul_ps(cube(clamp_unit(k, r)), k.cubic_factor), linear);
    }

    // The passes after the second, for the lanes not in `settled`: r1 and r2
    // are the first two passes.  A lane at its fixed point keeps it, so the
    // passes stop once every such lane is at one; the result is the fourth
    // pass of each such lane, unclamped.
    static __m128 solve_rest(const LaneConstants& k, __m128 linear, __m128 r1, __m128 r2, __m128 settled) {
        __m128 r = r1, next = r2;
        for (int pass = 2;; ++pass) {
            if ((_mm_movemask_ps(_mm_or_ps(same_bits(next, r), settled)) & kChannelBits) == kChannelBits) break;
            r = next;
            if (pass == 4) break;
            next = feedback_pass(k, r, linear);
        }
        return r;
    }

    // The stage updates once y, q = clamp(y) and q_cubed = (q x q) x q are
    // known; returns stage Poles's output.
    template <int Poles>
    static __m128 advance(LaneState& st, const LaneConstants& k, __m128 u, __m128 y, __m128 q, __m128 q_cubed) {
        st.y_previous = st.y;
        st.y = y;
        __m128 v = _mm_sub_ps(u, _mm_mul_ps(_mm_sub_ps(q, _mm_mul_ps(q_cubed, k.third)), k.resonance));
        __m128 outputs[4];
        for (int i = 0; i < 4; ++i) {
            const __m128 o = _mm_add_ps(_mm_mul_ps(v, k.g), st.t[i]);
            st.s[i] = _mm_sub_ps(_mm_add_ps(o, o), st.s[i]);  // 2 x o, exactly
            st.t[i] = _mm_mul_ps(k.one_minus_g, st.s[i]);
            outputs[i] = o;
            v = o;
        }
        return outputs[Poles - 1];
    }

    template <int Poles>
    static __m128 step_lanes(LaneState& st, const LaneConstants& k, __m128 u) {
        __m128 p = _mm_add_ps(_mm_mul_ps(st.t[0], k.g), st.t[1]);
        p = _mm_add_ps(_mm_mul_ps(p, k.g), st.t[2]);
        p = _mm_add_ps(_mm_add_ps(_mm_mul_ps(p, k.g), st.t[3]), _mm_mul_ps(u, k.G));
        const __m128 above = _mm_sub_ps(p, k.limit), below = _mm_add_ps(p, k.limit);
        const __m128 linear = _mm_mul_ps(p, k.feedback_divisor);
        const __m128 r0 = _mm_sub_ps(_mm_add_ps(st.y, st.y), st.y_previous);
        const __m128 r1 = feedback_pass(k, r0, linear);
        const __m128 take_above = _mm_cmpge_ps(above, k.one);
        const __m128 take_below = _mm_andnot_ps(take_above, _mm_cmple_ps(below, k.minus_one));
        const int above_bits = _mm_movemask_ps(take_above) & kChannelBits;
        const int below_bits = _mm_movemask_ps(take_below) & kChannelBits;
        __m128 y, q;
        if (__builtin_expect((above_bits | below_bits) == 0, 1)) {
            // Every lane solves the feedback.  For an r1 inside -1 .. 1 the
            // second pass needs no clamp, and its cube is the one the stages
            // use for q = r1.
            const __m128 r1_cubed = cube(r1);
            const __m128 r2 = _mm_add_ps(_mm_mul_ps(r1_cubed, k.cubic_factor), linear);
            const __m128 inside = _mm_cmple_ps(_mm_and_ps(r1, k.magnitude_bits), k.one);
            const int usual_bits = _mm_movemask_ps(_mm_and_ps(inside, same_bits(r2, r1))) & kChannelBits;
            if (__builtin_expect(usual_bits == kChannelBits, 1)) return advance<Poles>(st, k, u, r1, r1, r1_cubed);
            y = clamp_unit(k, solve_rest(k, linear, r1, feedback_pass(k, r1, linear), _mm_setzero_ps()));
            q = y;  // clamp(y) of a clamped y
        } else if (above_bits == kChannelBits) {
            y = above;
            q = k.one;  // clamp(y) of a y >= 1
        } else if (below_bits == kChannelBits) {
            y = below;
            q = k.minus_one;  // clamp(y) of a y <= -1
        } else {
            const __m128 settled = _mm_or_ps(take_above, take_below);
            const __m128 solved =
                clamp_unit(k, solve_rest(k, linear, r1, feedback_pass(k, r1, linear), settled));
            y = select(take_above, above, select(take_below, below, solved));
            q = select(take_above, k.one, select(take_below, k.minus_one, solved));
        }
        return advance<Poles>(st, k, u, y, q, cube(q));
    }

    static __m128 load_lanes(const float (&values)[2]) { return _mm_setr_ps(values[0], values[1], 0.0f, 0.0f); }

    static void store_lanes(__m128 lanes, float (&values)[2]) {
        alignas(16) float stored[4];
        _mm_store_ps(stored, lanes);
        values[0] = stored[0];
        values[1] = stored[1];
    }

    template <bool Oversampled, int Poles>
    void run_stereo(const int16_t* in, int16_t* out, size_t frames) {
        LaneState st;
        const LaneConstants k = lane_constants();
        for (int i = 0; i < 4; ++i) {
            st.s[i] = _mm_setr_ps(stage_state[0][i], stage_state[1][i], 0.0f, 0.0f);
            st.t[i] = _mm_mul_ps(k.one_minus_g, st.s[i]);
        }
        st.y = load_lanes(feedback_output);
        st.y_previous = load_lanes(previous_feedback_output);
        __m128 previous = load_lanes(previous_input);
        for (size_t i = 0; i < frames; ++i) {
            const __m128 h = _mm_mul_ps(
                _mm_setr_ps(static_cast<float>(in[2 * i]), static_cast<float>(in[2 * i + 1]), 0.0f, 0.0f),
                _mm_set1_ps(kFromS16));
            __m128 y;
            if constexpr (Oversampled) {
                const __m128 half = _mm_set1_ps(0.5f);
                const __m128 y1 = step_lanes<Poles>(st, k, _mm_mul_ps(_mm_mul_ps(_mm_add_ps(h, previous), half), k.drive));
                const __m128 y2 = step_lanes<Poles>(st, k, _mm_mul_ps(h, k.drive));
                y = _mm_mul_ps(_mm_mul_ps(_mm_add_ps(y1, y2), half), k.output_gain);
            } else {
                y = _mm_mul_ps(step_lanes<Poles>(st, k, _mm_mul_ps(h, k.drive)), k.output_gain);
            }
            const __m128 value =
                _mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_sub_ps(y, h), k.mix), h), _mm_set1_ps(kToS16));
            previous = h;
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, value);
            out[2 * i] = s16(lanes[0]);
            out[2 * i + 1] = s16(lanes[1]);
        }
        alignas(16) float lanes[4];
        for (int i = 0; i < 4; ++i) {
            _mm_store_ps(lanes, st.s[i]);
            stage_state[0][i] = lanes[0];
            stage_state[1][i] = lanes[1];
        }
        store_lanes(st.y, feedback_output);
        store_lanes(st.y_previous, previous_feedback_output);
        store_lanes(previous, previous_input);
    }
#endif

    // The run is bound by the latency of its dependency chain; on processors
    // with AVX-512VL it runs in a build that can hold all of its running state
    // and constants in registers.  The stereo lanes take the selected stage
    // as Poles, so that its four outputs stay in registers; the scalar step
    // (Poles 0) reads the setting.
    template <int Channels, bool Oversampled, int Poles>
    static void run_block(LadderKernel* kernel, const int16_t* in, int16_t* out, size_t frames) {
#if defined(__SSE2__)
        if constexpr (Poles > 0) return kernel->run_stereo<Oversampled, Poles>(in, out, frames);
#endif
        kernel->run<Channels, Oversampled>(in, out, frames);
    }

    template <int Channels, bool Oversampled>
    void run_poles(const int16_t* in, int16_t* out, size_t frames) {
#if defined(__SSE2__)
        if constexpr (Channels == 2) {
            switch (poles) {
                case 1: return run_kernel_registers<run_block<2, Oversampled, 1>>(this, in, out, frames);
                case 2: return run_kernel_registers<run_block<2, Oversampled, 2>>(this, in, out, frames);
                case 3: return run_kernel_registers<run_block<2, Oversampled, 3>>(this, in, out, frames);
                default: return run_kernel_registers<run_block<2, Oversampled, 4>>(this, in, out, frames);
            }
        }
#endif
        run_kernel_registers<run_block<Channels, Oversampled, 0>>(this, in, out, frames);
    }

    void process(const int16_t* in, int16_t* out, size_t frames) {
        const bool twice = oversample == 2;
        if (channel_count == 2) {
            twice ? run_poles<2, true>(in, out, frames) : run_poles<2, false>(in, out, frames);
        } else {
            twice ? run_poles<1, true>(in, out, frames) : run_poles<1, false>(in, out, frames);
        }
    }
};

}  // namespace divavova
