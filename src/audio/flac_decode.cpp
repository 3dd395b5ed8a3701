#include "audio/flac_decode.h"

#include <sys/stat.h>

#include <FLAC++/decoder.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "wavio.h"

namespace audio {

namespace {

// Samples set aside before the data confirms a count that the stream
// information declares (up to 2^36 - 1, only a claim): at most 2^24, and at
// most four per byte of the file, which a file of real audio does not exceed
// (the kept channel of a file that holds more grows as it is decoded).
constexpr uint64_t kMaxReservedSamples = uint64_t{1} << 24;
constexpr uint64_t kReservedSamplesPerByte = 4;

// Collects one channel of a FLAC stream. libFLAC reports data errors only
// through the error callback and goes on decoding, so the first one is kept
// and decides the outcome.
class ChannelReader final : public FLAC::Decoder::File {
public:
    ChannelReader(uint32_t channel, uint64_t file_bytes)
        : channel_(channel), file_bytes_(file_bytes) {}

    std::vector<int16_t> samples;
    std::optional<std::string> error;
    bool have_stream_info = false;
    uint32_t sample_rate = 0;
    uint64_t total_samples = 0;
    uint64_t frames_decoded = 0;  // samples per channel, kept or not

protected:
    void metadata_callback(const ::FLAC__StreamMetadata* metadata) override {
        if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
        const auto& info = metadata->data.stream_info;
        have_stream_info = true;
        sample_rate = info.sample_rate;
        total_samples = info.total_samples;
        // A rate of 0 would divide by zero in every consumer of the samples.
        if (sample_rate == 0) keep_error("FLAC stream declares a sample rate of 0");
        if (info.channels == 1 || channel_ < info.channels) {
            samples.reserve(static_cast<size_t>(std::min(
                {total_samples, kMaxReservedSamples, file_bytes_ * kReservedSamplesPerByte})));
        }
    }

    ::FLAC__StreamDecoderWriteStatus write_callback(const ::FLAC__Frame* frame,
                                                    const FLAC__int32* const buffer[]) override {
        if (error) return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        const unsigned channels = frame->header.channels;
        const unsigned bits = frame->header.bits_per_sample;
        const unsigned blocksize = frame->header.blocksize;
        frames_decoded += blocksize;
        if (channels != 1 && channel_ >= channels)
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        const FLAC__int32* kept = buffer[channels == 1 ? 0 : channel_];
        for (unsigned i = 0; i < blocksize; ++i) {
            samples.push_back(wavio::int_sample_to_i16(kept[i], bits));
        }
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    void error_callback(::FLAC__StreamDecoderErrorStatus status) override {
        keep_error(FLAC__StreamDecoderErrorStatusString[status]);
    }

private:
    void keep_error(const char* text) {
        if (!error) error = text;
    }

    const uint32_t channel_;
    const uint64_t file_bytes_;
};

FlacError failure(FlacStage stage, std::string text) {
    return FlacError{stage, std::move(text)};
}

}  // namespace

FlacResult decode_flac(const std::string& path, uint32_t channel) {
    // Opened here so that a missing file reports the system's own text.
    FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) return failure(FlacStage::Open, std::strerror(errno));
    // fopen accepts a directory, and libFLAC then gives up without a word.
    struct stat st {};
    const bool known = ::fstat(::fileno(file), &st) == 0;
    if (known && S_ISDIR(st.st_mode)) {
        std::fclose(file);
        return failure(FlacStage::Open, std::strerror(EISDIR));
    }
    // A pipe or device has no size to go by; its claim is bounded by the cap alone.
    const uint64_t file_bytes = known && S_ISREG(st.st_mode) && st.st_size > 0
                                    ? static_cast<uint64_t>(st.st_size)
                                    : kMaxReservedSamples;

    auto reader = std::make_unique<ChannelReader>(channel, file_bytes);
    reader->set_md5_checking(false);
    // The decoder takes the FILE once it has checked its own state and
    // callbacks (a later failure, such as running out of memory, leaves it
    // with the decoder, whose finish() closes it); only the two early refusals
    // leave it with us.
    FLAC__StreamDecoderInitStatus init = reader->init(file);
    if (init != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        if (init == FLAC__STREAM_DECODER_INIT_STATUS_ALREADY_INITIALIZED ||
            init == FLAC__STREAM_DECODER_INIT_STATUS_INVALID_CALLBACKS) {
            std::fclose(file);
        }
        return failure(FlacStage::Open, FLAC__StreamDecoderInitStatusString[init]);
    }

    // finish() closes the file on every way out from here.
    struct Finish {
        ChannelReader& reader;
        ~Finish() { reader.finish(); }
    } finish{*reader};

    bool ran = reader->process_until_end_of_metadata();
    if (reader->error) return failure(FlacStage::Open, *reader->error);
    // An empty file, or one that ends inside its metadata, stops the search
    // at the end of the stream.
    const bool at_end = reader->get_state() == FLAC__STREAM_DECODER_END_OF_STREAM;
    if (!reader->have_stream_info && (ran || at_end)) {
        return failure(FlacStage::Open, "FLAC stream has no stream information block");
    }
    if (!ran) return failure(FlacStage::Open, reader->get_state().as_cstring());

    ran = reader->process_until_end_of_stream();
    if (reader->error) return failure(FlacStage::Decode, *reader->error);
    if (!ran) return failure(FlacStage::Decode, reader->get_state().as_cstring());
    // libFLAC ends quietly when the file stops at a frame boundary; the stream
    // information says how many samples there should have been. A count of 0
    // means unknown, and a stream may run past the count it declares.
    if (reader->frames_decoded < reader->total_samples) {
        return failure(FlacStage::Decode,
                       fmt::format("FLAC stream ended after {} of {} samples",
                                   reader->frames_decoded, reader->total_samples));
    }
    return FlacAudio{std::move(reader->samples), reader->sample_rate};
}

}  // namespace audio
