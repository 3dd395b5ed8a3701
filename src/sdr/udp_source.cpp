#include "sdr/udp_source.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/source_thread.h"
#include "wavio.h"

namespace sdr {

namespace {

// The port text after the last colon: digits with one leading "+" allowed, at
// most 65535.
std::optional<uint16_t> parse_port(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint32_t port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + static_cast<uint32_t>(c - '0');
        if (port > 65535) return std::nullopt;
    }
    return static_cast<uint16_t>(port);
}

struct AddrinfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// A UDP socket bound to the first address of `host`:`port` that binds, or the
// text of the last failure.
Result<ipc::UniqueFd> bind_udp(const std::string& host, uint16_t port) {
    // The brackets of an IPv6 literal belong to the address text, not the lookup.
    std::string lookup = host;
    if (lookup.size() >= 2 && lookup.front() == '[' && lookup.back() == ']') {
        lookup = lookup.substr(1, lookup.size() - 2);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    int looked = ::getaddrinfo(lookup.c_str(), service.c_str(), &hints, &found);
    if (looked != 0) {
        return Error{looked == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(looked)};
    }
    std::unique_ptr<addrinfo, AddrinfoFree> list(found);

    int last_error = EADDRNOTAVAIL;
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        ipc::UniqueFd socket(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!socket.valid()) {
            last_error = errno;
            continue;
        }
        if (::bind(socket.get(), a->ai_addr, a->ai_addrlen) == 0) return socket;
        last_error = errno;
    }
    return Error{std::strerror(last_error)};
}

}  // namespace

audio::SampleBlock datagram_samples(std::span<const uint8_t> bytes, bool floats) {
    if (floats) {
        audio::SampleBlock block(bytes.size() / 4);
        for (std::size_t i = 0; i < block.size(); ++i) {
            float sample;
            std::memcpy(&sample, bytes.data() + 4 * i, sizeof sample);
            block[i] = wavio::float_sample_to_i16(sample);
        }
        return block;
    }
    audio::SampleBlock block(bytes.size() / 2);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<int16_t>(
            static_cast<uint16_t>(bytes[2 * i] | (static_cast<unsigned>(bytes[2 * i + 1]) << 8)));
    }
    return block;
}

UdpSourceConfig parse_config(std::string_view device_name, uint32_t sample_rate,
                             std::string_view format) {
    UdpSourceConfig config;
    config.format = format.empty() ? "s16le" : std::string(format);
    config.rate = sample_rate;
    std::size_t colon = device_name.rfind(':');
    if (colon == std::string_view::npos) {
        config.host = "127.0.0.1";
        return config;
    }
    config.host = std::string(device_name.substr(0, colon));
    config.port = parse_port(device_name.substr(colon + 1)).value_or(kDefaultPort);
    return config;
}

void recv_loop(ipc::UniqueFd socket, audio::CaptureSender sender, const std::atomic<bool>& stop,
               bool floats) {
    std::vector<uint8_t> buffer(kDatagramBytes);
    while (!stop.load(std::memory_order_relaxed)) {
        ssize_t got = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT || errno == EINTR) {
                continue;
            }
            return;
        }
        audio::SampleBlock block =
            datagram_samples(std::span(buffer).first(static_cast<std::size_t>(got)), floats);
        if (block.empty()) continue;
        if (sender.send(std::move(block), stop) != audio::SendResult::Sent) return;
    }
}

Result<audio::AudioSource> spawn(const UdpSourceConfig& config, audio::CaptureSender sender) {
    const std::string address = config.host + ":" + std::to_string(config.port);
    auto socket = bind_udp(config.host, config.port);
    if (!socket) return socket.error().with_context("bind UDP " + address);

    timeval timeout{};
    timeout.tv_usec = 100 * 1000;
    if (::setsockopt(socket->get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        return make_error("set_read_timeout: {}", std::strerror(errno));
    }

    const bool floats = config.format == "f32" || config.format == "f32le";
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto thread = audio::start_source_thread(
        "audio-sdr-udp",
        [socket = std::move(*socket), sender = std::move(sender), stop, floats]() mutable {
            recv_loop(std::move(socket), std::move(sender), *stop, floats);
        });
    if (!thread) return thread.error().with_context("spawn UDP thread");
    return audio::AudioSource(std::move(stop), std::move(*thread), config.rate);
}

}  // namespace sdr
