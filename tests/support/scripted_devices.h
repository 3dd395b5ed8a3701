#pragma once

// Sound cards without a machine that has them, behind the device access of
// the inventory, the level scan and the probe: several cards, busy or failing
// ones, and a log of every call that touches a device. A capture stream hands
// its scripted buffers to the data callback while it starts, on the calling
// thread, so no thread is involved.

#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "audio/device_access.h"
#include "audio/soundcard_names.h"

namespace test_support {

using ScriptedBuffer =
    std::variant<std::vector<int16_t>, std::vector<uint16_t>, std::vector<float>>;

// Configuration ranges, or the error text of reading them.
using ScriptedRanges = std::variant<std::vector<alsa::SupportedConfig>, std::string>;

struct ScriptedDevice {
    alsa::Device device;
    bool capture = true;  // what supports() answers per direction
    bool playback = false;
    ScriptedRanges capture_ranges =
        std::vector<alsa::SupportedConfig>{{1, 8000, 48000, alsa::SampleFormat::I16}};
    ScriptedRanges playback_ranges = std::vector<alsa::SupportedConfig>{};
    std::optional<std::string> build_error;    // the stream build fails with this
    std::optional<std::string> play_error;     // starting fails with this
    std::optional<std::string> error_in_play;  // the error callback runs while starting
    std::vector<ScriptedBuffer> buffers;       // given to the data callback while starting
};

// A device that delivers one buffer of silence whenever it is started.
inline ScriptedDevice delivering(std::string name, std::optional<std::string> description = {}) {
    ScriptedDevice d;
    d.device = alsa::Device{std::move(name), std::move(description), alsa::Ioid::Both};
    d.buffers = {std::vector<int16_t>{0, 0}};
    return d;
}

// A device whose streams start and deliver nothing.
inline ScriptedDevice silent(std::string name, std::optional<std::string> description = {}) {
    ScriptedDevice d;
    d.device = alsa::Device{std::move(name), std::move(description), alsa::Ioid::Both};
    return d;
}

class ScriptedDevices final : public soundcard::DeviceAccess {
public:
    std::vector<ScriptedDevice> devices_listed;
    std::optional<std::string> list_error;
    std::optional<alsa::Device> default_input;
    std::optional<alsa::Device> default_output;
    soundcard::CardTable cards;
    std::map<std::string, std::string> descriptions_by_card;  // by the name's CARD= token

    // Every call on a device, in order: "supports NAME", "ranges NAME",
    // "build NAME", "play NAME", "close NAME".
    std::vector<std::string> calls;
    int default_lookups = 0;

    // The calls on devices whose names contain `part`.
    std::vector<std::string> calls_on(std::string_view part) const {
        std::vector<std::string> out;
        for (const std::string& c : calls) {
            if (c.find(part) != std::string::npos) out.push_back(c);
        }
        return out;
    }
    // The names of the devices streams were built on, in order.
    std::vector<std::string> built() const {
        std::vector<std::string> out;
        for (const std::string& c : calls) {
            if (c.starts_with("build ")) out.push_back(c.substr(6));
        }
        return out;
    }
    int open_streams() const { return open_; }
    std::optional<alsa::StreamConfig> last_config;

    Result<std::vector<alsa::Device>> devices() override {
        if (list_error) return Error{*list_error};
        std::vector<alsa::Device> out;
        for (const ScriptedDevice& d : devices_listed) out.push_back(d.device);
        return out;
    }
    std::optional<alsa::Device> default_device(alsa::Direction direction) override {
        ++default_lookups;
        return direction == alsa::Direction::Input ? default_input : default_output;
    }
    bool supports(const alsa::Device& device, alsa::Direction direction) override {
        calls.push_back("supports " + device.name);
        const ScriptedDevice* d = find(device.name);
        return d != nullptr && (direction == alsa::Direction::Input ? d->capture : d->playback);
    }
    Result<std::vector<alsa::SupportedConfig>> supported_configs(
        const alsa::Device& device, alsa::Direction direction) override {
        calls.push_back("ranges " + device.name);
        const ScriptedDevice* d = find(device.name);
        if (d == nullptr) return Error{"No such device"};
        const ScriptedRanges& r =
            direction == alsa::Direction::Input ? d->capture_ranges : d->playback_ranges;
        if (const std::string* error = std::get_if<std::string>(&r)) return Error{*error};
        return std::get<0>(r);
    }
    soundcard::CardTable card_table() override { return cards; }
    std::string card_description(std::string_view name) override {
        std::optional<std::string> token = soundcard::alsa_card_token(name);
        if (!token) return "";
        auto it = descriptions_by_card.find(*token);
        return it == descriptions_by_card.end() ? "" : it->second;
    }
    Result<std::unique_ptr<soundcard::CaptureStream>> build_capture(
        const alsa::Device& device, const alsa::StreamConfig& config, alsa::DataCallback data,
        alsa::ErrorCallback error) override {
        calls.push_back("build " + device.name);
        last_config = config;
        const ScriptedDevice* d = find(device.name);
        if (d == nullptr) return Error{"No such device"};
        if (d->build_error) return Error{*d->build_error};
        ++open_;
        return std::unique_ptr<soundcard::CaptureStream>(
            std::make_unique<Stream>(*this, *d, std::move(data), std::move(error)));
    }

private:
    class Stream final : public soundcard::CaptureStream {
    public:
        Stream(ScriptedDevices& owner, ScriptedDevice script, alsa::DataCallback data,
               alsa::ErrorCallback error)
            : owner_(owner),
              script_(std::move(script)),
              data_(std::move(data)),
              error_(std::move(error)) {}
        ~Stream() override { close(); }

        Status play() override {
            owner_.calls.push_back("play " + script_.device.name);
            for (ScriptedBuffer& b : script_.buffers) {
                std::visit([this](auto& v) { data_(std::span(v)); }, b);
            }
            if (script_.error_in_play) error_(Error{*script_.error_in_play});
            if (script_.play_error) return Error{*script_.play_error};
            return Status::success();
        }
        void close() override {
            if (closed_) return;
            closed_ = true;
            --owner_.open_;
            owner_.calls.push_back("close " + script_.device.name);
        }

    private:
        ScriptedDevices& owner_;
        ScriptedDevice script_;
        alsa::DataCallback data_;
        alsa::ErrorCallback error_;
        bool closed_ = false;
    };

    const ScriptedDevice* find(const std::string& name) const {
        for (const ScriptedDevice& d : devices_listed) {
            if (d.device.name == name) return &d;
        }
        return nullptr;
    }

    int open_ = 0;
};

}  // namespace test_support
