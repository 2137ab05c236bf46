"""The black-box tests' own machinery: a wait for an event has one deadline
however many events it skips, runner.py leaves no process or file of a
test behind however the test ends, and reports a module whose every test
was skipped as a skip, and the measure of a tone's steadiness through the
encoder counts cuts and holes, not what the encoder does to a tone."""

import json
import os
import signal
import subprocess
import sys
import time
import unittest

from support import ScratchTest, Sidecar, Steadiness, channel, decode, running

RUNNER = os.path.join(os.path.dirname(__file__), "runner.py")

# A test that leaves a process in a session of its own and a file in its
# temporary directory, tells where in FAKE_REPORT, then sleeps FAKE_SECONDS.
FAKE_MODULE = """
import json, os, subprocess, tempfile, time, unittest

class Fake(unittest.TestCase):
    def test_leaves_things_behind(self):
        if os.environ["FAKE_SECONDS"] == "skip":
            self.skipTest("cannot run here")
        daemon = subprocess.Popen(["sleep", "300"], start_new_session=True)
        scratch = tempfile.mkdtemp()
        with open(os.environ["FAKE_REPORT"], "w") as f:
            json.dump({"pid": daemon.pid, "dir": scratch}, f)
        time.sleep(float(os.environ["FAKE_SECONDS"]))
"""


class Runner(ScratchTest):
    def runner(self, seconds):
        with open(self.path("fake_test.py"), "w") as f:
            f.write(FAKE_MODULE)
        env = dict(os.environ, PYTHONPATH=self.dir, FAKE_SECONDS=seconds, FAKE_REPORT=self.path("report"))
        proc = subprocess.Popen([sys.executable, RUNNER, "fake_test"], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        return proc

    def left_behind(self, report):
        return [what for what, gone in (("process", not running(report["pid"])),
                                        ("directory", not os.path.exists(report["dir"]))) if not gone]

    def test_nothing_is_left_however_the_test_ends(self):
        # How it ends, the runner's status, and how long the cleaning may take
        # after the runner is gone: SIGKILL leaves it to the watchdog.
        for ending, status, grace in (("passes", 0, 0), (signal.SIGTERM, 128 + signal.SIGTERM, 0),
                                      (signal.SIGKILL, -signal.SIGKILL, 10)):
            with self.subTest(ending=ending):
                proc = self.runner("0" if ending == "passes" else "60")
                deadline = time.monotonic() + 30
                while not os.path.exists(self.path("report")) or not os.path.getsize(self.path("report")):
                    self.assertLess(time.monotonic(), deadline, "the test did not run")
                    time.sleep(0.05)
                with open(self.path("report")) as f:
                    report = json.load(f)
                os.remove(self.path("report"))
                if ending != "passes":
                    proc.send_signal(ending)
                self.assertEqual(proc.wait(timeout=30), status)
                deadline = time.monotonic() + grace
                while self.left_behind(report) and time.monotonic() < deadline:
                    time.sleep(0.1)
                self.assertEqual(self.left_behind(report), [])

    def test_a_module_whose_every_test_is_skipped_is_a_skip(self):
        self.assertEqual(self.runner("skip").wait(timeout=30), 77)


class Waits(unittest.TestCase):
    def test_a_wait_ends_at_its_deadline_while_other_events_keep_coming(self):
        # Levels five times a second for 8 s, and never the awaited event.
        script = ("import time\nfor _ in range(40):\n"
                  "    print('{\"ev\":\"levels\",\"mic\":-120.0,\"sys\":-120.0}', flush=True); time.sleep(0.2)")
        with Sidecar(sys.executable, args=["-c", script]) as cap:
            with self.assertRaises(TimeoutError):
                cap.until("device_changed", timeout=1.0)


if __name__ == "__main__":
    unittest.main()


class SteadinessMeasure(ScratchTest):
    """Tones made to order, encoded as the recordings are (AAC, 64 kbit/s),
    judged by the measure the real-capture tests use."""

    def judge(self, expression):
        """20 s of 0.5 x sin(`expression`), `t` in seconds, on the right
        channel, beside the microphone's 2500 Hz on the left."""
        path = self.path("tone.m4a")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "aevalsrc=exprs='0.3*sin(2*PI*2500*t)|0.5*sin(%s)':s=48000:d=20" % expression,
                        "-c:a", "aac", "-b:a", "64k", path], check=True)
        return Steadiness(channel(decode(path), 1)[48000:-9600], 1500)

    def test_cuts_and_holes_are_splices_what_the_encoder_does_to_a_tone_is_not(self):
        # 1507.5 Hz, as 5000-ppm fast speakers play 1500 Hz: off the frames'
        # grid, where the encoder moves a tone's timing by a sample from one
        # block to the next. Its pitch wanders by 60 ppm, as a rate that
        # follows a clock may.
        wander = "2*PI*1507.5*t-1507.5*60e-6*5*cos(2*PI*t/5)"
        cases = (
            ("steady, off the grid", "2*PI*1507.5*t", 0),
            ("wandering", wander, 0),
            ("5 samples cut at 10 s", "%s+if(gte(t,10),2*PI*1507.5*5/48000,0)" % wander, 1),
            ("8 samples repeated at 10 s", "%s-if(gte(t,10),2*PI*1507.5*8/48000,0)" % wander, 1),
            ("a 20-ms hole at 10 s", "%s)*if(between(t,10,10.02),0,1" % wander, 1),
        )
        for what, expression, splices in cases:
            with self.subTest(what):
                steadiness = self.judge(expression)
                self.assertEqual(steadiness.splices, splices, steadiness)
                self.assertLess(steadiness.pitch_ppm, 100, steadiness)
