// Writes a recording of generated 1200-baud AFSK frames for the end-to-end
// tests, which have no FLAC encoder of their own:
//
//   quillmar_make_recording OUT FORMAT RATE CHANNELS ON FRAMES SECONDS
//
// FORMAT "raw" (signed 16-bit little-endian, interleaved) or "flac"; the
// frames of afsk_recording.h at RATE Hz on channel ON of CHANNELS (the others
// silent), then silence up to SECONDS in all. Prints each frame's payload in
// hexadecimal, one line per frame.
//
//   quillmar_make_recording OUT flac-silence RATE BYTES
//
// writes mono compressed silence at RATE Hz, frame by frame, until the file
// holds at least BYTES.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/afsk_recording.h"
#include "support/flac_file.h"

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[2]) == "flac-silence") {
        test_support::write_flac_silence(argv[1], static_cast<uint32_t>(std::stoul(argv[3])),
                                         std::stoull(argv[4]));
        return 0;
    }
    if (argc != 8) {
        std::fprintf(stderr,
                     "usage: %s OUT raw|flac RATE CHANNELS ON FRAMES SECONDS\n"
                     "       %s OUT flac-silence RATE BYTES\n",
                     argv[0], argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    const std::string format = argv[2];
    test_support::RecordingPlan plan;
    plan.sample_rate = static_cast<uint32_t>(std::stoul(argv[3]));
    const size_t channels = std::stoul(argv[4]);
    const size_t on = std::stoul(argv[5]);
    plan.frames = std::stoul(argv[6]);
    const double seconds = std::stod(argv[7]);

    std::vector<int16_t> mono = test_support::afsk_recording(plan);
    const size_t total = static_cast<size_t>(seconds * plan.sample_rate);
    if (mono.size() < total) mono.resize(total, 0);
    std::vector<int32_t> interleaved(mono.size() * channels, 0);
    for (size_t i = 0; i < mono.size(); ++i) interleaved[i * channels + on] = mono[i];

    if (format == "flac") {
        test_support::write_flac(out, plan.sample_rate, static_cast<uint32_t>(channels), 16,
                                 interleaved);
    } else {
        std::ofstream file(out, std::ios::binary);
        for (int32_t s : interleaved) {
            const auto u = static_cast<uint16_t>(static_cast<int16_t>(s));
            const char bytes[2] = {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
            file.write(bytes, 2);
        }
        if (!file) return 1;
    }
    for (size_t i = 0; i < plan.frames; ++i) {
        for (uint8_t b : test_support::recording_frame(i)) std::printf("%02x", b);
        std::printf("\n");
    }
    return 0;
}
