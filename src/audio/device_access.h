#pragma once

// The narrow way the device inventory, the input-level scan and the capture
// probe reach the sound cards: the device list and defaults, what a device
// supports, the card table and card descriptions, and capture streams to build,
// start and close. The real access forwards to the ALSA layer and the system
// files; tests put scripted cards behind it.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/alsa.h"
#include "audio/soundcard_names.h"
#include "result.h"

namespace soundcard {

// A built capture stream. Destroying it closes it as well.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // Starts the stream; its callbacks begin.
    virtual Status play() = 0;
    // Stops and closes it; no callback runs after this returns. Never call it
    // from a callback.
    virtual void close() = 0;
};

class DeviceAccess {
public:
    virtual ~DeviceAccess() = default;

    // Every PCM of the device list, in list order.
    virtual Result<std::vector<alsa::Device>> devices() = 0;
    // The default device of a direction; none when there is none.
    virtual std::optional<alsa::Device> default_device(alsa::Direction direction) = 0;
    // Whether the device can serve `direction` (it may be opened to find out).
    virtual bool supports(const alsa::Device& device, alsa::Direction direction) = 0;
    // The device's configuration ranges in `direction`, in the library's order.
    virtual Result<std::vector<alsa::SupportedConfig>> supported_configs(
        const alsa::Device& device, alsa::Direction direction) = 0;
    // The card table, read afresh.
    virtual CardTable card_table() = 0;
    // The readable description of the card a PCM name refers to; may be empty.
    virtual std::string card_description(std::string_view name) = 0;
    // A capture stream in `config` whose callbacks run on the stream's own
    // thread; it does not run until play().
    virtual Result<std::unique_ptr<CaptureStream>> build_capture(const alsa::Device& device,
                                                                 const alsa::StreamConfig& config,
                                                                 alsa::DataCallback data,
                                                                 alsa::ErrorCallback error) = 0;
};

// Over libasound, /proc/asound/cards and sysfs (where `files` points).
class AlsaDeviceAccess final : public DeviceAccess {
public:
    explicit AlsaDeviceAccess(SystemFiles files = {});

    Result<std::vector<alsa::Device>> devices() override;
    // The layer's "default", unless its IOID rules `direction` out.
    std::optional<alsa::Device> default_device(alsa::Direction direction) override;
    bool supports(const alsa::Device& device, alsa::Direction direction) override;
    Result<std::vector<alsa::SupportedConfig>> supported_configs(
        const alsa::Device& device, alsa::Direction direction) override;
    CardTable card_table() override;
    std::string card_description(std::string_view name) override;
    Result<std::unique_ptr<CaptureStream>> build_capture(const alsa::Device& device,
                                                         const alsa::StreamConfig& config,
                                                         alsa::DataCallback data,
                                                         alsa::ErrorCallback error) override;

private:
    SystemFiles files_;
};

// Whether the device's IOID hint allows `direction`; opens nothing.
bool ioid_allows(const alsa::Device& device, alsa::Direction direction);

}  // namespace soundcard
