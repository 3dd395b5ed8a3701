"""Faults from outside the modem, seen from the parent: a parent that goes
away or sends what cannot be read, a termination signal, and a recording
that cannot be written. Each scenario runs beside a whole station (harness
Station: the real rigctld behind a proxy, a CM108 node, a serial RTS line);
after the fault and again after the modem has exited, every PTT line must
read released."""

import errno
import glob
import os
import random
import re
import resource
import signal
import socket
import struct
import subprocess
import time

import harness
from harness import pb

PEER_CLOSED = "quillmar-modem: peer disconnected, exiting"
READ_ERROR = re.compile(r"quillmar-modem: ipc read error: .*, exiting")
CUT = re.compile(r"quillmar-modem: TransmitFrame: cut after (\d+) ms \((\d+)/(\d+) samples\)")
DROPPED_TWO = "quillmar-modem: TransmitFrame: dropped 2 queued transmissions"
# Frames of the recording that keeps a channel busy: their messages fill the
# connection of a parent that stopped reading long before the file ends.
BUSY_FRAMES = 320
# Unread bytes beyond which a connection that stops growing is full, not
# merely waiting for a source that has yet to start.
STUCK_UNREAD = 1024
# How long the transmission in hand plays on after the end began.
END_BOUND_S = 10.0
# The lines the modem may print while it handles arbitrary requests; a
# sanitizer report or any other stray text matches none of them.
MODEM_LINE = re.compile(r"quillmar-modem: .*|cpal .*|audio \d+: .*")



def wait_stuck_writing(test, conn):
    """Waits until the modem is stuck in a write to `conn`, which has stopped
    reading: more than STUCK_UNREAD bytes unread and no more arriving.
    Returns the bytes unread."""
    deadline = time.monotonic() + harness.TIMEOUT
    unread = conn.unread_bytes()
    while True:
        time.sleep(0.3)
        if conn.unread_bytes() == unread and unread > STUCK_UNREAD:
            return unread
        test.assertLess(time.monotonic(), deadline, "the modem never stopped writing")
        unread = conn.unread_bytes()

class StationTestCase(harness.ModemTestCase):
    def setUp(self):
        super().setUp()
        self.station = harness.Station(self.dir)
        self.addCleanup(self.station.close)
        # The lines of a run so far that the test expects, in order.
        self.lines = []

    def start_station_modem(self, name="modem", stdin=subprocess.DEVNULL, preexec_fn=None):
        """The modem with the station's PTT lines configured (each driver
        built and its line released); returns the modem and its connection."""
        self.station.reset()
        modem = self.start_modem(self.socket_path(name + ".sock"), env=self.station.env(),
                                 stdin=stdin, preexec_fn=preexec_fn)
        conn = modem.connect()
        self.assertIsNotNone(conn.wait_for(lambda m: m.HasField("modem_ready")))
        for message in self.station.ptt_messages():
            conn.send(message)
        self.lines = [f"quillmar-modem: PTT configured for channel {c} ({m})"
                      for c, m in harness.Station.METHODS]
        self.wait_lines(modem)
        self.assert_released("after the configuration")
        return modem, conn

    def key_station(self, modem, conn):
        """Keys every line of the station by hand and sees each keyed."""
        for channel, _ in harness.Station.METHODS:
            conn.send(pb.IpcMessage(manual_ptt=pb.ManualPtt(channel=channel, keyed=True)))
            self.lines.append(f"quillmar-modem: ManualKey channel={channel} keyed=true: ok")
        self.wait_lines(modem)
        self.assertEqual(self.station.keyed(), [], "after keying by hand")

    def wait_lines(self, modem):
        modem.wait_for_stderr(lambda l: l == self.lines[-1])
        self.assertEqual(modem.stderr_lines(), self.lines)

    def assert_released(self, when):
        self.assertEqual(self.station.released(), [], when)

    def assert_ended_by_parent_gone(self, modem):
        """The modem ended with status 0 after its parent went: the socket is
        gone and the last line says why; returns its lines."""
        self.assertEqual(modem.wait(), 0, f"stderr: {modem.stderr_lines()}")
        self.assertFalse(os.path.lexists(modem.socket_path))
        lines = modem.stderr_lines()
        self.assertTrue(lines[-1] == PEER_CLOSED or READ_ERROR.fullmatch(lines[-1]), lines)
        return lines


class ParentFaults(StationTestCase):
    def test_a_parent_that_ends_or_sends_garbage_ends_the_modem_cleanly(self):
        rows = [
            ("close after two length bytes", b"\x00\x00", PEER_CLOSED),
            ("close inside a body", struct.pack(">I", 10) + b"abc",
             "quillmar-modem: ipc read error: failed to fill whole buffer, exiting"),
            ("length 65537", struct.pack(">I", 65537),
             "quillmar-modem: ipc read error: frame too large: 65537 > 65536, exiting"),
            # Field 1 as a varint whose bytes never end.
            ("undecodable body", struct.pack(">I", 2) + b"\x08\x80", READ_ERROR),
        ]
        for name, sent, line in rows:
            with self.subTest(name):
                modem, conn = self.start_station_modem(name.replace(" ", "-"))
                self.key_station(modem, conn)
                conn.send_raw(sent)
                conn.shutdown_write()
                self.assertEqual(conn.wait_end(), "eof")
                self.assert_end(modem, conn, stderr=self.lines + [line])
                self.assert_released("after the exit")

    def test_a_parent_killed_while_the_station_is_keyed(self):
        modem, conn = self.start_station_modem()
        self.key_station(modem, conn)
        conn.abort()
        lines = self.assert_ended_by_parent_gone(modem)
        self.assertEqual(lines[:-1], self.lines)
        self.assert_released("after the exit")

    def test_two_hundred_corpus_bodies_then_an_undecodable_one(self):
        bodies = corpus_bodies(199)
        modem, conn = self.start_station_modem()
        for body in bodies:
            conn.send_raw(struct.pack(">I", len(body)) + body)
        conn.send_raw(struct.pack(">I", 1) + b"\xff")
        conn.shutdown_write()
        # Start failures and unreachable daemons among the requests take
        # their retries; under ThreadSanitizer that adds up.
        end = conn.wait_end(timeout=10 * harness.TIMEOUT)
        self.assertEqual(modem.wait(timeout=harness.TIMEOUT), 0, f"stderr: {modem.stderr_lines()}")
        self.assertEqual(end, "eof", f"stderr: {modem.stderr_lines()}")
        self.assertFalse(os.path.lexists(modem.socket_path))
        lines = modem.stderr_lines()
        self.assertTrue(lines and READ_ERROR.fullmatch(lines[-1]), lines)
        self.assertEqual([l for l in lines[:-1] if not MODEM_LINE.fullmatch(l)], [])
        self.assertEqual([l for l in lines if READ_ERROR.fullmatch(l)], [lines[-1]])
        self.assert_released("after the exit")


class RigctldLinkFaults(StationTestCase):
    """The unkey of the rigctld line meets a broken link; the driver's retries
    or its keepalive's owed unkey must still release the daemon's PTT."""

    OWED_UNKEY_S = 8.0

    def unkey_rigctld(self, conn):
        conn.send(pb.IpcMessage(manual_ptt=pb.ManualPtt(channel=harness.Station.RIGCTLD)))

    def assert_rigctld_released_within(self, seconds, when):
        deadline = time.monotonic() + seconds
        while self.station.rigctld.ptt(timeout=1.0) != "0":
            self.assertLess(time.monotonic(), deadline, f"rigctld still keyed {when}")
            time.sleep(0.1)

    def end(self, modem, conn):
        # The unkey's own outcome comes once its retries are over, which may
        # be after the daemon already reads released.
        self.assertTrue(modem.wait_for_stderr(
            lambda l: l.startswith("quillmar-modem: ManualKey channel=0 keyed=false: ")))
        conn.shutdown_write()
        self.assertEqual(conn.wait_end(), "eof")
        self.assertEqual(modem.wait(), 0, f"stderr: {modem.stderr_lines()}")
        lines = modem.stderr_lines()
        self.assertEqual(lines[:len(self.lines)], self.lines)
        self.assertEqual(lines[-1], PEER_CLOSED, lines)
        self.assertEqual([l for l in lines if not MODEM_LINE.fullmatch(l)], [])
        self.assert_released("after the exit")

    def test_a_link_cut_while_keyed_is_unkeyed_over_a_fresh_connection(self):
        modem, conn = self.start_station_modem()
        self.key_station(modem, conn)
        self.station.proxy.cut()
        self.unkey_rigctld(conn)
        self.assert_rigctld_released_within(self.OWED_UNKEY_S, "after the cut")
        self.end(modem, conn)

    def test_a_daemon_stopped_across_the_unkey_is_unkeyed_once_it_runs(self):
        modem, conn = self.start_station_modem()
        self.key_station(modem, conn)
        self.station.rigctld.stop()
        self.unkey_rigctld(conn)
        # The unkey and its retries give up on the silent daemon.
        self.assertTrue(modem.wait_for_stderr(
            lambda l: l.startswith("quillmar-modem: ManualKey channel=0 keyed=false: ")))
        self.assertEqual(self.station.rigctld.ptt(timeout=0.5), None)
        self.station.rigctld.cont()
        self.assert_rigctld_released_within(self.OWED_UNKEY_S, "after the daemon ran again")
        self.end(modem, conn)

    def test_a_link_black_holed_around_the_unkey_is_unkeyed_once_healed(self):
        modem, conn = self.start_station_modem()
        self.key_station(modem, conn)
        self.station.proxy.black_hole()
        time.sleep(2.5)
        self.unkey_rigctld(conn)
        time.sleep(2.5)
        self.station.proxy.heal()
        self.assert_rigctld_released_within(self.OWED_UNKEY_S, "after the link healed")
        self.end(modem, conn)


def corpus_bodies(count):
    """`count` decodable bodies: every frame of the checked-in corpus of the
    parent stream, and copies of them with a byte changed, each decoded and
    encoded again. A shutdown would end the run early and a level scan of a
    changed duration could outlast it; neither is taken."""
    bodies = []
    for path in sorted(glob.glob(os.path.join(os.environ["QUILLMAR_CORPUS_DIR"], "ipc_stream", "*"))):
        with open(path, "rb") as f:
            data = f.read()[1:]  # the first byte seeds how the target splits the stream
        while len(data) >= 4:
            (length,) = struct.unpack(">I", data[:4])
            if length > len(data) - 4:
                break
            bodies.append(data[4:4 + length])
            data = data[4 + length:]
    chosen = []
    rng = random.Random(26)
    # The protobuf library logs each refused text on standard error.
    saved_stderr = os.dup(2)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 2)
    try:
        while len(chosen) < count:
            changed = changed_body(rng, bodies, len(chosen) >= len(bodies))
            if changed is not None:
                chosen.append(changed)
    finally:
        os.dup2(saved_stderr, 2)
        os.close(saved_stderr)
    return chosen


def changed_body(rng, bodies, change):
    """A body of `bodies`, with one byte changed when `change` holds, decoded
    and encoded again without the fields it does not know; None when it does
    not decode or must not be sent."""
    body = bytearray(rng.choice(bodies))
    if body and change:
        body[rng.randrange(len(body))] = rng.randrange(256)
    message = pb.IpcMessage()
    try:
        message.ParseFromString(bytes(body))
    except Exception:  # noqa: BLE001 - any refusal
        return None
    if message.WhichOneof("payload") in ("shutdown", "scan_input_levels"):
        return None
    message.DiscardUnknownFields()  # the modem refuses a known field of another wire type
    return message.SerializeToString()


class TransmissionFaults(StationTestCase):
    """A frame queued on every line of the station, each playing a second of
    flags on a paced test sound card, and a fault while the first plays."""

    OUTPUT = 10
    FRAME = b"\x82\xa0\xa4\xa6@@`\x9c`\x86\x82\x98\x98a\x03\xf0fault"

    def start_with_output(self, name="modem", **device):
        """The station's modem with OUTPUT configured on the paced playback
        device "tx" (with the plugin's `device` settings), recording what it
        plays into self.played."""
        self.played = os.path.join(self.dir, f"played-{name}.raw")
        self.station.alsa_config = harness.write_alsa_config(self.dir, {"tx": {
            "stream": "playback", "rates": [48000], "record_file": self.played, **device}})
        modem, conn = self.start_station_modem(name)
        conn.send(pb.IpcMessage(configure_audio=pb.ConfigureAudio(
            device_id=self.OUTPUT, device_name="tx", sample_rate=48000, channels=1)))
        return modem, conn

    def start_transmissions(self, name="modem", txdelay_ms=1000):
        modem, conn = self.start_with_output(name)
        for channel, _ in harness.Station.METHODS:
            conn.send(pb.IpcMessage(configure_channel=pb.ConfigureChannel(
                channel=channel, device_id=channel + 1, output_device_id=self.OUTPUT)))
        for channel, _ in harness.Station.METHODS:
            conn.send(pb.IpcMessage(transmit_frame=pb.TransmitFrame(
                channel=channel, data=self.FRAME, txdelay_override_ms=txdelay_ms)))
        # Every transmission is queued once a status report counts the last.
        self.assertIsNotNone(conn.wait_for(
            lambda m: m.HasField("status_update") and m.status_update.channel == self.station.SERIAL
            and m.status_update.tx_frames == 1), modem.stderr_lines())
        # The rigctld line goes first.
        deadline = time.monotonic() + harness.TIMEOUT
        while self.station.rigctld.ptt(timeout=1.0) != "1":
            self.assertLess(time.monotonic(), deadline, "the first transmission never keyed")
            time.sleep(0.02)
        self.lines.append(f"quillmar-modem: TX sink opened for device_id={self.OUTPUT} at 48000 Hz")
        self.wait_lines(modem)
        return modem, conn

    def test_a_sound_card_failing_mid_playback_unkeys_and_the_next_frame_plays(self):
        modem, conn = self.start_with_output(fail_after_ms=300)
        conn.send(pb.IpcMessage(configure_channel=pb.ConfigureChannel(
            channel=harness.Station.CM108, output_device_id=self.OUTPUT)))
        for _ in range(2):
            conn.send(pb.IpcMessage(transmit_frame=pb.TransmitFrame(
                channel=harness.Station.CM108, data=self.FRAME, txdelay_override_ms=1000)))
        self.wait_reports(modem, 5)
        self.assert_released("after both transmissions")
        conn.shutdown_write()
        self.assertEqual(modem.wait(), 0, f"stderr: {modem.stderr_lines()}")
        self.assert_lines(modem, PEER_CLOSED)
        self.assert_released("after the exit")
        # Each transmission played until its stream failed, the second on a
        # stream of its own, and neither waited for a drain that never came.
        lines = modem.stderr_lines()
        self.assertEqual(lines.count("cpal output stream failed, rebuilding"), 2, lines)
        self.assertEqual(lines.count(
            f"quillmar-modem: TX sink opened for device_id={self.OUTPUT} at 48000 Hz"), 2, lines)
        self.assertEqual([l for l in lines if "drain timeout" in l], [])
        self.assertGreaterEqual(os.path.getsize(self.played), 2 * 2 * 48000 // 4)

    def wait_reports(self, modem, count):
        """Waits for `count` reports on the CM108 node: the configuration's
        unkeyed one, then a key and an unkey per transmission."""
        deadline = time.monotonic() + harness.TIMEOUT
        while len(self.station.cm108_reports()) < count:
            self.assertLess(time.monotonic(), deadline,
                            f"reports {self.station.cm108_reports()}, {modem.stderr_lines()}")
            time.sleep(0.05)

    def assert_lines(self, modem, last):
        lines = modem.stderr_lines()
        self.assertEqual(lines[:len(self.lines)], self.lines)
        self.assertEqual(lines[-1], last, lines)
        self.assertEqual([l for l in lines if not MODEM_LINE.fullmatch(l)], [])

    def test_sigterm_mid_transmission(self):
        modem, conn = self.start_transmissions(txdelay_ms=3000)
        modem.send_signal(signal.SIGTERM)
        self.assertEqual(modem.wait(), -signal.SIGTERM, f"stderr: {modem.stderr_lines()}")
        self.assertFalse(os.path.lexists(modem.socket_path))
        self.assertEqual(modem.stderr_lines()[len(self.lines):],
                         [DROPPED_TWO, "quillmar-modem: SIGTERM received, exiting"])
        self.assert_released("after the exit")
        # The transmission in hand, well inside the bound, played to its end:
        # three seconds of flags at least.
        self.assertGreaterEqual(os.path.getsize(self.played), 2 * 48000 * 3)

    def test_parent_killed_while_a_rigctld_transmission_plays(self):
        modem, conn = self.start_transmissions(txdelay_ms=3000)
        conn.abort()
        self.assertEqual(modem.wait(), 0, f"stderr: {modem.stderr_lines()}")
        lines = modem.stderr_lines()
        self.assertEqual(lines[-2], DROPPED_TWO, lines)
        self.assertTrue(lines[-1] == PEER_CLOSED or READ_ERROR.fullmatch(lines[-1]), lines)
        self.assert_lines(modem, lines[-1])
        self.assert_released("after the exit")

    # A 20 s frame on the rigctld line, the other two queued behind it.
    LONG_MS = 20000

    def assert_cut_end(self, modem, first_line, status):
        """The run ended with `status` after the frame in hand was cut (the
        line gives its time and the samples played of it, fewer than all) and
        the queued ones dropped, the end's own line last; every line released.
        Returns the cut's time in ms."""
        self.assertEqual(modem.wait(), status, f"stderr: {modem.stderr_lines()}")
        self.assertFalse(os.path.lexists(modem.socket_path))
        lines = modem.stderr_lines()
        ended = lines[len(self.lines):]
        self.assertEqual(len(ended), 3 if first_line else 2, lines)
        if first_line:
            self.assertEqual(ended.pop(), first_line)
        cut = CUT.fullmatch(ended[0])
        self.assertIsNotNone(cut, lines)
        ms, played, total = map(int, cut.groups())
        self.assertGreaterEqual(total, 48000 * self.LONG_MS // 1000)
        self.assertLess(played, total)
        self.assertEqual(ended[1], DROPPED_TWO, lines)
        self.assert_lines(modem, first_line or DROPPED_TWO)
        self.assert_released("after the exit")
        self.assertLess(os.path.getsize(self.played), 2 * 48000 * self.LONG_MS // 1000)
        return ms

    def test_a_second_sigterm_cuts_a_long_frame_at_once(self):
        modem, conn = self.start_transmissions(txdelay_ms=self.LONG_MS)
        first = time.monotonic()
        modem.send_signal(signal.SIGTERM)
        received = "quillmar-modem: SIGTERM received, exiting"
        # The frame plays on after the first (the end's line comes only after
        # the worker's end).
        time.sleep(1.0)
        self.assertIsNone(modem.proc.poll())
        self.assertEqual(self.station.rigctld.ptt(), "1")
        modem.send_signal(signal.SIGTERM)
        self.assert_cut_end(modem, received, -signal.SIGTERM)
        # Cut by the second signal, well before the bound would have cut it.
        self.assertLess(time.monotonic() - first, END_BOUND_S)

    def test_the_end_cuts_a_long_frame_on_the_bound(self):
        rows = [
            ("SIGTERM", lambda conn, modem: modem.send_signal(signal.SIGTERM),
             "quillmar-modem: SIGTERM received, exiting", -signal.SIGTERM),
            ("Shutdown", lambda conn, modem: conn.send(pb.IpcMessage(shutdown=pb.Shutdown())),
             None, 0),
        ]
        for name, end, first_line, status in rows:
            with self.subTest(name):
                modem, conn = self.start_transmissions(name, txdelay_ms=self.LONG_MS)
                began = time.monotonic()
                end(conn, modem)
                ms = self.assert_cut_end(modem, first_line, status)
                took = time.monotonic() - began
                # The frame played on for the bound, then the lines were
                # released and the process ended.
                self.assertGreaterEqual(took, END_BOUND_S - 0.5)
                self.assertGreaterEqual(ms, END_BOUND_S * 1000)
                self.assertLess(took, END_BOUND_S + harness.TIMEOUT)

    def test_a_parent_that_stops_reading_while_a_busy_channel_decodes(self):
        # Minutes of frames, decoded far faster than real time: their
        # messages fill the connection long before the 4 s transmission ends.
        busy = os.path.join(self.dir, "busy.flac")
        harness.make_recording(busy, "flac", 11025, frames=BUSY_FRAMES)
        modem, conn = self.start_with_output()
        conn.send(pb.IpcMessage(configure_audio=pb.ConfigureAudio(
            device_id=4, source_type="flac_fast", device_name=busy)))
        conn.send(pb.IpcMessage(configure_channel=pb.ConfigureChannel(
            channel=harness.Station.CM108, device_id=4, output_device_id=self.OUTPUT,
            demod_ensemble="single")))
        conn.pause_reading()
        conn.send(pb.IpcMessage(transmit_frame=pb.TransmitFrame(
            channel=harness.Station.CM108, data=self.FRAME, txdelay_override_ms=4000)))
        conn.send(pb.IpcMessage(start_audio=pb.StartAudio()))
        # While the frame plays, the modem gets stuck in a write: nothing more
        # arrives, and the source, which a reading parent sees end within
        # seconds, has not ended.
        self.wait_reports(modem, 2)
        unread = wait_stuck_writing(self, conn)
        self.assertEqual(len(self.station.cm108_reports()), 2, "unkeyed before the modem stuck")
        self.assertNotIn("quillmar-modem: audio source 4 ended", modem.stderr_lines())
        # The frame still plays to its end and unkeys.
        self.wait_reports(modem, 3)
        self.assert_released("after the transmission")
        self.assertGreaterEqual(os.path.getsize(self.played), 2 * 48000 * 4)
        self.assertEqual(conn.unread_bytes(), unread)
        conn.abort()
        self.assert_lines(modem, self.assert_ended_by_parent_gone(modem)[-1])
        self.assert_released("after the exit")


class SourceFaults(StationTestCase):
    def test_a_flac_file_and_standard_input_ending_beside_a_running_udp_device(self):
        flac = os.path.join(self.dir, "frame.flac")
        raw = os.path.join(self.dir, "frame.raw")
        (payload,) = harness.make_recording(flac, "flac", 48000)
        harness.make_recording(raw, "raw", 48000)
        with open(raw, "rb") as f:
            recording = f.read()
        port = harness.free_udp_port()
        modem, conn = self.start_station_modem(stdin=subprocess.PIPE)
        sources = [(4, "flac", flac, 0), (5, "stdin", "", 48000),
                   (6, "sdr_udp", f"127.0.0.1:{port}", 48000)]
        for device, kind, name, rate in sources:
            conn.send(pb.IpcMessage(configure_audio=pb.ConfigureAudio(
                device_id=device, source_type=kind, device_name=name, sample_rate=rate)))
            conn.send(pb.IpcMessage(configure_channel=pb.ConfigureChannel(
                channel=device, device_id=device)))
        conn.send(pb.IpcMessage(start_audio=pb.StartAudio()))
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(udp.close)

        def frame_on(channel, after):
            found = conn.wait_for(lambda m: m.HasField("received_frame")
                                  and m.received_frame.channel == channel, after=after)
            self.assertIsNotNone(found, f"no frame on channel {channel}: {modem.stderr_lines()}")
            self.assertEqual(found[1].received_frame.data, payload)

        def ended(device):
            line = f"quillmar-modem: audio source {device} ended"
            self.assertTrue(modem.wait_for_stderr(lambda l: l == line), modem.stderr_lines())
            return len(conn.messages())

        # The FLAC file plays its frame and ends while the others wait.
        frame_on(4, 0)
        after = ended(4)
        # Standard input then carries the frame and one byte more, and ends.
        modem.proc.stdin.write(recording + b"\x01")
        modem.proc.stdin.close()
        frame_on(5, after)
        after = ended(5)
        # The UDP device still runs.
        for i in range(0, len(recording), 1920):
            udp.sendto(recording[i:i + 1920], ("127.0.0.1", port))
            time.sleep(0.005)
        frame_on(6, after)
        conn.shutdown_write()
        self.assertEqual(modem.wait(), 0, f"stderr: {modem.stderr_lines()}")
        lines = modem.stderr_lines()
        self.assertEqual(lines[:len(self.lines)], self.lines)
        self.assertEqual(lines[-1], PEER_CLOSED, lines)
        self.assertEqual([l for l in lines if not MODEM_LINE.fullmatch(l)], [])
        self.assertEqual([l for l in lines if l.endswith(" ended")],
                         ["quillmar-modem: audio source 4 ended",
                          "quillmar-modem: audio source 5 ended"])
        self.assert_released("after the exit")


class CaptureFaults(StationTestCase):
    def test_a_sound_card_failing_mid_capture_is_rebuilt_and_decodes_again(self):
        raw = os.path.join(self.dir, "frame.raw")
        (payload,) = harness.make_recording(raw, "raw", 48000)
        # Each stream fails 300 ms after the recording's end; every new one
        # plays the recording from its start.
        fail_after_ms = os.path.getsize(raw) // 2 // 48 + 300
        self.station.alsa_config = harness.write_alsa_config(self.dir, {"cap": {
            "stream": "capture", "rates": [48000], "capture_file": raw,
            "fail_after_ms": fail_after_ms}})
        modem, conn = self.start_station_modem()
        conn.send(pb.IpcMessage(configure_audio=pb.ConfigureAudio(
            device_id=1, source_type="soundcard", device_name="cap", sample_rate=48000,
            channels=1)))
        conn.send(pb.IpcMessage(configure_channel=pb.ConfigureChannel(channel=0, device_id=1)))
        conn.send(pb.IpcMessage(start_audio=pb.StartAudio()))
        first = conn.wait_for(lambda m: m.HasField("received_frame"))
        self.assertIsNotNone(first, modem.stderr_lines())
        self.assertTrue(modem.wait_for_stderr(lambda l: l == "cpal input stream failed, rebuilding"))
        rebuilt = len(conn.messages())
        again = conn.wait_for(lambda m: m.HasField("received_frame"), after=rebuilt)
        self.assertIsNotNone(again, f"no frame after the rebuild: {modem.stderr_lines()}")
        self.assertEqual([first[1].received_frame.data, again[1].received_frame.data],
                         [payload, payload])
        conn.shutdown_write()
        self.assertEqual(modem.wait(), 0, f"stderr: {modem.stderr_lines()}")
        lines = modem.stderr_lines()
        self.assertEqual(lines[:len(self.lines)], self.lines)
        self.assertEqual([l for l in lines if not MODEM_LINE.fullmatch(l)], [])
        # The capture stream, let go at the end, may still fail once more.
        self.assertIn(PEER_CLOSED, lines)
        after = lines[lines.index(PEER_CLOSED) + 1:]
        self.assertEqual([l for l in after if not l.startswith("cpal input stream")], [], lines)
        self.assert_released("after the exit")


class SignalFaults(StationTestCase):
    # Every signal whose default action ends the process and that can be caught.
    TERMINATION = ["SIGHUP", "SIGINT", "SIGQUIT", "SIGTERM", "SIGUSR1", "SIGUSR2", "SIGALRM",
                   "SIGVTALRM", "SIGPROF", "SIGXCPU", "SIGPOLL"]

    def setUp(self):
        super().setUp()
        # The signals that dump core by default end the modem by them again.
        soft, hard = resource.getrlimit(resource.RLIMIT_CORE)
        resource.setrlimit(resource.RLIMIT_CORE, (0, hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_CORE, (soft, hard))

    def test_each_termination_signal_while_keyed_ends_in_order_with_the_station_released(self):
        for name in self.TERMINATION:
            with self.subTest(name):
                number = getattr(signal, name)
                modem, conn = self.start_station_modem(name)
                self.key_station(modem, conn)
                modem.send_signal(number)
                self.assert_end(modem, conn, signal=number,
                                stderr=self.lines + [f"quillmar-modem: {name} received, exiting"])
                self.assert_released("after the exit")

    def test_sigterm_while_blocked_writing_to_a_parent_that_stopped_reading(self):
        busy = os.path.join(self.dir, "busy.flac")
        harness.make_recording(busy, "flac", 11025, frames=BUSY_FRAMES)
        modem, conn = self.start_station_modem()
        self.key_station(modem, conn)
        conn.send(pb.IpcMessage(configure_audio=pb.ConfigureAudio(
            device_id=4, source_type="flac_fast", device_name=busy)))
        conn.send(pb.IpcMessage(configure_channel=pb.ConfigureChannel(
            channel=5, device_id=4, demod_ensemble="single")))
        conn.pause_reading()
        conn.send(pb.IpcMessage(start_audio=pb.StartAudio()))
        # Wait until the modem is stuck in a write: nothing more arrives.
        unread = wait_stuck_writing(self, conn)
        self.assertIsNone(modem.proc.poll())
        modem.send_signal(signal.SIGTERM)
        self.assertEqual(modem.wait(), -signal.SIGTERM, f"stderr: {modem.stderr_lines()}")
        self.assertFalse(os.path.lexists(modem.socket_path))
        lines = modem.stderr_lines()
        self.assertEqual(lines[:len(self.lines)], self.lines)
        self.assertEqual(lines[-1], "quillmar-modem: SIGTERM received, exiting", lines)
        # The write that gave up may have been a frame's, which says so.
        self.assertEqual([l for l in lines[len(self.lines):-1]
                          if l != "quillmar-modem: ipc send failed: terminating"], [], lines)
        self.assert_released("after the exit")


def no_core_dump():
    """Run in the modem's child: a crash leaves no core file behind."""
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


class CrashFaults(StationTestCase):
    def test_a_crash_while_keyed_releases_every_line_and_ends_by_its_signal(self):
        # Sent from outside, as a fault of the modem would raise them; SIGABRT
        # is also how std::terminate ends the process.
        for crash in (signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGFPE, signal.SIGILL):
            with self.subTest(crash.name):
                modem, conn = self.start_station_modem(crash.name, preexec_fn=no_core_dump)
                self.key_station(modem, conn)
                modem.send_signal(crash)
                self.assertEqual(modem.wait(), -crash, f"stderr: {modem.stderr_lines()}")
                self.assertEqual(modem.stderr_lines(), self.lines)
                self.assert_released(f"after {crash.name}")


class RecordFaults(harness.ModemTestCase):
    def test_a_recording_that_cannot_be_written_is_reported(self):
        config = harness.write_alsa_config(self.dir, {"cap": {"stream": "capture", "tone_hz": 1000}})
        env = dict(os.environ, ALSA_CONFIG_PATH=config)

        def file_size_limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        # The limit holds the file at 4 KiB; the write past it fails with
        # EFBIG instead of the signal ending the process.
        rows = [
            ("a full device", "/dev/full", None, errno.ENOSPC),
            ("a 4 KiB file-size limit", os.path.join(self.dir, "out.wav"), file_size_limit,
             errno.EFBIG),
        ]
        for name, out, limit, error in rows:
            with self.subTest(name):
                run = subprocess.run(
                    [harness.MODEM, "--record", "cap", "--seconds", "1", "--out", out],
                    stdin=subprocess.DEVNULL, capture_output=True, env=env,
                    preexec_fn=limit, timeout=harness.TIMEOUT)
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertEqual(run.stdout, b"")
                lines = run.stderr.decode(errors="replace").splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith("record: "), lines)
                self.assertIn(os.strerror(error), lines[0])


if __name__ == "__main__":
    harness.main()
