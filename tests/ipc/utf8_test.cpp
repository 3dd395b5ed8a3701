#include "ipc/utf8.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct Utf8Case {
    std::string input;
    bool valid;
    std::string repaired;
};

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Utf8, ChecksAndRepairsByMaximalParts) {
    const Utf8Case cases[] = {
        {"", true, ""},
        {"plain ascii", true, "plain ascii"},
        {"USB Audio \xC3\x9C \xE2\x82\xAC \xF0\x9F\x93\xBB", true,
         "USB Audio \xC3\x9C \xE2\x82\xAC \xF0\x9F\x93\xBB"},
        {"\xFF", false, kReplacement},
        {"a\x80z", false, "a" + kReplacement + "z"},
        {"\xC0\xAF", false, kReplacement + kReplacement},  // overlong
        {"\xE0\x80\xAF", false, kReplacement + kReplacement + kReplacement},
        {"\xED\xA0\x80", false, kReplacement + kReplacement + kReplacement},  // surrogate
        {"\xF4\x90\x80\x80", false, kReplacement + kReplacement + kReplacement + kReplacement},
        {"\xE2\x82z", false, kReplacement + "z"},            // cut short: one replacement
        {"end \xF0\x9F\x93", false, "end " + kReplacement},  // truncated at the end
        {"\xF5\x80", false, kReplacement + kReplacement},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ipc::utf8::is_valid(c.input), c.valid) << c.input;
        const std::string repaired = ipc::utf8::make_valid(c.input);
        EXPECT_EQ(repaired, c.repaired) << c.input;
        EXPECT_TRUE(ipc::utf8::is_valid(repaired)) << c.input;
    }
}

}  // namespace
