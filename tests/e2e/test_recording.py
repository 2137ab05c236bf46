"""Recording on the simulated audio system: the engine's events, files and
faults, seen from the host's side of the pipes."""

import json
import os
import signal
import time
import unittest
from pathlib import Path

from support import (ScratchTest, channel, decode, dominant_tone, events_of, ffprobe, ffprobe_ms, line, rms, sim_sidecar,
                     wire)

STARTED_DEFAULT = ('{"channels":"mic=buf0[0..<1] sys=buf1[0..<2]","echo_cancel":false,"ev":"started",'
                   '"mic":"Simulovaný mikrofon","path":%s,"sample_rate":48000,"system_audio":true}\n')


class Recording(ScratchTest):
    def start(self, cap, name, expect_default=True):
        cap.send({"cmd": "start", "out": self.path(name)})
        if expect_default:
            self.assertEqual(cap.raw_line(), (STARTED_DEFAULT % wire(self.path(name))).encode())

    def closed(self, cap, name):
        event = cap.until("segment_closed")
        self.assertEqual(sorted(event), ["bytes", "dropped_frames", "duration_ms", "ev", "path"])
        self.assertEqual(event["path"], self.path(name))
        self.assertEqual(event["bytes"], os.path.getsize(self.path(name)))
        return event

    def assert_tones(self, path, mic_hz=1000, sys_hz=440):
        samples = decode(path)
        middle = samples[2 * 4800: 2 * 4800 + 2 * 9600]  # 0.1 s … 0.3 s
        self.assertEqual(dominant_tone(channel(middle, 0), 48000, [mic_hz, sys_hz]), mic_hz)
        self.assertEqual(dominant_tone(channel(middle, 1), 48000, [mic_hz, sys_hz]), sys_hz)

    def assert_valid_segment(self, path, duration_ms):
        facts = ffprobe(path)
        stream = facts["streams"][0]
        self.assertEqual((stream["codec_name"], stream["profile"], stream["channels"],
                          stream["channel_layout"], stream["sample_rate"]),
                         ("aac", "LC", 2, "stereo", "48000"))
        self.assertAlmostEqual(float(facts["format"]["duration"]) * 1000, duration_ms, delta=50)

    def test_start_pause_resume_stop(self):
        with sim_sidecar(self.dir) as cap:
            self.start(cap, "seg-000.m4a")
            levels = cap.until("levels", skip=())
            self.assertEqual(sorted(levels), ["ev", "mic", "sys"])
            time.sleep(1.0)
            cap.send('{"cmd":"pause"}')
            first = self.closed(cap, "seg-000.m4a")
            self.assertEqual(first["dropped_frames"], 0)
            self.assertGreater(first["duration_ms"], 1000)
            cap.send({"cmd": "resume", "out": self.path("seg-001.m4a")})
            self.assertEqual(cap.until("started"), json.loads(STARTED_DEFAULT % wire(self.path("seg-001.m4a"))))
            time.sleep(0.8)
            cap.send('{"cmd":"stop"}')
            second = self.closed(cap, "seg-001.m4a")
            self.assertEqual(cap.until("stopped"), {"ev": "stopped", "reason": "stop"})
            cap.send('{"cmd":"quit"}')
            status, out, err = cap.finish()
            self.assertEqual((status, out), (0, b'{"ev":"stopped","reason":"quit"}\n'))
        for name, event in (("seg-000.m4a", first), ("seg-001.m4a", second)):
            self.assert_valid_segment(self.path(name), event["duration_ms"])
            self.assert_tones(self.path(name))
        # Levels of the simulated tones: the microphone at 0.25, the system at 0.5.
        self.assertAlmostEqual(levels["mic"], -12.0, delta=0.2)
        self.assertAlmostEqual(levels["sys"], -6.0, delta=0.2)

    def test_busy_and_idle_answers(self):
        with sim_sidecar(self.dir) as cap:
            cap.send('{"cmd":"pause"}')
            self.assertEqual(cap.raw_line(), '{"code":"no_segment","ev":"error","fatal":true,"msg":"žádný otevřený segment"}\n'.encode())
            self.start(cap, "a.m4a")
            cap.send({"cmd": "start", "out": self.path("b.m4a")})
            self.assertEqual(cap.until("error"), {"code": "busy", "ev": "error", "fatal": True, "msg": "segment už běží"})
            cap.send('{"cmd":"probe"}')
            self.assertEqual(cap.until("error"), {"code": "busy", "ev": "error", "fatal": True,
                                                  "msg": "probíhá nahrávání, zkušební capture nelze spustit"})
            cap.send('{"cmd":"stop"}')
            self.closed(cap, "a.m4a")
            cap.until("stopped")
            self.assertFalse(os.path.exists(self.path("b.m4a")))

    def test_tap_problems_leave_a_microphone_recording(self):
        cases = [
            (560492391, "permission_denied", "Není povolené nahrávání zvuku systému — ostatní účastníky neslyším."),
            (1718449215, "tap_failed", "Systémový zvuk se nepodařilo připojit (chyba 'fmt?' (1718449215))."),
        ]
        for status, code, message in cases:
            with self.subTest(code=code), sim_sidecar(self.dir, {"fail": {"tap": status}}) as cap:
                cap.send({"cmd": "start", "out": self.path("m.m4a"), "echo_cancel": True})
                self.assertEqual(cap.raw_line(), line(code=code, ev="error", fatal=False, msg=message, status=status))
                self.assertEqual(cap.raw_line(), line(
                    channels="mic=buf0[0..<1] sys=—", echo_cancel=False, ev="started", mic="Simulovaný mikrofon",
                    path=self.path("m.m4a"),
                    sample_rate=48000, system_audio=False, system_audio_error=message))
                time.sleep(0.5)
                cap.send('{"cmd":"stop"}')
                self.closed(cap, "m.m4a")
                samples = decode(self.path("m.m4a"))
                self.assertLess(rms(channel(samples, 1)), 1e-3)
                self.assertGreater(rms(channel(samples, 0)), 0.1)

    def test_graph_and_io_failures_leave_the_engine_idle(self):
        cases = [
            ({"default_input": None}, "no_device", "není k dispozici žádné vstupní zařízení (mikrofon)"),
            ({"fail": {"io_proc": -50}}, "io_failed", "IOProc nelze vytvořit (-50)"),
            ({"fail": {"device_start": 560492391}}, "permission_denied",
             "systém odmítl spustit nahrávání — zkontroluj oprávnění mikrofonu"),
            ({"fail": {"device_start": 2003329396}}, "io_failed", "nahrávání nelze spustit ('what' (2003329396))"),
        ]
        for scenario, code, message in cases:
            with self.subTest(code=code, scenario=scenario), sim_sidecar(self.dir, scenario) as cap:
                cap.send({"cmd": "start", "out": self.path("x.m4a")})
                self.assertEqual(cap.raw_line(), line(code=code, ev="error", fatal=True, msg=message))
                cap.send('{"cmd":"stop"}')
                self.assertEqual(cap.raw_line(), b'{"ev":"stopped","reason":"stop"}\n')

    def test_a_directory_at_out_is_refused_and_kept(self):
        target = self.path("nahravky")
        os.makedirs(os.path.join(target, "vnitrni"))
        Path(os.path.join(target, "vnitrni", "schuzka.m4a")).write_bytes(b"cizi data")
        good = self.path("dobry.m4a")
        Path(good).write_bytes(b"stary soubor" * 1000)
        below_a_file = os.path.join(good, "seg.m4a")
        with sim_sidecar(self.dir) as cap:
            for command, out in (("start", target), ("start", target + "/"), ("resume", target),
                                 ("start", below_a_file)):
                cap.send({"cmd": command, "out": out})
                event = cap.event()
                self.assertEqual((event["ev"], event["code"], event["fatal"]), ("error", "writer_failed", True))
                self.assertTrue(event["msg"].startswith("soubor %s nelze otevřít: " % out), event["msg"])
                if out != below_a_file:
                    self.assertEqual(event["msg"], "soubor %s nelze otevřít: je to adresář" % out)
            # Nothing was left open or built: the next start records.
            self.start(cap, "dobry.m4a")
            time.sleep(0.5)
            cap.send('{"cmd":"stop"}')
            closed = self.closed(cap, "dobry.m4a")
            self.assertEqual(cap.raw_line(), b'{"ev":"stopped","reason":"stop"}\n')
        self.assertEqual(sorted(os.listdir(target)), ["vnitrni"])
        self.assertEqual(Path(os.path.join(target, "vnitrni", "schuzka.m4a")).read_bytes(), b"cizi data")
        # A file at out is replaced, as ever.
        self.assert_valid_segment(good, closed["duration_ms"])
        self.assert_tones(good)

    def test_a_relative_name_with_a_colon_is_a_file_name(self):
        # Not a protocol prefix such as "rec12:" for the media library.
        with sim_sidecar(self.dir, cwd=self.dir) as cap:
            cap.send({"cmd": "start", "out": "rec12:30.m4a"})
            self.assertEqual(cap.raw_line(), (STARTED_DEFAULT % wire("rec12:30.m4a")).encode())
            time.sleep(0.5)
            cap.send('{"cmd":"stop"}')
            closed = cap.until("segment_closed")
        self.assertEqual((closed["path"], os.listdir(self.dir)), ("rec12:30.m4a", ["rec12:30.m4a"]))
        self.assert_valid_segment(self.path("rec12:30.m4a"), closed["duration_ms"])

    def test_every_ending_closes_the_open_segment_first(self):
        endings = [
            ("quit", lambda cap: cap.send('{"cmd":"quit"}'), b'{"ev":"stopped","reason":"quit"}\n', b""),
            ("eof", lambda cap: cap.close_stdin(), b"", "korvalin-cap: stdin uzavřen — ukončuji\n".encode()),
        ] + [(number.name, lambda cap, number=number: cap.signal(number), b'{"ev":"stopped","reason":"signal"}\n',
               ("korvalin-cap: signál %d — uzavírám segment\n" % number).encode())
             for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)]
        for name, end, last, log in endings:
            with self.subTest(ending=name), sim_sidecar(self.dir) as cap:
                self.start(cap, name + ".m4a")
                time.sleep(0.5)
                end(cap)
                self.closed(cap, name + ".m4a")
                status, out, err = cap.finish()
                self.assertEqual((status, out, err), (0, last, log))
                self.assert_valid_segment(self.path(name + ".m4a"), ffprobe_ms(self.path(name + ".m4a")))


REBUILT = ["started", "device_changed", "segment_closed", "started", "segment_closed", "stopped", "stopped"]


class DeviceChanges(ScratchTest):
    def record(self, scenario, seconds, **start):
        """Starts at once (with the given start keys), records for `seconds`, stops; returns events and stderr."""
        with sim_sidecar(self.dir, scenario) as cap:
            cap.send({"cmd": "start", "out": self.path("seg-000.m4a"), **start})
            time.sleep(seconds)
            cap.send('{"cmd":"stop"}')
            cap.send('{"cmd":"quit"}')
            status, out, err = cap.finish()
            self.assertEqual(status, 0)
        return [e for e in events_of(out) if e["ev"] != "levels"], err.decode()

    def test_a_burst_of_changes_gives_one_rebuild_named_after_the_last(self):
        devices = [{"uid": "sim-mic", "name": "Simulovaný mikrofon", "input": [1], "rate": 48000, "tone": [1000, 0.25]},
                   {"uid": "usb-mic", "name": "USB mikrofon", "input": [1], "rate": 48000, "tone": [700, 0.3]}]
        timeline = [{"at": 0.8, "default_input": "usb-mic"}, {"at": 1.0, "default_output": "sluchátka"}]
        events, _ = self.record({"devices": devices, "timeline": timeline}, 2.5)
        self.assertEqual([e["ev"] for e in events], REBUILT)
        self.assertEqual(events[1], {"ev": "device_changed", "desc": "změnilo se výstupní zařízení — pokračuji novým segmentem",
                                     "reason": "výstupní zařízení", "next": self.path("seg-000~001.m4a")})
        self.assertEqual(events[3]["after_device_change"], True)
        self.assertEqual(events[3]["mic"], "USB mikrofon")
        self.assertEqual(events[4]["path"], self.path("seg-000~001.m4a"))
        samples = decode(self.path("seg-000~001.m4a"))
        self.assertEqual(dominant_tone(channel(samples[:2 * 9600], 0), 48000, [1000, 700]), 700)

    def test_echo_cancel_auto_is_off_for_headphones(self):
        scenario = {"headphones": ["sluchátka"], "timeline": [{"at": 1.0, "default_output": "sluchátka"}]}
        events, _ = self.record(scenario, 2.2, echo_cancel="auto")
        self.assertEqual([e["ev"] for e in events], REBUILT)
        self.assertEqual((events[0]["echo_cancel"], events[3]["echo_cancel"]), (True, False))
        # With no echo to find the canceller leaves the microphone as it was.
        facts = ffprobe(self.path("seg-000.m4a"))
        self.assertAlmostEqual(float(facts["format"]["duration"]) * 1000, events[2]["duration_ms"], delta=50)
        samples = decode(self.path("seg-000.m4a"))
        self.assertEqual(dominant_tone(channel(samples[2 * 4800:2 * 14400], 0), 48000, [1000, 440]), 1000)
        # The simulated microphone's level (RMS 0.215 in the file), less than 1.5 dB lost.
        self.assertGreater(rms(channel(samples[2 * 4800:2 * 14400], 0)), 0.215 * 10 ** (-1.5 / 20))

    def test_a_rate_change_rebuilds(self):
        events, err = self.record({"timeline": [{"at": 0.5, "rate": 44100}]}, 2.0)
        self.assertEqual([e["ev"] for e in events], REBUILT)
        self.assertEqual(events[1]["reason"], "vzorkovací frekvence")
        self.assertEqual(events[3]["sample_rate"], 44100)
        self.assertIn("korvalin-cap: vzorkovací frekvence se změnila z 48000 na 44100 Hz\n", err)
        self.assertEqual(ffprobe(self.path("seg-000~001.m4a"))["streams"][0]["sample_rate"], "44100")

    def test_a_rebuild_without_a_microphone_ends_the_recording(self):
        events, _ = self.record({"timeline": [{"at": 0.5, "default_input": None}]}, 1.5)
        self.assertEqual([e["ev"] for e in events], ["started", "device_changed", "segment_closed", "error", "stopped", "stopped"])
        self.assertEqual(events[3], {"ev": "error", "code": "no_device", "fatal": True,
                                     "msg": "po změně zařízení nelze pokračovat: není k dispozici žádné vstupní zařízení (mikrofon)"})

    def test_a_change_while_idle_does_nothing(self):
        with sim_sidecar(self.dir, {"timeline": [{"at": 0.2, "default_output": "jiné"}]}) as cap:
            time.sleep(1.0)
            cap.send({"cmd": "start", "out": self.path("late.m4a")})
            self.assertEqual(cap.event()["ev"], "started")
            time.sleep(0.6)
            cap.send('{"cmd":"quit"}')
            status, out, _ = cap.finish()
            self.assertNotIn(b"device_changed", out)


class WriterFaults(ScratchTest):
    def test_a_writer_that_outlives_its_deadline_ends_quietly(self):
        """The encoder stalls for 3 s, past the writer's 1 s deadline: one
        sidecar changes the default output during the stall, the other stops
        and starts again; both record on without an error."""
        stall = {"stall_at": 0.5, "stall_for": 3.0, "deadline": 1.0}
        os.mkdir(self.path("b"))
        changing = sim_sidecar(self.dir, {"writer": stall, "timeline": [{"at": 1.0, "default_output": "X"}]})
        stopping = sim_sidecar(self.path("b"), {"writer": stall})
        seen = {changing: [], stopping: []}

        def read_until(cap, ev, count):
            while [e["ev"] for e in seen[cap]].count(ev) < count:
                seen[cap].append(cap.event(timeout=25))

        with changing, stopping:
            for cap, name in ((changing, "seg-000.m4a"), (stopping, "a.m4a")):
                cap.send({"cmd": "start", "out": self.path(name)})
            read_until(stopping, "started", 1)
            time.sleep(0.8)  # into the stall, which began at most 0.5 s after ready
            stopping.send('{"cmd":"stop"}')
            read_until(stopping, "stopped", 1)
            stopping.send({"cmd": "start", "out": self.path("b.m4a")})
            read_until(stopping, "started", 2)
            read_until(changing, "started", 2)
            time.sleep(2.5)
            results = []
            for cap in (changing, stopping):
                cap.send('{"cmd":"stop"}')
                cap.send('{"cmd":"quit"}')
                results.append(cap.finish())
        late = "korvalin-cap: writer thread se neukončil včas, uzavírám soubor i tak\n"
        closed = []
        for cap, (status, out, err), names in (
                (changing, results[0], REBUILT),
                (stopping, results[1], ["started", "segment_closed", "stopped", "started", "segment_closed",
                                        "stopped", "stopped"])):
            events = [e for e in seen[cap] + events_of(out) if e["ev"] != "levels"]
            self.assertEqual([e["ev"] for e in events], names)
            self.assertEqual((status, err.decode()), (0, late))
            closed += [e for e in events if e["ev"] == "segment_closed"]
        self.assertEqual([c["path"] for c in closed], [self.path(name) for name in
                                                       ("seg-000.m4a", "seg-000~001.m4a", "a.m4a", "b.m4a")])
        # The stalled writers' files hold what they took before the stall.
        for segment in closed:
            self.assertEqual(segment["dropped_frames"], 0)
            self.assertEqual(ffprobe(segment["path"])["streams"][0]["codec_name"], "aac")
            self.assertAlmostEqual(ffprobe_ms(segment["path"]), segment["duration_ms"], delta=50)
        self.assertGreater(closed[1]["duration_ms"], 2000)
        self.assertGreater(closed[3]["duration_ms"], 2000)

    def test_a_failing_encoder_keeps_what_it_wrote(self):
        out = os.path.join(self.dir, "fail.m4a")
        with sim_sidecar(self.dir, {"writer": {"fail_at": 1.0}}) as cap:
            cap.send({"cmd": "start", "out": out})
            cap.until("started")
            self.assertEqual(cap.until("error")["code"], "writer_failed")
            self.assertEqual(cap.until("segment_closed")["path"], out)
            cap.send('{"cmd":"quit"}')
            cap.finish()
        self.assertGreater(ffprobe_ms(out), 500)


if __name__ == "__main__":
    unittest.main()
