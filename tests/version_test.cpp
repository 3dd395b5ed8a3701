#include "version.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace {

bool all_of_class(const std::string& s, int (*is_class)(int)) {
    if (s.empty()) return false;
    for (unsigned char c : s) {
        if (!is_class(c)) return false;
    }
    return true;
}

}  // namespace

// "v{package}-{revision}": a dotted numeric package version, then a short hex
// revision or the placeholder of a build outside a checkout.
TEST(Version, TextHasPackageVersionAndRevision) {
    const std::string text = quillmar_modem::full_version();
    ASSERT_GE(text.size(), 2u) << text;
    ASSERT_EQ(text[0], 'v') << text;
    const size_t dash = text.find('-');
    ASSERT_NE(dash, std::string::npos) << text;

    const std::string package = text.substr(1, dash - 1);
    int parts = 0;
    for (size_t start = 0;;) {
        const size_t dot = package.find('.', start);
        EXPECT_TRUE(all_of_class(package.substr(start, dot - start), isdigit)) << text;
        ++parts;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    EXPECT_EQ(parts, 3) << text;

    const std::string revision = text.substr(dash + 1);
    EXPECT_TRUE(revision == "unknown" ||
                (revision.size() >= 4 && all_of_class(revision, isxdigit)))
        << text;
}
