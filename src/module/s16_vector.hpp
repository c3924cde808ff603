// s16(v) in a form the compiler vectorises (selects only, no branches), for
// loops over whole blocks.  Same result as s16(float) in convert.hpp for
// every input: v + 0.5 or v - 0.5 by sign (adding a signed half; -0 gives
// -0.5, which truncates to 0 as well), held to -32768 .. 32767 before the
// truncation, NaN gives 0.
#pragma once

#include <cmath>
#include <cstdint>

namespace divavova {

inline int16_t s16_branchless(float v) {
    float r = v + std::copysign(0.5f, v);
    r = r > 32767.0f ? 32767.0f : r;
    r = r < -32768.0f ? -32768.0f : r;
    r = r == r ? r : 0.0f;
    return static_cast<int16_t>(static_cast<int32_t>(r));
}

}  // namespace divavova
