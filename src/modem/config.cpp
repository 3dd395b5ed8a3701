#include "modem/config.h"

#include <algorithm>
#include <cmath>

namespace modem {

namespace {

constexpr uint32_t kDefaultBaud = 1200;
constexpr uint32_t kDefaultMarkHz = 1200;
constexpr uint32_t kDefaultSpaceHz = 2200;
constexpr float kMinGainDb = -60.0f;
constexpr float kMaxGainDb = 12.0f;

uint32_t or_default(uint32_t value, uint32_t fallback) {
    return value == 0 ? fallback : value;
}

uint8_t repair_level(const std::string& fix_bits) {
    if (fix_bits == "single") return 1;
    if (fix_bits == "double") return 2;
    return 0;
}

}  // namespace

ChannelConfig fill_channel_config(const ConfigureChannelFields& f) {
    ChannelConfig c;
    c.channel = f.channel;
    c.modem_type = f.modem_type.empty() ? "afsk" : f.modem_type;
    c.demod_ensemble = f.demod_ensemble;
    c.num_slicers = or_default(f.num_slicers, 1);
    c.profile_b = f.profile == "B" || f.profile == "b";
    c.fix_bits = repair_level(f.fix_bits);
    c.baud = or_default(f.baud, kDefaultBaud);
    c.mark_freq = or_default(f.mark_freq, kDefaultMarkHz);
    c.space_freq = or_default(f.space_freq, kDefaultSpaceHz);
    c.num_decoders = or_default(f.num_decoders, 1);
    c.decoder_offset = f.decoder_offset;
    // Device and channel are chosen together by the one test on input_device_id.
    if (f.input_device_id != 0) {
        c.input_device_id = f.input_device_id;
        c.input_channel = f.input_channel;
    } else {
        c.input_device_id = f.device_id;
        c.input_channel = f.audio_channel;
    }
    c.output_device_id = f.output_device_id;
    c.output_channel = f.output_channel;
    return c;
}

ChannelConfig default_channel_config() {
    return fill_channel_config(ConfigureChannelFields{});
}

std::vector<ChannelConfig> extra_demod_configs(const ChannelConfig& cfg) {
    std::vector<ChannelConfig> extras;
    if (cfg.num_decoders < 2 || cfg.decoder_offset == 0) return extras;
    const uint32_t count = std::min(cfg.num_decoders, kMaxDecoders) - 1;
    const bool shift_tones = cfg.modem_type == "afsk";
    // The offset's two's-complement bits: unsigned products wrap as the
    // signed ones would, without overflow.
    const uint32_t step = static_cast<uint32_t>(cfg.decoder_offset);
    extras.reserve(count);
    for (uint32_t i = 1; i <= count; ++i) {
        ChannelConfig& extra = extras.emplace_back(cfg);
        if (shift_tones) {
            extra.mark_freq += i * step;
            extra.space_freq += i * step;
        }
    }
    return extras;
}

AudioConfig AudioConfig::defaults() {
    AudioConfig a;
    a.source_type = "soundcard";
    a.format = "s16le";
    a.sample_rate = 44100;
    a.channels = 1;
    return a;
}

AudioConfig fill_audio_config(const ConfigureAudioFields& f) {
    AudioConfig a;
    a.device_name = f.device_name;
    a.source_type = f.source_type;
    a.format = f.format;
    a.device_id = f.device_id;
    a.sample_rate = f.sample_rate;
    a.channels = f.channels;
    a.gain_db = clamp_gain_db(f.gain_db);
    return a;
}

float clamp_gain_db(float gain_db) {
    // A NaN gain would otherwise reach the float-to-sample conversions.
    if (std::isnan(gain_db)) return 0.0f;
    if (gain_db < kMinGainDb) return kMinGainDb;
    if (gain_db > kMaxGainDb) return kMaxGainDb;
    return gain_db;
}

}  // namespace modem
