// The block walk of the float filter engines on four lanes.
//
// Each engine is a per-sample recurrence whose speed is set by the latency of
// its dependency chain, so everything else in the loop (turning s16 samples
// into floats, the dry/wet sum, rounding to s16) should cost as few
// instructions as possible beside that chain.  The walk reads the block in
// groups of four samples (two stereo frames or four mono ones), or of eight
// in loops built for 256-bit vectors, converts and rounds whole groups, and
// hands the recurrence one frame at a time with the frame's samples repeated
// across four lanes: [L R L R] in stereo, [x x x x] in mono.  Every lane then
// does exactly the scalar operations of its channel, and the repeated lanes
// keep the spare ones on real values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "module/lanes.hpp"

namespace divavova::frame_walk {

using L4 = Lanes<4>;
using F = L4::F;
using I = L4::I;

inline F splat(float v) { return L4::splat(v); }

// The lanes of v whose magnitude is below 1e-20 (the filter states' tiny-value
// flush; false for NaN), as a mask.
inline I tiny(F v) {
    const F magnitude = reinterpret_cast<F>(reinterpret_cast<I>(v) & 0x7fffffff);
    return magnitude < splat(1e-20f);
}

// v with the masked lanes replaced by +0.
inline F cleared(I mask, F v) { return reinterpret_cast<F>(reinterpret_cast<I>(v) & ~mask); }

// Whether any lane of the mask is set: one sign-bit gather on x86.
inline bool any(I mask) {
#if defined(__SSE__)
    return __builtin_ia32_movmskps(reinterpret_cast<F>(mask)) != 0;
#else
    return !L4::none(mask);
#endif
}

// Whether a lane of a or of b is tiny, for two values of a frame's lanes:
// lanes 0 and 1 hold every value of the frame ([L R L R] or [x x x x]), so
// those of both go through one test.
inline bool any_tiny(F a, F b) { return any(tiny(__builtin_shufflevector(a, b, 0, 1, 4, 5))); }

// A per-channel value in the lanes of a frame, and back.
template <int Channels>
inline F channels_in(const float (&values)[2]) {
    if constexpr (Channels == 2) {
        return F{values[0], values[1], values[0], values[1]};
    } else {
        return splat(values[0]);
    }
}

template <int Channels>
inline void channels_out(F lanes, float (&values)[2]) {
    for (int j = 0; j < Channels; ++j) values[j] = lanes[j];
}

// Frame k of a group of 4 or 8 samples, repeated across the lanes.
template <int Channels, int K, class Group>
inline F frame_of(Group group) {
    if constexpr (Channels == 2) {
        return __builtin_shufflevector(group, group, 2 * K, 2 * K + 1, 2 * K, 2 * K + 1);
    } else {
        return __builtin_shufflevector(group, group, K, K, K, K);
    }
}

// The group of G samples made of the frames' results (each repeated across
// its lanes, as the frames were).
template <int Channels, uint32_t G>
inline typename Lanes<G>::F group_of(const F* results) {
    if constexpr (G == 8) {
        const F low = group_of<Channels, 4>(results), high = group_of<Channels, 4>(results + 4 / Channels);
        return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
    } else if constexpr (Channels == 2) {
        return __builtin_shufflevector(results[0], results[1], 0, 1, 4, 5);
    } else {
        const F low = __builtin_shufflevector(results[0], results[1], 0, 4, 1, 5);
        const F high = __builtin_shufflevector(results[2], results[3], 0, 4, 1, 5);
        return __builtin_shufflevector(low, high, 0, 1, 4, 5);
    }
}

// The frames of one group through `frame`, in order.
template <int Channels, uint32_t G, class Frame, size_t... K>
[[gnu::always_inline]] inline typename Lanes<G>::F group_through(typename Lanes<G>::F x, Frame& frame,
                                                                 size_t real_frames, std::index_sequence<K...>) {
    const F results[G / Channels] = {(K < real_frames ? frame(frame_of<Channels, K>(x)) : splat(0.0f))...};
    return group_of<Channels, G>(results);
}

// Runs `frame` (x lanes -> result lanes, the recurrence's state in its
// closure) over every frame of the block in order, and writes
// s16(output(x, result)) for every sample, `output` working on whole groups
// of G samples (4, or 8 in loops built for 256-bit vectors).  A last group
// of fewer frames goes through a zero-padded copy; only its real frames
// reach `frame`.
template <int Channels, uint32_t G = 4, class Frame, class Output>
[[gnu::always_inline]] inline void walk(const int16_t* in, int16_t* out, size_t frames, Frame&& frame,
                                        Output&& output) {
    using Group = Lanes<G>;
    constexpr size_t kGroupFrames = G / Channels;
    constexpr auto kFrames = std::make_index_sequence<kGroupFrames>();
    const size_t whole = frames - frames % kGroupFrames;
    for (size_t i = 0; i < whole; i += kGroupFrames) {
        const auto x = Group::load(in + i * Channels);
        Group::store(out + i * Channels,
                     Group::rounded_s16(output(x, group_through<Channels, G>(x, frame, kGroupFrames, kFrames))));
    }
    const size_t rest = frames - whole;
    if (rest == 0) return;
    int16_t padded[G] = {};
    std::memcpy(padded, in + whole * Channels, rest * Channels * sizeof(int16_t));
    const auto x = Group::load(padded);
    Group::store(padded, Group::rounded_s16(output(x, group_through<Channels, G>(x, frame, rest, kFrames))));
    std::memcpy(out + whole * Channels, padded, rest * Channels * sizeof(int16_t));
}

}  // namespace divavova::frame_walk
