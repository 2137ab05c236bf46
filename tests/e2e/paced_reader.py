#!/usr/bin/env python3
"""Drains a FIFO at RATE x (1 + PPM / 1e6) frames per wall-clock second, as
a sound card on a crystal of its own would: a pipe sink of a sound server
(module-pipe-sink) writing into the FIFO then plays at that pace.

    paced_reader.py FIFO PPM [RATE [FRAME_BYTES]]

Makes the FIFO when it is missing and prints "ready" once it reads from it;
start the sink after that. Runs until killed."""

import fcntl
import os
import sys
import time


def main(path, ppm, rate=48000, frame_bytes=4):
    if not os.path.exists(path):
        os.mkfifo(path)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    # The smallest pipe keeps the sink's latency near that of a sound card;
    # it must shrink while it is still empty.
    fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 4096)
    print("ready", flush=True)
    pace = rate * (1 + ppm / 1e6)
    began, taken = None, 0  # taken in bytes, from the first one on
    while True:
        time.sleep(0.005)
        owed = frame_bytes if began is None else int((time.monotonic() - began) * pace) * frame_bytes - taken
        while owed > 0:
            try:
                chunk = os.read(fd, owed)
            except BlockingIOError:
                break
            if not chunk:  # no writer yet
                break
            if began is None:
                began = time.monotonic()
            owed -= len(chunk)
            taken += len(chunk)


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]), *map(int, sys.argv[3:]))
