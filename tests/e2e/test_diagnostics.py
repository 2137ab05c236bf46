"""Diagnostics seen from the outside: the self test's report, the trial
capture on the simulated audio system, and the permission reports."""

import json
import os
import re
import unittest

from support import SIM, ScratchTest, Sidecar, line, run, sim_env, sim_sidecar

TAP_REFUSED = "Není povolené nahrávání zvuku systému — ostatní účastníky neslyším."


class Scratch(ScratchTest):
    """A scenario directory and a private temporary directory for each test."""

    def setUp(self):
        super().setUp()
        self.tmp = self.path("tmp")
        os.mkdir(self.tmp)

    def env(self, scenario=None):
        env = sim_env(self.dir, scenario)
        env["TMPDIR"] = self.tmp
        return env


class SelfTest(Scratch):
    def test_report_and_status(self):
        status, out, err = run(["--selftest"], env=self.env())
        lines = out.decode().split("\n")
        self.assertEqual(lines[-3:], ["", "SELFTEST OK", ""])
        names = [re.fullmatch(r"PASS  (\S.*)", line).group(1) for line in lines[:-3]]
        self.assertEqual((len(names), len(set(names))), (38, 38))
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(os.listdir(self.tmp), [])


class Probe(Scratch):
    def probe(self, scenario, seconds):
        """Runs --probe; returns (status, event lines without levels, stderr, pid)."""
        with Sidecar(SIM, env=self.env(scenario), args=["--probe", seconds]) as cap:
            lines = []
            while True:
                text = cap.raw_line(timeout=30)
                if not text:
                    break
                if not text.startswith(b'{"ev":"levels"'):
                    lines.append(text)
            status, rest, err = cap.finish()
            self.assertEqual(rest, b"")
            pid = cap.proc.pid
        self.assertEqual(os.listdir(self.tmp), [], "the scratch directory is removed")
        return status, lines, err, pid

    def completed(self, lines, pid, system_audio):
        """Checks started, segment_closed and the shape of probe_result; returns it."""
        started, closed, result = (json.loads(text) for text in lines[-3:])
        path = started["path"]
        self.assertRegex(path, "^" + re.escape(self.tmp) + r"/korvalin-probe-[A-Za-z0-9]{6}/probe\.m4a$")
        self.assertEqual((started["ev"], started["system_audio"]), ("started", system_audio))
        self.assertEqual((closed["ev"], closed["path"]), ("segment_closed", path))
        self.assertEqual(lines[-1], line(**result))
        # The simulated microphone: 1000 Hz at 0.25 of full scale.
        self.assertEqual((result["bytes"], result["sample_rate"], result["microphone"], result["mic_peak_db"]),
                         (closed["bytes"], 48000, "granted", -12.0))
        self.assertAlmostEqual(result["mic_rms_db"], -15.05, delta=0.11)
        self.assertGreater(result["frames"], 0)
        return result

    def test_own_tone_and_other_sound_are_heard(self):
        status, lines, err, pid = self.probe({}, "2.25")
        self.assertEqual(len(lines), 3)
        result = self.completed(lines, pid, True)
        self.assertEqual(sorted(result), ["bytes", "ev", "frames", "mic_peak_db", "mic_rms_db", "microphone",
                                          "sample_rate", "seconds", "sys_peak_db", "sys_rms_db", "system_audio",
                                          "tone_played"])
        self.assertIn(b'"seconds":2.3,', lines[-1])
        self.assertEqual((result["system_audio"], result["tone_played"]), ("granted", True))
        # The others' 0.5 and the tone's 0.15, both at 440 Hz in phase.
        self.assertEqual(result["sys_peak_db"], -3.7)
        self.assertAlmostEqual(result["frames"], 2.25 * 48000, delta=4800)
        self.assertEqual((status, err), (0, b""))

    def test_without_a_tap_system_audio_is_denied(self):
        status, lines, err, pid = self.probe({"fail": {"tap": -1}}, "0.24")
        self.assertEqual(lines[0], line(**{"code": "permission_denied", "ev": "error", "fatal": False,
                                              "msg": TAP_REFUSED, "status": -1}))
        result = self.completed(lines, pid, False)
        self.assertIn(b'"seconds":0.2,', lines[-1])
        self.assertEqual((result["system_audio"], result["msg"]), ("denied", TAP_REFUSED))
        self.assertEqual((result["sys_peak_db"], result["sys_rms_db"]), (-120.0, -120.0))
        self.assertEqual(status, 1)

    def test_quiet_system_audio_without_the_tone(self):
        for amplitude, verdict, exit_status in ((0.0009, "silent", 1), (0.0011, "granted", 0)):
            with self.subTest(amplitude=amplitude):
                scenario = {"tone_output": "fail", "system_tone": [440, amplitude]}
                status, lines, err, pid = self.probe(scenario, "0.3")
                result = self.completed(lines, pid, True)
                self.assertEqual((result["system_audio"], result["tone_played"]), (verdict, False))
                self.assertEqual(status, exit_status)
                self.assertEqual(err, "korvalin-cap: zkušební tón nelze přehrát: "
                                      "simulovaný výstup nelze spustit\n".encode())

    def test_capture_that_cannot_be_set_up(self):
        cases = (
            ({"fail": {"aggregate": 1852797029}, "microphone": "restricted"}, "restricted", "error",
             "aggregate_failed", "agregované zařízení nelze vytvořit ('nope' (1852797029))"),
            ({"fail": {"device_start": -1}}, "granted", "denied", "permission_denied",
             "systém odmítl spustit nahrávání — zkontroluj oprávnění mikrofonu"),
        )
        for scenario, microphone, system_audio, code, msg in cases:
            with self.subTest(code=code):
                status, lines, err, _ = self.probe(scenario, "1")
                self.assertEqual(lines, [line(**{
                    "error_code": code, "ev": "probe_result", "mic_peak_db": -120.0, "microphone": microphone,
                    "msg": msg, "sys_peak_db": -120.0, "system_audio": system_audio})])
                self.assertEqual(status, 1)

    def test_probe_command_in_the_serve_loop(self):
        with sim_sidecar(self.dir, env=self.env({})) as cap:
            cap.send({"cmd": "probe", "seconds": 0.25})
            cap.until("started")
            cap.until("segment_closed")
            result = cap.until("probe_result")
            self.assertEqual((result["system_audio"], result["seconds"]), ("granted", 0.3))
            cap.send({"cmd": "quit"})
            cap.finish()
        self.assertEqual(os.listdir(self.tmp), [])


class Permissions(Scratch):
    STATES = ("granted", "denied", "restricted", "undetermined")

    def report(self, microphone):
        return line(**{"ev": "permissions", "input_device": "Simulovaný mikrofon", "microphone": microphone,
                          "os_supported": True, "os_version": "14.4.1", "system_audio": "unknown"})

    def test_report_and_microphone_request_on_the_command_line(self):
        for state in self.STATES:
            with self.subTest(state=state):
                env = self.env({"microphone": state})
                self.assertEqual(run(["--permissions"], SIM, env), (0, self.report(state), b""))
                self.assertEqual(run(["--request-mic"], SIM, env), (0 if state == "granted" else 1, line(
                    ev="permissions", microphone=state, os_version="14.4.1"), b""))

    def test_report_by_command_while_idle_and_recording(self):
        with sim_sidecar(self.dir, env=self.env({"microphone": "denied"})) as cap:
            for start in ({"cmd": "start", "out": os.path.join(self.dir, "seg-000.m4a")}, None):
                cap.send({"cmd": "permissions"})
                self.assertEqual(cap.until("permissions"), json.loads(self.report("denied")))
                if start:
                    cap.send(start)
                    cap.until("started")
            cap.send({"cmd": "quit"})
            cap.finish()

    def test_automation_keeps_the_order_given(self):
        scenario = {"processes": [{"pid": "self"}, {"pid": 4242, "bundle_id": "com.example.browser"},
                                  {"pid": 4343, "bundle_id": "com.example.mail"}]}
        ids = ["org.example.absent", "com.example.mail", "", "com.example.browser"]
        for option, running in (("--automation", "undetermined"), ("--request-automation", "granted")):
            with self.subTest(option=option):
                states = ["not_running", running, "unknown", running]
                apps = [{"bundle_id": i, "state": s} for i, s in zip(ids, states)]
                self.assertEqual(run([option] + ids, SIM, self.env(scenario)), (0, line(apps=apps, ev="automation"), b""))


if __name__ == "__main__":
    unittest.main()
