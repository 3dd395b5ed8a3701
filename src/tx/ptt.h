#pragma once

// PTT control: the driver interface every keying method implements.

#include "result.h"

namespace ptt {

// Keys and unkeys one radio channel's transmitter. Built on the main thread,
// moved to the transmit worker, which calls it from its own thread and
// releases it there: the destructor is the driver's release behaviour.
class PttDriver {
public:
    virtual ~PttDriver() = default;

    // Asserts PTT.
    virtual Status key() = 0;
    // Releases PTT.
    virtual Status unkey() = 0;
};

}  // namespace ptt
