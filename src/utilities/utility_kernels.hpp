// Kernels of the stateless s16 buffer utilities.  Caller buffers may start at
// any address, so samples are read and written through load/store (which the
// compiler turns into plain unaligned vector moves).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "module/convert.hpp"
#include "module/dispatch.hpp"

namespace divavova {

inline int32_t sample_at(const uint8_t* base, size_t index) { return load<int16_t>(base + 2 * index); }
inline void put_sample(uint8_t* base, size_t index, int32_t v) { store<int16_t>(base + 2 * index, static_cast<int16_t>(v)); }

// Saturation of a sum that fits 32 bits: the same result as saturate_s16, but
// kept in 32-bit lanes so the loops vectorise as min/max and a 16-bit pack.
inline int32_t saturate_s16_i32(int32_t v) { return clamp<int32_t>(v, -32768, 32767); }

// out[i] = a[i] + b[i], saturated to 16 bits.
inline void mix_saturating(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t samples) {
    for (size_t i = 0; i < samples; ++i) put_sample(out, i, saturate_s16_i32(sample_at(a, i) + sample_at(b, i)));
}

// Channel conversion between 1 and 2 channels.  Two to one runs forward and
// one to two backward, so a conversion in place (out at the source's address)
// reads every sample before it is overwritten.
inline void remix_frames(const uint8_t* in, uint8_t* out, size_t frames, int in_channels, int out_channels) {
    if (in_channels == out_channels) {
        if (in != out) std::memmove(out, in, frames * 2 * static_cast<size_t>(in_channels));
    } else if (in_channels == 2) {
        for (size_t i = 0; i < frames; ++i) {
            int32_t sum = sample_at(in, 2 * i) + sample_at(in, 2 * i + 1);
            put_sample(out, i, sum / 2);  // truncates toward zero: (-3) / 2 = -1
        }
    } else {
        for (size_t i = frames; i-- > 0;) {
            int32_t v = sample_at(in, i);
            put_sample(out, 2 * i, v);
            put_sample(out, 2 * i + 1, v);
        }
    }
}

// Depth in Q15: 0 at or below 0, 32768 at or above 1, else rounded in single
// precision.  A NaN depth is the neutral depth 0 (signal unchanged).
inline int32_t depth_q15(double depth) {
    float d = static_cast<float>(depth);
    if (d <= 0.0f || d != d) return 0;
    if (d >= 1.0f) return 32768;
    return static_cast<int32_t>(d * 32768.0f + 0.5f);
}

// Width in Q14: 0 at or below 0, 32768 at or above 2, else rounded in single
// precision.  A NaN width is the neutral width 1 (image unchanged).
inline int32_t width_q14(double width) {
    float d = static_cast<float>(width);
    if (d != d) return 16384;
    if (d <= 0.0f) return 0;
    if (d >= 2.0f) return 32768;
    return static_cast<int32_t>(d * 16384.0f + 0.5f);
}

// out = (q * ((s * m) >> 15) + (32768 - q) * s) >> 15, saturated.  Every term
// stays within 2^30, so 32-bit arithmetic is exact.
inline void multiply_blend(const uint8_t* signal, const uint8_t* modulator, uint8_t* out, size_t samples,
                           int32_t depth_q15) {
    const int32_t dry_q15 = 32768 - depth_q15;
    for (size_t i = 0; i < samples; ++i) {
        int32_t s = sample_at(signal, i);
        int32_t m = sample_at(modulator, i);
        put_sample(out, i, saturate_s16_i32((depth_q15 * ((s * m) >> 15) + dry_q15 * s) >> 15));
    }
}

// Mid-side width on stereo frames: side scaled by w / 16384 against the mid.
inline void midside_frames(const uint8_t* in, uint8_t* out, size_t frames, int32_t width_q14) {
    for (size_t i = 0; i < frames; ++i) {
        int32_t left = sample_at(in, 2 * i);
        int32_t right = sample_at(in, 2 * i + 1);
        int32_t sum = left + right;
        int32_t side = ((left - right) * width_q14) >> 14;
        put_sample(out, 2 * i, saturate_s16_i32((sum + side + 1) >> 1));
        put_sample(out, 2 * i + 1, saturate_s16_i32((sum - side + 1) >> 1));
    }
}

}  // namespace divavova
