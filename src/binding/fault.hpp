// Internal faults: breaches of the module's own expectations. A fault is
// reported on standard error where it arises and then carried, as a C++
// exception of its own type, to the call frame, which alone catches it and
// turns it into the Python exception PanicException.
#pragma once

#include <source_location>
#include <string>

namespace quorl::binding {

struct InternalFault {
    std::string message;
};

// Reports the fault on standard error, then throws it.
[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());

// Throws a fault that has already been reported (a panic resumed from Python).
[[noreturn]] void resume_fault(std::string message);

// Writes the fatal report for a fault that escaped every frame, then aborts.
[[noreturn]] void abort_uncaught(const char* context) noexcept;

}  // namespace quorl::binding
