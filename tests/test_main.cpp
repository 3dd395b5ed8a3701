#include <gtest/gtest.h>

#include "ipc/proto.h"

int main(int argc, char** argv) {
    ipc::silence_protobuf_logs();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
