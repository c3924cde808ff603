// TankState: the Python face of the plate reverb tank.
#include "module/engine.hpp"
#include "module/registry.hpp"
#include "reverb/tank_kernel.hpp"

namespace divavova {
namespace {

using TankObject = EngineObject<TankKernel>;

const char* tank_build_message(TankBuild outcome) {
    switch (outcome) {
        case TankBuild::wrong_count: return "delays needs 12 line lengths; taps needs 4 values per tap";
        case TankBuild::line_too_short: return "every line needs at least 4 frames";
        case TankBuild::lines_do_not_fit: return "the lines do not fit";
        case TankBuild::bad_tap_channel: return "a tap channel is not 0 or 1";
        case TankBuild::bad_tap_line: return "a tap line index is not 0..11";
        case TankBuild::bad_tap_offset: return "a tap offset is past the end of its line";
        case TankBuild::ok: break;
    }
    return nullptr;
}

bool built(TankBuild outcome) {
    if (outcome == TankBuild::ok) return true;
    PyErr_SetString(PyExc_ValueError, tank_build_message(outcome));
    return false;
}

// Reads `sequence` as at most `capacity` numbers, each converted to f32.
// The count read, or -1 with the exception set.
Py_ssize_t read_float_sequence(PyObject* sequence, float* out, size_t capacity) {
    PyObject* fast = PySequence_Fast(sequence, "expected a sequence of numbers");
    if (!fast) return -1;
    if (PyList_Check(fast)) {
        // A snapshot: an item's __float__ may change the list while we read.
        PyObject* snapshot = PyList_AsTuple(fast);
        Py_DECREF(fast);
        if (!snapshot) return -1;
        fast = snapshot;
    }
    Py_ssize_t count = PySequence_Fast_GET_SIZE(fast);
    if (static_cast<size_t>(count) > capacity) {
        Py_DECREF(fast);
        PyErr_SetString(PyExc_ValueError, "too many values");
        return -1;
    }
    PyObject** items = PySequence_Fast_ITEMS(fast);
    for (Py_ssize_t i = 0; i < count; ++i) {
        double value = PyFloat_AsDouble(items[i]);
        if (value == -1.0 && PyErr_Occurred()) {
            Py_DECREF(fast);
            return -1;
        }
        out[i] = static_cast<float>(value);
    }
    Py_DECREF(fast);
    return count;
}

bool given(PyObject* argument) { return argument != nullptr && argument != Py_None; }

int tank_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"sample_rate", "max_predelay_ms", "channel_count", "delays", "taps", nullptr};
    unsigned int sample_rate = 48000;
    double max_predelay_ms = 200.0;
    unsigned int channel_count = 2;
    PyObject* delays = nullptr;
    PyObject* taps = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|IdIOO:TankState", const_cast<char**>(keywords), &sample_rate,
                                     &max_predelay_ms, &channel_count, &delays, &taps))
        return -1;
    if (sample_rate == 0) return value_error(kSampleRateMessage), -1;
    if (max_predelay_ms < 0.0) return value_error("max_predelay_ms must not be negative"), -1;
    if (channel_count != 1 && channel_count != 2) return value_error(kChannelCountMessage), -1;

    TankSettings settings = tank_default_settings(sample_rate, max_predelay_ms, channel_count);

    if (given(delays)) {
        float values[kTankLines];
        Py_ssize_t count = read_float_sequence(delays, values, kTankLines);
        if (count < 0) return -1;
        if (count != static_cast<Py_ssize_t>(kTankLines)) return built(TankBuild::wrong_count), -1;
        uint32_t frames[kTankLines];
        for (uint32_t k = 0; k < kTankLines; ++k) frames[k] = values[k] < 0.0f ? 0 : float_to<uint32_t>(values[k]);
        if (!built(tank_apply_delays(settings, frames))) return -1;
    }
    if (given(taps)) {
        float values[4 * kTankMaxTaps];
        Py_ssize_t count = read_float_sequence(taps, values, 4 * kTankMaxTaps);
        if (count < 0) return -1;
        if (!built(tank_apply_taps(settings, values, static_cast<size_t>(count)))) return -1;
    }

    // Positions and lengths are 32-bit: a block they cannot address is refused.
    uint64_t samples = tank_storage_samples(settings);
    if (samples > UINT32_MAX) return PyErr_NoMemory(), -1;
    int16_t* storage = engine_alloc<int16_t>(static_cast<size_t>(samples));
    if (!storage) return PyErr_NoMemory(), -1;
    reinterpret_cast<TankObject*>(self)->state.install(settings, storage);
    return 0;
}

// reset works on any object: without storage there are no lines to clear.
PyObject* tank_reset(PyObject* self, PyObject*) {
    reinterpret_cast<TankObject*>(self)->state.reset();
    Py_RETURN_NONE;
}

PyMethodDef tank_methods[] = {
    {"configure", engine_configure<TankObject>, METH_VARARGS, nullptr},
    {"finish", engine_finish<TankObject>, METH_NOARGS, nullptr},
    {"reset", tank_reset, METH_NOARGS, nullptr},
    {"process", engine_process<TankObject>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tank_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(tank_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc<TankObject>)},
    {Py_tp_methods, tank_methods},
    {0, nullptr},
};

PyType_Spec tank_type_spec = {
    "_divavova.TankState",
    static_cast<int>(sizeof(TankObject)),
    0,
    Py_TPFLAGS_HEAPTYPE,
    tank_slots,
};

}  // namespace

PyType_Spec* tank_spec() { return &tank_type_spec; }

}  // namespace divavova
