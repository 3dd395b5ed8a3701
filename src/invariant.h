#pragma once

// Broken invariants: faults of the program itself, never of its input or its
// devices. The one way to report one is invariant::broken, which writes the
// report on standard error and unwinds with BrokenInvariant. On the main thread
// the unwinding reaches quillmar_modem::main, so every owner's teardown runs on
// the way (sinks closed, PTT drivers released) before the process ends with
// status 101; on any other thread it ends that thread at its top.

#include <stdexcept>
#include <string>
#include <string_view>

namespace invariant {

// Exit status of a process ended by a broken invariant.
inline constexpr int kExitStatus = 101;

class BrokenInvariant : public std::runtime_error {
public:
    explicit BrokenInvariant(const std::string& report) : std::runtime_error(report) {}
};

// Writes `report` and a newline on standard error, then throws BrokenInvariant.
[[noreturn]] void broken(std::string_view report);

}  // namespace invariant
