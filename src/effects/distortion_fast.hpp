// A certified fast path for the exponential and the power curves of the
// distortion.
//
// The exact chain calls the C library's exp five times per sample (four for
// the curve, one in the soft limiter) or pow once.  Only an integer leaves the
// shaped path: w, the truncated (and, without the limiter, clamped) product
// u * 32767, which the mix then uses.  So the fast path computes the same
// chain with polynomial exp and log that vectorise, together with a rigorous
// bound E on |y~ - y|, y being the double u * 32767 of the exact chain and
// y~ the fast one.  Where trunc(y~ - E) == trunc(y~ + E) (after the clamp),
// that integer is w; elsewhere the sample is shaped again by the exact chain.
// The output bytes are therefore those of the exact chain, whichever path a
// sample took, and whichever lane width (4 or 8, see below) the processor
// runs: the bound holds for any evaluation in IEEE double operations.  The
// bound is generous (it costs a fallback rate around 1e-5, not bits); it is
// proved below for the settings that fast_settings accepts.
//
// Notation: u = 2^-53 (unit roundoff), fl() the rounded operation.  Every
// double operation of the fast chain is a correctly rounded IEEE operation
// (no contraction, no fast-math), so |fl(x op y) - x op y| <= u |fl(x op y)|
// and <= u |x op y| for normal results.
//
// The C library.  Nothing is assumed about correct rounding: EXP(z) and
// POW(x, p) are taken to be within 1 ulp of the true value, and 1 ulp of a
// normal double y is at most 2^-52 |y|, so |EXP(z) - exp(z)| <= eta exp(z)
// with eta = 2^-52 (likewise POW).  Every library result below is normal
// (the ranges are checked where they are used), so this holds throughout.
//
// fast_exp(z) and the e^-z of fast_exp_pair, for |z| <= 708 (larger
// arguments are clamped there):
//   n = round(z / ln2) by the 1.5 * 2^52 shift (|n| <= 1022, exact integer),
//   r = (z - n C1) - n C2, with C1 the high 32 bits of ln2 (n C1 is exact)
//   and C2 the rest.  |z/ln2 - fl(z * log2e)| <= 2^-53 1022 < 2e-13, so
//   |r| <= 0.5 ln2 + 2e-13 < 0.34658.  The two subtractions and n C2 round
//   (|n C2| < 2e-7), and |ln2 - C1 - C2| < 1e-26: |r~ - (z - n ln2)| < 2e-16.
//   p(r) = sum r^k / k!, k = 0 .. 9, as even + odd parts in Estrin's order
//   (e^-z is 2^-n p(-r), p(-r) = even - odd: the same bounds hold).  Taylor
//   remainder relative to e^r: e^(2|r|) |r|^10 / 10! < 1.38e-11.  Rounding:
//   every term c_k r^k carries at most 13 rounding factors (its coefficient,
//   the powers of r, the products and sums on its way), so the evaluation is
//   within gamma_13 sum |c_k| |r|^k <= 1.5e-15 e^0.347 < 2.1e-15 absolute,
//   over p(r) >= e^-0.347: < 3e-15 relative.  The error in r moves e^r by a
//   factor within 1 +- 2.1e-16.  Scaling by 2^n is exact (the result stays
//   normal for |z| <= 708).
//   So |fast_exp(z) / exp(z) - 1| <= delta = 1.4e-11 (kExpError), and the
//   same for e^-z.
//
// fast_log(x), for x = |v| / 32768 with 1 <= |v| < 2^31 (so |ln x| < 11.1):
//   x = 2^k m with m in [sqrt(1/2), sqrt 2) taken from the bits (exact);
//   f = m - 1 (exact, Sterbenz), s = f / (m + 1) (two roundings, |s| <=
//   0.17158, |s~ - s| <= 2.01 u |s|, which moves ln m by <= 2.06 times that:
//   0.71 u).  ln m = 2 atanh s = 2s + s (z (2/3 + z (2/5 + ... 2/13))),
//   z = s^2; the series left out is <= 2 |s|^15 / 15 / (1 - s^2) < 4.6e-13.
//   Evaluating it rounds by <= 3 u |ln m| (the 2s term is exact, the rest is
//   about 1 % of it) = 1.05 u.  ln x = k C1 + (k C2 + ln m): k C1 exact, the
//   two additions round by u 0.35 and u 11.1.  So |fast_log(x) - ln x| <=
//   dL = 4.6e-13 + 14 u (kLogError).
//
// Power curve, P = 1.0001 - drive in (0, 2] (fast_settings checks it):
//   magnitude = POW(|u|, P) = exp(P ln|u|) (1 + th), |th| <= eta, a normal
//   number since |u| in [2^-15, 2^16) and P <= 2.  Fast: t~ = fl(P L~),
//   |t~ - P ln|u|| <= P dL + u |t~| <= P (dL + 11.2 u) = dt (|t| < 22.2, in
//   fast_exp's range); magnitude~ = fast_exp(t~).  So |magnitude~ -
//   magnitude| <= eps_m magnitude, eps_m = (delta + dt + eta) 1.001.  v = 0
//   gives magnitude 0 in both chains (POW(0, P > 0) = 0).  Both chains then
//   negate for v < 0 and multiply by post: u2 = fl(u post).  With the post
//   gain within [2^-60, 2^60] the products are normal and
//   |u2~ - u2| <= A2 + R2 |u2~|, A2 = 2^-1000 (a formal floor), R2 = (eps_m +
//   2u) 1.001.
//
// Exponential curve, for |a| <= A, A = min(700, 0.686306 pre (1 + 2^-50))
//   (lanes with |a| > 700 fall back):  a, s = sqrt|a| and t = -0.75 s are the
//   same correctly rounded operations in both chains.  Exact chain: e =
//   EXP(a), g = EXP(t), h = fl(1 + g), k = fl(-a h), f = EXP(k), m = EXP(-a),
//   num = fl(e - f), den = fl(m + e), c = fl(num / den).  Fast chain: the
//   same with fast_exp, e~ and m~ from one fast_exp_pair(a).  All
//   exponentials are normal: |a| <= 700 and |k| <= |a| (1 + g) < 700.001.
//   - |e~ - e| <= (delta + eta) e^a.
//   - |g~ - g| <= (delta + eta) (g <= 1); h adds u 2 twice: |h~ - h| <= dh =
//     delta + eta + 2^-51.
//   - |k~ - k| <= |a| dh + u (|a h~| + |a h|) <= dk = A (dh + 2^-51).
//   - |f~ - f| <= (delta + dk + eta) e^k (1 + 2 dk): the true exp moves by
//     e^dk between k and k~.
//   - |m~ - m| <= (delta + eta) e^-a.
//   - den >= e^|a| >= 1, and e^k / den < 2.62 (a < 0: e^k / e^|a| =
//     e^(|a| (h - 1)) with |a| g <= max s^2 e^(-0.75 s) = 0.962 plus the
//     roundings; a > 0: e^k <= 1, den >= 2); so |num| / den < 3.7 and |c| < 3.7.
//   - |num~ - num| / den <= (delta + eta) + 2.7 (delta + eta + dk)(1 + 2 dk)
//     + 2u 3.71 = n_err (the absolute bound that survives the cancellation
//     of e - f near a = 0).
//   - |den~ - den| / den <= rho = (delta + 4u + eta) 1.001.
//   - |c~ - c| <= (n_err + 3.71 rho) / (1 - rho) + 2u 3.72 = E_c.
//   Then u2 = fl(c post): |u2~ - u2| <= A2 + R2 |u2~|, A2 = post E_c (1 + u)
//   + 2^-1000, R2 = 2.01 u.
//
// Soft limiter: both chains give u3 = sign(u2) fl(1 - EXP(-|u2|)) (for u2 <=
//   0, fl(exp(u2) - 1) = -fl(1 - exp(u2)): rounding is symmetric).
//   Saturation: where |u2~| >= T = (38 + A2) / (1 - R2) (1 + 2^-50), |u2| >=
//   38 with the same sign, EXP(-|u2|) < 3.2e-17 < 2^-54 and 1 - that rounds
//   to 1: w is exactly +-32767.  Elsewhere |u2~| < T, so D2 = A2 + R2 |u2~|
//   <= 1e-3 (fast_settings checks it).  With eps~ = fast_exp(-|u2~|),
//   |eps~ - EXP(-|u2|)| <= rho eps~, rho = (delta + eta + D2) 1.01, since the
//   true exp moves by a factor within e^(+-D2) between |u2~| and |u2| (where
//   the two differ in sign both are within D2 of 0, eps~ > 0.99, and the
//   limiter is 1-Lipschitz, so the bound holds there too).  1 - EXP rounds
//   once in each chain, y = fl(32767 u3) once more:
//   |y~ - y| <= 32767 (rho eps~ + 4.1 u).
//   Near full scale that window cannot separate y from 32767, but there the
//   exact u3 is 1 when EXP(-|u2|) <= 2^-54 (1 - that rounds to 1, ties to
//   even) and at most 1 - 2^-53 otherwise, which 32767 times rounds to
//   32767 - 2^-38.  So where eps~ (1 + rho) < 2^-54, w = +-32767; where
//   2^-54 < eps~ (1 - rho) and eps~ (1 + rho) < 2^-41, w = +-32766 (y >
//   32767 - 32767 (2^-41 + u) > 32766); in between the exact chain decides.
//   These lanes (and the saturated ones) take y~ = +-32767.25 or +-32766.5,
//   whose window (below 1e-9 there) holds just that integer after the clamp.
// Without the limiter: y = fl(32767 u2), |y~ - y| <= 32767 A2 (1 + u) + (R2
//   + 2u) 1.001 |y~|; w = clamp(trunc(y)) = trunc(clamp(y)) (integer bounds).
//
// Second-order terms (products of quantities below 1e-9) are covered by
// doubling every final bound (kMargin).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

// The lanes are GCC vector-extension vectors of N doubles: N = 4 in the
// baseline build (pairs of SSE2 operations) and the AVX2 clone
// (module/dispatch.hpp), N = 8 in the AVX-512 clone (distortion_kernel.hpp).
// Every helper taking or returning a lane vector is inlined into the block
// loop, so no vector crosses a call and GCC's note on the vector calling
// convention does not apply.  GCC reports it at the end of the translation
// unit, so it is silenced for the rest of the including file (distortion.cpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace divavova {
namespace distortion_fast {

constexpr double kUnit = 0x1p-53;            // u
constexpr double kLibraryError = 0x1p-52;    // eta: 1 ulp of the C library
constexpr double kExpError = 1.4e-11;        // delta: fast_exp, relative
constexpr double kLogError = 4.6e-13 + 14.0 * 0x1p-53;  // dL: fast_log, absolute
constexpr double kMargin = 2.0;
constexpr double kMaxCurveArgument = 700.0;  // |a| of the exponential curve
constexpr double kSaturated = 38.0;          // |u2| beyond which the limiter gives +-1 exactly

constexpr double kRoundShift = 0x1.8p52;     // adding it rounds |x| < 2^51 to an integer
constexpr uint64_t kRoundShiftBits = 0x4338000000000000ull;
constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2High = 0x1.62e42fee00000p-1;   // 32 significant bits
constexpr double kLn2Low = 0x1.a39ef35793c76p-33;   // ln2 - kLn2High

constexpr int32_t kUncertain = INT32_MIN;

// The settings the bounds above are proved for, and the per-call constants
// of the fast path (power: the power curve, else the exponential one); false
// where the exact chain must shape every sample.
struct FastSettings {
    double pre_gain, post_gain, curve_constant;
    // Without the limiter, E = window + window_slope |y~|.  With it, E =
    // window + window_slope rho eps~, rho = rho_floor + rho_slope |u2~|, and
    // saturated is T.
    double window, window_slope;
    double rho_floor, rho_slope, saturated;
};

inline bool fast_settings(bool power, bool soft_limit, double pre_gain, double post_gain,
                          double curve_constant, double mix, FastSettings* f) {
    constexpr double u = kUnit, eta = kLibraryError, delta = kExpError;
    // The plain casts of the fast and the exact chain need |x pre| < 2^31
    // and a mix between the dry and the wet sample; the products with the
    // post gain must stay normal.
    if (!(pre_gain < 65535.0 && mix >= 0.0 && mix <= 1.0 && post_gain >= 0x1p-60 && post_gain <= 0x1p60))
        return false;
    double absolute = 0x1p-1000, relative = 0.0;
    if (power) {
        if (!(curve_constant > 0.0 && curve_constant <= 2.0)) return false;
        double dt = curve_constant * (kLogError + (11.2 * u));
        double eps_m = (delta + dt + eta) * 1.001;
        relative = (eps_m + (2.0 * u)) * 1.001;
    } else {
        // Beyond this pre gain most loud samples have |a| > 700 and would be
        // handed over one by one; the exact chain (and its memo on long
        // blocks) serves them better.
        if (!(pre_gain <= 1500.0)) return false;
        double max_a = std::fmin(kMaxCurveArgument, 0.686306 * pre_gain * (1.0 + 0x1p-50));
        double dh = delta + eta + 0x1p-51;
        double dk = max_a * (dh + 0x1p-51);
        double n_err = (delta + eta) + (2.7 * (delta + eta + dk) * (1.0 + (2.0 * dk))) + (2.0 * u * 3.71);
        double rho = (delta + (4.0 * u) + eta) * 1.001;
        double curve_error = ((n_err + (3.71 * rho)) / (1.0 - rho)) + (2.0 * u * 3.72);
        absolute += post_gain * curve_error * (1.0 + u);
        relative = 2.01 * u;
    }
    absolute *= kMargin;
    relative *= kMargin;
    // A window this wide (huge post gains) would hand most samples over.
    if (!(32767.0 * absolute <= 1e-3)) return false;
    f->pre_gain = pre_gain;
    f->post_gain = post_gain;
    f->curve_constant = curve_constant;
    if (soft_limit) {
        f->saturated = ((kSaturated + absolute) / (1.0 - relative)) * (1.0 + 0x1p-50);
        if (!(absolute + (relative * f->saturated) <= 1e-3)) return false;
        f->rho_floor = (delta + eta + absolute) * 1.01 * kMargin;
        f->rho_slope = relative * 1.01 * kMargin;
        f->window = 32767.0 * 4.1 * u * kMargin;
        f->window_slope = 32767.0 * kMargin;
    } else {
        f->window = 32767.0 * absolute * (1.0 + u);
        f->window_slope = (relative + (2.0 * u)) * 1.001 * kMargin;
        f->rho_floor = f->rho_slope = f->saturated = 0.0;
    }
    return true;
}

#define DIVAVOVA_LANES [[gnu::always_inline]] static

// The fast chain on N samples at a time.  A block runs each stage over a run
// of lane groups before the next (distort_fast), so the processor overlaps
// the long exp chains of independent groups.
template <int N>
struct LaneTypes;
#define DIVAVOVA_LANE_TYPES(n)                                                        \
    template <>                                                                       \
    struct LaneTypes<n> {                                                             \
        typedef double F64 __attribute__((vector_size(8 * n)));                       \
        typedef int64_t I64 __attribute__((vector_size(8 * n))); /* masks: 0, -1 */ \
        typedef uint64_t U64 __attribute__((vector_size(8 * n)));                     \
        typedef int32_t I32 __attribute__((vector_size(4 * n)));                      \
        typedef int16_t I16 __attribute__((vector_size(2 * n)));                      \
    };
DIVAVOVA_LANE_TYPES(4)
DIVAVOVA_LANE_TYPES(8)
#undef DIVAVOVA_LANE_TYPES

template <int N>
struct Lanes {
    using F64 = typename LaneTypes<N>::F64;
    using I64 = typename LaneTypes<N>::I64;
    using U64 = typename LaneTypes<N>::U64;
    using I32 = typename LaneTypes<N>::I32;
    using I16 = typename LaneTypes<N>::I16;

    DIVAVOVA_LANES U64 bits_of(F64 d) { return reinterpret_cast<U64>(d); }
    DIVAVOVA_LANES F64 from_bits(U64 b) { return reinterpret_cast<F64>(b); }
    DIVAVOVA_LANES F64 splat(double d) { return d - F64{}; }  // d - 0 is d, -0 and NaN included
    // mask: one comparison (GCC 12 splits a 512-bit select on a combination
    // of comparisons into scalars).
    DIVAVOVA_LANES F64 select(I64 mask, F64 a, F64 b) { return mask ? a : b; }
    // max(a, b) and min(a, b) as the x86 instructions have them: b where a is NaN.
    DIVAVOVA_LANES F64 above(F64 a, double b) { return select(a > b, a, splat(b)); }
    DIVAVOVA_LANES F64 below(F64 a, double b) { return select(a < b, a, splat(b)); }
    DIVAVOVA_LANES F64 abs(F64 d) { return from_bits(bits_of(d) & 0x7FFFFFFFFFFFFFFFull); }
    DIVAVOVA_LANES F64 sqrt(F64 d) {
        F64 r;
        for (int j = 0; j < N; ++j) r[j] = std::sqrt(d[j]);
        return r;
    }

    // e^z and e^-z, each within a relative kExpError for |z| <= 708; z is
    // clamped to that range first, so every input lane gives finite positive
    // results.  e^-z comes from the same reduction: 2^-n p(-r), and p(-r) is
    // the even part of p(r) minus its odd part.
    struct ExpPair {
        F64 plus, minus;
    };
    DIVAVOVA_LANES ExpPair fast_exp_pair(F64 z) {
        z = below(above(z, -708.0), 708.0);
        F64 shifted = (z * kLog2e) + kRoundShift;
        F64 n = shifted - kRoundShift;
        F64 r = (z - (n * kLn2High)) - (n * kLn2Low);
        // p(r) = sum r^k / k!, k = 0 .. 9, as even + odd parts in Estrin's
        // order (short chains).
        F64 r2 = r * r;
        F64 r4 = r2 * r2;
        F64 r8 = r4 * r4;
        F64 even = ((1.0 + (r2 * 0.5)) + (r4 * ((1.0 / 24.0) + (r2 * (1.0 / 720.0))))) + (r8 * (1.0 / 40320.0));
        F64 odd = r * ((((1.0 + (r2 * (1.0 / 6.0))) + (r4 * ((1.0 / 120.0) + (r2 * (1.0 / 5040.0))))) +
                        (r8 * (1.0 / 362880.0))));
        // The low bits of shifted hold n; 2^n is n + 1023 in the exponent field.
        U64 n_bits = bits_of(shifted) - kRoundShiftBits;
        U64 scale_plus = (n_bits + 1023) << 52, scale_minus = (1023 - n_bits) << 52;
        return {(even + odd) * from_bits(scale_plus), (even - odd) * from_bits(scale_minus)};
    }

    DIVAVOVA_LANES F64 fast_exp(F64 z) { return fast_exp_pair(z).plus; }

    // ln x within kLogError for x = |v| / 32768, 1 <= |v| < 2^31 (any
    // positive normal x gives a finite result).
    DIVAVOVA_LANES F64 fast_log(F64 x) {
        constexpr uint64_t kSqrtHalfBits = 0x3FE6A09E667F3BCDull;  // sqrt(1/2)
        constexpr uint64_t kBias = 1ull << 63;
        U64 b = bits_of(x);
        // k = floor(log2(x / sqrt(1/2))), as a two's complement 64-bit value.
        U64 k = ((b - kSqrtHalfBits + kBias) >> 52) - (kBias >> 52);
        F64 m = from_bits(b - (k << 52));  // x / 2^k in [sqrt(1/2), sqrt 2)
        F64 kd = from_bits(kRoundShiftBits + k) - kRoundShift;
        F64 f = m - 1.0;
        F64 s = f / (m + 1.0);
        F64 z = s * s;
        F64 q = splat(2.0 / 13.0);
        q = (q * z) + (2.0 / 11.0);
        q = (q * z) + (2.0 / 9.0);
        q = (q * z) + (2.0 / 7.0);
        q = (q * z) + (2.0 / 5.0);
        q = (q * z) + (2.0 / 3.0);
        F64 log_m = (2.0 * s) + (s * (z * q));
        return (kd * kLn2High) + ((kd * kLn2Low) + log_m);
    }

    // u = trunc(x pre) / 32768 of N inputs.
    DIVAVOVA_LANES F64 pre_gained(const FastSettings& f, I16 samples) {
        F64 x = __builtin_convertvector(__builtin_convertvector(samples, I32), F64);
        I32 v = __builtin_convertvector(x * f.pre_gain, I32);
        return __builtin_convertvector(v, F64) * 3.0517578125e-05;
    }

    // Power curve and post gain: u2~.
    DIVAVOVA_LANES F64 power_curve(const FastSettings& f, F64 u) {
        F64 magnitude = fast_exp(f.curve_constant * fast_log(abs(u)));
        magnitude = select(u == 0.0, splat(0.0), magnitude);
        return select(u < 0.0, -magnitude, magnitude) * f.post_gain;
    }

    // Exponential curve, first half: a, e~, m~ and g~.
    struct CurveStart {
        F64 a, e, m, g;
    };
    DIVAVOVA_LANES void exponential_start(F64 u, CurveStart& c) {
        c.a = 0.686306 * u;
        ExpPair e = fast_exp_pair(c.a);
        c.e = e.plus;
        c.m = e.minus;
        c.g = fast_exp(-0.75 * sqrt(abs(c.a)));
    }

    // Second half and post gain: u2~, or NaN where |a| is beyond the proved
    // range (certified() then gives kUncertain).
    DIVAVOVA_LANES F64 exponential_end(const FastSettings& f, const CurveStart& c) {
        F64 numerator = c.e - fast_exp(-c.a * (1.0 + c.g));
        F64 u2 = (numerator / (c.m + c.e)) * f.post_gain;
        return select(abs(c.a) <= kMaxCurveArgument, u2, splat(__builtin_nan("")));
    }

    // w from u2~, or kUncertain in the lanes where the window around y~
    // holds more than one integer (or u2~ or y~ is NaN).
    template <bool SoftLimit>
    DIVAVOVA_LANES I32 certified(const FastSettings& f, F64 u) {
        F64 y, window;
        if constexpr (SoftLimit) {
            // sign(u2~) y: the sign bit of u2~ applied by xor (no comparison, so
            // no mask shared between selects either).
            U64 sign = bits_of(u) & 0x8000000000000000ull;
            F64 size = abs(u);
            F64 eps = fast_exp(-size);
            y = from_bits(bits_of((1.0 - eps) * 32767.0) ^ sign);
            F64 rho = f.rho_floor + (f.rho_slope * size);
            window = f.window + (f.window_slope * (rho * eps));
            // Near full scale the exact 1 - EXP(-|u2|) is 1 or the double below:
            // y~ becomes 32767.25 or 32766.5 (signed), whose window (below 1e-9
            // there) holds one integer, or NaN where only the exact chain can tell.
            F64 eps_high = eps * (1.0 + rho), eps_low = eps * (1.0 - rho);
            F64 full = select(eps_high < 0x1p-54, splat(32767.25),
                              select(eps_low > 0x1p-54, splat(32766.5), splat(__builtin_nan(""))));
            y = select(eps_high < 0x1p-41, from_bits(bits_of(full) ^ sign), y);
            y = select(size >= f.saturated, from_bits(bits_of(splat(32767.25)) ^ sign), y);
            y = y + (u - u);  // a NaN u2~ stays NaN (u2~ is finite or NaN)
        } else {
            y = u * 32767.0;
            window = f.window + (f.window_slope * abs(y));
        }
        // A NaN y~ clamps to -32767 below and to 32767 above: uncertain.
        F64 low = below(above(y - window, -32767.0), 32767.0);
        F64 high = above(below(y + window, 32767.0), -32767.0);
        I32 w_low = __builtin_convertvector(low, I32), w_high = __builtin_convertvector(high, I32);
        return w_low == w_high ? w_low : kUncertain;
    }
};

#undef DIVAVOVA_LANES

}  // namespace distortion_fast
}  // namespace divavova
