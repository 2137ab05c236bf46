"""The production program on a real sound server: one of the private servers
that ctest starts, PulseAudio or PipeWire (PULSE_SERVER, KORVALIN_PULSE_DIR,
and KORVALIN_SERVER_SCRIPT, the script that started it). Its virtual
microphone hears 440 Hz, its speakers play 1000 Hz, its headphones 2000 Hz."""

import array
import os
import shutil
import statistics
import subprocess
import tempfile
import time
import unittest

from support import (PACTL_TIMEOUT, Sidecar, binary, channel, decode, dominant_tone, events_of, ffprobe, rms, run,
                     tone_blocks, tone_breaks)

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
SERVER_SCRIPT = os.environ.get("KORVALIN_SERVER_SCRIPT", os.path.join(ROOT, "scripts", "pulse_server.sh"))
MIC_HZ, MIC_AMPLITUDE = 440, 0.3
SPEAKER_HZ, SPEAKER_AMPLITUDE = 1000, 0.5
HEADPHONES_HZ, HEADPHONES_AMPLITUDE = 2000, 0.3


def server_env(directory=None):
    env = dict(os.environ)
    if directory:
        env["PULSE_SERVER"] = "unix:%s/runtime/native" % directory
        env["KORVALIN_PULSE_DIR"] = directory
    return env


def play(env, seconds):
    """Plays the three tones for `seconds`; returns once the server plays them."""
    players = [subprocess.Popen([SERVER_SCRIPT, "tone", sink, str(hz), str(seconds), str(amplitude)], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
               for sink, hz, amplitude in (("micsink", MIC_HZ, MIC_AMPLITUDE),
                                           ("speakers", SPEAKER_HZ, SPEAKER_AMPLITUDE),
                                           ("headphones", HEADPHONES_HZ, HEADPHONES_AMPLITUDE))]
    for _ in range(100):
        inputs = subprocess.run(["pactl", "list", "short", "sink-inputs"], env=env, capture_output=True,
                                text=True, timeout=PACTL_TIMEOUT).stdout
        # The server's own streams (loopbacks) have no client.
        if sum(line.split("\t")[2] != "-" for line in inputs.splitlines()) >= 3:
            break
        time.sleep(0.05)
    return players


def source_rate(env, name):
    """The rate the server gives the source: second_mic is a 44.1 kHz source
    on PulseAudio, while PipeWire runs every source at its graph's rate."""
    sources = subprocess.run(["pactl", "list", "short", "sources"], env=env, capture_output=True, text=True,
                             timeout=PACTL_TIMEOUT).stdout
    for line in sources.splitlines():
        fields = line.split("\t")
        if fields[1] == name:
            return int(fields[3].split()[-1].removesuffix("Hz"))
    raise AssertionError("the server has no source %s" % name)


def set_default(env, kind, name):
    """Makes `name` the default source or sink; returns once the server
    reports it (PipeWire applies a new default a little after pactl returns)."""
    subprocess.run(["pactl", "set-default-" + kind, name], env=env, check=True, timeout=PACTL_TIMEOUT)
    for _ in range(100):
        info = subprocess.run(["pactl", "info"], env=dict(env, LC_ALL="C"), capture_output=True, text=True,
                              timeout=PACTL_TIMEOUT).stdout
        if "Default %s: %s\n" % (kind.capitalize(), name) in info:
            return
        time.sleep(0.02)
    raise AssertionError("the server did not make %s the default %s" % (name, kind))


def assert_channels_carry_the_tones(test, path, right_hz=SPEAKER_HZ, right_amplitude=SPEAKER_AMPLITUDE):
    samples = decode(path, rate=48000)[2 * 4800:]
    left, right = channel(samples, 0), channel(samples, 1)
    test.assertEqual(dominant_tone(left, 48000, [MIC_HZ, SPEAKER_HZ]), MIC_HZ)
    # AAC keeps a pure tone's RMS within about 20 %.
    test.assertAlmostEqual(rms(left), MIC_AMPLITUDE / 2 ** 0.5, delta=0.05)
    # In 10-ms blocks: a tone that system audio's rate control moves by
    # a fraction of a percent while it settles is still that tone.
    test.assertAlmostEqual(statistics.median(tone_blocks(right, right_hz)[0]), right_amplitude, delta=0.1)


def stop(players):
    for player in players:
        player.kill()
        player.wait()


@unittest.skipUnless(os.environ.get("PULSE_SERVER") and os.environ.get("KORVALIN_PULSE_DIR"),
                     "needs the private sound server of scripts/test.sh")
class RealCapture(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="korvalin-real-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.env = server_env()
        set_default(self.env, "source", "virtual_mic")
        self.players = play(self.env, 15)

    def tearDown(self):
        stop(self.players)
        set_default(self.env, "source", "virtual_mic")
        set_default(self.env, "sink", "speakers")

    def path(self, name):
        return os.path.join(self.dir, name)

    def sidecar(self):
        # Run by a host of its own: the tones this test plays come from other
        # programs, not from korvalin-cap's parent, whose sounds it leaves out.
        cap = Sidecar(name=os.path.join("tests", "e2e", "host_stand_in"), env=self.env, args=["--", binary()])
        self.assertTrue(cap.raw_line().startswith(b'{"ev":"ready"'))
        return cap

    def test_a_recording_keeps_microphone_left_and_speakers_right(self):
        with self.sidecar() as cap:
            cap.send({"cmd": "start", "out": self.path("seg-000.m4a")})
            started = cap.until("started")
            began = time.monotonic()
            self.assertEqual((started["mic"], started["sample_rate"], started["system_audio"]),
                             ("Virtual Microphone", 48000, True))
            levels = [cap.until("levels", skip=()) for _ in range(10)]
            time.sleep(1.0)
            cap.send('{"cmd":"stop"}')
            closed = cap.until("segment_closed")
            wall_ms = (time.monotonic() - began) * 1000
        self.assertEqual(closed["dropped_frames"], 0)
        self.assertAlmostEqual(closed["duration_ms"], wall_ms, delta=300)
        for event in levels[2:]:
            self.assertAlmostEqual(event["mic"], -10.5, delta=1.0)
            self.assertAlmostEqual(event["sys"], -6.0, delta=1.0)
        stream = ffprobe(self.path("seg-000.m4a"))["streams"][0]
        self.assertEqual((stream["codec_name"], stream["channels"], stream["sample_rate"]), ("aac", 2, "48000"))
        assert_channels_carry_the_tones(self, self.path("seg-000.m4a"))

    def test_a_new_default_continues_in_a_continuation_file_that_hears_it(self):
        # A server may move the speakers' player along to a new default sink:
        # what only the new sink carries is the headphones' tone.
        cases = (("source", "second_mic", "virtual_mic", "vstupní zařízení", "Second Microphone",
                  (SPEAKER_HZ, SPEAKER_AMPLITUDE)),
                 ("sink", "headphones", "speakers", "výstupní zařízení", "Virtual Microphone",
                  (HEADPHONES_HZ, HEADPHONES_AMPLITUDE)))
        for kind, device, usual, reason, mic, right in cases:
            first_path, next_path = self.path(kind + "-000.m4a"), self.path(kind + "-000~001.m4a")
            with self.subTest(kind), self.sidecar() as cap:
                cap.send({"cmd": "start", "out": first_path})
                cap.until("started")
                began = time.monotonic()
                time.sleep(1.5)
                set_default(self.env, kind, device)
                changed = cap.until("device_changed")
                self.assertEqual((changed["reason"], changed["next"]), (reason, next_path))
                first = cap.until("segment_closed")
                second_started = cap.until("started")
                rate = source_rate(self.env, "second_mic" if kind == "source" else "virtual_mic")
                self.assertEqual((second_started["after_device_change"], second_started["mic"],
                                  second_started["sample_rate"]), (True, mic, rate))
                time.sleep(1.5)
                cap.send('{"cmd":"stop"}')
                second = cap.until("segment_closed")
                wall_ms = (time.monotonic() - began) * 1000
                set_default(self.env, kind, usual)
                # Only the rebuild itself (the 0.4 s wait and the new graph) is missing.
                self.assertGreater(first["duration_ms"] + second["duration_ms"], wall_ms - 1000)
                self.assertEqual(ffprobe(next_path)["streams"][0]["sample_rate"], str(rate))
                assert_channels_carry_the_tones(self, next_path, *right)

    def test_system_audio_goes_on_across_the_join_when_only_the_microphone_changed(self):
        # A second microphone at the first one's rate (second_mic is 44.1 kHz
        # on PulseAudio), and only the speakers' tone: its phase is judged.
        module = subprocess.run(["pactl", "load-module", "module-remap-source", "master=micsink.monitor",
                                 "source_name=other_mic", "rate=48000", "channels=1", "channel_map=mono",
                                 "master_channel_map=mono"], env=self.env, check=True, capture_output=True,
                                text=True, timeout=PACTL_TIMEOUT).stdout.strip()
        self.addCleanup(subprocess.run, ["pactl", "unload-module", module], env=self.env, timeout=PACTL_TIMEOUT)
        stop(self.players[:1])
        with self.sidecar() as cap:
            cap.send({"cmd": "start", "out": self.path("seg.m4a")})
            cap.until("started")
            time.sleep(2.0)
            set_default(self.env, "source", "other_mic")
            cap.until("device_changed")
            first = cap.until("segment_closed")
            cap.until("started")
            time.sleep(1.0)
            cap.send('{"cmd":"stop"}')
            second = cap.until("segment_closed")
        # The two segments joined without the encoder's priming and padding.
        right = array.array("f")
        for closed, end in ((first, first["duration_ms"] * 48), (second, None)):
            priming = round(-float(ffprobe(closed["path"])["streams"][0]["start_time"]) * 48000)
            right.extend(channel(decode(closed["path"], rate=48000), 1)[priming:end and priming + end])
        join = first["duration_ms"] / 1000
        amplitudes = tone_blocks(right, SPEAKER_HZ)[0][round(join * 100) - 5:round(join * 100) + 20]
        self.assertGreater(min(amplitudes), SPEAKER_AMPLITUDE / 2, amplitudes)
        # The tone goes on across the join; the time the rebuild took shows
        # as one splice, as in the microphone's channel at the join, where
        # what was queued before it runs out: within 0.1 s after the join,
        # sooner when a server's deliveries had drained the queue low.
        breaks = tone_breaks(right, SPEAKER_HZ, SPEAKER_AMPLITUDE)
        self.assertEqual([t for t in breaks if join - 0.015 < t < join - 0.005 or join + 0.1 < t < join + 0.5], [],
                         breaks)
        self.assertLessEqual(len([t for t in breaks if abs(t - join - 0.05) <= 0.055]), 1, breaks)

    def test_a_killed_recording_is_repaired(self):
        with Sidecar(env=self.env) as cap:
            cap.raw_line()
            cap.send({"cmd": "start", "out": self.path("cut.m4a")})
            cap.raw_line()
            time.sleep(5.3)
            cap.proc.kill()
        status, out, _ = run(["--repair", self.dir])
        self.assertEqual(status, 0)
        events = events_of(out)
        self.assertEqual(events[0]["ev"], "repaired")
        self.assertEqual(events[-1], {"ev": "repair_done", "files": 1, "recovered": 1})
        self.assertGreaterEqual(events[0]["duration_ms"], 3500)
        self.assertGreaterEqual(float(ffprobe(self.path("cut.m4a"))["format"]["duration"]), 3.5)
        self.assertGreater(len(decode(self.path("cut.m4a"))), 2 * 48000 * 3.5)


if __name__ == "__main__":
    unittest.main()
