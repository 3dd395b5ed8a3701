// The inventory over real libasound and paced test devices: a default device
// that both captures and plays, and a playback-only USB card.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/device_access.h"
#include "modem/inventory.h"
#include "support/alsa_config.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

void write_text(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    test_support::write_bytes(path.string(), std::vector<uint8_t>(text.begin(), text.end()));
}

bool holds(const google::protobuf::RepeatedField<uint32_t>& values, uint32_t value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

TEST(EnumerateAudioDevicesAlsa, HintedDefaultCaptureAndAPlaybackCard) {
    test_support::ScratchDir dir;
    test_support::AlsaConfig config;
    config.pcm("default", {.rates = {8000, 22050, 48000}, .tone_hz = 1000})
        .card("Out", 0, {{.rates = {48000}, .stream = "playback"}})
        .hint("default", "Default test device\nPaced")
        .hint("plughw:CARD=Out,DEV=0", "Out card, USB Audio", "Output");
    test_support::ScopedAlsaConfig scoped(dir, config);

    // Card 0 is a CM108AH by its USB ids.
    const soundcard::SystemFiles files{dir.file("cards"), dir.file("sound")};
    write_text(files.cards_file, test_support::cards_file_text({{0, "Out", "Out Test Card"}}));
    const fs::path usb = dir.path() / "usb1/1-1";
    write_text(usb / "idVendor", "0d8c\n");
    write_text(usb / "idProduct", "0012\n");
    fs::create_directories(fs::path(files.sound_class_dir) / "card0");
    fs::create_directory_symlink(usb, fs::path(files.sound_class_dir) / "card0/device");

    soundcard::AlsaDeviceAccess access(files);
    const auto entries = modem::enumerate_audio_devices(access, true, {}, {});
    ASSERT_EQ(entries.size(), 3u);

    const ipc::proto::AudioDeviceInfo& capture = entries[0];
    EXPECT_EQ(capture.kind(), 1);
    EXPECT_EQ(capture.stable_id(), "default");
    EXPECT_EQ(capture.name(), "Default test device");
    EXPECT_EQ(capture.description(), "");
    EXPECT_EQ(capture.host_api(), "Alsa");
    EXPECT_TRUE(capture.is_default());
    EXPECT_TRUE(capture.recommended());
    EXPECT_EQ(std::vector<uint32_t>(capture.sample_rates().begin(), capture.sample_rates().end()),
              (std::vector<uint32_t>{8000, 22050, 48000}));
    EXPECT_EQ(
        std::vector<uint32_t>(capture.channel_counts().begin(), capture.channel_counts().end()),
        (std::vector<uint32_t>{1}));

    const ipc::proto::AudioDeviceInfo& default_playback = entries[1];
    EXPECT_EQ(default_playback.kind(), 2);
    EXPECT_EQ(default_playback.stable_id(), "default");
    EXPECT_TRUE(default_playback.is_default());
    EXPECT_FALSE(default_playback.recommended());

    const ipc::proto::AudioDeviceInfo& playback = entries[2];
    EXPECT_EQ(playback.kind(), 2);
    EXPECT_EQ(playback.stable_id(), "plughw:CARD=Out,DEV=0");
    EXPECT_EQ(playback.name(), "Out card, USB Audio");
    EXPECT_EQ(playback.description(), "CM108AH USB Audio");
    EXPECT_EQ(playback.host_api(), "Alsa");
    EXPECT_FALSE(playback.is_default());
    EXPECT_TRUE(playback.recommended());
    EXPECT_TRUE(holds(playback.sample_rates(), 48000));
    EXPECT_TRUE(holds(playback.channel_counts(), 1));
}

}  // namespace
