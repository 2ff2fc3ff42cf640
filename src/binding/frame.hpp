// The frame every call from the interpreter passes through: it opens and
// closes the reference bookkeeping, raises a returned PyErr, and traps
// internal faults so that none crosses into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <utility>

#include "binding/error.hpp"
#include "binding/fault.hpp"
#include "binding/refs.hpp"
#include "binding/texts.hpp"

namespace quorl::binding {

namespace frame_detail {

// Raises `err`. Making its exception object can itself fail: when the
// interpreter cannot create the message, that is an internal fault (already
// reported), and the call ends with PanicException carrying the fault's
// message instead; should even that not be made, with MemoryError. Running
// out of memory while raising an error never ends the process.
inline void restore_or_fallback(PyErr err) noexcept {
    try {
        std::move(err).restore();
        return;
    } catch (InternalFault& fault) {
        try {
            panic_error(std::move(fault.message)).restore();
            return;
        } catch (...) {
        }
    } catch (...) {
    }
    PyErr_NoMemory();
}

// Runs `body` and hands a successful result to `on_value`, returning true.
// Otherwise raises what the body ended with (a returned PyErr, an internal
// fault as PanicException, an exhausted heap as MemoryError) and returns
// false. Nothing is built for the failure unless there is one.
template <class Body, class OnValue>
[[gnu::always_inline]] inline bool run_body(Body& body, OnValue&& on_value) noexcept {
    try {
        auto result = body();
        if (result) {
            on_value(std::move(result));
            return true;
        }
        restore_or_fallback(std::move(result).error());
    } catch (InternalFault& fault) {
        restore_or_fallback(panic_error(std::move(fault.message)));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        restore_or_fallback(panic_error(other.what()));
    } catch (...) {
        // A fault that carries no text.
        restore_or_fallback(panic_error(texts::kPanicWithoutMessage));
    }
    return false;
}

}  // namespace frame_detail

// Runs a body returning PyResult<Owned>; returns the new reference, or null
// with the exception raised (MemoryError, without running the body, when the
// thread's first frame cannot set up its bookkeeping).
template <class Body>
[[gnu::always_inline]] inline PyObject* run_in_frame(Body&& body) noexcept {
    try {
        const PoolMark mark = enter_frame();
        PyObject* result = nullptr;
        if (set_up_failed(mark)) [[unlikely]] {
            PyErr_NoMemory();
        } else {
            frame_detail::run_body(body, [&](auto&& value) { result = value->release(); });
        }
        leave_frame(mark);
        return result;
    } catch (...) {
        abort_uncaught(texts::kFfiBoundary);
    }
}

// Runs a body returning PyResult<std::monostate>; a failure is reported with
// PyErr_WriteUnraisable(context) and goes no further. The body runs even
// when the thread's bookkeeping could not be set up: it frees what it is
// given, and keeps no temporaries.
template <class Body>
void run_in_frame_unraisable(Body&& body, PyObject* context) noexcept {
    try {
        const PoolMark mark = enter_frame();
        if (!frame_detail::run_body(body, [](auto&&) {})) PyErr_WriteUnraisable(context);
        leave_frame(mark);
    } catch (...) {
        abort_uncaught(texts::kFfiBoundary);
    }
}

}  // namespace quorl::binding
