#!/usr/bin/env python3
"""Bad input to the POP3 server gets a clear error and the session lives
on: unknown and wrong-state commands, extra and missing arguments, letter
case, NUL bytes, overlong lines (answered once, their tail never run),
100 MB without a line end (the connection is closed, the server's memory
stays flat) and a client that pipelines without reading (every command
answered, the server's memory bounded).

Usage: test_input.py BUILD_DIR
"""

import os
import socket
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Fail, Instance, MEASURE_MEMORY_ENV, close_checked  # noqa: E402

UNRECOGNIZED = "-ERR Unrecognized command"
EXTRA = "-ERR Unexpected extra argument"
TOO_LONG = "-ERR Line too long"
MB = 1024   # in KiB, as rss_kb counts


class BadInput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Instance()
        cls.inst.start_stored()
        cls.popd = cls.inst.popd(env=MEASURE_MEMORY_ENV)

    @classmethod
    def tearDownClass(cls):
        close_checked(cls.inst, cls.popd)

    def session(self, **kw):
        c = self.popd.client(**kw)
        c.greeting()
        return c

    def answers(self, c, commands):
        """Sends each command (raw text, CRLF added) and returns the first
        line of each answer; every session ends with a CAPA that must still
        work, so a bad command never ends or derails the session."""
        got = [c.cmd(cmd) for cmd in commands]
        self.assertIn("TOP", c.capa())
        return got

    def test_unknown_and_wrong_state_commands(self):
        # Fewer than 20 bad commands per session, so no limit on bad
        # commands ends it.
        groups = [
            # Unknown, empty, or split.
            ["FOO", "XYZZY 1", "", " ", "CA PA", "CAPAB", "CAP", "QUITX"],
            # Commands of the transaction state, before any login.
            ["STAT", "LIST", "LIST 1", "RETR 1", "DELE 1", "NOOP", "RSET", "LAST", "TOP 1 0", "UIDL",
             "UIDL 1", "XAUTHLIST", "XSENDER 1", "GURL"],
            # A NUL anywhere makes the line no command.
            ["CAPA\0", "\0CAPA", "CA\0PA", "QUIT\0"],
        ]
        for commands in groups:
            with self.subTest(commands=commands), self.session() as c:
                self.assertEqual(self.answers(c, commands), [UNRECOGNIZED] * len(commands))
                c.quit()

    def test_extra_arguments(self):
        with self.session() as c:
            self.assertEqual(self.answers(c, ["CAPA x", "CAPA\tx", "QUIT now", "quit 1", "XREFRESH x"]),
                             [EXTRA] * 5)
            c.quit()

    def test_missing_arguments(self):
        with self.session() as c:
            if c.cmd("USER") == UNRECOGNIZED:
                c.quit()
                self.skipTest("no login commands in this server yet")
            self.assertEqual(self.answers(c, ["PASS"]), ["-ERR Missing argument"])
            c.quit()
        with self.session() as c:
            self.assertEqual(self.answers(c, ["USER", "USER  ", "PASS"]), ["-ERR Missing argument"] * 3)
            c.quit()

    def test_letter_case_and_blanks_around_arguments(self):
        with self.session() as c:
            for cmd in ("capa", "CaPa", "cAPA", "CAPA   ", "CAPA \t "):
                with self.subTest(cmd=cmd):
                    c.expect_after(cmd, "+OK list follows")
                    self.assertIn("PIPELINING", c.multiline())
            c.expect_after("qUiT", "+OK")
            c.expect_eof()

    def test_pipelined_commands_are_answered_in_order(self):
        with self.session() as c:
            c.send("FOO\r\nCAPA\r\nCAPA x\r\nBAR\r\n")
            c.expect(UNRECOGNIZED)
            c.expect("+OK list follows")
            c.multiline()
            c.expect(EXTRA)
            c.expect(UNRECOGNIZED)
            c.quit()

    def test_line_length_limit(self):
        # 512 octets with the CRLF is a command; one more is too long.
        with self.session() as c:
            c.expect_after("CAPA" + " " * 506, "+OK list follows")
            c.multiline()
            c.expect_after("CAPA" + " " * 507, TOO_LONG)
            c.capa()
            c.quit()

    def test_overlong_line_is_answered_once_and_its_tail_never_runs(self):
        # The tail of each line is "QUIT" at or around the 512-octet mark, so
        # a reader that cuts the line and runs the rest would end the session.
        for length in (508, 509, 510, 511, 512, 513, 600, 4096, 70000):
            with self.subTest(length=length), self.session() as c:
                c.send("A" * length + "QUIT\r\nCAPA\r\n")
                c.expect(TOO_LONG)
                c.expect("+OK list follows")
                c.multiline()
                self.assertTrue(c.silent_for(0.2), c.pending())
                c.quit()
        # A 600-byte argument, then the next command in the same write.
        with self.session() as c:
            c.send("USER " + "u" * 595 + "\r\nCAPA\r\n")
            c.expect(TOO_LONG)
            c.expect("+OK list follows")
            c.multiline()
            self.assertTrue(c.silent_for(0.2), c.pending())
            c.quit()

    def test_100_mb_without_a_line_end_closes_the_connection_with_memory_flat(self):
        with self.session() as warm:
            warm.capa()
            warm.quit()
        base = peak = self.popd.rss_kb()
        c = self.session()
        chunk = b"A" * (1 << 20)
        try:
            for i in range(100):
                c.sock.sendall(chunk)
                if i % 5 == 0:
                    peak = max(peak, self.popd.rss_kb())
        except (BrokenPipeError, ConnectionResetError):
            pass    # closed before the end: fine
        except socket.timeout as e:
            raise Fail("the server neither reads the line nor closes the connection") from e
        peak = max(peak, self.popd.rss_kb())
        lines = []
        try:
            while True:
                lines.append(c.line())
        except (EOFError, ConnectionResetError):
            pass
        c.close()
        self.assertLessEqual(len(lines), 2, lines)
        for line in lines:
            self.assertTrue(line.startswith("-ERR "), lines)
        self.assertLess(peak - base, 32 * MB, f"server RSS {base} KiB before, {peak} KiB at most")
        with self.session() as c:
            c.capa()
            c.quit()

    def test_client_that_does_not_read_bounds_the_servers_output(self):
        n = 300000
        with self.session() as c:
            c.send("CAPA\r\n")
            one = bytearray()
            while not one.endswith(b"\r\n.\r\n"):
                one += c.raw_line()
            c.quit()
        base = peak = self.popd.rss_kb()
        c = self.session(rcvbuf=65536, timeout=120)
        errors = []

        def send():
            try:
                c.sock.sendall(b"CAPA\r\n" * n)
            except OSError as e:
                errors.append(e)
        sender = threading.Thread(target=send)
        sender.start()
        # Not reading for a while; the server must hold its output back.
        end = time.monotonic() + 2
        while time.monotonic() < end:
            peak = max(peak, self.popd.rss_kb())
            time.sleep(0.1)
        want = len(one) * n
        got = bytearray(c.buf)
        c.buf.clear()
        while len(got) < want:
            chunk = c.sock.recv(1 << 20)
            if not chunk:
                break
            got += chunk
            if len(got) % (16 << 20) < len(chunk):
                peak = max(peak, self.popd.rss_kb())
        sender.join(60)
        self.assertFalse(sender.is_alive())
        self.assertEqual(errors, [])
        self.assertEqual(len(got), want)
        self.assertTrue(bytes(got) == bytes(one) * n, "answers differ from one CAPA answer repeated")
        c.sock.settimeout(pop3lib.TIMEOUT)
        c.quit()
        c.close()
        self.assertLess(peak - base, 12 * MB, f"server RSS {base} KiB before, {peak} KiB at most")


if __name__ == "__main__":
    pop3lib.run(280)
