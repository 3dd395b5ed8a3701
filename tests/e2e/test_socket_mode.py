"""Socket mode of the process entry, seen from the parent: readiness, the
greeting, every end of the connection, the start-up failures and the
termination signals."""

import os
import re
import signal
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

    def test_a_regular_file_at_the_path_is_replaced(self):
        path = self.socket_path()
        with open(path, "w") as f:
            f.write("not a socket")
        modem = self.start_modem(path)
        self.assertTrue(harness.is_socket(path))
        conn = modem.connect()
        conn.shutdown_write()
        self.assert_end(modem, conn, stderr=[PEER_CLOSED])


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
