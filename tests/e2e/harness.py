"""The parent side of end-to-end tests: starts the real quillmar-modem binary
in socket mode and talks to it as its parent application does.

Run by Debian's /usr/bin/python3 (python3-protobuf). The test runner passes
two environment variables:

    QUILLMAR_MODEM      the binary under test
    QUILLMAR_PROTO_DIR  the directory of the generated quillmar_pb2 module

Typical use, inside a ModemTestCase:

    modem = self.start_modem()            # fresh directory, readiness byte read
    conn = modem.connect()                # ModemReady is collected like any message
    conn.send(pb.IpcMessage(start_audio=pb.StartAudio()))
    t, msg = conn.wait_for(lambda m: m.HasField("status_update"))
    conn.shutdown_write()                 # the parent closes its side
    self.assert_end(modem, conn, stderr=["quillmar-modem: peer disconnected, exiting"])

Every message arrives with its arrival time (time.monotonic()); every line of
the modem's standard error is kept. The end-of-test assertion is exact: the
stream ended cleanly, the exit status (or signal) is the expected one, the
socket file is gone, standard output held exactly the readiness byte, and
standard error held exactly the expected lines (so a sanitizer report, or
any other stray line, fails the test).
"""

import fcntl
import os
import re
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

MODEM = os.environ["QUILLMAR_MODEM"]
# The paced test sound device and the modem-line library (see tests/support/).
PACED_PCM_PLUGIN = os.environ.get("QUILLMAR_PACED_PCM_PLUGIN", "")
MODEM_LINES_PRELOAD = os.environ.get("QUILLMAR_MODEM_LINES_PRELOAD", "")
sys.path.insert(0, os.environ["QUILLMAR_PROTO_DIR"])
import quillmar_pb2 as pb  # noqa: E402

MAX_FRAME_LEN = 65536
READY_TIMEOUT = 5.0
# Hang guard of every wait; never a speed requirement.
TIMEOUT = 20.0


def frame_bytes(message):
    """One frame: the 4-byte big-endian body length, then the encoded body."""
    body = message.SerializeToString()
    return struct.pack(">I", len(body)) + body


def version_text():
    """What "--version" prints, without its newline."""
    out = subprocess.run([MODEM, "--version"], capture_output=True, check=True, timeout=TIMEOUT)
    return out.stdout.decode().rstrip("\n")


class _Collector:
    """A list that one thread appends to and others wait on."""

    def __init__(self):
        self._items = []
        self._ended = None
        self._changed = threading.Condition()

    def add(self, item):
        with self._changed:
            self._items.append(item)
            self._changed.notify_all()

    def end(self, how):
        with self._changed:
            self._ended = how
            self._changed.notify_all()

    def items(self):
        with self._changed:
            return list(self._items)

    def ended(self):
        with self._changed:
            return self._ended

    def wait(self, done, timeout):
        """Waits until done(items, ended) holds; returns whether it did."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while not done(self._items, self._ended):
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._changed.wait(left)
            return True


class Connection:
    """The parent's one connection: sends frames, and a reader thread collects
    (arrival time, IpcMessage) pairs until the stream ends."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self._messages = _Collector()
        self._reading = threading.Event()
        self._reading.set()
        self._reader = threading.Thread(target=self._read_all, daemon=True)
        self._reader.start()

    def _read_exactly(self, n):
        data = b""
        while len(data) < n:
            self._reading.wait()
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                return data
            data += chunk
        return data

    def _read_all(self):
        try:
            while True:
                header = self._read_exactly(4)
                if len(header) < 4:
                    self._messages.end("eof" if not header else "eof inside a length")
                    return
                (length,) = struct.unpack(">I", header)
                if length > MAX_FRAME_LEN:
                    self._messages.end(f"frame too large: {length}")
                    return
                body = self._read_exactly(length)
                if len(body) < length:
                    self._messages.end("eof inside a body")
                    return
                message = pb.IpcMessage()
                message.ParseFromString(body)
                self._messages.add((time.monotonic(), message))
        except OSError as e:
            self._messages.end(f"error: {e}")

    def send(self, message):
        self.sock.sendall(frame_bytes(message))

    def pause_reading(self):
        """The reader takes nothing more from the socket (beyond a read it is
        already in), as a parent that stops reading."""
        self._reading.clear()

    def unread_bytes(self):
        """The bytes the modem has written that this side has not read."""
        return struct.unpack("i", fcntl.ioctl(self.sock, termios.FIONREAD, b"\0" * 4))[0]

    def send_raw(self, data):
        self.sock.sendall(data)

    def shutdown_write(self):
        """Closes the parent's sending side; the modem reads end of stream
        while this side still reads what it writes."""
        self.sock.shutdown(socket.SHUT_WR)

    def close(self):
        self.sock.close()

    def abort(self):
        """Both directions end at once, as when the parent process dies."""
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    def messages(self):
        """Every (arrival time, message) so far, in arrival order."""
        return self._messages.items()

    def payloads(self):
        """The payload names of the messages so far, e.g. "modem_ready"."""
        return [m.WhichOneof("payload") for _, m in self.messages()]

    def wait_for(self, predicate, timeout=TIMEOUT, after=0):
        """The first (time, message) from index `after` on for which
        predicate(message) holds, waiting for it; None if it never came."""
        found = []

        def done(items, ended):
            for item in items[after:]:
                if predicate(item[1]):
                    found.append(item)
                    return True
            return ended is not None

        self._messages.wait(done, timeout)
        return found[0] if found else None

    def wait_end(self, timeout=TIMEOUT):
        """How the stream ended ("eof" for a clean end at a frame boundary),
        or None if it has not ended within `timeout`."""
        self._messages.wait(lambda items, ended: ended is not None, timeout)
        return self._messages.ended()


class ModemProcess:
    """One run of the binary in socket mode on `socket_path`."""

    def __init__(self, socket_path, stdout=subprocess.PIPE, env=None, stdin=subprocess.DEVNULL,
                 preexec_fn=None):
        self.socket_path = socket_path
        self.proc = subprocess.Popen(
            [MODEM, socket_path],
            stdin=stdin,
            stdout=stdout,
            stderr=subprocess.PIPE,
            env=env,
            preexec_fn=preexec_fn,
        )
        self.stdout = b""
        self._connections = []
        self._stderr = _Collector()
        self._stderr_times = []
        self._stderr_reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._stderr_reader.start()

    def _read_stderr(self):
        for raw in iter(self.proc.stderr.readline, b""):
            self._stderr_times.append(time.monotonic())
            self._stderr.add(raw.decode(errors="replace").rstrip("\n"))
        self._stderr.end("eof")

    def wait_ready(self, timeout=READY_TIMEOUT):
        """Reads standard output until the readiness byte "\\n"; True when it
        came within `timeout`, False at end of output or timeout."""
        if self.proc.stdout is None:
            return False
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.stdout:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return False
            chunk = os.read(fd, 4096)
            if not chunk:
                return False
            self.stdout += chunk
        return True

    def connect(self):
        conn = Connection(self.socket_path)
        self._connections.append(conn)
        return conn

    def send_signal(self, signal_number):
        self.proc.send_signal(signal_number)

    def wait(self, timeout=TIMEOUT):
        """The return code (negative for a signal); the rest of standard
        output is collected first."""
        code = self.proc.wait(timeout)
        if self.proc.stdout is not None:
            self.stdout += self.proc.stdout.read()
        self._stderr.wait(lambda items, ended: ended is not None, timeout)
        return code

    def stderr_lines(self):
        return self._stderr.items()

    def stderr_timed(self):
        """Every (arrival time, line) of standard error so far."""
        lines = self._stderr.items()
        return list(zip(self._stderr_times, lines))

    def wait_for_stderr(self, predicate, timeout=TIMEOUT):
        """Waits for a standard-error line for which predicate(line) holds."""
        return self._stderr.wait(lambda items, ended: any(predicate(l) for l in items), timeout)

    def close(self):
        """Kills the process if it still runs and releases every pipe and
        connection of this run."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for conn in self._connections:
            conn.close()
        self._stderr_reader.join(TIMEOUT)
        for pipe in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if pipe is not None:
                pipe.close()


def _matches(expected, line):
    if isinstance(expected, re.Pattern):
        return expected.fullmatch(line) is not None
    return expected == line


class ModemTestCase(unittest.TestCase):
    """A test case with a fresh directory per test and the end assertions."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillmar-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def socket_path(self, name="modem.sock"):
        return os.path.join(self.dir, name)

    def launch(self, socket_path=None, stdout=subprocess.PIPE, env=None, stdin=subprocess.DEVNULL,
               preexec_fn=None):
        """Starts the binary without waiting for readiness (`preexec_fn` runs
        in the child before it); killed at the end of the test if still
        running."""
        modem = ModemProcess(socket_path or self.socket_path(), stdout=stdout, env=env, stdin=stdin,
                             preexec_fn=preexec_fn)
        self.addCleanup(modem.close)
        return modem

    def start_modem(self, socket_path=None, env=None, stdin=subprocess.DEVNULL, preexec_fn=None):
        """Starts the binary and reads its readiness byte within 5 s."""
        modem = self.launch(socket_path, env=env, stdin=stdin, preexec_fn=preexec_fn)
        self.assertTrue(
            modem.wait_ready(), f"no readiness byte within {READY_TIMEOUT} s: {modem.stderr_lines()}"
        )
        return modem

    def assert_stderr(self, modem, expected):
        """Standard error held exactly `expected`: texts, or compiled
        patterns that must match a whole line."""
        lines = modem.stderr_lines()
        ok = len(lines) == len(expected) and all(_matches(e, l) for e, l in zip(expected, lines))
        self.assertTrue(ok, f"standard error:\n  got      {lines}\n  expected {expected}")

    def assert_end(self, modem, conn=None, status=0, signal=None, stderr=(), socket_gone=True):
        """The run ended as expected: the connection (if any) reached a clean
        end of stream, the process exited with `status` (or was ended by
        `signal`), the socket file is gone, standard output held exactly the
        readiness byte and standard error exactly the `stderr` lines."""
        if conn is not None:
            self.assertEqual(conn.wait_end(), "eof", "the stream did not end cleanly")
        code = modem.wait()
        self.assertEqual(code, -signal if signal else status, f"stderr: {modem.stderr_lines()}")
        if socket_gone:
            self.assertFalse(os.path.lexists(modem.socket_path), "the socket file is still there")
        self.assertEqual(modem.stdout, b"\n")
        self.assert_stderr(modem, list(stderr))

    def assert_start_failure(self, modem, stderr, stdout=b""):
        """A start-up failure: status 1, standard output `stdout`, standard
        error exactly `stderr`."""
        self.assertEqual(modem.wait(), 1, f"stderr: {modem.stderr_lines()}")
        self.assertEqual(modem.stdout, stdout)
        self.assert_stderr(modem, list(stderr))


def _alsa_value(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (list, tuple)):
        return "[ " + " ".join(_alsa_value(v) for v in value) + " ]"
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return str(value)


def write_alsa_config(directory, devices):
    """Writes a libasound configuration of paced test devices into
    `directory` and returns its path, for ALSA_CONFIG_PATH. `devices` maps a
    PCM name to its keys (tests/support/paced_pcm_plugin.cpp lists them),
    e.g. {"cap": {"stream": "capture", "tone_hz": 1000}}. Each device is
    listed under its name, as an input or output by its "stream"."""
    text = f"pcm_type.quillmar_paced {{ lib {_alsa_value(PACED_PCM_PLUGIN)} }}\n"
    hints = ""
    for i, (name, keys) in enumerate(devices.items()):
        text += f"pcm.{name} {{\n  type quillmar_paced\n"
        for key, value in keys.items():
            text += f"  {key} {_alsa_value(value)}\n"
        text += "}\n"
        ioid = {"capture": "|IOIDInput", "playback": "|IOIDOutput"}.get(keys.get("stream"), "")
        hints += f"  h{i} {_alsa_value(name + '|' + name + ioid)}\n"
    text += "namehint.pcm {\n" + hints + "}\n"
    path = os.path.join(directory, "asound.conf")
    with open(path, "w") as f:
        f.write(text)
    return path


def free_port():
    """A loopback TCP port that was free a moment ago."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_udp_port():
    """A loopback UDP port that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_recording(path, fmt, rate, channels=1, on=0, frames=1, seconds=0):
    """Writes generated AFSK frames (raw s16le or FLAC) to `path`; returns
    their payloads."""
    out = subprocess.run(
        [os.environ["QUILLMAR_MAKE_RECORDING"], path, fmt, str(rate), str(channels), str(on),
         str(frames), str(seconds)], capture_output=True, check=True, timeout=TIMEOUT)
    return [bytes.fromhex(line) for line in out.stdout.decode().split()]


def line_command(port, command, timeout=5.0):
    """Sends one command line to a line-protocol server on `port` and returns
    its first reply line (without the newline), or None without one."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(command.encode())
            data = b""
            while b"\n" not in data:
                chunk = s.recv(256)
                if not chunk:
                    break
                data += chunk
    except OSError:
        return None
    return data.split(b"\n")[0].decode(errors="replace") if b"\n" in data else None


class Rigctld:
    """The real rig-control daemon (Debian's rigctld, dummy rig, PTT kept by
    the rig) on a free loopback port; it can be stopped, continued, killed and
    started again on the same port."""

    PROGRAM = "/usr/bin/rigctld"

    def __init__(self):
        self.proc = None
        for _ in range(20):
            self.port = free_port()
            if self.start():
                return
        raise RuntimeError("rigctld did not start on any free port")

    def start(self):
        """Starts the daemon on self.port; False if it could not take it."""
        self.proc = subprocess.Popen(
            [self.PROGRAM, "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", str(self.port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            if self.ptt(timeout=0.5) in ("0", "1"):
                return True
            time.sleep(0.01)
        self.kill()
        raise RuntimeError("rigctld never answered")

    def ptt(self, timeout=5.0):
        """The daemon's PTT state asked directly ("t"): "0", "1", or None."""
        return line_command(self.port, "t\n", timeout)

    def stop(self):
        self.proc.send_signal(signal.SIGSTOP)

    def cont(self):
        self.proc.send_signal(signal.SIGCONT)

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def restart(self):
        """A fresh daemon on the same port (its PTT state starts released)."""
        self.kill()
        deadline = time.monotonic() + TIMEOUT
        while not self.start():
            if time.monotonic() > deadline:
                raise RuntimeError(f"rigctld did not restart on port {self.port}")
            time.sleep(0.05)


class TcpProxy:
    """A loopback TCP proxy in front of `target_port`, for faults of a link:

        pass        bytes flow both ways (the start)
        stall()     nothing is read from either side, so bytes wait in the
                    kernel; new connections wait unanswered upstream
        black_hole()  everything arriving is read and dropped; new
                    connections are accepted and lead nowhere
        heal()      back to pass: stalled bytes flow, connections accepted
                    while stalled are joined upstream, those of a black hole
                    are closed
        cut()       closes every connection now (the mode stays)
    """

    def __init__(self, target_port):
        self.target_port = target_port
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self.port = self._listener.getsockname()[1]
        self._mode = "pass"
        self._links = []  # [client, upstream or None]
        self._commands = []
        self._lock = threading.Lock()
        self._wake_r, self._wake_w = os.pipe()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def address(self):
        return f"127.0.0.1:{self.port}"

    def _command(self, name):
        done = threading.Event()
        with self._lock:
            self._commands.append((name, done))
        os.write(self._wake_w, b"x")
        if not done.wait(TIMEOUT):
            raise RuntimeError(f"proxy did not {name}")

    def stall(self):
        self._command("stall")

    def black_hole(self):
        self._command("black_hole")

    def heal(self):
        self._command("pass")

    def cut(self):
        self._command("cut")

    def close(self):
        self._command("close")
        self._thread.join(TIMEOUT)
        os.close(self._wake_r)
        os.close(self._wake_w)

    @staticmethod
    def _close_link(link):
        for s in link:
            if s is not None:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()

    def _join(self, link):
        try:
            link[1] = socket.create_connection(("127.0.0.1", self.target_port), timeout=3)
            return True
        except OSError:
            self._close_link(link)
            return False

    def _apply(self, name):
        if name == "cut" or name == "close":
            for link in self._links:
                self._close_link(link)
            self._links = []
            if name == "close":
                self._listener.close()
                self._mode = "closed"
        elif name == "pass":
            kept = []
            for link in self._links:
                if link[1] is None and self._mode == "black_hole":
                    self._close_link(link)
                elif link[1] is None and not self._join(link):
                    pass
                else:
                    kept.append(link)
            self._links = kept
            self._mode = "pass"
        else:
            self._mode = name

    def _run(self):
        while self._mode != "closed":
            readable = [self._wake_r, self._listener]
            if self._mode != "stall":
                for link in self._links:
                    readable += [s for s in link if s is not None]
            ready = select.select(readable, [], [], 1.0)[0]
            if self._wake_r in ready:
                os.read(self._wake_r, 64)
                with self._lock:
                    commands, self._commands = self._commands, []
                for name, done in commands:
                    self._apply(name)
                    done.set()
                continue
            if self._listener in ready:
                client, _ = self._listener.accept()
                link = [client, None]
                if self._mode == "pass" and not self._join(link):
                    continue
                self._links.append(link)
            for link in list(self._links):
                for i, s in enumerate(link):
                    if s is None or s not in ready:
                        continue
                    try:
                        data = s.recv(65536)
                    except OSError:
                        data = b""
                    other = link[1 - i]
                    if not data:
                        self._close_link(link)
                        self._links.remove(link)
                        break
                    if self._mode == "pass" and other is not None:
                        try:
                            other.sendall(data)
                        except OSError:
                            self._close_link(link)
                            self._links.remove(link)
                            break


class Station:
    """The PTT lines of a fault scenario, one per method a test can reach:

        channel 0  "rigctld" through a TcpProxy to the real daemon
        channel 1  "cm108" on a regular file standing in for the hidraw node
        channel 2  "serial_rts" on a pseudo-terminal whose modem lines the
                   preloaded library keeps and logs

    env() is the modem's environment for it; released() lists every line
    that is not released (empty when the station is safe)."""

    RIGCTLD, CM108, SERIAL = 0, 1, 2
    METHODS = [(RIGCTLD, "rigctld"), (CM108, "cm108"), (SERIAL, "serial_rts")]
    CM108_PIN = 3

    def __init__(self, directory, alsa_config=None):
        self.directory = directory
        self.rigctld = Rigctld()
        self.proxy = TcpProxy(self.rigctld.port)
        self.cm108_node = os.path.join(directory, "hidraw")
        open(self.cm108_node, "wb").close()
        self._pty_master, self._pty_slave = os.openpty()
        self.serial_device = os.ttyname(self._pty_slave)
        self.lines_log = os.path.join(directory, "modem-lines.log")
        self.alsa_config = alsa_config

    def reset(self):
        """Empties the CM108 node and the line log, for the next modem (its
        driver writes the node from the start)."""
        open(self.cm108_node, "wb").close()
        if os.path.exists(self.lines_log):
            os.remove(self.lines_log)

    def close(self):
        self.proxy.close()
        self.rigctld.kill()
        os.close(self._pty_master)
        os.close(self._pty_slave)

    def env(self):
        env = dict(os.environ)
        env["LD_PRELOAD"] = MODEM_LINES_PRELOAD
        env["QUILLMAR_MODEM_LINES_LOG"] = self.lines_log
        asan = env.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        if self.alsa_config:
            env["ALSA_CONFIG_PATH"] = self.alsa_config
        return env

    def ptt_messages(self, txdelay_ms=0, txtail_ms=0):
        """One ConfigurePtt per line of the station."""
        configs = [
            pb.ConfigurePtt(channel=self.RIGCTLD, method="rigctld", device=self.proxy.address()),
            pb.ConfigurePtt(channel=self.CM108, method="cm108", device=self.cm108_node,
                            gpio_pin=self.CM108_PIN),
            pb.ConfigurePtt(channel=self.SERIAL, method="serial_rts", device=self.serial_device),
        ]
        for c in configs:
            c.txdelay_ms, c.txtail_ms = txdelay_ms, txtail_ms
        return [pb.IpcMessage(configure_ptt=c) for c in configs]

    def cm108_reports(self):
        with open(self.cm108_node, "rb") as f:
            data = f.read()
        return [data[i:i + 5] for i in range(0, len(data), 5)]

    def serial_words(self):
        """Every modem-line word set on the pseudo-terminal, in order."""
        try:
            with open(self.lines_log) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        words = []
        for line in lines:
            device, word = line.split()
            if device == self.serial_device:
                words.append(int(word, 16))
        return words

    def _states(self):
        """Each line's state: True keyed, False released, None never written."""
        state = self.rigctld.ptt()
        reports = self.cm108_reports()
        words = self.serial_words()
        mask = 1 << (self.CM108_PIN - 1)
        return {
            "rigctld": None if state not in ("0", "1") else state == "1",
            "cm108": bool(reports[-1][2] & mask) if reports and len(reports[-1]) == 5 else None,
            "serial_rts": bool(words[-1] & TIOCM_RTS) if words else None,
        }

    def released(self):
        """The lines not released; a line a driver was built on has been
        written released at least once."""
        return [f"{name} {'keyed' if keyed else 'never written'}"
                for name, keyed in self._states().items() if keyed is not False]

    def keyed(self):
        """The lines not keyed."""
        return [f"{name} not keyed" for name, keyed in self._states().items() if keyed is not True]


TIOCM_RTS = 0x004


def is_socket(path):
    try:
        return stat.S_ISSOCK(os.lstat(path).st_mode)
    except FileNotFoundError:
        return False


def main():
    unittest.main(verbosity=2)
