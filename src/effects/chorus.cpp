// chorus_s16(input, ring, write_pos, spread, ring_len, voices, depth)
#include "effects/chorus_kernel.hpp"
#include "effects/s16_result.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

constexpr const char* kInvalidChorus = "invalid chorus parameters";

PyObject* chorus_s16(PyObject*, PyObject* args) {
    BufferView input, ring;
    unsigned int write_pos = 0, spread = 0, ring_len = 0;
    int voices = 0;
    double depth = 0.0;
    if (!PyArg_ParseTuple(args, "y*w*IIIid:chorus_s16", input.slot(), ring.slot(), &write_pos, &spread, &ring_len,
                          &voices, &depth))
        return nullptr;
    input.adopt();
    ring.adopt();
    // spread >= 1 and spread <= ring_len leave a ring of at least one cell.
    if (input.size() % 2 != 0 || voices < 1 || spread == 0 || spread > ring_len || ring.size() / 2 < ring_len)
        return static_cast<PyObject*>(value_error(kInvalidChorus));

    // A write position beyond the ring is taken modulo its length.
    write_pos %= ring_len;
    S16Result block(input);
    if (!block.ok()) return nullptr;
    if (block.count()) {
        AlignedInOut<int16_t> cells(ring.data(), size_t{ring_len} * 2);
        if (!cells.ok()) return nullptr;
        ChorusSettings settings = chorus_settings(spread, ring_len, voices, depth);
        write_pos = chorus_block(settings, block.in(), block.out(), block.count(), cells.get(), write_pos);
        cells.commit();
    }
    return Py_BuildValue("(NI)", block.release(), write_pos);
}

}  // namespace

PyMethodDef chorus_s16_method() { return {"chorus_s16", chorus_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
