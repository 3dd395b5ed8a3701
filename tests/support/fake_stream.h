#pragma once

// Streams without a sound card behind the stream thread's builder interface.
// Each build follows the next entry of a script (then succeeds); the test
// drives the live stream's callbacks itself, as the library's thread would.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/soundcard_stream.h"

namespace test_support {

// How one build goes.
struct FakeBuild {
    std::optional<std::string> build_error;    // the build fails with this text
    std::optional<std::string> play_error;     // play fails with this text
    std::optional<std::string> error_in_play;  // play reports this stream error, then succeeds
    bool throw_in_build = false;               // the build throws

    static FakeBuild build_fails(std::string text) {
        FakeBuild b;
        b.build_error = std::move(text);
        return b;
    }
    static FakeBuild play_fails(std::string text) {
        FakeBuild b;
        b.play_error = std::move(text);
        return b;
    }
    static FakeBuild fails_in_play(std::string text) {
        FakeBuild b;
        b.error_in_play = std::move(text);
        return b;
    }
    static FakeBuild throws() {
        FakeBuild b;
        b.throw_in_build = true;
        return b;
    }
};

class FakeStreams : public std::enable_shared_from_this<FakeStreams> {
public:
    void script(std::vector<FakeBuild> builds) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& b : builds) script_.push_back(std::move(b));
    }

    // A builder whose streams are these.
    std::unique_ptr<soundcard::StreamBuilder> builder();

    int builds() const {
        std::lock_guard<std::mutex> guard(lock_);
        return builds_;
    }

    // Called at every build; its values are kept in build order.
    void stamp_builds(std::function<long long()> stamp) {
        std::lock_guard<std::mutex> guard(lock_);
        stamp_ = std::move(stamp);
    }
    std::vector<long long> build_stamps() const {
        std::lock_guard<std::mutex> guard(lock_);
        return build_stamps_;
    }
    bool live() const {
        std::lock_guard<std::mutex> guard(lock_);
        return live_id_ != 0;
    }

    // Waits (hang guard: 10 s) until `pred` holds under the lock.
    bool wait(const std::function<bool()>& pred,
              std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, limit, pred);
    }
    bool wait_live() {
        return wait([this] { return live_id_ != 0; });
    }
    bool wait_builds(int n) {
        return wait([this, n] { return builds_ >= n; });
    }
    bool wait_playing_build(int n) {
        return wait([this, n] { return live_id_ != 0 && playing_build_ >= n; });
    }

    // Runs the live, playing stream's data callback; false when none runs.
    bool pump_playback(soundcard::PlaybackBuffer buffer) {
        std::lock_guard<std::mutex> guard(lock_);
        if (live_id_ == 0 || !playing_) return false;
        std::get<soundcard::PlaybackCallback>(data_)(buffer);
        return true;
    }
    bool pump_capture(soundcard::CaptureBuffer buffer) {
        std::lock_guard<std::mutex> guard(lock_);
        if (live_id_ == 0 || !playing_) return false;
        std::get<soundcard::CaptureCallback>(data_)(buffer);
        return true;
    }

    // Reports a stream error on the live stream; false when none runs.
    bool fail(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock_);
        if (live_id_ == 0) return false;
        on_error_(text);
        return true;
    }

private:
    class Stream;
    class Builder;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<FakeBuild> script_;
    int builds_ = 0;
    int next_id_ = 1;
    int live_id_ = 0;
    int playing_build_ = 0;
    bool playing_ = false;
    soundcard::DataCallback data_;
    soundcard::StreamErrorCallback on_error_;
    std::function<long long()> stamp_;
    std::vector<long long> build_stamps_;
};

class FakeStreams::Stream : public soundcard::Stream {
public:
    Stream(std::shared_ptr<FakeStreams> owner, int id, int build, FakeBuild how)
        : owner_(std::move(owner)), id_(id), build_(build), how_(std::move(how)) {}
    ~Stream() override {
        std::lock_guard<std::mutex> guard(owner_->lock_);
        if (owner_->live_id_ == id_) {
            owner_->live_id_ = 0;
            owner_->playing_ = false;
            owner_->data_ = soundcard::DataCallback{};
            owner_->on_error_ = nullptr;
        }
        owner_->changed_.notify_all();
    }
    Status play() override {
        std::lock_guard<std::mutex> guard(owner_->lock_);
        if (how_.play_error) return make_error("{}", *how_.play_error);
        if (how_.error_in_play) owner_->on_error_(*how_.error_in_play);
        owner_->playing_ = true;
        owner_->playing_build_ = build_;
        owner_->changed_.notify_all();
        return Status::success();
    }

private:
    std::shared_ptr<FakeStreams> owner_;
    int id_;
    int build_;
    FakeBuild how_;
};

class FakeStreams::Builder : public soundcard::StreamBuilder {
public:
    explicit Builder(std::shared_ptr<FakeStreams> owner) : owner_(std::move(owner)) {}
    Result<std::unique_ptr<soundcard::Stream>> build(
        soundcard::DataCallback data, soundcard::StreamErrorCallback on_error) override {
        std::lock_guard<std::mutex> guard(owner_->lock_);
        FakeBuild how;
        if (!owner_->script_.empty()) {
            how = std::move(owner_->script_.front());
            owner_->script_.pop_front();
        }
        const int build = ++owner_->builds_;
        if (owner_->stamp_) owner_->build_stamps_.push_back(owner_->stamp_());
        owner_->changed_.notify_all();
        if (how.throw_in_build) throw std::runtime_error("builder exploded");
        if (how.build_error) return make_error("{}", *how.build_error);
        const int id = owner_->next_id_++;
        owner_->live_id_ = id;
        owner_->playing_ = false;
        owner_->data_ = std::move(data);
        owner_->on_error_ = std::move(on_error);
        return std::unique_ptr<soundcard::Stream>(
            std::make_unique<Stream>(owner_, id, build, std::move(how)));
    }

private:
    std::shared_ptr<FakeStreams> owner_;
};

inline std::unique_ptr<soundcard::StreamBuilder> FakeStreams::builder() {
    return std::make_unique<Builder>(shared_from_this());
}

// Log lines from any thread, kept for the test.
class LineLog {
public:
    // Keeps each line, and the value of `stamp` (when given) at that moment.
    soundcard::LogLine sink(std::function<long long()> stamp = nullptr) {
        return [this, stamp](std::string_view line) {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.emplace_back(line);
            stamps_.push_back(stamp ? stamp() : 0);
        };
    }
    std::vector<long long> stamps() const {
        std::lock_guard<std::mutex> guard(lock_);
        return stamps_;
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }
    int count(const std::string& line) const {
        std::lock_guard<std::mutex> guard(lock_);
        int n = 0;
        for (const auto& l : lines_) n += l == line;
        return n;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
    std::vector<long long> stamps_;
};

// A park that sleeps a millisecond and counts the time asked for, so back-off
// and running slices pass quickly and are summed exactly.
class FastClock {
public:
    soundcard::SleepFor park() {
        return [this](std::chrono::milliseconds slice) {
            asked_ms_.fetch_add(slice.count());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
    }
    long long asked_ms() const { return asked_ms_.load(); }

private:
    std::atomic<long long> asked_ms_{0};
};

}  // namespace test_support
