// SampleHoldState: rate reduction by holding every num/den-th frame.
#include "engines/sample_hold_kernel.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

using SampleHoldObject = EngineObject<SampleHoldKernel>;

constexpr const char* kRatioMessage = "num and den must be whole, den <= num (a hold cannot invent frames)";

bool check_ratio(uint32_t num, uint32_t den) {
    if (SampleHoldKernel::valid(num, den)) return true;
    PyErr_SetString(PyExc_ValueError, kRatioMessage);
    return false;
}

int sample_hold_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"num", "den", nullptr};
    unsigned int num = 1;
    unsigned int den = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|II:SampleHoldState", const_cast<char**>(keywords), &num, &den))
        return -1;
    if (!check_ratio(num, den)) return -1;
    reinterpret_cast<SampleHoldObject*>(self)->state = SampleHoldKernel::start(num, den);
    return 0;
}

PyObject* sample_hold_configure(PyObject* self, PyObject* args) {
    unsigned int num = 0;
    unsigned int den = 0;
    if (!PyArg_ParseTuple(args, "II:configure", &num, &den)) return nullptr;
    SampleHoldObject* object = live_engine<SampleHoldObject>(self);
    if (!object) return nullptr;
    if (!check_ratio(num, den)) return nullptr;
    object->state.set_ratio(num, den);
    Py_RETURN_NONE;
}

PyObject* sample_hold_ratio(PyObject* self, PyObject*) {
    SampleHoldObject* object = live_engine<SampleHoldObject>(self);
    if (!object) return nullptr;
    return Py_BuildValue("(kk)", static_cast<unsigned long>(object->state.num),
                         static_cast<unsigned long>(object->state.den));
}

PyObject* sample_hold_process(PyObject* self, PyObject* args) {
    BufferView input;
    unsigned int frame_bytes = 0;
    if (!PyArg_ParseTuple(args, "y*I:process", input.slot(), &frame_bytes)) return nullptr;
    input.adopt();
    SampleHoldObject* object = live_engine<SampleHoldObject>(self);
    if (!object) return nullptr;
    if (frame_bytes < 1 || frame_bytes > 4 || input.size() % frame_bytes != 0) {
        PyErr_SetString(PyExc_ValueError, "input must be whole frames of 1 to 4 bytes");
        return nullptr;
    }
    char* out = nullptr;
    PyObject* result = new_bytes(input.size(), &out);
    if (!result) return nullptr;
    object->state.process(input.bytes(), reinterpret_cast<uint8_t*>(out), input.size() / frame_bytes, frame_bytes);
    return result;
}

PyMethodDef sample_hold_methods[] = {
    {"configure", sample_hold_configure, METH_VARARGS, nullptr},
    {"ratio", sample_hold_ratio, METH_NOARGS, nullptr},
    {"reset", engine_reset<SampleHoldObject>, METH_NOARGS, nullptr},
    {"process", sample_hold_process, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sample_hold_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(sample_hold_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc<SampleHoldObject>)},
    {Py_tp_methods, sample_hold_methods},
    {0, nullptr},
};

PyType_Spec sample_hold_spec_record = {
    "_divavova.SampleHoldState", sizeof(SampleHoldObject), 0, Py_TPFLAGS_HEAPTYPE, sample_hold_slots,
};

}  // namespace

PyType_Spec* sample_hold_spec() { return &sample_hold_spec_record; }

}  // namespace divavova
