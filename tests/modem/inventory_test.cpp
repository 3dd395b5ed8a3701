#include "modem/inventory.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "support/scripted_devices.h"

namespace {

using alsa::SampleFormat;
using alsa::SupportedConfig;
using modem::InUseDevices;
using modem::RatesAndChannels;
using test_support::ScriptedDevice;
using test_support::ScriptedDevices;

TEST(CollectRatesAndChannels, RangeOrderThenCandidateOrderEachValueOnce) {
    struct Row {
        std::string name;
        std::vector<SupportedConfig> ranges;
        RatesAndChannels expected;
    };
    const std::vector<Row> rows = {
        {"never sorted",
         {{1, 44100, 48000, SampleFormat::I16}, {1, 8000, 48000, SampleFormat::I16}},
         {{44100, 48000, 8000, 11025, 16000, 22050}, {1}}},
        {"channel counts in range order, once each",
         {{2, 8000, 8000, SampleFormat::I16},
          {1, 8000, 8000, SampleFormat::I16},
          {2, 8000, 8000, SampleFormat::F32}},
         {{8000}, {2, 1}}},
        {"bounds included, rates between candidates ignored",
         {{1, 11025, 22050, SampleFormat::I16}, {4, 12000, 15999, SampleFormat::I16}},
         {{11025, 16000, 22050}, {1, 4}}},
        {"a range without a candidate rate still gives its channels",
         {{2, 96000, 192000, SampleFormat::I16}},
         {{}, {2}}},
        {"no range", {}, {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(modem::collect_rates_and_channels(row.ranges), row.expected) << row.name;
    }
}

// One entry on one line, every field but host_api and audio_enhancements_enabled.
std::string describe(const ipc::proto::AudioDeviceInfo& e) {
    return fmt::format("{} {} | {} | {} | {} | {} |{}{}", e.kind(), e.stable_id(), e.name(),
                       e.description(), fmt::join(e.sample_rates(), ","),
                       fmt::join(e.channel_counts(), ","), e.is_default() ? " default" : "",
                       e.recommended() ? " recommended" : "");
}

std::vector<SupportedConfig> ranges(uint16_t channels, uint32_t min, uint32_t max) {
    return {{channels, min, max, SampleFormat::I16}};
}

// Cards 0 = PCH (built in) and 1 = Device (USB), a default device, and names
// the inventory leaves out.
ScriptedDevices two_cards() {
    ScriptedDevices s;
    s.cards = {{0, "PCH"}, {1, "Device"}};
    s.descriptions_by_card = {{"PCH", "Built-in Audio"}, {"Device", "CM108AH USB Audio"}};

    ScriptedDevice def = test_support::delivering("default", "Default Audio Device\nsecond line");
    def.capture_ranges = ranges(2, 44100, 48000);
    def.playback = true;
    def.playback_ranges = ranges(2, 8000, 11025);
    s.default_input = def.device;
    s.default_output = def.device;

    auto pch = [](std::string name) {
        ScriptedDevice d =
            test_support::delivering(std::move(name), "HDA Intel PCH, ALC892 Analog\nHardware");
        d.capture_ranges = ranges(2, 48000, 48000);
        d.playback = true;  // without playback ranges: never a playback entry
        return d;
    };
    auto usb = [](std::string name) {
        ScriptedDevice d = test_support::delivering(std::move(name), "USB Audio Device, USB Audio");
        d.capture_ranges = ranges(1, 8000, 16000);
        d.playback = true;
        d.playback_ranges = ranges(1, 48000, 48000);
        return d;
    };
    s.devices_listed = {def,
                        test_support::delivering("sysdefault:CARD=PCH", "Default for PCH"),
                        pch("hw:CARD=PCH,DEV=0"),
                        pch("plughw:CARD=PCH,DEV=0"),
                        usb("hw:CARD=Device,DEV=0"),
                        usb("plughw:CARD=Device,DEV=0"),
                        test_support::delivering("null", "Discard all samples")};
    return s;
}

ScriptedDevice* listed(ScriptedDevices& s, const std::string& name) {
    for (ScriptedDevice& d : s.devices_listed) {
        if (d.device.name == name) return &d;
    }
    return nullptr;
}

const std::string kDefaultCapture =
    "1 default | Default Audio Device |  | 44100,48000 | 2 | default recommended";
const std::string kPchCapture =
    "1 plughw:CARD=PCH,DEV=0 | HDA Intel PCH, ALC892 Analog | Built-in Audio | 48000 | 2 | "
    "recommended";
const std::string kUsbCapture =
    "1 plughw:CARD=Device,DEV=0 | USB Audio Device, USB Audio | CM108AH USB Audio | "
    "8000,11025,16000 | 1 | recommended";
const std::string kDefaultPlayback =
    "2 default | Default Audio Device |  | 8000,11025 | 2 | default";
const std::string kUsbPlayback =
    "2 plughw:CARD=Device,DEV=0 | USB Audio Device, USB Audio | CM108AH USB Audio | 48000 | 1 "
    "| recommended";

TEST(EnumerateAudioDevices, ScenariosOverTwoCards) {
    struct Row {
        std::string name;
        std::function<void(ScriptedDevices&)> edit;
        InUseDevices capture_in_use;
        InUseDevices playback_in_use;
        bool include_output;
        std::vector<std::string> entries;
        std::vector<std::string> builds;  // capture streams opened, in order
        std::string untouched = {};       // no call at all on a device with this in its name
    };
    const std::vector<Row> rows = {
        {"free cards: one entry per card and direction, the preferred member probed",
         [](ScriptedDevices&) {},
         {},
         {},
         true,
         {kDefaultCapture, kPchCapture, kUsbCapture, kDefaultPlayback, kUsbPlayback},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"an in-use name the library does not list turns its whole card into one entry",
         [](ScriptedDevices&) {},
         {{"sysdefault:CARD=PCH", {48000, 2}}},
         {},
         false,
         {kDefaultCapture,
          "1 sysdefault:CARD=PCH | Built-in Audio | Built-in Audio | 48000 | 2 | recommended",
          kUsbCapture},
         {"default", "plughw:CARD=Device,DEV=0"},
         "PCH"},
        {"an in-use name without CARD= is its own group; the CARD= names are still probed",
         [](ScriptedDevices&) {},
         {{"hw:1,0", {44100, 1}}},
         {},
         false,
         {kDefaultCapture, kPchCapture, kUsbCapture, "1 hw:1,0 |  |  | 44100 | 1 | recommended"},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"every probe failing: listed unrecommended with readable ranges, else left out",
         [](ScriptedDevices& s) {
             for (ScriptedDevice& d : s.devices_listed) d.play_error = "Input/output error";
             listed(s, "hw:CARD=Device,DEV=0")->capture_ranges = std::string("busy");
             listed(s, "plughw:CARD=Device,DEV=0")->capture_ranges = std::string("busy");
         },
         {},
         {},
         false,
         {"1 default | Default Audio Device |  | 44100,48000 | 2 | default",
          "1 plughw:CARD=PCH,DEV=0 | HDA Intel PCH, ALC892 Analog | Built-in Audio | 48000 | 2 |"},
         {"default", "plughw:CARD=PCH,DEV=0", "hw:CARD=PCH,DEV=0"}},
        {"probing stops at the first member that delivers, which is chosen",
         [](ScriptedDevices& s) {
             listed(s, "plughw:CARD=PCH,DEV=0")->play_error = "Input/output error";
             listed(s, "plughw:CARD=Device,DEV=0")->build_error = "Device or resource busy";
             ScriptedDevice second = *listed(s, "plughw:CARD=Device,DEV=0");
             second.device.name = "plughw:CARD=Device,DEV=1";
             second.build_error.reset();
             s.devices_listed.push_back(second);
         },
         {},
         {},
         false,
         {kDefaultCapture,
          "1 hw:CARD=PCH,DEV=0 | HDA Intel PCH, ALC892 Analog | Built-in Audio | 48000 | 2 | "
          "recommended",
          "1 plughw:CARD=Device,DEV=1 | USB Audio Device, USB Audio | CM108AH USB Audio | "
          "8000,11025,16000 | 1 | recommended"},
         {"default", "plughw:CARD=PCH,DEV=0", "hw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0",
          "plughw:CARD=Device,DEV=1"}},
        {"ranges without a candidate rate: the rate and channels it was probed with",
         [](ScriptedDevices& s) {
             listed(s, "plughw:CARD=Device,DEV=0")->capture_ranges = ranges(2, 96000, 192000);
         },
         {},
         {},
         false,
         {kDefaultCapture, kPchCapture,
          "1 plughw:CARD=Device,DEV=0 | USB Audio Device, USB Audio | CM108AH USB Audio | "
          "192000 | 2 | recommended"},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"playback in use: its settings, recommended by its name",
         [](ScriptedDevices&) {},
         {},
         {{"hw:CARD=Device,DEV=0", {48000, 2}}},
         true,
         {kDefaultCapture, kPchCapture, kUsbCapture, kDefaultPlayback,
          "2 hw:CARD=Device,DEV=0 | CM108AH USB Audio | CM108AH USB Audio | 48000 | 2 |"},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"a recommended playback name in use",
         [](ScriptedDevices&) {},
         {},
         {{"plughw:CARD=Device,DEV=0", {8000, 1}}},
         true,
         {kDefaultCapture, kPchCapture, kUsbCapture, kDefaultPlayback,
          "2 plughw:CARD=Device,DEV=0 | CM108AH USB Audio | CM108AH USB Audio | 8000 | 1 | "
          "recommended"},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"default by description name, whichever device carries it",
         [](ScriptedDevices& s) {
             s.default_input->description = "USB Audio Device, USB Audio\nother";
             s.default_output.reset();
         },
         {},
         {},
         true,
         {"1 default | Default Audio Device |  | 44100,48000 | 2 | recommended", kPchCapture,
          "1 plughw:CARD=Device,DEV=0 | USB Audio Device, USB Audio | CM108AH USB Audio | "
          "8000,11025,16000 | 1 | default recommended",
          "2 default | Default Audio Device |  | 8000,11025 | 2 |", kUsbPlayback},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"texts that are not UTF-8: a name is unreadable, a description is replaced",
         [](ScriptedDevices& s) {
             listed(s, "default")->device.name = "default\xff";
             listed(s, "plughw:CARD=Device,DEV=0")->device.description = "USB \xc3";
             s.descriptions_by_card["PCH"] = "Built-in \xe2\x80";
         },
         {},
         {},
         false,
         {"1 plughw:CARD=PCH,DEV=0 | HDA Intel PCH, ALC892 Analog | Built-in \xef\xbf\xbd | "
          "48000 | 2 | recommended",
          "1 plughw:CARD=Device,DEV=0 | CM108AH USB Audio | CM108AH USB Audio | "
          "8000,11025,16000 | 1 | recommended"},
         {"plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"},
         "default"},
        {"no device list: no entries",
         [](ScriptedDevices& s) { s.list_error = "Invalid argument"; },
         {{"hw:1,0", {48000, 1}}},
         {{"hw:1,0", {48000, 1}}},
         true,
         {},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedDevices access = two_cards();
        row.edit(access);
        const std::vector<ipc::proto::AudioDeviceInfo> got = modem::enumerate_audio_devices(
            access, row.include_output, row.capture_in_use, row.playback_in_use);
        std::vector<std::string> entries;
        for (const auto& e : got) {
            entries.push_back(describe(e));
            EXPECT_EQ(e.host_api(), "Alsa");
            EXPECT_FALSE(e.audio_enhancements_enabled());
        }
        EXPECT_EQ(entries, row.entries);
        EXPECT_EQ(access.built(), row.builds);
        if (!row.untouched.empty()) {
            EXPECT_EQ(access.calls_on(row.untouched), std::vector<std::string>{});
        }
        EXPECT_EQ(access.open_streams(), 0);
        // Both default names are read whatever include_output says.
        EXPECT_EQ(access.default_lookups, 2);
    }
}

TEST(EnumerateAudioDevices, NamesOutsideTheFamiliesAreNeverOpened) {
    ScriptedDevices access = two_cards();
    (void)modem::enumerate_audio_devices(access, true, {}, {});
    EXPECT_TRUE(access.calls_on("sysdefault").empty());
    EXPECT_TRUE(access.calls_on("null").empty());
}

}  // namespace
