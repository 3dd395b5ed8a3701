#pragma once

// Waiting in tests for another thread to reach a state.

#include <chrono>
#include <thread>

namespace test_support {

// Polls `done` every millisecond until it holds (true) or `guard` has passed
// (false). The guard only keeps a fault from hanging the test.
template <class F>
bool eventually(F done, std::chrono::milliseconds guard = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace test_support
