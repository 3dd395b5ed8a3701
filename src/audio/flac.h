#pragma once

// FLAC files as sample sources: the file opened and decoded on the source's
// own thread, a frame at a time as it sends, one channel fed into the capture
// queue in blocks of 960 samples, either at the pace of real time
// ("audio-flac") or as fast as the consumer takes them ("audio-flac-fast").
// The queue closes for the consumer once the recording has been delivered,
// or with the source's failure (CaptureReceiver::failure) when the file
// cannot be opened or decoded.

#include <cstddef>
#include <cstdint>
#include <string>

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

// Starts the paced thread "audio-flac", which opens and decodes the file
// itself; nothing touches the file on the caller's thread. The source's
// sample_rate is rate_override, 0 when that is 0: the thread then announces
// the file's rate on the queue (CaptureSender::announce_rate) before its
// first block. Blocks go out on an absolute schedule of 1000000000 / rate ns
// per sample from the first one, each as soon as the one before it is due.
// The thread ends at the end of the file, once the stop flag is set (within
// 100 ms, also while it opens, decodes, sleeps or waits for room) or once the
// receiver is gone. Failures it closes the queue with: "open flac {path}: {}"
// (only a regular file is opened), "flac decode: {}". Fails itself only with
// "spawn flac thread: {}", releasing `sender`.
Result<audio::AudioSource> spawn(const FlacSourceConfig& config, audio::CaptureSender sender);

// As spawn, unpaced, at the file's rate, on the thread "audio-flac-fast";
// "spawn flac-fast thread: {}".
Result<audio::AudioSource> spawn_fast(const std::string& path, uint32_t channel,
                                      audio::CaptureSender sender);

}  // namespace flac
