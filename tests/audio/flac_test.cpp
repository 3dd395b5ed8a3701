#include "audio/flac.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/capture_drain.h"
#include "support/flac_file.h"
#include "support/scratch_dir.h"
#include "support/wav_bytes.h"

namespace {

using namespace std::chrono_literals;
using test_support::ScratchDir;
using test_support::SteadyClock;

// Both ways of opening a FLAC source, for tests that hold for both.
struct Opener {
    const char* name;
    std::function<Result<audio::AudioSource>(const std::string&, uint32_t, audio::CaptureSender)>
        open;
};

const Opener kOpeners[] = {
    {"paced",
     [](const std::string& path, uint32_t channel, audio::CaptureSender sender) {
         return flac::spawn(flac::FlacSourceConfig{path, 0, channel}, std::move(sender));
     }},
    {"fast",
     [](const std::string& path, uint32_t channel, audio::CaptureSender sender) {
         return flac::spawn_fast(path, channel, std::move(sender));
     }},
};

std::vector<int32_t> noise(size_t count) {
    std::vector<int32_t> out(count);
    uint32_t x = 12345;
    for (auto& s : out) {
        x = x * 1103515245u + 12345u;
        s = static_cast<int16_t>(x >> 16);
    }
    return out;
}

std::vector<int32_t> ramp(size_t count) {
    std::vector<int32_t> out(count);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<int32_t>(i);
    return out;
}

// Nothing touches the file before the thread runs: every file the source
// cannot read ends it with its failure, the queue then closed. An open failure
// delivers nothing; a decoding failure comes after the blocks before it.
TEST(FlacSource, ARefusedFileEndsTheSourceWithItsFailure) {
    ScratchDir dir;
    const std::string good = dir.file("good.flac");
    const std::vector<int32_t> recorded = noise(20000);
    test_support::write_flac(good, 8000, 1, 16, recorded);
    const auto bytes = test_support::read_bytes(good);
    const size_t frames = test_support::first_frame_offset(bytes);

    std::filesystem::create_directory(dir.file("folder.flac"));
    test_support::write_bytes(dir.file("empty.flac"), {});
    test_support::write_bytes(dir.file("wav.flac"),
                              test_support::wav_file(test_support::kWavPcm, 1, 8000, 16,
                                                     test_support::int_samples({1, 2, 3, 4}, 2)));
    auto rate0 = bytes;
    rate0[18] = 0;
    rate0[19] = 0;
    rate0[20] &= 0x0F;
    test_support::write_bytes(dir.file("rate0.flac"), rate0);
    auto flipped = bytes;
    flipped[frames + (bytes.size() - frames) / 2] ^= 0x10;
    test_support::write_bytes(dir.file("flipped.flac"), flipped);
    auto truncated = bytes;
    truncated.resize(frames + (bytes.size() - frames) / 2);
    test_support::write_bytes(dir.file("truncated.flac"), truncated);
    auto tagged = bytes;
    std::vector<uint8_t> tag(128, ' ');
    tag[0] = 'T', tag[1] = 'A', tag[2] = 'G';
    tagged.insert(tagged.end(), tag.begin(), tag.end());
    test_support::write_bytes(dir.file("tagged.flac"), tagged);
    ASSERT_EQ(::mkfifo(dir.file("fifo.flac").c_str(), 0600), 0);
    // A gigabyte of zeros (sparse): the search for a stream ends at its first byte.
    {
        std::FILE* zeros = std::fopen(dir.file("zeros.flac").c_str(), "wb");
        ASSERT_NE(zeros, nullptr);
        ASSERT_EQ(::ftruncate(::fileno(zeros), off_t{1} << 30), 0);
        std::fclose(zeros);
    }

    const struct {
        const char* file;
        std::string text;  // after the path, or the whole text when it has no path
        bool with_path;
    } cases[] = {
        {"missing.flac", "No such file or directory", true},
        {"folder.flac", "Is a directory", true},
        {"fifo.flac", "not a regular file", true},
        {"/dev/zero", "not a regular file", true},
        {"zeros.flac", "FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC", true},
        {"empty.flac", "FLAC stream has no stream information block", true},
        {"wav.flac", "FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC", true},
        {"rate0.flac", "FLAC stream declares a sample rate of 0", true},
        {"flipped.flac", "flac decode: FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH",
         false},
        {"truncated.flac", "flac decode: FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC", false},
        {"tagged.flac", "flac decode: FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC", false},
    };
    for (const Opener& opener : kOpeners) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << opener.name << " " << c.file);
            const std::string path = c.file[0] == '/' ? c.file : dir.file(c.file);
            auto [sender, receiver] = audio::make_capture_queue();
            auto source = opener.open(path, 0, std::move(sender));
            ASSERT_TRUE(source.ok()) << source.error_text();
            auto got = test_support::drain(receiver);
            audio::stop_and_join(*source);
            ASSERT_TRUE(got.closed);
            EXPECT_EQ(receiver.failure(),
                      c.with_path ? "open flac " + path + ": " + c.text : c.text);
            // What came before a decoding failure is the file's own beginning.
            const audio::SampleBlock samples = got.samples();
            ASSERT_LE(samples.size(), recorded.size());
            EXPECT_TRUE(std::equal(samples.begin(), samples.end(), recorded.begin()));
            if (c.with_path) {
                EXPECT_TRUE(got.blocks.empty());
            }
        }
    }
}

TEST(FlacSource, ChosenChannelOrNothing) {
    ScratchDir dir;
    // Frame f holds f in the left channel and -f in the right.
    std::vector<int32_t> stereo;
    for (int32_t f = 0; f < 1500; ++f) {
        stereo.push_back(f);
        stereo.push_back(-f);
    }
    test_support::write_flac(dir.file("stereo.flac"), 48000, 2, 16, stereo);
    test_support::write_flac(dir.file("silent.flac"), 48000, 1, 16, {});

    const struct {
        const char* file;
        uint32_t channel;
        size_t samples;
    } cases[] = {
        {"stereo.flac", 1, 1500},
        {"stereo.flac", 2, 0},
        {"silent.flac", 0, 0},
    };
    for (const Opener& opener : kOpeners) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << opener.name << " " << c.file << " " << c.channel);
            auto [sender, receiver] = audio::make_capture_queue();
            auto source = opener.open(dir.file(c.file), c.channel, std::move(sender));
            ASSERT_TRUE(source.ok()) << source.error_text();
            // Only the thread reads the file: it announces the rate on the queue.
            EXPECT_EQ(source->sample_rate, 0u);
            auto got = test_support::drain(receiver);
            audio::stop_and_join(*source);
            ASSERT_TRUE(got.closed);
            EXPECT_EQ(receiver.sample_rate(), 48000u);
            EXPECT_EQ(receiver.failure(), std::nullopt);
            audio::SampleBlock samples = got.samples();
            ASSERT_EQ(samples.size(), c.samples);
            for (size_t i = 0; i < samples.size(); ++i) {
                ASSERT_EQ(samples[i], -static_cast<int16_t>(i)) << i;
            }
            if (c.samples == 0) {
                EXPECT_TRUE(got.blocks.empty());
            }
        }
    }
}

TEST(FlacSource, BlocksOf960AndThePacedSchedule) {
    ScratchDir dir;
    const std::string path = dir.file("ramp.flac");
    test_support::write_flac(path, 48000, 1, 16, ramp(2000));
    const std::vector<size_t> sizes = {960, 960, 80};

    {
        auto [sender, receiver] = audio::make_capture_queue();
        auto source = flac::spawn_fast(path, 0, std::move(sender));
        ASSERT_TRUE(source.ok()) << source.error_text();
        auto got = test_support::drain(receiver);
        EXPECT_EQ(receiver.sample_rate(), 48000u);
        audio::stop_and_join(*source);
        ASSERT_TRUE(got.closed);
        EXPECT_EQ(got.sizes(), sizes);
        audio::SampleBlock samples = got.samples();
        for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], int16_t(i));
    }

    // At 16000 Hz the blocks are due at 0, 60 and 120 ms, and the source ends
    // once the last sample's time (125 ms) has come.
    auto [sender, receiver] = audio::make_capture_queue();
    const auto spawned = SteadyClock::now();
    auto source = flac::spawn(flac::FlacSourceConfig{path, 16000, 0}, std::move(sender));
    ASSERT_TRUE(source.ok()) << source.error_text();
    EXPECT_EQ(source->sample_rate, 16000u);
    auto got = test_support::drain(receiver);
    EXPECT_EQ(receiver.sample_rate(), 16000u);
    audio::stop_and_join(*source);
    ASSERT_TRUE(got.closed);
    ASSERT_EQ(got.sizes(), sizes);
    EXPECT_GE(got.blocks[1].at - spawned, 60ms);
    EXPECT_GE(got.blocks[2].at - spawned, 120ms);
    EXPECT_GE(got.closed_at - spawned, 125ms);
    audio::SampleBlock samples = got.samples();
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], int16_t(i));
}

TEST(FlacSource, StopsWhileWaiting) {
    ScratchDir dir;
    // 8 Hz: after its first block the paced source sleeps two minutes.
    const std::string slow = dir.file("slow.flac");
    test_support::write_flac(slow, 8, 1, 16, ramp(2000));
    // Ten blocks into a queue of one: the fast source waits for room.
    const std::string many = dir.file("many.flac");
    test_support::write_flac(many, 48000, 1, 16, ramp(9600));

    const struct {
        const char* what;
        std::function<Result<audio::AudioSource>(audio::CaptureSender)> open;
    } cases[] = {
        {"paced, sleeping",
         [&](audio::CaptureSender s) {
             return flac::spawn({slow, 0, 0}, std::move(s));
         }},
        {"fast, queue full",
         [&](audio::CaptureSender s) { return flac::spawn_fast(many, 0, std::move(s)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto [sender, receiver] = audio::make_capture_queue(1);
        auto source = c.open(std::move(sender));
        ASSERT_TRUE(source.ok()) << source.error_text();
        EXPECT_EQ(test_support::next_block(receiver).size(), 960u);
        std::this_thread::sleep_for(50ms);  // into its sleep or its wait for room
        const auto asked = SteadyClock::now();
        audio::stop_and_join(*source);
        EXPECT_LT(SteadyClock::now() - asked, 5s);  // hang guard
        // Stopped: it sent nothing more and left the queue.
        auto rest = test_support::drain(receiver);
        EXPECT_TRUE(rest.closed);
        EXPECT_LE(rest.blocks.size(), 1u);
    }
}

TEST(FlacSource, EndsWhenTheReceiverGoes) {
    ScratchDir dir;
    const std::string many = dir.file("many.flac");
    test_support::write_flac(many, 48000, 1, 16, ramp(9600));
    auto source = [&] {
        auto [sender, receiver] = audio::make_capture_queue(1);
        auto opened = flac::spawn_fast(many, 0, std::move(sender));
        EXPECT_EQ(test_support::next_block(receiver).size(), 960u);
        return opened;
    }();
    ASSERT_TRUE(source.ok()) << source.error_text();
    // No stop flag: the waiting send sees the receiver gone.
    const auto gone = SteadyClock::now();
    source->thread.join();
    EXPECT_LT(SteadyClock::now() - gone, 5s);  // hang guard
}

}  // namespace
