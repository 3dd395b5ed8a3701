#pragma once

// A thin layer over libasound: the device list with names and descriptions,
// what a device supports, and capture and playback streams whose data and
// error callbacks run on a service thread of the stream. Errors carry
// snd_strerror's text ("Invalid argument"); a failed step of a stream build or
// start names the call in front ("snd_pcm_hw_params_set_rate: Invalid argument").

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "result.h"

namespace alsa {

// The one audio host, as it names itself.
inline constexpr std::string_view kHostName = "Alsa";

enum class Direction { Input, Output };

// The directions a listed device declares (its IOID hint; none means both).
enum class Ioid { Input, Output, Both };

// A PCM as the device list gives it.
struct Device {
    std::string name;                        // the ALSA PCM name, e.g. "plughw:CARD=Device,DEV=0"
    std::optional<std::string> description;  // the DESC hint, possibly several lines
    Ioid ioid = Ioid::Both;

    bool operator==(const Device&) const = default;
};

// Every PCM of the device list, in list order; entries without a name are left out.
Result<std::vector<Device>> list_devices();

// The first line of the device's description; none without one.
std::optional<std::string> description_name(const Device& device);

// The device named "default", always present, with the description and IOID of
// the list's "default" entry if the list has one.
Device default_device();

// Whether the device can be opened in `direction`: false when its IOID rules
// the direction out, else a non-blocking open (closed at once) that succeeds
// or finds the device busy.
bool supports(const Device& device, Direction direction);

// default_device() when it has `direction`; none when its IOID rules the
// direction out or a non-blocking open that way finds no such stream (ENOENT):
// a playback-only default for capture, a capture-only one for playback. A
// default that fails otherwise (absent, busy) is returned, for the open to
// report.
std::optional<Device> default_device_for(Direction direction);

enum class SampleFormat { I16, F32, U16, I32, U32, I24, I8, U8, F64 };

// "I16", "F32", "U16", "I32", "U32", "I24", "I8", "U8", "F64".
std::string_view format_short_name(SampleFormat format);

// One configuration a device supports: a channel count with a rate range
// (bounds included) in one format.
struct SupportedConfig {
    uint16_t channels = 0;
    uint32_t min_sample_rate = 0;
    uint32_t max_sample_rate = 0;
    SampleFormat format = SampleFormat::I16;

    bool operator==(const SupportedConfig&) const = default;
};

// The device's configurations in `direction`, formats in SampleFormat order,
// then channel counts ascending (at most 32). A device whose rates are not a
// continuous range gives one single-rate entry per rate it takes among its
// bounds and the standard rates 8000..384000.
Result<std::vector<SupportedConfig>> supported_configs(const Device& device, Direction direction);

// The settings of a stream, and what default_config chooses.
struct StreamConfig {
    uint16_t channels = 1;
    uint32_t sample_rate = 48000;
    SampleFormat format = SampleFormat::I16;

    bool operator==(const StreamConfig&) const = default;
};

// libasound has no default configuration; this one is chosen from
// supported_configs: the fewest channels; I16, else F32, else the first format
// listed; 48000 Hz if held, else 44100, else the highest rate.
Result<StreamConfig> default_config(const Device& device, Direction direction);

// The interleaved samples of one period (channels x frames values) in the
// stream's format. Capture: what was captured. Playback: to be filled; it holds
// silence when the callback is called.
using Samples = std::variant<std::span<int16_t>, std::span<uint16_t>, std::span<float>>;
using DataCallback = std::function<void(Samples)>;
using ErrorCallback = std::function<void(const Error&)>;

namespace detail {
struct StreamState;
}

// An open PCM with its service thread. Move-only; destroying it closes it.
//
// Periods: playback about 10 ms with at most 4 periods queued on the device,
// even when the device grants a larger buffer (a transmission's end is then at
// most about 40 ms behind the samples handed over); capture about 20 ms in a
// buffer of about 10 periods.
class Stream {
public:
    Stream() = default;
    Stream(Stream&&) noexcept;
    Stream& operator=(Stream&&) noexcept;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream();

    // Starts the stream. Playback first fills the queue through the data
    // callback on the calling thread; then the service thread calls the data
    // callback once per period and the error callback once, on the first error
    // (an xrun reads "Broken pipe"), after which it calls nothing more. A second
    // call does nothing.
    Status play();

    // Stops the service thread, drops what is queued (never drains) and closes
    // the PCM. No callback runs after it returns. Never call it from a callback.
    void close();

    // The granted sizes, in frames.
    uint32_t period_frames() const;
    uint32_t buffer_frames() const;

private:
    friend Result<Stream> build_stream(const Device&, Direction, const StreamConfig&, DataCallback,
                                       ErrorCallback);
    explicit Stream(std::unique_ptr<detail::StreamState> state);

    std::unique_ptr<detail::StreamState> state_;
};

// Opens `device` without waiting (a busy device fails at once) at exactly the
// given rate, in I16, U16 or F32 (other formats are refused), and sets periods
// and buffer as Stream says. The stream does not run until play().
Result<Stream> build_stream(const Device& device, Direction direction, const StreamConfig& config,
                            DataCallback data, ErrorCallback error);

// Keeps libasound's own error messages off standard error. Call it first thing.
void silence_library_log();

}  // namespace alsa
