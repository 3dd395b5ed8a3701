// Raw sample input: the UDP source's device name and format, its datagram
// conversion, and the pairing of standard-input bytes into samples. The input
// gives a device name, a format, read sizes, then the byte stream. However the
// stream is cut into reads, the blocks together must be the samples of the
// whole stream read at once, which are the datagram samples of the same bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/stdin_raw.h"
#include "fuzz_support.h"
#include "sdr/udp_source.h"

namespace {

void check_config(const std::string& name, uint32_t rate, const std::string& format) {
    const sdr::UdpSourceConfig config = sdr::parse_config(name, rate, format);
    FUZZ_CHECK(config.rate == rate);
    FUZZ_CHECK(config.format == (format.empty() ? "s16le" : format));
    const size_t colon = name.rfind(':');
    if (colon == std::string::npos) {
        FUZZ_CHECK(config.host == "127.0.0.1" && config.port == sdr::kDefaultPort);
        return;
    }
    FUZZ_CHECK(config.host == name.substr(0, colon));
    // The settings written back as a device name read the same.
    const auto again =
        sdr::parse_config(config.host + ":" + std::to_string(config.port), rate, config.format);
    FUZZ_CHECK(again == config);
}

void check_pairing(std::span<const uint8_t> stream, std::span<const uint8_t> cuts) {
    std::optional<uint8_t> carried;
    const std::vector<int16_t> whole = stdin_raw::pair_samples(carried, stream);
    FUZZ_CHECK(whole.size() == stream.size() / 2);
    FUZZ_CHECK(carried.has_value() == (stream.size() % 2 != 0));
    if (carried) FUZZ_CHECK(*carried == stream.back());
    FUZZ_CHECK(whole == sdr::datagram_samples(stream, false));

    const std::vector<int16_t> floats = sdr::datagram_samples(stream, true);
    FUZZ_CHECK(floats.size() == stream.size() / 4);

    std::optional<uint8_t> piece_carried;
    std::vector<int16_t> pieces;
    size_t pos = 0;
    for (size_t k = 0; pos < stream.size(); ++k) {
        // Reads of 1 to 256 bytes (the last cut repeating), at most the read size.
        const size_t want = cuts.empty() ? stdin_raw::kReadBytes : 1 + cuts[k % cuts.size()];
        const size_t n = std::min({want, stdin_raw::kReadBytes, stream.size() - pos});
        const auto block = stdin_raw::pair_samples(piece_carried, stream.subspan(pos, n));
        FUZZ_CHECK(block.size() <= stdin_raw::kReadBytes / 2);
        pieces.insert(pieces.end(), block.begin(), block.end());
        pos += n;
    }
    FUZZ_CHECK(pieces == whole);
    FUZZ_CHECK(piece_carried == carried);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const std::string name = input.text(64);
    const std::string format = input.text(8);
    const uint32_t rate = input.u32();
    check_config(name, rate, format);

    const auto cuts = input.bytes(input.u8() % 16);
    check_pairing(input.rest(), cuts);
    return 0;
}
