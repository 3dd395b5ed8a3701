#include "audio/soundcard_capture.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <variant>

#include "wavio.h"

namespace soundcard {

namespace {

template <class T, class Convert>
audio::SampleBlock extract(std::span<const T> buffer, std::size_t channels, std::size_t channel,
                           Convert convert) {
    audio::SampleBlock block;
    if (channels < 2) {
        block.reserve(buffer.size());
        for (T sample : buffer) block.push_back(convert(sample));
        return block;
    }
    block.reserve(buffer.size() / channels + 1);
    for (std::size_t base = 0; base < buffer.size(); base += channels) {
        const std::size_t frame_length = std::min(channels, buffer.size() - base);
        block.push_back(channel < frame_length ? convert(buffer[base + channel]) : int16_t{0});
    }
    return block;
}

// One stream's data callback: one block per buffer, offered without waiting.
class CaptureForwarder {
public:
    CaptureForwarder(audio::CaptureSender sender, const CaptureSetup& setup)
        : sender_(std::move(sender)), channels_(setup.channels), channel_(setup.audio_channel) {}

    void operator()(CaptureBuffer buffer) {
        try {
            audio::SampleBlock block = std::visit(
                [this](auto samples) {
                    using T = typename decltype(samples)::element_type;
                    if constexpr (std::is_same_v<T, const int16_t>) {
                        return extract_channel_i16(samples, channels_, channel_);
                    } else if constexpr (std::is_same_v<T, const uint16_t>) {
                        return extract_channel_u16(samples, channels_, channel_);
                    } else {
                        return extract_channel_f32(samples, channels_, channel_);
                    }
                },
                buffer);
            // A full or closed queue drops the block: a slow consumer costs
            // blocks, never capture timing.
            (void)sender_.try_send(std::move(block));
        } catch (...) {
            // An allocation that fails costs this block only.
        }
    }

private:
    audio::CaptureSender sender_;
    std::size_t channels_;
    std::size_t channel_;
};

}  // namespace

audio::SampleBlock extract_channel_f32(std::span<const float> buffer, std::size_t channels,
                                       std::size_t channel) {
    return extract(buffer, channels, channel, wavio::float_sample_to_i16);
}

audio::SampleBlock extract_channel_i16(std::span<const int16_t> buffer, std::size_t channels,
                                       std::size_t channel) {
    return extract(buffer, channels, channel, [](int16_t s) { return s; });
}

audio::SampleBlock extract_channel_u16(std::span<const uint16_t> buffer, std::size_t channels,
                                       std::size_t channel) {
    return extract(buffer, channels, channel, [](uint16_t s) {
        return static_cast<int16_t>(static_cast<int32_t>(s) - 32768);
    });
}

Result<audio::AudioSource> start_capture(CaptureSetup setup, std::unique_ptr<StreamBuilder> builder,
                                         audio::CaptureSender sender, StreamThreadOptions options) {
    auto control = std::make_shared<StreamControl>();
    StreamThreadPlan plan;
    plan.direction = Direction::Input;
    plan.builder = std::move(builder);
    plan.refused_format = setup.refused_format;
    plan.make_callback = [sender = std::move(sender), setup]() -> DataCallback {
        return CaptureCallback(CaptureForwarder(sender, setup));
    };
    plan.log = std::move(options.log);
    plan.park = std::move(options.park);

    Result<std::thread> thread = start_stream_thread(std::move(plan), control);
    if (!thread) return thread.error();
    std::shared_ptr<std::atomic<bool>> stop(control, &control->stop);
    return audio::AudioSource(std::move(stop), std::move(thread).value(), setup.sample_rate);
}

Result<audio::AudioSource> spawn(SoundcardSourceConfig config, audio::CaptureSender sender,
                                 const SystemFiles& files) {
    constexpr Direction kDirection = Direction::Input;
    alsa::Device device;
    if (config.device_name.empty() || config.device_name == "default") {
        std::optional<alsa::Device> found = alsa::default_device_for(kDirection);
        if (!found) return make_error("no default input device");
        device = std::move(*found);
    } else {
        Result<std::vector<alsa::Device>> listed = alsa::list_devices();
        if (!listed) return make_error("enumerate input devices: {}", listed.error_text());
        std::vector<alsa::Device> capture;
        for (alsa::Device& d : *listed) {
            if (alsa::supports(d, kDirection)) capture.push_back(std::move(d));
        }
        std::optional<alsa::Device> found =
            find_device_by_id_or_alias(capture, config.device_name, read_proc_asound_cards(files));
        if (!found) return make_error("input device not found: {}", config.device_name);
        device = std::move(*found);
    }

    Result<alsa::StreamConfig> defaults = alsa::default_config(device, kDirection);
    if (!defaults) return make_error("device default config: {}", defaults.error_text());
    const uint32_t rate = choose_capture_rate(alsa::supported_configs(device, kDirection),
                                              config.sample_rate, defaults->sample_rate);
    Result<uint16_t> channels = negotiate_channels(device, rate, config.channels, kDirection);
    if (!channels) return channels.error();
    const alsa::SampleFormat format =
        choose_sample_format(alsa::supported_configs(device, kDirection), rate, defaults->format);

    CaptureSetup setup;
    setup.channels = *channels;
    setup.sample_rate = rate;
    setup.audio_channel = config.audio_channel;
    setup.refused_format = refused_format_name(format);
    alsa::StreamConfig stream{*channels, rate, format};
    return start_capture(std::move(setup),
                         alsa_stream_builder(std::move(device), kDirection, stream),
                         std::move(sender));
}

}  // namespace soundcard
