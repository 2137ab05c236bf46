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

from support import ScratchTest, binary, events_of, ffprobe, run, wire

DATA = os.path.join(os.path.dirname(__file__), "..", "data")

# Generous for a 2 KB file, yet far below what a believed sample table costs
# (gigabytes, tens of seconds).
PEAK_BYTES = 300 * 1024 * 1024
SECONDS = 3.0


def line(**fields):
    """An event line as the program writes it: keys sorted, "/" escaped."""
    return ("{" + ",".join("%s:%s" % (json.dumps(k), wire(v)) for k, v in sorted(fields.items())) + "}\n").encode()


def first_trun_count_offset(data):
    """The offset of the sample count of the first "trun" box in the file:
    after its type, its version and its flags."""
    return data.index(b"trun") + 8


class DamagedFileTest(ScratchTest):
    prefix = "korvalin-damaged-"

    def run_bounded(self, args, cwd=None):
        """Runs one tool; asserts its peak memory and wall time."""
        started = time.monotonic()
        proc = subprocess.Popen([binary()] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, cwd=cwd)
        # Reads the pipes to the end, then reaps this very child for its usage.
        out = proc.stdout.read()
        err = proc.stderr.read()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        proc.stdout.close()
        proc.stderr.close()
        elapsed = time.monotonic() - started
        events_of(out)
        self.assertLess(usage.ru_maxrss * 1024, PEAK_BYTES, "peak memory of %r" % args)
        self.assertLess(elapsed, SECONDS, "wall time of %r" % args)
        return proc.returncode, out, err

    def own_segment(self, name):
        """A fragmented segment written by the program (a merge of two parts)."""
        parts = []
        for i in range(2):
            parts.append(self.path("%s.part%d.wav" % (name, i)))
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                            "sine=frequency=440:sample_rate=48000:duration=1", "-ac", "2", parts[-1]],
                           check=True)
        path = self.path(name)
        self.assertEqual(run(["--merge", path] + parts)[0], 0)
        return path

    def damaged_files(self):
        """The kept damaged files, and one of the program's own segments with
        its first fragment claiming 83,886,335 samples."""
        files = []
        for name in sorted(os.listdir(DATA)):
            files.append(self.path(name))
            shutil.copyfile(os.path.join(DATA, name), files[-1])
        claimed = self.own_segment("claimed.m4a")
        with open(claimed, "r+b") as f:
            data = f.read()
            f.seek(first_trun_count_offset(data))
            f.write(b"\x05\x00\x00\xff")
        return files + [claimed]

    def test_analyze_refuses(self):
        for path in self.damaged_files():
            with self.subTest(path=os.path.basename(path)):
                self.assertEqual(self.run_bounded(["--analyze", path]),
                                 (1, line(ev="error", code="bad_command", fatal=True,
                                          msg=path + " neobsahuje čitelnou zvukovou stopu"), b""))

    def test_merge_of_the_file_alone_fails_and_writes_nothing(self):
        for path in self.damaged_files():
            with self.subTest(path=os.path.basename(path)):
                out = self.path("alone-out.m4a")
                status, stdout, stderr = self.run_bounded(["--merge", out, path])
                self.assertEqual((status, stdout), (1, line(ev="error", code="merge_failed", fatal=True,
                                                            msg="žádné použitelné segmenty ke spojení")))
                self.assertEqual(stderr, ("korvalin-cap: segment %s nemá čitelnou zvukovou stopu, přeskočeno\n"
                                          % path).encode())
                self.assertFalse(os.path.exists(out))

    def test_merge_skips_the_file_between_good_segments(self):
        good = self.own_segment("good.m4a")
        for path in self.damaged_files():
            with self.subTest(path=os.path.basename(path)):
                out = self.path("merged.m4a")
                status, stdout, stderr = self.run_bounded(["--merge", out, good, path, good])
                self.assertEqual(status, 0)
                self.assertEqual(stderr, ("korvalin-cap: segment %s nemá čitelnou zvukovou stopu, přeskočeno\n"
                                          % path).encode())
                event = events_of(stdout)[0]
                self.assertEqual((event["ev"], event["method"]), ("merged", "reencode"))
                self.assertAlmostEqual(event["duration_ms"], 4000, delta=50)
                stream = ffprobe(out)["streams"][0]
                self.assertEqual((stream["codec_name"], stream["channels"]), ("aac", 2))
                self.assertAlmostEqual(float(ffprobe(out)["format"]["duration"]), 4.0, delta=0.05)

    def test_repair_calls_it_unrecoverable(self):
        for path in self.damaged_files():
            with self.subTest(path=os.path.basename(path)):
                with open(path, "rb") as f:
                    before = f.read()
                status, stdout, stderr = self.run_bounded(["--repair", path])
                with open(path, "rb") as f:
                    after = f.read()
                # A cut keeps every byte before it.
                self.assertEqual(after, before[:len(after)])
                self.assertEqual((status, stderr), (1, b""))
                self.assertEqual(stdout, line(ev="repaired", path=path, action="unrecoverable", duration_ms=0,
                                              bytes=len(after))
                                 + line(ev="repair_done", files=1, recovered=0))


    def test_track_that_never_decodes_is_unreadable(self):
        path = self.own_segment("garbled.m4a")
        with open(path, "r+b") as f:
            data = bytearray(f.read())
            offset = 0
            while offset < len(data):
                size, kind = struct.unpack(">I4s", data[offset:offset + 8])
                if kind == b"mdat":
                    data[offset + 8:offset + size] = b"\xff" * (size - 8)
                offset += size
            f.seek(0)
            f.write(data)
        self.assertEqual(self.run_bounded(["--analyze", path]),
                         (1, line(ev="error", code="bad_command", fatal=True,
                                  msg=path + " neobsahuje čitelnou zvukovou stopu"), b""))

    def test_name_with_a_colon_is_a_file_name(self):
        path = self.own_segment("rec12:30.m4a")
        status, stdout, _ = self.run_bounded(["--analyze", "rec12:30.m4a"], cwd=self.dir)
        event = events_of(stdout)[0]
        self.assertEqual((status, event["ev"], event["path"], event["channels"]), (0, "analysis", "rec12:30.m4a", 2))
        self.assertEqual(event["bytes"], os.path.getsize(path))


if __name__ == "__main__":
    unittest.main()
