"""The black-box tests' own machinery: a wait for an event has one deadline
however many events it skips, and runner.py leaves no process or file of a
test behind however the test ends, and reports a module whose every test
was skipped as a skip."""

import json
import os
import signal
import subprocess
import sys
import time
import unittest

from support import ScratchTest, Sidecar, running

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
