#pragma once

// WAV and FLAC files for the one-shot tools: a whole recording read into memory as
// mono signed 16-bit samples, and mono 16-bit PCM WAV written out. Parsing and
// encoding are left to libsndfile (WAV) and libFLAC++ (FLAC); this module decides
// which reader a path goes to, which channel survives, how every sample width is
// brought to 16 bits, and the header that is written.
//
// Error texts are those of the libraries and of the operating system, unchanged;
// callers put their own context in front.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace wavio {

// A recording as read: the first channel, one sample per frame in file order, and
// the sample rate the file declares.
struct Audio {
    std::vector<int16_t> samples;
    uint32_t sample_rate = 0;
};

// True when the path names a FLAC file by its extension alone: the text after the
// last "." of the final component (a leading dot does not start an extension),
// compared to "flac" with ASCII letters lowered. Everything else goes to WAV.
bool is_flac_path(std::string_view path);

// Reads the whole file at `path` (FLAC or WAV by is_flac_path, never by content).
// All or nothing: on any error no samples are returned. A FLAC stream that ends
// before the total its stream information declares is refused; one that runs past
// it is read whole.
Result<Audio> read_audio_i16(const std::string& path);

// The most samples a mono 16-bit WAV file holds: its RIFF size field, 36 plus two
// bytes a sample, must fit 32 bits.
inline constexpr uint64_t kMaxWavSamples = (uint64_t{0xFFFFFFFF} - 36) / 2;

// Writes `samples` as a mono 16-bit PCM WAV file with the plain 44-byte header,
// creating or truncating `path` (permission bits 0666 before the umask). The size
// fields are filled in on success. Refuses, before creating anything, a sample
// count whose size fields would not fit 32 bits and a sample rate of 0 or one whose
// byte rate would not fit. A file left half written by a failure stays in place.
Status write_wav_i16(const std::string& path, std::span<const int16_t> samples,
                     uint32_t sample_rate);

// One integer sample of `bits` bits brought to 16 bits: narrower samples are
// shifted up, wider ones shifted down arithmetically, the result clamped.
int16_t int_sample_to_i16(int32_t sample, unsigned bits);

// One 32-bit float sample brought to 16 bits: clamped to -1..1, scaled by 32767,
// truncated toward zero; NaN gives 0.
int16_t float_sample_to_i16(float sample);

}  // namespace wavio
