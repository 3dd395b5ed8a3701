#pragma once

// What every receive source shares: the sample block, the bounded capture
// queue from a source to its consumer, and the AudioSource handle that the
// consumer keeps to stop the source.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/unbounded_queue.h"

namespace audio {

// Signed 16-bit mono samples of one channel, in time order. Any length.
using SampleBlock = std::vector<int16_t>;

// The capacity every consumer gives its capture queue.
inline constexpr std::size_t kCaptureQueueBlocks = 64;

// How long a waiting send sleeps at most before it looks at its stop flag.
inline constexpr std::chrono::milliseconds kSendSlice{100};

namespace capture_detail {

struct State {
    explicit State(std::size_t capacity) : capacity(capacity) {}

    std::mutex lock;
    std::condition_variable not_empty;  // a block arrived, or the last sender went
    std::condition_variable not_full;   // a block was taken, or the receiver went
    std::deque<SampleBlock> blocks;
    const std::size_t capacity;
    std::size_t senders = 1;
    bool receiver_alive = true;
    uint32_t sample_rate = 0;            // announced by a source that learns it late
    std::optional<std::string> failure;  // why the source ended, when it failed
    // Blocks try-sends dropped because the queue was full; atomic so that the
    // consumer can read it without the lock.
    std::atomic<uint64_t> dropped{0};
};

}  // namespace capture_detail

// What a waiting send ended with.
enum class SendResult {
    Sent,     // the block is queued
    Closed,   // the receiver is gone; the block is dropped
    Stopped,  // the stop flag was set while the queue stayed full; the block is dropped
};

// A sending end of a capture queue. Copies share the queue; the receiver sees
// the queue closed once the last copy is gone and every block has been taken.
class CaptureSender {
public:
    explicit CaptureSender(std::shared_ptr<capture_detail::State> state)
        : state_(std::move(state)) {}
    CaptureSender(const CaptureSender& other) : state_(other.state_) {
        if (state_) {
            std::lock_guard<std::mutex> guard(state_->lock);
            ++state_->senders;
        }
    }
    CaptureSender(CaptureSender&& other) noexcept = default;
    CaptureSender& operator=(const CaptureSender& other) {
        if (this != &other) *this = CaptureSender(other);
        return *this;
    }
    CaptureSender& operator=(CaptureSender&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~CaptureSender() { release(); }

    // Queues `block` without waiting. False, dropping the block, when the queue
    // is full (counted, see CaptureReceiver::dropped) or the receiver is gone.
    bool try_send(SampleBlock block) {
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            if (!state_->receiver_alive) return false;
            if (state_->blocks.size() >= state_->capacity) {
                state_->dropped.fetch_add(1, std::memory_order_relaxed);
                return false;
            }
            state_->blocks.push_back(std::move(block));
        }
        state_->not_empty.notify_one();
        return true;
    }

    // Queues `block`, waiting while the queue is full. The wait looks at `stop`
    // at least every kSendSlice and ends at once when the receiver goes.
    SendResult send(SampleBlock block, const std::atomic<bool>& stop) {
        {
            std::unique_lock<std::mutex> guard(state_->lock);
            for (;;) {
                if (!state_->receiver_alive) return SendResult::Closed;
                if (state_->blocks.size() < state_->capacity) break;
                if (stop.load(std::memory_order_relaxed)) return SendResult::Stopped;
                state_->not_full.wait_for(guard, kSendSlice);
            }
            state_->blocks.push_back(std::move(block));
        }
        state_->not_empty.notify_one();
        return SendResult::Sent;
    }

    // Announces the rate of the blocks that follow, for a source that learns
    // it only once running: a receiver that has taken one of them sees it.
    void announce_rate(uint32_t sample_rate) {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->sample_rate = sample_rate;
    }

    // Records why the source is ending (the first text is kept); the receiver
    // sees it once the queue is closed.
    void fail(std::string text) {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (!state_->failure) state_->failure = std::move(text);
    }

private:
    void release() {
        if (!state_) return;
        bool last = false;
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            last = --state_->senders == 0;
        }
        if (last) state_->not_empty.notify_all();
        state_.reset();
    }

    std::shared_ptr<capture_detail::State> state_;
};

// The receiving end of a capture queue. Move-only; destroying it drops what is
// still queued and makes every send fail (a waiting send returns Closed).
class CaptureReceiver {
public:
    explicit CaptureReceiver(std::shared_ptr<capture_detail::State> state)
        : state_(std::move(state)) {}
    CaptureReceiver(CaptureReceiver&&) noexcept = default;
    CaptureReceiver& operator=(CaptureReceiver&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    CaptureReceiver(const CaptureReceiver&) = delete;
    CaptureReceiver& operator=(const CaptureReceiver&) = delete;
    ~CaptureReceiver() { release(); }

    // The oldest block, without waiting.
    ipc::Received<SampleBlock> try_recv() {
        std::unique_lock<std::mutex> guard(state_->lock);
        return take_locked(guard);
    }

    // The oldest block, waiting up to `timeout` for one; QueueEmpty when none came.
    template <class Rep, class Period>
    ipc::Received<SampleBlock> recv_timeout(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock<std::mutex> guard(state_->lock);
        state_->not_empty.wait_for(guard, timeout, [this] {
            return !state_->blocks.empty() || state_->senders == 0;
        });
        return take_locked(guard);
    }

    // The rate a source announced, 0 if none did.
    uint32_t sample_rate() const {
        std::lock_guard<std::mutex> guard(state_->lock);
        return state_->sample_rate;
    }

    // The failure a source recorded before it let go of the queue, if any.
    std::optional<std::string> failure() const {
        std::lock_guard<std::mutex> guard(state_->lock);
        return state_->failure;
    }

    // How many blocks try-sends have dropped on a full queue so far.
    uint64_t dropped() const { return state_->dropped.load(std::memory_order_relaxed); }

private:
    ipc::Received<SampleBlock> take_locked(std::unique_lock<std::mutex>& guard) {
        if (!state_->blocks.empty()) {
            SampleBlock block = std::move(state_->blocks.front());
            state_->blocks.pop_front();
            guard.unlock();
            state_->not_full.notify_one();
            return ipc::Received<SampleBlock>(std::in_place_index<0>, std::move(block));
        }
        if (state_->senders == 0) return ipc::QueueClosed{};
        return ipc::QueueEmpty{};
    }

    // Drops the queued blocks one at a time outside the lock: a release runs in
    // destructors and must not need memory (an empty deque allocates).
    void release() noexcept {
        if (!state_) return;
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            state_->receiver_alive = false;
        }
        state_->not_full.notify_all();
        for (;;) {
            SampleBlock dropped;
            std::lock_guard<std::mutex> guard(state_->lock);
            if (state_->blocks.empty()) break;
            dropped = std::move(state_->blocks.front());
            state_->blocks.pop_front();
        }
        state_.reset();
    }

    std::shared_ptr<capture_detail::State> state_;
};

// A new empty capture queue holding at most `capacity` blocks.
inline std::pair<CaptureSender, CaptureReceiver> make_capture_queue(
    std::size_t capacity = kCaptureQueueBlocks) {
    auto state = std::make_shared<capture_detail::State>(capacity);
    return {CaptureSender(state), CaptureReceiver(state)};
}

// The handle of a running source of any kind. Dropping it lets the source
// thread go without stopping it (the thread is detached); stop_and_join stops it.
struct AudioSource {
    AudioSource(std::shared_ptr<std::atomic<bool>> stop, std::thread thread, uint32_t sample_rate)
        : stop(std::move(stop)), thread(std::move(thread)), sample_rate(sample_rate) {}
    AudioSource(AudioSource&&) noexcept = default;
    AudioSource& operator=(AudioSource&& other) noexcept {
        if (this != &other) {
            if (thread.joinable()) thread.detach();
            stop = std::move(other.stop);
            thread = std::move(other.thread);
            sample_rate = other.sample_rate;
        }
        return *this;
    }
    ~AudioSource() {
        if (thread.joinable()) thread.detach();
    }

    std::shared_ptr<std::atomic<bool>> stop;  // set by the owner to end the source
    std::thread thread;                      // the source thread, until joined
    uint32_t sample_rate = 0;                // rate actually delivered, Hz
};

// Sets the source's stop flag and waits for its thread to end.
inline void stop_and_join(AudioSource& source) {
    if (source.stop) source.stop->store(true, std::memory_order_relaxed);
    if (source.thread.joinable()) source.thread.join();
}

}  // namespace audio
