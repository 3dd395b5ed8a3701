#pragma once

// Writes FLAC files with libFLAC++'s encoder for tests of the readers.

#include <FLAC++/encoder.h>

#include <cstddef>
#include <cstdint>
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

}  // namespace test_support
