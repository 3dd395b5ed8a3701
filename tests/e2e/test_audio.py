"""Audio start and stop seen from the parent: frames, carrier detect, levels
and status from real sources (standard input, FLAC files, loopback UDP, a
paced test sound card), the start failures and their retry, and how fast a
stop returns."""

import math
import os
import re
import socket
import struct
import subprocess
import sys
import time

import harness
from harness import free_udp_port, make_recording, pb

def configure_audio(device_id, source_type, name="", rate=0, channels=0):
    return pb.IpcMessage(configure_audio=pb.ConfigureAudio(
        device_id=device_id, source_type=source_type, device_name=name, sample_rate=rate,
        channels=channels))


def configure_channel(channel, device, input_channel=0, **fields):
    return pb.IpcMessage(configure_channel=pb.ConfigureChannel(
        channel=channel, input_device_id=device, device_id=device, input_channel=input_channel,
        audio_channel=input_channel, **fields))


def gain(device_id, gain_db):
    return pb.IpcMessage(set_device_gain=pb.SetDeviceGain(device_id=device_id, gain_db=gain_db))


START = pb.IpcMessage(start_audio=pb.StartAudio())
STOP = pb.IpcMessage(stop_audio=pb.StopAudio())
SHUTDOWN = pb.IpcMessage(shutdown=pb.Shutdown())


def expected_level(gain_db, sample=32767):
    """Peak dBFS and clipping of a block of `sample`s after the receive gain."""
    g = max(-60.0, min(12.0, gain_db))
    v, clipping = float(sample), False
    if abs(g) > 1.1920929e-7:
        v = 10 ** (g / 20) * sample
        if g > 0:
            v = math.tanh(v / 32768) * 32768
        clipping = abs(v) > 32000
        v = float(int(max(-32767.0, min(32767.0, v))))
    peak = v / 32768
    return (max(20 * math.log10(peak), -60.0) if peak > 0 else -60.0), clipping


def levels_of(conn, device_id, after=0):
    return [(t, m.device_level_update) for t, m in conn.messages()[after:]
            if m.HasField("device_level_update") and m.device_level_update.device_id == device_id]


def statuses_of(conn, after=0):
    return [(t, m.status_update) for t, m in conn.messages()[after:] if m.HasField("status_update")]


class AudioTestCase(harness.ModemTestCase):
    def connect(self, **launch):
        modem = self.start_modem(**launch)
        conn = modem.connect()
        self.assertIsNotNone(conn.wait_for(lambda m: m.HasField("modem_ready")))
        return modem, conn

    def wait_line(self, modem, line):
        self.assertTrue(modem.wait_for_stderr(lambda l: l == line),
                        f"no line {line!r}: {modem.stderr_lines()}")

    def wait_ticks(self, conn, channel, count):
        """The status of `channel` at the `count`th tick from now on."""
        after = len(conn.messages())
        found = None
        for _ in range(count):
            found = conn.wait_for(
                lambda m: m.HasField("status_update") and m.status_update.channel == channel,
                after=after)
            self.assertIsNotNone(found)
            after = conn.messages().index(found) + 1
        return found[1].status_update

    def shut_down(self, modem, conn, stderr=()):
        """Shutdown: the final report, then the end of the stream and status 0;
        returns the final StatusUpdates."""
        after = len(conn.messages())
        conn.send(SHUTDOWN)
        self.assert_end(modem, conn, stderr=stderr)
        return [s for _, s in statuses_of(conn, after)]

    def wait_level(self, conn, device_id, after):
        found = conn.wait_for(lambda m: m.HasField("device_level_update")
                              and m.device_level_update.device_id == device_id, after=after)
        self.assertIsNotNone(found, "no level report")
        return found


class StandardInput(AudioTestCase):
    def test_a_frame_on_standard_input_reaches_both_channels_of_the_device(self):
        raw = os.path.join(self.dir, "frame.raw")
        (payload,) = make_recording(raw, "raw", 48000)
        with open(raw, "rb") as f:
            data = f.read()
        modem, conn = self.connect(stdin=subprocess.PIPE)
        conn.send(configure_audio(1, "stdin", rate=48000))
        conn.send(configure_channel(3, 1, demod_ensemble="single"))
        conn.send(configure_channel(4, 1, demod_ensemble="single", num_decoders=3,
                                    decoder_offset=1))
        conn.send(START)
        begin = time.time_ns()
        piece = 1920  # 20 ms at 48000 Hz
        for i in range(0, len(data), piece):
            modem.proc.stdin.write(data[i:i + piece])
            modem.proc.stdin.flush()
            time.sleep(0.02)
        modem.proc.stdin.close()
        ended = "quillmar-modem: audio source 1 ended"
        self.wait_line(modem, ended)
        end = time.time_ns()

        messages = [m for _, m in conn.messages()]
        first_level = next(i for i, m in enumerate(messages) if m.HasField("device_level_update"))
        first_frame = next(i for i, m in enumerate(messages) if m.HasField("received_frame"))
        self.assertLess(first_level, first_frame)
        level_times = [t for t, _ in levels_of(conn, 1)]
        self.assertGreater(len(level_times), 2)
        for a, b in zip(level_times, level_times[1:]):
            self.assertGreaterEqual(b - a, 0.18)

        def road(channel):
            out = []
            for m in messages:
                if m.HasField("dcd_change") and m.dcd_change.channel == channel:
                    out.append(("dcd", m.dcd_change.detected))
                elif m.HasField("received_frame") and m.received_frame.channel == channel:
                    out.append(("frame", m.received_frame))
            return out

        three = road(3)
        self.assertEqual([k if k == "frame" else (k, v) for k, v in three],
                         [("dcd", True), "frame", ("dcd", False)])
        frame = three[1][1]
        self.assertEqual(frame.data, payload)
        self.assertEqual(frame.retry, "none")
        self.assertTrue(begin <= frame.timestamp_ns <= end)
        four = [v for k, v in road(4) if k == "frame"]
        self.assertEqual([f.data for f in four], [payload] * 3)

        # Two ticks on, the end of the input is surely behind the report.
        status = {c: self.wait_ticks(conn, c, 2) for c in (3, 4)}
        self.assertEqual((status[3].rx_frames, status[3].dcd_transitions), (1, 2))
        self.assertEqual((status[4].rx_frames, status[4].dcd_transitions), (3, 2))
        self.assertEqual(status[3].audio_level_peak, 0.0)
        final = self.shut_down(modem, conn, stderr=[ended])
        self.assertEqual([(s.channel, s.shutdown_complete, s.rx_frames) for s in final],
                         [(3, False, 1), (4, True, 3)])

    def test_a_second_start_while_standard_input_is_idle_returns(self):
        modem, conn = self.connect(stdin=subprocess.PIPE)
        conn.send(configure_audio(1, "stdin", rate=48000))
        conn.send(configure_channel(1, 1))
        conn.send(START)
        time.sleep(0.3)
        conn.send(START)
        sent = time.monotonic()
        conn.send(SHUTDOWN)
        final = conn.wait_for(lambda m: m.HasField("status_update")
                              and m.status_update.shutdown_complete)
        self.assertIsNotNone(final)
        self.assertLess(final[0] - sent, 1.0)
        self.assert_end(modem, conn)


class FlacFiles(AudioTestCase):
    def test_each_device_delivers_the_input_channel_its_channel_names(self):
        path = os.path.join(self.dir, "right.flac")
        (payload,) = make_recording(path, "flac", 44100, channels=2, on=1)
        modem, conn = self.connect()
        conn.send(configure_audio(1, "flac_fast", path))
        conn.send(configure_audio(2, "flac_fast", path))
        conn.send(configure_channel(5, 1, input_channel=1))
        conn.send(configure_channel(6, 2, input_channel=0))
        conn.send(START)
        for device in (1, 2):
            self.wait_line(modem, f"quillmar-modem: audio source {device} ended")
        frames = [m.received_frame for _, m in conn.messages() if m.HasField("received_frame")]
        self.assertEqual([(f.channel, f.data) for f in frames], [(5, payload)])
        lines = modem.stderr_lines()
        self.shut_down(modem, conn, stderr=lines)
        self.assertEqual(sorted(lines), [f"quillmar-modem: audio source {d} ended" for d in (1, 2)])


class Udp(AudioTestCase):
    def test_gains_levels_stop_and_start(self):
        port = free_udp_port()
        raw = os.path.join(self.dir, "frame.raw")
        (payload,) = make_recording(raw, "raw", 48000)
        with open(raw, "rb") as f:
            data = f.read()
        modem, conn = self.connect()
        conn.send(configure_audio(1, "sdr_udp", f"127.0.0.1:{port}", 48000))
        conn.send(configure_channel(2, 1, demod_ensemble="single"))
        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(out.close)
        full_scale = struct.pack("<960h", *([32767] * 960))

        def start_and_wait():
            after = len(conn.messages())
            conn.send(START)
            deadline = time.monotonic() + harness.TIMEOUT
            while not levels_of(conn, 1, after) and time.monotonic() < deadline:
                out.sendto(bytes(64), ("127.0.0.1", port))
                time.sleep(0.05)
            self.assertTrue(levels_of(conn, 1, after), "the source never reported")

        start_and_wait()
        for i in range(0, len(data), 1920):
            out.sendto(data[i:i + 1920], ("127.0.0.1", port))
            time.sleep(0.01)
        frame = conn.wait_for(lambda m: m.HasField("received_frame"))
        self.assertIsNotNone(frame)
        self.assertEqual(frame[1].received_frame.data, payload)

        for gain_db in (0.0, 6.0, 12.0, 20.0, -6.0, -100.0):
            with self.subTest(gain_db=gain_db):
                time.sleep(0.25)  # past the 200 ms throttle
                after = len(conn.messages())
                conn.send(gain(1, gain_db))
                time.sleep(0.05)
                out.sendto(full_scale, ("127.0.0.1", port))
                level = self.wait_level(conn, 1, after)[1].device_level_update
                peak, clipping = expected_level(gain_db)
                self.assertAlmostEqual(level.peak_dbfs, peak, delta=0.01)
                self.assertAlmostEqual(level.rms_dbfs, peak, delta=0.01)
                self.assertEqual(level.clipping, clipping)

        after = len(conn.messages())
        conn.send(STOP)
        for _ in range(25):  # 0.5 s of datagrams
            out.sendto(full_scale, ("127.0.0.1", port))
            time.sleep(0.02)
        self.assertEqual(levels_of(conn, 1, after), [])
        stopped = self.wait_ticks(conn, 2, 2)
        self.assertEqual((stopped.audio_level_peak, stopped.rx_frames), (0.0, 1))
        self.assertEqual(levels_of(conn, 1, after), [])

        start_and_wait()
        self.assertEqual(self.wait_ticks(conn, 2, 1).rx_frames, 1)
        self.shut_down(modem, conn)


def paced_pcm_config(path, capture_file):
    """A libasound configuration of one listed paced capture device
    "quillmar_cap" playing `capture_file` (mono s16le at 48000 Hz)."""
    with open(path, "w") as f:
        f.write(f'pcm_type.quillmar_paced {{ lib "{harness.PACED_PCM_PLUGIN}" }}\n'
                'pcm.quillmar_cap {\n  type quillmar_paced\n  formats [ "S16_LE" ]\n'
                f'  channels [ 1 ]\n  rates [ 48000 ]\n  capture_file "{capture_file}"\n}}\n'
                'namehint.pcm {\n  h0 "quillmar_cap|Paced capture|IOIDInput"\n}\n')


class SoundCard(AudioTestCase):
    def test_a_test_capture_device_is_decoded_and_a_misnamed_second_device_fails_twice(self):
        raw = os.path.join(self.dir, "frame.raw")
        (payload,) = make_recording(raw, "raw", 48000)
        config = os.path.join(self.dir, "asound.conf")
        paced_pcm_config(config, raw)
        modem, conn = self.connect(env=dict(os.environ, ALSA_CONFIG_PATH=config))
        conn.send(configure_audio(1, "soundcard", "quillmar_cap", 48000, channels=1))
        conn.send(configure_audio(2, "Soundcard", "quillmar_cap", 48000, channels=1))
        conn.send(configure_channel(1, 1))
        conn.send(configure_channel(2, 2))
        conn.send(START)
        retry = ("quillmar-modem: start_audio failed (unknown source_type: Soundcard), "
                 "retrying in 500ms")
        failed = "quillmar-modem: start_audio failed: unknown source_type: Soundcard"
        self.wait_line(modem, failed)
        after = len(conn.messages())
        times = {line: t for t, line in modem.stderr_timed()}
        self.assertGreaterEqual(times[failed] - times[retry], 0.45)
        frame = conn.wait_for(lambda m: m.HasField("received_frame"), after=after)
        self.assertIsNotNone(frame, "the first device does not run")
        self.assertEqual((frame[1].received_frame.channel, frame[1].received_frame.data),
                         (1, payload))
        self.shut_down(modem, conn, stderr=[retry, failed])


class StartLines(AudioTestCase):
    def test_settings_that_cannot_work_as_asked_say_so_at_start(self):
        udp = configure_audio(1, "sdr_udp", "127.0.0.1:0", 48000)
        rows = [
            ("standard input without a rate",
             [configure_audio(1, "stdin"), configure_channel(1, 1)],
             ["quillmar-modem: start_audio failed (device 1: sample rate must be non-zero), "
              "retrying in 500ms",
              "quillmar-modem: start_audio failed: device 1: sample rate must be non-zero"]),
            ("forty decoders",
             [udp, configure_channel(1, 1, num_decoders=40, decoder_offset=10)],
             ["quillmar-modem: channel 1: num_decoders 40 limited to 32"]),
            ("two input channels of one device",
             [udp, configure_channel(7, 1, input_channel=1), configure_channel(2, 1)],
             ["quillmar-modem: channel 7 asks for input channel 1 of device 1, which delivers "
              "input channel 0"]),
        ]
        for name, settings, lines in rows:
            with self.subTest(name):
                modem, conn = self.connect(socket_path=self.socket_path(name.replace(" ", "-")))
                for message in settings:
                    conn.send(message)
                conn.send(START)
                self.shut_down(modem, conn, stderr=lines)


class Stop(AudioTestCase):
    def test_stop_and_shutdown_return_promptly_whatever_the_source_waits_for(self):
        long_flac = os.path.join(self.dir, "long.flac")
        make_recording(long_flac, "flac", 44100, seconds=20)
        slow = dict(num_decoders=4, decoder_offset=1)  # the queue stays full
        rows = [
            ("flac_fast on a full queue", configure_audio(1, "flac_fast", long_flac), slow, STOP,
             0.5),
            ("idle standard input", configure_audio(1, "stdin", rate=48000), {}, STOP, 0.5),
            ("quiet UDP", configure_audio(1, "sdr_udp", f"127.0.0.1:{free_udp_port()}", 48000),
             {}, STOP, 0.5),
            ("shutdown during flac_fast", configure_audio(1, "flac_fast", long_flac), slow, None,
             2.0),
        ]
        for name, audio, fields, request, bound in rows:
            with self.subTest(name):
                modem, conn = self.connect(socket_path=self.socket_path(name.replace(" ", "-")),
                                           stdin=subprocess.PIPE)
                conn.send(audio)
                conn.send(configure_channel(1, 1, **fields))
                conn.send(START)
                if audio.configure_audio.source_type == "flac_fast":
                    self.wait_level(conn, 1, 0)
                else:
                    time.sleep(0.3)
                sent = time.monotonic()
                if request is not None:
                    conn.send(request)
                conn.send(SHUTDOWN)
                final = conn.wait_for(lambda m: m.HasField("status_update")
                                      and m.status_update.shutdown_complete)
                self.assertIsNotNone(final)
                self.assertLess(final[0] - sent, bound)
                self.assertEqual(conn.wait_end(), "eof")
                self.assertLess(time.monotonic() - sent, 2.0)
                self.assert_end(modem, conn)

    def assert_prompt_shutdown(self, modem, conn, stderr=()):
        """Shutdown: the final report within 1 s, then the end."""
        sent = time.monotonic()
        conn.send(SHUTDOWN)
        final = conn.wait_for(lambda m: m.HasField("status_update")
                              and m.status_update.shutdown_complete)
        self.assertIsNotNone(final)
        self.assertLess(final[0] - sent, 1.0)
        self.assertEqual(conn.wait_end(), "eof")
        self.assert_end(modem, conn, stderr=stderr)

    def test_shutdown_is_answered_at_once_whatever_a_flac_device_names(self):
        fifo = os.path.join(self.dir, "fifo.flac")
        os.mkfifo(fifo)
        rows = [("a FIFO", fifo), ("/dev/zero", "/dev/zero"), ("a directory", self.dir)]
        for i, (name, path) in enumerate(rows):
            for source_type in ("flac", "flac_fast"):
                with self.subTest(name, source_type=source_type):
                    modem, conn = self.connect(
                        socket_path=self.socket_path(f"{source_type}-{i}"))
                    conn.send(configure_audio(1, source_type, path))
                    conn.send(configure_channel(1, 1))
                    conn.send(START)
                    refused = f"device 1: {path} is not a regular file"
                    self.wait_line(modem, f"quillmar-modem: start_audio failed: {refused}")
                    self.assert_prompt_shutdown(modem, conn, stderr=[
                        f"quillmar-modem: start_audio failed ({refused}), retrying in 500ms",
                        f"quillmar-modem: start_audio failed: {refused}"])

    def test_a_gigabyte_of_compressed_silence_plays_in_bounded_memory(self):
        silence = os.path.join(self.dir, "silence.flac")
        subprocess.run([os.environ["QUILLMAR_MAKE_RECORDING"], silence, "flac-silence", "48000",
                        str(1 << 30)], check=True, timeout=300)
        try:
            for source_type in ("flac", "flac_fast"):
                with self.subTest(source_type):
                    modem, conn = self.connect(socket_path=self.socket_path(source_type))
                    conn.send(configure_audio(1, source_type, silence))
                    conn.send(configure_channel(1, 1))
                    started = time.monotonic()
                    conn.send(START)
                    first = self.wait_level(conn, 1, 0)
                    # StartAudio only looked at the file: the first block came at once.
                    self.assertLess(first[0] - started, 2.0)
                    # Seconds of audio later (minutes of it from flac_fast), the
                    # modem still holds only a few blocks of it.
                    after = conn.messages().index(first) + 1
                    for _ in range(10):
                        level = self.wait_level(conn, 1, after)
                        after = conn.messages().index(level) + 1
                    with open(f"/proc/{modem.proc.pid}/status") as f:
                        peak_kb = int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1))
                    print(f"{source_type}: peak resident size {peak_kb} kB", file=sys.stderr)
                    if os.environ.get("QUILLMAR_SANITIZED") != "1":
                        self.assertLess(peak_kb, 200 * 1024)
                    self.assert_prompt_shutdown(modem, conn)
        finally:
            os.unlink(silence)


if __name__ == "__main__":
    harness.main()
