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

}  // namespace soundcard
