#include "modem/one_shot.h"

#include <pthread.h>

#include <exception>
#include <utility>

#include <fmt/format.h>

#include "audio/soundcard_stream.h"

namespace modem {

namespace {

// The longest thread name the system takes, its terminating zero aside.
constexpr size_t kThreadNameBytes = 15;

void report_stop(const std::string& name, const char* what) noexcept {
    try {
        soundcard::log_to_stderr(fmt::format("quillmar-modem: {} job stopped: {}", name, what));
    } catch (...) {
    }
}

}  // namespace

OneShotThread::OneShotThread(std::string_view name) : name_(name) {}

OneShotThread::~OneShotThread() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

bool OneShotThread::post(Job job) noexcept {
    try {
        {
            std::lock_guard guard(lock_);
            jobs_.push_back(std::move(job));
        }
        if (!thread_.joinable()) {
            thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
        }
        wake_.notify_one();
        return true;
    } catch (...) {
        // A thread that cannot start leaves no job behind to run later.
        std::lock_guard guard(lock_);
        if (!thread_.joinable()) jobs_.clear();
        return false;
    }
}

void OneShotThread::run(std::stop_token stop) noexcept {
    char cut[kThreadNameBytes + 1] = {};
    name_.copy(cut, kThreadNameBytes);
    (void)pthread_setname_np(pthread_self(), cut);
    for (;;) {
        // What a job holds (its copy of the writer) goes before the next wait.
        try {
            Job job;
            {
                std::unique_lock guard(lock_);
                if (!wake_.wait(guard, stop, [this] { return !jobs_.empty(); })) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job(stop);
        } catch (const std::exception& e) {
            report_stop(name_, e.what());
        } catch (...) {
            report_stop(name_, "unknown exception");
        }
    }
}

}  // namespace modem
