"""A sound server that goes away in the middle of a recording: each case runs
a private server of the kind under test (KORVALIN_SERVER_SCRIPT), with the
devices and tones of test_real_capture, and kills or stops it."""

import os
import signal
import subprocess
import sys
import time
import unittest

from support import ScratchTest, Sidecar, binary
from test_real_capture import SERVER_SCRIPT, assert_channels_carry_the_tones, play, server_env, stop


def running(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@unittest.skipUnless(os.environ.get("KORVALIN_SERVER_SCRIPT"), "needs the sound server scripts of scripts/test.sh")
class ServerOutage(ScratchTest):
    def setUp(self):
        super().setUp()
        self.server = self.path("server")
        self.start_server()
        self.addCleanup(subprocess.run, [SERVER_SCRIPT, "stop", self.server], capture_output=True)
        self.env = server_env(self.server)

    def start_server(self):
        subprocess.run([SERVER_SCRIPT, "start", self.server], check=True, capture_output=True)

    def server_pids(self):
        pids = []
        for name in ("server.pid", "helpers.pid"):  # PipeWire's helpers
            if os.path.exists(os.path.join(self.server, name)):
                with open(os.path.join(self.server, name)) as f:
                    pids += map(int, f.read().split())
        return pids

    def play(self, seconds):
        players = play(self.env, seconds)
        self.addCleanup(stop, players)

    def sidecar(self):
        # A host of its own: the tones come from other programs than its parent.
        cap = Sidecar(name=os.path.join("tests", "e2e", "host_stand_in"), env=self.env, args=["--", binary()])
        self.addCleanup(cap.__exit__)
        self.assertTrue(cap.raw_line().startswith(b'{"ev":"ready"'))
        return cap

    def test_a_restarted_server_is_reconnected_and_the_recording_goes_on_in_the_continuation(self):
        self.play(30)
        cap = self.sidecar()
        cap.send({"cmd": "start", "out": self.path("seg.m4a")})
        cap.until("started")
        time.sleep(2.0)
        pids = self.server_pids()
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        while any(map(running, pids)):
            time.sleep(0.01)
        self.start_server()
        back = time.monotonic()
        changed = cap.until("device_changed", timeout=20)
        self.assertEqual(changed["next"], self.path("seg~001.m4a"))
        cap.until("segment_closed")
        started = cap.until("started")
        print("audio in the continuation %.2f s after the server was back" % (time.monotonic() - back),
              file=sys.stderr)
        self.assertEqual((started["path"], started["after_device_change"]), (changed["next"], True))
        self.play(30)
        time.sleep(2.0)
        cap.send('{"cmd":"stop"}')
        cap.until("segment_closed")
        cap.close_stdin()
        status, _, err = cap.finish()
        self.assertEqual(status, 0)
        self.assertRegex(err.decode(), r"korvalin-cap: zvukový server znovu odpovídá po \d+ ms výpadku\n")
        assert_channels_carry_the_tones(self, changed["next"])


if __name__ == "__main__":
    unittest.main()
