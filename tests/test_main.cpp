#include <gtest/gtest.h>

#include "audio/alsa.h"
#include "ipc/proto.h"

int main(int argc, char** argv) {
    alsa::silence_library_log();
    ipc::silence_protobuf_logs();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
