// The waveshaper's AVX2 paths, taken only where the processor has AVX2.  Each
// lane does exactly the plain path's operations on its value, in the same
// order, so the bytes are those of WaveshaperKernel::run_plain.
//
// Sample lanes (no oversampling, no backlash): every output sample is a
// function of its own input alone, so eight samples go side by side.
//
// Stage pipeline (2 to 16 times oversampling): every all-pass section is a
// recurrence (y depends on the previous y through a subtraction, a product
// and a sum), so a section that sees m values per frame costs m chained
// latencies per frame however wide the machine is.  What can overlap is the
// work of different sections.  One loop iteration t does every stage once:
//   - interpolator stage k for frame t (it takes stage k-1's values of the
//     same iteration, or the scaled input for stage 0),
//   - the shaping of frame t's top-rate values,
//   - decimator stage k for frame t - kLag * (s - k), from what decimator
//     stage k+1 (or the shaping, for the top stage) produced kLag iterations
//     earlier.
// The decimator stages of an iteration depend only on earlier iterations, so
// their chains run beside the interpolator's.
//
// Interpolator stage k and decimator stage k both take 2^k steps of the
// two-section cascade per frame, so they share one vector: the interpolator
// in the lower half of the lanes, the decimator in the upper half, each half
// holding {branch A of every channel, branch B of every channel} (A1 is
// branch A of channel 1):
//     stereo (8 lanes)  interpolator A0 A1 B0 B1 | decimator A0 A1 B0 B1
//     mono   (4 lanes)  interpolator A  B        | decimator A  B
//
// With the backlash on (one chain through all values of a channel) the
// top-rate values are shaped one at a time, in order, between the stages.
//
// A call starts with an empty pipeline: in the first kLag * s iterations the
// decimator stages that have no frame yet keep their state, and as many
// iterations after the last frame drain them while the interpolator keeps
// its state.  Every filter therefore sees exactly the call's frames, in
// order, and the state between calls is the plain path's filter state.

// The kernel's helpers written for a value or lanes of values are inlined
// into the loops below, so no vector crosses a call and GCC's note on the
// vector calling convention does not apply.  GCC reports it where the
// instantiations are emitted, so it is off for this file, before any header.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "engines/waveshaper_kernel.hpp"
#include "module/lanes.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace divavova {
namespace {

using L4 = Lanes<4>;
using L8 = Lanes<8>;
using Float4 = L4::F;
using Float8 = L8::F;

// The module's lanes of the width of float lanes Floats.
template <class Floats>
using LanesOf = Lanes<sizeof(Floats) / sizeof(float)>;

// Calls f(integral_constant<0>), .., f(integral_constant<N - 1>), unrolled.
template <int N, class F>
void for_each_index(F&& f) {
    [&]<int... I>(std::integer_sequence<int, I...>) { (f(std::integral_constant<int, I>{}), ...); }(
        std::make_integer_sequence<int, N>{});
}

// ---------------------------------------------------------------------------
// Shaping in lanes

// Points i and i + 1 of the curve in one 32-bit read per lane (i <= points - 2,
// so the read stays inside the curve), point i in the low half.
L4::I gather_point_pairs(const int16_t* curve, L4::I segment) {
    return (L4::I)_mm_i32gather_epi32(reinterpret_cast<const int*>(curve), (__m128i)segment, 2);
}
L8::I gather_point_pairs(const int16_t* curve, L8::I segment) {
    return (L8::I)_mm256_i32gather_epi32(reinterpret_cast<const int*>(curve), (__m256i)segment, 2);
}

// What the lanes read of the curve: its points (nullptr for none), its span
// as a float and its last segment.
struct LaneSettings {
    const int16_t* curve;
    float span;  // points - 1
    int32_t last_segment;  // points - 2

    explicit LaneSettings(const WaveshaperKernel& kernel)
        : curve(kernel.has_curve() ? kernel.curve : nullptr),
          span(static_cast<float>(kernel.curve_points - 1)),
          last_segment(static_cast<int32_t>(kernel.curve_points - 2)) {}
};

// The clip to -1 .. 1 and the curve of every lane, as WaveshaperKernel::shape
// does them without the backlash.  max(-1, min(1, u)) is clamp(u, -1, 1):
// the second operand wins when either is NaN, so a NaN stays NaN.
template <class Floats>
Floats clip_and_curve(const LaneSettings& settings, Floats u) {
    using Signed = typename LanesOf<Floats>::I;
    using Unsigned = typename LanesOf<Floats>::U;
    const Floats lowest = Floats{} - 1.0f, highest = Floats{} + 1.0f;
    if constexpr (sizeof(Floats) == 32)
        u = _mm256_max_ps(lowest, _mm256_min_ps(highest, u));
    else
        u = _mm_max_ps(lowest, _mm_min_ps(highest, u));
    if (!settings.curve) return u;
    const Floats position = ((u + 1.0f) * 0.5f) * settings.span;
    // The position is within 0 .. span, or NaN (segment 0 then, as float_to).
    Signed segment = __builtin_convertvector(position == position ? position : Floats{}, Signed);
    segment = segment > settings.last_segment ? Signed{} + settings.last_segment : segment;
    const Signed pair = gather_point_pairs(settings.curve, segment);
    const Floats lo = __builtin_convertvector((Signed)((Unsigned)pair << 16) >> 16, Floats) * kFromS16;
    const Floats hi = __builtin_convertvector(pair >> 16, Floats) * kFromS16;
    return interpolated(lo, hi, position - __builtin_convertvector(segment, Floats));
}

// Eight shaped values against their dry samples, through
// WaveshaperKernel::output and s16(); the rounded values are within the s16
// range, so the saturating pack stores them unchanged (in two instructions).
void store_output(const WaveshaperKernel& kernel, Float8 shaped, Float8 dry, int16_t* out) {
    const __m256i rounded = (__m256i)L8::rounded_s16(kernel.output(shaped, dry));
    const __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(rounded), _mm256_extracti128_si256(rounded, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
}

// The outputs of `count` samples from their shaped values.
void store_outputs(const WaveshaperKernel& kernel, const float* shaped, const int16_t* in, int16_t* out,
                   size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) store_output(kernel, load<Float8>(shaped + i), L8::load(in + i), out + i);
    for (; i < count; ++i) out[i] = s16(kernel.output(shaped[i], static_cast<float>(in[i])));
}

// The scaled inputs of `count` samples.
void scale_samples(const WaveshaperKernel& kernel, const int16_t* in, float* scaled, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) store(scaled + i, kernel.scaled(L8::load(in + i)));
    for (; i < count; ++i) scaled[i] = kernel.scaled(in[i]);
}

// ---------------------------------------------------------------------------
// The lanes of a stage vector (see the table at the top).  Stereo vectors are
// one AVX register of 8 lanes, mono ones an SSE register of 4.

// Branch A's value of every channel in both branches, half by half.
Float8 branch_a_in_both(Float8 v) { return _mm256_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 1, 0)); }
Float4 branch_a_in_both(Float4 v) { return _mm_moveldup_ps(v); }
// Branch B's value likewise.
Float8 branch_b_in_both(Float8 v) { return _mm256_shuffle_ps(v, v, _MM_SHUFFLE(3, 2, 3, 2)); }
Float4 branch_b_in_both(Float4 v) { return _mm_movehdup_ps(v); }
// The lower half of a, then the lower half of b.
Float8 lower_and_lower(Float8 a, Float8 b) { return _mm256_permute2f128_ps(a, b, 0x20); }
Float4 lower_and_lower(Float4 a, Float4 b) { return _mm_movelh_ps(a, b); }
// The lower half of a, then the upper half of b.
Float8 lower_and_upper(Float8 a, Float8 b) { return _mm256_blend_ps(a, b, 0xF0); }
Float4 lower_and_upper(Float4 a, Float4 b) { return _mm_blend_ps(a, b, 0xC); }
// Per half: the branch-A lanes of a, then those of b in the branch-B lanes.
Float8 branch_a_of_both(Float8 a, Float8 b) { return _mm256_shuffle_ps(a, b, _MM_SHUFFLE(1, 0, 1, 0)); }
Float4 branch_a_of_both(Float4 a, Float4 b) { return _mm_blend_ps(a, _mm_moveldup_ps(b), 0xA); }

template <int Channels, int Stages>
class StagePipeline {
    using V = std::conditional_t<Channels == 2, Float8, Float4>;
    static constexpr int kHalf = 2 * Channels;  // lanes per half
    // Shaped vectors per frame: each holds two steps of the top stage (one
    // for a single stage).
    static constexpr int kShapedVectors = Stages >= 2 ? 1 << (Stages - 2) : 1;
    static constexpr int kTopSteps = 1 << (Stages - 1);
    // Iterations between a stage's values and the decimator stage that
    // takes them.  The decimator half shares its vector operations with the
    // interpolator half, so a short lag would chain the two halves (shaping,
    // or a whole stage, inside one loop-carried path); with this many
    // iterations in between that path is never the slow one.
    static constexpr size_t kLag = 8;
    // Frames in flight: output frame f comes out of iteration f + kDepth.
    static constexpr size_t kDepth = kLag * Stages;
    // Frames per batch: the inputs are scaled, and the outputs rounded, a
    // batch at a time in 8-lane vectors.
    static constexpr size_t kBatch = 64;

public:
    explicit StagePipeline(WaveshaperKernel& kernel) : kernel_(kernel), settings_(kernel) { load(); }

    void process(const int16_t* in, int16_t* out, size_t frames) {
        for (size_t t = 0; t < kDepth; ++t) edge(t, in, frames, nullptr);
        float scaled[Channels * kBatch];
        float result[Channels * kBatch];
        const size_t steady_end = frames > kDepth ? frames - kDepth : 0;
        for (size_t first = 0; first < frames; first += kBatch) {
            const size_t end = frames - first < kBatch ? frames : first + kBatch;
            // Output frames first .. steady - 1 come out of iterations whose
            // input frame exists and whose stages are all busy.
            const size_t steady = end < steady_end ? end : (first < steady_end ? steady_end : first);
            if (steady > first) {
                scale_samples(kernel_, in + Channels * (first + kDepth), scaled, Channels * (steady - first));
                run_steady(first, steady, scaled, result);
            }
            for (size_t f = steady; f < end; ++f) edge(f + kDepth, in, frames, result + Channels * (f - first));
            store_outputs(kernel_, result, in + Channels * first, out + Channels * first, Channels * (end - first));
        }
        store();
    }

private:
    static constexpr int lane(int half, int branch, int channel) { return half * kHalf + branch * Channels + channel; }

    // One frame's scaled samples in both branches of both halves.
    static V input(const float* v) {
        if constexpr (Channels == 2)
            return _mm256_castpd_ps(_mm256_broadcast_sd(reinterpret_cast<const double*>(v)));
        else
            return _mm_broadcast_ss(v);
    }

    // Per lane: branch A's coefficient in the A lanes, B's in the B lanes.
    static V coefficients(float a, float b) {
        V v{};
        for (int i = 0; i < 2 * kHalf; ++i) v[i] = i % kHalf < Channels ? a : b;
        return v;
    }

    // a where the lane's half is on, else b.
    static V select_halves(bool lower_on, bool upper_on, V a, V b) {
        return lower_and_upper(lower_on ? a : b, upper_on ? a : b);
    }

    // One stage's filters, interpolator and decimator side by side.
    struct StageLanes {
        V first_input, first_output;  // section 1's previous input and output
        V second_output;              // section 2's (its input is section 1's output)
        V previous_b;                 // decimator: the last branch-B output, in the A lanes
    };

    // Values on their way to a decimator stage, kLag iterations' worth: the
    // shaped top-rate values (for the top stage), and each lower stage's
    // pairs from the stage above (upper half).
    struct InFlight {
        V shaped[kLag][kShapedVectors];
        V pairs[Stages > 1 ? Stages - 1 : 1][kLag][kShapedVectors];
    };

    void load() {
        for (int k = 0; k < Stages; ++k) {
            StageLanes& lanes = stage_[k];
            lanes = StageLanes{};
            for (int half = 0; half < 2; ++half)
                for (int c = 0; c < Channels; ++c) {
                    const HalfBandStage& block = half == 0 ? kernel_.interpolator[c][k] : kernel_.decimator[c][k];
                    for (int branch = 0; branch < 2; ++branch) {
                        const AllPassSection& first = branch == 0 ? block.a0 : block.b0;
                        const AllPassSection& second = branch == 0 ? block.a1 : block.b1;
                        const int at = lane(half, branch, c);
                        lanes.first_input[at] = first.previous_input;
                        lanes.first_output[at] = first.previous_output;
                        lanes.second_output[at] = second.previous_output;
                    }
                    if (half == 1) lanes.previous_b[lane(1, 0, c)] = block.previous_b;
                }
        }
    }

    void store() const {
        for (int k = 0; k < Stages; ++k) {
            const StageLanes& lanes = stage_[k];
            for (int half = 0; half < 2; ++half)
                for (int c = 0; c < Channels; ++c) {
                    HalfBandStage& block = half == 0 ? kernel_.interpolator[c][k] : kernel_.decimator[c][k];
                    for (int branch = 0; branch < 2; ++branch) {
                        AllPassSection& first = branch == 0 ? block.a0 : block.b0;
                        AllPassSection& second = branch == 0 ? block.a1 : block.b1;
                        const int at = lane(half, branch, c);
                        first.previous_input = lanes.first_input[at];
                        first.previous_output = second.previous_input = lanes.first_output[at];
                        second.previous_output = lanes.second_output[at];
                    }
                    if (half == 1) block.previous_b = lanes.previous_b[lane(1, 0, c)];
                }
        }
    }

    // One step of a stage's two-section cascade in every lane, from its
    // input x: the second section's output comes back, and `decimated` is
    // (that output + the previous B output) / 2.  On the pipeline's edges
    // the halves that are off keep their state.
    template <bool Edge>
    V cascade(StageLanes& lanes, V x, V& decimated, bool lower_on, bool upper_on) const {
        const V first = allpass_section(first_coefficient_, x, lanes.first_input, lanes.first_output);
        const V second = allpass_section(second_coefficient_, first, lanes.first_output, lanes.second_output);
        decimated = (second + lanes.previous_b) * 0.5f;
        const V branch_b = branch_b_in_both(second);
        if constexpr (Edge) {
            lanes.first_input = select_halves(lower_on, upper_on, x, lanes.first_input);
            lanes.first_output = select_halves(lower_on, upper_on, first, lanes.first_output);
            lanes.second_output = select_halves(lower_on, upper_on, second, lanes.second_output);
            lanes.previous_b = select_halves(lower_on, upper_on, branch_b, lanes.previous_b);
        } else {
            lanes = {x, first, second, branch_b};
        }
        return second;
    }

    // One iteration over the stages' filters; `slot` is its number modulo
    // kLag.  `input` holds the frame's scaled samples in every lane.  The
    // decimated value of every channel comes back in the branch-A lanes of
    // the upper half.  On the pipeline's edges `input_on` says whether there
    // is an input frame and `decimating[k]` whether decimator stage k has a
    // frame.
    template <bool Edge>
    V iteration(StageLanes* stage, size_t slot, V input, bool input_on = true, const bool* decimating = nullptr) {
        V upsampled[kTopSteps];  // the latest stage's interpolator outputs, per step
        V result{};
        for_each_index<Stages>([&](auto k) {
            constexpr int steps = 1 << k;
            V rising[steps], falling[steps];
            for_each_index<steps>([&](auto j) {
                V up;
                if constexpr (k == 0)
                    up = input;
                else
                    up = j % 2 == 0 ? branch_a_in_both(upsampled[j / 2]) : branch_b_in_both(upsampled[j / 2]);
                V x;
                if constexpr (k == Stages - 1)
                    x = j % 2 == 0 ? lower_and_lower(up, in_flight_.shaped[slot][j / 2])
                                   : lower_and_upper(up, in_flight_.shaped[slot][j / 2]);
                else
                    x = lower_and_upper(up, in_flight_.pairs[k][slot][j]);
                rising[j] = cascade<Edge>(stage[k], x, falling[j], input_on, Edge && decimating[k]);
            });
            if constexpr (k == 0) {
                result = falling[0];
            } else {
                // Read earlier in this iteration: refill the slot.
                for_each_index<steps / 2>([&](auto j) {
                    in_flight_.pairs[k - 1][slot][j] = branch_a_of_both(falling[2 * j], falling[2 * j + 1]);
                });
            }
            for_each_index<steps>([&](auto j) { upsampled[j] = rising[j]; });
        });
        if (!Edge || input_on) {
            V top[kShapedVectors];  // the top-rate values, two steps to a vector
            for_each_index<kShapedVectors>([&](auto m) {
                if constexpr (Stages == 1)
                    top[m] = upsampled[0];
                else
                    top[m] = lower_and_lower(upsampled[2 * m], upsampled[2 * m + 1]);
            });
            if (one_by_one_)
                for_each_index<kShapedVectors>([&](auto m) { in_flight_.shaped[slot][m] = shaped_in_order(top[m]); });
            else
                for_each_index<kShapedVectors>(
                    [&](auto m) { in_flight_.shaped[slot][m] = clip_and_curve(settings_, top[m]); });
        }
        return result;
    }

    // The backlash runs one chain through the values of a channel: they go
    // through WaveshaperKernel::shape one at a time, in order (per step the
    // A values, then the B values).
    V shaped_in_order(V v) const {
        for (int part = 0; part < (Stages == 1 ? 1 : 2); ++part)
            for (int branch = 0; branch < 2; ++branch)
                for (int c = 0; c < Channels; ++c) {
                    const int at = lane(part, branch, c);
                    v[at] = kernel_.shape(v[at], kernel_.hysteresis[c]);
                }
        return v;
    }

    // The iterations of output frames first .. end - 1, all with an input
    // frame and every stage busy; scaled holds their inputs.
    void run_steady(size_t first, size_t end, const float* scaled, float* result) {
        // A copy whose address never escapes, so that it stays in registers.
        StageLanes running[Stages];
        std::copy(stage_, stage_ + Stages, running);
        for (size_t f = first; f < end; ++f) {
            const V decimated = iteration<false>(running, (f + kDepth) % kLag, input(scaled + Channels * (f - first)));
            for (int c = 0; c < Channels; ++c) result[Channels * (f - first) + c] = decimated[lane(1, 0, c)];
        }
        std::copy(running, running + Stages, stage_);
    }

    // Iteration t with the pipeline partly empty (t < kDepth or t >= frames);
    // its output frame (if any) goes to result.
    void edge(size_t t, const int16_t* in, size_t frames, float* result) {
        const bool input_on = t < frames;
        float scaled[Channels] = {};
        if (input_on)
            for (int c = 0; c < Channels; ++c) scaled[c] = kernel_.scaled(in[Channels * t + c]);
        bool decimating[Stages];
        for (int k = 0; k < Stages; ++k) {
            const size_t lag = kLag * (Stages - k);
            decimating[k] = t >= lag && t - lag < frames;
        }
        const V decimated = iteration<true>(stage_, t % kLag, input(scaled), input_on, decimating);
        if (result)
            for (int c = 0; c < Channels; ++c) result[c] = decimated[lane(1, 0, c)];
    }

    WaveshaperKernel& kernel_;
    const LaneSettings settings_;
    const bool one_by_one_ = !kernel_.shapes_side_by_side();
    const V first_coefficient_ = coefficients(HalfBandStage::kA0, HalfBandStage::kB0);
    const V second_coefficient_ = coefficients(HalfBandStage::kA1, HalfBandStage::kB1);
    StageLanes stage_[Stages];
    InFlight in_flight_{};
};

template <int Channels, int Stages>
__attribute__((flatten)) void run_pipeline(WaveshaperKernel& kernel, const int16_t* in, int16_t* out, size_t frames) {
    StagePipeline<Channels, Stages>(kernel).process(in, out, frames);
}

template <int Channels>
void run_pipeline_of_stages(WaveshaperKernel& kernel, const int16_t* in, int16_t* out, size_t frames) {
    switch (kernel.stages) {
        case 1: run_pipeline<Channels, 1>(kernel, in, out, frames); break;
        case 2: run_pipeline<Channels, 2>(kernel, in, out, frames); break;
        case 3: run_pipeline<Channels, 3>(kernel, in, out, frames); break;
        default: run_pipeline<Channels, 4>(kernel, in, out, frames); break;
    }
}

// ---------------------------------------------------------------------------
// Sample lanes with folded constants
//
// With finite settings the two constant products of the scaling fold into
// one, so do the two of the output, and s16()'s hold drops out:
// - (x drive) 2^-15 == x (drive 2^-15): scaling by a power of two is exact
//   while values stay normal, and |x drive 2^-15| >= 2^-126 for every sample
//   x != 0 once |drive| >= 2^-111 (a drive of 0 gives zeros both ways).
// - (r gain) 32768 and r (gain 32768) can differ only where r gain is
//   subnormal; both are then below 2^-111 in magnitude, which s16() rounds
//   to 0 alone and which vanishes in the sum with the dry term, itself 0 or
//   at least 2^-24 (a sample is at least 1, 1 - mix at least 2^-24).
// - r lies within -1 .. 1 (the clip, or a curve of s16 points), so the output
//   value is finite and below 2^31 in magnitude: its truncation is exact and
//   the saturating pack stores the bounds that s16()'s hold would.
// With mix 1 the dry term is a zero, and adding a zero changes no s16 result.

bool folds_constants(const WaveshaperKernel& kernel) {
    const float drive = std::fabs(kernel.drive);
    return (drive == 0.0f || (drive >= 0x1p-111f && drive <= 1000.0f)) && std::isfinite(kernel.bias) &&
           std::isfinite(kernel.output_gain) && std::isfinite(kernel.mix);
}

// Runs the first samples, 16 at a time, through the folded constants; returns
// how many it ran.
template <bool WetOnly>
size_t run_folded_lanes(const WaveshaperKernel& kernel, const LaneSettings& settings, const int16_t* in,
                        int16_t* out, size_t samples) {
    const Float8 drive = L8::splat(kernel.drive * kFromS16), bias = L8::splat(kernel.bias);
    const Float8 gain = L8::splat(kernel.output_gain * kToS16);
    const Float8 wet = L8::splat(kernel.mix), dry_share = L8::splat(1.0f - kernel.mix);
    const L8::I half = (L8::I)L8::splat(0.5f);
    const auto rounded = [&](const int16_t* samples_in) {
        const Float8 x = L8::load(samples_in);
        Float8 value = clip_and_curve(settings, x * drive + bias) * gain;
        if constexpr (!WetOnly) value = value * wet + x * dry_share;
        // value + copysign(0.5, value), truncated: s16()'s rounding.
        const L8::I sign = (L8::I)value & static_cast<int32_t>(0x80000000u);
        return (__m256i)__builtin_convertvector(value + (Float8)(sign | half), L8::I);
    };
    size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        // The pack interleaves the halves of its two operands; the permute
        // puts the 16 samples back in order.
        const __m256i packed = _mm256_packs_epi32(rounded(in + i), rounded(in + i + 8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    return i;
}

#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl,avx512bw,avx512dq")
// GCC 12's AVX-512 intrinsics start their unmasked forms from an undefined
// vector, which it then reports as maybe used uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

using L16 = Lanes<16>;
using Float16 = L16::F;

// The hard clip (no curve) of run_folded_lanes, 16 samples to a register.
template <bool WetOnly>
size_t run_folded_clip16(const WaveshaperKernel& kernel, const int16_t* in, int16_t* out, size_t samples) {
    const Float16 drive = L16::splat(kernel.drive * kFromS16), bias = L16::splat(kernel.bias);
    const Float16 gain = L16::splat(kernel.output_gain * kToS16);
    const Float16 wet = L16::splat(kernel.mix), dry_share = L16::splat(1.0f - kernel.mix);
    const __m512i half = _mm512_set1_epi32(0x3f000000), sign_bit = _mm512_set1_epi32(INT32_MIN);
    const __m512 lowest = _mm512_set1_ps(-1.0f), highest = _mm512_set1_ps(1.0f);
    size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        const Float16 x = L16::load(in + i);
        Float16 value = (Float16)_mm512_max_ps(lowest, _mm512_min_ps(highest, (__m512)(x * drive + bias))) * gain;
        if constexpr (!WetOnly) value = value * wet + x * dry_share;
        // value's sign bit on 0.5, in one three-input logic operation.
        const Float16 signed_half = (Float16)_mm512_ternarylogic_epi32((__m512i)value, sign_bit, half, 0xEA);
        const __m512i rounded = (__m512i)__builtin_convertvector(value + signed_half, L16::I);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_cvtsepi32_epi16(rounded));
    }
    return i;
}

#pragma GCC diagnostic pop
#pragma GCC pop_options

}  // namespace

void WaveshaperKernel::run_sample_lanes(const int16_t* in, int16_t* out, size_t frames) {
    const LaneSettings settings(*this);
    const size_t samples = channel_count * frames;
    const size_t whole = samples - samples % 8;
    size_t first = 0;
    if (folds_constants(*this) && !settings.curve && cpu_has_avx512bw())
        first = mix == 1.0f ? run_folded_clip16<true>(*this, in, out, samples)
                            : run_folded_clip16<false>(*this, in, out, samples);
    else if (folds_constants(*this))
        first = mix == 1.0f ? run_folded_lanes<true>(*this, settings, in, out, samples)
                            : run_folded_lanes<false>(*this, settings, in, out, samples);
    for (size_t i = first; i < whole; i += 8) {
        const Float8 x = L8::load(in + i);
        store_output(*this, clip_and_curve(settings, scaled(x)), x, out + i);
    }
    run_plain(in + whole, out + whole, (samples - whole) / channel_count);
}

void WaveshaperKernel::run_stage_pipeline(const int16_t* in, int16_t* out, size_t frames) {
    if (channel_count == 2)
        run_pipeline_of_stages<2>(*this, in, out, frames);
    else
        run_pipeline_of_stages<1>(*this, in, out, frames);
}

}  // namespace divavova

#pragma GCC pop_options
