"""The example parent application (examples/parent.py) against this build's
binary: the sample recording's frames, Ctrl-C on its terminal, and a recording
that gives no audio."""

import os
import re
import select
import signal
import subprocess
import time
import unittest

import harness

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PARENT = os.path.join(ROOT, "examples", "parent.py")
SAMPLE = os.path.join(ROOT, "samples", "demo.flac")


def frame_line(index):
    return re.compile(r"\d\d:\d\d:\d\d\.\d{3} ch0 QUILLM>TEST-1: quillmar-modem sample frame "
                      + str(index) + r"  \[retry \w+, quality \d+\]")


def start_parent(*args):
    """The parent in a process group of its own, as a shell runs a job."""
    command = ["/usr/bin/python3", PARENT, "--modem", harness.MODEM,
               "--proto-dir", os.environ["QUILLMAR_PROTO_DIR"], *args]
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, process_group=0)


class ExampleParent(unittest.TestCase):
    def finish(self, parent, seen=""):
        """The parent's status and its lines, after `seen`, what was read
        from its standard output already."""
        out, err = parent.communicate(timeout=harness.TIMEOUT)
        return parent.returncode, (seen + out.decode()).splitlines(), err.decode().splitlines()

    def assert_frames_and_clean_end(self, out, err, reason):
        frames = [line for line in out if " ch0 " in line]
        self.assertEqual(len(frames), 3, out)
        for index, line in enumerate(frames):
            self.assertRegex(line, frame_line(index))
        tail = out[out.index(f"{reason}: Shutdown"):]
        self.assertEqual(len(tail), 4, out)
        self.assertRegex(tail[1], r"channel 0: rx_frames 3, rx_bad_fcs \d+, tx_frames 0, "
                                  r"dcd_transitions \d+")
        self.assertEqual(tail[2:], ["end of stream", "the modem exited with status 0"])
        self.assertFalse([line for line in err if "received, exiting" in line], err)

    def test_the_sample_recording_prints_its_three_frames_and_exits_with_the_modem(self):
        status, out, err = self.finish(start_parent("--fast", SAMPLE))
        self.assertEqual(status, 0, (out, err))
        self.assertRegex(out[0], r"ModemReady: version v\S+, pid \d+")
        self.assert_frames_and_clean_end(out, err, "the recording is over")

    def test_ctrl_c_on_the_terminal_reaches_only_the_parent_which_shuts_the_modem_down(self):
        parent = start_parent(SAMPLE)  # paced: the recording lasts about 3 s
        self.addCleanup(parent.kill)
        seen = ""
        deadline = time.monotonic() + harness.TIMEOUT
        while " ch0 " not in seen and time.monotonic() < deadline:
            if select.select([parent.stdout], [], [], 0.1)[0]:
                seen += os.read(parent.stdout.fileno(), 4096).decode()
        self.assertIn(" ch0 ", seen, "no frame line")
        os.killpg(parent.pid, signal.SIGINT)
        status, out, err = self.finish(parent, seen)
        self.assertEqual(status, 0, (out, err))
        frames = [line for line in out if " ch0 " in line]
        self.assertGreaterEqual(len(frames), 1, out)
        self.assertRegex(frames[0], frame_line(0))
        tail = out[out.index("interrupted: Shutdown"):]
        self.assertEqual(tail[2:], ["end of stream", "the modem exited with status 0"], out)
        self.assertFalse([line for line in err if "received, exiting" in line], err)

    def test_a_recording_that_gives_no_audio_ends_with_status_1_and_the_modems_lines(self):
        missing = os.path.join(ROOT, "samples", "missing.flac")
        status, out, err = self.finish(start_parent("--fast", missing))
        self.assertEqual(status, 1, (out, err))
        self.assertIn("no audio within 5 s: Shutdown", out)
        self.assertEqual(out[-2:], ["end of stream", "the modem exited with status 0"])
        self.assertTrue([line for line in err
                         if line.startswith("quillmar-modem: start_audio failed: open flac "
                                            + missing)], err)


if __name__ == "__main__":
    harness.main()
