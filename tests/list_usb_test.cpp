#include "list_usb.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using Attributes = std::map<std::string, std::string>;

// The attributes of the plain audio codec, as sysfs writes them (with a final
// newline), and a few that the listing does not read.
Attributes codec() {
    return {{"busnum", "1"},        {"devnum", "5"},
            {"idVendor", "0d8c"},   {"idProduct", "0012"},
            {"bDeviceClass", "00"}, {"bDeviceSubClass", "00"},
            {"speed", "12"},        {"product", "USB Audio Device"},
            {"bcdDevice", "0100"},  {"bMaxPower", "100mA"},
            {"version", " 1.10"}};
}

const char kCodecObject[] =
    R"({"bus_number":1,"port_path":"5","vendor_id":"0d8c","product_id":"0012",)"
    R"("product_name":"USB Audio Device","class":"00","subclass":"00","speed":"full"})";

// A scratch tree laid out like sysfs: device directories elsewhere, and the
// devices directory holding an entry per device.
class UsbTree {
public:
    UsbTree() { fs::create_directories(root()); }

    fs::path root() const { return dir_.path() / "bus" / "usb" / "devices"; }

    // A device directory right in the devices directory.
    void add(const std::string& name, const Attributes& attributes) {
        write(root() / name, attributes);
    }

    // A device directory elsewhere, with a symbolic link to it as sysfs has.
    void add_linked(const std::string& name, const Attributes& attributes) {
        fs::path target = dir_.path() / "devices" / "pci0000:00" / name;
        write(target, attributes);
        fs::create_directory_symlink(fs::path("../../..") / "devices" / "pci0000:00" / name,
                                     root() / name);
    }

    // The entry names in the order the directory yields them.
    std::vector<std::string> listing_order() const {
        std::vector<std::string> names;
        DIR* dir = ::opendir(root().c_str());
        while (const dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        return names;
    }

private:
    static void write(const fs::path& dir, const Attributes& attributes) {
        fs::create_directories(dir);
        for (const auto& [key, value] : attributes) std::ofstream(dir / key) << value << "\n";
    }

    test_support::ScratchDir dir_;
};

TEST(UsbListing, ACodecBehindALinkIsOneObject) {
    UsbTree tree;
    tree.add_linked("1-1", codec());
    EXPECT_EQ(list_usb::marshal(list_usb::collect(tree.root())),
              std::string(R"({"devices":[)") + kCodecObject + "]}");
}

TEST(UsbListing, DevicesInDirectoryOrderWithTheirStringsAndSpeeds) {
    UsbTree tree;
    std::map<std::string, std::string> expected;

    Attributes hub = {{"busnum", "1"},
                      {"devnum", "1"},
                      {"idVendor", "1d6b"},
                      {"idProduct", "0002"},
                      {"bDeviceClass", "09"},
                      {"bDeviceSubClass", "00"},
                      {"speed", "480"},
                      {"product", "xHCI Host Controller"},
                      {"manufacturer", "Linux 6.1.0 xhci-hcd"},
                      {"serial", "0000:00:14.0"}};
    tree.add_linked("usb1", hub);
    expected["usb1"] =
        R"({"bus_number":1,"port_path":"1","vendor_id":"1d6b","product_id":"0002",)"
        R"("product_name":"xHCI Host Controller","manufacturer":"Linux 6.1.0 xhci-hcd",)"
        R"("serial":"0000:00:14.0","class":"09","subclass":"00","speed":"high"})";

    // An interface entry, skipped by its name whatever it holds.
    tree.add_linked("1-1:1.0", codec());

    Attributes fast = codec();
    fast["devnum"] = "12";
    fast["speed"] = "20000";
    fast.erase("product");
    tree.add("1-2", fast);
    expected["1-2"] = R"({"bus_number":1,"port_path":"12","vendor_id":"0d8c","product_id":"0012",)"
                      R"("class":"00","subclass":"00","speed":"unknown"})";

    Attributes no_speed = codec();
    no_speed["busnum"] = "3";
    no_speed["devnum"] = "007";
    no_speed["idVendor"] = "0C76";
    no_speed["bDeviceClass"] = "ef";
    no_speed["bDeviceSubClass"] = "2";
    no_speed["product"] = "";
    no_speed["manufacturer"] = "  C-Media \xFF ";
    no_speed.erase("speed");
    tree.add("3-1", no_speed);
    expected["3-1"] = R"({"bus_number":3,"port_path":"7","vendor_id":"0c76","product_id":"0012",)"
                      R"("manufacturer":"C-Media )"
                      "\xEF\xBF\xBD"
                      R"(","class":"ef","subclass":"02","speed":"unknown"})";

    Attributes no_product = codec();
    no_product.erase("idProduct");
    tree.add("1-4", no_product);

    // Entries that are no device directory at all.
    std::ofstream(tree.root() / "stray") << "1\n";
    fs::create_directory_symlink("../nowhere", tree.root() / "2-9");

    std::string want = R"({"devices":[)";
    bool first = true;
    for (const std::string& name : tree.listing_order()) {
        auto it = expected.find(name);
        if (it == expected.end()) continue;
        if (!first) want += ",";
        want += it->second;
        first = false;
    }
    want += "]}";
    EXPECT_EQ(list_usb::marshal(list_usb::collect(tree.root())), want);
}

TEST(UsbListing, MissingOrMalformedNumbersLeaveTheDeviceOut) {
    struct Case {
        const char* attribute;
        const char* value;  // nullptr: no such file
    };
    const Case cases[] = {
        {"busnum", nullptr},
        {"busnum", ""},
        {"busnum", "x1"},
        {"busnum", "-1"},
        {"busnum", "+1"},
        {"busnum", "4294967296"},
        {"devnum", nullptr},
        {"devnum", "5 6"},
        {"devnum", "0x5"},
        {"idVendor", nullptr},
        {"idVendor", "10000"},
        {"idVendor", "0x0d8c"},
        {"idVendor", "0d8g"},
        {"idProduct", nullptr},
        {"idProduct", "-12"},
        {"bDeviceClass", nullptr},
        {"bDeviceClass", "100"},
        {"bDeviceClass", "g"},
        {"bDeviceSubClass", nullptr},
        {"bDeviceSubClass", "1ff"},
    };
    for (const Case& c : cases) {
        UsbTree tree;
        Attributes attributes = codec();
        if (c.value == nullptr) {
            attributes.erase(c.attribute);
        } else {
            attributes[c.attribute] = c.value;
        }
        tree.add("1-1", attributes);
        EXPECT_EQ(list_usb::marshal(list_usb::collect(tree.root())), R"({"devices":[]})")
            << c.attribute << " = " << (c.value ? c.value : "(absent)");
    }
}

TEST(UsbListing, SpeedNames) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {"1.5", "low"},      {"12", "full"},          {"480", "high"},
        {"5000", "super"},   {"10000", "super_plus"}, {"20000", "unknown"},
        {"12.0", "unknown"}, {"", "unknown"},         {std::nullopt, "unknown"},
    };
    for (const auto& [kernel, name] : cases) {
        EXPECT_EQ(list_usb::speed_name(kernel), name) << kernel.value_or("(absent)");
    }
}

TEST(UsbListing, ADirectoryThatCannotBeListedIsAnIssue) {
    test_support::ScratchDir dir;
    std::ofstream(dir.path() / "file") << "not a directory\n";
    const std::pair<fs::path, int> cases[] = {{dir.path() / "missing", ENOENT},
                                              {dir.path() / "file", ENOTDIR}};
    for (const auto& [root, error] : cases) {
        EXPECT_EQ(list_usb::marshal(list_usb::collect(root)),
                  std::string(R"({"devices":[],"issues":[{"kind":"list_devices_failed",)") +
                      R"("message":")" + std::strerror(error) + R"("}]})");
    }
    EXPECT_EQ(list_usb::marshal(list_usb::collect(dir.path())), R"({"devices":[]})");
}

TEST(UsbListing, MarshalWritesOnlyWhatIsThere) {
    list_usb::USBTopology topology;
    topology.devices.push_back({});
    topology.issues.push_back({"a", "b", std::nullopt});
    topology.issues.push_back({"c", "", "/sys/x"});
    EXPECT_EQ(
        list_usb::marshal(topology),
        R"({"devices":[{"bus_number":0,"vendor_id":"","product_id":""}],)"
        R"("issues":[{"kind":"a","message":"b"},{"kind":"c","message":"","path":"/sys/x"}]})");
}

TEST(UsbListing, AWriterFailureGivesTheFixedDocument) {
    list_usb::USBTopology topology;
    topology.devices.push_back({});
    topology.devices.back().serial = "\xC3";
    auto doc = nlohmann::json::parse(list_usb::marshal(topology));
    EXPECT_EQ(doc["devices"], nlohmann::json::array());
    ASSERT_EQ(doc["issues"].size(), 1u);
    EXPECT_EQ(doc["issues"][0]["kind"], "json_marshal_failed");
    EXPECT_EQ(
        doc["issues"][0]["message"].get<std::string>().rfind("[json.exception.type_error.316]", 0),
        0u);
}

TEST(UsbListing, TheFixedDocumentEscapesItsMessage) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"q\"b\\n\nu\x01t\tr\r\x1f\x7f \xC3\xA4", "q\"b\\n\nu\x01t\tr\r\x1f\x7f \xC3\xA4"},
        {"bad \xFF", "bad \xEF\xBF\xBD"},
    };
    for (const auto& [message, parsed] : cases) {
        std::string text = list_usb::marshal_failed_document(message);
        auto doc = nlohmann::ordered_json::parse(text);
        EXPECT_EQ(doc.dump(), text);
        EXPECT_EQ(doc["issues"][0]["message"], parsed);
    }
}

}  // namespace
