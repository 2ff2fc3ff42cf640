// The one way the store takes blocks from the heap: the tables' blocks, the
// target arrays and indexed target tables, the arena of the node texts, and
// the scratch of the batch operations all come through here, and all from
// malloc, so that one release serves every block.
//
// Test builds (QUORL_STORE_ALLOCATION_FAULTS) count these allocations and can
// make a chosen one fail, so that a test can walk every failure path of an
// operation; a shipped build compiles each of them to the plain allocator
// call.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
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

// A block of `n` bytes, aligned for any scalar; throws std::bad_alloc.
inline void* allocate(std::size_t n) {
    if (next_fails()) throw std::bad_alloc();
    void* block = std::malloc(n ? n : 1);
    if (!block) throw std::bad_alloc();
    return block;
}
// `block` (from allocate, or null) moved to `n` bytes, its first bytes kept;
// null when memory runs out, `block` then left as it was.
inline void* reallocate(void* block, std::size_t n) noexcept {
    return next_fails() ? nullptr : std::realloc(block, n ? n : 1);
}
inline void release(void* block) noexcept { std::free(block); }

// The one owner of a block from the heap: the block and what its holder
// keeps about it (`Extent`: its capacity, how much of it is filled, how a
// table lays it out), handed on together by a move, which leaves the source
// empty, and the block released when its owner goes. Every block of the
// store is held by one, but for the blocks of the tables in use, whose
// owners (OrderedTable, SmallTable) hand on more than the block when moved.
template <class Extent>
class Block {
public:
    Block() noexcept = default;
    // Takes over `data` (from allocate, or null).
    Block(void* data, Extent extent) noexcept : data_(data), extent_(extent) {}
    // A new block of `n` bytes; throws std::bad_alloc.
    static Block allocate(std::size_t n, Extent extent) { return Block(heap::allocate(n), extent); }

    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    Block(Block&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), extent_(std::exchange(other.extent_, Extent{})) {}
    Block& operator=(Block&& other) noexcept {
        if (this != &other) {
            release(data_);
            data_ = std::exchange(other.data_, nullptr);
            extent_ = std::exchange(other.extent_, Extent{});
        }
        return *this;
    }
    ~Block() { release(data_); }

    template <class T = void>
    T* data() const noexcept {
        return static_cast<T*>(data_);
    }
    explicit operator bool() const noexcept { return data_ != nullptr; }
    Extent& extent() noexcept { return extent_; }
    const Extent& extent() const noexcept { return extent_; }

    // Moves the block to `n` bytes, keeping its first bytes; throws
    // std::bad_alloc, leaving it as it was, when memory runs out.
    void resize(std::size_t n) {
        void* moved = reallocate(data_, n);
        if (!moved) throw std::bad_alloc();
        data_ = moved;
    }
    // Gives the block up to the caller, who releases it.
    void* take() noexcept {
        extent_ = Extent{};
        return std::exchange(data_, nullptr);
    }

private:
    void* data_ = nullptr;
    Extent extent_{};
};

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
