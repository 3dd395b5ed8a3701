#include "version.h"

#include <gtest/gtest.h>

#include <regex>

TEST(Version, TextHasPackageVersionAndRevision) {
    EXPECT_TRUE(std::regex_match(quillmar_modem::full_version(),
                                 std::regex(R"(v\d+\.\d+\.\d+-([0-9a-f]{4,}|unknown))")))
        << quillmar_modem::full_version();
}
