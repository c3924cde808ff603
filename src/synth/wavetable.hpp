// Binding side of the wavetable: the view of a caller's table and its checks,
// shared by the oscillators and ring modulation.
#pragma once

#include "module/python.hpp"
#include "synth/voice_kernel.hpp"

namespace divavova {

// Takes a C-contiguous view of `waveform` with its format into `view` and
// checks it as a table of native s16 samples holding the loop.  A loop end
// past 65535 cannot be reached by a 16.16 position and is refused like any
// other bad loop.  False with the exception set (the interpreter's own when
// the object exports no such buffer, else ValueError with `message`).
inline bool acquire_wavetable(BufferView& view, PyObject* waveform, uint32_t loop_start, uint32_t loop_end,
                              const char* message) {
    if (!view.acquire(waveform, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    const size_t samples = view.size() / 2;
    if (!view.format_is("h") || view.size() % 2 != 0 || loop_start >= loop_end || loop_end > samples ||
        loop_end > kMaxLoopEndSamples) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    return true;
}

// (samples, position) as the voice functions return them: the tuple that
// Py_BuildValue("(NI)", samples, position) builds, without reading a format
// on every call.  Takes over the reference to samples, also on failure.
inline PyObject* samples_and_position(PyObject* samples, uint32_t position) {
    PyObject* number = PyLong_FromUnsignedLong(position);
    PyObject* pair = number ? PyTuple_New(2) : nullptr;
    if (!pair) {
        Py_XDECREF(number);
        Py_DECREF(samples);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, samples);
    PyTuple_SET_ITEM(pair, 1, number);
    return pair;
}

}  // namespace divavova
