/* The floor of the benchmark: a class whose methods are registered with the
 * same calling conventions as PyGraphDiff's (fast call with keywords taking
 * two or three arguments, and no arguments) and do nothing else. Timing a
 * call to it measures what crossing from Python into native code costs at
 * all, which no method of the real module can go below.
 *
 * Each method checks its argument count, as any method must, and returns
 * None (or the small int 0 for the counter). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
    PyObject_HEAD
} FloorObject;

static PyObject* wrong_arguments(const char* name) {
    PyErr_Format(PyExc_TypeError, "Floor.%s() got the wrong arguments", name);
    return NULL;
}

#define FLOOR_FASTCALL(name, count)                                                                    \
    static PyObject* floor_##name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,            \
                                  PyObject* kwnames) {                                                 \
        (void)self;                                                                                    \
        (void)args;                                                                                    \
        Py_ssize_t given = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);                          \
        if (given != (count)) return wrong_arguments(#name);                                          \
        Py_RETURN_NONE;                                                                                \
    }

FLOOR_FASTCALL(add_node, 2)
FLOOR_FASTCALL(add_edge, 3)
FLOOR_FASTCALL(delete_edge, 2)
FLOOR_FASTCALL(delete_node, 1)

static PyObject* floor_num_nodes(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    return PyLong_FromLong(0);
}

static PyObject* floor_clear(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    Py_RETURN_NONE;
}

#define FASTCALL_KW (METH_FASTCALL | METH_KEYWORDS)

static PyMethodDef floor_methods[] = {
    {"add_node", (PyCFunction)(void (*)(void))floor_add_node, FASTCALL_KW, NULL},
    {"add_edge", (PyCFunction)(void (*)(void))floor_add_edge, FASTCALL_KW, NULL},
    {"delete_edge", (PyCFunction)(void (*)(void))floor_delete_edge, FASTCALL_KW, NULL},
    {"delete_node", (PyCFunction)(void (*)(void))floor_delete_node, FASTCALL_KW, NULL},
    {"num_nodes", floor_num_nodes, METH_NOARGS, NULL},
    {"clear", floor_clear, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject FloorType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "quorl_floor.Floor",
    .tp_basicsize = sizeof(FloorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = floor_methods,
    .tp_new = PyType_GenericNew,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "quorl_floor", NULL, -1, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_quorl_floor(void) {
    if (PyType_Ready(&FloorType) < 0) return NULL;
    PyObject* module = PyModule_Create(&floor_module);
    if (!module) return NULL;
    Py_INCREF(&FloorType);
    if (PyModule_AddObject(module, "Floor", (PyObject*)&FloorType) < 0) {
        Py_DECREF(&FloorType);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
