#pragma once

// Writes FLAC files with libFLAC++'s encoder for tests of the readers.

#include <FLAC++/encoder.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_support {

// Encodes interleaved samples (`channels` per frame) of `bits` bits at `rate`.
inline void write_flac(const std::string& path, uint32_t rate, uint32_t channels, uint32_t bits,
                       const std::vector<int32_t>& interleaved) {
    FLAC::Encoder::File encoder;
    encoder.set_channels(channels);
    encoder.set_bits_per_sample(bits);
    encoder.set_sample_rate(rate);
    encoder.set_compression_level(5);
    encoder.set_total_samples_estimate(interleaved.size() / channels);
    if (encoder.init(path) != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        throw std::runtime_error("FLAC encoder init failed for " + path);
    }
    if (!interleaved.empty() &&
        !encoder.process_interleaved(interleaved.data(),
                                     static_cast<uint32_t>(interleaved.size() / channels))) {
        throw std::runtime_error("FLAC encoding failed for " + path);
    }
    if (!encoder.finish()) throw std::runtime_error("FLAC finish failed for " + path);
}

// Offset of the first audio frame of an encoded FLAC file: just past the "fLaC"
// marker and every metadata block.
inline size_t first_frame_offset(const std::vector<uint8_t>& bytes) {
    size_t at = 4;
    for (bool last = false; !last && at + 4 <= bytes.size();) {
        last = (bytes[at] & 0x80) != 0;
        at += 4 + ((size_t{bytes[at + 1]} << 16) | (size_t{bytes[at + 2]} << 8) | bytes[at + 3]);
    }
    return at;
}

// Overwrites the 36-bit sample count of the stream information block (which
// comes first, as the encoder writes it).
inline void set_declared_total(std::vector<uint8_t>& bytes, uint64_t total) {
    bytes[21] = static_cast<uint8_t>((bytes[21] & 0xF0) | ((total >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i) bytes[22 + i] = static_cast<uint8_t>(total >> (24 - 8 * i));
}

// Compressed silence as libFLAC's encoder would take hours to write it: a mono
// 16-bit stream at `rate` Hz of 4096-sample frames whose one subframe is a
// constant zero, 11 to 16 bytes a frame, written frame by frame until the
// file holds at least `bytes`. The stream information declares no total.
// Returns the number of frames written.
inline uint64_t write_flac_silence(const std::string& path, uint32_t rate, uint64_t bytes) {
    // CRC-8 (polynomial 0x07) of the frame header and CRC-16 (0x8005) of the
    // frame, both MSB first from 0, by byte tables.
    static const auto tables = [] {
        struct {
            uint8_t crc8[256];
            uint16_t crc16[256];
        } t{};
        for (unsigned i = 0; i < 256; ++i) {
            unsigned c8 = i, c16 = i << 8;
            for (int b = 0; b < 8; ++b) {
                c8 = (c8 & 0x80) ? (c8 << 1) ^ 0x07 : c8 << 1;
                c16 = (c16 & 0x8000) ? (c16 << 1) ^ 0x8005 : c16 << 1;
            }
            t.crc8[i] = static_cast<uint8_t>(c8);
            t.crc16[i] = static_cast<uint16_t>(c16);
        }
        return t;
    }();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot create " + path);
    std::vector<uint8_t> out;
    out.reserve(1 << 20);
    // The marker, then the last (and only) metadata block: stream information
    // of 34 bytes, blocks of 4096 samples, frame sizes unknown.
    out.insert(out.end(), {'f', 'L', 'a', 'C', 0x80, 0, 0, 34});
    out.insert(out.end(), {0x10, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0});
    // Rate (20 bits), channels - 1 (3 bits), bits - 1 (5 bits), total (36 bits).
    const uint64_t info = (uint64_t{rate & 0xFFFFF} << 44) | (uint64_t{15} << 36);
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(info >> (8 * i)));
    out.insert(out.end(), 16, 0);  // no MD5 signature

    uint64_t written = 0, frames = 0;
    auto flush = [&] {
        if (std::fwrite(out.data(), 1, out.size(), file) != out.size()) {
            std::fclose(file);
            throw std::runtime_error("cannot write " + path);
        }
        written += out.size();
        out.clear();
    };
    for (uint32_t n = 0; written + out.size() < bytes; ++n, ++frames) {
        const size_t at = out.size();
        // Sync, fixed blocksize; 4096 samples, the stream's rate; mono, 16 bits.
        out.insert(out.end(), {0xFF, 0xF8, 0xC0, 0x08});
        // The frame number, coded as UTF-8 codes a character.
        if (n < 0x80) {
            out.push_back(static_cast<uint8_t>(n));
        } else {
            int extra = n < 0x800 ? 1 : n < 0x10000 ? 2 : n < 0x200000 ? 3 : n < 0x4000000 ? 4 : 5;
            out.push_back(
                static_cast<uint8_t>(((0xFF00 >> (extra + 1)) & 0xFF) | (n >> (6 * extra))));
            for (int i = extra - 1; i >= 0; --i) {
                out.push_back(static_cast<uint8_t>(0x80 | ((n >> (6 * i)) & 0x3F)));
            }
        }
        uint8_t crc8 = 0;
        for (size_t i = at; i < out.size(); ++i) crc8 = tables.crc8[crc8 ^ out[i]];
        out.push_back(crc8);
        out.insert(out.end(), {0x00, 0x00, 0x00});  // a constant subframe of 0
        uint16_t crc16 = 0;
        for (size_t i = at; i < out.size(); ++i) {
            crc16 = static_cast<uint16_t>((crc16 << 8) ^ tables.crc16[(crc16 >> 8) ^ out[i]]);
        }
        out.push_back(static_cast<uint8_t>(crc16 >> 8));
        out.push_back(static_cast<uint8_t>(crc16));
        if (out.size() >= (1 << 20) - 32) flush();
    }
    flush();
    if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + path);
    return frames;
}

}  // namespace test_support
