#include "demod_afsk_multi.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "drain.h"
#include "invariant.h"

namespace demod_afsk_multi {

MultiAfskDemodulator::MultiAfskDemodulator(const EnsembleSettings& settings,
                                           const demod::Identity& identity)
    : identity_(identity) {
    const std::span<const MultiConfig> rows = settings.rows;
    // Without members the majority rule would report a carrier on an empty ensemble.
    if (rows.empty()) {
        invariant::broken("MultiAfskDemodulator: an ensemble needs at least one member");
    }
    members_.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const MultiConfig& row = rows[i];
        const demod_afsk::AfskOptions options{.num_slicers = row.num_slicers,
                                              .hard_limit = row.hard_limit,
                                              .keep_dcd_changes = false};
        members_.push_back(std::make_unique<demod_afsk::AfskDemodulator>(
            demod_afsk::AfskSettings{settings.sample_rate, settings.baud, settings.mark,
                                     settings.space, row.profile_b, options},
            demod::Identity{identity.channel, i}));
    }
}

void MultiAfskDemodulator::process_sample(int16_t sample) {
    // Members do not affect one another, so merging each member's frames right
    // after it ran gives the same order as running all members first.
    for (auto& member : members_) {
        member->process_sample(sample);
        if (member->frames().empty()) [[likely]]
            continue;
        for (hdlc::DecodedFrame& frame : member->take_frames()) {
            if (dedup_.pass(frame.data, frame.sample_index)) frames_.push_back(std::move(frame));
        }
    }
}

void MultiAfskDemodulator::process_samples(std::span<const int16_t> samples) {
    for (std::size_t start = 0; start < samples.size(); start += RUN_LENGTH) {
        const std::span<const int16_t> run =
            samples.subspan(start, std::min(RUN_LENGTH, samples.size() - start));
        bool any = false;
        for (auto& member : members_) {
            for (int16_t sample : run) member->process_sample(sample);
            any = any || !member->frames().empty();
        }
        if (any) [[unlikely]]
            merge_member_frames();
    }
}

void MultiAfskDemodulator::merge_member_frames() {
    // Each member's queue is in sample order; a few frames at most, so the
    // next one is found by a plain scan over the queues.
    std::vector<std::vector<hdlc::DecodedFrame>> queues;
    queues.reserve(members_.size());
    for (auto& member : members_) queues.push_back(member->take_frames());
    std::vector<std::size_t> next(queues.size(), 0);
    for (;;) {
        std::size_t best = queues.size();
        uint64_t best_index = 0;
        for (std::size_t i = 0; i < queues.size(); ++i) {
            if (next[i] == queues[i].size()) continue;
            const uint64_t index = queues[i][next[i]].sample_index;
            if (best == queues.size() || index < best_index) {
                best = i;
                best_index = index;
            }
        }
        if (best == queues.size()) break;
        hdlc::DecodedFrame& frame = queues[best][next[best]++];
        if (dedup_.pass(frame.data, frame.sample_index)) frames_.push_back(std::move(frame));
    }
}

std::vector<hdlc::DecodedFrame> MultiAfskDemodulator::take_frames() {
    return drain::take_all(frames_);
}

uint64_t MultiAfskDemodulator::take_bad_fcs() {
    uint64_t first = 0;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const uint64_t count = members_[i]->take_bad_fcs();
        if (i == 0) first = count;
    }
    return first;
}

bool MultiAfskDemodulator::dcd() const {
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
