#!/usr/bin/env python3
"""CPU time (user + sys) per second of recording, and peak RSS, of a whole
recording through the serve loop. Encoding included.

    bench/recording_cost.py BINARY SECONDS [ENV=VALUE ...]

For the simulator: bench/recording_cost.py build/korvalin-cap-sim 60
"""

import json
import os
import resource
import subprocess
import sys
import tempfile
import time


def main():
    binary, seconds = sys.argv[1], float(sys.argv[2])
    env = dict(os.environ)
    env.update(kv.split("=", 1) for kv in sys.argv[3:])
    out = os.path.join(tempfile.mkdtemp(prefix="korvalin-bench-"), "seg.m4a")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    proc.stdout.readline()
    sent = time.monotonic()
    proc.stdin.write(json.dumps({"cmd": "start", "out": out}).encode() + b"\n")
    proc.stdin.flush()
    started = json.loads(proc.stdout.readline())
    start_latency = time.monotonic() - sent
    time.sleep(seconds)
    sent = time.monotonic()
    proc.stdin.write(b'{"cmd":"stop"}\n')
    proc.stdin.flush()
    closed = None
    for line in proc.stdout:
        event = json.loads(line)
        if event["ev"] == "segment_closed":
            closed = event
        if event["ev"] == "stopped":
            break
    stop_latency = time.monotonic() - sent
    proc.stdin.write(b'{"cmd":"quit"}\n')
    proc.stdin.close()
    proc.wait()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    print("started: %s" % started["ev"])
    print("recorded %.1f s, dropped %d frames" % (closed["duration_ms"] / 1000, closed["dropped_frames"]))
    print("CPU %.2f s = %.2f %% of one core" % (cpu, 100 * cpu / seconds))
    print("peak RSS %.1f MiB" % (after.ru_maxrss / 1024))
    print("start → started %.0f ms, stop → stopped %.0f ms" % (1000 * start_latency, 1000 * stop_latency))


if __name__ == "__main__":
    main()
