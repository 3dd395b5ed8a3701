#include "hdlc.h"

#include "hdlc_repair.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "support/hdlc_bits.h"

namespace {

using test_hdlc::HdlcBits;
using test_hdlc::LineEncoder;
using test_hdlc::with_fcs;

struct Decoded {
    std::vector<hdlc::DecodedFrame> frames;
    uint64_t bad_fcs = 0;
};

Decoded feed(hdlc::HdlcDecoder& decoder, const std::vector<uint8_t>& line) {
    Decoded run;
    int64_t correction_sum = 0;
    int32_t bit_counter = 0;
    for (uint8_t bit : line) {
        if (auto frame = decoder.process_bit(bit, correction_sum, bit_counter)) {
            run.frames.push_back(std::move(*frame));
        }
        ++bit_counter;
    }
    run.bad_fcs = decoder.bad_fcs();
    return run;
}

std::vector<uint8_t> sample_data(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> data = test_hdlc::ax25_frame("APRS", "N0CALL", {});
    for (size_t i = 0; data.size() < n; ++i)
        data.push_back(static_cast<uint8_t>(seed * 37 + i * 11));
    data.resize(n);
    return data;
}

TEST(HdlcCrc, CheckValueAndTableAgreeWithBitwiseCrc) {
    EXPECT_EQ(hdlc::compute_fcs(test_hdlc::bytes_of("123456789")), 0x906E);
    EXPECT_EQ(hdlc::CCITT_TABLE[1], 0x1189);
    EXPECT_EQ(hdlc::CCITT_TABLE[128], 0x8408);
    for (size_t n : {0, 1, 15, 300}) {
        const std::vector<uint8_t> data = sample_data(n, 7);
        EXPECT_EQ(hdlc::compute_fcs(data), test_hdlc::bitwise_fcs(data));
        const std::vector<uint8_t> frame = with_fcs(data);
        EXPECT_TRUE(hdlc::fcs_valid(frame));
        EXPECT_EQ(hdlc::crc_register(frame), hdlc::CRC_GOOD_RESIDUE);
        std::vector<uint8_t> broken = frame;
        broken.back() ^= 0x10;
        EXPECT_FALSE(hdlc::fcs_valid(broken));
    }
}

TEST(HdlcDecoder, DecodesMinimumFrameWithItsIdentityAndLevels) {
    const std::vector<uint8_t> data = sample_data(15);
    hdlc::HdlcDecoder decoder(3, 1, 2);
    decoder.set_audio_levels(0.5f, 0.25f);
    LineEncoder encoder(false);
    const Decoded run =
        feed(decoder, encoder.encode(HdlcBits().flags(2).frame(with_fcs(data)).bits()));
    ASSERT_EQ(run.frames.size(), 1u);
    const hdlc::DecodedFrame& frame = run.frames[0];
    EXPECT_EQ(frame.data, data);
    EXPECT_EQ(frame.channel, 3u);
    EXPECT_EQ(frame.subchan, 1u);
    EXPECT_EQ(frame.slice, 2u);
    EXPECT_EQ(frame.retry, 0);
    EXPECT_EQ(frame.quality, 0u);
    EXPECT_EQ(frame.sample_index, 0u);
    EXPECT_EQ(frame.audio_level_mark, 0.5f);
    EXPECT_EQ(frame.audio_level_space, 0.25f);
    EXPECT_EQ(run.bad_fcs, 0u);
}

// Frame-level bits of one case and the line bits (indices into the same
// stream) to invert after encoding.
struct Stream {
    HdlcBits bits;
    std::vector<size_t> damage;
};

// A plausible frame of `n` data octets; `fill` octets after the address field.
std::vector<uint8_t> ax25_data(size_t n, uint8_t fill = 0x55) {
    std::vector<uint8_t> data = test_hdlc::ax25_frame("APRS", "N0CALL", {});
    while (data.size() < n) data.push_back(static_cast<uint8_t>(fill + data.size() * 3));
    data.resize(n);
    return data;
}

// Data with no address field (its first octet has the extension bit set).
std::vector<uint8_t> unaddressed_data(size_t n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(0x21 + i * 7);
    return data;
}

// Four flags, the frames (each closed by one flag, which opens the next), two
// flags; damage at offsets from the first frame's first bit.
Stream framed(const std::vector<std::vector<uint8_t>>& frames, std::vector<size_t> damage = {}) {
    Stream s;
    s.bits.flags(4);
    for (size_t& d : damage) d += s.bits.size();
    s.damage = std::move(damage);
    for (const std::vector<uint8_t>& data : frames) s.bits.frame(with_fcs(data));
    s.bits.flags(2);
    return s;
}

// Bits of pseudo-random data with stuffing applied (never a flag or abort).
void stuffed_noise(HdlcBits& bits, size_t count, uint32_t seed) {
    int ones = 0;
    for (size_t k = 0; k < count; ++k) {
        seed = seed * 1664525u + 1013904223u;
        uint8_t b = (seed >> 27) & 1;
        if (ones == 5) b = 0;
        ones = b ? ones + 1 : 0;
        bits.bit(b);
    }
}

struct Case {
    const char* name;
    bool scrambled;
    uint8_t fix_bits;
    Stream (*make)();
    std::vector<int> retries;  // of the frames delivered, in order
    uint64_t bad_fcs;
};

// Damage offsets used below lie inside the frames' data and form no flag or abort.
const Case CASES[] = {
    {"minimum frame", false, 0, [] { return framed({ax25_data(15)}); }, {0}, 0},
    {"minimum frame scrambled", true, 0, [] { return framed({ax25_data(15)}); }, {0}, 0},
    {"16 octets not delivered, too short to count",
     false,
     2,
     [] { return framed({std::vector<uint8_t>(14, 0x00)}); },
     {},
     0},
    {"16 octets with stuffing counts as bad",
     false,
     2,
     [] { return framed({std::vector<uint8_t>(14, 0xFF)}); },
     {},
     1},
    {"frames sharing flags",
     false,
     0,
     [] {
         return framed({ax25_data(20), ax25_data(40, 1), ax25_data(15, 2)});
     },
     {0, 0, 0},
     0},
    {"frames sharing flags scrambled",
     true,
     0,
     [] {
         return framed({ax25_data(20), ax25_data(40, 1)});
     },
     {0, 0},
     0},
    {"preamble only",
     false,
     2,
     [] {
         Stream s;
         s.bits.flags(200);
         return s;
     },
     {},
     0},
    {"stuffing of ones and flag octets",
     false,
     0,
     [] {
         std::vector<uint8_t> data = ax25_data(16);
         data.insert(data.end(), {0xFF, 0xFF, 0x7E, 0x7E, 0x1F, 0xF8, 0x3E, 0x7C});
         return framed({data});
     },
     {0},
     0},
    {"largest frame", false, 0, [] { return framed({ax25_data(2123, 0x11)}); }, {0}, 0},
    // The check over the first 2125 octets fails.
    {"one octet over the largest frame",
     false,
     0,
     [] { return framed({ax25_data(2124, 0x11)}); },
     {},
     1},
    // Single-bit inversions exist that make the first 2125 octets of these
    // frames pass the check; such a cut-off frame is never delivered.
    {"one octet over the largest frame, repair on",
     false,
     2,
     [] { return framed({ax25_data(2124, 0x11)}); },
     {},
     1},
    {"one octet over the largest frame scrambled, repair on",
     true,
     1,
     [] { return framed({ax25_data(2124, 0x11)}); },
     {},
     1},
    {"abort drops the frame, the next one decodes",
     false,
     2,
     [] {
         Stream s;
         s.bits.flags(4).stuffed(ax25_data(30)).bit(0).repeat(1, 7).repeat(1, 20);
         s.bits.flags(3).frame(with_fcs(ax25_data(20, 3))).flags(1);
         return s;
     },
     {0},
     0},
    {"bad FCS without repair",
     false,
     0,
     [] {
         Stream s = framed({});
         std::vector<uint8_t> octets = with_fcs(ax25_data(15));
         octets.back() ^= 0x01;
         s.bits.frame(octets).flags(1);
         return s;
     },
     {},
     1},
    {"one wrong level, no repair", false, 0, [] { return framed({ax25_data(30)}, {90}); }, {}, 1},
    {"one wrong level, single repair",
     false,
     1,
     [] { return framed({ax25_data(30)}, {90}); },
     {1},
     0},
    {"one wrong level, double repair",
     false,
     2,
     [] { return framed({ax25_data(30)}, {90}); },
     {1},
     0},
    {"one wrong level, level 3 acts as 2",
     false,
     3,
     [] { return framed({ax25_data(30)}, {90}); },
     {1},
     0},
    {"one wrong level in the address",
     false,
     1,
     [] { return framed({ax25_data(30)}, {20}); },
     {1},
     0},
    {"two wrong levels, single repair",
     false,
     1,
     [] {
         return framed({ax25_data(30)}, {90, 170});
     },
     {},
     1},
    {"two wrong levels, double repair",
     false,
     2,
     [] {
         return framed({ax25_data(30)}, {90, 170});
     },
     {2},
     0},
    {"two wrong levels, level 3",
     false,
     3,
     [] {
         return framed({ax25_data(30)}, {90, 170});
     },
     {2},
     0},
    {"two adjacent wrong levels",
     false,
     2,
     [] {
         return framed({ax25_data(30)}, {90, 91});
     },
     {2},
     0},
    {"damaged frame between good ones",
     false,
     1,
     [] {
         return framed({ax25_data(20), ax25_data(25, 1), ax25_data(20, 2)}, {200 + 60});
     },
     {0, 1, 0},
     0},
    {"scrambled, one wrong level, no repair",
     true,
     0,
     [] { return framed({ax25_data(30)}, {90}); },
     {},
     1},
    {"scrambled, one wrong level, single repair",
     true,
     1,
     [] { return framed({ax25_data(30)}, {90}); },
     {1},
     0},
    {"scrambled, wrong level right after the opening flag",
     true,
     1,
     [] { return framed({ax25_data(30)}, {0}); },
     {1},
     0},
    {"scrambled, two wrong levels, double repair",
     true,
     2,
     [] {
         return framed({ax25_data(30)}, {90, 170});
     },
     {2},
     0},
    {"scrambled, two wrong levels, single repair",
     true,
     1,
     [] {
         return framed({ax25_data(30)}, {90, 170});
     },
     {},
     1},
    {"two wrong levels in a capture over 2000 bits",
     false,
     2,
     [] {
         return framed({ax25_data(260)}, {90, 1400});
     },
     {},
     1},
    {"one wrong level in a capture over 2000 bits",
     false,
     2,
     [] { return framed({ax25_data(260)}, {1400}); },
     {1},
     0},
    {"one wrong level in the largest frame",
     true,
     1,
     [] { return framed({ax25_data(2123, 0x11)}, {15000}); },
     {1},
     0},
    {"no address field: delivered as received",
     false,
     2,
     [] { return framed({unaddressed_data(20)}); },
     {0},
     0},
    {"no address field: repair refused",
     false,
     2,
     [] { return framed({unaddressed_data(20)}, {90}); },
     {},
     1},
    {"no address field: double repair refused",
     false,
     2,
     [] {
         return framed({unaddressed_data(20)}, {60, 120});
     },
     {},
     1},
    {"capture from construction is not re-decoded",
     false,
     2,
     [] {
         Stream s;
         s.bits.bit(1).frame(with_fcs(ax25_data(20))).flags(2);
         return s;
     },
     {},
     1},
    // After the abort's seventh one, the eighth is the capture's first bit.
    {"capture from an abort is not re-decoded",
     false,
     2,
     [] {
         Stream s;
         s.bits.flags(2).repeat(1, 8).stuffed(with_fcs(ax25_data(20))).flags(2);
         return s;
     },
     {},
     1},
    {"capture from an abort is not repaired",
     false,
     2,
     [] {
         Stream s;
         s.bits.flags(2).repeat(1, 8).stuffed(with_fcs(ax25_data(20)));
         s.damage = {16 + 8 + 60};
         s.bits.flags(2);
         return s;
     },
     {},
     1},
    {"noise from construction counts once",
     false,
     0,
     [] {
         Stream s;
         stuffed_noise(s.bits, 300, 5);
         s.bits.flags(3);
         return s;
     },
     {},
     1},
    {"long tone then a flag",
     false,
     2,
     [] {
         Stream s;
         s.bits.flags(3).repeat(1, 30000).flags(3);
         return s;
     },
     {},
     1},
    {"capture at the bit cap is not repaired",
     false,
     2,
     [] {
         Stream s;
         s.bits.flags(3);
         stuffed_noise(s.bits, hdlc::MAX_RAW_BITS + 100, 9);
         s.bits.flags(3);
         return s;
     },
     {},
     1},
};

TEST(HdlcDecoder, CaseTable) {
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        const Stream stream = c.make();
        LineEncoder encoder(c.scrambled);
        std::vector<uint8_t> line = encoder.encode(stream.bits.bits());
        for (size_t d : stream.damage) line.at(d) ^= 1;
        hdlc::HdlcDecoder decoder(3, 1, 2);
        decoder.set_scrambled(c.scrambled);
        decoder.set_fix_bits(c.fix_bits);
        const Decoded run = feed(decoder, line);
        std::vector<int> retries;
        for (const hdlc::DecodedFrame& f : run.frames) retries.push_back(f.retry);
        EXPECT_EQ(retries, c.retries);
        EXPECT_EQ(run.bad_fcs, c.bad_fcs);
    }
}

TEST(HdlcDecoder, RepairedFrameEqualsTheSentOne) {
    for (bool scrambled : {false, true}) {
        const std::vector<uint8_t> data = ax25_data(40, 9);
        const Stream s = framed({data}, {77, 250});
        LineEncoder encoder(scrambled);
        std::vector<uint8_t> line = encoder.encode(s.bits.bits());
        for (size_t d : s.damage) line[d] ^= 1;
        hdlc::HdlcDecoder decoder(0, 4, 1);
        decoder.set_scrambled(scrambled);
        decoder.set_fix_bits(2);
        const Decoded run = feed(decoder, line);
        ASSERT_EQ(run.frames.size(), 1u);
        EXPECT_EQ(run.frames[0].data, data);
        EXPECT_EQ(run.frames[0].retry, 2);
        EXPECT_EQ(run.frames[0].subchan, 4u);
        EXPECT_EQ(run.frames[0].slice, 1u);
    }
}

TEST(HdlcDecoder, SpeedErrorAndPreambleResetOfTheClockCounters) {
    const std::vector<uint8_t> line =
        LineEncoder(false).encode(framed({ax25_data(30)}).bits.bits());
    hdlc::HdlcDecoder decoder(0, 0, 0);
    int64_t correction_sum = 0;
    int32_t bit_counter = 0;
    std::vector<hdlc::DecodedFrame> frames;
    std::vector<std::pair<int64_t, int32_t>> at_frame;
    int resets = 0;
    for (uint8_t bit : line) {
        correction_sum += 4294967;  // about 0.1 % of a bit period per bit
        const auto before = std::make_pair(correction_sum, bit_counter);
        auto frame = decoder.process_bit(bit, correction_sum, bit_counter);
        if (correction_sum == 0 && bit_counter == -1) ++resets;
        if (frame) {
            frames.push_back(*frame);
            at_frame.push_back(before);
        }
        ++bit_counter;
    }
    EXPECT_EQ(resets, 6);  // every flag of the preamble (4) and of the postamble (2)
    ASSERT_EQ(frames.size(), 1u);
    const auto [sum, count] = at_frame[0];
    EXPECT_EQ(frames[0].speed_error,
              static_cast<float>(static_cast<double>(sum) * 100.0 / 4294967296.0 / count + 0.02));
    EXPECT_NEAR(frames[0].speed_error, 0.12, 0.01);

    // No bits counted since the last reset: no speed error.
    hdlc::HdlcDecoder other(0, 0, 0);
    int64_t s = 1000000;
    int32_t zero = 0;
    std::optional<hdlc::DecodedFrame> last;
    for (uint8_t bit : line) {
        if (auto f = other.process_bit(bit, s, zero)) last = f;
        zero = 0;
    }
    ASSERT_TRUE(last);
    EXPECT_EQ(last->speed_error, 0.0f);
}

TEST(HdlcDecoder, ReDecodeOfTheLiveCaptureReachesTheLiveDecision) {
    // Stop one bit before the closing flag completes: the capture then holds the
    // NRZI reference, the frame and seven bits of the flag.
    for (bool scrambled : {false, true}) {
        const std::vector<uint8_t> data = ax25_data(25, 4);
        const std::vector<uint8_t> line =
            LineEncoder(scrambled).encode(HdlcBits().flags(30).frame(with_fcs(data)).bits());
        hdlc::HdlcDecoder decoder(0, 0, 0);
        decoder.set_scrambled(scrambled);
        int64_t sum = 0;
        int32_t count = 0;
        for (size_t k = 0; k + 1 < line.size(); ++k) decoder.process_bit(line[k], sum, count);
        hdlc::RawCapture capture = decoder.capture();
        capture.raw_bits.resize(capture.raw_bits.size() - 7);
        const auto frame = hdlc::HdlcDecoder::decode_from_raw_bits(capture, 0);
        ASSERT_TRUE(frame) << scrambled;
        EXPECT_EQ(frame->data, data);
        EXPECT_TRUE(decoder.process_bit(line.back(), sum, count));
    }
}

TEST(HdlcDecoder, CopiesKeepTheirOwnCaptureAndCount) {
    hdlc::HdlcDecoder decoder(1, 2, 3);
    decoder.set_fix_bits(1);
    const Stream stream = framed({ax25_data(20)}, {60});
    std::vector<uint8_t> line = LineEncoder(false).encode(stream.bits.bits());
    line[stream.damage[0]] ^= 1;
    const size_t half = line.size() / 2;
    int64_t sum = 0;
    int32_t count = 0;
    for (size_t k = 0; k < half; ++k) decoder.process_bit(line[k], sum, count);
    hdlc::HdlcDecoder copy = decoder;
    EXPECT_GE(copy.capture().raw_bits.capacity(), hdlc::MAX_RAW_BITS);
    std::vector<hdlc::DecodedFrame> frames;
    for (size_t k = half; k < line.size(); ++k) {
        if (auto f = copy.process_bit(line[k], sum, count)) frames.push_back(*f);
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].retry, 1);
    EXPECT_EQ(decoder.capture().raw_bits.size(), half - 32 + 1);
    copy.reset_bad_fcs();
    EXPECT_EQ(copy.bad_fcs(), 0u);
}

TEST(HdlcAddress, PlausibleAddressFields) {
    using test_hdlc::ax25_frame;
    EXPECT_TRUE(hdlc::plausible_address_field(ax25_frame("APRS", "N0CALL", {})));
    EXPECT_TRUE(hdlc::plausible_address_field(ax25_frame("A", "B1", {})));
    std::vector<uint8_t> ten;
    for (int a = 0; a < 10; ++a) {
        for (char c : std::string("WIDE1 ")) ten.push_back(static_cast<uint8_t>(c << 1));
        ten.push_back(a == 9 ? 0x61 : 0x60);
    }
    EXPECT_TRUE(hdlc::plausible_address_field(ten));
    std::vector<uint8_t> eleven = ten;
    eleven[69] = 0x60;
    for (char c : std::string("WIDE1 ")) eleven.push_back(static_cast<uint8_t>(c << 1));
    eleven.push_back(0x61);
    EXPECT_FALSE(hdlc::plausible_address_field(eleven));

    const auto with = [](std::string_view dest, std::string_view src) {
        return hdlc::plausible_address_field(ax25_frame(dest, src, {}));
    };
    EXPECT_FALSE(with("aprs", "N0CALL"));   // lower case
    EXPECT_FALSE(with(" APRS", "N0CALL"));  // leading space
    EXPECT_FALSE(with("AP RS", "N0CALL"));  // letter after a space
    EXPECT_FALSE(with("AP-RS", "N0CALL"));
    std::vector<uint8_t> one = ax25_frame("APRS", "N0CALL", {});
    one[6] |= 1;  // the field ends after one address
    EXPECT_FALSE(hdlc::plausible_address_field(one));
    std::vector<uint8_t> odd = ax25_frame("APRS", "N0CALL", {});
    odd[3] |= 1;  // extension bit inside a callsign
    EXPECT_FALSE(hdlc::plausible_address_field(odd));
    EXPECT_FALSE(hdlc::plausible_address_field(std::vector<uint8_t>(13, 0x82)));
    EXPECT_FALSE(hdlc::plausible_address_field({}));
}

// Differential check of the fast repair searches against the plain ones.
hdlc::RawCapture capture_from_line(const std::vector<uint8_t>& line, size_t flag_end,
                                   bool scrambled) {
    hdlc::RawCapture capture;
    capture.scrambled = scrambled;
    capture.opened_by_flag = true;
    capture.raw_bits.assign(line.begin() + static_cast<std::ptrdiff_t>(flag_end), line.end());
    if (scrambled) {
        uint32_t shift = 0;
        for (size_t k = 0; k <= flag_end; ++k) shift = (shift << 1) | line[k];
        const auto at = [&](size_t k, size_t back) -> uint8_t {
            return k >= back ? line[k - back] : 0;
        };
        capture.descrambler_snapshot.shift = shift;
        capture.descrambler_snapshot.last_descrambled =
            static_cast<uint8_t>(line[flag_end] ^ at(flag_end, 12) ^ at(flag_end, 17));
    }
    return capture;
}

struct Lcg {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// Random captures: noise, frames with and without a plausible address field,
// frames followed by a flag and noise, with up to two raw bits inverted.
hdlc::RawCapture random_capture(Lcg& rng, bool scrambled, size_t max_octets) {
    HdlcBits bits;
    bits.flags(3);
    const uint32_t kind = rng.below(5);
    if (kind == 4) {
        for (int k = 0, len = 130 + rng.below(150); k < len; ++k) bits.bit(rng.below(2));
    } else {
        if (kind == 3) {
            for (int k = 0, len = rng.below(60); k < len; ++k) bits.bit(rng.below(2));
            bits.flags(1);
        }
        std::vector<uint8_t> data;
        if (kind != 2) data = test_hdlc::ax25_frame("APRS", "N0CALL", {});
        for (size_t len = 15 + rng.below(static_cast<uint32_t>(max_octets - 14));
             data.size() < len;) {
            data.push_back(static_cast<uint8_t>(rng.below(4) == 0 ? 0xFF : rng.next()));
        }
        bits.stuffed(with_fcs(data));
        if (rng.below(3) == 0) bits.flags(1).repeat(1, rng.below(9));
        if (rng.below(4) == 0) {
            for (int k = 0; k < 20; ++k) bits.bit(rng.below(2));
        }
    }
    LineEncoder encoder(scrambled);
    std::vector<uint8_t> line = encoder.encode(bits.bits());
    const size_t flag_end = 23;
    for (uint32_t f = 0, flips = rng.below(3); f < flips; ++f) {
        line[flag_end + rng.below(static_cast<uint32_t>(line.size() - flag_end))] ^= 1;
    }
    return capture_from_line(line, flag_end, scrambled);
}

int32_t plain_outcome(const hdlc::RawCapture& capture, std::initializer_list<size_t> flips) {
    std::vector<uint8_t> bits = capture.raw_bits;
    for (size_t i : flips) bits[i] ^= 1;
    size_t found_at = 0;
    if (!hdlc::detail::decode_bits(capture, bits, 0, 0, &found_at)) return -1;
    return static_cast<int32_t>(found_at);
}

TEST(HdlcRepair, PredictedOutcomeOfEveryCandidateMatchesFullDecode) {
    Lcg rng{777};
    for (int round = 0; round < 120; ++round) {
        const hdlc::RawCapture capture = random_capture(rng, round % 2, 24);
        const size_t n = capture.raw_bits.size();
        const std::vector<int32_t> single = hdlc::detail::single_outcomes(capture);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(single[i], plain_outcome(capture, {i})) << "round " << round << " i " << i;
        }
        const std::vector<int32_t> pairs = hdlc::detail::double_outcomes(capture);
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = i + 1; j < n; ++j) {
                ASSERT_EQ(pairs[i * n + j], plain_outcome(capture, {i, j}))
                    << "round " << round << " i " << i << " j " << j;
            }
        }
    }
}

TEST(HdlcRepair, PredictedOutcomesOnCapturesNearTheLengthLimits) {
    // Frames of the largest size, one octet over it, and far over it, followed
    // by a flag and a few bits: the octet limit of the frame buffer is crossed.
    Lcg rng{99};
    for (size_t data_octets : {2123, 2124, 2300}) {
        for (bool scrambled : {false, true}) {
            std::vector<uint8_t> data = test_hdlc::ax25_frame("APRS", "N0CALL", {});
            while (data.size() < data_octets) data.push_back(static_cast<uint8_t>(rng.next()));
            HdlcBits bits;
            bits.flags(3).stuffed(with_fcs(data));
            if (data_octets == 2300) bits.flags(1).repeat(0, 150);
            LineEncoder encoder(scrambled);
            std::vector<uint8_t> line = encoder.encode(bits.bits());
            line[100 + rng.below(1000)] ^= 1;
            const hdlc::RawCapture capture = capture_from_line(line, 23, scrambled);
            const std::vector<int32_t> single = hdlc::detail::single_outcomes(capture);
            for (size_t i = 0; i < capture.raw_bits.size(); i += 1 + rng.below(60)) {
                ASSERT_EQ(single[i], plain_outcome(capture, {i}))
                    << data_octets << " " << scrambled << " i " << i;
            }
        }
    }
}

TEST(HdlcRepair, FastSearchesMatchPlainSearches) {
    Lcg rng{12345};
    int found_single = 0, found_double = 0;
    for (int round = 0; round < 150; ++round) {
        const hdlc::RawCapture capture = random_capture(rng, round % 2, 20);
        const auto single = hdlc::HdlcDecoder::try_fix_single_bit(capture);
        ASSERT_EQ(single, hdlc::reference::fix_single_bit(capture)) << "round " << round;
        const auto pair = hdlc::HdlcDecoder::try_fix_double_bit(capture);
        ASSERT_EQ(pair, hdlc::reference::fix_double_bit(capture)) << "round " << round;
        found_single += single.has_value();
        found_double += pair.has_value();
    }
    // The cases must include successful repairs of both kinds.
    EXPECT_GT(found_single, 10);
    EXPECT_GT(found_double, 10);
}

}  // namespace
