#include "wavio.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <variant>

#include "audio/flac_decode.h"
#include "num.h"

namespace wavio {

namespace {

Error system_error(int err) {
    return Error{std::strerror(err)};
}

int16_t clamp_i16(int32_t v) {
    return static_cast<int16_t>(std::clamp<int32_t>(v, std::numeric_limits<int16_t>::min(),
                                                    std::numeric_limits<int16_t>::max()));
}

Result<Audio> read_flac(const std::string& path) {
    audio::FlacResult read = audio::decode_flac(path, 0);
    if (auto* failed = std::get_if<audio::FlacError>(&read)) return Error{std::move(failed->text)};
    auto& flac = std::get<audio::FlacAudio>(read);
    return Audio{std::move(flac.samples), flac.sample_rate};
}

// ---- WAV ----

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// Bytes of one sample of a WAV subformat that this reader accepts, 0 otherwise.
int sample_bytes(int subformat) {
    switch (subformat) {
        case SF_FORMAT_PCM_U8:
            return 1;
        case SF_FORMAT_PCM_16:
            return 2;
        case SF_FORMAT_PCM_24:
            return 3;
        case SF_FORMAT_PCM_32:
            return 4;
        case SF_FORMAT_FLOAT:
            return 4;
        default:
            return 0;
    }
}

// Declared size of the data chunk, as recorded by libsndfile while it parsed the
// header (it silently shortens a chunk that runs past the end of the file).
std::optional<uint64_t> declared_data_bytes(SNDFILE* file) {
    SF_CHUNK_INFO want{};
    std::memcpy(want.id, "data", 4);
    want.id_size = 4;
    SF_CHUNK_ITERATOR* it = sf_get_chunk_iterator(file, &want);
    if (it == nullptr) return std::nullopt;
    SF_CHUNK_INFO info{};
    if (sf_get_chunk_size(it, &info) != SF_ERR_NO_ERROR) return std::nullopt;
    return info.datalen;
}

// Reads every frame with `read` (sf_readf_int or sf_readf_float) and keeps the
// first channel, converted by `convert`.
template <class T, class Read, class Convert>
Status read_first_channel(SNDFILE* file, const SF_INFO& info, Read read, Convert convert,
                          std::vector<int16_t>& out) {
    // 4096 frames a read, fewer when there are more than 16 channels, so that
    // the buffer stays at 65536 samples whatever channel count a header claims.
    constexpr size_t kSamplesPerRead = 65536;
    const auto channels = static_cast<size_t>(std::max(info.channels, 1));
    const size_t frames_per_read = std::clamp<size_t>(kSamplesPerRead / channels, 1, 4096);
    std::vector<T> buffer(frames_per_read * channels);
    for (;;) {
        sf_count_t got = read(file, buffer.data(), static_cast<sf_count_t>(frames_per_read));
        if (got <= 0) break;
        for (size_t i = 0; i < static_cast<size_t>(got); ++i) {
            out.push_back(convert(buffer[i * channels]));
        }
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) return Error{sf_strerror(file)};
    if (static_cast<sf_count_t>(out.size()) != info.frames) {
        return make_error("WAV data ended after {} of {} frames", out.size(), info.frames);
    }
    return Status::success();
}

Status read_mono_16(SNDFILE* file, const SF_INFO& info, std::vector<int16_t>& out) {
    out.resize(static_cast<size_t>(info.frames));
    sf_count_t got = sf_readf_short(file, out.data(), info.frames);
    if (sf_error(file) != SF_ERR_NO_ERROR) return Error{sf_strerror(file)};
    if (got != info.frames) {
        return make_error("WAV data ended after {} of {} frames", got, info.frames);
    }
    return Status::success();
}

Result<Audio> read_wav(const std::string& path) {
    // Opened here so that a missing file reports the system's own text.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return system_error(errno);
    SF_INFO info{};
    SndfilePtr file(sf_open_fd(fd, SFM_READ, &info, SF_TRUE));
    if (!file) return Error{sf_strerror(nullptr)};

    // libsndfile reads many containers; the name promised WAV.
    int container = info.format & SF_FORMAT_TYPEMASK;
    if (container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX) {
        return Error{"not a WAV file"};
    }
    int subformat = info.format & SF_FORMAT_SUBMASK;
    if (subformat == SF_FORMAT_DOUBLE) return Error{"64-bit float WAV samples are not supported"};
    int bytes = sample_bytes(subformat);
    if (bytes == 0) return Error{"unsupported WAV sample format"};

    const auto channels = static_cast<uint64_t>(std::max(info.channels, 1));
    std::optional<uint64_t> declared = declared_data_bytes(file.get());
    if (declared && *declared / (channels * static_cast<uint64_t>(bytes)) >
                        static_cast<uint64_t>(info.frames)) {
        return Error{"WAV data chunk is shorter than its header declares"};
    }

    Audio audio;
    audio.sample_rate = static_cast<uint32_t>(std::max(info.samplerate, 0));
    // The frame count of a regular file is bounded by its length; from a pipe it
    // is only what the header claims, so nothing is set aside for it.
    if (info.seekable) audio.samples.reserve(static_cast<size_t>(info.frames));
    Status read_status;
    if (subformat == SF_FORMAT_PCM_16 && info.channels == 1 && info.seekable) {
        // Already what is wanted: read straight into place.
        read_status = read_mono_16(file.get(), info, audio.samples);
    } else if (subformat == SF_FORMAT_FLOAT) {
        read_status = read_first_channel<float>(file.get(), info, sf_readf_float,
                                                float_sample_to_i16, audio.samples);
    } else {
        // libsndfile hands integers left-justified in 32 bits whatever the
        // container width, so every width takes the 32-bit rule.
        read_status = read_first_channel<int>(
            file.get(), info, sf_readf_int, [](int s) { return int_sample_to_i16(s, 32); },
            audio.samples);
    }
    if (!read_status) return read_status.error();
    return audio;
}

}  // namespace

int16_t int_sample_to_i16(int32_t sample, unsigned bits) {
    if (bits == 16 || bits == 0 || bits > 32) return clamp_i16(sample);
    if (bits < 16) {
        // Multiplying instead of shifting keeps negative samples well defined.
        int64_t scaled = static_cast<int64_t>(sample) * (int64_t{1} << (16 - bits));
        return static_cast<int16_t>(std::clamp<int64_t>(scaled, -32768, 32767));
    }
    return clamp_i16(sample >> (bits - 16));
}

int16_t float_sample_to_i16(float sample) {
    // std::clamp keeps NaN as it is; saturate_cast then turns it into 0.
    float clamped = std::isnan(sample) ? sample : std::clamp(sample, -1.0f, 1.0f);
    return num::saturate_cast<int16_t>(clamped * 32767.0f);
}

bool is_flac_path(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    // Only ASCII letters are lowered, so an extension that is not valid UTF-8 can
    // never compare equal to "flac" and needs no separate check.
    std::string_view ext = name.substr(dot + 1);
    if (ext.size() != 4) return false;
    for (size_t i = 0; i < 4; ++i) {
        char c = ext[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != "flac"[i]) return false;
    }
    return true;
}

Result<Audio> read_audio_i16(const std::string& path) {
    return is_flac_path(path) ? read_flac(path) : read_wav(path);
}

Status write_wav_i16(const std::string& path, std::span<const int16_t> samples,
                     uint32_t sample_rate) {
    if (samples.size() > kMaxWavSamples) {
        return make_error("too many samples for a WAV file: {}", samples.size());
    }
    // The byte rate field holds 2 x rate, and libsndfile keeps the rate in an int.
    if (sample_rate == 0 || sample_rate > 0x3FFFFFFF) {
        return make_error("sample rate out of range for a WAV file: {}", sample_rate);
    }

    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return system_error(errno);
    SF_INFO info{};
    info.samplerate = static_cast<int>(sample_rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (file == nullptr) return Error{sf_strerror(nullptr)};

    // 4096 samples are the 8192 bytes of one write.
    constexpr size_t kSamplesPerWrite = 4096;
    for (size_t pos = 0; pos < samples.size(); pos += kSamplesPerWrite) {
        size_t n = std::min(kSamplesPerWrite, samples.size() - pos);
        if (sf_write_short(file, samples.data() + pos, static_cast<sf_count_t>(n)) !=
            static_cast<sf_count_t>(n)) {
            Error e{sf_strerror(file)};
            sf_close(file);
            return e;
        }
    }
    // Closing writes the final size fields into the header.
    int closed = sf_close(file);
    if (closed != SF_ERR_NO_ERROR) return Error{sf_error_number(closed)};
    return Status::success();
}

}  // namespace wavio
