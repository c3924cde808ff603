// Wavetable oscillators: one voice rendered from a caller's looped s16 table,
// raw or scaled into mono / interleaved stereo levels.  The position travels
// in and out of every call.
#include <algorithm>
#include <cstring>

#include "module/registry.hpp"
#include "synth/voice_kernel.hpp"
#include "synth/wavetable.hpp"

namespace divavova {
namespace {

constexpr uint32_t kMaxBlockFrames = 65535;
constexpr size_t kScratchFrames = 1024;  // table samples rendered per pass

PyObject* oscillator_raw_i32(PyObject*, PyObject* args) {
    PyObject* waveform = nullptr;
    unsigned int phase = 0, step = 0, loop_start = 0, loop_end = 0, count = 0;
    if (!PyArg_ParseTuple(args, "OIIIII:oscillator_raw_i32", &waveform, &phase, &step, &loop_start, &loop_end,
                          &count))
        return nullptr;
    if (count > kMaxBlockFrames) {
        value_error("invalid oscillator duration");
        return nullptr;
    }
    BufferView table;
    if (!acquire_wavetable(table, waveform, loop_start, loop_end, "invalid oscillator waveform")) return nullptr;

    int32_t* out = nullptr;
    PyObject* samples = new_bytes_of<int32_t>(count, &out);
    if (!samples) return nullptr;
    // The reader writes every sample, or none when the step is too large.
    uint32_t position = phase;
    if (!read_loop(out, table.bytes(), WavetableLoop::of(loop_start, loop_end), step, &position, count))
        std::memset(out, 0, static_cast<size_t>(count) * sizeof(int32_t));
    table.release();
    return samples_and_position(samples, position);
}

PyObject* oscillator_i32(PyObject*, PyObject* args) {
    PyObject* waveform = nullptr;
    unsigned int phase = 0, step = 0, loop_start = 0, loop_end = 0, channel_count = 0, count = 0;
    int left_level = 0, right_level = 0;
    if (!PyArg_ParseTuple(args, "OIIIIiiII:oscillator_i32", &waveform, &phase, &step, &loop_start, &loop_end,
                          &left_level, &right_level, &channel_count, &count))
        return nullptr;
    if ((channel_count != 1 && channel_count != 2) || count > kMaxBlockFrames || !is_s16_level(left_level) ||
        !is_s16_level(right_level)) {
        value_error("invalid oscillator parameters");
        return nullptr;
    }
    BufferView table;
    if (!acquire_wavetable(table, waveform, loop_start, loop_end,
                           "waveform must be a native signed 16-bit buffer with a valid loop"))
        return nullptr;

    const size_t out_count = static_cast<size_t>(count) * channel_count;
    int32_t* out = nullptr;
    PyObject* samples = new_bytes_of<int32_t>(out_count, &out);
    if (!samples) return nullptr;

    // The table samples pass through a small scratch block in chunks: after
    // the first read the position lies inside the loop, so each chunk goes on
    // where the last one stopped, and the levels are the same throughout.
    // The first read runs even for a count of 0, which folds the position.
    const WavetableLoop loop = WavetableLoop::of(loop_start, loop_end);
    const LevelPair levels{left_level, right_level};
    int16_t raw[kScratchFrames];
    uint32_t position = phase;
    size_t done = 0;
    do {
        const size_t n = std::min<size_t>(kScratchFrames, count - done);
        if (!read_loop(raw, table.bytes(), loop, step, &position, n)) {
            std::memset(out, 0, out_count * sizeof(int32_t));  // step too large: silence, position kept
            break;
        }
        // Current and target levels agree, so they apply from the first sample.
        LevelPair current = levels;
        level_stage(out + done * channel_count, raw, &current, levels, n, channel_count);
        done += n;
    } while (done < count);
    table.release();
    return samples_and_position(samples, position);
}

}  // namespace

PyMethodDef oscillator_i32_method() { return {"oscillator_i32", oscillator_i32, METH_VARARGS, nullptr}; }
PyMethodDef oscillator_raw_i32_method() {
    return {"oscillator_raw_i32", oscillator_raw_i32, METH_VARARGS, nullptr};
}

}  // namespace divavova
