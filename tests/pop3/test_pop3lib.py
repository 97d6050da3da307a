#!/usr/bin/env python3
"""The POP3 test module itself, without the POP3 server: a store instance
starts and stops, users and mail are made; the server machinery (sockets
handed over by descriptor, waiting for ready, SIGTERM, the process tree,
the client's line rules) runs against a small stand-in server written here.

Usage: test_pop3lib.py BUILD_DIR
"""

import os
import signal
import socket
import sys
import tempfile
import textwrap
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3lib  # noqa: E402
from pop3lib import Fail, Instance  # noqa: E402

# A stand-in orvpopd: serves the inherited plain socket, writes the state
# file, greets, answers CAPA and QUIT, sends an overlong line for "LONG", and
# on SIGTERM tells the open session it shuts down.  With -k it starts one
# child process that does nothing but wait.
STAND_IN = textwrap.dedent(r'''
    #!/usr/bin/env python3
    import os, re, signal, socket, sys, time
    args = sys.argv[1:]
    fd = int(args[args.index("-d") + 1])
    if "-k" in args and os.fork() == 0:
        signal.pause()
        os._exit(0)
    conf = open(os.environ["ORV_CONFIG"]).read()
    store = re.search(r"^local.store.dir = (.*)$", conf, re.M).group(1)
    os.makedirs(store + "/session", exist_ok=True)
    ls = socket.socket(fileno=fd)
    open(store + "/session/popd.state", "w").write("ready %d\n" % os.getpid())
    print("stand-in starting up", file=sys.stderr, flush=True)
    conns = []
    def term(*_):
        for c in conns:
            try:
                c.sendall(b"-ERR Server shutting down\r\n")
            except OSError:
                pass
        os._exit(0)
    signal.signal(signal.SIGTERM, term)
    while True:
        c, _ = ls.accept()
        conns.append(c)
        c.sendall(b"+OK pop.test POP3 service (Corvane 0.1 (built today)) <1.2.abc@pop.test>\r\n")
        f = c.makefile("rb")
        for line in f:
            cmd = line.strip().upper()
            if cmd == b"CAPA":
                c.sendall(b"+OK list follows\r\nTOP\r\n..dot\r\n.\r\n")
            elif cmd == b"LONG":
                c.sendall(b"-ERR " + b"x" * 510 + b"\r\n")
            elif cmd == b"WAIT":
                pass
            elif cmd == b"QUIT":
                c.sendall(b"+OK\r\n")
                f.close()
                c.close()
                conns.remove(c)
                break
            else:
                c.sendall(b"-ERR Unrecognized command\r\n")
''').lstrip()


class StoreInstance(unittest.TestCase):
    def test_store_users_mail_and_config(self):
        with Instance(config={"service.pop.banner": "x"}) as inst:
            inst.start_stored()
            self.assertTrue(pop3lib.pid_alive(inst.stored_pid))
            inst.create_user("joe")
            inst.deliver("joe", "Subject: one\n\nbody\n")
            inst.deliver("joe", b"Subject: two\r\n\r\nbody\r\n")
            self.assertRegex(inst.adm("folder", "show", "user/joe").out, r"messages:\s+2\b")
            inst.set("service.pop.banner", None)
            text = Instance.read(inst.conf)
            self.assertNotIn("banner", text)
            self.assertIn("local.log.target = stderr", text)
            self.assertFalse(os.path.exists(inst.conf + ".new"))
            pid = inst.stored_pid
            inst.stop_stored()
            self.assertFalse(pop3lib.pid_alive(pid))
            tmp = inst.tmp
        self.assertFalse(os.path.exists(tmp))

    def test_stats_parser(self):
        text = "currentStartTime: 1700000000\nnumConnections  12\npopstat.numCurrentConnections = 0\n"
        self.assertEqual(pop3lib.parse_stats(text),
                         {"currentStartTime": 1700000000, "numConnections": 12, "numCurrentConnections": 0})


class ServerMachinery(unittest.TestCase):
    """The Popd and Client helpers against the stand-in."""

    def setUp(self):
        self.real_build = pop3lib.BUILD_DIR
        self.fake = tempfile.mkdtemp(prefix="orv-pop3lib-")
        os.makedirs(os.path.join(self.fake, "pop"))
        path = os.path.join(self.fake, "pop", "orvpopd")
        with open(path, "w") as f:
            f.write(STAND_IN.replace("/usr/bin/env python3", sys.executable, 1))
        os.chmod(path, 0o755)
        for name in ("orvadm", "orvstored", "orvdeliver"):
            os.symlink(pop3lib.program(name), os.path.join(self.fake, name))
        pop3lib.BUILD_DIR = self.fake
        self.inst = Instance()

    def tearDown(self):
        self.inst.close()
        pop3lib.BUILD_DIR = self.real_build
        import shutil
        shutil.rmtree(self.fake)

    def test_session_and_sigterm(self):
        popd = self.inst.popd(args=["-k"])
        self.assertEqual(len(popd.wait_processes(2)), 2)
        self.assertEqual(len(popd.slaves()), 1)
        with popd.client() as c:
            m = c.greeting()
            self.assertRegex(m.group("banner"), pop3lib.DEFAULT_BANNER_RE)
            self.assertEqual(m.group("challenge"), "<1.2.abc@pop.test>")
            self.assertEqual(c.capa(), ["TOP", ".dot"])
            self.assertEqual(c.cmd("nope"), "-ERR Unrecognized command")
            c.quit()
        popd.wait_log("stand-in starting up")
        other = popd.client()
        other.greeting()
        other.send("WAIT\r\n")
        self.assertTrue(other.silent_for(0.2))
        slave = popd.slaves()[0]
        os.kill(slave, signal.SIGKILL)
        self.assertEqual(popd.stop(), 0)
        other.expect("-ERR Server shutting down")
        other.expect_eof()
        other.close()

    def test_client_line_rules(self):
        popd = self.inst.popd()
        with popd.client() as c:
            c.greeting()
            c.send("LONG\r\n")
            with self.assertRaisesRegex(Fail, "response line of 517 octets"):
                c.line()
            with self.assertRaisesRegex(Fail, "expected 'x', got"):
                c.expect_after("HELLO", "x")
            c.send("QUIT\r\n")
            with self.assertRaisesRegex(Fail, "expected the end"):
                c.expect_eof()
        popd.kill()
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", popd.port), timeout=5)

    def test_a_server_that_dies_while_starting_fails_fast(self):
        popd = pop3lib.Popd(self.inst, plain=False)
        with self.assertRaisesRegex(Fail, "ended with status"):
            popd.start()


if __name__ == "__main__":
    pop3lib.run(300)
