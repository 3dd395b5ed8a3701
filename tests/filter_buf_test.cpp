#include "filter_buf.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <deque>
#include <random>
#include <vector>

namespace {

using filter_buf::DelayLines;
using filter_buf::FilterBuf;
using filter_buf::MAX_FILTER_SIZE;
using filter_buf::Order;

TEST(FilterBuf, PositionsAndNewestFirst) {
    FilterBuf buf;
    std::vector<float> taps(MAX_FILTER_SIZE, 0.0f);
    taps[0] = 2.0f;
    taps[1] = 3.0f;
    EXPECT_EQ(buf.position(), 0u);
    buf.push(5.0f);
    EXPECT_EQ(buf.position(), 479u);
    EXPECT_EQ(buf.convolve(taps), 10.0f);
    buf.push(7.0f);
    EXPECT_EQ(buf.convolve(std::span<const float>(taps).first(2)), 2.0f * 7 + 3.0f * 5);

    FilterBuf full;
    for (std::size_t i = 0; i < MAX_FILTER_SIZE; ++i) full.push(static_cast<float>(i + 1));
    EXPECT_EQ(full.position(), 0u);
    EXPECT_EQ(full.window()[0], 480.0f);
    EXPECT_EQ(full.window()[479], 1.0f);  // the oldest is the first pushed
    full.push(481.0f);
    EXPECT_EQ(full.window()[0], 481.0f);
    EXPECT_EQ(full.window()[479], 2.0f);
}

// The plain history a set of lines must show: the last `length` samples of each
// line (zeros before the first), in the set's order.
struct PlainLines {
    std::vector<std::deque<float>> newest_first;

    PlainLines(std::size_t lines, std::size_t length)
        : newest_first(lines, std::deque<float>(length, 0.0f)) {}

    void push(std::size_t line, float x) {
        newest_first[line].push_front(x);
        newest_first[line].pop_back();
    }
    std::vector<float> window(std::size_t line, Order order) const {
        const auto& h = newest_first[line];
        return order == Order::NEWEST_FIRST ? std::vector<float>(h.begin(), h.end())
                                            : std::vector<float>(h.rbegin(), h.rend());
    }
};

// Runs a set through more than two turns of its ring, checking every line's
// window and filter output against the plain history after every sample.
template <std::size_t Lines, std::size_t Capacity, Order order>
void check_against_plain(std::size_t length) {
    SCOPED_TRACE(testing::Message() << "length " << length << " capacity " << Capacity
                                    << (order == Order::NEWEST_FIRST ? " newest" : " oldest")
                                    << " first");
    DelayLines<Lines, Capacity, order> set(length);
    const std::size_t used = std::clamp<std::size_t>(length, 1, Capacity);
    ASSERT_EQ(set.length(), used);
    PlainLines plain(Lines, used);
    std::mt19937 rng(static_cast<unsigned>(length));
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> taps(used);
    for (float& t : taps) t = dist(rng);
    for (std::size_t n = 0; n < 2 * used + 3; ++n) {
        set.advance();
        for (std::size_t line = 0; line < Lines; ++line) {
            const float x = dist(rng);
            set.store(line, x);
            plain.push(line, x);
        }
        for (std::size_t line = 0; line < Lines; ++line) {
            const std::vector<float> want = plain.window(line, order);
            ASSERT_EQ(std::vector<float>(set.window(line), set.window(line) + used), want)
                << "sample " << n << " line " << line;
            ASSERT_EQ(set.convolve(taps, line), filter_buf::dot(taps.data(), want.data(), used));
        }
    }
}

TEST(DelayLines, WindowsFollowThePlainHistoryInBothOrders) {
    for (std::size_t length : {1u, 2u, 3u, 7u, 64u}) {
        check_against_plain<1, 64, Order::NEWEST_FIRST>(length);
        check_against_plain<1, 64, Order::OLDEST_FIRST>(length);
        check_against_plain<3, 64, Order::NEWEST_FIRST>(length);
        check_against_plain<2, 64, Order::OLDEST_FIRST>(length);
    }
    // Lengths outside 1..capacity are clamped into it.
    check_against_plain<1, 16, Order::OLDEST_FIRST>(0);
    check_against_plain<1, 16, Order::NEWEST_FIRST>(100);
    check_against_plain<2, MAX_FILTER_SIZE, Order::NEWEST_FIRST>(MAX_FILTER_SIZE);
}

TEST(DelayLines, DotAddsInTapOrder) {
    // 1e8 + 1 - 1e8 is 0 in single precision when added left to right, 1 otherwise.
    const float taps[3] = {1.0f, 1.0f, 1.0f};
    const float x[3] = {1e8f, 1.0f, -1e8f};
    EXPECT_EQ(filter_buf::dot(taps, x, 3), 0.0f);
    const float y[3] = {1e8f, -1e8f, 1.0f};
    EXPECT_EQ(filter_buf::dot(taps, y, 3), 1.0f);
    EXPECT_EQ(filter_buf::dot(taps, x, 0), 0.0f);
}

}  // namespace
