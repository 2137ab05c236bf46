"""Termination signals in the one-shot modes: each of SIGTERM, SIGINT and
SIGHUP ends the mode within a second with status 128 + the signal's number,
after it has undone what it made, and nothing more reaches standard output.
In the serve loop a signal ends a running merge the same way."""

import hashlib
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from support import SIM, ScratchTest, Sidecar, binary, events_of, ffprobe, holds, own_segment, run, sim_env, \
    sim_sidecar, wire

SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
# The promise is one second; the rest is room for a loaded test machine.
ENDS_WITHIN = 2.0


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def notice(number):
    return ("korvalin-cap: signál %d — přerušeno\n" % number).encode()


class Interrupted(ScratchTest):
    def interrupt(self, args, number, busy):
        """Signals a one-shot mode once busy(pid); returns (status, stdout, stderr, seconds to the exit)."""
        proc = subprocess.Popen([binary(SIM)] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not busy(proc.pid):
            self.assertIsNone(proc.poll(), "the mode ended before it was seen at work")
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)
        sent = time.monotonic()
        proc.send_signal(number)
        out, err = proc.communicate(timeout=30)
        return proc.returncode, out, err, time.monotonic() - sent


class Probe(Interrupted):
    def probing(self, tmp, args):
        """A sidecar whose trial capture of 10 s, in a scratch directory that
        only this user can enter, is under way."""
        env = sim_env(self.dir, {})
        env["TMPDIR"] = tmp
        cap = Sidecar(SIM, env=env, args=args)
        if not args:
            cap.until("ready")
            cap.send({"cmd": "probe", "seconds": 10})
        scratch = os.path.dirname(cap.until("started")["path"])
        self.assertEqual(os.path.dirname(scratch), tmp)
        self.assertEqual(os.stat(scratch).st_mode & 0o777, 0o700)
        self.assertTrue(os.path.isfile(os.path.join(scratch, "probe.m4a")))
        return cap

    def scratch(self):
        tmp = tempfile.mkdtemp(prefix="korvalin-signals-tmp-")
        self.addCleanup(shutil.rmtree, tmp, True)
        return tmp

    def test_the_serve_loop_ends_its_capture_at_once(self):
        tmp = self.scratch()
        with self.probing(tmp, []) as cap:
            sent = time.monotonic()
            cap.signal(signal.SIGTERM)
            status, rest, err = cap.finish(timeout=30)
            elapsed = time.monotonic() - sent
        self.assertEqual(status, 0)
        self.assertLess(elapsed, ENDS_WITHIN)
        self.assertEqual([e["ev"] for e in events_of(rest) if e["ev"] != "levels"],
                         ["segment_closed", "probe_result", "stopped"])
        self.assertEqual(err, "korvalin-cap: signál 15 — uzavírám segment\n".encode())
        self.assertEqual(os.listdir(tmp), [])

    def test_each_signal_stops_the_capture_and_removes_its_scratch(self):
        for number in SIGNALS:
            with self.subTest(signal=number.name):
                tmp = self.scratch()
                with self.probing(tmp, ["--probe", "10"]) as cap:
                    sent = time.monotonic()
                    cap.signal(number)
                    status, rest, err = cap.finish(timeout=30)
                    elapsed = time.monotonic() - sent
                self.assertEqual(status, 128 + number)
                self.assertLess(elapsed, ENDS_WITHIN)
                # Only whole level lines written before the signal; no
                # segment_closed, no probe_result.
                for line in rest.splitlines(keepends=True):
                    self.assertRegex(line, rb'^\{"ev":"levels","mic":-?[0-9.]+,"sys":-?[0-9.]+\}\n$')
                self.assertEqual(err, notice(number))
                self.assertEqual(os.listdir(tmp), [])


class Merge(Interrupted):
    """A re-encoding merge long enough to be caught in the middle."""

    SECONDS = 900

    @classmethod
    def setUpClass(cls):
        cls.inputs = tempfile.mkdtemp(prefix="korvalin-signals-merge-")
        cls.segments = [os.path.join(cls.inputs, name) for name in ("seg-000.m4a", "seg-000~001.m4a")]
        piece = os.path.join(cls.inputs, "piece.m4a")
        for path, rate, hz in zip(cls.segments, (48000, 44100), (440, 1000)):
            # Ten seconds encoded once, then repeated without encoding again.
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                            "sine=frequency=%d:sample_rate=%d:duration=10" % (hz, rate),
                            "-ac", "2", "-c:a", "aac", "-b:a", "32k", piece], check=True)
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-stream_loop", str(cls.SECONDS // 10 - 1), "-i", piece,
                            "-c", "copy", path], check=True)
        os.remove(piece)
        cls.digests = [digest(path) for path in cls.segments]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.inputs, True)

    def assertSegmentsUnchanged(self):
        self.assertEqual([digest(path) for path in self.segments], self.digests)
        self.assertEqual(sorted(os.listdir(self.inputs)), sorted(os.path.basename(p) for p in self.segments))

    def writing(self, before):
        """Busy once the merge has a file of its own beside the output."""
        return lambda pid: len(os.listdir(self.dir)) > before

    def test_interrupted_merge_leaves_the_output_as_it_was(self):
        out = self.path("merged.m4a")
        for number, earlier in ((signal.SIGTERM, None), (signal.SIGINT, b"earlier")):
            with self.subTest(signal=number.name):
                if earlier:
                    Path(out).write_bytes(earlier)
                status, stdout, stderr, elapsed = self.interrupt(["--merge", out] + self.segments, number,
                                                                 self.writing(len(os.listdir(self.dir))))
                self.assertEqual((status, stdout, stderr), (128 + number, b"", notice(number)))
                self.assertLess(elapsed, ENDS_WITHIN)
                self.assertEqual(os.listdir(self.dir), ["merged.m4a"] if earlier else [])
                if earlier:
                    self.assertEqual(Path(out).read_bytes(), earlier)
                self.assertSegmentsUnchanged()

    def test_the_serve_loop_answers_during_a_merge_and_a_signal_ends_it(self):
        merge = {"cmd": "merge", "segments": self.segments, "out": self.path("merged.m4a")}
        with sim_sidecar(self.dir) as cap:
            cap.send(merge)
            deadline = time.monotonic() + 30
            while not os.listdir(self.dir):
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.01)
            # The whole merge takes many seconds; these answers must not wait for it.
            cap.send(merge)
            self.assertEqual(cap.event(timeout=5), {"ev": "error", "code": "busy", "fatal": True,
                                                    "msg": "spojování segmentů už běží"})
            cap.send({"cmd": "start", "out": self.path("seg-000.m4a")})
            cap.until("started", timeout=5)
            sent = time.monotonic()
            cap.signal(signal.SIGTERM)
            status, rest, err = cap.finish()
            elapsed = time.monotonic() - sent
        self.assertEqual(status, 0)
        self.assertLess(elapsed, ENDS_WITHIN)
        self.assertEqual([(e["ev"], e.get("code")) for e in events_of(rest) if e["ev"] != "levels"],
                         [("error", "merge_failed"), ("segment_closed", None), ("stopped", None)])
        self.assertEqual(err, "korvalin-cap: signál 15 — uzavírám segment\n".encode())
        self.assertEqual(os.listdir(self.dir), ["seg-000.m4a"])
        self.assertSegmentsUnchanged()

    def test_a_merge_that_dies_leaves_the_recording_alone(self):
        """The merge runs in a process of its own: killed (as the out-of-memory
        killer would), it fails alone and the recording goes on."""
        with sim_sidecar(self.dir) as cap:
            cap.send({"cmd": "start", "out": self.path("seg-000.m4a")})
            cap.until("started", timeout=5)
            cap.send({"cmd": "merge", "segments": self.segments, "out": self.path("merged.m4a")})
            deadline = time.monotonic() + 30
            while len(os.listdir(self.dir)) < 2:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.01)
            merging = [int(pid) for task in os.listdir("/proc/%d/task" % cap.proc.pid)
                       for pid in Path("/proc/%d/task/%s/children" % (cap.proc.pid, task)).read_text().split()]
            self.assertEqual(len(merging), 1)
            os.kill(merging[0], signal.SIGKILL)
            self.assertEqual(cap.until("error", timeout=5),
                             {"ev": "error", "code": "merge_failed", "fatal": True,
                              "msg": "spojování skončilo bez výsledku (signálem 9)"})
            cap.until("levels", timeout=5)
            cap.send({"cmd": "stop"})
            self.assertEqual(cap.until("segment_closed", timeout=5)["path"], self.path("seg-000.m4a"))
            self.assertEqual(cap.until("stopped", timeout=5)["reason"], "stop")

    def test_interrupted_analysis_writes_nothing(self):
        status, stdout, stderr, elapsed = self.interrupt(["--analyze", self.segments[0]], signal.SIGHUP,
                                                         lambda pid: holds(pid, self.segments[0]))
        self.assertEqual((status, stdout, stderr), (129, b"", notice(1)))
        self.assertLess(elapsed, ENDS_WITHIN)
        self.assertSegmentsUnchanged()


class Repair(Interrupted):
    FILES = 100

    def test_interrupted_repair_cuts_each_file_whole_or_not_at_all(self):
        data = Path(own_segment(self.path("whole.m4a"))).read_bytes()
        folder = self.path("rec")
        os.mkdir(folder)
        files = [os.path.join(folder, "seg-%03d.m4a" % i) for i in range(self.FILES)]
        whole = self.path("whole.m4a")
        for path in [whole] + files:
            Path(path).write_bytes(data + b"\0\0\0")
        # What the repair of one such file reports when it runs to its end.
        reference = run(["--repair", whole], name=SIM)[1].splitlines(keepends=True)[0]

        status, stdout, stderr, elapsed = self.interrupt(["--repair", folder], signal.SIGTERM,
                                                         lambda pid: os.path.getsize(files[0]) == len(data))
        self.assertEqual((status, stderr), (143, notice(15)))
        self.assertLess(elapsed, ENDS_WITHIN)
        # Whole lines for the files finished before the signal, and no summary.
        reported = stdout.splitlines(keepends=True)
        self.assertLess(len(reported), self.FILES)
        self.assertEqual(reported, [reference.replace(wire(whole).encode(), wire(path).encode())
                                    for path in files[:len(reported)]])
        # Files are cut in order, each completely: the one under way when the
        # signal came is finished, the rest are untouched.
        cut = [os.path.getsize(path) == len(data) for path in files]
        self.assertEqual([os.path.getsize(path) for path in files],
                         [len(data)] * cut.count(True) + [len(data) + 3] * cut.count(False))
        self.assertIn(cut.count(True), (len(reported), len(reported) + 1))
        self.assertEqual(Path(files[0]).read_bytes(), data)
        self.assertEqual(ffprobe(files[0])["streams"][0]["codec_name"], "aac")


if __name__ == "__main__":
    unittest.main()
