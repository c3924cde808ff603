// pitchshift_s16: a delay line written one cell per frame and read back at
// rate_step / 256 cells per frame, with a cross-fade where the read head
// comes close ahead of the write head.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "effects/delay_kernel.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

// ---------------------------------------------------------------------------
// Kernel

struct PitchSetup {
    uint32_t ring_len;   // L
    uint32_t fade_len;   // D, 0 for no FIFO and no cross-fade
    uint32_t rate_step;  // below L * 256
    double dry;
    double wet;
};

struct PitchPositions {
    uint32_t write;  // 0 .. L - 1
    uint32_t fade;   // 0 .. D - 1 (left alone when D is 0)
    uint32_t read;   // 1/256 cells, 0 .. L * 256 - 1
};

// The input reaches the ring through the FIFO, D frames late.  Within D cells
// ahead of the write head, the read cell is blended with the sample that will
// overwrite it m frames from now (still in the FIFO), the weight moving to
// that sample as m shrinks.
template <unsigned Channels, bool Fade, bool Bounded>
void pitch_frames(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* ring, uint8_t* fifo, const PitchSetup s,
                  PitchPositions& pos) {
    const uint32_t L = s.ring_len;
    const uint32_t D = s.fade_len;
    const uint64_t read_range = static_cast<uint64_t>(L) * 256;
    uint32_t W = pos.write, A = pos.fade, read = pos.read;
    size_t i = 0;
    auto frame = [&](unsigned channels) {
        const uint32_t R = read >> 8;
        for (unsigned c = 0; c < channels; ++c) {
            uint8_t* line = ring + 2 * (static_cast<size_t>(c) * L);
            int16_t x = delay::get_cell(in, i + c);
            int32_t v;
            if constexpr (Fade) {
                uint8_t* fade = fifo + 2 * (static_cast<size_t>(c) * D);
                delay::set_cell(line, W, delay::get_cell(fade, A));
                delay::set_cell(fade, A, x);
                v = delay::get_cell(line, R);
                uint32_t m = R >= W ? R - W : R + (L - W);
                if (m >= 1 && m <= D) {
                    uint32_t ahead = m >= D - A ? m - (D - A) : A + m;  // (A + m) mod D
                    int64_t incoming = delay::get_cell(fade, ahead);
                    // A weighted mean of two s16 values: within s16 whatever D is.
                    v = static_cast<int32_t>((static_cast<int64_t>(v) * m + incoming * (D - m)) / D);
                }
            } else {
                delay::set_cell(line, W, x);
                v = delay::get_cell(line, R);
            }
            delay::set_cell(out, i + c, delay::mix_out<Bounded>(s.dry, s.wet, x, v));
        }
    };
    for (; i + Channels <= samples; i += Channels) {
        frame(Channels);
        if (++W == L) W = 0;
        if constexpr (Fade) {
            if (++A == D) A = 0;
        }
        uint64_t next = static_cast<uint64_t>(read) + s.rate_step;
        if (next >= read_range) next -= read_range;
        read = static_cast<uint32_t>(next);
    }
    if (i < samples) frame(1);  // positions wait for the frame's right sample
    pos = {W, A, read};
}

template <unsigned Channels, bool Bounded>
void pitch_channels(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* ring, uint8_t* fifo,
                    const PitchSetup& s, PitchPositions& pos) {
    if (s.fade_len != 0)
        pitch_frames<Channels, true, Bounded>(in, out, samples, ring, fifo, s, pos);
    else
        pitch_frames<Channels, false, Bounded>(in, out, samples, ring, fifo, s, pos);
}

// Positions are brought into their ranges and rate_step below one turn of the
// ring, so the read head never leaves the ring.
void pitch_run(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* ring, uint8_t* fifo, unsigned channels,
               PitchSetup s, PitchPositions& pos) {
    const uint64_t read_range = static_cast<uint64_t>(s.ring_len) * 256;
    s.rate_step = delay::reduce(s.rate_step, read_range);
    pos.write = delay::reduce(pos.write, s.ring_len);
    if (s.fade_len != 0) pos.fade = delay::reduce(pos.fade, s.fade_len);
    pos.read = delay::reduce(pos.read, read_range);
    // The value read is a cell or a blend of two: within s16, as x is.
    const bool bounded = delay::fits_i32(32768.0 * (std::fabs(s.dry) + std::fabs(s.wet)));
    delay::dispatch(channels, bounded, [&](auto channel_count, auto is_bounded) {
        pitch_channels<decltype(channel_count)::value, decltype(is_bounded)::value>(in, out, samples, ring, fifo, s,
                                                                                    pos);
    });
}

// ---------------------------------------------------------------------------
// Binding

constexpr const char* kPitchMessage = "invalid pitch-shift parameters";
// L * 256 must fit the 32-bit read position.
constexpr uint32_t kMaxRingFrames = (1u << 24) - 1;

PyObject* pitchshift_s16(PyObject*, PyObject* args) {
    BufferView input, ring, fade_fifo;
    unsigned int ring_len, fade_len, channel_count, rate_step, write_pos, fade_pos, read_pos;
    double mix;
    if (!PyArg_ParseTuple(args, "y*w*w*IIIIIIId:pitchshift_s16", input.slot(), ring.slot(), fade_fifo.slot(),
                          &ring_len, &fade_len, &channel_count, &rate_step, &write_pos, &fade_pos, &read_pos, &mix))
        return nullptr;
    input.adopt();
    ring.adopt();
    fade_fifo.adopt();

    if (input.size() % 2 != 0 || (channel_count != 1 && channel_count != 2) || ring_len == 0 ||
        ring.size() < static_cast<uint64_t>(ring_len) * channel_count * 2 ||
        fade_fifo.size() < static_cast<uint64_t>(fade_len) * channel_count * 2 || ring_len > kMaxRingFrames)
        return value_error(kPitchMessage);

    char* out = nullptr;
    PyObject* result = new_bytes(input.size(), &out);
    if (!result) return nullptr;

    DryWet<double> gains = dry_wet(mix);
    PitchSetup setup{ring_len, fade_len, rate_step, gains.dry, gains.wet};
    PitchPositions pos{write_pos, fade_pos, read_pos};
    pitch_run(input.bytes(), reinterpret_cast<uint8_t*>(out), input.size() / 2, ring.writable_bytes(),
              fade_fifo.writable_bytes(), channel_count, setup, pos);
    return Py_BuildValue("(NIII)", result, static_cast<unsigned int>(pos.write), static_cast<unsigned int>(pos.fade),
                         static_cast<unsigned int>(pos.read));
}

}  // namespace

PyMethodDef pitchshift_s16_method() { return {"pitchshift_s16", pitchshift_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
