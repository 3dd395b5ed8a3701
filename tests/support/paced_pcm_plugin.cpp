// A paced test sound device for libasound: an external PCM type ("ioplug")
// that tests load through their own configuration (tests/support/alsa_config.h
// writes it). It runs on the monotonic clock like a sound card: capture frames
// become available, and playback frames are consumed, at the opened rate; a
// timerfd is its poll descriptor.
//
// Configuration of one device (every key optional):
//
//   pcm.NAME {
//       type quillmar_paced
//       formats [ "S16_LE" "FLOAT_LE" ]  # offered formats (default S16_LE): S8 U8 S16_LE
//                                        # U16_LE S24_LE S24_3LE S32_LE U32_LE FLOAT_LE
//                                        # FLOAT64_LE
//       channels [ 1 2 4 ]               # offered channel counts (default 1), or
//       channels_min 1  channels_max 8   # a range
//       rates [ 44100 48000 ]            # offered rates (default 48000), or
//       rate_min 8000  rate_max 96000    # a range
//       stream "capture"                 # opens in this direction only (ENOENT otherwise)
//       tone_hz 1000                     # capture: a sine on every channel ...
//       tone_amplitude 16384             # ... of this peak in 16-bit units (default 16384)
//       capture_file "/abs/path"         # capture: raw interleaved frames in the opened
//                                        # format, from the start at every prepare; then silence
//       record_file "/abs/path"          # playback: raw frames appended as they are consumed
//       fail_after_ms 200                # every start fails (xrun) this long after it
//       absent_while "/abs/path"         # open fails with ENODEV while this file exists
//       busy_while "/abs/path"           # open fails with EBUSY while this file exists
//       min_buffer_ms 500                # smallest buffer, at the lowest rate, smallest frame
//       xrun true                        # a late application gets an xrun (default: the
//                                        # device waits for it, so timing is deterministic)
//   }
//
// With neither a tone nor a capture file, capture delivers silence. Opening
// needs `pcm_type.quillmar_paced { lib "<absolute path of this module>" }`.

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct Paced {
    snd_pcm_ioplug_t io{};

    std::vector<unsigned> formats;
    std::vector<unsigned> channels;  // list, or empty with the range below
    unsigned channels_min = 0, channels_max = 0;
    std::vector<unsigned> rates;  // list, or empty with the range below
    unsigned rate_min = 0, rate_max = 0;
    unsigned tone_hz = 0;
    double tone_amplitude = 16384.0;
    std::string capture_file, record_file;
    unsigned fail_after_ms = 0;
    unsigned min_buffer_ms = 0;
    bool xrun = false;

    int timer_fd = -1;
    int capture_fd = -1;
    int record_fd = -1;

    // Since the last prepare, in frames: what the device has played or captured,
    // and (playback) what the application has handed in.
    uint64_t hw_total = 0;
    uint64_t written = 0;
    bool running = false;
    bool failed = false;
    int64_t start_ns = 0;
    int64_t anchor_ns = 0;  // the device clock: at anchor_ns it stood at anchor_pos
    uint64_t anchor_pos = 0;
    unsigned frame_bytes = 0;
    std::vector<uint8_t> ring;     // playback: the frames handed in, by buffer offset
    std::vector<uint8_t> scratch;  // capture: frames being made
};

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool file_exists(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), F_OK) == 0;
}

// Interleaved areas over `base`, for snd_pcm_areas_copy.
std::vector<snd_pcm_channel_area_t> interleaved_areas(uint8_t* base, unsigned channels,
                                                      snd_pcm_format_t format) {
    const unsigned width = static_cast<unsigned>(snd_pcm_format_physical_width(format));
    std::vector<snd_pcm_channel_area_t> areas(channels);
    for (unsigned c = 0; c < channels; ++c) {
        areas[c].addr = base;
        areas[c].first = c * width;
        areas[c].step = channels * width;
    }
    return areas;
}

// One sample of value `v` (a 16-bit level, possibly fractional) in `format`.
void put_sample(uint8_t* out, snd_pcm_format_t format, double v) {
    const double s = std::clamp(v / 32768.0, -1.0, 32767.0 / 32768.0);
    auto put_le = [out](uint64_t bits, int bytes) {
        for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
    };
    switch (format) {
        case SND_PCM_FORMAT_S8:
            put_le(static_cast<uint64_t>(std::lrint(s * 127.0)), 1);
            break;
        case SND_PCM_FORMAT_U8:
            put_le(static_cast<uint64_t>(std::lrint(s * 127.0) + 128), 1);
            break;
        case SND_PCM_FORMAT_S16_LE:
            put_le(static_cast<uint64_t>(std::lrint(v)), 2);
            break;
        case SND_PCM_FORMAT_U16_LE:
            put_le(static_cast<uint64_t>(std::lrint(v) + 32768), 2);
            break;
        case SND_PCM_FORMAT_S24_LE:
        case SND_PCM_FORMAT_S24_3LE: {
            const int bytes = format == SND_PCM_FORMAT_S24_LE ? 4 : 3;
            uint64_t bits = static_cast<uint64_t>(std::lrint(s * 8388607.0)) & 0xFFFFFFu;
            if (bytes == 4 && (bits & 0x800000u)) bits |= 0xFF000000u;
            put_le(bits, bytes);
            break;
        }
        case SND_PCM_FORMAT_S32_LE:
            put_le(static_cast<uint64_t>(std::llrint(s * 2147483647.0)), 4);
            break;
        case SND_PCM_FORMAT_U32_LE:
            put_le(static_cast<uint64_t>(std::llrint(s * 2147483647.0) + 2147483648LL), 4);
            break;
        case SND_PCM_FORMAT_FLOAT_LE: {
            const float f = static_cast<float>(s);
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            put_le(bits, 4);
            break;
        }
        case SND_PCM_FORMAT_FLOAT64_LE: {
            uint64_t bits;
            std::memcpy(&bits, &s, 8);
            put_le(bits, 8);
            break;
        }
        default:
            break;
    }
}

bool format_offered(snd_pcm_format_t format) {
    switch (format) {
        case SND_PCM_FORMAT_S8:
        case SND_PCM_FORMAT_U8:
        case SND_PCM_FORMAT_S16_LE:
        case SND_PCM_FORMAT_U16_LE:
        case SND_PCM_FORMAT_S24_LE:
        case SND_PCM_FORMAT_S24_3LE:
        case SND_PCM_FORMAT_S32_LE:
        case SND_PCM_FORMAT_U32_LE:
        case SND_PCM_FORMAT_FLOAT_LE:
        case SND_PCM_FORMAT_FLOAT64_LE:
            return true;
        default:
            return false;
    }
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Arms the timer to tick a few times per period while running, or disarms it.
void arm_timer(Paced* p, bool on) {
    itimerspec spec{};
    if (on) {
        int64_t tick = static_cast<int64_t>(p->io.period_size) * 1000000000 / p->io.rate / 4;
        tick = std::clamp<int64_t>(tick, 1000000, 50000000);
        spec.it_interval.tv_sec = tick / 1000000000;
        spec.it_interval.tv_nsec = tick % 1000000000;
        spec.it_value = spec.it_interval;
    }
    timerfd_settime(p->timer_fd, 0, &spec, nullptr);
}

// Appends the played frames [from, to) to the recording.
void record(Paced* p, uint64_t from, uint64_t to) {
    if (p->record_fd < 0) return;
    const uint64_t size = p->io.buffer_size;
    while (from < to) {
        const uint64_t offset = from % size;
        const uint64_t n = std::min(to - from, size - offset);
        const uint8_t* data = p->ring.data() + offset * p->frame_bytes;
        size_t left = n * p->frame_bytes;
        while (left > 0) {
            const ssize_t w = ::write(p->record_fd, data, left);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            data += w;
            left -= static_cast<size_t>(w);
        }
        from += n;
    }
}

int paced_start(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Paced*>(io->private_data);
    p->start_ns = p->anchor_ns = now_ns();
    p->anchor_pos = p->hw_total;
    p->running = true;
    arm_timer(p, true);
    return 0;
}

int paced_stop(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Paced*>(io->private_data);
    p->running = false;
    arm_timer(p, false);
    return 0;
}

snd_pcm_sframes_t paced_pointer(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Paced*>(io->private_data);
    const uint64_t size = io->buffer_size;
    if (p->failed) return -EPIPE;
    if (!p->running) return static_cast<snd_pcm_sframes_t>(p->hw_total % size);
    const int64_t now = now_ns();
    if (p->fail_after_ms > 0 && now - p->start_ns >= int64_t{p->fail_after_ms} * 1000000) {
        p->failed = true;
        return -EPIPE;
    }
    const unsigned __int128 elapsed = static_cast<unsigned __int128>(now - p->anchor_ns) * io->rate;
    uint64_t due = p->anchor_pos + static_cast<uint64_t>(elapsed / 1000000000u);
    const uint64_t limit = io->stream == SND_PCM_STREAM_PLAYBACK
                               ? p->written
                               : static_cast<uint64_t>(io->appl_ptr) + size;
    if (due > limit) {
        if (p->xrun) {
            p->failed = true;
            return -EPIPE;
        }
        // The device waits for the application: its clock stops at the limit.
        due = limit;
        p->anchor_pos = due;
        p->anchor_ns = now;
    }
    // A whole buffer in one step would look like no step at all.
    if (due - p->hw_total >= size) {
        due = p->hw_total + size - 1;
        p->anchor_pos = due;
        p->anchor_ns = now;
    }
    if (io->stream == SND_PCM_STREAM_PLAYBACK) record(p, p->hw_total, due);
    p->hw_total = due;
    return static_cast<snd_pcm_sframes_t>(p->hw_total % size);
}

snd_pcm_sframes_t paced_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                 snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    auto* p = static_cast<Paced*>(io->private_data);
    const snd_pcm_uframes_t buffer = io->buffer_size;
    // `areas` at `offset` hold the frames from the application pointer on
    // (the application's buffer, or the mmap buffer in contiguous parts).
    const uint64_t first = io->appl_ptr;
    if (io->stream == SND_PCM_STREAM_PLAYBACK) {
        auto ring = interleaved_areas(p->ring.data(), io->channels, io->format);
        snd_pcm_uframes_t done = 0;
        while (done < size) {
            const snd_pcm_uframes_t at = (first + done) % buffer;
            const snd_pcm_uframes_t n = std::min(size - done, buffer - at);
            snd_pcm_areas_copy(ring.data(), at, areas, offset + done, io->channels, n, io->format);
            done += n;
        }
        p->written += size;
        return static_cast<snd_pcm_sframes_t>(size);
    }
    // Capture: made from the absolute frame position, so a repeated transfer of
    // one range repeats it.
    p->scratch.resize(size * p->frame_bytes);
    const unsigned channels = io->channels;
    const unsigned sample_bytes = p->frame_bytes / channels;
    snd_pcm_format_set_silence(io->format, p->scratch.data(),
                               static_cast<unsigned>(size * channels));
    if (p->capture_fd >= 0) {
        size_t got = 0;
        const size_t want = p->scratch.size();
        while (got < want) {
            const ssize_t r = ::pread(p->capture_fd, p->scratch.data() + got, want - got,
                                      static_cast<off_t>(first * p->frame_bytes + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        // A partial last frame is no frame: silence from the last whole one on.
        got -= got % p->frame_bytes;
        snd_pcm_format_set_silence(io->format, p->scratch.data() + got,
                                   static_cast<unsigned>((want - got) / sample_bytes));
    } else if (p->tone_hz > 0) {
        for (snd_pcm_uframes_t i = 0; i < size; ++i) {
            const double phase = 2.0 * M_PI *
                                 std::fmod(static_cast<double>(first + i) * p->tone_hz,
                                           static_cast<double>(io->rate)) /
                                 io->rate;
            const double v = p->tone_amplitude * std::sin(phase);
            for (unsigned c = 0; c < channels; ++c) {
                put_sample(p->scratch.data() + i * p->frame_bytes + c * sample_bytes, io->format,
                           v);
            }
        }
    }
    auto source = interleaved_areas(p->scratch.data(), channels, io->format);
    snd_pcm_areas_copy(areas, offset, source.data(), 0, channels, size, io->format);
    return static_cast<snd_pcm_sframes_t>(size);
}

int paced_prepare(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Paced*>(io->private_data);
    p->hw_total = 0;
    p->written = 0;
    p->failed = false;
    p->running = false;
    p->frame_bytes =
        static_cast<unsigned>(snd_pcm_format_physical_width(io->format) / 8) * io->channels;
    if (io->stream == SND_PCM_STREAM_PLAYBACK) p->ring.assign(io->buffer_size * p->frame_bytes, 0);
    return 0;
}

int paced_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                       unsigned short* revents) {
    auto* p = static_cast<Paced*>(io->private_data);
    *revents = 0;
    if (nfds < 1) return 0;
    uint64_t ticks;
    while (::read(p->timer_fd, &ticks, sizeof ticks) > 0) {
    }
    if (pfd[0].revents & POLLIN) {
        *revents = io->stream == SND_PCM_STREAM_PLAYBACK ? POLLOUT : POLLIN;
    }
    if (p->failed) *revents |= POLLERR;
    return 0;
}

int paced_close(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Paced*>(io->private_data);
    close_fd(p->timer_fd);
    close_fd(p->capture_fd);
    close_fd(p->record_fd);
    delete p;
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = paced_start;
    c.stop = paced_stop;
    c.pointer = paced_pointer;
    c.transfer = paced_transfer;
    c.close = paced_close;
    c.prepare = paced_prepare;
    c.poll_revents = paced_poll_revents;
    return c;
}();

int read_unsigned(snd_config_t* node, unsigned& out) {
    long value = 0;
    const int err = snd_config_get_integer(node, &value);
    if (err < 0) return err;
    if (value < 0 || value > 0x7FFFFFFF) return -EINVAL;
    out = static_cast<unsigned>(value);
    return 0;
}

int read_string(snd_config_t* node, std::string& out) {
    const char* text = nullptr;
    const int err = snd_config_get_string(node, &text);
    if (err < 0) return err;
    out = text;
    return 0;
}

int read_unsigned_list(snd_config_t* node, std::vector<unsigned>& out) {
    if (snd_config_get_type(node) != SND_CONFIG_TYPE_COMPOUND) return -EINVAL;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, node) {
        unsigned value = 0;
        const int err = read_unsigned(snd_config_iterator_entry(i), value);
        if (err < 0) return err;
        out.push_back(value);
    }
    return out.empty() ? -EINVAL : 0;
}

int read_formats(snd_config_t* node, std::vector<unsigned>& out) {
    if (snd_config_get_type(node) != SND_CONFIG_TYPE_COMPOUND) return -EINVAL;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, node) {
        std::string name;
        const int err = read_string(snd_config_iterator_entry(i), name);
        if (err < 0) return err;
        const snd_pcm_format_t format = snd_pcm_format_value(name.c_str());
        if (!format_offered(format)) {
            SNDERR("quillmar_paced: format %s is not offered", name.c_str());
            return -EINVAL;
        }
        out.push_back(static_cast<unsigned>(format));
    }
    return out.empty() ? -EINVAL : 0;
}

int parse_key(Paced* p, snd_config_t* n, const std::string& key, std::string& stream) {
    if (key == "formats") return read_formats(n, p->formats);
    if (key == "channels") return read_unsigned_list(n, p->channels);
    if (key == "channels_min") return read_unsigned(n, p->channels_min);
    if (key == "channels_max") return read_unsigned(n, p->channels_max);
    if (key == "rates") return read_unsigned_list(n, p->rates);
    if (key == "rate_min") return read_unsigned(n, p->rate_min);
    if (key == "rate_max") return read_unsigned(n, p->rate_max);
    if (key == "stream") return read_string(n, stream);
    if (key == "tone_hz") return read_unsigned(n, p->tone_hz);
    if (key == "tone_amplitude") {
        unsigned amplitude = 0;
        const int err = read_unsigned(n, amplitude);
        p->tone_amplitude = amplitude;
        return err;
    }
    if (key == "capture_file") return read_string(n, p->capture_file);
    if (key == "record_file") return read_string(n, p->record_file);
    if (key == "fail_after_ms") return read_unsigned(n, p->fail_after_ms);
    if (key == "min_buffer_ms") return read_unsigned(n, p->min_buffer_ms);
    if (key == "xrun") {
        const int value = snd_config_get_bool(n);
        if (value < 0) return value;
        p->xrun = value != 0;
        return 0;
    }
    if (key == "absent_while" || key == "busy_while") return 0;  // read by the open check
    SNDERR("quillmar_paced: unknown key %s", key.c_str());
    return -EINVAL;
}

// The error an open gets while a named file exists, else 0.
int open_refusal(snd_config_t* conf) {
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(n, &id) < 0) continue;
        std::string path;
        if (read_string(n, path) < 0) continue;
        if (std::strcmp(id, "absent_while") == 0 && file_exists(path)) return -ENODEV;
        if (std::strcmp(id, "busy_while") == 0 && file_exists(path)) return -EBUSY;
    }
    return 0;
}

int set_constraints(Paced* p) {
    snd_pcm_ioplug_t* io = &p->io;
    static const unsigned kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                       SND_PCM_ACCESS_MMAP_INTERLEAVED};
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 2, kAccess);
    if (err < 0) return err;
    if (p->formats.empty()) p->formats.push_back(SND_PCM_FORMAT_S16_LE);
    err = snd_pcm_ioplug_set_param_list(
        io, SND_PCM_IOPLUG_HW_FORMAT, static_cast<unsigned>(p->formats.size()), p->formats.data());
    if (err < 0) return err;
    unsigned lowest_channels = 1;
    if (!p->channels.empty()) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_CHANNELS,
                                            static_cast<unsigned>(p->channels.size()),
                                            p->channels.data());
        lowest_channels = *std::min_element(p->channels.begin(), p->channels.end());
    } else if (p->channels_min > 0 || p->channels_max > 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, p->channels_min,
                                              p->channels_max);
        lowest_channels = std::max(p->channels_min, 1u);
    } else {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1);
    }
    if (err < 0) return err;
    unsigned lowest_rate = 48000;
    if (!p->rates.empty()) {
        err = snd_pcm_ioplug_set_param_list(
            io, SND_PCM_IOPLUG_HW_RATE, static_cast<unsigned>(p->rates.size()), p->rates.data());
        lowest_rate = *std::min_element(p->rates.begin(), p->rates.end());
    } else if (p->rate_min > 0 || p->rate_max > 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, p->rate_min, p->rate_max);
        lowest_rate = std::max(p->rate_min, 1u);
    } else {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 48000, 48000);
    }
    if (err < 0) return err;
    unsigned smallest_sample = 8;
    for (unsigned f : p->formats) {
        smallest_sample =
            std::min(smallest_sample,
                     static_cast<unsigned>(
                         snd_pcm_format_physical_width(static_cast<snd_pcm_format_t>(f)) / 8));
    }
    const uint64_t min_buffer = std::max<uint64_t>(
        256, uint64_t{p->min_buffer_ms} * lowest_rate / 1000 * smallest_sample * lowest_channels);
    err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1u << 22);
    if (err < 0) return err;
    err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES,
                                          static_cast<unsigned>(min_buffer), 1u << 26);
    if (err < 0) return err;
    return snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
}

int open_paced(snd_pcm_t** pcmp, const char* name, snd_config_t* conf, snd_pcm_stream_t stream,
               int mode) {
    const int refusal = open_refusal(conf);
    if (refusal < 0) return refusal;

    auto* p = new Paced;
    std::string only_stream;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(n, &id) < 0) continue;
        const std::string key = id;
        if (key == "comment" || key == "type" || key == "hint") continue;
        const int err = parse_key(p, n, key, only_stream);
        if (err < 0) {
            SNDERR("quillmar_paced: bad value for %s", key.c_str());
            delete p;
            return err;
        }
    }
    if (!only_stream.empty() &&
        only_stream != (stream == SND_PCM_STREAM_CAPTURE ? "capture" : "playback")) {
        delete p;
        return -ENOENT;
    }

    int err = 0;
    p->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (p->timer_fd < 0) err = -errno;
    if (err == 0 && stream == SND_PCM_STREAM_CAPTURE && !p->capture_file.empty()) {
        p->capture_fd = ::open(p->capture_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (p->capture_fd < 0) err = -errno;
    }
    if (err == 0 && stream == SND_PCM_STREAM_PLAYBACK && !p->record_file.empty()) {
        p->record_fd =
            ::open(p->record_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (p->record_fd < 0) err = -errno;
    }
    if (err < 0) {
        close_fd(p->timer_fd);
        close_fd(p->capture_fd);
        delete p;
        return err;
    }

    p->io.version = SND_PCM_IOPLUG_VERSION;
    p->io.name = "quillmar paced test PCM";
    p->io.callback = &kCallbacks;
    p->io.private_data = p;
    p->io.poll_fd = p->timer_fd;
    p->io.poll_events = POLLIN;
    p->io.mmap_rw = 0;
    err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
    if (err < 0) {
        paced_close(&p->io);
        return err;
    }
    err = set_constraints(p);
    if (err < 0) {
        snd_pcm_ioplug_delete(&p->io);  // runs paced_close
        return err;
    }
    *pcmp = p->io.pcm;
    return 0;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(quillmar_paced) {
    (void)root;
    return open_paced(pcmp, name, conf, stream, mode);
}

SND_PCM_PLUGIN_SYMBOL(quillmar_paced)

}  // extern "C"
