// Chorus on a caller-held ring of s16 cells: every sample is written at the
// write position, several taps spread over a span behind it are summed and
// limited by a knee sized for the voice count, and the sum, scaled by the
// depth, is added to the dry sample under the steep knee.  The ring has no
// channel count: offsets count samples.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/convert.hpp"

namespace divavova {

struct ChorusSettings {
    uint32_t ring_cells;  // at least 1
    int32_t voices;       // at least 1
    // Delay between neighbouring taps, in samples, when the voices fit the
    // spread; with more voices than the spread has room for the taps step
    // forward through the ring instead (taps_forward).
    uint32_t tap_delay;
    bool taps_forward;
    int32_t knee_k;  // the knee for `voices` full-scale taps
    double depth;
};

inline ChorusSettings chorus_settings(uint32_t spread, uint32_t ring_cells, int32_t voices, double depth) {
    ChorusSettings s{};
    s.ring_cells = ring_cells;
    s.voices = voices;
    s.knee_k = knee_factor(static_cast<uint32_t>(voices));
    s.depth = depth;
    if (voices >= 2) {
        uint32_t step = spread / static_cast<uint32_t>(voices - 1);
        s.taps_forward = step == 0;
        s.tap_delay = step == 0 ? 0 : step - 1;
    }
    return s;
}

namespace chorus_detail {

// The tap sum with voices >= 2 and the taps walking back from the write
// position.  (voices - 1) * tap_delay < ring_cells, so one wrap suffices.
inline int64_t backward_taps(const ChorusSettings& s, const int16_t* ring, int64_t write_pos) {
    int64_t sum = 0;
    int64_t p = write_pos;
    const int64_t delay = s.tap_delay;
    for (int32_t j = 0; j < s.voices; ++j) {
        sum += ring[p];
        p -= delay;
        if (p < 0) p += s.ring_cells;
    }
    return sum;
}

// The tap sum when the taps step forward from the write position: tap j reads
// cell (write_pos + j) mod ring_cells, so `laps` whole passes give laps times
// the ring's total and the rest is a run of `partial` cells.
inline int64_t forward_taps(const int16_t* ring, uint32_t ring_cells, uint32_t write_pos, int64_t laps,
                            int64_t ring_total, uint32_t partial) {
    int64_t sum = laps * ring_total;
    uint32_t p = write_pos;
    for (uint32_t j = 0; j < partial; ++j) {
        sum += ring[p];
        if (++p == ring_cells) p = 0;
    }
    return sum;
}

template <bool Safe>
inline int16_t chorus_output(int32_t x, int32_t taps, double depth) {
    double scaled = static_cast<double>(taps) * depth;
    int64_t t = int64_t{x} + (Safe ? static_cast<int32_t>(scaled) : float_to<int32_t>(scaled));
    // Only a depth far beyond any useful one takes the knee past 16 bits.
    return static_cast<int16_t>(saturate_s16(soft_knee(t, kSteepKnee)));
}

template <bool Safe>
uint32_t chorus_run(const ChorusSettings& s, const int16_t* in, int16_t* out, size_t count, int16_t* ring,
                    uint32_t write_pos) {
    const uint32_t cells = s.ring_cells;
    if (s.voices == 1) {
        for (size_t i = 0; i < count; ++i) {
            int16_t x = in[i];
            ring[write_pos] = x;
            out[i] = chorus_output<Safe>(x, x, s.depth);
            if (++write_pos == cells) write_pos = 0;
        }
    } else if (s.taps_forward) {
        const int64_t laps = s.voices / int64_t{cells};
        const uint32_t partial = static_cast<uint32_t>(s.voices % int64_t{cells});
        int64_t ring_total = 0;
        if (laps) {
            for (uint32_t c = 0; c < cells; ++c) ring_total += ring[c];
        }
        for (size_t i = 0; i < count; ++i) {
            int16_t x = in[i];
            ring_total += x - ring[write_pos];
            ring[write_pos] = x;
            int64_t sum = forward_taps(ring, cells, write_pos, laps, ring_total, partial);
            out[i] = chorus_output<Safe>(x, low16(soft_knee(sum, s.knee_k)), s.depth);
            if (++write_pos == cells) write_pos = 0;
        }
    } else if (s.tap_delay == 0) {
        // Every tap is the sample just written.
        for (size_t i = 0; i < count; ++i) {
            int16_t x = in[i];
            ring[write_pos] = x;
            out[i] = chorus_output<Safe>(x, low16(soft_knee(int64_t{s.voices} * x, s.knee_k)), s.depth);
            if (++write_pos == cells) write_pos = 0;
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            int16_t x = in[i];
            ring[write_pos] = x;
            int64_t sum = backward_taps(s, ring, write_pos);
            out[i] = chorus_output<Safe>(x, low16(soft_knee(sum, s.knee_k)), s.depth);
            if (++write_pos == cells) write_pos = 0;
        }
    }
    return write_pos;
}

}  // namespace chorus_detail

// Runs count samples through the chorus; write_pos must be below ring_cells.
// Returns the new write position.
inline uint32_t chorus_block(const ChorusSettings& s, const int16_t* in, int16_t* out, size_t count, int16_t* ring,
                             uint32_t write_pos) {
    // A tap sum is at most 32768 in magnitude after its knee, so below this
    // depth the scaled sum fits 32 bits and a plain cast truncates exactly.
    if (s.depth > -65535.0 && s.depth < 65535.0) return chorus_detail::chorus_run<true>(s, in, out, count, ring, write_pos);
    return chorus_detail::chorus_run<false>(s, in, out, count, ring, write_pos);
}

}  // namespace divavova
