#include "ipc/framing.h"

namespace framing {

std::array<uint8_t, 4> encode_length(uint32_t length) {
    return {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

uint32_t decode_length(const std::array<uint8_t, 4>& bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

}  // namespace framing
