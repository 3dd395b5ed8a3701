#pragma once

// The input-level scan the parent asks for: one entry per physical capture
// card, measured by capturing for a while and keeping the largest absolute
// sample, in dBFS. A card that a running pipeline holds is reported as in use
// and never opened.

#include <atomic>
#include <cstdint>
#include <span>
#include <stop_token>
#include <string_view>
#include <vector>

#include "audio/alsa.h"
#include "audio/device_access.h"
#include "ipc/proto.h"
#include "modem/inventory.h"
#include "result.h"

namespace modem {

// The error of a card held by a running pipeline.
inline constexpr std::string_view kInUseLevelText =
    "in use by a running channel \u2014 live level is shown on the device card";

// The level of a card that delivered only silence or nothing.
inline constexpr float kSilentDbfs = -96.0f;

// Above this a card has a signal.
inline constexpr float kSignalDbfs = -40.0f;

// The largest absolute sample seen, full scale 1.0: a float's bit pattern in
// an atomic word, starting at 0.0. Only grows; any thread may raise it.
class PeakCell {
public:
    // Raises the cell to `peak` when that is greater (relaxed compare-and-swap).
    void raise(float peak);
    float value() const;

private:
    std::atomic<uint32_t> bits_{0};
};

// One buffer's largest |v| raised into `cell`, v being the float sample
// unclamped, s / 32768, or (u - 32768) / 32768. A NaN sample never counts; an
// empty buffer changes nothing.
void level_meter_callback(std::span<const float> buffer, PeakCell& cell);
void level_meter_callback(std::span<const int16_t> buffer, PeakCell& cell);
void level_meter_callback(std::span<const uint16_t> buffer, PeakCell& cell);

// Prints "scan level error: {}" on standard error; the measurement goes on.
void level_error_callback(const Error& error);

// 20 log10(peak) in single precision; kSilentDbfs when the peak is 0.
float peak_dbfs(float peak);

// Whether a level in dBFS counts as a signal: above kSignalDbfs.
bool has_signal(float dbfs);

// The entry of `device` (reported as `name`) after capturing for exactly
// duration_ms (0: no wait), or with the reason it could not be measured. A
// stop requested on `stop` ends the wait at once (the entry then holds what
// came so far).
ipc::proto::InputDeviceLevel measure_input_level(soundcard::DeviceAccess& access,
                                                 const alsa::Device& device, uint32_t duration_ms,
                                                 std::stop_token stop = {});

// One entry per card group, in group order, each card measured in turn; the
// in-use ones unopened. Never fails: without a device list, no entries. A stop
// requested on `stop` ends the scan at its next wait or card, with the
// entries made so far.
std::vector<ipc::proto::InputDeviceLevel> scan_input_levels(soundcard::DeviceAccess& access,
                                                            uint32_t duration_ms,
                                                            const InUseDevices& in_use,
                                                            std::stop_token stop = {});

// The same over the system's sound cards.
std::vector<ipc::proto::InputDeviceLevel> scan_input_levels(uint32_t duration_ms,
                                                            const InUseDevices& in_use,
                                                            std::stop_token stop = {});

}  // namespace modem
