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

import os
import re
import select
import shutil
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

MODEM = os.environ["QUILLMAR_MODEM"]
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
        self._reader = threading.Thread(target=self._read_all, daemon=True)
        self._reader.start()

    def _read_exactly(self, n):
        data = b""
        while len(data) < n:
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

    def send_raw(self, data):
        self.sock.sendall(data)

    def shutdown_write(self):
        """Closes the parent's sending side; the modem reads end of stream
        while this side still reads what it writes."""
        self.sock.shutdown(socket.SHUT_WR)

    def close(self):
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

    def __init__(self, socket_path, stdout=subprocess.PIPE, env=None, stdin=subprocess.DEVNULL):
        self.socket_path = socket_path
        self.proc = subprocess.Popen(
            [MODEM, socket_path],
            stdin=stdin,
            stdout=stdout,
            stderr=subprocess.PIPE,
            env=env,
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

    def launch(self, socket_path=None, stdout=subprocess.PIPE, env=None, stdin=subprocess.DEVNULL):
        """Starts the binary without waiting for readiness; killed at the end
        of the test if still running."""
        modem = ModemProcess(socket_path or self.socket_path(), stdout=stdout, env=env, stdin=stdin)
        self.addCleanup(modem.close)
        return modem

    def start_modem(self, socket_path=None, env=None, stdin=subprocess.DEVNULL):
        """Starts the binary and reads its readiness byte within 5 s."""
        modem = self.launch(socket_path, env=env, stdin=stdin)
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


def is_socket(path):
    try:
        return stat.S_ISSOCK(os.lstat(path).st_mode)
    except FileNotFoundError:
        return False


def main():
    unittest.main(verbosity=2)
