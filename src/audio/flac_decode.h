#pragma once

// The one FLAC decoder of the project: a whole file decoded with libFLAC++ into
// one channel of signed 16-bit samples. The file tools and the FLAC sample
// sources both read through it.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace audio {

// One channel of a FLAC file and the sample rate its stream information declares.
struct FlacAudio {
    std::vector<int16_t> samples;
    uint32_t sample_rate = 0;
};

// Where a read failed: opening the file or reading its metadata, or decoding
// the audio frames.
enum class FlacStage { Open, Decode };

// A failed read: its stage and the system's or libFLAC's text, without context.
struct FlacError {
    FlacStage stage;
    std::string text;
};

using FlacResult = std::variant<FlacAudio, FlacError>;

// Decodes the whole file at `path`, keeping channel `channel` (zero-based) of
// every frame, scaled to 16 bits with wavio::int_sample_to_i16. A mono file
// yields its only channel whatever `channel` says; a channel the file lacks
// yields no samples. All or nothing: any error returns no samples. A stream
// ending before the sample count its stream information declares is refused;
// one running past it is read whole.
FlacResult decode_flac(const std::string& path, uint32_t channel);

}  // namespace audio
