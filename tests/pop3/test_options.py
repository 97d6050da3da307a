#!/usr/bin/env python3
"""The optional behaviours of a logged-in POP3 session: GURL and its
account URL, the status option ("Status: R/U" lines, sizes counting them,
the position kept between sessions), the older login and LIST texts, and
the login/logout statistics lines.

Usage: test_options.py BUILD_DIR
"""

import os
import re
import sys
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Instance, TIMEOUT, have_tool, wait_until  # noqa: E402

REALM = pop3lib.SASL_REALM
PASSWORD = "s3cret pass"

# Stored with CRLF line ends (delivery turns LF into CRLF), so what a client
# receives, unstuffed, is exactly the stored message.  The first has no line
# starting with a dot (the store lets it go out by sendfile), the second has.
MESSAGES = [
    b"Subject: one\r\n\r\nfirst body\r\n",
    b"Subject: two\r\n\r\n.dotted line\r\n..and another\r\nend\r\n",
    b"Subject: three\r\n\r\nthird\r\n",
]
LATE = b"Subject: four\r\n\r\ndelivered between the sessions\r\n"


class Options(unittest.TestCase):
    config = {}

    @classmethod
    def setUpClass(cls):
        if not have_tool("saslpasswd2"):
            raise unittest.SkipTest("saslpasswd2 (sasl2-bin) is not installed")

    def setUp(self):
        self.inst = Instance(config=dict({"service.defaultdomain": REALM}, **self.config))
        pop3lib.add_sasl_users(self.inst, {"joe": PASSWORD})
        self.inst.start_stored()
        self.inst.create_user("joe")
        for m in MESSAGES:
            self.inst.deliver("joe", m)

    def tearDown(self):
        try:
            for p in self.inst.popds:
                self.assertEqual(p.sanitizer_reports(), [])
        finally:
            self.inst.close()

    def login(self, popd, ready="+OK Maildrop ready"):
        c = popd.client()
        c.greeting()
        c.expect_after("USER joe", "+OK Name is a valid mailbox")
        c.expect_after("PASS " + PASSWORD, ready)
        return c

    @staticmethod
    def transfer(c, command):
        """Sends RETR or TOP; returns its status line and the octets of the
        message as received, unstuffed, terminator removed."""
        status = c.cmd(command)
        body = b""
        while True:
            line = c.raw_line()
            if line == b".\r\n":
                break
            body += line
        return status, re.sub(rb"(?m)^\.", b"", body)


class Gurl(Options):
    config = {"gen.accounturl": "https://mail.example.com/u/%u/?who=%U&x=%d%"}

    def test_account_url_with_the_user(self):
        popd = self.inst.popd()
        c = popd.client()
        c.greeting()
        c.expect_after("GURL", "-ERR Unrecognized command")   # not before the login
        c.close()
        c = self.login(popd)
        c.expect_after("GURL", "+OK https://mail.example.com/u/joe/?who=joe&x=%d%")
        c.expect_after("GURL ignored argument", "+OK https://mail.example.com/u/joe/?who=joe&x=%d%")
        # The URL comes from the refreshed settings, in the same session.
        self.inst.set("gen.accounturl", "imap://%u@example.com")
        with popd.client() as admin:
            admin.greeting()
            admin.expect_after("XREFRESH", "+OK")
        c.expect_after("GURL", "+OK imap://joe@example.com")
        self.inst.set("gen.accounturl", None)
        with popd.client() as admin:
            admin.greeting()
            admin.expect_after("XREFRESH", "+OK")
        c.expect_after("GURL", "-ERR GURL failed")
        c.quit()
        self.assertEqual(popd.log_lines(r"GURL"), [])   # no URL is not worth a line

    def test_refused_with_option_x(self):
        popd = self.inst.popd(args=["-x"])
        c = self.login(popd)
        c.expect_after("GURL", "-ERR Unrecognized command")
        c.expect_after("NOOP", "+OK")
        c.quit()

    def test_url_too_long_for_a_response_line(self):
        # As configured, "+OK " + URL + CRLF would be 512 octets; with the
        # user put in three times it is 515.
        self.inst.set("gen.accounturl", "https://x/" + "a" * 490 + "%u%u%u")
        popd = self.inst.popd()
        c = self.login(popd)
        # Client.line refuses any line over 512 octets or without CRLF.
        c.expect_after("GURL", "-ERR GURL failed")
        c.expect_after("GURL", "-ERR GURL failed")
        c.expect_after("NOOP", "+OK")
        c.quit()
        self.assertEqual(len(popd.log_lines(r"GURL for joe failed: the account URL does not fit a response line")), 1)


class StatusOption(Options):
    config = {"local.popstatuskludge": "on"}

    def test_sizes_count_the_status_line(self):
        sizes = [len(m) + 11 for m in MESSAGES]
        popd = self.inst.popd()
        c = self.login(popd)
        c.expect_after("STAT", f"+OK 3 {sum(sizes)}")
        c.expect_after("LIST", "+OK scan listing follows")
        self.assertEqual(c.multiline(), [f"{n} {s}" for n, s in enumerate(sizes, 1)])
        c.expect_after("LIST 2", f"+OK 2 {sizes[1]}")
        c.expect_after("XAUTHLIST 3", f"+OK 3 {sizes[2]} ")
        # What is received equals the size announced, on the sendfile path
        # (message 1) and the stuffing path (message 2) alike.
        for n in (1, 2):
            status, got = self.transfer(c, f"RETR {n}")
            self.assertEqual(status, f"+OK {sizes[n - 1]} octets")
            self.assertEqual(got, b"Status: U\r\n" + MESSAGES[n - 1])
            self.assertEqual(len(got), sizes[n - 1])
        c.expect_after("DELE 3", "+OK message deleted")
        c.expect_after("STAT", f"+OK 2 {sizes[0] + sizes[1]}")
        c.quit()

    def test_position_carries_to_the_next_session(self):
        popd = self.inst.popd()
        c = self.login(popd)
        c.expect_after("LAST", "+OK 0")
        # Judged before RETR moves the position: unseen the first time.
        self.assertEqual(self.transfer(c, "RETR 1")[1], b"Status: U\r\n" + MESSAGES[0])
        self.assertEqual(self.transfer(c, "RETR 1")[1], b"Status: R\r\n" + MESSAGES[0])
        self.assertEqual(self.transfer(c, "TOP 3 0")[1], b"Status: U\r\nSubject: three\r\n\r\n")
        self.assertEqual(self.transfer(c, "RETR 2")[1], b"Status: U\r\n" + MESSAGES[1])
        c.expect_after("LAST", "+OK 2")
        c.quit()

        self.inst.deliver("joe", LATE)
        c = self.login(popd)
        c.expect_after("LAST", "+OK 2")
        self.assertEqual(self.transfer(c, "TOP 2 0")[1], b"Status: R\r\nSubject: two\r\n\r\n")
        self.assertEqual(self.transfer(c, "RETR 1")[1], b"Status: R\r\n" + MESSAGES[0])
        self.assertEqual(self.transfer(c, "RETR 3")[1], b"Status: U\r\n" + MESSAGES[2])
        self.assertEqual(self.transfer(c, "RETR 4")[1], b"Status: U\r\n" + LATE)
        c.expect_after("LAST", "+OK 4")
        # Dropped without QUIT: the position is kept all the same.
        c.close()

        def last():
            with self.login(popd) as probe:
                return probe.cmd("LAST") == "+OK 4"
        wait_until(last, TIMEOUT, "the position of the dropped session stored")

        # RSET forgets this session's position, never the stored one.
        c = self.login(popd)
        c.expect_after("RSET", "+OK")
        c.expect_after("LAST", "+OK 0")
        self.assertEqual(self.transfer(c, "TOP 1 0")[1], b"Status: U\r\nSubject: one\r\n\r\n")
        c.quit()
        c = self.login(popd)
        c.expect_after("LAST", "+OK 4")
        c.quit()


class StatusOptionTls(StatusOption):
    """The status line on the TLS writer."""

    def setUp(self):
        if not have_tool("certutil"):
            self.skipTest("certutil (libnss3-tools) is not installed")
        self.inst = Instance(config=dict({"service.defaultdomain": REALM}, **self.config), tls=True)
        pop3lib.add_sasl_users(self.inst, {"joe": PASSWORD})
        self.inst.start_stored()
        self.inst.create_user("joe")
        for m in MESSAGES:
            self.inst.deliver("joe", m)

    def test_sizes_count_the_status_line(self):
        popd = self.inst.popd(tls=True)
        c = popd.tls_client()
        c.greeting()
        c.expect_after("USER joe", "+OK Name is a valid mailbox")
        c.expect_after("PASS " + PASSWORD, "+OK Maildrop ready")
        for n in (1, 2):
            status, got = self.transfer(c, f"RETR {n}")
            self.assertEqual(status, f"+OK {len(MESSAGES[n - 1]) + 11} octets")
            self.assertEqual(got, b"Status: U\r\n" + MESSAGES[n - 1])
        c.quit()

    test_position_carries_to_the_next_session = None


class OlderTextsAndStatLines(Options):
    config = {"service.pop.emulateqpopper": "on", "local.poplogmboxstat": "on", "local.popstatuskludge": "on"}

    def test_login_and_list_texts_and_stat_lines(self):
        sizes = [len(m) + 11 for m in MESSAGES]
        popd = self.inst.popd()
        c = self.login(popd, ready=f"+OK joe has 3 messages ({sum(sizes)} octets)")
        c.expect_after("DELE 2", "+OK message deleted")
        c.expect_after("LIST", f"+OK 2 messages ({sizes[0] + sizes[2]} octets)")
        self.assertEqual(c.multiline(), [f"1 {sizes[0]}", f"3 {sizes[2]}"])
        # DELE 2 moved the position past message 1, not message 3.
        self.assertEqual(self.transfer(c, "RETR 1"), (f"+OK {sizes[0]} octets", b"Status: R\r\n" + MESSAGES[0]))
        self.assertEqual(self.transfer(c, "RETR 3"), (f"+OK {sizes[2]} octets", b"Status: U\r\n" + MESSAGES[2]))
        c.quit()
        login = popd.log_lines(r"POP3 Login user=joe host=\S*\[127\.0\.0\.1:\d+\] - 3 messages, "
                               rf"{sum(sizes)} bytes, \d+, \d+$")
        logout = popd.log_lines(r"POP3 Logout user=joe host=\S*\[127\.0\.0\.1:\d+\] - 2 messages, "
                                rf"{sizes[0] + sizes[2]} bytes, \d+, \d+$")
        self.assertEqual((len(login), len(logout)), (1, 1), popd.log()[-3000:])
        # A session that ends without QUIT logs no Logout line.
        c = self.login(popd, ready=f"+OK joe has 2 messages ({sizes[0] + sizes[2]} octets)")
        c.close()
        popd.wait_log(r"logout: .* joe", count=2)
        self.assertEqual(len(popd.log_lines(r"POP3 Logout")), 1)
        self.assertEqual(len(popd.log_lines(r"POP3 Login")), 2)


class Defaults(Options):
    def test_no_extra_lines_or_texts(self):
        popd = self.inst.popd()
        c = self.login(popd)
        c.expect_after("LIST", "+OK scan listing follows")
        self.assertEqual(c.multiline(), [f"{n} {len(m)}" for n, m in enumerate(MESSAGES, 1)])
        status, got = self.transfer(c, "RETR 1")
        self.assertEqual((status, got), (f"+OK {len(MESSAGES[0])} octets", MESSAGES[0]))
        c.expect_after("GURL", "-ERR GURL failed")
        c.quit()
        self.assertEqual(popd.log_lines(r"POP3 Log(in|out)"), [])


if __name__ == "__main__":
    pop3lib.run(280)
