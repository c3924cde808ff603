// Voice-path kernels: the looped wavetable reader, the click-free level
// stage, ring modulation, the voice-count mix-down and pitch bend.  Plain C++
// on raw pointers; the bindings in oscillator.cpp and voice.cpp do the checks.
#pragma once

#include <cstddef>
#include <climits>
#include <cstdint>
#include <type_traits>

#include "module/convert.hpp"
#include "module/dispatch.hpp"

namespace divavova {

// Largest loop end a 16.16 position can address: the position's integer part
// is 16 bits, so sample 65535 is the last one a position can name.
constexpr uint32_t kMaxLoopEndSamples = 65535;

// A wavetable loop in 16.16 positions.  The bindings guarantee
// start < end <= min(table length, kMaxLoopEndSamples), so end_pos never wraps
// and every position below end_pos names a sample inside the table.
struct WavetableLoop {
    uint32_t start_pos;  // loop start x 65536
    uint32_t end_pos;    // loop end x 65536
    uint32_t width;      // end_pos - start_pos, at least 65536

    static WavetableLoop of(uint32_t start_samples, uint32_t end_samples) {
        uint32_t start_pos = start_samples << 16;
        uint32_t end_pos = end_samples << 16;
        return {start_pos, end_pos, end_pos - start_pos};
    }

    // A position at or past the loop end is folded into the loop; one below
    // the loop start is still in the attack portion and stays.
    uint32_t fold(uint32_t position) const {
        return position >= end_pos ? start_pos + (position - start_pos) % width : position;
    }

    // One step forward from a position below end_pos.  Crossing the loop end
    // jumps back by one loop length; a step longer than the loop would land
    // past the end after that single jump, so it is reduced into the loop
    // instead and the read stays inside the table.
    uint32_t advance(uint32_t position, uint32_t step) const {
        uint32_t t = position + step;
        if (t < end_pos) return t;
        uint32_t wrapped = t - width;
        if (wrapped < end_pos) return wrapped;
        return start_pos + (t - start_pos) % width;
    }
};

// Table sample at a 16.16 position; the table may sit at any address.
inline int32_t table_sample(const uint8_t* table, uint32_t position) {
    return load<int16_t>(table + 2 * static_cast<size_t>(position >> 16));
}

// Renders n raw table samples into out, advancing *position before each read
// (so the first sample is the one a step past the incoming position).  A step
// above half the loop end yields nothing: false, out and *position untouched.
// Reads n table samples from position p (below the loop end), advancing
// before each read; returns the last position.  From p, j more steps stay
// below the loop end for every j <= (end - 1 - p) / step: those are plain
// additions, and only the step that crosses the end goes through advance().
template <class Sample>
uint32_t read_table(Sample* out, const uint8_t* table, const WavetableLoop& loop, uint32_t step, uint32_t p,
                    size_t n) {
    size_t k = 0;
    while (k < n) {
        const uint32_t room = step ? (loop.end_pos - 1 - p) / step : UINT32_MAX;
        const size_t stop = room < n - k ? k + room : n;
        uint32_t q = p;
#pragma GCC unroll 8
        for (size_t j = k; j < stop; ++j) {
            q += step;
            out[j] = static_cast<Sample>(table_sample(table, q));
        }
        p = q;
        k = stop;
        if (k < n) {
            p = loop.advance(p, step);
            out[k++] = static_cast<Sample>(table_sample(table, p));
        }
    }
    return p;
}

template <class Sample>
bool read_loop(Sample* out, const uint8_t* table, const WavetableLoop& loop, uint32_t step, uint32_t* position,
               size_t n) {
    if (step > loop.end_pos / 2) return false;
    *position = read_table(out, table, loop, step, loop.fold(*position), n);
    return true;
}

// level x sample / 65536, truncated toward zero, clamped to s16.  For i32
// input the product is formed in 64 bits so a loud voice saturates rather
// than wrapping; an s16 sample times an s16 level fits 32 bits and its
// quotient needs no clamp.
inline int32_t scale_level(int32_t level, int32_t x) {
    return saturate_s16((static_cast<int64_t>(level) * x) / 65536);
}
inline int32_t scale_level(int32_t level, int16_t x) { return (level * x) / 65536; }

// The same quotient for |x| <= 65535, where level x sample fits 32 bits and
// the quotient stays within -32767 .. 32767, so no clamp is needed.
inline int32_t scale_level_narrow(int32_t level, int32_t x) { return (level * x) / 65536; }

// True when every sample lies within -65535 .. 65535 (voices rendered by the
// oscillators always do), so scale_level_narrow gives scale_level's results.
inline bool within_17_bits(const int32_t* in, size_t n) {
    uint32_t widest = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint32_t biased = static_cast<uint32_t>(in[k]) + 65535u;
        widest = biased > widest ? biased : widest;
    }
    return widest <= 131070u;
}

// Levels are signed 16-bit factors; the bindings refuse anything else.
constexpr bool is_s16_level(int64_t level) { return level >= -32768 && level <= 32767; }

struct LevelPair {
    int32_t left;
    int32_t right;
    bool operator==(const LevelPair&) const = default;
};

// Scales n mono input samples into n output frames of Channels samples
// (mono uses the left level).  A change from *current to target waits for
// the first zero sample or sign change, which already takes the new levels;
// after the block the target is in force whether or not a crossing came.
// Writes every output sample (the result equals adding into zeros).
template <int Channels, class Sample, class Scale>
void level_stage_with(int32_t* out, const Sample* in, LevelPair* current, LevelPair target, size_t n,
                      Scale scale) {
    static_assert(Channels == 1 || Channels == 2);
    LevelPair levels = *current;
    size_t k = 0;
    if (!(levels == target)) {
        int32_t last = 0;
        for (; k < n; ++k) {
            const Sample x = in[k];
            if (x == 0 || (last > 0 && x < 0) || (last < 0 && x > 0)) break;
            last = x;
            out[Channels * k] = scale(levels.left, x);
            if constexpr (Channels == 2) out[2 * k + 1] = scale(levels.right, x);
        }
    }
    // From the crossing on (or from the start when nothing changes) the
    // levels are constant.
    levels = target;
    for (; k < n; ++k) {
        const Sample x = in[k];
        out[Channels * k] = scale(levels.left, x);
        if constexpr (Channels == 2) out[2 * k + 1] = scale(levels.right, x);
    }
    *current = target;
}

template <int Channels, class Sample>
void level_stage(int32_t* out, const Sample* in, LevelPair* current, LevelPair target, size_t n) {
    if constexpr (std::is_same_v<Sample, int32_t>) {
        if (within_17_bits(in, n))
            return level_stage_with<Channels>(out, in, current, target, n,
                                              [](int32_t level, int32_t x) { return scale_level_narrow(level, x); });
    }
    level_stage_with<Channels>(out, in, current, target, n,
                               [](int32_t level, Sample x) { return scale_level(level, x); });
}

template <class Sample>
void level_stage_frames(int32_t* out, const Sample* in, LevelPair* current, LevelPair target, size_t n,
                        uint32_t channels) {
    if (channels == 2)
        level_stage<2>(out, in, current, target, n);
    else
        level_stage<1>(out, in, current, target, n);
}

// The same, on the widest instructions this processor has.
template <class Sample>
void level_stage(int32_t* out, const Sample* in, LevelPair* current, LevelPair target, size_t n,
                 uint32_t channels) {
    run_kernel<level_stage_frames<Sample>>(out, in, current, target, n, channels);
}

// The modulated sample: p = w x r in 32-bit arithmetic (it wraps for voices
// beyond +-65536), q = p / 32768 truncated toward zero, and the low 16 bits
// of q.  The product is formed unsigned and read back as signed; a negative p
// is biased by 32767 first, which turns the flooring shift into a truncation.
inline int32_t ring_product(int32_t w, int32_t r) {
    const int32_t p = static_cast<int32_t>(static_cast<uint32_t>(w) * static_cast<uint32_t>(r));
    return low16((p + ((p >> 31) & 32767)) >> 15);
}

// out[k] = ring_product(modulator[k], voice sample k); the voice may sit at
// any address.
inline void ring_products(int32_t* out, const uint8_t* voice, const int16_t* modulator, size_t n) {
    for (size_t k = 0; k < n; ++k) out[k] = ring_product(modulator[k], load<int32_t>(voice + 4 * k));
}

// Ring modulation of n i32 voice samples by a looped table read at the given
// step (no step limit here; the loop keeps every read in the table).  Each
// sample becomes the low 16 bits of table x sample / 32768, truncated.  The
// table is read into a small block first, then multiplied in one pass.
inline uint32_t ring_multiply(int32_t* out, const uint8_t* voice, size_t n, const uint8_t* table,
                              const WavetableLoop& loop, uint32_t step, uint32_t position) {
    constexpr size_t kChunk = 1024;
    int16_t modulator[kChunk];
    uint32_t p = loop.fold(position);
    for (size_t done = 0; done < n; done += kChunk) {
        const size_t count = n - done < kChunk ? n - done : kChunk;
        p = read_table(modulator, table, loop, step, p, count);
        run_kernel<ring_products>(out + done, voice + 4 * done, static_cast<const int16_t*>(modulator), count);
    }
    return p;
}

// Folds a sum of voices into s16 through the soft knee sized for the voice
// count.  Sums within +-voices x 32768 stay inside -32096 .. 32095; anything
// louder saturates instead of wrapping.
//
// Computed as saturate_s16(soft_knee(x, k)) in 32-bit lanes: the excess
// beyond the knee is first clamped to +-limit, past which the output has
// saturated already (|excess| x k > 4767 x 65536 + 1), so excess x k stays
// below 2^31 for every k the knee factor can take.
inline void mixdown_samples(int16_t* out, const int32_t* in, size_t n, uint32_t voices) {
    const int32_t k = knee_factor(voices);
    const int32_t limit = k > 0 ? 312410113 / k + 1 : 0;
    for (size_t i = 0; i < n; ++i) {
        const int32_t x = in[i];
        const int32_t inside = clamp<int32_t>(x, -kKneeThreshold, kKneeThreshold);
        const int32_t excess = clamp<int32_t>(x - inside, -limit, limit);
        out[i] = static_cast<int16_t>(clamp<int32_t>(((excess * k) >> 16) + inside, -32768, 32767));
    }
}

inline void mixdown(int16_t* out, const int32_t* in, size_t n, uint32_t voices) {
    run_kernel<mixdown_samples>(out, in, n, voices);
}

// value x 2^(bend / 32768): whole octaves as a shift, the fraction of an
// octave through a semitone table with linear interpolation between entries.
// The result is the low 32 bits of floor(value x ratio x 2^octaves / 32768),
// also for bends beyond the range a 64-bit product can be shifted within.
inline uint32_t pitch_bend(uint32_t value, int32_t bend) {
    static constexpr int64_t kSemitone[13] = {0,     1948,  4013,  6200,  8517,  10972, 13573,
                                              16329, 19248, 22341, 25618, 29090, 32768};
    const int32_t octaves = bend >> 15;
    const int64_t fraction = bend & 0x7FFF;
    const int64_t position = fraction * 24;
    const int64_t semitone = position >> 16;
    const int64_t toward_next = position & 0xFFFF;
    const int64_t ratio =
        ((kSemitone[semitone] * (65535 - toward_next) + kSemitone[semitone + 1] * toward_next) >> 16) + 32768;
    const uint64_t product = static_cast<uint64_t>(value) * static_cast<uint64_t>(ratio);
    if (octaves <= 15) {
        int64_t right = 15 - static_cast<int64_t>(octaves);
        return right >= 64 ? 0u : static_cast<uint32_t>(product >> right);
    }
    int64_t left = static_cast<int64_t>(octaves) - 15;
    return left >= 32 ? 0u : static_cast<uint32_t>(product << left);
}

}  // namespace divavova
