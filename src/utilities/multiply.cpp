// multiply_s16 and midside_s16: block multiply with depth, mid-side width.
#include "module/engine.hpp"
#include "module/python.hpp"
#include "module/registry.hpp"
#include "utilities/utility_kernels.hpp"

namespace divavova {
namespace {

PyObject* multiply_s16(PyObject*, PyObject* args) {
    BufferView signal, modulator;
    double depth = 0.0;
    unsigned int channel_count = 2;
    if (!PyArg_ParseTuple(args, "y*y*d|I:multiply_s16", signal.slot(), modulator.slot(), &depth, &channel_count))
        return nullptr;
    signal.adopt();
    modulator.adopt();
    if (channel_count != 1 && channel_count != 2)
        return value_error(kChannelCountMessage);
    if (signal.size() != modulator.size() || signal.size() % (2 * channel_count) != 0)
        return value_error("buffers must be the same whole number of configured frames");
    char* out = nullptr;
    PyObject* result = new_bytes(signal.size(), &out);
    if (!result) return nullptr;
    run_kernel<multiply_blend>(signal.bytes(), modulator.bytes(), reinterpret_cast<uint8_t*>(out),
                               signal.size() / 2, depth_q15(depth));
    return result;
}

PyObject* midside_s16(PyObject*, PyObject* args) {
    BufferView buffer;
    double width = 1.0;
    unsigned int channel_count = 2;
    if (!PyArg_ParseTuple(args, "y*d|I:midside_s16", buffer.slot(), &width, &channel_count)) return nullptr;
    buffer.adopt();
    if (channel_count != 1 && channel_count != 2)
        return value_error(kChannelCountMessage);
    if (buffer.size() % (2 * channel_count) != 0)
        return value_error("buffer must be a whole number of configured frames");
    char* out = nullptr;
    PyObject* result = new_bytes(buffer.size(), &out);
    if (!result) return nullptr;
    if (channel_count == 1)
        std::memcpy(out, buffer.data(), buffer.size());
    else
        run_kernel<midside_frames>(buffer.bytes(), reinterpret_cast<uint8_t*>(out), buffer.size() / 4,
                                   width_q14(width));
    return result;
}

}  // namespace

PyMethodDef multiply_s16_method() { return {"multiply_s16", multiply_s16, METH_VARARGS, nullptr}; }
PyMethodDef midside_s16_method() { return {"midside_s16", midside_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
