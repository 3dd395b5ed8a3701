#include "audio/probe.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <thread>

namespace soundcard {

namespace {

bool holds(const alsa::SupportedConfig& range, uint32_t rate) {
    return range.min_sample_rate <= rate && rate <= range.max_sample_rate;
}

}  // namespace

bool stream_format_accepted(alsa::SampleFormat format) {
    return format == alsa::SampleFormat::I16 || format == alsa::SampleFormat::U16 ||
           format == alsa::SampleFormat::F32;
}

Result<alsa::StreamConfig> choose_input_probe_config(
    const std::vector<alsa::SupportedConfig>& ranges) {
    if (ranges.empty()) return make_error("no supported input configurations");
    uint16_t fewest = ranges.front().channels;
    for (const alsa::SupportedConfig& r : ranges) fewest = std::min(fewest, r.channels);
    const alsa::SupportedConfig* chosen = nullptr;
    for (alsa::SampleFormat wanted : {alsa::SampleFormat::I16, alsa::SampleFormat::F32}) {
        for (const alsa::SupportedConfig& r : ranges) {
            if (chosen == nullptr && r.channels == fewest && r.format == wanted) chosen = &r;
        }
    }
    for (const alsa::SupportedConfig& r : ranges) {
        if (chosen == nullptr && r.channels == fewest) chosen = &r;
    }
    uint32_t rate = chosen->max_sample_rate;
    if (holds(*chosen, 48000)) {
        rate = 48000;
    } else if (holds(*chosen, 44100)) {
        rate = 44100;
    }
    return alsa::StreamConfig{chosen->channels, rate, chosen->format};
}

Result<alsa::StreamConfig> pick_input_probe_config(DeviceAccess& access,
                                                   const alsa::Device& device) {
    Result<std::vector<alsa::SupportedConfig>> ranges =
        access.supported_configs(device, alsa::Direction::Input);
    if (!ranges) return ranges.error();
    return choose_input_probe_config(*ranges);
}

alsa::DataCallback probe_data_callback(ProbeFlags& flags) {
    return
        [seen = &flags.data_seen](alsa::Samples) { seen->store(true, std::memory_order_relaxed); };
}

alsa::ErrorCallback probe_error_callback(ProbeFlags& flags) {
    return [seen = &flags.error_seen](const Error& error) {
        print_stream_line("probe_capture stream error: ", error.text);
        seen->store(true, std::memory_order_relaxed);
    };
}

bool probe_capture(DeviceAccess& access, const alsa::Device& device,
                   std::chrono::milliseconds duration) {
    Result<alsa::StreamConfig> config = pick_input_probe_config(access, device);
    if (!config) return false;
    if (!stream_format_accepted(config->format)) return false;
    // Declared before the stream, so the stream goes first on every way out.
    ProbeFlags flags;
    Result<std::unique_ptr<CaptureStream>> built = access.build_capture(
        device, *config, probe_data_callback(flags), probe_error_callback(flags));
    if (!built) return false;
    std::unique_ptr<CaptureStream> stream = std::move(*built);
    if (!stream->play()) {
        stream->close();
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + duration;
    bool delivered = false;
    for (;;) {
        if (std::chrono::steady_clock::now() >= deadline) {
            delivered = flags.data_seen.load(std::memory_order_relaxed) &&
                        !flags.error_seen.load(std::memory_order_relaxed);
            break;
        }
        if (flags.error_seen.load(std::memory_order_relaxed)) break;
        if (flags.data_seen.load(std::memory_order_relaxed)) {
            std::this_thread::sleep_for(kProbeSettle);
            delivered = !flags.error_seen.load(std::memory_order_relaxed);
            break;
        }
        std::this_thread::sleep_for(kProbePoll);
    }
    stream->close();
    return delivered;
}

void print_stream_line(std::string_view prefix, std::string_view text) {
    char newline = '\n';
    iovec parts[3] = {{const_cast<char*>(prefix.data()), prefix.size()},
                      {const_cast<char*>(text.data()), text.size()},
                      {&newline, 1}};
    // One writev keeps the line whole; a short write is not retried.
    while (::writev(STDERR_FILENO, parts, 3) < 0 && errno == EINTR) {
    }
}

}  // namespace soundcard
