#pragma once

// Takes what a sample source delivers, for tests of the sources.

#include <gtest/gtest.h>

#include <chrono>
#include <variant>
#include <vector>

#include "audio/sample_queue.h"

namespace test_support {

using SteadyClock = std::chrono::steady_clock;

// One block as taken, with the instant it was taken.
struct TakenBlock {
    audio::SampleBlock samples;
    SteadyClock::time_point at;
};

// What a receiver gave until its queue closed (or the hang guard ran out).
struct Drained {
    std::vector<TakenBlock> blocks;
    bool closed = false;
    SteadyClock::time_point closed_at;

    std::vector<size_t> sizes() const {
        std::vector<size_t> out;
        for (const auto& b : blocks) out.push_back(b.samples.size());
        return out;
    }
    audio::SampleBlock samples() const {
        audio::SampleBlock out;
        for (const auto& b : blocks) out.insert(out.end(), b.samples.begin(), b.samples.end());
        return out;
    }
};

// Takes blocks until the queue closes; gives up after `guard` (then closed is false).
inline Drained drain(audio::CaptureReceiver& receiver,
                     std::chrono::milliseconds guard = std::chrono::seconds(20)) {
    Drained out;
    const auto give_up = SteadyClock::now() + guard;
    while (SteadyClock::now() < give_up) {
        auto got = receiver.recv_timeout(std::chrono::milliseconds(50));
        if (auto* block = std::get_if<0>(&got)) {
            out.blocks.push_back({std::move(*block), SteadyClock::now()});
        } else if (std::holds_alternative<ipc::QueueClosed>(got)) {
            out.closed = true;
            out.closed_at = SteadyClock::now();
            return out;
        }
    }
    return out;
}

// The next block, waiting up to `guard`; a closed queue or no block in time
// fails the test and gives an empty block.
inline audio::SampleBlock next_block(audio::CaptureReceiver& receiver,
                                     std::chrono::milliseconds guard = std::chrono::seconds(10)) {
    auto got = receiver.recv_timeout(guard);
    if (auto* block = std::get_if<0>(&got)) return std::move(*block);
    ADD_FAILURE() << (std::holds_alternative<ipc::QueueClosed>(got) ? "queue closed"
                                                                    : "no block in time");
    return {};
}

// True when the queue is closed and holds nothing: no sender is left.
inline bool closed_at_once(audio::CaptureReceiver& receiver) {
    return std::holds_alternative<ipc::QueueClosed>(receiver.try_recv());
}

}  // namespace test_support
