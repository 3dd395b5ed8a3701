#pragma once

// The outbound messages of the receive road: ReceivedFrame from a decoded
// frame, DcdChange from a carrier-detect event, and the DeviceLevelUpdate of
// every level report.

#include <cstdint>
#include <string_view>

#include "demod.h"
#include "hdlc.h"
#include "ipc/proto.h"

namespace modem {

// The text of a repair level: 0 "none", 1 "single", 2 "double", 3 "triple",
// any other value "two_sep".
std::string_view retry_text(uint32_t retry);

// ReceivedFrame of `frame` stamped `timestamp_ns`; the identity fields keep
// their low 32 bits, the sample index is not sent.
ipc::proto::IpcMessage received_frame_message(const hdlc::DecodedFrame& frame,
                                              uint64_t timestamp_ns);

// DcdChange of `change` stamped `timestamp_ns`; the identity fields keep their
// low 32 bits.
ipc::proto::IpcMessage dcd_change_message(const demod::DcdChange& change,
                                          uint64_t timestamp_ns);

// DeviceLevelUpdate of one device's levels in dBFS.
ipc::proto::IpcMessage device_level_message(uint32_t device_id, float peak_dbfs, float rms_dbfs,
                                            bool clipping);

}  // namespace modem
