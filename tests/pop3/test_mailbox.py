#!/usr/bin/env python3
"""The mailbox commands of a logged-in POP3 session: real clients fetch
what was delivered byte for byte, DELE takes effect only at QUIT and only
for the messages marked, bad arguments get their errors and touch nothing,
a missing message file or a failed expunge is reported and loses nothing.

Usage: test_mailbox.py BUILD_DIR
"""

import os
import poplib
import re
import signal
import ssl
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Fail, Instance, TIMEOUT, have_tool, wait_until  # noqa: E402

REALM = pop3lib.SASL_REALM
PASSWORD = "s3cret pass"

# Delivered as given; each tests one way a transfer goes wrong.
CORPUS = [
    b"Subject: plain\n\nHello.\n",
    b"Subject: dots\n\n.leading dot\n..two dots\n.\nmiddle\n.\n",
    b"Subject: no final newline\n\nlast line without one",
    b"Subject: bare cr\n\nbefore\rafter\nx\r.y\n",
    b"Subject: 8bit\nContent-Type: text/plain; charset=latin1\n\ncaf\xe9 \xff\xfe\x80\n",
    b"Subject: ends in a dot line\n\nbody\n.",
    b"Subject: big\n\n" + b"".join(b"%07d " % i + b"." * (i % 3) + b"x" * 60 + b"\n" for i in range(30000)),
]


def canonical(raw):
    """The stored form of a delivered message, by the delivery rules: a
    leading "From " line dropped, every LF not after a CR made CRLF."""
    if raw.startswith(b"From "):
        raw = raw[raw.index(b"\n") + 1:]
    return re.sub(rb"(?<!\r)\n", b"\r\n", raw)


def fetched(raw):
    """What a client gets after unstuffing: the stored message, with CRLF
    added when it lacks a final one."""
    c = canonical(raw)
    return c if c.endswith(b"\r\n") else c + b"\r\n"


class Mailbox(unittest.TestCase):
    tls = False

    @classmethod
    def setUpClass(cls):
        if not have_tool("saslpasswd2"):
            raise unittest.SkipTest("saslpasswd2 (sasl2-bin) is not installed")

    def setUp(self):
        self.inst = Instance(config={"service.defaultdomain": REALM}, tls=self.tls)
        pop3lib.add_sasl_users(self.inst, {"joe": PASSWORD})
        self.inst.start_stored()
        self.inst.create_user("joe")

    def tearDown(self):
        try:
            for p in self.inst.popds:
                self.assertEqual(p.sanitizer_reports(), [])
        finally:
            self.inst.close()

    def deliver(self, *messages):
        for m in messages:
            self.inst.deliver("joe", m)

    def login(self, popd):
        c = popd.client()
        c.greeting()
        c.expect_after("USER joe", "+OK Name is a valid mailbox")
        c.expect_after("PASS " + PASSWORD, "+OK Maildrop ready")
        return c

    def uidls(self, popd):
        c = self.login(popd)
        c.expect_after("UIDL", "+OK unique-id listing follows")
        ids = [line.split(" ", 1)[1] for line in c.multiline()]
        c.quit()
        return ids

    def usage(self):
        m = re.search(r"(\d+) bytes of .*?(\d+) of .*? messages", self.inst.adm("quota", "show", "user/joe").out)
        if not m:
            raise Fail("no usage in orvadm quota show")
        return int(m.group(1)), int(m.group(2))

    def assert_consistent(self):
        r = self.inst.adm("check", "user/joe", check=False)
        self.assertEqual(r.returncode, 0, r.out)
        self.assertIn("consistent", r.out)

    # -- transfer --

    def test_poplib_fetches_the_corpus_unchanged(self):
        self.deliver(*CORPUS)
        popd = self.inst.popd()
        p = poplib.POP3("127.0.0.1", popd.port, timeout=TIMEOUT * 3)
        p.user("joe")
        p.pass_(PASSWORD)
        count, total = p.stat()
        self.assertEqual(count, len(CORPUS))
        self.assertEqual(total, sum(len(canonical(m)) for m in CORPUS))
        _, listing, _ = p.list()
        self.assertEqual([int(x.split()[1]) for x in listing], [len(canonical(m)) for m in CORPUS])
        for n, raw in enumerate(CORPUS, 1):
            resp, lines, _ = p.retr(n)
            self.assertEqual(resp, b"+OK %d octets" % len(canonical(raw)))
            # poplib splits at CRLF and unstuffs: the lines and their ends
            # must give the message back.
            self.assertEqual(b"\r\n".join(lines) + b"\r\n", fetched(raw), f"message {n}")
        # TOP: the header, the blank line and n body lines.
        _, lines, _ = p.top(2, 2)
        self.assertEqual(lines, [b"Subject: dots", b"", b".leading dot", b"..two dots"])
        _, lines, _ = p.top(2, 0)
        self.assertEqual(lines, [b"Subject: dots", b""])
        _, lines, _ = p.top(1, 99999999999999999999999)
        self.assertEqual(b"\r\n".join(lines) + b"\r\n", fetched(CORPUS[0]))
        self.assertEqual(p.quit(), b"+OK")
        self.assertEqual(popd.stop(), 0)

    def test_raw_stream_is_stuffed_and_terminated(self):
        self.deliver(CORPUS[1], CORPUS[2], CORPUS[5])
        popd = self.inst.popd()
        c = self.login(popd)
        # Pipelined: each answer whole and in order.
        c.send("RETR 1\r\nRETR 2\r\nRETR 3\r\nNOOP\r\n")
        for raw in (CORPUS[1], CORPUS[2], CORPUS[5]):
            c.expect(f"+OK {len(canonical(raw))} octets")
            body = b""
            while True:
                line = c.raw_line()
                if line == b".\r\n":
                    break
                body += line
            unstuffed = re.sub(rb"(?m)^\.", b"", body)
            self.assertEqual(unstuffed, fetched(raw))
        c.expect("+OK")
        c.quit()

    def test_slow_reader_gets_a_large_message_whole(self):
        # 2 MB through a small receive window, read slowly: the server sends
        # as the window opens and loses nothing on the way.
        self.deliver(CORPUS[6])
        popd = self.inst.popd()
        c = popd.client(rcvbuf=4096)
        c.greeting()
        c.expect_after("USER joe", "+OK Name is a valid mailbox")
        c.expect_after("PASS " + PASSWORD, "+OK Maildrop ready")
        c.send("RETR 1\r\n")
        c.expect(f"+OK {len(canonical(CORPUS[6]))} octets")
        got = bytearray(c.pending())
        c.buf.clear()
        deadline = time.monotonic() + 60
        while not got.endswith(b"\r\n.\r\n"):
            if time.monotonic() > deadline:
                raise Fail("transfer not finished in 60 s")
            chunk = c.sock.recv(200000)
            if not chunk:
                raise Fail(f"closed after {len(got)} octets")
            got += chunk
            time.sleep(0.02)  # a slow client, not synchronisation
        self.assertEqual(re.sub(rb"(?m)^\.", b"", bytes(got[:-3])), fetched(CORPUS[6]))
        c.quit()

    def test_retrs_one_after_another_are_not_held_back(self):
        # A client that waits for each message's end before asking for the
        # next: the message and its closing ".\r\n" must leave at once, not
        # wait for the acknowledgement the client delays (about 40 ms each
        # time for a message of a few lines).
        message = b"Subject: x\n\n" + b"".join(b"line %06d of the body\n" % i for i in range(40))
        self.deliver(message)
        popd = self.inst.popd()
        c = self.login(popd)
        times = []
        for _ in range(21):
            t0 = time.monotonic()
            c.send("RETR 1\r\n")
            c.expect(f"+OK {len(canonical(message))} octets")
            while not c.buf.endswith(b"\r\n.\r\n"):
                c._fill()
            c.buf.clear()
            times.append(time.monotonic() - t0)
        # The median ignores a few retrieves slowed by a busy machine.
        self.assertLess(sorted(times)[len(times) // 2], 0.02, f"retrieve times {times}")
        c.quit()

    def message_file(self, uid):
        for root, _, files in os.walk(os.path.join(self.inst.tmp, "p1")):
            if f"{uid}.msg" in files:
                return os.path.join(root, f"{uid}.msg")
        raise Fail(f"no file of message {uid}")

    def test_missing_or_resized_message_files(self):
        self.deliver(CORPUS[0], CORPUS[1], CORPUS[0], CORPUS[4])
        os.unlink(self.message_file(1))
        # Longer than recorded: sent cut to the recorded size, on both the
        # raw and the stuffing path.  Shorter: an error.
        for uid in (2, 3):
            with open(self.message_file(uid), "ab") as f:
                f.write(b"appended later")
        os.truncate(self.message_file(4), len(canonical(CORPUS[4])) - 3)
        popd = self.inst.popd()
        c = self.login(popd)
        c.expect_after("RETR 1", "-ERR Could not read message file")
        c.expect_after("TOP 1 0", "-ERR Could not read message file")
        c.expect_after("NOOP", "+OK")
        c.expect_after("RETR 4", "-ERR Could not read message file")
        for n in (2, 3):
            raw = CORPUS[1] if n == 2 else CORPUS[0]
            c.expect_after(f"RETR {n}", f"+OK {len(canonical(raw))} octets")
            self.assertEqual(("\r\n".join(c.multiline()) + "\r\n").encode(), fetched(raw))
        c.quit()
        self.assertTrue(popd.log_lines(r"Unable to open message file 1 in user/joe"))
        self.assertTrue(popd.log_lines(r"Message file 2 in user/joe has wrong size"))
        self.assertTrue(popd.log_lines(r"Message file 3 in user/joe has wrong size"))
        self.assertTrue(popd.log_lines(r"Message file 4 in user/joe has wrong size"))

    # -- commands and arguments --

    def test_bad_arguments_and_deleted_messages(self):
        self.deliver(CORPUS[0], CORPUS[1], CORPUS[3])
        popd = self.inst.popd()
        before = self.uidls(popd)
        c = self.login(popd)
        table = [
            ("LIST 0", "-ERR No such message"),
            ("LIST x", "-ERR No such message"),
            ("LIST 99", "-ERR No such message"),
            ("LIST -1", "-ERR No such message"),
            ("LIST 1x", "-ERR No such message"),
            ("LIST 18446744073709551617", "-ERR No such message"),
            ("RETR 1 2", "-ERR Unexpected extra argument"),
            ("RETR", "-ERR Missing argument"),
            ("TOP 1", "-ERR Missing argument"),
            ("TOP 1 x", "-ERR Invalid number of lines"),
            ("TOP 1 -1", "-ERR Invalid number of lines"),
            ("TOP 9 1", "-ERR No such message"),
            ("TOP 1 2 3", "-ERR Unexpected extra argument"),
            ("UIDL 4", "-ERR No such message"),
            ("STAT 1", "-ERR Unexpected extra argument"),
            ("DELE 4294967297", "-ERR No such message"),   # 2**32 + 1: never message 1
            ("DELE 4294967298", "-ERR No such message"),
            ("LAST", "+OK 0"),
            ("LIST 01", f"+OK 1 {len(canonical(CORPUS[0]))}"),
            ("UIDL 2", f"+OK 2 {before[1]}"),
            ("DELE 2", "+OK message deleted"),
            ("DELE 2", "-ERR No such message"),
            ("LIST 2", "-ERR No such message"),
            ("RETR 2", "-ERR No such message"),
            ("UIDL 2", "-ERR No such message"),
            ("TOP 2 0", "-ERR No such message"),
            ("LAST", "+OK 2"),
            ("STAT", f"+OK 2 {len(canonical(CORPUS[0])) + len(canonical(CORPUS[3]))}"),
        ]
        for command, answer in table:
            c.expect_after(command, answer)
        c.expect_after("LIST", "+OK scan listing follows")
        self.assertEqual(c.multiline(), [f"1 {len(canonical(CORPUS[0]))}", f"3 {len(canonical(CORPUS[3]))}"])
        c.expect_after("UIDL", "+OK unique-id listing follows")
        self.assertEqual(c.multiline(), [f"1 {before[0]}", f"3 {before[2]}"])
        for command, answer in [("RSET", "+OK"), ("LAST", "+OK 0"), ("LIST 2", f"+OK 2 {len(canonical(CORPUS[1]))}"),
                                ("UIDL 2", f"+OK 2 {before[1]}")]:
            c.expect_after(command, answer)
        c.quit()
        # Nothing marked at QUIT: every message stays, ids unchanged.
        self.assertEqual(self.uidls(popd), before)
        self.assertEqual(len(set(before)), 3)
        self.assertTrue(all(re.fullmatch(r"\d+-\d+", u) for u in before))

    # -- QUIT and expunge --

    def test_dele_quit_removes_exactly_the_marked_message(self):
        self.deliver(CORPUS[0], CORPUS[1], CORPUS[4])
        popd = self.inst.popd()
        before = self.uidls(popd)
        octets, count = self.usage()
        self.assertEqual(count, 3)
        c = self.login(popd)
        c.expect_after("DELE 2", "+OK message deleted")
        # Delivered during the session: not in its table, so it stays.
        self.deliver(b"Subject: late\n\narrived during the session\n")
        c.quit()
        after = self.uidls(popd)
        self.assertEqual(after[:2], [before[0], before[2]])
        self.assertEqual(len(after), 3)
        self.assertNotIn(before[1], after)
        self.assertEqual(self.usage(), (octets - len(canonical(CORPUS[1])) +
                                        len(canonical(b"Subject: late\n\narrived during the session\n")), 3))
        self.assert_consistent()

    def test_unique_ids_survive_a_backup_and_restore(self):
        self.deliver(CORPUS[0], CORPUS[1], CORPUS[4])
        popd = self.inst.popd()
        before = self.uidls(popd)
        self.assertEqual(len(set(before)), len(before))
        volume = os.path.join(self.inst.tmp, "volume")
        pop3lib.run_cmd([pop3lib.program("orvbackup"), "-f", volume, "/"], env=self.inst.env, timeout=TIMEOUT * 3)
        self.inst.adm("user", "delete", "joe")
        pop3lib.run_cmd([pop3lib.program("orvrestore"), "-f", volume], env=self.inst.env, timeout=TIMEOUT * 3)
        self.assertEqual(self.uidls(popd), before)
        self.assert_consistent()

    def test_sessions_without_quit_remove_nothing(self):
        self.deliver(CORPUS[0], CORPUS[1])
        popd = self.inst.popd()
        before = self.uidls(popd)
        usage = self.usage()
        # Dropped connection.
        c = self.login(popd)
        c.expect_after("DELE 1", "+OK message deleted")
        c.expect_after("DELE 2", "+OK message deleted")
        c.close()
        # DELE, RSET, QUIT.
        c = self.login(popd)
        c.expect_after("DELE 1", "+OK message deleted")
        c.expect_after("RSET", "+OK")
        c.quit()
        self.assertEqual(self.uidls(popd), before)
        # The server stopping.
        c = self.login(popd)
        c.expect_after("DELE 1", "+OK message deleted")
        popd.signal(signal.SIGTERM)
        c.expect("-ERR Server shutting down")
        self.assertEqual(popd.wait_exit(), 0)
        c.close()
        self.assertEqual(self.uidls(self.inst.popd()), before)
        self.assertEqual(self.usage(), usage)
        self.assert_consistent()

    def test_failed_expunge_is_reported_and_removes_nothing(self):
        if not have_tool("strace"):
            self.skipTest("strace is not installed")
        self.deliver(CORPUS[0], CORPUS[1], CORPUS[2])
        popd = self.inst.popd()
        before = self.uidls(popd)
        usage = self.usage()
        c = self.login(popd)
        c.expect_after("DELE 1", "+OK message deleted")
        c.expect_after("DELE 3", "+OK message deleted")
        # Every rename of the server fails: the expunge cannot put its new
        # index in place.
        with pop3lib.strace_attached(popd.pid, "-e", "trace=rename,renameat,renameat2",
                                     "-e", "inject=rename,renameat,renameat2:error=EIO"):
            try:
                c.expect_after("QUIT", "-ERR [SYS/TEMP] Some deleted messages not removed")
                c.expect_eof()
            finally:
                c.close()
        self.assertTrue(popd.log_lines(r"Unable to expunge user/joe"))
        self.assertEqual(self.uidls(popd), before)
        self.assertEqual(self.usage(), usage)
        self.assert_consistent()


    def test_shutdown_lets_a_running_expunge_finish(self):
        # The expunge's renames are held for a while (strace); SIGTERM
        # arrives while one is held.  The QUIT still completes: +OK, the
        # message gone, the usage lowered; never "shutting down" after the
        # messages were removed.
        if not have_tool("strace") or os.uname().machine != "x86_64":
            self.skipTest("strace on x86_64 is needed")
        self.deliver(CORPUS[0], CORPUS[1], CORPUS[4])
        # The leak checker cannot run at exit under a tracer.
        popd = self.inst.popd(env={"ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"),
                                                                          "detect_leaks=0"]))})
        before = self.uidls(popd)
        octets, _ = self.usage()
        c = self.login(popd)
        c.expect_after("DELE 2", "+OK message deleted")
        renames = {"82", "264", "316"}   # rename, renameat, renameat2 on x86_64
        with pop3lib.strace_attached(popd.pid, "-e", "trace=rename,renameat,renameat2",
                                     "-e", "inject=rename,renameat,renameat2:delay_enter=1500000"):
            try:
                c.send("QUIT\r\n")

                def in_rename():
                    return any(Instance.read(f"/proc/{popd.pid}/task/{t}/syscall").split(" ")[0] in renames
                               for t in os.listdir(f"/proc/{popd.pid}/task"))
                wait_until(in_rename, TIMEOUT, "the expunge reaches its rename")
                popd.signal(signal.SIGTERM)
                c.expect("+OK")
                c.expect_eof(timeout=TIMEOUT * 2)
                self.assertEqual(popd.wait_exit(), 0)
            finally:
                c.close()
        after = self.uidls(self.inst.popd())
        self.assertEqual(after, [before[0], before[2]])
        self.assertEqual(self.usage()[0], octets - len(canonical(CORPUS[1])))
        self.assert_consistent()


class MailboxTls(Mailbox):
    """The same transfers over implicit TLS (the session's TLS writer)."""
    tls = True

    def setUp(self):
        if not have_tool("certutil"):
            self.skipTest("certutil (libnss3-tools) is not installed")
        super().setUp()

    def test_poplib_fetches_the_corpus_unchanged(self):
        self.deliver(*CORPUS)
        popd = self.inst.popd(tls=True)
        ctx = pop3lib.client_context(self.inst.ca)
        p = poplib.POP3_SSL("127.0.0.1", popd.tls_port, timeout=TIMEOUT * 3, context=ctx)
        p.user("joe")
        p.pass_(PASSWORD)
        for n, raw in enumerate(CORPUS, 1):
            _, lines, _ = p.retr(n)
            self.assertEqual(b"\r\n".join(lines) + b"\r\n", fetched(raw), f"message {n}")
        self.assertEqual(p.quit(), b"+OK")


# Only the transfer test runs twice.
for _name in [n for n in dir(Mailbox) if n.startswith("test_") and n != "test_poplib_fetches_the_corpus_unchanged"]:
    setattr(MailboxTls, _name, None)


if __name__ == "__main__":
    pop3lib.run(280)
