"""Helpers for the black-box tests: run the built binaries over pipes, read
their event lines (each one checked against the protocol's schema), and judge
the files they write with independent readers (ffprobe, ffmpeg)."""

import array
import atexit
import contextlib
import json
import math
import os
import select
import shutil
import signal
import statistics
import subprocess
import tempfile
import time
import unittest

import jsonschema

BIN_DIR = os.environ.get("KORVALIN_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build"))


def binary(name="korvalin-cap"):
    return os.path.join(BIN_DIR, name)


SCHEMA_DIR = os.path.join(os.path.dirname(__file__), "../../schema")

# A sound server that stops answering fails a test in seconds rather than
# holding it until ctest's own limit.
PACTL_TIMEOUT = 20

# Modes that print plain text instead of event lines.
PLAIN_TEXT_MODES = ("--version", "--selftest", "--help", "-h")


def _events_validator():
    with open(os.path.join(SCHEMA_DIR, "events.schema.json")) as f:
        schema = json.load(f)
    # On the wire an integer has no fraction: 5.0 where 5 belongs is a fault.
    checker = jsonschema.Draft202012Validator.TYPE_CHECKER.redefine(
        "integer", lambda _, value: isinstance(value, int) and not isinstance(value, bool))
    return jsonschema.validators.extend(jsonschema.Draft202012Validator, type_checker=checker)(schema)


EVENTS = _events_validator()


def event_of(line):
    """One event line parsed; fails the test when it breaks the events schema."""
    try:
        event = json.loads(line)
    except ValueError:
        raise AssertionError("not a JSON event line: %r" % line) from None
    error = jsonschema.exceptions.best_match(EVENTS.iter_errors(event))
    if error is not None:
        raise AssertionError("event line breaks the schema: %r\n%s" % (line, error))
    return event


def run(args, name="korvalin-cap", env=None, timeout=60, stdin=b""):
    """Runs a one-shot mode; returns (exit status, stdout bytes, stderr bytes)."""
    done = subprocess.run([binary(name)] + list(args), input=stdin, capture_output=True,
                          env=env, timeout=timeout)
    if not args or args[0] not in PLAIN_TEXT_MODES:
        events_of(done.stdout)
    return done.returncode, done.stdout, done.stderr


def events_of(stdout):
    """The event lines of an output, parsed and checked."""
    lines = stdout.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return [event_of(line) for line in lines]


class Sidecar:
    """The serve loop of a binary, driven over pipes like the host does."""

    def __init__(self, name="korvalin-cap", env=None, args=(), cwd=None):
        self.proc = subprocess.Popen([binary(name)] + list(args), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=cwd)
        self._out = b""
        self._err = b""

    def send(self, data):
        if isinstance(data, dict):
            data = json.dumps(data)
        if isinstance(data, str):
            data = data.encode() + b"\n"
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close_stdin(self):
        self.proc.stdin.close()

    def signal(self, number):
        self.proc.send_signal(number)

    def _pump(self, timeout):
        ready, _, _ = select.select([self.proc.stdout, self.proc.stderr], [], [], timeout)
        for stream in ready:
            chunk = os.read(stream.fileno(), 65536)
            if stream is self.proc.stdout:
                self._out += chunk
            else:
                self._err += chunk
            if not chunk and stream is self.proc.stdout:
                return False
        return True

    def raw_line(self, timeout=10.0):
        """The next stdout line with its line feed, as bytes; b"" at the end."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self._out:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no event line within %.1f s; stderr: %r" % (timeout, self._err))
            if not self._pump(left) and b"\n" not in self._out:
                line, self._out = self._out, b""
                if line:
                    event_of(line)
                return line
        line, _, self._out = self._out.partition(b"\n")
        event_of(line)
        return line + b"\n"

    def event(self, timeout=10.0):
        line = self.raw_line(timeout)
        return json.loads(line) if line else None

    def until(self, ev, timeout=10.0, skip=("levels",)):
        """Reads events until one named ev, within `timeout` in all however
        many it skips; fails on an unexpected one."""
        deadline = time.monotonic() + timeout
        while True:
            event = self.event(max(0.0, deadline - time.monotonic()))
            if event is None:
                raise AssertionError("output ended before %r" % ev)
            if event.get("ev") == ev:
                return event
            if event.get("ev") not in skip:
                raise AssertionError("expected %r, got %r" % (ev, event))

    def finish(self, timeout=30.0):
        """Waits for the exit; returns (status, remaining stdout, all stderr)."""
        deadline = time.monotonic() + timeout
        while self._pump(max(0.0, deadline - time.monotonic())):
            if time.monotonic() > deadline:
                self.proc.kill()
                raise TimeoutError("process did not end")
        status = self.proc.wait(timeout=max(0.1, deadline - time.monotonic()))
        while self._pump(0):
            pass
        out, self._out = self._out, b""
        events_of(out)
        return status, out, self.stderr()

    def stderr(self):
        while select.select([self.proc.stderr], [], [], 0)[0]:
            chunk = os.read(self.proc.stderr.fileno(), 65536)
            if not chunk:
                break
            self._err += chunk
        return self._err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except (BrokenPipeError, OSError):
                pass


class ScratchTest(unittest.TestCase):
    """A test case with a scratch directory of its own, removed afterwards."""
    prefix = "korvalin-"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix=self.prefix)
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)


def running(pid):
    """Whether the process runs (exists and is not a zombie)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def ffprobe(path):
    """Streams, format and packets of a media file as ffprobe reads them."""
    out = subprocess.run(["ffprobe", "-v", "error", "-print_format", "json", "-show_streams",
                          "-show_format", path], capture_output=True, check=True).stdout
    return json.loads(out)


def decode(path, rate=None, channels=2):
    """The file's audio as interleaved float samples, decoded by ffmpeg."""
    args = ["ffmpeg", "-v", "error", "-i", path, "-f", "f32le", "-ac", str(channels)]
    if rate:
        args += ["-ar", str(rate)]
    out = subprocess.run(args + ["-"], capture_output=True, check=True).stdout
    samples = array.array("f")
    samples.frombytes(out)
    return samples


def channel(samples, index, channels=2):
    return samples[index::channels]


def rms(samples):
    return math.sqrt(sum(x * x for x in samples) / len(samples)) if len(samples) else 0.0


def tone_power(samples, rate, hz):
    """Goertzel power of one frequency, normalised to the block length."""
    coeff = 2 * math.cos(2 * math.pi * hz / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / (len(samples) ** 2)


def dominant_tone(samples, rate, candidates):
    """The candidate frequency with the most energy in the samples."""
    return max(candidates, key=lambda hz: tone_power(samples, rate, hz))


def write_wav_tone(path, hz, seconds, rate=48000, amplitude=0.5, channels=1):
    """A sine test signal written by ffmpeg (lossless PCM)."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=%g:sample_rate=%d:duration=%g" % (hz, rate, seconds),
                    "-af", "volume=%g" % (amplitude / 0.125), "-ac", str(channels), path],
                   check=True)


def sim_env(directory, scenario=None):
    """The environment that runs korvalin-cap-sim in the given scenario."""
    env = dict(os.environ)
    if scenario is not None:
        path = os.path.join(directory, "scenario.json")
        with open(path, "w") as f:
            json.dump(scenario, f)
        env["KORVALIN_SIM_SCENARIO"] = path
    else:
        env.pop("KORVALIN_SIM_SCENARIO", None)
    return env


def wire(value):
    """A JSON string value as the protocol writes it: slashes escaped."""
    return json.dumps(value, ensure_ascii=False).replace("/", "\\/")


# A steady tone at 48 kHz, judged in 10-ms blocks that each hold whole cycles.
def tone_blocks(samples, hz):
    """The tone's amplitude in each block, and its phase step (radians) from
    each block to the next: zero for a tone at exactly `hz`."""
    turn = [2 * math.pi * hz * i / 48000 for i in range(480)]
    cos, sin = [math.cos(a) for a in turn], [math.sin(a) for a in turn]
    amplitudes, phases = [], []
    for start in range(0, len(samples) - 479, 480):
        block = samples[start:start + 480]
        re, im = sum(map(float.__mul__, block, cos)), sum(map(float.__mul__, block, sin))
        amplitudes.append(math.hypot(re, im) / 240)
        phases.append(math.atan2(-im, re))
    return amplitudes, [(b - a + math.pi) % (2 * math.pi) - math.pi for a, b in zip(phases, phases[1:])]


def tone_offset(samples, hz):
    """How many Hz the tone lies above `hz`."""
    steps = tone_blocks(samples, hz)[1]
    return sum(steps) / len(steps) * 100 / (2 * math.pi)


def tone_breaks(samples, hz, amplitude, jump=0.3):
    """Seconds at which a steady tone of `amplitude` breaks: a block where it
    falls below half, or whose phase step differs by more than `jump` from
    the median of the steps around it (a tone a little off `hz` turns
    steadily). Consecutive broken blocks count once."""
    amplitudes, steps = tone_blocks(samples, hz)
    broken = [a < amplitude / 2 for a in amplitudes]
    for k, step in enumerate(steps):
        around = sorted(steps[max(0, k - 5):k + 6])
        broken[k + 1] |= abs((step - around[len(around) // 2] + math.pi) % (2 * math.pi) - math.pi) > jump
    return [k / 100 for k, b in enumerate(broken) if b and (k == 0 or not broken[k - 1])]


class Steadiness:
    """A steady tone of `hz` judged as a listener hears it, its timing (phase)
    read per 10-ms block over 40 ms, which the encoder's quantisation does not
    blur: its worst frequency per 0.5 s off the mean (ppm, the slope of the
    timing fitted over each half second without a splice); its splices:
    steps of the timing of more than `splice` samples (48 kHz), a hole or a
    cut; and against a control tone of `control_hz` that took another path,
    the microphone's (not the same frequency: the encoder's joint coding of
    two equal tones makes their phases swing), how far the lag between the
    two strays in ms once a constant rate is taken out, over the whole
    stretch and within any 10 s. `control` may be None."""

    def __init__(self, samples, hz, control=None, control_hz=None, splice=4.0):
        timing = self.timing(samples, hz)
        # A step: the 0.2 s after a point against the 0.2 s before, each read
        # by its median once the slope is taken out: the median of the 0.1-s
        # differences within either side. Off its frames' grid the encoder
        # moves a tone's timing by a sample from block to block, and a pitch
        # that wanders bends it; neither moves one side's median against the
        # other's by 2 samples, while a cut of 5 moves it by 5. A few blocks
        # that another sound's onset upsets do not move a median either.
        self.splices, broken, k, n, lag = 0, set(), 20, 20, 10
        while k + n <= len(timing):
            before, after = timing[k - n:k], timing[k:k + n]
            slope = statistics.median([(side[i + lag] - side[i]) / lag for side in (before, after)
                                       for i in range(n - lag)])
            step = statistics.median(x - slope * i for i, x in enumerate(after)) - statistics.median(
                x - slope * (i - n) for i, x in enumerate(before))
            if abs(step) * 48000 > splice:
                self.splices += 1
                broken.update(range(k - n // 2, k + n))
                k += n
            k += 1
        # A hole of whole periods keeps the phase: the level tells it, by
        # falling below a quarter of the tone's (the encoder at 64 kbit/s
        # dips a tone by up to 7 dB for 20-40 ms, a few times a second for
        # a while after a click, keeping its phase).
        amplitudes = tone_blocks(samples, hz)[0]
        floor = statistics.median(amplitudes) / 4
        self.splices += sum(1 for a, b in zip([floor] + amplitudes, amplitudes) if b < floor <= a)
        # (a block's timing is read over the next four)
        broken.update(j for i, a in enumerate(amplitudes) if a < floor for j in range(i - 3, i + 1))
        # The pitch where the tone runs on: a splice is counted above, not
        # taken for a change of pitch around it.
        halves = []
        for i in range(0, len(timing) - 49, 50):
            if broken.isdisjoint(range(i, i + 50)):
                half = timing[i:i + 50]
                mean_t, mean_x = 24.5, sum(half) / 50
                slope = sum((k - mean_t) * (x - mean_x) for k, x in enumerate(half)) / sum(
                    (k - mean_t) ** 2 for k in range(50))
                halves.append(slope / 0.01 * 1e6)  # seconds per second, in ppm
        mean = sum(halves) / max(1, len(halves))
        self.pitch_ppm = max((abs(h - mean) for h in halves), default=0.0)
        self.lag_range_ms = self.lag_move_ms = 0.0
        if control is not None:
            other = self.timing(control, control_hz)
            lag = [(a - b) * 1e3 for a, b in zip(timing, other)]
            means = [sum(lag[i:i + 100]) / 100 for i in range(0, len(lag) - 99, 100)]
            slope = (means[-1] - means[0]) / max(1, len(means) - 1)
            means = [m - slope * i for i, m in enumerate(means)]
            self.lag_range_ms = max(means) - min(means)
            self.lag_move_ms = max(abs(means[j] - means[i]) for i in range(len(means))
                                   for j in range(i + 1, min(len(means), i + 11)))

    @staticmethod
    def timing(samples, hz):
        """Seconds by which the tone runs ahead, per 10-ms block, read over 40 ms, unwrapped."""
        window = [0.5 - 0.5 * math.cos(2 * math.pi * (i + 0.5) / 1920) for i in range(1920)]
        turn = [2 * math.pi * hz * i / 48000 for i in range(1920)]
        cos = [w * math.cos(a) for w, a in zip(window, turn)]
        sin = [w * math.sin(a) for w, a in zip(window, turn)]
        period, timing = 1 / hz, []
        for start in range(0, len(samples) - 1919, 480):
            block = samples[start:start + 1920]
            re, im = sum(map(float.__mul__, block, cos)), sum(map(float.__mul__, block, sin))
            # The block's start shifts the reference by a whole number of cycles only when hz * 10 ms is whole.
            t = math.atan2(-im, re) / (2 * math.pi * hz)
            if timing:
                t = timing[-1] + (t - timing[-1] + period / 2) % period - period / 2
            timing.append(t)
        return timing

    def __str__(self):
        return "pitch ±%.0f ppm, %d splices, lag range %.2f ms, lag move %.2f ms in 10 s" % (
            self.pitch_ppm, self.splices, self.lag_range_ms, self.lag_move_ms)


SIM = "korvalin-cap-sim"


def sim_sidecar(directory, scenario=None, env=None, **kwargs):
    """korvalin-cap-sim's serve loop in a scenario, past its ready line."""
    cap = Sidecar(SIM, env=env or sim_env(directory, scenario), **kwargs)
    if not cap.raw_line().startswith(b'{"ev":"ready"'):
        cap.__exit__()
        raise AssertionError("the first line is not ready")
    return cap


def line(**fields):
    """An event line as the program writes it: sorted, compact, "/" escaped, whole numbers without a fraction."""
    plain = {k: int(v) if isinstance(v, float) and v.is_integer() else v for k, v in fields.items()}
    return (json.dumps(plain, sort_keys=True, separators=(",", ":"), ensure_ascii=False).replace("/", "\\/")
            + "\n").encode()


def make_audio(path, expressions, seconds, rate=48000, codec=("-c:a", "pcm_f32le")):
    """A signal from ffmpeg's expression source, one expression per channel."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "aevalsrc=%s:s=%d:d=%g" % ("|".join(expressions), rate, seconds), *codec, path], check=True)


def sine(hz, amplitude=0.5):
    return "%g*sin(2*PI*%g*t)" % (amplitude, hz)


_segments = {}


def own_segment(path, seconds=2, hz=440, rate=48000):
    """Copies to `path` a segment the program merged once from two parts (`hz` left, twice it right)."""
    key = (seconds, hz, rate)
    if key not in _segments:
        directory = tempfile.mkdtemp(prefix="korvalin-segments-")
        atexit.register(shutil.rmtree, directory, True)
        parts = [os.path.join(directory, "part%d.wav" % i) for i in range(2)]
        for part in parts:
            make_audio(part, [sine(hz), sine(hz * 2)], seconds / 2, rate)
        _segments[key] = os.path.join(directory, "segment.m4a")
        assert run(["--merge", _segments[key]] + parts)[0] == 0
    return shutil.copyfile(_segments[key], path)


def ffprobe_ms(path):
    """The audio's length in ms as ffprobe reads it (0 when it reads none);
    the encoder's priming frames before time zero do not count."""
    try:
        stream = ffprobe(path)["streams"][0]
        return round((float(stream["duration"]) + min(float(stream["start_time"]), 0.0)) * 1000)
    except (subprocess.CalledProcessError, KeyError, IndexError, ValueError):
        return 0


def holds(pid, path):
    """Whether the process has `path` open."""
    fds = "/proc/%d/fd/" % pid
    with contextlib.suppress(OSError):
        return any(os.path.realpath(fds + fd) == os.path.realpath(path) for fd in os.listdir(fds))
    return False
