// What the allocator hands out for a block, for the memory figure a diff
// reports about itself (GraphDiff::heap_bytes).
#pragma once

#include <cstddef>

namespace quorl::diff {

// The bytes a request for `n` bytes takes from the heap, modelled on glibc's
// malloc, which serves both malloc and operator new here: the request plus
// an 8-byte header, rounded up to a multiple of 16, and never less than 32.
// A block large enough to be mapped on its own (128 KiB and more, by
// default) is rounded up to a page instead; the model is then short by less
// than a page, and a diff holds only a few such blocks. No request, no bytes.
constexpr std::size_t allocated_bytes(std::size_t n) noexcept {
    if (n == 0) return 0;
    const std::size_t rounded = (n + 8 + 15) & ~std::size_t{15};
    return rounded < 32 ? 32 : rounded;
}

static_assert(allocated_bytes(1) == 32 && allocated_bytes(24) == 32 && allocated_bytes(25) == 48);

}  // namespace quorl::diff
