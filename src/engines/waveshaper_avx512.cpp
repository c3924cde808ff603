// The waveshaper's stage pipeline built for AVX-512 (F, VL and BW), taken
// where the processor has it: the AVX2 build's operations on the same 128-
// and 256-bit vectors, with 32 vector registers instead of 16, so that more of
// the pipeline's running state and of the values in flight stay in
// registers; curves of up to 257 points are looked up with 16-bit permutes
// from registers instead of gathered (waveshaper_lanes.hpp).
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "engines/waveshaper_kernel.hpp"

#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl,avx512bw,avx512dq")
// GCC 12's AVX-512 intrinsics start their unmasked forms from an undefined
// vector, which it then reports as maybe used uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define WAVESHAPER_LANES_HELD_CURVE 1

#include "engines/waveshaper_lanes.hpp"

namespace divavova {

void WaveshaperKernel::run_stage_pipeline_avx512(const int16_t* in, int16_t* out, size_t frames) {
#if defined(DIVAVOVA_BASELINE_ONLY)
    run_plain(in, out, frames);  // never called there (see run_stage_pipeline)
#else
    run_pipeline_of_kernel(*this, in, out, frames);
#endif
}

}  // namespace divavova

#pragma GCC pop_options
