#include "record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "audio/sample_queue.h"
#include "audio/soundcard_capture.h"
#include "wavio.h"

namespace record {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kUsage =
    "usage: quillmar-modem --record <device> --seconds <N> --out <file.wav> [--rate <hz>]";

// The longest single wait for a block.
constexpr std::chrono::milliseconds kMaxWait{250};

Error usage_error() {
    return Error{std::string(kUsage)};
}

Error system_text(int err) {
    return Error{std::strerror(err)};
}

// An optional "+", then one or more decimal digits, at most `max`.
std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The directory a new file at `path` is created in.
std::string parent_directory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// `seconds` from now, or the clock's end when that lies beyond it.
Clock::time_point deadline_after(uint64_t seconds) {
    const Clock::time_point now = Clock::now();
    // Within kMaxSeconds the count fits the clock's nanoseconds.
    const auto wanted = std::chrono::seconds(static_cast<int64_t>(std::min(seconds, kMaxSeconds)));
    if (wanted >= Clock::time_point::max() - now) return Clock::time_point::max();
    return now + wanted;
}

// Takes blocks from `receiver` until the recording holds seconds x rate
// samples (the block that reaches the count kept whole), `seconds` have passed
// or the queue closes: a device that delivers faster than real time records
// what was asked for and no more. Refuses at once a recording whose file the
// writer would refuse.
Result<std::vector<int16_t>> capture(audio::CaptureReceiver& receiver, uint64_t seconds,
                                     uint32_t rate) {
    const uint64_t most_seconds = rate == 0 ? 0 : wavio::kMaxWavSamples / rate;
    if (seconds > most_seconds) {
        return make_error("too long for a WAV file: {} s at {} Hz", seconds, rate);
    }
    const std::size_t wanted = static_cast<std::size_t>(seconds * rate);
    try {
        std::vector<int16_t> samples;
        const Clock::time_point deadline = deadline_after(seconds);
        while (samples.size() < wanted) {
            const Clock::time_point now = Clock::now();
            if (now >= deadline) break;
            auto received =
                receiver.recv_timeout(std::min<Clock::duration>(kMaxWait, deadline - now));
            if (std::holds_alternative<ipc::QueueClosed>(received)) break;
            if (received.index() != 0) continue;
            const audio::SampleBlock& block = std::get<0>(received);
            // Room for the count and the one block that may pass it, set
            // aside once: the capture's blocks keep their size, so only a
            // final block larger than the first grows the recording again.
            if (samples.capacity() == 0) {
                samples.reserve(std::min<std::size_t>(wavio::kMaxWavSamples, wanted + block.size()));
            }
            // Past the WAV limit samples are dropped, so that the write never
            // refuses the whole recording.
            const std::size_t room = wavio::kMaxWavSamples - samples.size();
            const std::size_t taken = std::min(block.size(), room);
            samples.insert(samples.end(), block.begin(),
                           block.begin() + static_cast<std::ptrdiff_t>(taken));
        }
        return samples;
    } catch (const std::exception& e) {
        return Error{e.what()};
    }
}

}  // namespace

std::string_view usage_text() {
    return kUsage;
}

Result<RecordArgs> parse_args(std::span<const std::string> args) {
    if (args.empty()) return usage_error();
    RecordArgs parsed;
    parsed.device = args[0];
    bool have_seconds = false;
    bool have_out = false;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        const std::string& key = args[i];
        if (key != "--rate" && key != "--seconds" && key != "--out") {
            return make_error("unknown arg: {}\n{}", key, kUsage);
        }
        if (i + 1 >= args.size()) return usage_error();
        const std::string& value = args[i + 1];
        if (key == "--rate") {
            std::optional<uint64_t> rate = parse_unsigned(value, UINT32_MAX);
            if (!rate) return Error{"bad --rate"};
            parsed.rate = static_cast<uint32_t>(*rate);
        } else if (key == "--seconds") {
            std::optional<uint64_t> seconds = parse_unsigned(value, kMaxSeconds);
            if (!seconds) return Error{"bad --seconds"};
            parsed.seconds = *seconds;
            have_seconds = true;
        } else {
            parsed.out = value;
            have_out = true;
        }
    }
    if (!have_seconds || !have_out) return usage_error();
    return parsed;
}

Status check_out_path(const std::string& path) {
    if (path.empty()) return system_text(ENOENT);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return system_text(EISDIR);
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return system_text(errno);
        return Status::success();
    }
    if (errno != ENOENT) return system_text(errno);
    // A new file: its directory must let us in and write.
    const std::string dir = parent_directory(path);
    if (::stat(dir.c_str(), &st) != 0) return system_text(errno);
    if (!S_ISDIR(st.st_mode)) return system_text(ENOTDIR);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return system_text(errno);
    }
    return Status::success();
}

Status run(std::span<const std::string> args) {
    Result<RecordArgs> parsed = parse_args(args);
    if (!parsed) return parsed.error();
    const RecordArgs& a = *parsed;
    if (Status path = check_out_path(a.out); !path) return path;

    auto [sender, receiver] = audio::make_capture_queue(audio::kCaptureQueueBlocks);
    Result<audio::AudioSource> source =
        soundcard::spawn({a.device, a.rate, 1, 0}, std::move(sender));
    if (!source) return source.error();
    const uint32_t rate = source->sample_rate;
    Result<std::vector<int16_t>> samples = capture(receiver, a.seconds, rate);
    audio::stop_and_join(*source);
    if (!samples) return samples.error();

    if (Status written = wavio::write_wav_i16(a.out, *samples, rate); !written) return written;
    const std::size_t count = samples->size();
    fmt::print(stderr, "recorded {} samples ({:.1f}s @ {} Hz) -> {}\n", count,
               static_cast<float>(count) / static_cast<float>(rate), rate, a.out);
    return Status::success();
}

}  // namespace record
