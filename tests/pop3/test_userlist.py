#!/usr/bin/env python3
"""orvpopd publishes its logged-in sessions and `orvconnutil -c -s pop`
lists them: three logged-in clients give three lines, none once they quit;
the sessions of a serving process killed with SIGKILL are not listed (its
process id no longer runs) while those of the others still are.  Every
segment a normally ending process made is gone after it; the test removes
any other it finds.

Usage: test_userlist.py BUILD_DIR
"""

import os
import re
import signal
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Fail, Instance, TIMEOUT, have_tool, wait_until  # noqa: E402

REALM = pop3lib.SASL_REALM
USERS = {"joe": "joe pass", "ann": "ann pass", "lea": "lea pass"}
HEADER = re.compile(r"^POP {7}UID {11}TIME {17}AUTH {17}TO {33}FROM$")
LINE = re.compile(r"^ *(\w+) \d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d +(\S+) +127\.0\.0\.1:(\d+) +127\.0\.0\.1:(\d+) +$")


def ftok(path, proj=ord("b")):
    """The System V key NSPR gives the segment of path (glibc's ftok)."""
    st = os.stat(path)
    return (st.st_ino & 0xFFFF) | ((st.st_dev & 0xFF) << 16) | ((proj & 0xFF) << 24)


class UserList(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not have_tool("saslpasswd2"):
            raise unittest.SkipTest("saslpasswd2 (sasl2-bin) is not installed")

    def setUp(self):
        self.inst = Instance(config={"service.defaultdomain": REALM})
        self.shm = os.path.join(self.inst.tmp, "shm")
        os.mkdir(self.shm)
        self.inst.set("local.tmpdir", self.shm, write=False)
        self.inst.set("local.pop.enableuserlist", "on", write=False)
        self.inst.set("service.pop.maxsessions", "20", write=False)
        pop3lib.add_sasl_users(self.inst, USERS)
        self.inst.start_stored()
        for u in USERS:
            self.inst.create_user(u)
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        try:
            for p in self.inst.popds:
                try:
                    p.stop()
                except Fail:
                    pass
        finally:
            # Segments of killed processes: removed here, whatever happened.
            for name in os.listdir(self.shm):
                path = os.path.join(self.shm, name)
                subprocess.run(["ipcrm", "-M", str(ftok(path))], capture_output=True, timeout=TIMEOUT)
                os.unlink(path)
            self.inst.close()

    def connutil(self, *args):
        argv = [os.path.join(pop3lib.BUILD_DIR, "connutil", "orvconnutil"), "-c", "-s", "pop", *args]
        r = subprocess.run(argv, capture_output=True, timeout=TIMEOUT * 3, env=self.inst.env)
        return r.returncode, r.stdout.decode(errors="replace")

    def listed(self):
        """The users listed, one list per serving process (in process id
        order), and the total line's count."""
        status, out = self.connutil()
        if status == 66:
            return [], 0
        self.assertEqual(status, 0, out)
        blocks = []
        for line in out.splitlines():
            if HEADER.match(line):
                blocks.append([])
            m = LINE.match(line)
            if m:
                blocks[-1].append(m.group(1))
        total = re.search(r"^(\d+) user/s were logged in to pop\.$", out, re.M)
        self.assertIsNotNone(total, out)
        return blocks, int(total.group(1))

    def login(self, popd, user):
        c = popd.client()
        self.clients.append(c)
        c.greeting()
        c.expect_after("USER " + user, "+OK Name is a valid mailbox")
        c.expect_after("PASS " + USERS[user], "+OK Maildrop ready")
        return c

    def test_logged_in_sessions_are_listed_until_they_quit(self):
        popd = self.inst.popd()
        clients = [self.login(popd, u) for u in USERS]
        blocks, total = self.listed()
        self.assertEqual(total, 3)
        self.assertEqual(sorted(sum(blocks, [])), sorted(USERS))
        status, out = self.connutil("-u", "ann")
        self.assertEqual(status, 0, out)
        self.assertTrue(out.endswith("user ann is logged in to pop.\n"), out)
        # A session that only named its user is not logged in.
        c = popd.client()
        self.clients.append(c)
        c.greeting()
        c.expect_after("USER joe", "+OK Name is a valid mailbox")
        for c in clients:
            c.quit()
        popd.wait_log(r"logout: .*", count=3)
        self.assertEqual(self.listed(), ([[]], 0))
        status, out = self.connutil("-u", "ann")
        self.assertEqual(status, 79, out)
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(os.listdir(self.shm), [], "a normal end deletes the segment")
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_a_killed_processs_sessions_are_not_listed(self):
        self.inst.set("service.pop.numprocesses", "2")
        popd = self.inst.popd()
        popd.wait_processes(2)
        # Log in until both processes hold a session (the kernel picks the
        # accepting process); bounded.
        users = list(USERS) * 10
        for n, user in enumerate(users):
            self.login(popd, user)
            if len(os.listdir(self.shm)) == 2:
                break
        else:
            self.skipTest("every login went to the same process")
        logged = n + 1
        blocks, total = self.listed()
        self.assertEqual(total, logged)
        child = popd.slaves()[0]
        pids = sorted([popd.pid, child])
        in_child = blocks[pids.index(child)]
        self.assertTrue(in_child)
        os.kill(child, signal.SIGKILL)
        wait_until(lambda: not pop3lib.pid_alive(child), TIMEOUT, "the killed process is gone")
        blocks, total = self.listed()
        self.assertEqual(total, logged - len(in_child))
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(os.listdir(self.shm), [f"pop.{child}"], "only the killed process's segment is left")


if __name__ == "__main__":
    pop3lib.run(280)
