// Card descriptions over a temporary cards file and sysfs tree laid out as the
// kernel lays it out: /sys/class/sound/cardN is a relative link into the USB
// interface's directory, whose "device" link leads back to the interface, one
// level below the USB device with its idVendor, idProduct and product.

#include "modem/alsa_card.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/alsa_config.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

void write_text(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    test_support::write_bytes(path.string(), std::vector<uint8_t>(text.begin(), text.end()));
}

class CardDescription : public ::testing::Test {
protected:
    CardDescription() {
        write_text(files_.cards_file,
                   test_support::cards_file_text({{0, "PCH", "HDA Intel PCH"},
                                                  {1, "Device", "Generic USB Card"},
                                                  {2, "Deep", "Deep Card"}}));
        fs::create_directories(files_.sound_class_dir);
    }

    // A USB card numbered `number` whose device directory holds the given
    // attributes (an empty text leaves the file out).
    fs::path usb_card(unsigned number, const std::string& vendor, const std::string& product_id,
                      const std::string& product) {
        const fs::path usb = dir_.path() / "sys/devices/pci0000:00/usb1/1-1";
        const fs::path interface_dir = usb / "1-1:1.0";
        const std::string card = "card" + std::to_string(number);
        fs::create_directories(interface_dir / "sound" / card);
        if (!vendor.empty()) write_text(usb / "idVendor", vendor);
        if (!product_id.empty()) write_text(usb / "idProduct", product_id);
        if (!product.empty()) write_text(usb / "product", product);
        fs::create_directory_symlink("../../devices/pci0000:00/usb1/1-1/1-1:1.0/sound/" + card,
                                     fs::path(files_.sound_class_dir) / card);
        fs::create_directory_symlink("../../../1-1:1.0", interface_dir / "sound" / card / "device");
        return usb;
    }

    std::string description(const std::string& name) {
        return modem::alsa_card_description(name, files_);
    }

    test_support::ScratchDir dir_;
    soundcard::SystemFiles files_{dir_.file("cards"), dir_.file("sys/class/sound")};
};

TEST_F(CardDescription, KnownChipByVendorAndProduct) {
    usb_card(1, "0d8c\n", "0012\n", "USB Audio Device\n");
    EXPECT_EQ(description("plughw:CARD=Device,DEV=0"), "CM108AH USB Audio");
    // The card number serves as the reference too, and the reference ends at a
    // colon or a further "CARD=".
    EXPECT_EQ(description("plughw:CARD=1,DEV=0"), "CM108AH USB Audio");
    EXPECT_EQ(description("x:CARD=Device:CARD=PCH"), "CM108AH USB Audio");
}

TEST_F(CardDescription, ProductTextTrimmedOrCardNameForGenericProducts) {
    struct Row {
        std::string product;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"  Digirig Mobile \n", "Digirig Mobile"},
        {"USB Audio Device\n", "Generic USB Card"},
        {" USB PnP Sound Device", "Generic USB Card"},
        {"", "Generic USB Card"},
    };
    for (const Row& row : rows) {
        fs::remove_all(dir_.path() / "sys");
        fs::create_directories(files_.sound_class_dir);
        usb_card(1, "1234", "5678", row.product);
        EXPECT_EQ(description("hw:CARD=Device,DEV=0"), row.expected) << row.product;
    }
}

TEST_F(CardDescription, CardNameWithoutLinkOrUsbDevice) {
    // Card 0 has no sysfs entry; card 1's tree has no idVendor anywhere.
    usb_card(1, "", "", "Something");
    EXPECT_EQ(description("hw:CARD=PCH,DEV=0"), "HDA Intel PCH");
    EXPECT_EQ(description("hw:CARD=Device,DEV=0"), "Generic USB Card");
}

TEST_F(CardDescription, LooksAtTheTargetAndFiveParentsAtMost) {
    // An absolute link target with idVendor `levels` directories above it.
    for (int levels : {0, 5, 6}) {
        fs::remove_all(dir_.path() / "deep");
        fs::path top = dir_.path() / "deep";
        fs::path target = top;
        for (int i = 0; i < levels; ++i) target /= "d" + std::to_string(i);
        fs::create_directories(target);
        write_text(top / "idVendor", "0d8c");
        write_text(top / "idProduct", "0013");
        fs::remove(fs::path(files_.sound_class_dir) / "card2" / "device");
        fs::create_directories(fs::path(files_.sound_class_dir) / "card2");
        fs::create_directory_symlink(target, fs::path(files_.sound_class_dir) / "card2" / "device");
        EXPECT_EQ(description("hw:CARD=Deep,DEV=0"), levels <= 5 ? "CM119 USB Audio" : "Deep Card")
            << levels;
    }
}

TEST_F(CardDescription, EmptyWithoutAReferenceOrAListedCard) {
    usb_card(1, "0d8c", "0012", "");
    for (const char* name : {"hw:1,0", "default", "hw:CARD=,DEV=0", "hw:CARD=Other,DEV=0"}) {
        EXPECT_EQ(description(name), "") << name;
    }
    const soundcard::SystemFiles missing{dir_.file("no-cards"), files_.sound_class_dir};
    EXPECT_EQ(modem::alsa_card_description("hw:CARD=Device,DEV=0", missing), "");
}

TEST(ReadSysfs, TrimmedTextOrEmpty) {
    test_support::ScratchDir dir;
    test_support::write_bytes(dir.file("product"), {' ', 'D', 'i', 'g', 'i', '\n'});
    test_support::write_bytes(dir.file("binary"), {'a', 0xc3});
    EXPECT_EQ(modem::read_sysfs(dir.file("product")), "Digi");
    EXPECT_EQ(modem::read_sysfs(dir.file("binary")), "");
    EXPECT_EQ(modem::read_sysfs(dir.file("missing")), "");
    EXPECT_EQ(modem::read_sysfs(dir.path().string()), "");
    // Size 0 as procfs and sysfs report it: read to the end all the same.
    EXPECT_NE(modem::read_sysfs("/proc/self/comm"), "");
}

}  // namespace
