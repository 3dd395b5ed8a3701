#pragma once

// MultiAfskDemodulator: an ensemble of differently configured AFSK demodulators
// run side by side on the same samples. What the members decode is merged into
// one list in which copies of one frame arriving close together are passed once
// (see frame_dedup.h); the ensemble's carrier detect is the majority of its
// members'.
//
// A member's index is its subchan, carried by every frame it makes. Members
// count samples from 0 and all see every sample, so their frames' sample
// indices are comparable. Members keep no carrier-detect records: only the
// majority state is reported. The ensemble keeps the contract of demod.h.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "demod.h"
#include "demod_afsk.h"
#include "frame_dedup.h"
#include "hdlc.h"

namespace demod_afsk_multi {

// One member's recipe.
struct MultiConfig {
    std::size_t num_slicers;
    bool profile_b;
    bool hard_limit;  // each input sample replaced by its sign before filtering
};

// The ensemble table: rows 0-2 make "triple", rows 3-4 make "dual".
inline constexpr std::array<MultiConfig, 5> ENSEMBLE_TABLE = {{
    {9, false, false},
    {9, false, true},
    {9, true, false},
    {9, false, false},
    {9, false, true},
}};

// The members of the "triple" ensemble: two profile A (one hard-limited), one profile B.
inline constexpr std::span<const MultiConfig> TRIPLE_ROWS{ENSEMBLE_TABLE.data(), 3};
// The members of the "dual" ensemble: two profile A, one of them hard-limited.
inline constexpr std::span<const MultiConfig> DUAL_ROWS{ENSEMBLE_TABLE.data() + 3, 2};

// The signal an ensemble is built for and its members' recipes.
struct EnsembleSettings {
    uint32_t sample_rate = 0;
    uint32_t baud = 0;
    uint32_t mark = 0;   // Hz
    uint32_t space = 0;  // Hz
    std::span<const MultiConfig> rows;
};

class MultiAfskDemodulator {
public:
    // Builds one member per row, in row order, each with the identity's
    // channel and subchan = row position; the ensemble's own carrier-detect
    // records carry the identity. Requires at least one row (a broken
    // invariant otherwise). The members' decoders have repair level 0.
    MultiAfskDemodulator(const EnsembleSettings& settings, const demod::Identity& identity);

    MultiAfskDemodulator(const MultiAfskDemodulator&) = delete;
    MultiAfskDemodulator& operator=(const MultiAfskDemodulator&) = delete;

    // Runs every member on the sample, then merges their new frames, member by
    // member and within a member in slicer order, dropping recent copies.
    void process_sample(int16_t sample);

    // The same as process_sample on each sample in turn, with the same frames
    // in the same order, but faster: each member runs over a stretch of up to
    // RUN_LENGTH samples at a time (its state stays in cache and its branches
    // predictable), and the members' frames are then merged by sample, member
    // and slicer.
    void process_samples(std::span<const int16_t> samples);

    // The longest stretch one member runs before the next takes its turn.
    static constexpr std::size_t RUN_LENGTH = 256;

    // Frames passed and not yet taken, oldest first.
    const std::vector<hdlc::DecodedFrame>& frames() const { return frames_; }
    // Moves the passed frames out, oldest first, leaving the list empty with its capacity.
    std::vector<hdlc::DecodedFrame> take_frames();
    // The bad-FCS count of member 0's slicer 0 decoder; every decoder's count
    // in every member is reset.
    uint64_t take_bad_fcs();

    // Majority carrier detect: on when at least n - n/2 of the n members each
    // have a slicer whose carrier detect is on.
    bool dcd() const;
    // At most one record: the majority state now, when it differs from the
    // one at the last take (see demod.h).
    std::vector<demod::DcdChange> take_dcd_changes() { return whole_dcd_.take(identity_, dcd()); }

    std::span<const std::unique_ptr<demod_afsk::AfskDemodulator>> members() const {
        return members_;
    }

private:
    // Takes the members' queued frames and passes them through de-duplication
    // in the order per-sample running would meet them: by sample index, then
    // member, then queue order (slicer).
    void merge_member_frames();

    std::vector<std::unique_ptr<demod_afsk::AfskDemodulator>> members_;
    std::vector<hdlc::DecodedFrame> frames_;
    FrameDedup dedup_;
    demod::Identity identity_;
    demod::WholeDcd whole_dcd_;
};

}  // namespace demod_afsk_multi
