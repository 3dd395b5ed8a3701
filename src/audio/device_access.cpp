#include "audio/device_access.h"

#include <utility>

#include "modem/alsa_card.h"

namespace soundcard {

namespace {

class AlsaCaptureStream final : public CaptureStream {
public:
    explicit AlsaCaptureStream(alsa::Stream stream) : stream_(std::move(stream)) {}

    Status play() override { return stream_.play(); }
    void close() override { stream_.close(); }

private:
    alsa::Stream stream_;
};

}  // namespace

bool ioid_allows(const alsa::Device& device, alsa::Direction direction) {
    if (device.ioid == alsa::Ioid::Both) return true;
    return (device.ioid == alsa::Ioid::Input) == (direction == alsa::Direction::Input);
}

AlsaDeviceAccess::AlsaDeviceAccess(SystemFiles files) : files_(std::move(files)) {}

Result<std::vector<alsa::Device>> AlsaDeviceAccess::devices() {
    return alsa::list_devices();
}

std::optional<alsa::Device> AlsaDeviceAccess::default_device(alsa::Direction direction) {
    alsa::Device device = alsa::default_device();
    if (!ioid_allows(device, direction)) return std::nullopt;
    return device;
}

bool AlsaDeviceAccess::supports(const alsa::Device& device, alsa::Direction direction) {
    return alsa::supports(device, direction);
}

Result<std::vector<alsa::SupportedConfig>> AlsaDeviceAccess::supported_configs(
    const alsa::Device& device, alsa::Direction direction) {
    return alsa::supported_configs(device, direction);
}

CardTable AlsaDeviceAccess::card_table() {
    return read_proc_asound_cards(files_);
}

std::string AlsaDeviceAccess::card_description(std::string_view name) {
    return modem::alsa_card_description(name, files_);
}

Result<std::unique_ptr<CaptureStream>> AlsaDeviceAccess::build_capture(
    const alsa::Device& device, const alsa::StreamConfig& config, alsa::DataCallback data,
    alsa::ErrorCallback error) {
    Result<alsa::Stream> stream = alsa::build_stream(device, alsa::Direction::Input, config,
                                                     std::move(data), std::move(error));
    if (!stream) return stream.error();
    return std::unique_ptr<CaptureStream>(std::make_unique<AlsaCaptureStream>(std::move(*stream)));
}

}  // namespace soundcard
