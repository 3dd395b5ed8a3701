#include "modem/rx_messages.h"

#include <algorithm>
#include <limits>
#include <string>

namespace modem {

namespace {

uint32_t low_32_bits(uint64_t value) {
    return static_cast<uint32_t>(value & 0xFFFFFFFFu);
}

}  // namespace

std::string_view retry_text(uint32_t retry) {
    switch (retry) {
        case 0:
            return "none";
        case 1:
            return "single";
        case 2:
            return "double";
        case 3:
            return "triple";
        default:
            return "two_sep";
    }
}

ipc::proto::IpcMessage received_frame_message(const hdlc::DecodedFrame& frame,
                                              uint64_t timestamp_ns) {
    ipc::proto::IpcMessage message;
    auto* out = message.mutable_received_frame();
    out->set_channel(low_32_bits(frame.channel));
    out->set_subchan(low_32_bits(frame.subchan));
    out->set_slice(low_32_bits(frame.slice));
    out->set_data(std::string(frame.data.begin(), frame.data.end()));
    constexpr uint32_t kLargestQuality = std::numeric_limits<int32_t>::max();
    out->set_quality(static_cast<int32_t>(std::min(frame.quality, kLargestQuality)));
    out->set_audio_level_mark(frame.audio_level_mark);
    out->set_audio_level_space(frame.audio_level_space);
    out->set_speed_error(frame.speed_error);
    out->set_retry(std::string(retry_text(frame.retry)));
    out->set_timestamp_ns(timestamp_ns);
    return message;
}

ipc::proto::IpcMessage dcd_change_message(const demod::DcdChange& change,
                                          uint64_t timestamp_ns) {
    ipc::proto::IpcMessage message;
    auto* out = message.mutable_dcd_change();
    out->set_channel(low_32_bits(change.channel));
    out->set_subchan(low_32_bits(change.subchan));
    out->set_slice(low_32_bits(change.slice));
    out->set_detected(change.detected);
    out->set_timestamp_ns(timestamp_ns);
    return message;
}

ipc::proto::IpcMessage device_level_message(uint32_t device_id, float peak_dbfs, float rms_dbfs,
                                            bool clipping) {
    ipc::proto::IpcMessage message;
    auto* update = message.mutable_device_level_update();
    update->set_device_id(device_id);
    update->set_peak_dbfs(peak_dbfs);
    update->set_rms_dbfs(rms_dbfs);
    update->set_clipping(clipping);
    return message;
}

}  // namespace modem
