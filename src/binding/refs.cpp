#include "binding/refs.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "binding/fault.hpp"
#include "binding/texts.hpp"

namespace quorl::binding {
namespace refs_detail {

constinit thread_local ThreadState tls{0, nullptr, PoolLife::NotSetUp};
constinit std::atomic<bool> changes_pending{false};

namespace {

struct PoolCleanup {
    std::vector<PyObject*> objects;
    ~PoolCleanup() {
        tls.life = PoolLife::Destroyed;
        tls.pool = nullptr;
    }
};

// Reference changes requested by threads outside any frame.
struct PendingRefPool {
    std::mutex mutex;
    std::vector<PyObject*> increments;
    std::vector<PyObject*> decrements;
};
PendingRefPool& pending_pool() {
    static PendingRefPool* pool = new PendingRefPool;  // never destroyed: threads may outlive statics
    return *pool;
}

}  // namespace

// The thread's pool, or null once it has been destroyed.
std::vector<PyObject*>* set_up_pool() {
    if (tls.life == PoolLife::NotSetUp) {
        thread_local PoolCleanup cleanup;
        tls.pool = &cleanup.objects;
        tls.life = PoolLife::Live;
    }
    return tls.pool;
}

void gil_access_prohibited(Py_ssize_t depth) {
    raise_fault(depth == -1 ? texts::kGilProhibitedInTraverse : texts::kGilProhibited);
}

void release_pooled(std::vector<PyObject*>& pool, std::size_t mark) noexcept {
    const std::size_t end = pool.size();
    // Releasing may run code that enters a nested frame; such a frame marks
    // the pool past our entries and cuts it back to that mark before it
    // returns, so our entries stay where they are meanwhile.
    for (std::size_t i = mark; i < end; ++i) Py_DECREF(pool[i]);
    pool.resize(mark);
}

void defer(PyObject* object, bool increment) {
    PendingRefPool& pool = pending_pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    (increment ? pool.increments : pool.decrements).push_back(object);
    changes_pending.store(true, std::memory_order_release);
}

void apply_pending() {
    PendingRefPool& pool = pending_pool();
    std::vector<PyObject*> increments;
    std::vector<PyObject*> decrements;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        increments.swap(pool.increments);
        decrements.swap(pool.decrements);
        changes_pending.store(false, std::memory_order_relaxed);
    }
    // Counts change only after the mutex is released, so no deallocation
    // (which may run arbitrary code) happens under it.
    for (PyObject* object : increments) Py_INCREF(object);
    for (PyObject* object : decrements) Py_DECREF(object);
}

}  // namespace refs_detail

void pool_temporary(PyObject* object) {
    if (std::vector<PyObject*>* pool = refs_detail::set_up_pool()) pool->push_back(object);
}

}  // namespace quorl::binding
