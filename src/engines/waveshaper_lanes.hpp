// The waveshaper's lane helpers and stage pipeline (see waveshaper_avx2.cpp),
// included by each file that builds them for an instruction set, inside that
// file's target region: every includer gets its own copy, in an anonymous
// namespace, compiled for its instructions.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "engines/waveshaper_kernel.hpp"
#include "module/lanes.hpp"

namespace divavova {

// The outputs of `count` samples from their shaped values, and the scaled
// inputs of `count` samples, a batch at a time (waveshaper_avx2.cpp).
void store_outputs(const WaveshaperKernel& kernel, const float* shaped, const int16_t* in, int16_t* out,
                   size_t count);
void scale_samples(const WaveshaperKernel& kernel, const int16_t* in, float* scaled, size_t count);

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

// ---------------------------------------------------------------------------
// The lanes of a stage vector (see the table at the top): each 128-bit part
// holds one channel.  The shuffles below stay inside the parts, so the same
// lane numbers serve the stereo AVX register and the mono SSE one.

// Lanes {a[I0], a[I1], b[I2], b[I3]} of every part.
template <int I0, int I1, int I2, int I3>
Float8 parts_shuffle(Float8 a, Float8 b) {
    return _mm256_shuffle_ps(a, b, _MM_SHUFFLE(I3, I2, I1, I0));
}
template <int I0, int I1, int I2, int I3>
Float4 parts_shuffle(Float4 a, Float4 b) {
    return _mm_shuffle_ps(a, b, _MM_SHUFFLE(I3, I2, I1, I0));
}

// Two decimated values, from three consecutive outputs of a stage's
// cascade: (A(even) + B(previous)) / 2 in lanes 0 and 1 of every part, and
// (A(odd) + B(even)) / 2 in lanes 2 and 3.
template <class V>
V decimated_pair(V previous, V even, V odd) {
    return (parts_shuffle<2, 2, 2, 2>(even, odd) + parts_shuffle<3, 3, 3, 3>(previous, even)) * 0.5f;
}

template <int Channels, int Stages>
class StagePipeline {
    using V = std::conditional_t<Channels == 2, Float8, Float4>;
    using Mask = typename LanesOf<V>::I;
    static constexpr int kTop = Stages - 1;
    // Vectors of one frame's top-rate values: four values of every channel
    // to a vector (the two of a single stage in one).
    static constexpr int kTopVectors = Stages >= 2 ? 1 << (Stages - 2) : 1;
    static constexpr int kTopSteps = 1 << kTop;
    // Vectors of the stages below the top: stage k's 2^k interpolator
    // outputs, or the 2^(k-1) pairs that decimator stage k >= 1 hands down.
    static constexpr int kLowerVectors = Stages >= 2 ? (1 << kTop) - 1 : 1;
    static constexpr int rising_at(int k) { return (1 << k) - 1; }
    static constexpr int pairs_at(int k) { return (1 << (k - 1)) - 1; }
    // Iterations between the one that hands values on and the one that
    // takes them.  A stage's interpolator and decimator share their vector
    // operations, so the values that leave a stage's interpolator come back
    // to its decimator (through the stages above and the shaping) as a
    // chain of vector operations: with a lag of 1 that chain, 2 iterations
    // long per stage above, bounds the loop at 2 and 4 times oversampling
    // (measured: a lag of 2 runs those 1.3 to 1.4 times faster, 3 and 4 no
    // faster than 2).
    static constexpr size_t kLag = 2;
    // Frames in flight: kLag iterations for every interpolator stage, the
    // shaping and every decimator stage but the last; output frame f comes
    // out of iteration f + kDepth.
    static constexpr size_t kDepth = 2 * Stages * kLag;
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
    // Lane numbers in a channel's part.
    enum : int { kRisingA, kRisingB, kFallingA, kFallingB };
    static constexpr int lane(int channel, int at) { return 4 * channel + at; }

    // One frame's scaled samples, in lane 0 of their channel's part.
    static V input(const float* v) {
        if constexpr (Channels == 2)
            return _mm256_set_m128(_mm_broadcast_ss(v + 1), _mm_broadcast_ss(v));
        else
            return _mm_broadcast_ss(v);
    }

    // Per lane: branch A's coefficient in the A lanes, B's in the B lanes.
    static V coefficients(float a, float b) {
        V v{};
        for (int i = 0; i < 4 * Channels; ++i) v[i] = i % 2 == 0 ? a : b;
        return v;
    }

    // The lanes of the interpolator where it has a frame, and of the decimator.
    static Mask busy_lanes(bool rising, bool falling) {
        Mask m{};
        for (int i = 0; i < 4 * Channels; ++i) m[i] = (i % 4 < kFallingA ? rising : falling) ? -1 : 0;
        return m;
    }

    // One stage's filters, interpolator and decimator side by side.  The
    // decimator's last branch-B output is the second section's output in
    // its B lanes (HalfBandStage::previous_b is always b1's output).
    struct StageLanes {
        V first_input, first_output;  // section 1's previous input and output
        V second_output;              // section 2's (its input is section 1's output)
    };

    // What one iteration hands to the next.
    struct Flow {
        V rising[kLowerVectors];  // interpolator stage k < kTop: its outputs, per step, from rising_at(k)
        V top[kTopVectors];       // the top stage's interpolator outputs, two steps to a vector
        V shaped[kTopVectors];    // those values shaped, in the same lanes
        V pairs[kLowerVectors];   // decimator stage k >= 1: its decimated pairs, from pairs_at(k)
    };

    // Which filters have a frame in an iteration on the pipeline's edges.
    struct Busy {
        bool shaping;
        Mask lanes[Stages];
    };

    void load() {
        for (int k = 0; k < Stages; ++k) {
            StageLanes& lanes = stage_[k];
            lanes = StageLanes{};
            for (int c = 0; c < Channels; ++c)
                for (int at = 0; at < 4; ++at) {
                    const HalfBandStage& block = at < kFallingA ? kernel_.interpolator[c][k] : kernel_.decimator[c][k];
                    const AllPassSection& first = at % 2 == 0 ? block.a0 : block.b0;
                    const AllPassSection& second = at % 2 == 0 ? block.a1 : block.b1;
                    lanes.first_input[lane(c, at)] = first.previous_input;
                    lanes.first_output[lane(c, at)] = first.previous_output;
                    lanes.second_output[lane(c, at)] = second.previous_output;
                }
        }
    }

    void store() const {
        for (int k = 0; k < Stages; ++k) {
            const StageLanes& lanes = stage_[k];
            for (int c = 0; c < Channels; ++c) {
                for (int at = 0; at < 4; ++at) {
                    HalfBandStage& block = at < kFallingA ? kernel_.interpolator[c][k] : kernel_.decimator[c][k];
                    AllPassSection& first = at % 2 == 0 ? block.a0 : block.b0;
                    AllPassSection& second = at % 2 == 0 ? block.a1 : block.b1;
                    first.previous_input = lanes.first_input[lane(c, at)];
                    first.previous_output = second.previous_input = lanes.first_output[lane(c, at)];
                    second.previous_output = lanes.second_output[lane(c, at)];
                }
                kernel_.decimator[c][k].previous_b = lanes.second_output[lane(c, kFallingB)];
            }
        }
    }

    // One step of a stage's two-section cascade in every lane, from its
    // input x; the second section's output comes back.  On the pipeline's
    // edges the filters without a frame keep their state.
    template <bool Edge>
    V cascade(StageLanes& lanes, V x, Mask busy) const {
        const V first = allpass_section(first_coefficient_, x, lanes.first_input, lanes.first_output);
        const V second = allpass_section(second_coefficient_, first, lanes.first_output, lanes.second_output);
        if constexpr (Edge)
            lanes = {busy ? x : lanes.first_input, busy ? first : lanes.first_output,
                     busy ? second : lanes.second_output};
        else
            lanes = {x, first, second};
        return second;
    }

    // Step j of stage k: the interpolator takes the stage below's output (A
    // for even steps, B for odd ones) or the input, the decimator a pair of
    // values from the stage above or the shaping.
    template <int k, int j>
    static V step_input(const Flow& flow, V input) {
        constexpr int branch = j % 2;
        const V rising = k == 0 ? input : flow.rising[rising_at(k > 0 ? k - 1 : 0) + j / 2];
        if constexpr (k == kTop)
            return parts_shuffle<k == 0 ? 0 : branch, k == 0 ? 0 : branch, 2 * branch, 2 * branch + 1>(
                rising, flow.shaped[j / 2]);
        else
            return parts_shuffle<k == 0 ? 0 : branch, k == 0 ? 0 : branch, 0, 2>(
                rising, flow.pairs[pairs_at(k + 1) + j]);
    }

    // Stage k's outputs of an iteration (outputs[0] is the last one of the
    // iteration before) into the next iteration's flow; stage 0's decimated
    // value comes back, in lane kFallingA of every part.
    template <int k>
    static V hand_on(const V* outputs, Flow& next) {
        constexpr int steps = 1 << k;
        if constexpr (k == kTop && k == 0)
            next.top[0] = outputs[1];
        else if constexpr (k == kTop)
            for_each_index<kTopVectors>([&](auto m) {
                next.top[m] = parts_shuffle<kRisingA, kRisingB, kRisingA, kRisingB>(outputs[2 * m + 1], outputs[2 * m + 2]);
            });
        else
            for_each_index<steps>([&](auto j) { next.rising[rising_at(k) + j] = outputs[j + 1]; });
        if constexpr (k == 0) {
            return (outputs[1] + parts_shuffle<kFallingB, kFallingB, kFallingB, kFallingB>(outputs[0], outputs[0])) * 0.5f;
        } else {
            for_each_index<steps / 2>([&](auto i) {
                next.pairs[pairs_at(k) + i] = decimated_pair(outputs[2 * i], outputs[2 * i + 1], outputs[2 * i + 2]);
            });
            return V{};
        }
    }

    // One iteration: every stage's filters take what the iteration before
    // handed on, so no stage waits for another within it, and the top-rate
    // values of the iteration before are shaped meanwhile.  Only the top
    // stage's chain of steps is long: the other work goes between its steps
    // (in program order too, so that the processor's queues hold work that
    // is ready rather than a long chain waiting).  `input` holds the frame's
    // scaled samples; the decimated frame comes back in lane kFallingA of
    // every part.
    template <bool Edge, bool OneByOne>
    V iteration(StageLanes* stage, Flow& flow, V input, const Busy* busy = nullptr) {
        Flow next;
        if constexpr (Stages == 1) next.rising[0] = next.pairs[0] = V{};  // no stage below the top
        V outputs[Stages][kTopSteps + 1];  // per stage: the last output before, then the iteration's
        for_each_index<Stages>([&](auto k) { outputs[k][0] = stage[k].second_output; });
        const auto step = [&](auto k, auto i) {
            outputs[k][i + 1] = cascade<Edge>(stage[k], step_input<k, i>(flow, input), Edge ? busy->lanes[k] : Mask{});
        };
        for_each_index<kTopSteps>([&](auto j) {
            step(std::integral_constant<int, kTop>{}, j);
            constexpr int shape_period = kTopSteps / kTopVectors;
            if constexpr (j % shape_period == 0) {
                constexpr int m = j / shape_period;
                if (Edge && !busy->shaping)
                    next.shaped[m] = flow.shaped[m];
                else if constexpr (OneByOne)
                    next.shaped[m] = shaped_in_order(flow.top[m]);
                else
                    next.shaped[m] = clip_and_curve(settings_, flow.top[m]);
            }
            for_each_index<kTop>([&](auto k) {
                constexpr int period = kTopSteps >> k;
                if constexpr (j % period == period / 2) step(k, std::integral_constant<int, j / period>{});
            });
        });
        V result{};
        for_each_index<Stages>([&](auto k) {
            const V decimated = hand_on<k>(outputs[k], next);
            if constexpr (k == 0) result = decimated;
        });
        flow = next;
        return result;
    }

    // The backlash runs one chain through the values of a channel: they go
    // through WaveshaperKernel::shape one at a time, in order.
    V shaped_in_order(V v) const {
        for (int c = 0; c < Channels; ++c)
            for (int at = 0; at < (Stages == 1 ? 2 : 4); ++at)
                v[lane(c, at)] = kernel_.shape(v[lane(c, at)], kernel_.hysteresis[c]);
        return v;
    }

    // The iterations of output frames first .. end - 1, all with an input
    // frame and every stage busy; scaled holds their inputs.
    void run_steady(size_t first, size_t end, const float* scaled, float* result) {
        if (one_by_one_)
            run_steady<true>(first, end, scaled, result);
        else
            run_steady<false>(first, end, scaled, result);
    }

    template <bool OneByOne>
    void run_steady(size_t first, size_t end, const float* scaled, float* result) {
        // Copies whose addresses never escape, so that they stay in registers
        // (or on the stack, without the member's address arithmetic).  The
        // loop goes two iterations at a time, so that each takes its slot
        // of the flow by name; kDepth is even, so frame f's slot is f % 2.
        static_assert(kLag == 2 && kDepth % 2 == 0);
        StageLanes running[Stages];
        std::copy(stage_, stage_ + Stages, running);
        Flow even = flow_[0], odd = flow_[1];
        const auto one = [&](size_t f, Flow& flow) {
            const V decimated = iteration<false, OneByOne>(running, flow, input(scaled + Channels * (f - first)));
            for (int c = 0; c < Channels; ++c) result[Channels * (f - first) + c] = decimated[lane(c, kFallingA)];
        };
        size_t f = first;
        if (f < end && f % 2 == 1) one(f++, odd);
        for (; f + 2 <= end; f += 2) {
            one(f, even);
            one(f + 1, odd);
        }
        if (f < end) one(f, even);
        std::copy(running, running + Stages, stage_);
        flow_[0] = even;
        flow_[1] = odd;
    }

    // Iteration t with the pipeline partly empty (t < kDepth or t >= frames);
    // its output frame (if any) goes to result.
    void edge(size_t t, const int16_t* in, size_t frames, float* result) {
        float scaled[Channels] = {};
        if (t < frames)
            for (int c = 0; c < Channels; ++c) scaled[c] = kernel_.scaled(in[Channels * t + c]);
        // Frame t - position is at the iteration's stage with that position.
        const auto has_frame = [&](size_t position) { return t >= position && t - position < frames; };
        Busy busy;
        busy.shaping = has_frame(kLag * Stages);
        for (int k = 0; k < Stages; ++k)
            busy.lanes[k] = busy_lanes(has_frame(kLag * k), has_frame(kLag * (2 * Stages - k)));
        Flow& flow = flow_[t % kLag];
        const V decimated = one_by_one_ ? iteration<true, true>(stage_, flow, input(scaled), &busy)
                                        : iteration<true, false>(stage_, flow, input(scaled), &busy);
        if (result)
            for (int c = 0; c < Channels; ++c) result[c] = decimated[lane(c, kFallingA)];
    }

    WaveshaperKernel& kernel_;
    const LaneSettings settings_;
    const bool one_by_one_ = !kernel_.shapes_side_by_side();
    const V first_coefficient_ = coefficients(HalfBandStage::kA0, HalfBandStage::kB0);
    const V second_coefficient_ = coefficients(HalfBandStage::kA1, HalfBandStage::kB1);
    StageLanes stage_[Stages];
    Flow flow_[kLag]{};
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

// The stage pipeline for the kernel's channels and stages.
void run_pipeline_of_kernel(WaveshaperKernel& kernel, const int16_t* in, int16_t* out, size_t frames) {
    if (kernel.channel_count == 2)
        run_pipeline_of_stages<2>(kernel, in, out, frames);
    else
        run_pipeline_of_stages<1>(kernel, in, out, frames);
}

}  // namespace
}  // namespace divavova
