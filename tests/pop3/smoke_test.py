#!/usr/bin/env python3
"""Quick end-to-end check of orvpopd: a store instance with orvstored, the
server on a listening socket this script made (-d), then the greeting, CAPA,
QUIT, and SIGTERM with a session open (it is told, the server exits 0).

Usage: smoke_test.py BINDIR ORVPOPD
BINDIR holds orvstored.  Standard library only; every wait is bounded.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

TIMEOUT = 30


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def wait_for(cond, what, timeout=TIMEOUT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def read_line(f):
    line = f.readline()
    if not line.endswith(b"\r\n"):
        fail("incomplete response line %r" % line)
    return line.decode()


def main():
    bindir, popd = sys.argv[1], sys.argv[2]
    tmp = tempfile.mkdtemp(prefix="popsmoke.")
    conf = os.path.join(tmp, "c.conf")
    with open(conf, "w") as f:
        f.write("local.store.dir = %s/store\n" % tmp)
        f.write("store.partition.primary.path = %s/p1\n" % tmp)
        f.write("local.log.target = stderr\n")
        f.write("local.hostname = mail.example.com\n")
    env = dict(os.environ, ORV_CONFIG=conf)
    stored_pid = None
    server = None
    try:
        subprocess.run([os.path.join(bindir, "orvstored")], env=env, check=True, timeout=TIMEOUT)
        with open(os.path.join(tmp, "store/session/stored.state")) as f:
            stored_pid = int(f.read().split()[1])

        lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        lsock.bind(("127.0.0.1", 0))
        lsock.listen(16)
        port = lsock.getsockname()[1]
        log = open(os.path.join(tmp, "popd.log"), "wb")
        server = subprocess.Popen([popd, "-d", str(lsock.fileno())], env=env, pass_fds=[lsock.fileno()],
                                  stdout=log, stderr=log)
        lsock.close()
        state = os.path.join(tmp, "store/session/popd.state")

        def ready():
            if server.poll() is not None:
                fail("orvpopd exited with %d" % server.returncode)
            try:
                with open(state) as f:
                    return f.read().startswith("ready %d" % server.pid)
            except OSError:
                return False

        wait_for(ready, "orvpopd to be ready")

        c = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        f = c.makefile("rb")
        greeting = read_line(f)
        if not re.fullmatch(r"\+OK mail\.example\.com POP3 service \(Corvane [^\r\n]+\)\r\n", greeting):
            fail("greeting %r" % greeting)
        c.sendall(b"capa\r\n")
        lines = []
        while True:
            line = read_line(f)
            lines.append(line.rstrip("\r\n"))
            if line == ".\r\n":
                break
        want = ["+OK list follows", "SASL SCRAM-SHA-256 SCRAM-SHA-1 PLAIN LOGIN", "USER", "TOP", "PIPELINING", "UIDL", "RESP-CODES", "AUTH-RESP-CODE", "."]
        if lines != want:
            fail("CAPA gave %r" % lines)
        c.sendall(b"QUIT\r\n")
        if read_line(f) != "+OK\r\n":
            fail("QUIT not answered +OK")
        if f.read() != b"":
            fail("connection not closed after QUIT")
        c.close()

        # A session open when the service stops is told so.
        c = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        f = c.makefile("rb")
        read_line(f)
        server.send_signal(signal.SIGTERM)
        if read_line(f) != "-ERR Server shutting down\r\n":
            fail("no shutdown notice")
        try:
            rc = server.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            fail("orvpopd did not stop on SIGTERM")
        if rc != 0:
            fail("orvpopd exited with %d after SIGTERM" % rc)
        log.close()
        with open(os.path.join(tmp, "popd.log"), "rb") as lf:
            text = lf.read().decode(errors="replace")
        for line in ("POP3 .* starting up", "POP3 .* shutting down"):
            if not re.search(line, text):
                fail("log lacks %r:\n%s" % (line, text))
        print("pop3 smoke: all passed")
    finally:
        if server is not None and server.poll() is None:
            server.kill()
            server.wait(timeout=TIMEOUT)
        if stored_pid:
            try:
                os.kill(stored_pid, signal.SIGTERM)
                for _ in range(200):
                    os.kill(stored_pid, 0)
                    time.sleep(0.05)
            except ProcessLookupError:
                pass
        subprocess.run(["rm", "-rf", tmp])


if __name__ == "__main__":
    main()
