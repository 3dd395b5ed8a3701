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
// majority state is reported.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

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

class MultiAfskDemodulator {
public:
    // Builds one member per row, in row order, with subchan = row position.
    // Requires at least one row (aborts otherwise). The members' decoders keep
    // repair level 0.
    MultiAfskDemodulator(uint32_t sample_rate, uint32_t baud, uint32_t mark, uint32_t space,
                         uint64_t channel, std::span<const MultiConfig> rows);

    MultiAfskDemodulator(const MultiAfskDemodulator&) = delete;
    MultiAfskDemodulator& operator=(const MultiAfskDemodulator&) = delete;

    // Runs every member on the sample, then merges their new frames, member by
    // member and within a member in slicer order, dropping recent copies.
    void process_sample(int16_t sample);

    // Frames passed and not yet taken, oldest first; the owner empties it.
    std::vector<hdlc::DecodedFrame>& frames() { return frames_; }

    // Majority carrier detect: on when at least n - n/2 of the n members each
    // have a slicer whose carrier detect is on.
    bool carrier_detect() const;

    std::span<const std::unique_ptr<demod_afsk::AfskDemodulator>> members() const {
        return members_;
    }

private:
    std::vector<std::unique_ptr<demod_afsk::AfskDemodulator>> members_;
    std::vector<hdlc::DecodedFrame> frames_;
    FrameDedup dedup_;
};

}  // namespace demod_afsk_multi
