#!/usr/bin/env python3
"""Admission of POP3 clients: the session limit over all processes, the
per-address limits counted across processes, the allow and deny filters
with their refusal texts and log lines and their refresh, and XREFRESH,
which only loopback clients may use (127.0.0.1, ::1, and 127.0.0.1 as an
IPv4-mapped peer of an IPv6 listener).

Clients take different addresses of 127.0.0.0/8 by binding their source
address.  A non-loopback peer needs an address that is not loopback: the
file runs in a network namespace of its own for that (when unshare is
permitted; otherwise that one test skips).

Usage: test_limits.py BUILD_DIR
"""

import contextlib
import os
import signal
import socket
import sys
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Client, Fail, Instance, TIMEOUT, wait_until  # noqa: E402

TOO_MANY = "Too many connections"
IP_LIMIT = "Connection limit reached for your IP address"
DENIED = "Access denied"


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class Admission(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Instance()
        cls.inst.start_stored()

    @classmethod
    def tearDownClass(cls):
        cls.inst.close()

    @contextlib.contextmanager
    def serve(self, processes=None, popd=None, **settings):
        """orvpopd (with the Popd options popd) under these settings (keys
        with "__" for dots), stopped cleanly at the end, settings undone."""
        settings = {k.replace("__", "."): v for k, v in settings.items()}
        saved = {k: self.inst.settings.get(k) for k in settings}
        for k, v in settings.items():
            self.inst.set(k, v)
        popd = self.inst.popd(**(popd or {}))
        try:
            if processes:
                popd.wait_processes(processes)
            yield popd
            self.assertEqual(popd.sanitizer_reports(), [])
            self.assertEqual(popd.stop(), 0)
        finally:
            popd.kill()
            for k, v in saved.items():
                self.inst.set(k, v)

    def admitted(self, popd, source="127.0.0.1"):
        c = popd.client(source=source)
        c.greeting()
        return c

    def refused(self, popd, text, source="127.0.0.1"):
        with popd.client(source=source) as c:
            c.expect("-ERR " + text)
            c.expect_eof()

    def refused_eventually(self, popd, text, source):
        """Refused with text once a refresh has taken effect."""
        def attempt():
            with popd.client(source=source) as c:
                line = c.line()
                if line == "-ERR " + text:
                    c.expect_eof()
                    return True
                return False
        wait_until(attempt, TIMEOUT, f"a client from {source} refused with {text!r}")

    def admitted_eventually(self, popd, source="127.0.0.1"):
        """A session from source once the server has released a finished
        one (the release follows the last answer of that session)."""
        def attempt():
            c = popd.client(source=source)
            if c.line().startswith("+OK"):
                return c
            c.close()
            return None
        return wait_until(attempt, TIMEOUT, f"a session from {source} admitted again")

    def test_two_processes_with_one_session_each_refuse_the_third(self):
        with self.serve(processes=2, service__pop__numprocesses="2", service__pop__maxsessions="1") as popd:
            c1 = self.admitted(popd)
            c2 = self.admitted(popd)
            self.refused(popd, TOO_MANY)
            popd.wait_log(r"connection rejected: " + TOO_MANY)
            c1.quit()
            c3 = self.admitted_eventually(popd)
            self.refused(popd, TOO_MANY)
            for c in (c2, c3):
                c.quit()

    def test_per_address_limit_is_counted_across_processes(self):
        # One session per process: the second client of 127.0.0.1 can only
        # land in the other process, whose own count is zero.
        with self.serve(processes=2, service__pop__numprocesses="2", service__pop__maxsessions="1",
                        service__pop__connlimits="127.0.0.1:1") as popd:
            c1 = self.admitted(popd)
            self.refused(popd, IP_LIMIT)
            lines = popd.wait_log(r"connection rejected: " + IP_LIMIT)
            self.assertIn("127.0.0.1", lines[0])
            c2 = self.admitted(popd, "127.0.0.2")
            c1.quit()
            c3 = self.admitted_eventually(popd)
            for c in (c2, c3):
                c.quit()

    def test_first_matching_limit_rule_wins_and_zero_is_unlimited(self):
        with self.serve(service__pop__connlimits="127.0.0.3:2, 127.0.0.0/8:0, *:1") as popd:
            held = [self.admitted(popd, "127.0.0.3") for _ in range(2)]
            self.refused(popd, IP_LIMIT, "127.0.0.3")
            held += [self.admitted(popd, "127.0.0.4") for _ in range(4)]
            for c in held:
                c.quit()

    def test_deny_and_allow_filters(self):
        with self.serve(service__pop__domainnotallowed="127.0.0.2") as popd:
            self.refused(popd, DENIED, "127.0.0.2")
            lines = popd.wait_log(r"connection rejected: " + DENIED)
            self.assertIn("127.0.0.2", lines[0])
            self.admitted(popd, "127.0.0.1").quit()
        with self.serve(service__pop__domainallowed="127.0.0.1, 127.0.0.4/32") as popd:
            self.refused(popd, DENIED, "127.0.0.3")
            self.admitted(popd, "127.0.0.4").quit()
            self.admitted(popd, "127.0.0.1").quit()
        # Deny wins over allow.
        with self.serve(service__pop__domainallowed="127.0.0.0/8",
                        service__pop__domainnotallowed="127.0.0.5") as popd:
            self.refused(popd, DENIED, "127.0.0.5")
            self.admitted(popd, "127.0.0.6").quit()

    def test_filters_are_refreshed_by_sighup_and_xrefresh(self):
        with self.serve(service__pop__domainnotallowed="127.0.0.2") as popd:
            self.refused(popd, DENIED, "127.0.0.2")
            self.inst.set("service.pop.domainnotallowed", "127.0.0.3")
            popd.signal(signal.SIGHUP, all_processes=True)
            self.admitted_eventually(popd, "127.0.0.2").quit()
            self.refused(popd, DENIED, "127.0.0.3")
            self.inst.set("service.pop.domainnotallowed", "127.0.0.4")
            with self.admitted(popd) as c:
                c.expect_after("XREFRESH", "+OK")
                self.refused_eventually(popd, DENIED, "127.0.0.4")
                self.admitted_eventually(popd, "127.0.0.3").quit()
                c.quit()
            # An invalid list is reported.
            self.inst.set("service.pop.domainnotallowed", "127.0.0.300")
            popd.signal(signal.SIGHUP, all_processes=True)
            popd.wait_log(r"invalid service\.pop\.domainnotallowed filter")

    def test_xrefresh_from_loopback(self):
        with self.serve() as popd:
            with self.admitted(popd) as c:
                c.expect_after("XREFRESH", "+OK")
                c.expect_after("xrefresh", "+OK")
                c.quit()

    def test_loopback_over_ipv6_and_as_a_mapped_ipv4_peer(self):
        if not ipv6_loopback():
            self.skipTest("no IPv6 loopback")
        with self.serve(popd={"host": "::1"}) as popd:
            with popd.client() as c:
                c.greeting()
                c.expect_after("XREFRESH", "+OK")
                c.quit()
        # An IPv6 listener sees IPv4 clients as ::ffff:a.b.c.d: still
        # loopback, limited and logged as the IPv4 address.
        with self.serve(popd={"host": "::ffff:127.0.0.1"}, service__pop__connlimits="127.0.0.1:1") as popd:
            with Client(popd.port, host="127.0.0.1") as c:
                c.greeting()
                c.expect_after("XREFRESH", "+OK")
                with Client(popd.port, host="127.0.0.1") as second:
                    second.expect("-ERR " + IP_LIMIT)
                    second.expect_eof()
                line = popd.wait_log(r"connection rejected: " + IP_LIMIT)[0]
                self.assertIn("127.0.0.1", line)
                self.assertNotIn("::ffff:", line)
                c.quit()

    def test_xrefresh_from_elsewhere_is_refused(self):
        addr = pop3lib.NETNS_ADDRESS
        if addr is None:
            self.skipTest("a non-loopback peer needs a private network namespace (unshare)")
        # Listening on every address is safe here: the namespace has no
        # interface but loopback.
        with self.serve(popd={"host": "0.0.0.0"}) as popd:
            with Client(popd.port, host=addr, source=addr) as c:
                c.greeting()
                c.expect_after("XREFRESH", "-ERR invalid client address")
                c.capa()
                c.quit()
            with Client(popd.port, host="127.0.0.1") as c:
                c.greeting()
                c.expect_after("XREFRESH", "+OK")
                c.quit()


if __name__ == "__main__":
    pop3lib.enter_private_network()
    pop3lib.run(280)
