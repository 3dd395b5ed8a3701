#include "record.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "support/alsa_config.h"
#include "support/run_process.h"
#include "support/scratch_dir.h"
#include "wavio.h"

namespace {

namespace fs = std::filesystem;
using record::RecordArgs;
using test_support::AlsaConfig;
using test_support::PacedPcm;
using test_support::run_process;
using test_support::ScopedAlsaConfig;
using test_support::ScratchDir;

const std::string kUsage =
    "usage: quillmar-modem --record <device> --seconds <N> --out <file.wav> [--rate <hz>]";

TEST(RecordArgs, ParsesPairsAndRefusesWhatIsNotAnArgument) {
    struct Case {
        std::vector<std::string> args;
        std::variant<RecordArgs, std::string> expected;  // the arguments, or the error text
    };
    const std::string unknown_verbose = "unknown arg: --verbose\n" + kUsage;
    const std::vector<Case> cases = {
        {{}, kUsage},
        {{"hw:1,0"}, kUsage},
        {{"hw:1,0", "--seconds", "5"}, kUsage},
        {{"hw:1,0", "--seconds", "5", "--out"}, kUsage},
        {{"hw:1,0", "--out", "a.wav", "--seconds"}, kUsage},
        {{"hw:1,0", "--seconds", "5", "--out", "a.wav", "--verbose", "x"}, unknown_verbose},
        // An unknown key in last place is matched before its missing value.
        {{"hw:1,0", "--seconds", "5", "--out", "a.wav", "--verbose"}, unknown_verbose},
        {{"hw:1,0", "--Seconds", "5"}, "unknown arg: --Seconds\n" + kUsage},
        {{"hw:1,0", "--seconds", "+5", "--out", "a.wav"}, RecordArgs{"hw:1,0", "a.wav", 5, 48000}},
        {{"", "--out", "", "--seconds", "0", "--rate", "0"}, RecordArgs{"", "", 0, 0}},
        {{"d", "--seconds", "9223372036", "--out", "o", "--rate", "+4294967295"},
         RecordArgs{"d", "o", 9223372036, 4294967295u}},
        {{"d", "--seconds", "5s", "--out", "o"}, "bad --seconds"},
        {{"d", "--seconds", "-5", "--out", "o"}, "bad --seconds"},
        {{"d", "--seconds", "", "--out", "o"}, "bad --seconds"},
        {{"d", "--seconds", "+", "--out", "o"}, "bad --seconds"},
        {{"d", "--seconds", "++5", "--out", "o"}, "bad --seconds"},
        {{"d", "--seconds", " 5", "--out", "o"}, "bad --seconds"},
        {{"d", "--seconds", "18446744073709551616", "--out", "o"}, "bad --seconds"},
        {{"d", "--seconds", "9223372037", "--out", "o"}, "bad --seconds"},
        {{"d", "--seconds", "1", "--out", "o", "--rate", "1.5"}, "bad --rate"},
        {{"d", "--seconds", "1", "--out", "o", "--rate", "4294967296"}, "bad --rate"},
        {{"d", "--seconds", "1", "--out", "a.wav", "--out", "b.wav"},
         RecordArgs{"d", "b.wav", 1, 48000}},
        // Every value is parsed: an invalid first one fails the call.
        {{"d", "--rate", "x", "--rate", "44100", "--seconds", "1", "--out", "o"}, "bad --rate"},
        // The first error ends the parse.
        {{"d", "--rate", "x", "--bogus"}, "bad --rate"},
        // The device and --out take any text.
        {{"--out", "--seconds", "1", "--out", "--rate"}, RecordArgs{"--out", "--rate", 1, 48000}},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += "[" + a + "]";
        Result<RecordArgs> parsed = record::parse_args(c.args);
        if (const auto* want = std::get_if<RecordArgs>(&c.expected)) {
            ASSERT_TRUE(parsed.ok()) << shown << ": " << parsed.error_text();
            EXPECT_EQ(*parsed, *want) << shown;
        } else {
            ASSERT_FALSE(parsed.ok()) << shown;
            EXPECT_EQ(parsed.error_text(), std::get<std::string>(c.expected)) << shown;
        }
    }
}

TEST(RecordOutPath, RefusesWhatTheWriterWouldRefuseAndCreatesNothing) {
    ScratchDir dir;
    test_support::write_bytes(dir.file("file"), {1, 2});
    test_support::write_bytes(dir.file("locked.wav"), {1, 2});
    ::chmod(dir.file("locked.wav").c_str(), 0444);
    fs::create_directory(dir.path() / "sealed");
    ::chmod(dir.file("sealed").c_str(), 0555);
    const bool root = ::geteuid() == 0;

    struct Case {
        std::string path;
        int error;  // 0: accepted
        bool needs_permissions = false;
    };
    const std::vector<Case> cases = {
        {"", ENOENT},
        {dir.file("missing/x.wav"), ENOENT},
        {dir.file("sealed"), EISDIR},
        {dir.file("file/x.wav"), ENOTDIR},
        {dir.file("locked.wav"), EACCES, true},
        {dir.file("sealed/x.wav"), EACCES, true},
        {dir.file("file"), 0},
        {dir.file("new.wav"), 0},
    };
    for (const Case& c : cases) {
        if (c.needs_permissions && root) continue;  // root writes anyway, as the writer would
        Status status = record::check_out_path(c.path);
        if (c.error == 0) {
            EXPECT_TRUE(status.ok()) << c.path << ": " << status.error_text();
        } else {
            ASSERT_FALSE(status.ok()) << c.path;
            EXPECT_EQ(status.error_text(), std::strerror(c.error)) << c.path;
        }
    }
    std::vector<std::string> entries;
    for (const auto& e : fs::directory_iterator(dir.path())) entries.push_back(e.path().filename());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"file", "locked.wav", "sealed"}));
    EXPECT_TRUE(fs::is_empty(dir.path() / "sealed"));
    ::chmod(dir.file("sealed").c_str(), 0755);
}

// ---- The executable over paced test devices ----

// A capture file of `frames` 16-bit samples counting up from 0 (wrapping).
std::string write_ramp(const ScratchDir& dir, int frames) {
    std::vector<uint8_t> raw;
    for (int i = 0; i < frames; ++i) {
        raw.push_back(static_cast<uint8_t>(i));
        raw.push_back(static_cast<uint8_t>(i >> 8));
    }
    const std::string path = dir.file("ramp.raw");
    test_support::write_bytes(path, raw);
    return path;
}

std::string last_line(const std::string& text) {
    if (text.empty() || text.back() != '\n') return "";
    const std::size_t start = text.rfind('\n', text.size() - 2);
    return text.substr(start == std::string::npos ? 0 : start + 1);
}

// Runs the tool under a hang guard; the guard's status 124 shows a hang.
test_support::ProcessResult record(const std::vector<std::string>& args) {
    std::vector<std::string> guarded = {"60", QUILLMAR_MODEM_EXE, "--record"};
    guarded.insert(guarded.end(), args.begin(), args.end());
    return run_process("/usr/bin/timeout", guarded);
}

class RecordThreads : public testing::Test {
protected:
    void SetUp() override {
        PacedPcm ramp;
        ramp.stream = "capture";
        ramp.rates = {44100, 48000};
        ramp.capture_file = write_ramp(dir_, 3 * 48000);
        PacedPcm cd;
        cd.stream = "capture";
        cd.rates = {44100};
        cd.tone_hz = 1000;
        config_.pcm("ramp", ramp)
            .pcm("cd", cd)
            .raw("pcm.null {\n  type null\n}")
            .hint("ramp", "Ramp", "Input")
            .hint("cd", "CD", "Input")
            .hint("null", "Discard all samples (playback) or generate zero samples (capture)");
        scoped_ = std::make_unique<ScopedAlsaConfig>(dir_, config_);
    }

    std::string out(const std::string& name) const { return dir_.file(name); }

    ScratchDir dir_;
    AlsaConfig config_;
    std::unique_ptr<ScopedAlsaConfig> scoped_;
};

TEST_F(RecordThreads, OneSecondIsTheDevicesSignalInOrderAtTheOpenedRate) {
    const std::string path = out("one.wav");
    auto r = record({"ramp", "--seconds", "1", "--out", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    Result<wavio::Audio> audio = wavio::read_audio_i16(path);
    ASSERT_TRUE(audio.ok()) << audio.error_text();
    EXPECT_EQ(audio->sample_rate, 48000u);
    const std::size_t n = audio->samples.size();
    // About a second, give or take the capture's blocks of 20 ms.
    EXPECT_GE(n, 48000u - 2 * 960);
    EXPECT_LE(n, 48000u + 10 * 960);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(audio->samples[i], static_cast<int16_t>(i)) << i;
    }
    EXPECT_EQ(last_line(r.err), fmt::format("recorded {} samples ({:.1f}s @ 48000 Hz) -> {}\n", n,
                                            static_cast<float>(n) / 48000.0f, path));
    EXPECT_NE(last_line(r.err).find("(1.0s @ 48000 Hz)"), std::string::npos) << r.err;
}

// The largest resident set of any child process waited for so far, in KiB.
long children_peak_rss_kib() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

TEST_F(RecordThreads, ADeviceFasterThanRealTimeRecordsTheCountAskedForInBoundedMemory) {
    // "null" delivers silence as fast as it is read: a clock deadline alone
    // let one second hold hours of samples.
    const std::string path = out("null.wav");
    auto r = record({"null", "--seconds", "1", "--out", path, "--rate", "8000"});
    ASSERT_EQ(r.status, 0) << r.err;
    Result<wavio::Audio> audio = wavio::read_audio_i16(path);
    ASSERT_TRUE(audio.ok()) << audio.error_text();
    EXPECT_EQ(audio->sample_rate, 8000u);
    const std::size_t n = audio->samples.size();
    // The block that reaches the count is kept whole: one block at most past it.
    EXPECT_GE(n, 8000u);
    EXPECT_LT(n, 8000u + 8192u);
    EXPECT_EQ(last_line(r.err),
              fmt::format("recorded {} samples ({:.1f}s @ 8000 Hz) -> {}\n", n,
                          static_cast<float>(n) / 8000.0f, path));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The recording took a few kilobytes; before, this run held hundreds of MB.
    EXPECT_LT(children_peak_rss_kib(), 64 * 1024);
#endif
}

TEST_F(RecordThreads, ZeroSecondsWritesAnEmptyFile) {
    const std::string path = out("zero.wav");
    auto r = record({"ramp", "--seconds", "0", "--out", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "recorded 0 samples (0.0s @ 48000 Hz) -> " + path + "\n");
    EXPECT_EQ(fs::file_size(path), 44u);
    Result<wavio::Audio> audio = wavio::read_audio_i16(path);
    ASSERT_TRUE(audio.ok()) << audio.error_text();
    EXPECT_EQ(audio->sample_rate, 48000u);
    EXPECT_TRUE(audio->samples.empty());
}

TEST_F(RecordThreads, ADeviceWithoutTheAskedRateRecordsAtTheRateItOpens) {
    const std::string path = out("cd.wav");
    auto r = record({"cd", "--seconds", "1", "--out", path});
    ASSERT_EQ(r.status, 0) << r.err;
    Result<wavio::Audio> audio = wavio::read_audio_i16(path);
    ASSERT_TRUE(audio.ok()) << audio.error_text();
    EXPECT_EQ(audio->sample_rate, 44100u);
    EXPECT_NEAR(static_cast<double>(audio->samples.size()), 44100.0, 10 * 882.0);
    EXPECT_EQ(last_line(r.err), fmt::format("recorded {} samples (1.0s @ 44100 Hz) -> {}\n",
                                            audio->samples.size(), path));
}

TEST_F(RecordThreads, RefusalsComeBeforeTheRecordingAndLeaveNoFile) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string missing_dir = out("missing/x.wav");
    const std::vector<Case> cases = {
        {{}, "record: " + kUsage + "\n"},
        {{"ramp", "--seconds", "1", "--out", out("a.wav"), "--verbose", "x"},
         "record: unknown arg: --verbose\n" + kUsage + "\n"},
        {{"nosuch", "--seconds", "1", "--out", out("a.wav")},
         "record: input device not found: nosuch\n"},
        // The out path is looked at before the device.
        {{"nosuch", "--seconds", "3600", "--out", missing_dir},
         std::string("record: ") + std::strerror(ENOENT) + "\n"},
        {{"ramp", "--seconds", "3600", "--out", dir_.path().string()},
         std::string("record: ") + std::strerror(EISDIR) + "\n"},
        // 50000 s at 48000 Hz is 2.4e9 samples, more than a WAV file holds.
        {{"ramp", "--seconds", "50000", "--out", out("a.wav")},
         "record: too long for a WAV file: 50000 s at 48000 Hz\n"},
        {{"cd", "--seconds", "48696", "--out", out("a.wav"), "--rate", "44100"},
         "record: too long for a WAV file: 48696 s at 44100 Hz\n"},
        {{"ramp", "--seconds", "9223372036", "--out", out("a.wav"), "--rate", "44100"},
         "record: too long for a WAV file: 9223372036 s at 44100 Hz\n"},
    };
    for (const Case& c : cases) {
        auto r = record(c.args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    std::vector<std::string> entries;
    for (const auto& e : fs::directory_iterator(dir_.path()))
        entries.push_back(e.path().filename());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"asound.conf", "ramp.raw"}));
}

TEST_F(RecordThreads, ARecordingThatCannotBeHeldInMemoryIsAnError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers need more address space than the limit below";
#endif
    // 40000 s at 48000 Hz fits a WAV file but needs 3.8 GB, under a 1 GB limit.
    const std::string path = out("big.wav");
    auto r = run_process(
        "/bin/sh", {"-c", std::string("ulimit -v 1000000; exec timeout 60 ") + QUILLMAR_MODEM_EXE +
                              " --record ramp --seconds 40000 --out " + path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "record: std::bad_alloc\n");
    EXPECT_FALSE(fs::exists(path));
}

}  // namespace
