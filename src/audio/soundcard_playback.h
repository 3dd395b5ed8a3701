#pragma once

// The sound-card playback sink: one open output device, fed whole blocks of
// samples by the transmit worker.

#include <cstdint>
#include <string>

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

}  // namespace soundcard
