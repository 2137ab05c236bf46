#!/usr/bin/env python3
"""paced_reader.py FIFO PPM [PERIOD]: drains FIFO at 48000 x (1 + PPM / 1e6)
stereo 16-bit frames per wall-clock second, as a sound card on a crystal of
its own would, so that a pipe sink (module-pipe-sink) writing into it plays
at that pace; every PERIOD seconds (default 0.005; 0.2 is a Bluetooth
headset, which takes its audio in bursts). Makes the FIFO and prints "ready" before the sink may open it; runs
until killed."""

import fcntl
import os
import select
import sys
import time

path, pace = sys.argv[1], 48000 * (1 + float(sys.argv[2]) / 1e6)
os.mkfifo(path)
fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
# The smallest pipe (it shrinks only while empty) keeps the sink's latency
# near a sound card's.
fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 4096)
print("ready", flush=True)
select.select([fd], [], [])  # the sink's first block
PERIOD = float(sys.argv[3]) if len(sys.argv) > 3 else 0.005
began, taken = time.monotonic(), 0  # bytes
while True:
    time.sleep(PERIOD)
    owed = int((time.monotonic() - began) * pace) * 4 - taken
    # Behind (after a stall of the whole machine), the reader takes each block
    # as soon as the sink writes it, as a card's clock ran on meanwhile.
    while owed > 0 and select.select([fd], [], [], PERIOD)[0]:
        chunk = os.read(fd, owed)
        if not chunk:  # the sink has gone
            break
        owed, taken = owed - len(chunk), taken + len(chunk)
