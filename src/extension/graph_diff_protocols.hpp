// PyGraphDiff's part in Python's object protocols: pickling, copies,
// sys.getsizeof and repr, with the module function that rebuilds a pickled
// diff. A pickle or a copy of a diff goes through its byte string, which
// holds everything but the NaN and infinite node sizes (written as null,
// read back absent); those travel beside it and are put back as it is read.
#pragma once

#include <Python.h>

namespace quorl::extension {

// __reduce__(): (quorl_api._restore, (data,)), or (quorl_api._restore,
// (data, sizes)) when there are sizes the bytes leave out.
PyObject* reduce(PyObject* self, PyObject*);
// __copy__() and __deepcopy__(memo): a new PyGraphDiff equal to `self`.
PyObject* copy(PyObject* self, PyObject*);
PyObject* deep_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// __sizeof__(): the object and every heap block its diff owns.
PyObject* size_of(PyObject* self, PyObject*);
// The type's tp_repr: the counts, never the contents.
PyObject* repr(PyObject* self);

// quorl_api._restore(data, sizes=()): the module function that rebuilds a
// pickled diff (METH_FASTCALL | METH_KEYWORDS).
PyObject* restore(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorl::extension
