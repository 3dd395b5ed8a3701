// ALSA streams on paced test devices: capture delivers the device's frames in
// order, playback hands the device exactly what the callback wrote and keeps
// at most four periods queued, a failing device reports once, and close leaves
// nothing behind.

#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio/alsa.h"
#include "support/allocation_failure.h"
#include "support/alsa_config.h"
#include "support/scratch_dir.h"

namespace {

using alsa::Direction;
using alsa::SampleFormat;
using namespace std::chrono_literals;

alsa::Device named(const std::string& name) {
    return {name, std::nullopt, alsa::Ioid::Both};
}

const char* alsa_format_name(SampleFormat format) {
    switch (format) {
        case SampleFormat::U16:
            return "U16_LE";
        case SampleFormat::F32:
            return "FLOAT_LE";
        default:
            return "S16_LE";
    }
}

// Every sample of a period as raw bytes, whatever its format.
std::vector<uint8_t> bytes_of(alsa::Samples samples) {
    return std::visit(
        [](auto span) {
            const auto* p = reinterpret_cast<const uint8_t*>(span.data());
            return std::vector<uint8_t>(p, p + span.size_bytes());
        },
        samples);
}

// Collects what a stream's callbacks report, from its service thread.
struct Collector {
    void add(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        data.insert(data.end(), bytes.begin(), bytes.end());
        ++periods;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return data.size();
    }
    void fail(const Error& e) {
        std::lock_guard<std::mutex> lock(mutex);
        errors.push_back(e.text);
    }
    std::vector<std::string> error_texts() {
        std::lock_guard<std::mutex> lock(mutex);
        return errors;
    }

    std::mutex mutex;
    std::vector<uint8_t> data;
    std::vector<std::string> errors;
    int periods = 0;
};

// Waits (a generous hang guard) until `done` holds.
template <class F>
bool wait_until(F done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A distinct, easily told apart value for every sample index.
std::vector<uint8_t> pattern(SampleFormat format, std::size_t samples) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < samples; ++i) {
        if (format == SampleFormat::F32) {
            const float v = static_cast<float>(static_cast<int>(i % 4001) - 2000) / 2048.0f;
            uint8_t b[4];
            std::memcpy(b, &v, 4);
            out.insert(out.end(), b, b + 4);
        } else {
            const uint16_t v = static_cast<uint16_t>(i * 37 + 11);
            out.push_back(static_cast<uint8_t>(v));
            out.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    return out;
}

std::vector<uint8_t> silence(SampleFormat format, std::size_t samples) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < samples; ++i) {
        if (format == SampleFormat::F32) {
            out.insert(out.end(), 4, 0);
        } else {
            out.push_back(0);
            out.push_back(format == SampleFormat::U16 ? 0x80 : 0);
        }
    }
    return out;
}

constexpr SampleFormat kStreamFormats[] = {SampleFormat::I16, SampleFormat::U16, SampleFormat::F32};

TEST(AlsaStream, CaptureDeliversTheDeviceFramesInOrderInEachFormat) {
    for (SampleFormat format : kStreamFormats) {
        SCOPED_TRACE(alsa::format_short_name(format));
        test_support::ScratchDir dir;
        const std::size_t channels = 2, frames = 1000;
        const std::vector<uint8_t> file = pattern(format, channels * frames);
        test_support::write_bytes(dir.file("capture.raw"), file);
        test_support::AlsaConfig config;
        config.pcm("cap", {.formats = {alsa_format_name(format)},
                           .channels = {2},
                           .rates = {8000},
                           .capture_file = dir.file("capture.raw")});
        test_support::ScopedAlsaConfig scoped(dir, config);

        Collector got;
        Result<alsa::Stream> stream = alsa::build_stream(
            named("cap"), Direction::Input, {2, 8000, format},
            [&](alsa::Samples s) { got.add(bytes_of(s)); }, [&](const Error& e) { got.fail(e); });
        ASSERT_TRUE(stream) << stream.error_text();
        EXPECT_EQ(stream->period_frames(), 160u);
        ASSERT_TRUE(stream->play());
        ASSERT_TRUE(wait_until([&] { return got.size() >= 2 * file.size(); }));
        stream->close();

        std::lock_guard<std::mutex> lock(got.mutex);
        EXPECT_TRUE(got.errors.empty());
        EXPECT_EQ(got.data.size() % (160 * channels * (format == SampleFormat::F32 ? 4 : 2)), 0u);
        ASSERT_GE(got.data.size(), 2 * file.size());
        EXPECT_TRUE(std::equal(file.begin(), file.end(), got.data.begin()));
        const std::vector<uint8_t> after(got.data.begin() + static_cast<long>(file.size()),
                                         got.data.end());
        EXPECT_EQ(after, silence(format, after.size() / (format == SampleFormat::F32 ? 4 : 2)));
    }
}

TEST(AlsaStream, CaptureThroughPlugOverACardConvertsTheDeviceFormat) {
    test_support::ScratchDir dir;
    const std::vector<uint8_t> file = pattern(SampleFormat::I16, 800);
    test_support::write_bytes(dir.file("capture.raw"), file);
    test_support::AlsaConfig config;
    config.card("Device", 1, {{.rates = {8000}, .capture_file = dir.file("capture.raw")}});
    test_support::ScopedAlsaConfig scoped(dir, config);

    Collector got;
    Result<alsa::Stream> stream = alsa::build_stream(
        named("plughw:CARD=Device,DEV=0"), Direction::Input, {1, 8000, SampleFormat::F32},
        [&](alsa::Samples s) { got.add(bytes_of(s)); }, [&](const Error& e) { got.fail(e); });
    ASSERT_TRUE(stream) << stream.error_text();
    ASSERT_TRUE(stream->play());
    ASSERT_TRUE(wait_until([&] { return got.size() >= 4 * 800; }));
    stream->close();
    std::lock_guard<std::mutex> lock(got.mutex);
    for (std::size_t i = 0; i < 800; ++i) {
        const int16_t s = static_cast<int16_t>(file[2 * i] | (file[2 * i + 1] << 8));
        float f;
        std::memcpy(&f, &got.data[4 * i], 4);
        ASSERT_EQ(f, static_cast<float>(s) / 32768.0f) << "sample " << i;
    }
}

TEST(AlsaStream, CaptureToneIsASineOfTheGivenPeak) {
    test_support::ScratchDir dir;
    test_support::AlsaConfig config;
    config.pcm("tone", {.formats = {"S16_LE", "FLOAT_LE"}, .tone_hz = 1000});
    test_support::ScopedAlsaConfig scoped(dir, config);
    for (SampleFormat format : {SampleFormat::I16, SampleFormat::F32}) {
        SCOPED_TRACE(alsa::format_short_name(format));
        std::mutex mutex;
        std::vector<double> samples;
        Result<alsa::Stream> stream = alsa::build_stream(
            named("tone"), Direction::Input, {1, 48000, format},
            [&](alsa::Samples s) {
                std::lock_guard<std::mutex> lock(mutex);
                std::visit(
                    [&](auto span) { samples.insert(samples.end(), span.begin(), span.end()); }, s);
            },
            nullptr);
        ASSERT_TRUE(stream) << stream.error_text();
        ASSERT_TRUE(stream->play());
        ASSERT_TRUE(wait_until([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return samples.size() >= 4800;
        }));
        stream->close();
        const double scale = format == SampleFormat::F32 ? 32768.0 : 1.0;
        double peak = 0;
        for (std::size_t n = 0; n < 4800; ++n) {
            const double expected = 16384.0 * std::sin(2.0 * M_PI * 1000.0 * n / 48000.0);
            ASSERT_NEAR(samples[n] * scale, expected, 0.5) << "sample " << n;
            peak = std::max(peak, std::abs(samples[n] * scale));
        }
        EXPECT_NEAR(peak, 16384.0, 0.5);
    }
}

TEST(AlsaStream, ALateCaptureWaitsUnlessTheDeviceIsInXrunMode) {
    for (bool xrun : {false, true}) {
        SCOPED_TRACE(xrun ? "xrun" : "waits");
        test_support::ScratchDir dir;
        const std::vector<uint8_t> file = pattern(SampleFormat::I16, 8000);
        test_support::write_bytes(dir.file("capture.raw"), file);
        test_support::AlsaConfig config;
        config.pcm("cap", {.rates = {8000}, .capture_file = dir.file("capture.raw"), .xrun = xrun});
        test_support::ScopedAlsaConfig scoped(dir, config);

        Collector got;
        bool stalled = false;
        Result<alsa::Stream> stream = alsa::build_stream(
            named("cap"), Direction::Input, {1, 8000, SampleFormat::I16},
            [&](alsa::Samples s) {
                // Once, longer than the whole capture buffer.
                if (!stalled) std::this_thread::sleep_for(400ms);
                stalled = true;
                got.add(bytes_of(s));
            },
            [&](const Error& e) { got.fail(e); });
        ASSERT_TRUE(stream) << stream.error_text();
        ASSERT_GE(stream->buffer_frames() * 1000 / 8000, 100u);
        ASSERT_LE(stream->buffer_frames() * 1000 / 8000, 300u);
        ASSERT_TRUE(stream->play());
        ASSERT_TRUE(
            wait_until([&] { return got.size() >= file.size() || !got.error_texts().empty(); }));
        stream->close();
        if (xrun) {
            ASSERT_EQ(got.error_texts().size(), 1u);
            EXPECT_TRUE(got.error_texts()[0].ends_with(": Broken pipe")) << got.error_texts()[0];
        } else {
            EXPECT_TRUE(got.error_texts().empty());
            std::lock_guard<std::mutex> lock(got.mutex);
            ASSERT_GE(got.data.size(), file.size());
            EXPECT_TRUE(std::equal(file.begin(), file.end(), got.data.begin()));
        }
    }
}

// Playback: the callback writes consecutive sample numbers; the recording is
// what the device consumed.
struct PlaybackRun {
    std::vector<uint8_t> written;
    std::vector<uint8_t> recorded;
    uint32_t period = 0;
    uint32_t buffer = 0;
    std::vector<std::string> errors;
};

// Plays until the callback has written `frames` frames (stereo), then closes.
PlaybackRun run_playback(SampleFormat format, uint32_t rate, unsigned min_buffer_ms,
                         std::size_t frames) {
    test_support::ScratchDir dir;
    test_support::AlsaConfig config;
    config.pcm("play", {.formats = {alsa_format_name(format)},
                        .channels = {2},
                        .rates = {rate},
                        .record_file = dir.file("played.raw"),
                        .min_buffer_ms = min_buffer_ms});
    test_support::ScopedAlsaConfig scoped(dir, config);

    PlaybackRun run;
    Collector got;
    std::size_t next = 0;
    auto fill = [&](alsa::Samples s) {
        std::visit(
            [&](auto span) {
                for (auto& v : span) {
                    using T = std::remove_reference_t<decltype(v)>;
                    v = static_cast<T>(next++ % 30000);
                }
            },
            s);
        got.add(bytes_of(s));
    };
    Result<alsa::Stream> stream =
        alsa::build_stream(named("play"), Direction::Output, {2, rate, format}, fill,
                           [&](const Error& e) { got.fail(e); });
    if (!stream) {
        run.errors.push_back(stream.error_text());
        return run;
    }
    run.period = stream->period_frames();
    run.buffer = stream->buffer_frames();
    Status played = stream->play();
    if (!played) run.errors.push_back(played.error_text());
    const std::size_t bytes = frames * 2 * (format == SampleFormat::F32 ? 4 : 2);
    if (!wait_until([&] { return got.size() >= bytes; })) run.errors.push_back("hang");
    stream->close();
    run.written = got.data;
    for (auto& e : got.errors) run.errors.push_back(e);
    run.recorded = test_support::read_bytes(dir.file("played.raw"));
    return run;
}

TEST(AlsaStream, PlaybackRecordingIsWhatTheCallbackWroteInEachFormat) {
    for (SampleFormat format : kStreamFormats) {
        SCOPED_TRACE(alsa::format_short_name(format));
        PlaybackRun run = run_playback(format, 8000, 0, 2400);
        ASSERT_TRUE(run.errors.empty()) << run.errors.front();
        EXPECT_EQ(run.period, 80u);
        const std::size_t frame = 2 * (format == SampleFormat::F32 ? 4 : 2);
        // Everything played was written, in order.
        ASSERT_GE(run.written.size(), 2400 * frame);
        ASSERT_LE(run.recorded.size(), run.written.size());
        EXPECT_TRUE(std::equal(run.recorded.begin(), run.recorded.end(), run.written.begin()));
        // Dropped, never drained: at most the four queued periods were not played.
        EXPECT_LE(run.written.size() - run.recorded.size(), 4 * run.period * frame);
    }
}

TEST(AlsaStream, PlaybackQueuesAtMostFourPeriodsOnALargeDeviceBuffer) {
    for (uint32_t rate : {8000u, 48000u}) {
        SCOPED_TRACE(rate);
        PlaybackRun run = run_playback(SampleFormat::I16, rate, 500, rate / 5);
        ASSERT_TRUE(run.errors.empty()) << run.errors.front();
        EXPECT_GE(run.buffer, rate / 2);
        EXPECT_EQ(run.period, rate / 100);
        const std::size_t frame = 4;
        ASSERT_LE(run.recorded.size(), run.written.size());
        EXPECT_TRUE(std::equal(run.recorded.begin(), run.recorded.end(), run.written.begin()));
        EXPECT_LE(run.written.size() - run.recorded.size(), 4 * run.period * frame);
    }
}

TEST(AlsaStream, AFailingDeviceReportsOnceAndNothingAfterClose) {
    for (Direction direction : {Direction::Input, Direction::Output}) {
        SCOPED_TRACE(direction == Direction::Input ? "input" : "output");
        test_support::ScratchDir dir;
        test_support::AlsaConfig config;
        config.pcm("failing", {.fail_after_ms = 100});
        test_support::ScopedAlsaConfig scoped(dir, config);

        Collector got;
        std::atomic<int> calls{0};
        Result<alsa::Stream> stream = alsa::build_stream(
            named("failing"), direction, {1, 48000, SampleFormat::I16},
            [&](alsa::Samples) { ++calls; },
            [&](const Error& e) {
                got.fail(e);
                ++calls;
            });
        ASSERT_TRUE(stream) << stream.error_text();
        ASSERT_TRUE(stream->play());
        ASSERT_TRUE(wait_until([&] { return !got.error_texts().empty(); }));
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(got.error_texts(), std::vector<std::string>{"snd_pcm_avail_update: Broken pipe"});
        stream->close();
        const int at_close = calls.load();
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(calls.load(), at_close);
    }
}

TEST(AlsaStream, ACallbackThatThrowsIsReportedOnceEvenWithoutMemoryForItsText) {
    // The callback throws on the service thread; in the second row, building
    // the error's text fails as well. Either way the error callback hears of
    // it once and nothing escapes the thread.
    struct Row {
        const char* name;
        bool out_of_memory;
        std::string error;
    };
    const Row rows[] = {
        {"with memory", false, "stream callback: callback exploded"},
        {"out of memory", true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test_support::ScratchDir dir;
        test_support::AlsaConfig config;
        config.pcm("dev", {});
        test_support::ScopedAlsaConfig scoped(dir, config);

        Collector got;
        const std::thread::id test_thread = std::this_thread::get_id();
        Result<alsa::Stream> stream = alsa::build_stream(
            named("dev"), Direction::Output, {1, 48000, SampleFormat::I16},
            [&](alsa::Samples) {
                if (std::this_thread::get_id() == test_thread) return;  // the prefill
                std::runtime_error exploded("callback exploded");
                if (row.out_of_memory) test_support::fail_allocations("alsa-playback", 1);
                throw exploded;
            },
            [&](const Error& e) { got.fail(e); });
        ASSERT_TRUE(stream) << stream.error_text();
        ASSERT_TRUE(stream->play());
        ASSERT_TRUE(wait_until([&] { return !got.error_texts().empty(); }));
        stream->close();
        test_support::disarm_allocation_failures();
        EXPECT_EQ(got.error_texts(), std::vector<std::string>{row.error});
    }
}

TEST(AlsaStream, BuildRefusesWhatTheDeviceCannotDo) {
    test_support::ScratchDir dir;
    test_support::write_bytes(dir.file("busy"), {});
    test_support::AlsaConfig config;
    config.pcm("dev", {.rates = {44100, 48000}}).pcm("busy", {.busy_while = dir.file("busy")});
    test_support::ScopedAlsaConfig scoped(dir, config);
    struct Row {
        std::string name;
        alsa::StreamConfig config;
        std::string error;
    };
    const std::vector<Row> rows = {
        {"dev", {1, 46000, SampleFormat::I16}, "snd_pcm_hw_params_set_rate: Invalid argument"},
        {"dev", {2, 48000, SampleFormat::I16}, "snd_pcm_hw_params_set_channels: Invalid argument"},
        {"dev", {1, 48000, SampleFormat::F32}, "snd_pcm_hw_params_set_format: Invalid argument"},
        {"dev", {1, 48000, SampleFormat::I24}, "unsupported stream sample format: I24"},
        {"busy", {1, 48000, SampleFormat::I16}, "snd_pcm_open: Device or resource busy"},
        {"missing", {1, 48000, SampleFormat::I16}, "snd_pcm_open: No such file or directory"},
        {std::string("dev\0", 4), {1, 48000, SampleFormat::I16}, "snd_pcm_open: Invalid argument"},
    };
    for (const Row& row : rows) {
        for (Direction direction : {Direction::Input, Direction::Output}) {
            Result<alsa::Stream> stream =
                alsa::build_stream(named(row.name), direction, row.config, nullptr, nullptr);
            ASSERT_FALSE(stream) << row.name << " " << row.config.sample_rate;
            EXPECT_EQ(stream.error_text(), row.error);
        }
    }
}

std::size_t entries(const char* path) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(path)) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

TEST(AlsaStream, BuildPlayCloseCyclesLeaveNoThreadOrDescriptor) {
    test_support::ScratchDir dir;
    test_support::AlsaConfig config;
    config.pcm("dev", {.tone_hz = 1000, .record_file = dir.file("played.raw")});
    test_support::ScopedAlsaConfig scoped(dir, config);
    auto cycle = [](Direction direction) {
        std::atomic<int> periods{0};
        Result<alsa::Stream> stream = alsa::build_stream(
            named("dev"), direction, {1, 48000, SampleFormat::I16},
            [&](alsa::Samples) { ++periods; }, nullptr);
        ASSERT_TRUE(stream) << stream.error_text();
        ASSERT_TRUE(stream->play());
        if (direction == Direction::Input) {
            ASSERT_TRUE(wait_until([&] { return periods.load() > 0; }));
        }
        stream->close();
    };
    cycle(Direction::Input);
    cycle(Direction::Output);
    const std::size_t fds = entries("/proc/self/fd");
    const std::size_t threads = entries("/proc/self/task");
    for (int i = 0; i < 50; ++i) {
        cycle(i % 2 == 0 ? Direction::Input : Direction::Output);
    }
    EXPECT_EQ(entries("/proc/self/fd"), fds);
    EXPECT_EQ(entries("/proc/self/task"), threads);
}

}  // namespace
