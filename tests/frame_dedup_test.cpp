#include "frame_dedup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace {

using demod_afsk_multi::FrameDedup;
using Bytes = std::vector<uint8_t>;

struct Arrival {
    Bytes data;
    uint64_t sample_index;
    bool passed;
};

struct DedupCase {
    const char* name;
    std::vector<Arrival> arrivals;
};

const Bytes A = {0x82, 0xA0, 0x40, 0x61};
const Bytes B = {0x82, 0xA0, 0x40, 0x62};
const Bytes A_PREFIX = {0x82, 0xA0, 0x40};

TEST(FrameDedup, WindowRules) {
    const std::vector<DedupCase> cases = {
        {"same sample", {{A, 1000, true}, {A, 1000, false}, {A, 1000, false}}},
        {"30 later", {{A, 1000, true}, {A, 1030, false}}},
        {"109 later", {{A, 1000, true}, {A, 1109, false}}},
        {"110 later", {{A, 1000, true}, {A, 1110, true}}},
        {"dropped copy does not extend the window",
         {{A, 1000, true}, {A, 1100, false}, {A, 1115, true}}},
        {"a passed copy restarts the window",
         {{A, 1000, true}, {A, 1110, true}, {A, 1219, false}, {A, 1220, true}}},
        {"different frames in one sample", {{A, 1000, true}, {B, 1000, true}, {B, 1000, false}}},
        {"prefix is a different frame", {{A, 1000, true}, {A_PREFIX, 1000, true}}},
        {"frames keep their own windows",
         {{A, 1000, true},
          {B, 1050, true},
          {A, 1100, false},
          {B, 1155, false},
          {A, 1110, true},
          {B, 1160, true}}},
        {"from sample 0", {{A, 0, true}, {A, 109, false}, {A, 110, true}}},
        {"an earlier index counts as age 0", {{A, 1000, true}, {A, 999, false}}},
        {"empty data", {{Bytes{}, 5, true}, {Bytes{}, 6, false}}},
    };
    for (const auto& tc : cases) {
        FrameDedup dedup;
        for (size_t i = 0; i < tc.arrivals.size(); ++i) {
            const Arrival& a = tc.arrivals[i];
            EXPECT_EQ(dedup.pass(a.data, a.sample_index), a.passed) << tc.name << ", arrival " << i;
        }
    }
}

// The unpruned rule: a map from bytes to the index at which they were last passed.
class ReferenceDedup {
public:
    bool pass(const Bytes& data, uint64_t sample_index) {
        auto it = passed_.find(data);
        if (it != passed_.end()) {
            uint64_t age = sample_index >= it->second ? sample_index - it->second : 0;
            if (age < demod_afsk_multi::DEDUP_WINDOW) return false;
        }
        passed_[data] = sample_index;
        return true;
    }

private:
    std::map<Bytes, uint64_t> passed_;
};

TEST(FrameDedup, PruningChangesNoDecision) {
    std::mt19937 rng(12345);
    FrameDedup dedup;
    ReferenceDedup reference;
    uint64_t index = 0;
    int dropped = 0;
    for (int i = 0; i < 200000; ++i) {
        // Steps of 0 to 60 samples over eight distinct frames: many copies fall
        // inside the window, many just outside it.
        index += rng() % 61;
        Bytes data = {static_cast<uint8_t>(rng() % 4), static_cast<uint8_t>(rng() % 2)};
        bool passed = dedup.pass(data, index);
        ASSERT_EQ(passed, reference.pass(data, index)) << "arrival " << i;
        dropped += passed ? 0 : 1;
    }
    EXPECT_GT(dropped, 10000);
    EXPECT_LT(dropped, 190000);
}

TEST(FrameDedup, MemoryStaysBoundedOverManyDistinctFrames) {
    FrameDedup dedup;
    for (uint32_t i = 0; i < 100000; ++i) {
        Bytes data = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8),
                      static_cast<uint8_t>(i >> 16)};
        ASSERT_TRUE(dedup.pass(data, uint64_t{i} * 10));
        // Frames of the last 110 samples only: 11 at most at one per 10 samples.
        ASSERT_LE(dedup.remembered(), 11u);
    }
}

}  // namespace
