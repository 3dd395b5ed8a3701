// ALSA PCM names: the hw grammar, the card table, aliases, grouping keys and
// ranks, recommendation, and finding or resolving a device by name or alias.

#include "audio/soundcard_names.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/alsa_config.h"
#include "support/scratch_dir.h"

namespace {

using soundcard::AlsaCardGroup;
using soundcard::AlsaHwId;
using soundcard::AlsaPcmIdentity;
using soundcard::CandidateRank;
using soundcard::CardTable;

// Card 0 is PCH, card 1 is Device.
const CardTable kCards = {{0, "PCH"}, {1, "Device"}};

struct NameRow {
    std::string name;
    std::optional<AlsaHwId> hw;
    std::optional<AlsaPcmIdentity> identity;
    std::optional<std::string> token;
    std::string key;
    CandidateRank rank;
    bool recommended;
};

TEST(SoundcardNames, EveryNameParsesResolvesGroupsAndRanksAsWorkedOut) {
    const std::vector<NameRow> rows = {
        {"hw:CARD=Device,DEV=0",
         AlsaHwId{"hw", "Device", 0},
         AlsaPcmIdentity{"hw", 1, 0},
         "Device",
         "card:1",
         {1, 0},
         false},
        {"plughw:CARD=Device",
         AlsaHwId{"plughw", "Device", 0},
         AlsaPcmIdentity{"plughw", 1, 0},
         "Device",
         "card:1",
         {0, 0},
         true},
        {"plughw:CARD=Device,DEV=3",
         AlsaHwId{"plughw", "Device", 3},
         AlsaPcmIdentity{"plughw", 1, 3},
         "Device",
         "card:1",
         {0, 0},
         true},
        {"hw:1,0",
         AlsaHwId{"hw", "1", 0},
         AlsaPcmIdentity{"hw", 1, 0},
         std::nullopt,
         "hw:1,0",
         {1, 2},
         false},
        {"hw:1",
         AlsaHwId{"hw", "1", 0},
         AlsaPcmIdentity{"hw", 1, 0},
         std::nullopt,
         "hw:1",
         {1, 2},
         false},
        {"hw:PCH,3",
         AlsaHwId{"hw", "PCH", 3},
         AlsaPcmIdentity{"hw", 0, 3},
         std::nullopt,
         "hw:PCH,3",
         {1, 2},
         false},
        {"hw:01,0", AlsaHwId{"hw", "01", 0}, std::nullopt, std::nullopt, "hw:01,0", {1, 2}, false},
        {"plughw:CARD=1,DEV=0",
         AlsaHwId{"plughw", "1", 0},
         AlsaPcmIdentity{"plughw", 1, 0},
         "1",
         "card:1",
         {0, 1},
         false},
        {"hw:CARD=Other,DEV=0",
         AlsaHwId{"hw", "Other", 0},
         std::nullopt,
         "Other",
         "hw:CARD=Other,DEV=0",
         {1, 0},
         false},
        {"sysdefault:CARD=PCH", std::nullopt, std::nullopt, "PCH", "card:0", {2, 0}, false},
        {"default", std::nullopt, std::nullopt, std::nullopt, "default", {2, 2}, false},
        {"hw:CARD=Device,0", std::nullopt, std::nullopt, "Device", "card:1", {1, 0}, false},
        {"hw:1,DEV=0", std::nullopt, std::nullopt, std::nullopt, "hw:1,DEV=0", {1, 2}, false},
        {"hw:CARD=,DEV=0",
         std::nullopt,
         std::nullopt,
         std::nullopt,
         "hw:CARD=,DEV=0",
         {1, 2},
         false},
        {"hw:,0", std::nullopt, std::nullopt, std::nullopt, "hw:,0", {1, 2}, false},
        {"hw:1,0,1", std::nullopt, std::nullopt, std::nullopt, "hw:1,0,1", {1, 2}, false},
        // Numbers: an optional "+", digits only, at most 4294967295.
        {"hw:1,+2",
         AlsaHwId{"hw", "1", 2},
         AlsaPcmIdentity{"hw", 1, 2},
         std::nullopt,
         "hw:1,+2",
         {1, 2},
         false},
        {"hw:CARD=PCH,DEV=4294967295",
         AlsaHwId{"hw", "PCH", 4294967295u},
         AlsaPcmIdentity{"hw", 0, 4294967295u},
         "PCH",
         "card:0",
         {1, 0},
         false},
        {"hw:1,4294967296",
         std::nullopt,
         std::nullopt,
         std::nullopt,
         "hw:1,4294967296",
         {1, 2},
         false},
        {"hw:1,-2", std::nullopt, std::nullopt, std::nullopt, "hw:1,-2", {1, 2}, false},
        {"hw:1,+", std::nullopt, std::nullopt, std::nullopt, "hw:1,+", {1, 2}, false},
        {"hw:1,", std::nullopt, std::nullopt, std::nullopt, "hw:1,", {1, 2}, false},
        {"hw:1, 0", std::nullopt, std::nullopt, std::nullopt, "hw:1, 0", {1, 2}, false},
        {"hw:CARD=PCH,DEV=", std::nullopt, std::nullopt, "PCH", "card:0", {1, 0}, false},
        {"hw:", std::nullopt, std::nullopt, std::nullopt, "hw:", {1, 2}, false},
        {"hw", std::nullopt, std::nullopt, std::nullopt, "hw", {2, 2}, false},
        {"HW:1,0", std::nullopt, std::nullopt, std::nullopt, "HW:1,0", {2, 2}, false},
        {"front:CARD=PCH,DEV=0", std::nullopt, std::nullopt, "PCH", "card:0", {2, 0}, false},
        {"plughw:1,0",
         AlsaHwId{"plughw", "1", 0},
         AlsaPcmIdentity{"plughw", 1, 0},
         std::nullopt,
         "plughw:1,0",
         {0, 2},
         false},
        {"plughw:CARD=", std::nullopt, std::nullopt, std::nullopt, "plughw:CARD=", {0, 2}, false},
    };
    const soundcard::CardResolver resolver = soundcard::build_card_resolver(kCards);
    for (const NameRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(soundcard::parse_alsa_hw_id(row.name), row.hw);
        EXPECT_EQ(soundcard::alsa_pcm_identity(row.name, resolver), row.identity);
        EXPECT_EQ(soundcard::alsa_card_token(row.name), row.token);
        EXPECT_EQ(soundcard::alsa_canonical_key(row.name, resolver), row.key);
        EXPECT_EQ(soundcard::alsa_candidate_rank(row.name), row.rank);
        EXPECT_EQ(soundcard::is_recommended_pcm_id(row.name), row.recommended);
    }
}

TEST(SoundcardNames, CardTableTakesCardLinesOnly) {
    const std::string text =
        "  7 [Loopback       ]: Loopback - Loopback\n"
        "                      Loopback 1\n"
        " 0 [PCH            ]: HDA-Intel - HDA Intel PCH\r\n"
        "3 [Broken: no closing bracket\n"
        "4 ]backwards[\n"
        "x [Letter]: line without a number\n"
        "5 [   ]: empty id\n"
        "4294967296 [TooBig]: above 32 bits\n"
        "4294967295 [Max]: the largest number\n"
        "12[Tight]\n"
        "\n"
        "\t1 [Device  ]: USB-Audio - USB Audio Device\n"
        "1 [Device]: a second card of the same number and id\n";
    const CardTable expected = {{7, "Loopback"}, {0, "PCH"},    {4294967295u, "Max"},
                                {12, "Tight"},   {1, "Device"}, {1, "Device"}};
    EXPECT_EQ(soundcard::parse_proc_asound_cards(text), expected);
    EXPECT_EQ(soundcard::parse_proc_asound_cards(""), CardTable{});
}

TEST(SoundcardNames, ReadsTheCardsFileAfreshAndEmptyWhenUnreadable) {
    test_support::ScratchDir dir;
    const soundcard::SystemFiles files{dir.file("cards"), dir.file("sound")};
    EXPECT_EQ(soundcard::read_proc_asound_cards(files), CardTable{});
    const std::string text = test_support::cards_file_text({{0, "PCH", "HDA Intel PCH"}});
    test_support::write_bytes(files.cards_file, std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(soundcard::read_proc_asound_cards(files), (CardTable{{0, "PCH"}}));
    test_support::write_bytes(files.cards_file, {'0', ' ', '[', 'P', 0xff, ']', '\n'});
    EXPECT_EQ(soundcard::read_proc_asound_cards(files), CardTable{});
    // procfs files report a size of 0 and are read to their end all the same.
    EXPECT_FALSE(soundcard::read_system_file("/proc/self/status").value_or("").empty());
}

TEST(SoundcardNames, ResolverKeysIdsAndNumbersWithTheLaterCardWinning) {
    const soundcard::CardResolver resolver =
        soundcard::build_card_resolver({{0, "PCH"}, {1, "Device"}, {2, "Device"}});
    const soundcard::CardResolver expected = {
        {"0", 0}, {"1", 1}, {"2", 2}, {"Device", 2}, {"PCH", 0}};
    EXPECT_EQ(resolver, expected);
}

TEST(SoundcardNames, AliasesShareTheirPrefixCardAndDevice) {
    const soundcard::CardResolver resolver = soundcard::build_card_resolver(kCards);
    const std::vector<std::string> same = {"hw:CARD=Device,DEV=0", "hw:1,0", "hw:1", "hw:Device,0"};
    for (const std::string& a : same) {
        for (const std::string& b : same) {
            EXPECT_TRUE(soundcard::alsa_alias_matches(a, b, resolver)) << a << " ~ " << b;
        }
    }
    EXPECT_FALSE(soundcard::alsa_alias_matches("plughw:CARD=Device,DEV=0", "hw:1,0", resolver));
    EXPECT_FALSE(soundcard::alsa_alias_matches("hw:CARD=Device,DEV=1", "hw:1,0", resolver));
    EXPECT_FALSE(soundcard::alsa_alias_matches("default", "default", resolver));
    EXPECT_FALSE(soundcard::alsa_alias_matches("hw:CARD=Device,DEV=0", "hw:1,0", {}));
}

TEST(SoundcardNames, GroupsNamesPerCardInPreferenceOrder) {
    const std::vector<std::string> names = {"default",
                                            "hw:CARD=Device,DEV=0",
                                            "plughw:CARD=Device,DEV=0",
                                            "hw:CARD=PCH,DEV=0",
                                            "hw:CARD=PCH,DEV=3",
                                            "plughw:CARD=PCH,DEV=0",
                                            "plughw:CARD=PCH,DEV=3",
                                            "hw:1,0"};
    const std::vector<AlsaCardGroup> expected = {
        {"default", {"default"}},
        {"card:1", {"plughw:CARD=Device,DEV=0", "hw:CARD=Device,DEV=0"}},
        {"card:0",
         {"plughw:CARD=PCH,DEV=0", "plughw:CARD=PCH,DEV=3", "hw:CARD=PCH,DEV=0",
          "hw:CARD=PCH,DEV=3"}},
        {"hw:1,0", {"hw:1,0"}},
    };
    EXPECT_EQ(soundcard::group_alsa_cards(names, soundcard::build_card_resolver(kCards)), expected);

    // A name listed twice is a member twice; equal ranks keep the input order.
    const std::vector<AlsaCardGroup> twice = {
        {"card:1",
         {"plughw:CARD=1,DEV=0", "hw:CARD=Device,DEV=2", "hw:CARD=Device,DEV=0",
          "hw:CARD=Device,DEV=2", "hw:CARD=1,DEV=1"}}};
    EXPECT_EQ(soundcard::group_alsa_cards(
                  {"hw:CARD=Device,DEV=2", "hw:CARD=Device,DEV=0", "hw:CARD=1,DEV=1",
                   "plughw:CARD=1,DEV=0", "hw:CARD=Device,DEV=2"},
                  soundcard::build_card_resolver(kCards)),
              twice);

    // Without a card table every name is its own group.
    const std::vector<AlsaCardGroup> alone = {{"hw:1,0", {"hw:1,0"}},
                                              {"hw:CARD=Device,DEV=0", {"hw:CARD=Device,DEV=0"}}};
    EXPECT_EQ(soundcard::group_alsa_cards({"hw:1,0", "hw:CARD=Device,DEV=0"}, {}), alone);
}

alsa::Device device(const std::string& name) {
    return {name, std::nullopt, alsa::Ioid::Both};
}

TEST(SoundcardNames, FindPrefersAnExactNameThenTheFirstAlias) {
    const std::vector<alsa::Device> devices = {device("default"), device("hw:1,0"),
                                               device("hw:CARD=Device,DEV=0"), device("hw:Device")};
    auto found = [&](const std::string& name, const CardTable& table) {
        const std::optional<alsa::Device> d =
            soundcard::find_device_by_id_or_alias(devices, name, table);
        return d ? d->name : std::string("none");
    };
    EXPECT_EQ(found("hw:CARD=Device,DEV=0", kCards),
              "hw:CARD=Device,DEV=0");                      // exact, though later
    EXPECT_EQ(found("hw:CARD=1,DEV=0", kCards), "hw:1,0");  // first alias
    EXPECT_EQ(found("hw:CARD=1,DEV=0", {}), "none");        // no table, no alias
    EXPECT_EQ(found("default", kCards), "default");
    EXPECT_EQ(found("plughw:CARD=Device,DEV=0", kCards), "none");
    EXPECT_EQ(found("sysdefault:CARD=Device", kCards), "none");
    EXPECT_EQ(soundcard::find_device_by_id_or_alias({}, "hw:1,0", kCards), std::nullopt);
    // A device whose name is no UTF-8 text is passed over by both passes.
    EXPECT_EQ(soundcard::find_device_by_id_or_alias({device("hw:1,\xff"), device("hw:1")},
                                                    "hw:1,\xff", kCards),
              std::nullopt);
}

class ResolveOutput : public ::testing::Test {
protected:
    ResolveOutput() {
        const std::string cards =
            test_support::cards_file_text({{1, "Device", "USB Audio Device"}});
        test_support::write_bytes(files_.cards_file,
                                  std::vector<uint8_t>(cards.begin(), cards.end()));
    }

    void install(bool default_is_input_only) {
        test_support::AlsaConfig config;
        config.card("Device", 1, {{}})
            .pcm("mic", {})
            .pcm("capture_only", {.stream = "capture"})
            .plug("default", "hw:Device")
            .hint("default", "Default device", default_is_input_only ? "Input" : "")
            .hint("plughw:CARD=Device,DEV=0", "USB Audio Device")
            .hint("hw:CARD=Device,DEV=0", "USB Audio Device")
            .hint("mic", "Microphone", "Input")
            .hint("capture_only", "Capture only");
        scoped_.emplace(dir_, config);
    }

    std::string resolved(const std::string& name, const soundcard::SystemFiles& files) {
        Result<alsa::Device> d = soundcard::resolve_output_device(name, files);
        return d ? d->name : "error: " + d.error_text();
    }

    test_support::ScratchDir dir_;
    soundcard::SystemFiles files_{dir_.file("cards"), dir_.file("sound")};
    std::optional<test_support::ScopedAlsaConfig> scoped_;
};

TEST_F(ResolveOutput, ByDefaultExactNameOrAlias) {
    install(false);
    const soundcard::SystemFiles no_cards{dir_.file("missing"), dir_.file("sound")};
    struct Row {
        std::string name;
        const soundcard::SystemFiles* files;
        std::string result;
    };
    const std::vector<Row> rows = {
        {"", &files_, "default"},
        {"default", &files_, "default"},
        {"hw:CARD=Device,DEV=0", &files_, "hw:CARD=Device,DEV=0"},
        {"plughw:1,0", &files_, "plughw:CARD=Device,DEV=0"},
        {"hw:1", &files_, "hw:CARD=Device,DEV=0"},
        {"hw:1,0", &no_cards, "error: output device not found: hw:1,0"},
        {"mic", &files_, "error: output device not found: mic"},
        {"capture_only", &files_, "error: output device not found: capture_only"},
        {"hw:CARD=Device,DEV=1", &files_, "error: output device not found: hw:CARD=Device,DEV=1"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(resolved(row.name, *row.files), row.result) << row.name;
    }
    Result<alsa::Device> d = soundcard::resolve_output_device("");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->description, "Default device");
}

TEST_F(ResolveOutput, NoDefaultOutputWhenTheDefaultIsInputOnly) {
    install(true);
    EXPECT_EQ(resolved("", files_), "error: no default output device");
    EXPECT_EQ(resolved("default", files_), "error: no default output device");
}

TEST_F(ResolveOutput, NoDefaultOutputWhenTheDefaultOpensForCaptureOnly) {
    test_support::AlsaConfig config;
    config.pcm("default", {.stream = "capture"}).hint("default", "Default device");
    scoped_.emplace(dir_, config);
    EXPECT_EQ(resolved("", files_), "error: no default output device");
    EXPECT_EQ(resolved("default", files_), "error: no default output device");
}

TEST(ResolveOutputList, AListThatCannotBeTakenIsReported) {
    test_support::ScratchDir dir;
    test_support::AlsaConfig config;
    config.raw("pcm.broken { type");
    test_support::ScopedAlsaConfig scoped(dir, config);
    Result<alsa::Device> d = soundcard::resolve_output_device("hw:1,0");
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error_text(), "enumerate output devices: Invalid argument");
}

}  // namespace
