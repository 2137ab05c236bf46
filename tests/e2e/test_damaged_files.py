"""Black-box tests of damaged media files: every tool that reads one stays
within a bounded memory and time, calls it unreadable, and leaves the
machine as it was."""

import json
import os
import shutil
import struct
import subprocess
import time
import unittest
from pathlib import Path

from support import ScratchTest, binary, events_of, ffprobe, holds, line, own_segment, run

DATA = os.path.join(os.path.dirname(__file__), "..", "data")

# Generous for a 2 KB file, yet far below what a believed sample table costs
# (gigabytes, tens of seconds).
PEAK_BYTES = 300 * 1024 * 1024
SECONDS = 3.0


def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def take(data, kind, start=0):
    """The whole first box of `kind` at or after `start`."""
    at = data.index(kind, start) - 4
    return data[at:at + struct.unpack(">I", data[at:at + 4])[0]]


def hidden_tables(segment, count=5500000):
    """Sixteen tracks of one second whose sample sizes, 1 byte for each of
    `count` samples, stand inside a "meta" box of the sample table."""
    tables = (take(segment, b"stsd") + box(b"stts", struct.pack(">4I", 0, 1, count, 1024))
              + box(b"stsc", struct.pack(">5I", 0, 1, 1, count, 1)) + box(b"stco", struct.pack(">3I", 0, 1, 0))
              + box(b"meta", bytes(4) + take(segment, b"hdlr") + box(b"stsz", struct.pack(">3I", 0, 1, count))))
    trak = box(b"trak", take(segment, b"tkhd") + box(b"mdia", take(segment, b"mdhd") + take(segment, b"hdlr")
                                                       + box(b"minf", box(b"stbl", tables))))
    return take(segment, b"ftyp") + box(b"moov", take(segment, b"mvhd") + trak * 16) + box(b"mdat", bytes(4096))


def replayed(segment, samples=3200, edits=300):
    """Sixteen tracks of `samples` one-byte samples, each played over again
    by `edits` edits: the index FFmpeg builds holds every copy."""
    movie, rate = (struct.unpack(">I", take(segment, kind)[20:24])[0] for kind in (b"mvhd", b"mdhd"))
    edit = struct.pack(">IiI", samples * 1024 * movie // rate, 0, 1 << 16)
    tables = (take(segment, b"stsd") + box(b"stts", struct.pack(">4I", 0, 1, samples, 1024))
              + box(b"stsc", struct.pack(">5I", 0, 1, 1, samples, 1)) + box(b"stsz", struct.pack(">3I", 0, 1, samples))
              + box(b"stco", struct.pack(">3I", 0, 1, 0)))
    trak = box(b"trak", take(segment, b"tkhd") + box(b"edts", box(b"elst", struct.pack(">2I", 0, edits) + edit * edits))
               + box(b"mdia", take(segment, b"mdhd") + take(segment, b"hdlr") + box(b"minf", box(b"stbl", tables))))
    return take(segment, b"ftyp") + box(b"moov", take(segment, b"mvhd") + trak * 16) + box(b"mdat", bytes(16 * samples))


def many_runs(segment, tracks=16, count=2600000):
    """Sixteen tracks whose one fragment run each claims `count` samples that
    carry no field of their own: each track's index stays under the single
    allocation cap, their sum does not."""
    def put(data, at, value):
        return data[:at] + struct.pack(">I", value) + data[at + 4:]
    trak, trex, moof = take(segment, b"trak"), take(segment, b"trex"), take(segment, b"moof")
    track_at, tfhd_at, run_at = trak.index(b"tkhd") + 16, moof.index(b"tfhd") + 8, moof.index(b"trun") + 4
    ids = range(1, tracks + 1)
    moov = box(b"moov", take(segment, b"mvhd") + b"".join(put(trak, track_at, k) for k in ids)
               + box(b"mvex", b"".join(put(trex, 12, k) for k in ids)))
    runs = b"".join(put(put(put(moof, tfhd_at, k), run_at, 0), run_at + 4, count) for k in ids)
    return take(segment, b"ftyp") + moov + runs + take(segment, b"mdat")


def day_long(segment, hours=24):
    """The segment's first fragment repeated for `hours`, each copy numbered and timed on."""
    first = segment.index(b"moof") - 4
    second = segment.index(b"moof", first + 8) - 4
    fragment = segment[first:second]
    start = [struct.unpack(">Q", take(segment, b"tfdt", at)[12:20])[0] for at in (first, second)]
    step, rate = start[1] - start[0], struct.unpack(">I", take(segment, b"mdhd")[20:24])[0]
    sequence, decode = fragment.index(b"mfhd") + 8, fragment.index(b"tfdt") + 4
    return segment[:first] + b"".join(
        fragment[:sequence] + struct.pack(">I", i + 1) + fragment[sequence + 4:decode]
        + struct.pack(">IQ", 1 << 24, i * step) + fragment[decode + 12:]
        for i in range(hours * 3600 * rate // step))


class DamagedFileTest(ScratchTest):
    def run_bounded(self, args, cwd=None, commands=None):
        """Runs one tool (with no arguments and `commands` on its input: the
        serve loop); asserts its peak memory, with the processes it waited
        for, and wall time."""
        started = time.monotonic()
        proc = subprocess.Popen([binary()] + args, stdin=subprocess.PIPE if commands else subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd)
        if commands:
            proc.stdin.write(b"".join(json.dumps(c).encode() + b"\n" for c in commands))
            proc.stdin.close()
        # Reads the pipes to the end, then reaps this very child for its usage.
        out, err = proc.stdout.read(), proc.stderr.read()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        proc.stdout.close(), proc.stderr.close()
        events_of(out)
        self.assertLess(usage.ru_maxrss * 1024, PEAK_BYTES, "peak memory of %r" % args)
        self.assertLess(time.monotonic() - started, SECONDS, "wall time of %r" % args)
        return proc.returncode, out, err

    def own_segment(self, name, hz=440, rate=48000):
        return own_segment(self.path(name), 2, hz, rate)

    def damaged_files(self):
        """The kept damaged files and, made from one of the program's own
        segments: sample tables hidden in a "meta" box; fragment runs of 16
        tracks that only the sample-count check refuses as a whole; edit
        lists that play 16 tracks over and over; a track clock slowed to 1
        tick a second. Each claims more than its bytes can hold."""
        files = []
        for name in sorted(os.listdir(DATA)):
            files.append(self.path(name))
            shutil.copyfile(os.path.join(DATA, name), files[-1])
        own = Path(self.own_segment("own.m4a")).read_bytes()
        scale_at = own.index(b"mdhd") + 16
        made = {"hidden.m4a": hidden_tables(own), "many-runs.m4a": many_runs(own), "replayed.m4a": replayed(own),
                "slow.m4a": own[:scale_at] + struct.pack(">I", 1) + own[scale_at + 4:]}
        for name, data in made.items():
            files.append(self.path(name))
            Path(files[-1]).write_bytes(data)
        return files

    def test_every_tool_calls_it_unreadable(self):
        good = self.own_segment("good.m4a")
        skipped = "korvalin-cap: segment %s nemá čitelnou zvukovou stopu, přeskočeno\n"
        for path in self.damaged_files():
            with self.subTest(path=os.path.basename(path)):
                self.assertEqual(self.run_bounded(["--analyze", path]),
                                 (1, line(ev="error", code="bad_command", fatal=True,
                                          msg=path + " neobsahuje čitelnou zvukovou stopu"), b""))
                # Alone it fails and writes nothing; between good segments it is skipped.
                alone = self.path("alone-out.m4a")
                self.assertEqual(self.run_bounded(["--merge", alone, path]),
                                 (1, line(ev="error", code="merge_failed", fatal=True,
                                          msg="žádné použitelné segmenty ke spojení"), (skipped % path).encode()))
                self.assertFalse(os.path.exists(alone))
                out = self.path("merged.m4a")
                status, stdout, stderr = self.run_bounded(["--merge", out, good, path, good])
                self.assertEqual((status, stderr), (0, (skipped % path).encode()))
                event = events_of(stdout)[0]
                self.assertEqual((event["ev"], event["method"]), ("merged", "reencode"))
                self.assertAlmostEqual(event["duration_ms"], 4000, delta=50)
                stream = ffprobe(out)["streams"][0]
                self.assertEqual((stream["codec_name"], stream["channels"]), ("aac", 2))
                self.assertAlmostEqual(float(ffprobe(out)["format"]["duration"]), 4.0, delta=0.05)
                # Repair: a cut keeps every byte before it.
                before = Path(path).read_bytes()
                status, stdout, stderr = self.run_bounded(["--repair", path])
                after = Path(path).read_bytes()
                self.assertEqual(after, before[:len(after)])
                self.assertEqual((status, stderr), (1, b""))
                self.assertEqual(stdout, line(ev="repaired", path=path, action="unrecoverable", duration_ms=0,
                                              bytes=len(after))
                                 + line(ev="repair_done", files=1, recovered=0))

    def test_the_serve_loop_merges_around_them(self):
        good, damaged = self.own_segment("good.m4a"), self.damaged_files()
        out = self.path("merged.m4a")
        status, stdout, stderr = self.run_bounded([], commands=[{"cmd": "merge", "segments": [good] + damaged + [good],
                                                                 "out": out}])
        self.assertEqual((status, stderr.decode()), (0, "korvalin-cap: stdin uzavřen — ukončuji\n" + "".join(
            "korvalin-cap: segment %s nemá čitelnou zvukovou stopu, přeskočeno\n" % path for path in damaged)))
        event = events_of(stdout)[1]
        self.assertEqual((event["ev"], event["duration_ms"]), ("merged", 4000))

    def test_day_at_96_khz_reads_back(self):
        own = self.own_segment("day.m4a", hz=0, rate=96000)
        data = day_long(Path(own).read_bytes())
        Path(own).write_bytes(data)
        out = self.path("merged.m4a")
        status, stdout, _ = run(["--merge", out, own])
        self.assertEqual(status, 0)
        event = events_of(stdout)[0]
        self.assertEqual((event["ev"], event["method"]), ("merged", "copy"))
        self.assertAlmostEqual(event["duration_ms"], 24 * 3600 * 1000, delta=2000)
        self.assertAlmostEqual(float(ffprobe(out)["format"]["duration"]), 24 * 3600, delta=2)

    def test_fifo_swapped_in_while_the_file_is_checked(self):
        """Once the tool has the file open (its checks take a while over 300,000 boxes), a FIFO takes
        its name: the tool reads the checked file to its end."""
        path, fifo = self.own_segment("swapped.m4a"), self.path("fifo")
        with open(path, "ab") as f:
            f.write(box(b"free", b"") * 300000)
        size = os.path.getsize(path)
        os.mkfifo(fifo)
        proc = subprocess.Popen([binary(), "--analyze", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        while not holds(proc.pid, path):
            pass
        os.rename(fifo, path)
        out, err = proc.communicate(timeout=20)
        event = events_of(out)[0]
        self.assertEqual((proc.returncode, event["ev"], event["frames"], event["bytes"], err),
                         (0, "analysis", 96000, size, b""))

    def test_track_that_never_decodes_is_unreadable(self):
        path = self.own_segment("garbled.m4a")
        data, offset = bytearray(Path(path).read_bytes()), 0
        while offset < len(data):
            size, kind = struct.unpack(">I4s", data[offset:offset + 8])
            if kind == b"mdat":
                data[offset + 8:offset + size] = b"\xff" * (size - 8)
            offset += size
        Path(path).write_bytes(data)
        self.assertEqual(self.run_bounded(["--analyze", path]), (1, line(
            ev="error", code="bad_command", fatal=True, msg=path + " neobsahuje čitelnou zvukovou stopu"), b""))

    def test_name_with_a_colon_is_a_file_name(self):
        path = self.own_segment("rec12:30.m4a")
        status, stdout, _ = self.run_bounded(["--analyze", "rec12:30.m4a"], cwd=self.dir)
        event = events_of(stdout)[0]
        self.assertEqual((status, event["ev"], event["path"], event["channels"]), (0, "analysis", "rec12:30.m4a", 2))
        self.assertEqual(event["bytes"], os.path.getsize(path))


if __name__ == "__main__":
    unittest.main()
