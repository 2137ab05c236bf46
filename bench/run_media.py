#!/usr/bin/env python3
"""The media tools side by side with the ffmpeg command line doing the same
work, as ratios (ours ÷ ffmpeg; below 1 is faster). Run by hand:

    bench/run_media.py [build dir]      (default: build-media)

About two minutes on a quiet machine."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-media"))
CAP = os.path.join(BUILD, "korvalin-cap")
FRAGMENTS = ["-f", "ipod", "-frag_duration", "2000000",
             "-movflags", "empty_moov+delay_moov+default_base_moof", "-flush_packets", "1"]


def seconds(args):
    start = time.perf_counter()
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def ffmpeg(*args):
    return ["ffmpeg", "-v", "error", "-y", *args]


def tone(path, minutes, rate=48000, extra=()):
    subprocess.run(ffmpeg("-f", "lavfi", "-i",
                          "aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*1333*t+sin(t)):s=%d:d=%d" % (rate, minutes * 60),
                          *extra, path), check=True)


def report(name, ours, theirs, goal, note=""):
    print("%-8s ours %7.2f s   ffmpeg %7.2f s   ratio %.2f (goal ≤ %.2f)%s"
          % (name, ours, theirs, ours / theirs, goal, note))


def main():
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "korvalin-cap", "media_bench"], check=True,
                   stdout=subprocess.DEVNULL)
    work = tempfile.mkdtemp(prefix="korvalin-bench-")
    try:
        # Writer: 10 minutes of stereo float at 48 kHz, in process, against
        # ffmpeg encoding the same raw samples with the same settings.
        raw = os.path.join(work, "ten.f32")
        tone(raw, 10, extra=("-f", "f32le"))
        bench = subprocess.run([os.path.join(BUILD, "bench", "media_bench"), raw, "--benchmark_format=json"],
                               check=True, capture_output=True, text=True)
        results = {b["name"].split("/")[0]: b for b in json.loads(bench.stdout)["benchmarks"]}
        writer = results["writerEncodes"]
        theirs = seconds(ffmpeg("-f", "f32le", "-ar", "48000", "-ac", "2", "-i", raw,
                                "-c:a", "aac", "-b:a", "64k", *FRAGMENTS, os.path.join(work, "cli.m4a")))
        report("writer", writer["real_time"], theirs, 1.05, "   %.0f× real time" % writer["x_real_time"])
        os.remove(raw)

        # Merge: six segments of 60 s.
        segments = [os.path.join(work, "seg-%d.m4a" % i) for i in range(6)]
        for path in segments:
            tone(path, 1, extra=("-c:a", "aac", "-b:a", "64k"))
        listing = os.path.join(work, "list.txt")
        with open(listing, "w") as f:
            f.writelines("file '%s'\n" % path for path in segments)
        ours = seconds([CAP, "--merge", os.path.join(work, "merged.m4a"), *segments])
        theirs = seconds(ffmpeg("-f", "concat", "-safe", "0", "-i", listing, "-c:a", "aac", "-b:a", "64k",
                                *FRAGMENTS, os.path.join(work, "concat.m4a")))
        report("merge", ours, theirs, 1.1)

        # Analyze: a 60-minute recording.
        hour = os.path.join(work, "hour.m4a")
        tone(hour, 60, extra=("-c:a", "aac", "-b:a", "64k"))
        ours = seconds([CAP, "--analyze", hour])
        theirs = seconds(ffmpeg("-i", hour, "-af", "astats", "-f", "null", "-"))
        report("analyze", ours, theirs, 1.0)

        scan = results["boxScanReadsHeaders"]
        print("scan     2 GiB sparse file, %d boxes: %.2f ms, %d bytes read"
              % (scan["boxes"], scan["real_time"], scan["bytes_read"]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
