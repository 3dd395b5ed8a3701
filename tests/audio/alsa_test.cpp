// The device side of the ALSA layer on paced test devices: the list with its
// descriptions and directions, what each device supports, and the default
// configuration chosen from that.

#include "audio/alsa.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/alsa_config.h"
#include "support/scratch_dir.h"

namespace {

using alsa::Direction;
using alsa::Ioid;
using alsa::SampleFormat;
using alsa::StreamConfig;
using alsa::SupportedConfig;

class AlsaDevices : public ::testing::Test {
protected:
    AlsaDevices() {
        test_support::write_bytes(dir_.file("busy"), {});
        test_support::write_bytes(dir_.file("gone"), {});
        test_support::AlsaConfig config;
        config.pcm("discrete", {.rates = {44100, 48000}})
            .pcm("range", {.formats = {"FLOAT_LE", "S16_LE"},
                           .channels = {2},
                           .rate_min = 8000,
                           .rate_max = 96000})
            .pcm("holes", {.channels = {1, 2, 4}})
            .pcm("i24", {.formats = {"S24_3LE"}, .channels = {2}})
            .pcm("capture_only", {.stream = "capture"})
            .pcm("busy", {.busy_while = dir_.file("busy")})
            .pcm("absent", {.absent_while = dir_.file("gone")})
            .plug("plug", "discrete")
            .plug("default", "discrete")
            .hint("default", "Default test device\nwith a second line")
            .hint("discrete", "Discrete rates")
            .hint("range", "Continuous range\n", "Output")
            .hint("holes", std::nullopt)
            .hint("i24", "Only 24-bit", "Input")
            .hint("capture_only", "Capture only")
            .hint("busy", "Busy card")
            .hint("absent", "Unplugged card")
            .hint("plug", "Plug over discrete")
            .hint("unknown", "Not defined");
        scoped_.emplace(dir_, config);
    }

    static alsa::Device named(const std::string& name, Ioid ioid = Ioid::Both) {
        return alsa::Device{name, std::nullopt, ioid};
    }

    test_support::ScratchDir dir_;
    std::optional<test_support::ScopedAlsaConfig> scoped_;
};

TEST_F(AlsaDevices, ListsEveryNamedHintInOrderWithDescriptionAndDirection) {
    Result<std::vector<alsa::Device>> devices = alsa::list_devices();
    ASSERT_TRUE(devices) << devices.error_text();
    const std::vector<alsa::Device> expected = {
        {"default", "Default test device\nwith a second line", Ioid::Both},
        {"discrete", "Discrete rates", Ioid::Both},
        {"range", "Continuous range\n", Ioid::Output},
        {"holes", std::nullopt, Ioid::Both},
        {"i24", "Only 24-bit", Ioid::Input},
        {"capture_only", "Capture only", Ioid::Both},
        {"busy", "Busy card", Ioid::Both},
        {"absent", "Unplugged card", Ioid::Both},
        {"plug", "Plug over discrete", Ioid::Both},
        {"unknown", "Not defined", Ioid::Both},
    };
    EXPECT_EQ(*devices, expected);

    EXPECT_EQ(alsa::description_name((*devices)[0]), "Default test device");
    EXPECT_EQ(alsa::description_name((*devices)[2]), "Continuous range");
    EXPECT_EQ(alsa::description_name((*devices)[3]), std::nullopt);
    EXPECT_EQ(alsa::default_device(), expected[0]);
}

TEST_F(AlsaDevices, DefaultDeviceIsPresentWithoutAListedDefault) {
    test_support::ScratchDir other;
    test_support::AlsaConfig config;
    config.pcm("cap", {}).hint("cap", "Capture");
    test_support::ScopedAlsaConfig scoped(other, config);
    EXPECT_EQ(alsa::default_device(), (alsa::Device{"default", std::nullopt, Ioid::Both}));
}

TEST(AlsaList, AConfigurationThatDoesNotParseFailsTheListButKeepsTheDefault) {
    test_support::ScratchDir dir;
    test_support::AlsaConfig config;
    config.raw("pcm.broken { type");
    test_support::ScopedAlsaConfig scoped(dir, config);
    Result<std::vector<alsa::Device>> devices = alsa::list_devices();
    ASSERT_FALSE(devices);
    EXPECT_EQ(devices.error_text(), "Invalid argument");
    EXPECT_EQ(alsa::default_device(), (alsa::Device{"default", std::nullopt, Ioid::Both}));
}

struct DeviceRow {
    std::string name;
    Ioid ioid;
    bool input;
    bool output;
    std::optional<std::vector<SupportedConfig>> input_configs;  // none: the error below
    std::string error;
    std::optional<StreamConfig> input_default;
};

TEST_F(AlsaDevices, SupportAndConfigurationsPerDevice) {
    const std::vector<DeviceRow> rows = {
        // Two separate rates: no range holds 46000.
        {"discrete", Ioid::Both, true, true,
         std::vector<SupportedConfig>{{1, 44100, 44100, SampleFormat::I16},
                                      {1, 48000, 48000, SampleFormat::I16}},
         "", StreamConfig{1, 48000, SampleFormat::I16}},
        // Listed for output only: capture is ruled out without an open.
        {"range", Ioid::Output, false, true, std::nullopt, "", std::nullopt},
        {"range", Ioid::Both, true, true,
         std::vector<SupportedConfig>{{2, 8000, 96000, SampleFormat::I16},
                                      {2, 8000, 96000, SampleFormat::F32}},
         "", StreamConfig{2, 48000, SampleFormat::I16}},
        {"holes", Ioid::Both, true, true,
         std::vector<SupportedConfig>{{1, 48000, 48000, SampleFormat::I16},
                                      {2, 48000, 48000, SampleFormat::I16},
                                      {4, 48000, 48000, SampleFormat::I16}},
         "", StreamConfig{1, 48000, SampleFormat::I16}},
        {"i24", Ioid::Both, true, true,
         std::vector<SupportedConfig>{{2, 48000, 48000, SampleFormat::I24}}, "",
         StreamConfig{2, 48000, SampleFormat::I24}},
        {"capture_only", Ioid::Both, true, false,
         std::vector<SupportedConfig>{{1, 48000, 48000, SampleFormat::I16}}, "",
         StreamConfig{1, 48000, SampleFormat::I16}},
        // A busy card is a card, whose configurations cannot be read now.
        {"busy", Ioid::Both, true, true, std::nullopt, "Device or resource busy", std::nullopt},
        {"absent", Ioid::Both, false, false, std::nullopt, "No such device", std::nullopt},
        {"unknown", Ioid::Both, false, false, std::nullopt, "No such file or directory",
         std::nullopt},
        // A name with a NUL byte is not cut short into "discrete".
        {std::string("discrete\0", 9), Ioid::Both, false, false, std::nullopt, "Invalid argument",
         std::nullopt},
    };
    for (const DeviceRow& row : rows) {
        SCOPED_TRACE(row.name);
        const alsa::Device device = named(row.name, row.ioid);
        EXPECT_EQ(alsa::supports(device, Direction::Input), row.input);
        EXPECT_EQ(alsa::supports(device, Direction::Output), row.output);
        if (row.ioid != Ioid::Both) continue;
        Result<std::vector<SupportedConfig>> configs =
            alsa::supported_configs(device, Direction::Input);
        Result<StreamConfig> default_config = alsa::default_config(device, Direction::Input);
        if (row.input_configs) {
            ASSERT_TRUE(configs) << configs.error_text();
            EXPECT_EQ(*configs, *row.input_configs);
            ASSERT_TRUE(default_config) << default_config.error_text();
            EXPECT_EQ(*default_config, *row.input_default);
        } else {
            ASSERT_FALSE(configs);
            EXPECT_EQ(configs.error_text(), row.error);
            ASSERT_FALSE(default_config);
            EXPECT_EQ(default_config.error_text(), row.error);
        }
    }
}

TEST_F(AlsaDevices, BusyOrAbsentOnlyWhileTheNamedFileExists) {
    ASSERT_FALSE(alsa::supported_configs(named("busy"), Direction::Input));
    ASSERT_FALSE(alsa::supports(named("absent"), Direction::Input));
    std::filesystem::remove(dir_.file("busy"));
    std::filesystem::remove(dir_.file("gone"));
    EXPECT_TRUE(alsa::supported_configs(named("busy"), Direction::Input));
    EXPECT_TRUE(alsa::supports(named("absent"), Direction::Input));
}

TEST_F(AlsaDevices, PlugOffersEveryFormatWithChannelCountsCappedAt32) {
    Result<std::vector<SupportedConfig>> configs =
        alsa::supported_configs(named("plug"), Direction::Output);
    ASSERT_TRUE(configs) << configs.error_text();
    std::vector<SupportedConfig> i16;
    for (const SupportedConfig& c : *configs) {
        if (c.format == SampleFormat::I16) i16.push_back(c);
        EXPECT_LE(c.channels, 32);
    }
    ASSERT_EQ(i16.size(), 32u);
    for (uint16_t channels = 1; channels <= 32; ++channels) {
        EXPECT_EQ(i16[channels - 1].channels, channels);
        EXPECT_LE(i16[channels - 1].min_sample_rate, 8000u);
        EXPECT_GE(i16[channels - 1].max_sample_rate, 384000u);
    }
    EXPECT_EQ(configs->front().format, SampleFormat::I16);
    Result<StreamConfig> chosen = alsa::default_config(named("plug"), Direction::Output);
    ASSERT_TRUE(chosen) << chosen.error_text();
    EXPECT_EQ(*chosen, (StreamConfig{1, 48000, SampleFormat::I16}));
}

TEST(AlsaDefaultConfig, RateFallsBackTo44100ThenTheHighest) {
    test_support::ScratchDir dir;
    test_support::AlsaConfig config;
    config.pcm("cd", {.formats = {"U16_LE", "FLOAT_LE"}, .rates = {22050, 44100}})
        .pcm("high", {.formats = {"U8"}, .channels = {2, 3}, .rates = {88200, 96000, 192000}});
    test_support::ScopedAlsaConfig scoped(dir, config);
    Result<StreamConfig> cd =
        alsa::default_config({"cd", std::nullopt, Ioid::Both}, Direction::Input);
    ASSERT_TRUE(cd) << cd.error_text();
    EXPECT_EQ(*cd, (StreamConfig{1, 44100, SampleFormat::F32}));
    Result<StreamConfig> high =
        alsa::default_config({"high", std::nullopt, Ioid::Both}, Direction::Output);
    ASSERT_TRUE(high) << high.error_text();
    EXPECT_EQ(*high, (StreamConfig{2, 192000, SampleFormat::U8}));
}

}  // namespace
