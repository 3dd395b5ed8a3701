#pragma once

// The sound-card playback sink: one open output device, fed whole blocks of
// samples by the transmit worker. The stream runs between transmissions and
// plays silence while nothing is queued; a played counter tells the worker how
// far its audio has been handed to the device.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "audio/alsa.h"
#include "audio/sample_queue.h"
#include "audio/soundcard_names.h"
#include "audio/soundcard_stream.h"
#include "ipc/unbounded_queue.h"
#include "num.h"
#include "result.h"

namespace soundcard {

// What opening a playback device needs.
struct OutputSpec {
    std::string device_name;     // ALSA PCM name or alias; "" or "default": the default output
    uint32_t sample_rate = 0;    // Hz, opened as given
    uint32_t channels = 0;       // asked for; 0 counts as 1
    uint32_t audio_channel = 0;  // zero-based channel that carries the samples
    uint32_t ptt_tone_hz = 0;    // keying-tone frequency; 0: no keying tone

    bool operator==(const OutputSpec&) const = default;
};

// 2 pi as a 32-bit float: one turn of the keying tone's phase.
inline constexpr float kFullCircle = 6.2831855f;
// 0.6 of full scale, the keying tone's peak.
inline constexpr float kToneAmplitude = 19660.201f;
// From a 16-bit sample to the float range -1..1.
inline constexpr float kIntToFloat = 1.0f / 32768.0f;

// The steady tone that keys a radio while samples play, on the channel beside
// the samples. A new one (phase 0) for every stream built.
struct KeyingTone {
    std::size_t channel = 0;  // where the tone goes
    float phase = 0.0f;       // radians, 0 <= phase < kFullCircle
    float increment = 0.0f;   // radians per frame
};

// The tone of `tone_hz` at `sample_rate` (increment 0 at rate 0), on channel 1
// when the samples go to channel 0 and on channel 0 otherwise.
KeyingTone make_keying_tone(uint32_t tone_hz, uint32_t sample_rate, uint32_t audio_channel);

// sin(phase) at the tone's amplitude, truncated toward zero.
inline int16_t keying_tone_value(float phase) {
    return num::saturate_cast<int16_t>(std::sin(phase) * kToneAmplitude);
}

namespace playback_detail {

// What a sink shares with its stream thread and the playback state of the
// stream in service.
struct Shared {
    // Guards `receiver`; submit and the failure step hold it across their
    // counter change and queue operation, so no block slips between them.
    std::mutex lock;
    // The playback queue's receiving end; gone once the stream thread ends.
    std::optional<ipc::QueueReceiver<audio::SampleBlock>> receiver;
    std::atomic<uint64_t> submitted{0};
    std::atomic<uint64_t> played{0};
    std::atomic<uint64_t> failures{0};

    // Drops every queued block, under `lock` held by the caller.
    void discard_locked();
};

struct Identity {
    template <class T>
    T operator()(T sample) const {
        return sample;
    }
};

struct ToUnsigned {
    uint16_t operator()(int16_t sample) const {
        return static_cast<uint16_t>(static_cast<int32_t>(sample) + 32768);
    }
};

struct ToFloat {
    float operator()(int16_t sample) const { return static_cast<float>(sample) * kIntToFloat; }
};

template <class T, class Convert, class Source>
void fill_output(std::span<T> out, std::size_t channels, std::size_t audio_channel,
                 Source&& next_sample, KeyingTone* tone, Convert convert) {
    const T silence = convert(int16_t{0});
    const std::size_t c = channels < 2 ? 1 : channels;
    const std::size_t whole = out.size() / c * c;
    for (std::size_t base = 0; base < whole; base += c) {
        T* frame = out.data() + base;
        const std::optional<int16_t> sample = next_sample();
        if (!sample) {
            std::fill(frame, frame + c, silence);
            if (tone) tone->phase = 0.0f;
            continue;
        }
        if (c == 1) {
            frame[0] = convert(*sample);
            continue;
        }
        std::fill(frame, frame + c, silence);
        if (audio_channel < c) frame[audio_channel] = convert(*sample);
        if (tone) {
            const int16_t value = keying_tone_value(tone->phase);
            tone->phase += tone->increment;
            if (tone->phase >= kFullCircle) tone->phase -= kFullCircle;
            if (tone->channel < c) frame[tone->channel] = convert(value);
        }
    }
    // A part frame at the end takes no sample: it would be cut off.
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(whole), out.end(), silence);
}

}  // namespace playback_detail

// Fill `out` (interleaved frames of `channels` samples; fewer than 2 means one)
// frame by frame: one call of `next_sample` (a callable returning
// std::optional<int16_t>) per frame, its sample on `audio_channel`, the keying
// tone (when `tone` is not null and there are 2 or more channels) on the tone's
// channel, silence elsewhere. A frame without sample is silent and sets the
// tone's phase back to 0. A part frame at the end is silent.
template <class Source>
void fill_output_i16(std::span<int16_t> out, std::size_t channels, std::size_t audio_channel,
                     Source&& next_sample, KeyingTone* tone) {
    playback_detail::fill_output(out, channels, audio_channel, next_sample, tone,
                                 playback_detail::Identity{});
}

// As fill_output_i16, samples offset by 32768 (silence is 32768).
template <class Source>
void fill_output_u16(std::span<uint16_t> out, std::size_t channels, std::size_t audio_channel,
                     Source&& next_sample, KeyingTone* tone) {
    playback_detail::fill_output(out, channels, audio_channel, next_sample, tone,
                                 playback_detail::ToUnsigned{});
}

// As fill_output_i16, samples scaled by 2^-15.
template <class Source>
void fill_output_f32(std::span<float> out, std::size_t channels, std::size_t audio_channel,
                     Source&& next_sample, KeyingTone* tone) {
    playback_detail::fill_output(out, channels, audio_channel, next_sample, tone,
                                 playback_detail::ToFloat{});
}

// The playback state of one stream: the block in play and the sink's queue.
// A new one for every stream built, so a rebuild starts with no block.
class OutputState {
public:
    explicit OutputState(std::shared_ptr<playback_detail::Shared> shared)
        : shared_(std::move(shared)) {}

    // The next queued sample, counted as played; none when nothing is queued.
    // Empty blocks are passed over.
    std::optional<int16_t> next_sample();

private:
    std::shared_ptr<playback_detail::Shared> shared_;
    audio::SampleBlock current_;
    std::size_t position_ = 0;
};

// The handle of an open playback sink, owned by the transmit worker. Dropping
// it discards everything unplayed at once (queued blocks, the block in play,
// the device's buffer), stops its stream thread and waits for it.
class AudioSink {
public:
    AudioSink(AudioSink&& other) noexcept = default;
    AudioSink& operator=(AudioSink&& other) noexcept;
    AudioSink(const AudioSink&) = delete;
    AudioSink& operator=(const AudioSink&) = delete;
    ~AudioSink();

    // Queues `block` to play after everything submitted before. Returns the
    // number of samples submitted since the sink opened, this block included:
    // the count played() must reach for it to have been handed to the device.
    // Fails ("audio sink submit: {}") once the stream thread has ended, and
    // without memory to queue the block (which then counts as not submitted).
    Result<uint64_t> submit(audio::SampleBlock block);

    // Samples handed to the device since the sink opened. A failed stream sets
    // it to the submitted count, releasing whoever waits for it.
    uint64_t played() const { return shared_->played.load(std::memory_order_relaxed); }

    // Samples submitted since the sink opened.
    uint64_t submitted() const { return shared_->submitted.load(std::memory_order_relaxed); }

    // How often a stream failure discarded the queue and raised played().
    uint64_t failures() const { return shared_->failures.load(std::memory_order_relaxed); }

private:
    friend struct SinkStarter;
    AudioSink(ipc::QueueSender<audio::SampleBlock> sender,
              std::shared_ptr<playback_detail::Shared> shared,
              std::shared_ptr<StreamControl> control, std::thread thread);
    void teardown();

    ipc::QueueSender<audio::SampleBlock> sender_;
    std::shared_ptr<playback_detail::Shared> shared_;
    std::shared_ptr<StreamControl> control_;
    std::thread thread_;
};

// What a sink's streams open with once the device is chosen and negotiated.
struct PlaybackSetup {
    uint16_t channels = 1;       // negotiated, at least 1
    uint32_t sample_rate = 0;    // Hz
    uint32_t audio_channel = 0;  // below `channels`
    uint32_t ptt_tone_hz = 0;    // 0: no keying tone; needs 2 or more channels
    // Short name of a sample format the stream cannot carry; empty when accepted.
    std::string refused_format;
};

// Checks `spec` against the negotiated channel count: the sample channel must
// exist ("output audio_channel {} out of range for {}-channel device"), and a
// keying tone on one channel is dropped with a line on `log`.
Result<PlaybackSetup> output_setup(const OutputSpec& spec, uint16_t channels,
                                   const LogLine& log = log_to_stderr);

// Opens a sink whose streams come from `builder`: starts the stream thread and
// returns once a stream plays.
Result<AudioSink> start_output(PlaybackSetup setup, std::unique_ptr<StreamBuilder> builder,
                               StreamThreadOptions options = {});

// Opens the playback device of `spec` (`device` when given, else the one its
// name resolves to through the card table of `files`) at its rate with the
// channel count and format chosen from what it supports, and starts the thread
// that keeps its stream alive. Returns once the stream plays; on failure
// nothing runs.
Result<AudioSink> spawn_output(const OutputSpec& spec, std::optional<alsa::Device> device,
                               const SystemFiles& files = {});

}  // namespace soundcard
