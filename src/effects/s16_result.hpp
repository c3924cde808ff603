// The input and result of a one-call s16 effect: the caller's samples (read
// through an aligned copy when the view is misaligned) and a new bytes object
// of the same length that the kernel fills.  The result is dropped unless it
// is handed out with release(), so every error path after it frees it.
#pragma once

#include "module/python.hpp"

namespace divavova {

class S16Result {
public:
    explicit S16Result(const BufferView& input) : samples_(input), count_(input.size() / 2) {
        if (samples_.ok()) result_ = new_bytes_of<int16_t>(count_, &out_);
    }
    S16Result(const S16Result&) = delete;
    S16Result& operator=(const S16Result&) = delete;
    ~S16Result() { Py_XDECREF(result_); }

    bool ok() const { return result_ != nullptr; }  // false with MemoryError set
    const int16_t* in() const { return samples_.get(); }
    int16_t* out() const { return out_; }
    size_t count() const { return count_; }
    PyObject* release() {
        PyObject* result = result_;
        result_ = nullptr;
        return result;
    }

private:
    AlignedInput<int16_t> samples_;
    size_t count_;
    int16_t* out_ = nullptr;
    PyObject* result_ = nullptr;
};

}  // namespace divavova
