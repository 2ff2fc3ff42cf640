// Asking the processor to start loading memory ahead of its use.
#pragma once

namespace quorl::diff {

// Starts loading the cache line at `address`.
//
// A function whose only effect is a prefetch must be always_inline, as this
// one and every one that calls it only to prefetch is: GCC counts such a
// function, where it is not inlined early, as pure, and then deletes every
// call to it whose result is unused, which is every call.
[[gnu::always_inline]] inline void prefetch_line(const void* address) noexcept { __builtin_prefetch(address); }

}  // namespace quorl::diff
