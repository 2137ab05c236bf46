"""The serve loop and the command line, driven over pipes: exact bytes."""

import signal
import time
import unittest

from support import Sidecar, run

STOPPED_QUIT = b'{"ev":"stopped","reason":"quit"}\n'


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


class BadInput(unittest.TestCase):
    def test_nothing_on_stdin_crashes_or_stalls_the_loop(self):
        bad_json = b'{"code":"bad_json","ev":"error","fatal":false,"msg":"\xc5\x99\xc3\xa1dek nen\xc3\xad JSON objekt"}\n'
        lines = [
            (b"[" * 100000, bad_json),
            (b"[" * 5000 + b"]" * 5000, bad_json),
            (b'{"cmd":"probe","seconds":1' + b"0" * 400 + b"}", bad_json),
            (b'{"cmd":"st\x00op"}', bad_json),
            (b'\x00\x00', bad_json),
            (b'{"cmd":"\xff\xfe"}', b'{"code":"bad_command","ev":"error","fatal":false,"msg":"nezn\xc3\xa1m\xc3\xbd p\xc5\x99\xc3\xadkaz \\"\xef\xbf\xbd\xef\xbf\xbd\\""}\n'),
            (b'{"cmd":"stop","x":' + b"9" * 10000 + b"}", bad_json),
            (b'{"cmd":"stop","x":' + b"9" * 30 + b"}", b'{"ev":"stopped","reason":"stop"}\n'),
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
            self.assertEqual(cap.raw_line(), b'{"ev":"stopped","reason":"stop"}\n')
            cap.send('{"cmd":"quit"}')
            status, out, _ = cap.finish()
            self.assertEqual((status, out), (0, STOPPED_QUIT))


if __name__ == "__main__":
    unittest.main()
