#!/usr/bin/python3
"""A small parent application for quillmar-modem.

It starts the modem on a socket of its own, has it receive a FLAC recording on
channel 0 and prints every frame the modem decodes:

    examples/parent.py [--fast] [--seconds N] [recording.flac]

--fast reads the recording as fast as the modem takes it instead of at the pace
of real time. The parent shuts the modem down when the recording is over (its
level reports have stopped for a second), on Ctrl-C or after --seconds, prints
the final counters and exits with the modem's exit status.

Needs only the Python standard library and Debian's python3-protobuf, and a
build of the `quillmar-modem` and `quillmar_proto_py` targets (the generated
module quillmar_pb2).
"""

import argparse
import datetime
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DEVICE_ID = 1  # the recording's audio device
CHANNEL = 0  # the radio channel that listens to it
MAX_FRAME_LEN = 65536
READY_TIMEOUT = 5.0  # for the readiness byte and the greeting
NO_AUDIO_TIMEOUT = 5.0  # from StartAudio to the first level report
QUIET_AFTER_AUDIO = 1.0  # level reports stopped this long: the recording is over
END_TIMEOUT = 5.0  # from Shutdown to the end of the stream, and on to the exit

pb = None  # the generated module, imported in main()


def parse_args():
    parser = argparse.ArgumentParser(description="Receive a FLAC recording through quillmar-modem.")
    parser.add_argument("recording", nargs="?", default=os.path.join(ROOT, "samples", "demo.flac"))
    parser.add_argument("--fast", action="store_true",
                        help="read the recording as fast as the modem takes it")
    parser.add_argument("--seconds", type=float, help="shut down after this many seconds")
    parser.add_argument("--modem", default=os.path.join(ROOT, "build", "src", "quillmar-modem"),
                        help="the modem binary")
    parser.add_argument("--proto-dir", default=os.path.join(ROOT, "build", "python", "proto"),
                        help="the directory of the generated quillmar_pb2 module")
    return parser.parse_args()


class Modem:
    """The modem child process, its standard error relayed to ours as it
    comes, and its one connection of length-prefixed IpcMessage frames."""

    def __init__(self, binary, socket_path):
        self.socket_path = socket_path
        # A process group of its own: Ctrl-C on the terminal reaches only the
        # parent, which then shuts the modem down in order.
        self.proc = subprocess.Popen([binary, socket_path], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     process_group=0)
        self.stderr_open = True
        self.sock = None
        self.received = b""
        self.ended = None  # how the stream ended, once it has

    def _wait_readable(self, fd, timeout):
        """Waits up to `timeout` s for `fd` to be readable, relaying the
        modem's standard error meanwhile; returns whether it is."""
        deadline = time.monotonic() + timeout
        while True:
            watched = [fd] + ([self.proc.stderr.fileno()] if self.stderr_open else [])
            left = max(0.0, deadline - time.monotonic())
            readable, _, _ = select.select(watched, [], [], left)
            if self.stderr_open and self.proc.stderr.fileno() in readable:
                self._relay_stderr()
            if fd in readable:
                return True
            if time.monotonic() >= deadline:
                return False

    def _relay_stderr(self):
        data = os.read(self.proc.stderr.fileno(), 4096)
        if not data:
            self.stderr_open = False
        sys.stderr.buffer.write(data)
        sys.stderr.flush()

    def wait_ready(self):
        """Reads the readiness byte "\\n"; False if the modem ended or was
        silent for READY_TIMEOUT."""
        out = self.proc.stdout.fileno()
        return self._wait_readable(out, READY_TIMEOUT) and os.read(out, 1) == b"\n"

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(self.socket_path)

    def send(self, **payload):
        """Sends one IpcMessage, e.g. send(start_audio=pb.StartAudio());
        False when the modem has gone."""
        body = pb.IpcMessage(**payload).SerializeToString()
        try:
            self.sock.sendall(struct.pack(">I", len(body)) + body)
            return True
        except OSError:
            return False

    def receive(self, timeout):
        """The messages that have arrived, waiting up to `timeout` s for at
        least one. At the end of the stream `ended` tells how it ended."""
        deadline = time.monotonic() + timeout
        while True:
            messages = self._complete_messages()
            left = deadline - time.monotonic()
            if messages or self.ended or left <= 0:
                return messages
            if not self._wait_readable(self.sock.fileno(), left):
                continue
            try:
                data = self.sock.recv(65536)
            except OSError as e:
                self.ended = f"read error: {e}"
                continue
            if not data:
                self.ended = "end of stream inside a frame" if self.received else "end of stream"
            self.received += data

    def _complete_messages(self):
        messages = []
        while len(self.received) >= 4 and not self.ended:
            (length,) = struct.unpack(">I", self.received[:4])
            if length > MAX_FRAME_LEN:
                self.ended = f"frame too large: {length}"
            elif len(self.received) >= 4 + length:
                message = pb.IpcMessage()
                message.ParseFromString(self.received[4:4 + length])
                messages.append(message)
                self.received = self.received[4 + length:]
            else:
                break
        return messages

    def close_connection(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def wait(self):
        """The modem's exit status (128 + N when signal N ended it), after the
        rest of its standard error; a modem still running after END_TIMEOUT
        is terminated."""
        try:
            self.proc.wait(END_TIMEOUT)
        except subprocess.TimeoutExpired:
            print(f"the modem did not exit within {END_TIMEOUT:g} s: terminating it", flush=True)
            self.proc.terminate()
            self.proc.wait()
        while self.stderr_open:
            self._relay_stderr()
        code = self.proc.returncode
        return 128 - code if code < 0 else code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def address_field(data):
    """The AX.25 addresses as "SRC>DST,DIGI,..." and the offset of the control
    octet, or None when `data` starts with no valid address field."""
    calls = []
    for start in range(0, min(len(data), 70), 7):
        octets = data[start:start + 7]
        if len(octets) < 7 or any(o & 1 for o in octets[:6]):
            return None
        call = bytes(o >> 1 for o in octets[:6]).decode("ascii").replace(" ", "")
        if not call or not call.isprintable():
            return None
        ssid = (octets[6] >> 1) & 0x0F
        calls.append(f"{call}-{ssid}" if ssid else call)
        if octets[6] & 1:  # the last address
            if len(calls) < 2:
                return None
            dst, src, *digis = calls
            return ",".join([f"{src}>{dst}"] + digis), start + 7
    return None


def escaped(data):
    """Printable ASCII as it is, a backslash doubled, any other byte as \\xNN."""
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append(f"\\x{b:02x}")
    return "".join(out)


def frame_text(data):
    """One frame as "SRC>DST,DIGI: information", or its bytes in hex."""
    parsed = address_field(data)
    if parsed is None:
        return f"(no address field) {data.hex()}"
    addresses, control_at = parsed
    info_at = control_at + 1
    if control_at < len(data):
        control = data[control_at]
        if control & 0x01 == 0 or control & 0xEF == 0x03:  # an I or UI frame: a PID octet follows
            info_at += 1
    return f"{addresses}: {escaped(data[info_at:])}"


def print_frame(frame):
    when = datetime.datetime.fromtimestamp(frame.timestamp_ns / 1e9).strftime("%H:%M:%S.%f")[:-3]
    print(f"{when} ch{frame.channel} {frame_text(frame.data)}"
          f"  [retry {frame.retry}, quality {frame.quality}]", flush=True)


def print_counters(status):
    print(f"channel {status.channel}: rx_frames {status.rx_frames}, rx_bad_fcs {status.rx_bad_fcs}, "
          f"tx_frames {status.tx_frames}, dcd_transitions {status.dcd_transitions}", flush=True)


def run(modem, recording, source_type, seconds, interrupted):
    """Talks to the modem until it has shut down; returns the exit status."""
    if not modem.wait_ready():
        print("the modem gave no readiness byte", flush=True)
        modem.kill()
        return modem.wait() or 1
    modem.connect()
    greeting = modem.receive(READY_TIMEOUT)
    if not greeting or not greeting[0].HasField("modem_ready"):
        print("the modem sent no ModemReady", flush=True)
        modem.close_connection()
        return modem.wait() or 1
    ready = greeting[0].modem_ready
    print(f"ModemReady: version {ready.version}, pid {ready.pid}", flush=True)

    modem.send(configure_audio=pb.ConfigureAudio(device_id=DEVICE_ID, source_type=source_type,
                                                 device_name=recording))
    modem.send(configure_channel=pb.ConfigureChannel(channel=CHANNEL, device_id=DEVICE_ID))
    modem.send(start_audio=pb.StartAudio())
    print(f"receiving {recording} ({source_type}) on channel {CHANNEL}", flush=True)

    started = time.monotonic()
    last_level = None  # when the recording's device last reported its level
    counters = {}  # channel -> its latest StatusUpdate
    no_audio = False

    def handle(messages):
        nonlocal last_level
        for message in messages:
            kind = message.WhichOneof("payload")
            if kind == "received_frame":
                print_frame(message.received_frame)
            elif kind == "device_level_update" and message.device_level_update.device_id == DEVICE_ID:
                last_level = time.monotonic()
            elif kind == "status_update":
                counters[message.status_update.channel] = message.status_update

    reason = None
    while reason is None:
        handle(modem.receive(0.1))
        now = time.monotonic()
        if modem.ended:
            break
        if interrupted():
            reason = "interrupted"
        elif seconds is not None and now - started >= seconds:
            reason = f"{seconds:g} s over"
        elif last_level is None and now - started >= NO_AUDIO_TIMEOUT:
            reason = f"no audio within {NO_AUDIO_TIMEOUT:g} s"
            no_audio = True
        elif last_level is not None and now - last_level >= QUIET_AFTER_AUDIO:
            reason = "the recording is over"

    if reason is not None:
        print(f"{reason}: Shutdown", flush=True)
        modem.send(shutdown=pb.Shutdown())
        deadline = time.monotonic() + END_TIMEOUT
        while not modem.ended and time.monotonic() < deadline:
            handle(modem.receive(0.1))
        if not modem.ended:
            print(f"no end of stream within {END_TIMEOUT:g} s of Shutdown: closing the connection",
                  flush=True)
    for channel in sorted(counters):
        print_counters(counters[channel])
    if modem.ended:
        print(modem.ended, flush=True)
    modem.close_connection()
    status = modem.wait()
    print(f"the modem exited with status {status}", flush=True)
    return 1 if no_audio else status


def main():
    global pb
    args = parse_args()
    sys.path.insert(0, args.proto_dir)
    try:
        import quillmar_pb2
    except ImportError as e:
        sys.exit(f"cannot import quillmar_pb2 from {args.proto_dir} ({e}): "
                 "build the quillmar_proto_py target first")
    pb = quillmar_pb2
    if not os.access(args.modem, os.X_OK):
        sys.exit(f"no modem binary at {args.modem}: build the quillmar-modem target first")

    stop_requested = []
    signal.signal(signal.SIGINT, lambda *_: stop_requested.append(True))
    source_type = "flac_fast" if args.fast else "flac"
    with tempfile.TemporaryDirectory(prefix="quillmar-parent-") as directory:
        modem = Modem(args.modem, os.path.join(directory, "modem.sock"))
        try:
            return run(modem, os.path.abspath(args.recording), source_type, args.seconds,
                       lambda: bool(stop_requested))
        finally:
            modem.close_connection()
            modem.kill()


if __name__ == "__main__":
    sys.exit(main())
