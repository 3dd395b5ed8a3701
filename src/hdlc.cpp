#include "hdlc.h"

#include <limits>

#include "hdlc_repair.h"
#include "num.h"

namespace hdlc {

uint16_t crc_register(std::span<const uint8_t> octets) {
    uint16_t reg = CRC_INIT;
    for (uint8_t octet : octets) reg = crc_update(reg, octet);
    return reg;
}

uint16_t compute_fcs(std::span<const uint8_t> data) {
    return static_cast<uint16_t>(~crc_register(data));
}

bool fcs_valid(std::span<const uint8_t> frame) {
    if (frame.size() < 2) return false;
    const size_t n = frame.size() - 2;
    const uint16_t received = static_cast<uint16_t>(frame[n] | (frame[n + 1] << 8));
    return (crc_register(frame.first(n)) ^ received) == 0xFFFF;
}

namespace {

bool callsign_char(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ';
}

}  // namespace

bool plausible_address_field(std::span<const uint8_t> data) {
    constexpr size_t ADDRESS_OCTETS = 7;
    constexpr size_t MAX_ADDRESSES = 10;
    // The field ends at the first octet with the extension bit set.
    size_t end = 0;
    while (end < data.size() && end < ADDRESS_OCTETS * MAX_ADDRESSES && !(data[end] & 1)) ++end;
    if (end >= data.size() || !(data[end] & 1)) return false;
    const size_t field_len = end + 1;
    if (field_len % ADDRESS_OCTETS != 0) return false;
    const size_t addresses = field_len / ADDRESS_OCTETS;
    if (addresses < 2 || addresses > MAX_ADDRESSES) return false;
    for (size_t a = 0; a < addresses; ++a) {
        const uint8_t* call = data.data() + a * ADDRESS_OCTETS;
        bool space_seen = false;
        for (size_t k = 0; k < 6; ++k) {
            const uint8_t c = call[k] >> 1;
            if (!callsign_char(c)) return false;
            if (c == ' ') {
                if (k == 0) return false;
                space_seen = true;
            } else if (space_seen) {
                return false;
            }
        }
    }
    return true;
}

HdlcDecoder::HdlcDecoder(uint64_t channel, uint64_t subchan, uint64_t slice)
    : channel_(channel), subchan_(subchan), slice_(slice) {
    capture_.raw_bits.reserve(MAX_RAW_BITS);
    capture_.channel = channel;
    capture_.subchan = subchan;
    capture_.slice = slice;
}

HdlcDecoder::HdlcDecoder(const HdlcDecoder& other)
    : capture_(other.capture_),
      channel_(other.channel_),
      subchan_(other.subchan_),
      slice_(other.slice_),
      bad_fcs_(other.bad_fcs_),
      line_(other.line_),
      flag_shift_(other.flag_shift_),
      byte_shift_(other.byte_shift_),
      bit_count_(other.bit_count_),
      frame_len_(other.frame_len_),
      scrambled_(other.scrambled_),
      fix_bits_(other.fix_bits_),
      frame_buf_(other.frame_buf_) {
    capture_.raw_bits.reserve(MAX_RAW_BITS);
}

HdlcDecoder& HdlcDecoder::operator=(const HdlcDecoder& other) {
    if (this != &other) {
        HdlcDecoder copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void HdlcDecoder::set_scrambled(bool scrambled) {
    scrambled_ = scrambled;
    capture_.scrambled = scrambled;
}

std::optional<DecodedFrame> HdlcDecoder::process_bit(uint8_t raw_bit, int64_t& correction_sum,
                                                     int32_t& bit_counter) {
    const uint8_t r = raw_bit & 1;
    const uint8_t b = line_.decode(r, scrambled_);
    flag_shift_ = static_cast<uint8_t>((flag_shift_ >> 1) | (b << 7));
    if (capture_.raw_bits.size() < MAX_RAW_BITS) capture_.raw_bits.push_back(r);

    switch (flag_shift_) {
        case 0xFE:  // abort
            capture_.raw_bits.clear();
            start_capture(false);
            bit_count_ = -1;
            return std::nullopt;
        case FLAG_OCTET:
            return close_frame(correction_sum, bit_counter);
        case 0x7C:
        case 0x7D:
        case 0x7F:  // stuffed zero
            return std::nullopt;
        default:
            break;
    }
    if (bit_count_ < 0) return std::nullopt;
    byte_shift_ = static_cast<uint8_t>((byte_shift_ >> 1) | (b << 7));
    if (++bit_count_ == 8) {
        bit_count_ = 0;
        if (frame_len_ < MAX_FRAME_OCTETS) frame_buf_[frame_len_++] = byte_shift_;
    }
    return std::nullopt;
}

void HdlcDecoder::start_capture(bool opened_by_flag) {
    capture_.descrambler_snapshot = line_.descrambler;
    capture_.scrambled = scrambled_;
    capture_.opened_by_flag = opened_by_flag;
    frame_len_ = 0;
}

std::optional<DecodedFrame> HdlcDecoder::close_frame(int64_t& correction_sum,
                                                     int32_t& bit_counter) {
    std::vector<uint8_t>& bits = capture_.raw_bits;
    const bool capped = bits.size() >= MAX_RAW_BITS;
    bits.resize(bits.size() > 8 ? bits.size() - 8 : 0);

    std::optional<DecodedFrame> result;
    if (bits.size() <= MAX_IDLE_CAPTURE_BITS) {
        correction_sum = 0;
        bit_counter = -1;
    } else {
        capture_.speed_error =
            bit_counter >= 1 ? static_cast<float>(static_cast<double>(correction_sum) * 100.0 *
                                                      (1.0 / 4294967296.0) / bit_counter +
                                                  0.02)
                             : 0.0f;
        const std::span<const uint8_t> octets(frame_buf_.data(), frame_len_);
        if (bit_count_ == 7 && frame_len_ >= MIN_FRAME_OCTETS && fcs_valid(octets)) {
            DecodedFrame frame;
            frame.data.assign(frame_buf_.begin(), frame_buf_.begin() + (frame_len_ - 2));
            frame.channel = channel_;
            frame.subchan = subchan_;
            frame.slice = slice_;
            frame.audio_level_mark = capture_.audio_level_mark;
            frame.audio_level_space = capture_.audio_level_space;
            frame.speed_error = capture_.speed_error;
            result = std::move(frame);
        } else if (capture_.opened_by_flag && !capped) {
            result = repair();
        }
        if (!result) bad_fcs_ = num::saturating_add(bad_fcs_, 1);
    }

    bits.assign(1, line_.last_raw);
    start_capture(true);
    bit_count_ = 0;
    return result;
}

std::optional<DecodedFrame> HdlcDecoder::repair() {
    if (auto frame = decode_from_raw_bits(capture_, 0)) return frame;
    if (fix_bits_ == 0) return std::nullopt;
    if (auto frame = try_fix_single_bit(capture_)) return frame;
    if (fix_bits_ == 1 || capture_.raw_bits.size() > MAX_DOUBLE_FIX_BITS) return std::nullopt;
    return try_fix_double_bit(capture_);
}

std::optional<DecodedFrame> HdlcDecoder::decode_from_raw_bits(const RawCapture& capture,
                                                              uint8_t retry) {
    return detail::decode_bits(capture, capture.raw_bits, retry, 0, nullptr);
}

namespace detail {

std::optional<DecodedFrame> decode_bits(const RawCapture& capture, std::span<const uint8_t> bits,
                                        uint8_t retry, size_t first_check, size_t* found_at,
                                        bool* octets_dropped) {
    if (bits.size() <= MAX_IDLE_CAPTURE_BITS) return std::nullopt;
    std::array<uint8_t, MAX_FRAME_OCTETS> buf;
    size_t len = 0;
    bool dropped = false;  // octets beyond the buffer since the last flag or abort
    int bit_count = 0;
    uint8_t flag_shift = 0;
    uint8_t byte_shift = 0;
    LineDecoder line{capture.descrambler_snapshot, static_cast<uint8_t>(bits[0] & 1)};
    const auto complete = [&](size_t position) -> bool {
        return position >= first_check && len >= MIN_FRAME_OCTETS &&
               fcs_valid(std::span<const uint8_t>(buf.data(), len));
    };
    size_t found = 0;
    for (size_t k = 1; k < bits.size() && found == 0; ++k) {
        const uint8_t b = line.decode(bits[k] & 1, capture.scrambled);
        flag_shift = static_cast<uint8_t>((flag_shift >> 1) | (b << 7));
        switch (flag_shift) {
            case 0xFE:
                len = 0;
                dropped = false;
                bit_count = -1;
                continue;
            case FLAG_OCTET:
                if (bit_count == 7 && complete(k)) {
                    found = k;
                } else {
                    len = 0;
                    dropped = false;
                    bit_count = 0;
                }
                continue;
            case 0x7C:
            case 0x7D:
            case 0x7F:
                continue;
            default:
                break;
        }
        if (bit_count < 0) continue;
        byte_shift = static_cast<uint8_t>((byte_shift >> 1) | (b << 7));
        if (++bit_count == 8) {
            bit_count = 0;
            if (len < MAX_FRAME_OCTETS) {
                buf[len++] = byte_shift;
            } else {
                dropped = true;
            }
        }
    }
    if (found == 0) {
        if (!(bit_count == 0 && complete(bits.size()))) return std::nullopt;
        found = bits.size();
    }
    if (found_at) *found_at = found;
    if (octets_dropped) *octets_dropped = dropped;

    DecodedFrame frame;
    frame.data.assign(buf.begin(), buf.begin() + (len - 2));
    frame.channel = capture.channel;
    frame.subchan = capture.subchan;
    frame.slice = capture.slice;
    frame.audio_level_mark = capture.audio_level_mark;
    frame.audio_level_space = capture.audio_level_space;
    frame.speed_error = capture.speed_error;
    frame.retry = retry;
    return frame;
}

std::optional<DecodedFrame> decode_candidate(const RawCapture& capture,
                                             std::span<const uint8_t> bits, uint8_t retry,
                                             size_t first_check) {
    // A frame longer than the buffer is checked over its first octets only; an
    // inversion that makes those pass would deliver a cut-off frame.
    bool dropped = false;
    std::optional<DecodedFrame> frame =
        decode_bits(capture, bits, retry, first_check, nullptr, &dropped);
    if (frame && (dropped || !plausible_address_field(frame->data))) frame.reset();
    return frame;
}

}  // namespace detail

std::optional<DecodedFrame> HdlcDecoder::try_fix_single_bit(const RawCapture& capture) {
    return detail::fix_single_bit(capture);
}

std::optional<DecodedFrame> HdlcDecoder::try_fix_double_bit(const RawCapture& capture) {
    if (capture.raw_bits.size() > MAX_DOUBLE_FIX_BITS) return std::nullopt;
    return detail::fix_double_bit(capture);
}

namespace reference {

std::optional<DecodedFrame> fix_single_bit(const RawCapture& capture) {
    RawCapture copy = capture;
    std::vector<uint8_t>& bits = copy.raw_bits;
    for (size_t i = 0; i < bits.size(); ++i) {
        bits[i] ^= 1;
        if (auto frame = detail::decode_candidate(copy, bits, 1, 0)) return frame;
        bits[i] ^= 1;
    }
    return std::nullopt;
}

std::optional<DecodedFrame> fix_double_bit(const RawCapture& capture) {
    RawCapture copy = capture;
    std::vector<uint8_t>& bits = copy.raw_bits;
    for (size_t i = 0; i < bits.size(); ++i) {
        bits[i] ^= 1;
        for (size_t j = i + 1; j < bits.size(); ++j) {
            bits[j] ^= 1;
            if (auto frame = detail::decode_candidate(copy, bits, 2, 0)) return frame;
            bits[j] ^= 1;
        }
        bits[i] ^= 1;
    }
    return std::nullopt;
}

}  // namespace reference

}  // namespace hdlc
