#!/usr/bin/env python3
"""Log rotation of the daemons: the log file is renamed away while a daemon
writes to it, the daemon gets SIGHUP or SIGUSR1, and every line is found
whole in the old file or the new one, the lines after the reopen in the new
one.  Whether a process has let go of the renamed file is read from
/proc/PID/fd, so nothing waits on timing.

Usage: logrotate_e2e.py BUILD_DIR
"""

import os
import re
import signal
import socket
import sys
import threading
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "pop3"))
import pop3lib  # noqa: E402
from pop3lib import Instance, wait_until  # noqa: E402

TIMEOUT = 30


def open_files(pid):
    """The paths of pid's open descriptors."""
    out = []
    d = f"/proc/{pid}/fd"
    try:
        for fd in os.listdir(d):
            try:
                out.append(os.readlink(os.path.join(d, fd)))
            except OSError:
                pass
    except OSError:
        pass
    return out


def count(path, pattern):
    try:
        with open(path, "rb") as f:
            text = f.read().decode(errors="replace")
    except FileNotFoundError:
        return 0
    return len(re.findall(pattern, text))


class Rotation(unittest.TestCase):
    def setUp(self):
        self.inst = Instance()
        self.logdir = os.path.join(self.inst.tmp, "log")
        self.inst.set("local.log.target", "file")
        self.inst.set("local.logdir", self.logdir)
        self.inst.start_stored()

    def tearDown(self):
        self.inst.close()

    def rotate(self, name):
        """Renames the log file name to name.1; its path."""
        path = os.path.join(self.logdir, name)
        os.rename(path, path + ".1")
        return path

    def wait_let_go(self, pids, old):
        wait_until(lambda: not any(old in open_files(p) for p in pids), TIMEOUT,
                   f"every process lets go of {old}")

    def test_store_daemon_reopens_on_hup_and_usr1(self):
        pid = self.inst.stored_pid
        for sig, n in ((signal.SIGHUP, 1), (signal.SIGUSR1, 2)):
            path = self.rotate("stored.log")
            old = path + ".1"
            self.assertIn(old, open_files(pid))
            os.kill(pid, sig)
            self.wait_let_go([pid], old)
            self.assertTrue(pop3lib.pid_alive(pid), f"orvstored survives {sig.name}")
            self.assertIn(path, open_files(pid))
            os.replace(old, path + f".rotated{n}")
        self.inst.stop_stored()
        new = os.path.join(self.logdir, "stored.log")
        self.assertEqual(count(new, r"Store daemon stopping"), 1)
        self.assertEqual(count(new + ".rotated1", r"Store daemon ready"), 1)

    def refused(self, port, n, errors):
        """n connections, each refused (and logged) by the server."""
        for _ in range(n):
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as s:
                    data = b""
                    while b"\n" not in data:
                        chunk = s.recv(256)
                        if not chunk:
                            break
                        data += chunk
                    if not data.startswith(b"-ERR Access denied"):
                        errors.append(data)
            except OSError as e:
                errors.append(e)

    def test_pop3_server_under_load_loses_no_line(self):
        # Every connection is refused with one log line: a steady stream.
        self.inst.set("service.pop.domainnotallowed", "127.0.0.1")
        self.inst.set("service.pop.numprocesses", "2")
        popd = self.inst.popd()
        pids = popd.wait_processes(2)
        path = os.path.join(self.logdir, "popd.log")
        rejected = r"\] notice: \S+ connection rejected"
        writers, before, during, after = 4, 60, 60, 20
        total = writers * (before + during + after)
        for sig in (signal.SIGUSR1, signal.SIGHUP):
            # Each writer: some connections before the rotation, some while
            # it happens, and some once every process has reopened.
            started = threading.Barrier(writers + 1, timeout=TIMEOUT)
            reopened = threading.Event()
            errors = []

            def writer():
                self.refused(popd.port, before, errors)
                started.wait()
                self.refused(popd.port, during, errors)
                reopened.wait(TIMEOUT)
                self.refused(popd.port, after, errors)

            ts = [threading.Thread(target=writer) for _ in range(writers)]
            for t in ts:
                t.start()
            started.wait()
            wait_until(lambda: count(path, rejected) >= writers * before, TIMEOUT, "the first lines logged")
            old = self.rotate("popd.log") + ".1"
            popd.signal(sig)      # the first process passes it on
            self.wait_let_go(pids, old)
            reopened.set()
            for t in ts:
                t.join(TIMEOUT)
                self.assertFalse(t.is_alive())
            self.assertEqual(errors, [])
            wait_until(lambda: count(old, rejected) + count(path, rejected) >= total, TIMEOUT,
                       "every refusal logged")
            self.assertEqual(count(old, rejected) + count(path, rejected), total, "each line once")
            self.assertGreaterEqual(count(old, rejected), writers * before)
            self.assertGreaterEqual(count(path, rejected), writers * after)
            # Whole lines in both files.
            for p in (old, path):
                with open(p, "rb") as f:
                    text = f.read()
                self.assertTrue(text.endswith(b"\n"))
                for line in text.decode(errors="replace").splitlines():
                    self.assertRegex(line, r"^\d{4}-\d\d-\d\dT\S+Z orvpopd\[\d+\] \w+: ")
            # A clean start for the next round.
            os.unlink(old)
            os.unlink(path)
            popd.signal(signal.SIGUSR1)
            self.wait_let_go(pids, path + " (deleted)")
        self.assertEqual(sorted(popd.pids()), sorted(pids), "no process died or was replaced")
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])


if __name__ == "__main__":
    pop3lib.run(240)
