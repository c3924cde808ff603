// Twiddles of the convolver's transform, arranged
// for the vector code: every value is an entry of T256 or T512 as the
// twiddle evaluation gives it, only placed where a vector load finds it.
// Built once per process (they are the same for every convolver).
#pragma once

#include <cstdint>

namespace divavova {

struct FftTables {
    // Butterfly span 2h (h = 1, 2, ..., 128): entries [h, 2h) hold
    // T256[(128 / h) * i] for i = 0 .. h - 1, so one stage reads them in order.
    alignas(64) float stage_re[256];
    alignas(64) float stage_im[256];
    // Spans whose butterflies lie inside one vector (h = 1, 2, 4, 8): lane j
    // of row log2(h) holds the twiddle of butterfly index j mod h.
    alignas(64) float lane_re[4][16];
    alignas(64) float lane_im[4][16];
    // T512 split into real and imaginary parts.
    alignas(64) float t512_re[256];
    alignas(64) float t512_im[256];
};

extern const FftTables& kFftTables;

}  // namespace divavova
