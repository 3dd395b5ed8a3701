#include "audio/stdin_raw.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "ipc/socket_stream.h"
#include "support/capture_drain.h"

namespace {

using namespace std::chrono_literals;
using audio::SampleBlock;
using test_support::SteadyClock;

struct Pipe {
    ipc::UniqueFd read;
    ipc::UniqueFd write;

    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        read = ipc::UniqueFd(fds[0]);
        write = ipc::UniqueFd(fds[1]);
    }
    void put(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::write(write.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
};

// One reader loop on its own thread, stopped and joined when it goes.
class Reader {
public:
    Reader(int fd, stdin_raw::InputState& state, audio::CaptureSender sender)
        : thread_([this, fd, &state, sender = std::move(sender)]() mutable {
              stdin_raw::read_fd_loop(fd, state, std::move(sender), stop_);
          }) {}
    ~Reader() { stop(); }

    // Sets the flag and waits for the loop; true when it ended within the guard.
    bool stop() {
        stop_ = true;
        return join();
    }
    bool join() {
        if (!thread_.joinable()) return true;
        const auto asked = SteadyClock::now();
        thread_.join();
        return SteadyClock::now() - asked < 5s;  // hang guard
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(StdinSource, SamplesStayAlignedAcrossReads) {
    stdin_raw::InputState state;
    Pipe pipe;
    auto [sender, receiver] = audio::make_capture_queue();
    Reader reader(pipe.read.get(), state, std::move(sender));

    pipe.put({0x01, 0x02, 0x03});
    EXPECT_EQ(test_support::next_block(receiver), (SampleBlock{0x0201}));
    pipe.put({0x84});
    EXPECT_EQ(test_support::next_block(receiver), (SampleBlock{int16_t(0x8403)}));

    // An odd total: the last byte is dropped at the end of input.
    pipe.put({0xFF, 0x7F, 0x09});
    pipe.write.reset();
    auto rest = test_support::drain(receiver);
    EXPECT_TRUE(rest.closed);
    EXPECT_EQ(rest.samples(), (SampleBlock{0x7FFF}));
    EXPECT_TRUE(reader.join());
    EXPECT_FALSE(state.carried.has_value());
}

TEST(StdinSource, OddByteCarriedToTheNextSourceUnlessTheInputEnded) {
    const struct {
        const char* how;
        bool stop_flag;  // else the receiver goes
    } ends[] = {{"stop flag", true}, {"receiver gone", false}};
    for (const auto& end : ends) {
        SCOPED_TRACE(end.how);
        stdin_raw::InputState state;
        Pipe pipe;
        {
            auto [sender, receiver] = audio::make_capture_queue();
            Reader first(pipe.read.get(), state, std::move(sender));
            pipe.put({0x11, 0x22, 0x33});
            EXPECT_EQ(test_support::next_block(receiver), (SampleBlock{0x2211}));
            if (end.stop_flag) {
                EXPECT_TRUE(first.stop());
            } else {
                { audio::CaptureReceiver gone = std::move(receiver); }
                // Seen at the next send: that block is lost, a whole sample
                // (0x33 0x44) and the 0x55 after it stays carried.
                pipe.put({0x44, 0x55});
                EXPECT_TRUE(first.join());
            }
        }
        ASSERT_TRUE(state.carried.has_value());

        auto [sender, receiver] = audio::make_capture_queue();
        Reader second(pipe.read.get(), state, std::move(sender));
        pipe.put({0x66});
        const SampleBlock expected = end.stop_flag ? SampleBlock{0x6633} : SampleBlock{0x6655};
        EXPECT_EQ(test_support::next_block(receiver), expected);
    }

    // At the end of input the odd byte belongs to no one: a new input starts clean.
    stdin_raw::InputState state;
    {
        Pipe ended;
        auto [sender, receiver] = audio::make_capture_queue();
        Reader first(ended.read.get(), state, std::move(sender));
        ended.put({0x01, 0x02, 0x03});
        ended.write.reset();
        EXPECT_TRUE(test_support::drain(receiver).closed);
    }
    EXPECT_FALSE(state.carried.has_value());
    Pipe fresh;
    auto [sender, receiver] = audio::make_capture_queue();
    Reader second(fresh.read.get(), state, std::move(sender));
    fresh.put({0x0A, 0x0B});
    EXPECT_EQ(test_support::next_block(receiver), (SampleBlock{0x0B0A}));
}

TEST(StdinSource, StopsWhileIdleOrWaitingForTheInput) {
    stdin_raw::InputState state;
    Pipe pipe;
    auto [first_sender, first_receiver] = audio::make_capture_queue();
    Reader first(pipe.read.get(), state, std::move(first_sender));
    pipe.put({0x01, 0x00});
    EXPECT_EQ(test_support::next_block(first_receiver), (SampleBlock{1}));

    // A second source on the same input waits for the first; stopping it ends
    // the wait and leaves the first reading.
    auto [second_sender, second_receiver] = audio::make_capture_queue();
    Reader second(pipe.read.get(), state, std::move(second_sender));
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(second.stop());
    EXPECT_TRUE(test_support::closed_at_once(second_receiver));
    pipe.put({0x02, 0x00});
    EXPECT_EQ(test_support::next_block(first_receiver), (SampleBlock{2}));

    // The first, idle with no input, stops as well.
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(first.stop());
    EXPECT_TRUE(test_support::drain(first_receiver).closed);
}

TEST(StdinSource, ReadsTheProcessStandardInput) {
    Pipe pipe;
    const int saved = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(::dup2(pipe.read.get(), STDIN_FILENO), STDIN_FILENO);
    pipe.read.reset();

    auto [sender, receiver] = audio::make_capture_queue();
    auto source = stdin_raw::spawn(22050, std::move(sender));
    if (source.ok()) {
        EXPECT_EQ(source->sample_rate, 22050u);
        pipe.put({0x34, 0x12, 0xCC, 0xED});
        pipe.write.reset();
        auto got = test_support::drain(receiver);
        EXPECT_TRUE(got.closed);
        EXPECT_EQ(got.samples(), (SampleBlock{0x1234, int16_t(0xEDCC)}));
        audio::stop_and_join(*source);
    } else {
        ADD_FAILURE() << source.error_text();
    }
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
}

}  // namespace
