#include "demod_afsk_multi.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace demod_afsk_multi {

MultiAfskDemodulator::MultiAfskDemodulator(uint32_t sample_rate, uint32_t baud, uint32_t mark,
                                           uint32_t space, uint64_t channel,
                                           std::span<const MultiConfig> rows) {
    // Without members the majority rule would report a carrier on an empty ensemble.
    if (rows.empty()) {
        std::fputs("MultiAfskDemodulator: an ensemble needs at least one member\n", stderr);
        std::abort();
    }
    members_.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const MultiConfig& row = rows[i];
        auto member = demod_afsk::AfskDemodulator::create(sample_rate, baud, mark, space,
                                                          row.profile_b, channel, i,
                                                          /*keep_dcd_changes=*/false);
        if (row.num_slicers > 1) member->set_num_slicers(row.num_slicers);
        member->set_hard_limit(row.hard_limit);
        members_.push_back(std::move(member));
    }
}

void MultiAfskDemodulator::process_sample(int16_t sample) {
    // Members do not affect one another, so merging each member's frames right
    // after it ran gives the same order as running all members first.
    for (auto& member : members_) {
        member->process_sample(sample);
        std::vector<hdlc::DecodedFrame>& completed = member->frames();
        if (completed.empty()) [[likely]] continue;
        for (hdlc::DecodedFrame& frame : completed) {
            if (dedup_.pass(frame.data, frame.sample_index)) frames_.push_back(std::move(frame));
        }
        completed.clear();
    }
}

bool MultiAfskDemodulator::carrier_detect() const {
    std::size_t on = 0;
    for (const auto& member : members_) {
        for (std::size_t k = 0; k < member->num_slicers(); ++k) {
            if (member->slicer(k).carrier_detect) {
                ++on;
                break;
            }
        }
    }
    const std::size_t n = members_.size();
    return on >= n - n / 2;
}

}  // namespace demod_afsk_multi
