// Test builds only (QUORL_STORE_ALLOCATION_FAULTS): the counter behind
// heap::next_fails; see heap.hpp.
#include "diff/heap.hpp"

namespace quorl::diff::heap::faults {
namespace {

long long g_fail_at = -1;  // index of the allocation to fail; negative when disarmed
long long g_count = 0;     // allocations since the last (dis)arming

}  // namespace

long long fail_after(long long n) noexcept {
    const long long counted = g_count;
    g_fail_at = n < 0 ? -1 : n;
    g_count = 0;
    return counted;
}

bool next_fails() noexcept { return g_count++ == g_fail_at; }

}  // namespace quorl::diff::heap::faults
