#!/usr/bin/env python3
"""The host application of the black-box tests, run by python3 like many
real hosts: plays a tone of 0.2 full scale itself, a file from a helper child
(paplay), and runs PROGRAM as its child on its own standard input and output.
Ends with PROGRAM's exit status, or after S seconds (default 60) without one.

    host_stand_in [--play HZ] [--child-plays FILE] [--seconds S] [-- PROGRAM ARG...]"""

import array
import ctypes
import math
import subprocess
import sys
import threading
import time

RATE, AMPLITUDE = 48000, 0.2
PR_SET_PDEATHSIG, SIGTERM = 1, 15
PA_STREAM_PLAYBACK, PA_SAMPLE_FLOAT32LE = 1, 5


class SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


def play(hz):
    """Plays the tone from this process until it ends (libpulse-simple)."""
    pulse = ctypes.CDLL("libpulse-simple.so.0")
    pulse.pa_simple_new.restype = ctypes.c_void_p
    spec, error = SampleSpec(PA_SAMPLE_FLOAT32LE, RATE, 2), ctypes.c_int()
    stream = pulse.pa_simple_new(None, b"host_stand_in", PA_STREAM_PLAYBACK, None, b"tone", ctypes.byref(spec),
                                 None, None, ctypes.byref(error))
    if not stream:
        sys.exit("host_stand_in: no output (%d)" % error.value)
    # One second, a whole number of cycles, so it loops cleanly.
    second = array.array("f", (AMPLITUDE * math.sin(2 * math.pi * hz * (i // 2) / RATE) for i in range(2 * RATE)))
    data = second.tobytes()

    def loop():
        while pulse.pa_simple_write(ctypes.c_void_p(stream), data, len(data), ctypes.byref(error)) == 0:
            pass

    threading.Thread(target=loop, daemon=True).start()


def main(argv):
    program = None
    if "--" in argv:
        argv, program = argv[:argv.index("--")], argv[argv.index("--") + 1:]
    if len(argv) % 2:
        sys.exit("usage: host_stand_in [--play HZ] [--child-plays FILE] [--seconds S] [-- PROGRAM ARG...]")
    options = dict(zip(argv[::2], argv[1::2]))
    hz, seconds = float(options.get("--play", 0)), float(options.get("--seconds", 60))
    child_plays = options.get("--child-plays")

    if child_plays:
        libc = ctypes.CDLL(None)
        subprocess.Popen(["paplay", child_plays], preexec_fn=lambda: libc.prctl(PR_SET_PDEATHSIG, SIGTERM))
    child = subprocess.Popen(program) if program else None
    if hz > 0:
        play(hz)
    if not child:
        time.sleep(seconds)
        return 0
    status = child.wait()
    return status if status >= 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
