// What the allocator hands out for a block, for the memory figure a diff
// reports about itself (GraphDiff::heap_bytes), and the guard that keeps a
// running figure of it.
#pragma once

#include <cstddef>

namespace quorl::diff {

// Bytes of bookkeeping glibc's malloc keeps in front of each block.
inline constexpr std::size_t kBlockHeader = 8;

// The bytes a request for `n` bytes takes from the heap, modelled on glibc's
// malloc, which serves both malloc and operator new here: the request plus
// its header, rounded up to a multiple of 16, and never less than 32.
// A block large enough to be mapped on its own (128 KiB and more, by
// default) is rounded up to a page instead; the model is then short by less
// than a page, and a diff holds only a few such blocks. No request, no bytes.
constexpr std::size_t allocated_bytes(std::size_t n) noexcept {
    if (n == 0) return 0;
    const std::size_t rounded = (n + kBlockHeader + 15) & ~std::size_t{15};
    return rounded < 32 ? 32 : rounded;
}

// The bytes a block requested with `n` bytes can hold: what it takes from
// the heap less its header.
constexpr std::size_t usable_bytes(std::size_t n) noexcept { return allocated_bytes(n) - kBlockHeader; }

static_assert(allocated_bytes(1) == 32 && allocated_bytes(24) == 32 && allocated_bytes(25) == 48);
static_assert(usable_bytes(40) == 40 && usable_bytes(41) == 56);

// Adds to a running heap figure what `owner`'s heap_bytes() gains or loses
// between the guard's construction and the end of its scope, however the
// scope ends (a failed allocation included).
template <class Owner>
class HeapChange {
public:
    HeapChange(std::size_t& figure, const Owner& owner) noexcept
        : figure_(figure), owner_(owner), before_(owner.heap_bytes()) {}
    HeapChange(const HeapChange&) = delete;
    HeapChange& operator=(const HeapChange&) = delete;
    // Unsigned arithmetic: an owner that shrank takes its loss off.
    ~HeapChange() { figure_ += owner_.heap_bytes() - before_; }

private:
    std::size_t& figure_;
    const Owner& owner_;
    std::size_t before_;
};

}  // namespace quorl::diff
