"""The other side of the cross-language test: the Python code generated from
proto/quillmar.proto must read what the modem writes and write what it reads.

    interop.py <dir of quillmar_pb2.py> encode   prints one hex body per line
    interop.py <dir of quillmar_pb2.py> check    reads hex bodies from stdin and
                                                 exits 0 when they decode to the
                                                 same messages, in order
"""

import sys

sys.path.insert(0, sys.argv[1])
import quillmar_pb2 as q  # noqa: E402


def messages():
    """The shared list; the C++ test builds the same one."""
    out = []

    m = q.IpcMessage()
    m.modem_ready.version = "v0.1.0-abc1234"
    m.modem_ready.pid = 4242
    out.append(m)

    m = q.IpcMessage()
    c = m.configure_channel
    c.channel = 3
    c.baud = 9600
    c.modem_type = "afsk"
    c.decoder_offset = -100
    c.fx25_encode = True
    c.demod_ensemble = "triple"
    out.append(m)

    m = q.IpcMessage()
    lst = m.audio_device_list
    lst.request_id = 7
    d = lst.devices.add()
    d.name = "USB Audio \u00dc"
    d.stable_id = "hw:1,0"
    d.kind = 2
    d.sample_rates.extend([44100, 48000])
    d.channel_counts.extend([1, 2])
    d.is_default = True
    lst.devices.add().name = "second"
    out.append(m)

    m = q.IpcMessage()
    m.transmit_frame.channel = 1
    m.transmit_frame.data = bytes([0x00, 0x82, 0xFF, 0x7E])
    m.transmit_frame.frame_id = 1 << 40
    out.append(m)

    m = q.IpcMessage()
    s = m.status_update
    s.channel = 2
    s.rx_frames = 123456789012
    s.audio_level_peak = 0.5
    s.shutdown_complete = True
    s.timestamp_ns = 1765360000123456789
    out.append(m)

    m = q.IpcMessage()
    m.device_level_update.device_id = 4
    m.device_level_update.peak_dbfs = -12.25
    m.device_level_update.rms_dbfs = 0.0
    out.append(m)

    m = q.IpcMessage()
    m.start_audio.SetInParent()
    out.append(m)

    out.append(q.IpcMessage())
    return out


def main():
    mode = sys.argv[2]
    if mode == "encode":
        for m in messages():
            print(m.SerializeToString().hex())
        return 0
    lines = [line.strip() for line in sys.stdin]
    want = messages()
    if len(lines) != len(want):
        print(f"got {len(lines)} bodies, want {len(want)}")
        return 1
    for i, (line, expected) in enumerate(zip(lines, want)):
        got = q.IpcMessage()
        got.ParseFromString(bytes.fromhex(line))
        if got != expected or got.WhichOneof("payload") != expected.WhichOneof("payload"):
            print(f"message {i}: got {got} want {expected}")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
