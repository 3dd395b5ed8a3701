#pragma once

// The transmit worker: the thread "quillmar-tx" that builds and owns the
// channels' PTT drivers, the output devices registered for transmission and
// the playback sinks opened on them, and plays one transmission at a time
// between a key and an unkey of the channel's PTT. All its work comes through
// one first-in-first-out queue filled by its owner, so that building a driver
// (which may wait seconds on a device or a daemon) never holds the owner.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include "audio/alsa.h"
#include "audio/sample_queue.h"
#include "audio/soundcard_playback.h"
#include "ipc/unbounded_queue.h"
#include "result.h"
#include "tx/ptt.h"

namespace modem {

// The sound library's handle of an output device, as the audio start
// resolves it.
using OutputDevice = alsa::Device;

// One transmission: a frame or a test signal.
struct TxRequest {
    audio::SampleBlock samples;     // lead-in and device gain already applied
    soundcard::OutputSpec output;   // how to open the output device
    uint32_t channel = 0;           // selects the PTT driver
    uint32_t sample_rate = 0;       // Hz the samples were made at; drives the drain timing
    uint32_t output_device_id = 0;  // selects the open sink and the registered device
};

// One item of the worker's queue.
struct TxMessage {
    // Play the request between a key and an unkey.
    struct Transmit {
        TxRequest request;
    };
    // Build the channel's driver from `settings` and install it, releasing
    // the one installed before; a failed build releases it too and leaves the
    // channel without a driver. Logs the outcome.
    struct ConfigurePtt {
        uint32_t channel = 0;
        ptt::PttSettings settings;
    };
    // Remember the device under its id; an open sink for the id stays as it is.
    struct RegisterOutputDevice {
        uint32_t device_id = 0;
        OutputDevice device;
    };
    // Close every open sink, then forget every registered device.
    struct ClearOutputDevices {};
    // Key (true) or unkey (false) the channel's driver.
    struct ManualKey {
        uint32_t channel = 0;
        bool keyed = false;
    };

    using Item =
        std::variant<Transmit, ConfigurePtt, RegisterOutputDevice, ClearOutputDevices, ManualKey>;

    template <class M>
    requires std::is_constructible_v<Item, M&&> TxMessage(M&& message)
        : item(std::forward<M>(message)) {}

    Item item;
};

// What the worker needs of an open playback sink. Destroying it stops its
// playback and discards every sample not yet played.
class TxSink {
public:
    virtual ~TxSink() = default;

    // Queues `block` behind everything submitted before; returns the number of
    // samples submitted since the sink opened, this block included.
    virtual Result<uint64_t> submit(audio::SampleBlock block) = 0;
    // Samples handed to the device since the sink opened.
    virtual uint64_t played() const = 0;
    // Stream failures since the sink opened; each one discards the queued
    // audio and sets the played count to the submitted one.
    virtual uint64_t failures() const = 0;
};

// Opens the playback sink for `spec`, on `device` when given, else by the
// spec's device name. Called on the worker thread.
using OutputOpener = std::function<Result<std::unique_ptr<TxSink>>(
    const soundcard::OutputSpec& spec, std::optional<OutputDevice> device)>;

// Builds a channel's PTT driver from its settings. Called on the worker
// thread, between transmissions; may wait on a device or a daemon.
using DriverBuilder =
    std::function<Result<std::unique_ptr<ptt::PttDriver>>(const ptt::PttSettings& settings)>;

// Builds drivers through a port registry of its own, which opens devices with
// `openers` and lives as long as the builder.
DriverBuilder registry_driver_builder(ptt::DeviceOpeners openers = ptt::DeviceOpeners::system());

// The worker's view of an open sound-card sink, which it takes over.
std::unique_ptr<TxSink> as_tx_sink(soundcard::AudioSink sink);

// Opens sound-card playback sinks.
OutputOpener soundcard_output_opener();

// The drain timing of a transmission of `samples` samples at `sample_rate` Hz
// (0 counts as 1): its nominal playing time D, and the deadline D + 500 ms
// after which the worker stops waiting for the played count. Both in
// nanoseconds, saturating at the largest 64-bit value.
struct DrainTiming {
    uint64_t nominal_ns = 0;
    uint64_t deadline_ns = 0;
};
DrainTiming drain_timing(uint64_t samples, uint32_t sample_rate);

// How the worker ends once its owner lets it go (the process ends after a
// termination signal, Shutdown or the end of the parent): the transmission in
// hand plays on for at most `bound` and is then cut. A cut submits nothing
// more, drops the sink (its unplayed audio never sounds) and then unkeys.
struct TxEnd {
    std::chrono::nanoseconds bound = std::chrono::seconds(10);
    // Read by the worker while it plays; true asks for the cut at once (a
    // second termination signal) and keeps the worker from taking another
    // message. Null for never.
    std::function<bool()> cut_now;
};

// Samples held by queued transmissions at which TxWorker::transmit refuses
// another one.
inline constexpr uint64_t kQueuedSampleLimit = 67108864;

namespace tx_detail {

// Counts one queued transmission's samples into the shared total until the
// worker takes the item or it is dropped.
class QueuedSamples {
public:
    QueuedSamples(std::shared_ptr<std::atomic<uint64_t>> total, uint64_t samples);
    QueuedSamples(QueuedSamples&& other) noexcept
        : total_(std::move(other.total_)), samples_(other.samples_) {}
    QueuedSamples& operator=(QueuedSamples&&) = delete;
    ~QueuedSamples() { release(); }

    void release();

private:
    std::shared_ptr<std::atomic<uint64_t>> total_;
    uint64_t samples_ = 0;
};

struct Queued {
    TxMessage message;
    std::optional<QueuedSamples> samples;  // present for a transmission
};

}  // namespace tx_detail

// The owner's handle of the worker. Dropping it stops the worker: the message
// in hand is finished (a transmission runs to its unkey, or is cut by the
// bound of TxEnd; a driver build to its end, which for "rigctld" is bounded by
// its connect and probe timeouts), the rest are dropped unhandled, with one
// line giving the number of transmissions among them.
class TxWorker {
public:
    // Starts "quillmar-tx" with an empty queue; sinks are opened with
    // `open_output`, drivers built with `build_driver`. Fails with "spawn
    // quillmar-tx thread: {}".
    static Result<TxWorker> spawn(OutputOpener open_output = soundcard_output_opener(),
                                  DriverBuilder build_driver = registry_driver_builder(),
                                  TxEnd end = {});

    TxWorker(TxWorker&&) noexcept = default;
    TxWorker& operator=(TxWorker&&) = delete;
    ~TxWorker();

    // Queues a transmission. Fails, dropping it, once the worker has ended, or
    // while the queued transmissions hold kQueuedSampleLimit samples or more.
    Status transmit(TxRequest request);

    // Queues any other message (a Transmit goes through transmit()). Fails with
    // "sending on a closed channel" once the worker has ended.
    Status send(TxMessage message);

private:
    TxWorker(std::shared_ptr<std::atomic<int64_t>> shutdown,
             std::shared_ptr<std::atomic<uint64_t>> queued_samples,
             ipc::QueueSender<tx_detail::Queued> tx, std::thread thread);

    // Declared in reverse order of release: the thread is joined in the
    // destructor's body, then the sender goes, then the flag. The flag holds
    // 0, or the monotonic time (in nanoseconds, at least 1) at which the
    // teardown began.
    std::shared_ptr<std::atomic<int64_t>> shutdown_;
    std::shared_ptr<std::atomic<uint64_t>> queued_samples_;
    ipc::QueueSender<tx_detail::Queued> tx_;
    std::thread thread_;
};

}  // namespace modem
