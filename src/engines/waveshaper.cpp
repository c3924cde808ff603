// WaveshaperState: oversampled curve distortion with a caller-loaded curve.
#include "engines/waveshaper_kernel.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

using WaveshaperObject = EngineObject<WaveshaperKernel>;

// Checks come first and change nothing.  Re-initialising keeps the loaded
// curve's memory (until the next load or destruction) but no curve is active.
int waveshaper_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"sample_rate", "oversample", "channel_count", nullptr};
    unsigned int sample_rate = 48000;
    unsigned int oversample = 4;
    unsigned int channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|III:WaveshaperState", const_cast<char**>(keywords), &sample_rate,
                                     &oversample, &channel_count))
        return -1;
    if (sample_rate == 0) {
        PyErr_SetString(PyExc_ValueError, kSampleRateMessage);
        return -1;
    }
    if (!WaveshaperKernel::valid_oversample(oversample)) {
        PyErr_Format(PyExc_ValueError, "oversample must be a power of two, 1 to %d",
                     static_cast<int>(WaveshaperKernel::kMaxOversample));
        return -1;
    }
    if (!check_rate_and_channels(sample_rate, channel_count)) return -1;
    WaveshaperKernel& state = reinterpret_cast<WaveshaperObject*>(self)->state;
    WaveshaperKernel fresh = WaveshaperKernel::start(sample_rate, oversample, channel_count);
    fresh.curve_copy = state.curve_copy;
    state = fresh;
    return 0;
}

PyObject* waveshaper_load_curve(PyObject* self, PyObject* points) {
    BufferView input;
    if (!input.acquire(points, PyBUF_SIMPLE)) return nullptr;
    WaveshaperObject* object = live_engine<WaveshaperObject>(self);
    if (!object) return nullptr;
    size_t count = input.size() / 2;
    if (input.size() % 2 != 0 || count < 2 || count > UINT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "curve must be at least two whole int16 points");
        return nullptr;
    }
    int16_t* copy = engine_alloc<int16_t>(WaveshaperKernel::curve_block_cells(count));
    if (!copy) return PyErr_NoMemory();
    std::memcpy(copy, input.data(), input.size());
    object->state.install_curve(copy, static_cast<uint32_t>(count));
    Py_RETURN_NONE;
}

PyMethodDef waveshaper_methods[] = {
    {"load_curve", waveshaper_load_curve, METH_O, nullptr},
    {"configure", engine_configure<WaveshaperObject>, METH_VARARGS, nullptr},
    {"finish", engine_finish<WaveshaperObject>, METH_NOARGS, nullptr},
    {"reset", engine_reset<WaveshaperObject>, METH_NOARGS, nullptr},
    {"process", engine_process<WaveshaperObject>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot waveshaper_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(waveshaper_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc<WaveshaperObject>)},
    {Py_tp_methods, waveshaper_methods},
    {0, nullptr},
};

PyType_Spec waveshaper_spec_record = {
    "_divavova.WaveshaperState", sizeof(WaveshaperObject), 0, Py_TPFLAGS_HEAPTYPE, waveshaper_slots,
};

}  // namespace

PyType_Spec* waveshaper_spec() { return &waveshaper_spec_record; }

}  // namespace divavova
