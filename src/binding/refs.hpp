// Reference bookkeeping: how deeply this thread is inside calls from the
// interpreter, a per-thread pool of temporary references released when the
// current call ends, and a process-wide pool of reference changes requested
// while no call was active (applied by the next call on any thread).
//
// `Owned` is the one way the module holds a strong reference: it releases it
// in its destructor, through release_ref, so every path gives it back.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorl::binding {

// Length of the temporary pool when a frame began; empty once the thread's
// pool has been torn down at thread exit.
using PoolMark = std::optional<std::size_t>;

namespace refs_detail {

// Per-thread state, kept trivially destructible and constant-initialised so
// that reaching it is a plain thread-local access with no initialisation
// guard. The pool's storage is set up on first use, together with a
// clean-up that marks the pool destroyed when the thread exits. Setting up
// can fail only for lack of memory; the pool then stays NotSetUp, and the
// next frame tries again.
enum class PoolLife : unsigned char { NotSetUp, Live, Destroyed };
struct ThreadState {
    Py_ssize_t gil_depth;
    std::vector<PyObject*>* pool;
    PoolLife life;
};
static_assert(std::is_trivially_destructible_v<ThreadState>);
extern constinit thread_local ThreadState tls;

// Set while reference changes requested outside any frame wait to be
// applied, so that a frame looks at the pending pool only then.
extern constinit std::atomic<bool> changes_pending;

[[noreturn]] void gil_access_prohibited(Py_ssize_t depth);
void apply_pending();
std::vector<PyObject*>* set_up_pool();
void release_pooled(std::vector<PyObject*>& pool, std::size_t mark) noexcept;
void defer(PyObject* object, bool increment);

}  // namespace refs_detail

// The common paths are inline: every call from the interpreter passes
// through a frame, and every Owned through these.
[[gnu::always_inline]] inline PoolMark enter_frame() {
    refs_detail::ThreadState& state = refs_detail::tls;
    if (state.gil_depth < 0) refs_detail::gil_access_prohibited(state.gil_depth);
    ++state.gil_depth;
    if (refs_detail::changes_pending.load(std::memory_order_acquire)) refs_detail::apply_pending();
    std::vector<PyObject*>* pool =
        state.life == refs_detail::PoolLife::Live ? state.pool : refs_detail::set_up_pool();
    if (!pool) return std::nullopt;
    return pool->size();
}

// Whether the frame that `mark` began could not set up this thread's
// bookkeeping (for lack of memory): such a frame runs nothing and raises
// MemoryError.
[[gnu::always_inline]] inline bool set_up_failed(PoolMark mark) noexcept {
    return !mark && refs_detail::tls.life == refs_detail::PoolLife::NotSetUp;
}

[[gnu::always_inline]] inline void leave_frame(PoolMark mark) noexcept {
    refs_detail::ThreadState& state = refs_detail::tls;
    if (mark && state.pool->size() != *mark) refs_detail::release_pooled(*state.pool, *mark);
    --state.gil_depth;
}

[[gnu::always_inline]] inline void release_ref(PyObject* object) noexcept {
    if (refs_detail::tls.gil_depth >= 1) {
        Py_DECREF(object);
    } else {
        refs_detail::defer(object, false);
    }
}

[[gnu::always_inline]] inline void retain_ref(PyObject* object) noexcept {
    if (refs_detail::tls.gil_depth >= 1) {
        Py_INCREF(object);
    } else {
        refs_detail::defer(object, true);
    }
}
// Hands a strong reference to the current call: it is released when the
// innermost frame active now ends, since every frame, nested or not,
// releases at its end what was pooled after it began (leave_frame).
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
