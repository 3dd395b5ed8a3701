#include "list_audio.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using listing::AudioDevice;
using listing::AudioDevices;
using listing::AudioHost;
using listing::CollectorIssue;

AudioHost alsa_host(std::vector<AudioDevice> devices) {
    return {"alsa", "Alsa", true, std::move(devices)};
}

TEST(AudioListingDocument, WritesOnlyWhatIsThere) {
    struct Case {
        const char* what;
        AudioDevices devices;
        std::string document;
    };
    const std::vector<Case> cases = {
        {"nothing at all", {}, R"({"hosts":[]})"},
        {"a host without devices",
         {{alsa_host({})}, {}},
         R"({"hosts":[{"id":"alsa","name":"Alsa","is_default":true,"devices":[]}]})"},
        {"a plain device and a recommended one with its ranges",
         {{alsa_host({{"mic", "input", false, false, {}},
                      {"USB Audio Device",
                       "output",
                       true,
                       true,
                       {{1, 8000, 48000, "i16"}, {2, 44100, 44100, "f32"}}}})},
          {}},
         R"({"hosts":[{"id":"alsa","name":"Alsa","is_default":true,"devices":[)"
         R"({"name":"mic","direction":"input","is_default":false},)"
         R"({"name":"USB Audio Device","direction":"output","is_default":true,"recommended":true,)"
         R"("supported_configs":[)"
         R"({"channels":1,"min_sample_rate_hz":8000,"max_sample_rate_hz":48000,"sample_format":"i16"},)"
         R"({"channels":2,"min_sample_rate_hz":44100,"max_sample_rate_hz":44100,"sample_format":"f32"}]}]}]})"},
        {"issues with and without a path",
         {{alsa_host({})},
          {{"enumerate_failed", "Alsa input: Invalid argument", std::nullopt},
           {"enumerate_failed", "Alsa output: x", "/dev/snd"}}},
         R"({"hosts":[{"id":"alsa","name":"Alsa","is_default":true,"devices":[]}],"issues":[)"
         R"({"kind":"enumerate_failed","message":"Alsa input: Invalid argument"},)"
         R"({"kind":"enumerate_failed","message":"Alsa output: x","path":"/dev/snd"}]})"},
        {"a host that would not open",
         {{}, {{"host_init_failed", "Alsa: no such host", std::nullopt}}},
         R"({"hosts":[],"issues":[{"kind":"host_init_failed","message":"Alsa: no such host"}]})"},
        {"texts that are not UTF-8",
         {{alsa_host({{"Card \xC3", "input", false, false, {}}})},
          {{"enumerate_failed", "bad \xFF\xFE", std::nullopt}}},
         "{\"hosts\":[{\"id\":\"alsa\",\"name\":\"Alsa\",\"is_default\":true,\"devices\":["
         "{\"name\":\"Card \xEF\xBF\xBD\",\"direction\":\"input\",\"is_default\":false}]}],"
         "\"issues\":[{\"kind\":\"enumerate_failed\",\"message\":\"bad "
         "\xEF\xBF\xBD\xEF\xBF\xBD\"}]}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(list_audio::marshal(c.devices), c.document) << c.what;
    }
}

TEST(AudioListingDocument, TheFixedDocumentEscapesItsMessage) {
    const std::pair<std::string, std::string> cases[] = {
        {"quote \" backslash \\ newline \n one \x01 end",
         "quote \" backslash \\ newline \n one \x01 end"},
        {"bad \xFF", "bad \xEF\xBF\xBD"},
    };
    for (const auto& [message, parsed] : cases) {
        const std::string text = list_audio::marshal_failed_document(message);
        const auto doc = nlohmann::ordered_json::parse(text);
        EXPECT_EQ(doc.dump(), text);
        EXPECT_EQ(doc["hosts"], nlohmann::ordered_json::array());
        ASSERT_EQ(doc["issues"].size(), 1u);
        EXPECT_EQ(doc["issues"][0]["kind"], "json_marshal_failed");
        EXPECT_EQ(doc["issues"][0]["message"], parsed);
    }
}

}  // namespace
