// echo_s16: feedback echo on caller-held delay lines, with a variable-rate
// mode whose write head moves by a 24.8 fixed-point step per sample.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "effects/delay_kernel.hpp"
#include "module/dispatch.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

// ---------------------------------------------------------------------------
// Kernel

struct EchoSetup {
    uint32_t delay_frames;  // L, cells per line in use
    uint64_t line_range;    // L in the normal mode, L * 256 in the variable-rate mode
    uint32_t rate_step;     // variable-rate advance per sample in 1/256 cells, as given
    double feedback;
    double dry;
    double wet;
};

// What the feedback path leaves in a cell: its old content fed back, plus the
// input.
template <bool Bounded>
inline int16_t fed_cell(int16_t old, double x, const EchoSetup& s) {
    return delay::knee_s16(delay::to_i32<Bounded>(old * s.feedback + x));
}

// Normal mode.  The tap reads before the write, so a cell holds the sample
// written L samples of its channel ago.
template <bool Bounded>
inline int16_t echo_cell(uint8_t* line, size_t cell, double x, const EchoSetup& s) {
    int16_t delayed = delay::get_cell(line, cell);
    delay::set_cell(line, cell, fed_cell<Bounded>(delayed, x, s));
    return delay::mix_out<Bounded>(s.dry, s.wet, x, delayed);
}

template <unsigned Channels, bool Bounded>
void echo_normal(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* const* line_starts, EchoSetup s,
                 uint32_t* positions) {
    const uint32_t length = s.delay_frames;
    const size_t frames = samples / Channels;
    uint8_t* lines[2] = {line_starts[0], line_starts[1]};
    uint32_t pos[2] = {positions[0], positions[1]};
    size_t frame = 0;
    // Runs of frames in which no head wraps: no wrap test inside the loop.
    while (frame < frames) {
        size_t run = std::min<size_t>(frames - frame, length - pos[0]);
        if constexpr (Channels == 2) run = std::min<size_t>(run, length - pos[1]);
        for (size_t k = 0; k < run; ++k) {
            for (unsigned c = 0; c < Channels; ++c) {
                size_t i = (frame + k) * Channels + c;
                double x = delay::get_cell(in, i);
                delay::set_cell(out, i, echo_cell<Bounded>(lines[c], pos[c] + k, x, s));
            }
        }
        frame += run;
        for (unsigned c = 0; c < Channels; ++c) {
            pos[c] += static_cast<uint32_t>(run);
            if (pos[c] == length) pos[c] = 0;
        }
    }
    if (Channels == 2 && samples % 2 != 0) {
        // A lone trailing sample belongs to the left line.
        size_t i = samples - 1;
        delay::set_cell(out, i, echo_cell<Bounded>(lines[0], pos[0], delay::get_cell(in, i), s));
        if (++pos[0] == length) pos[0] = 0;
    }
    for (unsigned c = 0; c < Channels; ++c) positions[c] = pos[c];
}

// A cell the head passes `times` times in one sample: the feedback map applied
// that often.  The map takes 16-bit values to 16-bit values, so within 65536
// applications the value has reached a cycle of it (most often a fixed point,
// within a handful); the passes left then go round the cycle.  The cost stays
// bounded however large the step.
template <bool Bounded>
inline int16_t fed_cell_times(int16_t value, uint64_t times, double x, const EchoSetup& s) {
    constexpr uint64_t kValues = 65536;
    uint64_t done = 0;
    for (; done < times && done < kValues; ++done) {
        const int16_t next = fed_cell<Bounded>(value, x, s);
        if (next == value) return value;
        value = next;
    }
    if (done == times) return value;
    uint64_t cycle = 1;
    for (int16_t v = fed_cell<Bounded>(value, x, s); v != value; v = fed_cell<Bounded>(v, x, s)) ++cycle;
    for (uint64_t left = (times - done) % cycle; left > 0; --left) value = fed_cell<Bounded>(value, x, s);
    return value;
}

// More passes than the line has cells, from cell `first` on: the cells are
// independent of each other, each one is passed passes / L times and the
// first passes % L of them once more.
template <bool Bounded>
[[gnu::noinline]] void feed_every_cell(uint8_t* line, uint64_t first, uint64_t passes, double x, const EchoSetup& s) {
    const uint32_t length = s.delay_frames;
    const uint64_t rounds = passes / length, extra = passes % length;
    for (uint32_t cell = 0; cell < length; ++cell) {
        const uint64_t order = cell >= first ? cell - first : cell + length - first;
        const uint64_t times = rounds + (order < extra ? 1 : 0);
        delay::set_cell(line, cell, fed_cell_times<Bounded>(delay::get_cell(line, cell), times, x, s));
    }
}

// Variable-rate mode, positions in 1/256 cells.  The delayed sample is the
// cell under the head before it moves; every cell the head then passes gets
// the input, each with its own old content fed back, cell k mod L for every
// whole cell k the head crosses.  A step above L * 256 passes cells several
// times.  The head always moves by the whole step: the sum is formed in 64
// bits (where 32 bits would wrap, the head would otherwise stand still), and
// only the position is reduced into the line.
// Wide: the step can carry the head past more cells than the line has, or
// past its end more than once (rate_step + 255 > L * 256).
template <bool Bounded, bool Wide>
inline int16_t echo_variable_sample(uint8_t* line, uint32_t& position, double x, const EchoSetup& s) {
    const uint32_t length = s.delay_frames;
    uint64_t next = static_cast<uint64_t>(position) + s.rate_step;
    const uint64_t first = position >> 8;
    const uint64_t end = next >> 8;
    const int16_t delayed = delay::get_cell(line, first);
    if (!Wide || end - first <= length) {
        for (uint64_t k = first; k < end; ++k) {
            const size_t cell = static_cast<size_t>(k < length ? k : k - length);
            delay::set_cell(line, cell, fed_cell<Bounded>(delay::get_cell(line, cell), x, s));
        }
    } else {
        feed_every_cell<Bounded>(line, first, end - first, x, s);
    }
    if (next >= s.line_range) {
        next -= s.line_range;
        if (Wide && next >= s.line_range) next %= s.line_range;
    }
    position = static_cast<uint32_t>(next);
    return delay::mix_out<Bounded>(s.dry, s.wet, x, delayed);
}

template <unsigned Channels, bool Bounded, bool Wide>
void echo_variable_run(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* const* line_starts, EchoSetup s,
                       uint32_t* positions) {
    uint8_t* lines[2] = {line_starts[0], line_starts[1]};
    uint32_t pos[2] = {positions[0], positions[1]};
    size_t i = 0;
    for (; i + Channels <= samples; i += Channels)
        for (unsigned c = 0; c < Channels; ++c)
            delay::set_cell(out, i + c,
                            echo_variable_sample<Bounded, Wide>(lines[c], pos[c], delay::get_cell(in, i + c), s));
    if (i < samples)
        delay::set_cell(out, i, echo_variable_sample<Bounded, Wide>(lines[0], pos[0], delay::get_cell(in, i), s));
    for (unsigned c = 0; c < Channels; ++c) positions[c] = pos[c];
}

// ---------------------------------------------------------------------------
// Variable-rate mode in chunks of frames in which no head wraps round its
// line.  Within such a chunk every sample reads a cell no earlier sample of the
// chunk wrote (the head only moves forward, and a sample's read cell is where
// the previous one stopped writing), and every cell is written once, by the
// sample whose step carries the head over it.  So the chunk runs in passes:
// gather the delayed cells, lay out each cell's input, then form the outputs
// and the new cells as independent lanes, each lane doing the scalar
// operations of its sample or cell.

constexpr size_t kChunkFrames = 256;
constexpr uint32_t kChunkMostCells = 8;  // cells one sample may pass: steps up to 7 * 256 + 1

// knee(trunc(a * u + b * v)) for n cells of u and v into out (any of them may
// be the same array, cell for cell).  a * u + b * v stays below
// kKneeLanesBound, so the knee is formed in 32-bit lanes.  The feedback path
// is the same with a = feedback and b = 1 (x * 1 is x).
inline void knee_blend(const uint8_t* u, const uint8_t* v, uint8_t* out, size_t n, double a, double b) {
    using Cells = LaneTypes<8>::H;
    using Ints = LaneTypes<8>::I;
    typedef double Reals __attribute__((vector_size(64)));
    constexpr size_t kLanes = 8;
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        // Through 32-bit lanes: GCC builds the direct conversion one element at a time.
        const Reals ur = __builtin_convertvector(__builtin_convertvector(load<Cells>(u + 2 * i), Ints), Reals);
        const Reals vr = __builtin_convertvector(__builtin_convertvector(load<Cells>(v + 2 * i), Ints), Reals);
        const Ints t = __builtin_convertvector(a * ur + b * vr, Ints);
        store<Cells>(out + 2 * i, __builtin_convertvector(delay::saturate_s16_lanes(delay::knee_lanes(t)), Cells));
    }
    for (; i < n; ++i) {
        const double ui = delay::get_cell(u, i), vi = delay::get_cell(v, i);
        delay::set_cell(out, i, delay::knee_s16(static_cast<int32_t>(a * ui + b * vi)));
    }
}

// Samples of a line the head can take from position p before its step wraps
// it (the sample that wraps runs on its own).
inline size_t samples_before_wrap(uint32_t position, const EchoSetup& s) {
    if (s.rate_step == 0) return kChunkFrames;
    return static_cast<size_t>((s.line_range - 1 - position) / s.rate_step);
}

template <unsigned Channels>
void echo_variable_chunks(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* const* line_starts, EchoSetup s,
                          uint32_t* positions) {
    uint8_t* lines[2] = {line_starts[0], line_starts[1]};
    uint32_t pos[2] = {positions[0], positions[1]};
    typedef int16_t Spread __attribute__((vector_size(2 * kChunkMostCells)));
    int16_t delayed[kChunkFrames * Channels];
    int16_t cell_inputs[(kChunkFrames + 1) * kChunkMostCells];
    const size_t frames = samples / Channels;
    for (size_t frame = 0; frame < frames;) {
        size_t n = std::min(kChunkFrames, frames - frame);
        for (unsigned c = 0; c < Channels; ++c) n = std::min(n, samples_before_wrap(pos[c], s));
        const uint8_t* x = in + 2 * Channels * frame;
        if (n == 0) {  // a head wraps in this frame
            for (unsigned c = 0; c < Channels; ++c)
                delay::set_cell(out + 2 * Channels * frame, c,
                                echo_variable_sample<true, false>(lines[c], pos[c], delay::get_cell(x, c), s));
            ++frame;
            continue;
        }
        for (unsigned c = 0; c < Channels; ++c) {
            const uint32_t first = pos[c] >> 8;
            uint32_t p = pos[c];
            for (size_t k = 0; k < n; ++k, p += s.rate_step) {
                const uint32_t cell = p >> 8;
                const int16_t input = delay::get_cell(x, Channels * k + c);
                delayed[Channels * k + c] = delay::get_cell(lines[c], cell);
                // Into as many cells as a step can pass; the sample that
                // owns a cell writes it last.
                store<Spread>(cell_inputs + (cell - first), Spread{} + input);
            }
            uint8_t* written = lines[c] + 2 * static_cast<size_t>(first);
            knee_blend(written, reinterpret_cast<const uint8_t*>(cell_inputs), written, (p >> 8) - first, s.feedback,
                       1.0);
            pos[c] = p;
        }
        knee_blend(x, reinterpret_cast<const uint8_t*>(delayed), out + 2 * Channels * frame, Channels * n, s.dry,
                   s.wet);
        frame += n;
    }
    if (Channels == 2 && samples % 2 != 0)
        delay::set_cell(out, samples - 1,
                        echo_variable_sample<true, false>(lines[0], pos[0], delay::get_cell(in, samples - 1), s));
    for (unsigned c = 0; c < Channels; ++c) positions[c] = pos[c];
}

// Whether the chunks apply (in the AVX2 build; the baseline's conversions
// between 16-bit cells and doubles cost more than the chunks save): a step of at most kChunkMostCells cells that never
// wraps a head twice, gains that keep every sum inside kKneeLanesBound, and an
// input that is no view of the lines.
template <unsigned Channels>
bool chunks_apply(const uint8_t* in, size_t samples, uint8_t* const* lines, const EchoSetup& s) {
    if (((s.rate_step + 255ull) >> 8) > kChunkMostCells || s.rate_step + 255ull > s.line_range) return false;
    const double bound = delay::kKneeLanesBound;
    if (!(32768.0 * (std::fabs(s.feedback) + 1.0) < bound && 32768.0 * (std::fabs(s.dry) + std::fabs(s.wet)) < bound))
        return false;
    const uintptr_t a0 = reinterpret_cast<uintptr_t>(in), a1 = a0 + 2 * samples;
    for (unsigned c = 0; c < Channels; ++c) {
        const uintptr_t b0 = reinterpret_cast<uintptr_t>(lines[c]), b1 = b0 + 2 * static_cast<size_t>(s.delay_frames);
        if (samples && a0 < b1 && b0 < a1) return false;
    }
    return true;
}

template <unsigned Channels, bool Bounded>
void echo_variable(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* const* line_starts, EchoSetup s,
                   uint32_t* positions) {
    if (chunks_apply<Channels>(in, samples, line_starts, s))
        run_kernel_widened<echo_variable_run<Channels, true, false>, echo_variable_chunks<Channels>>(
            in, out, samples, line_starts, s, positions);
    else if (static_cast<uint64_t>(s.rate_step) + 255 > s.line_range)
        echo_variable_run<Channels, Bounded, true>(in, out, samples, line_starts, s, positions);
    else
        echo_variable_run<Channels, Bounded, false>(in, out, samples, line_starts, s, positions);
}

template <unsigned Channels, bool Bounded>
void echo_mode(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* const* lines, bool variable_rate,
               const EchoSetup& s, uint32_t* pos) {
    if (variable_rate)
        echo_variable<Channels, Bounded>(in, out, samples, lines, s, pos);
    else
        echo_normal<Channels, Bounded>(in, out, samples, lines, s, pos);
}

// Positions are brought into their line's range first (the right one only
// when it is used).
void echo_run(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* state, uint32_t capacity_frames,
              unsigned channels, bool variable_rate, EchoSetup s, uint32_t* pos) {
    s.line_range = variable_rate ? static_cast<uint64_t>(s.delay_frames) * 256 : s.delay_frames;
    for (unsigned c = 0; c < channels; ++c) pos[c] = delay::reduce(pos[c], s.line_range);
    uint8_t* lines[2] = {state, state + 2 * static_cast<size_t>(capacity_frames)};
    // |line * feedback + x| <= 32768 (|feedback| + 1); |dry x + wet d| <= 32768 (|dry| + |wet|).
    const bool bounded = delay::fits_i32(32768.0 * (std::fabs(s.feedback) + 1.0)) &&
                         delay::fits_i32(32768.0 * (std::fabs(s.dry) + std::fabs(s.wet)));
    delay::dispatch(channels, bounded, [&](auto channel_count, auto is_bounded) {
        echo_mode<decltype(channel_count)::value, decltype(is_bounded)::value>(in, out, samples, lines, variable_rate,
                                                                               s, pos);
    });
}

// ---------------------------------------------------------------------------
// Binding

constexpr const char* kEchoMessage = "invalid echo parameters";
// L * 256 must fit the 32-bit positions of the variable-rate mode.
constexpr uint32_t kVariableRateMaxFrames = (1u << 24) - 1;

PyObject* echo_s16(PyObject*, PyObject* args) {
    BufferView input, state;
    unsigned int left_pos, right_pos, delay_frames, capacity_frames, rate_step, channel_count;
    double feedback, mix;
    int variable_rate;
    if (!PyArg_ParseTuple(args, "y*w*IIIIIddpI:echo_s16", input.slot(), state.slot(), &left_pos, &right_pos,
                          &delay_frames, &capacity_frames, &rate_step, &feedback, &mix, &variable_rate,
                          &channel_count))
        return nullptr;
    input.adopt();
    state.adopt();

    if (input.size() % 2 != 0 || (channel_count != 1 && channel_count != 2) || delay_frames == 0 ||
        delay_frames > capacity_frames ||
        state.size() < static_cast<uint64_t>(capacity_frames) * channel_count * 2 ||
        (variable_rate && delay_frames > kVariableRateMaxFrames))
        return value_error(kEchoMessage);

    char* out = nullptr;
    PyObject* result = new_bytes(input.size(), &out);
    if (!result) return nullptr;

    DryWet<double> gains = dry_wet(mix);
    EchoSetup setup{delay_frames, 0, rate_step, feedback, gains.dry, gains.wet};
    uint32_t pos[2] = {left_pos, right_pos};
    echo_run(input.bytes(), reinterpret_cast<uint8_t*>(out), input.size() / 2, state.writable_bytes(),
             capacity_frames, channel_count, variable_rate != 0, setup, pos);
    return Py_BuildValue("(NII)", result, static_cast<unsigned int>(pos[0]), static_cast<unsigned int>(pos[1]));
}

}  // namespace

PyMethodDef echo_s16_method() { return {"echo_s16", echo_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
