#include "modem/level_scan.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <string>
#include <variant>

#include "audio/probe.h"
#include "ipc/utf8.h"

namespace modem {

namespace {

using ipc::proto::InputDeviceLevel;

InputDeviceLevel level_entry(std::string_view name, float dbfs, std::string_view error) {
    InputDeviceLevel entry;
    entry.set_name(ipc::utf8::make_valid(name));
    entry.set_peak_dbfs(dbfs);
    entry.set_has_signal(has_signal(dbfs));
    entry.set_error(ipc::utf8::make_valid(error));
    return entry;
}

InputDeviceLevel failed_entry(std::string_view name, std::string_view error) {
    InputDeviceLevel entry = level_entry(name, kSilentDbfs, error);
    entry.set_has_signal(false);
    return entry;
}

template <class T, class ToFullScale>
void meter(std::span<const T> buffer, PeakCell& cell, ToFullScale to_full_scale) {
    float peak = 0.0f;
    for (T sample : buffer) {
        const float a = std::fabs(to_full_scale(sample));
        if (a > peak) peak = a;  // false for NaN
    }
    cell.raise(peak);
}

// Waits `duration`, or less once a stop is requested on `stop`.
void wait_unless_stopped(std::chrono::milliseconds duration, std::stop_token stop) {
    std::mutex lock;
    std::condition_variable_any woken;
    std::unique_lock guard(lock);
    (void)woken.wait_for(guard, stop, duration, [] { return false; });
}

}  // namespace

void PeakCell::raise(float peak) {
    uint32_t loaded = bits_.load(std::memory_order_relaxed);
    while (peak > std::bit_cast<float>(loaded)) {
        // A failed exchange reloads `loaded` and compares again.
        if (bits_.compare_exchange_weak(loaded, std::bit_cast<uint32_t>(peak),
                                        std::memory_order_relaxed, std::memory_order_relaxed)) {
            return;
        }
    }
}

float PeakCell::value() const {
    return std::bit_cast<float>(bits_.load(std::memory_order_relaxed));
}

void level_meter_callback(std::span<const float> buffer, PeakCell& cell) {
    meter(buffer, cell, [](float v) { return v; });
}

void level_meter_callback(std::span<const int16_t> buffer, PeakCell& cell) {
    meter(buffer, cell, [](int16_t s) { return static_cast<float>(s) / 32768.0f; });
}

void level_meter_callback(std::span<const uint16_t> buffer, PeakCell& cell) {
    meter(buffer, cell, [](uint16_t u) { return (static_cast<float>(u) - 32768.0f) / 32768.0f; });
}

void level_error_callback(const Error& error) {
    soundcard::print_stream_line("scan level error: ", error.text);
}

float peak_dbfs(float peak) {
    if (peak > 0.0f) return 20.0f * std::log10(peak);
    return kSilentDbfs;
}

bool has_signal(float dbfs) {
    return dbfs > kSignalDbfs;
}

InputDeviceLevel measure_input_level(soundcard::DeviceAccess& access, const alsa::Device& device,
                                     uint32_t duration_ms, std::stop_token stop) {
    Result<alsa::StreamConfig> config = soundcard::pick_input_probe_config(access, device);
    if (!config) return failed_entry(device.name, config.error_text());
    if (!soundcard::stream_format_accepted(config->format)) {
        return failed_entry(device.name, fmt::format("unsupported format: {}",
                                                     alsa::format_short_name(config->format)));
    }
    // Declared before the stream, so the stream goes first on every way out.
    PeakCell cell;
    alsa::DataCallback data = [&cell](alsa::Samples samples) {
        std::visit(
            [&cell](auto span) {
                using T = typename decltype(span)::element_type;
                level_meter_callback(std::span<const T>(span), cell);
            },
            samples);
    };
    Result<std::unique_ptr<soundcard::CaptureStream>> built =
        access.build_capture(device, *config, std::move(data), level_error_callback);
    if (!built) return failed_entry(device.name, built.error_text());
    std::unique_ptr<soundcard::CaptureStream> stream = std::move(*built);
    if (Status started = stream->play(); !started) {
        // A card that cannot start is dead, not quiet: the parent is told why.
        stream->close();
        return failed_entry(device.name, started.error_text());
    }
    wait_unless_stopped(std::chrono::milliseconds(duration_ms), stop);
    stream->close();
    return level_entry(device.name, peak_dbfs(cell.value()), "");
}

std::vector<InputDeviceLevel> scan_input_levels(soundcard::DeviceAccess& access,
                                                uint32_t duration_ms, const InUseDevices& in_use,
                                                std::stop_token stop) {
    std::vector<InputDeviceLevel> entries;
    std::optional<DeviceSelection> selection =
        select_devices(access, alsa::Direction::Input, in_use);
    if (!selection) return entries;
    for (const soundcard::AlsaCardGroup& group : selection->groups) {
        if (stop.stop_requested()) break;
        if (auto held = selection->in_use.find(group.key); held != selection->in_use.end()) {
            entries.push_back(failed_entry(held->second.name, kInUseLevelText));
            continue;
        }
        for (const std::string& member : group.members) {
            if (const alsa::Device* device = selection->kept_device(member)) {
                entries.push_back(measure_input_level(access, *device, duration_ms, stop));
                break;
            }
        }
    }
    return entries;
}

std::vector<InputDeviceLevel> scan_input_levels(uint32_t duration_ms, const InUseDevices& in_use,
                                                std::stop_token stop) {
    soundcard::AlsaDeviceAccess access;
    return scan_input_levels(access, duration_ms, in_use, std::move(stop));
}

}  // namespace modem
