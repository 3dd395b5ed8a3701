#pragma once

// The timestamp_ns of outbound messages: wall-clock time in nanoseconds since
// the Unix epoch.

#include <chrono>
#include <cstdint>

namespace ipc {

// Nanoseconds of `t` since the Unix epoch; 0 for a time before the epoch.
uint64_t timestamp_ns_at(std::chrono::system_clock::time_point t);

// The current wall-clock time as timestamp_ns.
uint64_t timestamp_ns();

}  // namespace ipc
