// The module frame: definition, state, exec step, traverse and clear.
#include <array>
#include <cstddef>

#include "module/python.hpp"
#include "module/registry.hpp"

#ifndef DIVAVOVA_REVISION
#define DIVAVOVA_REVISION "0000000"
#endif

namespace divavova {
namespace {

constexpr int kStateSlots = 17;  // slot 0 is reserved and stays empty

struct ModuleState {
    PyObject* types[kStateSlots];
};

ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// One row of the exec step: a type into its state slot and attribute, or an
// integer constant.
struct Registration {
    enum Kind { type, constant } kind;
    const char* name;
    int slot;                  // types
    PyType_Spec* (*spec)();    // types
    long value;                // constants
    vectorcallfunc (*call)();  // types with a fast constructor call, else nullptr
};

constexpr Registration add_type(int slot, const char* name, PyType_Spec* (*spec)(),
                                vectorcallfunc (*call)() = nullptr) {
    return {Registration::type, name, slot, spec, 0, call};
}
constexpr Registration add_constant(const char* name, long value) {
    return {Registration::constant, name, 0, nullptr, value, nullptr};
}

constexpr Registration kRegistrations[] = {
    add_type(1, "BufferOwner", buffer_owner_spec, buffer_owner_call),
    add_type(2, "RawSample", raw_sample_spec),
    add_type(3, "EnvelopeState", envelope_spec),
    add_type(4, "BiquadState", biquad_spec),
    add_type(5, "DynamicsState", dynamics_spec),
    add_type(6, "SplitterRing", splitter_ring_spec),
    add_constant("SPLITTER_CHUNK_FRAMES", 256),
    add_constant("SPLITTER_RING_FRAMES", 8192),
    add_constant("DYNAMICS_FRAMES", 256),
    add_constant("MULTIPLY_FRAMES", 256),
    add_constant("MIDSIDE_FRAMES", 256),
    add_type(7, "FeedbackDelayState", feedback_delay_spec),
    add_constant("FEEDBACK_DELAY_FRAMES", 256),
    add_type(8, "WaveshaperState", waveshaper_spec),
    add_constant("SHAPER_FRAMES", 256),
    add_constant("SHAPER_MAX_OVERSAMPLE", 16),
    add_type(9, "SampleHoldState", sample_hold_spec),
    add_constant("SAMPLEHOLD_FRAMES", 256),
    add_constant("SAMPLEHOLD_MAX_RATIO", 1073741824L),
    add_type(10, "LadderState", ladder_spec),
    add_constant("LADDER_FRAMES", 256),
    add_type(11, "BiquadF32State", biquad_f32_spec),
    add_type(12, "AllPassF32State", allpass_f32_spec),
    add_constant("FILTER_F32_FRAMES", 256),
    add_constant("FILTER_F32_MAX_STAGES", 16),
    add_type(13, "SubOctaveState", suboctave_spec),
    add_constant("SUBOCTAVE_FRAMES", 256),
    add_type(14, "ConvolverState", convolver_spec),
    add_constant("CONVOLVE_FRAMES", 256),
    add_constant("CONVOLVE_MAX_PARTITIONS", 512),
    add_type(15, "TankState", tank_spec),
    add_type(16, "ModalState", modal_spec),
    add_constant("MODAL_FRAMES", 256),
    add_constant("MODAL_MAX_MODES", 64),
    add_constant("TANK_FRAMES", 256),
    add_constant("TANK_LINES", 12),
    add_constant("TANK_MAX_TAPS", 32),
};

int module_exec(PyObject* module) {
    ModuleState* state = module_state(module);
    if (!state) return -1;
    for (const Registration& row : kRegistrations) {
        if (row.kind == Registration::constant) {
            if (PyModule_AddIntConstant(module, row.name, row.value) < 0) return -1;
            continue;
        }
        PyType_Spec* spec = row.spec();
        if (!spec) continue;  // component not built
        // The slot takes the result before it is checked (an empty result is stored as empty).
        state->types[row.slot] = PyType_FromModuleAndSpec(module, spec, nullptr);
        if (!state->types[row.slot]) return -1;
        // Calling the type then skips the argument tuple and the new/init
        // dispatch; the call itself decides when to take the general path.
        if (row.call) reinterpret_cast<PyTypeObject*>(state->types[row.slot])->tp_vectorcall = row.call();
        if (PyModule_AddObjectRef(module, row.name, state->types[row.slot]) < 0) return -1;
    }
    if (PyModule_AddStringConstant(module, "__version__", "0.6.1") < 0) return -1;
    if (PyModule_AddStringConstant(module, "__revision__", DIVAVOVA_REVISION) < 0) return -1;
    if (PyModule_AddIntConstant(module, "ABI_VERSION", 1) < 0) return -1;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = module_state(module);
    if (!state) return 0;
    for (PyObject* type : state->types) Py_VISIT(type);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* state = module_state(module);
    if (!state) return 0;
    for (PyObject*& type : state->types) Py_CLEAR(type);
    return 0;
}

// The module functions in table order; components not built yet are left out.
using MethodTable = std::array<PyMethodDef, 18>;

MethodTable build_method_table() {
    PyMethodDef (*const rows[])() = {
        mix_s16_method,          oscillator_i32_method, oscillator_raw_i32_method, ring_multiply_i32_method,
        apply_loudness_i32_method, mixdown_i32_method,  pitch_bend_method,         distortion_s16_method,
        echo_s16_method,         phaser_s16_method,     chorus_s16_method,         multitap_s16_method,
        pitchshift_s16_method,   freeverb_s16_method,   multiply_s16_method,       midside_s16_method,
        remix_s16_method,
    };
    MethodTable table{};
    size_t used = 0;
    for (auto row : rows) {
        PyMethodDef def = row();
        if (def.ml_name) table[used++] = def;
    }
    table[used] = kNoMethod;
    return table;
}

MethodTable method_table = build_method_table();

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_divavova",
    "Private native core for gizmokit-divavova.",
    sizeof(ModuleState),
    method_table.data(),
    module_slots,
    module_traverse,
    module_clear,
    nullptr,
};

}  // namespace
}  // namespace divavova

PyMODINIT_FUNC PyInit__divavova(void) { return PyModuleDef_Init(&divavova::module_definition); }
