// The protocol every processing engine shares: the object record, the guard
// against never-initialised objects, configure / finish / reset / process and
// deallocation, as templates over the engine's object type.
//
// An engine object is  struct XObject { PyObject_HEAD XKernel state; };
// (use EngineObject<XKernel>).  PyType_GenericNew hands it out all zeros, so
// the kernel record must be a trivially copyable aggregate for which all-zero
// bytes mean "never initialised" (channel count 0, no memory).  The kernel
// provides what the templates below use:
//
//   bool initialised() const;                 // false for the all-zero record
//   static constexpr const char* kUnknownOption = "unknown ... option";
//   Configured configure(uint32_t option, double value);
//   void finish();  void reset();
//   static constexpr const char* kWholeFrames = "input must be ...";
//   size_t frame_bytes() const;               // bytes per interleaved frame
//   void process(const int16_t* in, int16_t* out, size_t frames);
//   void free_memory();                       // only engines that own memory
//
// Python hooks run before state is read.  Acquiring a buffer can run Python
// code (an exporter's __buffer__), and so can converting an argument
// (__index__, __float__, __bool__); that code may re-initialise, reset or call
// this very object, or let another thread do so.  Every method therefore
// acquires its buffers and converts its arguments first, and only then looks
// at the engine (live_engine, sizes, channel counts, pointers).
#pragma once

#include <cstdint>
#include <cstring>

#include "module/configured.hpp"
#include "module/python.hpp"

namespace divavova {

inline constexpr const char* kSampleRateMessage = "sample_rate must be at least 1";
inline constexpr const char* kChannelCountMessage = "channel_count must be 1 or 2";

// The shared constructor checks, sample rate first.  False with ValueError set.
inline bool check_rate_and_channels(uint32_t sample_rate, uint32_t channel_count) {
    if (sample_rate == 0) {
        PyErr_SetString(PyExc_ValueError, kSampleRateMessage);
        return false;
    }
    if (channel_count != 1 && channel_count != 2) {
        PyErr_SetString(PyExc_ValueError, kChannelCountMessage);
        return false;
    }
    return true;
}

template <class Kernel>
struct EngineObject {
    PyObject_HEAD
    Kernel state;
};

// The engine object behind self, or nullptr with RuntimeError set when it was
// never initialised (made by __new__ alone, or its first __init__ failed).
template <class Object>
Object* live_engine(PyObject* self) {
    Object* object = reinterpret_cast<Object*>(self);
    if (!object->state.initialised()) {
        const char* name = Py_TYPE(self)->tp_name;
        const char* dot = std::strrchr(name, '.');
        PyErr_Format(PyExc_RuntimeError, "%s is not initialised", dot ? dot + 1 : name);
        return nullptr;
    }
    return object;
}

// configure(option, value), parsed with "id:configure"; ids compare unsigned.
template <class Object>
PyObject* engine_configure(PyObject* self, PyObject* args) {
    int option = 0;
    double value = 0.0;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    Object* object = live_engine<Object>(self);
    if (!object) return nullptr;
    switch (object->state.configure(static_cast<uint32_t>(option), value)) {
        case Configured::ok:
            Py_RETURN_NONE;
        case Configured::unknown_option:
            PyErr_SetString(PyExc_ValueError, object->state.kUnknownOption);
            return nullptr;
        case Configured::no_memory:
            return PyErr_NoMemory();
    }
    return nullptr;
}

template <class Object>
PyObject* engine_finish(PyObject* self, PyObject*) {
    Object* object = live_engine<Object>(self);
    if (!object) return nullptr;
    object->state.finish();
    Py_RETURN_NONE;
}

template <class Object>
PyObject* engine_reset(PyObject* self, PyObject*) {
    Object* object = live_engine<Object>(self);
    if (!object) return nullptr;
    object->state.reset();
    Py_RETURN_NONE;
}

// The whole-frames check shared by every process: false with ValueError set.
inline bool check_whole_frames(size_t byte_length, size_t frame_bytes, const char* message) {
    if (frame_bytes == 0 || byte_length % frame_bytes != 0) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    return true;
}

// Runs body(const int16_t* in, int16_t* out, size_t frames) over the block of
// interleaved s16 frames in `input` (already acquired), writing straight into
// a new bytes object of the same length.
template <class Body>
PyObject* process_s16_view(const BufferView& input, size_t frame_bytes, const char* whole_frames_message,
                           Body&& body) {
    if (!check_whole_frames(input.size(), frame_bytes, whole_frames_message)) return nullptr;
    AlignedInput<int16_t> samples(input);
    if (!samples.ok()) return nullptr;
    int16_t* out = nullptr;
    PyObject* result = new_bytes_of<int16_t>(input.size() / 2, &out);
    if (!result) return nullptr;
    body(samples.get(), out, input.size() / frame_bytes);
    return result;
}

// process(block) for engines whose kernel has the standard process().  The
// block's exporter runs before the engine is looked at, so the frame size and
// memory read are those of the state that processes the block.
template <class Object>
PyObject* engine_process(PyObject* self, PyObject* block) {
    BufferView input;
    if (!input.acquire(block, PyBUF_SIMPLE)) return nullptr;
    Object* object = live_engine<Object>(self);
    if (!object) return nullptr;
    auto& state = object->state;
    return process_s16_view(input, state.frame_bytes(), state.kWholeFrames,
                            [&](const int16_t* in, int16_t* out, size_t frames) { state.process(in, out, frames); });
}

// Deallocation: frees the kernel's memory (when it owns any), the object, and
// the object's reference to its heap type.
template <class Object>
void engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Object* object = reinterpret_cast<Object*>(self);
    if constexpr (requires { object->state.free_memory(); }) object->state.free_memory();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace divavova
