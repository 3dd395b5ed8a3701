#include "modem/level_scan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "support/scripted_devices.h"

namespace {

using namespace std::chrono_literals;
using alsa::SampleFormat;
using alsa::SupportedConfig;
using modem::InUseDevices;
using test_support::ScriptedBuffer;
using test_support::ScriptedDevice;
using test_support::ScriptedDevices;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

float metered(const std::vector<ScriptedBuffer>& buffers) {
    modem::PeakCell cell;
    for (const ScriptedBuffer& b : buffers) {
        std::visit([&cell](const auto& v) { modem::level_meter_callback(std::span(v), cell); }, b);
    }
    return cell.value();
}

TEST(LevelMeter, PeakPerFormatInDbfs) {
    struct Row {
        std::string name;
        std::vector<ScriptedBuffer> buffers;
        float dbfs;
        bool signal;
    };
    const std::vector<Row> rows = {
        {"one signed step", {std::vector<int16_t>{0, 1, -1}}, -90.30900f, false},
        {"signed full scale is -32768", {std::vector<int16_t>{32767, -32768}}, 0.0f, true},
        {"unsigned mid scale is silence", {std::vector<uint16_t>{32768, 32768}}, -96.0f, false},
        {"unsigned 0 is full scale", {std::vector<uint16_t>{0}}, 0.0f, true},
        {"unsigned 65535", {std::vector<uint16_t>{65535}}, -0.000265f, true},
        {"float unclamped, NaN never counts",
         {std::vector<float>{1.5f, kNaN, -0.2f}},
         3.52183f,
         true},
        {"only NaN is silence", {std::vector<float>{kNaN, kNaN}}, -96.0f, false},
        {"no floor below -96", {std::vector<float>{1e-6f}}, -120.0f, false},
        {"every channel of the interleaved buffer counts",
         {std::vector<int16_t>{0, 16384, 0, -100}},
         -6.02060f,
         true},
        {"the cell only grows; an empty buffer changes nothing",
         {std::vector<int16_t>{3277}, std::vector<int16_t>{10}, std::vector<int16_t>{}},
         -19.99947f,
         true},
        {"nothing delivered", {}, -96.0f, false},
    };
    for (const Row& row : rows) {
        const float dbfs = modem::peak_dbfs(metered(row.buffers));
        EXPECT_NEAR(dbfs, row.dbfs, 1e-4f) << row.name;
        EXPECT_EQ(modem::has_signal(dbfs), row.signal) << row.name;
    }
}

TEST(LevelMeter, SignalStrictlyAboveMinusForty) {
    EXPECT_FALSE(modem::has_signal(-40.0f));
    EXPECT_TRUE(modem::has_signal(-39.99f));
    EXPECT_FALSE(modem::has_signal(-96.0f));
    EXPECT_EQ(modem::peak_dbfs(0.0f), -96.0f);
    EXPECT_EQ(modem::peak_dbfs(1.0f), 0.0f);
}

std::vector<SupportedConfig> ranges(SampleFormat format) {
    return {{1, 8000, 48000, format}};
}

// Cards 0 = PCH and 1 = Device, with a default device.
ScriptedDevices two_cards() {
    ScriptedDevices s;
    s.cards = {{0, "PCH"}, {1, "Device"}};
    ScriptedDevice pch = test_support::silent("hw:CARD=PCH,DEV=0");
    pch.buffers = {std::vector<int16_t>{0, 16384, -100}};
    ScriptedDevice pch_plug = pch;
    pch_plug.device.name = "plughw:CARD=PCH,DEV=0";
    ScriptedDevice usb = test_support::silent("plughw:CARD=Device,DEV=0");
    usb.capture_ranges = ranges(SampleFormat::U16);
    usb.buffers = {std::vector<uint16_t>{32768, 32768 + 3277}};
    ScriptedDevice usb_hw = usb;
    usb_hw.device.name = "hw:CARD=Device,DEV=0";
    ScriptedDevice playback_only = test_support::silent("hw:CARD=Out,DEV=0");
    playback_only.capture = false;
    s.devices_listed = {test_support::silent("default"),
                        pch,
                        pch_plug,
                        usb_hw,
                        usb,
                        playback_only,
                        test_support::delivering("dsnoop:CARD=PCH")};
    return s;
}

ScriptedDevice& usb_device(ScriptedDevices& s) {
    for (ScriptedDevice& d : s.devices_listed) {
        if (d.device.name == "plughw:CARD=Device,DEV=0") return d;
    }
    throw std::logic_error("no USB device");
}

std::string describe(const ipc::proto::InputDeviceLevel& e) {
    return fmt::format("{} {:.2f}{} {}", e.name(), e.peak_dbfs(), e.has_signal() ? " signal" : "",
                       e.error());
}

const std::string kDefault = "default -96.00 ";
const std::string kPch = "plughw:CARD=PCH,DEV=0 -6.02 signal ";
const std::string kUsb = "plughw:CARD=Device,DEV=0 -20.00 signal ";

TEST(ScanInputLevels, ScenariosOverTwoCards) {
    struct Row {
        std::string name;
        std::function<void(ScriptedDevices&)> edit;
        InUseDevices in_use;
        std::vector<std::string> entries;
        std::vector<std::string> builds;
        std::string untouched = {};
    };
    const std::string in_use_text =
        "in use by a running channel \xE2\x80\x94 live level is shown on the device card";
    const std::vector<Row> rows = {
        {"each card measured once through its preferred name",
         [](ScriptedDevices&) {},
         {},
         {kDefault, kPch, kUsb},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"a card in use is reported by the in-use name and not opened",
         [](ScriptedDevices&) {},
         {{"sysdefault:CARD=PCH", {48000, 1}}},
         {kDefault, "sysdefault:CARD=PCH -96.00 " + in_use_text, kUsb},
         {"default", "plughw:CARD=Device,DEV=0"},
         "PCH"},
        {"unreadable ranges",
         [](ScriptedDevices& s) { usb_device(s).capture_ranges = std::string("Device busy"); },
         {},
         {kDefault, kPch, "plughw:CARD=Device,DEV=0 -96.00 Device busy"},
         {"default", "plughw:CARD=PCH,DEV=0"}},
        {"no range",
         [](ScriptedDevices& s) { usb_device(s).capture_ranges = std::vector<SupportedConfig>{}; },
         {},
         {kDefault, kPch, "plughw:CARD=Device,DEV=0 -96.00 no supported input configurations"},
         {"default", "plughw:CARD=PCH,DEV=0"}},
        {"a format no stream carries",
         [](ScriptedDevices& s) { usb_device(s).capture_ranges = ranges(SampleFormat::I24); },
         {},
         {kDefault, kPch, "plughw:CARD=Device,DEV=0 -96.00 unsupported format: I24"},
         {"default", "plughw:CARD=PCH,DEV=0"}},
        {"a build failure; the next member is not tried",
         [](ScriptedDevices& s) {
             usb_device(s).build_error = "snd_pcm_open: Device or resource busy";
         },
         {},
         {kDefault, kPch, "plughw:CARD=Device,DEV=0 -96.00 snd_pcm_open: Device or resource busy"},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"a start failure is reported, whatever arrived",
         [](ScriptedDevices& s) { usb_device(s).play_error = "snd_pcm_start: Broken pipe"; },
         {},
         {kDefault, kPch, "plughw:CARD=Device,DEV=0 -96.00 snd_pcm_start: Broken pipe"},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"a library text that is not UTF-8 is made valid",
         [](ScriptedDevices& s) { usb_device(s).build_error = "bad \xff"; },
         {},
         {kDefault, kPch, "plughw:CARD=Device,DEV=0 -96.00 bad \xef\xbf\xbd"},
         {"default", "plughw:CARD=PCH,DEV=0", "plughw:CARD=Device,DEV=0"}},
        {"no device list: no entries at all",
         [](ScriptedDevices& s) { s.list_error = "Invalid argument"; },
         {{"hw:1,0", {48000, 1}}},
         {},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedDevices access = two_cards();
        row.edit(access);
        std::vector<std::string> entries;
        for (const auto& e : modem::scan_input_levels(access, 20, row.in_use)) {
            entries.push_back(describe(e));
        }
        EXPECT_EQ(entries, row.entries);
        EXPECT_EQ(access.built(), row.builds);
        if (!row.untouched.empty()) {
            EXPECT_EQ(access.calls_on(row.untouched), std::vector<std::string>{});
        }
        EXPECT_EQ(access.open_streams(), 0);
    }
}

TEST(MeasureInputLevel, WaitsExactlyTheDurationOnlyWhenTheStreamStarts) {
    struct Row {
        std::string name;
        std::optional<std::string> play_error;
        uint32_t duration_ms;
        bool waits;
    };
    const std::vector<Row> rows = {
        {"started: the whole duration", std::nullopt, 80, true},
        {"duration 0: measured without a wait", std::nullopt, 0, false},
        {"not started: no wait", std::string("snd_pcm_start: Broken pipe"), 5000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedDevices access = two_cards();
        ScriptedDevice& usb = usb_device(access);
        usb.play_error = row.play_error;
        const auto start = std::chrono::steady_clock::now();
        const ipc::proto::InputDeviceLevel entry =
            modem::measure_input_level(access, usb.device, row.duration_ms);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (row.waits) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(row.duration_ms));
        }
        if (row.play_error) {
            EXPECT_LT(elapsed, 4s);
        }
        EXPECT_EQ(describe(entry),
                  row.play_error ? "plughw:CARD=Device,DEV=0 -96.00 " + *row.play_error : kUsb);
        EXPECT_EQ(access.calls.back(), "close plughw:CARD=Device,DEV=0");
        EXPECT_EQ(access.open_streams(), 0);
    }
}

}  // namespace
