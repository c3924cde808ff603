// Zero-order hold that captures every num/den-th frame (num >= den).
//
// Frames are 1..4 raw bytes, copied without interpretation.  The phase
// accumulator is exact: each frame adds den, and a frame is captured when the
// phase reaches num.  It stays below num between frames, and den <= num <=
// 2^30, so phase + den never leaves 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace divavova {

struct SampleHoldKernel {
    static constexpr uint32_t kMaxRatio = 1u << 30;

    uint32_t num;  // 0 only before the first initialisation
    uint32_t den;
    uint32_t phase;
    uint8_t held[4];

    bool initialised() const { return num != 0; }

    static bool valid(uint32_t n, uint32_t d) { return n >= 1 && d >= 1 && d <= n && n <= kMaxRatio; }

    // A fresh stream at the ratio n/d (valid): lowest terms, first frame captured.
    static SampleHoldKernel start(uint32_t n, uint32_t d) {
        uint32_t a = n, b = d;
        while (b != 0) {
            uint32_t r = a % b;
            a = b;
            b = r;
        }
        SampleHoldKernel k{};
        k.num = n / a;
        k.den = d / a;
        k.reset();
        return k;
    }

    // A new ratio restarts the stream; an equivalent one keeps it running.
    void set_ratio(uint32_t n, uint32_t d) {
        SampleHoldKernel fresh = start(n, d);
        if (fresh.num != num || fresh.den != den) *this = fresh;
    }

    void reset() {
        phase = num - den;
        std::memset(held, 0, sizeof held);
    }

    void process(const uint8_t* in, uint8_t* out, size_t frames, uint32_t frame_bytes) {
        switch (frame_bytes) {
            case 1: run<1>(in, out, frames); break;
            case 2: run<2>(in, out, frames); break;
            case 3: run<3>(in, out, frames); break;
            default: run<4>(in, out, frames); break;
        }
    }

private:
    template <size_t Bytes>
    void run(const uint8_t* in, uint8_t* out, size_t frames) {
        uint32_t p = phase;
        uint8_t frame[4];
        std::memcpy(frame, held, 4);
        if (num == 1) {
            // 1/1 captures every frame: the output is the input.
            if (frames != 0) {
                std::memcpy(out, in, frames * Bytes);
                std::memcpy(frame, in + (frames - 1) * Bytes, Bytes);
            }
        } else {
            for (size_t i = 0; i < frames; ++i) {
                p += den;
                if (p >= num) {
                    std::memcpy(frame, in + i * Bytes, Bytes);
                    p -= num;
                }
                std::memcpy(out + i * Bytes, frame, Bytes);
            }
        }
        phase = p;
        std::memcpy(held, frame, 4);
    }
};

}  // namespace divavova
