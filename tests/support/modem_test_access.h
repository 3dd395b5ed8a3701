#pragma once

// What tests of the Modem reach inside it: single turns of the loop and the
// state a turn reads and writes.

#include "modem/modem.h"

namespace modem {

struct ModemTestAccess {
    static bool turn(Modem& modem) { return modem.turn(); }

    static std::unordered_map<uint32_t, DevicePipeline>& device_pipelines(Modem& modem) {
        return modem.device_pipelines_;
    }
    static std::unordered_map<uint32_t, uint64_t>& rx_frames(Modem& modem) {
        return modem.rx_frames_;
    }
    static std::unordered_map<uint32_t, uint64_t>& rx_bad_fcs(Modem& modem) {
        return modem.rx_bad_fcs_;
    }
    static std::unordered_map<uint32_t, uint64_t>& dcd_transitions(Modem& modem) {
        return modem.dcd_transitions_;
    }
    static TxWorker& tx(Modem& modem) { return *modem.tx_; }

    static std::unordered_map<uint32_t, ChannelConfig>& channel_configs(Modem& modem) {
        return modem.channel_configs_;
    }
    static std::unordered_map<uint32_t, AudioConfig>& audio_configs(Modem& modem) {
        return modem.audio_configs_;
    }
    static std::unordered_map<uint32_t, SharedGainCell>& device_gain(Modem& modem) {
        return modem.device_gain_;
    }
    static std::unordered_map<uint32_t, uint64_t>& tx_frames(Modem& modem) {
        return modem.tx_frames_;
    }
    static std::unordered_map<uint32_t, MonotonicTime>& level_sent(Modem& modem) {
        return modem.level_sent_;
    }
    static std::unordered_map<uint32_t, OutputDevice>& output_devices(Modem& modem) {
        return modem.output_devices_;
    }
};

}  // namespace modem
