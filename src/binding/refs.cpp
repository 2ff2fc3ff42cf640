#include "binding/refs.hpp"

#include <pthread.h>

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "binding/fault.hpp"
#include "binding/texts.hpp"

namespace quorl::binding {
namespace refs_detail {

constinit thread_local ThreadState tls{0, nullptr, PoolLife::NotSetUp};
constinit std::atomic<bool> changes_pending{false};

namespace {

using Pool = std::vector<PyObject*>;

// Where the thread's pool lives once it is set up: raw bytes, so that, like
// `tls`, reaching them needs no initialisation guard and registers nothing.
alignas(Pool) constinit thread_local unsigned char pool_storage[sizeof(Pool)];

// The thread-exit clean-up: the pool's storage is given back and the pool
// marked destroyed, for any frame that still runs on the thread after it.
void destroy_pool(void*) noexcept {
    std::destroy_at(tls.pool);
    tls.pool = nullptr;
    tls.life = PoolLife::Destroyed;
}

// The key whose destructor runs the clean-up on each thread that set up a
// pool, or null if none could be made. A key rather than a thread_local
// object with a destructor: the C library registers such a destructor with
// an allocation that ends the process when it fails, while setting a key's
// value reports the failure.
const pthread_key_t* cleanup_key() noexcept {
    static pthread_key_t key;
    static const bool made = pthread_key_create(&key, destroy_pool) == 0;
    return made ? &key : nullptr;
}

// Makes the C++ runtime's per-thread exception state exist. The runtime
// reaches it at the thread's first throw, and where the runtime is a shared
// library loaded with the module (libstdc++ in a build from source), its
// per-thread data is allocated then, by the C library, which ends the
// process if that fails. The first throw of a thread is often the
// std::bad_alloc of a call that has run out of memory, so the state is
// reached here, when the thread first enters the module:
// std::uncaught_exceptions() reads it in every runtime (libstdc++ through
// __cxa_get_globals, libc++abi through its thread-local globals), with no
// header of the runtime's own. (Its result is stored through a volatile so
// that the call is not dropped: it is declared without side effects.)
void prepare_exception_state() noexcept {
    [[maybe_unused]] volatile int uncaught = std::uncaught_exceptions();
}

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

// The thread's pool, set up on the thread's first frame (or temporary);
// null once it has been destroyed, or when it cannot be set up for lack of
// memory (it then stays NotSetUp).
std::vector<PyObject*>* set_up_pool() {
    if (tls.life == PoolLife::NotSetUp) {
        prepare_exception_state();
        // Any non-null value makes the key's destructor run at thread exit.
        const pthread_key_t* key = cleanup_key();
        if (!key || pthread_setspecific(*key, pool_storage) != 0) return nullptr;
        tls.pool = new (pool_storage) Pool();  // allocates nothing yet
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
