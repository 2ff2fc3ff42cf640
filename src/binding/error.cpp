#include "binding/error.hpp"

#include <cstdio>
#include <utility>

#include "binding/api.hpp"
#include "binding/fault.hpp"
#include "binding/process_state.hpp"

namespace quorl::binding {
namespace {

Owned make_str(const std::string& text) {
    return expect_new(api::new_str(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// UTF-8 of a str, with anything that cannot be encoded (lone surrogates)
// replaced by U+FFFD.
std::string utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(data, static_cast<size_t>(size));
    PyErr_Clear();
    Owned raw = Owned::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!raw) {
        PyErr_Clear();
        return "\xEF\xBF\xBD";
    }
    Owned repaired = Owned::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    const char* data = repaired ? PyUnicode_AsUTF8AndSize(repaired.get(), &size) : nullptr;
    if (!data) {
        PyErr_Clear();
        return "\xEF\xBF\xBD";
    }
    return std::string(data, static_cast<size_t>(size));
}

// The qualified name of a type, for conversion errors.
std::string qualified_name(PyObject* type) {
    PyObject* name = interned_name(process_state.qualname_name, texts::kQualnameName);
    Owned qualname = Owned::steal(PyObject_GetAttr(type, name));
    Py_ssize_t size = 0;
    const char* data = nullptr;
    if (qualname && PyUnicode_Check(qualname.get())) data = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
    if (!data) {
        PyErr_Clear();
        return texts::kUnknownTypeName;
    }
    return std::string(data, static_cast<size_t>(size));
}

// The pending exception as PyErr_Fetch leaves it; all null when none is.
struct Pending {
    Owned type, value, traceback;
};
Pending fetch_pending() {
    PyObject* t = nullptr;
    PyObject* v = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    return Pending{Owned::steal(t), Owned::steal(v), Owned::steal(tb)};
}

// The fetched exception as an error value; a SystemError when there was none.
PyErr error_from(Pending pending) {
    if (!pending.type) return PyErr::new_message(PyExc_SystemError, texts::kNoExceptionSet);
    return PyErr::from_fetched(std::move(pending.type), std::move(pending.value), std::move(pending.traceback));
}

// `restated` with the cause of the exception `original` as its own (None
// when that has none).
PyErr with_cause_of(PyErr restated, PyObject* original) {
    PyException_SetCause(restated.value(), PyException_GetCause(original));  // steals the cause
    return restated;
}

// The UnicodeEncodeError `error` (a text that UTF-8 cannot encode) made
// again with `prefix` in front of its reason, the one part of its message
// that is free text: its encoding, object and positions stay as they are,
// and so does its cause. Unchanged if its parts cannot be read.
PyErr restated_encode_error(const std::string& prefix, PyErr error) {
    PyObject* value = error.value();
    Owned encoding = Owned::steal(PyUnicodeEncodeError_GetEncoding(value));
    Owned object = Owned::steal(PyUnicodeEncodeError_GetObject(value));
    Owned reason = Owned::steal(PyUnicodeEncodeError_GetReason(value));
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
    if (!encoding || !object || !reason || PyUnicodeEncodeError_GetStart(value, &start) != 0 ||
        PyUnicodeEncodeError_GetEnd(value, &end) != 0) {
        PyErr_Clear();
        return error;
    }
    Owned prefixed = make_str(prefix + display_text(reason.get()));
    Owned restated = expect_new(api::new_encode_error(encoding.get(), object.get(), start, end, prefixed.get()));
    return with_cause_of(PyErr::from_fetched(Owned::retain(PyExc_UnicodeEncodeError), std::move(restated), Owned()),
                         value);
}

bool is_exception_class(PyObject* type) {
    return PyType_Check(type) && PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

}  // namespace

std::string display_text(PyObject* object, PyObject* (*render)(PyObject*)) {
    Owned text = Owned::steal(render(object));
    if (text) return utf8_lossy(text.get());
    PyErr_WriteUnraisable(object);
    return texts::unprintable(Py_TYPE(object)->tp_name);
}

PyErr PyErr::new_message(PyObject* type, std::string text) {
    return PyErr(Lazy{Lazy::Kind::Message, type, Owned(), nullptr, std::move(text)});
}

PyErr PyErr::new_downcast(PyObject* obj, const char* target) {
    return PyErr(Lazy{Lazy::Kind::Downcast, nullptr, Owned::retain(reinterpret_cast<PyObject*>(Py_TYPE(obj))), target, {}});
}

PyErr PyErr::new_panic(std::string message) {
    return PyErr(Lazy{Lazy::Kind::Panic, nullptr, Owned(), nullptr, std::move(message)});
}

PyErr PyErr::from_fetched(Owned type, Owned value, Owned traceback) {
    return PyErr(Fetched{std::move(type), std::move(value), std::move(traceback)});
}

PyErr::Normalized PyErr::materialize(Lazy&& lazy) {
    Owned type;
    Owned value;
    switch (lazy.kind) {
        case Lazy::Kind::Message:
            type = Owned::retain(lazy.exception_type);
            value = make_str(lazy.text);
            break;
        case Lazy::Kind::Downcast: {
            type = Owned::retain(PyExc_TypeError);
            const std::string name = qualified_name(lazy.source_type.get());
            lazy.source_type.reset();
            value = make_str(texts::downcast(name, lazy.target));
            break;
        }
        case Lazy::Kind::Panic: {
            type = Owned::retain(panic_type());
            Owned message = make_str(lazy.text);
            value = expect_new(api::new_tuple(1));
            PyTuple_SET_ITEM(value.get(), 0, message.release());
            break;
        }
    }
    if (is_exception_class(type.get())) {
        PyErr_SetObject(type.get(), value.get());
    } else {
        PyErr_SetString(PyExc_TypeError, texts::kNotAnException);
    }
    type.reset();
    value.reset();
    PyObject* t = nullptr;
    PyObject* v = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    return Normalized{Owned::steal(t), Owned::steal(v), Owned::steal(tb)};
}

void PyErr::restore() && {
    State state = std::exchange(state_, Taken{});
    if (std::holds_alternative<Taken>(state)) raise_fault(texts::kInvalidErrorState);
    if (auto* lazy = std::get_if<Lazy>(&state)) {
        Normalized made = materialize(std::move(*lazy));
        PyErr_Restore(made.type.release(), made.value.release(), made.traceback.release());
    } else if (auto* fetched = std::get_if<Fetched>(&state)) {
        PyErr_Restore(fetched->type.release(), fetched->value.release(), fetched->traceback.release());
    } else {
        auto& normalized = std::get<Normalized>(state);
        PyErr_Restore(normalized.type.release(), normalized.value.release(), normalized.traceback.release());
    }
}

PyErr::Normalized& PyErr::normalized() {
    if (auto* done = std::get_if<Normalized>(&state_)) return *done;
    State state = std::exchange(state_, Taken{});
    Normalized result;
    if (auto* lazy = std::get_if<Lazy>(&state)) {
        result = materialize(std::move(*lazy));
    } else if (auto* fetched = std::get_if<Fetched>(&state)) {
        PyObject* t = fetched->type.release();
        PyObject* v = fetched->value.release();
        PyObject* tb = fetched->traceback.release();
        PyErr_NormalizeException(&t, &v, &tb);
        result = Normalized{Owned::steal(t), Owned::steal(v), Owned::steal(tb)};
    } else {
        raise_fault(texts::kNormalizingTwice);
    }
    if (!result.type) raise_fault(texts::kExceptionTypeMissing);
    if (!result.value) raise_fault(texts::kExceptionValueMissing);
    state_ = std::move(result);
    return std::get<Normalized>(state_);
}

PyObject* PyErr::type() { return normalized().type.get(); }
PyObject* PyErr::value() { return normalized().value.get(); }

void PyErr::set_cause(std::optional<PyErr> cause) {
    PyObject* target = value();
    PyObject* cause_value = cause ? Owned::retain(cause->value()).release() : nullptr;
    PyException_SetCause(target, cause_value);  // steals cause_value
}

void PyErr::print() {
    Normalized& n = normalized();
    PyErr_Restore(Owned::retain(n.type.get()).release(), Owned::retain(n.value.get()).release(),
                  Owned::retain(n.traceback.get()).release());
    PyErr_PrintEx(0);
}

std::string PyErr::debug_form() {
    const PyGILState_STATE gil = PyGILState_Ensure();
    Normalized& n = normalized();
    const std::string type = display_text(n.type.get(), PyObject_Repr);
    const std::string value = display_text(n.value.get(), PyObject_Repr);
    const std::string traceback = n.traceback ? display_text(n.traceback.get(), PyObject_Repr) : std::string();
    std::string text = texts::error_debug_form(type, value, n.traceback ? &traceback : nullptr);
    PyGILState_Release(gil);
    return text;
}

void raise_fault_with(const char* text, PyErr err, std::source_location where) {
    raise_fault(texts::fault_with_error(text, err.debug_form()), where);
}

PyObject* panic_type() {
    return filled_once(process_state.panic_type, [] {
        PyObject* made = PyErr_NewExceptionWithDoc(texts::kPanicName, texts::kPanicDoc, PyExc_BaseException, nullptr);
        // The failure is taken as it stands: it cannot be a PanicException,
        // and take_error would ask for this type again.
        if (!made) raise_fault_with(texts::kPanicTypeFailed, error_from(fetch_pending()));
        return Owned::steal(made);
    });
}

std::optional<PyErr> take_error() {
    Pending pending = fetch_pending();
    if (!pending.type) return std::nullopt;
    if (pending.type.get() == panic_type()) {
        std::string message = texts::kUnwrappedPanic;
        if (pending.value) {
            if (Owned text = Owned::steal(PyObject_Str(pending.value.get()))) {
                message = utf8_lossy(text.get());
            } else {
                PyErr_Clear();
            }
        }
        std::fputs(texts::kResumingPanicHeader, stderr);
        std::fflush(stderr);
        PyErr_Restore(pending.type.release(), pending.value.release(), pending.traceback.release());
        PyErr_PrintEx(0);
        resume_fault(std::move(message));
    }
    return error_from(std::move(pending));
}

PyErr fetch_error() {
    if (std::optional<PyErr> err = take_error()) return std::move(*err);
    return error_from(Pending{});
}

void api_call_failed() {
    PyErr_Print();
    raise_fault(texts::kApiCallFailed);
}

PyErr wrap_argument_error(const char* name, PyErr error) {
    if (error.type() != PyExc_TypeError) return error;
    PyObject* value = error.value();
    return with_cause_of(PyErr::new_message(PyExc_TypeError, texts::argument_error(name, display_text(value))), value);
}

PyErr item_error(const char* name, std::size_t index, PyErr error) {
    PyObject* type = error.type();
    PyObject* value = error.value();
    if (type == PyExc_UnicodeEncodeError) {
        return restated_encode_error(texts::item_error(name, index, ""), std::move(error));
    }
    if (PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_HEAPTYPE)) return error;
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(value)->args;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 1 || !PyUnicode_Check(PyTuple_GET_ITEM(args, 0))) {
        return error;
    }
    // The interpreter's own exception classes live as long as it does.
    return with_cause_of(PyErr::new_message(type, texts::item_error(name, index, display_text(value))), value);
}

}  // namespace quorl::binding
