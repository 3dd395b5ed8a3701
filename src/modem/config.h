#pragma once

// The settings the modem keeps per radio channel (ChannelConfig) and per audio
// device (AudioConfig), and the pure rules that fill them from the values of the
// parent's ConfigureChannel and ConfigureAudio messages. Filling never fails:
// values that cannot work are caught where they are used.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace modem {

// The field values of one ConfigureChannel message, as received (zero and empty
// where the parent left a field out).
struct ConfigureChannelFields {
    uint32_t channel = 0;
    uint32_t device_id = 0;
    uint32_t audio_channel = 0;
    uint32_t baud = 0;
    uint32_t mark_freq = 0;
    uint32_t space_freq = 0;
    std::string modem_type;
    std::string profile;
    uint32_t num_slicers = 0;
    std::string fix_bits;
    uint32_t num_decoders = 0;
    int32_t decoder_offset = 0;
    bool fx25_encode = false;  // accepted, no effect
    bool il2p_encode = false;  // accepted, no effect
    uint32_t input_device_id = 0;
    uint32_t input_channel = 0;
    uint32_t output_device_id = 0;
    uint32_t output_channel = 0;
    std::string demod_ensemble;
};

// One radio channel's settings with the defaults applied. A value-initialised
// ChannelConfig is the default channel record.
struct ChannelConfig {
    uint32_t channel = 0;
    std::string modem_type = "afsk";
    std::string demod_ensemble;  // empty selects the "triple" ensemble for AFSK
    size_t num_slicers = 1;      // slicers of a single AFSK demodulator, at least 1
    bool profile_b = false;
    uint8_t fix_bits = 0;  // HDLC repair level: 0 none, 1 single bit, 2 two bits
    uint32_t baud = 1200;
    uint32_t mark_freq = 1200;   // Hz
    uint32_t space_freq = 2200;  // Hz
    uint32_t num_decoders = 1;   // the main demodulator plus num_decoders - 1 offset ones
    int32_t decoder_offset = 0;  // Hz between the channel's demodulators
    uint32_t input_device_id = 0;
    uint32_t input_channel = 0;
    uint32_t output_device_id = 0;
    uint32_t output_channel = 0;

    bool operator==(const ChannelConfig&) const = default;
};

// Fills a ChannelConfig from a ConfigureChannel's field values.
ChannelConfig fill_channel_config(const ConfigureChannelFields& fields);

// The record used when audio starts with no channel configured at all.
ChannelConfig default_channel_config();

// Demodulators run for one channel at most, the main one included.
inline constexpr uint32_t kMaxDecoders = 32;

// The settings of a channel's frequency-offset demodulators, in order: none
// unless num_decoders is at least 2 and decoder_offset is not 0; else
// min(num_decoders, kMaxDecoders) - 1 copies of `cfg`, copy i (from 1) with
// i x decoder_offset added to both tones (32-bit arithmetic that wraps, so a
// negative offset lowers them) when modem_type is exactly "afsk", unchanged for
// any other modem type.
std::vector<ChannelConfig> extra_demod_configs(const ChannelConfig& cfg);

// The field values of one ConfigureAudio message, as received.
struct ConfigureAudioFields {
    uint32_t device_id = 0;
    std::string device_name;
    uint32_t sample_rate = 0;
    uint32_t channels = 0;
    std::string source_type;
    std::string format;
    float gain_db = 0.0f;
};

// One audio device's settings.
struct AudioConfig {
    std::string device_name;  // PCM name, file path or "host:port", by source_type
    std::string source_type;
    std::string format;  // sample format of an "sdr_udp" source
    uint32_t device_id = 0;
    uint32_t sample_rate = 0;  // Hz
    uint32_t channels = 0;
    float gain_db = 0.0f;  // first value of the device's live gain cell

    // The record for a device that never received ConfigureAudio: a "soundcard"
    // on the default device, "s16le", 44100 Hz, one channel, 0 dB.
    static AudioConfig defaults();

    bool operator==(const AudioConfig&) const = default;
};

// Fills an AudioConfig from a ConfigureAudio's field values: texts and numbers
// are copied unchanged (no defaults), the gain is clamped.
AudioConfig fill_audio_config(const ConfigureAudioFields& fields);

// Limits a gain in dB to -60..+12; NaN gives 0 dB.
float clamp_gain_db(float gain_db);

}  // namespace modem
