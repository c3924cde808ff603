// Lanes: C single-precision values side by side, for loops that run C
// independent frames (or samples) through one stage at a time.  The lanes
// are GCC vector types, whose operations work lane by lane with the scalar
// operation's rounding, so each lane computes exactly what the scalar code
// computes.  Lanes<1> is the scalar case (plain float and int32_t), so one
// loop body serves a single frame and a chunk of frames alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "module/convert.hpp"

// Functions on lanes are inlined into the loops they serve, so the vector
// calling convention (what -Wpsabi notes) never matters: the note is off from
// here to the end of every file that includes this header, for the kernels'
// own functions on lanes too.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace divavova {

template <uint32_t C>
struct LaneTypes {
    static_assert(C == 4 || C == 8 || C == 16);
    typedef float F __attribute__((vector_size(4 * C)));
    typedef int32_t I __attribute__((vector_size(4 * C)));  // also the masks of comparisons: 0 or -1
    typedef uint32_t U __attribute__((vector_size(4 * C)));  // for shifts that must not carry the sign
    typedef int16_t H __attribute__((vector_size(2 * C)));
    typedef uint64_t Pairs __attribute__((vector_size(4 * C)));
};

template <>
struct LaneTypes<1> {
    using F = float;
    using I = int32_t;
    using U = uint32_t;
    using H = int16_t;
};

template <uint32_t C>
struct Lanes {
    static constexpr uint32_t count = C;
    using F = typename LaneTypes<C>::F;
    using I = typename LaneTypes<C>::I;
    using U = typename LaneTypes<C>::U;
    using H = typename LaneTypes<C>::H;

    // Lane i, to read or to write.
    static float& lane(F& v, uint32_t i) {
        if constexpr (C == 1) {
            return v;
        } else {
            return v[i];
        }
    }
    static float lane(const F& v, uint32_t i) {
        if constexpr (C == 1) {
            return v;
        } else {
            return v[i];
        }
    }

    static F splat(float x) {
        F v;
        for (uint32_t i = 0; i < C; ++i) lane(v, i) = x;
        return v;
    }

    // a where the mask is set, else b.
    template <class Mask>
    static F pick(const Mask& mask, const F& a, const F& b) {
        return mask ? a : b;
    }

    // Whether every lane of v is 0.
    static bool none(const I& v) {
        if constexpr (C == 1) {
            return v == 0;
        } else {
            // In 64-bit pairs of lanes: half as many ORs.
            const auto u = reinterpret_cast<typename LaneTypes<C>::Pairs>(v);
            uint64_t any = u[0];
            for (uint32_t i = 1; i < C / 2; ++i) any |= u[i];
            return any == 0;
        }
    }

    // C samples from memory, each converted to float.
    static F load(const int16_t* cells) {
        if constexpr (C == 1) {
            return static_cast<float>(*cells);
        } else if constexpr (C == 4) {
            // Without SSE4.1's sign extension: each sample into the high half
            // of its 32-bit lane, then an arithmetic shift down.
            typedef int16_t H8 __attribute__((vector_size(16)));
            typedef int64_t Q2 __attribute__((vector_size(16)));
            int64_t bits;
            std::memcpy(&bits, cells, sizeof bits);
            const Q2 low = {bits, 0};
            const H8 h = reinterpret_cast<H8>(low);
            const I wide = reinterpret_cast<I>(__builtin_shufflevector(h, h, 0, 0, 1, 1, 2, 2, 3, 3)) >> 16;
            return __builtin_convertvector(wide, F);
        } else {
            // Element by element, which GCC builds as one sign-extending load.
            return widened(cells, std::make_index_sequence<C>());
        }
    }

    // s16(v) of every lane (see convert.hpp), as 32-bit integers.
    static I rounded_s16(F v) {
        if constexpr (C == 1) {
            return s16(v);
        } else {
            return rounded_half_away(held_to_s16_range(v));
        }
    }

    // s16()'s rounding without its hold, for lanes known to be numbers
    // within the int32 range: v + copysign(0.5f, v), truncated.  Where a
    // saturating narrowing follows, the result is s16(v).
    static I rounded_half_away(F v) {
        // copysign(0.5f, v): v's sign bit on 0.5.
        const I sign = reinterpret_cast<I>(v) & static_cast<int32_t>(0x80000000u);
        return __builtin_convertvector(v + reinterpret_cast<F>(sign | reinterpret_cast<I>(splat(0.5f))), I);
    }

    // Every lane held to the s16 range (NaN gives 0), then truncated toward
    // zero, as 32-bit integers.
    static I truncated_s16(const F& v) {
        if constexpr (C == 1) {
            return static_cast<int32_t>(held_to_s16_range(v));
        } else {
            return __builtin_convertvector(held_to_s16_range(v), I);
        }
    }

    // Stores C samples, each s16-valued.
    static void store(int16_t* cells, const I& values) {
        if constexpr (C == 1) {
            *cells = static_cast<int16_t>(values);
        } else {
            const H narrow = __builtin_convertvector(values, H);
            std::memcpy(cells, &narrow, sizeof narrow);
        }
    }

    // C frames of interleaved samples, one lane vector per channel.
    template <uint32_t Channels>
    static void load_frames(const int16_t* frames, F (&channels)[Channels]) {
        if constexpr (Channels == 1 || C == 1) {
            for (uint32_t c = 0; c < Channels; ++c) channels[c] = load(frames + c);
        } else {
            int16_t split[Channels][C];
            for (uint32_t i = 0; i < C; ++i)
                for (uint32_t c = 0; c < Channels; ++c) split[c][i] = frames[Channels * i + c];
            for (uint32_t c = 0; c < Channels; ++c) channels[c] = load(split[c]);
        }
    }

    // C frames of s16(value), interleaved from one lane vector per channel.
    template <uint32_t Channels>
    static void store_rounded_frames(int16_t* frames, const F (&channels)[Channels]) {
        if constexpr (Channels == 1 || C == 1) {
            for (uint32_t c = 0; c < Channels; ++c) store(frames + c, rounded_s16(channels[c]));
        } else {
            I rounded[Channels];
            for (uint32_t c = 0; c < Channels; ++c) rounded[c] = rounded_s16(channels[c]);
            for (uint32_t i = 0; i < C; ++i)
                for (uint32_t c = 0; c < Channels; ++c) frames[Channels * i + c] = static_cast<int16_t>(rounded[c][i]);
        }
    }

private:
    template <size_t... K>
    static F widened(const int16_t* cells, std::index_sequence<K...>) {
        const I wide = {cells[K]...};
        return __builtin_convertvector(wide, F);
    }
};

}  // namespace divavova
