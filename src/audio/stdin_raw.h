#pragma once

// Raw signed 16-bit little-endian mono samples from the process's standard
// input as a sample source ("audio-stdin"): each read becomes one block, the
// samples kept aligned on the byte stream however the input is split.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>

#include "audio/sample_queue.h"
#include "result.h"

namespace stdin_raw {

// Bytes taken by one read: at most 960 samples.
inline constexpr std::size_t kReadBytes = 1920;

// What the readers of one input share: the hold a reader keeps for its life
// (one reader at a time), and the odd byte a reader left over, which the next
// reader takes as the first byte of its first sample.
struct InputState {
    std::mutex lock;                   // guards `held`
    std::condition_variable released;  // `held` went false
    bool held = false;
    std::optional<uint8_t> carried;  // touched only by the reader that holds the input
};

// The samples of one read: `carried` (the odd byte of the read before, if
// any) in front of `bytes`, taken in little-endian pairs. On return `carried`
// holds the byte left over, if any. Any split of a byte stream into reads
// gives, block after block, the samples of the stream read whole.
audio::SampleBlock pair_samples(std::optional<uint8_t>& carried, std::span<const uint8_t> bytes);

// Starts "audio-stdin" reading standard input into `sender`; the source's
// sample_rate is `sample_rate`, untested. Error: "spawn stdin thread: {}"
// (then `sender` is released).
Result<audio::AudioSource> spawn(uint32_t sample_rate, audio::CaptureSender sender);

// The body of "audio-stdin": read_fd_loop over descriptor 0 and the
// process-wide state of standard input.
void read_loop(audio::CaptureSender sender, const std::atomic<bool>& stop);

// Takes hold of `state` (waiting in slices, giving up once `stop` is set), then
// sends a block for every read of `fd` until `stop` is set, the receiver goes,
// the input ends or a read fails. Every wait looks at `stop` at least every
// 100 ms. The carried byte is kept when `stop` or the receiver ends the loop,
// and dropped at the end of the input or on a read error.
void read_fd_loop(int fd, InputState& state, audio::CaptureSender sender,
                  const std::atomic<bool>& stop);

}  // namespace stdin_raw
