#include "ipc/timestamp.h"

#include <chrono>

#include <gtest/gtest.h>

namespace {

using std::chrono::system_clock;

TEST(Timestamp, NanosecondsSinceEpochAndZeroBefore) {
    EXPECT_EQ(ipc::timestamp_ns_at(system_clock::time_point{}), 0u);
    EXPECT_EQ(
        ipc::timestamp_ns_at(system_clock::time_point{} + std::chrono::nanoseconds(1500000001)),
        1500000001u);
    EXPECT_EQ(ipc::timestamp_ns_at(system_clock::time_point{} - std::chrono::seconds(1)), 0u);
    // 2020-01-01 lies safely in the past.
    EXPECT_GT(ipc::timestamp_ns(), 1577836800ull * 1000000000ull);
}

}  // namespace
