// EnvelopeState: the voice envelope object.  It owns no memory and holds no
// references, so it needs neither dealloc nor garbage-collection slots.
#include "module/registry.hpp"
#include "synth/envelope_kernel.hpp"

namespace divavova {
namespace {

struct EnvelopeObject {
    PyObject_HEAD
    EnvelopeKernel state;
};

EnvelopeKernel& envelope_of(PyObject* self) { return reinterpret_cast<EnvelopeObject*>(self)->state; }

// Parses the definition arguments with `format` and defines the envelope.
bool parse_definition(EnvelopeKernel& envelope, PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {"sample_rate",  "enabled",      "attack_time",   "decay_time",
                                     "release_time", "attack_level", "sustain_level", nullptr};
    unsigned int sample_rate = 0;
    int enabled = 0;
    double attack_time = 0.0, decay_time = 0.0, release_time = 0.0, attack_level = 1.0, sustain_level = 1.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &sample_rate, &enabled,
                                     &attack_time, &decay_time, &release_time, &attack_level, &sustain_level))
        return false;
    envelope.define(sample_rate, enabled != 0, attack_time, decay_time, release_time, attack_level,
                    sustain_level);
    return true;
}

int envelope_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    EnvelopeKernel& envelope = envelope_of(self);
    if (!parse_definition(envelope, args, kwargs, "Ip|ddddd:EnvelopeState")) return -1;
    envelope.start();
    return 0;
}

PyObject* envelope_step(PyObject* self, PyObject* count) {
    size_t samples = PyLong_AsSize_t(count);
    if (samples == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
    envelope_of(self).advance(samples);
    Py_RETURN_NONE;
}

PyObject* envelope_release(PyObject* self, PyObject*) {
    envelope_of(self).stage = EnvelopeKernel::release_stage;
    Py_RETURN_NONE;
}

PyObject* envelope_reattack(PyObject* self, PyObject*) {
    envelope_of(self).stage = EnvelopeKernel::attack;
    Py_RETURN_NONE;
}

PyObject* envelope_set_definition(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!parse_definition(envelope_of(self), args, kwargs, "Ip|ddddd:set_definition")) return nullptr;
    Py_RETURN_NONE;
}

PyObject* envelope_level(PyObject* self, void*) { return PyLong_FromLong(envelope_of(self).level); }
PyObject* envelope_stage(PyObject* self, void*) { return PyLong_FromLong(envelope_of(self).stage); }

PyMethodDef envelope_methods[] = {
    {"step", envelope_step, METH_O, nullptr},
    {"release", envelope_release, METH_NOARGS, nullptr},
    {"reattack", envelope_reattack, METH_NOARGS, nullptr},
    {"set_definition", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(envelope_set_definition)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef envelope_getset[] = {
    {"level", envelope_level, nullptr, nullptr, nullptr},
    {"state", envelope_stage, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot envelope_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(envelope_init)},
    {Py_tp_methods, envelope_methods},
    {Py_tp_getset, envelope_getset},
    {0, nullptr},
};

PyType_Spec envelope_type_spec = {
    "_divavova.EnvelopeState", sizeof(EnvelopeObject), 0, Py_TPFLAGS_HEAPTYPE, envelope_slots,
};

}  // namespace

PyType_Spec* envelope_spec() { return &envelope_type_spec; }

}  // namespace divavova
