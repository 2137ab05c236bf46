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
import select
import selectors
import signal
import subprocess
import sys
import threading

BAR_WIDTH = 30
FLOOR_DB = -60.0
CLEAR_LINE = "\r\033[K"  # a message replaces the level bar, not glued to it


def say(text, stream=sys.stdout):
    """A status line above the level bar, written in one piece: the thread
    that passes on the program's log lines writes too."""
    stream.write(CLEAR_LINE + text + "\n")
    stream.flush()


def bar(db):
    filled = round(BAR_WIDTH * (max(db, FLOOR_DB) - FLOOR_DB) / -FLOOR_DB)
    return "#" * filled + "." * (BAR_WIDTH - filled)


class Interrupted(Exception):
    """Ctrl-C, noticed where the host waits, so no event is half read."""


class Sidecar:
    """The program in serve mode: commands in, events out, one JSON object a line."""

    def __init__(self, program, wakeup):
        # A session of its own: Ctrl-C in the terminal reaches only the host,
        # which then ends the recording in order.
        try:
            self.proc = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, start_new_session=True)
        except OSError as error:
            raise SystemExit("cannot start %s: %s" % (program, error.strerror))
        threading.Thread(target=self.pass_on_log, daemon=True).start()
        self.wakeup = wakeup
        self.interruptible = True
        self.pending = b""
        self.arrived = collections.deque()  # events read but not yet handled
        self.segments = []

    def pass_on_log(self):
        for line in self.proc.stderr:
            say(line.decode(errors="replace").rstrip("\n"), sys.stderr)

    def send(self, **command):
        try:
            self.proc.stdin.write(json.dumps(command).encode() + b"\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            raise SystemExit("korvalin-cap ended unexpectedly")

    def interrupted(self):
        """Whether Ctrl-C was pressed; raises Interrupted the first time."""
        os.read(self.wakeup, 64)
        if self.interruptible:
            self.interruptible = False
            raise Interrupted

    def read(self):
        """The events that have arrived, waiting for at least one if none has."""
        while not self.arrived:
            ready = select.select([self.proc.stdout, self.wakeup], [], [])[0]
            if self.wakeup in ready:
                self.interrupted()
                continue
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


def record(cap, directory, echo_cancel):
    """Records until Ctrl-C, pausing and resuming on Enter; returns False
    when the recording could not start."""
    number, recording = 0, True
    cap.send(cmd="start", out=os.path.join(directory, "seg-000.m4a"), echo_cancel=echo_cancel)
    cap.until("ready")
    if cap.until("started")["ev"] != "started":
        return False
    say("Enter pauses and resumes, Ctrl-C stops")

    keys = selectors.DefaultSelector()
    keys.register(cap.proc.stdout, selectors.EVENT_READ)
    keys.register(sys.stdin, selectors.EVENT_READ)
    keys.register(cap.wakeup, selectors.EVENT_READ)
    while True:
        while cap.arrived:  # what came with the last awaited event
            cap.show(cap.arrived.popleft())
        for key, _ in keys.select():
            if key.fileobj is cap.wakeup:
                cap.interrupted()
            elif key.fileobj is cap.proc.stdout:
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


def main():
    args = sys.argv[1:]
    echo_cancel = "auto" if args[:1] == ["--echo-cancel"] else False
    args = args[1:] if echo_cancel else args
    if len(args) not in (1, 2):
        raise SystemExit(__doc__)
    directory = os.path.abspath(args[0])
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        raise SystemExit("cannot create %s: %s" % (directory, error.strerror))
    # Ctrl-C (also when a script started the host with SIGINT ignored) only
    # wakes the host; it then stops the recording in order.
    wakeup, notify = os.pipe()
    os.set_blocking(notify, False)
    signal.set_wakeup_fd(notify)
    signal.signal(signal.SIGINT, lambda *_: None)
    cap = Sidecar(args[1] if len(args) == 2 else "korvalin-cap", wakeup)
    try:
        started = record(cap, directory, echo_cancel)
    except Interrupted:
        started = True

    cap.send(cmd="stop")
    cap.until("stopped")
    if cap.segments:
        cap.send(cmd="merge", segments=cap.segments, out=os.path.join(directory, "recording.m4a"))
        merged = cap.until("merged")
        if merged["ev"] == "merged":
            count = len(cap.segments)
            say("merged %d segment%s into %s, %d ms" % (count, "" if count == 1 else "s", merged["out"],
                                                        merged["duration_ms"]))
    else:
        say("nothing was recorded")
    cap.send(cmd="quit")
    cap.until("stopped")
    cap.proc.wait()
    return 0 if started else 1


if __name__ == "__main__":
    sys.exit(main())
