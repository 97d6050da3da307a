#!/usr/bin/env python3
"""Signals and run modes of the POP3 server: SIGHUP sent over and over
while 50 sessions work and the configuration changes (no sanitizer report,
every session and every new one served, greetings whole); SIGTERM tells
every client "-ERR Server shutting down" and every process ends with
status 0; -1 serves one session and ends.

Usage: test_signals.py BUILD_DIR
"""

import os
import random
import signal
import sys
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Instance  # noqa: E402

BANNERS = ["first banner %h", "second banner, rather longer than the first one, %h"]


class Signals(unittest.TestCase):
    def setUp(self):
        self.inst = Instance()
        self.inst.start_stored()

    def tearDown(self):
        self.inst.close()

    def session(self, popd, **kw):
        c = popd.client(**kw)
        c.greeting()
        return c

    def test_sighup_in_a_loop_under_50_sessions(self):
        seed = random.randrange(1 << 30)
        print(f"seed {seed}", file=sys.stderr)
        rnd = random.Random(seed)
        self.inst.set("service.pop.numprocesses", "2")
        self.inst.set("service.pop.banner", BANNERS[0])
        popd = self.inst.popd()
        pids = popd.wait_processes(2)
        sessions = [self.session(popd) for _ in range(50)]
        for i in range(200):
            # Refreshable settings change under the sessions' feet.
            self.inst.set("service.pop.idletimeout", str(10 + i % 5))
            self.inst.set("service.pop.domainnotallowed", "192.0.2.1" if i % 2 else None)
            self.inst.set("service.pop.banner", BANNERS[i % 2])
            popd.signal(signal.SIGHUP, all_processes=True)
            for c in rnd.sample(sessions, 3):
                self.assertIn("PIPELINING", c.capa())
            if i % 20 == 0:
                with popd.client() as fresh:
                    m = fresh.greeting()
                    self.assertIn(m.group("banner").split(" " + pop3lib.HOSTNAME)[0] + " %h", BANNERS)
                    fresh.quit()
        for c in sessions:
            self.assertIn("PIPELINING", c.capa())
            c.quit()
        self.assertEqual(sorted(popd.pids()), sorted(pids), "no process died or was replaced")
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_sigterm_tells_every_client_and_ends_every_process(self):
        self.inst.set("service.pop.numprocesses", "2")
        popd = self.inst.popd()
        pids = popd.wait_processes(2)
        sessions = [self.session(popd) for _ in range(6)]
        # One client in the middle of a line.
        sessions[0].send("CA")
        popd.wait_log(r"Corvane POP3 .* starting up")
        self.assertEqual(popd.stop(), 0)
        for c in sessions:
            c.expect("-ERR Server shutting down")
            c.expect_eof()
            c.close()
        for p in pids:
            self.assertFalse(pop3lib.pid_alive(p), f"process {p} still runs")
        popd.wait_log(r"Corvane POP3 .* shutting down")
        self.assertEqual(popd.sanitizer_reports(), [])
        with self.assertRaises(ConnectionRefusedError):
            popd.client()

    def test_sigint_stops_like_sigterm(self):
        popd = self.inst.popd()
        c = self.session(popd)
        popd.signal(signal.SIGINT)
        c.expect("-ERR Server shutting down")
        c.expect_eof()
        c.close()
        self.assertEqual(popd.wait_exit(), 0)

    def test_single_session_mode(self):
        # Nothing may probe a -1 server: its first connection is its session.
        popd = self.inst.popd(args=["-1"], wait=None)
        first = popd.client(timeout=pop3lib.START_TIMEOUT)
        first.greeting()
        # A second client waits in the listen queue meanwhile; it is never
        # served (dropped, or at most told why).
        second = popd.client()
        first.capa()
        first.quit()
        first.close()
        self.assertEqual(popd.wait_exit(), 0)
        data = bytearray(second.pending())
        try:
            while True:
                chunk = second.sock.recv(4096)
                if not chunk:
                    break
                data += chunk
        except ConnectionResetError:
            pass
        second.close()
        self.assertFalse(data.startswith(b"+OK"), bytes(data))
        self.assertEqual(popd.sanitizer_reports(), [])


if __name__ == "__main__":
    pop3lib.run(280)
