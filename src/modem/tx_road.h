#pragma once

// The two roads from a parent's request to a transmission: a TransmitFrame
// becomes AFSK audio with its delays, lead-in, keying tone and output gain; a
// TransmitTestSignal becomes Morse, a tone or two tones with the output gain.
// Both are pure: they read the stored settings they are given and build one
// TxRequest (or say why not), so the modem only queues what they return.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "ipc/proto.h"
#include "modem/config.h"
#include "modem/levels.h"
#include "modem/tx_worker.h"
#include "result.h"

namespace modem {

// Highest output rate audio is built at; every rate used with radios is below.
inline constexpr uint32_t kMaxOutputRate = 384000;

// Delays used when neither the frame nor the channel's PTT settings give one.
inline constexpr uint32_t kDefaultTxdelayMs = 300;
inline constexpr uint32_t kDefaultTxtailMs = 100;

// The "android" ptt_method whose frames get the mark-tone lead-in, as "vox".
inline constexpr uint32_t kAndroidVoxPttMethod = 4;

// Milliseconds of flags before and after a frame.
struct TxDelays {
    uint32_t txdelay_ms = kDefaultTxdelayMs;
    uint32_t txtail_ms = kDefaultTxtailMs;

    bool operator==(const TxDelays&) const = default;
};

// Each delay is the frame's override, else the stored PTT setting, else the
// default; 0 means "not set" at every level. `ptt` may be null.
TxDelays frame_delays(const ipc::proto::TransmitFrame& frame, const ipc::proto::ConfigurePtt* ptt);

// What a PTT method puts in front of a frame, and the keying tone it plays
// beside it (0 for none).
struct LeadIn {
    std::vector<int16_t> samples;
    uint32_t ptt_tone_hz = 0;
};

// "vox" (and "android" with ptt_method 4): 500 ms of the mark tone;
// "digirig_tone": rate / 2 zero samples and the mark frequency as keying tone;
// any other method, or no PTT settings (`ptt` null): nothing.
Result<LeadIn> frame_lead_in(const ipc::proto::ConfigurePtt* ptt, uint32_t sample_rate,
                             uint32_t mark_freq);

// Success for a rate audio may be built at (0 included: the generators refuse
// it themselves), else "sample rate {} Hz above the limit of 384000 Hz".
Status check_output_rate(uint32_t sample_rate);

// A frame ready to queue, with the level of its final samples for the
// output device's report.
struct FrameTransmission {
    TxRequest request;
    BlockLevel level;
    bool clipping = false;
};

// The frame road. `channel` is the frame's channel settings and `output` the
// AudioConfig of that channel's output device (either null when none is
// stored), `ptt` the channel's stored PTT settings (null for none) and
// `gain_db` the output device's live gain (none: no gain). Errors, without the
// line's prefix: "unknown channel {}", "no audio config for output_device_id
// {}", "build_samples failed: {}".
Result<FrameTransmission> build_frame_transmission(const ipc::proto::TransmitFrame& frame,
                                                   const ChannelConfig* channel,
                                                   const AudioConfig* output,
                                                   const ipc::proto::ConfigurePtt* ptt,
                                                   std::optional<float> gain_db);

// The test-signal road, over the same settings as the frame road. Errors are
// the answer's texts: "unknown channel {}", "no audio config for output
// device {}", the rate's and the generators' own, "callsign produced no CW
// symbols", "unknown test signal kind {}". On a "digirig_tone" channel the
// signal gets that method's frame lead-in and keying tone, so the radio keys;
// other methods add nothing.
Result<TxRequest> build_test_signal_request(const ipc::proto::TransmitTestSignal& signal,
                                            const ChannelConfig* channel, const AudioConfig* output,
                                            const ipc::proto::ConfigurePtt* ptt,
                                            std::optional<float> gain_db);

}  // namespace modem
