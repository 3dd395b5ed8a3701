#include "audio/alsa.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>

namespace alsa {

namespace {

Error alsa_error(int err) {
    return Error{snd_strerror(err)};
}

Error call_error(const char* call, int err) {
    return make_error("{}: {}", call, snd_strerror(static_cast<int>(err)));
}

// A name with a NUL byte would reach libasound cut short, as another name.
bool name_is_usable(const std::string& name) {
    return name.find('\0') == std::string::npos;
}

snd_pcm_stream_t stream_of(Direction direction) {
    return direction == Direction::Input ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

bool ioid_allows(Ioid ioid, Direction direction) {
    if (ioid == Ioid::Both) return true;
    return (ioid == Ioid::Input) == (direction == Direction::Input);
}

// A hint field as an owned text; none when the hint lacks it.
std::optional<std::string> hint_field(const void* hint, const char* id) {
    char* value = snd_device_name_get_hint(hint, id);
    if (value == nullptr) return std::nullopt;
    std::string text(value);
    std::free(value);
    return text;
}

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsFree {
    void operator()(snd_pcm_hw_params_t* p) const { snd_pcm_hw_params_free(p); }
};
using HwParams = std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree>;

struct SwParamsFree {
    void operator()(snd_pcm_sw_params_t* p) const { snd_pcm_sw_params_free(p); }
};
using SwParams = std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree>;

Result<PcmHandle> open_pcm(const Device& device, Direction direction) {
    if (!name_is_usable(device.name)) return alsa_error(-EINVAL);
    snd_pcm_t* pcm = nullptr;
    const int err = snd_pcm_open(&pcm, device.name.c_str(), stream_of(direction), SND_PCM_NONBLOCK);
    if (err < 0) return alsa_error(err);
    return PcmHandle(pcm);
}

Result<HwParams> new_hw_params() {
    snd_pcm_hw_params_t* p = nullptr;
    const int err = snd_pcm_hw_params_malloc(&p);
    if (err < 0) return alsa_error(err);
    return HwParams(p);
}

// The library's formats that stand for one of ours, tried in order.
struct FormatRow {
    SampleFormat format;
    std::array<snd_pcm_format_t, 2> pcm_formats;
};
constexpr std::array<FormatRow, 9> kFormatRows = {{
    {SampleFormat::I16, {SND_PCM_FORMAT_S16, SND_PCM_FORMAT_UNKNOWN}},
    {SampleFormat::F32, {SND_PCM_FORMAT_FLOAT, SND_PCM_FORMAT_UNKNOWN}},
    {SampleFormat::U16, {SND_PCM_FORMAT_U16, SND_PCM_FORMAT_UNKNOWN}},
    {SampleFormat::I32, {SND_PCM_FORMAT_S32, SND_PCM_FORMAT_UNKNOWN}},
    {SampleFormat::U32, {SND_PCM_FORMAT_U32, SND_PCM_FORMAT_UNKNOWN}},
    {SampleFormat::I24, {SND_PCM_FORMAT_S24, SND_PCM_FORMAT_S24_3LE}},
    {SampleFormat::I8, {SND_PCM_FORMAT_S8, SND_PCM_FORMAT_UNKNOWN}},
    {SampleFormat::U8, {SND_PCM_FORMAT_U8, SND_PCM_FORMAT_UNKNOWN}},
    {SampleFormat::F64, {SND_PCM_FORMAT_FLOAT64, SND_PCM_FORMAT_UNKNOWN}},
}};

// The rates tried one by one on a device whose rates are not a continuous range.
constexpr std::array<uint32_t, 14> kStandardRates = {8000,   11025,  16000,  22050, 32000,
                                                     44100,  48000,  64000,  88200, 96000,
                                                     176400, 192000, 352800, 384000};

constexpr unsigned kMaxChannels = 32;

// Appends the rate ranges of one (format, channel count) space.
void append_rate_ranges(snd_pcm_t* pcm, snd_pcm_hw_params_t* space, SampleFormat format,
                        uint16_t channels, std::vector<SupportedConfig>& out) {
    unsigned min_rate = 0, max_rate = 0;
    int dir = 0;
    if (snd_pcm_hw_params_get_rate_min(space, &min_rate, &dir) < 0) return;
    if (dir > 0) ++min_rate;
    dir = 0;
    if (snd_pcm_hw_params_get_rate_max(space, &max_rate, &dir) < 0) return;
    if (dir < 0 && max_rate > 0) --max_rate;
    if (min_rate > max_rate) return;
    if (min_rate == max_rate || snd_pcm_hw_params_test_rate(pcm, space, min_rate + 1, 0) == 0) {
        out.push_back({channels, min_rate, max_rate, format});
        return;
    }
    // Separate rates: a device holding 44100 and 48000 must not seem to hold 46000.
    std::vector<uint32_t> candidates = {min_rate};
    for (uint32_t r : kStandardRates) {
        if (r > min_rate && r < max_rate) candidates.push_back(r);
    }
    candidates.push_back(max_rate);
    for (uint32_t r : candidates) {
        if (snd_pcm_hw_params_test_rate(pcm, space, r, 0) == 0) {
            out.push_back({channels, r, r, format});
        }
    }
}

snd_pcm_format_t stream_format(SampleFormat format) {
    switch (format) {
        case SampleFormat::I16:
            return SND_PCM_FORMAT_S16;
        case SampleFormat::U16:
            return SND_PCM_FORMAT_U16;
        case SampleFormat::F32:
            return SND_PCM_FORMAT_FLOAT;
        default:
            return SND_PCM_FORMAT_UNKNOWN;
    }
}

void quiet_handler(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

Result<std::vector<Device>> list_devices() {
    void** hints = nullptr;
    const int err = snd_device_name_hint(-1, "pcm", &hints);
    if (err < 0) return alsa_error(err);
    std::vector<Device> devices;
    for (void** hint = hints; *hint != nullptr; ++hint) {
        std::optional<std::string> name = hint_field(*hint, "NAME");
        if (!name) continue;
        Device device{std::move(*name), hint_field(*hint, "DESC"), Ioid::Both};
        const std::optional<std::string> ioid = hint_field(*hint, "IOID");
        if (ioid == "Input") device.ioid = Ioid::Input;
        if (ioid == "Output") device.ioid = Ioid::Output;
        devices.push_back(std::move(device));
    }
    snd_device_name_free_hint(hints);
    return devices;
}

std::optional<std::string> description_name(const Device& device) {
    if (!device.description) return std::nullopt;
    const std::string& text = *device.description;
    return text.substr(0, text.find('\n'));
}

Device default_device() {
    Result<std::vector<Device>> devices = list_devices();
    if (devices) {
        for (Device& device : *devices) {
            if (device.name == "default") return std::move(device);
        }
    }
    return Device{"default", std::nullopt, Ioid::Both};
}

bool supports(const Device& device, Direction direction) {
    if (!ioid_allows(device.ioid, direction) || !name_is_usable(device.name)) return false;
    snd_pcm_t* pcm = nullptr;
    const int err = snd_pcm_open(&pcm, device.name.c_str(), stream_of(direction), SND_PCM_NONBLOCK);
    if (err == 0) snd_pcm_close(pcm);
    // A busy card is still a card.
    return err == 0 || err == -EBUSY;
}

std::optional<Device> default_device_for(Direction direction) {
    Device device = default_device();
    if (!ioid_allows(device.ioid, direction)) return std::nullopt;
    // ENOENT is a device without that direction (a playback-only card asked
    // to capture); any other failure, such as an unplugged card (ENODEV), is
    // left for the open to report as it is.
    snd_pcm_t* pcm = nullptr;
    const int err = snd_pcm_open(&pcm, device.name.c_str(), stream_of(direction), SND_PCM_NONBLOCK);
    if (err == 0) snd_pcm_close(pcm);
    if (err == -ENOENT) return std::nullopt;
    return device;
}

std::string_view format_short_name(SampleFormat format) {
    switch (format) {
        case SampleFormat::I16:
            return "I16";
        case SampleFormat::F32:
            return "F32";
        case SampleFormat::U16:
            return "U16";
        case SampleFormat::I32:
            return "I32";
        case SampleFormat::U32:
            return "U32";
        case SampleFormat::I24:
            return "I24";
        case SampleFormat::I8:
            return "I8";
        case SampleFormat::U8:
            return "U8";
        case SampleFormat::F64:
            return "F64";
    }
    return "?";
}

Result<std::vector<SupportedConfig>> supported_configs(const Device& device, Direction direction) {
    Result<PcmHandle> pcm = open_pcm(device, direction);
    if (!pcm) return pcm.error();
    Result<HwParams> any = new_hw_params();
    Result<HwParams> format_space = new_hw_params();
    Result<HwParams> channel_space = new_hw_params();
    if (!any) return any.error();
    if (!format_space) return format_space.error();
    if (!channel_space) return channel_space.error();
    snd_pcm_t* p = pcm->get();
    int err = snd_pcm_hw_params_any(p, any->get());
    if (err < 0) return alsa_error(err);
    err = snd_pcm_hw_params_set_access(p, any->get(), SND_PCM_ACCESS_RW_INTERLEAVED);
    if (err < 0) return alsa_error(err);

    std::vector<SupportedConfig> configs;
    for (const FormatRow& row : kFormatRows) {
        bool found = false;
        for (snd_pcm_format_t f : row.pcm_formats) {
            if (f == SND_PCM_FORMAT_UNKNOWN) continue;
            snd_pcm_hw_params_copy(format_space->get(), any->get());
            if (snd_pcm_hw_params_set_format(p, format_space->get(), f) == 0) {
                found = true;
                break;
            }
        }
        if (!found) continue;
        unsigned min_channels = 0, max_channels = 0;
        if (snd_pcm_hw_params_get_channels_min(format_space->get(), &min_channels) < 0 ||
            snd_pcm_hw_params_get_channels_max(format_space->get(), &max_channels) < 0) {
            continue;
        }
        // Counts can have holes: each is tested.
        for (unsigned c = std::max(min_channels, 1u); c <= std::min(max_channels, kMaxChannels);
             ++c) {
            if (snd_pcm_hw_params_test_channels(p, format_space->get(), c) != 0) continue;
            snd_pcm_hw_params_copy(channel_space->get(), format_space->get());
            if (snd_pcm_hw_params_set_channels(p, channel_space->get(), c) != 0) continue;
            append_rate_ranges(p, channel_space->get(), row.format, static_cast<uint16_t>(c),
                               configs);
        }
    }
    return configs;
}

Result<StreamConfig> default_config(const Device& device, Direction direction) {
    Result<std::vector<SupportedConfig>> listed = supported_configs(device, direction);
    if (!listed) return listed.error();
    const std::vector<SupportedConfig>& configs = *listed;
    if (configs.empty()) return make_error("no supported configuration");
    uint16_t channels = configs.front().channels;
    for (const SupportedConfig& c : configs) channels = std::min(channels, c.channels);
    std::optional<SampleFormat> format;
    for (SampleFormat wanted : {SampleFormat::I16, SampleFormat::F32}) {
        for (const SupportedConfig& c : configs) {
            if (!format && c.channels == channels && c.format == wanted) format = wanted;
        }
    }
    if (!format) {
        for (const SupportedConfig& c : configs) {
            if (!format && c.channels == channels) format = c.format;
        }
    }
    auto held = [&](uint32_t rate) {
        return std::any_of(configs.begin(), configs.end(), [&](const SupportedConfig& c) {
            return c.channels == channels && c.format == *format && c.min_sample_rate <= rate &&
                   rate <= c.max_sample_rate;
        });
    };
    uint32_t rate = 0;
    if (held(48000)) {
        rate = 48000;
    } else if (held(44100)) {
        rate = 44100;
    } else {
        for (const SupportedConfig& c : configs) {
            if (c.channels == channels && c.format == *format)
                rate = std::max(rate, c.max_sample_rate);
        }
    }
    return StreamConfig{channels, rate, *format};
}

namespace detail {

struct StreamState {
    ~StreamState() {
        if (pcm != nullptr) snd_pcm_close(pcm);
        if (wake_fd >= 0) ::close(wake_fd);
    }

    // The period buffer as the callback sees it.
    Samples period_samples() {
        switch (config.format) {
            case SampleFormat::U16:
                return std::span<uint16_t>(u16);
            case SampleFormat::F32:
                return std::span<float>(f32);
            default:
                return std::span<int16_t>(i16);
        }
    }
    void* period_data() {
        switch (config.format) {
            case SampleFormat::U16:
                return u16.data();
            case SampleFormat::F32:
                return f32.data();
            default:
                return i16.data();
        }
    }
    std::size_t frame_bytes() const {
        return config.channels * (config.format == SampleFormat::F32 ? 4u : 2u);
    }
    uint8_t* frame_at(snd_pcm_uframes_t frame) {
        return static_cast<uint8_t*>(period_data()) + frame * frame_bytes();
    }
    void fill_silence() {
        std::fill(i16.begin(), i16.end(), int16_t{0});
        std::fill(u16.begin(), u16.end(), uint16_t{32768});
        std::fill(f32.begin(), f32.end(), 0.0f);
    }

    snd_pcm_t* pcm = nullptr;
    Direction direction = Direction::Input;
    StreamConfig config;
    DataCallback data;
    ErrorCallback error;
    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t target_fill = 0;  // playback: frames kept queued on the device at most
    snd_pcm_uframes_t pending = 0;      // frames of the period buffer not yet written or read
    std::vector<int16_t> i16;
    std::vector<uint16_t> u16;
    std::vector<float> f32;
    int wake_fd = -1;
    std::thread thread;
    bool playing = false;
};

namespace {

// Writes what is left of the period buffer; false when the device took not all of it.
Status write_pending(StreamState& s, bool& complete) {
    complete = true;
    while (s.pending > 0) {
        const snd_pcm_uframes_t done = s.period - s.pending;
        const snd_pcm_sframes_t n = snd_pcm_writei(s.pcm, s.frame_at(done), s.pending);
        if (n == -EAGAIN) {
            complete = false;
            return Status::success();
        }
        if (n < 0) return call_error("snd_pcm_writei", static_cast<int>(n));
        s.pending -= static_cast<snd_pcm_uframes_t>(n);
    }
    return Status::success();
}

// Hands the next period to the callback and writes it.
Status write_period(StreamState& s, bool& complete) {
    s.fill_silence();
    if (s.data) s.data(s.period_samples());
    s.pending = s.period;
    return write_pending(s, complete);
}

Status serve_playback(StreamState& s) {
    bool complete = true;
    if (Status st = write_pending(s, complete); !st || !complete) return st;
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(s.pcm);
    if (avail < 0) return call_error("snd_pcm_avail_update", static_cast<int>(avail));
    snd_pcm_uframes_t queued =
        static_cast<snd_pcm_uframes_t>(avail) >= s.buffer ? 0 : s.buffer - avail;
    while (queued + s.period <= s.target_fill) {
        if (Status st = write_period(s, complete); !st || !complete) return st;
        queued += s.period;
    }
    return Status::success();
}

Status serve_capture(StreamState& s) {
    snd_pcm_sframes_t avail = snd_pcm_avail_update(s.pcm);
    if (avail < 0) return call_error("snd_pcm_avail_update", static_cast<int>(avail));
    while (static_cast<snd_pcm_uframes_t>(avail) >= s.pending) {
        const snd_pcm_uframes_t done = s.period - s.pending;
        const snd_pcm_sframes_t n = snd_pcm_readi(s.pcm, s.frame_at(done), s.pending);
        if (n == -EAGAIN) break;
        if (n < 0) return call_error("snd_pcm_readi", static_cast<int>(n));
        s.pending -= static_cast<snd_pcm_uframes_t>(n);
        avail -= n;
        if (s.pending == 0) {
            if (s.data) s.data(s.period_samples());
            s.pending = s.period;
        }
    }
    return Status::success();
}

// Serves the PCM until close wakes the thread (success) or the PCM fails.
Status serve(StreamState& s) {
    const int count = snd_pcm_poll_descriptors_count(s.pcm);
    if (count < 0) return call_error("snd_pcm_poll_descriptors_count", count);
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    const int filled = snd_pcm_poll_descriptors(s.pcm, fds.data(), static_cast<unsigned>(count));
    if (filled < 0) return call_error("snd_pcm_poll_descriptors", filled);
    fds[static_cast<std::size_t>(count)] = {s.wake_fd, POLLIN, 0};
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return make_error("poll: {}", std::strerror(errno));
        }
        if (fds[static_cast<std::size_t>(count)].revents != 0) return Status::success();
        unsigned short revents = 0;
        const int err = snd_pcm_poll_descriptors_revents(s.pcm, fds.data(),
                                                         static_cast<unsigned>(count), &revents);
        if (err < 0) return call_error("snd_pcm_poll_descriptors_revents", err);
        if (revents & (POLLERR | POLLNVAL)) {
            const snd_pcm_sframes_t avail = snd_pcm_avail_update(s.pcm);
            return call_error("snd_pcm_avail_update", avail < 0 ? static_cast<int>(avail) : -EIO);
        }
        if ((revents & (POLLIN | POLLOUT)) == 0) continue;
        Status st = s.direction == Direction::Output ? serve_playback(s) : serve_capture(s);
        if (!st) return st;
    }
}

void wait_for_close(StreamState& s) {
    pollfd fd = {s.wake_fd, POLLIN, 0};
    while (::poll(&fd, 1, -1) <= 0 || fd.revents == 0) {
    }
}

// The error of a callback that threw `what`; without memory to build its text,
// an error without one, so that the failure is still reported.
Error callback_failure(const char* what) noexcept {
    try {
        return make_error("stream callback: {}", what);
    } catch (...) {
        return Error{};
    }
}

void run_thread(StreamState* s) {
    pthread_setname_np(pthread_self(),
                       s->direction == Direction::Input ? "alsa-capture" : "alsa-playback");
    std::optional<Error> failure;
    try {
        Status st = serve(*s);
        if (st) return;
        failure = st.error();
    } catch (const std::exception& e) {
        failure = callback_failure(e.what());
    } catch (...) {
        failure = callback_failure("unknown exception");
    }
    try {
        if (s->error) s->error(*failure);
    } catch (...) {
    }
    wait_for_close(*s);
}

}  // namespace

}  // namespace detail

Stream::Stream(std::unique_ptr<detail::StreamState> state) : state_(std::move(state)) {}
Stream::Stream(Stream&&) noexcept = default;
Stream& Stream::operator=(Stream&& other) noexcept {
    if (this != &other) {
        close();
        state_ = std::move(other.state_);
    }
    return *this;
}
Stream::~Stream() {
    close();
}

uint32_t Stream::period_frames() const {
    return state_ ? static_cast<uint32_t>(state_->period) : 0;
}
uint32_t Stream::buffer_frames() const {
    return state_ ? static_cast<uint32_t>(state_->buffer) : 0;
}

Status Stream::play() {
    if (!state_) return alsa_error(-EBADFD);
    detail::StreamState& s = *state_;
    if (s.playing) return Status::success();
    try {
        if (s.direction == Direction::Output) {
            // Prefill, so the device starts with its queue full.
            for (snd_pcm_uframes_t queued = 0; queued + s.period <= s.target_fill;
                 queued += s.period) {
                bool complete = true;
                Status st = detail::write_period(s, complete);
                if (!st) return st;
                if (!complete) return call_error("snd_pcm_writei", -EAGAIN);
            }
        }
    } catch (const std::exception& e) {
        return make_error("stream callback: {}", e.what());
    }
    const int err = snd_pcm_start(s.pcm);
    if (err < 0) return call_error("snd_pcm_start", err);
    try {
        s.thread = std::thread(detail::run_thread, &s);
    } catch (const std::system_error& e) {
        snd_pcm_drop(s.pcm);
        return make_error("spawn alsa stream thread: {}", e.what());
    }
    s.playing = true;
    return Status::success();
}

void Stream::close() {
    if (!state_) return;
    detail::StreamState& s = *state_;
    if (s.thread.joinable()) {
        const uint64_t one = 1;
        while (::write(s.wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        s.thread.join();
    }
    snd_pcm_drop(s.pcm);
    state_.reset();  // closes the PCM and the wake descriptor
}

Result<Stream> build_stream(const Device& device, Direction direction, const StreamConfig& config,
                            DataCallback data, ErrorCallback error) {
    const snd_pcm_format_t format = stream_format(config.format);
    if (format == SND_PCM_FORMAT_UNKNOWN) {
        return make_error("unsupported stream sample format: {}", format_short_name(config.format));
    }
    if (!name_is_usable(device.name)) return call_error("snd_pcm_open", -EINVAL);
    auto s = std::make_unique<detail::StreamState>();
    s->direction = direction;
    s->config = config;
    s->data = std::move(data);
    s->error = std::move(error);
    int err = snd_pcm_open(&s->pcm, device.name.c_str(), stream_of(direction), SND_PCM_NONBLOCK);
    if (err < 0) {
        s->pcm = nullptr;
        return call_error("snd_pcm_open", err);
    }
    snd_pcm_t* pcm = s->pcm;

    Result<HwParams> hw = new_hw_params();
    if (!hw) return hw.error();
    snd_pcm_hw_params_t* h = hw->get();
    if ((err = snd_pcm_hw_params_any(pcm, h)) < 0) return call_error("snd_pcm_hw_params_any", err);
    if ((err = snd_pcm_hw_params_set_access(pcm, h, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
        return call_error("snd_pcm_hw_params_set_access", err);
    }
    if ((err = snd_pcm_hw_params_set_format(pcm, h, format)) < 0) {
        return call_error("snd_pcm_hw_params_set_format", err);
    }
    if ((err = snd_pcm_hw_params_set_channels(pcm, h, config.channels)) < 0) {
        return call_error("snd_pcm_hw_params_set_channels", err);
    }
    // Exactly the rate asked: the demodulators are built for the rate reported.
    if ((err = snd_pcm_hw_params_set_rate(pcm, h, config.sample_rate, 0)) < 0) {
        return call_error("snd_pcm_hw_params_set_rate", err);
    }
    // Playback: about 10 ms periods, of which at most 4 stay queued, so the end
    // of a transmission sounds soon after its last sample is handed over.
    // Capture: about 20 ms periods, about 10 of them in the buffer.
    const bool playback = direction == Direction::Output;
    snd_pcm_uframes_t period =
        std::max<snd_pcm_uframes_t>(config.sample_rate / (playback ? 100 : 50), 1);
    int dir = 0;
    if ((err = snd_pcm_hw_params_set_period_size_near(pcm, h, &period, &dir)) < 0) {
        return call_error("snd_pcm_hw_params_set_period_size_near", err);
    }
    snd_pcm_uframes_t buffer = period * (playback ? 4 : 10);
    if ((err = snd_pcm_hw_params_set_buffer_size_near(pcm, h, &buffer)) < 0) {
        return call_error("snd_pcm_hw_params_set_buffer_size_near", err);
    }
    if ((err = snd_pcm_hw_params(pcm, h)) < 0) return call_error("snd_pcm_hw_params", err);
    dir = 0;
    if ((err = snd_pcm_hw_params_get_period_size(h, &period, &dir)) < 0) {
        return call_error("snd_pcm_hw_params_get_period_size", err);
    }
    if ((err = snd_pcm_hw_params_get_buffer_size(h, &buffer)) < 0) {
        return call_error("snd_pcm_hw_params_get_buffer_size", err);
    }
    if (period == 0 || buffer < period) return call_error("snd_pcm_hw_params", -EINVAL);
    s->period = period;
    s->buffer = buffer;
    s->target_fill = playback ? std::min(buffer, 4 * period) / period * period : buffer;

    SwParams sw;
    {
        snd_pcm_sw_params_t* p = nullptr;
        if ((err = snd_pcm_sw_params_malloc(&p)) < 0)
            return call_error("snd_pcm_sw_params_malloc", err);
        sw.reset(p);
    }
    if ((err = snd_pcm_sw_params_current(pcm, sw.get())) < 0) {
        return call_error("snd_pcm_sw_params_current", err);
    }
    // Playback wakes once a period fits under the queue limit, even when the
    // device's buffer is larger than that.
    const snd_pcm_uframes_t avail_min = playback ? buffer - s->target_fill + period : period;
    if ((err = snd_pcm_sw_params_set_avail_min(pcm, sw.get(), avail_min)) < 0) {
        return call_error("snd_pcm_sw_params_set_avail_min", err);
    }
    // Started by play() alone: a start threshold of the buffer size would start
    // playback during the prefill.
    snd_pcm_uframes_t boundary = 0;
    if ((err = snd_pcm_sw_params_get_boundary(sw.get(), &boundary)) < 0) {
        return call_error("snd_pcm_sw_params_get_boundary", err);
    }
    if ((err = snd_pcm_sw_params_set_start_threshold(pcm, sw.get(), boundary)) < 0) {
        return call_error("snd_pcm_sw_params_set_start_threshold", err);
    }
    if ((err = snd_pcm_sw_params(pcm, sw.get())) < 0) return call_error("snd_pcm_sw_params", err);

    const std::size_t samples = static_cast<std::size_t>(period) * config.channels;
    switch (config.format) {
        case SampleFormat::U16:
            s->u16.resize(samples);
            break;
        case SampleFormat::F32:
            s->f32.resize(samples);
            break;
        default:
            s->i16.resize(samples);
            break;
    }
    s->pending = playback ? 0 : period;
    s->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->wake_fd < 0) return make_error("eventfd: {}", std::strerror(errno));
    return Stream(std::move(s));
}

void silence_library_log() {
    snd_lib_error_set_handler(quiet_handler);
}

}  // namespace alsa
