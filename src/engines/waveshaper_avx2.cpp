// The waveshaper's AVX2 paths, taken only where the processor has AVX2.  Each
// lane does exactly the plain path's operations on its value, in the same
// order, so the bytes are those of WaveshaperKernel::run_plain.
//
// Sample lanes (no oversampling, no backlash): every output sample is a
// function of its own input alone, so eight samples go side by side.
//
// Stage pipeline (2 to 16 times oversampling, waveshaper_lanes.hpp; also
// built for AVX-512 in waveshaper_avx512.cpp): every all-pass section is a
// recurrence (y depends on the previous y through a subtraction, a product
// and a sum), so a section that sees m values per frame costs m chained
// latencies per frame however wide the machine is.  What can overlap is the
// work of different sections.  One loop iteration t does every stage once,
// each on what the others handed on kLag iterations earlier:
//   - interpolator stage k for frame t - kLag k (stage 0 takes the scaled
//     input of frame t),
//   - the shaping of the top-rate values of frame t - kLag s,
//   - decimator stage k for frame t - kLag (2 s - k), so that frame f
//     leaves the pipeline in iteration f + 2 kLag s.
// No stage waits for another within an iteration, so the only long chain
// is the top stage's own, 2^(s-1) steps a frame, and the other stages' work
// is written between its steps.
//
// Interpolator stage k and decimator stage k both take 2^k steps of the
// two-section cascade per frame, so they share one vector.  Each 128-bit
// part of it holds one channel, {interpolator A, interpolator B, decimator
// A, decimator B} (A and B are the two branches), so that the shuffles that
// feed a step and collect its outputs stay inside the parts:
//     stereo (8 lanes)  channel 0: iA iB dA dB | channel 1: iA iB dA dB
//     mono   (4 lanes)  iA iB dA dB
//
// With the backlash on (one chain through all values of a channel) the
// top-rate values are shaped one at a time, in order, between the stages.
//
// A call starts with an empty pipeline and runs frames + 2 kLag s
// iterations.  A stage works in every iteration where some lane of it has a
// frame, so the fill runs the stages below the first frame and the drain the
// stages below the last one, without the shaping; every other iteration runs
// everything.  A stage's lanes without a frame meanwhile run on values of no
// frame, which only other such lanes take: its decimator lanes get back the
// call's starting state just before their first frame, and its interpolator
// lanes are kept aside just after their last one.  Every filter therefore
// sees exactly the call's frames, in order, and the state between calls is
// the plain path's filter state.

// The kernel's helpers written for a value or lanes of values are inlined
// into the loops below, so no vector crosses a call and GCC's note on the
// vector calling convention does not apply.  GCC reports it where the
// instantiations are emitted, so it is off for this file, before any header.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engines/waveshaper_kernel.hpp"
#include "module/lanes.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#include "engines/waveshaper_lanes.hpp"

namespace divavova {
namespace {

// Eight shaped values against their dry samples, through
// WaveshaperKernel::output and s16(); the rounded values are within the s16
// range, so the saturating pack stores them unchanged (in two instructions).
void store_output(const WaveshaperKernel& kernel, Float8 shaped, Float8 dry, int16_t* out) {
    const __m256i rounded = (__m256i)L8::rounded_s16(kernel.output(shaped, dry));
    const __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(rounded), _mm256_extracti128_si256(rounded, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
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
    const auto rounded = [&](const int16_t* samples_in) {
        const Float8 x = L8::load(samples_in);
        Float8 value = clip_and_curve(settings, x * drive + bias) * gain;
        if constexpr (!WetOnly) value = value * wet + x * dry_share;
        return (__m256i)L8::rounded_half_away(value);
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
    const __m512 lowest = _mm512_set1_ps(-1.0f), highest = _mm512_set1_ps(1.0f);
    size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        const Float16 x = L16::load(in + i);
        Float16 value = (Float16)_mm512_max_ps(lowest, _mm512_min_ps(highest, (__m512)(x * drive + bias))) * gain;
        if constexpr (!WetOnly) value = value * wet + x * dry_share;
        const __m512i rounded = (__m512i)L16::rounded_half_away(value);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_cvtsepi32_epi16(rounded));
    }
    return i;
}

#pragma GCC diagnostic pop
#pragma GCC pop_options

}  // namespace

void store_outputs(const WaveshaperKernel& kernel, const float* shaped, const int16_t* in, int16_t* out,
                   size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) store_output(kernel, load<Float8>(shaped + i), L8::load(in + i), out + i);
    for (; i < count; ++i) out[i] = s16(kernel.output(shaped[i], static_cast<float>(in[i])));
}

void scale_samples(const WaveshaperKernel& kernel, const int16_t* in, float* scaled, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) store(scaled + i, kernel.scaled(L8::load(in + i)));
    for (; i < count; ++i) scaled[i] = kernel.scaled(in[i]);
}


void WaveshaperKernel::run_sample_lanes(const int16_t* in, int16_t* out, size_t frames) {
    const LaneSettings settings(*this);
    const size_t samples = channel_count * frames;
    const size_t whole = samples - samples % 8;
    size_t first = 0;
    const bool folds = folds_constants(*this);
    if (folds && !settings.curve && cpu_has_avx512bw())
        first = mix == 1.0f ? run_folded_clip16<true>(*this, in, out, samples)
                            : run_folded_clip16<false>(*this, in, out, samples);
    else if (folds)
        first = mix == 1.0f ? run_folded_lanes<true>(*this, settings, in, out, samples)
                            : run_folded_lanes<false>(*this, settings, in, out, samples);
    for (size_t i = first; i < whole; i += 8) {
        const Float8 x = L8::load(in + i);
        store_output(*this, clip_and_curve(settings, scaled(x)), x, out + i);
    }
    run_plain(in + whole, out + whole, (samples - whole) / channel_count);
}

// A build that never chooses kernels beyond the baseline never comes here
// (cpu_has_avx2() answers no) and does not build the pipeline: its many
// instantiations take most of a sanitizer build's time.
void WaveshaperKernel::run_stage_pipeline(const int16_t* in, int16_t* out, size_t frames) {
#if defined(DIVAVOVA_BASELINE_ONLY)
    run_plain(in, out, frames);
#else
    if (cpu_has_avx512vl() && cpu_has_avx512bw())
        run_stage_pipeline_avx512(in, out, frames);
    else
        run_pipeline_of_kernel(*this, in, out, frames);
#endif
}

}  // namespace divavova

#pragma GCC pop_options
