#pragma once

// Writes FLAC files with libFLAC++'s encoder for tests of the readers.

#include <FLAC++/encoder.h>

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

}  // namespace test_support
