#include "list_audio.h"

#include <nlohmann/json.hpp>

#include "ipc/utf8.h"
#include "json_text.h"

namespace list_audio {

namespace {

using Json = nlohmann::ordered_json;

std::string valid(std::string_view text) {
    return ipc::utf8::make_valid(text);
}

Json range_json(const listing::AudioStreamConfigRange& range) {
    Json o = Json::object();
    o["channels"] = range.channels;
    o["min_sample_rate_hz"] = range.min_sample_rate_hz;
    o["max_sample_rate_hz"] = range.max_sample_rate_hz;
    o["sample_format"] = valid(range.sample_format);
    return o;
}

Json device_json(const listing::AudioDevice& device) {
    Json o = Json::object();
    o["name"] = valid(device.name);
    o["direction"] = valid(device.direction);
    o["is_default"] = device.is_default;
    if (device.recommended) o["recommended"] = true;
    if (!device.supported_configs.empty()) {
        Json ranges = Json::array();
        for (const auto& range : device.supported_configs) ranges.push_back(range_json(range));
        o["supported_configs"] = std::move(ranges);
    }
    return o;
}

Json host_json(const listing::AudioHost& host) {
    Json o = Json::object();
    o["id"] = valid(host.id);
    o["name"] = valid(host.name);
    o["is_default"] = host.is_default;
    Json devices = Json::array();
    for (const auto& device : host.devices) devices.push_back(device_json(device));
    o["devices"] = std::move(devices);
    return o;
}

Json issue_json(const listing::CollectorIssue& issue) {
    Json o = Json::object();
    o["kind"] = valid(issue.kind);
    o["message"] = valid(issue.message);
    if (issue.path) o["path"] = valid(*issue.path);
    return o;
}

}  // namespace

std::string marshal(const listing::AudioDevices& devices) {
    try {
        Json doc = Json::object();
        Json hosts = Json::array();
        for (const auto& host : devices.hosts) hosts.push_back(host_json(host));
        doc["hosts"] = std::move(hosts);
        if (!devices.issues.empty()) {
            Json issues = Json::array();
            for (const auto& issue : devices.issues) issues.push_back(issue_json(issue));
            doc["issues"] = std::move(issues);
        }
        return doc.dump();
    } catch (const std::exception& e) {
        return marshal_failed_document(e.what());
    }
}

std::string marshal_failed_document(std::string_view message) {
    return R"({"hosts":[],"issues":[{"kind":"json_marshal_failed","message":)" +
           json_text::quoted(message) + "}]}";
}

std::string run() {
    return marshal(listing::enumerate());
}

}  // namespace list_audio
