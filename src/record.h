#pragma once

// The record tool: one channel of a capture device for a given number of
// seconds (ending early once it holds seconds x rate samples, on a device that
// delivers faster than real time), held in memory and written as a mono 16-bit PCM WAV file, then one
// report line on standard error. Whatever would make the write fail after the
// recording (an out path the file cannot be created at, a recording too long
// for a WAV file) is refused before the recording starts.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "result.h"

namespace record {

// The parsed arguments.
struct RecordArgs {
    std::string device;  // ALSA PCM name or alias, passed on as is
    std::string out;     // path of the WAV file
    uint64_t seconds = 0;
    uint32_t rate = 48000;  // Hz asked for

    bool operator==(const RecordArgs&) const = default;
};

// The most seconds a deadline on the monotonic clock (signed 64-bit
// nanoseconds) can be set that far ahead.
inline constexpr uint64_t kMaxSeconds = 9223372036;

// "usage: quillmar-modem --record <device> --seconds <N> --out <file.wav> [--rate <hz>]"
std::string_view usage_text();

// The device, then key and value pairs ("--seconds", "--out", "--rate"), left
// to right; a key given twice takes its last value. Numbers are an optional
// "+" and decimal digits; seconds at most kMaxSeconds.
Result<RecordArgs> parse_args(std::span<const std::string> args);

// The error the WAV writer's open would give for `path`, found without
// creating anything: empty, a missing or unwritable directory, a directory, an
// existing file without write permission. Success when the open would succeed.
Status check_out_path(const std::string& path);

// Parses `args`, records and writes the file, and prints
// "recorded {} samples ({:.1f}s @ {} Hz) -> {}" on standard error. The capture
// device is open only while recording; the file is created only after it.
Status run(std::span<const std::string> args);

}  // namespace record
