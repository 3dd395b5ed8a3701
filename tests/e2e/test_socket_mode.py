"""Socket mode of the process entry, seen from the parent: readiness, the
greeting, every end of the connection, the start-up failures and the
termination signals."""

import os
import re
import signal
import socket
import stat
import struct
import subprocess
import time

import harness
from harness import pb

PEER_CLOSED = "quillmar-modem: peer disconnected, exiting"


class Connected(harness.ModemTestCase):
    def test_greeting_comes_first_with_pid_and_version(self):
        modem = self.start_modem()
        conn = modem.connect()
        first = conn.wait_for(lambda m: True)
        self.assertIsNotNone(first)
        ready = first[1]
        self.assertEqual(ready.WhichOneof("payload"), "modem_ready")
        self.assertEqual(ready.modem_ready.pid, modem.proc.pid)
        self.assertEqual(ready.modem_ready.version, harness.version_text())
        conn.shutdown_write()
        self.assert_end(modem, conn, stderr=[PEER_CLOSED])
        self.assertEqual(conn.payloads(), ["modem_ready"])

    def test_every_end_of_the_parent_ends_the_loop_with_its_line(self):
        empty_frame = harness.frame_bytes(pb.IpcMessage())
        status = harness.frame_bytes(pb.IpcMessage(status_update=pb.StatusUpdate(channel=3)))
        rows = [
            ("idle close", b"", PEER_CLOSED),
            ("close after two length bytes", b"\x00\x00", PEER_CLOSED),
            ("ignored messages, then close", empty_frame + status, PEER_CLOSED),
            ("length above the limit", struct.pack(">I", 65537),
             "quillmar-modem: ipc read error: frame too large: 65537 > 65536, exiting"),
            ("close inside a body", struct.pack(">I", 10) + b"abc",
             "quillmar-modem: ipc read error: failed to fill whole buffer, exiting"),
        ]
        for name, sent, line in rows:
            with self.subTest(name):
                modem = self.start_modem(self.socket_path(name.replace(" ", "-") + ".sock"))
                conn = modem.connect()
                self.assertIsNotNone(conn.wait_for(lambda m: m.HasField("modem_ready")))
                if sent:
                    conn.send_raw(sent)
                conn.shutdown_write()
                self.assert_end(modem, conn, stderr=[line])
                self.assertEqual(conn.payloads(), ["modem_ready"])

    def test_only_nothing_or_a_stale_socket_at_the_path_lets_the_modem_start(self):
        """What is at the path before the start: a stale socket is replaced,
        anything else is refused untouched with status 1 and its line."""
        def stale(path):
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.bind(path)  # bound, never listening: connections are refused
            sock.close()

        def live(path):
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.bind(path)
            sock.listen(1)
            self.addCleanup(sock.close)

        def regular(path):
            with open(path, "wb") as f:
                f.write(b"a recording\x00\xff")

        def symlink(path):
            regular(path + ".target")
            os.symlink(path + ".target", path)

        not_socket = "quillmar-modem: bind: {} exists and is not a socket"
        in_use = "quillmar-modem: bind: {} is in use by another process"
        rows = [
            ("nothing", lambda path: None, None),
            ("stale socket", stale, None),
            ("live socket", live, in_use),
            ("regular file", regular, not_socket),
            ("directory", os.mkdir, not_socket),
            ("symbolic link to a file", symlink, not_socket),
        ]
        for name, make, refusal in rows:
            with self.subTest(name):
                path = self.socket_path(name.replace(" ", "-") + ".sock")
                make(path)
                before = self._describe(path)
                if refusal is None:
                    modem = self.start_modem(path)
                    self.assertTrue(harness.is_socket(path))
                    conn = modem.connect()
                    conn.shutdown_write()
                    self.assert_end(modem, conn, stderr=[PEER_CLOSED])
                    continue
                modem = self.launch(path)
                self.assert_start_failure(modem, [refusal.format(path)])
                self.assertEqual(self._describe(path), before)
                if name == "live socket":
                    # The other process still takes connections on its path.
                    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                    probe.connect(path)
                    probe.close()

    @staticmethod
    def _describe(path):
        """What is at `path`: its kind, inode and, for a file, its bytes
        (followed through a link, which is described too)."""
        if not os.path.lexists(path):
            return None
        st = os.lstat(path)
        described = [stat.S_IFMT(st.st_mode), st.st_ino]
        if stat.S_ISLNK(st.st_mode):
            described.append(os.readlink(path))
            st = os.stat(path)
        if stat.S_ISREG(st.st_mode):
            with open(path, "rb") as f:
                described.append(f.read())
        return described


class StartFailures(harness.ModemTestCase):
    def test_a_path_that_cannot_be_bound_fails_before_the_readiness_byte(self):
        rows = [
            ("missing directory", os.path.join(self.dir, "missing", "modem.sock"),
             re.compile(r"quillmar-modem: bind: No such file or directory.*")),
            ("108-byte path", os.path.join(self.dir, "x" * (107 - len(self.dir))),
             "quillmar-modem: bind: socket path too long: 108 bytes, at most 107"),
        ]
        for name, path, line in rows:
            with self.subTest(name):
                if name == "108-byte path":
                    self.assertEqual(len(path.encode()), 108)
                modem = self.launch(path)
                self.assert_start_failure(modem, [line])
                self.assertFalse(os.path.lexists(path))

    def test_a_readiness_byte_that_cannot_be_written_leaves_the_file(self):
        path = self.socket_path()
        with open("/dev/full", "wb") as full:
            modem = self.launch(path, stdout=full)
        self.assert_start_failure(
            modem, [re.compile(r"quillmar-modem: bind: No space left on device.*")])
        self.assertTrue(harness.is_socket(path))


class TerminationSignals(harness.ModemTestCase):
    def test_a_signal_while_connected_ends_in_order_and_by_that_signal(self):
        for signal_number, name in [(signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT"),
                                    (signal.SIGHUP, "SIGHUP")]:
            with self.subTest(name):
                modem = self.start_modem(self.socket_path(name + ".sock"))
                conn = modem.connect()
                self.assertIsNotNone(conn.wait_for(lambda m: m.HasField("modem_ready")))
                modem.send_signal(signal_number)
                self.assert_end(modem, conn, signal=signal_number,
                                stderr=[f"quillmar-modem: {name} received, exiting"])

    def test_a_signal_while_waiting_for_the_parent_ends_the_wait(self):
        modem = self.start_modem()
        time.sleep(0.2)  # well inside the wait for the connection
        modem.send_signal(signal.SIGTERM)
        self.assert_end(modem, signal=signal.SIGTERM,
                        stderr=["quillmar-modem: SIGTERM received, exiting"])


if __name__ == "__main__":
    harness.main()
