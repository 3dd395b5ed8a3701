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
        case Payload::kConfigurePtt:
            apply_ptt_config(message.configure_ptt());
            return false;
        case Payload::kManualPtt:
            manual_ptt(message.manual_ptt());
            return false;
        case Payload::kTransmitFrame:
            transmit_frame(message.transmit_frame());
            return false;
        case Payload::kTransmitTestSignal:
            transmit_test_signal(message.transmit_test_signal());
            return false;
        case Payload::kEnumerateAudioDevices:
            start_device_listing(message.enumerate_audio_devices());
            return false;
        case Payload::kScanInputLevels:
            start_level_scan(message.scan_input_levels());
            return false;
        case Payload::kConfigureChannel:
            configure_channel(message.configure_channel());
            return false;
        case Payload::kConfigureAudio:
            configure_audio(message.configure_audio());
            return false;
        case Payload::kSetDeviceGain:
            set_device_gain(message.set_device_gain());
            return false;
        case Payload::kStartAudio:
            start_audio_with_retry();
            return false;
        case Payload::kStopAudio:
            stop_all_audio();
            return false;
        case Payload::kShutdown:
            shutdown();
            return true;
        default:
            return false;
    }
}

}  // namespace modem
