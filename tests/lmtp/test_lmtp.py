"""End-to-end tests of orvlmtpd, the LMTP delivery server.

Clients: Python's smtplib.LMTP, swaks --protocol LMTP (when installed), and
a raw-socket client for exact bytes and bad input.  The server listens on a
Unix socket in the test's directory.  Every wait is bounded (see pop3lib).
"""

import os
import re
import signal
import smtplib
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pop3"))
import pop3lib as lib  # noqa: E402

TIMEOUT = lib.TIMEOUT
CRLF = b"\r\n"


class Lmtpd:
    """orvlmtpd on a Unix socket of the instance, its log in a file."""

    _count = 0

    def __init__(self, inst, env=None, inherit=None):
        """inherit: a listening socket to serve with -d instead of the Unix
        socket."""
        self.inst = inst
        self.inherit = inherit
        self.env = dict(inst.env, **(env or {}))
        self.path = os.path.join(inst.tmp, "lmtp.sock")
        Lmtpd._count += 1
        self.log_path = os.path.join(inst.tmp, f"lmtpd-{Lmtpd._count}.log")
        self.proc = None

    def start(self):
        args = ["-d", str(self.inherit.fileno())] if self.inherit else ["-s", self.path]
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen([lib.program("orvlmtpd"), *args], env=self.env, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log,
                                         pass_fds=[self.inherit.fileno()] if self.inherit else [])
        if self.inherit:
            self.inherit.close()  # the server's now
        state = os.path.join(self.inst.store_dir, "session", "lmtpd.state")

        def ready():
            if self.proc.poll() is not None:
                raise lib.Fail(f"orvlmtpd ended with {self.proc.returncode}:\n{self.log()}")
            # "ready <pid>": a state file left by a server killed before says
            # another pid.
            return lib.Instance.read(state).split() == ["ready", str(self.proc.pid)]
        lib.wait_until(ready, lib.START_TIMEOUT, "orvlmtpd ready")
        return self

    def log(self):
        return lib.Instance.read(self.log_path)

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=lib.STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.kill()
            raise lib.Fail("orvlmtpd did not stop on SIGTERM")

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=lib.STOP_TIMEOUT)

    def sanitizer_reports(self):
        return [line for line in self.log().splitlines()
                if re.search(r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|SUMMARY: \w+Sanitizer",
                             line)]

    def lmtp(self):
        return smtplib.LMTP(self.path, timeout=TIMEOUT)

    def raw(self):
        return Raw(self.path)


class Raw:
    """A raw client: exact bytes out, reply lines in."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(TIMEOUT)
        self.sock.connect(path)
        self.buf = b""
        self.greeting = self.reply()

    def send(self, data):
        self.sock.sendall(data)

    def line(self):
        while CRLF not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise lib.Fail(f"connection closed; read so far {self.buf!r}")
            self.buf += chunk
        line, self.buf = self.buf.split(CRLF, 1)
        return line.decode()

    def reply(self):
        """One reply, multi-line ones joined with newlines."""
        lines = [self.line()]
        while len(lines[-1]) > 3 and lines[-1][3] == "-":
            lines.append(self.line())
        return "\n".join(lines)

    def cmd(self, text):
        self.send(text.encode() + CRLF)
        return self.reply()

    def closed(self):
        """True once the server closed the connection (after what it sent)."""
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return True
                self.buf += chunk
        except OSError:
            return True

    def close(self):
        self.sock.close()


def message(subject, body="hello\r\n"):
    return (f"From: sender@example.com\r\nSubject: {subject}\r\n\r\n{body}").encode()


def stored(inst, user):
    """The message files of user's INBOX: path -> bytes, over both partitions.
    A folder's files are <partition>/.../=<name>/<bucket>/<uid>.msg."""
    out = {}
    for part in ("p1", "p2"):
        for d, _, files in os.walk(os.path.join(inst.tmp, part)):
            if os.path.basename(os.path.dirname(d)) != "=" + user:
                continue
            if os.sep + "=user" + os.sep not in d:
                continue
            for f in files:
                if f.endswith(".msg"):
                    with open(os.path.join(d, f), "rb") as fh:
                        out[os.path.join(d, f)] = fh.read()
    return out


def with_subject(inst, user, subject):
    pat = b"\r\nSubject: " + subject.encode() + b"\r\n"
    return [p for p, data in stored(inst, user).items() if pat in data]


def quota_used(inst, user):
    return inst.adm("quota", "show", f"user/{user}").out


def transaction(client, users, data, sender="sender@example.com"):
    """MAIL, RCPT for each user, DATA; the RCPT replies and the data replies
    (one per accepted recipient)."""
    code, _ = client.mail(sender)
    assert code == 250, code
    rcpt = [client.rcpt(f"{u}@example.org") for u in users]
    accepted = sum(1 for c, _ in rcpt if c == 250)
    replies = []
    if accepted:
        replies.append(client.data(data))
        for _ in range(accepted - 1):
            replies.append(client.getreply())
    return rcpt, replies


class Delivery(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = lib.Instance(config={"service.lmtp.maxrecipients": "6", "service.lmtp.maxmessagesize": "200000",
                                        "service.lmtp.timeout": "3", "store.quotagraceperiod": "0",
                                        "local.store.quotaoverdraft": "on"})
        try:
            cls.inst.start_stored()
            for u in ("a", "b", "c", "d", "e", "f", "g", "h"):
                cls.inst.create_user(u)
            cls.inst.create_user("full", "--quota", "1")
            # With overdraft a message passes while the usage is below the
            # limit: two of 700 octets take a 1 KB quota over it.
            for _ in range(2):
                cls.inst.deliver("full", "Subject: fill\n\n" + "x" * 700 + "\n")
            cls.server = Lmtpd(cls.inst, env=lib.MEASURE_MEMORY_ENV).start()
        except BaseException:
            cls.inst.close()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.server.stop()
            reports = cls.server.sanitizer_reports()
            if reports:
                raise lib.Fail("sanitizer reports:\n" + "\n".join(reports[:20]))
        finally:
            cls.inst.close()

    def check_clean(self, *users):
        for u in users:
            r = self.inst.adm("check", f"user/{u}", check=False)
            self.assertEqual(r.returncode, 0, r.out + r.stderr.decode(errors="replace"))

    def test_lhlo_and_one_recipient(self):
        with self.server.lmtp() as c:
            code, _ = c.ehlo("client.test")
            self.assertEqual(code, 250)
            for ext in ("pipelining", "enhancedstatuscodes", "8bitmime"):
                self.assertTrue(c.has_extn(ext), ext)
            self.assertEqual(c.esmtp_features.get("size"), "200000")
            rcpt, replies = transaction(c, ["a"], message("one"))
            self.assertEqual(rcpt[0][0], 250)
            self.assertEqual(replies[0][0], 250)
            self.assertTrue(replies[0][1].startswith(b"2.0.0"), replies)
        files = with_subject(self.inst, "a", "one")
        self.assertEqual(len(files), 1)
        with open(files[0], "rb") as f:
            self.assertEqual(f.read(), b"Return-Path: <sender@example.com>\r\n" + message("one"))
        self.check_clean("a")

    def test_five_recipients_share_one_file(self):
        users = ["a", "b", "c", "d", "e"]
        with self.server.lmtp() as c:
            c.ehlo("client.test")
            rcpt, replies = transaction(c, users, message("five"))
        self.assertEqual([r[0] for r in rcpt], [250] * 5)
        self.assertEqual([r[0] for r in replies], [250] * 5)
        files = [with_subject(self.inst, u, "five") for u in users]
        self.assertTrue(all(len(f) == 1 for f in files), files)
        inodes = {os.stat(f[0]).st_ino for f in files}
        self.assertEqual(len(inodes), 1)
        self.assertEqual(os.stat(files[0][0]).st_nlink, 5)
        self.check_clean(*users)

    def test_unknown_and_over_quota_among_good_ones(self):
        before = quota_used(self.inst, "full")
        with self.server.lmtp() as c:
            c.ehlo("client.test")
            rcpt, replies = transaction(c, ["f", "nosuchuser", "full", "g"], message("mixed"))
        self.assertEqual(rcpt[1][0], 550)
        self.assertTrue(rcpt[1][1].startswith(b"5.1.1"), rcpt[1])
        self.assertEqual(rcpt[2][0], 552)
        self.assertTrue(rcpt[2][1].startswith(b"5.2.2"), rcpt[2])
        self.assertEqual([r[0] for r in replies], [250, 250])
        self.assertEqual(len(with_subject(self.inst, "f", "mixed")), 1)
        self.assertEqual(len(with_subject(self.inst, "g", "mixed")), 1)
        self.assertEqual(with_subject(self.inst, "full", "mixed"), [])
        self.assertEqual(quota_used(self.inst, "full"), before)

    @unittest.skipUnless(lib.have_tool("swaks"), "swaks is not installed")
    def test_swaks(self):
        r = lib.run_cmd(["swaks", "--protocol", "LMTP", "--socket", self.server.path, "--from", "s@example.com",
                         "--to", "h@example.org,nosuchuser@example.org", "--header", "Subject: by swaks"],
                        check=False)
        out = r.stdout.decode(errors="replace")
        self.assertIn("550 5.1.1", out)
        self.assertRegex(out, r"<-\s+250 2\.0\.0 Message delivered")
        self.assertEqual(len(with_subject(self.inst, "h", "by swaks")), 1)

    def test_pipelined_session_and_bad_commands(self):
        c = self.server.raw()
        try:
            self.assertTrue(c.greeting.startswith("220 "), c.greeting)
            # One write with every command of a transaction; the replies
            # come in order.
            c.send(b"LHLO x\r\nMAIL FROM:<s@x> BODY=8BITMIME\r\nRCPT TO:<b@x>\r\nRCPT TO:<nosuchuser@x>\r\n"
                   b"RCPT TO:<c@x>\r\nDATA\r\n")
            self.assertTrue(c.reply().startswith("250-"))
            self.assertEqual(c.reply()[:3], "250")
            self.assertEqual([c.reply()[:9] for _ in range(3)], ["250 2.1.5", "550 5.1.1", "250 2.1.5"])
            self.assertEqual(c.reply()[:3], "354")
            # Bare LF line ends are taken as line ends and stored as CR LF.
            c.send(b"Subject: pipelined\nX: y\n\nbody\n..dot\r\n.\r\nNOOP\r\n")
            self.assertEqual([c.reply()[:9] for _ in range(2)], ["250 2.0.0", "250 2.0.0"])
            self.assertEqual(c.reply()[:3], "250")  # the NOOP behind the data
            for u in ("b", "c"):
                files = with_subject(self.inst, u, "pipelined")
                self.assertEqual(len(files), 1)
                with open(files[0], "rb") as f:
                    self.assertEqual(f.read(), b"Return-Path: <s@x>\r\nSubject: pipelined\r\nX: y\r\n\r\nbody\r\n.dot\r\n")
            # An overlong command line, a NUL: clear replies, and the
            # session goes on.
            self.assertEqual(c.cmd("NOOP " + "x" * 5000)[:9], "500 5.5.2")
            self.assertEqual(c.cmd("NO\0OP")[:9], "500 5.5.2")
            self.assertEqual(c.cmd("NOOP")[:3], "250")
            self.assertEqual(c.cmd("VRFY a")[:3], "252")
            self.assertEqual(c.cmd("MAIL FROM:<s@x> SIZE=300000")[:9], "552 5.3.4")
            self.assertEqual(c.cmd("MAIL FROM:<s@x>")[:3], "250")
            replies = [c.cmd(f"RCPT TO:<{u}@x>")[:9] for u in ("a", "b", "c", "d", "e", "f", "g")]
            self.assertEqual(replies, ["250 2.1.5"] * 6 + ["452 4.5.3"])
            self.assertEqual(c.cmd("RSET")[:3], "250")
            self.assertEqual(c.cmd("QUIT")[:3], "221")
            self.assertTrue(c.closed())
        finally:
            c.close()

    def test_refused_data_stores_nothing(self):
        c = self.server.raw()
        try:
            c.cmd("LHLO x")
            cases = [
                (b"Subject: big\r\n\r\n" + (b"y" * 998 + CRLF) * 250, "552 5.3.4"),  # over maxmessagesize
                (b"Subject: nul\r\n\r\na\0b\r\n", "554 5.6.0"),
                # A "." line ended by a bare LF: not the end, and refused.
                (b"Subject: smuggle\r\n\r\nx\r\n.\nMAIL FROM:<evil@x>\r\n", "554 5.6.0"),
            ]
            for data, want in cases:
                self.assertEqual(c.cmd("MAIL FROM:<s@x>")[:3], "250")
                self.assertEqual(c.cmd("RCPT TO:<d@x>")[:3], "250")
                self.assertEqual(c.cmd("RCPT TO:<e@x>")[:3], "250")
                self.assertEqual(c.cmd("DATA")[:3], "354")
                c.send(data + b".\r\n")
                self.assertEqual([c.reply()[:9] for _ in range(2)], [want, want], data[:20])
            self.assertEqual(c.cmd("NOOP")[:3], "250")
        finally:
            c.close()
        for s in ("big", "nul", "smuggle"):
            self.assertEqual(with_subject(self.inst, "d", s), [])

    def test_megabyte_line_memory_flat(self):
        c = self.server.raw()
        try:
            c.cmd("LHLO x")
            c.cmd("MAIL FROM:<s@x>")
            c.cmd("RCPT TO:<e@x>")
            self.assertEqual(c.cmd("DATA")[:3], "354")
            c.send(b"Subject: long\r\n\r\n")
            before = lib.rss_kb(self.server.proc.pid)
            chunk = b"z" * 65536
            for _ in range(16):  # 1 MB, no line end
                c.send(chunk)
            c.send(b"\r\n.\r\n")
            self.assertEqual(c.reply()[:9], "554 5.6.0")
            after = lib.rss_kb(self.server.proc.pid)
            self.assertLess(after - before, 512, f"RSS {before} -> {after} KiB")
            self.assertEqual(c.cmd("NOOP")[:3], "250")
        finally:
            c.close()
        self.assertEqual(with_subject(self.inst, "e", "long"), [])

    def test_client_killed_mid_data_leaves_nothing(self):
        before = quota_used(self.inst, "f")
        files_before = set(stored(self.inst, "f"))
        script = (
            "import socket, sys, time\n"
            "s = socket.socket(socket.AF_UNIX); s.settimeout(10); s.connect(sys.argv[1]); f = s.makefile('rb')\n"
            "def reply():\n"
            "    while True:\n"
            "        l = f.readline()\n"
            "        if l[3:4] != b'-': return l\n"
            "reply()\n"
            "for c in (b'LHLO x', b'MAIL FROM:<s@x>', b'RCPT TO:<f@x>', b'DATA'):\n"
            "    s.sendall(c + b'\\r\\n'); reply()\n"
            "s.sendall(b'Subject: killed\\r\\n\\r\\n' + b'partial line\\r\\n' * 5000)\n"
            "print('sent', flush=True)\n"
            "time.sleep(60)\n")
        p = subprocess.Popen([sys.executable, "-c", script, self.server.path], stdout=subprocess.PIPE)
        try:
            line = p.stdout.readline()
            self.assertEqual(line.strip(), b"sent")
        finally:
            p.kill()
            p.wait(timeout=TIMEOUT)
            p.stdout.close()
        # The server notices the end of the connection.
        lib.wait_until(lambda: "went away in the middle of its data" in self.server.log(), TIMEOUT,
                       "the server sees the client gone")
        self.assertEqual(set(stored(self.inst, "f")), files_before)
        self.assertEqual(quota_used(self.inst, "f"), before)
        self.check_clean("f")

    def test_silent_client_times_out(self):
        c = self.server.raw()
        try:
            c.cmd("LHLO x")
            c.cmd("MAIL FROM:<s@x>")
            c.cmd("RCPT TO:<g@x>")
            c.cmd("DATA")
            c.send(b"Subject: silent\r\n\r\nand then nothing")
            c.sock.settimeout(TIMEOUT * 2)
            self.assertEqual(c.reply()[:9], "421 4.4.2")  # after service.lmtp.timeout (3 s)
            self.assertTrue(c.closed())
        finally:
            c.close()
        self.assertEqual(with_subject(self.inst, "g", "silent"), [])


class NotReading(unittest.TestCase):
    def test_client_that_reads_no_replies_is_dropped(self):
        with lib.Instance(config={"service.lmtp.timeout": "2"}) as inst:
            inst.start_stored()
            server = Lmtpd(inst, env=lib.MEASURE_MEMORY_ENV).start()
            c = server.raw()
            try:
                # Commands until neither side's buffers take more: the
                # server stops reading while its replies are not read.
                c.sock.setblocking(False)
                sent = 0
                deadline = time.monotonic() + TIMEOUT
                while time.monotonic() < deadline:
                    try:
                        sent += c.sock.send(b"NOOP\r\n" * 1024)
                    except BlockingIOError:
                        break
                self.assertLess(time.monotonic(), deadline, "the server read everything")
                rss = lib.rss_kb(server.proc.pid)
                lib.wait_until(lambda: "not reading its replies" in server.log(), TIMEOUT * 2,
                               "the server drops the client")
                self.assertLess(lib.rss_kb(server.proc.pid) - rss, 1024)
                c.sock.settimeout(TIMEOUT)
                self.assertTrue(c.closed())
                self.assertLess(c.buf.count(b"\r\n"), sent // 6)  # not every NOOP was answered
            finally:
                c.close()
            self.assertEqual(server.stop(), 0)


class Inherited(unittest.TestCase):
    def test_inherited_tcp_listener(self):
        with lib.Instance() as inst:
            inst.start_stored()
            inst.create_user("t")
            sock = lib.listener()
            port = sock.getsockname()[1]
            server = Lmtpd(inst, inherit=sock).start()
            with smtplib.LMTP("127.0.0.1", port, timeout=TIMEOUT) as c:
                c.ehlo("x")
                rcpt, replies = transaction(c, ["t"], message("over tcp"))
            self.assertEqual([r[0] for r in replies], [250])
            self.assertEqual(len(with_subject(inst, "t", "over tcp")), 1)
            self.assertFalse(os.path.exists(server.path))  # no Unix socket with -d
            self.assertEqual(server.stop(), 0)


class Grace(unittest.TestCase):
    def test_over_quota_within_the_grace_period_is_temporary(self):
        with lib.Instance(config={"local.store.quotaoverdraft": "on"}) as inst:
            inst.start_stored()
            inst.create_user("q", "--quota", "1")
            inst.create_user("r")
            for _ in range(2):
                inst.deliver("q", "Subject: fill\n\n" + "x" * 700 + "\n")
            server = Lmtpd(inst).start()
            with server.lmtp() as c:
                c.ehlo("x")
                rcpt, replies = transaction(c, ["q", "r"], message("grace"))
            self.assertEqual(rcpt[0][0], 452)
            self.assertTrue(rcpt[0][1].startswith(b"4.2.2"), rcpt[0])
            self.assertEqual([r[0] for r in replies], [250])
            self.assertEqual(server.stop(), 0)
            self.assertFalse(os.path.exists(server.path))  # the socket goes with the server


class Crash(unittest.TestCase):
    def test_kill9_during_eight_clients_loses_no_acknowledged_message(self):
        with lib.Instance() as inst:
            inst.start_stored()
            users = [f"k{i}" for i in range(8)]
            for u in users:
                inst.create_user(u)
            server = Lmtpd(inst).start()
            acked = []
            lock = threading.Lock()
            stop = threading.Event()

            def client(i):
                n = 0
                try:
                    with server.lmtp() as c:
                        c.ehlo("x")
                        while not stop.is_set() and n < 200:
                            subject = f"c{i}-{n}"
                            rcpt, replies = transaction(c, [users[i], users[(i + 1) % 8]], message(subject))
                            for u, (code, _) in zip([users[i], users[(i + 1) % 8]], replies):
                                if code == 250:
                                    with lock:
                                        acked.append((u, subject))
                            n += 1
                except (OSError, smtplib.SMTPException, AssertionError):
                    pass  # the server died under us

            threads = [threading.Thread(target=client, args=(i,), daemon=True) for i in range(8)]
            for t in threads:
                t.start()
            lib.wait_until(lambda: len(acked) >= 40, 120, "40 acknowledged deliveries")
            server.proc.send_signal(signal.SIGKILL)
            server.proc.wait(timeout=lib.STOP_TIMEOUT)
            stop.set()
            for t in threads:
                t.join(timeout=TIMEOUT * 2)
                self.assertFalse(t.is_alive())
            with lock:
                got = list(acked)
            missing = [(u, s) for u, s in got if not with_subject(inst, u, s)]
            self.assertEqual(missing, [], f"{len(missing)} of {len(got)} acknowledged messages lost")
            # A server killed inside the database library makes the store
            # daemon rebuild its environment; it is not ready meanwhile.
            lib.wait_until(lambda: inst.adm("status", check=False).returncode == 0, 120,
                           "the store ready again after the kill")
            # A new server takes over the socket the dead one left; its
            # appends bring folders an append died in up to date, after
            # which every folder checks clean.
            server = Lmtpd(inst).start()
            with server.lmtp() as c:
                c.ehlo("x")
                rcpt, replies = transaction(c, users, message("after"))
                self.assertEqual([r[0] for r in replies], [250] * 8)
            for u in users:
                r = inst.adm("check", f"user/{u}", check=False)
                self.assertEqual(r.returncode, 0, r.out + r.stderr.decode(errors="replace"))
            self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    lib.run(600)
