// The settings the parent sends: an IpcMessage body whose ConfigureChannel or
// ConfigureAudio is filled into the records the modem keeps. Both ways in (the
// message and its field values) must give the same record, with every default
// applied and the gain in range. Runs with -malloc_limit_mb=512.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "ipc/message_codec.h"
#include "ipc/proto.h"
#include "modem/config.h"
#include "modem/config_proto.h"

namespace {

modem::ConfigureChannelFields fields_of(const ipc::proto::ConfigureChannel& m) {
    return {m.channel(),          m.device_id(),      m.audio_channel(),   m.baud(),
            m.mark_freq(),        m.space_freq(),     m.modem_type(),      m.profile(),
            m.num_slicers(),      m.fix_bits(),       m.num_decoders(),    m.decoder_offset(),
            m.fx25_encode(),      m.il2p_encode(),    m.input_device_id(), m.input_channel(),
            m.output_device_id(), m.output_channel(), m.demod_ensemble()};
}

void check_channel(const ipc::proto::ConfigureChannel& m) {
    const modem::ChannelConfig c = modem::fill_channel_config(m);
    FUZZ_CHECK(c == modem::fill_channel_config(fields_of(m)));
    FUZZ_CHECK(!c.modem_type.empty());
    FUZZ_CHECK(c.num_slicers >= 1 && c.num_decoders >= 1);
    FUZZ_CHECK(c.baud != 0 && c.mark_freq != 0 && c.space_freq != 0);
    FUZZ_CHECK(c.fix_bits <= 2);
    FUZZ_CHECK(c.input_device_id ==
               (m.input_device_id() != 0 ? m.input_device_id() : m.device_id()));

    // Later: the extra demodulators of a channel (modem::extra_demod_configs)
    // are checked here once they exist: every one a valid record of the same
    // channel, their tones never wrapping.
}

void check_audio(const ipc::proto::ConfigureAudio& m) {
    const modem::AudioConfig a = modem::fill_audio_config(m);
    FUZZ_CHECK(a == modem::fill_audio_config(modem::ConfigureAudioFields{
                        m.device_id(), m.device_name(), m.sample_rate(), m.channels(),
                        m.source_type(), m.format(), m.gain_db()}));
    FUZZ_CHECK(!std::isnan(a.gain_db) && a.gain_db >= -60.0f && a.gain_db <= 12.0f);
    FUZZ_CHECK(a.device_name == m.device_name() && a.sample_rate == m.sample_rate());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ipc::silence_protobuf_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto message = ipc::ipc_message::decode(std::span<const uint8_t>(data, size));
    if (!message) return 0;
    if (message->has_configure_channel()) check_channel(message->configure_channel());
    if (message->has_configure_audio()) check_audio(message->configure_audio());

    // Later: the transmit roads (src/modem/tx_road.h) are driven here with the
    // filled records and a TransmitFrame or TransmitTestSignal of the input,
    // keeping every allocation under the limit.
    return 0;
}
