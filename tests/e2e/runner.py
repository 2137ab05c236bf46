#!/usr/bin/env python3
"""Runs one black-box test module for ctest, so that it leaves nothing behind:

    runner.py MODULE

The module runs with TMPDIR set to a directory of its own, also named by
KORVALIN_TEST_SCRATCH, which its processes pass on even where a test gives a
child another TMPDIR. When it ends, and also when the runner is stopped by
SIGTERM, SIGINT or SIGHUP, or killed outright (ctest's time-out sends SIGKILL),
every process still carrying that name in its environment is stopped (sound
servers that put themselves in a session of their own included) and the
directory is removed. The exit status is the module's; SKIPPED when every
test in it was skipped, so that ctest reports a skip rather than a pass."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SKIPPED = 77


def processes_of(scratch):
    """Pids of the processes whose environment names `scratch`."""
    marker = b"\0KORVALIN_TEST_SCRATCH=" + scratch.encode() + b"\0"
    pids = []
    for name in os.listdir("/proc"):
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                if marker in b"\0" + f.read():
                    pids.append(int(name))
        except (OSError, ValueError):
            pass
    return pids


def clean(scratch):
    """Stops the processes of `scratch` (SIGTERM, SIGKILL after 3 s, giving up
    after 6 s on one that cannot be killed) and removes the directory."""
    begun = time.monotonic()
    while (pids := processes_of(scratch)) and time.monotonic() < begun + 6:
        for pid in pids:
            try:
                os.kill(pid, signal.SIGTERM if time.monotonic() < begun + 3 else signal.SIGKILL)
            except OSError:
                pass
        time.sleep(0.05)
    shutil.rmtree(scratch, ignore_errors=True)


def start_watchdog(scratch):
    """A process outside the runner's tree (which ctest kills whole) that
    cleans up once the runner has gone, however it went."""
    read_end, write_end = os.pipe()
    if middle := os.fork():
        os.close(read_end)
        os.waitpid(middle, 0)
        return write_end
    os.setsid()
    if os.fork():
        os._exit(0)
    os.close(write_end)
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    os.read(read_end, 1)  # end of file: the runner is gone
    clean(scratch)
    os._exit(0)


def run_module(name):
    """Runs the tests of the module `name` in this process; returns the exit status."""
    result = unittest.main(module=name, argv=[sys.argv[0]], exit=False, verbosity=2).result
    if not result.wasSuccessful():
        return 1
    return SKIPPED if result.testsRun and len(result.skipped) == result.testsRun else 0


def main(module):
    scratch = tempfile.mkdtemp(prefix="korvalin-e2e-")
    start_watchdog(scratch)

    def stop(number, _):
        clean(scratch)
        os._exit(128 + number)

    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, stop)
    env = dict(os.environ, TMPDIR=scratch, KORVALIN_TEST_SCRATCH=scratch)
    status = subprocess.call([sys.executable, __file__, "--module", module], env=env)
    clean(scratch)
    return status


if __name__ == "__main__":
    if sys.argv[1:2] == ["--module"]:
        sys.exit(run_module(sys.argv[2]))
    sys.exit(main(sys.argv[1]))
