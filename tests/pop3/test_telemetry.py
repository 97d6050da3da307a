#!/usr/bin/env python3
"""Per-user telemetry files of the POP3 server: when the administrator made
<instancedir>/data/telemetry/pop/<user>, each login of that user writes a
private file there with a LOGIN line, every octet of the session after the
login (message contents included), the close record and a LOGOUT line.
Nothing of the authentication reaches it; without the directory there is no
file.

Usage: test_telemetry.py BUILD_DIR
"""

import base64
import os
import re
import socket
import stat
import struct
import sys
import time
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Instance, TIMEOUT, have_tool  # noqa: E402
from test_login import PASSWORD, REALM  # noqa: E402

TIME = r"(\d+/\d+/\d+ \d+:\d\d:\d\d)"


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def local_seconds(text):
    return time.mktime(time.strptime(text, "%Y/%m/%d %H:%M:%S"))


class Telemetry(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not have_tool("saslpasswd2"):
            raise unittest.SkipTest("saslpasswd2 (sasl2-bin) is not installed")

    def setUp(self):
        self.inst = Instance(config={"service.defaultdomain": REALM})
        pop3lib.add_sasl_users(self.inst, {"joe": PASSWORD, "ann": "other"})
        self.instancedir = os.path.join(self.inst.tmp, "instance")
        self.inst.set("local.instancedir", self.instancedir)
        self.top = os.path.join(self.instancedir, "data", "telemetry", "pop")
        os.makedirs(self.top)
        self.inst.start_stored()
        self.inst.create_user("joe")
        self.inst.create_user("ann")
        self.inst.deliver("joe", "Subject: one\n\nfirst\n")
        self.inst.deliver("joe", "Subject: two\n\n.dotted line\n")
        self.popd = self.inst.popd()

    def tearDown(self):
        self.inst.close()

    def user_dir(self, user):
        path = os.path.join(self.top, user)
        os.makedirs(path, exist_ok=True)
        return path

    def login(self, c, how="pass", user="joe", password=PASSWORD):
        c.greeting()
        if how == "pass":
            c.expect_after("USER " + user, "+OK Name is a valid mailbox")
            c.send("PASS " + password + "\r\n")
        else:
            token = base64.b64encode(b"\0" + user.encode() + b"\0" + password.encode()).decode()
            c.send("AUTH PLAIN " + token + "\r\n")
        return c.raw_line()

    def check_frame(self, data, t0, t1, end):
        """The LOGIN line and the LOGOUT line with times of the session;
        returns what lies between them."""
        m = re.fullmatch((r"LOGIN joe " + TIME + r"\n(.*)" + re.escape(end) +
                          r"LOGOUT joe " + TIME + " - " + TIME + r"\n").encode(), data, re.S)
        self.assertIsNotNone(m, data[-300:])
        login, login_again, logout = (local_seconds(m.group(i).decode()) for i in (1, 3, 4))
        self.assertEqual(login, login_again)
        self.assertTrue(int(t0) <= login <= logout <= t1 + 1, (t0, login, logout, t1))
        return m.group(2)

    def test_session_copied_between_login_and_logout(self):
        ann = self.user_dir("ann")
        joe = self.user_dir("joe")
        t0 = time.time()
        with self.popd.client() as c:
            first = self.login(c)
            self.assertEqual(first, b"+OK Maildrop ready\r\n")
            moved = first
            for command, multi in (("STAT", False), ("RETR 1", True), ("TOP 2 5", True), ("NOOP", False)):
                c.send(command + "\r\n")
                moved += command.encode() + b"\r\n"
                line = c.raw_line()
                moved += line
                while multi and line != b".\r\n":
                    line = c.raw_line()
                    moved += line
            self.assertIn(b"first", moved)
            self.assertIn(b"..dotted line", moved)
            c.quit()
            moved += b"QUIT\r\n+OK\r\n"
        self.popd.wait_log(r"logout: .* joe")
        t1 = time.time()
        self.assertEqual(os.listdir(ann), [])
        names = os.listdir(joe)
        self.assertEqual(len(names), 1)
        path = os.path.join(joe, names[0])
        self.assertTrue(int(t0) <= int(names[0]) <= t1, names)
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        data = read(path)
        # Exactly the octets that moved, message contents included (a plain
        # whole message would otherwise leave by sendfile).
        self.assertEqual(self.check_frame(data, t0, t1, ""), moved)
        self.assertNotIn(PASSWORD.encode(), data)
        self.assertNotIn(b"PASS", data)
        self.assertNotIn(b"USER", data)
        self.assertEqual(self.popd.stop(), 0)
        self.assertEqual(self.popd.sanitizer_reports(), [])

    def test_no_directory_no_file(self):
        with self.popd.client() as c:
            self.assertEqual(self.login(c), b"+OK Maildrop ready\r\n")
            c.send("STAT\r\n")
            c.raw_line()
            c.quit()
        self.popd.wait_log(r"logout: .* joe")
        # Nothing is made: not the user's directory, not a file beside it.
        self.assertEqual(os.listdir(self.top), [])
        self.assertEqual(self.popd.stop(), 0)

    def test_taken_names_and_dropped_connection(self):
        joe = self.user_dir("joe")
        # Every second the login may fall in already has its file: the new
        # one must take the next free name of its second, the others stay.
        now = int(time.time())
        taken = {str(s) for s in range(now - 1, now + TIMEOUT * 2)}
        for name in taken:
            with open(os.path.join(joe, name), "w") as f:
                f.write("earlier")
        t0 = time.time()
        with self.popd.client() as c:
            token = base64.b64encode(b"\0joe\0" + PASSWORD.encode()).decode()
            self.assertEqual(self.login(c, how="auth"), b"+OK Maildrop ready\r\n")
            c.send("STAT\r\n")
            stat_line = c.raw_line()
        # The client went away without QUIT.
        self.popd.wait_log(r"logout: .* joe")
        t1 = time.time()
        fresh = set(os.listdir(joe)) - taken
        self.assertEqual(len(fresh), 1, fresh)
        name = fresh.pop()
        self.assertRegex(name, r"^\d+\.1$")
        self.assertIn(name[:-2], taken)
        for old in taken:
            self.assertEqual(read(os.path.join(joe, old), "r"), "earlier")
        data = read(os.path.join(joe, name))
        between = self.check_frame(data, t0, t1, "CONNECTION CLOSED\n")
        self.assertEqual(between, b"+OK Maildrop ready\r\nSTAT\r\n" + stat_line)
        self.assertNotIn(token.encode(), data)
        self.assertNotIn(b"AUTH", data)

        # A second login of the same second takes the next name again.
        with self.popd.client() as c:
            self.assertEqual(self.login(c), b"+OK Maildrop ready\r\n")
            c.quit()
        self.popd.wait_log(r"logout: .* joe", count=2)
        fresh = set(os.listdir(joe)) - taken - {name}
        self.assertEqual(len(fresh), 1, fresh)
        self.assertRegex(fresh.pop(), r"^\d+\.(1|2)$")
        self.assertEqual(self.popd.stop(), 0)
        self.assertEqual(self.popd.sanitizer_reports(), [])

    def test_commands_sent_with_the_login(self):
        joe = self.user_dir("joe")
        t0 = time.time()
        with self.popd.client() as c:
            c.greeting()
            # One write: the commands behind PASS arrive before the login is
            # done, and are still part of the logged-in session.
            c.send("USER joe\r\nPASS " + PASSWORD + "\r\nSTAT\r\nNOOP\r\n")
            self.assertEqual(c.raw_line(), b"+OK Name is a valid mailbox\r\n")
            rest = b"".join(c.raw_line() for _ in range(3))
            self.assertRegex(rest, rb"^\+OK Maildrop ready\r\n\+OK 2 \d+\r\n\+OK\r\n$")
            c.quit()
        self.popd.wait_log(r"logout: .* joe")
        t1 = time.time()
        names = os.listdir(joe)
        self.assertEqual(len(names), 1)
        data = read(os.path.join(joe, names[0]))
        between = self.check_frame(data, t0, t1, "")
        self.assertEqual(between, b"STAT\r\nNOOP\r\n" + rest + b"QUIT\r\n+OK\r\n")
        self.assertNotIn(PASSWORD.encode(), data)
        self.assertEqual(self.popd.stop(), 0)

    def test_reset_connection_is_a_network_error(self):
        joe = self.user_dir("joe")
        t0 = time.time()
        with self.popd.client() as c:
            self.assertEqual(self.login(c), b"+OK Maildrop ready\r\n")
            c.send("NOOP\r\n")
            self.assertEqual(c.raw_line(), b"+OK\r\n")
            # Lingering zero seconds: the close resets the connection.
            c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.popd.wait_log(r"logout: .* joe")
        t1 = time.time()
        names = os.listdir(joe)
        self.assertEqual(len(names), 1)
        data = read(os.path.join(joe, names[0]))
        between = self.check_frame(data, t0, t1, "NETWORK ERROR: Connection reset by peer\n")
        self.assertEqual(between, b"+OK Maildrop ready\r\nNOOP\r\n+OK\r\n")
        self.assertEqual(self.popd.stop(), 0)


if __name__ == "__main__":
    pop3lib.enter_private_network()
    pop3lib.run(280)
