#include "binding/fault.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace quorl::binding {
namespace {

const char* thread_name() noexcept {
    return getpid() == static_cast<pid_t>(syscall(SYS_gettid)) ? "main" : "<unnamed>";
}

}  // namespace

void raise_fault(std::string message, std::source_location where) {
    std::fprintf(stderr, "thread '%s' panicked at '%s', %s:%u:%u\n", thread_name(), message.c_str(),
                 where.file_name(), static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
    std::fflush(stderr);
    throw InternalFault{std::move(message)};
}

void resume_fault(std::string message) { throw InternalFault{std::move(message)}; }

void abort_uncaught(const char* context) noexcept {
    std::fprintf(stderr, "fatal runtime error: %s\n", context);
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorl::binding
