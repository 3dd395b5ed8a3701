#include "modem/config.h"
#include "modem/config_proto.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <utility>
#include <string>
#include <vector>

namespace {

using modem::ChannelConfig;
using modem::ConfigureChannelFields;

TEST(ChannelConfigFill, AllDefaultFieldsGiveTheDefaultRecord) {
    ChannelConfig c = modem::fill_channel_config(ConfigureChannelFields{});
    EXPECT_EQ(c.channel, 0u);
    EXPECT_EQ(c.modem_type, "afsk");
    EXPECT_EQ(c.demod_ensemble, "");
    EXPECT_EQ(c.num_slicers, 1u);
    EXPECT_FALSE(c.profile_b);
    EXPECT_EQ(c.fix_bits, 0);
    EXPECT_EQ(c.baud, 1200u);
    EXPECT_EQ(c.mark_freq, 1200u);
    EXPECT_EQ(c.space_freq, 2200u);
    EXPECT_EQ(c.num_decoders, 1u);
    EXPECT_EQ(c.decoder_offset, 0);
    EXPECT_EQ(c.input_device_id, 0u);
    EXPECT_EQ(c.input_channel, 0u);
    EXPECT_EQ(c.output_device_id, 0u);
    EXPECT_EQ(c.output_channel, 0u);
    EXPECT_EQ(c, modem::default_channel_config());
    EXPECT_EQ(c, ChannelConfig{});
}

// Each row changes some message fields and states the fields of the record that
// must differ from the default record; every other field must stay default.
struct FillCase {
    const char* name;
    std::function<void(ConfigureChannelFields&)> message;
    std::function<void(ChannelConfig&)> expected;
};

TEST(ChannelConfigFill, FieldRules) {
    const std::vector<FillCase> cases = {
        {"channel copied", [](auto& m) { m.channel = 7; }, [](auto& c) { c.channel = 7; }},
        {"modem_type copied", [](auto& m) { m.modem_type = "PSK"; },
         [](auto& c) { c.modem_type = "PSK"; }},
        {"ensemble copied", [](auto& m) { m.demod_ensemble = "dual"; },
         [](auto& c) { c.demod_ensemble = "dual"; }},
        {"slicers copied, no upper bound", [](auto& m) { m.num_slicers = 12; },
         [](auto& c) { c.num_slicers = 12; }},
        {"profile B", [](auto& m) { m.profile = "B"; }, [](auto& c) { c.profile_b = true; }},
        {"profile b", [](auto& m) { m.profile = "b"; }, [](auto& c) { c.profile_b = true; }},
        {"profile two letters", [](auto& m) { m.profile = "BB"; }, [](auto&) {}},
        {"profile trailing blank", [](auto& m) { m.profile = "B "; }, [](auto&) {}},
        {"profile A", [](auto& m) { m.profile = "A"; }, [](auto&) {}},
        {"fix_bits single", [](auto& m) { m.fix_bits = "single"; },
         [](auto& c) { c.fix_bits = 1; }},
        {"fix_bits double", [](auto& m) { m.fix_bits = "double"; },
         [](auto& c) { c.fix_bits = 2; }},
        {"fix_bits capitals", [](auto& m) { m.fix_bits = "DOUBLE"; }, [](auto&) {}},
        {"fix_bits capital initial", [](auto& m) { m.fix_bits = "Single"; }, [](auto&) {}},
        {"fix_bits none", [](auto& m) { m.fix_bits = "none"; }, [](auto&) {}},
        {"baud alone", [](auto& m) { m.baud = 300; }, [](auto& c) { c.baud = 300; }},
        {"tones alone",
         [](auto& m) {
             m.mark_freq = 1600;
             m.space_freq = 1800;
         },
         [](auto& c) {
             c.mark_freq = 1600;
             c.space_freq = 1800;
         }},
        {"space alone", [](auto& m) { m.space_freq = 2400; }, [](auto& c) { c.space_freq = 2400; }},
        {"decoders copied", [](auto& m) { m.num_decoders = 3; },
         [](auto& c) { c.num_decoders = 3; }},
        {"negative offset copied", [](auto& m) { m.decoder_offset = -25; },
         [](auto& c) { c.decoder_offset = -25; }},
        {"input device given",
         [](auto& m) {
             m.input_device_id = 5;
             m.input_channel = 1;
             m.device_id = 2;
             m.audio_channel = 0;
         },
         [](auto& c) {
             c.input_device_id = 5;
             c.input_channel = 1;
         }},
        {"input device 0 falls back to device_id and audio_channel",
         [](auto& m) {
             m.input_device_id = 0;
             m.input_channel = 3;
             m.device_id = 2;
             m.audio_channel = 1;
         },
         [](auto& c) {
             c.input_device_id = 2;
             c.input_channel = 1;
         }},
        {"output copied",
         [](auto& m) {
             m.output_device_id = 4;
             m.output_channel = 1;
         },
         [](auto& c) {
             c.output_device_id = 4;
             c.output_channel = 1;
         }},
        {"fx25 and il2p have no effect",
         [](auto& m) {
             m.fx25_encode = true;
             m.il2p_encode = true;
         },
         [](auto&) {}},
    };
    for (const auto& tc : cases) {
        ConfigureChannelFields m;
        tc.message(m);
        ChannelConfig expected;
        tc.expected(expected);
        EXPECT_EQ(modem::fill_channel_config(m), expected) << tc.name;
    }
}

TEST(AudioConfigFill, DefaultsAndCopies) {
    modem::AudioConfig d = modem::AudioConfig::defaults();
    EXPECT_EQ(d.device_name, "");
    EXPECT_EQ(d.source_type, "soundcard");
    EXPECT_EQ(d.format, "s16le");
    EXPECT_EQ(d.device_id, 0u);
    EXPECT_EQ(d.sample_rate, 44100u);
    EXPECT_EQ(d.channels, 1u);
    EXPECT_EQ(d.gain_db, 0.0f);

    // A message's texts and zeros are stored as they are, without defaults.
    modem::AudioConfig empty = modem::fill_audio_config(modem::ConfigureAudioFields{});
    EXPECT_EQ(empty.source_type, "");
    EXPECT_EQ(empty.format, "");
    EXPECT_EQ(empty.sample_rate, 0u);
    EXPECT_EQ(empty.channels, 0u);

    modem::AudioConfig a =
        modem::fill_audio_config(modem::ConfigureAudioFields{.device_id = 3,
                                                             .device_name = "hw:1,0",
                                                             .sample_rate = 48000,
                                                             .channels = 2,
                                                             .source_type = "flac_fast",
                                                             .format = "f32le",
                                                             .gain_db = 20.0f});
    EXPECT_EQ(a.device_id, 3u);
    EXPECT_EQ(a.device_name, "hw:1,0");
    EXPECT_EQ(a.sample_rate, 48000u);
    EXPECT_EQ(a.channels, 2u);
    EXPECT_EQ(a.source_type, "flac_fast");
    EXPECT_EQ(a.format, "f32le");
    EXPECT_EQ(a.gain_db, 12.0f);
}

TEST(GainClamp, LimitsAndNan) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const struct {
        float in;
        float out;
    } cases[] = {
        {20.0f, 12.0f}, {-100.0f, -60.0f}, {-60.0f, -60.0f}, {12.0f, 12.0f},   {3.5f, 3.5f},
        {inf, 12.0f},   {-inf, -60.0f},    {0.0f, 0.0f},     {12.001f, 12.0f},
    };
    for (const auto& c : cases) EXPECT_EQ(modem::clamp_gain_db(c.in), c.out) << c.in;
    EXPECT_EQ(modem::clamp_gain_db(std::nanf("")), 0.0f);
    modem::ConfigureAudioFields nan_gain;
    nan_gain.gain_db = std::nanf("");
    EXPECT_EQ(modem::fill_audio_config(nan_gain).gain_db, 0.0f);
}

TEST(ConfigFromMessages, SameRulesAsTheFieldValues) {
    EXPECT_EQ(modem::fill_channel_config(ipc::proto::ConfigureChannel{}),
              modem::default_channel_config());

    ipc::proto::ConfigureChannel channel;
    channel.set_channel(9);
    channel.set_device_id(2);
    channel.set_audio_channel(1);
    channel.set_input_channel(3);
    channel.set_baud(300);
    channel.set_space_freq(1800);
    channel.set_modem_type("psk");
    channel.set_profile("b");
    channel.set_num_slicers(5);
    channel.set_fix_bits("single");
    channel.set_num_decoders(3);
    channel.set_decoder_offset(-40);
    channel.set_output_device_id(4);
    channel.set_output_channel(1);
    channel.set_demod_ensemble("dual");
    ChannelConfig expected;
    expected.channel = 9;
    expected.input_device_id = 2;
    expected.input_channel = 1;
    expected.baud = 300;
    expected.space_freq = 1800;
    expected.modem_type = "psk";
    expected.profile_b = true;
    expected.num_slicers = 5;
    expected.fix_bits = 1;
    expected.num_decoders = 3;
    expected.decoder_offset = -40;
    expected.output_device_id = 4;
    expected.output_channel = 1;
    expected.demod_ensemble = "dual";
    EXPECT_EQ(modem::fill_channel_config(channel), expected);
    channel.set_input_device_id(6);
    EXPECT_EQ(modem::fill_channel_config(channel).input_device_id, 6u);
    EXPECT_EQ(modem::fill_channel_config(channel).input_channel, 3u);

    ipc::proto::ConfigureAudio audio;
    audio.set_device_id(1);
    audio.set_device_name("plughw:1,0");
    audio.set_sample_rate(48000);
    audio.set_channels(2);
    audio.set_source_type("soundcard");
    audio.set_format("s16le");
    audio.set_gain_db(-100.0f);
    modem::AudioConfig a = modem::fill_audio_config(audio);
    EXPECT_EQ(a.device_id, 1u);
    EXPECT_EQ(a.device_name, "plughw:1,0");
    EXPECT_EQ(a.sample_rate, 48000u);
    EXPECT_EQ(a.channels, 2u);
    EXPECT_EQ(a.source_type, "soundcard");
    EXPECT_EQ(a.format, "s16le");
    EXPECT_EQ(a.gain_db, -60.0f);
    EXPECT_EQ(modem::fill_audio_config(ipc::proto::ConfigureAudio{}),
              modem::fill_audio_config(modem::ConfigureAudioFields{}));
}

}  // namespace

namespace {

// The tones of each extra demodulator, in order.
struct ExtraCase {
    const char* name;
    std::string modem_type;
    uint32_t mark, space, num_decoders;
    int32_t offset;
    std::vector<std::pair<uint32_t, uint32_t>> tones;
};

TEST(ExtraDemodConfigs, OffsetsOnlyAfskTonesAndLimitsTheCount) {
    std::vector<std::pair<uint32_t, uint32_t>> forty;
    for (uint32_t i = 1; i <= 31; ++i) forty.emplace_back(1200 + 10 * i, 2200 + 10 * i);
    const std::vector<ExtraCase> cases = {
        {"negative offset lowers both tones", "afsk", 1200, 2200, 3, -100,
         {{1100, 2100}, {1000, 2000}}},
        {"psk gets unchanged copies", "psk", 1200, 2200, 3, -100, {{1200, 2200}, {1200, 2200}}},
        {"modem type compared exactly", "AFSK", 1200, 2200, 2, 50, {{1200, 2200}}},
        {"offset 0 gives none", "afsk", 1200, 2200, 3, 0, {}},
        {"one decoder gives none", "afsk", 1200, 2200, 1, 100, {}},
        {"below zero wraps", "afsk", 50, 2200, 2, -100, {{4294967246u, 2100}}},
        {"forty decoders give 31 extras", "afsk", 1200, 2200, 40, 10, forty},
    };
    for (const ExtraCase& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelConfig cfg;
        cfg.channel = 4;
        cfg.modem_type = c.modem_type;
        cfg.mark_freq = c.mark;
        cfg.space_freq = c.space;
        cfg.num_decoders = c.num_decoders;
        cfg.decoder_offset = c.offset;
        const std::vector<ChannelConfig> extras = modem::extra_demod_configs(cfg);
        ASSERT_EQ(extras.size(), c.tones.size());
        for (size_t i = 0; i < extras.size(); ++i) {
            ChannelConfig expected = cfg;
            expected.mark_freq = c.tones[i].first;
            expected.space_freq = c.tones[i].second;
            EXPECT_EQ(extras[i], expected) << "extra " << i + 1;
        }
    }
}

}  // namespace
