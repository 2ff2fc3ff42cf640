// The process's hash key, drawn as the program or module is loaded.
#include "diff/hash_key.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace quorl::diff {

// Zero until draw_hash_key below runs. constinit: a dynamic initialiser,
// which would run after it, must not put the zero back.
constinit HashKey hash_key{};

namespace key_sources {
namespace {

// Fills `n` bytes at `out` by calls of `read_some` (bytes read, or -1 with
// errno set), retrying when a signal interrupts one.
template <class ReadSome>
bool fill(void* out, std::size_t n, ReadSome read_some) noexcept {
    auto* at = static_cast<unsigned char*>(out);
    while (n > 0) {
        const long got = read_some(at, n);
        if (got > 0) {
            at += got;
            n -= static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

// splitmix64's finaliser: every input bit moves about half of the output's.
std::uint64_t mix(std::uint64_t x) noexcept {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

}  // namespace

std::optional<HashKey> from_getrandom() noexcept {
#if defined(__linux__) && defined(SYS_getrandom)
    // The C library's getrandom() wrapper is missing before glibc 2.25,
    // which the wheels must load on: the system call is made directly.
    constexpr unsigned kNonBlocking = 1;  // GRND_NONBLOCK
    HashKey key;
    if (fill(&key, sizeof key, [](unsigned char* at, std::size_t n) {
            return syscall(SYS_getrandom, at, n, kNonBlocking);
        })) {
        return key;
    }
#endif
    return std::nullopt;
}

std::optional<HashKey> from_urandom() noexcept {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    HashKey key;
    const bool read_all =
        fill(&key, sizeof key, [fd](unsigned char* at, std::size_t n) { return static_cast<long>(read(fd, at, n)); });
    close(fd);
    if (!read_all) return std::nullopt;
    return key;
}

HashKey from_clocks_and_addresses() noexcept {
    std::uint64_t state = 0;
    const auto add = [&state](std::uint64_t x) { state = mix(state ^ x); };
    for (const clockid_t clock : {CLOCK_REALTIME, CLOCK_MONOTONIC}) {
        timespec t{};
        (void)clock_gettime(clock, &t);
        add(static_cast<std::uint64_t>(t.tv_sec));
        add(static_cast<std::uint64_t>(t.tv_nsec));
    }
    add(static_cast<std::uint64_t>(getpid()));
    add(reinterpret_cast<std::uintptr_t>(&state));
    add(reinterpret_cast<std::uintptr_t>(&hash_key));
    add(reinterpret_cast<std::uintptr_t>(&from_clocks_and_addresses));
    return {mix(state ^ 1), mix(state ^ 2)};
}

HashKey draw() noexcept {
    // Runs inside the loading of the module: errno is left as found.
    const int saved_errno = errno;
    std::optional<HashKey> key = from_getrandom();
    if (!key) key = from_urandom();
    if (!key) key = from_clocks_and_addresses();
    errno = saved_errno;
    return *key;
}

}  // namespace key_sources

namespace {

// Runs as the program or module is loaded, before any dynamic initialiser
// (those have the default priority, 65535), before main, and before the
// loader hands the module to the interpreter: so before any table hashes,
// on one thread, once. The key is only read after, so it needs no lock.
[[gnu::constructor(101)]] void draw_hash_key() noexcept { hash_key = key_sources::draw(); }

}  // namespace
}  // namespace quorl::diff
