"""The serve loop and the command line, driven over pipes: exact bytes."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from support import Sidecar, binary, events_of, run, sim_env, write_wav_tone

STOPPED_QUIT = b'{"ev":"stopped","reason":"quit"}\n'
STOPPED_STOP = b'{"ev":"stopped","reason":"stop"}\n'
BAD_JSON = b'{"code":"bad_json","ev":"error","fatal":false,"msg":"\xc5\x99\xc3\xa1dek nen\xc3\xad JSON objekt"}\n'


def ready_line(sidecar):
    return b'{"ev":"ready","pid":%d,"version":"0.1.0"}\n' % sidecar.proc.pid


class CommandLine(unittest.TestCase):
    def test_version_is_plain_text(self):
        self.assertEqual(run(["--version", "ignored"]), (0, b"0.1.0\n", b""))

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
        ]
        for args, message in cases:
            with self.subTest(args=args):
                expected = ('{"code":"bad_command","ev":"error","fatal":true,"msg":"%s"}\n'
                            % message).encode()
                self.assertEqual(run(args), (2, expected, b""))

    def test_an_option_that_is_no_utf8_is_named_with_replacement_characters(self):
        # "--přehrát" in ISO-8859-2: ř and á are bytes that UTF-8 cannot read.
        self.assertEqual(run([b"--p\xf8ehr\xe1t"]),
                         (2, b'{"code":"bad_command","ev":"error","fatal":true,'
                             b'"msg":"nezn\xc3\xa1m\xc3\xbd p\xc5\x99ep\xc3\xadna\xc4\x8d '
                             b'--p\xef\xbf\xbdehr\xef\xbf\xbdt"}\n', b""))

    def test_a_word_that_is_no_option_starts_the_serve_loop(self):
        status, out, _ = run(["serve", "--version"], stdin=b'{"cmd":"quit"}\n')
        self.assertEqual(status, 0)
        lines = out.splitlines(keepends=True)
        self.assertTrue(lines[0].startswith(b'{"ev":"ready","pid":'))
        self.assertEqual(lines[1:], [STOPPED_QUIT])


class ServeLoop(unittest.TestCase):
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
            self.assertEqual(len(STOPPED_QUIT), 33)
            self.assertEqual(err, b"")

    def test_end_of_input_logs_and_exits_without_stopped(self):
        with Sidecar() as cap:
            self.assertEqual(cap.raw_line(), ready_line(cap))
            cap.close_stdin()
            status, out, err = cap.finish()
            self.assertEqual((status, out), (0, b""))
            self.assertEqual(err, "korvalin-cap: stdin uzavřen — ukončuji\n".encode())

    def test_each_signal_is_logged_and_ends_with_stopped(self):
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=number), Sidecar() as cap:
                self.assertEqual(cap.raw_line(), ready_line(cap))
                cap.signal(number)
                status, out, err = cap.finish()
                self.assertEqual((status, out), (0, b'{"ev":"stopped","reason":"signal"}\n'))
                self.assertEqual(err, ("korvalin-cap: signál %d — uzavírám segment\n" % number).encode())

    def test_a_line_in_pieces_is_answered_once(self):
        with Sidecar() as cap:
            cap.raw_line()
            for piece in (b'{"cmd"', b':"pa', b'use"}'):
                cap.send(piece)
                time.sleep(0.005)
            cap.send(b"\n")
            cap.send('{"cmd":"quit"}')
            status, out, _ = cap.finish()
            self.assertEqual(out.count(b"\n"), 2)
            self.assertTrue(out.startswith(b'{"code":"no_segment"'))


class NonBlockingStdin(unittest.TestCase):
    def test_a_non_blocking_stdin_is_waited_on_until_its_real_end(self):
        # The host hands over a descriptor set to O_NONBLOCK before exec.
        set_non_blocking = "import os, sys; os.set_blocking(0, False); os.execv(sys.argv[1], sys.argv[1:])"
        with Sidecar(sys.executable, args=["-c", set_non_blocking, binary()]) as cap:
            self.assertEqual(cap.raw_line(), ready_line(cap))
            time.sleep(0.5)
            cap.send('{"cmd":"stop"}')
            self.assertEqual(cap.raw_line(), STOPPED_STOP)
            time.sleep(0.5)
            self.assertIsNone(cap.proc.poll(), "the program must wait for more input")
            cap.close_stdin()
            status, out, err = cap.finish()
            self.assertEqual((status, out), (0, b""))
            self.assertEqual(err, "korvalin-cap: stdin uzavřen — ukončuji\n".encode())


class BadInput(unittest.TestCase):
    def test_nothing_on_stdin_crashes_or_stalls_the_loop(self):
        lines = [
            (b"[" * 2 ** 20, BAD_JSON),  # exactly the longest line that is read
            (b"[" * 5000 + b"]" * 5000, BAD_JSON),
            (b'{"cmd":"stop","x":' + b"[" * 500000 + b"]" * 500000 + b"}", STOPPED_STOP),
            (b'{"cmd":"probe","seconds":1' + b"0" * 400 + b"}", BAD_JSON),
            (b'{"cmd":"st\x00op"}', BAD_JSON),
            (b'\x00\x00', BAD_JSON),
            (b'{"cmd":"\xff\xfe"}', b'{"code":"bad_command","ev":"error","fatal":false,"msg":"nezn\xc3\xa1m\xc3\xbd p\xc5\x99\xc3\xadkaz \\"\xef\xbf\xbd\xef\xbf\xbd\\""}\n'),
            (b'{"cmd":"stop","x":' + b"9" * 10000 + b"}", BAD_JSON),
            (b'{"cmd":"stop","x":' + b"9" * 30 + b"}", STOPPED_STOP),
        ]
        with Sidecar() as cap:
            cap.raw_line()
            for line, answer in lines:
                cap.send(line + b"\n")
                self.assertEqual(cap.raw_line(), answer, line[:40])
            # An endless line: dropped whole, the next line is answered.
            for _ in range(40):
                cap.send(b"x" * 65536)
            cap.send(b"\n" + b'{"cmd":"stop"}\n')
            self.assertEqual(cap.raw_line(), STOPPED_STOP)
            cap.send('{"cmd":"quit"}')
            status, out, _ = cap.finish()
            self.assertEqual((status, out), (0, STOPPED_QUIT))

    def test_ten_megabyte_lines_without_a_line_feed_are_dropped(self):
        endless = b"y" * (10 * 2 ** 20)
        status, out, _ = run([], stdin=endless + b'\n{"cmd":"stop"}\n' + endless)
        self.assertEqual((status, out.split(b"\n", 1)[1]), (0, STOPPED_STOP))

    def test_bytes_after_the_object_are_garbage_even_after_a_nul(self):
        with Sidecar() as cap:
            cap.raw_line()
            for line in (b'{"cmd":"stop"}\x00 garbage', b'{"cmd":"stop"}\x00', b'{"cmd":"quit"}\x00\r'):
                cap.send(line + b"\n")
                self.assertEqual(cap.raw_line(), BAD_JSON, line)
            cap.send('{"cmd":"quit"}')
            self.assertEqual(cap.finish()[:2], (0, STOPPED_QUIT))

    def test_a_burst_of_commands_is_answered_in_order(self):
        count = 100000
        commands, answers = [], []
        for i in range(count):
            if i % 3:
                commands.append(b'{"cmd":"c%d"}\n' % i)
                answers.append(b'{"code":"bad_command","ev":"error","fatal":false,'
                               b'"msg":"nezn\xc3\xa1m\xc3\xbd p\xc5\x99\xc3\xadkaz \\"c%d\\""}\n' % i)
            else:
                commands.append(b'{"cmd":"stop"}\n')
                answers.append(STOPPED_STOP)
        # Every answer is compared byte for byte; the schema check of each of
        # the 100k lines would take minutes, so only the two shapes are checked.
        done = subprocess.run([binary()], input=b"".join(commands), capture_output=True, timeout=300)
        self.assertEqual(done.returncode, 0)
        answered = done.stdout.split(b"\n", 1)[1]
        events_of(b"".join(answers[:2]))
        self.assertEqual(answered.count(b"\n"), count)
        self.assertTrue(answered == b"".join(answers), "answers missing or out of order")


class NulInPaths(unittest.TestCase):
    """The system ends a path at a NUL: such a path would name another file."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="korvalin-nul-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_any_path_with_a_nul_is_refused_and_nothing_is_opened(self):
        wav = os.path.join(self.dir, "a.wav")
        write_wav_tone(wav, 440, 0.5)
        out = os.path.join(self.dir, "out.m4a")
        cases = [
            ({"cmd": "start", "out": out + "\0.wav"}, r'start: pole \"out\" obsahuje znak NUL'),
            ({"cmd": "resume", "out": out + "\0"}, r'resume: pole \"out\" obsahuje znak NUL'),
            ({"cmd": "merge", "segments": [wav + "\0.m4a"], "out": out},
             r'merge: pole \"segments\" obsahuje znak NUL'),
            ({"cmd": "merge", "segments": [wav], "out": out + "\0.wav"}, r'merge: pole \"out\" obsahuje znak NUL'),
        ]
        with Sidecar("korvalin-cap-sim", env=sim_env(self.dir)) as cap:
            cap.raw_line()
            for command, message in cases:
                with self.subTest(command=command):
                    cap.send(command)
                    self.assertEqual(cap.raw_line(), ('{"code":"bad_command","ev":"error","fatal":false,"msg":"%s"}\n'
                                                      % message).encode())
            cap.send('{"cmd":"stop"}')
            self.assertEqual(cap.raw_line(), STOPPED_STOP)
            cap.send('{"cmd":"quit"}')
            self.assertEqual(cap.finish()[:2], (0, STOPPED_QUIT))
        self.assertEqual(os.listdir(self.dir), ["a.wav"])


if __name__ == "__main__":
    unittest.main()
