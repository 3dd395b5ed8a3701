#pragma once

// Sound-card streams kept alive by a thread of their own: the back-off between
// rebuilds, the stream thread with its start-up handshake and its failure
// lines, and the small interface through which that thread builds streams.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "audio/alsa.h"
#include "result.h"

namespace soundcard {

using Direction = alsa::Direction;

// "input" or "output": the word the stream lines and errors carry.
std::string_view direction_word(Direction direction);

// The waits between rebuilds, by attempt number; the last row repeats.
inline constexpr std::array<std::chrono::milliseconds, 6> kBackoffTable{
    std::chrono::milliseconds(100),  std::chrono::milliseconds(250),
    std::chrono::milliseconds(500),  std::chrono::milliseconds(1000),
    std::chrono::milliseconds(2000), std::chrono::milliseconds(5000)};

// The longest a stream thread sleeps before it looks at its flags again.
inline constexpr std::chrono::milliseconds kStreamSlice{100};

// A stream that has run this long (and no rebuild this recently) starts the
// back-off over at its first row.
inline constexpr std::chrono::seconds kAttemptResetAfter{60};

using SleepFor = std::function<void(std::chrono::milliseconds)>;

// Waits the back-off time of row `attempt` in slices of at most kStreamSlice,
// given to `sleep`, returning as soon as `stop` is seen set. A wait that runs
// out raises `attempt` by one, at most to the last row; a stopped one leaves it.
void backoff_wait(unsigned& attempt, const std::atomic<bool>& stop, const SleepFor& sleep);

// The same, sleeping on the calling thread.
void backoff_wait(unsigned& attempt, const std::atomic<bool>& stop);

// Whether a stream that failed at `now` starts the back-off over: it ran
// kAttemptResetAfter or more since `started`, and there was no rebuild before
// or the last one is that long ago. Both spans count in whole seconds.
bool attempt_resets(std::optional<std::chrono::steady_clock::time_point> last_rebuild,
                    std::chrono::steady_clock::time_point started,
                    std::chrono::steady_clock::time_point now);

// Lets one thread sleep until another wakes it. A wake-up that comes while the
// thread is awake ends its next sleep at once.
class Parker {
public:
    // Sleeps up to `slice`, less when unpark comes first.
    void park_for(std::chrono::milliseconds slice);
    void unpark();

private:
    std::mutex lock_;
    std::condition_variable woken_;
    bool token_ = false;
};

// The flags a stream thread shares with its owner and its streams' error
// callbacks. Relaxed atomics: nothing else is published through them.
struct StreamControl {
    std::atomic<bool> stop{false};    // set by the owner to end the thread
    std::atomic<bool> failed{false};  // set by the error callback of the stream in service
    Parker parker;                    // the owner unparks the thread after setting stop
};

// Interleaved samples of one buffer, in the stream's sample format.
using CaptureBuffer =
    std::variant<std::span<const int16_t>, std::span<const uint16_t>, std::span<const float>>;
using PlaybackBuffer = std::variant<std::span<int16_t>, std::span<uint16_t>, std::span<float>>;

// Called on the library's thread for every buffer of a running stream.
using CaptureCallback = std::function<void(CaptureBuffer)>;
using PlaybackCallback = std::function<void(PlaybackBuffer)>;
using DataCallback = std::variant<CaptureCallback, PlaybackCallback>;

// Called on the library's thread with the text of a running stream's error.
using StreamErrorCallback = std::function<void(const std::string&)>;

// A built stream. Destroying it closes it: no callback runs after that.
class Stream {
public:
    virtual ~Stream() = default;
    // Starts the stream; its callbacks begin.
    virtual Status play() = 0;
};

// Builds the streams of one device, direction and setting; the stream thread's
// only way to the sound card, so tests can put their own streams behind it.
class StreamBuilder {
public:
    virtual ~StreamBuilder() = default;
    // A new stream calling `data` per buffer and `on_error` per stream error.
    virtual Result<std::unique_ptr<Stream>> build(DataCallback data,
                                                  StreamErrorCallback on_error) = 0;
};

// Writes one diagnostic line (no newline in it).
using LogLine = std::function<void(std::string_view)>;

// Writes `line` and a newline on standard error in one write.
void log_to_stderr(std::string_view line);

// What a stream thread runs with. All of it moves into the thread.
struct StreamThreadPlan {
    Direction direction = Direction::Input;
    std::unique_ptr<StreamBuilder> builder;
    // Makes the data callback of each new stream (fresh per-stream state).
    std::function<DataCallback()> make_callback;
    // Short name of a sample format the streams cannot carry; empty when the
    // format is one of the three accepted.
    std::string refused_format;
    // Runs after a running stream failed and was closed, before the back-off.
    std::function<void()> after_failure;
    // Runs when the thread ends, however it ends.
    std::function<void()> at_end;
    LogLine log = log_to_stderr;
    // How the thread sleeps its slices (running and backing off); empty: on
    // the control's parker.
    SleepFor park;
};

// What a test may change in how a stream thread reports and sleeps.
struct StreamThreadOptions {
    LogLine log = log_to_stderr;
    SleepFor park;  // empty: on the control's parker
};

// Whether some configuration has exactly `channels` channels (compared in 32
// bits) and holds `sample_rate` within its bounds.
bool validate_stream_config(std::span<const alsa::SupportedConfig> configs, uint32_t sample_rate,
                            uint32_t channels, Direction direction);

// A device's supported configurations in one direction, asked afresh each call.
using ConfigQuery = std::function<Result<std::vector<alsa::SupportedConfig>>()>;

// The channel count to open at `sample_rate`: `channels` (0 counts as 1) when
// offered, else the smallest count offered at that rate, with a line on `log`.
// Errors: "query supported {} configs: {}", "device does not support {} Hz {}
// in any channel configuration".
Result<uint16_t> negotiate_channels(const ConfigQuery& query, uint32_t sample_rate,
                                    uint32_t channels, Direction direction,
                                    const LogLine& log = log_to_stderr);

// The same over the device's own configurations.
Result<uint16_t> negotiate_channels(const alsa::Device& device, uint32_t sample_rate,
                                    uint32_t channels, Direction direction);

// The rate a capture stream opens at: `requested` when within 1..48000 and held
// by some configuration, else `default_rate` when within 1..48000, else 48000;
// a line on `log` when that differs from `requested`. A failed query counts as
// no configuration.
uint32_t choose_capture_rate(const Result<std::vector<alsa::SupportedConfig>>& configs,
                             uint32_t requested, uint32_t default_rate,
                             const LogLine& log = log_to_stderr);

// The format to open at `sample_rate`: among the configurations holding it the
// most preferred (I16, then F32, then any other; the first listed within one
// class), else `default_format`.
alsa::SampleFormat choose_sample_format(const Result<std::vector<alsa::SupportedConfig>>& configs,
                                        uint32_t sample_rate, alsa::SampleFormat default_format);

// Short name of `format` when the streams cannot carry it; empty for I16, U16, F32.
std::string refused_format_name(alsa::SampleFormat format);

// Builds the device's streams through libasound at fixed settings.
std::unique_ptr<StreamBuilder> alsa_stream_builder(alsa::Device device, Direction direction,
                                                   alsa::StreamConfig config);

// Starts the stream thread ("audio-soundcard") with `plan` and waits for its
// first build-and-start outcome. Returns the thread once a stream plays; on
// failure the thread has ended and everything in `plan` is released. Errors:
// "cpal {}" around the thread's reply, "spawn soundcard thread: {}" (input) or
// "spawn soundcard output thread: {}" when no thread starts, and "audio input
// thread exited unexpectedly" (or output) when it ends without a reply.
Result<std::thread> start_stream_thread(StreamThreadPlan plan,
                                        std::shared_ptr<StreamControl> control);

}  // namespace soundcard
