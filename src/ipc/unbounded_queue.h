#pragma once

// An unbounded first-in-first-out queue between one producer thread and one
// consumer thread. Each end knows whether the other is still there: the
// consumer sees the queue closed once the sender is gone and every queued item
// has been taken; the producer's send fails once the receiver is gone.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

namespace ipc {

// Nothing queued (yet).
struct QueueEmpty {};
// The sender is gone and nothing is left.
struct QueueClosed {};

template <class T>
using Received = std::variant<T, QueueEmpty, QueueClosed>;

namespace queue_detail {

template <class T>
struct State {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<T> items;
    bool sender_alive = true;
    bool receiver_alive = true;
};

}  // namespace queue_detail

// The producing end. Move-only; destroying it closes the queue for the consumer.
template <class T>
class QueueSender {
public:
    explicit QueueSender(std::shared_ptr<queue_detail::State<T>> state)
        : state_(std::move(state)) {}
    QueueSender(QueueSender&&) noexcept = default;
    QueueSender& operator=(QueueSender&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    QueueSender(const QueueSender&) = delete;
    QueueSender& operator=(const QueueSender&) = delete;
    ~QueueSender() { release(); }

    // Queues `item` without waiting. Returns false, dropping the item, when the
    // receiver is gone.
    bool send(T item) {
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            if (!state_->receiver_alive) return false;
            state_->items.push_back(std::move(item));
        }
        state_->changed.notify_one();
        return true;
    }

private:
    void release() {
        if (!state_) return;
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            state_->sender_alive = false;
        }
        state_->changed.notify_all();
        state_.reset();
    }

    std::shared_ptr<queue_detail::State<T>> state_;
};

// The consuming end. Move-only; destroying it drops what is still queued and
// makes later sends fail.
template <class T>
class QueueReceiver {
public:
    explicit QueueReceiver(std::shared_ptr<queue_detail::State<T>> state)
        : state_(std::move(state)) {}
    QueueReceiver(QueueReceiver&&) noexcept = default;
    QueueReceiver& operator=(QueueReceiver&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    QueueReceiver(const QueueReceiver&) = delete;
    QueueReceiver& operator=(const QueueReceiver&) = delete;
    ~QueueReceiver() { release(); }

    // Makes every later send fail; what is queued stays to be taken.
    void close() {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->receiver_alive = false;
    }

    // The oldest item, without waiting.
    Received<T> try_recv() {
        std::lock_guard<std::mutex> guard(state_->lock);
        return take_locked();
    }

    // The oldest item, waiting up to `timeout` for one; QueueEmpty when none came.
    template <class Rep, class Period>
    Received<T> recv_timeout(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock<std::mutex> guard(state_->lock);
        state_->changed.wait_for(
            guard, timeout, [this] { return !state_->items.empty() || !state_->sender_alive; });
        return take_locked();
    }

private:
    Received<T> take_locked() {
        if (!state_->items.empty()) {
            T item = std::move(state_->items.front());
            state_->items.pop_front();
            return Received<T>(std::in_place_index<0>, std::move(item));
        }
        if (!state_->sender_alive) return QueueClosed{};
        return QueueEmpty{};
    }

    // Drops what is still queued one item at a time, outside the lock (an
    // item's destructor may take long) and without allocating: a std::deque
    // allocates even when empty, and a release runs in destructors.
    void release() noexcept {
        if (!state_) return;
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            state_->receiver_alive = false;
        }
        for (;;) {
            std::optional<T> dropped;
            std::lock_guard<std::mutex> guard(state_->lock);
            if (state_->items.empty()) break;
            dropped.emplace(std::move(state_->items.front()));
            state_->items.pop_front();
        }
        state_.reset();
    }

    std::shared_ptr<queue_detail::State<T>> state_;
};

// A new empty queue: its sending and its receiving end.
template <class T>
std::pair<QueueSender<T>, QueueReceiver<T>> make_unbounded_queue() {
    auto state = std::make_shared<queue_detail::State<T>>();
    return {QueueSender<T>(state), QueueReceiver<T>(state)};
}

}  // namespace ipc
