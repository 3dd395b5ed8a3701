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

// A built libasound stream; destroying it closes the PCM.
class AlsaStream : public Stream {
public:
    explicit AlsaStream(alsa::Stream stream) : stream_(std::move(stream)) {}
    Status play() override { return stream_.play(); }

private:
    alsa::Stream stream_;
};

class AlsaStreamBuilder : public StreamBuilder {
public:
    AlsaStreamBuilder(alsa::Device device, Direction direction, alsa::StreamConfig config)
        : device_(std::move(device)), direction_(direction), config_(config) {}

    Result<std::unique_ptr<Stream>> build(DataCallback data,
                                          StreamErrorCallback on_error) override {
        alsa::DataCallback period;
        if (auto* capture = std::get_if<CaptureCallback>(&data)) {
            period = [callback = std::move(*capture)](alsa::Samples samples) {
                std::visit(
                    [&callback](auto span) {
                        using T = typename decltype(span)::element_type;
                        callback(CaptureBuffer(std::span<const T>(span)));
                    },
                    samples);
            };
        } else {
            period = std::move(std::get<PlaybackCallback>(data));
        }
        alsa::ErrorCallback error = [on_error = std::move(on_error)](const Error& e) {
            on_error(e.text);
        };
        Result<alsa::Stream> stream =
            alsa::build_stream(device_, direction_, config_, std::move(period), std::move(error));
        if (!stream) return stream.error();
        return std::unique_ptr<Stream>(std::make_unique<AlsaStream>(std::move(stream).value()));
    }

private:
    alsa::Device device_;
    Direction direction_;
    alsa::StreamConfig config_;
};

}  // namespace

bool validate_stream_config(std::span<const alsa::SupportedConfig> configs, uint32_t sample_rate,
                            uint32_t channels, Direction) {
    return std::any_of(configs.begin(), configs.end(), [&](const alsa::SupportedConfig& c) {
        return uint32_t{c.channels} == channels && c.min_sample_rate <= sample_rate &&
               sample_rate <= c.max_sample_rate;
    });
}

Result<uint16_t> negotiate_channels(const ConfigQuery& query, uint32_t sample_rate,
                                    uint32_t channels, Direction direction, const LogLine& log) {
    const uint32_t requested = std::max<uint32_t>(channels, 1);
    auto ask = [&]() -> Result<std::vector<alsa::SupportedConfig>> {
        Result<std::vector<alsa::SupportedConfig>> configs = query();
        if (!configs) {
            return make_error("query supported {} configs: {}", direction_word(direction),
                              configs.error_text());
        }
        return configs;
    };
    Result<std::vector<alsa::SupportedConfig>> first = ask();
    if (!first) return first.error();
    if (validate_stream_config(*first, sample_rate, requested, direction)) {
        // A match has a 16-bit count, so the request fits.
        return static_cast<uint16_t>(requested);
    }
    Result<std::vector<alsa::SupportedConfig>> again = ask();
    if (!again) return again.error();
    std::optional<uint16_t> smallest;
    for (const alsa::SupportedConfig& c : *again) {
        if (c.min_sample_rate <= sample_rate && sample_rate <= c.max_sample_rate &&
            (!smallest || c.channels < *smallest)) {
            smallest = c.channels;
        }
    }
    if (!smallest) {
        return make_error("device does not support {} Hz {} in any channel configuration",
                          sample_rate, direction_word(direction));
    }
    log(
        fmt::format("audio {}: device does not support {}ch, using {}ch (will extract single "
                    "channel)",
                    direction_word(direction), requested, *smallest));
    return *smallest;
}

Result<uint16_t> negotiate_channels(const alsa::Device& device, uint32_t sample_rate,
                                    uint32_t channels, Direction direction) {
    return negotiate_channels([&] { return alsa::supported_configs(device, direction); },
                              sample_rate, channels, direction);
}

uint32_t choose_capture_rate(const Result<std::vector<alsa::SupportedConfig>>& configs,
                             uint32_t requested, uint32_t default_rate, const LogLine& log) {
    constexpr uint32_t kHighest = 48000;
    auto usable = [](uint32_t rate) { return rate >= 1 && rate <= kHighest; };
    bool offered = false;
    if (configs) {
        offered = std::any_of(configs->begin(), configs->end(), [&](const auto& c) {
            return c.min_sample_rate <= requested && requested <= c.max_sample_rate;
        });
    }
    uint32_t chosen = requested;
    if (!usable(requested) || !offered) chosen = usable(default_rate) ? default_rate : kHighest;
    if (chosen != requested) {
        log(
            fmt::format("quillmar-modem: input rate {} Hz unsupported/corrupt; opening at {} Hz "
                        "instead",
                        requested, chosen));
    }
    return chosen;
}

alsa::SampleFormat choose_sample_format(const Result<std::vector<alsa::SupportedConfig>>& configs,
                                        uint32_t sample_rate, alsa::SampleFormat default_format) {
    auto preference = [](alsa::SampleFormat f) {
        if (f == alsa::SampleFormat::I16) return 0;
        if (f == alsa::SampleFormat::F32) return 1;
        return 2;
    };
    if (!configs) return default_format;
    const alsa::SupportedConfig* best = nullptr;
    for (const alsa::SupportedConfig& c : *configs) {
        if (c.min_sample_rate > sample_rate || sample_rate > c.max_sample_rate) continue;
        if (!best || preference(c.format) < preference(best->format)) best = &c;
    }
    return best ? best->format : default_format;
}

std::string refused_format_name(alsa::SampleFormat format) {
    switch (format) {
        case alsa::SampleFormat::I16:
        case alsa::SampleFormat::U16:
        case alsa::SampleFormat::F32:
            return "";
        default:
            return std::string(alsa::format_short_name(format));
    }
}

std::unique_ptr<StreamBuilder> alsa_stream_builder(alsa::Device device, Direction direction,
                                                   alsa::StreamConfig config) {
    return std::make_unique<AlsaStreamBuilder>(std::move(device), direction, config);
}

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
