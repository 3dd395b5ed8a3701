#include "ipc/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/framing.h"
#include "support/hex.h"
#include "version.h"

namespace {

using namespace std::chrono_literals;
using ipc::IpcInbound;
using ipc::proto::IpcMessage;

// A fresh directory for socket files, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillmar-ipc-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }

    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

bool is_socket_file(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The parent's side: a connected client socket whose reads give up after 10 s
// (so that a fault fails the test instead of hanging it).
class Client {
public:
    explicit Client(const std::string& path)
        : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        timeval timeout{10, 0};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0) {
            ADD_FAILURE() << "connect failed";
        }
    }

    int fd() const { return fd_.get(); }

    Result<framing::ReadOutcome> read() {
        ipc::SocketStream stream(fd_.get());
        return framing::read_frame(stream);
    }

    void send(const IpcMessage& m) {
        ipc::SocketStream stream(fd_.get());
        ASSERT_TRUE(framing::write_frame(stream, m).ok());
    }

    void send_raw(const std::string& hex) {
        const auto bytes = test_support::from_hex(hex);
        ipc::SocketStream stream(fd_.get());
        ASSERT_TRUE(framing::write_all(stream, std::span<const uint8_t>(bytes)).ok());
    }

    // Reads the greeting, which must come first.
    void expect_greeting() {
        auto first = read();
        ASSERT_TRUE(first.ok()) << first.error_text();
        ASSERT_TRUE(first->has_value());
        ASSERT_TRUE((*first)->has_modem_ready());
    }

    void close() { fd_.reset(); }

private:
    ipc::UniqueFd fd_;
};

// A bound server in a temporary directory.
struct ServerFixture : ::testing::Test {
    TempDir dir;
    std::string path = dir.file("modem.sock");
    std::optional<ipc::IpcServer> server;

    void SetUp() override {
        auto bound = ipc::IpcServer::bind(path);
        ASSERT_TRUE(bound.ok()) << bound.error_text();
        server.emplace(std::move(*bound));
    }

    ipc::IpcConnection accept() {
        auto accepted = server->accept();
        if (!accepted.ok()) {
            ADD_FAILURE() << accepted.error_text();
            std::abort();
        }
        return std::move(*accepted);
    }
};

// The next event, waiting up to 10 s.
IpcInbound next_event(ipc::InboundReceiver& inbound) {
    auto received = inbound.recv_timeout(10s);
    if (auto* event = std::get_if<IpcInbound>(&received)) return std::move(*event);
    ADD_FAILURE() << "no event: queue "
                  << (std::holds_alternative<ipc::QueueClosed>(received) ? "closed" : "empty");
    return IpcInbound{IpcInbound::ReadError{"<none>"}};
}

void expect_queue_closed(ipc::InboundReceiver& inbound) {
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(inbound.recv_timeout(10s)));
}

TEST_F(ServerFixture, GreetingComesFirstThenFramesFlowBothWays) {
    Client client(path);
    // The parent may send at once; its frame waits until the reader runs.
    IpcMessage configure;
    configure.mutable_configure_audio()->set_device_id(3);
    configure.mutable_configure_audio()->set_device_name("hw:1,0");
    client.send(configure);
    client.send_raw("00000000");

    ipc::IpcConnection conn = accept();

    auto first = client.read();
    ASSERT_TRUE(first.ok() && first->has_value());
    ASSERT_TRUE((*first)->has_modem_ready());
    EXPECT_EQ((*first)->modem_ready().version(), quillmar_modem::full_version());
    EXPECT_EQ((*first)->modem_ready().pid(), static_cast<uint64_t>(::getpid()));

    IpcInbound event = next_event(conn.inbound);
    auto* message = std::get_if<IpcInbound::Message>(&event.event);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->message.configure_audio().device_name(), "hw:1,0");

    event = next_event(conn.inbound);
    message = std::get_if<IpcInbound::Message>(&event.event);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->message.payload_case(), IpcMessage::PAYLOAD_NOT_SET);

    IpcMessage status;
    status.mutable_status_update()->set_channel(2);
    ASSERT_TRUE(conn.handle.send(status).ok());
    auto reply = client.read();
    ASSERT_TRUE(reply.ok() && reply->has_value());
    EXPECT_EQ((*reply)->status_update().channel(), 2u);
}

struct PeerEnd {
    const char* name;
    std::string bytes;  // sent before the peer closes
    bool closed;        // Closed expected, else ReadError
    const char* error = "";
};

void PrintTo(const PeerEnd& c, std::ostream* os) {
    *os << c.name;
}

class PeerEndTest : public ServerFixture, public ::testing::WithParamInterface<PeerEnd> {};

TEST_P(PeerEndTest, EndsWithOneEventThenTheQueueCloses) {
    const PeerEnd& c = GetParam();
    Client client(path);
    ipc::IpcConnection conn = accept();
    client.expect_greeting();
    client.send_raw(c.bytes);
    client.close();

    IpcInbound event = next_event(conn.inbound);
    if (c.closed) {
        EXPECT_TRUE(std::holds_alternative<IpcInbound::Closed>(event.event));
    } else {
        auto* error = std::get_if<IpcInbound::ReadError>(&event.event);
        ASSERT_NE(error, nullptr);
        EXPECT_NE(error->text.find(c.error), std::string::npos) << error->text;
    }
    expect_queue_closed(conn.inbound);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, PeerEndTest,
    ::testing::Values(PeerEnd{"at_frame_boundary", "", true},
                      PeerEnd{"after_1_length_byte", "00", true},
                      PeerEnd{"after_2_length_bytes", "0000", true},
                      PeerEnd{"after_3_length_bytes", "000000", true},
                      PeerEnd{"inside_body", "00000005 7200", false, "failed to fill whole buffer"},
                      PeerEnd{"undecodable_body", "00000002 7000", false, "IpcMessage.payload"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerFixture, OversizedLengthStopsTheReaderForGood) {
    Client client(path);
    ipc::IpcConnection conn = accept();
    client.expect_greeting();
    // A valid frame follows the oversized length; it must never be read.
    client.send_raw("00010001 00000002 7200");

    IpcInbound event = next_event(conn.inbound);
    auto* error = std::get_if<IpcInbound::ReadError>(&event.event);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text, "frame too large: 65537 > 65536");
    expect_queue_closed(conn.inbound);
}

TEST_F(ServerFixture, SecondClientGetsNoByte) {
    Client first(path);
    ipc::IpcConnection conn = accept();
    first.expect_greeting();
    Client second(path);  // waits in the backlog

    // The first connection is served meanwhile.
    IpcMessage start;
    start.mutable_start_audio();
    first.send(start);
    IpcInbound event = next_event(conn.inbound);
    ASSERT_TRUE(std::holds_alternative<IpcInbound::Message>(event.event));
    EXPECT_FALSE(server->accept().ok());

    pollfd poll_second{second.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&poll_second, 1, 100), 0);

    // Teardown closes the listener: the waiting client ends without a byte.
    server.reset();
    char byte = 0;
    EXPECT_LE(::recv(second.fd(), &byte, 1, 0), 0);
}

TEST_F(ServerFixture, AWaitingAcceptGivesUpWhenAskedAndCanWaitAgain) {
    int asked = 0;
    auto abandoned = server->accept([&asked] { return ++asked == 3; });
    ASSERT_FALSE(abandoned.ok());
    EXPECT_EQ(abandoned.error_text(), "accept abandoned");
    EXPECT_EQ(asked, 3);  // asked again after each empty wait
    EXPECT_TRUE(is_socket_file(path));

    // Nothing was accepted: the next wait takes the parent.
    Client client(path);
    ipc::IpcConnection conn = accept();
    client.expect_greeting();
}

TEST_F(ServerFixture, ManySendersNeverInterleaveFrames) {
    Client client(path);
    ipc::IpcConnection conn = accept();
    client.expect_greeting();

    constexpr int kThreads = 8;
    constexpr int kFrames = 100;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([handle = conn.handle, t] {
            for (int i = 0; i < kFrames; ++i) {
                IpcMessage m;
                auto* frame = m.mutable_received_frame();
                frame->set_channel(static_cast<uint32_t>(t));
                frame->set_timestamp_ns(static_cast<uint64_t>(i));
                // Sizes that need several socket writes now and then.
                frame->set_data(std::string(100 + 997 * ((t * kFrames + i) % 60), 'a' + t));
                EXPECT_TRUE(handle.send(m).ok());
            }
        });
    }

    std::vector<uint64_t> next(kThreads, 0);
    for (int n = 0; n < kThreads * kFrames; ++n) {
        auto read = client.read();
        ASSERT_TRUE(read.ok() && read->has_value()) << "frame " << n;
        const auto& frame = (*read)->received_frame();
        ASSERT_LT(frame.channel(), static_cast<uint32_t>(kThreads));
        const auto t = frame.channel();
        EXPECT_EQ(frame.timestamp_ns(), next[t]++);
        EXPECT_EQ(frame.data(), std::string(frame.data().size(), static_cast<char>('a' + t)));
    }
    for (auto& s : senders) s.join();
}

TEST_F(ServerFixture, ShutdownWriteEndsThePeersStreamButKeepsReading) {
    Client client(path);
    ipc::IpcConnection conn = accept();
    client.expect_greeting();

    ASSERT_TRUE(conn.handle.shutdown_write().ok());
    auto end = client.read();
    ASSERT_TRUE(end.ok()) << end.error_text();
    EXPECT_FALSE(end->has_value());

    IpcMessage status;
    status.mutable_status_update();
    EXPECT_FALSE(conn.handle.send(status).ok());

    IpcMessage stop;
    stop.mutable_stop_audio();
    client.send(stop);
    IpcInbound event = next_event(conn.inbound);
    auto* message = std::get_if<IpcInbound::Message>(&event.event);
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(message->message.has_stop_audio());
}

TEST_F(ServerFixture, ReaderStopsAtItsNextEventOnceTheConsumerIsGone) {
    Client client(path);
    {
        ipc::IpcConnection conn = accept();
        client.expect_greeting();
    }
    // The writer is gone; the reader's next event finds no receiver, so it
    // stops and closes the last descriptor of the connection.
    IpcMessage stop;
    stop.mutable_stop_audio();
    client.send(stop);
    char byte = 0;
    EXPECT_EQ(::recv(client.fd(), &byte, 1, 0), 0);
}

TEST_F(ServerFixture, TeardownRemovesTheSocketFile) {
    EXPECT_TRUE(is_socket_file(path));
    Client client(path);
    {
        ipc::IpcConnection conn = accept();
        client.expect_greeting();
    }
    server.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ServerFixture, ClosingWithoutTeardownLeavesTheFile) {
    server->close_leaving_file();
    server.reset();
    EXPECT_TRUE(is_socket_file(path));
}

TEST(IpcServerBind, RefusesBadPathsBeforeTouchingAnyFile) {
    TempDir dir;
    const std::string base = dir.path() + "/";
    struct Case {
        std::string path;
        const char* error;
    };
    const Case cases[] = {
        {"", "socket path is empty"},
        {base + std::string(108 - base.size(), 'a'),
         "socket path too long: 108 bytes, at most 107"},
        {base + std::string("a\0b", 3), "socket path contains a NUL byte"},
        {base + "missing/modem.sock", "No such file or directory"},
    };
    for (const auto& c : cases) {
        auto bound = ipc::IpcServer::bind(c.path);
        ASSERT_FALSE(bound.ok()) << c.path;
        EXPECT_NE(bound.error_text().find(c.error), std::string::npos) << bound.error_text();
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(IpcServerBind, LongestPathBindsAndAnOccupiedPathFails) {
    TempDir dir;
    const std::string base = dir.path() + "/";
    const std::string longest = base + std::string(107 - base.size(), 'a');
    {
        auto bound = ipc::IpcServer::bind(longest);
        ASSERT_TRUE(bound.ok()) << bound.error_text();
        EXPECT_TRUE(is_socket_file(longest));

        auto again = ipc::IpcServer::bind(longest);
        ASSERT_FALSE(again.ok());
        EXPECT_NE(again.error_text().find("Address already in use"), std::string::npos)
            << again.error_text();
    }
    EXPECT_FALSE(std::filesystem::exists(longest));
}

}  // namespace
