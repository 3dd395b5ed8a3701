#pragma once

// ChannelDemod: the receive demodulator of one radio channel, whichever kind
// the channel's settings ask for. create_demod builds it, process_demod_sample
// feeds it one sample at a time (process_demod_samples a block, with the same
// results), and after each block the owner drains it with take_frames,
// take_bad_fcs, take_dcd_changes and dcd.
//
// Every kind keeps the one contract of demod.h, so each operation here is the
// same call on whichever kind is held. Used by one thread only (the one that
// owns the channel's pipeline).

#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "demod.h"
#include "demod_afsk.h"
#include "demod_afsk_multi.h"
#include "hdlc.h"
#include "modem/config.h"
#include "modem_9600/demod_9600.h"
#include "modem_psk/demod_psk.h"

namespace modem {

class ChannelDemod {
public:
    // The kinds: one AFSK demodulator with one to nine slicers and an AFSK
    // ensemble, both boxed (they are large); the PSK and 9600-baud
    // demodulators, held inline.
    using Afsk = std::unique_ptr<demod_afsk::AfskDemodulator>;
    using MultiAfsk = std::unique_ptr<demod_afsk_multi::MultiAfskDemodulator>;
    using Psk = modem_psk::PskDemodulator;
    using Fsk9600 = modem_9600::Demod9600;
    using Kind = std::variant<Afsk, MultiAfsk, Psk, Fsk9600>;

private:
    template <class T>
    struct IsBox : std::false_type {};
    template <class T>
    struct IsBox<std::unique_ptr<T>> : std::true_type {};
    template <class K>
    static decltype(auto) unbox(K& k) {
        if constexpr (IsBox<std::remove_const_t<K>>::value) {
            return *k;
        } else {
            return k;
        }
    }
    // Calls f with the demodulator itself, out of its box where it is boxed.
    template <class F>
    decltype(auto) visit(F&& f) {
        return std::visit([&f](auto& k) -> decltype(auto) { return f(unbox(k)); }, kind_);
    }
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit([&f](const auto& k) -> decltype(auto) { return f(unbox(k)); }, kind_);
    }

public:
    explicit ChannelDemod(Kind kind) : kind_(std::move(kind)) {}
    // Builds the kind `Demod` in place from its constructor's arguments.
    template <class Demod, class... Args>
    ChannelDemod(std::in_place_type_t<Demod> kind, Args&&... args)
        : kind_(kind, std::forward<Args>(args)...) {}

    void process_sample(int16_t sample) {
        visit([sample](auto& d) { d.process_sample(sample); });
    }
    // The same as process_sample on each sample in turn.
    void process_samples(std::span<const int16_t> samples) {
        visit([samples](auto& d) { d.process_samples(samples); });
    }

    // Moves out the queued frames, oldest first, leaving none.
    std::vector<hdlc::DecodedFrame> take_frames() {
        return visit([](auto& d) { return d.take_frames(); });
    }

    // The bad-FCS count of the demodulator's first decoder (slicer 0; member 0's
    // slicer 0 for an ensemble); every decoder's count is set to 0.
    uint64_t take_bad_fcs() {
        return visit([](auto& d) { return d.take_bad_fcs(); });
    }

    // Moves out the carrier-detect changes since the last take, oldest first:
    // per slicer for a single AFSK demodulator, else at most one for the
    // demodulator as a whole (see demod.h).
    std::vector<demod::DcdChange> take_dcd_changes() {
        return visit([](auto& d) { return d.take_dcd_changes(); });
    }

    // Whether the demodulator detects carrier now: for a single AFSK
    // demodulator, any slicer's carrier detect.
    bool dcd() const {
        return visit([](const auto& d) { return d.dcd(); });
    }

    // The demodulator held when it is a `Demod` (one of the kinds' classes),
    // else null.
    template <class Demod>
    const Demod* get_if() const {
        return visit([](const auto& d) -> const Demod* {
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(d)>, Demod>) {
                return &d;
            } else {
                return nullptr;
            }
        });
    }
    template <class Demod>
    Demod* get_if() {
        return const_cast<Demod*>(std::as_const(*this).get_if<Demod>());
    }

    const Kind& kind() const { return kind_; }

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
