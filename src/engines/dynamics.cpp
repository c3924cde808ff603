// DynamicsState: compressor, limiter, expander, gate and transient shaper
// with side-chain filters, key input, look-ahead and gain smoothing.

// The kernel's helpers that take or return a vector of lanes (the shared
// clamp among them) are inlined into the AVX-512 build of the loop they
// serve, so no vector crosses a call and GCC's note on the vector calling
// convention does not apply.  GCC reports it where the instantiations are
// emitted, so it is off for this file, before any header.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "engines/dynamics_kernel.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

using DynamicsObject = EngineObject<DynamicsKernel>;

int dynamics_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"mode", "sample_rate", "channel_count", nullptr};
    int mode = 0;
    unsigned int sample_rate = 48000;
    unsigned int channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|iII:DynamicsState", const_cast<char**>(keywords), &mode,
                                     &sample_rate, &channel_count))
        return -1;
    if (!check_rate_and_channels(sample_rate, channel_count)) return -1;
    DynamicsKernel& state = reinterpret_cast<DynamicsObject*>(self)->state;
    state.free_memory();
    static_cast<DynamicsKernel&>(state) = DynamicsKernel::initial(mode, sample_rate, channel_count);
    return 0;
}

PyObject* dynamics_set_sample_rate(PyObject* self, PyObject* arg) {
    // Taken modulo 2^32, as the "I" converter does (its __index__ runs first).
    const unsigned long rate = PyLong_AsUnsignedLongMask(arg);
    if (rate == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    DynamicsObject* object = live_engine<DynamicsObject>(self);
    if (!object) return nullptr;
    const uint32_t sample_rate = static_cast<uint32_t>(rate);
    if (sample_rate == 0) {
        PyErr_SetString(PyExc_ValueError, kSampleRateMessage);
        return nullptr;
    }
    object->state.sample_rate = sample_rate;
    Py_RETURN_NONE;
}

// The engine behind self, checked against a block of `bytes` bytes: nullptr
// with the exception set when it is not initialised or the block is not
// whole frames.
DynamicsObject* engine_for_block(PyObject* self, size_t bytes) {
    DynamicsObject* object = live_engine<DynamicsObject>(self);
    if (!object || !check_whole_frames(bytes, object->state.frame_bytes(), DynamicsKernel::kWholeFrames))
        return nullptr;
    return object;
}

// process(input[, key]): the key, when given and not None, is read with the
// input's frame layout and must be at least as long.  The input is checked
// before the key is taken; taking the key can run Python code, so the check
// is made again on the state as it is after that.  Nothing changes on error.
PyObject* dynamics_process(PyObject* self, PyObject* args) {
    PyObject* input_object = nullptr;
    PyObject* key_object = nullptr;
    if (!PyArg_ParseTuple(args, "O|O:process", &input_object, &key_object)) return nullptr;
    BufferView input;
    if (!input.acquire(input_object, PyBUF_SIMPLE)) return nullptr;
    if (!engine_for_block(self, input.size())) return nullptr;
    BufferView key;
    const bool has_key = key_object != nullptr && key_object != Py_None;
    if (has_key) {
        if (!key.acquire(key_object, PyBUF_SIMPLE)) return nullptr;
        if (!engine_for_block(self, input.size())) return nullptr;
        if (key.size() < input.size()) {
            PyErr_SetString(PyExc_ValueError, DynamicsKernel::kShortKey);
            return nullptr;
        }
    }
    DynamicsKernel& state = reinterpret_cast<DynamicsObject*>(self)->state;
    AlignedInput<int16_t> samples(input);
    if (!samples.ok()) return nullptr;
    AlignedInput<int16_t> key_samples(key.data(), has_key ? input.size() : 0);
    if (!key_samples.ok()) return nullptr;
    int16_t* out = nullptr;
    PyObject* result = new_bytes_of<int16_t>(input.size() / 2, &out);
    if (!result) return nullptr;
    state.process(samples.get(), has_key ? key_samples.get() : nullptr, out, input.size() / state.frame_bytes());
    return result;
}

PyObject* dynamics_gain_reduction_db(PyObject* self, void*) {
    return PyFloat_FromDouble(reinterpret_cast<DynamicsObject*>(self)->state.path.gain_reduction_db);
}

PyObject* dynamics_sample_rate(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(reinterpret_cast<DynamicsObject*>(self)->state.sample_rate);
}

PyMethodDef dynamics_methods[] = {
    {"set_sample_rate", dynamics_set_sample_rate, METH_O, nullptr},
    {"configure", engine_configure<DynamicsObject>, METH_VARARGS, nullptr},
    {"finish", engine_finish<DynamicsObject>, METH_NOARGS, nullptr},
    {"reset", engine_reset<DynamicsObject>, METH_NOARGS, nullptr},
    {"process", dynamics_process, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef dynamics_getset[] = {
    {"gain_reduction_db", dynamics_gain_reduction_db, nullptr, nullptr, nullptr},
    {"sample_rate", dynamics_sample_rate, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot dynamics_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(dynamics_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc<DynamicsObject>)},
    {Py_tp_methods, dynamics_methods},
    {Py_tp_getset, dynamics_getset},
    {0, nullptr},
};

PyType_Spec dynamics_type_spec = {
    "_divavova.DynamicsState",
    sizeof(DynamicsObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    dynamics_slots,
};

}  // namespace

PyType_Spec* dynamics_spec() { return &dynamics_type_spec; }

}  // namespace divavova
