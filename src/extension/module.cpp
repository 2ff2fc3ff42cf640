// The module's one exported symbol: PyInit_quorl_api creates the module,
// publishes PyGraphDiff in it and lists it in __all__, beside the private
// function _restore that pickles of a diff call. A process initialises it at
// most once.
#include <Python.h>

#include "binding/api.hpp"
#include "binding/attribute_dict.hpp"
#include "binding/frame.hpp"
#include "binding/process_state.hpp"
#ifdef QUORL_FAULT_INJECTION
#include "binding/fault_injection.hpp"
#endif
#include "extension/diff_table.hpp"
#include "extension/graph_diff_object.hpp"
#include "extension/graph_diff_protocols.hpp"

namespace quorl::extension {
namespace {

namespace texts = binding::texts;
using binding::Owned;
using binding::process_state;
using binding::PyErr;
using binding::PyResult;

PyMethodDef g_functions[] = {
    {texts::kRestore.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restore)),
     METH_FASTCALL | METH_KEYWORDS, texts::kRestore.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    texts::kModuleName,
    texts::kModuleDoc,
    0,
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* all_name() { return binding::interned_name(process_state.all_name, texts::kAllName); }

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
    QUORL_TRY(type, graph_diff_type());
    Owned name = binding::expect_new(binding::api::new_str(texts::kClassName, sizeof texts::kClassName - 1));
    Owned type_ref = Owned::retain(reinterpret_cast<PyObject*>(type));

    QUORL_TRY(all, all_list(module));
    if (PyList_Append(all, name.get()) < 0) {
        binding::raise_fault_with(texts::kAppendToAllFailed, binding::fetch_error());
    }
    if (PyObject_SetAttr(module, name.get(), type_ref.get()) < 0) return fail(binding::fetch_error());
    return std::monostate{};
}

// Publishes the tables' type under its name, outside __all__: tables come
// from a diff's methods, and the name serves isinstance and typing.
PyResult<std::monostate> add_table_type(PyObject* module) {
    QUORL_TRY(type, diff_table_type());
    if (PyObject_SetAttrString(module, texts::kTableClassName, reinterpret_cast<PyObject*>(type)) < 0) {
        return fail(binding::fetch_error());
    }
    return std::monostate{};
}

// Keeps the module's _restore, made with the module from its function table,
// for the pickles of diffs to name: pickle checks that the function it
// records is the one the module holds under that name. The last step of
// making the module, so that a module whose making failed, and which an
// import that follows replaces, leaves no function of its own here.
PyResult<std::monostate> keep_restore_function(PyObject* module) {
    Owned function = Owned::steal(PyObject_GetAttrString(module, texts::kRestore.name));
    if (!function) return fail(binding::fetch_error());
    (void)binding::filled_once(process_state.restore_function, [&] { return std::move(function); });
    return std::monostate{};
}

// A new module with its class and its pickle hook, or the error that
// stopped it (the new module is then released).
PyResult<Owned> make_module() {
    QUORL_TRY(module, binding::try_new(binding::api::new_module(&g_module_def, 1013)));
    QUORL_CHECK(add_class(module.get()));
    QUORL_CHECK(add_table_type(module.get()));
    // The attribute dicts' keys, made now so that reading a dict can tell
    // them by address from the start.
    for (const diff::AttributeRow& row : diff::kAttributes) (void)binding::attribute_key_object(row.attribute);
#ifdef QUORL_FAULT_INJECTION
    if (binding::install_fault_injection(module.get()) < 0) return fail(binding::fetch_error());
#endif
    QUORL_CHECK(keep_restore_function(module.get()));
    return std::move(module);
}

PyResult<Owned> initialise() {
    if (process_state.module) return fail(PyErr::new_message(PyExc_ImportError, texts::kInitialisedOnce));
    // The cell keeps the module's first reference; the caller gets another.
    QUORL_TRY(module, binding::filled_once(process_state.module, make_module));
    return Owned::retain(module);
}

}  // namespace
}  // namespace quorl::extension

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quorl_api() {
    return quorl::binding::run_in_frame(quorl::extension::initialise);
}
