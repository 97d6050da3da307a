#!/usr/bin/env python3
"""End-to-end tests of orvdaaci against a private slapd.

Run by CTest as "e2e.py TestClass" with ORVDAACI set to the program; the
directory comes from scripts/test-slapd on a free loopback port and is
stopped and removed whatever happens.

Expected output is built here from tests/daaci/template.ldif (the listed
generic template) by replacing its placeholders, and its base64 lines by
this file's own LDIF encoder: nothing is taken from the program under test.
"""

import base64
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TEST_SLAPD = os.path.join(ROOT, "scripts", "test-slapd")
TEMPLATE = os.path.join(HERE, "template.ldif")
ORVDAACI = os.environ.get("ORVDAACI", "")
TIMEOUT = 60  # seconds any one program may take

USAGE = (b"orvdaaci -D AdminDN -w password -b DC_suffix [-h LDAP_host] [-p LDAP_port] [-o OSI_suffix]\n"
         b"options:\n"
         b"\t-D AdminDN     : bind DN (required)\n"
         b"\t-w password    : bind password (required)\n"
         b"\t-b DC suffix   : DC tree root suffix (required)\n"
         b"\t-h ldaphost    : ldap server (default: localhost)\n"
         b"\t-p ldapport    : ldap port (default: 389)\n"
         b"\t-o OSI suffix  : OSI tree root suffix\n")


# ---------------------------------------------------------------- LDIF model

def b64(data):
    return base64.b64encode(data).decode("ascii")


def read_template():
    with open(TEMPLATE, "rb") as f:
        return f.read()


def template_records():
    """The six records of the generic template, in their listed order."""
    text = read_template()
    recs = [r + b"\n\n" for r in text.split(b"\n\n")[:-1]]
    assert b"".join(recs) == text and len(recs) == 6, "template.ldif is not six records"
    names = ["srvadmingrp", "osibaseaci", "dcbaseaci", "domadmingrp", "orgnodeaci", "dcnodeaci"]
    return dict(zip(names, recs))


def safe_value(value):
    """RFC 2849 SAFE-STRING, and no trailing space."""
    if not value:
        return True
    if value[0] in b" :<" or value.endswith(b" "):
        return False
    return all(c not in (0, 10, 13) and c < 128 for c in value)


def fill(record, subs):
    """Replaces placeholders; a line holding a name is base64 when unsafe."""
    out = []
    for line in record.split(b"\n")[:-1]:
        holds = any(p in line for p in subs)
        for placeholder, value in subs.items():
            line = line.replace(placeholder, value)
        if holds:
            name, value = line.split(b": ", 1)
            if not safe_value(value):
                line = name + b":: " + b64(value).encode()
        out.append(line + b"\n")
    return b"".join(out)


def expected_ldif(dc_root, osi_root, domains):
    """What a run must print: domains is [(entry DN, [org node, ...]), ...]."""
    recs = template_records()
    roots = {b"<DCRoot>": dc_root, b"<OrgRoot>": osi_root}
    out = fill(recs["srvadmingrp"], roots) + fill(recs["dcbaseaci"], roots)
    if dc_root.lower() != osi_root.lower():
        out += fill(recs["osibaseaci"], roots)
    for dn, orgs in domains:
        for org in orgs:
            nodes = {b"<DCNodeDN>": dn, b"<OrgNodeDN>": org}
            out += fill(recs["dcnodeaci"], nodes) + fill(recs["domadmingrp"], nodes) + \
                fill(recs["orgnodeaci"], nodes)
        out += b"\n"
    return out


def expected_changes(dc_root, osi_root, domains):
    """What "ldapmodify -n" reports for expected_ldif()."""
    def add(dn):
        return b'!adding new entry "' + dn + b'"\n\n'

    def modify(dn):
        return b'!modifying entry "' + dn + b'"\n\n'

    out = add(b"cn=Service Administrators,ou=Groups," + osi_root) + modify(dc_root)
    if dc_root.lower() != osi_root.lower():
        out += modify(osi_root)
    for dn, orgs in domains:
        for org in orgs:
            out += modify(dn) + add(b"cn=Domain Administrators,ou=Groups," + org) + modify(org)
    return out


def parse_ldif(text):
    """Entries of unwrapped LDIF (ldapsearch -LLL -o ldif-wrap=no) as
    [(dn, [(attribute, value), ...]), ...] with values as bytes."""
    entries = []
    for block in text.split(b"\n\n"):
        attrs = []
        for line in block.split(b"\n"):
            if not line:
                continue
            name, sep, value = line.partition(b": ")
            if name.endswith(b":"):
                name, value = name[:-1], base64.b64decode(value)
            assert sep, "unparsable LDIF line %r" % line
            attrs.append((name.decode(), value))
        if attrs:
            assert attrs[0][0] == "dn"
            entries.append((attrs[0][1], attrs[1:]))
    return entries


# ---------------------------------------------------------------- harness

def run(args, stdin=None):
    return subprocess.run(args, input=stdin, capture_output=True, timeout=TIMEOUT)


def orvdaaci(*args):
    return run([ORVDAACI] + list(args))


def ldapmodify_dry_run(ldif):
    proc = run(["ldapmodify", "-n"], stdin=ldif)
    return proc


class Slapd:
    """A private slapd in a temporary directory (scripts/test-slapd)."""

    def __init__(self, *suffixes):
        self.dir = tempfile.mkdtemp(prefix="orvdaaci-e2e.")
        try:
            proc = run([TEST_SLAPD, "start", self.dir] + list(suffixes))
            if proc.returncode != 0:
                raise RuntimeError("test-slapd start failed: " + proc.stderr.decode(errors="replace"))
        except BaseException:
            self.close()
            raise
        with open(os.path.join(self.dir, "url")) as f:
            self.url = f.read().strip()
        with open(os.path.join(self.dir, "port")) as f:
            self.port = f.read().strip()
        with open(os.path.join(self.dir, "rootdn")) as f:
            self.rootdn = f.read()
        with open(os.path.join(self.dir, "rootpw")) as f:
            self.rootpw = f.read()

    def load(self, ldif):
        path = os.path.join(self.dir, "load.ldif")
        with open(path, "wb") as f:
            f.write(ldif)
        proc = run([TEST_SLAPD, "load", self.dir, path])
        if proc.returncode != 0:
            raise RuntimeError("loading failed: " + proc.stderr.decode(errors="replace"))

    def domains(self, base):
        """The inetDomain entries as another client sees them, in order."""
        proc = run(["ldapsearch", "-x", "-H", self.url, "-b", base, "-s", "sub", "-LLL",
                    "-o", "ldif-wrap=no", "(objectclass=inetdomain)", "inetDomainBaseDN"])
        if proc.returncode != 0:
            raise RuntimeError("ldapsearch failed: " + proc.stderr.decode(errors="replace"))
        return [(dn, [v for n, v in attrs if n.lower() == "inetdomainbasedn"])
                for dn, attrs in parse_ldif(proc.stdout)]

    def orvdaaci(self, *args, password=None):
        return orvdaaci("-h", "127.0.0.1", "-p", self.port, "-D", self.rootdn,
                        "-w", self.rootpw if password is None else password, *args)

    def close(self):
        pidfile = os.path.join(self.dir, "slapd.pid")
        pid = None
        if os.path.exists(pidfile):
            with open(pidfile) as f:
                pid = f.read().strip()
        run([TEST_SLAPD, "stop", self.dir])
        if pid and os.path.exists("/proc/" + pid + "/cmdline"):
            with open("/proc/" + pid + "/cmdline", "rb") as f:
                assert self.dir.encode() not in f.read(), "slapd still running after stop"
        shutil.rmtree(self.dir, ignore_errors=True)


def entry(dn, *attrs):
    """One LDIF entry; dn and values are str and written base64 when needed."""
    def line(name, value):
        data = value.encode()
        if safe_value(data):
            return name.encode() + b": " + data + b"\n"
        return name.encode() + b":: " + b64(data).encode() + b"\n"
    out = line("dn", dn)
    for name, value in attrs:
        out += line(name, value)
    return out + b"\n"


def org(dn, name, *extra):
    return entry(dn, ("objectClass", "organization"), ("o", name), *extra)


def dc_domain(dn, dc, *base_dns):
    return entry(dn, ("objectClass", "domain"), ("objectClass", "inetDomain"), ("dc", dc),
                 *[("inetDomainBaseDN", b) for b in base_dns])


class SlapdTestCase(unittest.TestCase):
    suffixes = ()

    def setUp(self):
        self.assertTrue(ORVDAACI and os.access(ORVDAACI, os.X_OK), "set ORVDAACI to the program")
        self.slapd = Slapd(*self.suffixes)
        self.addCleanup(self.slapd.close)

    def check_run(self, dc_root, osi_root, want_domains, *args, emitted=None, warnings=b""):
        # The directory must hold what this test meant to load, in this order.
        self.assertEqual(self.slapd.domains(dc_root.decode()), want_domains)
        # What the LDIF covers: the domains with their organization nodes
        # below the OSI root (all of them unless the test says otherwise).
        if emitted is None:
            emitted = want_domains
        proc = self.slapd.orvdaaci(*args)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stderr, warnings)
        self.assertEqual(proc.stdout, expected_ldif(dc_root, osi_root, emitted))
        dry = ldapmodify_dry_run(proc.stdout)
        self.assertEqual(dry.returncode, 0, dry.stderr)
        self.assertEqual(dry.stdout, expected_changes(dc_root, osi_root, emitted))
        return proc


# ---------------------------------------------------------------- tests

class Offline(unittest.TestCase):
    """What needs no directory."""

    def setUp(self):
        self.assertTrue(ORVDAACI and os.access(ORVDAACI, os.X_OK), "set ORVDAACI to the program")

    def test_template_is_listed_text(self):
        for args in (["-d"], ["-D", "cn=x", "-d", "-b", "o=y"], ["-p", "nonsense", "-d"]):
            proc = orvdaaci(*args)
            self.assertEqual(proc.returncode, 0)
            self.assertEqual(proc.stderr, b"")
            self.assertEqual(proc.stdout, read_template(), args)
        dry = ldapmodify_dry_run(read_template())
        self.assertEqual(dry.returncode, 0, dry.stderr)

    def test_usage_when_required_missing(self):
        for args in ([], ["-w", "pw", "-b", "o=x"], ["-D", "cn=a", "-b", "o=x"],
                     ["-D", "cn=a", "-w", "pw"], ["-D", "cn=a", "-w", "pw", "-b"]):
            proc = orvdaaci(*args)
            self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, USAGE, b""), args)

    def test_unusable_options(self):
        for args in (["-p", "0"], ["-p", "389x"], ["-h", "host name"], ["-h", "host:389"]):
            proc = orvdaaci("-D", "cn=a", "-w", "pw", "-b", "o=x", *args)
            self.assertEqual(proc.returncode, 1, args)
            self.assertEqual(proc.stdout, b"")
            self.assertNotEqual(proc.stderr, b"")

    def test_unreachable_server(self):
        with socket.socket() as s:  # a port that nothing listens on
            s.bind(("127.0.0.1", 0))
            port = str(s.getsockname()[1])
        proc = orvdaaci("-h", "127.0.0.1", "-p", port, "-D", "cn=a", "-w", "pw", "-b", "o=x")
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stdout, b"")
        self.assertIn(b"Unable to authenticate to directory", proc.stderr)


SINGLE_TREE = (
    org("o=isp", "isp")
    + entry("dc=com,o=isp", ("objectClass", "domain"), ("dc", "com"))
    + dc_domain("dc=siroe,dc=com,o=isp", "siroe", "o=siroe.com,o=isp", "o=siroe2.com,o=isp")
    + dc_domain("dc=varrius,dc=com,o=isp", "varrius", "o=varrius.com,o=isp")
    + dc_domain("dc=nobase,dc=com,o=isp", "nobase")
    + org("o=siroe.com,o=isp", "siroe.com")
    + org("o=varrius.com,o=isp", "varrius.com")
    # Not a hosted domain: must not show up.
    + entry("dc=plain,dc=com,o=isp", ("objectClass", "domain"), ("dc", "plain"))
)
SINGLE_DOMAINS = [
    (b"dc=siroe,dc=com,o=isp", [b"o=siroe.com,o=isp", b"o=siroe2.com,o=isp"]),
    (b"dc=varrius,dc=com,o=isp", [b"o=varrius.com,o=isp"]),
    (b"dc=nobase,dc=com,o=isp", []),
]


class SingleRooted(SlapdTestCase):
    suffixes = ("o=isp",)

    def setUp(self):
        super().setUp()
        self.slapd.load(SINGLE_TREE)

    def test_without_osi_suffix(self):
        self.check_run(b"o=isp", b"o=isp", SINGLE_DOMAINS, "-b", "o=isp")

    def test_osi_suffix_differing_in_case_only(self):
        proc = self.check_run(b"o=isp", b"O=ISP", SINGLE_DOMAINS, "-b", "o=isp", "-o", "O=ISP")
        self.assertNotIn(b"dn: O=ISP\n", proc.stdout)  # no OSI root ACIs

    def test_search_below_the_root(self):
        # The organization nodes lie under o=isp, outside the single root
        # dc=com,o=isp: each is skipped with a warning, the domains remain.
        warnings = b"".join(
            b'orvdaaci: domain "%s": skipping inetDomainBaseDN "%s", which is not below "dc=com,o=isp"\n'
            % (dn, org) for dn, orgs in SINGLE_DOMAINS for org in orgs)
        self.check_run(b"dc=com,o=isp", b"dc=com,o=isp", SINGLE_DOMAINS, "-b", "dc=com,o=isp",
                       emitted=[(dn, []) for dn, _ in SINGLE_DOMAINS], warnings=warnings)

    def test_wrong_password(self):
        proc = self.slapd.orvdaaci("-b", "o=isp", password="wrong")
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stdout, b"")
        self.assertTrue(proc.stderr.startswith(b"Unable to authenticate to directory: "), proc.stderr)

    def test_missing_search_base(self):
        for base in ("o=nowhere", "dc=missing,dc=com,o=isp"):
            proc = self.slapd.orvdaaci("-b", base)
            self.assertEqual(proc.returncode, 1)
            self.assertEqual(proc.stdout, b"")
            self.assertTrue(proc.stderr.startswith(b"Invalid search base: "), proc.stderr)


DUAL_TREE = (
    org("o=internet", "internet")
    + org("o=isp", "isp")
    + entry("dc=com,o=internet", ("objectClass", "domain"), ("dc", "com"))
    + dc_domain("dc=siroe,dc=com,o=internet", "siroe", "o=siroe.com,o=isp")
    + dc_domain("dc=sesta,dc=com,o=internet", "sesta", "o=sesta.com,o=isp",
                "o=sesta\\2C Inc.,o=isp")
    + org("o=siroe.com,o=isp", "siroe.com")
    # An inetDomain entry in the OSI tree is outside the search.
    + entry("dc=stray,o=isp", ("objectClass", "domain"), ("objectClass", "inetDomain"),
            ("dc", "stray"), ("inetDomainBaseDN", "o=stray,o=isp"))
)
DUAL_DOMAINS = [
    (b"dc=siroe,dc=com,o=internet", [b"o=siroe.com,o=isp"]),
    (b"dc=sesta,dc=com,o=internet", [b"o=sesta.com,o=isp", b"o=sesta\\2C Inc.,o=isp"]),
]


class DualRooted(SlapdTestCase):
    suffixes = ("o=internet", "o=isp")

    def test_dual_rooted_tree(self):
        self.slapd.load(DUAL_TREE)
        proc = self.check_run(b"o=internet", b"o=isp", DUAL_DOMAINS,
                              "-b", "o=internet", "-o", "o=isp")
        self.assertIn(b"\n\ndn: o=isp\nchangetype: modify\n", proc.stdout)

    def test_base_dn_outside_the_osi_tree_is_skipped(self):
        # Whoever can write a domain's inetDomainBaseDN must not be able to
        # aim the generated ACIs at the DC root, an administrator entry or
        # the OSI root itself.
        self.slapd.load(org("o=internet", "internet") + org("o=isp", "isp")
                        + entry("dc=com,o=internet", ("objectClass", "domain"), ("dc", "com"))
                        + dc_domain("dc=siroe,dc=com,o=internet", "siroe", "o=siroe.com,o=isp",
                                    "o=internet", "cn=Directory Manager,o=internet", "o=isp"))
        domains = [(b"dc=siroe,dc=com,o=internet",
                    [b"o=siroe.com,o=isp", b"o=internet", b"cn=Directory Manager,o=internet", b"o=isp"])]
        warnings = b"".join(
            b'orvdaaci: domain "dc=siroe,dc=com,o=internet": skipping inetDomainBaseDN "%s", '
            b'which is not below "o=isp"\n' % org for org in domains[0][1][1:])
        proc = self.check_run(b"o=internet", b"o=isp", domains, "-b", "o=internet", "-o", "o=isp",
                              emitted=[(domains[0][0], [b"o=siroe.com,o=isp"])], warnings=warnings)
        self.assertNotIn(b"dn: cn=Directory Manager,o=internet", proc.stdout)


# Names an attacker who can write directory entries might choose.  The
# server keeps line breaks and UTF-8 in DNs, so the LDIF must encode them.
EVIL_BASE = "o=a\nchangetype: delete,o=isp"
EVIL_TREE = (
    org("o=isp", "isp")
    + entry("dc=com,o=isp", ("objectClass", "domain"), ("dc", "com"))
    + entry("o=x\ndn: o=evil,dc=com,o=isp", ("objectClass", "organization"),
            ("objectClass", "inetDomain"), ("o", "x\ndn: o=evil"),
            ("inetDomainBaseDN", EVIL_BASE), ("inetDomainBaseDN", "o=bücher,o=isp"))
    + entry("o=bücher,dc=com,o=isp", ("objectClass", "organization"),
            ("objectClass", "inetDomain"), ("o", "bücher"),
            ("inetDomainBaseDN", 'o=Acme\\2C \\22Quoted\\22,o=isp'))
)


class UnsafeNames(SlapdTestCase):
    suffixes = ("o=isp",)

    def test_directory_data_cannot_inject_ldif(self):
        self.slapd.load(EVIL_TREE)
        domains = self.slapd.domains("o=isp")
        # Guard the test's premise: the server hands the names back as stored.
        self.assertEqual(len(domains), 2)
        self.assertIn(b"\n", domains[0][0])
        self.assertEqual(domains[0][1], [EVIL_BASE.encode(), "o=bücher,o=isp".encode()])
        proc = self.check_run(b"o=isp", b"o=isp", domains, "-b", "o=isp")
        self.assertNotIn(b"\nchangetype: delete", proc.stdout)
        self.assertIn(b"\ndn:: " + b64(EVIL_BASE.encode()).encode() + b"\n", proc.stdout)
        # Safe names, commas and quotes included, stay readable text.
        self.assertIn(b"\ndn: " + domains[1][1][0] + b"\n", proc.stdout)

    def test_unsafe_suffix_from_command_line(self):
        self.slapd.load(org("o=isp", "isp"))
        # A dual-rooted run whose OSI suffix ends in a space.
        proc = self.check_run(b"o=isp", b"o=osi ", [], "-b", "o=isp", "-o", "o=osi ")
        self.assertIn(b"\ndn:: " + b64(b"o=osi ").encode() + b"\n", proc.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
