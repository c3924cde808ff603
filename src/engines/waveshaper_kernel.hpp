// Static-curve waveshaper with optional backlash hysteresis, run at 1..16
// times the sample rate through cascaded 2x polyphase IIR half-band stages.
//
// Samples are in full-scale units (s16 * 2^-15).  The plain path below takes
// one sample at a time up through the interpolator stages, shapes the values
// at the top rate and takes them back down through the decimator stages.
// Where the processor has AVX2, faster paths do the same operations in vector
// lanes (waveshaper_avx2.cpp); the tests hold them to the plain path's bytes.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "module/configured.hpp"
#include "module/convert.hpp"
#include "module/dispatch.hpp"
#include "module/memory.hpp"

namespace divavova {

// y[n] = a (x[n] - y[n-1]) + x[n-1], the first-order all-pass section, for
// floats or lanes of floats.
template <class T, class A>
inline T allpass_section(A a, T x, T previous_input, T previous_output) {
    return a * (x - previous_output) + previous_input;
}

// One first-order all-pass section and its state.
struct AllPassSection {
    float previous_input;
    float previous_output;

    float step(float a, float x) {
        const float y = allpass_section(a, x, previous_input, previous_output);
        previous_input = x;
        previous_output = y;
        return y;
    }
};

// One half-band stage of one channel: two branches of two all-pass sections,
// and (decimating only) the last output of branch B.
struct HalfBandStage {
    static constexpr float kA0 = 0.090357624f;
    static constexpr float kA1 = 0.57940537f;
    static constexpr float kB0 = 0.3127017f;
    static constexpr float kB1 = 0.85168785f;

    AllPassSection a0, a1, b0, b1;
    float previous_b;

    float branch_a(float v) { return a1.step(kA1, a0.step(kA0, v)); }
    float branch_b(float v) { return b1.step(kB1, b0.step(kB0, v)); }

    // Interpolating by 2: v becomes A(v), then B(v).
    void interpolate(float v, float* two_values) {
        two_values[0] = branch_a(v);
        two_values[1] = branch_b(v);
    }

    // Decimating by 2: the pair (even, odd) becomes (A(even) + the previous
    // B output) / 2, and B(odd) is kept for the next pair.
    float decimate(float even, float odd) {
        const float value = (branch_a(even) + previous_b) * 0.5f;
        previous_b = branch_b(odd);
        return value;
    }
};
static_assert(sizeof(HalfBandStage) == 9 * sizeof(float));

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
    // A curve of up to kTablePoints points as floats in full-scale units:
    // each segment's first point and its rise to the second, as lookup
    // computes them, and past the last segment its end with no rise.  The
    // vector paths gather from it; it lives in the curve's block, made once
    // when the curve is loaded.
    static constexpr uint32_t kTablePoints = 257;
    struct CurveTable {
        alignas(64) float first[kTablePoints];
        alignas(64) float rise[kTablePoints];
    };
    const CurveTable* curve_table;  // of the active curve, or nullptr
    HalfBandStage interpolator[2][kMaxStages];  // [channel][stage]
    HalfBandStage decimator[2][kMaxStages];     // [channel][stage]
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

    // The int16 cells to allocate for a curve of n points: its points, and
    // for a short curve room for its table, aligned.
    static size_t curve_block_cells(size_t n) {
        return n <= kTablePoints ? n + (sizeof(CurveTable) + alignof(CurveTable)) / sizeof(int16_t) : n;
    }

    // Makes `points` (owned, n >= 2 points, curve_block_cells(n) cells) the
    // active curve, freeing the old copy.
    void install_curve(int16_t* points, uint32_t n) {
        engine_free(curve_copy);
        curve_copy = points;
        curve = points;
        curve_points = n;
        curve_table = n <= kTablePoints ? fill_table(points, n) : nullptr;
    }

    void free_memory() {
        engine_release(curve_copy);
        curve = nullptr;
        curve_table = nullptr;
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
        for (int c = 0; c < 2; ++c) {
            for (uint32_t k = 0; k < kMaxStages; ++k) interpolator[c][k] = decimator[c][k] = HalfBandStage{};
            hysteresis[c] = 0.0f;
        }
    }

    size_t frame_bytes() const { return 2 * static_cast<size_t>(channel_count); }

    enum class Path { plain, sample_lanes, stage_pipeline };

    // The lanes hold curve segments in int32, so the last one must fit.
    static constexpr uint32_t kMaxLanePoints = (1u << 31) + 1;

    // Whether values can be shaped side by side in vector lanes: not with
    // the backlash on (one chain through all values of a channel), nor with
    // a curve too long for the lanes.
    bool shapes_side_by_side() const { return !(hysteresis_amount > 0.0f) && curve_points <= kMaxLanePoints; }

    // The fastest path that gives the plain path's bytes.  The pipeline
    // shapes values one at a time where they cannot go side by side.
    Path choose_path(size_t frames, bool avx2) const {
        if (!avx2) return Path::plain;
        if (stages == 0) return shapes_side_by_side() ? Path::sample_lanes : Path::plain;
        // The pipeline fills and drains 4 iterations per stage in every call:
        // blocks of up to one frame per stage are faster on the plain path
        // at every factor (measured; the break-even point grows with it).
        return frames > stages ? Path::stage_pipeline : Path::plain;
    }

    void process(const int16_t* in, int16_t* out, size_t frames) {
        switch (choose_path(frames, cpu_has_avx2())) {
            case Path::plain: run_plain(in, out, frames); break;
            case Path::sample_lanes: run_sample_lanes(in, out, frames); break;
            case Path::stage_pipeline: run_stage_pipeline(in, out, frames); break;
        }
    }

    // The AVX2 paths (waveshaper_avx2.cpp), for the blocks choose_path gives them.
    void run_sample_lanes(const int16_t* in, int16_t* out, size_t frames);
    void run_stage_pipeline(const int16_t* in, int16_t* out, size_t frames);
    void run_stage_pipeline_avx512(const int16_t* in, int16_t* out, size_t frames);  // the same, with 32 registers

    // The plain path, any settings and block.
    void run_plain(const int16_t* in, int16_t* out, size_t frames) {
        for (size_t f = 0; f < frames; ++f) {
            for (uint32_t c = 0; c < channel_count; ++c) {
                const size_t i = f * channel_count + c;
                out[i] = s16(output(oversampled(scaled(in[i]), c), static_cast<float>(in[i])));
            }
        }
    }

    // One value of channel c up to the top rate, shaped there, and back down.
    // The values of every rate sit in one binary tree: the value at i
    // interpolates into 2i and 2i + 1, which decimate back into i, so rate
    // 2^k holds the indices 2^k .. 2^(k+1) - 1 and the frame's value is at 1.
    float oversampled(float v, uint32_t c) {
        float tree[2 * kMaxOversample];
        tree[1] = v;
        for (uint32_t k = 0; k < stages; ++k)
            for (uint32_t i = 1u << k; i < 2u << k; ++i) interpolator[c][k].interpolate(tree[i], &tree[2 * i]);
        for (uint32_t i = 1u << stages; i < 2u << stages; ++i) tree[i] = shape(tree[i], hysteresis[c]);
        // The first decimation, from the top rate, takes decimator block
        // stages - 1; the last, down to the stream rate, block 0.
        for (uint32_t k = stages; k-- > 0;)
            for (uint32_t i = 1u << k; i < 2u << k; ++i)
                tree[i] = decimator[c][k].decimate(tree[2 * i], tree[2 * i + 1]);
        return tree[1];
    }

    // A sample, or lanes of samples, in full-scale units with drive and bias.
    template <class T>
    T scaled(T x) const {
        return (x * drive) * kFromS16 + bias;
    }
    float scaled(int16_t x) const { return scaled(static_cast<float>(x)); }

    // The shaped value r against the dry sample, before the rounding; for a
    // value or lanes of values.
    template <class T>
    T output(T r, T dry) const {
        return ((r * output_gain) * kToS16) * mix + dry * (1.0f - mix);
    }

    // One value through hysteresis (when on; h is the channel's state), the
    // clip and the curve.
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

    bool has_curve() const { return curve != nullptr && curve_points >= 2; }

    // The table of the n points, in the block behind them.
    static const CurveTable* fill_table(int16_t* points, uint32_t n) {
        const uintptr_t behind = reinterpret_cast<uintptr_t>(points + n);
        const uintptr_t align = alignof(CurveTable);
        CurveTable* table = reinterpret_cast<CurveTable*>((behind + align - 1) / align * align);
        const uint32_t last = n - 2;
        for (uint32_t i = 0; i <= last; ++i) {
            const float lo = static_cast<float>(points[i]) * kFromS16;
            const float hi = static_cast<float>(points[i + 1]) * kFromS16;
            table->first[i] = lo;
            table->rise[i] = hi - lo;
        }
        table->first[last + 1] = table->first[last] + table->rise[last];
        table->rise[last + 1] = 0.0f;
        return table;
    }

    // The curve at u (already within -1 .. 1, or NaN).
    float lookup(float u) const {
        const float span = static_cast<float>(curve_points - 1);
        float p = ((u + 1.0f) * 0.5f) * span;
        // A NaN drive or bias reaches here as a NaN p: float_to gives segment
        // 0 for it, and the bound keeps every index inside the curve.
        uint32_t segment = float_to<uint32_t>(p);
        if (segment > curve_points - 2) segment = curve_points - 2;
        const float lo = static_cast<float>(curve[segment]) * kFromS16;
        const float hi = static_cast<float>(curve[segment + 1]) * kFromS16;
        return interpolated(lo, hi, p - static_cast<float>(segment));
    }

};

}  // namespace divavova
