#include "audio/flac_decode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <FLAC++/decoder.h>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "wavio.h"

namespace audio {

// libFLAC's stream decoder fed from a file descriptor. libFLAC reports data
// errors only through the error callback and goes on decoding, so the first
// one is kept and decides the outcome; once one is kept, or the stop flag is
// set, every read fails, so that libFLAC does not search the rest of the file
// for a frame.
class FlacReader::Decoder final : public FLAC::Decoder::Stream {
public:
    Decoder(int fd, uint32_t channel, const std::atomic<bool>* stop)
        : fd_(fd), channel_(channel), stop_(stop) {}
    ~Decoder() override {
        finish();
        ::close(fd_);
    }

    std::optional<std::string> error;
    bool have_stream_info = false;
    uint32_t sample_rate = 0;
    uint64_t total_samples = 0;
    uint64_t frames_decoded = 0;          // samples per channel, kept or not
    std::vector<int16_t>* out = nullptr;  // where the frame in hand goes

protected:
    ::FLAC__StreamDecoderReadStatus read_callback(FLAC__byte buffer[], size_t* bytes) override {
        if (error || (stop_ != nullptr && stop_->load(std::memory_order_relaxed))) {
            *bytes = 0;
            return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        }
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, *bytes);
            if (got > 0) {
                *bytes = static_cast<size_t>(got);
                return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
            }
            if (got == 0) {
                at_end_ = true;
                *bytes = 0;
                return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
            }
            if (errno == EINTR) continue;
            keep_error(std::strerror(errno));
            *bytes = 0;
            return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        }
    }

    bool eof_callback() override { return at_end_; }

    void metadata_callback(const ::FLAC__StreamMetadata* metadata) override {
        if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
        const auto& info = metadata->data.stream_info;
        have_stream_info = true;
        sample_rate = info.sample_rate;
        total_samples = info.total_samples;
        // A rate of 0 would divide by zero in every consumer of the samples.
        if (sample_rate == 0) keep_error("FLAC stream declares a sample rate of 0");
    }

    ::FLAC__StreamDecoderWriteStatus write_callback(const ::FLAC__Frame* frame,
                                                    const FLAC__int32* const buffer[]) override {
        if (error) return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        const unsigned channels = frame->header.channels;
        const unsigned bits = frame->header.bits_per_sample;
        const unsigned blocksize = frame->header.blocksize;
        frames_decoded += blocksize;
        if (out == nullptr || (channels != 1 && channel_ >= channels)) {
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        }
        const FLAC__int32* kept = buffer[channels == 1 ? 0 : channel_];
        const size_t start = out->size();
        out->resize(start + blocksize);
        int16_t* to = out->data() + start;
        for (unsigned i = 0; i < blocksize; ++i) to[i] = wavio::int_sample_to_i16(kept[i], bits);
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    void error_callback(::FLAC__StreamDecoderErrorStatus status) override {
        keep_error(FLAC__StreamDecoderErrorStatusString[status]);
    }

private:
    void keep_error(const char* text) {
        if (!error) error = text;
    }

    const int fd_;
    const uint32_t channel_;
    const std::atomic<bool>* const stop_;
    bool at_end_ = false;
};

FlacReader::FlacReader(std::unique_ptr<Decoder> decoder) : decoder_(std::move(decoder)) {}

FlacReader::~FlacReader() = default;

Result<std::unique_ptr<FlacReader>> FlacReader::open(const std::string& path, uint32_t channel,
                                                     FlacOpenOptions options) {
    // Opened here so that a missing file reports the system's own text.
    const int flags = O_RDONLY | O_CLOEXEC | (options.regular_file_only ? O_NONBLOCK : 0);
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) return Error{std::strerror(errno)};
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        // A directory opens, and libFLAC would then give up without a word.
        const char* refused = S_ISDIR(st.st_mode) ? std::strerror(EISDIR)
                              : options.regular_file_only && !S_ISREG(st.st_mode)
                                  ? "not a regular file"
                                  : nullptr;
        if (refused != nullptr) {
            ::close(fd);
            return Error{refused};
        }
    }
    auto decoder = std::make_unique<Decoder>(fd, channel, options.stop);
    decoder->set_md5_checking(false);
    const FLAC__StreamDecoderInitStatus init = decoder->init();
    if (init != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        return Error{FLAC__StreamDecoderInitStatusString[init]};
    }
    const bool ran = decoder->process_until_end_of_metadata();
    if (decoder->error) return Error{*decoder->error};
    // An empty file, or one that ends inside its metadata, stops the search
    // at the end of the stream.
    const bool at_end = decoder->get_state() == FLAC__STREAM_DECODER_END_OF_STREAM;
    if (!decoder->have_stream_info && (ran || at_end)) {
        return Error{"FLAC stream has no stream information block"};
    }
    if (!ran) return Error{decoder->get_state().as_cstring()};
    return std::unique_ptr<FlacReader>(new FlacReader(std::move(decoder)));
}

uint32_t FlacReader::sample_rate() const {
    return decoder_->sample_rate;
}

Result<bool> FlacReader::next_frame(std::vector<int16_t>& out) {
    Decoder& d = *decoder_;
    const uint64_t before = d.frames_decoded;
    d.out = &out;
    struct Forget {
        Decoder& d;
        ~Forget() { d.out = nullptr; }
    } forget{d};
    while (d.frames_decoded == before) {
        if (d.get_state() == FLAC__STREAM_DECODER_END_OF_STREAM) {
            // libFLAC ends quietly when the file stops at a frame boundary;
            // the stream information says how many samples there should have
            // been. A count of 0 means unknown.
            if (d.frames_decoded < d.total_samples) {
                return make_error("FLAC stream ended after {} of {} samples", d.frames_decoded,
                                  d.total_samples);
            }
            return false;
        }
        const bool ran = d.process_single();
        if (d.error) return Error{*d.error};
        if (!ran) return Error{d.get_state().as_cstring()};
    }
    return true;
}

FlacResult decode_flac(const std::string& path, uint32_t channel) {
    Result<std::unique_ptr<FlacReader>> reader = FlacReader::open(path, channel);
    if (!reader) return FlacError{FlacStage::Open, reader.error_text()};
    FlacAudio audio;
    audio.sample_rate = (*reader)->sample_rate();
    for (;;) {
        Result<bool> frame = (*reader)->next_frame(audio.samples);
        if (!frame) return FlacError{FlacStage::Decode, frame.error_text()};
        if (!*frame) return audio;
    }
}

}  // namespace audio
