"""The serve loop and the command line, driven over pipes: exact bytes."""

import os
import subprocess
import unittest

from support import SIM, ScratchTest, Sidecar, binary, events_of, ffprobe, run, sim_env, sim_sidecar, write_wav_tone

STOPPED_QUIT = b'{"ev":"stopped","reason":"quit"}\n'
STOPPED_STOP = b'{"ev":"stopped","reason":"stop"}\n'


def ready_line(sidecar):
    return b'{"ev":"ready","pid":%d,"version":"0.1.0"}\n' % sidecar.proc.pid


class CommandLine(ScratchTest):
    def test_version_is_plain_text(self):
        self.assertEqual(run(["--version", "ignored"]), (0, b"0.1.0\n", b""))

    def test_help_is_plain_text_on_standard_output(self):
        for option in ("--help", "-h"):
            with self.subTest(option):
                status, out, err = run([option, "ignored"])
                self.assertEqual((status, out.split(b"\n")[0], err),
                                 (0, "použití: korvalin-cap [PŘEPÍNAČ [ARGUMENT…]]".encode(), b""))
                self.assertIn(b"man korvalin-cap", out)

    def test_usage_errors_are_fatal_events_with_status_two(self):
        cases = [
            (["-x"], "neznámý přepínač -x"),
            (["--Version"], "neznámý přepínač --Version"),
            (["--merge=out.m4a"], "neznámý přepínač --merge=out.m4a"),
            (["--automation"], "--automation potřebuje aspoň jeden bundle ID"),
            (["--request-automation"], "--automation potřebuje aspoň jeden bundle ID"),
            (["--merge"], "--merge <výstup> <segment>…"),
            (["--merge", "out.m4a"], "--merge <výstup> <segment>…"),
            (["--repair"], "--repair <adresář|soubor.m4a>…"),
            (["--analyze"], "--analyze <soubor.m4a>"),
            # "--přehrát" in ISO-8859-2: ř and á are bytes that UTF-8 cannot read.
            ([b"--p\xf8ehr\xe1t"], "neznámý přepínač --p\ufffdehr\ufffdt"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                expected = ('{"code":"bad_command","ev":"error","fatal":true,"msg":"%s"}\n'
                            % message).encode()
                self.assertEqual(run(args), (2, expected, b""))

    def test_the_capturing_modes_refuse_an_old_libpulse_with_status_three(self):
        env = sim_env(self.dir, {"os_version": "13.99.1"})
        refusal = ('{"code":"internal","ev":"error","fatal":true,"msg":"korvalin-cap potřebuje libpulse 14.4 nebo '
                   'novější (v systému je 13.99.1)."}\n').encode()
        for args in ([], ["--probe"]):
            with self.subTest(args=args):
                self.assertEqual(run(args, name=SIM, env=env), (3, refusal, b""))

    def test_a_word_that_is_no_option_starts_the_serve_loop(self):
        status, out, _ = run(["serve", "--version"], stdin=b'{"cmd":"quit"}\n')
        self.assertEqual(status, 0)
        lines = out.splitlines(keepends=True)
        self.assertTrue(lines[0].startswith(b'{"ev":"ready","pid":'))
        self.assertEqual(lines[1:], [STOPPED_QUIT])


class ServeLoop(ScratchTest):
    def test_ready_first_then_answers_in_order_and_quit(self):
        with Sidecar() as cap:
            self.assertEqual(cap.raw_line(), ready_line(cap))
            cap.send("not json")
            cap.send("")
            cap.send("   \r")
            cap.send('{"cmd":"teleport"}')
            cap.send('{"cmd":"stop"}\r')
            cap.send('{"cmd":"pause"}')
            cap.send('{"cmd":"quit"}')
            status, out, err = cap.finish()
            self.assertEqual(status, 0)
            self.assertEqual(out, b'{"code":"bad_json","ev":"error","fatal":false,"msg":"\xc5\x99\xc3\xa1dek nen\xc3\xad JSON objekt"}\n'
                             b'{"code":"bad_command","ev":"error","fatal":false,"msg":"nezn\xc3\xa1m\xc3\xbd p\xc5\x99\xc3\xadkaz \\"teleport\\""}\n'
                             b'{"ev":"stopped","reason":"stop"}\n'
                             b'{"code":"no_segment","ev":"error","fatal":true,"msg":"\xc5\xbe\xc3\xa1dn\xc3\xbd otev\xc5\x99en\xc3\xbd segment"}\n'
                             + STOPPED_QUIT)
            self.assertEqual(err, b"")

    def test_a_reader_that_goes_away_ends_the_recording_like_end_of_input(self):
        out = self.path("seg-000.m4a")
        with sim_sidecar(self.dir) as cap:
            cap.send({"cmd": "start", "out": out})
            cap.until("started")
            cap.until("levels")
            cap.proc.stdout.close()
            status = cap.proc.wait(timeout=30)
            self.assertEqual((status, cap.stderr()), (0, "korvalin-cap: stdout uzavřen — ukončuji\n".encode()))
        self.assertGreater(float(ffprobe(out)["format"]["duration"]), 0.2)

    def test_end_of_input_lets_a_running_merge_finish(self):
        parts = [self.path("part%d.wav" % i) for i in range(2)]
        for part in parts:
            write_wav_tone(part, 440, 1)
        with sim_sidecar(self.dir) as cap:
            cap.send({"cmd": "merge", "segments": parts, "out": self.path("all.m4a")})
            cap.close_stdin()
            status, out, _ = cap.finish()
        self.assertEqual((status, [event["ev"] for event in events_of(out)]), (0, ["merged"]))
        self.assertEqual(sorted(os.listdir(self.dir)), ["all.m4a", "part0.wav", "part1.wav"])


class Burst(unittest.TestCase):
    def test_a_burst_of_commands_is_answered_in_order(self):
        count = 20000
        commands = [b'{"cmd":"c%d"}\n' % i if i % 3 else b'{"cmd":"stop"}\n' for i in range(count)]
        answers = [b'{"code":"bad_command","ev":"error","fatal":false,"msg":"nezn\xc3\xa1m\xc3\xbd p\xc5\x99\xc3\xadkaz '
                   b'\\"c%d\\""}\n' % i if i % 3 else STOPPED_STOP for i in range(count)]
        # Compared byte for byte; checking each of the 20k lines against the
        # schema would take a minute, so only the two shapes are checked.
        events_of(b"".join(answers[:2]))
        done = subprocess.run([binary()], input=b"".join(commands), capture_output=True, timeout=300)
        self.assertEqual(done.returncode, 0)
        self.assertTrue(done.stdout.split(b"\n", 1)[1] == b"".join(answers), "answers missing or out of order")


if __name__ == "__main__":
    unittest.main()
