// One writer, up to four readers over a fixed ring of s16 frames.
//
// Frame f lives in slot f & (kRingFrames - 1); every slot holds two samples
// (a mono stream stores its sample twice).  Counts wrap at 2^32, so every
// distance is an unsigned difference.  A reader that falls a whole ring
// behind loses its oldest frames: after every write, write_count - read[t]
// is at most kRingFrames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace divavova {

struct SplitterKernel {
    static constexpr uint32_t kRingFrames = 8192;
    static constexpr uint32_t kSlotMask = kRingFrames - 1;
    static constexpr uint32_t kChunkFrames = 256;
    static constexpr uint32_t kMaxTaps = 4;

    uint32_t taps;
    uint32_t channel_count;  // 0 only before the first initialisation
    uint32_t write_count;
    uint32_t read_position[kMaxTaps];
    int16_t ring[kRingFrames * 2];

    bool initialised() const { return channel_count != 0; }

    // Everything back to the start: counts 0, ring silent.
    void clear(uint32_t tap_count) {
        taps = tap_count;
        channel_count = 2;
        write_count = 0;
        std::memset(read_position, 0, sizeof read_position);
        std::memset(ring, 0, sizeof ring);
    }

    // Stores up to kRingFrames of `frames` interleaved frames (raw bytes, any
    // alignment); returns the number stored.
    uint32_t write(const uint8_t* data, size_t frames) {
        uint32_t count = frames > kRingFrames ? kRingFrames : static_cast<uint32_t>(frames);
        uint32_t done = 0;
        while (done < count) {
            uint32_t slot = (write_count + done) & kSlotMask;
            uint32_t run = kRingFrames - slot;
            if (run > count - done) run = count - done;
            int16_t* dest = ring + 2 * slot;
            if (channel_count == 2) {
                std::memcpy(dest, data + 4 * static_cast<size_t>(done), 4 * static_cast<size_t>(run));
            } else {
                const uint8_t* src = data + 2 * static_cast<size_t>(done);
                for (uint32_t i = 0; i < run; ++i) {
                    int16_t sample;
                    std::memcpy(&sample, src + 2 * i, 2);
                    dest[2 * i] = sample;
                    dest[2 * i + 1] = sample;
                }
            }
            done += run;
        }
        // Frame by frame a reader loses the frame just overwritten once it is
        // more than a ring behind; over the whole write that leaves it exactly
        // a ring behind the new write count (count never exceeds a ring, so
        // the distance stays far below 2^32).
        write_count += count;
        for (uint32_t t = 0; t < taps; ++t) {
            if (write_count - read_position[t] > kRingFrames) read_position[t] = write_count - kRingFrames;
        }
        return count;
    }

    bool starved(uint32_t tap) const { return read_position[tap] == write_count; }

    // Frames the next take of `tap` returns: never more than is available,
    // never past the end of the ring, never more than a chunk.
    uint32_t next_chunk(uint32_t tap) const {
        uint32_t r = read_position[tap];
        uint32_t n = write_count - r;
        uint32_t to_end = kRingFrames - (r & kSlotMask);
        if (n > to_end) n = to_end;
        if (n > kChunkFrames) n = kChunkFrames;
        return n;
    }

    // Copies the next `frames` (from next_chunk) of `tap` to out, in the
    // stream's own layout, and moves the reader past them.
    void take(uint32_t tap, uint32_t frames, uint8_t* out) {
        uint32_t slot = read_position[tap] & kSlotMask;
        const int16_t* src = ring + 2 * slot;
        if (channel_count == 2) {
            std::memcpy(out, src, 4 * static_cast<size_t>(frames));
        } else {
            for (uint32_t i = 0; i < frames; ++i) std::memcpy(out + 2 * i, src + 2 * i, 2);
        }
        read_position[tap] += frames;
    }
};

}  // namespace divavova
