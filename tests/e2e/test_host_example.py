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

from support import SIM, ScratchTest, binary, channel, decode, dominant_tone, ffprobe, sim_env

HOST = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "host.py")


class HostExampleTest(ScratchTest):
    def start(self, directory=None, program=binary(SIM)):
        self.host = subprocess.Popen([sys.executable, HOST, directory or self.dir, program],
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
        self.start()
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

    def test_ctrl_c_before_the_recording_started_stops_it_in_order(self):
        # The program starts only once the host has been interrupted.
        gate = self.path("gate")
        with open(gate, "w") as f:
            f.write("#!/bin/sh\ntouch %s.spawned\nwhile [ ! -e %s.open ]; do sleep 0.05; done\nexec %s\n"
                    % (gate, gate, binary(SIM)))
        os.chmod(gate, 0o755)
        self.start(program=gate)
        while not os.path.exists(gate + ".spawned"):
            time.sleep(0.05)
        self.host.send_signal(signal.SIGINT)
        open(gate + ".open", "w").close()
        out, err = self.host.communicate(timeout=30)
        self.assertEqual((self.host.returncode, err), (0, b""))
        self.assertIn(b"merged 1 segment into " + self.path("recording.m4a").encode(), out)

    def test_a_host_that_cannot_begin_says_why_in_one_line(self):
        open(self.path("file"), "w").close()
        for directory, program, message in (
                (self.path("file/recording"), binary(SIM), "cannot create %s: Not a directory\n" % self.path("file/recording")),
                (self.dir, self.path("missing"), "cannot start %s: No such file or directory\n" % self.path("missing"))):
            with self.subTest(message):
                self.start(directory, program)
                out, err = self.host.communicate(timeout=30)
                self.assertEqual((self.host.returncode, out, err), (1, b"", message.encode()))


if __name__ == "__main__":
    unittest.main()
