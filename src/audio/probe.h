#pragma once

// The capture probe: whether a card delivers audio at all, found by running a
// short capture stream on it, and the capture configuration that probes and
// level scans open a card with.

#include <atomic>
#include <chrono>
#include <string_view>
#include <vector>

#include "audio/alsa.h"
#include "audio/device_access.h"
#include "result.h"

namespace soundcard {

// How long the device inventory probes one card.
inline constexpr std::chrono::milliseconds kInventoryProbe{250};

// Between looks at the probe flags, and the wait after the first buffer.
inline constexpr std::chrono::milliseconds kProbePoll{10};
inline constexpr std::chrono::milliseconds kProbeSettle{40};

// Whether capture streams carry the format: signed 16-bit, unsigned 16-bit or
// 32-bit float.
bool stream_format_accepted(alsa::SampleFormat format);

// The configuration chosen from capture ranges: the range with the fewest
// channels (among those, the first signed 16-bit one, else the first float
// one, else the first); 48000 Hz if it holds it, else 44100, else its highest
// rate. The layer picks the buffer. "no supported input configurations" when
// there is no range.
Result<alsa::StreamConfig> choose_input_probe_config(
    const std::vector<alsa::SupportedConfig>& ranges);

// The same over the device's capture ranges; a failure to read them is the
// library's text.
Result<alsa::StreamConfig> pick_input_probe_config(DeviceAccess& access,
                                                   const alsa::Device& device);

// What a probe's callbacks tell the probing thread. Relaxed atomics: nothing
// else is published through them.
struct ProbeFlags {
    std::atomic<bool> data_seen{false};
    std::atomic<bool> error_seen{false};
};

// Sets data seen at every call, whatever the buffer holds. `flags` must
// outlive the stream.
alsa::DataCallback probe_data_callback(ProbeFlags& flags);

// Prints "probe_capture stream error: {}" on standard error, then sets error seen.
alsa::ErrorCallback probe_error_callback(ProbeFlags& flags);

// Runs a capture stream on `device` for at most `duration` (about 40 ms past
// its first buffer) and tells whether audio came without a stream error. A
// configuration, format, build or start failure is false. The stream is closed
// before it returns.
bool probe_capture(DeviceAccess& access, const alsa::Device& device,
                   std::chrono::milliseconds duration);

// Writes `prefix`, `text` and a newline on standard error in one write,
// allocating nothing and taking no lock, so stream callbacks can report.
void print_stream_line(std::string_view prefix, std::string_view text);

}  // namespace soundcard
