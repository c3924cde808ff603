// Python-facing helpers shared by every binding: buffer-view guard, aligned
// sample access, PyMem-backed ownership, result bytes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace divavova {

// ---------------------------------------------------------------------------
// Owner of a Py_buffer: released in the destructor, so a view is released
// on every path out of a call.  The view stays where it was filled (exporters
// may rely on its address), so the guard is neither copied nor moved.  With
// the argument parser, let it fill the guard's slot and adopt the view on the
// next line (the parser releases what it acquired when it fails):
//     BufferView first, second;
//     if (!PyArg_ParseTuple(args, "y*y*:mix_s16", first.slot(), second.slot())) return nullptr;
//     first.adopt(); second.adopt();
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    Py_buffer* slot() { return &view_; }
    void adopt() { held_ = true; }

    // PyObject_GetBuffer with the given flags; false with the interpreter's
    // error set on failure.
    bool acquire(PyObject* exporter, int flags) {
        release();
        if (PyObject_GetBuffer(exporter, &view_, flags) != 0) return false;
        held_ = true;
        return true;
    }
    void release() {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
    }

    bool held() const { return held_; }
    void* data() const { return view_.buf; }
    const uint8_t* bytes() const { return static_cast<const uint8_t*>(view_.buf); }
    uint8_t* writable_bytes() const { return static_cast<uint8_t*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }
    Py_buffer& raw() { return view_; }
    const Py_buffer& raw() const { return view_; }
    // The view's format, "B" when it carries none.
    const char* format() const { return view_.format ? view_.format : "B"; }
    bool format_is(const char* expected) const { return view_.format && std::strcmp(view_.format, expected) == 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Moves a filled Py_buffer from one place to another (a view of a plain
// buffer may point its shape and strides at its own len and itemsize).
inline void move_view(Py_buffer* to, Py_buffer* from) {
    std::memcpy(to, from, sizeof *from);
    if (from->shape == &from->len) to->shape = &to->len;
    if (from->strides == &from->itemsize) to->strides = &to->itemsize;
    *from = Py_buffer{};
}

// ---------------------------------------------------------------------------
// Memory from the interpreter's allocator, freed by the owner.

struct PyMemFree {
    void operator()(void* p) const { PyMem_Free(p); }
};

template <class T>
class PyMemArray {
public:
    PyMemArray() = default;
    PyMemArray(const PyMemArray&) = delete;
    PyMemArray& operator=(const PyMemArray&) = delete;
    PyMemArray(PyMemArray&& o) noexcept : data_(o.data_), count_(o.count_) {
        o.data_ = nullptr;
        o.count_ = 0;
    }
    PyMemArray& operator=(PyMemArray&& o) noexcept {
        if (this != &o) {
            reset();
            data_ = o.data_;
            count_ = o.count_;
            o.data_ = nullptr;
            o.count_ = 0;
        }
        return *this;
    }
    ~PyMemArray() { reset(); }

    // Zeroed allocation of count elements; false (no exception set) on failure
    // or when count * sizeof(T) does not fit.  count 0 succeeds with no memory.
    bool allocate_zeroed(size_t count) {
        reset();
        if (count == 0) return true;
        if (count > PY_SSIZE_T_MAX / sizeof(T)) return false;
        void* p = PyMem_Calloc(count, sizeof(T));
        if (!p) return false;
        data_ = static_cast<T*>(p);
        count_ = count;
        return true;
    }
    void reset() {
        if (data_) PyMem_Free(data_);
        data_ = nullptr;
        count_ = 0;
    }
    T* get() const { return data_; }
    size_t size() const { return count_; }
    T& operator[](size_t i) const { return data_[i]; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    T* data_ = nullptr;
    size_t count_ = 0;
};

// ---------------------------------------------------------------------------
// A caller buffer seen as an array of T.  Caller buffers may start at any
// address; an aligned one is used in place, a misaligned one is copied into
// scratch memory that lives for the call.  ok() is false (MemoryError set)
// when that copy cannot be had.
template <class T>
class AlignedCells {
public:
    AlignedCells(const void* data, size_t bytes) : target_(const_cast<void*>(data)), bytes_(bytes) {
        if (reinterpret_cast<uintptr_t>(data) % alignof(T) == 0) {
            ptr_ = static_cast<T*>(target_);
            return;
        }
        if (bytes == 0) return;
        scratch_ = PyMem_Malloc(bytes);
        if (!scratch_) {
            PyErr_NoMemory();
            failed_ = true;
            return;
        }
        std::memcpy(scratch_, data, bytes);
        ptr_ = static_cast<T*>(scratch_);
    }
    AlignedCells(const AlignedCells&) = delete;
    AlignedCells& operator=(const AlignedCells&) = delete;
    ~AlignedCells() {
        if (scratch_) PyMem_Free(scratch_);
    }
    bool ok() const { return !failed_; }

protected:
    T* ptr_ = nullptr;
    void* target_;
    size_t bytes_;
    void* scratch_ = nullptr;
    bool failed_ = false;
};

// Read access to a caller buffer.
template <class T>
class AlignedInput : public AlignedCells<T> {
public:
    AlignedInput(const void* data, size_t bytes) : AlignedCells<T>(data, bytes) {}
    explicit AlignedInput(const BufferView& view) : AlignedCells<T>(view.data(), view.size()) {}
    const T* get() const { return this->ptr_; }
};

// Read-write access to a caller's writable buffer: a misaligned buffer is
// worked on in scratch memory and copied back by commit(); an aligned one is
// worked on in place (commit() does nothing).
template <class T>
class AlignedInOut : public AlignedCells<T> {
public:
    AlignedInOut(void* data, size_t bytes) : AlignedCells<T>(data, bytes) {}
    explicit AlignedInOut(const BufferView& view) : AlignedCells<T>(view.data(), view.size()) {}
    T* get() const { return this->ptr_; }
    void commit() {
        if (this->scratch_) std::memcpy(this->target_, this->scratch_, this->bytes_);
    }
};

// ---------------------------------------------------------------------------
// A new, uninitialised bytes object of n bytes whose storage the kernel fills.
// nullptr with MemoryError set on failure.
inline PyObject* new_bytes(size_t n, char** data) {
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return nullptr;
    }
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!result) return nullptr;
    *data = PyBytes_AS_STRING(result);
    return result;
}

template <class T>
inline PyObject* new_bytes_of(size_t count, T** data) {
    char* raw = nullptr;
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
        PyErr_NoMemory();
        return nullptr;
    }
    PyObject* result = new_bytes(count * sizeof(T), &raw);
    if (result) *data = reinterpret_cast<T*>(raw);  // bytes storage is suitably aligned
    return result;
}

inline PyObject* value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

}  // namespace divavova
