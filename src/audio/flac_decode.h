#pragma once

// The one FLAC decoder of the project: libFLAC++ read through a file
// descriptor, one audio frame at a time, into one channel of signed 16-bit
// samples. The FLAC sample sources and the file tools both read through it;
// what it holds stays at one frame's samples whatever the file holds.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "result.h"

namespace audio {

// How FlacReader::open treats the file.
struct FlacOpenOptions {
    // Looked at before every read from the file: once set, the open or the
    // frame in hand fails at once (with libFLAC's text for an aborted stream).
    const std::atomic<bool>* stop = nullptr;
    // Anything but a regular file is refused, and opening never waits (a FIFO
    // would block in its open, a device may never end). Otherwise a pipe or a
    // device is read like a file.
    bool regular_file_only = false;
};

class FlacReader {
public:
    // Opens the file at `path` and reads its metadata, keeping channel
    // `channel` (zero-based) of every frame; a mono file yields its only
    // channel whatever `channel` says, and a channel the file lacks yields no
    // samples. Errors carry the system's or libFLAC's text without context;
    // a stream information block declaring a rate of 0 is refused.
    static Result<std::unique_ptr<FlacReader>> open(const std::string& path, uint32_t channel,
                                                    FlacOpenOptions options = {});

    ~FlacReader();
    FlacReader(const FlacReader&) = delete;
    FlacReader& operator=(const FlacReader&) = delete;

    // The rate the stream information declares, never 0.
    uint32_t sample_rate() const;

    // Decodes the next audio frame and appends its samples of the kept
    // channel, scaled to 16 bits with wavio::int_sample_to_i16, to `out`.
    // True when a frame was decoded (it may add no sample), false at the end
    // of the stream. Errors carry libFLAC's text; a stream ending before the
    // sample count its stream information declares is refused there, and one
    // running past it is read whole.
    Result<bool> next_frame(std::vector<int16_t>& out);

private:
    class Decoder;
    explicit FlacReader(std::unique_ptr<Decoder> decoder);
    std::unique_ptr<Decoder> decoder_;
};

// One channel of a FLAC file and the sample rate its stream information declares.
struct FlacAudio {
    std::vector<int16_t> samples;
    uint32_t sample_rate = 0;
};

// Where a whole read failed: opening the file or reading its metadata, or
// decoding the audio frames.
enum class FlacStage { Open, Decode };

// A failed read: its stage and the system's or libFLAC's text, without context.
struct FlacError {
    FlacStage stage;
    std::string text;
};

using FlacResult = std::variant<FlacAudio, FlacError>;

// Reads the whole file at `path` through a FlacReader into memory. All or
// nothing: any error returns no samples.
FlacResult decode_flac(const std::string& path, uint32_t channel);

}  // namespace audio
