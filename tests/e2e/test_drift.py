"""System audio from an output whose clock drifts against the microphone's,
on the simulated audio system: the right channel stays one unbroken tone.
The microphone is silent: at 64 kbit/s the encoder's joint coding of a
second tone makes a 10-ms block's level swing by more than half."""

import os
import time
import unittest

from support import ScratchTest, Sidecar, channel, decode, sim_env, tone_breaks

SYSTEM_HZ = 1000


class DriftingOutput(ScratchTest):
    def test_system_audio_stays_continuous_on_a_fast_and_a_slow_output(self):
        caps = {}
        for ppm in (500, -500):
            scenario = {"output_clock": {"ppm": ppm, "jitter_ms": 25}, "system_tone": [SYSTEM_HZ, 0.5],
                        "devices": [{"uid": "sim-mic", "tone": [500, 0]}]}
            os.mkdir(self.path(str(ppm)))
            caps[ppm] = Sidecar("korvalin-cap-sim", env=sim_env(self.path(str(ppm)), scenario))
            self.addCleanup(caps[ppm].__exit__)
            caps[ppm].raw_line()
            caps[ppm].send({"cmd": "start", "out": self.path("%d.m4a" % ppm)})
            caps[ppm].until("started")
        # A queue without rate control runs dry at -500 ppm after about 31 s.
        time.sleep(35)
        for ppm, cap in caps.items():
            cap.send('{"cmd":"stop"}')
            closed = cap.until("segment_closed")
            self.assertEqual(closed["dropped_frames"], 0)
            # The first 0.5 s holds the queue's cushion filling up, the last
            # 0.1 s the encoder's padding.
            right = channel(decode(self.path("%d.m4a" % ppm)), 1)[24000:-4800]
            self.assertEqual(tone_breaks(right, SYSTEM_HZ, 0.5), [], "at %+d ppm" % ppm)


if __name__ == "__main__":
    unittest.main()
