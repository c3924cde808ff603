// RawSample: serves a caller's 8- or 16-bit PCM buffer whole, by halves
// (double buffering) or one channel at a time.  The samples are never
// converted; the buffer is read live at every fetch.
#include <cstring>

#include "module/python.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

constexpr const char* kDeinitialised = "Object has been deinitialized and can no longer be used. Create a new object.";

struct SampleDescription {
    uint32_t sample_rate;
    uint32_t length;
    uint8_t bits_per_sample;
    uint8_t channel_count;
    uint8_t samples_signed;
    uint8_t single_buffer;
};

struct FetchCursor {
    const SampleDescription* description;
    const uint8_t* data;
    uint32_t length;
    uint8_t half;  // the half the next double-buffered fetch returns
    uint8_t deinitialised;
};

struct RawSampleObject {
    PyObject_HEAD
    Py_buffer view;
    int32_t view_held;
    SampleDescription description;
    FetchCursor cursor;
};

RawSampleObject* as_sample(PyObject* self) { return reinterpret_cast<RawSampleObject*>(self); }

// Takes the held view out of the object (false when none is held); the
// caller releases it once the object no longer refers to it.
bool take_view(RawSampleObject* sample, Py_buffer* view) {
    if (!sample->view_held) return false;
    move_view(view, &sample->view);
    sample->view_held = 0;
    return true;
}

void deinitialise(RawSampleObject* sample) {
    sample->cursor.data = nullptr;
    sample->cursor.deinitialised = 1;
    Py_buffer old{};
    if (take_view(sample, &old)) PyBuffer_Release(&old);
}

bool fetch_refused(const RawSampleObject* sample) {
    return sample->cursor.deinitialised || sample->cursor.data == nullptr;
}

// Bytes per sample for the accepted one-character formats, 0 for any other.
int format_bytes(const char* format, bool* is_signed) {
    if (format == nullptr) format = "B";
    if (format[0] == '\0' || format[1] != '\0') return 0;
    switch (format[0]) {
        case 'b': *is_signed = true; return 1;
        case 'B': *is_signed = false; return 1;
        case 'h': *is_signed = true; return 2;
        case 'H': *is_signed = false; return 2;
        default: return 0;
    }
}

int sample_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"buffer", "channel_count", "sample_rate", "single_buffer", nullptr};
    PyObject* buffer = nullptr;
    int channel_count = 1;
    unsigned int sample_rate = 8000;
    int single_buffer = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$iIp:RawSample", const_cast<char**>(keywords), &buffer,
                                     &channel_count, &sample_rate, &single_buffer))
        return -1;
    if (channel_count != 1 && channel_count != 2) {
        PyErr_SetString(PyExc_ValueError, "channel_count must be 1 or 2");
        return -1;
    }
    if (sample_rate == 0) {
        PyErr_SetString(PyExc_ValueError, "sample_rate must be at least 1");
        return -1;
    }
    Py_buffer fresh;
    if (PyObject_GetBuffer(buffer, &fresh, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return -1;
    bool is_signed = false;
    const int sample_bytes = format_bytes(fresh.format, &is_signed);
    const char* failure = nullptr;
    PyObject* failure_type = PyExc_ValueError;
    if (sample_bytes == 0) {
        failure = "buffer must be a bytearray or array of type 'h', 'H', 'b', or 'B'";
    } else if (!single_buffer && fresh.len % (2 * channel_count * sample_bytes) != 0) {
        failure = "Length of buffer must be an even multiple of channel_count * type_size";
    } else if (static_cast<unsigned long long>(fresh.len) > 4294967295ULL) {
        failure = "buffer is too large";
        failure_type = PyExc_OverflowError;
    }
    if (failure) {
        PyBuffer_Release(&fresh);
        PyErr_SetString(failure_type, failure);
        return -1;
    }

    // The new view goes in before the old one is released: releasing can run
    // Python code, which then finds the object complete.
    RawSampleObject* sample = as_sample(self);
    Py_buffer old{};
    const bool had_old = take_view(sample, &old);
    move_view(&sample->view, &fresh);
    sample->view_held = 1;
    sample->description = {sample_rate,
                           static_cast<uint32_t>(fresh.len),
                           static_cast<uint8_t>(8 * sample_bytes),
                           static_cast<uint8_t>(channel_count),
                           static_cast<uint8_t>(is_signed),
                           static_cast<uint8_t>(single_buffer ? 1 : 0)};
    sample->cursor = {&sample->description, static_cast<const uint8_t*>(sample->view.buf),
                      static_cast<uint32_t>(sample->view.len), 0, 0};
    if (had_old) PyBuffer_Release(&old);
    return 0;
}

// One channel of stereo frames of Bytes-byte samples, starting at src.
template <size_t Bytes>
void copy_channel(const uint8_t* src, uint8_t* out, size_t frames) {
    for (size_t k = 0; k < frames; ++k) std::memcpy(out + k * Bytes, src + k * 2 * Bytes, Bytes);
}

bool parse_fetch_arguments(PyObject* args, PyObject* kwargs, const char* format, int* single_channel_output,
                           unsigned int* audio_channel) {
    static const char* keywords[] = {"single_channel_output", "audio_channel", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), single_channel_output,
                                       audio_channel);
}

PyObject* sample_get_buffer(PyObject* self, PyObject* args, PyObject* kwargs) {
    int single_channel_output = 0;
    unsigned int audio_channel = 0;
    if (!parse_fetch_arguments(args, kwargs, "|pI:_get_buffer", &single_channel_output, &audio_channel))
        return nullptr;
    RawSampleObject* sample = as_sample(self);
    if (fetch_refused(sample)) {
        PyErr_SetString(PyExc_ValueError, kDeinitialised);
        return nullptr;
    }
    FetchCursor& cursor = sample->cursor;
    const SampleDescription& format = *cursor.description;
    const size_t sample_bytes = format.bits_per_sample / 8;
    const size_t channels = format.channel_count;
    const size_t offset = single_channel_output ? (audio_channel % channels) * sample_bytes : 0;
    const uint8_t* region = cursor.data + offset;
    size_t region_bytes = cursor.length;
    if (!format.single_buffer) {
        region_bytes = cursor.length / 2;
        region += cursor.half * region_bytes;
        cursor.half = static_cast<uint8_t>(1 - cursor.half);
    }
    PyObject* result = nullptr;
    if (single_channel_output && channels > 1) {
        // Whole frames only, so the offset channel never reads past the region.
        const size_t frame_bytes = channels * sample_bytes;
        const size_t frames = region_bytes / frame_bytes;
        char* out = nullptr;
        result = new_bytes(frames * sample_bytes, &out);
        if (!result) return nullptr;
        if (sample_bytes == 2)  // stereo 16-bit: every other sample (fixed-size copies vectorise)
            copy_channel<2>(region, reinterpret_cast<uint8_t*>(out), frames);
        else
            copy_channel<1>(region, reinterpret_cast<uint8_t*>(out), frames);
    } else {
        result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(region), static_cast<Py_ssize_t>(region_bytes));
        if (!result) return nullptr;
    }
    return Py_BuildValue("(iN)", 0, result);
}

PyObject* sample_reset_buffer(PyObject* self, PyObject* args, PyObject* kwargs) {
    int single_channel_output = 0;
    unsigned int audio_channel = 0;
    if (!parse_fetch_arguments(args, kwargs, "|pI:_reset_buffer", &single_channel_output, &audio_channel))
        return nullptr;
    if (fetch_refused(as_sample(self))) {
        PyErr_SetString(PyExc_ValueError, kDeinitialised);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* sample_deinit(PyObject* self, PyObject*) {
    deinitialise(as_sample(self));
    Py_RETURN_NONE;
}

PyObject* sample_enter(PyObject* self, PyObject*) {
    if (as_sample(self)->cursor.deinitialised) {
        PyErr_SetString(PyExc_ValueError, kDeinitialised);
        return nullptr;
    }
    return Py_NewRef(self);
}

PyObject* sample_exit(PyObject* self, PyObject*) {
    deinitialise(as_sample(self));
    Py_RETURN_NONE;
}

// The format getters refuse once the object is deinitialised.
const SampleDescription* live_description(PyObject* self) {
    RawSampleObject* sample = as_sample(self);
    if (sample->cursor.deinitialised) {
        PyErr_SetString(PyExc_ValueError, kDeinitialised);
        return nullptr;
    }
    return &sample->description;
}

PyObject* get_sample_rate(PyObject* self, void*) {
    const SampleDescription* d = live_description(self);
    return d ? PyLong_FromUnsignedLong(d->sample_rate) : nullptr;
}

int set_sample_rate(PyObject* self, PyObject* value, void*) {
    if (!live_description(self)) return -1;
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot delete sample_rate");
        return -1;
    }
    unsigned long rate = PyLong_AsUnsignedLong(value);
    if (rate == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    if (rate > 0xFFFFFFFFUL) {
        PyErr_SetString(PyExc_OverflowError, "sample_rate does not fit 32 bits");
        return -1;
    }
    if (rate == 0) {
        PyErr_SetString(PyExc_ValueError, "sample_rate must be at least 1");
        return -1;
    }
    as_sample(self)->description.sample_rate = static_cast<uint32_t>(rate);
    return 0;
}

PyObject* get_bits_per_sample(PyObject* self, void*) {
    const SampleDescription* d = live_description(self);
    return d ? PyLong_FromLong(d->bits_per_sample) : nullptr;
}

PyObject* get_channel_count(PyObject* self, void*) {
    const SampleDescription* d = live_description(self);
    return d ? PyLong_FromLong(d->channel_count) : nullptr;
}

PyObject* get_samples_signed(PyObject* self, void*) { return PyBool_FromLong(as_sample(self)->description.samples_signed); }
PyObject* get_single_buffer(PyObject* self, void*) { return PyBool_FromLong(as_sample(self)->description.single_buffer); }

int sample_traverse(PyObject* self, visitproc visit, void* arg) {
    RawSampleObject* sample = as_sample(self);
    if (sample->view_held) Py_VISIT(sample->view.obj);
    Py_VISIT(Py_TYPE(self));  // instances of heap types hold their type
    return 0;
}

int sample_clear(PyObject* self) {
    deinitialise(as_sample(self));
    return 0;
}

void sample_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    deinitialise(as_sample(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef sample_methods[] = {
    {"deinit", sample_deinit, METH_NOARGS, nullptr},
    {"_reset_buffer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_reset_buffer)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"_get_buffer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_get_buffer)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"__enter__", sample_enter, METH_NOARGS, nullptr},
    {"__exit__", sample_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sample_getset[] = {
    {"sample_rate", get_sample_rate, set_sample_rate, nullptr, nullptr},
    {"bits_per_sample", get_bits_per_sample, nullptr, nullptr, nullptr},
    {"channel_count", get_channel_count, nullptr, nullptr, nullptr},
    {"samples_signed", get_samples_signed, nullptr, nullptr, nullptr},
    {"single_buffer", get_single_buffer, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sample_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(sample_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sample_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(sample_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sample_clear)},
    {Py_tp_methods, sample_methods},
    {Py_tp_getset, sample_getset},
    {0, nullptr},
};

PyType_Spec sample_spec = {
    "vadozadaz.RawSample",
    sizeof(RawSampleObject),
    0,
    Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_HAVE_GC,
    sample_slots,
};

}  // namespace

PyType_Spec* raw_sample_spec() { return &sample_spec; }

}  // namespace divavova
