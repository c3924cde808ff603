// Plate-style reverb tank: four input diffusers and a figure-of-eight tank of
// two halves, twelve 16-bit lines plus a pre-delay line in one allocation,
// the wet signal read from up to 32 taps placed anywhere on the lines.
//
// Every per-frame quantity is single precision; every write into a line is
// truncated to 16 bits, so the recirculating state is quantised at each write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "module/configured.hpp"
#include "module/convert.hpp"
#include "module/dispatch.hpp"
#include "module/lanes.hpp"
#include "module/memory.hpp"
#include "module/narrow.hpp"
#include "reverb/tank_settings.hpp"

namespace divavova {

// What runs from frame to frame and from call to call; reset starts it anew.
struct TankRunning {
    uint32_t line_position[kTankLines];  // each line's write position
    uint32_t predelay_position;          // the pre-delay line's write position
    float bandwidth;                     // input low-pass state
    float highpass;                      // input high-pass state
    float damping[2];                    // per half
    float tilt[2];                       // per output channel
    // Sine for the left half, cosine for the right; each call sets its k
    // from the settings.
    SineOscillator oscillator;
};

// Taps in the order they are summed: each channel's taps in table order,
// the left channel's first; mono sums every tap in table order.
struct TankTaps {
    uint32_t count;
    uint32_t left_count;  // taps summed into channel 0 (every tap in mono)
    uint32_t line[kTankMaxTaps];
    uint32_t age[kTankMaxTaps];
    float gain[kTankMaxTaps];
};

// Whether chunks of some number of frames fit the geometry, and which taps
// then read before the chunk's writes (see the frame path below).
struct TankChunks {
    bool fit;
    uint32_t early;  // one bit per tap in summing order
};

// Where the lines and the taps are, from install on.
struct TankLayout {
    int16_t* line_start[kTankLines];
    uint32_t line_frames[kTankLines];
    int16_t* predelay_line;
    TankTaps taps;
    TankChunks chunks_of_8, chunks_of_4;
};

// Chunks of `frames` fit when every line holds at least that many frames and
// every tap reads either after the chunk or before it.
inline TankChunks tank_chunks(const TankLayout& layout, uint32_t frames) {
    TankChunks chunks = {true, 0};
    for (uint32_t line = 0; line < kTankLines; ++line)
        if (layout.line_frames[line] < frames) return {false, 0};
    for (uint32_t i = 0; i < layout.taps.count; ++i) {
        const uint32_t length = layout.line_frames[layout.taps.line[i]], age = layout.taps.age[i];
        if (age <= length - frames) continue;
        if (age < frames) return {false, 0};
        chunks.early |= 1u << i;
    }
    return chunks;
}

inline TankLayout tank_layout(const TankSettings& s, int16_t* storage) {
    TankLayout layout;
    for (uint32_t k = 0; k < kTankLines; ++k) {
        layout.line_start[k] = storage;
        layout.line_frames[k] = s.line_frames[k];
        storage += s.line_frames[k] + kTankLineMirror;
    }
    layout.predelay_line = storage;
    TankTaps& taps = layout.taps;
    taps.count = 0;
    for (uint32_t c = 0; c < s.channel_count; ++c) {
        for (uint32_t i = 0; i < s.tap_count; ++i) {
            if (s.channel_count == 2 && s.tap_channel[i] != c) continue;
            const uint32_t line = s.tap_line[i], age = s.tap_offset_frames[i];
            taps.line[taps.count] = line;
            taps.age[taps.count] = age < s.line_frames[line] ? age : s.line_frames[line] - 1;
            taps.gain[taps.count] = s.tap_gain[i];
            ++taps.count;
        }
        if (c == 0) taps.left_count = taps.count;
    }
    layout.chunks_of_8 = tank_chunks(layout, 8);
    layout.chunks_of_4 = tank_chunks(layout, 4);
    return layout;
}

struct TankKernel {
    TankSettings settings;
    TankLayout layout;
    TankRunning running;
    int16_t* storage;  // lines 0..11, each followed by its mirrored cells, then the pre-delay line
    uint32_t storage_samples;

    static constexpr const char* kUnknownOption = "unknown tank option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;

    bool initialised() const { return storage != nullptr; }
    size_t frame_bytes() const { return 2u * settings.channel_count; }

    // Installs new settings and their storage (zeroed, tank_storage_samples
    // long), freeing the previous storage.
    void install(const TankSettings& fresh, int16_t* fresh_storage) {
        engine_free(storage);
        settings = fresh;
        storage = fresh_storage;
        storage_samples = static_cast<uint32_t>(tank_storage_samples(fresh));
        layout = tank_layout(fresh, fresh_storage);
        running = TankRunning{};
    }

    void free_memory() {
        engine_release(storage);
        storage_samples = 0;
    }

    // Clears the lines and every running state; settings stay.
    void reset() {
        if (storage) std::memset(storage, 0, static_cast<size_t>(storage_samples) * sizeof(int16_t));
        running = TankRunning{};
    }

    Configured configure(uint32_t option, double value) {
        const bool known = tank_set(settings, static_cast<TankOption>(option), narrow_to_float(value));
        return known ? Configured::ok : Configured::unknown_option;
    }
    void finish() { tank_finish(settings); }
    void process(const int16_t* in, int16_t* out, size_t frames);
};

// ---------------------------------------------------------------------------
// The per-frame path, written once for C frames side by side (Lanes<C>):
// chunks of 8 frames in the AVX2 build (of 4 in the baseline build, or
// where fewer frames are left), single frames (C = 1) where the geometry
// takes no chunks or a block ends in fewer than 4 frames.  A chunk may run
// across the end of lines: each line repeats its first kTankLineMirror cells
// after its end, and after a chunk's writes mirror_lines makes both copies
// agree again before anything reads them.  Within a chunk each stage runs for
// all C frames before the next stage starts, so the stages without a running
// state work on C independent lanes, and each lane does its frame's
// operations in their order (nothing is reordered or merged).  The result is
// the frame-by-frame one, value for value, because:
// - a fixed line of length L >= C is read and then written at one cell per
//   frame: frame k of the chunk reads the sample written L frames earlier,
//   before the chunk, and no other frame of the chunk writes that cell;
// - the states that run from frame to frame (oscillator, pre-delay,
//   bandwidth, high-pass, damping, tilt) step through the chunk frame by
//   frame (the oscillator and the damping a chunk ahead, see TankAhead);
// - the modulated all-pass reads at an age of 1 .. L - 1 (and the cell one
//   older): the lanes read together only when every age in the chunk is at
//   least C, so older than the chunk, and frame by frame otherwise;
// - a tap of age r reads after the chunk when r <= L - C (no later frame of
//   the chunk writes its cell) and before it when r >= C (no earlier frame
//   writes it).  A tap that is neither (r < C and r > L - C) cuts every
//   cycle of its line into runs shorter than C, so no chunk of C can run
//   while it exists; tank_chunks just says so.

namespace tank_detail {

// Per-call values of the frame loop.
struct Pass {
    float m, m2, d1, d2;  // diffuser and tank all-pass coefficients
    float dry, wet;
    float depth;  // modulation depth in frames, 0 without the oscillator
    float g;      // decay
    float bandwidth, highpass, damping, drive, width;
    float tilt, low_gain, high_gain;
    bool use_predelay, use_width, use_tilt;
    int16_t* predelay_line;
    uint32_t predelay_frames, predelay_capacity;
    int16_t* modulated_line[2];  // lines 4 and 8
    uint32_t modulated_frames[2];
    float last_age[2];  // L4 - 1, L8 - 1
    const TankTaps* taps;
    const TankLayout* layout;
};

template <uint32_t Channels>
inline Pass pass_of(const TankSettings& s, const TankLayout& layout) {
    Pass p;
    p.m = s.diffusion;
    p.m2 = p.m * 0.8333333f;
    p.d1 = p.m * 0.93333334f;
    p.d2 = p.m * 0.6666667f;
    const DryWet<float> mix = dry_wet(s.mix);
    p.dry = mix.dry;
    p.wet = mix.wet;
    p.depth = s.oscillator_coefficient != 0.0f ? s.modulation_depth_frames : 0.0f;
    p.g = s.decay;
    p.bandwidth = s.bandwidth_coefficient;
    p.highpass = s.highpass_coefficient;
    p.damping = s.damping_coefficient;
    p.drive = s.drive;
    p.width = s.width;
    p.tilt = s.tilt_coefficient;
    p.low_gain = s.tilt_low_gain;
    p.high_gain = s.tilt_high_gain;
    p.use_width = Channels == 2 && s.width != 1.0f;
    p.use_tilt = s.tilt_db != 0.0f && s.tilt_coefficient > 0.0f;
    p.predelay_line = layout.predelay_line;
    p.predelay_frames = s.predelay_frames;
    p.predelay_capacity = s.predelay_capacity_frames;
    p.use_predelay = p.predelay_frames >= 1 && p.predelay_frames <= p.predelay_capacity;
    for (uint32_t h = 0; h < 2; ++h) {
        const uint32_t line = kModulatedLines[h];
        p.modulated_line[h] = layout.line_start[line];
        p.modulated_frames[h] = layout.line_frames[line];
        p.last_age[h] = static_cast<float>(p.modulated_frames[h] - 1);
    }
    p.taps = &layout.taps;
    p.layout = &layout;
    return p;
}

// During a run of frames in which no line position or tap cursor wraps,
// every line read and write of frame j is at a base pointer plus j.  The
// chunk that starts before the end of the run may reach past it, into the
// mirrored cells after the end of the lines it crosses.  The pre-delay steps
// its own cursors frame by frame: its line can be as short as one frame.
struct Run {
    int16_t* at[kTankLines];            // each line's write position
    const int16_t* taps[kTankMaxTaps];  // each tap's read position
    uint32_t modulated_position[2];     // write positions of lines 4 and 8
    size_t frames;                      // frames before the first wrap
    size_t mirror_until;                // chunks starting before it write some line's first cells
    const int16_t* in;
    int16_t* out;
};

// The cells of a line of `length` frames that its mirror repeats.
inline uint32_t mirrored_cells(uint32_t length) { return length < kTankLineMirror ? length : kTankLineMirror; }

// Sets up the longest run from `positions`, at most `frames` long; returns
// its length.
inline size_t run_from(const TankLayout& layout, const uint32_t (&positions)[kTankLines], size_t frames, Run& run) {
    size_t n = frames;
    run.mirror_until = 0;
    for (uint32_t line = 0; line < kTankLines; ++line) {
        run.at[line] = layout.line_start[line] + positions[line];
        const size_t room = layout.line_frames[line] - positions[line];
        n = room < n ? room : n;
        const uint32_t mirrored = mirrored_cells(layout.line_frames[line]);
        if (positions[line] < mirrored && mirrored - positions[line] > run.mirror_until)
            run.mirror_until = mirrored - positions[line];
    }
    const TankTaps& taps = layout.taps;
    for (uint32_t i = 0; i < taps.count; ++i) {
        // The tap reads `age` frames before the write position.
        const uint32_t line = taps.line[i], length = layout.line_frames[line];
        const uint32_t position = positions[line], age = taps.age[i];
        const uint32_t cursor = position >= age ? position - age : position + (length - age);
        run.taps[i] = layout.line_start[line] + cursor;
        const size_t room = length - cursor;
        n = room < n ? room : n;
    }
    for (uint32_t h = 0; h < 2; ++h) run.modulated_position[h] = positions[kModulatedLines[h]];
    run.frames = n;
    return n;
}

// After the writes of the C frames from frame j of a run into the lines:
// what went past a line's end is copied to its start, what went into its
// first cells to its mirror, so both copies agree again.
template <uint32_t C>
inline void mirror_lines(const TankLayout& layout, const uint32_t (&positions)[kTankLines], size_t j) {
    for (uint32_t line = 0; line < kTankLines; ++line) {
        int16_t* cells = layout.line_start[line];
        const uint32_t length = layout.line_frames[line], mirrored = mirrored_cells(length);
        const uint32_t first = positions[line] + static_cast<uint32_t>(j), end = first + C;
        if (end > length) std::memcpy(cells, cells + length, (end - length) * sizeof(int16_t));
        if (first < mirrored)
            std::memcpy(cells + length + first, cells + first, ((end < mirrored ? end : mirrored) - first) * sizeof(int16_t));
    }
}

// line16, what a line stores, of every lane: NaN 0, held to the s16 range,
// truncated toward zero.  The truncated lanes lie in the s16 range already,
// so SSE2's signed saturating pack narrows them unchanged, four lanes from
// each 128-bit half (one instruction fewer than the plain narrowing, and no
// move across the halves of a 256-bit register).
template <class L>
[[gnu::always_inline]] inline void store_line16(int16_t* cells, const typename L::F& value) {
#if defined(__SSE2__)
    if constexpr (L::count == 4 || L::count == 8) {
        typedef int16_t H8 __attribute__((vector_size(16)));
        const typename L::I t = L::truncated_s16(value);
        if constexpr (L::count == 4) {
            const H8 packed = __builtin_ia32_packssdw128(t, t);
            std::memcpy(cells, &packed, 8);
        } else {
            const H8 packed = __builtin_ia32_packssdw128(__builtin_shufflevector(t, t, 0, 1, 2, 3),
                                                         __builtin_shufflevector(t, t, 4, 5, 6, 7));
            std::memcpy(cells, &packed, 16);
        }
        return;
    }
#endif
    L::store(cells, L::truncated_s16(value));
}

// A one-pole state run through the lanes in frame order: each lane's input x
// moves the state, and the lane becomes out(x, state).
template <class L, class Out>
[[gnu::always_inline]] inline void follow(float& state, typename L::F& v, float a, Out out) {
    for (uint32_t i = 0; i < L::count; ++i) {
        float& x = L::lane(v, i);
        state = one_pole_step(state, x, a);
        x = out(x, state);
    }
}

inline float state_itself(float, float state) { return state; }

// What the pre-delay stores: s16 of the input (mono) or of the mean of the
// two inputs, worked on the integers.  The mean is a whole or a half number,
// well inside the s16 range, and s16 rounds it half away from zero: for a sum
// s of the two, (s + 1) >> 1 from zero up, s >> 1 (flooring) below zero.
template <uint32_t Channels>
inline int16_t predelay_sample(const int16_t* frame) {
    if constexpr (Channels == 1) {
        return frame[0];
    } else {
        const int32_t sum = static_cast<int32_t>(frame[0]) + static_cast<int32_t>(frame[1]);
        return static_cast<int16_t>(sum >= 0 ? (sum + 1) >> 1 : sum >> 1);
    }
}

// The pre-delay of the lanes' frames: x becomes each frame's input delayed
// (unchanged without a pre-delay), and the frames' rounded inputs are
// stored.  The read comes first, so a delay of the whole capacity returns
// the sample written that many frames ago.
template <uint32_t Channels, class L>
[[gnu::always_inline]] inline void predelay(const Pass& p, uint32_t& write, uint32_t& read, const int16_t* frames,
                                            typename L::F& x) {
    constexpr uint32_t C = L::count;
    const uint32_t capacity = p.predelay_capacity;
    if (write + C <= capacity && (!p.use_predelay || read + C <= capacity)) {
        // Neither cursor wraps within the lanes' frames.
        int16_t* line = p.predelay_line;
        if (p.use_predelay) {
            for (uint32_t i = 0; i < C; ++i) {
                L::lane(x, i) = static_cast<float>(line[read + i]);
                line[write + i] = predelay_sample<Channels>(frames + i * Channels);
            }
            read = read + C == capacity ? 0 : read + C;
        } else if constexpr (Channels == 1) {
            std::memcpy(line + write, frames, C * sizeof(int16_t));
        } else {
            for (uint32_t i = 0; i < C; ++i) line[write + i] = predelay_sample<Channels>(frames + i * Channels);
        }
        write = write + C == capacity ? 0 : write + C;
        return;
    }
    for (uint32_t i = 0; i < C; ++i) {
        if (p.use_predelay) {
            L::lane(x, i) = static_cast<float>(p.predelay_line[read]);
            read = read + 1 == capacity ? 0 : read + 1;
        }
        p.predelay_line[write] = predelay_sample<Channels>(frames + i * Channels);
        write = write + 1 == capacity ? 0 : write + 1;
    }
}

// The all-pass on z, its line's delayed sample: n = x + z * a goes into the
// line at `cells`, unrounded n gives the output z - n * a.
template <class L>
[[gnu::always_inline]] inline typename L::F allpass(int16_t* cells, const typename L::F& z,
                                                    const typename L::F& x, float a) {
    const typename L::F n = x + z * a;
    store_line16<L>(cells, n);
    return z - n * a;
}

// The read at `age` frames before `at`, interpolated linearly toward the
// next older sample.
inline float modulated_read(const int16_t* line, uint32_t length, uint32_t at, float age) {
    // age is NaN or within [1, L - 1], L <= 2^22: the 32-bit conversion
    // truncates it exactly; whole <= L - 1 and at < L, so one subtraction
    // reduces.
    const uint32_t whole = age == age ? static_cast<uint32_t>(static_cast<int32_t>(age)) : 0;
    uint32_t a0 = length + at - whole;
    a0 = a0 < length ? a0 : a0 - length;
    const uint32_t a1 = a0 == 0 ? length - 1 : a0 - 1;
    return interpolated(static_cast<float>(line[a0]), static_cast<float>(line[a1]), age - static_cast<float>(whole));
}

// The modulated all-pass of one half for the lanes' frames from `position`:
// the read at age t = (L - 1) - depth + phase * depth, held to [1, L - 1]
// (NaN passes), then the all-pass with coefficient d1 on the input `feed`.
template <class L>
[[gnu::always_inline]] inline typename L::F modulated_allpass(int16_t* line, uint32_t length, uint32_t position,
                                                              float last_age, float depth,
                                                              const typename L::F& phase,
                                                              const typename L::F& feed, float d1) {
    using F = typename L::F;
    using I = typename L::I;
    constexpr uint32_t C = L::count;
    const F one = L::splat(1.0f);
    const F t = clamp((last_age - depth) + phase * depth, one, L::splat(last_age));
    if constexpr (C > 1) {
        // The conversion truncates t exactly, as the frame's read does (NaN
        // lanes, never read together, convert as 1).
        const I ordered = t == t;
        const I whole = __builtin_convertvector(L::pick(ordered, t, one), I);
        const uint32_t q = static_cast<uint32_t>(whole[0]);
        uint32_t first = length + position - q;
        first = first < length ? first : first - length;
        if (L::none(~ordered | (whole ^ whole[0])) && q >= C && first >= 1 && first + C <= length) {
            // One whole age for every lane, older than the chunk, no wrap:
            // the frames read consecutive cells that no frame of the chunk
            // writes.
            const F z = interpolated(L::load(line + first), L::load(line + first - 1),
                                     t - __builtin_convertvector(whole, F));
            return allpass<L>(line + position, z, feed, d1);
        }
    }
    // Frame by frame: a read may reach the sample of an earlier frame of the
    // chunk, or the age is NaN.  The frames write within the line (and the
    // mirror of its first cells), where the reads of the later ones look.
    F y;
    for (uint32_t i = 0; i < C; ++i) {
        const uint32_t at = position + i < length ? position + i : position + i - length;
        const float z = modulated_read(line, length, at, L::lane(t, i));
        L::lane(y, i) = allpass<Lanes<1>>(line + at, z, L::lane(feed, i), d1);
        if (at < mirrored_cells(length)) line[length + at] = line[at];
    }
    return y;
}

// The tap sums, each channel's in plan order.  A tap set in `early` reads
// the cells saved before the chunk's writes.
template <uint32_t Channels, class L>
[[gnu::always_inline]] inline void tap_sums(const TankTaps& taps, const Run& run, size_t j, uint32_t early,
                                            const int16_t (&before)[kTankMaxTaps][L::count],
                                            typename L::F (&wet)[Channels]) {
    const auto sum = [&](uint32_t first, uint32_t end) {
        typename L::F total = L::splat(0.0f);
        for (uint32_t t = first; t < end; ++t) {
            const int16_t* cells = run.taps[t] + j;
            if (early != 0 && ((early >> t) & 1u)) cells = before[t];
            total = total + L::load(cells) * taps.gain[t];
        }
        return total;
    };
    wet[0] = sum(0, taps.left_count);
    if constexpr (Channels == 2) wet[1] = sum(taps.left_count, taps.count);
}

// The tap sums to the wet signal: mono halves its one sum, stereo applies
// the width.
template <uint32_t Channels, class T>
[[gnu::always_inline]] inline void halve_or_widen(const Pass& p, T (&wet)[Channels]) {
    if constexpr (Channels == 1) {
        wet[0] = wet[0] * 0.5f;
    } else if (p.use_width) {
        const T mid = (wet[1] + wet[0]) * 0.5f;
        const T side = (wet[0] - wet[1]) * 0.5f * p.width;
        wet[0] = side + mid;
        wet[1] = mid - side;
    }
}

// The states that need nothing from the frames before them, stepped
// kFrames frames ahead of the chunks: the oscillator, and the damping of each
// half's delay A output when it is on and both delay A lines hold at least
// 2 kFrames frames (every cell read ahead was written before the chunk that
// reads it, and is not written again before the frame it belongs to).  A
// chunk takes the values computed before it and steps the states for the
// frames after, so their chains of dependent operations run beside the
// chunks instead of holding each up.  After a frame each state is that
// frame's value: the oscillator (sine, cosine), the damping its output.
struct TankAhead {
    static constexpr uint32_t kFrames = 8;
    float phase[2][kFrames];   // sine, cosine of the next frames
    float damped[2][kFrames];  // each half's damped delay A output
    bool damps;

    TankAhead(const Pass& p, const TankRunning& state, const TankLayout& layout)
        : damps(p.damping > 0.0f), damping_coefficient(p.damping), oscillator(state.oscillator), taken(state) {
        for (uint32_t h = 0; h < 2; ++h) {
            const uint32_t line = kModulatedLines[h] + 1;
            delay_a[h] = layout.line_start[line];
            delay_a_frames[h] = layout.line_frames[line];
            cursor[h] = state.line_position[line];
            damping[h] = state.damping[h];
            damps = damps && delay_a_frames[h] >= 2 * kFrames;
        }
        for (uint32_t i = 0; i < kFrames; ++i) next(i);
    }

    // The values of the next C frames, and C more stepped.
    template <class L>
    [[gnu::always_inline]] void take(typename L::F (&phase_out)[2], typename L::F (&damped_out)[2]) {
        constexpr uint32_t C = L::count;
        for (uint32_t h = 0; h < 2; ++h) {
            std::memcpy(&phase_out[h], phase[h], sizeof phase_out[h]);
            std::memmove(phase[h], phase[h] + C, (kFrames - C) * sizeof(float));
            if (damps) {
                std::memcpy(&damped_out[h], damped[h], sizeof damped_out[h]);
                std::memmove(damped[h], damped[h] + C, (kFrames - C) * sizeof(float));
                taken.damping[h] = L::lane(damped_out[h], C - 1);
            }
        }
        for (uint32_t i = kFrames - C; i < kFrames; ++i) next(i);
        taken.oscillator.s = L::lane(phase_out[0], C - 1);
        taken.oscillator.v = L::lane(phase_out[1], C - 1);
    }

    // The oscillator and damping states after the frames taken.
    void store_taken(TankRunning& state) const {
        state.oscillator = taken.oscillator;
        if (damps) std::memcpy(state.damping, taken.damping, sizeof state.damping);
    }

private:
    float damping_coefficient;
    SineOscillator oscillator;  // after the last frame stepped
    float damping[2];
    const int16_t* delay_a[2];
    uint32_t delay_a_frames[2];
    uint32_t cursor[2];  // the cell of the next frame to step
    TankRunning taken;

    void next(uint32_t i) {
        phase[0][i] = oscillator.step();
        phase[1][i] = oscillator.v;
        if (!damps) return;
        for (uint32_t h = 0; h < 2; ++h) {
            damping[h] = one_pole_step(damping[h], static_cast<float>(delay_a[h][cursor[h]]), damping_coefficient);
            damped[h][i] = damping[h];
            cursor[h] = cursor[h] + 1 == delay_a_frames[h] ? 0 : cursor[h] + 1;
        }
    }
};

// C frames from frame j of a run: oscillator, input and pre-delay, input
// filters and drive, diffusers, both halves, taps, width, tilt and output.
template <uint32_t Channels, uint32_t C>
[[gnu::always_inline]] inline void run_chunk(const Pass& p, TankRunning& state, TankAhead& ahead,
                                             uint32_t& predelay_read, const Run& run, uint32_t early, size_t j) {
    using L = Lanes<C>;
    using F = typename L::F;
    F phase[2], delayed[2];
    ahead.template take<L>(phase, delayed);
    const int16_t* frames_in = run.in + j * Channels;
    F dry_in[Channels];
    L::template load_frames<Channels>(frames_in, dry_in);

    // The taps that read what the chunk is about to overwrite.
    int16_t before[kTankMaxTaps][C];
    for (uint32_t mask = early; mask != 0; mask &= mask - 1) {
        const uint32_t t = static_cast<uint32_t>(__builtin_ctz(mask));
        std::memcpy(before[t], run.taps[t] + j, sizeof before[t]);
    }

    F y = Channels == 1 ? dry_in[0] : (dry_in[Channels - 1] + dry_in[0]) * 0.5f;
    predelay<Channels, L>(p, state.predelay_position, predelay_read, frames_in, y);
    if (p.bandwidth > 0.0f) follow<L>(state.bandwidth, y, p.bandwidth, state_itself);
    if (p.highpass > 0.0f) follow<L>(state.highpass, y, p.highpass, [](float x, float hp) { return x - hp; });
    if (p.drive > 0.0f) {
        const F u = clamp(y * kFromS16, L::splat(-1.0f), L::splat(1.0f));
        y = (u - u * p.drive * u * u / 3.0f) * kToS16;
    }

    // Input diffusers; y becomes the diffused input e.
    for (uint32_t line = 0; line < 4; ++line) {
        int16_t* cells = run.at[line] + j;
        y = allpass<L>(cells, L::load(cells), y, line < 2 ? p.m : p.m2);
    }

    // Each half is fed the other's delay B output, written L frames earlier,
    // times the decay, plus the diffused input.
    const F feed[2] = {L::load(run.at[11] + j) * p.g + y, L::load(run.at[7] + j) * p.g + y};
    for (uint32_t h = 0; h < 2; ++h) {
        const uint32_t first = 4 * h + 4;
        const F modulated = modulated_allpass<L>(p.modulated_line[h], p.modulated_frames[h],
                                                 run.modulated_position[h] + static_cast<uint32_t>(j),
                                                 p.last_age[h], p.depth, phase[h], feed[h], p.d1);
        // Delay A, damped.
        if (!ahead.damps) {
            delayed[h] = L::load(run.at[first + 1] + j);
            if (p.damping > 0.0f) follow<L>(state.damping[h], delayed[h], p.damping, state_itself);
        }
        store_line16<L>(run.at[first + 1] + j, modulated);
        // The all-pass takes the damped delay A output times the decay;
        // delay B stores its output.
        int16_t* cells = run.at[first + 2] + j;
        store_line16<L>(run.at[first + 3] + j, allpass<L>(cells, L::load(cells), delayed[h] * p.g, p.d2));
    }

    if (j < run.mirror_until || j + C > run.frames) mirror_lines<C>(*p.layout, state.line_position, j);

    F wet[Channels];
    tap_sums<Channels, L>(*p.taps, run, j, early, before, wet);
    halve_or_widen<Channels>(p, wet);
    if (p.use_tilt)
        for (uint32_t c = 0; c < Channels; ++c)
            follow<L>(state.tilt[c], wet[c], p.tilt,
                      [&p](float o, float ts) { return ts * p.low_gain + (o - ts) * p.high_gain; });
    for (uint32_t c = 0; c < Channels; ++c) wet[c] = dry_in[c] * p.dry + wet[c] * p.wet;
    L::template store_rounded_frames<Channels>(run.out + j * Channels, wet);
}

// Chunks of Wide frames where the geometry allows, of 4 where it allows
// those only or fewer frames are left, else single frames.
template <uint32_t Channels, uint32_t Wide>
void run_frames(TankKernel* kernel, const int16_t* in, int16_t* out, size_t frames) {
    const TankLayout& layout = kernel->layout;
    const Pass p = pass_of<Channels>(kernel->settings, layout);
    const TankChunks wide = Wide == 8 ? layout.chunks_of_8 : TankChunks{false, 0};
    const TankChunks narrow = layout.chunks_of_4;

    TankRunning state = kernel->running;
    state.oscillator.k = kernel->settings.oscillator_coefficient;
    TankAhead ahead(p, state, layout);
    const uint32_t w = state.predelay_position, delay = p.predelay_frames;
    uint32_t predelay_read = !p.use_predelay ? 0 : (w >= delay ? w - delay : w + (p.predelay_capacity - delay));

    Run run;
    for (size_t f = 0; f < frames;) {
        const size_t left = frames - f, n = run_from(layout, state.line_position, left, run);
        run.in = in + f * Channels;
        run.out = out + f * Channels;
        // Chunks while the run lasts, the last one across the wraps that end
        // it; single frames only where the call ends.
        size_t j = 0;
        while (j < n) {
            if (wide.fit && j + Wide <= left) {
                run_chunk<Channels, Wide>(p, state, ahead, predelay_read, run, wide.early, j);
                j += Wide;
            } else if (narrow.fit && j + 4 <= left) {
                run_chunk<Channels, 4>(p, state, ahead, predelay_read, run, narrow.early, j);
                j += 4;
            } else {
                run_chunk<Channels, 1>(p, state, ahead, predelay_read, run, 0, j);
                ++j;
            }
        }

        for (uint32_t line = 0; line < kTankLines; ++line) {
            const uint32_t moved = state.line_position[line] + static_cast<uint32_t>(j);
            state.line_position[line] = moved >= layout.line_frames[line] ? moved - layout.line_frames[line] : moved;
        }
        f += j;
    }
    ahead.store_taken(state);
    kernel->running = state;
}

}  // namespace tank_detail

// The AVX2 build takes chunks of 8 frames (one 256-bit vector per stage),
// the baseline build chunks of 4 (one 128-bit vector).  Both do the same
// float operations on every value, so the output does not depend on the
// path taken.
inline void TankKernel::process(const int16_t* in, int16_t* out, size_t frames) {
    using tank_detail::run_frames;
    if (settings.channel_count == 1)
        run_kernel_widened<run_frames<1, 4>, run_frames<1, 8>>(this, in, out, frames);
    else
        run_kernel_widened<run_frames<2, 4>, run_frames<2, 8>>(this, in, out, frames);
}

}  // namespace divavova
