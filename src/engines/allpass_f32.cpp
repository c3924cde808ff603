// AllPassF32State: the all-pass chain engine object.
#include "engines/allpass_f32_kernel.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

using AllPassF32Object = EngineObject<AllPassF32Kernel>;

int allpass_f32_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"sample_rate", "channel_count", "stages", nullptr};
    unsigned int sample_rate = 48000;
    unsigned int channel_count = 2;
    unsigned int stages = 4;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|III:AllPassF32State", const_cast<char**>(keywords), &sample_rate,
                                     &channel_count, &stages))
        return -1;
    if (!check_rate_and_channels(sample_rate, channel_count)) return -1;
    if (stages < 1 || stages > AllPassF32Kernel::kMaxStages) {
        PyErr_SetString(PyExc_ValueError, "stages must be between 1 and DIVAVOVA_FILTER_F32_MAX_STAGES");
        return -1;
    }
    AllPassF32Kernel fresh = AllPassF32Kernel::make(sample_rate, channel_count, stages);
    if (!fresh.section_states) {
        PyErr_NoMemory();
        return -1;
    }
    AllPassF32Kernel& state = reinterpret_cast<AllPassF32Object*>(self)->state;
    AllPassF32Kernel old = state;
    state = fresh;
    old.free_memory();
    return 0;
}

PyObject* allpass_f32_coefficient(PyObject* self, PyObject*) {
    AllPassF32Object* object = live_engine<AllPassF32Object>(self);
    if (!object) return nullptr;
    object->state.design();
    return PyFloat_FromDouble(static_cast<double>(object->state.coefficient));
}

PyMethodDef allpass_f32_methods[] = {
    {"configure", engine_configure<AllPassF32Object>, METH_VARARGS, nullptr},
    {"finish", engine_finish<AllPassF32Object>, METH_NOARGS, nullptr},
    {"reset", engine_reset<AllPassF32Object>, METH_NOARGS, nullptr},
    {"coefficient", allpass_f32_coefficient, METH_NOARGS, nullptr},
    {"process", engine_process<AllPassF32Object>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot allpass_f32_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(allpass_f32_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc<AllPassF32Object>)},
    {Py_tp_methods, allpass_f32_methods},
    {0, nullptr},
};

PyType_Spec allpass_f32_type_spec = {
    "_divavova.AllPassF32State",
    static_cast<int>(sizeof(AllPassF32Object)),
    0,
    Py_TPFLAGS_HEAPTYPE,
    allpass_f32_slots,
};

}  // namespace

PyType_Spec* allpass_f32_spec() { return &allpass_f32_type_spec; }

}  // namespace divavova
