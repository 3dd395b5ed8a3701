// "--list-audio" as a process over hermetic configurations of paced test devices.

#include "audio/listing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "audio/alsa.h"
#include "support/alsa_config.h"
#include "support/run_process.h"
#include "support/scratch_dir.h"

namespace {

using Json = nlohmann::ordered_json;
using test_support::AlsaConfig;
using test_support::PacedPcm;
using test_support::run_process;
using test_support::ScopedAlsaConfig;
using test_support::ScratchDir;

// The supported_configs of `pcm` in `direction` as the layer reports them.
Json layer_ranges(const std::string& pcm, alsa::Direction direction) {
    Result<std::vector<alsa::SupportedConfig>> ranges =
        alsa::supported_configs({pcm, std::nullopt, alsa::Ioid::Both}, direction);
    Json out = Json::array();
    if (!ranges) return out;
    for (const auto& r : *ranges) {
        out.push_back({{"channels", r.channels},
                       {"min_sample_rate_hz", r.min_sample_rate},
                       {"max_sample_rate_hz", r.max_sample_rate},
                       {"sample_format", listing::sample_format_name(r.format)}});
    }
    return out;
}

Json range(unsigned channels, unsigned min_rate, unsigned max_rate, const char* format) {
    return {{"channels", channels},
            {"min_sample_rate_hz", min_rate},
            {"max_sample_rate_hz", max_rate},
            {"sample_format", format}};
}

Json list_audio() {
    auto r = run_process(QUILLMAR_MODEM_EXE, {"--list-audio"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    return Json::parse(r.out);
}

TEST(AudioListingProcess, ListsEveryDeviceOfTheConfigurationInEachDirection) {
    ScratchDir dir;
    PacedPcm default_pcm;
    default_pcm.channels = {1, 2};
    default_pcm.rates = {44100, 48000};
    PacedPcm usb;
    usb.formats = {"S16_LE", "FLOAT_LE"};
    usb.channels = {1, 2};
    usb.rate_min = 8000;
    usb.rate_max = 48000;
    PacedPcm mic;
    mic.stream = "capture";
    mic.rates = {16000};
    AlsaConfig config;
    config.pcm("default", default_pcm)
        .card("Device", 1, {usb})
        .pcm("mic", mic)
        .hint("default", "Default Audio Device\nThe default sound card")
        .hint("plughw:CARD=Device,DEV=0", "USB Audio Device, USB Audio\nWith conversions")
        .hint("hw:CARD=Device,DEV=0", "USB Audio Device, USB Audio\nDirect hardware device")
        // A readable name equal to the default's marks the device a default too.
        .hint("plughw:1,0", "Default Audio Device\nBy card number")
        .hint("mic", std::nullopt, "Input");
    ScopedAlsaConfig scoped(dir, config);

    const Json doc = list_audio();
    ASSERT_EQ(doc.size(), 1u) << doc.dump();
    ASSERT_EQ(doc["hosts"].size(), 1u);
    const Json& host = doc["hosts"][0];
    std::vector<std::string> keys;
    for (const auto& item : host.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "name", "is_default", "devices"}));
    EXPECT_EQ(host["id"], "alsa");
    EXPECT_EQ(host["name"], "Alsa");
    EXPECT_EQ(host["is_default"], true);

    struct Entry {
        std::string pcm;
        std::string name;
        std::string direction;
        bool is_default;
        bool recommended;
        Json ranges;  // what the device declares
    };
    const Json default_ranges =
        Json::array({range(1, 44100, 44100, "i16"), range(1, 48000, 48000, "i16"),
                     range(2, 44100, 44100, "i16"), range(2, 48000, 48000, "i16")});
    const Json card_ranges =
        Json::array({range(1, 8000, 48000, "i16"), range(2, 8000, 48000, "i16"),
                     range(1, 8000, 48000, "f32"), range(2, 8000, 48000, "f32")});
    using D = alsa::Direction;
    const std::vector<Entry> expected = {
        {"default", "Default Audio Device", "input", true, false, default_ranges},
        {"plughw:CARD=Device,DEV=0", "USB Audio Device, USB Audio", "input", false, true,
         layer_ranges("plughw:CARD=Device,DEV=0", D::Input)},
        {"hw:CARD=Device,DEV=0", "USB Audio Device, USB Audio", "input", false, false, card_ranges},
        {"plughw:1,0", "Default Audio Device", "input", true, false,
         layer_ranges("plughw:1,0", D::Input)},
        {"mic", "mic", "input", false, false, Json::array({range(1, 16000, 16000, "i16")})},
        {"default", "Default Audio Device", "output", true, false, default_ranges},
        {"plughw:CARD=Device,DEV=0", "USB Audio Device, USB Audio", "output", false, true,
         layer_ranges("plughw:CARD=Device,DEV=0", D::Output)},
        {"hw:CARD=Device,DEV=0", "USB Audio Device, USB Audio", "output", false, false,
         card_ranges},
        {"plughw:1,0", "Default Audio Device", "output", true, false,
         layer_ranges("plughw:1,0", D::Output)},
    };
    const Json& devices = host["devices"];
    ASSERT_EQ(devices.size(), expected.size()) << devices.dump();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Entry& e = expected[i];
        SCOPED_TRACE(e.pcm + " " + e.direction);
        Json want = {{"name", e.name}, {"direction", e.direction}, {"is_default", e.is_default}};
        if (e.recommended) want["recommended"] = true;
        ASSERT_FALSE(e.ranges.empty());
        want["supported_configs"] = e.ranges;
        EXPECT_EQ(devices[i], want);
    }
}

TEST(AudioListingProcess, AConfigurationThatDoesNotParseIsAnIssuePerDirection) {
    ScratchDir dir;
    ScopedAlsaConfig scoped(dir, AlsaConfig().raw("pcm.broken { type"));
    auto r = run_process(QUILLMAR_MODEM_EXE, {"--list-audio"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              R"({"hosts":[{"id":"alsa","name":"Alsa","is_default":true,"devices":[]}],)"
              R"("issues":[{"kind":"enumerate_failed","message":"Alsa input: Invalid argument"},)"
              R"({"kind":"enumerate_failed","message":"Alsa output: Invalid argument"}]})"
              "\n");
}

TEST(AudioListingProcess, AListingThatCannotBeWrittenIsAFailure) {
    ScratchDir dir;
    ScopedAlsaConfig scoped(dir, AlsaConfig().pcm("cap", {}).hint("cap", "Capture"));
    auto r = run_process(
        "/bin/sh", {"-c", std::string("exec ") + QUILLMAR_MODEM_EXE + " --list-audio >/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("quillmar-modem: write to standard output: ") +
                         std::strerror(ENOSPC) + "\n");
}

}  // namespace
