// The settings the parent sends and the transmit roads over them. The input is
// up to eight IpcMessage bodies, each after its length as two bytes (low byte
// first). Each ConfigureChannel or ConfigureAudio is filled into the records
// the modem keeps: both ways in (the message and its field values) must give
// the same record, with every default applied and the gain in range, and a
// channel's frequency-offset demodulators must be the documented copies. The
// records, PTT settings and gains are stored as the modem stores them, and
// each TransmitFrame or TransmitTestSignal goes down its road over them. Runs
// with -malloc_limit_mb=512.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>

#include "fuzz_support.h"
#include "ipc/message_codec.h"
#include "ipc/proto.h"
#include "modem/config.h"
#include "modem/config_proto.h"
#include "modem/tx_road.h"
#include "signal_limit.h"

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


    const std::vector<modem::ChannelConfig> extras = modem::extra_demod_configs(c);
    const uint32_t count = c.num_decoders >= 2 && c.decoder_offset != 0
                               ? std::min(c.num_decoders, modem::kMaxDecoders) - 1
                               : 0;
    FUZZ_CHECK(extras.size() == count);
    const bool shifted = c.modem_type == "afsk";
    const auto step = static_cast<uint32_t>(c.decoder_offset);
    for (uint32_t i = 1; i <= count; ++i) {
        modem::ChannelConfig expected = c;
        if (shifted) {
            expected.mark_freq = c.mark_freq + i * step;
            expected.space_freq = c.space_freq + i * step;
        }
        FUZZ_CHECK(extras[i - 1] == expected);
    }
}

void check_audio(const ipc::proto::ConfigureAudio& m) {
    const modem::AudioConfig a = modem::fill_audio_config(m);
    FUZZ_CHECK(a == modem::fill_audio_config(modem::ConfigureAudioFields{
                        m.device_id(), m.device_name(), m.sample_rate(), m.channels(),
                        m.source_type(), m.format(), m.gain_db()}));
    FUZZ_CHECK(!std::isnan(a.gain_db) && a.gain_db >= -60.0f && a.gain_db <= 12.0f);
    FUZZ_CHECK(a.device_name == m.device_name() && a.sample_rate == m.sample_rate());
}

// What the modem stores from the messages the transmit roads read.
struct Stored {
    std::map<uint32_t, modem::ChannelConfig> channels;
    std::map<uint32_t, modem::AudioConfig> audio;
    std::map<uint32_t, ipc::proto::ConfigurePtt> ptt;
    std::map<uint32_t, float> gain;  // the live gain of each configured device

    template <class Map>
    static const typename Map::mapped_type* find(const Map& map, uint32_t key) {
        auto found = map.find(key);
        return found == map.end() ? nullptr : &found->second;
    }
};

// Rates above the CD rate are refused or built alike, only slower; the roads
// see them only past the limit, where they are refused before anything is built.
uint32_t fuzzed_rate(uint32_t rate) {
    return rate > modem::kMaxOutputRate ? rate : rate % 48001;
}

struct Road {
    const modem::ChannelConfig* channel = nullptr;
    const modem::AudioConfig* output = nullptr;
    const ipc::proto::ConfigurePtt* ptt = nullptr;
    std::optional<float> gain;
};

Road road_of(const Stored& stored, uint32_t channel_id) {
    Road road;
    road.channel = Stored::find(stored.channels, channel_id);
    road.ptt = Stored::find(stored.ptt, channel_id);
    if (road.channel != nullptr) {
        road.output = Stored::find(stored.audio, road.channel->output_device_id);
        if (const float* g = Stored::find(stored.gain, road.channel->output_device_id)) {
            road.gain = *g;
        }
    }
    return road;
}

void check_request(const modem::TxRequest& request, const Road& road) {
    FUZZ_CHECK(request.channel == road.channel->channel);
    FUZZ_CHECK(request.output_device_id == road.channel->output_device_id);
    FUZZ_CHECK(request.sample_rate == road.output->sample_rate);
    // The signal itself is bounded; a lead-in adds at most half a second.
    FUZZ_CHECK(request.samples.size() <=
               signal_limit::max_samples(request.sample_rate) + request.sample_rate);
}

void transmit_frame(const Stored& stored, const ipc::proto::TransmitFrame& frame) {
    const Road road = road_of(stored, frame.channel());
    const modem::TxDelays delays = modem::frame_delays(frame, road.ptt);
    const uint32_t ptt_delay = road.ptt != nullptr ? road.ptt->txdelay_ms() : 0;
    const uint32_t ptt_tail = road.ptt != nullptr ? road.ptt->txtail_ms() : 0;
    FUZZ_CHECK(delays.txdelay_ms == (frame.txdelay_override_ms() != 0 ? frame.txdelay_override_ms()
                                     : ptt_delay != 0 ? ptt_delay
                                                      : modem::kDefaultTxdelayMs));
    FUZZ_CHECK(delays.txtail_ms == (frame.txtail_override_ms() != 0 ? frame.txtail_override_ms()
                                    : ptt_tail != 0 ? ptt_tail
                                                    : modem::kDefaultTxtailMs));

    auto built = modem::build_frame_transmission(frame, road.channel, road.output, road.ptt,
                                                 road.gain);
    if (road.channel == nullptr || road.output == nullptr) {
        FUZZ_CHECK(!built.ok());
        return;
    }
    if (!built) return;
    // Flags at the least, once every bit has a sample; a rate below the
    // baud may give none at all.
    if (road.output->sample_rate >= road.channel->baud) FUZZ_CHECK(!built->request.samples.empty());
    check_request(built->request, road);
    FUZZ_CHECK(!std::isnan(built->level.peak_dbfs) && !std::isnan(built->level.rms_dbfs));
}

void transmit_test_signal(const Stored& stored, const ipc::proto::TransmitTestSignal& signal) {
    const Road road = road_of(stored, signal.channel());
    auto built = modem::build_test_signal_request(signal, road.channel, road.output, road.ptt,
                                                  road.gain);
    if (road.channel == nullptr || road.output == nullptr) {
        FUZZ_CHECK(!built.ok());
        return;
    }
    if (built) check_request(*built, road);
}

void take(Stored& stored, ipc::proto::IpcMessage& message) {
    if (message.has_configure_channel()) {
        check_channel(message.configure_channel());
        const modem::ChannelConfig c = modem::fill_channel_config(message.configure_channel());
        stored.channels[c.channel] = c;
    }
    if (message.has_configure_audio()) {
        ipc::proto::ConfigureAudio& m = *message.mutable_configure_audio();
        check_audio(m);
        m.set_sample_rate(fuzzed_rate(m.sample_rate()));
        const modem::AudioConfig a = modem::fill_audio_config(m);
        stored.audio[m.device_id()] = a;
        stored.gain[m.device_id()] = a.gain_db;
    }
    if (message.has_configure_ptt()) {
        stored.ptt[message.configure_ptt().channel()] = message.configure_ptt();
    }
    if (message.has_set_device_gain()) {
        const auto& m = message.set_device_gain();
        stored.gain[m.device_id()] = modem::clamp_gain_db(m.gain_db());
    }
    if (message.has_transmit_frame()) transmit_frame(stored, message.transmit_frame());
    if (message.has_transmit_test_signal()) {
        transmit_test_signal(stored, message.transmit_test_signal());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ipc::silence_protobuf_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    Stored stored;
    for (int i = 0; i < 8 && input.remaining() > 0; ++i) {
        const uint16_t length = input.u16();
        auto message = ipc::ipc_message::decode(input.bytes(length));
        if (!message) continue;
        take(stored, *message);
    }
    return 0;
}
