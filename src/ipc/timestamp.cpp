#include "ipc/timestamp.h"

namespace ipc {

uint64_t timestamp_ns_at(std::chrono::system_clock::time_point t) {
    const auto since_epoch = t.time_since_epoch();
    if (since_epoch.count() < 0) return 0;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    return ns < 0 ? 0 : static_cast<uint64_t>(ns);
}

uint64_t timestamp_ns() {
    return timestamp_ns_at(std::chrono::system_clock::now());
}

}  // namespace ipc
