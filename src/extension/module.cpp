// The module's one exported symbol: PyInit_quorl_api creates the module,
// publishes PyGraphDiff in it and lists it in __all__. A process initialises
// it at most once.
#include <Python.h>

#include "binding/api.hpp"
#include "binding/frame.hpp"
#ifdef QUORL_FAULT_INJECTION
#include "binding/fault_injection.hpp"
#endif
#include "extension/graph_diff_object.hpp"

namespace quorl::extension {
namespace {

namespace texts = binding::texts;
using binding::Owned;
using binding::PyErr;
using binding::PyResult;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    texts::kModuleName,
    texts::kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;    // one reference, set by the first successful initialisation
PyObject* g_all_name = nullptr;  // the interned "__all__"

PyObject* all_name() {
    if (!g_all_name) {
        PyObject* name =
            binding::expect_new(binding::api::new_str(texts::kAllName, sizeof texts::kAllName - 1)).release();
        PyUnicode_InternInPlace(&name);
        g_all_name = name;
    }
    return g_all_name;
}

// The module's __all__ list, created empty if the module has none.
PyResult<PyObject*> all_list(PyObject* module) {
    Owned all = Owned::steal(PyObject_GetAttr(module, all_name()));
    if (!all) {
        PyErr error = binding::fetch_error();
        if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return fail(std::move(error));
        all = binding::expect_new(binding::api::new_list(0));
        if (PyObject_SetAttr(module, all_name(), all.get()) < 0) return fail(binding::fetch_error());
    } else if (!PyList_Check(all.get())) {
        return fail(binding::downcast_error(all.get(), texts::kPyList));
    }
    return all.get();  // the module keeps it alive
}

PyResult<std::monostate> add_class(PyObject* module) {
    auto type = graph_diff_type();
    if (!type) return fail(std::move(type).error());
    Owned name = binding::expect_new(binding::api::new_str(texts::kClassName, sizeof texts::kClassName - 1));
    Owned type_ref = Owned::retain(reinterpret_cast<PyObject*>(*type));

    auto all = all_list(module);
    if (!all) return fail(std::move(all).error());
    if (PyList_Append(*all, name.get()) < 0) {
        binding::raise_fault_with(texts::kAppendToAllFailed, binding::fetch_error());
    }
    if (PyObject_SetAttr(module, name.get(), type_ref.get()) < 0) return fail(binding::fetch_error());
    return std::monostate{};
}

PyResult<Owned> initialise() {
    if (g_module) {
        return fail(PyErr::new_message(PyExc_ImportError, texts::kInitialisedOnce));
    }
    Owned module = Owned::steal(binding::api::new_module(&g_module_def, 1013));
    if (!module) return fail(binding::fetch_error());
    auto added = add_class(module.get());
    if (!added) return fail(std::move(added).error());  // the new module is released
#ifdef QUORL_FAULT_INJECTION
    if (binding::install_fault_injection(module.get()) < 0) return fail(binding::fetch_error());
#endif
    g_module = Owned::retain(module.get()).release();
    return module;
}

}  // namespace
}  // namespace quorl::extension

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quorl_api() {
    return quorl::binding::run_in_frame(quorl::extension::initialise);
}
