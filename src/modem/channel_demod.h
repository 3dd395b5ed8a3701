#pragma once

// ChannelDemod: the receive demodulator of one radio channel, whichever kind
// the channel's settings ask for, behind one interface. create_demod builds it,
// process_demod_sample feeds it one sample at a time (process_demod_samples a
// block, with the same results but faster for an ensemble), and after each block the
// owner drains it with take_frames, take_bad_fcs, take_dcd_changes and dcd.
//
// Each kind is one alternative of the variant, a struct holding its
// demodulator with the same five operations; ChannelDemod forwards to the
// alternative it holds. Every demodulator is built with all its settings and
// drained the same way (its take_frames and take_bad_fcs; the AFSK one's
// take_dcd_changes). A new kind is one more such struct in the variant. Used
// by one thread only (the one that owns the channel's pipeline).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "demod_afsk.h"
#include "demod_afsk_multi.h"
#include "hdlc.h"
#include "modem/config.h"
#include "modem_9600/demod_9600.h"
#include "modem_psk/demod_psk.h"

namespace modem {

class ChannelDemod {
public:
    // One AFSK demodulator with one to nine slicers.
    struct Afsk {
        std::unique_ptr<demod_afsk::AfskDemodulator> demod;

        void process_sample(int16_t sample) { demod->process_sample(sample); }
        std::vector<hdlc::DecodedFrame> take_frames() { return demod->take_frames(); }
        uint64_t take_bad_fcs() { return demod->take_bad_fcs(); }
        std::vector<demod_afsk::DcdChange> take_dcd_changes() { return demod->take_dcd_changes(); }
        // None: its carrier detect is reported per slicer through take_dcd_changes.
        std::optional<bool> dcd() const { return std::nullopt; }
    };

    // An ensemble of AFSK demodulators ("triple" or "dual").
    struct MultiAfsk {
        std::unique_ptr<demod_afsk_multi::MultiAfskDemodulator> demod;

        void process_sample(int16_t sample) { demod->process_sample(sample); }
        void process_samples(std::span<const int16_t> samples) { demod->process_samples(samples); }
        std::vector<hdlc::DecodedFrame> take_frames() { return demod->take_frames(); }
        uint64_t take_bad_fcs() { return demod->take_bad_fcs(); }
        // None: members keep no records.
        std::vector<demod_afsk::DcdChange> take_dcd_changes() { return {}; }
        std::optional<bool> dcd() const { return demod->carrier_detect(); }
    };

    // One QPSK / 8-PSK demodulator, held inline.
    struct Psk {
        modem_psk::PskDemodulator demod;

        void process_sample(int16_t sample) { demod.process_sample(sample); }
        std::vector<hdlc::DecodedFrame> take_frames() { return demod.take_frames(); }
        uint64_t take_bad_fcs() { return demod.take_bad_fcs(); }
        std::vector<demod_afsk::DcdChange> take_dcd_changes() { return {}; }
        std::optional<bool> dcd() const { return demod.dcd(); }
    };

    // One 9600-baud baseband demodulator, held inline.
    struct Fsk9600 {
        modem_9600::Demod9600 demod;

        void process_sample(int16_t sample) { demod.process_sample(sample); }
        std::vector<hdlc::DecodedFrame> take_frames() { return demod.take_frames(); }
        uint64_t take_bad_fcs() { return demod.take_bad_fcs(); }
        std::vector<demod_afsk::DcdChange> take_dcd_changes() { return {}; }
        std::optional<bool> dcd() const { return demod.dcd(); }
    };

    using Kind = std::variant<Afsk, MultiAfsk, Psk, Fsk9600>;

    explicit ChannelDemod(Kind kind) : kind_(std::move(kind)) {}

    void process_sample(int16_t sample) {
        std::visit([sample](auto& k) { k.process_sample(sample); }, kind_);
    }

    // The same as process_sample on each sample in turn. A kind with a faster
    // way for a block has its own process_samples (an ensemble runs its members
    // over stretches of the block).
    void process_samples(std::span<const int16_t> samples) {
        std::visit(
            [samples](auto& k) {
                if constexpr (requires { k.process_samples(samples); }) {
                    k.process_samples(samples);
                } else {
                    for (int16_t s : samples) k.process_sample(s);
                }
            },
            kind_);
    }

    // Moves out the queued frames, oldest first, leaving none.
    std::vector<hdlc::DecodedFrame> take_frames() {
        return std::visit([](auto& k) { return k.take_frames(); }, kind_);
    }

    // The bad-FCS count of the demodulator's first decoder (slicer 0; member 0's
    // slicer 0 for an ensemble); every decoder's count is set to 0.
    uint64_t take_bad_fcs() {
        return std::visit([](auto& k) { return k.take_bad_fcs(); }, kind_);
    }

    // Moves out the queued per-slicer carrier-detect changes, oldest first.
    std::vector<demod_afsk::DcdChange> take_dcd_changes() {
        return std::visit([](auto& k) { return k.take_dcd_changes(); }, kind_);
    }

    // The channel's carrier-detect state as a whole, where the kind has one.
    std::optional<bool> dcd() const {
        return std::visit([](const auto& k) { return k.dcd(); }, kind_);
    }

    const Kind& kind() const { return kind_; }
    Kind& kind() { return kind_; }

private:
    Kind kind_;
};

// Builds the demodulator a channel's settings ask for at the given sample rate.
// Every modem_type selects some demodulator; texts compare exactly.
ChannelDemod create_demod(const ChannelConfig& cfg, uint32_t sample_rate);

// Feeds one sample to the channel's demodulator.
inline void process_demod_sample(ChannelDemod& demod, int16_t sample) {
    demod.process_sample(sample);
}

// Feeds a block of samples, with the same results as feeding them one by one.
inline void process_demod_samples(ChannelDemod& demod, std::span<const int16_t> samples) {
    demod.process_samples(samples);
}

}  // namespace modem
