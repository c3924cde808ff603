// ModalState: the Python face of the modal resonator bank.
//
// Unlike most engines, a re-initialisation frees the old tables before it
// allocates the new ones; when that allocation fails the bank is left
// without tables, and then passes its input through unchanged.
#include "module/engine.hpp"
#include "module/registry.hpp"
#include "reverb/modal_kernel.hpp"

namespace divavova {
namespace {

using ModalObject = EngineObject<ModalKernel>;

ModalKernel& kernel_of(PyObject* self) { return reinterpret_cast<ModalObject*>(self)->state; }

int modal_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"sample_rate", "channel_count", "modes", nullptr};
    unsigned int sample_rate = 48000;
    unsigned int channel_count = 2;
    unsigned int modes = 8;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|III:ModalState", const_cast<char**>(keywords), &sample_rate,
                                     &channel_count, &modes))
        return -1;
    if (modes < 1 || modes > kModalMaxModes) return value_error("modes out of range"), -1;
    if (channel_count != 1 && channel_count != 2) return value_error(kChannelCountMessage), -1;
    ModalKernel& state = kernel_of(self);
    state.free_memory();
    if (!state.build_tables(sample_rate, channel_count, modes)) return PyErr_NoMemory(), -1;
    if (!state.build_states()) return PyErr_NoMemory(), -1;
    return 0;
}

PyObject* modal_set_mode(PyObject* self, PyObject* args) {
    unsigned int index = 0;
    double frequency_hz = 0.0, decay_s = 0.0, gain = 0.0;
    if (!PyArg_ParseTuple(args, "Iddd:set_mode", &index, &frequency_hz, &decay_s, &gain)) return nullptr;
    ModalKernel& state = kernel_of(self);
    if (index >= state.mode_count) {
        PyErr_SetString(PyExc_IndexError, "mode index out of range");
        return nullptr;
    }
    state.set_mode(index, frequency_hz, decay_s, gain);
    Py_RETURN_NONE;
}

// finish and silent answer for any object: without tables there is nothing
// to design and nothing ringing.
PyObject* modal_finish(PyObject* self, PyObject*) {
    kernel_of(self).finish();
    Py_RETURN_NONE;
}

PyObject* modal_silent(PyObject* self, PyObject*) { return PyBool_FromLong(kernel_of(self).silent()); }

PyMethodDef modal_methods[] = {
    {"configure", engine_configure<ModalObject>, METH_VARARGS, nullptr},
    {"set_mode", modal_set_mode, METH_VARARGS, nullptr},
    {"finish", modal_finish, METH_NOARGS, nullptr},
    {"reset", engine_reset<ModalObject>, METH_NOARGS, nullptr},
    {"silent", modal_silent, METH_NOARGS, nullptr},
    {"process", engine_process<ModalObject>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot modal_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(modal_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc<ModalObject>)},
    {Py_tp_methods, modal_methods},
    {0, nullptr},
};

PyType_Spec modal_type_spec = {
    "_divavova.ModalState",
    static_cast<int>(sizeof(ModalObject)),
    0,
    Py_TPFLAGS_HEAPTYPE,
    modal_slots,
};

}  // namespace

PyType_Spec* modal_spec() { return &modal_type_spec; }

}  // namespace divavova
