// Reference bookkeeping: how deeply this thread is inside calls from the
// interpreter, a per-thread pool of temporary references released when the
// current call ends, and a process-wide pool of reference changes requested
// while no call was active (applied by the next call on any thread).
//
// `Owned` is the one way the module holds a strong reference: it releases it
// in its destructor, through release_ref, so every path gives it back.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <utility>

namespace quorl::binding {

// Length of the temporary pool when a frame began; empty once the thread's
// pool has been torn down at thread exit.
using PoolMark = std::optional<std::size_t>;

PoolMark enter_frame();
void leave_frame(PoolMark mark) noexcept;

void release_ref(PyObject* object) noexcept;
void retain_ref(PyObject* object) noexcept;
// Hands a strong reference to the current call; it is released when the
// outermost frame that is active now ends.
void pool_temporary(PyObject* object);

class Owned {
public:
    Owned() noexcept = default;
    // Takes over a new reference (may be null).
    static Owned steal(PyObject* object) noexcept { return Owned(object); }
    // Takes a further reference to a borrowed object.
    static Owned retain(PyObject* object) noexcept {
        if (object) retain_ref(object);
        return Owned(object);
    }

    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Owned() { reset(); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives up ownership: the caller now holds the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept {
        if (PyObject* object = std::exchange(object_, nullptr)) release_ref(object);
    }

private:
    explicit Owned(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quorl::binding
