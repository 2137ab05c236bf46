"""Black-box tests of the maintenance tools: --merge, --repair, --analyze."""

import json
import os
import random
import struct
import subprocess
import unittest

from support import ScratchTest, Sidecar, decode, dominant_tone, channel, events_of, ffprobe, run, sim_env, wire


def make_audio(path, expressions, seconds, rate=48000, codec=("-c:a", "pcm_f32le")):
    """A signal from ffmpeg's expression source, one expression per channel."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "aevalsrc=%s:s=%d:d=%g" % ("|".join(expressions), rate, seconds), *codec, path],
                   check=True)


def sine(hz, amplitude=0.5):
    return "%g*sin(2*PI*%g*t)" % (amplitude, hz)


def boxes(path):
    """Top-level (type, offset, size) of an MP4 file."""
    found = []
    with open(path, "rb") as f:
        data = f.read()
    offset = 0
    while offset + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[offset:offset + 8])
        found.append((kind.decode("latin-1"), offset, size))
        if size < 8:
            break
        offset += size
    return found


def line(**fields):
    """An event line as the program writes it: keys sorted, "/" escaped."""
    return ("{" + ",".join("%s:%s" % (json.dumps(k), wire(v)) for k, v in sorted(fields.items())) + "}\n").encode()


class ToolTest(ScratchTest):
    prefix = "korvalin-tools-"

    def segment_file(self, name, seconds=5, hz=440):
        """A fragmented segment written by the program itself (a merge of two parts)."""
        parts = []
        for i in range(2):
            parts.append(self.path("%s.part%d.wav" % (name, i)))
            make_audio(parts[-1], [sine(hz), sine(hz * 2)], seconds / 2)
        status, _, _ = run(["--merge", self.path(name)] + parts)
        self.assertEqual(status, 0)
        return self.path(name)

    def video_only(self, name):
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=c=red:s=32x32:d=1",
                        "-c:v", "mpeg4", "-f", "mp4", self.path(name)], check=True)
        return self.path(name)


class AnalyzeTest(ToolTest):
    def analyze(self, path):
        status, out, err = run(["--analyze", path])
        self.assertEqual(err, b"")
        return status, out

    def test_known_levels_on_lossless_input(self):
        path = self.path("half.wav")
        make_audio(path, [sine(1000), "0"], 1)
        status, out = self.analyze(path)
        self.assertEqual(status, 0)
        self.assertEqual(out, ('{"bytes":%d,"channels":2,"duration_ms":1000,"ev":"analysis","frames":48000,'
                               '"left_peak_db":-6,"left_rms_db":-9,"path":%s,"right_peak_db":-120,'
                               '"right_rms_db":-120,"sample_rate":48000}\n'
                               % (os.path.getsize(path), wire(path))).encode())

    def test_mono_above_full_scale_has_no_right_side(self):
        path = self.path("loud.wav")
        make_audio(path, [sine(1000, 2.0)], 0.5, rate=44100)
        status, out = self.analyze(path)
        self.assertEqual(status, 0)
        self.assertEqual(out, ('{"bytes":%d,"channels":1,"duration_ms":500,"ev":"analysis","frames":22050,'
                               '"left_peak_db":0,"left_rms_db":0,"path":%s,"sample_rate":44100}\n'
                               % (os.path.getsize(path), wire(path))).encode())

    def test_more_channels_than_measured(self):
        path = self.path("many.wav")
        make_audio(path, [sine(500, 0.25)] + ["0"] * 17, 0.25)
        status, out = self.analyze(path)
        self.assertEqual(status, 0)
        event = events_of(out)[0]
        self.assertEqual((event["channels"], event["frames"]), (18, 12000))
        self.assertEqual((event["left_peak_db"], event["right_peak_db"]), (-12.0, -120.0))

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
        open(empty, "wb").close()
        noise = self.path("noise.m4a")
        with open(noise, "wb") as f:
            f.write(random.Random(1).randbytes(20000))
        folder = self.path("folder.m4a")
        os.mkdir(folder)
        for path in (self.video_only("video.m4a"), empty, noise, folder):
            with self.subTest(path=path):
                self.assertEqual(self.analyze(path), (1, line(ev="error", code="bad_command", fatal=True,
                                                              msg=path + " neobsahuje čitelnou zvukovou stopu")))

    @unittest.skipIf(os.geteuid() == 0, "root reads any file")
    def test_unreadable_file(self):
        path = self.segment_file("locked.m4a", seconds=1)
        os.chmod(path, 0)
        status, out = self.analyze(path)
        self.assertEqual((status, events_of(out)[0]["code"]), (1, "bad_command"))

    def test_a_name_that_is_no_utf8_is_read_and_reported(self):
        # "sezení" in ISO-8859-2: the í is a byte that UTF-8 cannot read.
        folder = self.path("sezen\udced")
        os.mkdir(folder)
        path = os.path.join(folder, "half.wav")
        make_audio(path, [sine(1000), "0"], 1)
        status, out = self.analyze(path)
        self.assertEqual(status, 0)
        self.assertEqual(out, ('{"bytes":%d,"channels":2,"duration_ms":1000,"ev":"analysis","frames":48000,'
                               '"left_peak_db":-6,"left_rms_db":-9,"path":%s,"right_peak_db":-120,'
                               '"right_rms_db":-120,"sample_rate":48000}\n'
                               % (os.path.getsize(path), wire(self.path("sezen\ufffd/half.wav")))).encode())

    def test_usage(self):
        self.assertEqual(run(["--analyze"])[:2], (2, line(ev="error", code="bad_command", fatal=True,
                                                          msg="--analyze <soubor.m4a>")))


class MergeTest(ToolTest):
    def test_one_segment_is_copied(self):
        segment = self.segment_file("a.m4a", seconds=2)
        out = self.path("sub/dir/out.m4a")
        status, stdout, _ = run(["--merge", out, segment])
        self.assertEqual(status, 0)
        with open(segment, "rb") as a, open(out, "rb") as b:
            self.assertEqual(a.read(), b.read())
        duration = events_of(stdout)[0]["duration_ms"]
        self.assertAlmostEqual(duration, 2000, delta=25)
        self.assertEqual(stdout, line(ev="merged", out=out, duration_ms=duration,
                                      bytes=os.path.getsize(out), method="copy"))

    def test_segments_at_different_rates_in_order(self):
        first, second = self.path("a.wav"), self.path("b.m4a")
        make_audio(first, [sine(440), sine(440)], 1.5, rate=44100)
        make_audio(second, [sine(1200), sine(1200)], 1.0, rate=48000, codec=("-c:a", "aac", "-b:a", "96k"))
        out = self.path("out.m4a")
        status, stdout, stderr = run(["--merge", out, first, self.video_only("v.m4a"), second])
        self.assertEqual(status, 0)
        self.assertEqual(stderr, ("korvalin-cap: segment %s nemá čitelnou zvukovou stopu, přeskočeno\n"
                                  % self.path("v.m4a")).encode())
        self.assertEqual(stdout, line(ev="merged", out=out, duration_ms=2500,
                                      bytes=os.path.getsize(out), method="reencode"))
        stream = ffprobe(out)["streams"][0]
        self.assertEqual((stream["codec_name"], stream["profile"], stream["sample_rate"], stream["channels"],
                          stream["channel_layout"]), ("aac", "LC", "44100", 2, "stereo"))
        self.assertAlmostEqual(playing_seconds(out), 2.5, delta=1024 / 44100)
        samples = channel(decode(out), 0)
        self.assertEqual(dominant_tone(samples[4410:61740], 44100, [440, 1200]), 440)
        self.assertEqual(dominant_tone(samples[70560:105840], 44100, [440, 1200]), 1200)

    def test_missing_segment_leaves_the_output_alone(self):
        out = self.path("out.m4a")
        with open(out, "wb") as f:
            f.write(b"earlier")
        missing = self.path("gone.m4a")
        self.assertEqual(run(["--merge", out, self.segment_file("a.m4a", 1), missing])[:2],
                         (1, line(ev="error", code="merge_failed", fatal=True, msg="segment %s neexistuje" % missing)))
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"earlier")

    def test_nothing_usable(self):
        out = self.path("out.m4a")
        noise = self.path("noise.m4a")
        with open(noise, "wb") as f:
            f.write(random.Random(2).randbytes(5000))
        status, stdout, _ = run(["--merge", out, self.video_only("v.m4a"), noise, self.path("v.m4a")])
        self.assertEqual((status, stdout), (1, line(ev="error", code="merge_failed", fatal=True,
                                                    msg="žádné použitelné segmenty ke spojení")))
        self.assertFalse(os.path.exists(out))

    def test_usage(self):
        self.assertEqual(run(["--merge", self.path("out.m4a")])[:2],
                         (2, line(ev="error", code="bad_command", fatal=True, msg="--merge <výstup> <segment>…")))

    def refusals(self):
        """Outputs a merge must refuse, as (segments, out, message); the
        segments' bytes and the directory with its file stay as they were."""
        os.mkdir(self.path("rec"))
        segment = self.segment_file("rec/a.m4a", seconds=1)
        with open(self.path("rec/notes.txt"), "w") as f:
            f.write("kept")
        with open(segment, "rb") as f:
            self.kept = {segment: f.read(), self.path("rec/notes.txt"): b"kept"}
        self.listing = sorted(os.listdir(self.path("rec")))
        same = self.path("rec/../rec/a.m4a")
        return [([segment], same, "výstup nesmí být jeden ze segmentů"),
                ([segment, segment], same, "výstup nesmí být jeden ze segmentů"),
                ([segment], self.path("rec"), "výstup je adresář"),
                ([segment, segment], self.path("rec") + "/", "výstup je adresář")]

    def assertKept(self):
        for path, before in self.kept.items():
            with open(path, "rb") as f:
                self.assertEqual(f.read(), before)
        self.assertEqual(sorted(os.listdir(self.path("rec"))), self.listing)

    def test_output_that_is_a_segment_or_a_directory_is_refused(self):
        for segments, out, message in self.refusals():
            with self.subTest(out=out, segments=len(segments)):
                self.assertEqual(run(["--merge", out] + segments)[:2],
                                 (1, line(ev="error", code="merge_failed", fatal=True, msg=message)))
        self.assertKept()

    def test_merge_command_refuses_the_same_outputs_and_replaces_a_file(self):
        refusals = self.refusals()
        earlier = self.path("earlier.m4a")
        with open(earlier, "wb") as f:
            f.write(b"earlier")
        with Sidecar("korvalin-cap-sim", env=sim_env(self.dir)) as cap:
            self.assertTrue(cap.raw_line().startswith(b'{"ev":"ready"'))
            for segments, out, message in refusals:
                cap.send({"cmd": "merge", "segments": segments, "out": out})
                self.assertEqual(cap.raw_line(), line(ev="error", code="merge_failed", fatal=True, msg=message))
            cap.send({"cmd": "merge", "segments": refusals[1][0], "out": earlier})
            merged = cap.raw_line(timeout=30)
            self.assertEqual(merged, line(ev="merged", out=earlier, duration_ms=events_of(merged)[0]["duration_ms"],
                                          bytes=os.path.getsize(earlier), method="reencode"))
            self.assertAlmostEqual(playing_seconds(earlier), 2.0, delta=0.05)
            cap.send({"cmd": "quit"})
            self.assertEqual(cap.finish()[:2], (0, b'{"ev":"stopped","reason":"quit"}\n'))
        self.assertKept()

    def test_earlier_output_is_replaced_only_by_a_merge_that_succeeds(self):
        out = self.path("out.m4a")
        with open(out, "wb") as f:
            f.write(b"earlier")
        self.assertEqual(run(["--merge", out, self.video_only("v.m4a"), self.path("v.m4a")])[:2],
                         (1, line(ev="error", code="merge_failed", fatal=True,
                                  msg="žádné použitelné segmenty ke spojení")))
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"earlier")
        status, stdout, _ = run(["--merge", out, self.segment_file("a.m4a", 1), self.segment_file("b.m4a", 1)])
        self.assertEqual((status, events_of(stdout)[0]["method"]), (0, "reencode"))
        self.assertAlmostEqual(playing_seconds(out), 2.0, delta=0.05)
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(["a.m4a", "b.m4a", "out.m4a", "v.m4a"] + [
            "%s.part%d.wav" % (name, i) for name in ("a.m4a", "b.m4a") for i in range(2)]))


class RepairTest(ToolTest):
    def repair(self, *targets):
        status, out, err = run(["--repair", *targets])
        self.assertEqual(err, b"")
        return status, out

    def repaired(self, path, action):
        return line(ev="repaired", path=path, action=action, duration_ms=ffprobe_ms(path),
                    bytes=os.path.getsize(path) if os.path.exists(path) else 0)

    def test_cut_inside_the_last_mdat(self):
        path = self.segment_file("seg.m4a", seconds=7)
        layout = boxes(path)
        last_moof = max(b for b in layout if b[0] == "moof")
        mdat = layout[layout.index(last_moof) + 1]
        with open(path, "r+b") as f:
            f.truncate(mdat[1] + mdat[2] // 2)
        status, out = self.repair(path)
        self.assertEqual(status, 0)
        self.assertEqual(os.path.getsize(path), last_moof[1])
        self.assertEqual([b[0] for b in boxes(path)][-2:], ["moof", "mdat"])
        self.assertEqual(out, self.repaired(path, "trimmed") + line(ev="repair_done", files=1, recovered=1))
        self.assertGreater(len(decode(path)), 0)

    def test_whole_file_untouched_and_stray_bytes_cut(self):
        whole = self.segment_file("a.m4a", seconds=3)
        tail = self.segment_file("b.m4a", seconds=3)
        with open(whole, "rb") as f:
            before = f.read()
        with open(tail, "ab") as f:
            f.write(b"\0\0\0")
        size = os.path.getsize(tail) - 3
        status, out = self.repair(self.dir)
        self.assertEqual(status, 0)
        with open(whole, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertEqual(os.path.getsize(tail), size)
        self.assertEqual(out, self.repaired(whole, "ok") + self.repaired(tail, "trimmed")
                         + line(ev="repair_done", files=2, recovered=2))

    def test_a_name_that_is_no_utf8_is_repaired_and_reported(self):
        whole = self.segment_file("a.m4a", seconds=3)
        # "nahrávka" in ISO-8859-2, then a cut-off three-byte sequence.
        cut = self.path("nahr\udce1vka-\udce2\udc82.m4a")
        os.rename(self.segment_file("b.m4a", seconds=3), cut)
        with open(cut, "ab") as f:
            f.write(b"\0\0\0")
        size = os.path.getsize(cut) - 3
        status, out = self.repair(self.dir)
        self.assertEqual(status, 0)
        self.assertEqual(os.path.getsize(cut), size)
        self.assertEqual(out, self.repaired(whole, "ok")
                         + line(ev="repaired", path=self.path("nahr\ufffdvka-\ufffd.m4a"), action="trimmed",
                                duration_ms=ffprobe_ms(cut), bytes=size)
                         + line(ev="repair_done", files=2, recovered=2))

    def test_bad_files_are_reported_never_fatal(self):
        noise, empty, huge = self.path("noise.m4a"), self.path("empty.m4a"), self.path("huge.m4a")
        with open(noise, "wb") as f:
            f.write(random.Random(3).randbytes(10000))
        open(empty, "wb").close()
        with open(huge, "wb") as f:
            f.write(struct.pack(">I4s4sI", 16, b"ftyp", b"M4A ", 0) + struct.pack(">I4sQ", 1, b"mdat", 2 ** 64 - 1))
        missing = self.path("missing.m4a")
        status, out = self.repair(noise, empty, huge, missing, self.path("x.wav"))
        self.assertEqual(status, 1)
        self.assertEqual(out, line(ev="error", code="repair_failed", fatal=False,
                                   msg=self.path("x.wav") + " není adresář ani .m4a soubor")
                         + b"".join(line(ev="repaired", path=p, action="unrecoverable", duration_ms=0,
                                         bytes=os.path.getsize(p) if os.path.exists(p) else 0)
                                    for p in (noise, empty, huge, missing))
                         + line(ev="repair_done", files=4, recovered=0))
        self.assertEqual(os.path.getsize(huge), 16, "the ftyp is kept, the impossible box cut")

    def test_nothing_found_and_usage(self):
        self.assertEqual(self.repair(self.path("notes.txt")),
                         (0, line(ev="error", code="repair_failed", fatal=False,
                                  msg=self.path("notes.txt") + " není adresář ani .m4a soubor")
                          + line(ev="repair_done", files=0, recovered=0)))
        self.assertEqual(run(["--repair"])[:2], (2, line(ev="error", code="bad_command", fatal=True,
                                                         msg="--repair <adresář|soubor.m4a>…")))



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

def playing_seconds(path):
    """The audio's length as ffprobe reads it; the encoder's priming frames
    before time zero do not count."""
    stream = ffprobe(path)["streams"][0]
    return float(stream["duration"]) + min(float(stream["start_time"]), 0.0)


def ffprobe_ms(path):
    try:
        return round(playing_seconds(path) * 1000)
    except (subprocess.CalledProcessError, KeyError, IndexError, ValueError):
        return 0


if __name__ == "__main__":
    unittest.main()
