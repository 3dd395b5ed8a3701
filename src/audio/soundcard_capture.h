#pragma once

// The sound-card capture source: one channel of a capture device, converted to
// 16-bit samples and offered block by block to a capture queue by the library's
// thread, which never waits.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "audio/alsa.h"
#include "audio/sample_queue.h"
#include "audio/soundcard_names.h"
#include "audio/soundcard_stream.h"
#include "result.h"

namespace soundcard {

// What opening a capture device needs.
struct SoundcardSourceConfig {
    std::string device_name;     // ALSA PCM name or alias; "" or "default": the default input
    uint32_t sample_rate = 0;    // Hz asked for; the rate opened may differ
    uint32_t channels = 0;       // asked for; 0 counts as 1
    uint32_t audio_channel = 0;  // zero-based channel taken out of each frame
};

// One block from an interleaved buffer of `channels` channels: the sample at
// `channel` of every frame (an incomplete last frame counts), 0 where the frame
// has no such position. With 0 or 1 channels every sample, in order.
// Floats are clamped to -1..1 and scaled by 32767 (NaN gives 0); unsigned
// samples have 32768 as their zero level.
audio::SampleBlock extract_channel_f32(std::span<const float> buffer, std::size_t channels,
                                       std::size_t channel);
audio::SampleBlock extract_channel_i16(std::span<const int16_t> buffer, std::size_t channels,
                                       std::size_t channel);
audio::SampleBlock extract_channel_u16(std::span<const uint16_t> buffer, std::size_t channels,
                                       std::size_t channel);

// What a source's streams open with once the device is chosen and negotiated.
struct CaptureSetup {
    uint16_t channels = 1;       // negotiated, at least 1
    uint32_t sample_rate = 0;    // Hz, the rate the source reports
    uint32_t audio_channel = 0;  // channel taken out of each frame
    // Short name of a sample format the stream cannot carry; empty when accepted.
    std::string refused_format;
};

// Starts a source whose streams come from `builder`, each stream try-sending one
// block per buffer to `sender` (a full or closed queue drops it). Returns once a
// stream plays; on failure `sender` is released.
Result<audio::AudioSource> start_capture(CaptureSetup setup, std::unique_ptr<StreamBuilder> builder,
                                         audio::CaptureSender sender,
                                         StreamThreadOptions options = {});

// Opens the capture device of `config` ("" or "default": the default device,
// refused as "no default input device" when it cannot capture; else a listed capture device by name or by an alias through the card table
// of `files`) at the rate, channel count and format chosen from what it
// supports, and starts the thread that keeps its stream alive. Returns once
// the stream plays; on failure `sender` is released and nothing runs.
Result<audio::AudioSource> spawn(SoundcardSourceConfig config, audio::CaptureSender sender,
                                 const SystemFiles& files = {});

}  // namespace soundcard
