// Voice post-processing: ring modulation by a second looped table, click-free
// loudness and panning, the voice-count mix-down to s16, and pitch bend.
#include <climits>

#include "module/registry.hpp"
#include "synth/voice_kernel.hpp"
#include "synth/wavetable.hpp"

namespace divavova {
namespace {

PyObject* ring_multiply_i32(PyObject*, PyObject* args) {
    BufferView voice;
    PyObject* waveform = nullptr;
    unsigned int phase = 0, step = 0, loop_start = 0, loop_end = 0;
    if (!PyArg_ParseTuple(args, "y*OIIII:ring_multiply_i32", voice.slot(), &waveform, &phase, &step, &loop_start,
                          &loop_end))
        return nullptr;
    voice.adopt();
    if (voice.size() % 4 != 0) {
        value_error("invalid ring voice buffer");
        return nullptr;
    }
    BufferView table;
    if (!acquire_wavetable(table, waveform, loop_start, loop_end, "invalid ring waveform")) return nullptr;

    int32_t* out = nullptr;
    const size_t n = voice.size() / 4;
    PyObject* samples = new_bytes_of<int32_t>(n, &out);
    if (!samples) return nullptr;
    const uint32_t position =
        ring_multiply(out, voice.bytes(), n, table.bytes(), WavetableLoop::of(loop_start, loop_end), step, phase);
    voice.release();
    table.release();
    return samples_and_position(samples, position);
}

PyObject* apply_loudness_i32(PyObject*, PyObject* args) {
    BufferView voice;
    int left_level = 0, right_level = 0;
    unsigned int channel_count = 0;
    int previous_left = INT_MIN, previous_right = INT_MIN;  // omitted: no change
    if (!PyArg_ParseTuple(args, "y*iiI|ii:apply_loudness_i32", voice.slot(), &left_level, &right_level,
                          &channel_count, &previous_left, &previous_right))
        return nullptr;
    voice.adopt();
    if (previous_left == INT_MIN) previous_left = left_level;
    if (previous_right == INT_MIN) previous_right = right_level;
    if (voice.size() % 4 != 0 || (channel_count != 1 && channel_count != 2) || !is_s16_level(left_level) ||
        !is_s16_level(right_level) || !is_s16_level(previous_left) || !is_s16_level(previous_right)) {
        value_error("invalid loudness parameters");
        return nullptr;
    }

    const size_t n = voice.size() / 4;
    AlignedInput<int32_t> in(voice);
    if (!in.ok()) return nullptr;
    int32_t* out = nullptr;
    PyObject* samples = new_bytes_of<int32_t>(n * channel_count, &out);
    if (!samples) return nullptr;
    LevelPair current{previous_left, previous_right};
    level_stage(out, in.get(), &current, LevelPair{left_level, right_level}, n, channel_count);
    return samples;
}

PyObject* mixdown_i32(PyObject*, PyObject* args) {
    BufferView input;
    unsigned int voices = 64;
    if (!PyArg_ParseTuple(args, "y*|I:mixdown_i32", input.slot(), &voices)) return nullptr;
    input.adopt();
    if (input.size() % 4 != 0 || voices == 0) {
        value_error("input must contain native signed 32-bit samples");
        return nullptr;
    }

    const size_t n = input.size() / 4;
    AlignedInput<int32_t> in(input);
    if (!in.ok()) return nullptr;
    int16_t* out = nullptr;
    PyObject* samples = new_bytes_of<int16_t>(n, &out);
    if (!samples) return nullptr;
    mixdown(out, in.get(), n, voices);
    return samples;
}

PyObject* pitch_bend(PyObject*, PyObject* args) {
    unsigned int value = 0;
    int bend = 0;
    if (!PyArg_ParseTuple(args, "Ii:pitch_bend", &value, &bend)) return nullptr;
    return PyLong_FromUnsignedLong(divavova::pitch_bend(value, bend));
}

}  // namespace

PyMethodDef ring_multiply_i32_method() { return {"ring_multiply_i32", ring_multiply_i32, METH_VARARGS, nullptr}; }
PyMethodDef apply_loudness_i32_method() {
    return {"apply_loudness_i32", apply_loudness_i32, METH_VARARGS, nullptr};
}
PyMethodDef mixdown_i32_method() { return {"mixdown_i32", mixdown_i32, METH_VARARGS, nullptr}; }
PyMethodDef pitch_bend_method() { return {"pitch_bend", pitch_bend, METH_VARARGS, nullptr}; }

}  // namespace divavova
