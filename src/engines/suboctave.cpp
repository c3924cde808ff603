// SubOctaveState: square-wave modulation at one or two octaves below the input.
#include "engines/suboctave_kernel.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

using SubOctaveObject = EngineObject<SubOctaveKernel>;

int suboctave_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"sample_rate", "channel_count", nullptr};
    unsigned int sample_rate = 48000;
    unsigned int channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|II:SubOctaveState", const_cast<char**>(keywords), &sample_rate,
                                     &channel_count))
        return -1;
    if (!check_rate_and_channels(sample_rate, channel_count)) return -1;
    static_cast<SubOctaveKernel&>(reinterpret_cast<SubOctaveObject*>(self)->state) =
        SubOctaveKernel::start(sample_rate, channel_count);
    return 0;
}

PyMethodDef suboctave_methods[] = {
    {"configure", engine_configure<SubOctaveObject>, METH_VARARGS, nullptr},
    {"finish", engine_finish<SubOctaveObject>, METH_NOARGS, nullptr},
    {"reset", engine_reset<SubOctaveObject>, METH_NOARGS, nullptr},
    {"process", engine_process<SubOctaveObject>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot suboctave_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(suboctave_init)},
    {Py_tp_methods, suboctave_methods},
    {0, nullptr},
};

PyType_Spec suboctave_spec_record = {
    "_divavova.SubOctaveState", sizeof(SubOctaveObject), 0, Py_TPFLAGS_HEAPTYPE, suboctave_slots,
};

}  // namespace

PyType_Spec* suboctave_spec() { return &suboctave_spec_record; }

}  // namespace divavova
