#pragma once

// Internal to the HDLC decoder: the fast repair searches and the plain decode
// they materialise their frames with. Not for use outside hdlc.cpp and tests.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "hdlc.h"

namespace hdlc::detail {

// Decodes `bits` with the mode, descrambler snapshot and identity of `capture`,
// as HdlcDecoder::decode_from_raw_bits does, except that candidates closing at
// a bit index below `first_check` are passed over. On success stores the index
// of the closing flag's last bit (bits.size() for the end of the bits) in
// *found_at when found_at is not null, and in *octets_dropped whether the frame
// ran past MAX_FRAME_OCTETS (its check then covered only its first octets).
std::optional<DecodedFrame> decode_bits(const RawCapture& capture, std::span<const uint8_t> bits,
                                        uint8_t retry, size_t first_check, size_t* found_at,
                                        bool* octets_dropped = nullptr);

// The frame of one repair candidate (the capture with some raw bits inverted,
// `bits`), tagged with `retry`: decode_bits' frame, accepted only when no
// octets were dropped and its address field is plausible. Both the fast and the
// plain searches accept candidates through it.
std::optional<DecodedFrame> decode_candidate(const RawCapture& capture,
                                             std::span<const uint8_t> bits, uint8_t retry,
                                             size_t first_check);

// The repair searches with the results of reference::fix_single_bit and
// reference::fix_double_bit, reusing the decoder state of the unchanged prefix
// and the linearity of the CRC instead of decoding every candidate in full.
// fix_double_bit expects at most MAX_DOUBLE_FIX_BITS raw bits.
std::optional<DecodedFrame> fix_single_bit(const RawCapture& capture);
std::optional<DecodedFrame> fix_double_bit(const RawCapture& capture);

// For tests: where the decode with raw bit i inverted (single_outcomes[i]), or
// with raw bits i < j inverted (double_outcomes[i * n + j]), as the fast searches
// predict it, finds its frame: the bit index of the closing flag's last bit, n
// for the end of the bits, -1 for no frame.
std::vector<int32_t> single_outcomes(const RawCapture& capture);
std::vector<int32_t> double_outcomes(const RawCapture& capture);

}  // namespace hdlc::detail
