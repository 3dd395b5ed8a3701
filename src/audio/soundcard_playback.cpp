#include "audio/soundcard_playback.h"

#include <exception>
#include <utility>
#include <variant>

namespace soundcard {

namespace playback_detail {

void Shared::discard_locked() {
    if (!receiver) return;
    while (receiver->try_recv().index() == 0) {
    }
}

}  // namespace playback_detail

namespace {

using playback_detail::Shared;

// One stream's data callback: fills every buffer from the sink's queue.
class PlaybackFiller {
public:
    PlaybackFiller(std::shared_ptr<Shared> shared, const PlaybackSetup& setup)
        : state_(std::move(shared)),
          channels_(setup.channels),
          audio_channel_(setup.audio_channel) {
        if (setup.ptt_tone_hz != 0 && setup.channels >= 2) {
            tone_ = make_keying_tone(setup.ptt_tone_hz, setup.sample_rate, setup.audio_channel);
        }
    }

    void operator()(PlaybackBuffer buffer) {
        KeyingTone* tone = tone_ ? &*tone_ : nullptr;
        auto next = [this] { return state_.next_sample(); };
        try {
            std::visit(
                [&](auto out) {
                    using T = typename decltype(out)::element_type;
                    if constexpr (std::is_same_v<T, int16_t>) {
                        fill_output_i16(out, channels_, audio_channel_, next, tone);
                    } else if constexpr (std::is_same_v<T, uint16_t>) {
                        fill_output_u16(out, channels_, audio_channel_, next, tone);
                    } else {
                        fill_output_f32(out, channels_, audio_channel_, next, tone);
                    }
                },
                buffer);
        } catch (...) {
            // Nothing here is expected to throw; the library's thread must not
            // see it if it does.
        }
    }

private:
    OutputState state_;
    std::size_t channels_;
    std::size_t audio_channel_;
    std::optional<KeyingTone> tone_;
};

// A failed stream releases whoever waits for the sink: the queue is emptied and
// played jumps to submitted, both under the lock that submit holds.
void release_waiters(Shared& shared, bool close_queue) {
    std::lock_guard<std::mutex> guard(shared.lock);
    shared.discard_locked();
    if (close_queue) shared.receiver.reset();
    shared.played.store(shared.submitted.load(std::memory_order_relaxed),
                        std::memory_order_relaxed);
    shared.failures.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

struct SinkStarter {
    static AudioSink make(ipc::QueueSender<audio::SampleBlock> sender,
                          std::shared_ptr<Shared> shared, std::shared_ptr<StreamControl> control,
                          std::thread thread) {
        return AudioSink(std::move(sender), std::move(shared), std::move(control),
                         std::move(thread));
    }
};

KeyingTone make_keying_tone(uint32_t tone_hz, uint32_t sample_rate, uint32_t audio_channel) {
    KeyingTone tone;
    tone.channel = audio_channel == 0 ? 1 : 0;
    tone.increment = sample_rate == 0 ? 0.0f
                                      : static_cast<float>(tone_hz) * kFullCircle /
                                            static_cast<float>(sample_rate);
    return tone;
}

std::optional<int16_t> OutputState::next_sample() {
    if (position_ >= current_.size()) {
        std::lock_guard<std::mutex> guard(shared_->lock);
        do {
            if (!shared_->receiver) return std::nullopt;
            ipc::Received<audio::SampleBlock> received = shared_->receiver->try_recv();
            if (received.index() != 0) return std::nullopt;
            current_ = std::move(std::get<0>(received));
            position_ = 0;
        } while (current_.empty());
    }
    shared_->played.fetch_add(1, std::memory_order_relaxed);
    return current_[position_++];
}

AudioSink::AudioSink(ipc::QueueSender<audio::SampleBlock> sender, std::shared_ptr<Shared> shared,
                     std::shared_ptr<StreamControl> control, std::thread thread)
    : sender_(std::move(sender)),
      shared_(std::move(shared)),
      control_(std::move(control)),
      thread_(std::move(thread)) {}

AudioSink& AudioSink::operator=(AudioSink&& other) noexcept {
    if (this != &other) {
        teardown();
        sender_ = std::move(other.sender_);
        shared_ = std::move(other.shared_);
        control_ = std::move(other.control_);
        thread_ = std::move(other.thread_);
    }
    return *this;
}

AudioSink::~AudioSink() {
    teardown();
}

void AudioSink::teardown() {
    if (!control_) return;
    {
        // Nothing queued reaches the device any more, even before the stream closes.
        std::lock_guard<std::mutex> guard(shared_->lock);
        shared_->discard_locked();
    }
    control_->stop.store(true, std::memory_order_relaxed);
    control_->parker.unpark();
    if (thread_.joinable()) thread_.join();
    control_.reset();
}

Result<uint64_t> AudioSink::submit(audio::SampleBlock block) {
    const uint64_t length = block.size();
    std::lock_guard<std::mutex> guard(shared_->lock);
    const uint64_t before = shared_->submitted.fetch_add(length, std::memory_order_relaxed);
    bool queued = false;
    try {
        queued = sender_.send(std::move(block));
    } catch (const std::exception& e) {
        // No room to queue it: the block was never submitted. Taking the count
        // back under the lock keeps every later target reachable.
        shared_->submitted.fetch_sub(length, std::memory_order_relaxed);
        return make_error("audio sink submit: {}", e.what());
    }
    if (!queued) return make_error("audio sink submit: sending on a closed channel");
    return before + length;
}

Result<PlaybackSetup> output_setup(const OutputSpec& spec, uint16_t channels, const LogLine& log) {
    if (spec.audio_channel >= channels) {
        return make_error("output audio_channel {} out of range for {}-channel device",
                          spec.audio_channel, channels);
    }
    PlaybackSetup setup;
    setup.channels = channels;
    setup.sample_rate = spec.sample_rate;
    setup.audio_channel = spec.audio_channel;
    if (spec.ptt_tone_hz != 0 && channels < 2) {
        log(fmt::format(
            "quillmar-modem: ptt tone requested ({} Hz) but output device is mono; ignoring — "
            "Digirig Lite tone PTT needs a stereo device",
            spec.ptt_tone_hz));
    } else {
        setup.ptt_tone_hz = spec.ptt_tone_hz;
    }
    return setup;
}

Result<AudioSink> start_output(PlaybackSetup setup, std::unique_ptr<StreamBuilder> builder,
                               StreamThreadOptions options) {
    auto [sender, receiver] = ipc::make_unbounded_queue<audio::SampleBlock>();
    auto shared = std::make_shared<Shared>();
    shared->receiver.emplace(std::move(receiver));
    auto control = std::make_shared<StreamControl>();

    StreamThreadPlan plan;
    plan.direction = Direction::Output;
    plan.builder = std::move(builder);
    plan.refused_format = setup.refused_format;
    plan.make_callback = [shared, setup]() -> DataCallback {
        return PlaybackCallback(PlaybackFiller(shared, setup));
    };
    plan.after_failure = [shared] { release_waiters(*shared, false); };
    plan.at_end = [shared] { release_waiters(*shared, true); };
    plan.log = std::move(options.log);
    plan.park = std::move(options.park);

    Result<std::thread> thread = start_stream_thread(std::move(plan), control);
    if (!thread) return thread.error();
    return SinkStarter::make(std::move(sender), std::move(shared), std::move(control),
                             std::move(thread).value());
}

Result<AudioSink> spawn_output(const OutputSpec& spec, std::optional<alsa::Device> device,
                               const SystemFiles& files) {
    constexpr Direction kDirection = Direction::Output;
    if (!device) {
        Result<alsa::Device> resolved = resolve_output_device(spec.device_name, files);
        if (!resolved) return resolved.error();
        device = std::move(resolved).value();
    }
    Result<alsa::StreamConfig> defaults = alsa::default_config(*device, kDirection);
    if (!defaults) return make_error("device default config: {}", defaults.error_text());
    Result<uint16_t> channels =
        negotiate_channels(*device, spec.sample_rate, spec.channels, kDirection);
    if (!channels) return channels.error();
    Result<PlaybackSetup> setup = output_setup(spec, *channels);
    if (!setup) return setup.error();
    const alsa::SampleFormat format = choose_sample_format(
        alsa::supported_configs(*device, kDirection), spec.sample_rate, defaults->format);
    setup->refused_format = refused_format_name(format);
    alsa::StreamConfig stream{*channels, spec.sample_rate, format};
    return start_output(std::move(setup).value(),
                        alsa_stream_builder(std::move(*device), kDirection, stream));
}

}  // namespace soundcard
