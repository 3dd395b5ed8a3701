#pragma once

// The offline decode tool: one 1200-baud AFSK demodulator run over a whole WAV or
// FLAC recording as fast as it goes, summarised as a JSON document of the frame
// count, the bad-FCS count, the median levels of the decoded frames and the
// recording's sample rate. No threads, no settings, nothing kept between calls.

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "result.h"

namespace decode {

// The result of one decode, fields in the order of the document.
struct DecodeSummary {
    uint64_t rx_frames = 0;
    uint64_t rx_bad_fcs = 0;
    float level_dbfs_med = -60.0f;
    float mark_dbfs_med = -60.0f;
    float space_dbfs_med = -60.0f;
    float twist_db_med = -60.0f;
    uint32_t sample_rate = 0;
};

// Decodes the file named by the first argument (further arguments are ignored)
// and prints the summary document and a newline on standard output. With no
// argument the error is the tool's usage text.
Status run(std::span<const std::string> args);

// Reads the recording at `path` and decodes it. Errors of the reader come back
// unchanged; a recording whose sample rate the demodulator cannot work at is
// refused.
Result<DecodeSummary> decode_file(const std::string& path);

// Decodes samples at `sample_rate` (the part of decode_file after the reading).
Result<DecodeSummary> decode_samples(std::span<const int16_t> samples, uint32_t sample_rate);

// Summarises the frames' (mark, space) level pairs and the bad-FCS count;
// sample_rate is left 0.
DecodeSummary summarize(std::span<const std::pair<float, float>> levels, uint64_t bad_fcs);

// The median of `values`: -60 for none, the mean of the two middle values for an
// even count. NaN sorts last.
float median(std::vector<float> values);

// The summary as the two-space-indented document with its seven keys in order,
// without a final newline.
Result<std::string> summary_json(const DecodeSummary& summary);

}  // namespace decode
