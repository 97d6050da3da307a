#!/usr/bin/env python3
"""The POP3 server's shared counters as `orvadm stats pop` shows them:
sessions counted once each and current back to 0, the high-water mark kept
over a restart; a serving process killed with SIGKILL is replaced and its
sessions leave the count (capacity is not lost); and a server out of
descriptors does not spin on accept.

Usage: test_counters.py BUILD_DIR
"""

import os
import select
import signal
import socket
import sys
import time
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Fail, Instance, START_TIMEOUT, TIMEOUT, wait_until  # noqa: E402


class Counters(unittest.TestCase):
    def setUp(self):
        self.inst = Instance()
        self.inst.start_stored()

    def tearDown(self):
        self.inst.close()

    def stat(self, name):
        return self.inst.stats()[name]

    def wait_current(self, n):
        wait_until(lambda: self.stat("numCurrentConnections") == n, TIMEOUT, f"numCurrentConnections = {n}")

    def session(self, popd, timeout=TIMEOUT):
        c = popd.client(timeout=timeout)
        c.greeting()
        return c

    def test_sessions_are_counted_and_released(self):
        t0 = int(time.time())
        popd = self.inst.popd()
        s = self.inst.stats()
        self.assertEqual((s["numConnections"], s["numCurrentConnections"]), (0, 0), s)
        self.assertLessEqual(abs(s["currentStartTime"] - t0), 60, s)
        held = [self.session(popd) for _ in range(5)]
        s = self.inst.stats()
        self.assertEqual((s["numConnections"], s["numCurrentConnections"]), (5, 5), s)
        self.assertGreaterEqual(s["lastConnectionTime"], t0, s)
        for c in held:
            c.quit()
        for _ in range(20):
            self.session(popd).quit()
        self.wait_current(0)
        s = self.inst.stats()
        self.assertEqual(s["numConnections"], 25, s)
        self.assertEqual(s["maxConnections"], 5, s)
        self.assertEqual(s.get("numFailedConnections", 0), 0, s)
        self.assertEqual(popd.stop(), 0)
        # A new start zeroes the counts but keeps the high-water mark.
        popd = self.inst.popd()
        s = self.inst.stats()
        self.assertEqual((s["numConnections"], s["numCurrentConnections"], s["maxConnections"]), (0, 0, 5), s)
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_a_killed_process_is_replaced_and_its_sessions_released(self):
        self.inst.set("service.pop.numprocesses", "2")
        self.inst.set("service.pop.maxsessions", "1")
        popd = self.inst.popd()
        popd.wait_processes(2)
        # One session per process.
        c1, c2 = self.session(popd), self.session(popd)
        self.assertEqual(self.stat("numCurrentConnections"), 2)
        (slave,) = popd.slaves()
        os.kill(slave, signal.SIGKILL)
        # The killed process's client sees its connection end.
        ready, _, _ = select.select([c1.sock, c2.sock], [], [], TIMEOUT)
        self.assertEqual(len(ready), 1, "exactly one client loses its server")
        dead, alive = (c1, c2) if ready[0] is c1.sock else (c2, c1)
        self.assertEqual(dead.sock.recv(100), b"")
        dead.close()
        pids = wait_until(lambda: (lambda ps: ps if len(ps) == 2 and slave not in ps else None)(popd.pids()),
                          START_TIMEOUT, "a new process replaces the killed one")
        self.assertIn(popd.pid, pids)
        self.wait_current(1)
        # The capacity is back: the replacement takes a session.
        c3 = self.session(popd, timeout=START_TIMEOUT)
        self.assertEqual(self.stat("numCurrentConnections"), 2)
        alive.quit()
        c3.quit()
        self.wait_current(0)
        self.assertEqual(self.stat("numConnections"), 3)
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_accept_out_of_descriptors_does_not_spin(self):
        popd = self.inst.popd(nofile=64)
        popd.wait_log(r"Not enough file descriptors to support \d+ sessions per process; "
                      r"recommend \d+ sessions per process")
        clients = []
        try:
            # More connections than the server has descriptors: the kernel
            # completes them all, the server cannot accept the rest.
            for _ in range(100):
                s = socket.create_connection(("127.0.0.1", popd.port), timeout=TIMEOUT)
                clients.append(s)
            # Let it take what it can, then watch it wait.
            time.sleep(1)
            logged = len(popd.log_lines(r"Unable to accept client connection"))
            cpu = popd.cpu_seconds()
            time.sleep(3)
            used = popd.cpu_seconds() - cpu
            logged = len(popd.log_lines(r"Unable to accept client connection")) - logged
            self.assertLess(used, 0.6, f"server used {used:.2f} s of CPU in 3 s while out of descriptors")
            self.assertLess(logged, 30, f"{logged} accept failures logged in 3 s")
        finally:
            for s in clients:
                s.close()
        # With the descriptors free again it serves at once.
        c = wait_until(lambda: self._try_session(popd), TIMEOUT, "a session after the descriptors came back")
        c.quit()
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    @staticmethod
    def _try_session(popd):
        try:
            c = popd.client(timeout=2)
            c.greeting()
            return c
        except (Fail, EOFError, ConnectionError):
            return None


if __name__ == "__main__":
    pop3lib.run(280)
