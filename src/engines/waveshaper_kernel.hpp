// Static-curve waveshaper with optional backlash hysteresis, run at 1..16
// times the sample rate through cascaded 2x polyphase IIR half-band stages.
//
// Samples are in full-scale units (s16 * 2^-15).  Each half-band stage has two
// branches of two first-order all-pass sections,
//     y[n] = a (x[n] - y[n-1]) + x[n-1],
// branch A (kA0, kA1) giving the even output and branch B (kB0, kB1) the odd
// one when interpolating; decimating averages A(even) with the previous B(odd).
//
// The two branches of a stage and the two channels are computed side by side
// as four float lanes; each lane does exactly the scalar operations.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engines/waveshaper_plain.hpp"
#include "module/configured.hpp"
#include "module/convert.hpp"
#include "module/memory.hpp"

namespace divavova {

struct WaveshaperKernel {
    static constexpr const char* kUnknownOption = "unknown waveshaper option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;
    static constexpr uint32_t kMaxOversample = 16;
    static constexpr uint32_t kMaxStages = 4;
    static constexpr uint32_t kBlockValues = 9;  // per channel and stage

    static constexpr float kA0 = 0.090357624f;
    static constexpr float kA1 = 0.57940537f;
    static constexpr float kB0 = 0.3127017f;
    static constexpr float kB1 = 0.85168785f;

    uint32_t sample_rate;    // stored only
    uint32_t channel_count;  // 0 only before the first initialisation
    uint32_t oversample;
    uint32_t stages;  // log2(oversample)
    const int16_t* curve;  // active curve or nullptr
    uint32_t curve_points;
    float drive;
    float bias;
    float output_gain;
    float mix;
    float hysteresis_amount;
    float hysteresis_width;
    float hysteresis_asymmetry;
    float upper_gap;
    float lower_gap;
    // Per channel and stage: previous input and output of each of the four
    // sections (A0, A1, B0, B1), and for the decimator the last B output.
    float interpolator[2][kMaxStages][kBlockValues];
    float decimator[2][kMaxStages][kBlockValues];
    float hysteresis[2];
    int16_t* curve_copy;  // owned; survives re-initialisation

    bool initialised() const { return channel_count != 0; }

    // Oversample factors are powers of two from 1 to kMaxOversample.
    static bool valid_oversample(uint32_t factor) {
        return factor >= 1 && factor <= kMaxOversample && (factor & (factor - 1)) == 0;
    }

    // Construction values; the curve copy is the caller's to carry over.
    static WaveshaperKernel start(uint32_t rate, uint32_t factor, uint32_t channels) {
        WaveshaperKernel k{};
        k.sample_rate = rate;
        k.channel_count = channels;
        k.oversample = factor;
        while ((1u << k.stages) < factor) ++k.stages;
        k.drive = 1.0f;
        k.output_gain = 1.0f;
        k.mix = 1.0f;
        k.hysteresis_width = 0.02f;
        return k;
    }

    // Makes `points` (owned, n >= 2 points) the active curve, freeing the old copy.
    void install_curve(int16_t* points, uint32_t n) {
        engine_free(curve_copy);
        curve_copy = points;
        curve = points;
        curve_points = n;
    }

    void free_memory() {
        engine_release(curve_copy);
        curve = nullptr;
        curve_points = 0;
    }

    // Stores one option.
    Configured configure(uint32_t option, double value_in) {
        float v = static_cast<float>(value_in);
        switch (option) {
            case 0: drive = clamp(v, -1000.0f, 1000.0f); break;
            case 1: bias = clamp(v, -1.0f, 1.0f); break;
            case 2: output_gain = clamp(v, -1000.0f, 1000.0f); break;
            case 3: mix = clamp(v, 0.0f, 1.0f); break;
            case 4: hysteresis_amount = clamp(v, 0.0f, 1.0f); break;
            case 5: hysteresis_width = clamp(v, 0.0f, 0.5f); break;
            case 6: hysteresis_asymmetry = clamp(v, -1.0f, 1.0f); break;
            default: return Configured::unknown_option;
        }
        return Configured::ok;
    }

    void finish() {
        float g = (hysteresis_width * hysteresis_amount) * std::fabs(drive);
        if (g > 1.0f) g = 1.0f;
        upper_gap = (hysteresis_asymmetry + 1.0f) * g;
        lower_gap = (1.0f - hysteresis_asymmetry) * g;
    }

    void reset() {
        for (auto& channel : interpolator)
            for (auto& block : channel)
                for (float& value : block) value = 0.0f;
        for (auto& channel : decimator)
            for (auto& block : channel)
                for (float& value : block) value = 0.0f;
        hysteresis[0] = hysteresis[1] = 0.0f;
    }

    size_t frame_bytes() const { return 2 * static_cast<size_t>(channel_count); }

    void process(const int16_t* in, int16_t* out, size_t frames) {
        if (channel_count == 2)
            run<2>(in, out, frames);
        else
            run<1>(in, out, frames);
    }

private:
    // Four float lanes {A left, B left, A right, B right}: the two branches of
    // a half-band stage for both channels.  Each lane does exactly the scalar
    // operations, so the results are those of the scalar filters.
    typedef float Lanes __attribute__((vector_size(16)));
    typedef int32_t LaneMask __attribute__((vector_size(16)));

    template <int I0, int I1, int I2, int I3>
    static Lanes pick(Lanes a) {
#if defined(__clang__)
        return __builtin_shufflevector(a, a, I0, I1, I2, I3);
#else
        return __builtin_shuffle(a, LaneMask{I0, I1, I2, I3});
#endif
    }
    // Lanes of a then b, numbered 0..3 and 4..7.
    template <int I0, int I1, int I2, int I3>
    static Lanes pick(Lanes a, Lanes b) {
#if defined(__clang__)
        return __builtin_shufflevector(a, b, I0, I1, I2, I3);
#else
        return __builtin_shuffle(a, b, LaneMask{I0, I1, I2, I3});
#endif
    }
    static Lanes splat(float v) { return Lanes{v, v, v, v}; }

    // Two all-pass sections per branch, y = a (x - y1) + x1, for all lanes.
    struct Cascade {
        Lanes x0, y0, x1, y1;
        Lanes step(Lanes x) {
            const Lanes first = {kA0, kB0, kA0, kB0};
            const Lanes second = {kA1, kB1, kA1, kB1};
            Lanes t = first * (x - y0) + x1_of(x0, x);
            y0 = t;
            Lanes u = second * (t - y1) + x1_of(x1, t);
            y1 = u;
            return u;
        }
        // The previous input of a section, replaced by the new one.
        static Lanes x1_of(Lanes& previous, Lanes x) {
            Lanes old = previous;
            previous = x;
            return old;
        }
    };

    // A filter block's values in its storage order A0, A1, B0, B1 (input,
    // output each), channel 0 in lanes 0-1, channel 1 in lanes 2-3.
    static Cascade load(const float* left, const float* right) {
        return {Lanes{left[0], left[4], right[0], right[4]}, Lanes{left[1], left[5], right[1], right[5]},
                Lanes{left[2], left[6], right[2], right[6]}, Lanes{left[3], left[7], right[3], right[7]}};
    }
    static void store(const Cascade& c, float* block, int lane) {
        block[0] = c.x0[lane], block[4] = c.x0[lane + 1];
        block[1] = c.y0[lane], block[5] = c.y0[lane + 1];
        block[2] = c.x1[lane], block[6] = c.x1[lane + 1];
        block[3] = c.y1[lane], block[7] = c.y1[lane + 1];
    }

    // The curve at u (already within -1 .. 1, or NaN).
    float lookup(float u) const {
        const float span = static_cast<float>(curve_points - 1);
        float p = ((u + 1.0f) * 0.5f) * span;
        // A NaN drive or bias reaches here as a NaN p: float_to gives segment
        // 0 for it, and the bound keeps every index inside the curve.
        uint32_t segment = float_to<uint32_t>(p);
        if (segment > curve_points - 2) segment = curve_points - 2;
        float lo = static_cast<float>(curve[segment]) / 32768.0f;
        float hi = static_cast<float>(curve[segment + 1]) / 32768.0f;
        return lo + (hi - lo) * (p - static_cast<float>(segment));
    }

    bool has_curve() const { return curve != nullptr && curve_points >= 2; }

    // What the vector lanes read (meaningful for curves of up to
    // waveshaper_plain::kMaxPoints points).
    waveshaper_plain::Settings plain_settings() const {
        return {drive, bias, output_gain, mix, static_cast<float>(curve_points - 1), has_curve() ? curve : nullptr,
                static_cast<int32_t>(curve_points) - 2};
    }

    // One value through hysteresis (when on), the clip and the curve.
    float shape(float u, float& h) const {
        if (hysteresis_amount > 0.0f) {
            if (u > upper_gap + h)
                h = u - upper_gap;
            else if (u < h - lower_gap)
                h = u + lower_gap;
            u = h;
        }
        u = clamp(u, -1.0f, 1.0f);
        return has_curve() ? lookup(u) : u;
    }

    // Hysteresis for one value per channel (lanes 0-1 left, 2-3 right).
    Lanes backlash(Lanes u, Lanes& h) const {
        const Lanes up = splat(upper_gap), down = splat(lower_gap);
        Lanes rising = u - up, falling = u + down;
        LaneMask above = u > up + h;
        LaneMask below = u < h - down;
        h = above ? rising : (below ? falling : h);
        return h;
    }

    // Shapes the next two values of each channel, q = {L0, L1, R0, R1}, in order.
    template <int Channels>
    Lanes shape_pair(Lanes q, Lanes& h, bool backlash_on, bool curve_on) const {
        if (backlash_on) {
            Lanes first = backlash(pick<0, 0, 2, 2>(q), h);
            Lanes second = backlash(pick<1, 1, 3, 3>(q), h);
            q = pick<0, 5, 2, 7>(first, second);
        }
        const Lanes lo = splat(-1.0f), hi = splat(1.0f);
        q = q < lo ? lo : (hi < q ? hi : q);
        if (curve_on) {
            for (int lane = 0; lane < 2 * Channels; ++lane) q[lane] = lookup(q[lane]);
        }
        return q;
    }

    float output(float r, int16_t x) const {
        float dry = static_cast<float>(x);
        return ((r * output_gain) * 32768.0f) * mix + dry * (1.0f - mix);
    }

    template <int Channels>
    void run_plain(const int16_t* in, int16_t* out, size_t frames) {
        size_t done_frames = 0;
        if (!(hysteresis_amount > 0.0f) && (!has_curve() || curve_points <= waveshaper_plain::kMaxPoints)) {
            // Without the backlash the samples are independent: the lanes take
            // whole groups of them, the frames left over go below.
            done_frames = waveshaper_plain::run(plain_settings(), in, out, Channels * frames) / Channels;
        }
        for (size_t f = done_frames; f < frames; ++f) {
            for (int c = 0; c < Channels; ++c) {
                int16_t x = in[Channels * f + c];
                float v = (static_cast<float>(x) * drive) * 3.0517578125e-05f + bias;
                out[Channels * f + c] = s16(output(shape(v, hysteresis[c]), x));
            }
        }
    }

    // Interpolates n pairs {L0, L1, R0, R1} into 2n pairs, values in order.
    static void interpolate(float* block_left, float* block_right, const Lanes* in, Lanes* out, size_t n) {
        Cascade c = load(block_left, block_right);
        for (size_t j = 0; j < n; ++j) {
            out[2 * j] = c.step(pick<0, 0, 2, 2>(in[j]));
            out[2 * j + 1] = c.step(pick<1, 1, 3, 3>(in[j]));
        }
        store(c, block_left, 0);
        store(c, block_right, 2);
    }

    // Decimates n pairs {e, o} per channel into n values per channel: lanes 0
    // and 2 of half[j] (the other lanes are not used).
    static void decimate(float* block_left, float* block_right, const Lanes* in, Lanes* half, size_t n) {
        Cascade c = load(block_left, block_right);
        Lanes previous_b = {block_left[8], 0.0f, block_right[8], 0.0f};
        for (size_t j = 0; j < n; ++j) {
            Lanes w = c.step(in[j]);
            half[j] = (w + previous_b) * 0.5f;
            previous_b = pick<1, 1, 3, 3>(w);
        }
        store(c, block_left, 0);
        store(c, block_right, 2);
        block_left[8] = previous_b[0];
        block_right[8] = previous_b[2];
    }

    // Two consecutive stages in one loop: the second takes the first's values
    // as they come out, so the two recurrences (independent of each other
    // but for that data) run side by side instead of one after the other.
    // Each filter block still sees its inputs in order.
    //
    // Up: stage a interpolates n inputs (frames splatted over both branches
    // when a is stage 0, else pairs), stage b the values a gives.
    template <bool FirstTakesFrames>
    static void interpolate_two(float* a_left, float* a_right, float* b_left, float* b_right, const Lanes* in,
                                Lanes* out, size_t n) {
        Cascade a = load(a_left, a_right);
        Cascade b = load(b_left, b_right);
        for (size_t j = 0; j < n; ++j) {
            if (FirstTakesFrames) {
                const Lanes pair = a.step(in[j]);
                out[2 * j] = b.step(pick<0, 0, 2, 2>(pair));
                out[2 * j + 1] = b.step(pick<1, 1, 3, 3>(pair));
            } else {
                const Lanes first = a.step(pick<0, 0, 2, 2>(in[j]));
                const Lanes second = a.step(pick<1, 1, 3, 3>(in[j]));
                out[4 * j] = b.step(pick<0, 0, 2, 2>(first));
                out[4 * j + 1] = b.step(pick<1, 1, 3, 3>(first));
                out[4 * j + 2] = b.step(pick<0, 0, 2, 2>(second));
                out[4 * j + 3] = b.step(pick<1, 1, 3, 3>(second));
            }
        }
        store(a, a_left, 0);
        store(a, a_right, 2);
        store(b, b_left, 0);
        store(b, b_right, 2);
    }

    // Down: stage a decimates 2n pairs into n pairs, stage b those into n
    // values per channel (lanes 0 and 2 of half[j]).
    static void decimate_two(float* a_left, float* a_right, float* b_left, float* b_right, const Lanes* in,
                             Lanes* half, size_t n) {
        Cascade a = load(a_left, a_right);
        Cascade b = load(b_left, b_right);
        Lanes previous_a = {a_left[8], 0.0f, a_right[8], 0.0f};
        Lanes previous_b = {b_left[8], 0.0f, b_right[8], 0.0f};
        for (size_t j = 0; j < n; ++j) {
            const Lanes w0 = a.step(in[2 * j]);
            const Lanes h0 = (w0 + previous_a) * 0.5f;
            const Lanes w1 = a.step(in[2 * j + 1]);
            previous_a = pick<1, 1, 3, 3>(w0);
            const Lanes h1 = (w1 + previous_a) * 0.5f;
            previous_a = pick<1, 1, 3, 3>(w1);
            const Lanes w = b.step(pick<0, 4, 2, 6>(h0, h1));
            half[j] = (w + previous_b) * 0.5f;
            previous_b = pick<1, 1, 3, 3>(w);
        }
        store(a, a_left, 0);
        store(a, a_right, 2);
        store(b, b_left, 0);
        store(b, b_right, 2);
        a_left[8] = previous_a[0];
        a_right[8] = previous_a[2];
        b_left[8] = previous_b[0];
        b_right[8] = previous_b[2];
    }

    // The block goes through the cascade stage by stage, a chunk of frames
    // at a time: every filter block still sees its inputs in order, so this is
    // the same as taking each frame through all stages.  A mono stream runs
    // its one channel in both halves of the lanes, against a scratch copy of
    // its state for the right half.
    template <int Channels>
    void run_oversampled(const int16_t* in, int16_t* out, size_t frames) {
        constexpr size_t kChunkFrames = 64;
        constexpr size_t kTopPairs = kChunkFrames * (kMaxOversample / 2);
        Lanes work[2][kTopPairs];
        float scratch_interpolator[kMaxStages][kBlockValues];
        float scratch_decimator[kMaxStages][kBlockValues];
        float (*right_interpolator)[kBlockValues] = Channels == 2 ? interpolator[1] : scratch_interpolator;
        float (*right_decimator)[kBlockValues] = Channels == 2 ? decimator[1] : scratch_decimator;
        const bool backlash_on = hysteresis_amount > 0.0f;
        const bool curve_on = has_curve();
        const bool lanes_shape = !backlash_on && (!curve_on || curve_points <= waveshaper_plain::kMaxPoints);
        const waveshaper_plain::Settings shape_settings = plain_settings();
        for (size_t start = 0; start < frames; start += kChunkFrames) {
            const size_t count = frames - start < kChunkFrames ? frames - start : kChunkFrames;
            const int16_t* src = in + Channels * start;
            Lanes* q = work[0];
            Lanes* next = work[1];
            if (Channels == 1) {
                std::memcpy(scratch_interpolator, interpolator[0], sizeof scratch_interpolator);
                std::memcpy(scratch_decimator, decimator[0], sizeof scratch_decimator);
            }
            for (size_t f = 0; f < count; ++f) {
                float vl = (static_cast<float>(src[Channels * f]) * drive) * 3.0517578125e-05f + bias;
                float vr = Channels == 2 ? (static_cast<float>(src[Channels * f + 1]) * drive) * 3.0517578125e-05f + bias : vl;
                next[f] = Lanes{vl, vl, vr, vr};
            }
            // Stage 0 takes one value per channel: both branches see it.
            // Stages go two at a time where there are two.
            size_t n = count;
            uint32_t k = 0;
            if (stages >= 2) {
                interpolate_two<true>(interpolator[0][0], right_interpolator[0], interpolator[0][1],
                                      right_interpolator[1], next, q, n);
                n *= 2;
                k = 2;
            } else {
                Cascade c = load(interpolator[0][0], right_interpolator[0]);
                for (size_t f = 0; f < count; ++f) q[f] = c.step(next[f]);
                store(c, interpolator[0][0], 0);
                store(c, right_interpolator[0], 2);
                k = 1;
            }
            for (; k < stages;) {
                if (k + 1 < stages) {
                    interpolate_two<false>(interpolator[0][k], right_interpolator[k], interpolator[0][k + 1],
                                           right_interpolator[k + 1], q, next, n);
                    n *= 4;
                    k += 2;
                } else {
                    interpolate(interpolator[0][k], right_interpolator[k], q, next, n);
                    n *= 2;
                    k += 1;
                }
                Lanes* t = q;
                q = next;
                next = t;
            }
            if (lanes_shape) {
                // Without the backlash every value is shaped on its own.
                float* values = reinterpret_cast<float*>(q);
                const size_t done = waveshaper_plain::shape(shape_settings, values, 4 * n);
                for (size_t v = done; v < 4 * n; ++v) values[v] = shape(values[v], hysteresis[0]);
            } else {
                Lanes h = {hysteresis[0], hysteresis[0], hysteresis[Channels - 1], hysteresis[Channels - 1]};
                for (size_t j = 0; j < n; ++j) q[j] = shape_pair<Channels>(q[j], h, backlash_on, curve_on);
                hysteresis[0] = h[0];
                if (Channels == 2) hysteresis[1] = h[2];
            }
            // Down again, two stages at a time from the top; the last
            // stage's values end in next[f] (lanes 0 and 2).
            for (uint32_t top = stages; top > 0;) {
                if (top >= 2) {
                    decimate_two(decimator[0][top - 1], right_decimator[top - 1], decimator[0][top - 2],
                                 right_decimator[top - 2], q, next, n / 2);
                    n /= 2;
                    top -= 2;
                } else {
                    decimate(decimator[0][0], right_decimator[0], q, next, n);
                    top = 0;
                }
                if (top == 0) break;
                n /= 2;
                for (size_t j = 0; j < n; ++j) q[j] = pick<0, 4, 2, 6>(next[2 * j], next[2 * j + 1]);
            }
            int16_t* dest = out + Channels * start;
            for (size_t f = 0; f < count; ++f) {
                dest[Channels * f] = s16(output(next[f][0], src[Channels * f]));
                if (Channels == 2) dest[Channels * f + 1] = s16(output(next[f][2], src[Channels * f + 1]));
            }
        }
    }

    template <int Channels>
    void run(const int16_t* in, int16_t* out, size_t frames) {
        switch (stages) {
            case 0: run_plain<Channels>(in, out, frames); break;
            default: run_oversampled<Channels>(in, out, frames); break;
        }
    }
};

}  // namespace divavova
