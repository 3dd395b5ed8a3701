// A channel's demodulator built from settings at the front of the input (any
// modem type and ensemble, sample rates 8000-48000 Hz, tones, baud, slicers,
// repair level), fed the rest as 16-bit samples twice: one demodulator in
// blocks of varying size, the other one sample at a time. After every block
// both must have handed over the same frames, bad-FCS counts and
// carrier-detect records, and report the same carrier state.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "modem/channel_demod.h"
#include "modem/config.h"

namespace {

constexpr const char* kModemTypes[] = {"", "afsk", "9600", "baseband", "scramble", "psk"};
constexpr const char* kEnsembles[] = {"", "triple", "dual", "single"};
constexpr uint32_t kRates[] = {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000};

// A value from a short list of usual ones, or (with the top bit of `pick`) any.
uint32_t usual_or_any(fuzz::InputReader& input, std::span<const uint32_t> usual) {
    const uint8_t pick = input.u8();
    if (pick & 0x80) return input.u32();
    return usual[pick % usual.size()];
}

modem::ConfigureChannelFields settings(fuzz::InputReader& input) {
    static constexpr uint32_t kBauds[] = {300, 1200, 2400, 4800, 9600, 0};
    static constexpr uint32_t kTones[] = {1200, 2200, 1600, 1800, 0};
    modem::ConfigureChannelFields f;
    const uint8_t kind = input.u8();
    f.modem_type = kind & 0x80 ? input.text(8) : kModemTypes[kind % std::size(kModemTypes)];
    const uint8_t ensemble = input.u8();
    f.demod_ensemble =
        ensemble & 0x80 ? input.text(8) : kEnsembles[ensemble % std::size(kEnsembles)];
    f.baud = usual_or_any(input, kBauds);
    f.mark_freq = usual_or_any(input, kTones);
    f.space_freq = usual_or_any(input, kTones);
    f.num_slicers = input.u8() % 12;
    f.profile = input.flag() ? "B" : "A";
    static constexpr const char* kFixBits[] = {"", "single", "double", "none"};
    f.fix_bits = kFixBits[input.u8() % std::size(kFixBits)];
    f.channel = input.u8();
    return f;
}

struct Drained {
    std::vector<hdlc::DecodedFrame> frames;
    uint64_t bad_fcs = 0;
    std::vector<demod::DcdChange> dcd_changes;
    bool dcd = false;

    bool operator==(const Drained&) const = default;
};

Drained drain(modem::ChannelDemod& demod) {
    return {demod.take_frames(), demod.take_bad_fcs(), demod.take_dcd_changes(), demod.dcd()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const modem::ChannelConfig config = modem::fill_channel_config(settings(input));
    const uint32_t rate = kRates[input.u8() % std::size(kRates)];
    uint32_t blocks = input.u32() | 1;

    const auto bytes = input.rest();
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(
            static_cast<uint16_t>(bytes[2 * i] | (unsigned{bytes[2 * i + 1]} << 8)));
    }

    modem::ChannelDemod in_blocks = modem::create_demod(config, rate);
    modem::ChannelDemod per_sample = modem::create_demod(config, rate);
    FUZZ_CHECK(drain(in_blocks) == Drained{{}, 0, {}, per_sample.dcd()});
    for (size_t pos = 0; pos < samples.size();) {
        // Blocks of 1 to 1024 samples, now and then empty.
        blocks = blocks * 1103515245u + 12345u;
        const size_t want = (blocks >> 16) % 1025;
        const auto block = std::span(samples).subspan(pos, std::min(want, samples.size() - pos));
        modem::process_demod_samples(in_blocks, block);
        for (int16_t s : block) modem::process_demod_sample(per_sample, s);
        FUZZ_CHECK(drain(in_blocks) == drain(per_sample));
        pos += block.size();
    }
    return 0;
}
