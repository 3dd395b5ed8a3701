#include "frame_dedup.h"

#include <algorithm>

namespace demod_afsk_multi {

bool FrameDedup::pass(std::span<const uint8_t> data, uint64_t sample_index) {
    // Forget what is DEDUP_WINDOW or more samples old: it could only be passed again.
    std::erase_if(passed_, [&](const Passed& p) {
        return sample_index >= p.sample_index && sample_index - p.sample_index >= DEDUP_WINDOW;
    });
    const bool seen = std::any_of(passed_.begin(), passed_.end(), [&](const Passed& p) {
        return std::equal(p.data.begin(), p.data.end(), data.begin(), data.end());
    });
    if (seen) return false;  // the stored index stays: a dropped copy does not extend the window
    passed_.push_back(Passed{std::vector<uint8_t>(data.begin(), data.end()), sample_index});
    return true;
}

}  // namespace demod_afsk_multi
