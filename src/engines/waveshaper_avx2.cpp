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
// A call starts with an empty pipeline: in the first iterations the stages
// that have no frame yet keep their state, and as many iterations after the
// last frame drain them while the stages done with the call keep theirs.
// Every filter therefore sees exactly the call's frames, in order, and the
// state between calls is the plain path's filter state.

// The kernel's helpers written for a value or lanes of values are inlined
// into the loops below, so no vector crosses a call and GCC's note on the
// vector calling convention does not apply.  GCC reports it where the
// instantiations are emitted, so it is off for this file, before any header.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

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
    for (size_t i = 0; i < whole; i += 8) {
        const Float8 x = L8::load(in + i);
        store_output(*this, clip_and_curve(settings, scaled(x)), x, out + i);
    }
    run_plain(in + whole, out + whole, (samples - whole) / channel_count);
}

void WaveshaperKernel::run_stage_pipeline(const int16_t* in, int16_t* out, size_t frames) {
    if (cpu_has_avx512vl())
        run_stage_pipeline_avx512(in, out, frames);
    else
        run_pipeline_of_kernel(*this, in, out, frames);
}

}  // namespace divavova

#pragma GCC pop_options
