#include "audio/probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/scripted_devices.h"
#include "support/stderr_capture.h"

namespace {

using namespace std::chrono_literals;
using alsa::SampleFormat;
using alsa::StreamConfig;
using alsa::SupportedConfig;
using test_support::ScriptedDevice;
using test_support::ScriptedDevices;

TEST(PickInputProbeConfig, FewestChannelsThenFormatThenRate) {
    struct Row {
        std::string name;
        std::vector<SupportedConfig> ranges;
        std::string expected;  // "channels/rate/format" or the error
    };
    const std::vector<Row> rows = {
        {"fewest channels, signed 16-bit over an earlier float range, its highest rate",
         {{2, 8000, 96000, SampleFormat::I16},
          {1, 8000, 44100, SampleFormat::F32},
          {1, 8000, 32000, SampleFormat::I16}},
         "1/32000/I16"},
        {"a single rate above the candidates",
         {{1, 96000, 96000, SampleFormat::I16}},
         "1/96000/I16"},
        {"48000 when held", {{2, 8000, 192000, SampleFormat::I16}}, "2/48000/I16"},
        {"44100 when 48000 is not held", {{1, 8000, 44100, SampleFormat::I16}}, "1/44100/I16"},
        {"the first range of the format, not the best one",
         {{1, 8000, 16000, SampleFormat::I16}, {1, 8000, 48000, SampleFormat::I16}},
         "1/16000/I16"},
        {"float over other formats",
         {{1, 8000, 48000, SampleFormat::I24}, {1, 8000, 48000, SampleFormat::F32}},
         "1/48000/F32"},
        {"else the first of any format",
         {{2, 8000, 48000, SampleFormat::I24}, {2, 8000, 44100, SampleFormat::U16}},
         "2/48000/I24"},
        {"no range", {}, "no supported input configurations"},
    };
    for (const Row& row : rows) {
        Result<StreamConfig> got = soundcard::choose_input_probe_config(row.ranges);
        const std::string text = got ? std::to_string(got->channels) + "/" +
                                           std::to_string(got->sample_rate) + "/" +
                                           std::string(alsa::format_short_name(got->format))
                                     : got.error_text();
        EXPECT_EQ(text, row.expected) << row.name;
    }
}

TEST(PickInputProbeConfig, ReadsTheCaptureRangesOfTheDevice) {
    ScriptedDevices access;
    ScriptedDevice readable = test_support::silent("hw:CARD=A,DEV=0");
    readable.capture_ranges = std::vector<SupportedConfig>{{2, 8000, 48000, SampleFormat::F32}};
    readable.playback_ranges = std::vector<SupportedConfig>{{1, 8000, 48000, SampleFormat::I16}};
    ScriptedDevice unreadable = test_support::silent("hw:CARD=B,DEV=0");
    unreadable.capture_ranges = std::string("Device or resource busy");
    access.devices_listed = {readable, unreadable};

    Result<StreamConfig> got = soundcard::pick_input_probe_config(access, readable.device);
    ASSERT_TRUE(got) << got.error_text();
    EXPECT_EQ(*got, (StreamConfig{2, 48000, SampleFormat::F32}));
    got = soundcard::pick_input_probe_config(access, unreadable.device);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error_text(), "Device or resource busy");
}

TEST(ProbeCapture, TrueOnlyForAudioWithoutAStreamErrorAndAlwaysClosed) {
    const std::string name = "plughw:CARD=A,DEV=0";
    auto device = [&](auto edit) {
        ScriptedDevice d = test_support::delivering(name);
        edit(d);
        return d;
    };
    struct Row {
        std::string case_name;
        ScriptedDevice device;
        bool delivered;
        std::vector<std::string> calls;
        std::vector<std::string> lines;
    };
    const std::vector<std::string> full = {"ranges " + name, "build " + name, "play " + name,
                                           "close " + name};
    const std::vector<Row> rows = {
        {"a signed 16-bit buffer", device([](ScriptedDevice&) {}), true, full, {}},
        {"an empty unsigned 16-bit buffer counts",
         device([](ScriptedDevice& d) {
             d.capture_ranges = std::vector<SupportedConfig>{{1, 8000, 48000, SampleFormat::U16}};
             d.buffers = {std::vector<uint16_t>{}};
         }),
         true,
         full,
         {}},
        {"a float buffer",
         device([](ScriptedDevice& d) {
             d.capture_ranges = std::vector<SupportedConfig>{{1, 8000, 48000, SampleFormat::F32}};
             d.buffers = {std::vector<float>{0.5f}};
         }),
         true,
         full,
         {}},
        {"audio and a stream error",
         device([](ScriptedDevice& d) { d.error_in_play = "Input/output error"; }),
         false,
         full,
         {"probe_capture stream error: Input/output error"}},
        {"a start failure closes the stream",
         device([](ScriptedDevice& d) { d.play_error = "snd_pcm_start: Broken pipe"; }),
         false,
         full,
         {}},
        {"a build failure",
         device([](ScriptedDevice& d) { d.build_error = "snd_pcm_open: Device or resource busy"; }),
         false,
         {"ranges " + name, "build " + name},
         {}},
        {"unreadable ranges",
         device([](ScriptedDevice& d) { d.capture_ranges = std::string("x"); }),
         false,
         {"ranges " + name},
         {}},
        {"no range",
         device([](ScriptedDevice& d) { d.capture_ranges = std::vector<SupportedConfig>{}; }),
         false,
         {"ranges " + name},
         {}},
        {"a format no stream carries is not opened",
         device([](ScriptedDevice& d) {
             d.capture_ranges = std::vector<SupportedConfig>{{1, 8000, 48000, SampleFormat::I24}};
         }),
         false,
         {"ranges " + name},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.case_name);
        ScriptedDevices access;
        access.devices_listed = {row.device};
        test_support::StderrCapture err;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(soundcard::probe_capture(access, row.device.device, 5s), row.delivered);
        // Audio ends the probe soon after the first buffer, never at the deadline.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
        EXPECT_EQ(err.stop(), row.lines);
        EXPECT_EQ(access.calls, row.calls);
        EXPECT_EQ(access.open_streams(), 0);
    }
}

TEST(ProbeCapture, BuildsTheChosenConfigurationAndWaitsAfterTheFirstBuffer) {
    ScriptedDevices access;
    ScriptedDevice d = test_support::delivering("hw:CARD=A,DEV=0");
    d.capture_ranges = std::vector<SupportedConfig>{{2, 8000, 96000, SampleFormat::I16},
                                                    {1, 8000, 32000, SampleFormat::I16}};
    access.devices_listed = {d};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(soundcard::probe_capture(access, d.device, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, soundcard::kProbeSettle);
    EXPECT_EQ(access.last_config, (StreamConfig{1, 32000, SampleFormat::I16}));
}

TEST(ProbeCapture, ASilentCardIsWaitedForTheWholeDuration) {
    ScriptedDevices access;
    ScriptedDevice d = test_support::silent("hw:CARD=A,DEV=0");
    access.devices_listed = {d};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(soundcard::probe_capture(access, d.device, 60ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
    EXPECT_EQ(access.calls.back(), "close hw:CARD=A,DEV=0");
    EXPECT_EQ(access.open_streams(), 0);
}

}  // namespace
