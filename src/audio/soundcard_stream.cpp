#include "audio/soundcard_stream.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <future>
#include <system_error>
#include <utility>

namespace soundcard {

namespace {

using Clock = std::chrono::steady_clock;

// Linux keeps 15 bytes of a thread name; both directions show as this.
constexpr char kThreadName[] = "audio-soundcard";

void sleep_on_this_thread(std::chrono::milliseconds slice) {
    std::this_thread::sleep_for(slice);
}

class StreamThread {
public:
    StreamThread(StreamThreadPlan plan, std::shared_ptr<StreamControl> control,
                 std::promise<Status> reply)
        : plan_(std::move(plan)), control_(std::move(control)), reply_(std::move(reply)) {}

    void run() {
        pthread_setname_np(pthread_self(), kThreadName);
        try {
            loop();
        } catch (const std::exception& e) {
            report_end(e.what());
        } catch (...) {
            report_end("unknown exception");
        }
        if (plan_.at_end) {
            try {
                plan_.at_end();
            } catch (...) {
            }
        }
    }

private:
    std::string_view word() const { return direction_word(plan_.direction); }

    bool stopped() const { return control_->stop.load(std::memory_order_relaxed); }

    void send_reply(Status status) {
        reply_owed_ = false;
        reply_.set_value(std::move(status));
    }

    void report_end(std::string_view what) {
        // A thread that still owes its reply ends with the promise broken, which
        // the opener reports; after the start only this line tells of it.
        if (reply_owed_) return;
        try {
            plan_.log(fmt::format("audio {} stream thread ended: {}", word(), what));
        } catch (...) {
        }
    }

    void park(std::chrono::milliseconds slice) {
        if (plan_.park) {
            plan_.park(slice);
        } else {
            control_->parker.park_for(slice);
        }
    }

    void back_off() {
        backoff_wait(attempt_, control_->stop,
                     [this](std::chrono::milliseconds slice) { park(slice); });
        last_rebuild_ = Clock::now();
    }

    StreamErrorCallback error_callback() const {
        std::shared_ptr<StreamControl> control = control_;
        LogLine log = plan_.log;
        std::string line_head = fmt::format("cpal {} stream error: ", word());
        return [control, log, line_head](const std::string& text) {
            control->failed.store(true, std::memory_order_relaxed);
            try {
                log(line_head + text);
            } catch (...) {
            }
        };
    }

    void loop() {
        if (!plan_.refused_format.empty()) {
            send_reply(
                make_error("unsupported {} sample format: {}", word(), plan_.refused_format));
            return;
        }
        while (!stopped()) {
            // Cleared before the build, never after the start: an error reported
            // between play and here would otherwise be lost, and the thread would
            // watch a dead stream forever.
            control_->failed.store(false, std::memory_order_relaxed);
            Result<std::unique_ptr<Stream>> built =
                plan_.builder->build(plan_.make_callback(), error_callback());
            if (!built) {
                if (reply_owed_) {
                    send_reply(make_error("build_{}_stream: {}", word(), built.error_text()));
                    return;
                }
                plan_.log(
                    fmt::format("cpal rebuild {} stream failed: {}", word(), built.error_text()));
                back_off();
                continue;
            }
            std::unique_ptr<Stream> stream = std::move(built).value();
            if (Status played = stream->play(); !played) {
                stream.reset();
                if (reply_owed_) {
                    send_reply(make_error("{} stream play: {}", word(), played.error_text()));
                    return;
                }
                plan_.log(fmt::format("cpal rebuild {} stream play failed: {}", word(),
                                      played.error_text()));
                back_off();
                continue;
            }
            if (reply_owed_) send_reply(Status::success());
            const Clock::time_point started = Clock::now();

            while (!stopped() && !control_->failed.load(std::memory_order_relaxed)) {
                park(kStreamSlice);
            }
            stream.reset();
            if (stopped()) return;

            if (plan_.after_failure) plan_.after_failure();
            if (attempt_resets(last_rebuild_, started, Clock::now())) attempt_ = 0;
            plan_.log(fmt::format("cpal {} stream failed, rebuilding", word()));
            back_off();
        }
    }

    StreamThreadPlan plan_;
    std::shared_ptr<StreamControl> control_;
    std::promise<Status> reply_;
    bool reply_owed_ = true;
    unsigned attempt_ = 0;
    std::optional<Clock::time_point> last_rebuild_;
};

}  // namespace

std::string_view direction_word(Direction direction) {
    return direction == Direction::Input ? "input" : "output";
}

void backoff_wait(unsigned& attempt, const std::atomic<bool>& stop, const SleepFor& sleep) {
    const unsigned last_row = static_cast<unsigned>(kBackoffTable.size() - 1);
    std::chrono::milliseconds left = kBackoffTable[std::min(attempt, last_row)];
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) return;
        const std::chrono::milliseconds slice = std::min(left, kStreamSlice);
        sleep(slice);
        left -= slice;
        if (left <= std::chrono::milliseconds::zero()) {
            attempt = std::min(attempt + 1, last_row);
            return;
        }
    }
}

void backoff_wait(unsigned& attempt, const std::atomic<bool>& stop) {
    backoff_wait(attempt, stop, sleep_on_this_thread);
}

bool attempt_resets(std::optional<Clock::time_point> last_rebuild, Clock::time_point started,
                    Clock::time_point now) {
    auto whole_seconds = [now](Clock::time_point since) {
        return std::chrono::duration_cast<std::chrono::seconds>(now - since);
    };
    const bool rebuild_long_ago =
        !last_rebuild || whole_seconds(*last_rebuild) >= kAttemptResetAfter;
    return rebuild_long_ago && whole_seconds(started) >= kAttemptResetAfter;
}

void Parker::park_for(std::chrono::milliseconds slice) {
    std::unique_lock<std::mutex> guard(lock_);
    woken_.wait_for(guard, slice, [this] { return token_; });
    token_ = false;
}

void Parker::unpark() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        token_ = true;
    }
    woken_.notify_all();
}

void log_to_stderr(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stderr);
}

Result<std::thread> start_stream_thread(StreamThreadPlan plan,
                                        std::shared_ptr<StreamControl> control) {
    const Direction direction = plan.direction;
    std::promise<Status> reply;
    std::future<Status> reply_received = reply.get_future();
    std::thread thread;
    try {
        thread = std::thread([](StreamThread body) { body.run(); },
                             StreamThread(std::move(plan), std::move(control), std::move(reply)));
    } catch (const std::system_error& e) {
        if (direction == Direction::Input)
            return make_error("spawn soundcard thread: {}", e.what());
        return make_error("spawn soundcard output thread: {}", e.what());
    }

    Status outcome;
    try {
        outcome = reply_received.get();
    } catch (const std::future_error&) {
        thread.join();
        return make_error("audio {} thread exited unexpectedly", direction_word(direction));
    }
    if (!outcome) {
        thread.join();
        return make_error("cpal {}", outcome.error_text());
    }
    return thread;
}

}  // namespace soundcard
