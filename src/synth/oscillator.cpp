// Wavetable oscillators: one voice rendered from a caller's looped s16 table,
// raw or scaled into mono / interleaved stereo levels.  The position travels
// in and out of every call.
#include "module/registry.hpp"
#include "synth/voice_kernel.hpp"
#include "synth/wavetable.hpp"

namespace divavova {
namespace {

constexpr uint32_t kMaxBlockFrames = 65535;

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
    std::memset(out, 0, static_cast<size_t>(count) * sizeof(int32_t));
    uint32_t position = phase;
    read_loop(out, table.bytes(), WavetableLoop::of(loop_start, loop_end), step, &position, count);
    table.release();
    return Py_BuildValue("(NI)", samples, static_cast<unsigned int>(position));
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

    PyMemArray<int16_t> raw;  // table samples
    if (!raw.allocate_zeroed(count)) return PyErr_NoMemory();
    const size_t out_count = static_cast<size_t>(count) * channel_count;
    int32_t* out = nullptr;
    PyObject* samples = new_bytes_of<int32_t>(out_count, &out);
    if (!samples) return nullptr;

    uint32_t position = phase;
    if (read_loop(raw.get(), table.bytes(), WavetableLoop::of(loop_start, loop_end), step, &position, count)) {
        // Current and target levels agree, so they apply from the first sample.
        LevelPair levels{left_level, right_level};
        level_stage(out, raw.get(), &levels, levels, count, channel_count);
    } else {
        std::memset(out, 0, out_count * sizeof(int32_t));
    }
    table.release();
    return Py_BuildValue("(NI)", samples, static_cast<unsigned int>(position));
}

}  // namespace

PyMethodDef oscillator_i32_method() { return {"oscillator_i32", oscillator_i32, METH_VARARGS, nullptr}; }
PyMethodDef oscillator_raw_i32_method() {
    return {"oscillator_raw_i32", oscillator_raw_i32, METH_VARARGS, nullptr};
}

}  // namespace divavova
