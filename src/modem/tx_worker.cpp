#include "modem/tx_worker.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <map>
#include <system_error>

#include <fmt/format.h>

#include "audio/soundcard_stream.h"
#include "invariant.h"
#include "num.h"
#include "tx/crash_unkey.h"

namespace modem {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kReceiveWait{100};
constexpr std::chrono::milliseconds kDrainPoll{5};
constexpr uint64_t kNanosPerSecond = 1'000'000'000;
constexpr uint64_t kNanosPerMilli = 1'000'000;
constexpr uint64_t kDrainGraceNs = 500 * kNanosPerMilli;
constexpr const char* kClosedChannel = "sending on a closed channel";

void log_line(std::string_view line) {
    soundcard::log_to_stderr(line);
}

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

uint64_t nanos_since(Clock::time_point start) {
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
    return elapsed.count() < 0 ? 0 : static_cast<uint64_t>(elapsed.count());
}

// This transmission's own samples among the sink's played count: `target` is
// the cumulative count after its `samples`, so it starts at target - samples.
uint64_t played_of_transmission(uint64_t played, uint64_t target, uint64_t samples) {
    uint64_t start = target >= samples ? target - samples : 0;
    uint64_t since = played >= start ? played - start : 0;
    return std::min(since, samples);
}

struct DriverSlot {
    std::unique_ptr<ptt::PttDriver> driver;
};

struct OpenSink {
    std::unique_ptr<TxSink> sink;
    soundcard::OutputSpec spec;  // what it was opened with
};

using SinkTable = std::map<uint32_t, OpenSink>;

// Once a key has been tried, every way out of a transmission or a manual key
// passes through one unkey. On a way out by exception the sink that may still
// hold the transmission's audio is dropped first, so nothing plays unkeyed.
class KeyedSpan {
public:
    KeyedSpan(DriverSlot& slot, std::string unkey_failure_prefix)
        : slot_(slot), unkey_failure_prefix_(std::move(unkey_failure_prefix)) {}
    KeyedSpan(const KeyedSpan&) = delete;
    KeyedSpan& operator=(const KeyedSpan&) = delete;

    ~KeyedSpan() {
        if (!key_tried_ || unkey_tried_ || held_) return;
        try {
            drop_sink();
            Status unkeyed = unkey();
            if (!unkeyed) {
                log_line(fmt::format("{}: {}", unkey_failure_prefix_, unkeyed.error_text()));
            }
        } catch (...) {
            // The exception that brought us here is the one reported.
        }
    }

    Status key() {
        key_tried_ = true;
        return slot_.driver->key();
    }

    // The unkey; a second call does nothing.
    Status unkey() {
        if (unkey_tried_) return Status::success();
        unkey_tried_ = true;
        return slot_.driver->unkey();
    }

    // A manual key that succeeded lasts past the span.
    void hold() { held_ = true; }

    // From now on the sink `id` of `sinks` may hold audio of this span.
    void guard_sink(SinkTable& sinks, uint32_t id) {
        sinks_ = &sinks;
        sink_id_ = id;
    }

    // Closes the guarded sink, discarding what it has not played.
    void drop_sink() {
        if (sinks_ == nullptr) return;
        sinks_->erase(sink_id_);
        sinks_ = nullptr;
    }

private:
    DriverSlot& slot_;
    std::string unkey_failure_prefix_;
    SinkTable* sinks_ = nullptr;
    uint32_t sink_id_ = 0;
    bool key_tried_ = false;
    bool unkey_tried_ = false;
    bool held_ = false;
};

// The state of the thread "quillmar-tx": everything here is touched by that
// thread alone.
class Worker {
public:
    Worker(ipc::QueueReceiver<tx_detail::Queued> rx, std::shared_ptr<std::atomic<int64_t>> shutdown,
           OutputOpener open_output, DriverBuilder build_driver, TxEnd end)
        : rx_(std::move(rx)),
          shutdown_(std::move(shutdown)),
          open_output_(std::move(open_output)),
          build_driver_(std::move(build_driver)),
          end_(std::move(end)) {}

    // The thread's body: the loop, then leaving.
    void run() noexcept {
        (void)pthread_setname_np(pthread_self(), "quillmar-tx");
        // The thread that keys: a stack overflow here still unkeys.
        const crash_unkey::ThreadStack crash_stack;
        try {
            loop();
        } catch (const std::exception& e) {
            report_stop(e.what());
        } catch (...) {
            report_stop("unknown exception");
        }
        leave();
    }

private:
    // The line of an abnormal end. Without memory to write it, it is lost, so
    // that leaving still releases the drivers.
    static void report_stop(const char* what) noexcept {
        try {
            log_line(fmt::format("quillmar-modem: tx worker stopped: {}", what));
        } catch (...) {
        }
    }

    bool cut_now() const { return end_.cut_now && end_.cut_now(); }

    // Whether the transmission in hand must be cut: at once when asked, else
    // once the teardown began the bound ago.
    bool must_cut() const {
        if (cut_now()) return true;
        const int64_t since = shutdown_->load(std::memory_order_relaxed);
        if (since == 0) return false;
        const int64_t elapsed = now_ns() - since;
        return elapsed >= 0 && std::chrono::nanoseconds(elapsed) >= end_.bound;
    }

    void loop() {
        while (shutdown_->load(std::memory_order_relaxed) == 0 && !cut_now()) {
            ipc::Received<tx_detail::Queued> received = rx_->recv_timeout(kReceiveWait);
            if (std::holds_alternative<ipc::QueueEmpty>(received)) continue;
            if (std::holds_alternative<ipc::QueueClosed>(received)) return;
            tx_detail::Queued& queued = std::get<tx_detail::Queued>(received);
            if (queued.samples) queued.samples->release();
            std::visit([this](auto& message) { handle(message); }, queued.message.item);
        }
    }

    // Releases, in this order, the registered devices, the drivers, the sinks,
    // the flag and the queue; messages still queued are dropped here (a queued
    // ConfigurePtt builds nothing).
    void leave() noexcept {
        devices_.clear();
        while (!drivers_.empty()) {
            auto node = drivers_.extract(drivers_.begin());
            release_driver(std::move(node.mapped()));
        }
        retry_.clear();
        sinks_.clear();
        drop_queued();
        shutdown_.reset();
        rx_.reset();
    }

    // Closes the queue and drops what is still in it, here on this thread (a
    // queued driver is released), with one line giving the number of
    // transmissions among it.
    void drop_queued() noexcept {
        rx_->close();  // nothing more comes in while the queue empties
        uint64_t transmissions = 0;
        for (;;) {
            ipc::Received<tx_detail::Queued> received = rx_->try_recv();
            auto* queued = std::get_if<tx_detail::Queued>(&received);
            if (queued == nullptr) break;
            if (std::holds_alternative<TxMessage::Transmit>(queued->message.item)) ++transmissions;
        }
        if (transmissions == 0) return;
        try {
            log_line(fmt::format("quillmar-modem: TransmitFrame: dropped {} queued transmissions",
                                 transmissions));
        } catch (...) {
            // Without memory for the line it is lost; the rest of leaving goes on.
        }
    }

    void handle(TxMessage::Transmit& message) { transmit(message.request); }

    void handle(TxMessage::ConfigurePtt& message) {
        configure_ptt(message.channel, message.settings);
    }

    // Builds the channel's driver and installs it in place of the old one,
    // which is released after the new one's build (so a replacement on the
    // same line ends with the new driver's unkeyed level). A failed build
    // releases the old driver too; a failed "rigctld" build is owed a retry
    // before the channel's next transmission.
    void configure_ptt(uint32_t channel, const ptt::PttSettings& settings) {
        retry_.erase(channel);
        Result<std::unique_ptr<ptt::PttDriver>> built = build_driver_(settings);
        if (built && !*built) invariant::broken("tx worker: the driver builder returned no driver");
        if (built) {
            log_line(fmt::format("quillmar-modem: PTT configured for channel {} ({})", channel,
                                 settings.method));
        } else {
            log_line(
                fmt::format("quillmar-modem: ConfigurePtt: build driver for channel {} ({}): {}",
                            channel, settings.method, built.error_text()));
            if (settings.method == "rigctld") retry_.insert_or_assign(channel, settings);
        }
        if (auto found = drivers_.find(channel); found != drivers_.end()) {
            auto node = drivers_.extract(found);
            release_driver(std::move(node.mapped()));
        }
        if (built) drivers_.emplace(channel, DriverSlot{std::move(*built)});
    }

    // Builds the channel's driver again when its last build is owed a retry.
    void retry_ptt(uint32_t channel) {
        auto owed = retry_.find(channel);
        if (owed == retry_.end()) return;
        const ptt::PttSettings settings = owed->second;
        configure_ptt(channel, settings);
    }

    void handle(TxMessage::RegisterOutputDevice& message) {
        devices_.insert_or_assign(message.device_id, std::move(message.device));
    }

    void handle(TxMessage::ClearOutputDevices&) {
        sinks_.clear();
        devices_.clear();
    }

    void handle(TxMessage::ManualKey& message) { manual_key(message.channel, message.keyed); }

    // Drops a driver: its release behaviour runs here. No unkey goes first: on
    // a line that a newer driver has written since (the same line configured
    // again, perhaps with the other polarity), this driver's unkeyed level
    // could be the newer one's keyed level.
    void release_driver(DriverSlot slot) noexcept { slot.driver.reset(); }

    // The open sink for the request's device, opened (or reopened, when the
    // request asks for another spec) as needed; null when opening failed.
    TxSink* sink_for(const TxRequest& r) {
        const uint32_t id = r.output_device_id;
        auto open = sinks_.find(id);
        if (open != sinks_.end()) {
            if (open->second.spec == r.output) return open->second.sink.get();
            sinks_.erase(open);
        }
        std::optional<OutputDevice> device;
        if (auto registered = devices_.find(id); registered != devices_.end()) {
            device = std::move(registered->second);
            devices_.erase(registered);
        }
        Result<std::unique_ptr<TxSink>> opened = open_output_(r.output, std::move(device));
        if (!opened) {
            log_line(fmt::format("quillmar-modem: TransmitFrame: open output device_id={}: {}", id,
                                 opened.error_text()));
            return nullptr;
        }
        if (!*opened) invariant::broken("tx worker: the output opener returned no sink");
        log_line(fmt::format("quillmar-modem: TX sink opened for device_id={} at {} Hz", id,
                             r.sample_rate));
        OpenSink& entry = sinks_[id] = OpenSink{std::move(*opened), r.output};
        return entry.sink.get();
    }

    void transmit(TxRequest& r) {
        retry_ptt(r.channel);
        auto found = drivers_.find(r.channel);
        if (found == drivers_.end()) {
            log_line(fmt::format(
                "quillmar-modem: TransmitFrame: no PTT driver registered for channel {}",
                r.channel));
            return;
        }
        TxSink* sink = sink_for(r);
        if (sink == nullptr) return;

        KeyedSpan span(found->second, "quillmar-modem: TransmitFrame: ptt_unkey");
        Status keyed = span.key();
        if (!keyed) {
            Status unkeyed = span.unkey();
            if (!unkeyed) {
                log_line(
                    fmt::format("quillmar-modem: TransmitFrame: ptt_unkey after key failure: {}",
                                unkeyed.error_text()));
            }
            log_line(fmt::format("quillmar-modem: TransmitFrame: ptt_key: {}", keyed.error_text()));
            return;
        }

        const uint64_t n = r.samples.size();
        const uint64_t failures_before = sink->failures();
        const Clock::time_point t0 = Clock::now();
        span.guard_sink(sinks_, r.output_device_id);
        Result<uint64_t> submitted = sink->submit(std::move(r.samples));
        if (!submitted) {
            span.drop_sink();
            Status unkeyed = span.unkey();
            if (!unkeyed) {
                log_line(
                    fmt::format("quillmar-modem: TransmitFrame: ptt_unkey after submit failure: {}",
                                unkeyed.error_text()));
            }
            log_line(fmt::format("quillmar-modem: TransmitFrame: sink submit: {}",
                                 submitted.error_text()));
            return;
        }

        const uint64_t target = *submitted;
        const DrainTiming timing = drain_timing(n, r.sample_rate);
        for (;;) {
            const uint64_t played = sink->played();
            if (sink->failures() != failures_before) {
                // The failed stream discarded the queue; blocks that reached it
                // afterwards must not play once the stream is rebuilt.
                span.drop_sink();
                break;
            }
            const uint64_t elapsed = nanos_since(t0);
            if (played >= target && elapsed >= timing.nominal_ns) break;
            if (must_cut()) {
                // Nothing more is submitted; the sink goes first, so nothing
                // of this transmission sounds after the unkey.
                const uint64_t shown = played_of_transmission(sink->played(), target, n);
                span.drop_sink();
                log_line(
                    fmt::format("quillmar-modem: TransmitFrame: cut after {} ms ({}/{} samples)",
                                elapsed / kNanosPerMilli, shown, n));
                break;
            }
            if (elapsed >= timing.deadline_ns) {
                const uint64_t shown = played_of_transmission(sink->played(), target, n);
                span.drop_sink();
                log_line(fmt::format(
                    "quillmar-modem: TransmitFrame: drain timeout after {} ms ({}/{} samples)",
                    timing.deadline_ns / kNanosPerMilli, shown, n));
                break;
            }
            std::this_thread::sleep_for(kDrainPoll);
        }

        Status unkeyed = span.unkey();
        if (!unkeyed) {
            log_line(
                fmt::format("quillmar-modem: TransmitFrame: ptt_unkey: {}", unkeyed.error_text()));
        }
    }

    void manual_key(uint32_t channel, bool keyed) {
        auto found = drivers_.find(channel);
        if (found == drivers_.end()) {
            log_line(
                fmt::format("quillmar-modem: ManualKey channel={} no driver registered", channel));
            return;
        }
        DriverSlot& slot = found->second;
        Status done;
        if (keyed) {
            KeyedSpan span(
                slot, fmt::format("quillmar-modem: ManualKey channel={} keyed=false", channel));
            done = span.key();
            if (done) {
                span.hold();
            } else {
                Status unkeyed = span.unkey();
                if (!unkeyed) {
                    log_line(fmt::format(
                        "quillmar-modem: ManualKey channel={} ptt_unkey after key failure: {}",
                        channel, unkeyed.error_text()));
                }
            }
        } else {
            done = slot.driver->unkey();
        }
        if (done) {
            log_line(
                fmt::format("quillmar-modem: ManualKey channel={} keyed={}: ok", channel, keyed));
        } else {
            log_line(fmt::format("quillmar-modem: ManualKey channel={} keyed={}: {}", channel,
                                 keyed, done.error_text()));
        }
    }

    std::optional<ipc::QueueReceiver<tx_detail::Queued>> rx_;
    std::shared_ptr<std::atomic<int64_t>> shutdown_;
    OutputOpener open_output_;
    DriverBuilder build_driver_;  // holds the port registry, released after the drivers
    TxEnd end_;
    std::map<uint32_t, OutputDevice> devices_;
    std::map<uint32_t, DriverSlot> drivers_;
    std::map<uint32_t, ptt::PttSettings> retry_;  // channels owed a "rigctld" build
    SinkTable sinks_;
};

// A sound-card sink as the worker sees it.
class SoundcardTxSink : public TxSink {
public:
    explicit SoundcardTxSink(soundcard::AudioSink sink) : sink_(std::move(sink)) {}
    Result<uint64_t> submit(audio::SampleBlock block) override {
        return sink_.submit(std::move(block));
    }
    uint64_t played() const override { return sink_.played(); }
    uint64_t failures() const override { return sink_.failures(); }

private:
    soundcard::AudioSink sink_;
};

}  // namespace

std::unique_ptr<TxSink> as_tx_sink(soundcard::AudioSink sink) {
    return std::make_unique<SoundcardTxSink>(std::move(sink));
}

DrainTiming drain_timing(uint64_t samples, uint32_t sample_rate) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const uint64_t scaled = samples > kMax / kNanosPerSecond ? kMax : samples * kNanosPerSecond;
    const uint64_t nominal = scaled / std::max<uint64_t>(sample_rate, 1);
    return {nominal, num::saturating_add(nominal, kDrainGraceNs)};
}

DriverBuilder registry_driver_builder(ptt::DeviceOpeners openers) {
    auto registry = std::make_shared<ptt::PortRegistry>(std::move(openers));
    return [registry](const ptt::PttSettings& settings) { return registry->build_driver(settings); };
}

OutputOpener soundcard_output_opener() {
    return [](const soundcard::OutputSpec& spec,
              std::optional<OutputDevice> device) -> Result<std::unique_ptr<TxSink>> {
        Result<soundcard::AudioSink> sink = soundcard::spawn_output(spec, std::move(device));
        if (!sink) return sink.error();
        return as_tx_sink(std::move(sink).value());
    };
}

namespace tx_detail {

QueuedSamples::QueuedSamples(std::shared_ptr<std::atomic<uint64_t>> total, uint64_t samples)
    : total_(std::move(total)), samples_(samples) {
    total_->fetch_add(samples_, std::memory_order_relaxed);
}

void QueuedSamples::release() {
    if (!total_) return;
    total_->fetch_sub(samples_, std::memory_order_relaxed);
    total_.reset();
}

}  // namespace tx_detail

Result<TxWorker> TxWorker::spawn(OutputOpener open_output, DriverBuilder build_driver,
                                 TxEnd end) {
    if (!open_output) invariant::broken("tx worker: spawned without an output opener");
    if (!build_driver) invariant::broken("tx worker: spawned without a driver builder");
    auto shutdown = std::make_shared<std::atomic<int64_t>>(0);
    auto queued_samples = std::make_shared<std::atomic<uint64_t>>(0);
    auto [tx, rx] = ipc::make_unbounded_queue<tx_detail::Queued>();
    auto worker = std::make_unique<Worker>(std::move(rx), shutdown, std::move(open_output),
                                           std::move(build_driver), std::move(end));
    std::thread thread;
    try {
        thread = std::thread([worker = std::move(worker)] { worker->run(); });
    } catch (const std::system_error& e) {
        return make_error("spawn quillmar-tx thread: {}", e.code().message());
    }
    return TxWorker(std::move(shutdown), std::move(queued_samples), std::move(tx),
                    std::move(thread));
}

TxWorker::TxWorker(std::shared_ptr<std::atomic<int64_t>> shutdown,
                   std::shared_ptr<std::atomic<uint64_t>> queued_samples,
                   ipc::QueueSender<tx_detail::Queued> tx, std::thread thread)
    : shutdown_(std::move(shutdown)),
      queued_samples_(std::move(queued_samples)),
      tx_(std::move(tx)),
      thread_(std::move(thread)) {}

TxWorker::~TxWorker() {
    if (shutdown_) shutdown_->store(std::max<int64_t>(now_ns(), 1), std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
}

Status TxWorker::transmit(TxRequest request) {
    const uint64_t queued = queued_samples_->load(std::memory_order_relaxed);
    if (queued >= kQueuedSampleLimit) {
        return make_error("tx worker transmit: {} samples already queued (limit {})", queued,
                          kQueuedSampleLimit);
    }
    const uint64_t n = request.samples.size();
    tx_detail::Queued item{TxMessage::Transmit{std::move(request)},
                           tx_detail::QueuedSamples(queued_samples_, n)};
    if (!tx_.send(std::move(item))) return make_error("tx worker transmit: {}", kClosedChannel);
    return Status::success();
}

Status TxWorker::send(TxMessage message) {
    if (auto* transmission = std::get_if<TxMessage::Transmit>(&message.item)) {
        return transmit(std::move(transmission->request));
    }
    if (!tx_.send(tx_detail::Queued{std::move(message), std::nullopt})) {
        return make_error("{}", kClosedChannel);
    }
    return Status::success();
}

}  // namespace modem
