#pragma once

// HDLC receive decoder: turns the line bits of one slicer into frames whose
// frame check sequence (FCS) is valid, with an optional one- or two-bit repair
// stage for frames that fail the check.
//
// On-air framing (both directions):
//   flag          0x7E (a zero, six ones, a zero); opens and closes every frame,
//                 one flag may close one frame and open the next
//   abort         seven ones in a row after a zero
//   bit stuffing  inside a frame a zero follows every five consecutive ones
//   bit order     every octet, data and FCS alike, least significant bit first
//   NRZI          a zero is a change of line level, a one no change
//   scrambling    optional self-synchronising scrambler x^17 + x^12 + 1, undone
//                 before NRZI decoding
//   FCS           CRC-16/X.25 over the octets between the flags except the last
//                 two, which hold the FCS, low byte first
//   lengths       17 to 2125 octets between the flags (15 to 2123 data octets)
//
// The decoder has no threads, locks or I/O; its owner calls it once per bit.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace hdlc {

inline constexpr uint8_t FLAG_OCTET = 0x7E;
inline constexpr size_t MIN_FRAME_OCTETS = 17;    // data plus FCS, between the flags
inline constexpr size_t MAX_FRAME_OCTETS = 2125;  // data plus FCS, between the flags
inline constexpr size_t MAX_RAW_BITS = 20400;     // raw line bits kept per capture
// A capture of at most this many bits is the space between two flags of a
// preamble, or noise: it is neither decoded again nor counted.
inline constexpr size_t MAX_IDLE_CAPTURE_BITS = 135;
// Two-bit repair runs only on captures of at most this many raw bits.
inline constexpr size_t MAX_DOUBLE_FIX_BITS = 2000;

// CRC-16/X.25 register update table for the reflected polynomial 0x8408:
// entry i is the register after shifting i right eight times, XORing 0x8408
// whenever a one falls out. Precomputed so the check costs one look-up per octet.
constexpr std::array<uint16_t, 256> make_ccitt_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t reg = static_cast<uint16_t>(i);
        for (int k = 0; k < 8; ++k) {
            reg = (reg & 1) ? static_cast<uint16_t>((reg >> 1) ^ 0x8408) : (reg >> 1);
        }
        table[i] = reg;
    }
    return table;
}
inline constexpr std::array<uint16_t, 256> CCITT_TABLE = make_ccitt_table();

inline constexpr uint16_t CRC_INIT = 0xFFFF;
// Register value after a whole frame (data and its FCS) has been run through
// the CRC: every frame with a valid FCS leaves exactly this value.
inline constexpr uint16_t CRC_GOOD_RESIDUE = 0xF0B8;

// One octet into the CRC register.
constexpr uint16_t crc_update(uint16_t reg, uint8_t octet) {
    return static_cast<uint16_t>((reg >> 8) ^ CCITT_TABLE[(reg ^ octet) & 0xFF]);
}

// The CRC register after `octets`, starting from 0xFFFF.
uint16_t crc_register(std::span<const uint8_t> octets);

// The FCS of `data`: the ones' complement of the register; sent low byte first.
uint16_t compute_fcs(std::span<const uint8_t> data);

// True when `frame` (data followed by its two FCS octets, low byte first) holds
// at least two octets and its FCS is valid.
bool fcs_valid(std::span<const uint8_t> frame);

// True when `data` begins with a plausible AX.25 address field: 2 to 10
// addresses of 7 octets, the extension bit (bit 0) clear in every address octet
// except the last octet of the last address, and each address's six callsign
// octets, shifted right by one, upper-case letters, digits or spaces, the first
// not a space and no letter or digit after a space. Repaired frames must pass it.
bool plausible_address_field(std::span<const uint8_t> data);

// The descrambler as it stood at some bit: past raw bits (newest in bit 0) and
// the previous descrambled bit.
struct DescramblerState {
    uint32_t shift = 0;
    uint8_t last_descrambled = 0;
};

// Undoes the line coding of one raw bit after another: the descrambler (in
// scrambled mode), then NRZI against the previous bit.
struct LineDecoder {
    DescramblerState descrambler;
    // The previous raw bit, kept in both modes.
    uint8_t last_raw = 0;

    // The decoded bit for raw bit r (0 or 1): 1 when the (descrambled) level
    // did not change.
    uint8_t decode(uint8_t r, bool scrambled) {
        uint8_t b;
        if (scrambled) {
            const uint32_t shift = descrambler.shift;
            const auto d = static_cast<uint8_t>(r ^ ((shift >> 11) & 1) ^ ((shift >> 16) & 1));
            descrambler.shift = (shift << 1) | r;
            b = d == descrambler.last_descrambled;
            descrambler.last_descrambled = d;
        } else {
            b = r == last_raw;
        }
        last_raw = r;
        return b;
    }
};

// The raw line bits of the frame in progress and what is needed to decode them
// again. After a flag, raw_bits holds first the raw level of that flag's last
// bit (the NRZI reference), then every raw bit received since (0 or 1 each), up
// to MAX_RAW_BITS in all.
struct RawCapture {
    std::vector<uint8_t> raw_bits;
    uint64_t channel = 0;
    uint64_t subchan = 0;
    uint64_t slice = 0;
    // Descrambler state when the capture began.
    DescramblerState descrambler_snapshot;
    // Written by the demodulator before every bit; copied into frames.
    float audio_level_mark = 0.0f;
    float audio_level_space = 0.0f;
    // Clock error in percent, set at each closing flag.
    float speed_error = 0.0f;
    // Whether the bits are scrambled (the decoder's mode when the capture began).
    bool scrambled = false;
    // Whether the capture began at a flag; one that began at construction or at
    // an abort is never repaired.
    bool opened_by_flag = false;
};

// One received frame.
struct DecodedFrame {
    std::vector<uint8_t> data;  // the frame's octets without the FCS
    uint64_t channel = 0;
    uint64_t subchan = 0;       // ensemble member index, else 0
    uint64_t slice = 0;         // slicer index within its demodulator
    uint64_t sample_index = 0;  // 0 from the decoder; demodulators may overwrite it
    uint32_t quality = 0;       // 0 to 100; 0 from the decoder; demodulators may overwrite it
    float audio_level_mark = 0.0f;
    float audio_level_space = 0.0f;
    float speed_error = 0.0f;  // clock error in percent
    // 0 valid as received, 1 one raw bit inverted, 2 two raw bits inverted.
    uint8_t retry = 0;

    bool operator==(const DecodedFrame&) const = default;
};

// Receive decoder of one slicer. Copyable and movable; a copy has its own
// capture with the full room reserved.
class HdlcDecoder {
public:
    // Starts hunting for a flag, plain (not scrambled) mode, no repair.
    HdlcDecoder(uint64_t channel, uint64_t subchan, uint64_t slice);

    HdlcDecoder(const HdlcDecoder& other);
    HdlcDecoder& operator=(const HdlcDecoder& other);
    HdlcDecoder(HdlcDecoder&&) noexcept = default;
    HdlcDecoder& operator=(HdlcDecoder&&) noexcept = default;

    // Takes one raw line bit (bit 0 of raw_bit). correction_sum (the sum of the
    // caller's clock-loop phase corrections, 2^-32 bit period units) and
    // bit_counter (incremented by the caller after every call) give the speed
    // error of a completed frame; both are reset at a flag that ends a short
    // capture (a preamble). Returns a frame when one completes; it then belongs
    // to the caller. Allocates only for a returned frame (and in repair).
    std::optional<DecodedFrame> process_bit(uint8_t raw_bit, int64_t& correction_sum,
                                            int32_t& bit_counter);

    // Decodes the bits of `capture` again as from just after its opening flag.
    // A frame found is tagged with `retry`.
    static std::optional<DecodedFrame> decode_from_raw_bits(const RawCapture& capture,
                                                            uint8_t retry);

    // Repair searches: the first single raw bit (index ascending), or the first
    // pair of raw bits (first index, then second, ascending), whose inversion
    // makes the capture decode to a frame with a plausible address field that
    // lost no octets beyond MAX_FRAME_OCTETS (a longer frame is checked over its
    // first octets only). The capture is left unchanged. The two-bit search
    // gives nothing for a capture of more than MAX_DOUBLE_FIX_BITS bits.
    static std::optional<DecodedFrame> try_fix_single_bit(const RawCapture& capture);
    static std::optional<DecodedFrame> try_fix_double_bit(const RawCapture& capture);

    // Descrambles before NRZI decoding (both the decoder and its capture).
    void set_scrambled(bool scrambled);
    bool scrambled() const { return scrambled_; }

    // Repair level: 0 none, 1 single-bit, 2 or more single-bit then two-bit.
    void set_fix_bits(uint8_t fix_bits) { fix_bits_ = fix_bits; }
    uint8_t fix_bits() const { return fix_bits_; }

    // The demodulator's mark and space levels, written before every bit and
    // copied into any frame completed.
    void set_audio_levels(float mark, float space) {
        capture_.audio_level_mark = mark;
        capture_.audio_level_space = space;
    }

    // Closing flags that yielded no frame (saturating); the owner reads and resets it.
    uint64_t bad_fcs() const { return bad_fcs_; }
    void reset_bad_fcs() { bad_fcs_ = 0; }
    // The count, which is reset.
    uint64_t take_bad_fcs() { return std::exchange(bad_fcs_, 0); }

    // True while hunting for a flag (after construction or an abort).
    bool hunting() const { return bit_count_ < 0; }

    const RawCapture& capture() const { return capture_; }
    uint64_t channel() const { return channel_; }
    uint64_t subchan() const { return subchan_; }
    uint64_t slice() const { return slice_; }

private:
    std::optional<DecodedFrame> close_frame(int64_t& correction_sum, int32_t& bit_counter);
    std::optional<DecodedFrame> repair();
    void start_capture(bool opened_by_flag);

    RawCapture capture_;
    uint64_t channel_;
    uint64_t subchan_;
    uint64_t slice_;
    uint64_t bad_fcs_ = 0;
    LineDecoder line_;
    uint8_t flag_shift_ = 0;
    uint8_t byte_shift_ = 0;
    int32_t bit_count_ = -1;
    uint32_t frame_len_ = 0;
    bool scrambled_ = false;
    uint8_t fix_bits_ = 0;
    std::array<uint8_t, MAX_FRAME_OCTETS> frame_buf_{};
};

// Plain versions of the repair searches (one full decode per candidate), the
// reference the fast searches are checked against. Same results, no size bound.
namespace reference {
std::optional<DecodedFrame> fix_single_bit(const RawCapture& capture);
std::optional<DecodedFrame> fix_double_bit(const RawCapture& capture);
}  // namespace reference

}  // namespace hdlc
