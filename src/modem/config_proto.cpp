#include "modem/config_proto.h"

namespace modem {

ChannelConfig fill_channel_config(const ipc::proto::ConfigureChannel& m) {
    ConfigureChannelFields f;
    f.channel = m.channel();
    f.device_id = m.device_id();
    f.audio_channel = m.audio_channel();
    f.baud = m.baud();
    f.mark_freq = m.mark_freq();
    f.space_freq = m.space_freq();
    f.modem_type = m.modem_type();
    f.profile = m.profile();
    f.num_slicers = m.num_slicers();
    f.fix_bits = m.fix_bits();
    f.num_decoders = m.num_decoders();
    f.decoder_offset = m.decoder_offset();
    f.fx25_encode = m.fx25_encode();
    f.il2p_encode = m.il2p_encode();
    f.input_device_id = m.input_device_id();
    f.input_channel = m.input_channel();
    f.output_device_id = m.output_device_id();
    f.output_channel = m.output_channel();
    f.demod_ensemble = m.demod_ensemble();
    return fill_channel_config(f);
}

AudioConfig fill_audio_config(const ipc::proto::ConfigureAudio& m) {
    ConfigureAudioFields f;
    f.device_id = m.device_id();
    f.device_name = m.device_name();
    f.sample_rate = m.sample_rate();
    f.channels = m.channels();
    f.source_type = m.source_type();
    f.format = m.format();
    f.gain_db = m.gain_db();
    return fill_audio_config(f);
}

}  // namespace modem
