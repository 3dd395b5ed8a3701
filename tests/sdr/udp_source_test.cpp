#include "sdr/udp_source.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/capture_drain.h"

namespace {

using namespace std::chrono_literals;
using audio::SampleBlock;
using test_support::SteadyClock;

TEST(UdpSourceConfig, HostPortAndFormat) {
    const struct {
        const char* name;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"", "127.0.0.1", 7355},
        {"radio", "127.0.0.1", 7355},
        {"0.0.0.0:7400", "0.0.0.0", 7400},
        {"h:", "h", 7355},
        {"h:80x", "h", 7355},
        {"h:+80", "h", 80},
        {"h:++80", "h", 7355},
        {"h:+", "h", 7355},
        {"h:65535", "h", 65535},
        {"h:65536", "h", 7355},
        {"h:99999999999999999999", "h", 7355},
        {"h:-1", "h", 7355},
        {":7400", "", 7400},
        {"::1:7400", "::1", 7400},
        {"[::1]:7400", "[::1]", 7400},
    };
    for (const auto& c : cases) {
        sdr::UdpSourceConfig got = sdr::parse_config(c.name, 96000, "f32");
        EXPECT_EQ(got, (sdr::UdpSourceConfig{c.host, c.port, "f32", 96000})) << c.name;
    }
    EXPECT_EQ(sdr::parse_config("h:1", 8000, "").format, "s16le");
    EXPECT_EQ(sdr::parse_config("h:1", 8000, "F32").format, "F32");
}

// The loopback address of `family` at `port`; returns its length.
socklen_t loopback(int family, uint16_t port, sockaddr_storage& addr) {
    addr = {};
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&addr);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in->sin_port = htons(port);
        return sizeof(sockaddr_in);
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(port);
    return sizeof(sockaddr_in6);
}

// A UDP socket of the test's own on loopback, at a free port.
struct TestSocket {
    ipc::UniqueFd fd;
    uint16_t port = 0;
    int family;

    explicit TestSocket(int family = AF_INET) : family(family) {
        fd = ipc::UniqueFd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_storage addr;
        socklen_t len = loopback(family, 0, addr);
        if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
            fd.reset();
            return;
        }
        len = sizeof addr;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&addr)->sin_port
                                       : reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    }

    void send_to(uint16_t to, const std::vector<uint8_t>& bytes) {
        sockaddr_storage addr;
        socklen_t len = loopback(family, to, addr);
        ASSERT_EQ(::sendto(fd.get(), bytes.data(), bytes.size(), 0,
                           reinterpret_cast<sockaddr*>(&addr), len),
                  static_cast<ssize_t>(bytes.size()));
    }
};

// A port that was free a moment ago.
uint16_t free_port() {
    return TestSocket().port;
}

std::vector<uint8_t> floats(std::initializer_list<float> values) {
    std::vector<uint8_t> out;
    for (float v : values) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

TEST(UdpSource, EachDatagramIsOneBlock) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* format;
        std::vector<uint8_t> datagram;
        SampleBlock expected;  // empty: no block
    } cases[] = {
        {"s16le", {0x01, 0x02, 0x03, 0x04, 0x05}, {0x0201, 0x0403}},
        {"", {0xFF, 0xFF}, {-1}},
        {"s16le", {0x07}, {}},
        {"f32",
         [] {
             auto b = floats({0.5f});
             b.insert(b.end(), {1, 2, 3});
             return b;
         }(),
         {16383}},
        {"f32", {0x00, 0x00, 0x80}, {}},
        {"f32le", floats({1.5f, -1.5f, 0.25f, nan}), {32767, -32767, 8191, 0}},
        {"F32", floats({1.5f}), {0x0000, 0x3FC0}},
    };
    TestSocket peer;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "format '" << c.format << "', " << c.datagram.size() << " bytes");
        auto [sender, receiver] = audio::make_capture_queue();
        const uint16_t port = free_port();
        auto source =
            sdr::spawn(sdr::parse_config("127.0.0.1:" + std::to_string(port), 12000, c.format),
                       std::move(sender));
        ASSERT_TRUE(source.ok()) << source.error_text();
        EXPECT_EQ(source->sample_rate, 12000u);
        peer.send_to(port, c.datagram);
        // Four zero bytes after each case: one or two zero samples in either
        // format, showing what came before it (and that nothing is carried).
        peer.send_to(port, {0, 0, 0, 0});
        SampleBlock first = test_support::next_block(receiver);
        if (!c.expected.empty()) {
            EXPECT_EQ(first, c.expected);
            first = test_support::next_block(receiver);
        }
        const bool read_as_floats =
            std::string(c.format) == "f32" || std::string(c.format) == "f32le";
        EXPECT_EQ(first, SampleBlock(read_as_floats ? 1 : 2, 0));
        audio::stop_and_join(*source);
        EXPECT_TRUE(test_support::drain(receiver).closed);
    }
}

TEST(UdpSource, BindFailures) {
    TestSocket holder;
    ASSERT_TRUE(holder.fd.valid());
    const std::string held = "127.0.0.1:" + std::to_string(holder.port);
    const struct {
        std::string name;
        std::string text;
    } cases[] = {
        {held, "bind UDP " + held + ": Address already in use"},
        {":7355", "bind UDP :7355: Name or service not known"},
    };
    for (const auto& c : cases) {
        auto [sender, receiver] = audio::make_capture_queue();
        auto source = sdr::spawn(sdr::parse_config(c.name, 8000, ""), std::move(sender));
        ASSERT_FALSE(source.ok()) << c.name;
        EXPECT_EQ(source.error_text(), c.text);
        EXPECT_TRUE(test_support::closed_at_once(receiver)) << c.name;
    }
}

TEST(UdpSource, BindsABracketedIpv6Literal) {
    TestSocket probe(AF_INET6);
    if (!probe.fd.valid()) GTEST_SKIP() << "no IPv6 loopback here";
    const uint16_t port = free_port();
    auto [sender, receiver] = audio::make_capture_queue();
    auto source =
        sdr::spawn(sdr::parse_config("[::1]:" + std::to_string(port), 8000, ""), std::move(sender));
    ASSERT_TRUE(source.ok()) << source.error_text();
    probe.send_to(port, {0x05, 0x00});
    EXPECT_EQ(test_support::next_block(receiver), (SampleBlock{5}));
    audio::stop_and_join(*source);
}

TEST(UdpSource, StopsWhenIdleOrWaitingForRoom) {
    for (bool fill : {false, true}) {
        SCOPED_TRACE(fill ? "queue full" : "idle");
        auto [sender, receiver] = audio::make_capture_queue(1);
        const uint16_t port = free_port();
        auto source = sdr::spawn(sdr::parse_config("127.0.0.1:" + std::to_string(port), 8000, ""),
                                 std::move(sender));
        ASSERT_TRUE(source.ok()) << source.error_text();
        if (fill) {
            TestSocket peer;
            for (int i = 0; i < 3; ++i) peer.send_to(port, {1, 0});
        }
        std::this_thread::sleep_for(250ms);
        const auto asked = SteadyClock::now();
        audio::stop_and_join(*source);
        EXPECT_LT(SteadyClock::now() - asked, 5s);  // hang guard
    }
}

}  // namespace
