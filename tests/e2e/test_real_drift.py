"""System audio from speakers on a crystal of their own: each case runs a
private server whose default sink is a pipe sink drained by paced_reader.py
at 48000 x (1 + ppm / 1e6) frames per second (one of them in 200-ms reads, as
a Bluetooth headset takes its audio), while the microphone (the null sink
behind virtual_mic) runs on the system clock. A program other than the
recording (run under host_stand_in) plays 1500 Hz on the pipe sink; the
microphone hears 2500 Hz, the control: its tone is not resampled."""

import os
import pathlib
import re
import subprocess
import time
import unittest

from support import (PACTL_TIMEOUT, ScratchTest, Sidecar, Steadiness, binary, channel, decode, tone_offset,
                     write_wav_tone)

SERVER_SCRIPT = os.environ.get("KORVALIN_SERVER_SCRIPT", "")
RATE, HZ, MIC_HZ, AMPLITUDE = 48000, 1500, 2500, 0.5
# Without rate control +5000 ppm cuts at about 40 s and -5000 ppm breaks every
# few seconds. A new reader makes the server re-render its sinks for about
# 15 s, and a large offset or deliveries in bursts take the rate longer to
# learn, so the right channel is judged from 40 s on.
SECONDS, JUDGED_FROM = 60, 40
# (ppm, the reader's period): fast, slow in 200-ms reads (as a Bluetooth
# headset takes its audio), and matched. Four rigs at once, the slow one
# smooth as well, load the machine enough that a matched tone already breaks
# upstream of the recording (24 splices with the ratio at exactly 1); the
# simulator covers the slow clock read smoothly.
CASES = ((5000, 0.005), (-5000, 0.2), (0, 0.005))


class DriftingSpeakers:
    """A private server whose default sink plays at `ppm` against the system clock."""

    def __init__(self, test, ppm, period, wav, mic_wav):
        self.dir = test.path("server%+d-%g" % (ppm, period))
        subprocess.run([SERVER_SCRIPT, "start", self.dir], check=True, capture_output=True)
        test.addCleanup(subprocess.run, [SERVER_SCRIPT, "stop", self.dir], capture_output=True)
        self.env = dict(os.environ, PULSE_SERVER="unix:%s/runtime/native" % self.dir, KORVALIN_PULSE_DIR=self.dir)
        fifo = os.path.join(self.dir, "speakers.fifo")
        reader = self.spawn(test, [os.path.join(os.path.dirname(__file__), "paced_reader.py"), fifo, str(ppm),
                                   str(period)])
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
        self.spawn(test, ["paplay", "--device=micsink", mic_wav])

    def spawn(self, test, args):
        proc = subprocess.Popen(args, env=self.env, stdout=subprocess.PIPE)
        for cleanup in (proc.stdout.close, proc.wait, proc.kill):
            test.addCleanup(cleanup)
        return proc


@unittest.skipUnless(SERVER_SCRIPT.endswith("pulse_server.sh"),
                     "PipeWire 0.3's pipe sink follows its graph's clock, not its reader")
class RealDrift(ScratchTest):
    def test_system_audio_follows_the_microphone_on_fast_slow_matched_and_bursty_speakers(self):
        write_wav_tone(self.path("tone.wav"), HZ, SECONDS + 20, amplitude=AMPLITUDE)
        write_wav_tone(self.path("mic.wav"), MIC_HZ, SECONDS + 20, amplitude=0.3)
        caps = {}
        for ppm, period in CASES:
            rig = DriftingSpeakers(self, ppm, period, self.path("tone.wav"), self.path("mic.wav"))
            cap = caps[ppm, period] = Sidecar(os.path.join("tests", "e2e", "host_stand_in"), env=rig.env,
                                              args=["--", binary()])
            self.addCleanup(cap.__exit__)
            cap.raw_line()
            cap.send({"cmd": "start", "out": self.path("%+d-%g.m4a" % (ppm, period))})
            self.assertTrue(cap.until("started")["system_audio"])
        time.sleep(SECONDS)
        for cap in caps.values():
            cap.send('{"cmd":"stop"}')
        for (ppm, period), cap in caps.items():
            closed = cap.until("segment_closed")
            cap.close_stdin()
            status, _, err = cap.finish()
            with self.subTest(ppm=ppm, period=period):
                self.assertEqual((status, closed["dropped_frames"]), (0, 0))
                both = decode(closed["path"])
                judged = slice(JUDGED_FROM * RATE * 2, -RATE // 5)
                left, right = channel(both[judged], 0), channel(both[judged], 1)
                log = err.decode()
                # Frames cut and filled, counted at stop: only while settling.
                cut, filled = map(int, re.search(r"zahozeno (\d+) snímků.*doplněno tichem (\d+) snímků", log).groups())
                self.assertLess(cut + filled, RATE // 2, log)
                # The speakers' tone on the microphone's clock, resampled rather than cut.
                self.assertAlmostEqual(tone_offset(right, HZ), HZ * ppm / 1e6, delta=0.5, msg=log)
                # Wanted: within 200 ppm of its mean where the rate absorbs
                # 5000 ppm, else as steady as the microphone's tone, and the
                # lag still to 0.5 ms in 10 s. Reached on a quiet machine:
                # 33-49 ppm, 0.01-0.16 ms; with CI's sanitizer build compiling
                # beside it, 292 ppm at -5000 ppm. Held to twice the goal in
                # pitch. No more splices than the microphone's, but for two
                # that a busy machine may cause upstream.
                system, microphone = Steadiness(right, HZ, left, MIC_HZ), Steadiness(left, MIC_HZ)
                log = "system audio: %s; microphone: %s\n%s" % (system, microphone, log)
                print("%+d ppm, read every %g s: %s" % (ppm, period, log.splitlines()[0]))
                self.assertLessEqual(system.pitch_ppm, 400 if ppm else max(200, microphone.pitch_ppm), log)
                self.assertLessEqual(system.splices, microphone.splices + 2, log)
                self.assertLessEqual(system.lag_move_ms, 1.0, log)

if __name__ == "__main__":
    unittest.main()
