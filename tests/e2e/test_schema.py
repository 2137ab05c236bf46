"""The protocol's JSON Schema files: valid schemas that draw the lines where
the protocol draws them. Every event line of every black-box test is checked
against the events schema in support.py; these cases pin the edges."""

import json
import os
import unittest

import jsonschema

from support import EVENTS, SCHEMA_DIR


def load(name):
    with open(os.path.join(SCHEMA_DIR, name)) as f:
        return json.load(f)


COMMANDS = jsonschema.Draft202012Validator(load("commands.schema.json"))


class SchemaTest(unittest.TestCase):
    def test_both_files_are_draft_2020_12_schemas(self):
        for name in ("commands.schema.json", "events.schema.json"):
            schema = load(name)
            self.assertEqual(schema["$schema"], "https://json-schema.org/draft/2020-12/schema")
            jsonschema.Draft202012Validator.check_schema(schema)

    def test_commands_a_host_should_send(self):
        good = [{"cmd": "start", "out": "/r/seg-000.m4a"}, {"cmd": "resume", "out": " "}, {"cmd": "pause"},
                {"cmd": "stop"}, {"cmd": "permissions"}, {"cmd": "quit"}, {"cmd": "probe"},
                {"cmd": "merge", "segments": ["/r/a.m4a", "/r/b.m4a"], "out": "/r/all.m4a"},
                {"cmd": "probe", "seconds": 0.2}, {"cmd": "probe", "seconds": 30},
                {"cmd": "start", "out": "/r/a.m4a", "echo_cancel": "auto"}, {"cmd": "resume", "out": "/r/a.m4a", "echo_cancel": False}]
        bad = [{"cmd": "start"}, {"cmd": "start", "out": ""}, {"cmd": "start", "out": 5},
               {"cmd": "merge", "segments": [], "out": "/r/all.m4a"}, {"cmd": "merge", "segments": ["/r/a.m4a"]},
               {"cmd": "merge", "segments": ["/r/a.m4a", 1], "out": "/r/all.m4a"}, {"cmd": "probe", "seconds": 0.1},
               {"cmd": "probe", "seconds": 30.5}, {"cmd": "probe", "seconds": "5"}, {"cmd": "stop", "x": 1},
               {"cmd": "START", "out": "/r/a.m4a"}, {"out": "/r/a.m4a"}, [1, 2, 3],
               {"cmd": "start", "out": "/r/a.m4a", "echo_cancel": "on"}, {"cmd": "pause", "echo_cancel": True}]
        for command in good + bad:
            self.assertEqual(COMMANDS.is_valid(command), command in good, command)

    def test_events_are_held_to_their_exact_shape(self):
        bad = [
            {"ev": "levels", "mic": -12.0, "sys": -6.0, "extra": 1}, {"ev": "levels", "mic": 1.5, "sys": -6.0},
            {"ev": "segment_closed", "path": "a", "duration_ms": 10.0, "bytes": 1, "dropped_frames": 0},
            {"ev": "stopped", "reason": "crash"}, {"ev": "goodbye"},
            {"code": "tap_failed", "ev": "error", "fatal": True, "msg": "m", "status": -1},
            {"code": "no_device", "ev": "error", "fatal": False, "msg": "m", "status": -1},
            {"code": "teapot", "ev": "error", "fatal": True, "msg": "m"},
            {"ev": "analysis", "path": "a", "channels": 1, "sample_rate": 48000, "frames": 9, "bytes": 9,
             "duration_ms": 0, "left_peak_db": -6.0, "left_rms_db": -9.0, "right_peak_db": -6.0,
             "right_rms_db": -9.0},
            {"ev": "analysis", "path": "a", "channels": 2, "sample_rate": 48000, "frames": 9, "bytes": 9,
             "duration_ms": 0, "left_peak_db": -6.0, "left_rms_db": -9.0},
            {"ev": "probe_result", "microphone": "granted", "system_audio": "error",
             "error_code": "permission_denied", "msg": "m", "mic_peak_db": -120.0, "sys_peak_db": -120.0},
            {"ev": "started", "path": "a", "sample_rate": 48000, "channels": "c", "system_audio": True, "echo_cancel": True,
             "after_device_change": False}]
        for event in bad:
            self.assertFalse(EVENTS.is_valid(event), event)


if __name__ == "__main__":
    unittest.main()
