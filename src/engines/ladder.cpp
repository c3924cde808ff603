// LadderState: the ladder filter engine object.
#include "engines/ladder_kernel.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

using LadderObject = EngineObject<LadderKernel>;

int ladder_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"sample_rate", "channel_count", nullptr};
    unsigned int sample_rate = 48000;
    unsigned int channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|II:LadderState", const_cast<char**>(keywords), &sample_rate,
                                     &channel_count))
        return -1;
    if (!check_rate_and_channels(sample_rate, channel_count)) return -1;
    reinterpret_cast<LadderObject*>(self)->state = LadderKernel::make(sample_rate, channel_count);
    return 0;
}

PyMethodDef ladder_methods[] = {
    {"configure", engine_configure<LadderObject>, METH_VARARGS, nullptr},
    {"finish", engine_finish<LadderObject>, METH_NOARGS, nullptr},
    {"reset", engine_reset<LadderObject>, METH_NOARGS, nullptr},
    {"process", engine_process<LadderObject>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ladder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(ladder_init)},
    {Py_tp_methods, ladder_methods},
    {0, nullptr},
};

PyType_Spec ladder_type_spec = {
    "_divavova.LadderState",
    static_cast<int>(sizeof(LadderObject)),
    0,
    Py_TPFLAGS_HEAPTYPE,
    ladder_slots,
};

}  // namespace

PyType_Spec* ladder_spec() { return &ladder_type_spec; }

}  // namespace divavova
