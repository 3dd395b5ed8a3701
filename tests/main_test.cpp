#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "quillmar_modem.h"
#include "support/afsk_recording.h"
#include "support/run_process.h"
#include "support/scratch_dir.h"
#include "support/wav_bytes.h"
#include "version.h"
#include "wavio.h"

namespace {

using quillmar_modem::Mode;
using test_support::run_process;

TEST(CommandLine, Forms) {
    struct Case {
        std::vector<std::string> args;
        Mode mode;
        std::vector<std::string> mode_args;
    };
    const Case cases[] = {
        {{}, Mode::Usage, {}},
        {{"--decode"}, Mode::Decode, {}},
        {{"--record"}, Mode::Record, {}},
        {{"--version"}, Mode::Version, {}},
        {{"--list-usb"}, Mode::ListUsb, {}},
        {{"--list-cm108"}, Mode::ListCm108, {}},
        {{"--list-audio"}, Mode::ListAudio, {}},
        {{"/tmp/modem.sock"}, Mode::Socket, {"/tmp/modem.sock"}},
        // Eight characters, like the tool names, yet a path.
        {{"modem.so"}, Mode::Socket, {"modem.so"}},
        // An option not known is no path; a path beginning with "-" is written
        // with its directory.
        {{"--help"}, Mode::Usage, {}},
        {{"-h"}, Mode::Usage, {}},
        {{"-x"}, Mode::Usage, {}},
        {{"-"}, Mode::Usage, {}},
        {{"--decodX"}, Mode::Usage, {}},
        {{"--VERSION"}, Mode::Usage, {}},
        {{"./-name"}, Mode::Socket, {"./-name"}},
        {{"--decode", "a.wav", "b.wav"}, Mode::Decode, {"a.wav", "b.wav"}},
        {{"--record", "hw:1", "--seconds"}, Mode::Record, {"hw:1", "--seconds"}},
        {{"--version", "x"}, Mode::Usage, {}},
        {{"--list-usb", "x"}, Mode::Usage, {}},
        {{"--list-cm108", "x"}, Mode::Usage, {}},
        {{"--list-audio", "x"}, Mode::Usage, {}},
        {{"/tmp/modem.sock", "--decode"}, Mode::Usage, {}},
    };
    for (const Case& c : cases) {
        auto command = quillmar_modem::parse_command_line(c.args);
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(command.mode, c.mode) << shown << " with " << c.args.size() << " arguments";
        EXPECT_EQ(command.args, c.mode_args) << shown;
    }
}

const char kUsage[] =
    "usage: quillmar-modem <socket-path>\n"
    "       quillmar-modem --record <device> --seconds <N> --out <file.wav> [--rate <hz>]\n"
    "       quillmar-modem --decode <file.wav|file.flac>\n"
    "       quillmar-modem --list-audio | --list-cm108 | --list-usb | --version\n";

TEST(Executable, UsageErrors) {
    const std::vector<std::vector<std::string>> lines = {
        {}, {"--version", "x"}, {"--list-audio", "--version"}, {"sock", "more"},
        {"--help"}, {"-h"}, {"-x"}};
    for (const auto& args : lines) {
        auto r = run_process(QUILLMAR_MODEM_EXE, args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_EQ(r.err, kUsage);
        EXPECT_EQ(r.out, "");
        // An option taken as a path would have left a socket named after it here.
        if (args.size() == 1) {
            EXPECT_FALSE(std::filesystem::exists(args[0])) << args[0];
        }
    }
}

TEST(Executable, Version) {
    auto r = run_process(QUILLMAR_MODEM_EXE, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, quillmar_modem::full_version() + "\n");
    EXPECT_EQ(r.err, "");
}

TEST(Executable, OutputThatCannotBeWrittenIsAFailure) {
    const std::string sample = std::string(QUILLMAR_SOURCE_DIR) + "/samples/demo.flac";
    const std::string exe = QUILLMAR_MODEM_EXE;
    struct Case {
        std::string command;
        std::string err;
    };
    const std::string full = std::strerror(ENOSPC);
    const Case cases[] = {
        {exe + " --version", "quillmar-modem: write to standard output: " + full + "\n"},
        {exe + " --decode " + sample, "decode: write to standard output: " + full + "\n"},
        {exe + " --list-usb", "quillmar-modem: write to standard output: " + full + "\n"},
        {exe + " --list-cm108", "quillmar-modem: write to standard output: " + full + "\n"},
    };
    for (const Case& c : cases) {
        auto r = run_process("/bin/sh", {"-c", "exec " + c.command + " >/dev/full"});
        EXPECT_EQ(r.status, 1) << c.command;
        EXPECT_EQ(r.err, c.err);
    }
}

// Whatever hardware the machine has, each listing is one line of JSON and success.
TEST(Executable, DeviceListings) {
    auto usb = run_process(QUILLMAR_MODEM_EXE, {"--list-usb"});
    EXPECT_EQ(usb.status, 0);
    EXPECT_EQ(usb.err, "");
    ASSERT_FALSE(usb.out.empty());
    EXPECT_EQ(usb.out.find('\n'), usb.out.size() - 1);
    auto usb_doc = nlohmann::ordered_json::parse(usb.out);
    ASSERT_TRUE(usb_doc.is_object());
    EXPECT_EQ(usb_doc.begin().key(), "devices");
    EXPECT_TRUE(usb_doc["devices"].is_array());

    auto cm108 = run_process(QUILLMAR_MODEM_EXE, {"--list-cm108"});
    EXPECT_EQ(cm108.status, 0);
    EXPECT_EQ(cm108.err, "");
    ASSERT_FALSE(cm108.out.empty());
    EXPECT_EQ(cm108.out.find('\n'), cm108.out.size() - 1);
    EXPECT_TRUE(nlohmann::ordered_json::parse(cm108.out).is_array());
    std::error_code ec;
    if (std::filesystem::is_empty("/sys/class/hidraw", ec) || ec) {
        EXPECT_EQ(cm108.out, "[]\n");
    }
}

TEST(Executable, DecodeErrors) {
    auto no_file = run_process(QUILLMAR_MODEM_EXE, {"--decode"});
    EXPECT_EQ(no_file.status, 1);
    EXPECT_EQ(no_file.err, "decode: usage: quillmar-modem --decode <file.wav|file.flac>\n");
    EXPECT_EQ(no_file.out, "");

    test_support::ScratchDir dir;
    auto missing = run_process(QUILLMAR_MODEM_EXE, {"--decode", dir.file("missing.wav")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, std::string("decode: ") + std::strerror(ENOENT) + "\n");
    EXPECT_EQ(missing.out, "");
}

TEST(Executable, DecodesAGeneratedRecording) {
    test_support::ScratchDir dir;
    test_support::RecordingPlan plan;
    plan.sample_rate = 48000;
    plan.frames = 6;
    std::string path = dir.file("six.wav");
    ASSERT_TRUE(wavio::write_wav_i16(path, test_support::afsk_recording(plan), 48000).ok());

    // A second name is ignored, not even opened.
    for (const auto& args : {std::vector<std::string>{"--decode", path},
                             std::vector<std::string>{"--decode", path, dir.file("missing.wav")}}) {
        auto r = run_process(QUILLMAR_MODEM_EXE, args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        ASSERT_FALSE(r.out.empty());
        EXPECT_EQ(r.out.back(), '\n');
        auto doc = nlohmann::ordered_json::parse(r.out);
        std::vector<std::string> keys;
        for (const auto& item : doc.items()) keys.push_back(item.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"rx_frames", "rx_bad_fcs", "level_dbfs_med",
                                                  "mark_dbfs_med", "space_dbfs_med", "twist_db_med",
                                                  "sample_rate"}));
        EXPECT_EQ(doc["rx_frames"], 6);
        EXPECT_EQ(doc["sample_rate"], 48000);
    }
}

TEST(Executable, DecodeWithoutEnoughMemoryIsAnError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers need more address space than the limit below";
#endif
    // A sparse file of nearly 4 GB of samples, read under a 1 GB address-space limit.
    test_support::ScratchDir dir;
    std::string path = dir.file("big.wav");
    test_support::write_bytes(
        path, test_support::wav_file(test_support::kWavPcm, 1, 8000, 16, {}, 0xFFFFFF00));
    std::filesystem::resize_file(path, 44 + uint64_t{0xFFFFFF00});
    auto r = run_process("/bin/sh", {"-c", std::string("ulimit -v 1000000; exec ") +
                                               QUILLMAR_MODEM_EXE + " --decode " + path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "decode: std::bad_alloc\n");
    EXPECT_EQ(r.out, "");
}

TEST(Executable, DecodeRefusesARateOfZero) {
    test_support::ScratchDir dir;
    std::string path = dir.file("rate0.wav");
    test_support::write_bytes(path, test_support::wav_file(test_support::kWavPcm, 1, 0, 16,
                                                           test_support::int_samples({1, 2}, 2)));
    auto r = run_process(QUILLMAR_MODEM_EXE, {"--decode", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("decode: ", 0), 0u) << r.err;
}

}  // namespace
