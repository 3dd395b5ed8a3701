#include "tx/hdlc_encode.h"

#include <utility>

#include "hdlc.h"

namespace hdlc_encode {

HdlcEncoder::HdlcEncoder(size_t reserve_levels) {
    levels_.reserve(reserve_levels);
}

void HdlcEncoder::push_flags(uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        ones_ = 0;
        // 0, six ones, 0: the leading and trailing zeros change the level.
        toggle_level();
        append_level();
        for (int k = 0; k < 6; ++k) append_level();
        toggle_level();
        append_level();
    }
    ones_ = 0;
}

void HdlcEncoder::send_byte(uint8_t byte) {
    for (int k = 0; k < 8; ++k) send_bit(((byte >> k) & 1u) != 0);
}

void HdlcEncoder::send_bit(bool bit) {
    if (!bit) toggle_level();
    append_level();
    if (!bit) {
        ones_ = 0;
        return;
    }
    if (++ones_ == 5) {
        toggle_level();
        append_level();
        ones_ = 0;
    }
}

std::vector<uint8_t> encode(std::span<const uint8_t> data, uint64_t pre_flags,
                            uint64_t post_flags) {
    HdlcEncoder encoder(10 * data.size() + 8 * (pre_flags + post_flags) + 20);
    encoder.push_flags(pre_flags);
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : data) {
        encoder.send_byte(byte);
        crc = static_cast<uint16_t>((crc >> 8) ^ hdlc::CCITT_TABLE[(crc ^ byte) & 0xFFu]);
    }
    const uint16_t fcs = static_cast<uint16_t>(~crc);
    encoder.send_byte(static_cast<uint8_t>(fcs & 0xFFu));
    encoder.send_byte(static_cast<uint8_t>(fcs >> 8));
    encoder.push_flags(post_flags);
    return encoder.take_levels();
}

}  // namespace hdlc_encode
