// Static-curve waveshaper with optional backlash hysteresis, run at 1..16
// times the sample rate through cascaded 2x polyphase IIR half-band stages.
//
// Samples are in full-scale units (s16 * 2^-15).  Each half-band stage has two
// branches of two first-order all-pass sections,
//     y[n] = a (x[n] - y[n-1]) + x[n-1],
// branch A (kA0, kA1) giving the even output and branch B (kB0, kB1) the odd
// one when interpolating; decimating averages A(even) with the previous B(odd).
//
// The oversampled path runs all stages in one pipelined loop, filters side by
// side in vector lanes (waveshaper_oversampled.cpp); each lane does exactly
// the scalar operations.
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

// The ids of configure.
enum class WaveshaperOption : uint32_t {
    drive,
    bias,
    output_gain,
    mix,
    hysteresis_amount,
    hysteresis_width,
    hysteresis_asymmetry,
};

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
        switch (static_cast<WaveshaperOption>(option)) {
            case WaveshaperOption::drive: drive = clamp(v, -1000.0f, 1000.0f); break;
            case WaveshaperOption::bias: bias = clamp(v, -1.0f, 1.0f); break;
            case WaveshaperOption::output_gain: output_gain = clamp(v, -1000.0f, 1000.0f); break;
            case WaveshaperOption::mix: mix = clamp(v, 0.0f, 1.0f); break;
            case WaveshaperOption::hysteresis_amount: hysteresis_amount = clamp(v, 0.0f, 1.0f); break;
            case WaveshaperOption::hysteresis_width: hysteresis_width = clamp(v, 0.0f, 0.5f); break;
            case WaveshaperOption::hysteresis_asymmetry: hysteresis_asymmetry = clamp(v, -1.0f, 1.0f); break;
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
    friend struct WaveshaperPipeline;

    // The oversampled path (waveshaper_oversampled.cpp), any channel count.
    void run_oversampled(const int16_t* in, int16_t* out, size_t frames);

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

    template <int Channels>
    void run(const int16_t* in, int16_t* out, size_t frames) {
        switch (stages) {
            case 0: run_plain<Channels>(in, out, frames); break;
            default: run_oversampled(in, out, frames); break;
        }
    }
};

}  // namespace divavova
