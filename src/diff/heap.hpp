// The one way the store takes blocks from the heap: the tables' blocks, the
// target arrays and indexed target tables, and the scratch of the batch
// operations all come through here.
//
// Test builds (QUORL_STORE_ALLOCATION_FAULTS) count these allocations and can
// make a chosen one fail, so that a test can walk every failure path of an
// operation; a shipped build compiles each of them to the plain allocator
// call.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

namespace quorl::diff::heap {

#ifdef QUORL_STORE_ALLOCATION_FAULTS
namespace faults {
// Arms the failure: after `n` further allocations, the next one fails, and
// only that one; a negative `n` disarms it. Returns the number of
// allocations made since the previous call. Not thread-safe: the store is
// used from one thread at a time, and so are its tests.
long long fail_after(long long n) noexcept;
// Counts one allocation; true when it is the one to fail.
bool next_fails() noexcept;
}  // namespace faults
inline bool next_fails() noexcept { return faults::next_fails(); }
#else
constexpr bool next_fails() noexcept { return false; }
#endif

// A block of `n` bytes, with operator new's alignment; throws std::bad_alloc.
inline void* allocate(std::size_t n) {
    if (next_fails()) throw std::bad_alloc();
#ifdef QUORL_STORE_ALLOCATION_FAULTS
    // Test builds take every block from malloc, so that a test may count the
    // allocations made through operator new (the node texts) on its own.
    void* block = std::malloc(n ? n : 1);
    if (!block) throw std::bad_alloc();
    return block;
#else
    return ::operator new(n);
#endif
}
inline void release(void* block) noexcept {
#ifdef QUORL_STORE_ALLOCATION_FAULTS
    std::free(block);
#else
    ::operator delete(block);
#endif
}

// Blocks that grow with realloc: null on failure, as malloc gives them.
inline void* allocate_raw(std::size_t n) noexcept { return next_fails() ? nullptr : std::malloc(n); }
inline void* reallocate_raw(void* block, std::size_t n) noexcept {
    return next_fails() ? nullptr : std::realloc(block, n);
}
inline void release_raw(void* block) noexcept { std::free(block); }

// An object of type T made in a block of its own; released with destroy.
template <class T>
T* make() {
    void* block = allocate(sizeof(T));
    return ::new (block) T();
}
template <class T>
void destroy(T* object) noexcept {
    if (!object) return;
    object->~T();
    release(object);
}

// The standard containers' allocator, for the scratch of batch operations.
template <class T>
struct Allocator {
    using value_type = T;
    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(heap::allocate(n * sizeof(T)));
    }
    void deallocate(T* block, std::size_t) noexcept { release(block); }
    template <class U>
    friend bool operator==(const Allocator&, const Allocator<U>&) noexcept {
        return true;
    }
};

template <class T>
using Vector = std::vector<T, Allocator<T>>;

}  // namespace quorl::diff::heap
