#!/usr/bin/env python3
"""Stands in for the host application in the black-box tests, run by the
python3 interpreter like many real hosts: it plays a tone itself and, when
asked, a sound file from a helper child process (paplay), and starts the
program as its child on its own standard input and output, as a meeting
recorder would.

    host_stand_in [--play HZ] [--child-plays FILE] [--seconds S] [-- PROGRAM ARG...]

With a PROGRAM it ends when the program ends, with its exit status; without
one after S seconds (default 60). The tone is 0.2 of full scale, 48000 Hz
stereo, on the default output (PULSE_SERVER names the server)."""

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


class BufferAttr(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32) for name in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]


def play(hz):
    """Plays the tone from this process until it ends (libpulse-simple)."""
    pulse = ctypes.CDLL("libpulse-simple.so.0")
    pulse.pa_simple_new.restype = ctypes.c_void_p
    spec, error = SampleSpec(PA_SAMPLE_FLOAT32LE, RATE, 2), ctypes.c_int()
    latency = BufferAttr(0xFFFFFFFF, RATE * 8 // 20, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)  # 50 ms
    stream = pulse.pa_simple_new(None, b"host_stand_in", PA_STREAM_PLAYBACK, None, b"tone", ctypes.byref(spec),
                                 None, ctypes.byref(latency), ctypes.byref(error))
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
