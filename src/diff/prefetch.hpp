// Asking the processor to start loading memory ahead of its use.
#pragma once

namespace quorl::diff {

// Starts loading the cache line at `address`. The empty volatile asm is the
// side effect that keeps the request alive: GCC counts a function whose only
// effect is a prefetch as pure, and then deletes every call to it whose
// result is unused, which is every call. No instruction comes of the asm.
[[gnu::always_inline]] inline void prefetch_line(const void* address) noexcept {
    __builtin_prefetch(address);
    asm volatile("");
}

}  // namespace quorl::diff
