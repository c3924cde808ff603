// The distortion's block loops and the choice between them.  The chains
// themselves are in distortion_curve.hpp (exact) and distortion_fast.hpp
// (fast); every path gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "effects/distortion_curve.hpp"
#include "effects/distortion_fast.hpp"
#include "module/dispatch.hpp"

namespace divavova {
namespace distortion_detail {

template <DistortionShape Shape, bool SoftLimit, bool Safe>
inline int16_t distort_sample(const DistortionSettings& s, int16_t sample) {
    double x = sample;
    return mixed<Safe>(s, x, shaped<Shape, SoftLimit, Safe>(s, x));
}

template <DistortionShape Shape, bool SoftLimit, bool Safe>
void distort_exact(const DistortionSettings& s, const int16_t* in, int16_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = distort_sample<Shape, SoftLimit, Safe>(s, in[i]);
}

template <DistortionShape Shape, bool SoftLimit>
void distort_exact(const DistortionSettings& s, const int16_t* in, int16_t* out, size_t count) {
    // Plain casts are exact when x * pre stays within 32 bits, the mix keeps
    // the sum between the dry and the wet sample, and (bit reduction) the
    // post-gain product is finite.
    bool safe = s.pre_gain < 65535.0 && s.mix >= 0.0 && s.mix <= 1.0 &&
                (Shape != DistortionShape::bit_reduction || SoftLimit || std::fabs(s.post_gain) < 1e290);
    if (safe) {
        distort_exact<Shape, SoftLimit, true>(s, in, out, count);
    } else {
        distort_exact<Shape, SoftLimit, false>(s, in, out, count);
    }
}

// The block on the fast path where its proof covers the settings, on the
// processor's widest vectors; otherwise by the exact chain.
template <DistortionShape Shape, bool SoftLimit>
void distort_block(const DistortionSettings& s, Vectors cpu, const int16_t* in, int16_t* out, size_t count) {
    using namespace distortion_fast;
    if constexpr (Shape == DistortionShape::power || Shape == DistortionShape::exponential) {
        FastSettings f;
        if (fast_settings(s, &f)) {
#if defined(__x86_64__) && defined(__GNUC__)
            if (cpu == Vectors::avx512)
                return run_kernel_avx512vl<distort_fast8<Shape, SoftLimit>>(&s, &f, in, out, count);
            if (cpu == Vectors::avx2) return run_kernel_avx2<distort_fast4<Shape, SoftLimit>>(&s, &f, in, out, count);
#endif
            (void)cpu;  // the baseline's vectors
            return distort_fast4<Shape, SoftLimit>(&s, &f, in, out, count);
        }
    }
    distort_exact<Shape, SoftLimit>(s, in, out, count);
}

template <DistortionShape Shape>
void distort_block(const DistortionSettings& s, Vectors cpu, const int16_t* in, int16_t* out, size_t count) {
    if (s.soft_limit) return distort_block<Shape, true>(s, cpu, in, out, count);
    distort_block<Shape, false>(s, cpu, in, out, count);
}

}  // namespace distortion_detail

// Shapes count samples from in into out (which may be the same memory), on
// the fast path where it applies.  shape must be 0 .. 3.
inline void distort(const DistortionSettings& s, Vectors cpu, const int16_t* in, int16_t* out, size_t count) {
    using namespace distortion_detail;
    switch (s.shape) {
        case DistortionShape::power:
            return distort_block<DistortionShape::power>(s, cpu, in, out, count);
        case DistortionShape::bit_reduction:
            return distort_block<DistortionShape::bit_reduction>(s, cpu, in, out, count);
        case DistortionShape::exponential:
            return distort_block<DistortionShape::exponential>(s, cpu, in, out, count);
        case DistortionShape::rational:
            return distort_block<DistortionShape::rational>(s, cpu, in, out, count);
    }
}

}  // namespace divavova
