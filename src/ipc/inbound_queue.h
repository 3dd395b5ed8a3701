#pragma once

// The inbound queue from the "ipc-reader" thread to the main loop: first in
// first out, one producer and one consumer, bounded by the decoded size of the
// messages it holds. A parent that sends faster than the main loop takes makes
// the reader wait, and its writes then block in the socket; nothing is dropped
// and no order changes. The bound is by memory only (each message's decoded
// size, libprotobuf's SpaceUsedLong, plus what holding it in the queue costs),
// so that a parent writing a long burst without reading can never meet a
// count-based bound while the modem's own reports fill its socket.
//
// Each end knows whether the other is still there, as with the unbounded
// queue: the consumer sees the queue closed once the sender is gone and every
// event has been taken; the producer's send fails once the receiver is gone.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "ipc/inbound.h"
#include "ipc/unbounded_queue.h"

namespace ipc {

// Decoded bytes the queued messages may hold before the reader waits: far above
// any honest burst (hundreds of thousands of frames to transmit).
inline constexpr std::size_t kInboundQueueBytes = std::size_t{256} << 20;

// What holding one event in the queue costs beyond its message's
// SpaceUsedLong (which already counts the message object itself): the rest of
// its queue slot and the allocator's share of the queue's storage. Measured
// with a flood of empty frames, the cheapest item a parent can send: about
// 100 resident bytes each, of which SpaceUsedLong counts 32.
extern const std::size_t kInboundItemOverhead;

// What an event counts for in the queue's bound: the message's SpaceUsedLong
// and kInboundItemOverhead; the end events (one per connection) count nothing.
std::size_t inbound_size(const IpcInbound& event);

namespace inbound_detail {

struct Queued {
    IpcInbound event;
    std::size_t size;
};

struct State {
    explicit State(std::size_t limit) : limit(limit) {}

    std::mutex lock;
    std::condition_variable not_empty;  // an event arrived, or the sender went
    std::condition_variable has_room;   // an event was taken, or the receiver went
    std::deque<Queued> events;
    std::size_t queued_bytes = 0;
    const std::size_t limit;
    bool sender_alive = true;
    bool receiver_alive = true;
};

}  // namespace inbound_detail

// The reader's end. Move-only; destroying it closes the queue for the consumer.
class InboundSender {
public:
    explicit InboundSender(std::shared_ptr<inbound_detail::State> state);
    InboundSender(InboundSender&&) noexcept = default;
    InboundSender& operator=(InboundSender&& other) noexcept;
    InboundSender(const InboundSender&) = delete;
    InboundSender& operator=(const InboundSender&) = delete;
    ~InboundSender();

    // Queues `event` behind the others, first waiting while the events already
    // queued hold more than the limit (an event larger than the limit thus
    // still goes into an emptied queue). Returns false, dropping the event, when
    // the receiver is gone, also while waiting.
    bool send(IpcInbound event);

private:
    void release();

    std::shared_ptr<inbound_detail::State> state_;
};

// The main loop's end. Move-only; destroying it drops what is still queued and
// makes every send fail (a waiting one at once).
class InboundReceiver {
public:
    explicit InboundReceiver(std::shared_ptr<inbound_detail::State> state);
    InboundReceiver(InboundReceiver&&) noexcept = default;
    InboundReceiver& operator=(InboundReceiver&& other) noexcept;
    InboundReceiver(const InboundReceiver&) = delete;
    InboundReceiver& operator=(const InboundReceiver&) = delete;
    ~InboundReceiver();

    // The oldest event, without waiting.
    Received<IpcInbound> try_recv();

    // The oldest event, waiting up to `timeout` for one; QueueEmpty when none came.
    template <class Rep, class Period>
    Received<IpcInbound> recv_timeout(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock<std::mutex> guard(state_->lock);
        state_->not_empty.wait_for(
            guard, timeout, [this] { return !state_->events.empty() || !state_->sender_alive; });
        return take_locked(guard);
    }

    // The decoded size of the events waiting now.
    std::size_t queued_bytes() const;

private:
    Received<IpcInbound> take_locked(std::unique_lock<std::mutex>& guard);
    void release() noexcept;

    std::shared_ptr<inbound_detail::State> state_;
};

// A new empty inbound queue whose reader waits above `limit` queued bytes.
std::pair<InboundSender, InboundReceiver> make_inbound_queue(
    std::size_t limit = kInboundQueueBytes);

}  // namespace ipc
