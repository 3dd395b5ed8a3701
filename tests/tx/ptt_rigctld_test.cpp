#include "tx/ptt_rigctld.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "support/allocation_failure.h"
#include "support/eventually.h"
#include "support/loopback_tcp.h"
#include "support/rigctld_daemon.h"
#include "support/scripted_line_server.h"
#include "support/stderr_capture.h"
#include "tx/ptt.h"

namespace {

using namespace std::chrono_literals;
using ptt_rigctld::RigctldPtt;
using ptt_rigctld::Timings;
using test_support::LineClient;
using test_support::RigctldDaemon;
using test_support::StderrCapture;
using Server = test_support::ScriptedLineServer;
using Reply = Server::Reply;
using Lines = std::vector<std::string>;

// No keepalive probe unless a test asks for one, short safety pauses.
Timings quiet_timings() {
    Timings t;
    t.keepalive_up = 60s;
    t.keepalive_down = 60s;
    t.retry_pause = 20ms;
    return t;
}

// For peers that are meant to time out.
Timings short_timings() {
    Timings t = quiet_timings();
    t.connect = 300ms;
    t.probe = 300ms;
    t.io = 250ms;
    return t;
}

std::unique_ptr<RigctldPtt> connect_ok(const std::string& addr, const Timings& timings) {
    auto connected = RigctldPtt::connect(addr, timings);
    EXPECT_TRUE(connected.ok()) << connected.error_text();
    return connected.ok() ? std::move(connected).value() : nullptr;
}

std::string refused(const std::string& addr) {
    return fmt::format("rigctld ptt: connect '{}': Connection refused (os error 111)", addr);
}

// The five lines of an unkey whose every attempt failed: `first` the initial
// attempt's error, `each` every safety retry's; the retry pause is 20 ms.
Lines panic_lines(const std::string& addr, const std::string& first, const std::string& each) {
    return {
        "quillmar-modem: rigctld: unkey failed (initial+reconnect): " + first +
            "; starting 3-attempt safety retry at 20ms spacing",
        "quillmar-modem: rigctld: unkey safety retry 1/3 failed: " + each,
        "quillmar-modem: rigctld: unkey safety retry 2/3 failed: " + each,
        "quillmar-modem: rigctld: unkey safety retry 3/3 failed: " + each,
        "quillmar-modem: rigctld: PANIC-UNKEY for '" + addr +
            "' \u2014 closed socket after 3 safety retries; radio may still be keyed, last "
            "error: " +
            each,
    };
}

std::string keepalive_down_line(const std::string& addr, const std::string& error) {
    return "quillmar-modem: rigctld keepalive: up \u2192 down for '" + addr + "': " + error;
}

// The commands `server` saw with text `text`, as their connections.
std::vector<int> connections_of(const Server& server, const std::string& text) {
    std::vector<int> found;
    for (const auto& c : server.commands()) {
        if (c.text == text) found.push_back(c.connection);
    }
    return found;
}

// How many threads of this process carry `name`.
int threads_named(const std::string& name) {
    int count = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    while (const dirent* task = ::readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + task->d_name + "/comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++count;
    }
    ::closedir(tasks);
    return count;
}

// --- Report lines ------------------------------------------------------------

TEST(ParseRprt, AcceptsExactlyOneSignedThirtyTwoBitCode) {
    const struct {
        std::string line;
        int32_t code;
    } cases[] = {
        {"RPRT 0", 0},
        {"RPRT +0", 0},
        {"RPRT -0", 0},
        {"RPRT -1", -1},
        {"RPRT 12", 12},
        {"RPRT 2147483647", 2147483647},
        {"RPRT -2147483648", -2147483647 - 1},
        {"RPRT 2147483648", -9999},
        {"RPRT -2147483649", -9999},
        {"RPRT 99999999999999999999", -9999},
        {" \tRPRT -11\r\n", -11},
        {"RPRT 0\n", 0},
        {"RPRT", -9999},
        {"RPRT ", -9999},
        {"RPRT  1", -9999},
        {"RPRT\t1", -9999},
        {"RPRT -", -9999},
        {"RPRT +-1", -9999},
        {"RPRT 1x", -9999},
        {"RPRT 1 2", -9999},
        {"rprt 0", -9999},
        {"XRPRT 0", -9999},
        {"", -9999},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ptt_rigctld::parse_rprt(c.line), c.code) << "'" << c.line << "'";
    }
}

// --- The real daemon ---------------------------------------------------------

TEST(RigctldPtt, RealDaemonKeysUnkeysRidesARestartAndPanicsWhenItIsGone) {
    RigctldDaemon daemon;
    const std::string addr = daemon.address();
    auto side = std::make_unique<LineClient>(daemon.port());
    ASSERT_EQ(side->command("T 1\n"), "RPRT 0");
    ASSERT_EQ(side->command("t\n"), "1");

    StderrCapture capture;
    auto driver = connect_ok(addr, quiet_timings());
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(side->command("t\n"), "0") << "the connect sequence unkeys a keyed radio";
    ASSERT_TRUE(driver->key().ok());
    EXPECT_EQ(side->command("t\n"), "1");
    ASSERT_TRUE(driver->unkey().ok());
    EXPECT_EQ(side->command("t\n"), "0");

    daemon.kill(SIGTERM);
    daemon.restart();
    Status keyed = driver->key();
    EXPECT_TRUE(keyed.ok()) << keyed.error_text();
    side = std::make_unique<LineClient>(daemon.port());
    EXPECT_EQ(side->command("t\n"), "1");
    EXPECT_EQ(capture.flushed_lines(), Lines{}) << "one reconnect, nothing logged";

    daemon.kill(SIGKILL);
    Status unkeyed = driver->unkey();
    const std::string each = refused(addr) + "; reconnect: " + refused(addr);
    EXPECT_EQ(unkeyed.error_text(),
              "rigctld ptt: panic-unkey, socket closed after 3 retries: " + each);
    EXPECT_EQ(capture.flushed_lines(),
              panic_lines(addr, "read: peer closed connection; reconnect: " + refused(addr), each));

    // A daemon back in time takes the release's unkey without a line.
    daemon.restart();
    driver.reset();
    EXPECT_EQ(capture.flushed_lines().size(), 5u);
}

TEST(RigctldKeepalive, RealDaemonKilledGoesDownAndRestartedComesBackUp) {
    RigctldDaemon daemon;
    const std::string addr = daemon.address();
    StderrCapture capture;
    Timings t = quiet_timings();
    t.keepalive_up = 50ms;
    t.keepalive_down = 50ms;
    auto driver = connect_ok(addr, t);
    ASSERT_NE(driver, nullptr);

    daemon.kill(SIGKILL);
    EXPECT_TRUE(capture.wait_for_line_starting(keepalive_down_line(addr, "")));
    daemon.restart();
    EXPECT_TRUE(capture.wait_for_line("quillmar-modem: rigctld keepalive: down \u2192 up for '" +
                                      addr + "'"));

    Status keyed = driver->key();
    EXPECT_TRUE(keyed.ok()) << keyed.error_text();
    LineClient side(daemon.port());
    EXPECT_EQ(side.command("t\n"), "1");
    driver.reset();
    EXPECT_EQ(side.command("t\n"), "0") << "the release unkeys";
    EXPECT_EQ(capture.flushed_lines().size(), 2u);
}

TEST(RigctldPtt, HungDaemonEndsInPanicAndItsQueuedUnkeyLandsOnceItRuns) {
    RigctldDaemon daemon;
    LineClient side(daemon.port());
    StderrCapture capture;
    Timings t = short_timings();
    t.probe = 1s;
    auto driver = connect_ok(daemon.address(), t);
    ASSERT_NE(driver, nullptr);
    ASSERT_TRUE(driver->key().ok());
    EXPECT_EQ(side.command("t\n"), "1");

    daemon.stop();
    Status unkeyed = driver->unkey();
    EXPECT_TRUE(unkeyed.error_text().starts_with(
        "rigctld ptt: panic-unkey, socket closed after 3 retries: "))
        << unkeyed.error_text();
    const Lines lines = capture.flushed_lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(
        lines[0].starts_with("quillmar-modem: rigctld: unkey failed (initial+reconnect): "));
    EXPECT_TRUE(lines[4].starts_with("quillmar-modem: rigctld: PANIC-UNKEY for '"));

    daemon.cont();
    EXPECT_TRUE(test_support::eventually([&] { return side.command("t\n") == "0"; }));
}

TEST(PortRegistry, BuildsRigctldDriversThatKeyTheRealDaemonAndUnkeyOnRelease) {
    RigctldDaemon daemon;
    LineClient side(daemon.port());
    ASSERT_EQ(side.command("T 1\n"), "RPRT 0");
    ptt::PortRegistry registry;
    ipc::proto::ConfigurePtt config;
    config.set_method("rigctld");
    config.set_device(daemon.address());
    auto built = registry.build_driver(config);
    ASSERT_TRUE(built.ok()) << built.error_text();
    std::unique_ptr<ptt::PttDriver> driver = std::move(built).value();
    EXPECT_EQ(side.command("t\n"), "0") << "built unkeyed";
    ASSERT_TRUE(driver->key().ok());
    EXPECT_EQ(side.command("t\n"), "1");
    driver.reset();
    EXPECT_EQ(side.command("t\n"), "0") << "the release unkeys";
}

// --- Addresses ---------------------------------------------------------------

TEST(RigctldPtt, ClosedPortReturnsTheConnectErrorWithoutAnUnkey) {
    // Bound and never listening: every connect is refused, and no one else
    // can take the port meanwhile. Nothing was keyed, so nothing is released.
    ipc::UniqueFd holder = test_support::bind_loopback(0, -1);
    ASSERT_TRUE(holder.valid());
    const std::string addr = "127.0.0.1:" + std::to_string(test_support::port_of(holder.get()));
    StderrCapture capture;
    auto connected = RigctldPtt::connect(addr, quiet_timings());
    ASSERT_FALSE(connected.ok());
    EXPECT_EQ(connected.error_text(), refused(addr));
    EXPECT_EQ(capture.flushed_lines(), Lines{});
}

TEST(RigctldPtt, AddressesThatCannotBeResolvedFailWithoutAnUnkey) {
    const struct {
        std::string addr;
        std::string detail;  // after "rigctld ptt: resolve '{addr}': "
    } cases[] = {
        {"127.0.0.1", "invalid socket address"},
        {"127.0.0.1:", "invalid port value"},
        {"127.0.0.1:http", "invalid port value"},
        {"127.0.0.1:65536", "invalid port value"},
        {"127.0.0.1:-1", "invalid port value"},
        {"127.0.0.1:+80", "invalid port value"},
        {"127.0.0.1: 80", "invalid port value"},
        {std::string("127.0.0.1\0:80", 13), "address contains a NUL byte"},
        {":4532", "Name or service not known"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        StderrCapture capture;
        auto connected = RigctldPtt::connect(c.addr, quiet_timings());
        ASSERT_FALSE(connected.ok());
        EXPECT_EQ(connected.error_text(), "rigctld ptt: resolve '" + c.addr + "': " + c.detail);
        EXPECT_EQ(capture.stop(), Lines{});
    }
    EXPECT_EQ(RigctldPtt::connect("", quiet_timings()).error_text(),
              "rigctld ptt: address is empty");
}

TEST(RigctldPtt, HostAndPortSplitAtTheLastColon) {
    const auto answer = [](int, const std::string& command) {
        return Server::line(command == "t" ? "0" : "RPRT 0");
    };
    Server v4(answer);
    Server v6(answer, {.ipv6 = true});
    const std::string p4 = std::to_string(v4.port());
    const std::string p6 = std::to_string(v6.port());
    const struct {
        std::string addr;
        const Server* server;
    } cases[] = {
        {"127.0.0.1:" + p4, &v4}, {"localhost:" + p4, &v4}, {"127.0.0.1:000" + p4, &v4},
        {"[::1]:" + p6, &v6},     {"::1:" + p6, &v6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        const size_t before = c.server->commands().size();
        auto driver = connect_ok(c.addr, quiet_timings());
        ASSERT_NE(driver, nullptr);
        const auto commands = c.server->commands();
        ASSERT_EQ(commands.size(), before + 2);
        EXPECT_EQ(commands[before].text, "t");
        EXPECT_EQ(commands[before + 1].text, "T 0");
    }
}

// --- Scripted replies --------------------------------------------------------

TEST(RigctldPtt, ProbeAcceptsOnlyAStateAndOnlyAnAcceptedDaemonIsSentAnUnkey) {
    const struct {
        std::string name;
        Reply reply;        // to the first "t"
        std::string error;  // empty: accepted
    } cases[] = {
        {"0", Server::line("0"), ""},
        {"1", Server::line("1"), ""},
        {"blanks", Server::line(" 1\r"), ""},
        {"code", Server::line("RPRT -11"),
         "rigctld ptt: probe: hamlib error code -11 (see `rigctl --list`)"},
        {"success report", Server::line("RPRT 0"),
         "rigctld ptt: probe: expected '0' or '1', got 'RPRT 0'"},
        {"bad code", Server::line("RPRT x"),
         "rigctld ptt: probe: expected '0' or '1', got 'RPRT x'"},
        {"word", Server::line("hello"), "rigctld ptt: probe: expected '0' or '1', got 'hello'"},
        {"other state", Server::line("  2 \t"), "rigctld ptt: probe: expected '0' or '1', got '2'"},
        {"close", Server::close(), "read: peer closed connection"},
        {"silence", Server::silence(), "read: Resource temporarily unavailable (os error 11)"},
        {"not utf-8", Server::line("\xff"), "read: stream did not contain valid UTF-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Server server([&](int connection, const std::string& command) {
            if (command == "t" && connection == 1) return c.reply;
            return Server::line(command == "t" ? "0" : "RPRT 0");
        });
        StderrCapture capture;
        auto connected = RigctldPtt::connect(server.address(), short_timings());
        if (c.error.empty()) {
            ASSERT_TRUE(connected.ok()) << connected.error_text();
        } else {
            ASSERT_FALSE(connected.ok());
            EXPECT_EQ(connected.error_text(), c.error);
        }
        // An accepted daemon was sent the initial unkey before connect
        // returned; a refused one only the probe, nothing keyed, nothing
        // released.
        std::vector<std::string> sent;
        for (const auto& command : server.commands()) sent.push_back(command.text);
        EXPECT_EQ(sent, c.error.empty() ? (Lines{"t", "T 0"}) : (Lines{"t"}));
        EXPECT_EQ(capture.stop(), Lines{});
    }
}

TEST(RigctldPtt, KeyRetriesTransportFailuresOnceAndDaemonErrorsNever) {
    const std::string longest = "RPRT " + std::string(8186, '0');  // 8191 bytes before the newline
    const struct {
        std::string name;
        Reply reply;  // to every "T 1"
        std::string error;
        size_t keys;  // "T 1" commands sent
    } cases[] = {
        {"success", Server::line("RPRT 0"), "", 1},
        {"code", Server::line("RPRT -9"), "rigctld ptt: hamlib error code -9", 1},
        {"malformed", Server::line("RPRT x"), "rigctld ptt: hamlib error code -9999", 1},
        {"longest line", Server::line(longest), "", 1},
        {"close", Server::close(), "rigctld ptt: read: peer closed connection", 2},
        {"silence", Server::silence(),
         "rigctld ptt: read: Resource temporarily unavailable (os error 11)", 2},
        {"not utf-8", Server::line("\xc3\x28"),
         "rigctld ptt: read: stream did not contain valid UTF-8", 2},
        {"line too long", Server::line(longest + "0"),
         "rigctld ptt: read: line longer than 8192 bytes", 2},
        {"endless", Server::endless(), "rigctld ptt: read: line longer than 8192 bytes", 2},
        // Each byte well inside the timeout, the whole line not.
        {"trickle", Server::trickle("RPRT 0"),
         "rigctld ptt: read: Resource temporarily unavailable (os error 11)", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Server server([&](int, const std::string& command) {
            if (command == "T 1") return c.reply;
            return Server::line(command == "t" ? "0" : "RPRT 0");
        });
        StderrCapture capture;
        auto driver = connect_ok(server.address(), short_timings());
        ASSERT_NE(driver, nullptr);
        Status keyed = driver->key();
        if (c.error.empty()) {
            EXPECT_TRUE(keyed.ok()) << keyed.error_text();
        } else {
            EXPECT_EQ(keyed.error_text(), c.error);
        }
        const std::vector<int> keys = connections_of(server, "T 1");
        ASSERT_EQ(keys.size(), c.keys);
        EXPECT_EQ(keys.front(), 1);
        if (keys.size() == 2) {
            EXPECT_EQ(keys[1], 2) << "the retry goes over a new connection";
        }

        // The unkey that follows a failed key still reaches the radio.
        Status unkeyed = driver->unkey();
        EXPECT_TRUE(unkeyed.ok()) << unkeyed.error_text();
        EXPECT_EQ(server.commands().back().text, "T 0");
        EXPECT_EQ(capture.stop(), Lines{});
    }
}

TEST(RigctldPtt, AReplyAfterItsTimeoutIsNeverTakenForTheNextCommands) {
    std::atomic<bool> refuse_unkeys{false};
    Server server([&](int, const std::string& command) {
        if (command == "t") return Server::line("0");
        if (command == "T 1") return Server::late("RPRT 0");
        return Server::line(refuse_unkeys ? "RPRT -5" : "RPRT 0");
    });
    StderrCapture capture;
    auto driver = connect_ok(server.address(), short_timings());
    ASSERT_NE(driver, nullptr);
    refuse_unkeys = true;
    EXPECT_EQ(driver->set_ptt(true).error_text(),
              "rigctld ptt: read: Resource temporarily unavailable (os error 11)");
    // The key's late "RPRT 0" arrives meanwhile; it must not pass for the
    // unkey's report.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(driver->set_ptt(false).error_text(), "rigctld ptt: hamlib error code -5");
    refuse_unkeys = false;
    driver.reset();
    EXPECT_EQ(capture.stop(), Lines{});
}

TEST(RigctldPtt, UnkeyRetriesOverNewConnectionsUntilItRecoversOrPanics) {
    const std::string code = "rigctld ptt: hamlib error code -1";
    const std::string failed =
        "quillmar-modem: rigctld: unkey failed (initial+reconnect): " + code +
        "; starting 3-attempt safety retry at 20ms spacing";
    const auto retry_failed = [&](int i) {
        return fmt::format("quillmar-modem: rigctld: unkey safety retry {}/3 failed: {}", i, code);
    };
    const auto recovered = [](int i) {
        return fmt::format("quillmar-modem: rigctld: unkey recovered on safety retry {}", i);
    };
    const struct {
        int refusals;  // "T 0" answered "RPRT -1" before one is taken
        Lines lines;
        std::string error;
    } cases[] = {
        {0, {}, ""},
        {1, {failed, recovered(1)}, ""},
        {3, {failed, retry_failed(1), retry_failed(2), recovered(3)}, ""},
        {4, {}, "rigctld ptt: panic-unkey, socket closed after 3 retries: " + code},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusals);
        std::atomic<int> refusals{0};
        Server server([&](int, const std::string& command) {
            if (command == "t") return Server::line("0");
            if (command == "T 0" && refusals.fetch_sub(1) > 0) return Server::line("RPRT -1");
            return Server::line("RPRT 0");
        });
        StderrCapture capture;
        auto driver = connect_ok(server.address(), quiet_timings());
        ASSERT_NE(driver, nullptr);
        ASSERT_TRUE(driver->key().ok());
        const size_t before = server.commands().size();
        refusals = c.refusals;
        Status unkeyed = driver->unkey();
        const Lines expected =
            c.error.empty() ? c.lines : panic_lines(server.address(), code, code);
        EXPECT_EQ(capture.flushed_lines(), expected);
        if (c.error.empty()) {
            EXPECT_TRUE(unkeyed.ok()) << unkeyed.error_text();
        } else {
            EXPECT_EQ(unkeyed.error_text(), c.error);
        }
        // A daemon error is not retried on its connection; each safety retry
        // opens a new one.
        std::vector<int> unkeys;
        const auto commands = server.commands();
        for (size_t i = before; i < commands.size(); ++i) unkeys.push_back(commands[i].connection);
        const size_t attempts = static_cast<size_t>(std::min(c.refusals + 1, 4));
        ASSERT_EQ(unkeys.size(), attempts);
        for (size_t i = 0; i < attempts; ++i) EXPECT_EQ(unkeys[i], static_cast<int>(i + 1));
    }
}

// After a panic the keepalive pays the owed unkey when a probe finds the
// radio keyed, over its own connection.
TEST(RigctldKeepalive, PaysAnOwedUnkeyWhenAProbeFindsTheRadioKeyed) {
    const struct {
        std::string name;
        std::string state;      // what the keepalive's probes read
        bool key_after_panic;   // a transmission starts before the first probe
        Lines payment_replies;  // to its "T 0"s, in order, then "RPRT 0"
        size_t payments;        // "T 0"s it sends
        bool paid;              // the owed-unkey line
    } cases[] = {
        {"keyed", "1", false, {"RPRT 0"}, 1, true},
        {"not confirmed at first", "1", false, {"RPRT -1", "RPRT 0"}, 2, true},
        {"unkeyed", "0", false, {}, 0, false},
        {"keyed anew", "1", true, {}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::mutex lock;
        std::set<int> keepalive;  // connections whose first command was a later "t"
        size_t paid_replies = 0;
        std::atomic<int> driver_refusals{0};
        Server server([&](int connection, const std::string& command) {
            std::lock_guard<std::mutex> guard(lock);
            if (command == "t") {
                if (connection == 1) return Server::line("0");
                keepalive.insert(connection);
                return Server::line(c.state);
            }
            if (command == "T 0" && keepalive.count(connection) != 0) {
                const size_t i = paid_replies++;
                return Server::line(i < c.payment_replies.size() ? c.payment_replies[i] : "RPRT 0");
            }
            if (command == "T 0" && driver_refusals.fetch_sub(1) > 0)
                return Server::line("RPRT -1");
            return Server::line("RPRT 0");
        });
        const std::string addr = server.address();
        const auto keepalive_commands = [&](const std::string& text) {
            std::lock_guard<std::mutex> guard(lock);
            size_t n = 0;
            for (const auto& cmd : server.commands()) {
                if (cmd.text == text && keepalive.count(cmd.connection) != 0) ++n;
            }
            return n;
        };

        StderrCapture capture;
        Timings t = quiet_timings();
        t.keepalive_down = c.key_after_panic ? 500ms : 50ms;
        auto driver = connect_ok(addr, t);
        ASSERT_NE(driver, nullptr);
        ASSERT_TRUE(driver->key().ok());
        driver_refusals = 4;
        ASSERT_FALSE(driver->unkey().ok());
        if (c.key_after_panic) {
            ASSERT_TRUE(driver->key().ok());
        }

        const std::string paid_line =
            "quillmar-modem: rigctld keepalive: owed unkey sent for '" + addr + "'";
        if (c.paid) {
            EXPECT_TRUE(capture.wait_for_line(paid_line));
        } else if (c.key_after_panic) {
            // The key cleared the mark: the keepalive is back to its long wait.
            std::this_thread::sleep_for(1s);
            EXPECT_EQ(keepalive_commands("t"), 0u);
        } else {
            ASSERT_TRUE(test_support::eventually([&] { return keepalive_commands("t") > 0; }));
            // The mark is cleared: no unkey, and no more short waits.
            std::this_thread::sleep_for(300ms);
            EXPECT_EQ(keepalive_commands("t"), 1u);
        }
        EXPECT_EQ(keepalive_commands("T 0"), c.payments);
        const Lines lines = capture.flushed_lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), paid_line), c.paid ? 1 : 0);
        driver.reset();
    }
}

TEST(RigctldKeepalive, AFailedProbeLogsTheLinkDownAndTheNextKeyReconnects) {
    const struct {
        std::string name;
        Reply reply;  // to the keepalive's probe
        std::string error;
    } cases[] = {
        {"code", Server::line("RPRT -11"), "hamlib error code -11"},
        {"state", Server::line("2"), "unexpected state line '2'"},
        {"success report", Server::line("RPRT 0"), "unexpected state line 'RPRT 0'"},
        {"close", Server::close(), "peer closed connection"},
        {"silence", Server::silence(),
         "read state: Resource temporarily unavailable (os error 11)"},
        {"endless", Server::endless(), "read state: line longer than 8192 bytes"},
        {"not utf-8", Server::line("\xff"), "read state: stream did not contain valid UTF-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Server server([&](int connection, const std::string& command) {
            if (command == "t") return connection == 1 ? Server::line("0") : c.reply;
            return Server::line("RPRT 0");
        });
        StderrCapture capture;
        Timings t = short_timings();
        t.keepalive_up = 50ms;
        auto driver = connect_ok(server.address(), t);
        ASSERT_NE(driver, nullptr);
        EXPECT_TRUE(capture.wait_for_line(keepalive_down_line(server.address(), c.error)));

        ASSERT_TRUE(driver->key().ok());
        const std::vector<int> keys = connections_of(server, "T 1");
        ASSERT_EQ(keys.size(), 1u);
        EXPECT_GT(keys[0], 2) << "the key reconnects before sending";
        driver.reset();
        EXPECT_EQ(capture.stop().size(), 1u);
    }
}

TEST(RigctldKeepalive, AThreadOutOfMemoryEndsWithoutEndingTheProcessAndTheReleaseStillUnkeys) {
    // Every allocation of the keepalive thread fails, the report of its end
    // included: the thread ends alone, and the driver goes on.
    Server server([](int, const std::string& command) {
        return Server::line(command == "t" ? "0" : "RPRT 0");
    });
    StderrCapture capture;
    Timings t = quiet_timings();
    t.keepalive_up = 50ms;
    test_support::fail_allocations("quillmar-rigctl", -1);
    auto driver = connect_ok(server.address(), t);
    ASSERT_NE(driver, nullptr);
    // It probes, and so fails, only after its first wait.
    EXPECT_TRUE(test_support::eventually([] { return threads_named("quillmar-rigctl") == 1; }));
    EXPECT_TRUE(test_support::eventually([] { return threads_named("quillmar-rigctl") == 0; }));
    test_support::disarm_allocation_failures();
    ASSERT_TRUE(driver->key().ok());
    driver.reset();
    EXPECT_EQ(server.commands().back(), (Server::Command{1, "T 0"}));
    EXPECT_EQ(capture.stop(), Lines{});
}

// --- Release -----------------------------------------------------------------

TEST(RigctldPtt, ReleaseLetsAKeepaliveHungInAConnectGoAndStillUnkeys) {
    // Backlog 0, one connection accepted: once a second one waits in the
    // queue, further connects hang.
    Server server(
        [](int, const std::string& command) {
            return Server::line(command == "t" ? "0" : "RPRT 0");
        },
        {.backlog = 0, .accept_limit = 1});
    StderrCapture capture;
    Timings t = quiet_timings();
    t.connect = 2s;
    t.keepalive_up = 300ms;
    auto driver = connect_ok(server.address(), t);
    ASSERT_NE(driver, nullptr);
    ipc::UniqueFd queued = test_support::connect_loopback(server.port(), 2s);
    ASSERT_TRUE(queued.valid());
    ASSERT_TRUE(driver->key().ok());
    ASSERT_TRUE(test_support::eventually(
        [&] { return test_support::connect_in_progress_to(server.port()); }));
    EXPECT_EQ(threads_named("quillmar-rigctl"), 1);

    const auto start = std::chrono::steady_clock::now();
    driver.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 1500ms) << "the release does not wait for the connect";
    const auto commands = server.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), (Server::Command{1, "T 0"}))
        << "unkeyed over the command connection";

    // Outlive the let-go thread: it ends after its connect times out.
    EXPECT_TRUE(test_support::eventually([] { return threads_named("quillmar-rigctl") == 0; }));
    EXPECT_TRUE(capture.wait_for_line(keepalive_down_line(
        server.address(),
        "connect '" + server.address() + "': Connection timed out (os error 110)")));
}

}  // namespace
