#!/usr/bin/env python3
"""Logging in with a client certificate (SASL EXTERNAL): with
service.pop.sslclientauth on, a certificate from a CA the server's NSS
database trusts for client authentication names the user (its UID, else its
first e-mail address), on the TLS port and after STLS.  A certificate from
another CA, none at all, an authorization id naming someone else, and the
option off all leave EXTERNAL unusable, with the one failure answer.

Usage: test_external.py BUILD_DIR
"""

import base64
import os
import ssl
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import TIMEOUT, Instance, client_context, close_checked, have_tool, run_cmd  # noqa: E402

REALM = pop3lib.SASL_REALM
FAILED = "-ERR [AUTH] Authentication failed."
DELAY = 3.0


def make_instance(config):
    inst = Instance(config=dict({"service.defaultdomain": REALM}, **config), tls=True)
    try:
        inst.certs = os.path.join(inst.tmp, "client")
        run_cmd([os.path.join(os.path.dirname(os.path.abspath(__file__)), "make_client_certs.sh"), inst.certs,
                 inst.nssdb], timeout=60)
        pop3lib.add_sasl_users(inst, {"joe": "joe's pass", "ann": "ann's pass"})
        inst.start_stored()
        inst.create_user("joe")
        inst.create_user("ann")
        inst.deliver("joe", "Subject: one\n\nfor joe\n")
    except BaseException:
        inst.close()
        raise
    return inst


def context(inst, cert=None):
    """A client context trusting the server, presenting cert ("joe", "ann",
    "rogue") when given."""
    ctx = client_context(inst.ca)
    if cert:
        ctx.load_cert_chain(os.path.join(inst.certs, cert + ".pem"), os.path.join(inst.certs, cert + ".key"))
    return ctx


def sasl_line(caps):
    return next((c.split()[1:] for c in caps if c.startswith("SASL ")), [])


class Setup(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("saslpasswd2", "openssl", "certutil"):
            if not have_tool(tool):
                raise unittest.SkipTest(f"{tool} is not installed")


class SharedServer(Setup):
    """One instance and TLS server, made with the class's config, for all
    the tests of a class."""
    config = {}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.inst = make_instance(cls.config)
        cls.popd = cls.inst.popd(tls=True)

    @classmethod
    def tearDownClass(cls):
        close_checked(cls.inst, cls.popd)


class ClientCertificates(SharedServer):
    config = {"service.pop.sslclientauth": "on"}

    def test_tls_port_login_with_the_rfc_5034_exchanges(self):
        joe = context(self.inst, "joe")
        logins = len(self.popd.log_lines(r"login: .* joe external "))
        with self.popd.tls_client(joe) as c:
            c.greeting()
            self.assertIn("EXTERNAL", sasl_line(c.capa()))
            c.expect_after("AUTH", "+OK List of supported mechanisms follows")
            self.assertIn("EXTERNAL", c.multiline())
            # No initial response: an empty challenge, answered empty.
            c.expect_after("AUTH EXTERNAL", "+ ")
            c.expect_after("", "+OK Maildrop ready")
            c.send("STAT\r\n")
            c.expect_match(r"^\+OK 1 \d+$")
            c.quit()
        # "=" is the empty initial response; an authorization id equal to
        # the certificate's user is accepted too.
        for initial in ("=", base64.b64encode(b"joe").decode(), base64.b64encode(b"joe@example.com").decode()):
            with self.popd.tls_client(joe) as c:
                c.greeting()
                c.expect_after("AUTH EXTERNAL " + initial, "+OK Maildrop ready")
                c.quit()
        self.assertEqual(len(self.popd.log_lines(r"login: .* joe external ")) - logins, 4)

    def test_after_stls(self):
        with self.popd.client() as c:
            c.greeting()
            self.assertNotIn("EXTERNAL", sasl_line(c.capa()))
            c.starttls(context(self.inst, "joe"))
            self.assertIn("EXTERNAL", sasl_line(c.capa()))
            c.expect_after("AUTH EXTERNAL =", "+OK Maildrop ready")
            c.send("STAT\r\n")
            c.expect_match(r"^\+OK 1 \d+$")
            c.quit()

    def test_the_uid_names_the_user(self):
        # ann's certificate carries joe's address, but its UID decides.
        with self.popd.tls_client(context(self.inst, "ann")) as c:
            c.greeting()
            c.expect_after("AUTH EXTERNAL =", "+OK Maildrop ready")
            c.expect_after("STAT", "+OK 0 0")
            c.quit()
        self.assertTrue(self.popd.log_lines(r"login: .* ann external "))

    def test_resumed_sessions_check_the_certificate_again(self):
        # The handshake's hooks do not run when a session is resumed, and a
        # session whose certificate failed them was cached all the same.
        for cert, offered in (("rogue", False), ("joe", True)):
            ctx = context(self.inst, cert)
            ctx.maximum_version = ssl.TLSVersion.TLSv1_2  # resumed by session id
            with self.popd.tls_client(ctx) as c:
                c.greeting()
                session = c.sock.session
                c.quit()
            c = pop3lib.Client(self.popd.tls_port)
            with c:
                c.sock = ctx.wrap_socket(c.sock, server_hostname=c.server_hostname, session=session)
                c.greeting()
                self.assertTrue(c.sock.session_reused, cert)
                self.assertEqual("EXTERNAL" in sasl_line(c.capa()), offered, cert)
                c.expect_after("AUTH EXTERNAL =", "+OK Maildrop ready" if offered else FAILED)
                c.quit()

    def test_a_name_with_a_nul_inside_names_nobody(self):
        cert = nul_uid_certificate(self.inst)
        if cert is None:
            self.skipTest("Python's cryptography is not installed")
        with self.popd.tls_client(context(self.inst, cert)) as c:
            c.greeting()
            self.assertNotIn("EXTERNAL", sasl_line(c.capa()))
            self.assertEqual(c.cmd("AUTH EXTERNAL ="), FAILED)
            c.quit()

    def test_refusals_look_like_any_failed_login(self):
        other = base64.b64encode(b"ann").decode()
        cases = {
            # (client certificate, STLS instead of the TLS port, AUTH line)
            "another user's authorization id": ("joe", False, "AUTH EXTERNAL " + other),
            "certificate from another CA": ("rogue", False, "AUTH EXTERNAL ="),
            "another CA, after STLS": ("rogue", True, "AUTH EXTERNAL ="),
            "no certificate": (None, False, "AUTH EXTERNAL ="),
        }
        before = self.inst.stats()["numFailedLogins"]
        results = {}

        def attempt(name, cert, stls, line):
            try:
                ctx = context(self.inst, cert)
                c = self.popd.client() if stls else self.popd.tls_client(ctx)
                with c:
                    c.greeting()
                    if stls:
                        c.starttls(ctx)
                    offered = "EXTERNAL" in sasl_line(c.capa())
                    t0 = time.monotonic()
                    got = c.cmd(line)
                    results[name] = (offered, got, time.monotonic() - t0)
                    c.quit()
            except Exception as e:  # reported below
                results[name] = (None, repr(e), 0)

        threads = [threading.Thread(target=attempt, args=(name, *case)) for name, case in cases.items()]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIMEOUT * 2)
        for name in cases:
            offered, got, took = results.get(name, (None, "no result", 0))
            self.assertEqual(got, FAILED, name)
            self.assertGreaterEqual(took, DELAY - 0.1, name)
            # Only the good certificate of the first case offers EXTERNAL.
            self.assertEqual(offered, name == "another user's authorization id", name)
        self.assertEqual(self.inst.stats()["numFailedLogins"] - before, len(cases))
        self.assertEqual(len(self.popd.log_lines(r"Bad certificate from .*: errno -\d+ ")), 2)


def nul_uid_certificate(inst):
    """A certificate the trusted CA signed whose UID is "joe", a NUL, then more:
    its holder is not joe.  None when Python's cryptography is missing."""
    try:
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
    except ImportError:
        return None
    import datetime
    with open(os.path.join(inst.certs, "client-ca.pem"), "rb") as f:
        ca = x509.load_pem_x509_certificate(f.read())
    with open(os.path.join(inst.certs, "client-ca.key"), "rb") as f:
        ca_key = serialization.load_pem_private_key(f.read(), None)
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.USER_ID, "joe\x00.evil"),
                                     x509.NameAttribute(NameOID.COMMON_NAME, "Evil")]))
            .issuer_name(ca.subject).public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=False)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CLIENT_AUTH]), critical=False)
            .sign(ca_key, hashes.SHA256()))
    with open(os.path.join(inst.certs, "nul.pem"), "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(os.path.join(inst.certs, "nul.key"), "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    return "nul"


class Off(SharedServer):
    """Without service.pop.sslclientauth no certificate is asked for, and
    EXTERNAL is refused even when the mechanism list names it."""
    config = {"sasl.pop.mech_list": "EXTERNAL SCRAM-SHA-256 PLAIN"}

    def test_not_offered_nor_startable(self):
        with self.popd.tls_client(context(self.inst, "joe")) as c:
            c.greeting()
            self.assertEqual(sasl_line(c.capa()), ["SCRAM-SHA-256", "PLAIN"])
            c.expect_after("AUTH", "+OK List of supported mechanisms follows")
            self.assertNotIn("EXTERNAL", c.multiline())
            t0 = time.monotonic()
            c.expect_after("AUTH EXTERNAL =", FAILED)
            self.assertGreaterEqual(time.monotonic() - t0, DELAY - 0.1)
            c.quit()

    @unittest.skipUnless(have_tool("openssl"), "openssl is not installed")
    def test_no_certificate_requested(self):
        def handshake(popd):
            p = run_cmd(["openssl", "s_client", "-connect", f"127.0.0.1:{popd.tls_port}", "-CAfile", self.inst.ca,
                         "-tls1_2", "-cert", os.path.join(self.inst.certs, "joe.pem"),
                         "-key", os.path.join(self.inst.certs, "joe.key")], check=False, input=b"QUIT\r\n")
            return p.stdout.decode(errors="replace")
        out = handshake(self.popd)
        self.assertIn("Verification: OK", out)
        self.assertNotIn("Client Certificate Types", out)
        # The same probe sees the request where the option is on.
        inst = make_instance({"service.pop.sslclientauth": "on"})
        try:
            popd = inst.popd(tls=True)
            self.assertIn("Client Certificate Types", handshake(popd))
            self.assertEqual(popd.stop(), 0)
        finally:
            inst.close()


class TlsPortOff(Setup):
    """STLS sessions map certificates too when the TLS port is not open."""

    def test_stls_with_a_certificate(self):
        inst = make_instance({"service.pop.sslclientauth": "on", "service.pop.enablesslport": "off"})
        try:
            popd = inst.popd(tls=False)
            with popd.client() as c:
                c.greeting()
                c.starttls(context(inst, "joe"))
                self.assertIn("EXTERNAL", sasl_line(c.capa()))
                c.expect_after("AUTH EXTERNAL =", "+OK Maildrop ready")
                c.quit()
            self.assertEqual(popd.stop(), 0)
            self.assertEqual(popd.sanitizer_reports(), [])
        finally:
            inst.close()


if __name__ == "__main__":
    pop3lib.run(280)
