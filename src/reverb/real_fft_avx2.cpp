// The transform kernels compiled for AVX2 (8 lanes), used only when the
// processor reports it.  Same formulas, same order, same bits as the others.
#include <cstdint>
#include <cstring>
#include <utility>

#include "module/lanes.hpp"
#include "reverb/real_fft.hpp"
#include "reverb/real_fft_tables.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace divavova::fft_avx2 {
#define DIVAVOVA_FFT_LANES 8
#include "reverb/real_fft_impl.inc"
#undef DIVAVOVA_FFT_LANES
extern const TransformKernels kKernels;
const TransformKernels kKernels = {forward_transform, inverse_transform, accumulate, accumulate_pair, "avx2"};
}  // namespace divavova::fft_avx2

#pragma GCC pop_options
