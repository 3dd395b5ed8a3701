#pragma once

// A thread of the modem's own for one kind of one-shot request (device
// listings, or input-level scans). Its requests are jobs taken one at a time
// in arrival order, so a parent that sends many of them at once costs one
// thread and a queue, never a thread each.
//
// Only the owner (the main thread) posts; the jobs run on the thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace modem {

class OneShotThread {
public:
    // A job gets the thread's stop token: every wait of a long job watches it
    // (std::condition_variable_any takes it), and a job stopped does not answer.
    using Job = std::function<void(std::stop_token)>;

    // `name` is the thread's, cut to the 15 bytes the system keeps. Nothing
    // starts until the first job.
    explicit OneShotThread(std::string_view name);

    // Asks the job in hand to stop, drops the jobs still queued and joins the
    // thread: it returns once the job in hand reaches its next stop-aware wait
    // (which then ends at once) or its end.
    ~OneShotThread();

    OneShotThread(const OneShotThread&) = delete;
    OneShotThread& operator=(const OneShotThread&) = delete;

    // Queues `job` behind the others, starting the thread with the first one.
    // False, the job dropped, when the thread cannot start or memory is short.
    bool post(Job job) noexcept;

private:
    void run(std::stop_token stop) noexcept;

    const std::string name_;
    std::mutex lock_;
    std::condition_variable_any wake_;
    std::deque<Job> jobs_;
    // Last, so that it stops and joins before the queue goes.
    std::jthread thread_;
};

}  // namespace modem
