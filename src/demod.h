#pragma once

// The contract every receive demodulator of the core keeps (the single AFSK
// demodulator, the AFSK ensemble, the 9600-baud and the PSK demodulator):
//
//   Kind(const KindSettings& settings, const demod::Identity& identity)
//       builds it; any settings are accepted (ones that make no sense give a
//       demodulator that decodes nothing).
//   process_sample(int16_t), process_samples(std::span<const int16_t>)
//       feed it; a block gives exactly what its samples give one by one.
//   take_frames()        the frames completed since the last take, oldest first
//   take_bad_fcs()       the bad-FCS count of its first decoder; every
//                        decoder's count restarts at 0
//   take_dcd_changes()   the carrier-detect changes since the last take,
//                        oldest first (see DcdChange)
//   dcd()                whether carrier is detected now
//
// The owner feeds a block and then takes; what was taken is the owner's.
// Demodulators have no threads, locks or I/O, and report no errors.

#include <cstdint>
#include <vector>

namespace demod {

// Who a demodulator is: the channel it serves and its place in an ensemble
// (0 for one that is not a member). Its decoders and records carry both.
struct Identity {
    uint64_t channel = 0;
    uint64_t subchan = 0;
};

// One carrier-detect transition. A single AFSK demodulator records one per
// change of one slicer's carrier detect, as it happens; the other kinds judge
// carrier for the demodulator as a whole and record, at a take, the state then
// when it differs from the state at the last take (slice 0).
struct DcdChange {
    uint64_t channel = 0;
    uint64_t subchan = 0;
    uint64_t slice = 0;
    bool detected = false;

    bool operator==(const DcdChange&) const = default;
};

// The take of a demodulator judged as a whole: no record, or one for the
// state `now` when it differs from the state at the last take.
class WholeDcd {
public:
    std::vector<DcdChange> take(const Identity& identity, bool now) {
        if (now == taken_) return {};
        taken_ = now;
        return {DcdChange{identity.channel, identity.subchan, 0, now}};
    }

private:
    bool taken_ = false;
};

}  // namespace demod
