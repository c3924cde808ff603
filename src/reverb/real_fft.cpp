// Twiddle evaluation, the shared tables, the baseline (SSE2) kernels and the
// choice of kernels at run time.
#include "module/dispatch.hpp"
#include "reverb/real_fft.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "module/lanes.hpp"
#include "reverb/real_fft_tables.hpp"

namespace divavova {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kPi = 3.141592653589793;
constexpr double kThreeHalfPi = 4.71238898038469;

// Horner's rule in z, coefficients from the highest power down.
template <size_t N>
double horner(double z, const double (&coefficients)[N]) {
    double p = coefficients[0];
    for (size_t i = 1; i < N; ++i) p = p * z + coefficients[i];
    return p;
}

// x (1 - x^2/3! + x^4/5! - ... + x^12/13!), Horner's rule in x^2.
double sine_series(double x) {
    static constexpr double kTerms[] = {1.0 / 6227020800.0, -1.0 / 39916800.0, 1.0 / 362880.0, -1.0 / 5040.0,
                                        1.0 / 120.0,        -1.0 / 6.0,        1.0};
    return x * horner(x * x, kTerms);
}

// 1 - x^2/2! + x^4/4! - ... + x^12/12!, Horner's rule in x^2.
double cosine_series(double x) {
    static constexpr double kTerms[] = {1.0 / 479001600.0, -1.0 / 3628800.0, 1.0 / 40320.0, -1.0 / 720.0,
                                        1.0 / 24.0,        -1.0 / 2.0,       1.0};
    return horner(x * x, kTerms);
}

}  // namespace

Twiddle fft_twiddle(uint32_t k, uint32_t size) {
    double theta = std::fmod((static_cast<double>(k) * -kTwoPi) * (1.0 / static_cast<double>(size)), kTwoPi);
    if (theta < 0.0) theta += kTwoPi;
    double sine;
    double cosine;
    if (theta <= kHalfPi) {
        sine = sine_series(theta);
        cosine = cosine_series(theta);
    } else if (theta <= kPi) {
        const double x = kPi - theta;
        sine = sine_series(x);
        cosine = -cosine_series(x);
    } else if (theta <= kThreeHalfPi) {
        const double x = theta - kPi;
        sine = -sine_series(x);
        cosine = -cosine_series(x);
    } else {
        const double x = kTwoPi - theta;
        sine = -sine_series(x);
        cosine = cosine_series(x);
    }
    return {static_cast<float>(cosine), static_cast<float>(sine)};
}

void fill_twiddle_tables(float* t256, float* t512) {
    for (uint32_t k = 0; k < 128; ++k) {
        const Twiddle w = fft_twiddle(k, 256);
        t256[2 * k] = w.re;
        t256[2 * k + 1] = w.im;
    }
    for (uint32_t k = 0; k < 256; ++k) {
        const Twiddle w = fft_twiddle(k, 512);
        t512[2 * k] = w.re;
        t512[2 * k + 1] = w.im;
    }
}

namespace {

FftTables build_tables() {
    FftTables t{};
    Twiddle t256[128];
    for (uint32_t k = 0; k < 128; ++k) t256[k] = fft_twiddle(k, 256);
    for (uint32_t h = 1; h < 256; h *= 2) {
        for (uint32_t i = 0; i < h; ++i) {
            const Twiddle w = t256[(128 / h) * i];
            t.stage_re[h + i] = w.re;
            t.stage_im[h + i] = w.im;
        }
    }
    for (uint32_t row = 0; row < 4; ++row) {
        const uint32_t h = 1u << row;
        for (uint32_t j = 0; j < 16; ++j) {
            const Twiddle w = t256[(128 / h) * (j % h)];
            t.lane_re[row][j] = w.re;
            t.lane_im[row][j] = w.im;
        }
    }
    for (uint32_t k = 0; k < 256; ++k) {
        const Twiddle w = fft_twiddle(k, 512);
        t.t512_re[k] = w.re;
        t.t512_im[k] = w.im;
    }
    return t;
}

const FftTables& tables_once() {
    static const FftTables tables = build_tables();
    return tables;
}

}  // namespace

const FftTables& kFftTables = tables_once();

// Baseline kernels: SSE2 is part of x86-64 (four lanes).
namespace fft_sse2 {
#define DIVAVOVA_FFT_LANES 4
#include "reverb/real_fft_impl.inc"
#undef DIVAVOVA_FFT_LANES
const TransformKernels kKernels = {forward_transform, inverse_transform, accumulate, accumulate_pair, "sse2"};
}  // namespace fft_sse2

namespace fft_avx2 {
extern const TransformKernels kKernels;
}
namespace fft_avx512 {
extern const TransformKernels kKernels;
}

size_t available_transform_kernels(const TransformKernels** out, size_t capacity) {
    size_t count = 0;
    auto add = [&](const TransformKernels* k) {
        if (count < capacity) out[count] = k;
        ++count;
    };
    add(&fft_sse2::kKernels);
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (cpu_has_avx2()) add(&fft_avx2::kKernels);
    if (cpu_has_avx512bw()) add(&fft_avx512::kKernels);
#endif
    return count < capacity ? count : capacity;
}

const TransformKernels& transform_kernels() {
    static const TransformKernels* chosen = [] {
        const TransformKernels* all[3] = {};
        const size_t count = available_transform_kernels(all, 3);
        return all[count - 1];
    }();
    return *chosen;
}

}  // namespace divavova
