// PyErr: a Python exception that has not been raised yet. It is built lazily
// (exception type plus the recipe for its value) by the module's own checks,
// or taken from the interpreter; it becomes an exception object only when it
// is raised or inspected, and releases whatever it holds if it is dropped.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <source_location>
#include <string>
#include <variant>

#include "binding/refs.hpp"
#include "diff/result.hpp"

namespace quorl::binding {

class PyErr {
public:
    // An exception of the built-in type `type` whose single argument is `text`.
    static PyErr new_message(PyObject* type, std::string text);
    // TypeError "'<qualified name of obj's type>' object cannot be converted
    // to '<target>'"; the type name is read when the exception is made.
    static PyErr new_downcast(PyObject* obj, const char* target);
    // PanicException whose single argument is `message`.
    static PyErr new_panic(std::string message);
    // An exception as PyErr_Fetch leaves it.
    static PyErr from_fetched(Owned type, Owned value, Owned traceback);

    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;

    // Raises the error into the interpreter, always as a normalized exception.
    void restore() &&;

    // Normalise in place and read the parts (borrowed references).
    PyObject* type();
    PyObject* value();

    // Sets __cause__ of this error's value to the value of `cause`, or to
    // None when there is none.
    void set_cause(std::optional<PyErr> cause);
    // Raises a copy of the error and lets the interpreter print it.
    void print();
    // "PyErr { type: ..., value: ..., traceback: ... }"
    std::string debug_form();

private:
    struct Lazy {
        enum class Kind { Message, Downcast, Panic };
        Kind kind;
        PyObject* exception_type;  // a built-in exception type (Message only)
        Owned source_type;          // the type that failed to convert (Downcast only)
        const char* target;         // the expected type's name (Downcast only)
        std::string text;           // the message (Message and Panic)
    };
    struct Fetched {
        Owned type, value, traceback;
    };
    struct Normalized {
        Owned type, value, traceback;
    };
    struct Taken {};
    using State = std::variant<Taken, Lazy, Fetched, Normalized>;

    explicit PyErr(State state) noexcept : state_(std::move(state)) {}
    Normalized& normalized();
    // Makes the exception type and value of a lazy error, sets them as the
    // interpreter's pending exception, and fetches it back normalised.
    static Normalized materialize(Lazy&& lazy);

    State state_;
};

template <class T>
using PyResult = Result<T, PyErr>;

// The one way a failure is handed up: QUORL_TRY(value, expr) evaluates
// `expr`, a PyResult, and returns its error from the enclosing function if
// it failed; otherwise `value` names the value it holds. QUORL_CHECK(expr)
// does the same for a result whose value is not needed.
#define QUORL_TRY(var, expr)                                                  \
    auto var##_result = (expr);                                               \
    if (!var##_result) return ::quorl::fail(std::move(var##_result).error()); \
    auto&& var = *var##_result
#define QUORL_CHECK(expr)                                           \
    do {                                                            \
        if (auto quorl_checked = (expr); !quorl_checked) {          \
            return ::quorl::fail(std::move(quorl_checked).error()); \
        }                                                           \
    } while (false)

// Takes the pending exception out of the interpreter, if there is one. A
// PanicException coming back from Python code is not returned: its fault is
// resumed (after the interpreter has printed it), so that it travels on.
std::optional<PyErr> take_error();
// As take_error, but a missing exception becomes a SystemError.
PyErr fetch_error();
inline PyErr panic_error(std::string message) { return PyErr::new_panic(std::move(message)); }
inline PyErr downcast_error(PyObject* obj, const char* target) { return PyErr::new_downcast(obj, target); }

// The internal fault of an expectation on `err` that failed: its message is
// `text`, ": " and the debug form of `err`.
[[noreturn]] void raise_fault_with(const char* text, PyErr err,
                                   std::source_location where = std::source_location::current());

// An object-creating interpreter call returned nothing: print what is pending
// and raise the internal fault "Python API call failed".
[[noreturn]] void api_call_failed();

// Takes over the new reference of an object-creating call. Where the module
// cannot do without the object, a call that made nothing is an internal
// fault (expect_new); where the caller reports it, it is the error the call
// left pending (try_new).
inline Owned expect_new(PyObject* object) {
    if (!object) api_call_failed();
    return Owned::steal(object);
}
inline PyResult<Owned> try_new(PyObject* object) {
    if (!object) return fail(fetch_error());
    return Owned::steal(object);
}

// The pyo3_runtime.PanicException type, created on first use (borrowed).
PyObject* panic_type();

// str() or repr() of an object as UTF-8 text, lone surrogates replaced; when
// the call fails the failure is reported as unraisable and the text is
// "<unprintable T object>".
std::string display_text(PyObject* object, PyObject* (*render)(PyObject*) = PyObject_Str);

// ---- errors attributed to an argument ------------------------------------
//
// A conversion's error reaches the caller restated with the argument, or
// the item of a batch argument, that it came from in front of its message;
// its type and its cause stay.

// A conversion of argument `name` failed with `error`: an exact TypeError is
// restated as "argument '<name>': <message>"; any other error passes
// unchanged.
PyErr wrap_argument_error(const char* name, PyErr error);

// The error of item `index` of batch argument `name`: an exception of one
// of the interpreter's own classes whose single argument is its message is
// restated with "argument '<name>': item <index>: " in front; so is a
// UnicodeEncodeError, whose message is made from its parts: the prefix goes
// in front of its reason. Any other exception (a class of Python code's
// own, or one with other arguments) passes unchanged.
PyErr item_error(const char* name, std::size_t index, PyErr error);

}  // namespace quorl::binding
