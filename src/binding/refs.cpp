#include "binding/refs.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "binding/fault.hpp"

namespace quorl::binding {
namespace {

// Per-thread state. The pool's destructor runs at thread exit; afterwards the
// thread keeps no temporaries (there is no frame left to release them).
struct OwnedObjectPool {
    enum class Life { NotSetUp, Live, Destroyed };
    std::vector<PyObject*> objects;
    Life life = Life::NotSetUp;
    ~OwnedObjectPool() { life = Life::Destroyed; }
};

thread_local Py_ssize_t gil_depth = 0;
// Function-local so that its destructor is registered the first time the
// thread uses it, not at thread start.
OwnedObjectPool& owned_pool() {
    thread_local OwnedObjectPool pool;
    if (pool.life == OwnedObjectPool::Life::NotSetUp) pool.life = OwnedObjectPool::Life::Live;
    return pool;
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
    if (gil_depth < 0) {
        raise_fault(gil_depth == -1
                        ? "Access to the GIL is prohibited while a __traverse__ implmentation is running."
                        : "Access to the GIL is currently prohibited.");
    }
    ++gil_depth;
    apply_pending();
    OwnedObjectPool& pool = owned_pool();
    if (pool.life == OwnedObjectPool::Life::Destroyed) return std::nullopt;
    return pool.objects.size();
}

void leave_frame(PoolMark mark) noexcept {
    if (mark) {
        OwnedObjectPool& pool = owned_pool();
        const std::size_t end = pool.objects.size();
        // Releasing may run code that enters a nested frame; such a frame
        // marks the pool past our entries and cuts it back to that mark
        // before it returns, so our entries stay where they are meanwhile.
        for (std::size_t i = *mark; i < end; ++i) Py_DECREF(pool.objects[i]);
        pool.objects.resize(*mark);
    }
    --gil_depth;
}

bool in_frame() noexcept { return gil_depth >= 1; }

void release_ref(PyObject* object) noexcept {
    if (gil_depth >= 1) {
        Py_DECREF(object);
    } else {
        defer(object, false);
    }
}

void retain_ref(PyObject* object) noexcept {
    if (gil_depth >= 1) {
        Py_INCREF(object);
    } else {
        defer(object, true);
    }
}

void pool_temporary(PyObject* object) {
    OwnedObjectPool& pool = owned_pool();
    if (pool.life == OwnedObjectPool::Life::Destroyed) return;
    pool.objects.push_back(object);
}

}  // namespace quorl::binding
