// BiquadState: the synthesizer's per-voice fixed-point filter.  The object
// holds only the two channel histories; coefficients are designed per call.
#include "module/registry.hpp"
#include "synth/biquad_kernel.hpp"

namespace divavova {
namespace {

constexpr const char* kBiquadParameters = "invalid biquad parameters";

struct BiquadObject {
    PyObject_HEAD
    BiquadHistory channels[2];
};

BiquadObject* biquad_of(PyObject* self) { return reinterpret_cast<BiquadObject*>(self); }

bool valid_design(int mode, unsigned int sample_rate) {
    return static_cast<uint32_t>(mode) < kBiquadModes && sample_rate >= 1;
}

int biquad_init(PyObject* self, PyObject* args, PyObject*) {
    if (!PyArg_ParseTuple(args, ":BiquadState")) return -1;
    biquad_of(self)->channels[0] = {};
    biquad_of(self)->channels[1] = {};
    return 0;
}

PyObject* biquad_reset(PyObject* self, PyObject*) {
    biquad_of(self)->channels[0] = {};
    biquad_of(self)->channels[1] = {};
    Py_RETURN_NONE;
}

PyObject* biquad_process_i32(PyObject* self, PyObject* args) {
    BufferView input;
    int mode = 0;
    double frequency_hz = 0.0, q = 0.0, gain = 0.0;
    unsigned int sample_rate = 0;
    if (!PyArg_ParseTuple(args, "y*idddI:process_i32", input.slot(), &mode, &frequency_hz, &q, &gain,
                          &sample_rate))
        return nullptr;
    input.adopt();
    if (input.size() % 4 != 0 || !valid_design(mode, sample_rate)) {
        value_error(kBiquadParameters);
        return nullptr;
    }

    const size_t n = input.size() / 4;
    int32_t* samples = nullptr;
    PyObject* result = new_bytes_of<int32_t>(n, &samples);
    if (!result) return nullptr;
    AlignedInput<int32_t> voice(input);
    if (!voice.ok()) {
        Py_DECREF(result);
        return nullptr;
    }
    const BiquadQ15 c = design_biquad(static_cast<uint32_t>(mode), frequency_hz, q, gain, sample_rate);
    run_kernel<biquad_filter_i32>(c, biquad_of(self)->channels, voice.get(), samples, n);
    return result;
}

PyObject* biquad_process_s16(PyObject* self, PyObject* args) {
    BufferView input;
    int mode = 0, channel_count = 0;
    double frequency_hz = 0.0, q = 0.0, gain = 0.0, mix = 0.0;
    unsigned int sample_rate = 0;
    if (!PyArg_ParseTuple(args, "y*idddIdi:process_s16", input.slot(), &mode, &frequency_hz, &q, &gain,
                          &sample_rate, &mix, &channel_count))
        return nullptr;
    input.adopt();
    if (input.size() % 2 != 0 || !valid_design(mode, sample_rate) || (channel_count != 1 && channel_count != 2) ||
        (input.size() / 2) % static_cast<size_t>(channel_count) != 0) {
        value_error(kBiquadParameters);
        return nullptr;
    }

    const size_t n = input.size() / 2;
    AlignedInput<int16_t> dry(input);
    if (!dry.ok()) return nullptr;
    const BiquadQ15 c = design_biquad(static_cast<uint32_t>(mode), frequency_hz, q, gain, sample_rate);
    BiquadHistory* histories = biquad_of(self)->channels;
    int16_t* out = nullptr;
    PyObject* result = new_bytes_of<int16_t>(n, &out);
    if (!result) {
        // the histories advance by the block even so
        run_kernel<biquad_advance>(c, histories, dry.get(), n, channel_count);
        return nullptr;
    }
    if (channel_count == 2)
        run_kernel<biquad_filter_blend<2>>(c, histories, dry.get(), out, n / 2, mix);
    else
        run_kernel<biquad_filter_blend<1>>(c, histories, dry.get(), out, n, mix);
    return result;
}

PyMethodDef biquad_methods[] = {
    {"reset", biquad_reset, METH_NOARGS, nullptr},
    {"process_i32", biquad_process_i32, METH_VARARGS, nullptr},
    {"process_s16", biquad_process_s16, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot biquad_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(biquad_init)},
    {Py_tp_methods, biquad_methods},
    {0, nullptr},
};

PyType_Spec biquad_type_spec = {
    "_divavova.BiquadState", sizeof(BiquadObject), 0, Py_TPFLAGS_HEAPTYPE, biquad_slots,
};

}  // namespace

PyType_Spec* biquad_spec() { return &biquad_type_spec; }

}  // namespace divavova
