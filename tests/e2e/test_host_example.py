"""examples/host.py driven as a person would: Enter pauses and resumes through
a pipe, SIGINT stops, and the merged recording is judged by ffprobe and
ffmpeg. The program behind it is korvalin-cap-sim (microphone 1000 Hz,
system audio 440 Hz)."""

import os
import select
import signal
import subprocess
import sys
import time
import unittest

from support import ScratchTest, binary, channel, decode, dominant_tone, ffprobe, sim_env

HOST = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "host.py")


class HostExampleTest(ScratchTest):
    def setUp(self):
        super().setUp()
        self.host = subprocess.Popen([sys.executable, HOST, self.dir, binary("korvalin-cap-sim")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=sim_env(self.dir), bufsize=0)
        self.output = b""
        self.addCleanup(self.host.communicate)
        self.addCleanup(self.host.kill)

    def wait_for(self, text, timeout=20.0):
        """Reads the host's terminal output until it shows text."""
        deadline = time.monotonic() + timeout
        while text.encode() not in self.output:
            ready, _, _ = select.select([self.host.stdout], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(self.host.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                self.fail("host never showed %r; it showed %r" % (text, self.output))
            self.output += chunk

    def test_pause_resume_and_ctrl_c_leave_one_merged_recording(self):
        self.wait_for("Ctrl-C stops")
        self.wait_for("sys ")  # a level bar
        time.sleep(1.0)
        self.host.stdin.write(b"\n")
        self.wait_for("paused")
        self.host.stdin.write(b"\n")
        self.wait_for("recording into %s" % self.path("seg-001.m4a"))
        time.sleep(1.5)
        self.host.send_signal(signal.SIGINT)
        out, err = self.host.communicate(timeout=30)
        self.assertEqual(self.host.returncode, 0, err)

        merged = self.path("recording.m4a")
        self.assertIn(b"merged 2 segments into " + merged.encode(), self.output + out)
        parts = [float(ffprobe(self.path("seg-%03d.m4a" % n))["format"]["duration"]) for n in (0, 1)]
        info = ffprobe(merged)
        self.assertEqual((info["streams"][0]["codec_name"], info["streams"][0]["channels"]), ("aac", 2))
        self.assertAlmostEqual(float(info["format"]["duration"]), sum(parts), delta=0.1)
        self.assertGreater(parts[1], 1.0)
        samples = decode(merged, rate=48000)
        middle = slice(len(samples) // 4, len(samples) // 4 + 9600)
        self.assertEqual(dominant_tone(channel(samples, 0)[middle], 48000, (440, 1000)), 1000)
        self.assertEqual(dominant_tone(channel(samples, 1)[middle], 48000, (440, 1000)), 440)


if __name__ == "__main__":
    unittest.main()
