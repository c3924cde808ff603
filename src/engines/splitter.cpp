// SplitterRing: fans one s16 stream out to 1..4 readers through an inline ring.
#include "engines/splitter_kernel.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

using SplitterObject = EngineObject<SplitterKernel>;

constexpr const char* kTapIndexMessage = "tap index out of range";

// Unlike the other engines, a bad channel count is found only after the taps
// are stored and the ring cleared: those changes stay, with two channels.
int splitter_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"taps", "channel_count", nullptr};
    int taps = 2;
    int channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|ii:SplitterRing", const_cast<char**>(keywords), &taps,
                                     &channel_count))
        return -1;
    if (taps < 1 || taps > static_cast<int>(SplitterKernel::kMaxTaps)) {
        PyErr_SetString(PyExc_ValueError, "taps must be 1..4");
        return -1;
    }
    auto& state = reinterpret_cast<SplitterObject*>(self)->state;
    state.clear(static_cast<uint32_t>(taps));
    if (channel_count != 1 && channel_count != 2) {
        PyErr_SetString(PyExc_ValueError, kChannelCountMessage);
        return -1;
    }
    state.channel_count = static_cast<uint32_t>(channel_count);
    return 0;
}

PyObject* splitter_write(PyObject* self, PyObject* block) {
    BufferView input;
    if (!input.acquire(block, PyBUF_SIMPLE)) return nullptr;
    SplitterObject* object = live_engine<SplitterObject>(self);
    if (!object) return nullptr;
    auto& state = object->state;
    size_t frame_bytes = 2 * static_cast<size_t>(state.channel_count);
    if (!check_whole_frames(input.size(), frame_bytes, "input must be whole frames for the configured channel count"))
        return nullptr;
    uint32_t stored = state.write(input.bytes(), input.size() / frame_bytes);
    return PyLong_FromUnsignedLong(stored);
}

// The tap index behind `index`; false with the conversion's error or the
// range error set.  A never-initialised ring has no taps, so every index is
// out of range there.
bool tap_index(const SplitterKernel& state, PyObject* index, uint32_t* tap) {
    long value = PyLong_AsLong(index);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<unsigned long>(value) >= state.taps) {
        PyErr_SetString(PyExc_ValueError, kTapIndexMessage);
        return false;
    }
    *tap = static_cast<uint32_t>(value);
    return true;
}

PyObject* splitter_take(PyObject* self, PyObject* index) {
    auto& state = reinterpret_cast<SplitterObject*>(self)->state;
    uint32_t tap = 0;
    if (!tap_index(state, index, &tap)) return nullptr;
    uint32_t frames = state.next_chunk(tap);
    char* out = nullptr;
    PyObject* result = new_bytes(2 * static_cast<size_t>(state.channel_count) * frames, &out);
    if (!result) return nullptr;
    state.take(tap, frames, reinterpret_cast<uint8_t*>(out));
    return result;
}

PyObject* splitter_starved(PyObject* self, PyObject* index) {
    auto& state = reinterpret_cast<SplitterObject*>(self)->state;
    uint32_t tap = 0;
    if (!tap_index(state, index, &tap)) return nullptr;
    return PyBool_FromLong(state.starved(tap));
}

PyMethodDef splitter_methods[] = {
    {"write", splitter_write, METH_O, nullptr},
    {"take", splitter_take, METH_O, nullptr},
    {"starved", splitter_starved, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot splitter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(splitter_init)},
    {Py_tp_methods, splitter_methods},
    {0, nullptr},
};

PyType_Spec splitter_spec_record = {
    "_divavova.SplitterRing", sizeof(SplitterObject), 0, Py_TPFLAGS_HEAPTYPE, splitter_slots,
};

}  // namespace

PyType_Spec* splitter_ring_spec() { return &splitter_spec_record; }

}  // namespace divavova
