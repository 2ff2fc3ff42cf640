#include "binding/refs.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "binding/fault.hpp"

namespace quorl::binding {
namespace {

// Per-thread state, kept trivially destructible so that reaching it is a
// plain thread-local access with no initialisation guard. The pool's storage
// is set up on first use, together with a clean-up that marks the pool
// destroyed when the thread exits.
enum class PoolLife : unsigned char { NotSetUp, Live, Destroyed };
struct ThreadState {
    Py_ssize_t gil_depth;
    std::vector<PyObject*>* pool;
    PoolLife life;
};
thread_local ThreadState tls{0, nullptr, PoolLife::NotSetUp};

struct PoolCleanup {
    std::vector<PyObject*> objects;
    ~PoolCleanup() {
        tls.life = PoolLife::Destroyed;
        tls.pool = nullptr;
    }
};

// The thread's pool, or null once it has been destroyed.
std::vector<PyObject*>* owned_pool() {
    if (tls.life == PoolLife::NotSetUp) {
        thread_local PoolCleanup cleanup;
        tls.pool = &cleanup.objects;
        tls.life = PoolLife::Live;
    }
    return tls.pool;
}

// Reference changes requested by threads outside any frame. `has_pending`
// lets a frame skip the mutex when nothing is waiting.
struct PendingRefPool {
    std::mutex mutex;
    std::vector<PyObject*> increments;
    std::vector<PyObject*> decrements;
    std::atomic<bool> has_pending{false};
};
PendingRefPool& pending_pool() {
    static PendingRefPool* pool = new PendingRefPool;  // never destroyed: threads may outlive statics
    return *pool;
}

void defer(PyObject* object, bool increment) {
    PendingRefPool& pool = pending_pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    (increment ? pool.increments : pool.decrements).push_back(object);
    pool.has_pending.store(true, std::memory_order_release);
}

void apply_pending() {
    PendingRefPool& pool = pending_pool();
    if (!pool.has_pending.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> increments;
    std::vector<PyObject*> decrements;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        increments.swap(pool.increments);
        decrements.swap(pool.decrements);
        pool.has_pending.store(false, std::memory_order_relaxed);
    }
    // Counts change only after the mutex is released, so no deallocation
    // (which may run arbitrary code) happens under it.
    for (PyObject* object : increments) Py_INCREF(object);
    for (PyObject* object : decrements) Py_DECREF(object);
}

}  // namespace

PoolMark enter_frame() {
    if (tls.gil_depth < 0) {
        raise_fault(tls.gil_depth == -1
                        ? "Access to the GIL is prohibited while a __traverse__ implmentation is running."
                        : "Access to the GIL is currently prohibited.");
    }
    ++tls.gil_depth;
    apply_pending();
    std::vector<PyObject*>* pool = owned_pool();
    if (!pool) return std::nullopt;
    return pool->size();
}

void leave_frame(PoolMark mark) noexcept {
    if (mark) {
        std::vector<PyObject*>& pool = *tls.pool;
        const std::size_t end = pool.size();
        // Releasing may run code that enters a nested frame; such a frame
        // marks the pool past our entries and cuts it back to that mark
        // before it returns, so our entries stay where they are meanwhile.
        for (std::size_t i = *mark; i < end; ++i) Py_DECREF(pool[i]);
        pool.resize(*mark);
    }
    --tls.gil_depth;
}

void release_ref(PyObject* object) noexcept {
    if (tls.gil_depth >= 1) {
        Py_DECREF(object);
    } else {
        defer(object, false);
    }
}

void retain_ref(PyObject* object) noexcept {
    if (tls.gil_depth >= 1) {
        Py_INCREF(object);
    } else {
        defer(object, true);
    }
}

void pool_temporary(PyObject* object) {
    if (std::vector<PyObject*>* pool = owned_pool()) pool->push_back(object);
}

}  // namespace quorl::binding
