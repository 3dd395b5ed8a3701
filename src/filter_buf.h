#pragma once

// DelayLines: the delay lines through which every receive filter runs. Each
// line keeps its last `length` samples twice over (h[i] == h[i + length]), so
// those samples always form one contiguous run, the window, and a filter output
// is a single pass of `dot` over taps and window. Lines of one set are written
// together and share one write position.
//
// A set is written either towards lower addresses, giving windows that start
// with the newest sample (the AFSK filters, whose block passes of
// filter_block.h run over such windows), or towards higher addresses, giving
// windows that start with the oldest (the 9600-baud and PSK filters, whose
// first tap meets the oldest sample).
//
// dot is the one filter sum of the receive chain, added strictly in tap
// order. The AFSK demodulator gets the same sums, up to the last bits, from
// the block passes of filter_block.h; the plain form is what those are checked
// against.

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

#include "dsp.h"

namespace filter_buf {

using dsp::MAX_FILTER_SIZE;

// Sum over k < n of taps[k] * x[k], added strictly in order of k.
inline float dot(const float* taps, const float* x, std::size_t n) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < n; ++k) sum += taps[k] * x[k];
    return sum;
}

// Which sample a window starts with.
enum class Order { NEWEST_FIRST, OLDEST_FIRST };

// Lines delay lines of `length` samples each (1..Capacity, fixed at
// construction), all zero at the start. No operation allocates.
template <std::size_t Lines, std::size_t Capacity, Order order>
class DelayLines {
public:
    // A length outside 1..Capacity is clamped into it.
    explicit DelayLines(std::size_t length = Capacity)
        : length_(std::clamp<std::size_t>(length, 1, Capacity)) {}

    // Moves the write position on by one sample; store() then sets each line's
    // newest sample (a line not stored keeps a stale value there).
    void advance() {
        if constexpr (order == Order::NEWEST_FIRST) {
            start_ = (start_ == 0 ? length_ : start_) - 1;
            slot_ = start_;
        } else {
            slot_ = start_;
            start_ = start_ + 1 == length_ ? 0 : start_ + 1;
        }
    }

    void store(std::size_t line, float x) {
        float* h = history_[line].data() + slot_;
        h[0] = x;
        h[length_] = x;
    }

    // Stores one new sample in a single line.
    void push(float x)
        requires(Lines == 1)
    {
        advance();
        store(0, x);
    }

    // Line `line`'s last `length` samples in the set's order.
    const float* window(std::size_t line = 0) const { return history_[line].data() + start_; }

    // The filter output for the newest sample: dot of taps and window, over
    // at most `length` taps.
    float convolve(std::span<const float> taps, std::size_t line = 0) const {
        return dot(taps.data(), window(line), std::min(taps.size(), length_));
    }

    std::size_t length() const { return length_; }
    // Where the window starts in the first copy, 0 to length - 1.
    std::size_t position() const { return start_; }

private:
    struct alignas(64) History : std::array<float, 2 * Capacity> {};
    std::array<History, Lines> history_{};
    std::size_t length_;
    std::size_t start_ = 0;
    // Where the newest sample goes in the first copy.
    std::size_t slot_ = 0;
};

// One line of MAX_FILTER_SIZE samples, newest first (the AFSK prefilter, and
// the reference for the block passes).
using FilterBuf = DelayLines<1, MAX_FILTER_SIZE, Order::NEWEST_FIRST>;

// N such lines written together (the AFSK mixer outputs).
template <std::size_t N>
using LineBank = DelayLines<N, MAX_FILTER_SIZE, Order::NEWEST_FIRST>;

}  // namespace filter_buf
