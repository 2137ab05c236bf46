#!/usr/bin/env python3
"""A minimal host for korvalin-cap: records into a directory with a live level
bar; Enter pauses and resumes; Ctrl-C stops and merges the segments into
DIR/recording.m4a.

    examples/host.py [--echo-cancel] DIR [PROGRAM]

PROGRAM is the korvalin-cap binary to start (default: korvalin-cap on PATH).
--echo-cancel removes the speakers' echo from the microphone (unless the
output is headphones).
Standard library only."""

import collections
import json
import os
import selectors
import signal
import subprocess
import sys

BAR_WIDTH = 30
FLOOR_DB = -60.0


def say(text):
    """A status line above the level bar."""
    print("\r\033[K" + text, flush=True)


def bar(db):
    filled = round(BAR_WIDTH * (max(db, FLOOR_DB) - FLOOR_DB) / -FLOOR_DB)
    return "#" * filled + "." * (BAR_WIDTH - filled)


class Sidecar:
    """The program in serve mode: commands in, events out, one JSON object a line."""

    def __init__(self, program):
        # A session of its own: Ctrl-C in the terminal reaches only the host,
        # which then ends the recording in order.
        self.proc = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     start_new_session=True)
        self.pending = b""
        self.arrived = collections.deque()  # events read but not yet handled
        self.segments = []

    def send(self, **command):
        self.proc.stdin.write(json.dumps(command).encode() + b"\n")
        self.proc.stdin.flush()

    def read(self):
        """The events that have arrived, waiting for at least one if none has."""
        while not self.arrived:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise SystemExit("korvalin-cap ended unexpectedly")
            *lines, self.pending = (self.pending + chunk).split(b"\n")
            self.arrived.extend(json.loads(line) for line in lines)
        events = list(self.arrived)
        self.arrived.clear()
        return events

    def until(self, name):
        """Shows events until one named name, which it returns; the events
        that came with it wait for the next read."""
        while True:
            if not self.arrived:
                self.arrived.extend(self.read())
            event = self.arrived.popleft()
            self.show(event)
            if event["ev"] == name or (event["ev"] == "error" and event["fatal"]):
                return event

    def show(self, event):
        ev = event["ev"]
        if ev == "levels":
            print("\rmic %s %6.1f  sys %s %6.1f" % (bar(event["mic"]), event["mic"], bar(event["sys"]),
                                                 event["sys"]), end="", flush=True)
        elif ev == "started":
            say("recording into %s (%s)" % (event["path"], event["channels"]))
        elif ev == "segment_closed":
            self.segments.append(event["path"])
            say("closed %s, %d ms" % (event["path"], event["duration_ms"]))
        elif ev == "device_changed":
            say(event["desc"])
        elif ev == "error":
            say("error %s: %s" % (event["code"], event["msg"]))


def main():
    args = sys.argv[1:]
    echo_cancel = "auto" if args[:1] == ["--echo-cancel"] else False
    args = args[1:] if echo_cancel else args
    if len(args) not in (1, 2):
        raise SystemExit(__doc__)
    directory = os.path.abspath(args[0])
    os.makedirs(directory, exist_ok=True)
    # Ctrl-C stops the recording even when a script started the host with
    # SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    cap = Sidecar(args[1] if len(args) == 2 else "korvalin-cap")
    cap.until("ready")
    number, recording = 0, True
    cap.send(cmd="start", out=os.path.join(directory, "seg-000.m4a"), echo_cancel=echo_cancel)
    if cap.until("started")["ev"] != "started":
        raise SystemExit(1)
    say("Enter pauses and resumes, Ctrl-C stops")

    keys = selectors.DefaultSelector()
    keys.register(cap.proc.stdout, selectors.EVENT_READ)
    keys.register(sys.stdin, selectors.EVENT_READ)
    try:
        while True:
            while cap.arrived:  # what came with the last awaited event
                cap.show(cap.arrived.popleft())
            for key, _ in keys.select():
                if key.fileobj is cap.proc.stdout:
                    for event in cap.read():
                        cap.show(event)
                    continue
                typed = os.read(sys.stdin.fileno(), 1024)
                if not typed:
                    keys.unregister(sys.stdin)
                for _ in range(typed.count(b"\n")):
                    if recording:
                        cap.send(cmd="pause")
                        cap.until("segment_closed")
                        say("paused")
                    else:
                        number += 1
                        cap.send(cmd="resume", out=os.path.join(directory, "seg-%03d.m4a" % number),
                                 echo_cancel=echo_cancel)
                        cap.until("started")
                    recording = not recording
                # Pausing and resuming read events themselves: what select
                # saw ready on the program's output may be gone, and reading
                # it would block until the program speaks again.
                break
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)

    cap.send(cmd="stop")
    cap.until("stopped")
    if cap.segments:
        cap.send(cmd="merge", segments=cap.segments, out=os.path.join(directory, "recording.m4a"))
        merged = cap.until("merged")
        if merged["ev"] == "merged":
            say("merged %d segments into %s, %d ms" % (len(cap.segments), merged["out"], merged["duration_ms"]))
    cap.send(cmd="quit")
    cap.until("stopped")
    cap.proc.wait()


if __name__ == "__main__":
    main()
