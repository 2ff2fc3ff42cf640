// The interpreter calls through which the module creates new objects. Every
// such call goes through here so that a test build can make the n-th of them
// fail (QUORL_FAULT_INJECTION) and prove that each failure path is clean.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

namespace quorl::binding::api {

#ifdef QUORL_FAULT_INJECTION
// True when the current object-creating call is to fail; sets MemoryError.
bool inject_failure() noexcept;
#define QUORL_INJECT(expr) (::quorl::binding::api::inject_failure() ? nullptr : (expr))
#else
#define QUORL_INJECT(expr) (expr)
#endif

inline PyObject* new_str(const char* data, Py_ssize_t size) noexcept {
    return QUORL_INJECT(PyUnicode_FromStringAndSize(data, size));
}
// A str of `size` ASCII characters, copied straight into its storage.
inline PyObject* new_ascii(const char* data, Py_ssize_t size) noexcept {
    PyObject* text = QUORL_INJECT(PyUnicode_New(size, 127));
    if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), data, static_cast<std::size_t>(size));
    return text;
}
// A shallow copy of a dict.
inline PyObject* copy_dict(PyObject* dict) noexcept { return QUORL_INJECT(PyDict_Copy(dict)); }
// An empty dict with room for `expected` entries, so filling it never resizes.
inline PyObject* new_dict_sized(Py_ssize_t expected) noexcept { return QUORL_INJECT(_PyDict_NewPresized(expected)); }
inline PyObject* new_list(Py_ssize_t size) noexcept { return QUORL_INJECT(PyList_New(size)); }
inline PyObject* new_tuple(Py_ssize_t size) noexcept { return QUORL_INJECT(PyTuple_New(size)); }
inline PyObject* new_float(double value) noexcept { return QUORL_INJECT(PyFloat_FromDouble(value)); }
inline PyObject* new_int(long value) noexcept { return QUORL_INJECT(PyLong_FromLong(value)); }
inline PyObject* new_uint64(std::uint64_t value) noexcept {
    return QUORL_INJECT(PyLong_FromUnsignedLongLong(value));
}
inline PyObject* new_int64(long long value) noexcept { return QUORL_INJECT(PyLong_FromLongLong(value)); }
inline PyObject* new_bytes(Py_ssize_t size) noexcept { return QUORL_INJECT(PyBytes_FromStringAndSize(nullptr, size)); }
// An interned str of NUL-terminated ASCII text.
inline PyObject* new_interned(const char* text) noexcept { return QUORL_INJECT(PyUnicode_InternFromString(text)); }
// A new, zeroed instance of `type` through its tp_alloc slot.
inline PyObject* new_instance(PyTypeObject* type) noexcept {
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    return QUORL_INJECT(alloc(type, 0));
}
inline PyObject* new_module(PyModuleDef* definition, int api_version) noexcept {
    return QUORL_INJECT(PyModule_Create2(definition, api_version));
}
inline PyObject* new_type(PyType_Spec* definition) noexcept { return QUORL_INJECT(PyType_FromSpec(definition)); }
// A capsule of `pointer` under `name` (which must outlive it), whose
// destructor runs when it goes.
inline PyObject* new_capsule(void* pointer, const char* name, PyCapsule_Destructor destructor) noexcept {
    return QUORL_INJECT(PyCapsule_New(pointer, name, destructor));
}

// An iterator over `obj`, and its next item (null at the end, with nothing
// raised, or on failure, with the error raised).
inline PyObject* get_iter(PyObject* obj) noexcept { return QUORL_INJECT(PyObject_GetIter(obj)); }
inline PyObject* iter_next(PyObject* iterator) noexcept { return QUORL_INJECT(PyIter_Next(iterator)); }

// The module `name`, as an import statement would give it.
inline PyObject* import_module(const char* name) noexcept { return QUORL_INJECT(PyImport_ImportModule(name)); }
inline PyObject* get_attr(PyObject* obj, const char* name) noexcept {
    return QUORL_INJECT(PyObject_GetAttrString(obj, name));
}
// callable(first, second)
inline PyObject* call2(PyObject* callable, PyObject* first, PyObject* second) noexcept {
    return QUORL_INJECT(PyObject_CallFunctionObjArgs(callable, first, second, nullptr));
}
// UnicodeEncodeError(encoding, object, start, end, reason)
inline PyObject* new_encode_error(PyObject* encoding, PyObject* object, Py_ssize_t start, Py_ssize_t end,
                                  PyObject* reason) noexcept {
    return QUORL_INJECT(
        PyObject_CallFunction(PyExc_UnicodeEncodeError, "OOnnO", encoding, object, start, end, reason));
}
// obj.name(), a method called without arguments.
inline PyObject* call_method(PyObject* obj, PyObject* name) noexcept {
    return QUORL_INJECT(PyObject_CallMethodObjArgs(obj, name, nullptr));
}
// UnicodeDecodeError(encoding, object, start, end, reason), its object the
// bytes `data` of `size`.
inline PyObject* new_decode_error(const char* encoding, const char* data, Py_ssize_t size, Py_ssize_t start,
                                  Py_ssize_t end, const char* reason) noexcept {
    return QUORL_INJECT(PyUnicodeDecodeError_Create(encoding, data, size, start, end, reason));
}
// A new sequence: `sequence` repeated `count` times.
inline PyObject* repeat(PyObject* sequence, Py_ssize_t count) noexcept {
    return QUORL_INJECT(PySequence_Repeat(sequence, count));
}

#undef QUORL_INJECT

}  // namespace quorl::binding::api
