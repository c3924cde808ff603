// multitap_s16: a feedback delay line per channel read by any number of taps,
// each with its own delay and gain, on caller-held buffers.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "effects/delay_kernel.hpp"
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

// Taps: 0 (the oldest cell), 1 (one product, no knee) or many (products
// summed, then the knee sized for the tap count).
enum class TapMode { none, one, many };

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
                tap_value[c] = saturate_s16(soft_knee(sum[c], s.sum_knee));
        }
        for (unsigned c = 0; c < channels; ++c) {
            int32_t x = delay::get_cell(in, i + c);
            int16_t old = delay::get_cell(lines[c], p);
            if constexpr (Mode == TapMode::none) tap_value[c] = old;
            delay::set_cell(lines[c], p, delay::knee_s16(x + static_cast<int64_t>(delay::to_i32<Bounded>(old * s.feedback))));
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

// Whether every product and sum the frames convert stays within 32 bits for
// any line content: line * gain for each tap, old * feedback, and the output
// mix of the input with the tap value (a full s16 value, or the lone tap's
// product which has no knee).
bool multitap_bounded(const Tap* taps, size_t tap_count, const MultitapSetup& s) {
    double gains = 0.0;
    for (size_t j = 0; j < tap_count; ++j) gains += std::fabs(taps[j].gain);  // a NaN gain stays NaN
    const double tap_bound = 32768.0 * gains;
    const double tap_value_bound = tap_count == 1 ? tap_bound : 32768.0;
    return delay::fits_i32(tap_bound) && delay::fits_i32(32768.0 * std::fabs(s.feedback)) &&
           delay::fits_i32(32768.0 * std::fabs(s.dry) + std::fabs(s.wet) * tap_value_bound);
}

// Unpacks the caller's delays (u32) and gains (f64) into taps.
void multitap_taps(const uint8_t* delays, const uint8_t* gains, size_t tap_count, uint32_t line_len, Tap* taps) {
    for (size_t j = 0; j < tap_count; ++j)
        taps[j] = {line_len - load<uint32_t>(delays + 4 * j), load<double>(gains + 8 * j)};
}

// A write position at or beyond the line is taken modulo its length.
uint32_t multitap_run(const uint8_t* in, uint8_t* out, size_t samples, uint8_t* ring, unsigned channels,
                      const Tap* taps, size_t tap_count, MultitapSetup s, uint32_t write_pos) {
    // Beyond 8192 taps the sum's knee factor is 0 anyway.
    s.sum_knee = knee_factor(static_cast<uint32_t>(tap_count < 65536 ? tap_count : 65536));
    write_pos = delay::reduce(write_pos, s.line_len);
    const bool bounded = multitap_bounded(taps, tap_count, s);
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
    PyMemArray<Tap> heap_taps;
    Tap* taps = stack_taps;
    if (tap_count > kStackTaps) {
        if (!heap_taps.allocate_zeroed(tap_count)) return PyErr_NoMemory();
        taps = heap_taps.get();
    }

    char* out = nullptr;
    PyObject* result = new_bytes(input.size(), &out);
    if (!result) return nullptr;

    multitap_taps(tap_delays.bytes(), tap_gains.bytes(), tap_count, line_len, taps);
    DryWet<double> gains = dry_wet(mix);
    MultitapSetup setup{line_len, feedback, gains.dry, gains.wet, 0};
    uint32_t new_pos = multitap_run(input.bytes(), reinterpret_cast<uint8_t*>(out), input.size() / 2,
                                    ring.writable_bytes(), channel_count, taps, tap_count, setup, write_pos);
    return Py_BuildValue("(NI)", result, static_cast<unsigned int>(new_pos));
}

}  // namespace

PyMethodDef multitap_s16_method() { return {"multitap_s16", multitap_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
