// Static-curve waveshaper with optional backlash hysteresis, run at 1..16
// times the sample rate through cascaded 2x polyphase IIR half-band stages.
//
// Samples are in full-scale units (s16 * 2^-15).  Each half-band stage has two
// branches of two first-order all-pass sections,
//     y[n] = a (x[n] - y[n-1]) + x[n-1],
// branch A (kA0, kA1) giving the even output and branch B (kB0, kB1) the odd
// one when interpolating; decimating averages A(even) with the previous B(odd).
//
// The block is worked through stage by stage over chunks of a channel's
// samples rather than frame by frame: every filter block still sees its own
// inputs in the same order, and the channels share nothing, so the results are
// the same.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "module/convert.hpp"
#include "module/memory.hpp"

namespace divavova {

struct WaveshaperKernel {
    static constexpr const char* kUnknownOption = "unknown waveshaper option";
    static constexpr const char* kWholeFrames = "input must be whole 16-bit frames for the configured channel count";
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

    // Stores one option; false for an unknown id.
    bool set_option(uint32_t option, double value_in) {
        float v = static_cast<float>(value_in);
        switch (option) {
            case 0: drive = clamp(v, -1000.0f, 1000.0f); break;
            case 1: bias = clamp(v, -1.0f, 1.0f); break;
            case 2: output_gain = clamp(v, -1000.0f, 1000.0f); break;
            case 3: mix = clamp(v, 0.0f, 1.0f); break;
            case 4: hysteresis_amount = clamp(v, 0.0f, 1.0f); break;
            case 5: hysteresis_width = clamp(v, 0.0f, 0.5f); break;
            case 6: hysteresis_asymmetry = clamp(v, -1.0f, 1.0f); break;
            default: return false;
        }
        return true;
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
    static constexpr size_t kChunk = 256;  // input samples per channel per pass

    struct Section {
        float x1, y1;
        float step(float a, float x) {
            float y = a * (x - y1) + x1;
            x1 = x;
            y1 = y;
            return y;
        }
    };

    // Each value v becomes A(v), B(v).
    static void interpolate(float* block, const float* in, float* out, size_t count) {
        Section a0{block[0], block[1]}, a1{block[2], block[3]}, b0{block[4], block[5]}, b1{block[6], block[7]};
        for (size_t i = 0; i < count; ++i) {
            float v = in[i];
            out[2 * i] = a1.step(kA1, a0.step(kA0, v));
            out[2 * i + 1] = b1.step(kB1, b0.step(kB0, v));
        }
        block[0] = a0.x1, block[1] = a0.y1, block[2] = a1.x1, block[3] = a1.y1;
        block[4] = b0.x1, block[5] = b0.y1, block[6] = b1.x1, block[7] = b1.y1;
    }

    // Each pair (e, o) becomes (A(e) + previous B(o)) / 2; out may alias in.
    static void decimate(float* block, const float* in, float* out, size_t count) {
        Section a0{block[0], block[1]}, a1{block[2], block[3]}, b0{block[4], block[5]}, b1{block[6], block[7]};
        float previous_b = block[8];
        for (size_t i = 0; i < count; ++i) {
            float e = in[2 * i];
            float o = in[2 * i + 1];
            float a = a1.step(kA1, a0.step(kA0, e));
            out[i] = (a + previous_b) * 0.5f;
            previous_b = b1.step(kB1, b0.step(kB0, o));
        }
        block[0] = a0.x1, block[1] = a0.y1, block[2] = a1.x1, block[3] = a1.y1;
        block[4] = b0.x1, block[5] = b0.y1, block[6] = b1.x1, block[7] = b1.y1;
        block[8] = previous_b;
    }

    // Hysteresis (when on), the clip to -1 .. 1 and the curve, value by value.
    void shape(float* values, size_t count, float& h) const {
        if (hysteresis_amount > 0.0f) {
            const float up = upper_gap, down = lower_gap;
            for (size_t i = 0; i < count; ++i) {
                float u = values[i];
                if (u > up + h)
                    h = u - up;
                else if (u < h - down)
                    h = u + down;
                values[i] = h;
            }
        }
        for (size_t i = 0; i < count; ++i) values[i] = clamp(values[i], -1.0f, 1.0f);
        if (curve != nullptr && curve_points >= 2) {
            const uint32_t last_segment = curve_points - 2;
            const float span = static_cast<float>(curve_points - 1);
            for (size_t i = 0; i < count; ++i) {
                float p = ((values[i] + 1.0f) * 0.5f) * span;
                // A NaN drive or bias reaches here as a NaN p: float_to gives
                // segment 0 for it, and the bound keeps every index inside.
                uint32_t segment = float_to<uint32_t>(p);
                if (segment > last_segment) segment = last_segment;
                float lo = static_cast<float>(curve[segment]) / 32768.0f;
                float hi = static_cast<float>(curve[segment + 1]) / 32768.0f;
                values[i] = lo + (hi - lo) * (p - static_cast<float>(segment));
            }
        }
    }

    template <int Channels>
    void run(const int16_t* in, int16_t* out, size_t frames) {
        float work_a[kChunk * kMaxOversample];
        float work_b[kChunk * kMaxOversample];
        const float dry = 1.0f - mix;
        for (size_t start = 0; start < frames; start += kChunk) {
            const size_t count = frames - start < kChunk ? frames - start : kChunk;
            for (int c = 0; c < Channels; ++c) {
                const int16_t* src = in + Channels * start + c;
                int16_t* dest = out + Channels * start + c;
                for (size_t i = 0; i < count; ++i)
                    work_a[i] = (static_cast<float>(src[Channels * i]) * drive) * 3.0517578125e-05f + bias;
                float* cur = work_a;
                float* next = work_b;
                size_t n = count;
                for (uint32_t k = 0; k < stages; ++k) {
                    interpolate(interpolator[c][k], cur, next, n);
                    n *= 2;
                    float* t = cur;
                    cur = next;
                    next = t;
                }
                shape(cur, n, hysteresis[c]);
                for (uint32_t k = 0; k < stages; ++k) {
                    n /= 2;
                    decimate(decimator[c][stages - 1 - k], cur, cur, n);
                }
                for (size_t i = 0; i < count; ++i) {
                    float x = static_cast<float>(src[Channels * i]);
                    dest[Channels * i] = s16(((cur[i] * output_gain) * 32768.0f) * mix + x * dry);
                }
            }
        }
    }
};

}  // namespace divavova
