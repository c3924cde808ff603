// BufferOwner: holds a C-contiguous view of another object until released.
#include "module/python.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

struct BufferOwnerObject {
    PyObject_HEAD
    Py_buffer view;
    int32_t view_held;
};

BufferOwnerObject* as_owner(PyObject* self) { return reinterpret_cast<BufferOwnerObject*>(self); }

void release_view(BufferOwnerObject* owner) {
    if (owner->view_held) {
        owner->view_held = 0;
        PyBuffer_Release(&owner->view);
    }
}

int owner_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"exporter", nullptr};
    PyObject* exporter = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:BufferOwner", const_cast<char**>(keywords), &exporter))
        return -1;
    BufferOwnerObject* owner = as_owner(self);
    release_view(owner);
    if (PyObject_GetBuffer(exporter, &owner->view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return -1;
    owner->view_held = 1;
    return 0;
}

PyObject* owner_release(PyObject* self, PyObject*) {
    release_view(as_owner(self));
    Py_RETURN_NONE;
}

PyObject* owner_bytes(PyObject* self, PyObject*) {
    BufferOwnerObject* owner = as_owner(self);
    if (!owner->view_held) {
        PyErr_SetString(PyExc_RuntimeError, "buffer has been released");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(static_cast<const char*>(owner->view.buf), owner->view.len);
}

PyObject* owner_format(PyObject* self, void*) {
    BufferOwnerObject* owner = as_owner(self);
    if (!owner->view_held) Py_RETURN_NONE;
    return PyUnicode_FromString(owner->view.format ? owner->view.format : "B");
}

PyObject* owner_nbytes(PyObject* self, void*) {
    BufferOwnerObject* owner = as_owner(self);
    return PyLong_FromSsize_t(owner->view_held ? owner->view.len : 0);
}

PyObject* owner_itemsize(PyObject* self, void*) {
    BufferOwnerObject* owner = as_owner(self);
    return PyLong_FromSsize_t(owner->view_held ? owner->view.itemsize : 0);
}

int owner_traverse(PyObject* self, visitproc visit, void* arg) {
    BufferOwnerObject* owner = as_owner(self);
    if (owner->view_held) Py_VISIT(owner->view.obj);
    Py_VISIT(Py_TYPE(self));  // instances of heap types hold their type
    return 0;
}

int owner_clear(PyObject* self) {
    release_view(as_owner(self));
    return 0;
}

void owner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    release_view(as_owner(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef owner_methods[] = {
    {"release", owner_release, METH_NOARGS, nullptr},
    {"bytes", owner_bytes, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef owner_getset[] = {
    {"format", owner_format, nullptr, nullptr, nullptr},
    {"nbytes", owner_nbytes, nullptr, nullptr, nullptr},
    {"itemsize", owner_itemsize, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot owner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(owner_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(owner_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(owner_clear)},
    {Py_tp_methods, owner_methods},
    {Py_tp_getset, owner_getset},
    {0, nullptr},
};

PyType_Spec owner_spec = {
    "_divavova.BufferOwner",
    sizeof(BufferOwnerObject),
    0,
    Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_HAVE_GC,
    owner_slots,
};

}  // namespace

PyType_Spec* buffer_owner_spec() { return &owner_spec; }

}  // namespace divavova
