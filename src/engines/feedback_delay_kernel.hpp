// Mono or stereo feedback delay on s16 audio: a ring of s16 frames read by a
// fractionally interpolated tap, slewed delay changes, wow from a sine
// oscillator or a caller's wave shape, ping-pong routing, one-pole filters and
// a cubic saturation in the feedback path, wet-level modulation and a two-tap
// crossfading pitch shifter.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "module/convert.hpp"
#include "module/configured.hpp"
#include "module/dispatch.hpp"
#include "module/lanes.hpp"
#include "module/memory.hpp"

namespace divavova {

// The ids of configure.
enum class FeedbackDelayOption : uint32_t {
    delay_ms,
    feedback,
    mix,
    lowpass_hz,
    highpass_hz,
    wow_rate_hz,
    wow_depth_ms,
    cross_feedback,
    saturation,
    input_routing,
    delay_slew,
    level_modulation,
    pitch_semitones,
    pitch_window_ms,
};

struct FeedbackDelayKernel {
    uint32_t sample_rate;
    uint32_t channel_count;
    uint32_t ring_frames;  // L, at least 2
    float target_delay_frames;
    float feedback;
    float mix;
    float low_pass_coefficient;
    float high_pass_coefficient;
    SineOscillator wow_oscillator;  // k, sine s and cosine v
    float wow_depth_frames;
    float cross_feedback;
    float saturation;
    float input_matrix[4];  // left->left, right->right, right->left, left->right
    float low_pass_hz;
    float high_pass_hz;
    float wow_rate_hz;
    const unsigned char* wow_shape;  // native-endian i16 samples, any alignment; null when none
    int32_t wow_shape_bits;
    uint32_t wow_phase_step;
    float delay_slew_frames;
    float level_modulation;
    float pitch_semitones;
    float pitch_window_ms;
    float pitch_window_frames;
    int32_t pitch_phase_step;
    int16_t* ring;  // two halves of ring_frames samples each
    uint32_t write_position;
    float low_pass_state[2];
    float high_pass_state[2];
    uint32_t wow_shape_phase;
    uint32_t pitch_phase;
    float running_delay_frames;  // negative: not yet set

    static constexpr const char* kUnknownOption = "unknown feedback delay option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;

    // max(2, low 32 bits of trunc(rate * max_delay_ms / 1000)); the low bits
    // are taken exactly for any finite product, and an infinite one has none.
    static uint32_t ring_frames_for(uint32_t rate, double max_delay_ms) {
        const double frames = std::trunc((static_cast<double>(rate) * max_delay_ms) / 1000.0);
        double low = std::fmod(frames, 4294967296.0);
        if (!(low == low)) low = 0.0;
        if (low < 0.0) low += 4294967296.0;
        const uint32_t length = static_cast<uint32_t>(low);
        return length < 2 ? 2 : length;
    }

    // A fresh record with its own zeroed ring; ring is null when the
    // allocation failed.
    static FeedbackDelayKernel make(uint32_t rate, double max_delay_ms, uint32_t channels) {
        FeedbackDelayKernel k{};
        k.sample_rate = rate;
        k.channel_count = channels;
        k.ring_frames = ring_frames_for(rate, max_delay_ms);
        k.ring = engine_alloc<int16_t>(2 * static_cast<size_t>(k.ring_frames));
        const float rate_f = static_cast<float>(rate);
        k.target_delay_frames = k.bound_delay(((static_cast<float>(max_delay_ms) * 0.5f) * rate_f) / 1000.0f);
        k.feedback = 0.4f;
        k.mix = 0.3f;
        k.wow_oscillator.restart();
        k.input_matrix[0] = 1.0f;
        k.input_matrix[1] = channels == 2 ? 1.0f : 0.0f;
        k.pitch_window_ms = 25.0f;
        k.pitch_window_frames = k.window_frames(25.0f);
        k.running_delay_frames = -1.0f;
        return k;
    }

    bool initialised() const { return channel_count != 0 && ring != nullptr; }
    size_t frame_bytes() const { return 2u * channel_count; }
    void free_memory() { engine_release(ring); }

    // 1 below one frame, else at most L - 2 frames.  NaN passes through and
    // is caught where the delay becomes an index.
    float bound_delay(float frames) const {
        const float longest = static_cast<float>(ring_frames - 2);
        return frames < 1.0f ? 1.0f : (longest < frames ? longest : frames);
    }

    float window_frames(float window_ms) const {
        const float quarter_ring = 0.25f * static_cast<float>(ring_frames);
        const float from_time = (static_cast<float>(sample_rate) * window_ms) / 1000.0f;
        const float shorter = from_time < quarter_ring ? from_time : quarter_ring;
        return shorter < 16.0f ? 16.0f : shorter;
    }

    static uint32_t phase_step(float rate_hz, uint32_t sample_rate) {
        if (!(rate_hz > 0.0f) || sample_rate == 0) return 0;
        const float r = rate_hz / static_cast<float>(sample_rate);
        const float x = (r - floorf(r)) * 4294967296.0f;
        if (x <= 0.0f || x >= 4294967296.0f) return 0;
        return float_to<uint32_t>(x);
    }

    int32_t pitch_step() const {
        if (pitch_semitones == 0.0f || pitch_window_frames < 1.0f) return 0;
        const float x =
            ((1.0f - powf(2.0f, pitch_semitones * 0.083333336f)) / pitch_window_frames) * 4294967296.0f;
        return float_to<int32_t>(x);  // saturates at +-2^31, NaN gives 0
    }

    void set_wow_rate() {
        wow_oscillator.k = wow_rate_hz <= 0.0f ? 0.0f : SineOscillator::coefficient(wow_rate_hz, sample_rate);
        wow_phase_step = phase_step(wow_rate_hz, sample_rate);
    }

    void set_pitch_window() {
        pitch_window_frames = window_frames(pitch_window_ms);
        pitch_phase_step = pitch_step();
    }

    Configured configure(uint32_t option, double value_in) {
        const float value = static_cast<float>(value_in);
        const float rate_f = static_cast<float>(sample_rate);
        switch (static_cast<FeedbackDelayOption>(option)) {
            case FeedbackDelayOption::delay_ms:
                target_delay_frames = bound_delay((rate_f * value) / 1000.0f);
                break;
            case FeedbackDelayOption::feedback:
                feedback = clamp(value, 0.0f, 0.99f);
                break;
            case FeedbackDelayOption::mix:
                mix = clamp(value, 0.0f, 2.0f);
                break;
            case FeedbackDelayOption::lowpass_hz:
                low_pass_hz = value;
                low_pass_coefficient = one_pole(value, sample_rate);
                break;
            case FeedbackDelayOption::highpass_hz:
                high_pass_hz = value;
                high_pass_coefficient = one_pole(value, sample_rate);
                break;
            case FeedbackDelayOption::wow_rate_hz:
                wow_rate_hz = value;
                set_wow_rate();
                break;
            case FeedbackDelayOption::wow_depth_ms:
                wow_depth_frames = (rate_f * clamp(value, 0.0f, 1000.0f)) / 1000.0f;
                break;
            case FeedbackDelayOption::cross_feedback:
                cross_feedback = clamp(value, 0.0f, 1.0f);
                break;
            case FeedbackDelayOption::saturation:
                saturation = clamp(value, 0.0f, 1.0f);
                break;
            case FeedbackDelayOption::input_routing: {
                const float s = clamp(value, -1.0f, 1.0f);
                const float p = s > 0.0f ? s : 0.0f;
                const float n = -s > 0.0f ? -s : 0.0f;
                input_matrix[0] = (1.0f - n / 2.0f) - p;
                input_matrix[1] = (1.0f - p / 2.0f) - n;
                input_matrix[2] = n / 2.0f;
                input_matrix[3] = p / 2.0f;
                break;
            }
            case FeedbackDelayOption::delay_slew:
                delay_slew_frames = clamp(value, 0.0f, 64.0f);
                break;
            case FeedbackDelayOption::level_modulation:
                level_modulation = clamp(value, 0.0f, 1.0f);
                break;
            case FeedbackDelayOption::pitch_semitones:
                pitch_semitones = clamp(value, -24.0f, 24.0f);
                pitch_phase_step = pitch_step();
                break;
            case FeedbackDelayOption::pitch_window_ms:
                pitch_window_ms = clamp(value, 1.0f, 250.0f);
                set_pitch_window();
                break;
            default:
                return Configured::unknown_option;
        }
        return Configured::ok;
    }

    void finish() {
        low_pass_coefficient = one_pole(low_pass_hz, sample_rate);
        high_pass_coefficient = one_pole(high_pass_hz, sample_rate);
        set_wow_rate();
        pitch_semitones = clamp(pitch_semitones, -24.0f, 24.0f);
        set_pitch_window();
    }

    void reset() {
        std::memset(ring, 0, 2 * static_cast<size_t>(ring_frames) * sizeof(int16_t));
        write_position = 0;
        low_pass_state[0] = low_pass_state[1] = 0.0f;
        high_pass_state[0] = high_pass_state[1] = 0.0f;
        wow_oscillator.restart();
        wow_shape_phase = 0;
        pitch_phase = 0;
        running_delay_frames = -1.0f;
    }

    // Installs a wave shape of 2^bits samples (bits 1 .. 12), or none.
    void set_wow_shape(const unsigned char* samples, int32_t bits) {
        wow_shape = samples;
        wow_shape_bits = samples ? bits : 0;
    }

    // A read position of the ring: the near index, the one before it and the
    // fraction between them.  Every delay value, including NaN and infinities,
    // gives indices inside the ring.
    struct Tap {
        uint32_t near;
        uint32_t far;
        float fraction;
    };

    struct TapOffset {
        uint32_t back;  // whole frames behind the write position, reduced into the ring
        float fraction;
    };

    TapOffset offset_of(float delay_frames) const {
        const float x = bound_delay(delay_frames);
        // x is NaN or within [0, 2^32] here, so the 64-bit truncation is exact.
        const uint64_t whole = static_cast<uint64_t>(static_cast<int64_t>(x == x ? x : 0.0f));
        const float fraction = x - static_cast<float>(whole);
        const uint32_t back = static_cast<uint32_t>(whole < ring_frames ? whole : whole % ring_frames);
        return {back, fraction};
    }

    Tap tap_at(TapOffset offset, uint32_t write) const {
        const uint32_t back = offset.back;
        const uint32_t near = write >= back ? write - back : write + (ring_frames - back);
        const uint32_t far = near == 0 ? ring_frames - 1 : near - 1;
        return {near, far, offset.fraction};
    }

    Tap tap_at(float delay_frames, uint32_t write) const { return tap_at(offset_of(delay_frames), write); }

    static float read_tap(const int16_t* half, const Tap& tap) {
        const float a = static_cast<float>(half[tap.near]);
        const float b = static_cast<float>(half[tap.far]);
        return interpolated(a, b, tap.fraction);
    }

    // Advances the wow shape phase and returns the interpolated shape value in -1 .. 1.
    float wow_shape_value(uint32_t& phase) const {
        const int32_t bits = wow_shape_bits;
        phase += wow_phase_step;
        const uint32_t i = phase >> (32 - bits);
        const uint32_t next = (i + 1) & ((uint32_t{1} << bits) - 1);
        const float f = static_cast<float>(static_cast<uint32_t>(phase << bits)) * 0x1p-32f;
        const float a = static_cast<float>(load<int16_t>(wow_shape + 2 * static_cast<size_t>(i)));
        const float b = static_cast<float>(load<int16_t>(wow_shape + 2 * static_cast<size_t>(next)));
        return interpolated(a, b, f) * kFromS16;
    }

    // The cubic soft saturation of a delayed sample.
    static float saturated(float y, float sat) {
        const float u = clamp(y * kFromS16, -1.0f, 1.0f);
        return (u - (((sat * u) * u) * u) / 3.0f) * kToS16;
    }

    // What channel j writes into its half of the ring: the routed input
    // plus the cross-mixed delayed signal times the feedback.
    static int16_t fed_back(const float* x, const float* wet, int j, const float* own, const float* other, float cross,
                            float fb) {
        const int o = 1 - j;
        return s16((x[j] * own[j] + x[o] * other[j]) + ((1.0f - cross) * wet[j] + cross * wet[o]) * fb);
    }

    // Steady: the tap stays at the running delay for the whole block (no
    // pitch taps, no wow depth, no slewing, and a finite oscillator, so that
    // m x 0 + running is exactly the running delay).
    template <int Channels, bool Pitch, bool Steady>
    void run(const int16_t* in, int16_t* out, size_t frames, DryWet<float> levels) {
        const uint32_t length = ring_frames;
        const float slew = delay_slew_frames;
        const float target = target_delay_frames;
        const float depth = wow_depth_frames;
        const float window = pitch_window_frames;
        const float lp = low_pass_coefficient, hp = high_pass_coefficient, sat = saturation;
        const float lm = level_modulation, fb = feedback, cross = cross_feedback;
        const float own[2] = {input_matrix[0], input_matrix[1]};
        const float other[2] = {input_matrix[2], input_matrix[3]};
        float running = running_delay_frames;
        uint32_t write = write_position;
        const TapOffset steady = offset_of(running);
        // The running history lives in locals for the loop (the ring stores
        // would otherwise force it through memory every frame).
        SineOscillator osc = wow_oscillator;
        uint32_t shape_phase = wow_shape_phase, pitch = pitch_phase;
        float lp_state[2] = {low_pass_state[0], low_pass_state[1]};
        float hp_state[2] = {high_pass_state[0], high_pass_state[1]};
        for (size_t i = 0; i < frames; ++i) {
            const float s = osc.step();
            Tap tap_a, tap_b;
            float weight_a = 1.0f;
            if constexpr (Steady) {
                tap_a = tap_at(steady, write);
                tap_b = tap_a;
            } else {
                const float m = wow_shape ? wow_shape_value(shape_phase) : s;
                if (slew > 0.0f) {
                    const float difference = target - running;
                    if (difference > slew)
                        running = running + slew;
                    else if (difference < -slew)
                        running = running - slew;
                    else
                        running = target;
                }
                const float base = m * depth + running;
                if constexpr (Pitch) {
                    pitch += static_cast<uint32_t>(pitch_phase_step);
                    const float phase_a = static_cast<float>(pitch) * 0x1p-32f;
                    const float phase_b = static_cast<float>(pitch + 0x80000000u) * 0x1p-32f;
                    tap_a = tap_at(base + phase_a * window, write);
                    tap_b = tap_at(base + phase_b * window, write);
                    const float twice = 2.0f * phase_a;
                    weight_a = twice <= 1.0f ? twice : 2.0f - twice;
                } else {
                    tap_a = tap_at(base, write);
                    tap_b = tap_a;
                }
            }
            float wet[2] = {0.0f, 0.0f};
            for (int j = 0; j < Channels; ++j) {
                const int16_t* half = ring + static_cast<size_t>(j) * length;
                float y;
                if constexpr (Pitch) {
                    y = read_tap(half, tap_a) * weight_a + read_tap(half, tap_b) * (1.0f - weight_a);
                } else {
                    y = read_tap(half, tap_a);
                }
                if (lp > 0.0f) {
                    lp_state[j] = one_pole_step(lp_state[j], y, lp);
                    y = lp_state[j];
                }
                if (hp > 0.0f) {
                    hp_state[j] = one_pole_step(hp_state[j], y, hp);
                    y = y - hp_state[j];
                }
                if (sat > 0.0f) y = saturated(y, sat);
                wet[j] = y;
            }
            const float gain = lm > 0.0f ? levels.wet * (1.0f - ((1.0f - s) * lm) / 2.0f) : levels.wet;
            float x[2] = {0.0f, 0.0f};
            for (int j = 0; j < Channels; ++j) x[j] = static_cast<float>(in[i * Channels + j]);
            for (int j = 0; j < Channels; ++j) {
                ring[static_cast<size_t>(j) * length + write] = fed_back(x, wet, j, own, other, cross, fb);
                out[i * Channels + j] = s16(wet[j] * gain + x[j] * levels.dry);
            }
            write = write + 1 == length ? 0 : write + 1;
        }
        running_delay_frames = running;
        wow_oscillator = osc;
        wow_shape_phase = shape_phase;
        pitch_phase = pitch;
        for (int j = 0; j < Channels; ++j) {
            low_pass_state[j] = lp_state[j];
            high_pass_state[j] = hp_state[j];
        }
        write_position = write;
    }

    // Whether the sine oscillator stands still: with k = 0 every step adds
    // and subtracts zeros, which leaves finite values other than -0 exactly
    // as they are.
    bool oscillator_stands_still() const {
        const SineOscillator& osc = wow_oscillator;
        return osc.k == 0.0f && std::isfinite(osc.s) && std::isfinite(osc.v) && !(osc.s == 0.0f && std::signbit(osc.s)) &&
               !(osc.v == 0.0f && std::signbit(osc.v));
    }

    // The constants of a steady run.
    struct SteadyMix {
        float fraction;
        float gain;
        float dry;
        float own[2];
        float other[2];
        float cross;
        float feedback;
        float saturation;
    };

    // L::count frames of a steady run (Lanes<1>: one), each lane doing the
    // scalar operations of its frame: those of read_tap, saturated, fed_back
    // and the output, in their order.
    template <class L, int Channels, bool Saturate>
    static void steady_frames(const int16_t* in, int16_t* out, const int16_t* near_cells, const int16_t* near_other,
                              int16_t* write_cells, int16_t* write_other, const SteadyMix& mix) {
        using F = typename L::F;
        F wet[2] = {L::splat(0.0f), L::splat(0.0f)};
        for (int j = 0; j < Channels; ++j) {
            const int16_t* near = j == 0 ? near_cells : near_other;
            const F a = L::load(near);
            const F b = L::load(near - 1);  // the far cell, the one before the tap
            F y = interpolated(a, b, L::splat(mix.fraction));
            if constexpr (Saturate) {
                F u = y * kFromS16;
                u = L::pick(u < L::splat(-1.0f), L::splat(-1.0f), L::pick(L::splat(1.0f) < u, L::splat(1.0f), u));
                y = (u - (((mix.saturation * u) * u) * u) / 3.0f) * kToS16;
            }
            wet[j] = y;
        }
        F x[2] = {L::splat(0.0f), L::splat(0.0f)};
        F x_own[Channels];
        L::template load_frames<Channels>(in, x_own);
        for (int j = 0; j < Channels; ++j) x[j] = x_own[j];
        F outs[Channels];
        for (int j = 0; j < Channels; ++j) {
            const int o = 1 - j;
            const F fed = (x[j] * mix.own[j] + x[o] * mix.other[j]) +
                          ((1.0f - mix.cross) * wet[j] + mix.cross * wet[o]) * mix.feedback;
            L::store(j == 0 ? write_cells : write_other, L::rounded_s16(fed));
            outs[j] = wet[j] * mix.gain + x[j] * mix.dry;
        }
        L::template store_rounded_frames<Channels>(out, outs);
    }

    // Runs of frames of a steady delay with no filters in the feedback path
    // and a standing oscillator: every frame of a run reads the cells next to
    // the previous frame's, so a run needs no tap, wrap or oscillator
    // arithmetic per frame.  A run ends where the write head, the tap or the
    // cell before the tap wraps round the ring, and before the cells it reads
    // and the cells it writes meet: then the frames of a run are independent
    // of each other and run eight at a time side by side in lanes.
    template <int Channels, bool Saturate>
    static void steady_run(const int16_t* in, int16_t* out, size_t n, const int16_t* near_cells,
                           const int16_t* near_other, int16_t* write_cells, int16_t* write_other, SteadyMix mix) {
        size_t k = 0;
        for (; k + 8 <= n; k += 8)
            steady_frames<Lanes<8>, Channels, Saturate>(in + k * Channels, out + k * Channels, near_cells + k,
                                                        near_other + k, write_cells + k, write_other + k, mix);
        for (; k < n; ++k)
            steady_frames<Lanes<1>, Channels, Saturate>(in + k * Channels, out + k * Channels, near_cells + k,
                                                        near_other + k, write_cells + k, write_other + k, mix);
    }

    template <int Channels>
    void run_steady(const int16_t* in, int16_t* out, size_t frames, DryWet<float> levels) {
        const uint32_t length = ring_frames;
        const TapOffset offset = offset_of(running_delay_frames);
        const float s = wow_oscillator.s;  // what every step returns
        const float lm = level_modulation;
        SteadyMix mix{};
        mix.fraction = offset.fraction;
        mix.gain = lm > 0.0f ? levels.wet * (1.0f - ((1.0f - s) * lm) / 2.0f) : levels.wet;
        mix.dry = levels.dry;
        for (int j = 0; j < 2; ++j) {
            mix.own[j] = input_matrix[j];
            mix.other[j] = input_matrix[2 + j];
        }
        mix.cross = cross_feedback;
        mix.feedback = feedback;
        mix.saturation = saturation;
        auto body = saturation > 0.0f ? run_kernel<steady_run<Channels, true>, const int16_t*, int16_t*, size_t,
                                                   const int16_t*, const int16_t*, int16_t*, int16_t*, SteadyMix>
                                      : run_kernel<steady_run<Channels, false>, const int16_t*, int16_t*, size_t,
                                                   const int16_t*, const int16_t*, int16_t*, int16_t*, SteadyMix>;
        size_t i = 0;
        while (i < frames) {
            const uint32_t write = write_position;
            const Tap tap = tap_at(offset, write);
            size_t n = frames - i;
            n = std::min<size_t>(n, length - write);
            n = std::min<size_t>(n, length - tap.near);
            // Reads cover tap.near - 1 .. tap.near + n - 1, writes write .. write + n - 1:
            // they must not meet.
            n = std::min<size_t>(n, tap.near < write ? offset.back : tap.near - 1 - write);
            // The cell before the tap is the ring's last, or the tap reads the
            // cell after the write position (a delay of L - 1 frames): one
            // frame the plain way.
            if (tap.near == 0 || n == 0) {
                run<Channels, false, true>(in + i * Channels, out + i * Channels, 1, levels);
                ++i;
                continue;
            }
            body(in + i * Channels, out + i * Channels, n, ring + tap.near, ring + length + tap.near, ring + write,
                 ring + length + write, mix);
            i += n;
            write_position = write + n == length ? 0 : static_cast<uint32_t>(write + n);
        }
    }

    void process(const int16_t* in, int16_t* out, size_t frames) {
        const DryWet<float> levels = dry_wet(mix);
        const bool pitch = pitch_semitones != 0.0f;
        if (!(delay_slew_frames > 0.0f) || running_delay_frames < 0.0f) running_delay_frames = target_delay_frames;
        const SineOscillator& osc = wow_oscillator;
        const bool steady = !pitch && wow_depth_frames == 0.0f &&
                            (!(delay_slew_frames > 0.0f) || running_delay_frames == target_delay_frames) &&
                            std::isfinite(osc.k) && std::isfinite(osc.s) && std::isfinite(osc.v);
        if (steady) {
            // The wow shape phase still advances by one step per frame.
            if (wow_shape) wow_shape_phase += static_cast<uint32_t>(wow_phase_step * static_cast<uint64_t>(frames));
            if (!(low_pass_coefficient > 0.0f) && !(high_pass_coefficient > 0.0f) && oscillator_stands_still() &&
                offset_of(running_delay_frames).back != 0) {
                channel_count == 2 ? run_steady<2>(in, out, frames, levels) : run_steady<1>(in, out, frames, levels);
            } else {
                channel_count == 2 ? run<2, false, true>(in, out, frames, levels)
                                   : run<1, false, true>(in, out, frames, levels);
            }
        } else if (pitch) {
            channel_count == 2 ? run<2, true, false>(in, out, frames, levels)
                               : run<1, true, false>(in, out, frames, levels);
        } else {
            channel_count == 2 ? run<2, false, false>(in, out, frames, levels)
                               : run<1, false, false>(in, out, frames, levels);
        }
    }
};

}  // namespace divavova
