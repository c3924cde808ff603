// __init__ of the engines made from a sample rate and a channel count alone
// (keywords sample_rate=48000, channel_count=2) that own no memory: the
// checks, then the whole record replaced by Kernel::make(rate, channels).
#pragma once

#include "module/engine.hpp"

namespace divavova {

template <class Object, const char* Format>
int rate_channels_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"sample_rate", "channel_count", nullptr};
    unsigned int sample_rate = 48000;
    unsigned int channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, Format, const_cast<char**>(keywords), &sample_rate,
                                     &channel_count))
        return -1;
    if (!check_rate_and_channels(sample_rate, channel_count)) return -1;
    Object* object = reinterpret_cast<Object*>(self);
    object->state = decltype(object->state)::make(sample_rate, channel_count);
    return 0;
}

}  // namespace divavova
