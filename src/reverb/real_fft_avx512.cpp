// The transform kernels compiled for AVX-512 (16 lanes; F, VL, BW, DQ), used only when the
// processor reports it.  Same formulas, same order, same bits as the others.
#include <cstdint>
#include <cstring>
#include <utility>

#include "module/lanes.hpp"
#include "reverb/real_fft.hpp"
#include "reverb/real_fft_tables.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512bw,avx512dq")

namespace divavova::fft_avx512 {
#define DIVAVOVA_FFT_LANES 16
#include "reverb/real_fft_impl.inc"
#undef DIVAVOVA_FFT_LANES
extern const TransformKernels kKernels;
const TransformKernels kKernels = {forward_transform, inverse_transform, accumulate, accumulate_pair, "avx512"};
}  // namespace divavova::fft_avx512

#pragma GCC pop_options
