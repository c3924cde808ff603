// FeedbackDelayState: the feedback delay engine object.  Besides the kernel
// it holds the buffer view of the caller's wow shape, which pins the shape's
// memory while the kernel reads it.
#include "engines/feedback_delay_kernel.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

struct FeedbackDelayObject {
    PyObject_HEAD
    FeedbackDelayKernel state;
    Py_buffer wow_view;
    int wow_view_held;
};

constexpr const char* kWowShapeMessage = "wow_shape must be 2 to 4096 int16 samples, a power of two";

// Takes the held wow-shape view out of the object (the caller releases it
// once the object no longer refers to it): releasing can run Python code.
bool take_wow_view(FeedbackDelayObject* object, Py_buffer* view) {
    if (!object->wow_view_held) return false;
    *view = object->wow_view;
    object->wow_view = Py_buffer{};
    object->wow_view_held = 0;
    return true;
}

void release_wow_view(FeedbackDelayObject* object) {
    Py_buffer old;
    if (take_wow_view(object, &old)) PyBuffer_Release(&old);
}

int feedback_delay_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"sample_rate", "max_delay_ms", "channel_count", nullptr};
    unsigned int sample_rate = 48000;
    double max_delay_ms = 250.0;
    unsigned int channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|IdI:FeedbackDelayState", const_cast<char**>(keywords),
                                     &sample_rate, &max_delay_ms, &channel_count))
        return -1;
    if (sample_rate == 0) {
        PyErr_SetString(PyExc_ValueError, kSampleRateMessage);
        return -1;
    }
    if (!(max_delay_ms > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "max_delay_ms must be positive");
        return -1;
    }
    if (!check_rate_and_channels(sample_rate, channel_count)) return -1;
    FeedbackDelayKernel fresh = FeedbackDelayKernel::make(sample_rate, max_delay_ms, channel_count);
    if (!fresh.ring) {
        PyErr_NoMemory();
        return -1;
    }
    FeedbackDelayObject* object = reinterpret_cast<FeedbackDelayObject*>(self);
    FeedbackDelayKernel old = object->state;
    object->state = fresh;
    old.free_memory();
    release_wow_view(object);
    return 0;
}

void feedback_delay_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    FeedbackDelayObject* object = reinterpret_cast<FeedbackDelayObject*>(self);
    object->state.set_wow_shape(nullptr, 0);
    release_wow_view(object);
    object->state.free_memory();
    type->tp_free(self);
    Py_DECREF(type);
}

// The shape's buffer is taken before the engine is looked at (its exporter
// can run Python code); a view that is not installed is released again.
PyObject* feedback_delay_set_wow_shape(PyObject* self, PyObject* shape) {
    if (shape == Py_None) {
        FeedbackDelayObject* object = live_engine<FeedbackDelayObject>(self);
        if (!object) return nullptr;
        object->state.set_wow_shape(nullptr, 0);
        release_wow_view(object);
        Py_RETURN_NONE;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(shape, &view, PyBUF_SIMPLE) != 0) return nullptr;
    FeedbackDelayObject* object = live_engine<FeedbackDelayObject>(self);
    if (!object) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    const size_t bytes = static_cast<size_t>(view.len);
    const size_t count = bytes / 2;
    if (bytes % 2 != 0 || count < 2 || count > 4096 || (count & (count - 1)) != 0) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, kWowShapeMessage);
        return nullptr;
    }
    int32_t bits = 0;
    while ((size_t{1} << bits) < count) ++bits;
    Py_buffer old;
    const bool had_old = take_wow_view(object, &old);
    object->wow_view = view;
    object->wow_view_held = 1;
    object->state.set_wow_shape(static_cast<const unsigned char*>(object->wow_view.buf), bits);
    if (had_old) PyBuffer_Release(&old);
    Py_RETURN_NONE;
}

PyMethodDef feedback_delay_methods[] = {
    {"configure", engine_configure<FeedbackDelayObject>, METH_VARARGS, nullptr},
    {"set_wow_shape", feedback_delay_set_wow_shape, METH_O, nullptr},
    {"finish", engine_finish<FeedbackDelayObject>, METH_NOARGS, nullptr},
    {"reset", engine_reset<FeedbackDelayObject>, METH_NOARGS, nullptr},
    {"process", engine_process<FeedbackDelayObject>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot feedback_delay_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(feedback_delay_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(feedback_delay_dealloc)},
    {Py_tp_methods, feedback_delay_methods},
    {0, nullptr},
};

PyType_Spec feedback_delay_type_spec = {
    "_divavova.FeedbackDelayState",
    static_cast<int>(sizeof(FeedbackDelayObject)),
    0,
    Py_TPFLAGS_HEAPTYPE,
    feedback_delay_slots,
};

}  // namespace

PyType_Spec* feedback_delay_spec() { return &feedback_delay_type_spec; }

}  // namespace divavova
