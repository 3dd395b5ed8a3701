#include "ipc/inbound_queue.h"

#include <optional>
#include <variant>

namespace ipc {

const std::size_t kInboundItemOverhead = 68;

std::size_t inbound_size(const IpcInbound& event) {
    const auto* message = std::get_if<IpcInbound::Message>(&event.event);
    return message == nullptr ? 0 : message->message.SpaceUsedLong() + kInboundItemOverhead;
}

InboundSender::InboundSender(std::shared_ptr<inbound_detail::State> state)
    : state_(std::move(state)) {}

InboundSender& InboundSender::operator=(InboundSender&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

InboundSender::~InboundSender() {
    release();
}

bool InboundSender::send(IpcInbound event) {
    // Measured before the lock: it walks the whole message.
    const std::size_t size = inbound_size(event);
    {
        std::unique_lock<std::mutex> guard(state_->lock);
        state_->has_room.wait(guard, [this] {
            return !state_->receiver_alive || state_->queued_bytes <= state_->limit;
        });
        if (!state_->receiver_alive) return false;
        state_->events.push_back(inbound_detail::Queued{std::move(event), size});
        state_->queued_bytes += size;
    }
    state_->not_empty.notify_one();
    return true;
}

void InboundSender::release() {
    if (!state_) return;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->sender_alive = false;
    }
    state_->not_empty.notify_all();
    state_.reset();
}

InboundReceiver::InboundReceiver(std::shared_ptr<inbound_detail::State> state)
    : state_(std::move(state)) {}

InboundReceiver& InboundReceiver::operator=(InboundReceiver&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

InboundReceiver::~InboundReceiver() {
    release();
}

Received<IpcInbound> InboundReceiver::try_recv() {
    std::unique_lock<std::mutex> guard(state_->lock);
    return take_locked(guard);
}

std::size_t InboundReceiver::queued_bytes() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->queued_bytes;
}

Received<IpcInbound> InboundReceiver::take_locked(std::unique_lock<std::mutex>& guard) {
    if (!state_->events.empty()) {
        inbound_detail::Queued queued = std::move(state_->events.front());
        state_->events.pop_front();
        state_->queued_bytes -= queued.size;
        guard.unlock();
        state_->has_room.notify_one();
        return Received<IpcInbound>(std::in_place_index<0>, std::move(queued.event));
    }
    if (!state_->sender_alive) return QueueClosed{};
    return QueueEmpty{};
}

// Drops the queued events one at a time outside the lock: a release runs in
// destructors and must not need memory (an empty deque allocates).
void InboundReceiver::release() noexcept {
    if (!state_) return;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->receiver_alive = false;
        state_->queued_bytes = 0;
    }
    state_->has_room.notify_all();
    for (;;) {
        std::optional<inbound_detail::Queued> dropped;
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->events.empty()) break;
        dropped.emplace(std::move(state_->events.front()));
        state_->events.pop_front();
    }
    state_.reset();
}

std::pair<InboundSender, InboundReceiver> make_inbound_queue(std::size_t limit) {
    auto state = std::make_shared<inbound_detail::State>(limit);
    return {InboundSender(state), InboundReceiver(state)};
}

}  // namespace ipc
