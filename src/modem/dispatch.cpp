#include "modem/modem.h"

namespace modem {

bool Modem::handle_ipc(const ipc::proto::IpcMessage& message) {
    using Payload = ipc::proto::IpcMessage::PayloadCase;
    switch (message.payload_case()) {
        // An empty frame, and the messages only the modem sends: ignored.
        case Payload::PAYLOAD_NOT_SET:
        case Payload::kReceivedFrame:
        case Payload::kDcdChange:
        case Payload::kStatusUpdate:
        case Payload::kModemReady:
        case Payload::kAudioDeviceList:
        case Payload::kDeviceLevelUpdate:
        case Payload::kInputLevelScanResult:
        case Payload::kTestSignalResult:
            return false;
        default:
            return false;
    }
}

}  // namespace modem
