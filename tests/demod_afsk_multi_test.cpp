#include "demod_afsk_multi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <tuple>
#include <vector>

#include "demod_afsk.h"
#include "hdlc.h"
#include "invariant.h"
#include "support/afsk_signal.h"

namespace {

using demod_afsk::AfskDemodulator;
using demod_afsk::AfskSettings;
using demod_afsk_multi::MultiAfskDemodulator;
using demod_afsk_multi::MultiConfig;
using hdlc::DecodedFrame;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t RATE = 44100;
constexpr uint64_t CHANNEL = 2;

std::vector<Bytes> test_frames(size_t count) {
    std::vector<Bytes> frames;
    for (size_t i = 0; i < count; ++i) frames.push_back(test_support::test_frame(i, 18 + 7 * i));
    return frames;
}

std::vector<int16_t> frames_audio(const std::vector<Bytes>& frames, double ebn0_db, uint32_t seed) {
    test_support::AfskTones tones;
    auto stream = test_support::frame_stream(frames);
    auto wave = test_support::afsk_waveform(stream.levels, tones);
    if (ebn0_db > 0) test_support::add_noise(wave, tones, ebn0_db, seed);
    return test_support::to_pcm16(wave);
}

// A frame with the member that made it: the ensemble's candidates in the order
// it meets them (sample, then member, then slicer).
struct Candidate {
    DecodedFrame frame;
    size_t member;
};

// Runs stand-alone demodulators built like the ensemble's members and returns
// every copy each of them decodes, ordered by sample index, member and slicer.
std::vector<Candidate> all_copies(std::span<const MultiConfig> rows,
                                  const std::vector<int16_t>& audio) {
    std::vector<std::unique_ptr<AfskDemodulator>> members;
    for (size_t i = 0; i < rows.size(); ++i) {
        members.push_back(std::make_unique<AfskDemodulator>(AfskSettings{RATE, 1200, 1200, 2200, rows[i].profile_b, {.num_slicers = rows[i].num_slicers, .hard_limit = rows[i].hard_limit}}, demod::Identity{CHANNEL, i}));
    }
    std::vector<Candidate> copies;
    for (int16_t s : audio) {
        for (auto& m : members) m->process_sample(s);
        for (size_t i = 0; i < members.size(); ++i) {
            for (auto& f : members[i]->take_frames()) copies.push_back({std::move(f), i});
        }
    }
    return copies;
}

std::vector<DecodedFrame> run_ensemble(std::span<const MultiConfig> rows,
                                       const std::vector<int16_t>& audio) {
    MultiAfskDemodulator ensemble({RATE, 1200, 1200, 2200, rows}, {CHANNEL, 0});
    for (int16_t s : audio) ensemble.process_sample(s);
    // Every member saw every sample, so sample indices are comparable.
    for (const auto& m : ensemble.members()) EXPECT_EQ(m->sample_count(), audio.size());
    return ensemble.take_frames();
}

struct EndToEndCase {
    const char* name;
    std::span<const MultiConfig> rows;
    double ebn0_db;  // 0: no noise
};

const EndToEndCase END_TO_END_CASES[] = {
    {"triple clean", demod_afsk_multi::TRIPLE_ROWS, 0},
    {"triple noisy", demod_afsk_multi::TRIPLE_ROWS, 14},
    {"dual noisy", demod_afsk_multi::DUAL_ROWS, 14},
};

TEST(MultiAfskDemodulator, EveryFrameOnceAsItsFirstCopy) {
    const std::vector<Bytes> sent = test_frames(16);
    for (const auto& tc : END_TO_END_CASES) {
        const std::vector<int16_t> audio = frames_audio(sent, tc.ebn0_db, 7);
        const std::vector<DecodedFrame> got = run_ensemble(tc.rows, audio);
        const std::vector<Candidate> copies = all_copies(tc.rows, audio);

        // Every frame sent comes out exactly once, in the order sent.
        ASSERT_EQ(got.size(), sent.size()) << tc.name;
        for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(got[i].data, sent[i]) << tc.name;

        // Each is the first copy any member and slicer made, whole.
        std::map<Bytes, const Candidate*> first;
        size_t more_copies = 0;
        for (const auto& c : copies) {
            if (!first.emplace(c.frame.data, &c).second) ++more_copies;
        }
        for (const auto& f : got) {
            ASSERT_TRUE(first.count(f.data)) << tc.name;
            const Candidate& c = *first[f.data];
            EXPECT_EQ(f, c.frame) << tc.name;
            EXPECT_EQ(f.subchan, c.member) << tc.name;
            EXPECT_EQ(f.channel, CHANNEL) << tc.name;
            EXPECT_LT(f.subchan, tc.rows.size()) << tc.name;
        }
        // The ensemble had copies to drop: several slicers and members decode each frame.
        EXPECT_GT(more_copies, sent.size()) << tc.name;
    }
}

// Running the members over stretches of samples merges their frames by sample,
// member and slicer, so the ensemble passes exactly what per-sample running
// passes, whatever the block sizes (profile B decodes tens of samples before
// profile A, so a merge in member order would pass other copies).
TEST(MultiAfskDemodulator, BlocksPassWhatSamplesPass) {
    const std::vector<Bytes> sent = test_frames(16);
    for (const auto& tc : END_TO_END_CASES) {
        const std::vector<int16_t> audio = frames_audio(sent, tc.ebn0_db, 7);
        const std::vector<DecodedFrame> want = run_ensemble(tc.rows, audio);
        ASSERT_EQ(want.size(), sent.size()) << tc.name;
        for (size_t block :
             {size_t{1}, size_t{5}, size_t{64}, size_t{65}, size_t{1000}, audio.size()}) {
            MultiAfskDemodulator ensemble({RATE, 1200, 1200, 2200, tc.rows}, {CHANNEL, 0});
            for (size_t start = 0; start < audio.size(); start += block) {
                const size_t n = std::min(block, audio.size() - start);
                ensemble.process_samples(std::span(audio).subspan(start, n));
            }
            EXPECT_EQ(ensemble.frames(), want) << tc.name << " blocks of " << block;
            for (const auto& m : ensemble.members()) EXPECT_EQ(m->sample_count(), audio.size());
        }
    }
}

TEST(MultiAfskDemodulator, BuildsMembersFromRows) {
    const MultiConfig rows[] = {{1, true, false}, {3, false, true}};
    MultiAfskDemodulator ensemble({RATE, 1200, 1200, 2200, rows}, {CHANNEL, 0});
    const auto members = ensemble.members();
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0]->num_slicers(), 1u);
    EXPECT_TRUE(members[0]->profile_b());
    EXPECT_FALSE(members[0]->hard_limit());
    EXPECT_EQ(members[1]->num_slicers(), 3u);
    EXPECT_FALSE(members[1]->profile_b());
    EXPECT_TRUE(members[1]->hard_limit());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(members[i]->subchan(), i);
        EXPECT_EQ(members[i]->channel(), CHANNEL);
        EXPECT_FALSE(members[i]->keeps_dcd_changes());
    }
    // An empty ensemble is a fault of the caller: reported, then unwound.
    testing::internal::CaptureStderr();
    EXPECT_THROW(MultiAfskDemodulator({RATE, 1200, 1200, 2200, {}}, {CHANNEL, 0}),
                 invariant::BrokenInvariant);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MultiAfskDemodulator: an ensemble needs at least one member\n");
}

}  // namespace
