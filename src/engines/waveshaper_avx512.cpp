// The waveshaper's stage pipeline built for AVX-512 (F and VL), taken where
// the processor has it: the AVX2 build's operations on the same 128- and
// 256-bit vectors, with 32 vector registers instead of 16, so that more of
// the pipeline's running state and of the values in flight stay in
// registers.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "engines/waveshaper_kernel.hpp"

#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl,avx512bw")
#define WAVESHAPER_LANES_HELD_CURVE 1




#include "engines/waveshaper_lanes.hpp"

namespace divavova {

void WaveshaperKernel::run_stage_pipeline_avx512(const int16_t* in, int16_t* out, size_t frames) {
    run_pipeline_of_kernel(*this, in, out, frames);
}

}  // namespace divavova

#pragma GCC pop_options
