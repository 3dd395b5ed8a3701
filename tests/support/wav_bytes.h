#pragma once

// Builds WAV files byte by byte, so tests control every header field and every
// stored sample value exactly.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test_support {

inline void put_le(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void put_tag(std::vector<uint8_t>& out, const char* tag) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}

constexpr uint16_t kWavPcm = 1;
constexpr uint16_t kWavFloat = 3;

// A RIFF/WAVE file with a plain format chunk and the given data bytes. When
// `declared_data` is non-negative the data chunk declares that size instead.
inline std::vector<uint8_t> wav_file(uint16_t format_tag, uint16_t channels, uint32_t rate,
                                     uint16_t bits, const std::vector<uint8_t>& data,
                                     int64_t declared_data = -1) {
    uint32_t block_align = channels * ((bits + 7u) / 8u);
    uint64_t data_size = declared_data >= 0 ? static_cast<uint64_t>(declared_data) : data.size();
    std::vector<uint8_t> out;
    put_tag(out, "RIFF");
    put_le(out, 36 + data_size, 4);
    put_tag(out, "WAVE");
    put_tag(out, "fmt ");
    put_le(out, 16, 4);
    put_le(out, format_tag, 2);
    put_le(out, channels, 2);
    put_le(out, rate, 4);
    put_le(out, uint64_t{rate} * block_align, 4);
    put_le(out, block_align, 2);
    put_le(out, bits, 2);
    put_tag(out, "data");
    put_le(out, data_size, 4);
    for (uint8_t b : data) out.push_back(b);
    return out;
}

// Little-endian integer samples of `bytes` bytes each (two's complement; for
// 8-bit data pass the stored unsigned value).
inline std::vector<uint8_t> int_samples(const std::vector<int64_t>& values, int bytes) {
    std::vector<uint8_t> out;
    for (int64_t v : values) put_le(out, static_cast<uint64_t>(v), bytes);
    return out;
}

inline std::vector<uint8_t> float_samples(const std::vector<float>& values) {
    std::vector<uint8_t> out;
    for (float v : values) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        put_le(out, bits, 4);
    }
    return out;
}

}  // namespace test_support
