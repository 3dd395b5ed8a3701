#include "decode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "support/afsk_recording.h"
#include "support/flac_file.h"
#include "support/scratch_dir.h"
#include "support/wav_bytes.h"
#include "wavio.h"

namespace {

using Levels = std::vector<std::pair<float, float>>;

std::string document(const Levels& levels, uint64_t bad_fcs) {
    auto json = decode::summary_json(decode::summarize(levels, bad_fcs));
    EXPECT_TRUE(json.ok());
    return json.ok() ? *json : "";
}

// The level whose dB value is exactly `db` after rounding to a tenth.
float level_of_db(double db) {
    return static_cast<float>(std::pow(10.0, db / 20.0));
}

TEST(DecodeSummarize, OneFrameLevels) {
    EXPECT_EQ(document({{0.5f, 0.25f}}, 3),
              "{\n"
              "  \"rx_frames\": 1,\n"
              "  \"rx_bad_fcs\": 3,\n"
              "  \"level_dbfs_med\": -8.5,\n"
              "  \"mark_dbfs_med\": -6.0,\n"
              "  \"space_dbfs_med\": -12.0,\n"
              "  \"twist_db_med\": 6.0,\n"
              "  \"sample_rate\": 0\n"
              "}");
    // A silent space tone: -60 floor, and a mark of exactly full level is +0.0.
    EXPECT_EQ(document({{1.0f, 0.0f}}, 0),
              "{\n"
              "  \"rx_frames\": 1,\n"
              "  \"rx_bad_fcs\": 0,\n"
              "  \"level_dbfs_med\": -6.0,\n"
              "  \"mark_dbfs_med\": 0.0,\n"
              "  \"space_dbfs_med\": -60.0,\n"
              "  \"twist_db_med\": 60.0,\n"
              "  \"sample_rate\": 0\n"
              "}");
}

TEST(DecodeSummarize, DbRule) {
    struct Case {
        float mark;
        float expected_db;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {0.0001f, -60.0f},  // -80 dB floored
        {0.0f, -60.0f},    {-1.0f, -60.0f},
        {nan, -60.0f},     {0.999f, 0.0f},  // rounds to -0.0, reported as +0.0
        {0.5f, -6.0f},     {2.0f, 6.0f},
    };
    for (const Case& c : cases) {
        auto s = decode::summarize(Levels{{c.mark, 1.0f}}, 0);
        EXPECT_EQ(s.mark_dbfs_med, c.expected_db) << c.mark;
        EXPECT_FALSE(std::signbit(s.mark_dbfs_med) && s.mark_dbfs_med == 0.0f) << c.mark;
    }
    // The mean level ignores a NaN or negative tone level.
    EXPECT_EQ(decode::summarize(Levels{{nan, 0.5f}}, 0).level_dbfs_med, -12.0f);
    EXPECT_EQ(decode::summarize(Levels{{-3.0f, 0.5f}}, 0).level_dbfs_med, -12.0f);
}

TEST(DecodeSummarize, MediansOverFrames) {
    // Two frames at -10.5 and -10.2 dB: the float mean prints as -10.35.
    auto two = document(
        {{level_of_db(-10.5), level_of_db(-20.0)}, {level_of_db(-10.2), level_of_db(-20.0)}}, 0);
    EXPECT_NE(two.find("\"mark_dbfs_med\": -10.35,\n"), std::string::npos) << two;
    EXPECT_NE(two.find("\"space_dbfs_med\": -20.0,\n"), std::string::npos) << two;
    EXPECT_NE(two.find("\"rx_frames\": 2,\n"), std::string::npos) << two;

    // Three frames: the middle value after sorting, whatever their order.
    auto three = decode::summarize(
        Levels{{level_of_db(-3.0), 1.0f}, {level_of_db(-30.0), 1.0f}, {level_of_db(-9.0), 1.0f}},
        0);
    EXPECT_EQ(three.mark_dbfs_med, -9.0f);
    EXPECT_EQ(three.twist_db_med, 9.0f);
}

TEST(DecodeSummarize, NoFrames) {
    EXPECT_EQ(document({}, 7),
              "{\n"
              "  \"rx_frames\": 0,\n"
              "  \"rx_bad_fcs\": 7,\n"
              "  \"level_dbfs_med\": -60.0,\n"
              "  \"mark_dbfs_med\": -60.0,\n"
              "  \"space_dbfs_med\": -60.0,\n"
              "  \"twist_db_med\": -60.0,\n"
              "  \"sample_rate\": 0\n"
              "}");
}

TEST(DecodeSummarize, InfiniteLevelsPrintAsNull) {
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(document({{inf, inf}}, 0),
              "{\n"
              "  \"rx_frames\": 1,\n"
              "  \"rx_bad_fcs\": 0,\n"
              "  \"level_dbfs_med\": null,\n"
              "  \"mark_dbfs_med\": null,\n"
              "  \"space_dbfs_med\": null,\n"
              "  \"twist_db_med\": null,\n"
              "  \"sample_rate\": 0\n"
              "}");
}

TEST(DecodeSummarize, LargeCountsAndRate) {
    decode::DecodeSummary s;
    s.rx_frames = 18446744073709551615ull;
    s.rx_bad_fcs = 1;
    s.sample_rate = 4294967295u;
    auto json = decode::summary_json(s);
    ASSERT_TRUE(json.ok());
    EXPECT_NE(json->find("\"rx_frames\": 18446744073709551615,\n"), std::string::npos);
    EXPECT_NE(json->find("\"sample_rate\": 4294967295\n}"), std::string::npos);
}

TEST(DecodeMedian, Table) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::vector<float> values;
        float expected;
    };
    const Case cases[] = {
        {{}, -60.0f},
        {{4.0f}, 4.0f},
        {{3.0f, -1.0f, 2.0f}, 2.0f},
        {{1.0f, 2.0f, 4.0f, 3.0f}, 2.5f},
        {{-10.5f, -10.2f}, -10.35f},
        // NaN sorts last, so it never becomes the middle of three.
        {{nan, 1.0f, 2.0f}, 2.0f},
        {{2.0f, nan, 1.0f, nan, 0.0f}, 2.0f},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode::median(c.values), c.expected) << c.values.size();
    }
    EXPECT_TRUE(std::isnan(decode::median({nan, nan})));
}

}  // namespace

namespace {

using test_support::ScratchDir;

TEST(DecodeFile, GeneratedRecordings) {
    ScratchDir dir;
    for (uint32_t rate : {44100u, 48000u, 22050u, 8000u}) {
        test_support::RecordingPlan plan;
        plan.sample_rate = rate;
        plan.frames = 4;
        auto samples = test_support::afsk_recording(plan);
        std::string path = dir.file("rec" + std::to_string(rate) + ".wav");
        ASSERT_TRUE(wavio::write_wav_i16(path, samples, rate).ok());
        auto summary = decode::decode_file(path);
        ASSERT_TRUE(summary.ok()) << summary.error_text();
        EXPECT_EQ(summary->rx_frames, 4u) << rate;
        EXPECT_EQ(summary->sample_rate, rate);
        // Frames at half the transmit level: mark and space near each other.
        EXPECT_LT(summary->twist_db_med, 3.0f) << rate;
        EXPECT_GT(summary->level_dbfs_med, -30.0f) << rate;
    }
}

TEST(DecodeFile, StereoFlacUsesTheFirstChannel) {
    ScratchDir dir;
    test_support::RecordingPlan plan;
    plan.frames = 3;
    auto samples = test_support::afsk_recording(plan);
    // The second channel carries only noise.
    std::vector<int32_t> interleaved;
    test_support::NoiseSource noise(7);
    for (int16_t s : samples) {
        interleaved.push_back(s);
        interleaved.push_back(static_cast<int32_t>(3000 * noise.gaussian()));
    }
    std::string path = dir.file("stereo.flac");
    test_support::write_flac(path, plan.sample_rate, 2, 16, interleaved);
    auto summary = decode::decode_file(path);
    ASSERT_TRUE(summary.ok()) << summary.error_text();
    EXPECT_EQ(summary->rx_frames, 3u);
    EXPECT_EQ(summary->sample_rate, plan.sample_rate);
}

TEST(DecodeFile, Refusals) {
    ScratchDir dir;
    auto missing = decode::decode_file(dir.file("missing.flac"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error_text(), std::strerror(ENOENT));

    // A WAV header can declare a rate of 0 too.
    std::string zero = dir.file("rate0.wav");
    test_support::write_bytes(zero, test_support::wav_file(test_support::kWavPcm, 1, 0, 16,
                                                           test_support::int_samples({1, 2}, 2)));
    auto refused = decode::decode_file(zero);
    EXPECT_FALSE(refused.ok());

    // Silence and noise: no frames, four medians of -60.
    std::vector<int16_t> quiet(44100, 0);
    auto none = decode::decode_samples(quiet, 44100);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none->rx_frames, 0u);
    EXPECT_EQ(none->twist_db_med, -60.0f);
}

}  // namespace

namespace {

// The sample recording kept in the repository for the README's demonstration.
const std::string kSamplePath = std::string(QUILLMAR_SOURCE_DIR) + "/samples/demo.flac";
constexpr size_t kSampleFrames = 3;

test_support::RecordingPlan sample_plan() {
    test_support::RecordingPlan plan;
    plan.sample_rate = 44100;
    plan.frames = kSampleFrames;
    plan.noise_rms = 400.0;
    plan.seed = 2026;
    return plan;
}

// Writes the sample recording again; run by hand with
//   quillmar_tests --gtest_also_run_disabled_tests --gtest_filter='*Regenerate*'
TEST(DecodeSampleRecording, DISABLED_Regenerate) {
    auto samples = test_support::afsk_recording(sample_plan());
    std::vector<int32_t> wide(samples.begin(), samples.end());
    test_support::write_flac(kSamplePath, sample_plan().sample_rate, 1, 16, wide);
}

TEST(DecodeSampleRecording, DecodesToItsFrames) {
    auto summary = decode::decode_file(kSamplePath);
    ASSERT_TRUE(summary.ok()) << summary.error_text();
    EXPECT_EQ(summary->rx_frames, kSampleFrames);
    EXPECT_EQ(summary->sample_rate, 44100u);
}

}  // namespace
