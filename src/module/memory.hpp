// Engine memory from the interpreter's allocator, callable from kernels that
// do not include Python.h.  Kernels own raw pointers and free them with
// engine_free; the bindings decide when (re-initialisation, destruction).
#pragma once

#include <cstddef>

namespace divavova {

// Zeroed block of count elements of size bytes each; nullptr on failure or
// when count * size does not fit a Py_ssize_t.  count 0 gives nullptr too, so
// callers that need memory test count first.
void* engine_alloc_zeroed(size_t count, size_t size);
void engine_free(void* block);

template <class T>
T* engine_alloc(size_t count) {
    return static_cast<T*>(engine_alloc_zeroed(count, sizeof(T)));
}

// Frees *block and empties the pointer.
template <class T>
void engine_release(T*& block) {
    engine_free(block);
    block = nullptr;
}

}  // namespace divavova
