#include "audio/flac.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <utility>
#include <variant>

#include "audio/flac_decode.h"
#include "audio/source_thread.h"

namespace flac {

namespace {

using Clock = std::chrono::steady_clock;

// The longest a paced sleep lasts before it looks at the stop flag.
constexpr std::chrono::milliseconds kSleepSlice{100};

// Far beyond any recording that fits in memory, and far from the clock's limit.
constexpr uint64_t kLatestDueNs = uint64_t{1} << 62;

// Sleeps until `due`, in slices, returning early once `stop` is set.
void sleep_until(Clock::time_point due, const std::atomic<bool>& stop) {
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) return;
        Clock::time_point now = Clock::now();
        if (now >= due) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, kSleepSlice));
    }
}

// Sends `samples` from `start` on, one block at a time: true when it was sent,
// false when the source must end (stopped, or the receiver gone).
bool send_block(const std::vector<int16_t>& samples, std::size_t start,
                audio::CaptureSender& sender, const std::atomic<bool>& stop) {
    if (stop.load(std::memory_order_relaxed)) return false;
    std::size_t end = start + std::min(kBlockSamples, samples.size() - start);
    audio::SampleBlock block(samples.begin() + static_cast<std::ptrdiff_t>(start),
                             samples.begin() + static_cast<std::ptrdiff_t>(end));
    return sender.send(std::move(block), stop) == audio::SendResult::Sent;
}

void fast_loop(std::vector<int16_t> samples, audio::CaptureSender sender,
               const std::atomic<bool>& stop) {
    for (std::size_t sent = 0; sent < samples.size(); sent += kBlockSamples) {
        if (!send_block(samples, sent, sender, stop)) return;
    }
}

// The decoded file, or the error with its context.
Result<audio::FlacAudio> open(const std::string& path, uint32_t channel) {
    audio::FlacResult read = audio::decode_flac(path, channel);
    if (auto* failed = std::get_if<audio::FlacError>(&read)) {
        if (failed->stage == audio::FlacStage::Open) {
            return make_error("open flac {}: {}", path, failed->text);
        }
        return make_error("flac decode: {}", failed->text);
    }
    return std::get<audio::FlacAudio>(std::move(read));
}

}  // namespace

void pace_loop(std::vector<int16_t> samples, uint32_t rate, audio::CaptureSender sender,
               const std::atomic<bool>& stop) {
    const Clock::time_point start = Clock::now();
    // Whole nanoseconds per sample: the dropped fraction runs delivery
    // slightly ahead of true time.
    const uint32_t sample_ns = 1000000000u / rate;
    for (std::size_t sent = 0; sent < samples.size();) {
        if (!send_block(samples, sent, sender, stop)) return;
        sent += std::min(kBlockSamples, samples.size() - sent);
        uint64_t due_ns = kLatestDueNs;
        if (sample_ns == 0 || sent <= kLatestDueNs / sample_ns) {
            due_ns = static_cast<uint64_t>(sent) * sample_ns;
        }
        sleep_until(start + std::chrono::nanoseconds(due_ns), stop);
    }
}

Result<audio::AudioSource> spawn(const FlacSourceConfig& config, audio::CaptureSender sender) {
    auto decoded = open(config.path, config.channel);
    if (!decoded) return decoded.error();
    const uint32_t rate = config.rate_override != 0 ? config.rate_override : decoded->sample_rate;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto thread = audio::start_source_thread(
        "audio-flac",
        [samples = std::move(decoded->samples), rate, sender = std::move(sender), stop]() mutable {
            pace_loop(std::move(samples), rate, std::move(sender), *stop);
        });
    if (!thread) return thread.error().with_context("spawn flac thread");
    return audio::AudioSource(std::move(stop), std::move(*thread), rate);
}

Result<audio::AudioSource> spawn_fast(const std::string& path, uint32_t channel,
                                      audio::CaptureSender sender) {
    auto decoded = open(path, channel);
    if (!decoded) return decoded.error();
    const uint32_t rate = decoded->sample_rate;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto thread = audio::start_source_thread(
        "audio-flac-fast",
        [samples = std::move(decoded->samples), sender = std::move(sender), stop]() mutable {
            fast_loop(std::move(samples), std::move(sender), *stop);
        });
    if (!thread) return thread.error().with_context("spawn flac-fast thread");
    return audio::AudioSource(std::move(stop), std::move(*thread), rate);
}

}  // namespace flac
