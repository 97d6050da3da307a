#!/usr/bin/env python3
"""POP3 logins against the users-and-groups directory (a private slapd): the
password is checked by binding as the user's entry, the first login makes
the INBOX from the entry (partition, quotas, welcome message), a user of
another mail host has no maildrop here and gets nothing made, a user the
mailbox list lost waits for its rebuild instead of getting a new account, and a
directory that is down is a temporary failure.

Usage: test_login_directory.py BUILD_DIR
"""

import os
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Fail, Instance, TIMEOUT, have_tool  # noqa: E402

FAILED = "-ERR [AUTH] Authentication failed."

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SLAPD = os.path.join(TESTS, "..", "scripts", "test-slapd")
# The example.com domain tree, users under o=example,o=isp, and these users.
with open(os.path.join(TESTS, "directory_base.ldif")) as _f:
    LDIF = _f.read() + """
dn: uid=joe,o=example,o=isp
objectClass: inetOrgPerson
objectClass: corvaneMailUser
uid: joe
cn: Joe
sn: Joe
userPassword: joe pass
mail: joe@example.com
mailhost: pop.test
mailmessagestore: /var/store/Second/
mailquota: 2M
mailmsgquota: 50

dn: uid=ann,o=example,o=isp
objectClass: inetOrgPerson
objectClass: corvaneMailUser
uid: ann
cn: Ann
sn: Ann
userPassword: ann pass
mailhost: pop.test

dn: uid=far,o=example,o=isp
objectClass: inetOrgPerson
objectClass: corvaneMailUser
uid: far
cn: Far
sn: Far
userPassword: far pass
mailhost: mail.elsewhere.net
"""


def slapd(*args):
    p = subprocess.run([SLAPD, *args], capture_output=True, timeout=TIMEOUT * 3)
    if p.returncode != 0:
        raise Fail(f"test-slapd {args[0]}: {p.stderr.decode(errors='replace')}")
    return p.stdout.decode()


class DirectoryLogin(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not (os.access("/usr/sbin/slapd", os.X_OK) and have_tool("ldapadd")):
            raise unittest.SkipTest("slapd or ldap-utils missing")

    def setUp(self):
        self.inst = Instance()
        self.ldap = os.path.join(self.inst.tmp, "ldap")
        os.mkdir(self.ldap)
        slapd("start", self.ldap, "o=internet", "o=isp")
        self.slapd_up = True
        with open(os.path.join(self.ldap, "dir.ldif"), "w") as f:
            f.write(LDIF)
        slapd("load", self.ldap, os.path.join(self.ldap, "dir.ldif"))
        with open(os.path.join(self.ldap, "port")) as f:
            port = f.read().strip()
        for k, v in {
            "local.ugldaphost": "127.0.0.1", "local.ugldapport": port,
            "local.ugldapconnecttimeout": "5", "local.ugldaptimeout": "5",
            "service.dcroot": "o=internet", "service.defaultdomain": "example.com",
            "gen.newuserforms": "Subject: Welcome$$Your mailbox is ready.$",
        }.items():
            self.inst.set(k, v, write=False)
        self.inst.write_config()
        self.inst.start_stored()

    def tearDown(self):
        try:
            if self.slapd_up:
                slapd("stop", self.ldap)
        finally:
            self.inst.close()

    def login(self, popd, user, password):
        with popd.client(timeout=TIMEOUT * 2) as c:
            c.greeting()
            c.expect_after("USER " + user, "+OK Name is a valid mailbox")
            got = c.cmd("PASS " + password)
            stat = c.cmd("STAT") if got.startswith("+OK") else None
            c.quit()
        return got, stat

    def folder(self, name):
        return self.inst.adm("folder", "show", name, check=False)

    def test_first_login_makes_the_account_from_the_entry(self):
        popd = self.inst.popd()
        self.assertNotEqual(self.folder("user/joe").returncode, 0)
        got, stat = self.login(popd, "joe", "joe pass")
        self.assertEqual(got, "+OK Maildrop ready")
        self.assertRegex(stat, r"^\+OK 1 \d+$")  # the welcome message
        show = self.folder("user/joe")
        self.assertEqual(show.returncode, 0)
        self.assertRegex(show.out, r"(?m)^partition: *second$")
        self.assertRegex(self.inst.adm("quota", "show", "user/joe").out, r"of 2048 KB, .* of 50 messages")
        # The second login finds it and adds nothing.
        self.assertEqual(self.login(popd, "joe@example.com", "joe pass"), ("+OK Maildrop ready", stat))
        # A wrong password is the same failure as anywhere else.
        self.assertEqual(self.login(popd, "joe", "wrong")[0], FAILED)
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_other_mail_host_and_directory_down(self):
        popd = self.inst.popd()
        got, _ = self.login(popd, "far", "far pass")
        self.assertEqual(got, "-ERR [SYS/PERM] User has no maildrop")
        self.assertNotEqual(self.folder("user/far").returncode, 0)
        slapd("stop", self.ldap)
        self.slapd_up = False
        t0 = time.monotonic()
        got, _ = self.login(popd, "ann", "ann pass")
        self.assertEqual(got, "-ERR [SYS/TEMP] Temporary authentication failure.")
        self.assertLess(time.monotonic() - t0, TIMEOUT * 2)
        self.assertNotEqual(self.folder("user/ann").returncode, 0)
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])

    def test_a_user_the_mailbox_list_lost_waits_for_the_rebuild(self):
        popd = self.inst.popd()
        got, stat = self.login(popd, "joe", "joe pass")
        self.assertRegex(stat, r"^\+OK 1 \d+$")  # the welcome message
        self.inst.deliver("joe", "Subject: kept\n\nbody\n")
        drop = os.path.join(pop3lib.BUILD_DIR, "tests", "drop_records")
        subprocess.run([drop, "user/joe"], check=True, env=self.inst.env, timeout=TIMEOUT * 3)
        # The list forgot him, his mail is on disk: no new account over it.
        got, _ = self.login(popd, "joe", "joe pass")
        self.assertEqual(got, "-ERR [SYS/TEMP] Unable to read maildrop")
        self.assertNotEqual(self.folder("user/joe").returncode, 0)
        self.inst.adm("reconstruct", "-m")
        got, stat = self.login(popd, "joe", "joe pass")
        self.assertEqual(got, "+OK Maildrop ready")
        self.assertRegex(stat, r"^\+OK 2 \d+$")
        self.assertEqual(popd.stop(), 0)
        self.assertEqual(popd.sanitizer_reports(), [])


if __name__ == "__main__":
    pop3lib.run(280)
