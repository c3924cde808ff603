// Pieces shared by the float filter engines: the sine and cosine their
// designs use, the design-frequency limit and the denormal guard of their
// states.
#pragma once

#include <cmath>
#include <cstdint>

#include "module/convert.hpp"

namespace divavova {

// Design frequencies stay between 0 and just below Nyquist.
inline float limit_design_frequency(float value_hz, uint32_t sample_rate) {
    return clamp(value_hz, 0.0f, 0.4999f * static_cast<float>(sample_rate));
}

// Denormal guard of the filter states: values this close to 0 become 0.
// The states feed the next sample's arithmetic, so the test is kept off
// that dependency chain: a predicted branch (the empty asm keeps the compiler
// from turning it into a mask, which would add the compare and two logic
// operations to every sample's latency).
inline float flush_tiny(float v) {
    if (__builtin_expect(std::fabs(v) < 1e-20f, 0)) {
        asm volatile("");
        return 0.0f;
    }
    return v;
}

// Sine and cosine as truncated Taylor series in double precision.  The
// designs depend on these exact polynomials (not on the platform's sin/cos).

struct SineCosine {
    double sine;
    double cosine;
};

// Sine through the w^13 term and cosine through the w^12 term, as Horner
// polynomials in w^2.  Angles above pi/2 are folded to pi - w, which keeps the
// series accurate up to pi; the fold flips the cosine's sign.
inline SineCosine taylor_sine_cosine(double w) {
    constexpr double kPi = 3.141592653589793;
    bool folded = false;
    if (w > kPi / 2.0) {
        w = kPi - w;
        folded = true;
    }
    const double w2 = w * w;
    // 1/(2n+1)! with alternating signs, innermost (w^12) first.
    double sine = 1.0 / 6227020800.0;          // +1/13!
    sine = sine * w2 + -1.0 / 39916800.0;      // -1/11!
    sine = sine * w2 + 1.0 / 362880.0;         // +1/9!
    sine = sine * w2 + -1.0 / 5040.0;          // -1/7!
    sine = sine * w2 + 1.0 / 120.0;            // +1/5!
    sine = sine * w2 + -1.0 / 6.0;             // -1/3!
    sine = sine * w2 + 1.0;
    sine = w * sine;
    double cosine = 1.0 / 479001600.0;           // +1/12!
    cosine = cosine * w2 + -1.0 / 3628800.0;     // -1/10!
    cosine = cosine * w2 + 1.0 / 40320.0;        // +1/8!
    cosine = cosine * w2 + -1.0 / 720.0;         // -1/6!
    cosine = cosine * w2 + 1.0 / 24.0;           // +1/4!
    cosine = cosine * w2 + -1.0 / 2.0;           // -1/2!
    cosine = cosine * w2 + 1.0;
    return {sine, folded ? -cosine : cosine};
}

}  // namespace divavova
