// Sine and cosine for filter design, as truncated Taylor series in double
// precision.  The designs depend on these exact polynomials (not on the
// platform's sin/cos), so every filter that designs from an angle uses this.
#pragma once

namespace divavova {

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
