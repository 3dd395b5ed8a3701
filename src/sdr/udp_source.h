#pragma once

// UDP datagrams of raw mono samples as a sample source ("audio-sdr-udp"), as a
// software-defined radio program sends them: each datagram is one block of
// signed 16-bit little-endian samples or 32-bit little-endian floats.

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "audio/sample_queue.h"
#include "ipc/socket_stream.h"
#include "result.h"

namespace sdr {

// The port of a device name that names none (or none that reads).
inline constexpr uint16_t kDefaultPort = 7355;

// Bytes of the largest datagram taken whole; a longer one is cut.
inline constexpr std::size_t kDatagramBytes = 65536;

// What sdr::spawn takes.
struct UdpSourceConfig {
    std::string host;  // local address or name; "[...]" holds an IPv6 literal
    uint16_t port = kDefaultPort;
    std::string format;  // "f32" or "f32le": 32-bit floats; anything else: s16le
    uint32_t rate = 0;   // Hz reported by the source, untested

    bool operator==(const UdpSourceConfig&) const = default;
};

// Reads "host:port" (split at the last colon; the port decimal with one leading
// "+" allowed, else 7355); a name without a colon is 127.0.0.1:7355. An empty
// format becomes "s16le". Never fails.
UdpSourceConfig parse_config(std::string_view device_name, uint32_t sample_rate,
                             std::string_view format);

// The samples of one datagram: 32-bit little-endian floats (brought to 16 bits
// as WAV floats are) when `floats`, else signed 16-bit little-endian; a partial
// sample at the end is dropped.
audio::SampleBlock datagram_samples(std::span<const uint8_t> bytes, bool floats);

// Binds a UDP socket to host:port (each resolved address in turn), sets its
// 100 ms receive timeout and starts "audio-sdr-udp". Errors: "bind UDP
// {host}:{port}: {}", "set_read_timeout: {}", "spawn UDP thread: {}"; on any
// failure `sender` is released and the socket closed.
Result<audio::AudioSource> spawn(const UdpSourceConfig& config, audio::CaptureSender sender);

// The body of "audio-sdr-udp": one block per datagram received on `socket`
// (which has a receive timeout), floats when `floats`, until `stop` is set, the
// receiver goes or a receive fails for another reason than the timeout.
void recv_loop(ipc::UniqueFd socket, audio::CaptureSender sender, const std::atomic<bool>& stop,
               bool floats);

}  // namespace sdr
