#include "audio/stdin_raw.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "audio/source_thread.h"

namespace stdin_raw {

namespace {

// The longest any wait of the reader lasts before it looks at the stop flag.
constexpr std::chrono::milliseconds kWaitSlice{100};

// The one state of the process's standard input. Never destroyed, so that a
// reader let go by its owner may outlive everything else.
InputState& process_stdin() {
    static InputState* const state = new InputState;
    return *state;
}

bool retry(int err) {
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK;
}

}  // namespace

audio::SampleBlock pair_samples(std::optional<uint8_t>& carried, std::span<const uint8_t> bytes) {
    if (bytes.empty()) return {};
    const std::size_t total = (carried ? 1 : 0) + bytes.size();
    audio::SampleBlock block(total / 2);
    std::size_t next = 0;  // the first byte of `bytes` not yet paired
    std::size_t i = 0;
    if (carried && !block.empty()) {
        block[i++] = static_cast<int16_t>(
            static_cast<uint16_t>(*carried | (static_cast<unsigned>(bytes[0]) << 8)));
        next = 1;
    }
    for (; i < block.size(); ++i, next += 2) {
        block[i] = static_cast<int16_t>(
            static_cast<uint16_t>(bytes[next] | (static_cast<unsigned>(bytes[next + 1]) << 8)));
    }
    if (total % 2 != 0) {
        carried = bytes.back();
    } else {
        carried.reset();
    }
    return block;
}

void read_fd_loop(int fd, InputState& state, audio::CaptureSender sender,
                  const std::atomic<bool>& stop) {
    {
        std::unique_lock<std::mutex> guard(state.lock);
        while (state.held) {
            if (stop.load(std::memory_order_relaxed)) return;
            state.released.wait_for(guard, kWaitSlice);
        }
        state.held = true;
    }
    struct Release {
        InputState& state;
        ~Release() {
            {
                std::lock_guard<std::mutex> guard(state.lock);
                state.held = false;
            }
            state.released.notify_all();
        }
    } release{state};

    std::vector<uint8_t> buffer(kReadBytes);
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) return;
        pollfd want{fd, POLLIN, 0};
        int ready = ::poll(&want, 1, static_cast<int>(kWaitSlice.count()));
        if (ready < 0 && retry(errno)) continue;
        if (ready == 0) continue;
        if (ready < 0 || (want.revents & POLLNVAL) != 0 ||
            ((want.revents & POLLERR) != 0 && (want.revents & POLLIN) == 0)) {
            break;
        }

        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && retry(errno)) continue;
        if (got <= 0) break;

        audio::SampleBlock block =
            pair_samples(state.carried, std::span(buffer).first(static_cast<std::size_t>(got)));
        if (sender.send(std::move(block), stop) != audio::SendResult::Sent) return;
    }
    // End of input or a read error: a half sample left over belongs to no one.
    state.carried.reset();
}

void read_loop(audio::CaptureSender sender, const std::atomic<bool>& stop) {
    read_fd_loop(STDIN_FILENO, process_stdin(), std::move(sender), stop);
}

Result<audio::AudioSource> spawn(uint32_t sample_rate, audio::CaptureSender sender) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto thread = audio::start_source_thread(
        "audio-stdin",
        [sender = std::move(sender), stop]() mutable { read_loop(std::move(sender), *stop); });
    if (!thread) return thread.error().with_context("spawn stdin thread");
    return audio::AudioSource(std::move(stop), std::move(*thread), sample_rate);
}

}  // namespace stdin_raw
