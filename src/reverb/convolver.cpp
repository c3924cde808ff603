// ConvolverState: the Python object around the partitioned convolver.
#include "module/engine.hpp"
#include "module/registry.hpp"
#include "reverb/convolver_kernel.hpp"

namespace divavova {

namespace {

// The kernel with the messages of its Python face.
struct ConvolverEngine : ConvolverKernel {
    static constexpr const char* kUnknownOption = "unknown convolver option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;
};

using ConvolverObject = EngineObject<ConvolverEngine>;

int convolver_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"sample_rate", "partitions", "ir_channels", "channel_count", nullptr};
    unsigned int sample_rate = 48000;
    unsigned int partitions = 1;
    unsigned int ir_channels = 1;
    unsigned int channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|IIII:ConvolverState", const_cast<char**>(keywords),
                                     &sample_rate, &partitions, &ir_channels, &channel_count)) {
        return -1;
    }
    if (sample_rate == 0) {
        PyErr_SetString(PyExc_ValueError, kSampleRateMessage);
        return -1;
    }
    if (partitions < 1 || partitions > kConvolveMaxPartitions) {
        PyErr_SetString(PyExc_ValueError, "partitions out of range");
        return -1;
    }
    if (ir_channels != 1 && ir_channels != 2) {
        PyErr_SetString(PyExc_ValueError, "ir_channels must be 1 or 2");
        return -1;
    }
    if (channel_count != 1 && channel_count != 2) {
        PyErr_SetString(PyExc_ValueError, kChannelCountMessage);
        return -1;
    }
    // The new state is built aside; a failed allocation leaves the old one.
    ConvolverKernel fresh{};
    if (!ConvolverKernel::create(fresh, sample_rate, partitions, ir_channels, channel_count)) {
        PyErr_NoMemory();
        return -1;
    }
    ConvolverObject* object = reinterpret_cast<ConvolverObject*>(self);
    object->state.free_memory();
    static_cast<ConvolverKernel&>(object->state) = fresh;
    return 0;
}

PyObject* convolver_load(PyObject* self, PyObject* args) {
    BufferView impulse;
    unsigned int channels = 0;
    double gain = 0.0;
    if (!PyArg_ParseTuple(args, "y*Id:load", impulse.slot(), &channels, &gain)) return nullptr;
    impulse.adopt();
    ConvolverObject* object = live_engine<ConvolverObject>(self);
    if (!object) return nullptr;
    if (channels != 1 && channels != 2) return static_cast<PyObject*>(value_error("channels must be 1 or 2"));
    const size_t frame_bytes = 2u * channels;
    if (impulse.size() % frame_bytes != 0) {
        return static_cast<PyObject*>(value_error("impulse must be whole int16 frames"));
    }
    const size_t frames = impulse.size() / frame_bytes;
    auto& state = object->state;
    if (frames > static_cast<size_t>(kConvolveFrames) * state.partitions) {
        return static_cast<PyObject*>(value_error("impulse is longer than max_taps"));
    }
    state.load(impulse.bytes(), frames, channels, gain);
    Py_RETURN_NONE;
}

PyObject* convolver_synthesize(PyObject* self, PyObject* args) {
    double decay_s = 0.0;
    double damping_hz = 0.0;
    double predelay_ms = 0.0;
    double fade_in_ms = 0.0;
    unsigned int seed = 0;
    if (!PyArg_ParseTuple(args, "ddddI:synthesize", &decay_s, &damping_hz, &predelay_ms, &fade_in_ms, &seed)) {
        return nullptr;
    }
    ConvolverObject* object = live_engine<ConvolverObject>(self);
    if (!object) return nullptr;
    object->state.synthesize(decay_s, damping_hz, predelay_ms, fade_in_ms, seed);
    Py_RETURN_NONE;
}

// Tolerant: a never-initialised object has no impulse response, so 0.
PyObject* convolver_taps(PyObject* self, PyObject*) {
    const ConvolverObject* object = reinterpret_cast<const ConvolverObject*>(self);
    return PyLong_FromUnsignedLong(object->state.taps());
}

PyMethodDef convolver_methods[] = {
    {"configure", engine_configure<ConvolverObject>, METH_VARARGS, nullptr},
    {"load", convolver_load, METH_VARARGS, nullptr},
    {"synthesize", convolver_synthesize, METH_VARARGS, nullptr},
    {"reset", engine_reset<ConvolverObject>, METH_NOARGS, nullptr},
    {"taps", convolver_taps, METH_NOARGS, nullptr},
    {"process", engine_process<ConvolverObject>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot convolver_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(convolver_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc<ConvolverObject>)},
    {Py_tp_methods, convolver_methods},
    {0, nullptr},
};

PyType_Spec convolver_type_spec = {
    "_divavova.ConvolverState",
    sizeof(ConvolverObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    convolver_slots,
};

}  // namespace

PyType_Spec* convolver_spec() { return &convolver_type_spec; }

}  // namespace divavova
