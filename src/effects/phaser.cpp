// phaser_s16(input, feedback_state, allpass_state, channel_count, stages,
//            sweep_hz, sample_rate, feedback, depth)
#include <cstring>

#include "effects/phaser_kernel.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

constexpr const char* kInvalidPhaser = "invalid phaser parameters";

PyObject* phaser_s16(PyObject*, PyObject* args) {
    BufferView input, feedback_state, allpass_state;
    unsigned int channel_count = 0, stages = 0;
    double sweep_hz = 0.0, sample_rate = 0.0, feedback = 0.0, depth = 0.0;
    if (!PyArg_ParseTuple(args, "y*w*w*IIdddd:phaser_s16", input.slot(), feedback_state.slot(), allpass_state.slot(),
                          &channel_count, &stages, &sweep_hz, &sample_rate, &feedback, &depth))
        return nullptr;
    input.adopt();
    feedback_state.adopt();
    allpass_state.adopt();
    // A NaN sample rate is not above 0 either.
    if (input.size() % 2 != 0 || (channel_count != 1 && channel_count != 2) || stages < 1 || stages > kPhaserMaxStages ||
        !(sample_rate > 0.0) || feedback_state.size() < size_t{channel_count} * 2 ||
        allpass_state.size() < size_t{channel_count} * stages * 2)
        return static_cast<PyObject*>(value_error(kInvalidPhaser));

    // The block is processed in place in the result, a copy of the input.
    size_t count = input.size() / 2;
    int16_t* samples = nullptr;
    PyObject* result = new_bytes_of<int16_t>(count, &samples);
    if (!result) return nullptr;
    if (count) std::memcpy(samples, input.data(), input.size());
    input.release();

    PhaserSettings settings = phaser_settings(stages, sweep_hz, sample_rate, feedback, depth);
    if (phaser_bypassed(settings) || count == 0) return result;

    AlignedInOut<int16_t> feedback_cells(feedback_state.data(), size_t{channel_count} * 2);
    AlignedInOut<int16_t> allpass_cells(allpass_state.data(), size_t{channel_count} * stages * 2);
    if (!feedback_cells.ok() || !allpass_cells.ok()) {
        Py_DECREF(result);
        return nullptr;
    }
    if (channel_count == 1) {
        phase_block<1>(settings, samples, count, feedback_cells.get(), allpass_cells.get());
    } else {
        phase_block<2>(settings, samples, count, feedback_cells.get(), allpass_cells.get());
    }
    feedback_cells.commit();
    allpass_cells.commit();
    return result;
}

}  // namespace

PyMethodDef phaser_s16_method() { return {"phaser_s16", phaser_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
