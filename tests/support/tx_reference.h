#pragma once

// Plain reference models of the transmit chain for tests, written from the
// framing and modulation rules rather than from the library: a bitwise CRC,
// an encoder working on an explicit bit list, and a modulator that finds each
// sample's bit from the exact bit boundaries.

#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

namespace tx_reference {

// CRC-16/X.25 computed bit by bit (reflected polynomial 0x8408), FCS = ones'
// complement of the register.
inline uint16_t fcs(std::span<const uint8_t> data) {
    uint16_t reg = 0xFFFF;
    for (uint8_t byte : data) {
        reg ^= byte;
        for (int k = 0; k < 8; ++k) reg = (reg & 1) ? (reg >> 1) ^ 0x8408 : reg >> 1;
    }
    return static_cast<uint16_t>(~reg);
}

// Line levels of a frame: the bit list (flags unstuffed, data and FCS stuffed)
// is built first, then turned into NRZI levels from level 0.
inline std::vector<uint8_t> encode(std::span<const uint8_t> data, uint64_t pre, uint64_t post) {
    std::vector<uint8_t> bits;
    auto flags = [&](uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) {
            for (int k = 0; k < 8; ++k) bits.push_back((0x7E >> k) & 1);
        }
    };
    std::vector<uint8_t> body(data.begin(), data.end());
    const uint16_t f = fcs(data);
    body.push_back(f & 0xFF);
    body.push_back(f >> 8);
    flags(pre);
    int run = 0;
    for (uint8_t byte : body) {
        for (int k = 0; k < 8; ++k) {
            const uint8_t bit = (byte >> k) & 1;
            bits.push_back(bit);
            run = bit ? run + 1 : 0;
            if (run == 5) {
                bits.push_back(0);
                run = 0;
            }
        }
    }
    flags(post);
    std::vector<uint8_t> levels;
    uint8_t level = 0;
    for (uint8_t bit : bits) {
        if (bit == 0) level = 1 - level;
        levels.push_back(level);
    }
    return levels;
}

// NRZI decoding of levels (previous level 0 before the first).
inline std::vector<uint8_t> nrzi_bits(std::span<const uint8_t> levels) {
    std::vector<uint8_t> bits;
    uint8_t previous = 0;
    for (uint8_t level : levels) {
        bits.push_back(level == previous ? 1 : 0);
        previous = level;
    }
    return bits;
}

// AFSK samples for rates where sample_rate / baud is a binary fraction exactly
// representable in 32.32 (e.g. 44100 / 1200 = 36.75): bit k covers samples
// floor(k x rate / baud) up to floor((k + 1) x rate / baud).
inline std::vector<int16_t> modulate(std::span<const uint8_t> levels, uint32_t rate, uint32_t baud,
                                     uint32_t mark_hz, uint32_t space_hz) {
    int16_t table[256];
    for (int k = 0; k < 256; ++k) {
        table[k] = static_cast<int16_t>(
            std::lround(16384.0 * std::sin(2.0 * std::numbers::pi * k / 256.0)));
    }
    const uint32_t mark_inc = static_cast<uint32_t>((uint64_t{mark_hz} << 32) / rate);
    const uint32_t space_inc = static_cast<uint32_t>((uint64_t{space_hz} << 32) / rate);
    std::vector<int16_t> out;
    uint32_t phase = 0;
    for (uint64_t k = 0; k < levels.size(); ++k) {
        const uint64_t begin = k * rate / baud;
        const uint64_t end = (k + 1) * rate / baud;
        for (uint64_t s = begin; s < end; ++s) {
            out.push_back(table[phase >> 24]);
            phase += levels[k] ? mark_inc : space_inc;
        }
    }
    return out;
}

}  // namespace tx_reference
