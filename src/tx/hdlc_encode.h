#pragma once

// HDLC framing for transmission: flags, bit stuffing, the CRC-16/X.25 frame
// check sequence and NRZI, producing one line level (0 or 1) per bit period.

#include <cstdint>
#include <span>
#include <vector>

namespace hdlc_encode {

// Working state of one encoding: the line levels built so far, the current NRZI
// level (0 at the start) and the run of ones sent since the last zero, flag or
// stuffed bit.
class HdlcEncoder {
public:
    // Starts at level 0 with room for `reserve_levels` levels.
    explicit HdlcEncoder(size_t reserve_levels = 0);

    // Appends n flags (0x7E), never stuffed. Each flag changes the level twice,
    // so the level after a run of flags is the level before it.
    void push_flags(uint64_t n);

    // Sends the eight bits of `byte`, least significant first, with stuffing.
    void send_byte(uint8_t byte);

    // Sends one bit with NRZI (a zero changes the level) and inserts a stuffed
    // zero after the fifth one in a row.
    void send_bit(bool bit);

    const std::vector<uint8_t>& levels() const { return levels_; }
    std::vector<uint8_t> take_levels() { return std::move(levels_); }

private:
    void append_level() { levels_.push_back(level_); }
    void toggle_level() { level_ ^= 1u; }

    std::vector<uint8_t> levels_;
    uint8_t level_ = 0;
    uint32_t ones_ = 0;
};

// The line levels of one frame: pre_flags flags, the data bytes and their FCS
// (low byte first), all stuffed, then post_flags flags. The caller bounds the
// flag counts (every level is one byte of memory).
std::vector<uint8_t> encode(std::span<const uint8_t> data, uint64_t pre_flags, uint64_t post_flags);

}  // namespace hdlc_encode
