#include "module/memory.hpp"

#include "module/python.hpp"

namespace divavova {

void* engine_alloc_zeroed(size_t count, size_t size) {
    if (count == 0 || size == 0) return nullptr;
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / size) return nullptr;
    return PyMem_Calloc(count, size);
}

void engine_free(void* block) {
    if (block) PyMem_Free(block);
}

}  // namespace divavova
