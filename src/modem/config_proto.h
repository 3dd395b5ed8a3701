#pragma once

// Filling ChannelConfig and AudioConfig straight from the parent's
// ConfigureChannel and ConfigureAudio messages (same rules as config.h).

#include "ipc/proto.h"
#include "modem/config.h"

namespace modem {

ChannelConfig fill_channel_config(const ipc::proto::ConfigureChannel& message);
AudioConfig fill_audio_config(const ipc::proto::ConfigureAudio& message);

}  // namespace modem
