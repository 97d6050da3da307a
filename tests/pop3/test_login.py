#!/usr/bin/env python3
"""Logging in to the POP3 server: USER/PASS, APOP and AUTH against a sasldb,
with real clients (poplib) and raw sessions.  A wrong password, an unknown
user and a failed exchange look the same to the client and each costs it
the delay; the connection ends after the allowed number of failures; the
plaintext policy refuses passwords in clear from other hosts; a successful
login opens the INBOX.

Usage: test_login.py BUILD_DIR
"""

import base64
import fcntl
import glob
import hashlib
import os
import poplib
import struct
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Client, Instance, TIMEOUT, have_tool  # noqa: E402

REALM = pop3lib.SASL_REALM
PASSWORD = "s3cret pass"
FAILED = "-ERR [AUTH] Authentication failed."
DELAY = 3.0


class Login(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not have_tool("saslpasswd2"):
            raise unittest.SkipTest("saslpasswd2 (sasl2-bin) is not installed")

    def setUp(self):
        self.inst = Instance(config={"service.defaultdomain": REALM})
        pop3lib.add_sasl_users(self.inst, {"joe": PASSWORD, "ann": "other"})
        self.inst.start_stored()
        self.inst.create_user("joe")
        self.inst.deliver("joe", "Subject: one\n\nfirst\n")
        self.inst.deliver("joe", "Subject: two\n\nsecond message\n")

    def tearDown(self):
        self.inst.close()

    def test_poplib_user_pass_opens_the_inbox(self):
        popd = self.inst.popd()
        p = poplib.POP3("127.0.0.1", popd.port, timeout=TIMEOUT)
        caps = p.capa()
        self.assertIn("USER", caps)
        self.assertEqual(caps["SASL"], ["SCRAM-SHA-256", "SCRAM-SHA-1", "PLAIN", "LOGIN"])
        p.user("joe")
        self.assertEqual(p.pass_(PASSWORD), b"+OK Maildrop ready")
        count, size = p.stat()
        self.assertEqual(count, 2)
        self.assertGreater(size, 30)
        p.quit()
        s = self.inst.stats()
        self.assertEqual((s["numGoodLogins"], s["numFailedLogins"]), (1, 0))
        self.assertTrue(popd.log_lines(r"login: .* joe plaintext"))
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_a_login_opens_the_password_file_a_few_times(self):
        # The store attributes are asked of the directory only: asking the
        # password file made it open once per attribute, some 35 times a login.
        popd = self.inst.popd()
        log = os.path.join(self.inst.tmp, "opens.log")
        with pop3lib.strace_attached(popd.pid, "-e", "trace=open,openat", log=log):
            with popd.client() as c:
                c.greeting()
                c.expect_after("USER joe", "+OK Name is a valid mailbox")
                c.expect_after("PASS " + PASSWORD, "+OK Maildrop ready")
                c.quit()
        with open(log) as f:
            opens = sum(1 for line in f if "sasldb" in line)
        self.assertGreater(opens, 0)
        self.assertLessEqual(opens, 8)

    def test_auth_exchanges_and_user_at_default_realm(self):
        popd = self.inst.popd()
        with popd.client() as c:
            c.greeting()
            # PLAIN with an initial response; the default realm is cut from
            # the store's user id.
            token = base64.b64encode(b"\0joe@example.com\0" + PASSWORD.encode()).decode()
            c.expect_after("AUTH PLAIN " + token, "+OK Maildrop ready")
            c.send("STAT\r\n")
            c.expect_match(r"^\+OK 2 \d+$")
            c.quit()
        with popd.client() as c:
            c.greeting()
            # LOGIN, the RFC 5034 way: "+ " challenges, base64 answers.
            self.assertTrue(c.cmd("AUTH LOGIN").startswith("+ "))
            self.assertTrue(c.cmd(base64.b64encode(b"joe").decode()).startswith("+ "))
            c.expect_after(base64.b64encode(PASSWORD.encode()).decode(), "+OK Maildrop ready")
            c.quit()
        with popd.client() as c:
            c.greeting()
            c.expect_after("AUTH", "+OK List of supported mechanisms follows")
            self.assertEqual(c.multiline(), ["SCRAM-SHA-256", "SCRAM-SHA-1", "PLAIN", "LOGIN"])
            c.quit()
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_failures_look_alike_take_the_delay_and_are_counted(self):
        popd = self.inst.popd()
        attempts = {
            "wrong password": ["USER joe", "PASS wrong"],
            "unknown user": ["USER nobody", "PASS " + PASSWORD],
            "other authorization id": ["AUTH PLAIN " + base64.b64encode(b"ann\0joe\0" + PASSWORD.encode()).decode()],
            "cancelled exchange": ["AUTH LOGIN", "*"],
            "bad base64": ["AUTH PLAIN %%%"],
            "refused mechanism": ["AUTH ANONYMOUS"],
        }
        results = {}

        def attempt(name, lines):
            try:
                with popd.client() as c:
                    c.greeting()
                    for line in lines[:-1]:
                        c.cmd(line)
                    t0 = time.monotonic()
                    got = c.cmd(lines[-1])
                    results[name] = (got, time.monotonic() - t0)
                    c.quit()
            except Exception as e:  # reported below
                results[name] = (repr(e), 0)

        threads = [threading.Thread(target=attempt, args=item) for item in attempts.items()]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIMEOUT * 2)
        for name in attempts:
            got, took = results[name]
            self.assertEqual(got, FAILED, name)
            self.assertGreaterEqual(took, DELAY - 0.1, name)
        s = self.inst.stats()
        self.assertEqual((s["numGoodLogins"], s["numFailedLogins"]), (0, len(attempts)))
        # The log tells the administrator what the client was not told.
        self.assertTrue(popd.log_lines(r"badlogin: .* plaintext nobody .*"))
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_the_fourth_failure_ends_the_connection(self):
        popd = self.inst.popd()
        with popd.client(timeout=TIMEOUT * 2) as c:
            c.greeting()
            for _ in range(3):
                c.expect_after("USER joe", "+OK Name is a valid mailbox")
                c.expect_after("PASS wrong", FAILED)
            c.expect_after("USER joe", "+OK Name is a valid mailbox")
            c.expect_after("PASS wrong", FAILED)
            c.expect_eof()
        self.assertEqual(popd.stop(), 0)

    def test_edge_texts(self):
        popd = self.inst.popd()
        with popd.client() as c:
            c.greeting()
            c.expect_after("PASS x", "-ERR Must give USER command")
            c.expect_after("USER", "-ERR Missing argument")
            c.expect_after("USER " + "a" * 128, "-ERR Invalid user")
            c.expect_after("USER joe", "+OK Name is a valid mailbox")
            c.expect_after("USER joe", "-ERR Must give PASS command")
            c.expect_after("APOP joe 0123", "-ERR Unrecognized command")  # no challenge was sent
            c.expect_after("STAT", "-ERR Unrecognized command")
            c.expect_after("PASS " + PASSWORD, "+OK Maildrop ready")
            c.expect_after("USER joe", "-ERR Unrecognized command")
            c.send("STAT\r\n")
            c.expect_match(r"^\+OK 2 \d+$")
            c.quit()
        # A control character in a user name reaches the log escaped.
        with popd.client() as c:
            c.greeting()
            c.expect_after("USER jo\x1be", "+OK Name is a valid mailbox")
            c.expect_after("PASS x", FAILED)
            c.quit()
        self.assertTrue(popd.log_lines(r"badlogin: .* jo\\x1Be "))
        self.assertFalse(popd.log_lines("jo\x1be"))
        self.assertEqual(popd.stop(), 0)

    def test_only_a_completed_login_records_the_access(self):
        self.inst.set("local.enablelastaccess", "on")
        popd = self.inst.popd()

        def pop_access():
            line = self.inst.adm("access", "joe").out.strip()
            return line.split("\t")[1]

        before = pop_access()
        # Naming a user, even failing a password, leaves the record alone.
        with popd.client() as c:
            c.greeting()
            c.expect_after("USER joe", "+OK Name is a valid mailbox")
        with popd.client() as c:
            c.greeting()
            c.expect_after("USER joe", "+OK Name is a valid mailbox")
            c.expect_after("PASS wrong", FAILED)
            c.quit()
        self.assertEqual(pop_access(), before)
        with popd.client() as c:
            c.greeting()
            c.expect_after("USER joe", "+OK Name is a valid mailbox")
            c.expect_after("PASS " + PASSWORD, "+OK Maildrop ready")
            c.quit()
        pop3lib.wait_until(lambda: pop_access() != before, TIMEOUT, "the POP access time recorded at logout")
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_a_locked_inbox_is_a_temporary_failure(self):
        # A user rename or deletion holds the user's creation lock while it
        # moves the INBOX's files: a login meanwhile finds the folder's
        # record but not its index, and must neither fail for good nor
        # make an empty INBOX in its place.  The test holds every creation
        # lock (a write lock on the whole lock file) and moves the index
        # aside, as such an operation would.
        popd = self.inst.popd()
        [index] = glob.glob(os.path.join(self.inst.tmp, "p*", "*", "*", "*", "=joe", "store.idx"))
        lockfile = os.path.join(self.inst.store_dir, "mboxlist", "folderlock", "locks")
        fd = os.open(lockfile, os.O_RDWR)
        try:
            # struct flock: type, whence, start, length 0 = to any end, pid 0.
            fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhxxxxqqixxxx", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0))
            os.rename(index, index + ".moving")
            with popd.client() as c:
                c.greeting()
                c.expect_after("USER joe", "+OK Name is a valid mailbox")
                t0 = time.monotonic()
                c.expect_after("PASS " + PASSWORD, "-ERR [SYS/TEMP] Unable to read maildrop")
                self.assertLess(time.monotonic() - t0, DELAY)  # no password was wrong
                # Still in the authorization state; once the operation is
                # over the same session logs in and finds its mail.
                c.expect_after("STAT", "-ERR Unrecognized command")
                os.rename(index + ".moving", index)
                os.close(fd)
                fd = -1
                c.expect_after("USER joe", "+OK Name is a valid mailbox")
                c.expect_after("PASS " + PASSWORD, "+OK Maildrop ready")
                c.send("STAT\r\n")
                c.expect_match(r"^\+OK 2 \d+$")
                c.quit()
        finally:
            if fd >= 0:
                os.close(fd)
            if os.path.exists(index + ".moving"):
                os.rename(index + ".moving", index)
        self.assertTrue(popd.log_lines(r"badlogin: .* joe Unable to read maildrop: Mailbox is busy"))
        s = self.inst.stats()
        self.assertEqual((s["numGoodLogins"], s["numFailedLogins"]), (1, 1))
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_apop_with_a_challenge(self):
        self.inst.set("sasl.default.ldap.has_plain_passwords", "on")
        popd = self.inst.popd()
        p = poplib.POP3("127.0.0.1", popd.port, timeout=TIMEOUT)
        self.assertTrue(p.timestamp.search(p.welcome))
        self.assertEqual(p.apop("joe", PASSWORD), b"+OK Maildrop ready")
        self.assertEqual(p.stat()[0], 2)
        p.quit()
        p = poplib.POP3("127.0.0.1", popd.port, timeout=TIMEOUT)
        challenge = p.timestamp.search(p.welcome).group(1)
        digest = hashlib.md5(challenge + b"wrong").hexdigest()
        t0 = time.monotonic()
        with self.assertRaises(poplib.error_proto) as e:
            p._shortcmd("APOP joe " + digest)
        self.assertEqual(e.exception.args[0], FAILED.encode())
        self.assertGreaterEqual(time.monotonic() - t0, DELAY - 0.1)
        p.quit()
        self.assertEqual(popd.stop(), 0)


class PlaintextPolicy(unittest.TestCase):
    """From another host: no passwords in clear unless TLS protects them or
    the policy is "always"."""

    def setUp(self):
        if pop3lib.NETNS_ADDRESS is None:
            self.skipTest("a non-loopback peer needs a private network namespace (unshare)")
        if not have_tool("saslpasswd2"):
            self.skipTest("saslpasswd2 (sasl2-bin) is not installed")
        self.inst = Instance(config={"service.defaultdomain": REALM}, tls=True)
        pop3lib.add_sasl_users(self.inst, {"joe": PASSWORD})
        self.inst.start_stored()
        self.inst.create_user("joe")

    def tearDown(self):
        self.inst.close()

    def client(self, popd):
        addr = pop3lib.NETNS_ADDRESS
        c = Client(popd.port, host=addr, source=addr)
        c.greeting()
        return c

    def capa(self, c):
        c.expect_after("CAPA", "+OK list follows")
        return c.multiline()

    def test_refused_in_clear_allowed_after_stls(self):
        popd = self.inst.popd(host="0.0.0.0")
        with self.client(popd) as c:
            caps = self.capa(c)
            self.assertNotIn("USER", caps)
            self.assertIn("SASL SCRAM-SHA-256 SCRAM-SHA-1", caps)
            self.assertFalse([x for x in caps if x.startswith("SASL") and ("PLAIN" in x or "LOGIN" in x)], caps)
            refused = "-ERR [AUTH] Plaintext authentication disallowed on non-secure connections"
            c.expect_after("USER joe", refused)
            c.expect_after("PASS " + PASSWORD, refused)
            c.expect_after("AUTH PLAIN " + base64.b64encode(b"\0joe\0" + PASSWORD.encode()).decode(), refused)
            c.starttls(pop3lib.client_context(self.inst.ca))
            caps = self.capa(c)
            self.assertIn("USER", caps)
            self.assertIn("SASL SCRAM-SHA-256 SCRAM-SHA-1 PLAIN LOGIN", caps)
            c.expect_after("USER joe", "+OK Name is a valid mailbox")
            c.expect_after("PASS " + PASSWORD, "+OK Maildrop ready")
            c.quit()
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_always_allows_it(self):
        self.inst.set("service.pop.plaintextlogin", "always")
        popd = self.inst.popd(host="0.0.0.0")
        with self.client(popd) as c:
            self.assertIn("USER", self.capa(c))
            c.expect_after("USER joe", "+OK Name is a valid mailbox")
            c.expect_after("PASS " + PASSWORD, "+OK Maildrop ready")
            c.quit()
        self.assertEqual(popd.stop(), 0)


if __name__ == "__main__":
    pop3lib.enter_private_network()
    pop3lib.run(280)
