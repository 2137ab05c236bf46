"""System audio from speakers on a crystal of their own: each case runs a
private server whose default sink is a pipe sink drained by paced_reader.py
at 48000 x (1 + ppm / 1e6) frames per second, while the silent microphone
(the null sink behind virtual_mic) runs on the system clock. A program other
than the recording (run under host_stand_in) plays 1000 Hz on the pipe sink."""

import os
import pathlib
import re
import subprocess
import time
import unittest

from support import (PACTL_TIMEOUT, ScratchTest, Sidecar, binary, channel, decode, tone_breaks, tone_offset,
                     write_wav_tone)

SERVER_SCRIPT = os.environ.get("KORVALIN_SERVER_SCRIPT", "")
RATE, HZ, AMPLITUDE = 48000, 1000, 0.5
# Without rate control +5000 ppm cuts at about 40 s and -5000 ppm breaks every
# few seconds. A new reader makes the server re-render its sinks for about
# 15 s, so the right channel is judged from 20 s on.
SECONDS, JUDGED_FROM = 45, 20


class DriftingSpeakers:
    """A private server whose default sink plays at `ppm` against the system clock."""

    def __init__(self, test, ppm, wav):
        self.dir = test.path("server%+d" % ppm)
        subprocess.run([SERVER_SCRIPT, "start", self.dir], check=True, capture_output=True)
        test.addCleanup(subprocess.run, [SERVER_SCRIPT, "stop", self.dir], capture_output=True)
        self.env = dict(os.environ, PULSE_SERVER="unix:%s/runtime/native" % self.dir, KORVALIN_PULSE_DIR=self.dir)
        fifo = os.path.join(self.dir, "speakers.fifo")
        reader = self.spawn(test, [os.path.join(os.path.dirname(__file__), "paced_reader.py"), fifo, str(ppm)])
        test.assertEqual(reader.stdout.readline(), b"ready\n")
        for args in (["load-module", "module-pipe-sink", "file=" + fifo, "sink_name=drifting", "format=s16le",
                      "rate=%d" % RATE, "channels=2"], ["set-default-sink", "drifting"]):
            subprocess.run(["pactl"] + args, env=self.env, check=True, capture_output=True, timeout=PACTL_TIMEOUT)
        # The pipe sink's thread and the reader stand for a sound card, whose
        # clock no busy machine bends: real-time, as the server's other sinks.
        tasks = pathlib.Path("/proc", pathlib.Path(self.dir, "server.pid").read_text().strip(), "task")
        threads = {(task / "comm").read_text(): int(task.name) for task in tasks.iterdir()}
        like = threads["null-sink\n"]
        for tid in (reader.pid, threads["pipe-sink\n"]):
            os.sched_setscheduler(tid, os.sched_getscheduler(like), os.sched_getparam(like))
        self.spawn(test, ["paplay", "--device=drifting", wav])

    def spawn(self, test, args):
        proc = subprocess.Popen(args, env=self.env, stdout=subprocess.PIPE)
        for cleanup in (proc.stdout.close, proc.wait, proc.kill):
            test.addCleanup(cleanup)
        return proc


@unittest.skipUnless(SERVER_SCRIPT.endswith("pulse_server.sh"),
                     "PipeWire 0.3's pipe sink follows its graph's clock, not its reader")
class RealDrift(ScratchTest):
    def test_system_audio_follows_the_microphone_on_fast_slow_and_matched_speakers(self):
        write_wav_tone(self.path("tone.wav"), HZ, SECONDS + 20, amplitude=AMPLITUDE)
        caps = {}
        for ppm in (5000, -5000, 0):
            rig = DriftingSpeakers(self, ppm, self.path("tone.wav"))
            caps[ppm] = Sidecar(os.path.join("tests", "e2e", "host_stand_in"), env=rig.env, args=["--", binary()])
            self.addCleanup(caps[ppm].__exit__)
            caps[ppm].raw_line()
            caps[ppm].send({"cmd": "start", "out": self.path("%+d.m4a" % ppm)})
            self.assertTrue(caps[ppm].until("started")["system_audio"])
        time.sleep(SECONDS)
        for cap in caps.values():
            cap.send('{"cmd":"stop"}')
        for ppm, cap in caps.items():
            closed = cap.until("segment_closed")
            cap.close_stdin()
            status, _, err = cap.finish()
            with self.subTest(ppm=ppm):
                self.assertEqual((status, closed["dropped_frames"]), (0, 0))
                right = channel(decode(closed["path"]), 1)[JUDGED_FROM * RATE:-RATE // 10]
                log = err.decode()
                # Frames cut and filled, counted at stop: only while settling.
                cut, filled = map(int, re.search(r"zahozeno (\d+) snímků.*doplněno tichem (\d+) snímků", log).groups())
                self.assertLess(cut + filled, RATE // 2, log)
                self.assertEqual([JUDGED_FROM + t for t in tone_breaks(right, HZ, AMPLITUDE)], [], log)
                # The speakers' 1000 Hz on the microphone's clock, resampled rather
                # than cut; the backlog moving within its cushion shifts the mean.
                self.assertAlmostEqual(tone_offset(right, HZ), HZ * ppm / 1e6, delta=1.0, msg=log)


if __name__ == "__main__":
    unittest.main()
