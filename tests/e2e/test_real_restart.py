"""A sound server that goes away in the middle of a recording: each case runs
a private server of the kind under test (KORVALIN_SERVER_SCRIPT), with the
devices and tones of test_real_capture, and kills or stops it."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

from support import ScratchTest, Sidecar, binary, channel, decode, running, tone_blocks
from test_real_capture import (MIC_AMPLITUDE, MIC_HZ, SERVER_SCRIPT, assert_channels_carry_the_tones, play,
                               server_env, stop)


@unittest.skipUnless(os.environ.get("KORVALIN_SERVER_SCRIPT"), "needs the sound server scripts of scripts/test.sh")
class ServerOutage(ScratchTest):
    def setUp(self):
        super().setUp()
        self.server = self.path("server")
        self.start_server()
        self.addCleanup(subprocess.run, [SERVER_SCRIPT, "stop", self.server], capture_output=True)
        self.env = server_env(self.server)

    def start_server(self):
        started = subprocess.run([SERVER_SCRIPT, "start", self.server], capture_output=True)
        self.assertEqual(started.returncode, 0, started.stderr.decode(errors="replace"))

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

    def test_what_a_stalled_server_kept_from_the_microphone_is_counted_and_the_timeline_kept(self):
        self.play(30)
        cap = self.sidecar()
        cap.send({"cmd": "start", "out": self.path("seg.m4a")})
        cap.until("started")
        began = time.monotonic()
        time.sleep(3.0)
        pid = self.server_pids()[0]
        os.kill(pid, signal.SIGSTOP)
        stopped = time.monotonic()
        time.sleep(5.0)
        os.kill(pid, signal.SIGCONT)
        stall = time.monotonic() - stopped
        time.sleep(5.0)
        cap.send('{"cmd":"stop"}')
        closed = cap.until("segment_closed")
        wall_ms = (time.monotonic() - began) * 1000
        cap.close_stdin()
        status, _, err = cap.finish()
        log = err.decode()
        print("stall of %.2f s:\n%s" % (stall, "".join(re.findall(r".*oproti.*\n", log))), file=sys.stderr)
        self.assertEqual(status, 0)
        # The stall's seconds stay in the file (a server's start-up aside).
        self.assertAlmostEqual(closed["duration_ms"], wall_ms, delta=500)
        # The microphone's side: the stall filled with silence, and of the
        # late burst that may follow (PulseAudio's) no more cut than filled.
        mic_cut, mic_filled = map(int, re.search(
            r"mikrofon oproti hodinám: zahozeno (\d+) snímků \(\d+ ms\), doplněno tichem (\d+) snímků", log).groups())
        self.assertAlmostEqual(mic_filled / 48000, stall, delta=0.25, msg=log)
        self.assertLessEqual(mic_cut, mic_filled, log)
        amplitudes = tone_blocks(channel(decode(closed["path"]), 0)[4800:], MIC_HZ)[0]
        quiet = "".join("q" if a < MIC_AMPLITUDE / 2 else "." for a in amplitudes)
        runs = re.findall("q{10,}", quiet)  # 10-ms blocks without the tone, 0.1 s or more
        self.assertEqual(len(runs), 1, log)
        self.assertAlmostEqual(len(runs[0]) / 100, mic_filled / 48000, delta=0.15, msg=log)
        # System audio's late burst, when one comes, is cut, but for what
        # arrives while the silence that stood in for it is still queued (up
        # to half a second): that takes the silence's place.
        system_cut = int(re.search(r"systémový zvuk oproti mikrofonu: zahozeno (\d+) snímků", log).group(1))
        if SERVER_SCRIPT.endswith("pulse_server.sh"):
            self.assertGreater(system_cut / 48000, stall - 0.6, log)
            self.assertLess(system_cut / 48000, stall + 0.25, log)


if __name__ == "__main__":
    unittest.main()
