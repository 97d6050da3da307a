#!/usr/bin/env python3
"""orvstored under a service manager that waits for it (systemd's
Type=notify): run in the foreground with NOTIFY_SOCKET set, it sends
READY=1 once the store is ready, and not before; SIGTERM then stops it.
The test plays the manager on a datagram socket of its own.

Usage: notify_e2e.py BUILD_DIR
"""

import os
import signal
import socket
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "pop3"))
import pop3lib  # noqa: E402
from pop3lib import Instance, program  # noqa: E402

TIMEOUT = 60


class Notify(unittest.TestCase):
    def test_ready_is_reported_once_the_store_is_ready(self):
        with Instance() as inst:
            path = os.path.join(inst.tmp, "notify")
            manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            manager.bind(path)
            manager.settimeout(TIMEOUT)
            env = dict(inst.env, NOTIFY_SOCKET=path)
            with open(os.path.join(inst.tmp, "stored.out"), "ab") as out:
                proc = subprocess.Popen([program("orvstored"), "-f"], env=env, stdout=out, stderr=out)
            try:
                msg = manager.recv(4096).decode()
                self.assertIn("READY=1", msg.split("\n"))
                # Ready means ready: a client works at once.
                self.assertIn("ready", inst.adm("status").out)
                proc.send_signal(signal.SIGTERM)
                self.assertEqual(proc.wait(TIMEOUT), 0)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait(TIMEOUT)
                manager.close()


if __name__ == "__main__":
    pop3lib.run(180)
