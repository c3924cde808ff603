// Branch-free forms of the shared output conversions, for hot loops whose
// output sign is unpredictable.  Each gives exactly what its counterpart in
// convert.hpp gives, for every input including NaN and the infinities.
#pragma once

#include <cmath>
#include <cstdint>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace divavova {

// float -> int32 truncating toward zero, for |v| < 2^31 or NaN; NaN gives
// INT32_MIN, whose low 16 bits are 0.  (The x86 instruction defines that
// case; elsewhere NaN is mapped explicitly.)
inline int32_t truncate_or_min(float v) {
#if defined(__SSE__) || defined(__x86_64__)
    return _mm_cvtt_ss2si(_mm_set_ss(v));
#else
    return (v == v) ? static_cast<int32_t>(v) : INT32_MIN;
#endif
}

// s16(v) of convert.hpp: clamp to the s16 range, then v + 0.5 or v - 0.5
// (the same f32 addition: v + (-0.5) is v - 0.5) truncated.  -0 gives 0
// either way; NaN passes the clamps and truncates to a value whose low 16
// bits are 0.
inline int16_t s16_branchless(float v) {
    v = (32767.0f < v) ? 32767.0f : v;
    v = (v < -32768.0f) ? -32768.0f : v;
    return static_cast<int16_t>(truncate_or_min(v + std::copysign(0.5f, v)));
}

}  // namespace divavova
