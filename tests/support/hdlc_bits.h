#pragma once

// A small bit-level HDLC line encoder for tests, written independently of the
// decoder: a bitwise CRC, flags, bit stuffing, LSB-first octets, NRZI and the
// optional x^17 + x^12 + 1 scrambler. Build the frame-level bit stream with
// HdlcBits, then turn it into line levels with to_line().

#include <cstdint>
#include <string_view>
#include <vector>

namespace test_hdlc {

// CRC-16/X.25 computed one bit at a time; returns the FCS (complemented register).
inline uint16_t bitwise_fcs(const std::vector<uint8_t>& data) {
    uint16_t reg = 0xFFFF;
    for (uint8_t octet : data) {
        for (int k = 0; k < 8; ++k) {
            const bool out = ((reg ^ (octet >> k)) & 1) != 0;
            reg = static_cast<uint16_t>(reg >> 1);
            if (out) reg ^= 0x8408;
        }
    }
    return static_cast<uint16_t>(~reg);
}

// `data` followed by its FCS, low byte first.
inline std::vector<uint8_t> with_fcs(std::vector<uint8_t> data) {
    const uint16_t fcs = bitwise_fcs(data);
    data.push_back(static_cast<uint8_t>(fcs & 0xFF));
    data.push_back(static_cast<uint8_t>(fcs >> 8));
    return data;
}

inline std::vector<uint8_t> bytes_of(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// A plausible AX.25 address field (destination, source) followed by `info`.
inline std::vector<uint8_t> ax25_frame(std::string_view dest, std::string_view src,
                                       const std::vector<uint8_t>& info) {
    std::vector<uint8_t> out;
    const auto address = [&](std::string_view call, bool last) {
        for (size_t k = 0; k < 6; ++k) {
            const char c = k < call.size() ? call[k] : ' ';
            out.push_back(static_cast<uint8_t>(c << 1));
        }
        out.push_back(static_cast<uint8_t>(0x60 | (last ? 1 : 0)));
    };
    address(dest, false);
    address(src, true);
    out.push_back(0x03);
    out.push_back(0xF0);
    out.insert(out.end(), info.begin(), info.end());
    return out;
}

// Frame-level bits (the bits after NRZI decoding and descrambling).
class HdlcBits {
public:
    // `count` flags, unstuffed.
    HdlcBits& flags(int count) {
        for (int i = 0; i < count; ++i) raw_octet(0x7E);
        return *this;
    }
    // One octet without stuffing, LSB first.
    HdlcBits& raw_octet(uint8_t octet) {
        for (int k = 0; k < 8; ++k) bits_.push_back((octet >> k) & 1);
        return *this;
    }
    // Octets with a zero inserted after every five consecutive ones.
    HdlcBits& stuffed(const std::vector<uint8_t>& octets) {
        int ones = 0;
        for (uint8_t octet : octets) {
            for (int k = 0; k < 8; ++k) {
                const uint8_t bit = (octet >> k) & 1;
                bits_.push_back(bit);
                ones = bit ? ones + 1 : 0;
                if (ones == 5) {
                    bits_.push_back(0);
                    ones = 0;
                }
            }
        }
        return *this;
    }
    // A frame's octets (data and FCS) stuffed, followed by one closing flag.
    HdlcBits& frame(const std::vector<uint8_t>& octets) {
        stuffed(octets);
        return flags(1);
    }
    HdlcBits& bit(uint8_t b) {
        bits_.push_back(b & 1);
        return *this;
    }
    HdlcBits& repeat(uint8_t b, int count) {
        for (int i = 0; i < count; ++i) bit(b);
        return *this;
    }
    const std::vector<uint8_t>& bits() const { return bits_; }
    size_t size() const { return bits_.size(); }

private:
    std::vector<uint8_t> bits_;
};

// Line encoder state: NRZI level and scrambler history.
class LineEncoder {
public:
    explicit LineEncoder(bool scrambled) : scrambled_(scrambled) {}

    // Line levels for frame-level bits: NRZI (a zero changes the level), then
    // scrambling when enabled.
    std::vector<uint8_t> encode(const std::vector<uint8_t>& bits) {
        std::vector<uint8_t> line;
        line.reserve(bits.size());
        for (uint8_t b : bits) {
            if (!(b & 1)) level_ ^= 1;
            uint8_t out = level_;
            if (scrambled_) {
                out = static_cast<uint8_t>(out ^ ((history_ >> 11) & 1) ^ ((history_ >> 16) & 1));
                history_ = (history_ << 1) | out;
            }
            line.push_back(out);
        }
        return line;
    }

private:
    bool scrambled_;
    uint8_t level_ = 0;
    uint32_t history_ = 0;
};

}  // namespace test_hdlc
