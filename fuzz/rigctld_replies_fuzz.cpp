// The rig-control daemon's replies: the input as the bytes a daemon sends,
// read line by line through the driver's line reader over a real socket, and
// each line read as a report. The lines must be the input cut at its
// newlines, each valid UTF-8 and shorter than the limit, and a report's code
// must read back the same however it is written.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "fuzz_support.h"
#include "ipc/socket_stream.h"
#include "ipc/utf8.h"
#include "tx/ptt_rigctld.h"

namespace {

// Within what a local socket holds before a write would wait.
constexpr size_t kMaxInput = 65536;

void check_report(std::string_view line) {
    const int32_t code = ptt_rigctld::parse_rprt(line);
    FUZZ_CHECK(ptt_rigctld::parse_rprt(" \t" + std::string(line) + "\r\n") == code);
    if (code == ptt_rigctld::kMalformedReport) return;
    FUZZ_CHECK(ptt_rigctld::parse_rprt(fmt::format("RPRT {}", code)) == code);
    FUZZ_CHECK(ptt_rigctld::parse_rprt(fmt::format("RPRT {:+}", code)) == code);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data),
                                 size < kMaxInput ? size : kMaxInput);
    check_report(input);

    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    ipc::UniqueFd daemon(fds[1]);
    FUZZ_CHECK(::fcntl(daemon.get(), F_SETFL, O_NONBLOCK) == 0);
    for (size_t done = 0; done < input.size();) {
        const ssize_t n =
            ::send(daemon.get(), input.data() + done, input.size() - done, MSG_NOSIGNAL);
        FUZZ_CHECK(n > 0);
        done += static_cast<size_t>(n);
    }
    FUZZ_CHECK(::shutdown(daemon.get(), SHUT_WR) == 0);

    // The bytes and their end are already there, so no read waits; the bound
    // only has to outlast a process starved of CPU between its clock and poll.
    ptt_rigctld::LineReader reader(ipc::UniqueFd(fds[0]), std::chrono::seconds(60));
    size_t pos = 0;
    for (;;) {
        auto line = reader.read_line();
        const std::string_view rest = input.substr(pos);
        const size_t newline = rest.find('\n');
        const size_t content = newline == std::string_view::npos ? rest.size() : newline;
        if (!line) {
            // Only an overlong or ill-formed line ends the reading early.
            const std::string_view whole = rest.substr(0, content + 1);
            FUZZ_CHECK(content >= ptt_rigctld::kMaxLineBytes || !ipc::utf8::is_valid(whole));
            break;
        }
        FUZZ_CHECK(rest.starts_with(*line));
        if (line->empty()) {
            FUZZ_CHECK(rest.empty());
            break;
        }
        FUZZ_CHECK(line->size() == (newline == std::string_view::npos ? rest.size() : content + 1));
        FUZZ_CHECK(content < ptt_rigctld::kMaxLineBytes && ipc::utf8::is_valid(*line));
        check_report(*line);
        pos += line->size();
    }
    return 0;
}
