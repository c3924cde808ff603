// BiquadF32State: the float biquad engine object.
#include "engines/biquad_f32_kernel.hpp"
#include "engines/rate_channels_init.hpp"
#include "module/engine.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

using BiquadF32Object = EngineObject<BiquadF32Kernel>;

constexpr char kInitFormat[] = "|II:BiquadF32State";

PyObject* biquad_f32_coefficients(PyObject* self, PyObject*) {
    BiquadF32Object* object = live_engine<BiquadF32Object>(self);
    if (!object) return nullptr;
    BiquadF32Kernel& k = object->state;
    k.design();
    return Py_BuildValue("(ddddd)", static_cast<double>(k.b0), static_cast<double>(k.b1), static_cast<double>(k.b2),
                         static_cast<double>(k.a1), static_cast<double>(k.a2));
}

PyMethodDef biquad_f32_methods[] = {
    {"configure", engine_configure<BiquadF32Object>, METH_VARARGS, nullptr},
    {"finish", engine_finish<BiquadF32Object>, METH_NOARGS, nullptr},
    {"reset", engine_reset<BiquadF32Object>, METH_NOARGS, nullptr},
    {"coefficients", biquad_f32_coefficients, METH_NOARGS, nullptr},
    {"process", engine_process<BiquadF32Object>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot biquad_f32_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(rate_channels_init<BiquadF32Object, kInitFormat>)},
    {Py_tp_methods, biquad_f32_methods},
    {0, nullptr},
};

PyType_Spec biquad_f32_type_spec = {
    "_divavova.BiquadF32State",
    static_cast<int>(sizeof(BiquadF32Object)),
    0,
    Py_TPFLAGS_HEAPTYPE,
    biquad_f32_slots,
};

}  // namespace

PyType_Spec* biquad_f32_spec() { return &biquad_f32_type_spec; }

}  // namespace divavova
