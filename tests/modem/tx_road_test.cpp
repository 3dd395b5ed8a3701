#include "modem/tx_road.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tx/tx.h"
#include "txtest.h"

namespace {

using ipc::proto::ConfigurePtt;
using ipc::proto::TransmitFrame;
using ipc::proto::TransmitTestSignal;
using Samples = std::vector<int16_t>;

constexpr char kPayload[] = "E2E test frame 00001";

modem::ChannelConfig channel3() {
    modem::ChannelConfig c;
    c.channel = 3;
    c.output_device_id = 5;
    c.output_channel = 1;
    return c;
}

modem::AudioConfig output5(uint32_t rate = 48000) {
    modem::AudioConfig a;
    a.device_id = 5;
    a.device_name = "plughw:1,0";
    a.source_type = "soundcard";
    a.sample_rate = rate;
    a.channels = 2;
    return a;
}

ConfigurePtt ptt(const std::string& method, uint32_t ptt_method = 0) {
    ConfigurePtt p;
    p.set_channel(3);
    p.set_method(method);
    p.set_ptt_method(ptt_method);
    return p;
}

TransmitFrame frame(uint32_t txdelay = 0, uint32_t txtail = 0) {
    TransmitFrame f;
    f.set_channel(3);
    f.set_data(kPayload);
    f.set_txdelay_override_ms(txdelay);
    f.set_txtail_override_ms(txtail);
    return f;
}

Samples frame_audio(uint32_t rate, uint32_t txdelay = 300, uint32_t txtail = 100) {
    const std::string data = kPayload;
    return *tx::build_samples(std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size()),
                              txdelay, txtail, rate, 1200, 1200, 2200);
}

Samples concat(Samples a, const Samples& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(FrameRoad, MethodAndGainGiveTheLeadInToneAndLevel) {
    struct Case {
        const char* name;
        std::optional<ConfigurePtt> ptt;
        std::optional<float> gain_db;
        size_t samples;
        float peak_dbfs;
        float rms_dbfs;
        bool clipping;
        uint32_t tone_hz;
        Samples lead_in;  // what goes before the frame's own audio
    };
    const Samples mark_tone = *txtest::tone_samples(48000, 500, 1200.0f);
    const Samples silence(24000, 0);
    const Case cases[] = {
        {"no ptt", std::nullopt, std::nullopt, 26240, -6.0233f, -9.0308f, false, 0, {}},
        {"none, 0 dB", ptt("none"), 0.0f, 26240, -6.0233f, -9.0308f, false, 0, {}},
        {"vox", ptt("vox"), std::nullopt, 50240, -4.4373f, -8.2337f, false, 0, mark_tone},
        {"digirig_tone", ptt("digirig_tone"), std::nullopt, 50240, -6.0233f, -11.8516f, false, 1200,
         silence},
        {"android 4", ptt("android", 4), std::nullopt, 50240, -4.4373f, -8.2337f, false, 0,
         mark_tone},
        {"android 3", ptt("android", 3), std::nullopt, 26240, -6.0233f, -9.0308f, false, 0, {}},
        {"serial_rts", ptt("serial_rts"), std::nullopt, 26240, -6.0233f, -9.0308f, false, 0, {}},
        {"gain 12", std::nullopt, 12.0f, 26240, -0.0003f, -1.0705f, true, 0, {}},
    };
    const modem::ChannelConfig channel = channel3();
    const modem::AudioConfig output = output5();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto built = modem::build_frame_transmission(frame(), &channel, &output,
                                                     c.ptt ? &*c.ptt : nullptr, c.gain_db);
        ASSERT_TRUE(built.ok()) << built.error_text();
        const modem::TxRequest& r = built->request;
        ASSERT_EQ(r.samples.size(), c.samples);
        EXPECT_NEAR(built->level.peak_dbfs, c.peak_dbfs, 1e-4);
        EXPECT_NEAR(built->level.rms_dbfs, c.rms_dbfs, 1e-4);
        EXPECT_EQ(built->clipping, c.clipping);
        EXPECT_EQ(r.output, (soundcard::OutputSpec{"plughw:1,0", 48000, 2, 1, c.tone_hz}));
        EXPECT_EQ(r.channel, 3u);
        EXPECT_EQ(r.sample_rate, 48000u);
        EXPECT_EQ(r.output_device_id, 5u);
        if (!c.clipping) {
            EXPECT_EQ(r.samples, concat(c.lead_in, frame_audio(48000)));
        }
    }
}

TEST(FrameRoad, PlusTwelveDecibelsClipsLinearlyAtFullScale) {
    const modem::ChannelConfig channel = channel3();
    const modem::AudioConfig output = output5();
    auto built = modem::build_frame_transmission(frame(), &channel, &output, nullptr, 12.0f);
    ASSERT_TRUE(built.ok());
    const Samples plain = frame_audio(48000);
    const Samples& loud = built->request.samples;
    ASSERT_EQ(loud.size(), plain.size());
    int peak = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        const float v = 3.9810717f * static_cast<float>(plain[i]);
        const int expected = v > 32767.0f ? 32767 : v < -32767.0f ? -32767 : static_cast<int>(v);
        ASSERT_EQ(loud[i], expected) << i;
        peak = std::max(peak, std::abs(int{loud[i]}));
    }
    EXPECT_EQ(peak, 32767);
}

TEST(FrameRoad, DelaysComeFromTheFrameThenThePttSettingsThenTheDefaults) {
    struct Case {
        uint32_t override_delay, override_tail;
        std::optional<std::pair<uint32_t, uint32_t>> stored;
        modem::TxDelays expected;
    };
    const Case cases[] = {
        {0, 0, std::nullopt, {300, 100}},
        {0, 0, std::pair{0u, 0u}, {300, 100}},
        {0, 0, std::pair{500u, 0u}, {500, 100}},
        {0, 0, std::pair{0u, 40u}, {300, 40}},
        {20, 0, std::pair{500u, 200u}, {20, 200}},
        {20, 10, std::pair{500u, 200u}, {20, 10}},
        {1, 1, std::nullopt, {1, 1}},
    };
    const modem::ChannelConfig channel = channel3();
    const modem::AudioConfig output = output5(44100);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.override_delay << "/" << c.override_tail);
        std::optional<ConfigurePtt> stored;
        if (c.stored) {
            stored = ptt("none");
            stored->set_txdelay_ms(c.stored->first);
            stored->set_txtail_ms(c.stored->second);
        }
        const TransmitFrame f = frame(c.override_delay, c.override_tail);
        const ConfigurePtt* p = stored ? &*stored : nullptr;
        EXPECT_EQ(modem::frame_delays(f, p), c.expected);
        auto built = modem::build_frame_transmission(f, &channel, &output, p, std::nullopt);
        ASSERT_TRUE(built.ok());
        EXPECT_EQ(built->request.samples,
                  frame_audio(44100, c.expected.txdelay_ms, c.expected.txtail_ms));
    }
}

TEST(FrameRoad, DigirigToneAt44100HzLeadsWith22050ZeroSamples) {
    const modem::ChannelConfig channel = channel3();
    const modem::AudioConfig output = output5(44100);
    const ConfigurePtt p = ptt("digirig_tone");
    auto built = modem::build_frame_transmission(frame(), &channel, &output, &p, std::nullopt);
    ASSERT_TRUE(built.ok());
    EXPECT_EQ(built->request.samples, concat(Samples(22050, 0), frame_audio(44100)));
    EXPECT_EQ(built->request.output.ptt_tone_hz, 1200u);
}

TEST(FrameRoad, RefusalsNameWhatIsMissingOrWrong) {
    struct Case {
        const char* name;
        bool channel;
        bool output;
        uint32_t rate;
        uint32_t txdelay;
        std::string error;
    };
    const Case cases[] = {
        {"no channel", false, true, 48000, 0, "unknown channel 3"},
        {"no output", true, false, 48000, 0, "no audio config for output_device_id 5"},
        {"rate 0", true, true, 0, 0, "build_samples failed: sample rate must be non-zero"},
        {"rate above the limit", true, true, 4000000000u, 0,
         "build_samples failed: sample rate 4000000000 Hz above the limit of 384000 Hz"},
        {"rate just above", true, true, 384001, 0,
         "build_samples failed: sample rate 384001 Hz above the limit of 384000 Hz"},
        {"txdelay of an hour", true, true, 48000, 3600000,
         "build_samples failed: signal too long: 172811840 samples exceeds the limit of "
         "14400000"},
    };
    const modem::ChannelConfig channel = channel3();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const modem::AudioConfig output = output5(c.rate);
        auto built =
            modem::build_frame_transmission(frame(c.txdelay), c.channel ? &channel : nullptr,
                                            c.output ? &output : nullptr, nullptr, 6.0f);
        ASSERT_FALSE(built.ok());
        EXPECT_EQ(built.error_text(), c.error);
    }
    const modem::AudioConfig highest = output5(384000);
    auto built =
        modem::build_frame_transmission(frame(), &channel, &highest, nullptr, std::nullopt);
    ASSERT_TRUE(built.ok()) << built.error_text();
    EXPECT_EQ(built->request.samples, frame_audio(384000));
}

TransmitTestSignal test_signal(uint32_t kind) {
    TransmitTestSignal t;
    t.set_request_id(77);
    t.set_channel(3);
    t.set_kind(kind);
    t.set_callsign("N0CALL");
    t.set_cw_wpm(20);
    t.set_freq_a_hz(1000);
    t.set_freq_b_hz(2000);
    t.set_duration_ms(100);
    t.set_alt_period_ms(10);
    return t;
}

TEST(TestSignalRoad, EachKindAndMethodGivesItsSamplesAndTone) {
    struct Case {
        const char* name;
        TransmitTestSignal signal;
        std::optional<ConfigurePtt> ptt;
        Samples expected;
        uint32_t tone_hz;
    };
    TransmitTestSignal wpm0 = test_signal(0);
    wpm0.set_cw_wpm(0);
    wpm0.set_callsign("e");
    const Samples cw = *txtest::cw_samples("N0CALL", 48000, 20, 1000.0f);
    const Samples tone = *txtest::tone_samples(48000, 100, 1000.0f);
    const Case cases[] = {
        {"cw", test_signal(0), std::nullopt, cw, 0},
        {"cw at wpm 0 runs at 1", wpm0, std::nullopt, *txtest::cw_samples("E", 48000, 1, 1000.0f),
         0},
        {"tone", test_signal(1), std::nullopt, tone, 0},
        {"two tones", test_signal(2), std::nullopt,
         *txtest::alternating_samples(48000, 100, 10, 1000.0f, 2000.0f), 0},
        {"vox adds nothing", test_signal(1), ptt("vox"), tone, 0},
        {"digirig_tone keys the radio", test_signal(1), ptt("digirig_tone"),
         concat(Samples(24000, 0), tone), 1200},
    };
    const modem::ChannelConfig channel = channel3();
    const modem::AudioConfig output = output5();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto built = modem::build_test_signal_request(c.signal, &channel, &output,
                                                      c.ptt ? &*c.ptt : nullptr, std::nullopt);
        ASSERT_TRUE(built.ok()) << built.error_text();
        EXPECT_EQ(built->samples, c.expected);
        EXPECT_EQ(built->output, (soundcard::OutputSpec{"plughw:1,0", 48000, 2, 1, c.tone_hz}));
        EXPECT_EQ(built->channel, 3u);
        EXPECT_EQ(built->output_device_id, 5u);
    }

    auto quieter =
        modem::build_test_signal_request(test_signal(1), &channel, &output, nullptr, -6.0f);
    ASSERT_TRUE(quieter.ok());
    Samples expected = tone;
    (void)modem::apply_tx_gain(expected, -6.0f);
    EXPECT_EQ(quieter->samples, expected);
}

TEST(TestSignalRoad, FailuresAnswerWithTheirTexts) {
    struct Case {
        const char* name;
        TransmitTestSignal signal;
        bool channel;
        bool output;
        uint32_t rate;
        std::string error;
    };
    TransmitTestSignal unencodable = test_signal(0);
    unencodable.set_callsign("@#!");
    TransmitTestSignal empty_callsign = test_signal(0);
    empty_callsign.set_callsign("");
    TransmitTestSignal unknown_channel = test_signal(1);
    unknown_channel.set_channel(99);
    TransmitTestSignal too_long = test_signal(1);
    too_long.set_duration_ms(400000);
    const Case cases[] = {
        {"unknown channel", unknown_channel, false, true, 48000, "unknown channel 99"},
        {"no output", test_signal(1), true, false, 48000, "no audio config for output device 5"},
        {"unencodable callsign", unencodable, true, true, 48000, "callsign produced no CW symbols"},
        {"empty callsign", empty_callsign, true, true, 48000, "callsign produced no CW symbols"},
        {"kind 7", test_signal(7), true, true, 48000, "unknown test signal kind 7"},
        {"rate 0", test_signal(1), true, true, 0, "sample rate must be non-zero"},
        {"rate 0, cw", test_signal(0), true, true, 0, "sample rate must be non-zero"},
        {"rate above the limit", test_signal(1), true, true, 4000000000u,
         "sample rate 4000000000 Hz above the limit of 384000 Hz"},
        {"generator's own limit", too_long, true, true, 48000,
         "signal too long: 19200000 samples exceeds the limit of 14400000"},
    };
    const modem::ChannelConfig channel = channel3();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const modem::AudioConfig output = output5(c.rate);
        auto built =
            modem::build_test_signal_request(c.signal, c.channel ? &channel : nullptr,
                                             c.output ? &output : nullptr, nullptr, std::nullopt);
        ASSERT_FALSE(built.ok());
        EXPECT_EQ(built.error_text(), c.error);
    }
}

}  // namespace
