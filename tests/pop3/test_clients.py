#!/usr/bin/env python3
"""Real POP3 clients against orvpopd: mpop (SCRAM over STLS and on the TLS
port, keep then delete), curl (AUTH PLAIN and LOGIN, LIST and RETR by
number) and fetchmail (USER/PASS over STLS, APOP) each fetch a corpus
delivered with orvdeliver, and what each hands over equals the stored
message (plus CRLF where it lacked one).  A client that is not installed
makes its test skip.

Usage: test_clients.py BUILD_DIR
"""

import os
import re
import shlex
import sys
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Fail, Instance, TIMEOUT, have_tool  # noqa: E402

REALM = pop3lib.SASL_REALM
PASSWORD = "s3cret pass"
CLIENT_TIMEOUT = 60   # one client run, the whole corpus

# Delivered as given; each is a way a transfer or a client goes wrong.
CORPUS = [
    b"Subject: plain\n\nHello.\n",
    b"Subject: dots\n\n.leading dot\n..two dots\n.\nmiddle\n.\n...\n",
    b"Subject: no final newline\n\nlast line without one",
    b"Subject: bare cr\n\nbefore\rafter\nx\r.y\n\r\n.\r\n",
    b"Subject: 8bit\nContent-Type: text/plain; charset=latin1\n\ncaf\xe9 \xff\xfe\x80\n",
    b"Subject: ends in a dot line\n\nbody\n.",
    b"Subject: only a dot\n\n.",
    b"X: empty lines\n\n\n\n",
    b"Subject: longest line\n\n." + b"w" * 997 + b"\n",    # 998 octets, the limit of a mail line
    b"From sender@example.com Mon Dec  7 08:00:00 2026\r\nSubject: crlf\r\n\r\nalready CRLF\r\n.\r\n",
    # About 1 MB; every third line starts with a dot.
    b"Subject: big\n\n" + b"".join(b"." * (i % 3 == 0) + b"%07d " % i + b"y" * 70 + b"\n" for i in range(13000)),
]


def canonical(raw):
    """The stored form of a delivered message, by the delivery rules: a
    leading "From " line dropped, every LF not after a CR made CRLF."""
    if raw.startswith(b"From "):
        raw = raw[raw.index(b"\n") + 1:]
    return re.sub(rb"(?<!\r)\n", b"\r\n", raw)


def fetched(raw):
    """What a client hands over: the stored message, with CRLF added when it
    lacks a final one."""
    c = canonical(raw)
    return c if c.endswith(b"\r\n") else c + b"\r\n"


def write_private(path, text):
    """A client's configuration: both fetchmail and mpop refuse a file others
    can read."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(text)


def q(s):
    """s in double quotes for an mpop or fetchmail configuration file."""
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def needs(tool):
    return unittest.skipUnless(have_tool(tool), f"{tool} is not installed")


class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool, package in (("saslpasswd2", "sasl2-bin"), ("certutil", "libnss3-tools")):
            if not have_tool(tool):
                raise unittest.SkipTest(f"{tool} ({package}) is not installed")

    def setUp(self):
        self.inst = Instance(config={"service.defaultdomain": REALM}, tls=True)
        pop3lib.add_sasl_users(self.inst, {"joe": PASSWORD})
        self.inst.start_stored()
        self.inst.create_user("joe")
        for m in CORPUS:
            self.inst.deliver("joe", m)
        self.popd = None

    def tearDown(self):
        try:
            if self.popd is not None:
                self.assertEqual(self.popd.stop(), 0)
                self.assertEqual(self.popd.sanitizer_reports(), [])
        finally:
            self.inst.close()

    def start(self, **config):
        for k, v in config.items():
            self.inst.set(k, v)
        self.popd = self.inst.popd(tls=True)
        return self.popd

    def dir(self, name):
        d = os.path.join(self.inst.tmp, "client-" + name)
        os.makedirs(d)
        return d

    def run_client(self, argv, env=None):
        """A client run under its time-out; its output when it succeeds."""
        r = pop3lib.run_cmd(argv, timeout=CLIENT_TIMEOUT, check=False, env=env)
        if r.returncode != 0:
            raise Fail(f"{argv[0]}: status {r.returncode}\n{r.stdout.decode(errors='replace')[-3000:]}"
                       f"{r.stderr.decode(errors='replace')[-3000:]}\nserver log:\n{self.popd.log()[-3000:]}")
        return r

    def inbox(self):
        """(octets, messages) of joe's INBOX, from orvadm."""
        m = re.search(r"(\d+) bytes of .*?(\d+) of .*? messages", self.inst.adm("quota", "show", "user/joe").out)
        if not m:
            raise Fail("no usage in orvadm quota show")
        return int(m.group(1)), int(m.group(2))

    @staticmethod
    def read_files(directory, names):
        out = []
        for name in names:
            with open(os.path.join(directory, name), "rb") as f:
                out.append(f.read())
        return out

    def assert_corpus(self, messages):
        """messages (bytes, in the order fetched) are the corpus unchanged."""
        self.assertEqual(len(messages), len(CORPUS))
        for n, (got, raw) in enumerate(zip(messages, CORPUS), 1):
            self.assertEqual(got, fetched(raw), f"message {n}")

    def assert_logged_in(self, mechanism, count=1, tls=True):
        """The server's log names the mechanism of count logins, each over TLS
        (or each in clear)."""
        how = r"TLSv1\.[23] " if tls else "plaintext$"
        lines = self.popd.log_lines(rf"login: \S+ joe {re.escape(mechanism)} {how}")
        self.assertEqual(len(lines), count, self.popd.log_lines(r"login: "))

    def assert_inbox_empty(self):
        self.assertEqual(self.inbox(), (0, 0))
        r = self.inst.adm("check", "user/joe", check=False)
        self.assertEqual(r.returncode, 0, r.out)

    # -- mpop --

    def mpop(self, mechanism, port, starttls, password_line, out, keep):
        """mpop with a throw-away configuration; messages delivered to out,
        an "Exchange pickup" directory, where mpop keeps them byte for byte
        with CRLF line ends (its maildir and mbox deliveries make them LF)."""
        conf = os.path.join(self.inst.tmp, "mpoprc")
        write_private(conf, "\n".join([
            "account test",
            "host 127.0.0.1",
            f"port {port}",
            "tls on",
            f"tls_starttls {'on' if starttls else 'off'}",
            f"tls_trust_file {self.inst.ca}",
            f"auth {mechanism}",
            "user joe",
            password_line,
            "received_header off",
            f"uidls_file {os.path.join(self.inst.tmp, 'mpop-uidls')}",
            "",
        ]))
        self.run_client(["mpop", "-C", conf, "-q", f"--keep={'on' if keep else 'off'}",
                         f"--delivery=exchange,{out}", "test"])
        # Named ...Q<n>-<host>.eml with n counting up in delivery order.
        files = sorted(os.listdir(out), key=lambda f: int(re.search(r"Q(\d+)", f).group(1)))
        return self.read_files(out, files)

    @needs("mpop")
    def test_mpop_scram_sha256_over_stls_keeps_then_deletes(self):
        popd = self.start()
        usage = self.inbox()
        self.assertEqual(usage, (sum(len(canonical(m)) for m in CORPUS), len(CORPUS)))
        # Keep: everything fetched, nothing removed.
        got = self.mpop("scram-sha-256", popd.port, True, f"password {q(PASSWORD)}", self.dir("keep"), keep=True)
        self.assert_corpus(got)
        self.assertEqual(self.inbox(), usage)
        # Delete: the messages fetched before (their UIDLs recorded) are
        # not fetched again but removed at QUIT.
        again = self.mpop("scram-sha-256", popd.port, True, f"password {q(PASSWORD)}", self.dir("delete"), keep=False)
        self.assertEqual(again, [])
        self.assert_inbox_empty()
        self.assert_logged_in("scram-sha-256", 2)

    @needs("mpop")
    def test_mpop_scram_sha1_on_the_tls_port(self):
        popd = self.start()
        pw_file = os.path.join(self.inst.tmp, "pw")
        write_private(pw_file, PASSWORD)
        got = self.mpop("scram-sha-1", popd.tls_port, False, f"passwordeval cat {pw_file}", self.dir("out"),
                        keep=False)
        self.assert_corpus(got)
        self.assert_inbox_empty()
        self.assert_logged_in("scram-sha-1")

    # -- curl --

    def curl(self, url, mechanism, *extra):
        return ["curl", "--silent", "--show-error", "--max-time", str(CLIENT_TIMEOUT), "--cacert", self.inst.ca,
                "--user", f"joe:{PASSWORD}", "--login-options", f"AUTH={mechanism}", *extra, url]

    def curl_retr_all(self, base, mechanism, out, *extra):
        """RETR of every message by number, in one curl run (one connection
        after another or reused: either is fine)."""
        argv = self.curl(f"{base}/1", mechanism, *extra)[:-1]
        paths = []
        for n in range(1, len(CORPUS) + 1):
            paths.append(os.path.join(out, str(n)))
            argv += [f"{base}/{n}", "--output", paths[-1]]
        self.run_client(argv)
        return self.read_files(out, paths)

    @needs("curl")
    def test_curl_plain_over_stls_and_login_on_the_tls_port(self):
        popd = self.start()
        base = f"pop3://localhost:{popd.port}"
        # LIST: numbers and sizes of the stored messages.
        r = self.run_client(self.curl(base + "/", "PLAIN", "--ssl-reqd"))
        self.assertEqual(r.stdout.decode().splitlines(),
                         [f"{n} {len(canonical(m))}" for n, m in enumerate(CORPUS, 1)])
        self.assert_corpus(self.curl_retr_all(base, "PLAIN", self.dir("stls"), "--ssl-reqd"))
        tls_base = f"pop3s://localhost:{popd.tls_port}"
        self.assert_corpus(self.curl_retr_all(tls_base, "LOGIN", self.dir("tls")))
        # curl may reuse one connection for several URLs: at least one
        # login each way, and every one over TLS.
        logins = self.popd.log_lines(r"login: ")
        self.assertTrue(all(re.search(r" joe (plain|login) TLSv1\.[23] ", x) for x in logins), logins)
        self.assertTrue(any(" joe plain " in x for x in logins), logins)
        self.assertTrue(any(" joe login " in x for x in logins), logins)
        # Nothing was deleted.
        self.assertEqual(self.inbox()[1], len(CORPUS))

    # -- fetchmail --

    def fetchmail(self, protocol, auth, tls=True):
        """fetchmail in download-and-delete mode, over STLS when tls, each
        message handed to an mda that writes it to the next numbered
        file."""
        home = self.dir("fetchmail")
        out = self.dir("fetched")
        rc = os.path.join(home, "fetchmailrc")
        # fetchmail runs the mda through the shell, one message at a time:
        # the count of files already there numbers the next one.
        mda = f"cat > {shlex.quote(out)}/$(ls {shlex.quote(out)} | wc -l)"
        write_private(rc, "\n".join([
            "set no bouncemail",
            "set no syslog",
            f"poll 127.0.0.1 with proto {protocol} port {self.popd.port} {auth}",
            f"  user \"joe\" there with password {q(PASSWORD)} is \"joe\" here",
            f"  sslproto tls1.2+ sslcertck sslcertfile {q(self.inst.ca)} sslcommonname localhost" if tls else "",
            # no stripcr: CRLF reaches the mda as sent; no rewrite: headers
            # untouched.
            f"  fetchall no keep no rewrite no stripcr mda {q(mda)}",
            "",
        ]))
        env = dict(os.environ, HOME=home)
        self.run_client(["fetchmail", "-f", rc, "--nodetach", "--invisible", "--pidfile", os.path.join(home, "pid"),
                         "--idfile", os.path.join(home, "ids")], env=env)
        files = sorted(os.listdir(out), key=int)
        return self.read_files(out, files)

    @needs("fetchmail")
    def test_fetchmail_user_pass_over_stls(self):
        self.start()
        self.assert_corpus(self.fetchmail("pop3", "auth password"))
        self.assert_inbox_empty()
        self.assert_logged_in("plaintext")

    @needs("fetchmail")
    def test_fetchmail_apop(self):
        # APOP sends no password, and fetchmail asks for no capabilities
        # with it, so no STLS either: a connection in clear.
        self.start(**{"sasl.default.ldap.has_plain_passwords": "on"})
        self.assert_corpus(self.fetchmail("apop", "", tls=False))
        self.assert_inbox_empty()
        self.assert_logged_in("apop", tls=False)


if __name__ == "__main__":
    pop3lib.run(170)
