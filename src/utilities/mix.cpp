// mix_s16 and remix_s16: saturating mix and mono/stereo conversion of
// interleaved native-endian s16 buffers.
#include "module/convert.hpp"
#include "module/python.hpp"
#include "module/registry.hpp"
#include "utilities/utility_kernels.hpp"

namespace divavova {
namespace {

PyObject* mix_s16(PyObject*, PyObject* args) {
    BufferView first, second;
    if (!PyArg_ParseTuple(args, "y*y*:mix_s16", first.slot(), second.slot())) return nullptr;
    first.adopt();
    second.adopt();
    if (first.size() != second.size() || first.size() % 2 != 0)
        return value_error("buffers must have the same even byte length");
    char* out = nullptr;
    PyObject* result = new_bytes(first.size(), &out);
    if (!result) return nullptr;
    run_kernel<mix_saturating>(first.bytes(), second.bytes(), reinterpret_cast<uint8_t*>(out), first.size() / 2);
    return result;
}

PyObject* remix_s16(PyObject*, PyObject* args) {
    BufferView source;
    int source_channels = 0, dest_channels = 0;
    PyObject* dest = Py_None;
    if (!PyArg_ParseTuple(args, "y*ii|O:remix_s16", source.slot(), &source_channels, &dest_channels, &dest))
        return nullptr;
    source.adopt();
    if ((source_channels != 1 && source_channels != 2) || (dest_channels != 1 && dest_channels != 2))
        return value_error("channel_count must be 1 or 2");
    const size_t source_frame_bytes = 2 * static_cast<size_t>(source_channels);
    if (source.size() % source_frame_bytes != 0)
        return value_error("source must be a whole number of frames");
    const size_t frames = source.size() / source_frame_bytes;
    const size_t out_bytes = frames * 2 * static_cast<size_t>(dest_channels);

    BufferView target;
    PyObject* result = nullptr;
    uint8_t* out = nullptr;
    if (dest != Py_None) {
        if (!target.acquire(dest, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return nullptr;
        if (target.size() < out_bytes) return value_error("dest is too small");
        out = target.writable_bytes();
        result = Py_NewRef(dest);
    } else {
        char* data = nullptr;
        result = new_bytes(out_bytes, &data);
        if (!result) return nullptr;
        out = reinterpret_cast<uint8_t*>(data);
    }
    run_kernel<remix_frames>(source.bytes(), out, frames, source_channels, dest_channels);
    return result;
}

}  // namespace

PyMethodDef mix_s16_method() {
    return {"mix_s16", mix_s16, METH_VARARGS, "Saturating mix of two native-endian signed 16-bit PCM buffers."};
}

PyMethodDef remix_s16_method() {
    return {"remix_s16", remix_s16, METH_VARARGS,
            "Interleaved s16 native-endian channel convert between 1 and 2 channels. Optional writable dest."};
}

}  // namespace divavova
