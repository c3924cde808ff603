// Eight-lane logf and expf that return the C library's bits.
//
// glibc (2.27 on) evaluates both in double precision: logf from a 16-entry
// table of 1/c and log c and a cubic in r = z/c - 1, expf from a 32-entry
// table of 2^(i/32) and a cubic in the remainder of x * 32/ln2.  On a
// processor with FMA and AVX2 it runs a build of that code in which five
// multiply-adds of each function are fused.  The lanes below do the same
// double operations in the same order, fused exactly where that build fuses
// them, with the same tables and coefficients, and so return the same float
// for every input (tools/check-libm-lanes compares all 2^32 inputs).  Inputs
// the library treats apart (logf: 1 and anything but a positive normal
// number; expf: |x| >= 88 and NaN) are handed to the library itself.
//
// Two widths: eight lanes where the processor has AVX-512 (the doubles of
// eight floats fill one 512-bit register), four where it has AVX2 and FMA
// (four doubles to a 256-bit register).  Both do the same operations.
//
// A different C library, or a glibc running its build without FMA, may round
// some inputs otherwise; lanes_match checks the library in use on inputs
// where those builds disagree before either width is chosen.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engines/dynamics_gain.hpp"
#include "module/cpu.hpp"
#include "module/dispatch.hpp"
#include "module/lanes.hpp"

namespace divavova {

namespace libm_tables {

// logf: z = x / 2^k in [0x3f330000, 2 * 0x3f330000) falls in one of 16
// intervals; c is near its centre.
alignas(64) inline constexpr double kInvC[16] = {
    0x1.661ec79f8f3bep+0, 0x1.571ed4aaf883dp+0, 0x1.49539f0f010b0p+0, 0x1.3c995b0b80385p+0,
    0x1.30d190c8864a5p+0, 0x1.25e227b0b8ea0p+0, 0x1.1bb4a4a1a343fp+0, 0x1.12358f08ae5bap+0,
    0x1.0953f419900a7p+0, 0x1.0000000000000p+0, 0x1.e608cfd9a47acp-1, 0x1.ca4b31f026aa0p-1,
    0x1.b2036576afce6p-1, 0x1.9c2d163a1aa2dp-1, 0x1.886e6037841edp-1, 0x1.767dcf5534862p-1};
alignas(64) inline constexpr double kLogC[16] = {
    -0x1.57bf7808caadep-2, -0x1.2bef0a7c06ddbp-2, -0x1.01eae7f513a67p-2, -0x1.b31d8a68224e9p-3,
    -0x1.6574f0ac07758p-3, -0x1.1aa2bc79c8100p-3, -0x1.a4e76ce8c0e5ep-4, -0x1.1973c5a611cccp-4,
    -0x1.252f438e10c1ep-5, 0x0.0p+0,               0x1.aa5aa5df25984p-5, 0x1.c5e53aa362eb4p-4,
    0x1.526e57720db08p-3,  0x1.bc2860d224770p-3,  0x1.1058bc8a07ee1p-2, 0x1.4043057b6ee09p-2};
inline constexpr double kLn2 = 0x1.62e42fefa39efp-1;
inline constexpr double kLogA0 = -0x1.00ea348b88334p-2;
inline constexpr double kLogA1 = 0x1.5575b0be00b6ap-2;
inline constexpr double kLogA2 = -0x1.ffffef20a4123p-2;
inline constexpr uint32_t kLogOffset = 0x3f330000;

// expf: the bits of 2^(i/32), less i << 47 (the exponent is added back).
alignas(64) inline constexpr uint64_t kExp2[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
    0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
    0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
    0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
    0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
    0x3fefa4afa2a490da, 0x3fefd0765b6e4540};
inline constexpr double kInvLn2N = 0x1.71547652b82fep+5;  // 32 / ln 2
inline constexpr double kShift = 0x1.8p+52;               // rounds to an integer when added
inline constexpr double kExpC0 = 0x1.c6af84b912394p-20;
inline constexpr double kExpC1 = 0x1.ebfce50fac4f3p-13;
inline constexpr double kExpC2 = 0x1.62e42ff0c52d6p-6;
inline constexpr uint32_t kExpTop12Limit = 0x42b;  // top 12 bits of 88.0f, sign masked

}  // namespace libm_tables

#if defined(__x86_64__) && defined(__GNUC__)
#define DIVAVOVA_LIBM_LANES 1
#define DIVAVOVA_LANES_TARGET __attribute__((target("avx512f,avx512vl"), always_inline))

// out[lane] = f(in[lane]) for the lanes flagged in `special`: the library's
// own results where the lanes hand an input over, at either width.
template <float (*f)(float)>
inline void library_results(const float* in, float* out, unsigned count, unsigned special) {
    for (unsigned lane = 0; lane < count; ++lane) {
        if (special & (1u << lane)) out[lane] = f(in[lane]);
    }
}

// The lanes of v flagged in `special`, recomputed by the library's `f`.
template <float (*f)(float)>
DIVAVOVA_LANES_TARGET inline __m256 library_lanes(__m256 result, __m256 v, __mmask8 special) {
    alignas(32) float in[8];
    alignas(32) float out[8];
    _mm256_store_ps(in, v);
    _mm256_store_ps(out, result);
    library_results<f>(in, out, 8, special);
    return _mm256_load_ps(out);
}

// The maskz forms with every lane on give the plain instructions' results;
// GCC 12's plain forms start from an undefined vector and warn about it.
inline constexpr __mmask8 kAll = 0xff;

inline float library_logf(float v) { return logf(v); }
inline float library_expf(float v) { return expf(v); }

DIVAVOVA_LANES_TARGET inline __m256 logf_lanes(__m256 x) {
    using namespace libm_tables;
    const __m256i ix = _mm256_castps_si256(x);
    const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32(static_cast<int>(kLogOffset)));
    const __m256i index = _mm256_and_si256(_mm256_srli_epi32(tmp, 19), _mm256_set1_epi32(15));
    const __m256i k = _mm256_srai_epi32(tmp, 23);
    const __m256i iz = _mm256_sub_epi32(ix, _mm256_and_si256(tmp, _mm256_set1_epi32(static_cast<int>(0xff800000u))));
    const __m512i index64 = _mm512_maskz_cvtepi32_epi64(kAll, index);
    const __m512d invc = _mm512_permutex2var_pd(_mm512_load_pd(kInvC), index64, _mm512_load_pd(kInvC + 8));
    const __m512d logc = _mm512_permutex2var_pd(_mm512_load_pd(kLogC), index64, _mm512_load_pd(kLogC + 8));
    const __m512d z = _mm512_maskz_cvtps_pd(kAll, _mm256_castsi256_ps(iz));
    const __m512d r = _mm512_fmadd_pd(z, invc, _mm512_set1_pd(-1.0));
    const __m512d y0 = _mm512_fmadd_pd(_mm512_maskz_cvtepi32_pd(kAll, k), _mm512_set1_pd(kLn2), logc);
    const __m512d r2 = _mm512_mul_pd(r, r);
    __m512d y = _mm512_fmadd_pd(r, _mm512_set1_pd(kLogA1), _mm512_set1_pd(kLogA2));
    y = _mm512_fmadd_pd(r2, _mm512_set1_pd(kLogA0), y);
    y = _mm512_fmadd_pd(r2, y, _mm512_add_pd(y0, r));
    const __m256 result = _mm512_maskz_cvtpd_ps(kAll, y);
    // logf(1) is +0 in every rounding mode; subnormals, zero, negatives,
    // infinities and NaN take the library's own path.
    const __mmask8 one = _mm256_cmpeq_epi32_mask(ix, _mm256_set1_epi32(0x3f800000));
    const __mmask8 special = _mm256_cmpge_epu32_mask(_mm256_sub_epi32(ix, _mm256_set1_epi32(0x00800000)),
                                                     _mm256_set1_epi32(0x7f800000 - 0x00800000));
    const __m256 exact = _mm256_mask_blend_ps(one, result, _mm256_setzero_ps());
    return special ? library_lanes<library_logf>(exact, x, special) : exact;
}

DIVAVOVA_LANES_TARGET inline __m256 expf_lanes(__m256 x) {
    using namespace libm_tables;
    const __m256i ix = _mm256_castps_si256(x);
    const __m256i abstop = _mm256_and_si256(_mm256_srli_epi32(ix, 20), _mm256_set1_epi32(0x7ff));
    const __mmask8 special = _mm256_cmpge_epu32_mask(abstop, _mm256_set1_epi32(kExpTop12Limit));
    const __m512d xd = _mm512_maskz_cvtps_pd(kAll, x);
    const __m512d inv_ln2_n = _mm512_set1_pd(kInvLn2N);
    const __m512d shift = _mm512_set1_pd(kShift);
    const __m512d shifted = _mm512_fmadd_pd(inv_ln2_n, xd, shift);
    const __m512i ki = _mm512_castpd_si512(shifted);
    const __m512d kd = _mm512_sub_pd(shifted, shift);
    const __m512d r = _mm512_fmsub_pd(inv_ln2_n, xd, kd);
    // 2^(ki/32): table entry ki mod 32 (bit 4 picks the half), exponent ki / 32.
    const __m512i low = _mm512_permutex2var_epi64(_mm512_load_si512(kExp2), ki, _mm512_load_si512(kExp2 + 8));
    const __m512i high = _mm512_permutex2var_epi64(_mm512_load_si512(kExp2 + 16), ki, _mm512_load_si512(kExp2 + 24));
    const __mmask8 upper = _mm512_test_epi64_mask(ki, _mm512_set1_epi64(16));
    const __m512i t = _mm512_add_epi64(_mm512_mask_blend_epi64(upper, low, high), _mm512_maskz_slli_epi64(kAll, ki, 47));
    const __m512d s = _mm512_castsi512_pd(t);
    const __m512d z = _mm512_fmadd_pd(r, _mm512_set1_pd(kExpC0), _mm512_set1_pd(kExpC1));
    const __m512d r2 = _mm512_mul_pd(r, r);
    __m512d y = _mm512_fmadd_pd(r, _mm512_set1_pd(kExpC2), _mm512_set1_pd(1.0));
    y = _mm512_fmadd_pd(z, r2, y);
    y = _mm512_mul_pd(y, s);
    const __m256 result = _mm512_maskz_cvtpd_ps(kAll, y);
    return special ? library_lanes<library_expf>(result, x, special) : result;
}

// Eight frames at a time for the gain computers, in the module's lanes
// (a GCC vector type, whose operators act lane by lane with the scalar IEEE
// operations; __m256 itself carries an attribute that a template argument
// drops).
using Floats8 = Lanes<8>::F;

template <>
struct LaneMath<Floats8> : Lanes<8> {
    __attribute__((target("avx512f,avx512vl"))) static Floats8 log(Floats8 x) {
        return reinterpret_cast<Floats8>(logf_lanes(reinterpret_cast<__m256>(x)));
    }
    __attribute__((target("avx512f,avx512vl"))) static Floats8 exp(Floats8 x) {
        return reinterpret_cast<Floats8>(expf_lanes(reinterpret_cast<__m256>(x)));
    }
};

// Four lanes for processors with AVX2 and FMA but not AVX-512: the same
// double operations as above, four at a time, the tables read by gathers.
#define DIVAVOVA_LANES4_TARGET __attribute__((target("avx2,fma"), always_inline))

// Gathers of every lane, through the masked forms for the same reason as kAll.
DIVAVOVA_LANES4_TARGET inline __m256d gather_doubles(const double* table, __m128i index) {
    return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), table, index, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
}
DIVAVOVA_LANES4_TARGET inline __m256i gather_bits(const uint64_t* table, __m256i index) {
    return _mm256_mask_i64gather_epi64(_mm256_setzero_si256(), reinterpret_cast<const long long*>(table), index,
                                       _mm256_set1_epi64x(-1), 8);
}

template <float (*f)(float)>
DIVAVOVA_LANES4_TARGET inline __m128 library_lanes4(__m128 result, __m128 v, int special) {
    alignas(16) float in[4];
    alignas(16) float out[4];
    _mm_store_ps(in, v);
    _mm_store_ps(out, result);
    library_results<f>(in, out, 4, static_cast<unsigned>(special));
    return _mm_load_ps(out);
}

DIVAVOVA_LANES4_TARGET inline __m128 logf_lanes4(__m128 x) {
    using namespace libm_tables;
    const __m128i ix = _mm_castps_si128(x);
    const __m128i tmp = _mm_sub_epi32(ix, _mm_set1_epi32(static_cast<int>(kLogOffset)));
    const __m128i index = _mm_and_si128(_mm_srli_epi32(tmp, 19), _mm_set1_epi32(15));
    const __m128i k = _mm_srai_epi32(tmp, 23);
    const __m128i iz = _mm_sub_epi32(ix, _mm_and_si128(tmp, _mm_set1_epi32(static_cast<int>(0xff800000u))));
    const __m256d invc = gather_doubles(kInvC, index);
    const __m256d logc = gather_doubles(kLogC, index);
    const __m256d z = _mm256_cvtps_pd(_mm_castsi128_ps(iz));
    const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
    const __m256d y0 = _mm256_fmadd_pd(_mm256_cvtepi32_pd(k), _mm256_set1_pd(kLn2), logc);
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = _mm256_fmadd_pd(r, _mm256_set1_pd(kLogA1), _mm256_set1_pd(kLogA2));
    y = _mm256_fmadd_pd(r2, _mm256_set1_pd(kLogA0), y);
    y = _mm256_fmadd_pd(r2, y, _mm256_add_pd(y0, r));
    const __m128 result = _mm256_cvtpd_ps(y);
    // As above: logf(1) is +0, and the library takes what is not a positive
    // normal number.  ix - 2^23 >= 0x7f800000 - 2^23, unsigned, as a signed
    // comparison of both sides with the sign bit flipped.
    const __m128 one = _mm_castsi128_ps(_mm_cmpeq_epi32(ix, _mm_set1_epi32(0x3f800000)));
    const __m128i flipped = _mm_xor_si128(_mm_sub_epi32(ix, _mm_set1_epi32(0x00800000)),
                                          _mm_set1_epi32(static_cast<int>(0x80000000u)));
    const int special = _mm_movemask_ps(_mm_castsi128_ps(
        _mm_cmpgt_epi32(flipped, _mm_set1_epi32(static_cast<int>((0x7f800000u - 0x00800000u - 1u) ^ 0x80000000u)))));
    const __m128 exact = _mm_andnot_ps(one, result);
    return special ? library_lanes4<library_logf>(exact, x, special) : exact;
}

DIVAVOVA_LANES4_TARGET inline __m128 expf_lanes4(__m128 x) {
    using namespace libm_tables;
    const __m128i ix = _mm_castps_si128(x);
    const __m128i abstop = _mm_and_si128(_mm_srli_epi32(ix, 20), _mm_set1_epi32(0x7ff));
    const int special = _mm_movemask_ps(
        _mm_castsi128_ps(_mm_cmpgt_epi32(abstop, _mm_set1_epi32(static_cast<int>(kExpTop12Limit) - 1))));
    const __m256d xd = _mm256_cvtps_pd(x);
    const __m256d inv_ln2_n = _mm256_set1_pd(kInvLn2N);
    const __m256d shift = _mm256_set1_pd(kShift);
    const __m256d shifted = _mm256_fmadd_pd(inv_ln2_n, xd, shift);
    const __m256i ki = _mm256_castpd_si256(shifted);
    const __m256d kd = _mm256_sub_pd(shifted, shift);
    const __m256d r = _mm256_fmsub_pd(inv_ln2_n, xd, kd);
    // 2^(ki/32): table entry ki mod 32, exponent ki / 32.
    const __m256i entry = gather_bits(kExp2, _mm256_and_si256(ki, _mm256_set1_epi64x(31)));
    const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(ki, 47)));
    const __m256d z = _mm256_fmadd_pd(r, _mm256_set1_pd(kExpC0), _mm256_set1_pd(kExpC1));
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = _mm256_fmadd_pd(r, _mm256_set1_pd(kExpC2), _mm256_set1_pd(1.0));
    y = _mm256_fmadd_pd(z, r2, y);
    y = _mm256_mul_pd(y, s);
    const __m128 result = _mm256_cvtpd_ps(y);
    return special ? library_lanes4<library_expf>(result, x, special) : result;
}

using Floats4 = Lanes<4>::F;

template <>
struct LaneMath<Floats4> : Lanes<4> {
    // A broadcast: Lanes' lane-by-lane form is built here through a 4-byte
    // store and a 16-byte load, which waits for the store to retire.
    __attribute__((target("avx2,fma"))) static Floats4 splat(float x) {
        return reinterpret_cast<Floats4>(_mm_set1_ps(x));
    }
    __attribute__((target("avx2,fma"))) static Floats4 log(Floats4 x) {
        return reinterpret_cast<Floats4>(logf_lanes4(reinterpret_cast<__m128>(x)));
    }
    __attribute__((target("avx2,fma"))) static Floats4 exp(Floats4 x) {
        return reinterpret_cast<Floats4>(expf_lanes4(reinterpret_cast<__m128>(x)));
    }
};

// Each width over eight values, for the checks.
__attribute__((target("avx512f,avx512vl"))) inline void logf_eight_wide(const float* in, float* out) {
    _mm256_storeu_ps(out, logf_lanes(_mm256_loadu_ps(in)));
}
__attribute__((target("avx512f,avx512vl"))) inline void expf_eight_wide(const float* in, float* out) {
    _mm256_storeu_ps(out, expf_lanes(_mm256_loadu_ps(in)));
}
__attribute__((target("avx2,fma"))) inline void logf_four_wide(const float* in, float* out) {
    for (int half = 0; half < 8; half += 4) _mm_storeu_ps(out + half, logf_lanes4(_mm_loadu_ps(in + half)));
}
__attribute__((target("avx2,fma"))) inline void expf_four_wide(const float* in, float* out) {
    for (int half = 0; half < 8; half += 4) _mm_storeu_ps(out + half, expf_lanes4(_mm_loadu_ps(in + half)));
}

using EightValues = void (*)(const float*, float*);

// True when the C library in use gives the lanes' bits on inputs where the
// builds in circulation round differently: values where glibc's logf and
// expf are not correctly rounded (a correctly rounding library fails here),
// two where its FMA and plain builds of expf differ, and ordinary ones.
inline bool lanes_match(EightValues log_lanes, EightValues exp_lanes) {
    static constexpr uint32_t kLogInputs[24] = {
        0x35882a31, 0x36382c50, 0x36e6303a, 0x37950db7, 0x3844aa43, 0x38f48204, 0x39a3e55c, 0x3a53921f,
        0x3b032100, 0x3bb2b990, 0x3c62599c, 0x3d11fb6c, 0x3dc1981f, 0x3e712b0c, 0x3f20c77e, 0x3fd0656e,
        0x3f800000, 0x3f7fffff, 0x3f800001, 0x358637bd, 0x00800000, 0x7f7fffff, 0x3e800000, 0x40490fdb};
    static constexpr uint32_t kExpInputs[24] = {
        0x3a839d14, 0x3b66b6ea, 0x3c4a9353, 0x3d2e2daa, 0x3e119201, 0x3ef52e58, 0x3fd8c77b, 0x40bc9fba,
        0x41a00d06, 0xba8323ca, 0xbb66b556, 0xbc4a529d, 0xbd2df02e, 0xbe119f29, 0xbef54dca, 0xbfd8c4b6,
        0xc0bc7277, 0xc1a002df, 0x4202422f, 0xc27c65d9, 0x00000000, 0x80000000, 0xc2aeac50, 0x42b0c0a5};
    float in[8];
    float lanes[8];
    for (size_t group = 0; group < 3; ++group) {
        std::memcpy(in, kLogInputs + 8 * group, sizeof in);
        log_lanes(in, lanes);
        for (size_t i = 0; i < 8; ++i) {
            const float library = logf(in[i]);
            if (std::memcmp(&library, &lanes[i], sizeof library) != 0) return false;
        }
        std::memcpy(in, kExpInputs + 8 * group, sizeof in);
        exp_lanes(in, lanes);
        for (size_t i = 0; i < 8; ++i) {
            const float library = expf(in[i]);
            if (std::memcmp(&library, &lanes[i], sizeof library) != 0) return false;
        }
    }
    return true;
}

// Eight lanes where the processor has AVX-512 (F, VL, and BW and DQ for
// the loops around them; and so the FMA and AVX2 with which glibc picks its
// fused build) and the library passes the check.
inline bool libm_lanes_usable() {
    static const bool usable = cpu_has_avx512bw() && cpu_has_avx2() && DIVAVOVA_CPU_SUPPORTS("fma") &&
                               lanes_match(logf_eight_wide, expf_eight_wide);
    return usable;
}

// Four lanes where it has AVX2 and FMA, and the library passes the check.
inline bool libm_lanes4_usable() {
    static const bool usable =
        cpu_has_avx2() && DIVAVOVA_CPU_SUPPORTS("fma") && lanes_match(logf_four_wide, expf_four_wide);
    return usable;
}

#endif

}  // namespace divavova
