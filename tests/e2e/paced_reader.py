#!/usr/bin/env python3
"""Drains a FIFO at RATE x (1 + PPM / 1e6) frames per wall-clock second, as
a sound card on a crystal of its own would: a pipe sink of a sound server
(module-pipe-sink) writing into the FIFO then plays at that pace.

    paced_reader.py FIFO PPM [RATE [FRAME_BYTES]]

Runs until killed or until the writer closes the FIFO."""

import errno
import fcntl
import os
import sys
import time


def main(path, ppm, rate=48000, frame_bytes=4):
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    # The smallest pipe keeps the sink's latency near that of a sound card.
    # It can shrink only below what it holds: what the sink wrote before
    # anyone read is dropped.
    while True:
        try:
            while os.read(fd, 65536):
                pass
        except BlockingIOError:
            pass
        try:
            fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 4096)
            break
        except OSError as error:
            if error.errno != errno.EBUSY:
                raise
    pace = rate * (1 + ppm / 1e6)
    began, taken = time.monotonic(), 0  # bytes
    while True:
        time.sleep(0.005)
        owed = int((time.monotonic() - began) * pace) * frame_bytes - taken
        while owed > 0:
            try:
                chunk = os.read(fd, owed)
            except BlockingIOError:
                break
            if not chunk:
                return
            owed -= len(chunk)
            taken += len(chunk)


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]), *map(int, sys.argv[3:]))
