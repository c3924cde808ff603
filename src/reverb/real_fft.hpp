// The convolver's transform pair: a 512-point real FFT built on one 256-point
// complex radix-2 decimation-in-time FFT, and the per-bin complex
// multiply-accumulate of partitioned convolution.
//
// A spectrum is 257 bins, kept planar in 514 floats at the start of a slot of
// kSpectrumFloats (padded so that every spectrum starts on 64 bytes):
//   [0, 256)    real parts of bins 0 .. 255
//   [256, 512)  imaginary parts of bins 0 .. 255
//   512, 513    real and imaginary part of bin 256 (Nyquist)
// The imaginary parts of bins 0 and 256 are always 0.
//
// Every butterfly, split, merge and multiply-add evaluates its scalar
// formula in single precision exactly as written (no fused multiply-add, no
// reassociation); the vector code only runs independent lanes side by side,
// so every instruction set gives the same bits.  Plain C++, no Python.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace divavova {

inline constexpr uint32_t kFftComplexSize = 256;  // complex FFT points
inline constexpr uint32_t kFftRealSize = 512;     // real samples per transform
inline constexpr uint32_t kSpectrumFloats = 528;  // 257 bins, padded to 64 bytes
inline constexpr uint32_t kSpectrumNyquist = 512;  // offset of bin 256's real part

// Twiddle e^(-2 pi i k / M) as (cos, sin) of theta = -2 pi k / M reduced into
// [0, 2 pi), both from double-precision Taylor polynomials, rounded to float.
struct Twiddle {
    float re;
    float im;
};
Twiddle fft_twiddle(uint32_t k, uint32_t size);

// The twiddle tables in the pair layout: T256 (128 pairs) and T512 (256 pairs).
void fill_twiddle_tables(float* t256, float* t512);

// The transform entry points of the instruction set chosen at run time.
struct TransformKernels {
    // x: 512 reals (unchanged); spectrum: 514 floats out; work: 512 floats.
    void (*forward)(const float* x, float* spectrum, float* work);
    // spectrum: 514 floats (unchanged); x: 512 reals out; work: 512 floats.
    void (*inverse)(const float* spectrum, float* x, float* work);
    // acc = sum over m = 0 .. active - 1, in that order, of
    //   ir[m] * ring[(slot - m) mod partitions]  (complex, per bin),
    // starting from zero; ir and ring are arrays of spectra.
    void (*accumulate)(float* acc, const float* ir, const float* ring, uint32_t slot, uint32_t partitions,
                       uint32_t active);
    // The same for two input rings against one impulse response, reading
    // the impulse response once: acc0 from ring0, acc1 from ring1.
    void (*accumulate_pair)(float* acc0, float* acc1, const float* ir, const float* ring0, const float* ring1,
                            uint32_t slot, uint32_t partitions, uint32_t active);
    const char* name;
};

// The kernels for this processor (the widest vector set it supports).  The
// tables they read are built once, when the module is loaded.
const TransformKernels& transform_kernels();

// Every compiled variant, for cross-checking: fills up to `capacity` entries
// and returns how many the processor can run.
size_t available_transform_kernels(const TransformKernels** out, size_t capacity);

}  // namespace divavova
