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
#include <type_traits>
#include <utility>

#include "module/dispatch.hpp"

// Functions on lane vectors are inlined into their loops: their calling
// convention (what -Wpsabi notes) never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace divavova {

// The hold over W frames of one to four bytes at a time, side by side in
// lanes.  Lane k keeps the phase after frame i + k; all of them move by W
// frames at once, (W den) mod num.  A capture leaves a phase below den and
// each frame after it adds den, so a frame's phase is below L den exactly
// when one of its last L frames was captured.  That answers, for every lane
// at once, whether a capture lies within reach, and a frame takes the
// nearest captured frame at or before it in log2 W steps, each letting a lane
// without a capture in its last S frames take the frame S lanes down.
// Frames with no capture in the chunk up to them keep the held frame.
template <class Frame, uint32_t W>
struct HoldTypes {
    typedef Frame V __attribute__((vector_size(sizeof(Frame) * W)));  // W frames
    typedef uint32_t P __attribute__((vector_size(4 * W)));            // W phases
};

template <class Frame, uint32_t W>
struct HoldLanes {
    using V = typename HoldTypes<Frame, W>::V;
    using P = typename HoldTypes<Frame, W>::P;
    using Mask = decltype(V{} < V{});

    // min(frames * den, num): a phase below it has a capture within that many frames
    static uint32_t reach(uint64_t frames, uint32_t num, uint32_t den) {
        const uint64_t r = frames * den;
        return r < num ? static_cast<uint32_t>(r) : num;
    }

    // Lane k of the result: lane k - S of v, or 0 for k < S.
    template <uint32_t S, size_t... K>
    static V up(const V& v, std::index_sequence<K...>) {
        const V zero = {};
        return __builtin_shufflevector(zero, v, (K >= S ? W + K - S : 0)...);
    }

    template <size_t... K>
    static V last_lane(const V& v, std::index_sequence<K...>) {
        return __builtin_shufflevector(v, v, (K * 0 + W - 1)...);
    }

    // Steps of S = 1, 2, 4 ... up to Reach: enough where no frame is more
    // than Reach - 1 frames after its capture.
    template <uint32_t S, uint32_t Reach>
    static void fill(V& v, const P& phases, const P (&reaches)[W]) {
        if constexpr (S < Reach) {
            const Mask near = __builtin_convertvector(phases < reaches[S], Mask);
            v = near ? v : up<S>(v, std::make_index_sequence<W>());
            fill<2 * S, Reach>(v, phases, reaches);
        }
    }

    // Runs whole chunks of W frames; returns the frames done.  phase and held
    // are the kernel's, carried in and out.
    static size_t run(uint32_t num, uint32_t den, uint32_t* phase, Frame* held, const uint8_t* in, uint8_t* out,
                      size_t frames) {
        // a frame comes at most (num - 1) / den frames after its capture
        const uint32_t longest = (num - 1) / den;
        if (longest < 1) return run<1>(num, den, phase, held, in, out, frames);
        if (longest < 2) return run<2>(num, den, phase, held, in, out, frames);
        if (longest < 4 || W == 4) return run<4>(num, den, phase, held, in, out, frames);
        if (longest < 8 || W == 8) return run<8>(num, den, phase, held, in, out, frames);
        return run<16>(num, den, phase, held, in, out, frames);
    }

    template <uint32_t Reach>
    static size_t run(uint32_t num, uint32_t den, uint32_t* phase, Frame* held, const uint8_t* in, uint8_t* out,
                      size_t frames) {
        const size_t chunks = frames / W;
        if (chunks == 0) return 0;
        P phases, since_start;  // since_start: lane k reaches back to the chunk's first frame
        P reaches[W];           // reaches[S]: S frames back (powers of two only)
        uint32_t p = *phase;
        for (uint32_t k = 0; k < W; ++k) {
            p += den;
            if (p >= num) p -= num;
            phases[k] = p;
            since_start[k] = reach(k + 1, num, den);
            reaches[k] = P{} + reach(k, num, den);
        }
        const uint32_t step = static_cast<uint32_t>((static_cast<uint64_t>(W) * den) % num);
        const P nums = P{} + num;
        V kept = V{} + *held;
        for (size_t c = 0; c < chunks; ++c) {
            V v;
            std::memcpy(&v, in + c * sizeof v, sizeof v);
            fill<1, Reach>(v, phases, reaches);
            const Mask in_chunk = __builtin_convertvector(phases < since_start, Mask);
            const V result = in_chunk ? v : kept;
            std::memcpy(out + c * sizeof v, &result, sizeof v);
            // the last lane's own frame when the chunk captured one, so the
            // held frame does not wait for the chunk's result
            if (phases[W - 1] < since_start[W - 1]) kept = last_lane(v, std::make_index_sequence<W>());
            p = phases[W - 1];
            phases += step;
            phases = phases >= nums ? phases - nums : phases;
        }
        *phase = p;
        *held = kept[0];
        return chunks * W;
    }
};

// As many lanes as one vector of phases holds: 8 with AVX2, 16 with AVX-512
// (BW for the masks of 8- and 16-bit frames).
template <class Frame, uint32_t VectorBytes>
void hold_lanes(uint32_t num, uint32_t den, uint32_t* phase, Frame* held, const uint8_t* in, uint8_t* out,
                size_t frames, size_t* done) {
    *done = HoldLanes<Frame, VectorBytes / 4>::run(num, den, phase, held, in, out, frames);
}

// The frames the lanes did (whole chunks from the start), 0 where the
// per-frame loop is faster: in the baseline's narrow vectors, and for 8-bit
// frames without AVX-512.
template <class Frame>
size_t hold_frames(uint32_t num, uint32_t den, uint32_t* phase, Frame* held, const uint8_t* in, uint8_t* out,
                   size_t frames) {
    size_t done = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool has_avx512bw = DIVAVOVA_CPU_SUPPORTS("avx512f") && DIVAVOVA_CPU_SUPPORTS("avx512bw") &&
                                     DIVAVOVA_CPU_SUPPORTS("avx512vl") && DIVAVOVA_CPU_SUPPORTS("avx512dq");
    static const bool has_avx2 = DIVAVOVA_CPU_SUPPORTS("avx2");
    if (has_avx512bw)
        run_loop_avx512bw([&] { hold_lanes<Frame, 64>(num, den, phase, held, in, out, frames, &done); });
    else if (has_avx2 && sizeof(Frame) > 1)
        run_kernel_avx2<hold_lanes<Frame, 32>>(num, den, phase, held, in, out, frames, &done);
#endif
    return done;
}

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
            size_t i = 0;
            if constexpr (Bytes != 3) {
                using Frame = std::conditional_t<Bytes == 1, uint8_t, std::conditional_t<Bytes == 2, uint16_t, uint32_t>>;
                Frame held_frame;
                std::memcpy(&held_frame, frame, Bytes);
                i = hold_frames<Frame>(num, den, &p, &held_frame, in, out, frames);
                std::memcpy(frame, &held_frame, Bytes);
            }
            for (; i < frames; ++i) {
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
