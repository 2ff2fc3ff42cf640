// Where the process's hash key (uuid.hpp) comes from. Only the loading of
// the program or module draws it; the sources are named here for tests.
#pragma once

#include <optional>

#include "diff/uuid.hpp"

namespace quorl::diff::key_sources {

// The kernel's random pool, by the getrandom system call (Linux 3.17 and
// later), without waiting: nothing early in boot, before the pool is
// ready, or where the call is missing.
std::optional<HashKey> from_getrandom() noexcept;
// The same pool read from /dev/urandom, which never waits: nothing where
// the file cannot be opened or read (a chroot without /dev, no descriptor
// left).
std::optional<HashKey> from_urandom() noexcept;
// The last resort, which cannot fail: the clocks, the process id and the
// addresses at which the loader placed the stack and this code, mixed.
HashKey from_clocks_and_addresses() noexcept;

// The first of the three that gives a key.
HashKey draw() noexcept;

}  // namespace quorl::diff::key_sources
