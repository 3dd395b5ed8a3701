#pragma once

// FLAC files as sample sources: the whole file decoded into one channel at
// open, then fed into the capture queue in blocks of 960 samples, either at the
// pace of real time ("audio-flac") or as fast as the consumer takes them
// ("audio-flac-fast"). The queue closes for the consumer once the recording has
// been delivered.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/sample_queue.h"
#include "result.h"

namespace flac {

// Samples per block sent; the last block of a file holds the remainder.
inline constexpr std::size_t kBlockSamples = 960;

// What flac::spawn takes.
struct FlacSourceConfig {
    std::string path;            // the FLAC file
    uint32_t rate_override = 0;  // Hz; 0: the file's rate; otherwise the rate paced and reported
    uint32_t channel = 0;        // zero-based channel of the file to deliver
};

// Decodes the file and starts the paced thread "audio-flac". The source's
// sample_rate is rate_override when not 0, else the file's rate. Errors:
// "open flac {path}: {}", "flac decode: {}", "spawn flac thread: {}"; on any
// failure `sender` is released and nothing runs.
Result<audio::AudioSource> spawn(const FlacSourceConfig& config, audio::CaptureSender sender);

// Decodes the file and starts the unpaced thread "audio-flac-fast" at the
// file's rate. Errors as for spawn, with "spawn flac-fast thread: {}".
Result<audio::AudioSource> spawn_fast(const std::string& path, uint32_t channel,
                                      audio::CaptureSender sender);

// The paced thread's body: sends `samples` in blocks on an absolute schedule of
// 1000000000 / rate ns per sample from one start instant, each block as soon
// as the one before it is due. Ends at the end of the samples, once `stop` is
// set (also during a sleep, within 100 ms) or once the receiver is gone.
// Requires rate > 0.
void pace_loop(std::vector<int16_t> samples, uint32_t rate, audio::CaptureSender sender,
               const std::atomic<bool>& stop);

}  // namespace flac
