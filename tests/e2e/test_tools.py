"""Black-box tests of the maintenance tools: --merge, --repair, --analyze."""

import os
import random
import resource
import signal
import stat
import subprocess
import unittest
from pathlib import Path

from support import (ScratchTest, binary, channel, decode, dominant_tone, events_of, ffprobe_ms, line, make_audio,
                     own_segment, run, sim_sidecar, sine)


class ToolTest(ScratchTest):
    def segment_file(self, name, seconds=5, hz=440):
        return own_segment(self.path(name), seconds, hz)


class AnalyzeTest(ToolTest):
    def analyze(self, path):
        status, out, err = run(["--analyze", path])
        self.assertEqual(err, b"")
        return status, out

    def test_known_levels_on_lossless_input(self):
        stereo, both = [sine(1000), "0"], dict(left_peak_db=-6, left_rms_db=-9, right_peak_db=-120, right_rms_db=-120)
        # "sezení" in ISO-8859-2: the í is a byte that UTF-8 cannot read; the path reports U+FFFD.
        cases = [(self.dir, self.dir, stereo, 1, 48000, both),
                 (self.path("sezen\udced"), self.path("sezen\ufffd"), stereo, 1, 48000, both),
                 (self.dir, self.dir, [sine(1000, 2.0)], 0.5, 44100, dict(left_peak_db=0, left_rms_db=0)),
                 (self.dir, self.dir, [sine(500, 0.25)] + ["0"] * 17, 0.25, 48000,
                  dict(both, left_peak_db=-12, left_rms_db=-15.1))]
        for folder, shown, expressions, seconds, rate, levels in cases:
            with self.subTest(folder=shown, channels=len(expressions)):
                os.makedirs(folder, exist_ok=True)
                path = os.path.join(folder, "%d.wav" % len(expressions))
                make_audio(path, expressions, seconds, rate)
                self.assertEqual(self.analyze(path), (0, line(
                    ev="analysis", path=os.path.join(shown, os.path.basename(path)), bytes=os.path.getsize(path),
                    channels=len(expressions), duration_ms=round(seconds * 1000), frames=round(seconds * rate),
                    sample_rate=rate, **levels)))

    def test_own_segment_reports_both_sides(self):
        path = self.segment_file("seg.m4a", seconds=4)
        status, out = self.analyze(path)
        event = events_of(out)[0]
        self.assertEqual((status, event["channels"], event["sample_rate"]), (0, 2, 48000))
        self.assertAlmostEqual(event["duration_ms"], 4000, delta=25)
        # AAC at 64 kbit/s keeps the power of a tone, not its exact peaks.
        self.assertAlmostEqual(event["left_rms_db"], -9.0, delta=0.5)
        self.assertAlmostEqual(event["right_rms_db"], -9.0, delta=0.5)

    def test_failures(self):
        missing = self.path("missing.m4a")
        self.assertEqual(self.analyze(missing), (2, line(ev="error", code="bad_command", fatal=True,
                                                         msg="soubor %s neexistuje" % missing)))
        empty = self.path("empty.m4a")
        Path(empty).write_bytes(b"")
        noise = self.path("noise.m4a")
        Path(noise).write_bytes(random.Random(1).randbytes(20000))
        folder = self.path("folder.m4a")
        os.mkdir(folder)
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=red:s=32x32:d=1", "-c:v", "mpeg4",
                        "-f", "mp4", self.path("video.m4a")], check=True)
        for path in (self.path("video.m4a"), empty, noise, folder):
            with self.subTest(path=path):
                self.assertEqual(self.analyze(path), (1, line(ev="error", code="bad_command", fatal=True,
                                                              msg=path + " neobsahuje čitelnou zvukovou stopu")))

    @unittest.skipIf(os.geteuid() == 0, "root reads any file")
    def test_unreadable_file(self):
        path = self.segment_file("locked.m4a", seconds=1)
        os.chmod(path, 0)
        status, out = self.analyze(path)
        self.assertEqual((status, events_of(out)[0]["code"]), (1, "bad_command"))


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


class MergeTest(ToolTest):
    def test_one_segment_is_copied_with_the_usual_mode(self):
        segment = self.segment_file("a.m4a", seconds=2)
        os.chmod(segment, 0o600)
        out = self.path("sub/dir/out.m4a")
        status, stdout, _ = run(["--merge", out, segment])
        self.assertEqual(status, 0)
        self.assertEqual(Path(segment).read_bytes(), Path(out).read_bytes())
        mask = os.umask(0)
        os.umask(mask)
        self.assertEqual(mode(out), 0o666 & ~mask)
        duration = events_of(stdout)[0]["duration_ms"]
        self.assertAlmostEqual(duration, 2000, delta=25)
        self.assertEqual(stdout, line(ev="merged", out=out, duration_ms=duration,
                                      bytes=os.path.getsize(out), method="copy"))

    def test_merge_command_refuses_a_segment_as_output_and_replaces_a_file(self):
        segment = self.segment_file("a.m4a", seconds=1)
        earlier = self.path("earlier.m4a")
        Path(earlier).write_bytes(b"earlier")
        with sim_sidecar(self.dir) as cap:
            cap.send({"cmd": "merge", "segments": [segment, segment], "out": segment})
            self.assertEqual(cap.raw_line(), line(ev="error", code="merge_failed", fatal=True,
                                                  msg="výstup nesmí být jeden ze segmentů"))
            cap.send({"cmd": "merge", "segments": [segment, segment], "out": earlier})
            merged = cap.raw_line(timeout=30)
            self.assertEqual(merged, line(ev="merged", out=earlier, duration_ms=events_of(merged)[0]["duration_ms"],
                                          bytes=os.path.getsize(earlier), method="reencode"))
            self.assertAlmostEqual(ffprobe_ms(earlier), 2000, delta=50)
            cap.send({"cmd": "quit"})
            self.assertEqual(cap.finish()[:2], (0, b'{"ev":"stopped","reason":"quit"}\n'))

    def test_a_merge_that_cannot_write_all_keeps_the_earlier_output(self):
        a, b, out = self.segment_file("a.m4a", 3), self.segment_file("b.m4a", 3, hz=880), self.path("out.m4a")
        self.assertEqual(run(["--merge", out, a, b])[0], 0)
        os.chmod(out, 0o600)
        earlier = Path(out).read_bytes()
        limit = len(earlier) - 2048  # the last fragment and the trailer do not fit

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        done = subprocess.run([binary(), "--merge", out, a, b], preexec_fn=small_files, capture_output=True,
                              timeout=60)
        self.assertEqual((done.returncode, done.stdout), (1, line(
            ev="error", code="merge_failed", fatal=True, msg="výstupní soubor nelze dokončit: File too large")))
        self.assertEqual(Path(out).read_bytes(), earlier)
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.m4a", "b.m4a", "out.m4a"])
        # A merge that succeeds replaces the file and keeps its mode.
        self.assertEqual(run(["--merge", out, b, a])[0], 0)
        self.assertEqual(mode(out), 0o600)
        self.assertAlmostEqual(ffprobe_ms(out), 6000, delta=50)
        samples = channel(decode(out), 0)
        self.assertEqual(dominant_tone(samples[4800:96000], 48000, [440, 880]), 880)


class RepairTest(ToolTest):
    def test_a_name_that_is_no_utf8_is_repaired_and_reported(self):
        whole = self.segment_file("a.m4a", seconds=3)
        before = Path(whole).read_bytes()
        # "nahrávka" in ISO-8859-2, then a cut-off three-byte sequence.
        cut = self.path("nahr\udce1vka-\udce2\udc82.m4a")
        Path(cut).write_bytes(Path(self.segment_file("b.m4a", seconds=3)).read_bytes() + b"\0\0\0")
        os.remove(self.path("b.m4a"))
        size = os.path.getsize(cut) - 3
        self.assertEqual(run(["--repair", self.dir]), (0, line(
            ev="repaired", path=whole, action="ok", duration_ms=ffprobe_ms(whole), bytes=len(before)) + line(
            ev="repaired", path=self.path("nahr\ufffdvka-\ufffd.m4a"), action="trimmed", duration_ms=ffprobe_ms(cut),
            bytes=size) + line(ev="repair_done", files=2, recovered=2), b""))
        self.assertEqual((os.path.getsize(cut), Path(whole).read_bytes()), (size, before))


class FifoTest(ToolTest):
    """A FIFO named like a segment has no writer: no tool may wait for one."""

    def test_every_tool_passes_over_a_fifo(self):
        fifo = self.path("pipe.m4a")
        os.mkfifo(fifo)
        self.assertEqual(run(["--repair", fifo], timeout=20)[:2],
                         (1, line(ev="repaired", path=fifo, action="unrecoverable", duration_ms=0, bytes=0)
                          + line(ev="repair_done", files=1, recovered=0)))
        self.assertEqual(run(["--analyze", fifo], timeout=20)[:2],
                         (1, line(ev="error", code="bad_command", fatal=True,
                                  msg=fifo + " neobsahuje čitelnou zvukovou stopu")))
        segment, out = self.segment_file("a.m4a", seconds=1), self.path("out.m4a")
        status, stdout, stderr = run(["--merge", out, fifo, segment], timeout=20)
        self.assertEqual((status, events_of(stdout)[0]["method"]), (0, "reencode"))
        self.assertEqual(stderr, ("korvalin-cap: segment %s nemá čitelnou zvukovou stopu, přeskočeno\n"
                                  % fifo).encode())

if __name__ == "__main__":
    unittest.main()
