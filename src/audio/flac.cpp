#include "audio/flac.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "audio/flac_decode.h"
#include "audio/source_thread.h"

namespace flac {

namespace {

using Clock = std::chrono::steady_clock;

// The longest a paced sleep lasts before it looks at the stop flag.
constexpr std::chrono::milliseconds kSleepSlice{100};

// Far beyond any recording, and far from the clock's limit.
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

// The decoded channel cut into blocks of kBlockSamples: holds one audio frame
// of the file at most, besides a block's remainder.
class BlockCutter {
public:
    explicit BlockCutter(audio::FlacReader& reader) : reader_(reader) {}

    // The next block into `block`: true with a block, false at the end of the
    // file (a last, shorter block comes before that).
    Result<bool> next(audio::SampleBlock& block) {
        while (decoded_.size() - taken_ < kBlockSamples && !ended_) {
            // Keep what is left of the frame before, then decode the next.
            decoded_.erase(decoded_.begin(),
                           decoded_.begin() + static_cast<std::ptrdiff_t>(taken_));
            taken_ = 0;
            Result<bool> frame = reader_.next_frame(decoded_);
            if (!frame) return frame.error();
            ended_ = !*frame;
        }
        const std::size_t n = std::min(kBlockSamples, decoded_.size() - taken_);
        if (n == 0) return false;
        const auto from = decoded_.begin() + static_cast<std::ptrdiff_t>(taken_);
        block.assign(from, from + static_cast<std::ptrdiff_t>(n));
        taken_ += n;
        return true;
    }

private:
    audio::FlacReader& reader_;
    std::vector<int16_t> decoded_;
    std::size_t taken_ = 0;  // samples of decoded_ already sent
    bool ended_ = false;
};

// The body of both source threads: opens the file, announces the rate, and
// sends block after block, on the paced schedule when `paced`. A failure that
// is not the stop's own closes the queue with its text.
void deliver(const std::string& path, uint32_t channel, uint32_t rate_override, bool paced,
             audio::CaptureSender& sender, const std::atomic<bool>& stop) {
    auto failed = [&](Error error) {
        if (!stop.load(std::memory_order_relaxed)) sender.fail(std::move(error.text));
    };
    Result<std::unique_ptr<audio::FlacReader>> reader =
        audio::FlacReader::open(path, channel, {.stop = &stop, .regular_file_only = true});
    if (!reader) return failed(make_error("open flac {}: {}", path, reader.error_text()));
    const uint32_t rate = rate_override != 0 ? rate_override : (*reader)->sample_rate();
    sender.announce_rate(rate);

    BlockCutter blocks(**reader);
    const Clock::time_point start = Clock::now();
    // Whole nanoseconds per sample: the dropped fraction runs delivery
    // slightly ahead of true time.
    const uint32_t sample_ns = 1000000000u / rate;
    uint64_t sent = 0;
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) return;
        audio::SampleBlock block;
        Result<bool> more = blocks.next(block);
        if (!more) return failed(more.error().with_context("flac decode"));
        if (!*more) return;
        sent += block.size();
        if (sender.send(std::move(block), stop) != audio::SendResult::Sent) return;
        if (paced) {
            uint64_t due_ns = kLatestDueNs;
            if (sample_ns == 0 || sent <= kLatestDueNs / sample_ns) due_ns = sent * sample_ns;
            sleep_until(start + std::chrono::nanoseconds(due_ns), stop);
        }
    }
}

Result<audio::AudioSource> start(const char* name, const std::string& path, uint32_t channel,
                                 uint32_t rate_override, bool paced, audio::CaptureSender sender) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    Result<std::thread> thread = audio::start_source_thread(
        name, [path, channel, rate_override, paced, sender = std::move(sender), stop]() mutable {
            deliver(path, channel, rate_override, paced, sender, *stop);
        });
    if (!thread) return thread.error();
    return audio::AudioSource(std::move(stop), std::move(*thread), rate_override);
}

}  // namespace

Result<audio::AudioSource> spawn(const FlacSourceConfig& config, audio::CaptureSender sender) {
    auto source = start("audio-flac", config.path, config.channel, config.rate_override,
                        /*paced=*/true, std::move(sender));
    if (!source) return source.error().with_context("spawn flac thread");
    return source;
}

Result<audio::AudioSource> spawn_fast(const std::string& path, uint32_t channel,
                                      audio::CaptureSender sender) {
    auto source = start("audio-flac-fast", path, channel, 0, /*paced=*/false, std::move(sender));
    if (!source) return source.error().with_context("spawn flac-fast thread");
    return source;
}

}  // namespace flac
