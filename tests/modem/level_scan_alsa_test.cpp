// The level scan over real libasound and paced test cards, each scenario with
// its own configuration, and the peak cell raised from several threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "audio/device_access.h"
#include "modem/level_scan.h"
#include "support/alsa_config.h"
#include "support/scratch_dir.h"
#include "support/stderr_capture.h"

namespace {

TEST(PeakCellThreads, RaisedFromSeveralThreadsEndsAtTheirMaximum) {
    modem::PeakCell cell;
    constexpr int kThreads = 8, kSteps = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&cell, t] {
            // Interleaved rising values, so the threads keep overtaking each other.
            for (int i = 0; i < kSteps; ++i) {
                cell.raise(static_cast<float>(i * kThreads + t) / (kSteps * kThreads));
                cell.raise(0.0f);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(cell.value(), static_cast<float>(kSteps * kThreads - 1) / (kSteps * kThreads));
}

// One card numbered 0 with the device `device`, listed by its hw and plughw
// names, and a cards file that names it.
class OneCardScan {
public:
    explicit OneCardScan(const test_support::PacedPcm& device) {
        test_support::AlsaConfig config;
        config.card("Card", 0, {device})
            .hint("hw:CARD=Card,DEV=0", "Test card, hw", "Input")
            .hint("plughw:CARD=Card,DEV=0", "Test card, plug", "Input");
        const std::string cards = test_support::cards_file_text({{0, "Card", "Test Card"}});
        test_support::write_bytes(files_.cards_file, {cards.begin(), cards.end()});
        scoped_.emplace(dir_, config);
    }

    std::vector<ipc::proto::InputDeviceLevel> scan(uint32_t duration_ms) {
        soundcard::AlsaDeviceAccess access(files_);
        return modem::scan_input_levels(access, duration_ms, {});
    }

private:
    test_support::ScratchDir dir_;
    soundcard::SystemFiles files_{dir_.file("cards"), dir_.file("sound")};
    std::optional<test_support::ScopedAlsaConfig> scoped_;
};

TEST(ScanInputLevelsAlsa, AToneAtHalfScaleReadsMinusSixDbfs) {
    OneCardScan card({.tone_hz = 1000, .tone_amplitude = 16384});
    const auto entries = card.scan(300);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name(), "plughw:CARD=Card,DEV=0");
    EXPECT_NEAR(entries[0].peak_dbfs(), -6.02f, 0.05f);
    EXPECT_TRUE(entries[0].has_signal());
    EXPECT_EQ(entries[0].error(), "");
}

TEST(ScanInputLevelsAlsa, ASilentCardReadsTheFloor) {
    OneCardScan card({});
    const auto entries = card.scan(200);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name(), "plughw:CARD=Card,DEV=0");
    EXPECT_EQ(entries[0].peak_dbfs(), -96.0f);
    EXPECT_FALSE(entries[0].has_signal());
    EXPECT_EQ(entries[0].error(), "");
}

TEST(ScanInputLevelsAlsa, AStreamFailingMidMeasureIsReportedAndStillMeasured) {
    OneCardScan card({.tone_hz = 1000, .tone_amplitude = 16384, .fail_after_ms = 100});
    test_support::StderrCapture err;
    const auto entries = card.scan(400);
    const std::vector<std::string> lines = err.stop();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("scan level error: ")) << lines[0];
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NEAR(entries[0].peak_dbfs(), -6.02f, 0.05f);
    EXPECT_TRUE(entries[0].has_signal());
    EXPECT_EQ(entries[0].error(), "");
}

}  // namespace
