#!/usr/bin/env python3
"""TLS of the POP3 server: CAPA on each port and before and after STLS,
STLS refused where it must be, plain text pipelined behind STLS never
executed, and the protocol floor: TLS 1.0 and 1.1 refused, 1.2 and 1.3
accepted, checked with Python's ssl and, when installed, openssl s_client,
tstclnt, curl and gnutls-cli.

Usage: test_tls.py BUILD_DIR
"""

import os
import ssl
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Fail, Instance, client_context, close_checked, have_tool, run_cmd  # noqa: E402

# Capabilities every session lists, whatever the state and port.
ALWAYS = {"TOP", "PIPELINING", "UIDL", "RESP-CODES", "AUTH-RESP-CODE"}
OLD = [ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1]
CURRENT = [ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3]
NAMES = {ssl.TLSVersion.TLSv1: "TLSv1", ssl.TLSVersion.TLSv1_1: "TLSv1.1",
         ssl.TLSVersion.TLSv1_2: "TLSv1.2", ssl.TLSVersion.TLSv1_3: "TLSv1.3"}


def check_capa(test, caps, stls):
    test.assertEqual(len(caps), len(set(caps)), caps)
    test.assertTrue(ALWAYS <= set(caps), caps)
    test.assertEqual("STLS" in caps, stls, caps)
    for c in caps:
        test.assertEqual(c, c.strip(), caps)


class Tls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Instance(tls=True)
        cls.inst.start_stored()
        cls.popd = cls.inst.popd(tls=True)
        cls.ctx = client_context(cls.inst.ca)

    @classmethod
    def tearDownClass(cls):
        close_checked(cls.inst, cls.popd)

    def tearDown(self):
        # Whatever a test did to its sessions, the server still serves.
        with self.popd.client() as c:
            c.greeting()
            c.quit()

    # -- CAPA and STLS --

    def test_capa_on_the_plain_port_offers_stls_until_tls_is_active(self):
        with self.popd.client() as c:
            c.greeting()
            check_capa(self, c.capa(), stls=True)
            c.starttls(self.ctx)
            check_capa(self, c.capa(), stls=False)
            c.quit()

    def test_capa_on_the_tls_port_has_no_stls(self):
        with self.popd.tls_client(self.ctx) as c:
            c.greeting()
            check_capa(self, c.capa(), stls=False)
            c.quit()

    def test_stls_is_refused_once_tls_is_active(self):
        with self.popd.client() as c:
            c.greeting()
            c.starttls(self.ctx)
            c.expect_after("STLS", "-ERR SSL handshake already complete")
            c.expect_after("STLS", "-ERR SSL handshake already complete")
            check_capa(self, c.capa(), stls=False)
            c.quit()
        with self.popd.tls_client(self.ctx) as c:
            c.greeting()
            c.expect_after("STLS", "-ERR SSL handshake already complete")
            c.capa()
            c.quit()

    def test_stls_with_an_argument_starts_nothing(self):
        with self.popd.client() as c:
            c.greeting()
            c.expect_after("STLS now", "-ERR Unexpected extra argument")
            check_capa(self, c.capa(), stls=True)
            c.starttls(self.ctx)
            c.quit()

    def test_text_pipelined_behind_stls_is_discarded(self):
        # The injected CAPA must get no answer, neither in clear (the
        # handshake would fail) nor over TLS (the first answer there would be
        # its list instead of the marker's error).
        with self.popd.client() as c:
            c.greeting()
            c.send("STLS\r\nCAPA\r\n")
            c.expect("+OK")
            c.tls_after_ok(self.ctx)
            c.expect_after("XMARK", "-ERR Unrecognized command")
            self.assertTrue(c.silent_for(0.3), c.pending())
            c.quit()
        # An injected USER must not hold over TLS: a PASS then has no user.
        with self.popd.client() as c:
            c.greeting()
            c.send("STLS\r\nUSER a\r\n")
            c.expect("+OK")
            c.tls_after_ok(self.ctx)
            c.expect_after("CAPA", "+OK list follows")
            c.multiline()
            self.assertIn(c.cmd("PASS b"), ("-ERR Must give USER command", "-ERR Unrecognized command"))
            c.quit()

    def test_without_tls_configured_there_is_no_stls(self):
        with Instance() as plain:
            plain.start_stored()
            popd = plain.popd()
            with popd.client() as c:
                c.greeting()
                check_capa(self, c.capa(), stls=False)
                c.expect_after("STLS", "-ERR Unrecognized command")
                c.quit()
            self.assertEqual(popd.stop(), 0)

    # -- the protocol floor, Python's ssl --

    def session_over(self, ctx, implicit):
        """A session that reaches TLS with ctx; returns the protocol."""
        if implicit:
            c = self.popd.tls_client(ctx)
            c.greeting()
        else:
            c = self.popd.client()
            c.greeting()
            c.starttls(ctx)
        with c:
            version = c.tls_version()
            c.capa()
            c.quit()
        return version

    def test_python_tls_1_2_and_1_3_are_accepted(self):
        for implicit in (False, True):
            for v in CURRENT:
                with self.subTest(implicit=implicit, version=NAMES[v]):
                    ctx = client_context(self.inst.ca, minimum=v, maximum=v)
                    self.assertEqual(self.session_over(ctx, implicit), NAMES[v])

    def test_python_tls_1_0_and_1_1_are_refused(self):
        for implicit in (False, True):
            for v in OLD:
                with self.subTest(implicit=implicit, version=NAMES[v]):
                    ctx = client_context(self.inst.ca, minimum=v, maximum=v, seclevel0=True)
                    with self.assertRaises(ssl.SSLError) as e:
                        self.session_over(ctx, implicit)
                    # Refused by the server, not by our own client.
                    self.assertNotIn("NO_PROTOCOLS_AVAILABLE", str(e.exception))
                    self.assertNotIn("NO_CIPHERS_AVAILABLE", str(e.exception))

    # -- the protocol floor, other TLS stacks --

    def s_client(self, version_flag, implicit):
        port = self.popd.tls_port if implicit else self.popd.port
        argv = ["openssl", "s_client", "-connect", f"127.0.0.1:{port}", "-servername", "localhost",
                "-CAfile", self.inst.ca, "-verify_return_error", "-verify_hostname", "localhost",
                "-brief", "-cipher", "DEFAULT@SECLEVEL=0", version_flag]
        if not implicit:
            argv += ["-starttls", "pop3"]
        r = run_cmd(argv, check=False, input=b"", timeout=30)
        return r.returncode, (r.stdout + r.stderr).decode(errors="replace")

    def test_openssl_s_client(self):
        if not have_tool("openssl"):
            self.skipTest("no openssl")
        for implicit in (False, True):
            for flag, name in (("-tls1_2", "TLSv1.2"), ("-tls1_3", "TLSv1.3")):
                with self.subTest(implicit=implicit, version=name):
                    rc, out = self.s_client(flag, implicit)
                    self.assertEqual(rc, 0, out)
                    self.assertIn(f"Protocol version: {name}", out)
            for flag in ("-tls1", "-tls1_1"):
                with self.subTest(implicit=implicit, version=flag):
                    rc, out = self.s_client(flag, implicit)
                    self.assertNotEqual(rc, 0, out)
                    self.assertNotIn("CONNECTION ESTABLISHED", out)
                    self.assertNotIn("no protocols available", out)

    def test_tstclnt(self):
        if not have_tool("tstclnt") or not have_tool("certutil"):
            self.skipTest("no tstclnt")
        db = os.path.join(self.inst.tmp, "clientdb")
        if not os.path.isdir(db):
            os.mkdir(db)
            run_cmd(["certutil", "-N", "-d", "sql:" + db, "--empty-password"])

        def tstclnt(versions):
            return run_cmd(["tstclnt", "-h", "127.0.0.1", "-p", str(self.popd.tls_port), "-d", "sql:" + db,
                            "-o", "-Q", "-V", versions], check=False, input=b"", timeout=30)
        for versions in ("tls1.2:tls1.2", "tls1.3:tls1.3"):
            with self.subTest(versions=versions):
                r = tstclnt(versions)
                self.assertEqual(r.returncode, 0, r.stderr)
        r = tstclnt("tls1.0:tls1.1")
        self.assertNotEqual(r.returncode, 0, r.stdout + r.stderr)

    def curl(self, implicit, *args):
        port = self.popd.tls_port if implicit else self.popd.port
        url = f"pop3s://localhost:{port}/" if implicit else f"pop3://localhost:{port}/"
        argv = ["curl", "-sv", "--max-time", "20", "--cacert", self.inst.ca,
                "--resolve", f"localhost:{port}:127.0.0.1", *args, url]
        if not implicit:
            argv.insert(1, "--ssl-reqd")
        r = run_cmd(argv, check=False, timeout=30)
        return r.returncode, r.stderr.decode(errors="replace")

    def test_curl(self):
        if not have_tool("curl"):
            self.skipTest("no curl")
        for implicit in (False, True):
            for args, name in ((["--tlsv1.2", "--tls-max", "1.2"], "TLSv1.2"), (["--tlsv1.3"], "TLSv1.3")):
                with self.subTest(implicit=implicit, version=name):
                    _, err = self.curl(implicit, *args)
                    self.assertIn(f"SSL connection using {name}", err)
            with self.subTest(implicit=implicit, version="TLSv1.1"):
                rc, err = self.curl(implicit, "--tlsv1.1", "--tls-max", "1.1", "--ciphers", "DEFAULT@SECLEVEL=0")
                self.assertNotEqual(rc, 0, err)
                self.assertNotIn("SSL connection using", err)
                self.assertNotIn("no protocols available", err)

    def test_gnutls_cli(self):
        if not have_tool("gnutls-cli"):
            self.skipTest("no gnutls-cli")

        def gnutls(implicit, version):
            port = self.popd.tls_port if implicit else self.popd.port
            argv = ["gnutls-cli", "--x509cafile", self.inst.ca, "--port", str(port),
                    "--priority", f"NORMAL:-VERS-ALL:+VERS-{version}"]
            if not implicit:
                argv.append("--starttls-proto=pop3")
            argv.append("localhost")
            try:
                r = subprocess.run(argv, input=b"QUIT\r\n", capture_output=True, timeout=30)
            except subprocess.TimeoutExpired as e:
                raise Fail(f"gnutls-cli {version}: no end") from e
            return (r.stdout + r.stderr).decode(errors="replace")
        for implicit in (False, True):
            for version in ("TLS1.2", "TLS1.3"):
                with self.subTest(implicit=implicit, version=version):
                    self.assertIn("Handshake was completed", gnutls(implicit, version))
            with self.subTest(implicit=implicit, version="TLS1.1"):
                self.assertNotIn("Handshake was completed", gnutls(implicit, "TLS1.1"))


if __name__ == "__main__":
    pop3lib.require_tools("certutil")
    pop3lib.run(280)
