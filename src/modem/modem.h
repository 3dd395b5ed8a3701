#pragma once

// The modem process's run-time state and its main loop. Modem holds the parent
// connection's writer and inbound queue, the settings the parent sent, the
// running receive pipelines, the transmit worker (which owns the PTT drivers
// and their device registry) and the counters of the status reports.
// Modem::run serves one inbound message per turn, or, with none waiting,
// makes one pass over the running input devices and runs the status tick,
// until the connection ends.
//
// Only the thread that runs the loop touches a Modem.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "audio/sample_queue.h"
#include "ipc/handle.h"
#include "ipc/proto.h"
#include "ipc/server.h"
#include "modem/channel_demod.h"
#include "modem/config.h"
#include "modem/inventory.h"
#include "modem/levels.h"
#include "modem/one_shot.h"
#include "modem/tx_worker.h"
#include "result.h"

namespace modem {

using MonotonicClock = std::chrono::steady_clock;
using MonotonicTime = MonotonicClock::time_point;

// The main loop's end of the inbound queue, as the accept gives it.
using InboundReceiver = decltype(ipc::IpcConnection::inbound);

// One channel fed by an input device.
struct ChannelPipeline {
    ChannelDemod demod;                      // the main demodulator
    std::vector<ChannelDemod> extra_demods;  // the frequency-offset ones, possibly none
    uint32_t channel = 0;                    // key of the counters
    float audio_level_peak = 0.0f;           // linear peak of the device's last block after gain
    bool dcd_state = false;                  // the channel's carrier detect after the last block
};

// One running input device.
struct DevicePipeline {
    audio::AudioSource source;      // stop flag, source thread, the rate actually opened
    audio::CaptureReceiver blocks;  // the device's capture queue
    std::vector<ChannelPipeline> channel_pipelines;  // in the order audio start made them
    SharedGainCell gain;  // the device's live gain cell, shared with the modem's table
    // The channels of a source that learns its rate once running (a FLAC
    // file): their pipelines are made at the rate the source announces with
    // its first block.
    std::vector<ChannelConfig> waiting_channels{};
    // The capture queue's drop count as last reported, and when.
    uint64_t drops_reported = 0;
    std::optional<MonotonicTime> drops_reported_at{};
};

// The channel pipelines of one input device at `sample_rate`, in the order of
// `channels`: each channel's main demodulator and its frequency-offset ones.
std::vector<ChannelPipeline> make_channel_pipelines(const std::vector<ChannelConfig>& channels,
                                                    uint32_t sample_rate);

// The longest input-level scan a parent may ask for; a longer one is clamped.
inline constexpr uint32_t kMaxScanMs = 60000;

// What a Modem takes from its environment; the defaults are the real ones.
struct ModemOptions {
    // The monotonic clock of every interval (level throttles, status tick).
    std::function<MonotonicTime()> clock = [] { return MonotonicClock::now(); };
    // How the transmit worker opens its playback sinks.
    OutputOpener open_output = soundcard_output_opener();
    // How the transmit worker builds its PTT drivers.
    DriverBuilder build_driver = registry_driver_builder();
    // The termination signal noted so far, 0 for none (termination::received).
    std::function<int()> termination_signal;
    // The cap on a scan's duration_ms (lowered by tests).
    uint32_t max_scan_ms = kMaxScanMs;
    // True once the transmission in hand must be cut at once
    // (termination::cut_requested).
    std::function<bool()> cut_requested;
};

class Modem {
public:
    // Starts the transmit worker first, then makes every table empty; the
    // first status tick comes 500 ms after now. Fails with the worker's error
    // text, releasing `ipc` and `inbound`.
    static Result<std::unique_ptr<Modem>> create(ipc::IpcHandle ipc, InboundReceiver inbound,
                                                 ModemOptions options = {});

    // Runs the main loop on this thread until Shutdown, the end of the parent
    // connection or a termination signal, and tears the modem down before it
    // returns; the line that names the end comes after the teardown. A broken
    // invariant unwinds out of it, the teardown done.
    static void run(std::unique_ptr<Modem> modem);

    // Teardown, in declared order: the listing and scan threads (a scan in
    // hand stopped at its wait, queued requests dropped, both joined), writer,
    // inbound receiver, settings tables, gain cells, playback devices,
    // pipelines (capture queues closed, source threads let go), then the
    // transmit worker (the message in hand finishes, a transmission runs to
    // its unkey or is cut 10 s after the teardown began, drivers released),
    // then the counters.
    ~Modem();

    Modem(const Modem&) = delete;
    Modem& operator=(const Modem&) = delete;

    // Serves one inbound message; true only for Shutdown, which ends the loop.
    bool handle_ipc(const ipc::proto::IpcMessage& message);

    // One StatusUpdate per configured channel; `final` flags the last one.
    void emit_status(bool final);

    // A -60/-60 dBFS level report for each output device of a configured
    // channel not reported for 750 ms.
    void report_idle_output_levels();

    // Stores the channel's PTT settings and hands their driver part to the
    // transmit worker, which builds the driver between transmissions, logs
    // the outcome and retries a failed "rigctld" build before the channel's
    // next transmission. Waits on no device.
    void apply_ptt_config(const ipc::proto::ConfigurePtt& config);

    // Answers a test signal with TestSignalResult; a failed send is dropped.
    void reply_test_signal(uint32_t request_id, bool success, const std::string& error);

    // Stops whatever runs, registers the playback devices the channels name
    // with the transmit worker, and starts one pipeline per input device that
    // some channel listens to (input device 0 with the default channel when no
    // channel is configured). Fails with the text of the first device that
    // does not start; the devices started before it keep running.
    Status start_audio();

    // Stops every source and drops every pipeline, then has the transmit
    // worker close its playback sinks. Returns within about 150 ms per device.
    void stop_all_audio();

private:
    friend struct ModemTestAccess;

    Modem(ipc::IpcHandle ipc, InboundReceiver inbound, TxWorker tx, ModemOptions options);

    // One turn of the loop; false once the loop ends.
    bool turn();
    // What an inbound event asks of the loop.
    enum class Step { Continue, End, NothingWaiting };
    Step serve(ipc::Received<ipc::IpcInbound> received);
    // One block from each running device; true when some block came.
    bool audio_pass();
    void process_block(uint32_t device_id, DevicePipeline& pipeline, audio::SampleBlock& block,
                       MonotonicTime now);
    void report_carrier_detect(ChannelPipeline& pipeline);
    // A line for the device's capture blocks dropped on a full queue, at most
    // once a second while their count grows.
    void report_drops(uint32_t device_id, DevicePipeline& pipeline, MonotonicTime now);
    void status_tick();

    // The transmit requests and the device requests (dispatch_tx.cpp).
    // What the transmit roads read for a channel; null where nothing is stored.
    struct TxSettings {
        const ChannelConfig* channel = nullptr;
        const AudioConfig* output = nullptr;  // of the channel's output device
        const ipc::proto::ConfigurePtt* ptt = nullptr;
        std::optional<float> gain_db;  // the output device's live gain
    };
    TxSettings tx_settings(uint32_t channel) const;
    void transmit_frame(const ipc::proto::TransmitFrame& frame);
    void transmit_test_signal(const ipc::proto::TransmitTestSignal& signal);
    void manual_ptt(const ipc::proto::ManualPtt& request);
    // The "soundcard" names of the configured devices among `devices`' keys.
    template <class Devices>
    InUseDevices busy_devices(const Devices& devices) const;
    // Queue the request to the listing or the scan thread, which answers it
    // in its turn.
    void start_device_listing(const ipc::proto::EnumerateAudioDevices& request);
    void start_level_scan(const ipc::proto::ScanInputLevels& request);

    // The audio requests.
    void configure_channel(const ipc::proto::ConfigureChannel& message);
    void configure_audio(const ipc::proto::ConfigureAudio& message);
    void set_device_gain(const ipc::proto::SetDeviceGain& message);
    void start_audio_with_retry();
    void shutdown();
    // Sets the device's live gain cell, creating it if absent.
    void set_live_gain(uint32_t device_id, float gain_db);
    // Audio start's steps: the playback devices, then one input device.
    void register_output_devices();
    Status start_input_device(uint32_t device_id, const std::vector<ChannelConfig>& channels);

    // The fields in their order of release.
    std::optional<OneShotThread> listings_{std::in_place, "enumerate-devices"};
    std::optional<OneShotThread> scans_{std::in_place, "scan-input-levels"};
    std::optional<ipc::IpcHandle> ipc_;
    std::optional<InboundReceiver> inbound_;
    std::unordered_map<uint32_t, AudioConfig> audio_configs_;
    std::unordered_map<uint32_t, ChannelConfig> channel_configs_;
    std::unordered_map<uint32_t, ipc::proto::ConfigurePtt> ptt_configs_;
    std::unordered_map<uint32_t, SharedGainCell> device_gain_;
    std::unordered_map<uint32_t, OutputDevice> output_devices_;
    std::unordered_map<uint32_t, DevicePipeline> device_pipelines_;
    std::optional<TxWorker> tx_;
    std::unordered_map<uint32_t, uint64_t> rx_frames_;
    std::unordered_map<uint32_t, uint64_t> tx_frames_;
    std::unordered_map<uint32_t, uint64_t> rx_bad_fcs_;
    std::unordered_map<uint32_t, uint64_t> dcd_transitions_;
    std::unordered_map<uint32_t, MonotonicTime> level_sent_;
    MonotonicTime last_status_;

    ModemOptions options_;
    // The line of the end that stopped the loop, printed after the teardown.
    std::string end_line_;
    // The device ids of one audio pass, kept to reuse its room.
    std::vector<uint32_t> pass_devices_;
};

}  // namespace modem
