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

// Takes the held view out of the owner (false when none is held); the caller
// releases it once the owner no longer refers to it (releasing can run
// Python code).
bool take_view(BufferOwnerObject* owner, Py_buffer* view) {
    if (!owner->view_held) return false;
    move_view(view, &owner->view);
    owner->view_held = 0;
    return true;
}

void release_view(BufferOwnerObject* owner) {
    Py_buffer old{};
    if (take_view(owner, &old)) PyBuffer_Release(&old);
}

// Releases a view held from an earlier initialisation, then holds a view of
// exporter.  The exporter can run Python code that initialises this owner
// again; the view it left is released once the new one is in place.
int hold_view(BufferOwnerObject* owner, PyObject* exporter) {
    release_view(owner);
    Py_buffer fresh{};
    if (PyObject_GetBuffer(exporter, &fresh, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return -1;
    Py_buffer left{};
    const bool had_left = take_view(owner, &left);
    move_view(&owner->view, &fresh);
    owner->view_held = 1;
    if (had_left) PyBuffer_Release(&left);
    return 0;
}

int owner_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"exporter", nullptr};
    PyObject* exporter = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:BufferOwner", const_cast<char**>(keywords), &exporter))
        return -1;
    return hold_view(as_owner(self), exporter);
}

// BufferOwner(exporter) with one positional argument: allocate and hold, as
// new and init would.  Every other form of call goes the general way, so its
// parsing and messages are the initialiser's own.
PyObject* owner_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1 || kwnames) {
        PyObject* positional = PyTuple_New(nargs);
        if (!positional) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional, i, Py_NewRef(args[i]));
        PyObject* keywords = nullptr;
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nkw) {
            keywords = PyDict_New();
            for (Py_ssize_t i = 0; keywords && i < nkw; ++i) {
                if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) Py_CLEAR(keywords);
            }
            if (!keywords) {
                Py_DECREF(positional);
                return nullptr;
            }
        }
        PyObject* result = PyType_Type.tp_call(callable, positional, keywords);
        Py_DECREF(positional);
        Py_XDECREF(keywords);
        return result;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    if (hold_view(as_owner(self), args[0]) != 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
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
vectorcallfunc buffer_owner_call() { return owner_call; }

}  // namespace divavova
