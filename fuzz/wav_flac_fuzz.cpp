// Recordings: the input as a WAV file and as a FLAC file, read by the file
// tools' reader and by the FLAC sources' decoder. Beside "no crash" and memory
// bounded by the file, the FLAC outcome must not depend on the channel asked
// for (only which samples come back), and the tools' reader must agree with
// the decoder.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "audio/flac_decode.h"
#include "fuzz_support.h"
#include "wavio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);

    const std::string wav = fuzz::write_scratch("input.wav", bytes);
    if (auto audio = wavio::read_audio_i16(wav)) {
        // At least one byte per sample in the file.
        FUZZ_CHECK(audio->samples.size() <= size);
    }

    const std::string flac = fuzz::write_scratch("input.flac", bytes);
    const audio::FlacResult first = audio::decode_flac(flac, 0);
    const audio::FlacResult second = audio::decode_flac(flac, 1);
    FUZZ_CHECK(first.index() == second.index());
    const auto tools = wavio::read_audio_i16(flac);
    FUZZ_CHECK(tools.ok() == std::holds_alternative<audio::FlacAudio>(first));
    if (const auto* a = std::get_if<audio::FlacAudio>(&first)) {
        const auto& b = std::get<audio::FlacAudio>(second);
        FUZZ_CHECK(a->sample_rate != 0 && a->sample_rate == b.sample_rate);
        // The second channel is there in full, or the file has none.
        FUZZ_CHECK(b.samples.empty() || b.samples.size() == a->samples.size());
        FUZZ_CHECK(tools->samples == a->samples && tools->sample_rate == a->sample_rate);
    } else {
        const auto& e = std::get<audio::FlacError>(first);
        FUZZ_CHECK(e.stage == std::get<audio::FlacError>(second).stage);
        FUZZ_CHECK(e.text == std::get<audio::FlacError>(second).text);
    }
    return 0;
}
