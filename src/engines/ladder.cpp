// LadderState: the ladder filter engine object.
#include "engines/ladder_kernel.hpp"
#include "engines/rate_channels_init.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

using LadderObject = EngineObject<LadderKernel>;

constexpr char kInitFormat[] = "|II:LadderState";

PyMethodDef ladder_methods[] = {
    {"configure", engine_configure<LadderObject>, METH_VARARGS, nullptr},
    {"finish", engine_finish<LadderObject>, METH_NOARGS, nullptr},
    {"reset", engine_reset<LadderObject>, METH_NOARGS, nullptr},
    {"process", engine_process<LadderObject>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ladder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(rate_channels_init<LadderObject, kInitFormat>)},
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
