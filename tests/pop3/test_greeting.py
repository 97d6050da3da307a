#!/usr/bin/env python3
"""The POP3 greeting: its text, the challenge that must differ on every
connection, and the 512-octet line limit with long banners and host names.

Usage: test_greeting.py BUILD_DIR
"""

import os
import selectors
import socket
import sys
import time
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Fail, Instance, TIMEOUT  # noqa: E402

# The challenge is offered when the directory keeps plain passwords.
CONFIG = {"sasl.default.ldap.has_plain_passwords": "on"}


def greet_many(port, total, parallel=64, limit_seconds=50):
    """total sessions, parallel at a time: connect, read the greeting, QUIT,
    read +OK and the server's close.  Returns the greeting lines (raw, with
    their line ends)."""
    sel = selectors.DefaultSelector()
    greetings = []
    started = done = 0
    deadline = time.monotonic() + limit_seconds

    def launch():
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        sel.register(s, selectors.EVENT_READ, {"buf": bytearray(), "greeted": False})

    try:
        while done < total:
            while started < total and started - done < parallel:
                launch()
                started += 1
            if time.monotonic() > deadline:
                raise Fail(f"{done} of {total} sessions in {limit_seconds} s")
            events = sel.select(timeout=TIMEOUT)
            if not events:
                raise Fail(f"no progress for {TIMEOUT} s after {done} sessions")
            for key, _ in events:
                s, st = key.fileobj, key.data
                try:
                    chunk = s.recv(4096)
                except ConnectionError as e:
                    raise Fail(f"session {done}: {e}") from e
                if chunk:
                    st["buf"] += chunk
                    if not st["greeted"] and b"\n" in st["buf"]:
                        i = st["buf"].index(b"\n") + 1
                        greetings.append(bytes(st["buf"][:i]))
                        del st["buf"][:i]
                        st["greeted"] = True
                        s.sendall(b"QUIT\r\n")
                    continue
                # The server closed: after the greeting and +OK only.
                if not st["greeted"] or bytes(st["buf"]) != b"+OK\r\n":
                    raise Fail(f"session ended with {bytes(st['buf'])[:100]!r} (greeted: {st['greeted']})")
                sel.unregister(s)
                s.close()
                done += 1
    finally:
        for key in list(sel.get_map().values()):
            key.fileobj.close()
        sel.close()
    return greetings


class Greeting(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Instance(config=CONFIG)
        cls.inst.start_stored()

    @classmethod
    def tearDownClass(cls):
        cls.inst.close()

    def greeting_with(self, **settings):
        """The greeting line of a server started with these settings (then
        stopped again)."""
        saved = {k: self.inst.settings.get(k) for k in settings}
        for k, v in settings.items():
            self.inst.set(k, v)
        popd = self.inst.popd()
        try:
            with popd.client() as c:
                raw = c.raw_line()
                c.buf[:0] = raw
                c.greeting()
                c.quit()
        finally:
            self.assertEqual(popd.stop(), 0)
            for k, v in saved.items():
                self.inst.set(k, v)
        return raw

    def test_default_text(self):
        raw = self.greeting_with()
        m = pop3lib.GREETING_RE.match(raw[:-2].decode())
        self.assertRegex(m.group("banner"), pop3lib.DEFAULT_BANNER_RE)
        self.assertIsNotNone(m.group("challenge"), raw)
        self.assertTrue(m.group("challenge").endswith("@" + pop3lib.HOSTNAME + ">"), raw)

    def test_ten_thousand_connections_give_distinct_challenges(self):
        popd = self.inst.popd()
        t0 = time.monotonic()
        greetings = greet_many(popd.port, 10000)
        elapsed = time.monotonic() - t0
        challenges = set()
        for raw in greetings:
            self.assertTrue(raw.endswith(b"\r\n") and len(raw) <= 512, raw)
            m = pop3lib.GREETING_RE.match(raw[:-2].decode())
            self.assertTrue(m and m.group("challenge"), raw)
            challenges.add(m.group("challenge"))
        self.assertEqual(len(challenges), 10000)
        print(f"10000 greetings in {elapsed:.1f} s", file=sys.stderr)
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_long_banner_and_host_name_keep_the_line_whole(self):
        cases = [
            # A banner of the largest size: the banner is cut, the challenge
            # and the line end are whole.
            {"service.pop.banner": "B" * 512},
            {"service.pop.banner": "B" * 600},
            # With the longest host name as well.
            {"service.pop.banner": "B" * 512, "local.hostname": ("h" * 62 + ".") * 4 + "test"},
            # Substitutions that grow the text.
            {"service.pop.banner": "%h %p %V " * 60},
        ]
        for settings in cases:
            with self.subTest(settings=str(settings)[:60]):
                host = settings.get("local.hostname", pop3lib.HOSTNAME)
                raw = self.greeting_with(**settings)
                self.assertLessEqual(len(raw), 512)
                self.assertTrue(raw.endswith(b">\r\n"), raw[-40:])
                m = pop3lib.GREETING_RE.match(raw[:-2].decode())
                self.assertTrue(m and m.group("challenge"), raw)
                self.assertIn("@", m.group("challenge"))
                # The challenge names the host, or as much of it as is safe.
                self.assertTrue(host.startswith(m.group("challenge").split("@", 1)[1][:-1][:20]), raw)
                self.assertNotIn(b"\r", raw[:-2])
                self.assertNotIn(b"\n", raw[:-1])


if __name__ == "__main__":
    pop3lib.run(280)
