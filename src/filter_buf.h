#pragma once

// FilterBuf: the delay line through which each receive filter runs. It keeps two
// copies of a MAX_FILTER_SIZE-sample history, so the newest N samples always form
// one contiguous run and a filter output is a single pass over taps and history.
//
// convolve is the plain filter output, added strictly in tap order. The
// demodulators get the same sums, up to the last bits, from the block passes of
// filter_block.h over these histories; the plain form is what those are
// checked against.

#include <array>
#include <cstddef>
#include <span>

#include "dsp.h"

namespace filter_buf {

using dsp::MAX_FILTER_SIZE;

class FilterBuf {
public:
    // Stores one new sample; the write position moves back by one (from 0 to 479).
    void push(float x) {
        position_ = (position_ == 0 ? MAX_FILTER_SIZE : position_) - 1;
        history_[position_] = x;
        history_[position_ + MAX_FILTER_SIZE] = x;
    }

    // Filter output for the newest sample: sum of taps[k] times the sample k
    // steps old, added strictly in tap order. At most MAX_FILTER_SIZE taps are used.
    float convolve(std::span<const float> taps) const;

    // The write position, 0 to 479.
    std::size_t position() const { return position_; }

    // The stored history, newest sample first.
    const float* newest() const { return history_.data() + position_; }

private:
    alignas(64) std::array<float, 2 * MAX_FILTER_SIZE> history_{};
    std::size_t position_ = 0;
};

// N delay lines written together, with one write position for all: storing a
// sample in each line moves a single position. Each line keeps the same double
// history as FilterBuf.
template <std::size_t N>
class LineBank {
public:
    // Moves the write position back by one; store() then sets each line's
    // newest sample (a line not stored holds a stale value there).
    void advance() { position_ = (position_ == 0 ? MAX_FILTER_SIZE : position_) - 1; }

    void store(std::size_t line, float x) {
        float* h = history_[line].data() + position_;
        h[0] = x;
        h[MAX_FILTER_SIZE] = x;
    }

    // Line `line`'s history, newest sample first (MAX_FILTER_SIZE entries).
    const float* newest(std::size_t line) const { return history_[line].data() + position_; }

private:
    struct alignas(64) History : std::array<float, 2 * MAX_FILTER_SIZE> {};
    std::array<History, N> history_{};
    std::size_t position_ = 0;
};

// Sum over k < n of taps[k] * x[k], added strictly in order of k.
float dot(const float* taps, const float* x, std::size_t n);

}  // namespace filter_buf
