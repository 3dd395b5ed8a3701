#pragma once

// The merge rule of an AFSK ensemble: of several copies of one frame decoded by
// different members or slicers close together, only the first is passed on.
// A copy is dropped when a frame with the same bytes was passed less than
// DEDUP_WINDOW samples before it; a dropped copy does not restart that window.
//
// Entries that can no longer cause a drop are discarded as frames arrive, so
// memory stays bounded on a channel that runs for months; this changes no
// decision as long as sample indices never decrease from call to call (they
// are the ensemble's input sample counter).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace demod_afsk_multi {

inline constexpr uint64_t DEDUP_WINDOW = 110;  // samples of the input stream

class FrameDedup {
public:
    // Returns true when a frame with these data bytes (payload without FCS),
    // completed at sample_index, is to be passed on, and records it as passed;
    // false when it is a copy to drop. An index below the remembered one counts
    // as age 0 (a copy).
    bool pass(std::span<const uint8_t> data, uint64_t sample_index);

    // Number of passed frames still remembered (bounded by the frames passed
    // within the last DEDUP_WINDOW samples).
    size_t remembered() const { return passed_.size(); }

private:
    struct Passed {
        std::vector<uint8_t> data;
        uint64_t sample_index;
    };
    // Passed frames younger than the window; a handful at most, so a plain
    // list searched front to back serves as the map from bytes to index.
    std::vector<Passed> passed_;
};

}  // namespace demod_afsk_multi
