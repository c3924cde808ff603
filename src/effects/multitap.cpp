// multitap_s16: a feedback delay line per channel read by any number of taps,
// each with its own delay and gain, on caller-held buffers.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "effects/delay_kernel.hpp"
#include "module/dispatch.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

// ---------------------------------------------------------------------------
// Kernel

struct Tap {
    uint32_t offset;  // line_len - delay, 32-bit wrapping; the tap reads cell (offset + p) mod line_len
    double gain;
};

struct MultitapSetup {
    uint32_t line_len;
    double feedback;
    double dry;
    double wet;
    int32_t sum_knee;  // knee factor for the sum of two or more taps
};

// Cell (offset + p) mod line_len with the sum in 32-bit wrapping arithmetic.
// For delays 1 .. line_len the sum stays below 2 * line_len, so the division
// is only reached by delays outside that range.
inline size_t tap_cell(uint32_t offset, uint32_t p, uint32_t line_len) {
    uint32_t v = offset + p;
    if (v < line_len) return v;
    if (v - line_len < line_len) return v - line_len;
    return v % line_len;
}

// Feeds input x into the line's cell p: the old content times the feedback,
// plus x, through the knee.  Returns the old content.
template <bool Bounded>
inline int16_t feed_cell(uint8_t* line, size_t p, int32_t x, double feedback) {
    int16_t old = delay::get_cell(line, p);
    delay::set_cell(line, p, delay::knee_s16(x + static_cast<int64_t>(delay::to_i32<Bounded>(old * feedback))));
    return old;
}

// Taps: 0 (the oldest cell), 1 (one product, no knee) or many (products
// summed, then the knee sized for the tap count).
enum class TapMode { none, one, many };

// The tap value of a sum of two or more tap products.
inline int32_t summed_taps(int64_t sum, const MultitapSetup& s) { return saturate_s16(soft_knee(sum, s.sum_knee)); }

template <unsigned Channels, TapMode Mode, bool Bounded>
void multitap_frames(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* ring, const Tap* taps,
                     size_t tap_count, const MultitapSetup s, uint32_t& write_pos) {
    const uint32_t line_len = s.line_len;
    uint8_t* lines[2] = {ring, ring + 2 * static_cast<size_t>(line_len)};
    uint32_t p = write_pos;
    size_t i = 0;
    // One frame, or the lone left sample that ends an odd stereo block.
    auto frame = [&](unsigned channels) {
        double tap_value[Channels];
        if constexpr (Mode == TapMode::one) {
            size_t cell = tap_cell(taps[0].offset, p, line_len);
            for (unsigned c = 0; c < channels; ++c)
                tap_value[c] = delay::to_i32<Bounded>(delay::get_cell(lines[c], cell) * taps[0].gain);
        } else if constexpr (Mode == TapMode::many) {
            int64_t sum[Channels] = {};
            for (size_t j = 0; j < tap_count; ++j) {
                size_t cell = tap_cell(taps[j].offset, p, line_len);
                for (unsigned c = 0; c < channels; ++c)
                    sum[c] += delay::to_i32<Bounded>(delay::get_cell(lines[c], cell) * taps[j].gain);
            }
            for (unsigned c = 0; c < channels; ++c)
                tap_value[c] = summed_taps(sum[c], s);
        }
        for (unsigned c = 0; c < channels; ++c) {
            int32_t x = delay::get_cell(in, i + c);
            int16_t old = feed_cell<Bounded>(lines[c], p, x, s.feedback);
            if constexpr (Mode == TapMode::none) tap_value[c] = old;
            delay::set_cell(out, i + c, delay::mix_out<Bounded>(s.dry, s.wet, x, tap_value[c]));
        }
    };
    for (; i + Channels <= samples; i += Channels) {
        frame(Channels);
        if (++p == line_len) p = 0;
    }
    if (i < samples) frame(1);  // the write position waits for its right sample
    write_pos = p;
}

// ---------------------------------------------------------------------------
// Chunked frames.  When every tap delay is at least kMinChunkDelay frames, a
// run of up to that many frames reads no cell that the same run writes: each
// tap of frame k reads the cell written d >= run length frames earlier, and
// the write of frame k reads its own cell just before rewriting it.  While
// neither the write cell nor any tap cell wraps round the line, each tap's
// cells for the run are consecutive, so the tap products of the whole run can
// be summed tap by tap (a loop that vectorises) before the frames are
// written one by one.  Each product is truncated on its own as in the frame
// loop, and integer sums do not depend on their order; with the call bounded
// no sum leaves 32 bits (32768 x the sum of |gain| is below 2^31).

constexpr size_t kMinChunkDelay = 16;
constexpr size_t kChunkFrames = 256;

// Adds the truncated product of every tap's run of cells into sums[0 .. n).
void add_tap_products(const uint8_t* line, const Tap* taps, const uint32_t* cells, size_t tap_count, size_t n,
                      int32_t* sums) {
    for (size_t k = 0; k < n; ++k) sums[k] = 0;
    for (size_t j = 0; j < tap_count; ++j) {
        const uint8_t* run = line + 2 * static_cast<size_t>(cells[j]);
        const double gain = taps[j].gain;
        for (size_t k = 0; k < n; ++k)
            sums[k] += static_cast<int32_t>(static_cast<double>(delay::get_cell(run, k)) * gain);
    }
}

// The longest run of frames the chunked frames may take (the shortest
// delay, at most kChunkFrames), or 0 where they do not apply.  They need
// every delay from kMinChunkDelay to line_len (so a tap's cell is
// (line_len - d + p) mod line_len with no 32-bit wrap on lines up to 2^31
// cells) and an input that does not share memory with the lines.
size_t multitap_chunk_frames(const uint8_t* in, size_t samples, const uint8_t* ring, unsigned channels,
                             const Tap* taps, size_t tap_count, uint32_t line_len) {
    if (tap_count == 0 || line_len > 0x80000000u) return 0;
    size_t longest = kChunkFrames;
    for (size_t j = 0; j < tap_count; ++j) {
        uint32_t d = line_len - taps[j].offset;  // the caller's delay
        if (d < kMinChunkDelay || d > line_len) return 0;
        if (d < longest) longest = d;
    }
    const uintptr_t in_start = reinterpret_cast<uintptr_t>(in), in_end = in_start + 2 * samples;
    const uintptr_t ring_start = reinterpret_cast<uintptr_t>(ring);
    const uintptr_t ring_end = ring_start + 2 * static_cast<size_t>(line_len) * channels;
    return in_end <= ring_start || ring_end <= in_start ? longest : 0;
}

// The frames of a chunk once its tap sums are known, one channel at a time:
// within a chunk no frame reads a cell another frame writes, so the order of
// the frames does not matter.  Where the call's bounds keep 32-bit knees
// exact (see multitap_lane_bounds) eight frames go to a vector, each lane
// doing the frame loop's operations on its frame; the rest one at a time.
template <unsigned Channels, TapMode Mode>
void write_chunk(const uint8_t* in, uint8_t* out, uint8_t* line, size_t channel, const int32_t* sums, size_t n,
                  const MultitapSetup& s, bool in_lanes) {
    using Ints = LaneTypes<8>::I;
    using Cells = LaneTypes<8>::H;
    typedef double Reals __attribute__((vector_size(64)));
    constexpr size_t kLanes = 8;
    int16_t xs[kChunkFrames], ys[kChunkFrames];
    for (size_t k = 0; k < n; ++k) xs[k] = delay::get_cell(in, k * Channels + channel);
    const auto reals = [](Ints v) { return __builtin_convertvector(v, Reals); };
    size_t k = 0;
    for (; in_lanes && k + kLanes <= n; k += kLanes) {
        const Ints x = __builtin_convertvector(load<Cells>(xs + k), Ints);
        const Ints old = __builtin_convertvector(load<Cells>(line + 2 * k), Ints);
        const Ints fed = x + __builtin_convertvector(reals(old) * s.feedback, Ints);
        store<Cells>(line + 2 * k, __builtin_convertvector(delay::saturate_s16_lanes(delay::knee_lanes(fed)), Cells));
        Ints tap = load<Ints>(sums + k);
        if constexpr (Mode == TapMode::many) tap = delay::saturate_s16_lanes(delay::knee_lanes(tap, s.sum_knee));
        const Ints mixed = __builtin_convertvector(s.dry * reals(x) + s.wet * reals(tap), Ints);
        store<Cells>(ys + k, __builtin_convertvector(delay::saturate_s16_lanes(delay::knee_lanes(mixed)), Cells));
    }
    for (; k < n; ++k) {
        const double tap_value = Mode == TapMode::one ? sums[k] : summed_taps(sums[k], s);
        feed_cell<true>(line, k, xs[k], s.feedback);
        ys[k] = delay::mix_out<true>(s.dry, s.wet, xs[k], tap_value);
    }
    for (size_t k = 0; k < n; ++k) delay::set_cell(out, k * Channels + channel, ys[k]);
}

template <unsigned Channels, TapMode Mode>
void multitap_chunks(const uint8_t* in, uint8_t* out, size_t frames, uint8_t* ring, const Tap* taps,
                     size_t tap_count, const MultitapSetup& s, uint32_t& write_pos, uint32_t* cells,
                     size_t chunk_frames, bool in_lanes) {
    const uint32_t line_len = s.line_len;
    uint8_t* lines[2] = {ring, ring + 2 * static_cast<size_t>(line_len)};
    uint32_t p = write_pos;
    int32_t sums[Channels][kChunkFrames];
    for (size_t f = 0; f < frames;) {
        size_t n = frames - f;
        if (n > chunk_frames) n = chunk_frames;
        if (n > line_len - p) n = line_len - p;
        for (size_t j = 0; j < tap_count; ++j) {
            uint32_t cell = taps[j].offset + p;  // offset = line_len - d, so below 2 * line_len
            if (cell >= line_len) cell -= line_len;
            cells[j] = cell;
            if (n > line_len - cell) n = line_len - cell;
        }
        for (unsigned c = 0; c < Channels; ++c)
            run_kernel<add_tap_products>(static_cast<const uint8_t*>(lines[c]), taps, static_cast<const uint32_t*>(cells),
                                         tap_count, n, &sums[c][0]);
        for (unsigned c = 0; c < Channels; ++c)
            run_kernel<write_chunk<Channels, Mode>>(in + 2 * Channels * f, out + 2 * Channels * f,
                                                     lines[c] + 2 * static_cast<size_t>(p), static_cast<size_t>(c),
                                                     static_cast<const int32_t*>(sums[c]), n, s, in_lanes);
        f += n;
        p += static_cast<uint32_t>(n);
        if (p == line_len) p = 0;
    }
    write_pos = p;
}

template <unsigned Channels, bool Bounded>
void multitap_channels(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* ring, const Tap* taps,
                       size_t tap_count, const MultitapSetup& s, uint32_t& write_pos) {
    if (tap_count == 0)
        multitap_frames<Channels, TapMode::none, Bounded>(in, out, samples, ring, taps, tap_count, s, write_pos);
    else if (tap_count == 1)
        multitap_frames<Channels, TapMode::one, Bounded>(in, out, samples, ring, taps, tap_count, s, write_pos);
    else
        multitap_frames<Channels, TapMode::many, Bounded>(in, out, samples, ring, taps, tap_count, s, write_pos);
}

// The largest magnitudes of a tap sum, 32768 x the sum of |gain| (NaN when
// a gain is), and of the tap value: a full s16 value, or the lone tap's
// product, which has no knee.
struct TapBounds {
    double sum, value;
};

TapBounds tap_bounds(const Tap* taps, size_t tap_count) {
    double gains = 0.0;
    for (size_t j = 0; j < tap_count; ++j) gains += std::fabs(taps[j].gain);
    const double sum = 32768.0 * gains;
    return {sum, tap_count == 1 ? sum : 32768.0};
}

// Whether every product and sum the frames convert stays within 32 bits for
// any line content: line * gain for each tap, old * feedback, and the output
// mix of the input with the tap value.
bool multitap_bounded(const Tap* taps, size_t tap_count, const MultitapSetup& s) {
    const auto [tap_bound, tap_value_bound] = tap_bounds(taps, tap_count);
    return delay::fits_i32(tap_bound) && delay::fits_i32(32768.0 * std::fabs(s.feedback)) &&
           delay::fits_i32(32768.0 * std::fabs(s.dry) + std::fabs(s.wet) * tap_value_bound);
}

// Whether the chunked frames may form their knees in 32-bit lanes: every
// value a knee takes stays below kKneeLanesBound, and the tap sum's knee
// products below 2^31 (the margins cover the rounding of the bounds).
bool multitap_lane_bounds(const Tap* taps, size_t tap_count, const MultitapSetup& s) {
    const auto [tap_bound, tap_value_bound] = tap_bounds(taps, tap_count);
    const double knee_bound = delay::kKneeLanesBound - 1000.0;
    return 32768.0 * (1.0 + std::fabs(s.feedback)) < knee_bound &&
           32768.0 * std::fabs(s.dry) + std::fabs(s.wet) * tap_value_bound < knee_bound &&
           (tap_count == 1 || (tap_bound + kKneeThreshold + 1000.0) * s.sum_knee < 2147483647.0);
}

// Unpacks the caller's delays (u32) and gains (f64) into taps.
void multitap_taps(const uint8_t* delays, const uint8_t* gains, size_t tap_count, uint32_t line_len, Tap* taps) {
    for (size_t j = 0; j < tap_count; ++j)
        taps[j] = {line_len - load<uint32_t>(delays + 4 * j), load<double>(gains + 8 * j)};
}

// A write position at or beyond the line is taken modulo its length.
// cells: tap_count cells of scratch for the chunked frames, or nullptr.
uint32_t multitap_run(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* ring, unsigned channels,
                      const Tap* taps, size_t tap_count, MultitapSetup s, uint32_t write_pos, uint32_t* cells) {
    // Beyond 8192 taps the sum's knee factor is 0 anyway.
    s.sum_knee = knee_factor(static_cast<uint32_t>(tap_count < 65536 ? tap_count : 65536));
    write_pos = delay::reduce(write_pos, s.line_len);
    const bool bounded = multitap_bounded(taps, tap_count, s);
    const size_t chunk_frames =
        bounded && cells ? multitap_chunk_frames(in, samples, ring, channels, taps, tap_count, s.line_len) : 0;
    if (chunk_frames) {
        // Whole frames in chunks; a lone left sample at the end of a stereo
        // block goes through the frame loop.
        const size_t frames = samples / channels, whole = frames * channels;
        const bool in_lanes = multitap_lane_bounds(taps, tap_count, s);
        auto chunks = [&](auto channel_count) {
            constexpr unsigned kChannels = decltype(channel_count)::value;
            if (tap_count == 1)
                multitap_chunks<kChannels, TapMode::one>(in, out, frames, ring, taps, tap_count, s, write_pos, cells,
                                                         chunk_frames, in_lanes);
            else
                multitap_chunks<kChannels, TapMode::many>(in, out, frames, ring, taps, tap_count, s, write_pos, cells,
                                                          chunk_frames, in_lanes);
        };
        if (channels == 2)
            chunks(std::integral_constant<unsigned, 2>{});
        else
            chunks(std::integral_constant<unsigned, 1>{});
        if (whole == samples) return write_pos;
        in += 2 * whole;
        out += 2 * whole;
        samples -= whole;
    }
    delay::dispatch(channels, bounded, [&](auto channel_count, auto is_bounded) {
        multitap_channels<decltype(channel_count)::value, decltype(is_bounded)::value>(in, out, samples, ring, taps,
                                                                                       tap_count, s, write_pos);
    });
    return write_pos;
}

// ---------------------------------------------------------------------------
// Binding

constexpr const char* kMultitapMessage = "invalid multi-tap parameters";
constexpr size_t kStackTaps = 32;

PyObject* multitap_s16(PyObject*, PyObject* args) {
    BufferView input, ring, tap_delays, tap_gains;
    unsigned int write_pos, line_len, channel_count;
    double feedback, mix;
    if (!PyArg_ParseTuple(args, "y*w*IIIw*w*dd:multitap_s16", input.slot(), ring.slot(), &write_pos, &line_len,
                          &channel_count, tap_delays.slot(), tap_gains.slot(), &feedback, &mix))
        return nullptr;
    input.adopt();
    ring.adopt();
    tap_delays.adopt();
    tap_gains.adopt();

    if (input.size() % 2 != 0 || (channel_count != 1 && channel_count != 2) || line_len == 0 ||
        tap_delays.size() % 4 != 0 || tap_gains.size() != 2 * tap_delays.size() ||
        ring.size() < static_cast<uint64_t>(line_len) * channel_count * 2)
        return value_error(kMultitapMessage);

    // The taps are copied out first: the caller's tap buffers are only read.
    const size_t tap_count = tap_delays.size() / 4;
    Tap stack_taps[kStackTaps];
    uint32_t stack_cells[kStackTaps];
    PyMemArray<Tap> heap_taps;
    PyMemArray<uint32_t> heap_cells;
    Tap* taps = stack_taps;
    uint32_t* cells = stack_cells;  // scratch of the chunked frames; without it the frame loop runs
    if (tap_count > kStackTaps) {
        if (!heap_taps.allocate_zeroed(tap_count)) return PyErr_NoMemory();
        taps = heap_taps.get();
        cells = heap_cells.allocate_zeroed(tap_count) ? heap_cells.get() : nullptr;
    }

    char* out = nullptr;
    PyObject* result = new_bytes(input.size(), &out);
    if (!result) return nullptr;

    multitap_taps(tap_delays.bytes(), tap_gains.bytes(), tap_count, line_len, taps);
    DryWet<double> gains = dry_wet(mix);
    MultitapSetup setup{line_len, feedback, gains.dry, gains.wet, 0};
    uint32_t new_pos = multitap_run(input.bytes(), reinterpret_cast<uint8_t*>(out), input.size() / 2,
                                    ring.writable_bytes(), channel_count, taps, tap_count, setup, write_pos, cells);
    return Py_BuildValue("(NI)", result, static_cast<unsigned int>(new_pos));
}

}  // namespace

PyMethodDef multitap_s16_method() { return {"multitap_s16", multitap_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
