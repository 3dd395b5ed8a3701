#include "cm108.h"

#include <locale.h>

#include <clocale>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using cm108::HidInterface;

const std::string kReplacement = "\xEF\xBF\xBD";

HidInterface row(uint16_t vendor, uint16_t product, int interface_number,
                 std::optional<std::wstring> text = std::wstring(L"USB Audio Device"),
                 std::string path = "/dev/hidraw0") {
    return HidInterface{std::move(path), vendor, product, interface_number, std::move(text)};
}

TEST(Cm108Listing, KeepsTheCodecIdsOnInterfaceThreeOrUnknown) {
    struct Case {
        uint16_t vendor;
        uint16_t product;
        int interface_number;
        bool listed;
    };
    const Case cases[] = {
        {0x0d8c, 0x0012, 3, true},  {0x0d8c, 0x0012, 2, false},  {0x0d8c, 0x0012, -1, true},
        {0x0d8c, 0x000c, 0, false}, {0x0d8c, 0xffff, 4, false},  {0x0c76, 0x0000, 3, true},
        {0x0c76, 0x161f, -1, true}, {0x0c76, 0x161f, 1, false},  {0x1209, 0x7388, 3, true},
        {0x1209, 0x7388, -1, true}, {0x1209, 0x7389, 3, false},  {0x1209, 0x0000, 3, false},
        {0x046d, 0x0a44, 3, false}, {0x0000, 0x0000, -1, false}, {0x8c0d, 0x0012, 3, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cm108::is_cm108_type(c.vendor, c.product, c.interface_number), c.listed)
            << std::hex << c.vendor << ":" << c.product << " interface " << std::dec
            << c.interface_number;
        const HidInterface one[] = {row(c.vendor, c.product, c.interface_number)};
        EXPECT_EQ(cm108::select_cm108(one).size(), c.listed ? 1u : 0u);
    }
}

TEST(Cm108Listing, DocumentKeepsTheLibraryOrderAndWritesEveryField) {
    const std::vector<HidInterface> rows = {
        row(0x0c76, 0x161f, -1, std::nullopt, "/dev/hidraw7"),
        row(0x046d, 0x0a44, 3, L"Headset", "/dev/hidraw1"),
        row(0x0d8c, 0x0012, 3, L"USB Audio Device", "/dev/hidraw2"),
        row(0x0d8c, 0x0012, 2, L"USB Audio Device", "/dev/hidraw3"),
        row(0x1209, 0x7388, 3, L"Ger\u00e4t \u20ac \U0001F4FB \"q\"", "/dev/hidraw0"),
        row(0x0d8c, 0x013c, 3, std::wstring{L'A', static_cast<wchar_t>(0xD800), L'B'},
            "/dev/hid\xFFraw4"),
    };
    Result<std::string> doc = cm108::listing_document(rows);
    ASSERT_TRUE(doc.ok()) << doc.error_text();
    EXPECT_EQ(*doc,
              "[{\"path\":\"/dev/hidraw7\",\"vendor\":\"0c76\",\"product\":\"161f\","
              "\"description\":\"\"},"
              "{\"path\":\"/dev/hidraw2\",\"vendor\":\"0d8c\",\"product\":\"0012\","
              "\"description\":\"USB Audio Device\"},"
              "{\"path\":\"/dev/hidraw0\",\"vendor\":\"1209\",\"product\":\"7388\","
              "\"description\":\"Ger\xC3\xA4t \xE2\x82\xAC \xF0\x9F\x93\xBB \\\"q\\\"\"},"
              "{\"path\":\"/dev/hid" +
                  kReplacement + "raw4\",\"vendor\":\"0d8c\",\"product\":\"013c\"," +
                  "\"description\":\"A" + kReplacement + "B\"}]");
}

TEST(Cm108Listing, NothingMatchingIsAnEmptyArray) {
    EXPECT_EQ(*cm108::listing_document({}), "[]");
    const HidInterface rows[] = {row(0x046d, 0x0a44, 3), row(0x0d8c, 0x0012, 0)};
    EXPECT_EQ(*cm108::listing_document(rows), "[]");
}

TEST(Cm108Listing, TextsTheWriterRefusesAreAJsonError) {
    const cm108::Cm108Device devices[] = {{"/dev/hidraw0", "0d8c", "0012", "bad \xFF"}};
    Result<std::string> doc = cm108::write_json(devices);
    ASSERT_FALSE(doc.ok());
    EXPECT_EQ(doc.error_text().rfind("json: [json.exception.type_error.316]", 0), 0u)
        << doc.error_text();
}

TEST(WideToUtf8, EncodesScalarValuesAndReplacesTheRest) {
    struct Case {
        std::wstring text;
        std::string utf8;
    };
    auto w = [](std::initializer_list<uint32_t> values) {
        std::wstring s;
        for (uint32_t v : values) s.push_back(static_cast<wchar_t>(v));
        return s;
    };
    const Case cases[] = {
        {L"", ""},
        {w({0x41, 0x7F}), "A\x7F"},
        {w({0x80, 0x7FF}), "\xC2\x80\xDF\xBF"},
        {w({0x800, 0xD7FF, 0xE000, 0xFFFF}), "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"},
        {w({0x10000, 0x10FFFF}), "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {w({0xD800, 0xDBFF, 0xDC00, 0xDFFF}),
         kReplacement + kReplacement + kReplacement + kReplacement},
        {w({0x110000, 0x7FFFFFFF, 0xFFFFFFFF, 0x5A}),
         kReplacement + kReplacement + kReplacement + "Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cm108::wide_to_utf8(c.text), c.utf8) << c.utf8;
    }
}

// The machine's real HID library. Whatever it finds, the listing succeeds and
// leaves the thread's and the process's locale as they were.
TEST(Cm108Listing, EnumeratesThroughTheLibrary) {
    locale_t thread_locale = ::uselocale(locale_t{});
    std::string global_locale = std::setlocale(LC_CTYPE, nullptr);

    Result<std::string> doc = cm108::enumerate_cm108();
    ASSERT_TRUE(doc.ok()) << doc.error_text();
    EXPECT_EQ(doc->front(), '[');
    EXPECT_EQ(doc->back(), ']');

    std::error_code ec;
    if (std::filesystem::is_empty("/sys/class/hidraw", ec) || ec) {
        EXPECT_EQ(*doc, "[]");
        Result<std::vector<HidInterface>> interfaces = cm108::hid_interfaces();
        ASSERT_TRUE(interfaces.ok());
        EXPECT_TRUE(interfaces->empty());
    }
    EXPECT_EQ(::uselocale(locale_t{}), thread_locale);
    EXPECT_EQ(std::setlocale(LC_CTYPE, nullptr), global_locale);
}

}  // namespace
