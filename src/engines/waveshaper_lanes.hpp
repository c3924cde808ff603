// The waveshaper's lane helpers and stage pipeline (see waveshaper_avx2.cpp),
// included by each file that builds them for an instruction set, inside that
// file's target region: every includer gets its own copy, in an anonymous
// namespace, compiled for its instructions.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
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

// What the lanes read of the curve: its points (nullptr for none), half its
// span as a float and its last segment.
struct LaneSettings {
    const int16_t* curve;
    float half_span;       // (points - 1) / 2
    int32_t last_segment;  // points - 2

    explicit LaneSettings(const WaveshaperKernel& kernel)
        : curve(kernel.has_curve() ? kernel.curve : nullptr),
          half_span(static_cast<float>(kernel.curve_points - 1) * 0.5f),
          last_segment(static_cast<int32_t>(kernel.curve_points - 2)) {}
};

// Lanes clamped to -1 .. 1: max(-1, min(1, u)) is clamp(u, -1, 1), since the
// second operand wins when either is NaN, so a NaN stays NaN.
template <class Floats>
Floats clipped(Floats u) {
    const Floats lowest = Floats{} - 1.0f, highest = Floats{} + 1.0f;
    if constexpr (sizeof(Floats) == 32)
        return _mm256_max_ps(lowest, _mm256_min_ps(highest, u));
    else
        return _mm_max_ps(lowest, _mm_min_ps(highest, u));
}

// Where clipped values fall on the curve: the position (u + 1) / 2 x span
// and its segment.  (u + 1) is 0 or at least 2^-24, so halving it is exact
// and (u + 1) x (span / 2) is the same product.  The position is within
// 0 .. span or NaN; the truncation gives INT_MIN for NaN, which the unsigned
// bound turns into the last segment.  float_to gives segment 0 there, but the
// NaN position makes a NaN fraction, and the interpolation then gives that
// NaN whatever the points are.
template <class Floats>
struct CurvePositions {
    using Signed = typename LanesOf<Floats>::I;
    Floats position;
    Signed segment;

    CurvePositions(const LaneSettings& settings, Floats u) : position((u + 1.0f) * settings.half_span) {
        const Signed truncated = __builtin_convertvector(position, Signed);
        const Signed last = Signed{} + settings.last_segment;
        if constexpr (sizeof(Floats) == 32)
            segment = (Signed)_mm256_min_epu32((__m256i)truncated, (__m256i)last);
        else
            segment = (Signed)_mm_min_epu32((__m128i)truncated, (__m128i)last);
    }

    // The curve between the segment's points, given as point x 2^16 in
    // 32-bit lanes (an s16 in the upper half).  The interpolation runs on
    // the points x 2^16 and scales the result by 2^-31 once, which gives the
    // bits of interpolating the points x 2^-15: every value in it is a power
    // of two times the scaled one and stays normal (a nonzero difference of
    // points is at least 2^16, a nonzero fraction at least 2^-25), so each
    // rounding scales with it; the difference of two such points is exact.
    Floats between(Signed first_high, Signed second_high) const {
        return interpolated(__builtin_convertvector(first_high, Floats), __builtin_convertvector(second_high, Floats),
                            fraction()) *
               0x1p-31f;
    }

    // How far into its segment each position lies.
    Floats fraction() const { return position - __builtin_convertvector(segment, Floats); }
};

// The clip to -1 .. 1 and the curve of every lane, as WaveshaperKernel::shape
// does them without the backlash.
template <class Floats>
Floats clip_and_curve(const LaneSettings& settings, Floats u) {
    using Signed = typename LanesOf<Floats>::I;
    using Unsigned = typename LanesOf<Floats>::U;
    u = clipped(u);
    if (!settings.curve) return u;
    const CurvePositions<Floats> at(settings, u);
    const Signed pair = gather_point_pairs(settings.curve, at.segment);
    return at.between((Signed)((Unsigned)pair << 16), pair & (Signed{} + int32_t(0xffff0000u)));
}

// The longest curve whose points the lanes can hold in registers (and
// whose float table the kernel makes).
constexpr uint32_t kMaxHeldCurvePoints = WaveshaperKernel::kTablePoints;

#if defined(WAVESHAPER_LANES_HELD_CURVE)
// A curve of at most 257 points held for 16-bit permutes: the first and the
// second point of each of its (at most 256) segments, 64 segments to a pair
// of registers, so that 32 lanes look their points up without a memory read
// per lane.
struct HeldCurve {
    static constexpr int kSegments = kMaxHeldCurvePoints - 1;
    alignas(64) int16_t first[kSegments];
    alignas(64) int16_t second[kSegments];

    explicit HeldCurve(const LaneSettings& settings) {
        for (int i = 0; i < kSegments; ++i) {
            const bool real = settings.curve && i <= settings.last_segment;
            first[i] = real ? settings.curve[i] : 0;
            second[i] = real ? settings.curve[i + 1] : 0;
        }
    }

    // The table's entries at 32 segments 0 .. 255 (16-bit lanes); bit6 and
    // bit7 are the lanes whose segment has that bit set.
    static __m512i look_up(const int16_t* table, __m512i segment, __mmask32 bit6, __mmask32 bit7) {
        const auto quarter = [&](int q) {
            const __m512i* t = reinterpret_cast<const __m512i*>(table) + 2 * q;
            return _mm512_permutex2var_epi16(_mm512_load_si512(t), segment, _mm512_load_si512(t + 1));
        };
        return _mm512_mask_blend_epi16(bit7, _mm512_mask_blend_epi16(bit6, quarter(0), quarter(1)),
                                       _mm512_mask_blend_epi16(bit6, quarter(2), quarter(3)));
    }
};

// The kernel's table of a curve of at most 257 points (see
// WaveshaperKernel::CurveTable): a lane gathers the two floats it
// interpolates with, and does none of the conversions and scaling of the
// points' pairs.
//
// The table has one more entry than the curve has segments, so that a lane
// finds its segment and its fraction in one instruction each, without
// bounding the segment (AVX-512 DQ): a position at the end of the curve
// (span) has segment span and fraction 0 where lookup takes segment
// span - 1 and fraction 1, so the entry at span holds that segment's end,
// first + rise, and no rise: end + 0 x 0 is lookup's first + rise x 1.
//
// The clip is an absolute minimum with 1 that keeps the lane's sign (the
// value itself within -1 .. 1, -1 or 1 beyond), which turns a NaN into 1: the
// table serves only lanes that are numbers (see numbers_only).
struct FloatCurve {
    const float* first;
    const float* rise;

    explicit FloatCurve(const WaveshaperKernel& kernel)
        : first(kernel.curve_table->first), rise(kernel.curve_table->rise) {}

    // clip_and_curve of the lanes (numbers), their points gathered from the
    // table.  The fraction is the position less its truncation, which is
    // exact.
    template <class Floats>
    Floats clip_and_curve(const LaneSettings& settings, Floats u) const {
        using Signed = typename LanesOf<Floats>::I;
        constexpr int kAbsoluteMinimumSignOfFirst = 0x02, kTruncatedQuiet = 0x0b;
        Floats position;
        Signed segment;
        Floats fraction;
        if constexpr (sizeof(Floats) == 32) {
            const Floats clipped_u = (Floats)_mm256_range_ps(u, _mm256_set1_ps(1.0f), kAbsoluteMinimumSignOfFirst);
            position = (clipped_u + 1.0f) * settings.half_span;
            segment = (Signed)_mm256_cvttps_epu32(position);
            fraction = (Floats)_mm256_reduce_ps(position, kTruncatedQuiet);
        } else {
            const Floats clipped_u = (Floats)_mm_range_ps(u, _mm_set1_ps(1.0f), kAbsoluteMinimumSignOfFirst);
            position = (clipped_u + 1.0f) * settings.half_span;
            segment = (Signed)_mm_cvttps_epu32(position);
            fraction = (Floats)_mm_reduce_ps(position, kTruncatedQuiet);
        }
        return gathered(first, segment) + gathered(rise, segment) * fraction;
    }

    // Whether the values the kernel's pipeline shapes are all numbers: they
    // are when drive and bias are (they bound the scaled samples; the
    // filters keep finite values finite) and no interpolator holds a NaN
    // from an earlier call.
    static bool numbers_only(const WaveshaperKernel& kernel) {
        if (std::isnan(kernel.drive) || std::isnan(kernel.bias)) return false;
        for (uint32_t c = 0; c < kernel.channel_count; ++c)
            for (uint32_t k = 0; k < kernel.stages; ++k) {
                const HalfBandStage& stage = kernel.interpolator[c][k];
                for (const AllPassSection* section : {&stage.a0, &stage.a1, &stage.b0, &stage.b1})
                    if (std::isnan(section->previous_input) || std::isnan(section->previous_output)) return false;
            }
        return true;
    }

private:
    static Float8 gathered(const float* table, L8::I segment) {
        return (Float8)_mm256_i32gather_ps(table, (__m256i)segment, 4);
    }
    static Float4 gathered(const float* table, L4::I segment) {
        return (Float4)_mm_i32gather_ps(table, (__m128i)segment, 4);
    }
};

// Vectors of 8 or 4 lanes joined into 16-lane ones (vector i into part i of
// vector i / per16, per16 = 16 / lanes), and back.
using Float16 = Lanes<16>::F;
using Signed16 = Lanes<16>::I;

template <int M>
Float16 joined(const Float8* u) {
    return (Float16)_mm512_insertf64x4(_mm512_castpd256_pd512((__m256d)u[2 * M]), (__m256d)u[2 * M + 1], 1);
}
template <int M>
Float16 joined(const Float4* u) {
    const __m256 low = _mm256_set_m128(u[4 * M + 1], u[4 * M]), high = _mm256_set_m128(u[4 * M + 3], u[4 * M + 2]);
    return (Float16)_mm512_insertf64x4(_mm512_castpd256_pd512((__m256d)low), (__m256d)high, 1);
}
template <int M>
void split(Float16 r, Float8* shaped) {
    shaped[2 * M] = (Float8)_mm512_castps512_ps256((__m512)r);
    shaped[2 * M + 1] = (Float8)_mm256_castpd_ps(_mm512_extractf64x4_pd((__m512d)r, 1));
}
template <int M>
void split(Float16 r, Float4* shaped) {
    for_each_index<4>([&](auto i) { shaped[4 * M + i] = (Float4)_mm512_extractf32x4_ps((__m512)r, i); });
}

// clip_and_curve of N vectors of 8 or 4 lanes (16 or 32 lanes in all) at
// once, their points looked up in `held`, with the arithmetic on 16-lane
// vectors.  The segments of 16-lane vectors a and b pack into one 32-lane
// vector whose low and high 64-bit groups of every 128-bit part unpack back
// into a's and b's lanes.  A NaN position truncates to INT_MIN, which the
// pack turns into segment 0, and its fraction stays NaN, as in
// clip_and_curve.
template <int N, class Floats>
void clip_and_curve_held(const LaneSettings& settings, const HeldCurve& held, const Floats (&u)[N],
                         Floats (&shaped)[N]) {
    constexpr int M = N * sizeof(Floats) / sizeof(Float16);
    static_assert(M == 1 || M == 2);
    const __m512 lowest = _mm512_set1_ps(-1.0f), highest = _mm512_set1_ps(1.0f);
    const __m512i last = _mm512_set1_epi32(settings.last_segment);
    Float16 position[M];
    Signed16 segment[M];
    for_each_index<M>([&](auto m) {
        const Float16 clipped_u = (Float16)_mm512_max_ps(lowest, _mm512_min_ps(highest, (__m512)joined<m>(u)));
        position[m] = (clipped_u + 1.0f) * settings.half_span;
        segment[m] = (Signed16)_mm512_min_epi32((__m512i)__builtin_convertvector(position[m], Signed16), last);
    });
    const __m512i words = _mm512_packus_epi32((__m512i)segment[0], (__m512i)segment[M - 1]);
    const __mmask32 bit6 = _mm512_test_epi16_mask(words, _mm512_set1_epi16(64));
    const __mmask32 bit7 = _mm512_test_epi16_mask(words, _mm512_set1_epi16(128));
    const __m512i first = HeldCurve::look_up(held.first, words, bit6, bit7);
    const __m512i second = HeldCurve::look_up(held.second, words, bit6, bit7);
    for_each_index<M>([&](auto m) {
        const __m512i zero = _mm512_setzero_si512();
        const __m512i first_high = m == 0 ? _mm512_unpacklo_epi16(zero, first) : _mm512_unpackhi_epi16(zero, first);
        const __m512i second_high =
            m == 0 ? _mm512_unpacklo_epi16(zero, second) : _mm512_unpackhi_epi16(zero, second);
        split<m>(interpolated(__builtin_convertvector((Signed16)first_high, Float16),
                              __builtin_convertvector((Signed16)second_high, Float16),
                              position[m] - __builtin_convertvector(segment[m], Float16)) *
                     0x1p-31f,
                 shaped);
    });
}

// The outputs of the pipeline's shaped values against their dry samples, as
// store_outputs gives them, with the settings' constants taken once per call
// and the tail of a batch in masked lanes.
//
// Where the output gain and the mix are finite, (r gain) 32768 becomes
// r (gain 32768): the two differ only where r gain is subnormal, below 2^-111
// both, which s16() rounds to 0 alone and which vanishes in the sum with the
// dry term (0, or at least 2^-24 in magnitude).  With a mix of 1 the product
// with it is exact and the dry term a zero, whose sum changes no s16 result.
//
// s16()'s hold in three instructions: the minimum and the maximum keep a NaN
// (their second operand wins), and the truncation gives 0 where the value is
// not ordered.
class OutputStore {
public:
    explicit OutputStore(const WaveshaperKernel& kernel)
        : form_(!std::isfinite(kernel.output_gain) || !std::isfinite(kernel.mix) ? Form::general
                : kernel.mix == 1.0f                                                ? Form::wet_only
                                                                                    : Form::folded),
          gain_(_mm256_set1_ps(form_ == Form::general ? kernel.output_gain : kernel.output_gain * kToS16)),
          mix_(_mm256_set1_ps(kernel.mix)),
          dry_share_(_mm256_set1_ps(1.0f - kernel.mix)) {}

    __attribute__((noinline)) void operator()(const float* shaped, const int16_t* in, int16_t* out, size_t count) const {
        switch (form_) {
            case Form::wet_only: run<Form::wet_only>(shaped, in, out, count); break;
            case Form::folded: run<Form::folded>(shaped, in, out, count); break;
            case Form::general: run<Form::general>(shaped, in, out, count); break;
        }
    }

private:
    enum class Form { wet_only, folded, general };

    template <Form F>
    void run(const float* shaped, const int16_t* in, int16_t* out, size_t count) const {
        const __m256 highest = _mm256_set1_ps(32767.0f), lowest = _mm256_set1_ps(-32768.0f);
        const __m256 sign = _mm256_castsi256_ps(_mm256_set1_epi32(int32_t(0x80000000u)));
        const __m256 half = _mm256_set1_ps(0.5f);
        for (size_t i = 0; i < count; i += 8) {
            const __mmask8 lanes = count - i >= 8 ? __mmask8(0xff) : __mmask8((1u << (count - i)) - 1);
            const __m256 r = _mm256_maskz_loadu_ps(lanes, shaped + i);
            __m256 value;
            if constexpr (F == Form::wet_only) {
                value = _mm256_mul_ps(r, gain_);
            } else {
                const __m256 dry = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_maskz_loadu_epi16(lanes, in + i)));
                const __m256 wet =
                    F == Form::folded ? _mm256_mul_ps(r, gain_) : _mm256_mul_ps(_mm256_mul_ps(r, gain_), _mm256_set1_ps(kToS16));
                value = _mm256_add_ps(_mm256_mul_ps(wet, mix_), _mm256_mul_ps(dry, dry_share_));
            }
            const __mmask8 numbers = _mm256_cmp_ps_mask(value, value, _CMP_ORD_Q);
            const __m256 held = _mm256_max_ps(lowest, _mm256_min_ps(highest, value));
            const __m256 away = _mm256_or_ps(_mm256_and_ps(held, sign), half);  // copysign(0.5f, held)
            const __m256i rounded = _mm256_maskz_cvttps_epi32(numbers, _mm256_add_ps(held, away));
            _mm256_mask_cvtepi32_storeu_epi16(out + i, lanes, rounded);
        }
    }

    Form form_;
    __m256 gain_, mix_, dry_share_;
};
#endif

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
// cascade: (A(even) + B(previous)) / 2 in lane kPairLanes[0] of every part,
// and (A(odd) + B(even)) / 2 in lane kPairLanes[1].  With AVX-512 one
// two-source permute brings B(previous) and A(odd) beside even's A and B
// (lanes 2 and 3), and the sums are even + that, in either order.
#if defined(WAVESHAPER_LANES_HELD_CURVE)
constexpr int kPairLanes[2] = {2, 3};

Float8 decimated_pair(Float8 previous, Float8 even, Float8 odd) {
    const __m256i beside = _mm256_setr_epi32(0, 1, 3, 10, 4, 5, 7, 14);
    return (even + (Float8)_mm256_permutex2var_ps(previous, beside, odd)) * 0.5f;
}
Float4 decimated_pair(Float4 previous, Float4 even, Float4 odd) {
    const __m128i beside = _mm_setr_epi32(0, 1, 3, 6);
    return (even + (Float4)_mm_permutex2var_ps(previous, beside, odd)) * 0.5f;
}
#else
constexpr int kPairLanes[2] = {0, 2};

template <class V>
V decimated_pair(V previous, V even, V odd) {
    return (parts_shuffle<2, 2, 2, 2>(even, odd) + parts_shuffle<3, 3, 3, 3>(previous, even)) * 0.5f;
}
#endif

// How a pipeline shapes its top-rate values: one at a time through the
// backlash, or side by side with the curve's points gathered from memory, or
// from a table of floats, or looked up in registers.
enum class Shaping { in_order, gathered, tabled, held };

template <int Channels, int Stages, size_t Lag>
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
    // (measured on AMD's cores: a lag of 2 runs those 1.3 to 1.4 times
    // faster, 3 and 4 no faster than 2; on Intel's, whose gathers take
    // longer (some 30 cycles from index to value), 3 runs them 1.15 to 1.25
    // times faster than 2, see run_pipeline).
    static constexpr size_t kLag = Lag;
    // Frames in flight: kLag iterations for every interpolator stage, the
    // shaping and every decimator stage but the last; output frame f comes
    // out of iteration f + kDepth, and the shaping takes frame f in
    // iteration f + kFill.
    static constexpr size_t kFill = Stages * kLag;
    static constexpr size_t kDepth = 2 * kFill;
    // Frames per batch: the inputs are scaled, and the outputs rounded, a
    // batch at a time in 8-lane vectors; a whole number of lags.
    static constexpr size_t kBatch = 64 / kLag * kLag;

public:
    explicit StagePipeline(WaveshaperKernel& kernel) : kernel_(kernel), settings_(kernel) {
        load();
#if defined(WAVESHAPER_LANES_HELD_CURVE)
        if (shaping_ == Shaping::held) held_.emplace(settings_);
        if (shaping_ == Shaping::tabled) table_.emplace(kernel_);
#endif
    }

    void process(const int16_t* in, int16_t* out, size_t frames) {
        switch (shaping_) {
            case Shaping::in_order: run<Shaping::in_order>(in, out, frames); break;
            case Shaping::gathered: run<Shaping::gathered>(in, out, frames); break;
            case Shaping::tabled: if constexpr (kHoldsCurves) run<Shaping::tabled>(in, out, frames); break;
            case Shaping::held: if constexpr (kHoldsCurves) run<Shaping::held>(in, out, frames); break;
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
    // input x; the second section's output comes back.
    V cascade(StageLanes& lanes, V x) const {
        const V first = allpass_section(first_coefficient_, x, lanes.first_input, lanes.first_output);
        const V second = allpass_section(second_coefficient_, first, lanes.first_output, lanes.second_output);
        lanes = {x, first, second};
        return second;
    }

    // The interpolator lanes of `rising` with the decimator lanes of `falling`.
    static StageLanes joined(const StageLanes& rising, const StageLanes& falling) {
        const auto join = [](V r, V f) { return parts_shuffle<kRisingA, kRisingB, kFallingA, kFallingB>(r, f); };
        return {join(rising.first_input, falling.first_input), join(rising.first_output, falling.first_output),
                join(rising.second_output, falling.second_output)};
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
            return parts_shuffle<k == 0 ? 0 : branch, k == 0 ? 0 : branch, kPairLanes[0], kPairLanes[1]>(
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
    // every part.  Only stages 0 .. Active - 1 work, and the shaping only
    // where Shapes: on the pipeline's edges the others have no frame.
    template <int Active, bool Shapes, Shaping How>
    V iteration(StageLanes* stage, Flow& flow, V input) {
        Flow next;
        if constexpr (Stages == 1) next.rising[0] = next.pairs[0] = V{};  // no stage below the top
        V outputs[Stages][kTopSteps + 1];  // per stage: the last output before, then the iteration's
        for_each_index<Stages>([&](auto k) { outputs[k][0] = stage[k].second_output; });
        const auto step = [&](auto k, auto i) {
            // A stage without a frame hands on values that only stages
            // without a frame take (the frames move on together), so it
            // skips its work.
            if constexpr (k >= Active)
                outputs[k][i + 1] = stage[k].second_output;
            else
                outputs[k][i + 1] = cascade(stage[k], step_input<k, i>(flow, input));
        };
        for_each_index<kTopSteps>([&](auto j) {
            step(std::integral_constant<int, kTop>{}, j);
            constexpr int shape_period = kTopSteps / kTopVectors;
            if constexpr (How == Shaping::held) {
#if defined(WAVESHAPER_LANES_HELD_CURVE)
                if constexpr (kHoldsCurves && j == kTopSteps / 4) {
                    if constexpr (!Shapes)
                        std::copy(flow.shaped, flow.shaped + kTopVectors, next.shaped);
                    else
                        clip_and_curve_held(settings_, *held_, flow.top, next.shaped);
                }
#endif
            } else if constexpr (j % shape_period == 0) {
                constexpr int m = j / shape_period;
                if constexpr (!Shapes)
                    next.shaped[m] = flow.shaped[m];
                else if constexpr (How == Shaping::in_order)
                    next.shaped[m] = shaped_in_order(flow.top[m]);
#if defined(WAVESHAPER_LANES_HELD_CURVE)
                else if constexpr (How == Shaping::tabled && kHoldsCurves)
                    next.shaped[m] = table_->clip_and_curve(settings_, flow.top[m]);
#endif
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

    // Before iteration t, the lanes of a stage change hands where the
    // frames reach or leave them.  Stage k's decimator takes its first frame
    // in iteration kDepth - kLag k: until then its lanes ran on values of no
    // frame, so they get back the state the call started with.  Its
    // interpolator takes its last frame in iteration kLag k + frames - 1:
    // after it its lanes are kept aside, for the state the call leaves.
    void hand_over(size_t t, size_t frames, StageLanes* running, StageLanes* kept) const {
        for_each_index<Stages>([&](auto k) {
            if (t == kDepth - kLag * k) running[k] = joined(running[k], stage_[k]);
            if (t == kLag * k + frames) kept[k] = running[k];
        });
    }

    // The first iteration from t on before which lanes change hands.
    static size_t next_hand_over(size_t t, size_t frames) {
        size_t next = SIZE_MAX;
        for (size_t k = 0; k < Stages; ++k)
            for (const size_t at : {kDepth - kLag * k, kLag * k + frames})
                if (at >= t && at < next) next = at;
        return next;
    }

    // The call's iterations 0 .. frames + kDepth - 1.  Iteration t takes
    // input frame t (if any) and gives output frame t - kDepth (if any).  A
    // stage works in every iteration where some lane of it has a frame; its
    // lanes without one run on values of no frame, and hand_over sets their
    // state right.  So the fill (iterations before kFill) runs the stages
    // that have had a frame, the middle (kFill + frames iterations in all)
    // runs everything, and the drain runs the stages that still have one.
    template <Shaping How>
    void run(const int16_t* in, int16_t* out, size_t frames) {
        // Copies whose addresses never escape, so that they stay in registers
        // (or on the stack, without the member's address arithmetic).  The
        // loops go kLag iterations at a time, so that each takes its slot of
        // the flow by name: iteration t's slot is flow0, flow1 or (with a lag
        // of 3) flow2 for t % kLag = 0, 1, 2.
        static_assert((kLag == 2 || kLag == 3) && kFill % kLag == 0 && kBatch % kLag == 0);
        StageLanes running[Stages], kept[Stages];
        std::copy(stage_, stage_ + Stages, running);
        std::copy(stage_, stage_ + Stages, kept);
        Flow flow0{}, flow1{}, flow2{};  // flow2 only with a lag of 3
        size_t next = next_hand_over(0, frames);
        const auto one = [&](auto active, auto shapes, size_t t, Flow& flow, const float* frame_in, float* frame_out,
                             auto checks) {
            if (checks && t == next) {
                hand_over(t, frames, running, kept);
                next = next_hand_over(t + 1, frames);
            }
            const V decimated =
                iteration<decltype(active)::value, decltype(shapes)::value, How>(running, flow, input(frame_in));
            for (int c = 0; c < Channels; ++c) frame_out[c] = decimated[lane(c, kFallingA)];
        };
        const std::bool_constant<false> edge_only{};
        const std::bool_constant<true> shaping{}, checked{};
        constexpr std::integral_constant<int, Stages> every_stage{};
        float scaled[Channels * kBatch];
        float result[Channels * kBatch];
        const auto scale_frames = [&](size_t first, size_t end) {
            const size_t count = first < frames ? std::min(end, frames) - first : 0;
            scale_samples(kernel_, in + Channels * first, scaled, Channels * count);
            std::fill(scaled + Channels * count, scaled + Channels * (end - first), 0.0f);
        };

        scale_frames(0, kFill);
        for_each_index<Stages>([&](auto p) {
            constexpr std::integral_constant<int, p + 1> active{};
            one(active, edge_only, kLag * p, flow0, scaled + Channels * kLag * p, result, checked);
            one(active, edge_only, kLag * p + 1, flow1, scaled + Channels * (kLag * p + 1), result, checked);
            if constexpr (kLag == 3)
                one(active, edge_only, kLag * p + 2, flow2, scaled + Channels * (kLag * p + 2), result, checked);
        });

        // Lanes change hands only in the middle's first iterations (up to
        // kDepth) and in its last ones (from frames on): the batches between
        // them run without looking.
        const size_t middle_end = kFill + frames;
        const size_t quiet_first = kDepth + kLag, quiet_end = frames - frames % kLag;
        for (size_t first = kFill, end; first < middle_end; first = end) {
            end = std::min(middle_end, first + kBatch);
            if (first < quiet_first && end > quiet_first) end = quiet_first;
            if (first < quiet_end && end > quiet_end) end = quiet_end;
            scale_frames(first, end);
            const auto run_batch = [&](auto checks) {
                const auto at = [&](size_t t, Flow& flow) {
                    one(every_stage, shaping, t, flow, scaled + Channels * (t - first), result + Channels * (t - first),
                        checks);
                };
                size_t t = first;
                for (; t + kLag <= end; t += kLag) {
                    at(t, flow0);
                    at(t + 1, flow1);
                    if constexpr (kLag == 3) at(t + 2, flow2);
                }
                if (t < end) at(t, flow0);
                if constexpr (kLag == 3)
                    if (t + 1 < end) at(t + 1, flow1);
            };
            if (next >= end)
                run_batch(std::false_type{});
            else
                run_batch(checked);
            const size_t first_out = std::max(first, kDepth);
            if (end > first_out)
                store_frames(result + Channels * (first_out - first), in + Channels * (first_out - kDepth),
                             out + Channels * (first_out - kDepth), Channels * (end - first_out));
        }

        // The drain: its first iteration, middle_end, takes slot frames % kLag
        // of the flow, which the rotation brings to the front.
        const auto rotate = [&] {
            std::swap(flow0, flow1);
            if constexpr (kLag == 3) std::swap(flow1, flow2);
        };
        if (frames % kLag >= 1) rotate();
        if (frames % kLag >= 2) rotate();
        const float none[Channels] = {};
        for_each_index<Stages>([&](auto q) {
            constexpr std::integral_constant<int, Stages - q> active{};
            one(active, edge_only, middle_end + kLag * q, flow0, none, result + Channels * kLag * q, checked);
            one(active, edge_only, middle_end + kLag * q + 1, flow1, none, result + Channels * (kLag * q + 1), checked);
            if constexpr (kLag == 3)
                one(active, edge_only, middle_end + kLag * q + 2, flow2, none, result + Channels * (kLag * q + 2),
                    checked);
        });
        // Drain iteration middle_end + i gives output frame frames - kFill + i.
        const size_t drained = std::min(frames, kFill);
        store_frames(result + Channels * (kFill - drained), in + Channels * (frames - drained),
                     out + Channels * (frames - drained), Channels * drained);
        for (int k = 0; k < Stages; ++k) stage_[k] = joined(kept[k], running[k]);
    }

    // The outputs of `count` samples from their shaped values.
    void store_frames(const float* shaped, const int16_t* in, int16_t* out, size_t count) const {
#if defined(WAVESHAPER_LANES_HELD_CURVE)
        output_store_(shaped, in, out, count);
#else
        store_outputs(kernel_, shaped, in, out, count);
#endif
    }

    WaveshaperKernel& kernel_;
    const LaneSettings settings_;
#if defined(WAVESHAPER_LANES_HELD_CURVE)
    const OutputStore output_store_{kernel_};
#endif
    // Curves of up to 257 points are held in a table made for the call where a
    // frame has at least 16 top-rate values (x8 stereo, x16), which pays for
    // making it.  On AMD's cores the table is the registers of HeldCurve: its
    // lookup serves up to 32 lanes at once and costs more than the gathers of
    // fewer.  Intel's cores close a vector port to the whole loop's 256-bit
    // work while its 512-bit permutes and arithmetic are in flight, so there
    // the table is a FloatCurve, gathered from (x8 stereo 1.45 times, x16 1.3
    // times as fast as the held lookup there).
    static constexpr bool kHoldsCurves =
#if defined(WAVESHAPER_LANES_HELD_CURVE)
        kTopVectors * 4 * Channels >= 16;
#else
        false;
#endif
    static Shaping shaping_of(const WaveshaperKernel& kernel, const LaneSettings& settings) {
        if (!kernel.shapes_side_by_side()) return Shaping::in_order;
        if (!kHoldsCurves || !settings.curve || kernel.curve_points > kMaxHeldCurvePoints) return Shaping::gathered;
        if (!cpu_is_intel()) return Shaping::held;
        if (!kernel.curve_table) return Shaping::gathered;
#if defined(WAVESHAPER_LANES_HELD_CURVE)
        if (!FloatCurve::numbers_only(kernel)) return Shaping::gathered;
#endif
        return Shaping::tabled;
    }
    const Shaping shaping_ = shaping_of(kernel_, settings_);
#if defined(WAVESHAPER_LANES_HELD_CURVE)
    std::optional<HeldCurve> held_;
    std::optional<FloatCurve> table_;
#endif
    const V first_coefficient_ = coefficients(HalfBandStage::kA0, HalfBandStage::kB0);
    const V second_coefficient_ = coefficients(HalfBandStage::kA1, HalfBandStage::kB1);
    StageLanes stage_[Stages];
};

// The pipeline with a lag of 2, or of 3 at 2 and 4 times oversampling on
// Intel's cores (at 8 and 16 times a lag of 3 runs no faster there).
template <int Channels, int Stages>
__attribute__((flatten)) void run_pipeline(WaveshaperKernel& kernel, const int16_t* in, int16_t* out, size_t frames) {
    if constexpr (Stages <= 2)
        if (cpu_is_intel()) return StagePipeline<Channels, Stages, 3>(kernel).process(in, out, frames);
    StagePipeline<Channels, Stages, 2>(kernel).process(in, out, frames);
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

// The stage pipeline for the kernel's channels and stages (unused where only the baseline is built).
[[maybe_unused]] void run_pipeline_of_kernel(WaveshaperKernel& kernel, const int16_t* in, int16_t* out, size_t frames) {
    if (kernel.channel_count == 2)
        run_pipeline_of_stages<2>(kernel, in, out, frames);
    else
        run_pipeline_of_stages<1>(kernel, in, out, frames);
}

}  // namespace
}  // namespace divavova
