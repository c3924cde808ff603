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

// How a block is shaped: every sample by the exact chain; by the exact chain
// once per input value, remembered in a table of 65536 cells; or by the fast
// chain, the exact one deciding the samples it cannot certify.
enum class DistortionPath { exact, memo, fast };

// Block lengths, in samples, from which the memo pays (it costs 256 KiB of
// zeroed cells and one exact sample per distinct input value).  Against the
// exact chain: for every chain but bit reduction without the limiter, whose
// few integer operations beat a table lookup.  Against the fast path: with
// the baseline's vectors only, from the lengths where a block of full-band
// noise has few enough distinct values; with AVX2 the fast path takes half
// the time of the memo even on a second of such noise.
constexpr size_t kMemoOverExactSamples = 4096;
constexpr size_t kMemoOverBaselineFastPower = 65536;
constexpr size_t kMemoOverBaselineFastExponential = 32768;

inline DistortionPath choose_path(const DistortionSettings& s, size_t count, Vectors cpu) {
    bool fast_curve = s.shape == DistortionShape::power || s.shape == DistortionShape::exponential;
    distortion_fast::FastSettings f;
    if (fast_curve && distortion_fast::fast_settings(s, &f)) {
        size_t memo_from = s.shape == DistortionShape::power ? kMemoOverBaselineFastPower
                                                             : kMemoOverBaselineFastExponential;
        bool memo_pays = cpu == Vectors::baseline && count >= memo_from;
        return memo_pays ? DistortionPath::memo : DistortionPath::fast;
    }
    bool cheap = s.shape == DistortionShape::bit_reduction && !s.soft_limit;
    return !cheap && count >= kMemoOverExactSamples ? DistortionPath::memo : DistortionPath::exact;
}

namespace distortion_detail {

template <DistortionShape Shape, bool SoftLimit, bool Safe>
inline int16_t distort_sample(const DistortionSettings& s, int16_t sample) {
    double x = sample;
    return mixed<Safe>(s, x, shaped<Shape, SoftLimit, Safe>(s, x));
}

// memo: nullptr, or 65536 zeroed cells remembering the output of each input
// value (stored + 65536, so 0 means "not yet").
template <DistortionShape Shape, bool SoftLimit, bool Safe>
void distort_exact(const DistortionSettings& s, const int16_t* in, int16_t* out, size_t count, int32_t* memo) {
    if (memo) {
        for (size_t i = 0; i < count; ++i) {
            int32_t& cell = memo[in[i] + 32768];
            if (cell == 0) cell = distort_sample<Shape, SoftLimit, Safe>(s, in[i]) + 65536;
            out[i] = static_cast<int16_t>(cell - 65536);
        }
    } else {
        for (size_t i = 0; i < count; ++i) out[i] = distort_sample<Shape, SoftLimit, Safe>(s, in[i]);
    }
}

template <DistortionShape Shape, bool SoftLimit>
void distort_exact(const DistortionSettings& s, const int16_t* in, int16_t* out, size_t count, int32_t* memo) {
    // Plain casts are exact when x * pre stays within 32 bits, the mix keeps
    // the sum between the dry and the wet sample, and (bit reduction) the
    // post-gain product is finite.
    bool safe = s.pre_gain < 65535.0 && s.mix >= 0.0 && s.mix <= 1.0 &&
                (Shape != DistortionShape::bit_reduction || SoftLimit || std::fabs(s.post_gain) < 1e290);
    if (safe) {
        distort_exact<Shape, SoftLimit, true>(s, in, out, count, memo);
    } else {
        distort_exact<Shape, SoftLimit, false>(s, in, out, count, memo);
    }
}

// The block on the given path; the fast path runs on the processor's widest
// vectors.
template <DistortionShape Shape, bool SoftLimit>
void distort_block(const DistortionSettings& s, DistortionPath path, Vectors cpu, const int16_t* in,
                   int16_t* out, size_t count, int32_t* memo) {
    using namespace distortion_fast;
    if constexpr (Shape == DistortionShape::power || Shape == DistortionShape::exponential) {
        FastSettings f;
        if (path == DistortionPath::fast && fast_settings(s, &f)) {
#if defined(__x86_64__) && defined(__GNUC__)
            if (cpu == Vectors::avx512)
                return run_kernel_avx512vl<distort_fast8<Shape, SoftLimit>>(&s, &f, in, out, count);
            if (cpu == Vectors::avx2) return run_kernel_avx2<distort_fast4<Shape, SoftLimit>>(&s, &f, in, out, count);
#endif
            (void)cpu;  // the baseline's vectors
            return distort_fast4<Shape, SoftLimit>(&s, &f, in, out, count);
        }
    }
    distort_exact<Shape, SoftLimit>(s, in, out, count, path == DistortionPath::memo ? memo : nullptr);
}

template <DistortionShape Shape>
void distort_block(const DistortionSettings& s, DistortionPath path, Vectors cpu, const int16_t* in,
                   int16_t* out, size_t count, int32_t* memo) {
    if (s.soft_limit) return distort_block<Shape, true>(s, path, cpu, in, out, count, memo);
    distort_block<Shape, false>(s, path, cpu, in, out, count, memo);
}

}  // namespace distortion_detail

// Shapes count samples from in into out (which may be the same memory) on
// the path that choose_path gave for this cpu.  shape must be 0 .. 3; memo
// must hold 65536 zeroed cells when the path is memo.
inline void distort(const DistortionSettings& s, DistortionPath path, Vectors cpu, const int16_t* in,
                    int16_t* out, size_t count, int32_t* memo) {
    using namespace distortion_detail;
    switch (s.shape) {
        case DistortionShape::power:
            return distort_block<DistortionShape::power>(s, path, cpu, in, out, count, memo);
        case DistortionShape::bit_reduction:
            return distort_block<DistortionShape::bit_reduction>(s, path, cpu, in, out, count, memo);
        case DistortionShape::exponential:
            return distort_block<DistortionShape::exponential>(s, path, cpu, in, out, count, memo);
        case DistortionShape::rational:
            return distort_block<DistortionShape::rational>(s, path, cpu, in, out, count, memo);
    }
}

}  // namespace divavova
