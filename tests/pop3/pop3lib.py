"""Shared pieces of the POP3 end-to-end tests.

  Instance   a temporary store: configuration file, orvstored started and
             stopped, users made with orvadm, mail put in with orvdeliver,
             the popstat counters read with orvadm
  Popd       orvpopd on listening sockets this module binds itself on
             127.0.0.1 port 0 and hands over by descriptor (-d plain, -D
             TLS), so tests never race for ports; its log is its standard
             error, kept in a file the tests can search
  Client     a raw-socket POP3 client: exact lines, multi-line answers,
             pipelined writes, STLS, implicit TLS
  make_nssdb an NSS database with a self-signed certificate and the CA file
             clients trust
  run        the test-file entry point: build directory from the command
             line, a hard time-out over the whole file, 77 when everything
             was skipped

Every wait here is bounded: socket operations by TIMEOUT, processes by
START_TIMEOUT and STOP_TIMEOUT, the whole test file by the limit given to
run().  A hang is a failure, never a stuck CI job.  Standard library only.

What the module assumes of orvpopd is collected under "Server conventions"
below, so it can be adjusted in one place.
"""

import contextlib
import faulthandler
import os
import re
import resource
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

# ---------------------------------------------------------------------------
# Time-outs, in seconds.  Generous: a sanitized build on two busy cores.
TIMEOUT = 10          # one socket read or write, one short command
START_TIMEOUT = 60    # a daemon from exec to ready
STOP_TIMEOUT = 30     # a daemon from SIGTERM to exit

# ---------------------------------------------------------------------------
# Server conventions (adjust here when the server's differ).
POPD_PLAIN_FD_OPTION = "-d"     # inherited listening socket, plain
POPD_TLS_FD_OPTION = "-D"       # inherited listening socket, TLS
POPD_ARGS = []                  # options every start passes (e.g. stay in foreground)
POPD_STATE_NAME = "popd"        # <store dir>/session/popd.state says "ready <pid>" of the
                                # process started (it stays in the foreground)
STATS_COMMAND = ["stats", "pop"]
HOSTNAME = "pop.test"           # local.hostname of every instance
# Configuration of TLS, given the files make_nssdb made.
TLS_KEYS = {
    "local.ssl.nssdb": "{nssdb}",
    "local.ssl.certnickname": "Server-Cert",
}
# The greeting: "+OK <banner>[ <challenge>]".
GREETING_RE = re.compile(r"^\+OK (?P<banner>.*?)(?: (?P<challenge><[^<>\s]+@[^<>\s]+>))?$")
DEFAULT_BANNER_RE = re.compile(r"^" + re.escape(HOSTNAME) + r" POP3 service \(Corvane .+\)$")
LISTEN_BACKLOG = 1024
# Added to the server's environment by tests that measure its memory: the
# address sanitizer's quarantine of freed blocks would otherwise grow the
# resident size of a server that frees all it allocates.
MEASURE_MEMORY_ENV = {
    "ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS", ""),
                                           "quarantine_size_mb=0", "thread_local_quarantine_size_kb=0"])),
}

# Exit status of a test file that could not run (a client tool is missing).
SKIPPED = 77

_here = os.path.dirname(os.path.abspath(__file__))
BUILD_DIR = None   # set by run() from the command line


class Fail(AssertionError):
    """A check failed (a subclass of AssertionError, so unittest counts it
    as a failure, not an error)."""


# ---------------------------------------------------------------------------
# Programs and tools

def program(name):
    """The path of one of our programs in the build directory (directly or in
    the folder of its layer)."""
    if BUILD_DIR is None:
        raise RuntimeError("pop3lib.run() sets the build directory")
    for sub in ("", "tools", "pop", "lmtp", "backup"):
        p = os.path.join(BUILD_DIR, sub, name)
        if os.path.isfile(p) and os.access(p, os.X_OK):
            return p
    raise FileNotFoundError(f"no {name} in {BUILD_DIR} or its tools/ pop/ backup/")


def have_tool(name):
    return shutil.which(name) is not None


@contextlib.contextmanager
def strace_attached(pid, *args, log="/dev/null"):
    """strace -f attached to a running process with ARGS (say "-e",
    "inject=..."), for the duration of the block; entered once every thread
    of it is traced.  SkipTest when strace is missing or cannot attach."""
    if not have_tool("strace"):
        raise unittest.SkipTest("strace is not installed")
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-p", str(pid), "-o", log, *args],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        def attached():
            if tracer.poll() is not None:
                raise unittest.SkipTest("strace cannot attach here: " + tracer.stderr.read().decode())
            return all(re.search(r"^TracerPid:\s*[1-9]", Instance.read(f"/proc/{pid}/task/{t}/status"), re.M)
                       for t in os.listdir(f"/proc/{pid}/task"))
        wait_until(attached, TIMEOUT, "strace attached")
        yield tracer
    finally:
        tracer.send_signal(signal.SIGINT)
        try:
            tracer.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            tracer.kill()
            tracer.wait(TIMEOUT)
        tracer.stderr.close()


def require_tools(*names):
    """Ends the test file with SKIPPED when a tool it cannot do without is
    missing."""
    missing = [n for n in names if not have_tool(n)]
    if missing:
        print(f"SKIP: missing {', '.join(missing)}", file=sys.stderr)
        sys.exit(SKIPPED)


def run_cmd(argv, timeout=TIMEOUT * 3, check=True, **kw):
    """subprocess.run with a time-out and captured output."""
    try:
        r = subprocess.run(argv, capture_output=True, timeout=timeout, **kw)
    except subprocess.TimeoutExpired as e:
        raise Fail(f"{' '.join(map(str, argv))}: no end after {timeout} s") from e
    if check and r.returncode != 0:
        raise Fail(f"{' '.join(map(str, argv))}: status {r.returncode}\n"
                   f"{r.stdout.decode(errors='replace')}{r.stderr.decode(errors='replace')}")
    return r


# ---------------------------------------------------------------------------
# Process facts from /proc

def proc_children(pid):
    """Pids of the live processes whose parent is pid."""
    out = []
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open(f"/proc/{d}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[1]) == pid and fields[0] != "Z":
            out.append(int(d))
    return out


def pid_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def rss_kb(pid):
    """Resident set size of pid in KiB (0 when it is gone)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def cpu_seconds(pids):
    """User plus system CPU time of pids, in seconds."""
    tick = os.sysconf("SC_CLK_TCK")
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        total += int(fields[11]) + int(fields[12])
    return total / tick


def wait_until(predicate, timeout, what):
    """Polls predicate every 20 ms until it is true; Fail after timeout.
    For events no process reports to us (a counter released, a process
    started by another): the bound makes a miss a failure, not a hang."""
    deadline = time.monotonic() + timeout
    while True:
        v = predicate()
        if v:
            return v
        if time.monotonic() > deadline:
            raise Fail(f"{what}: not within {timeout} s")
        time.sleep(0.02)


# ---------------------------------------------------------------------------
# TLS material

def make_nssdb(directory):
    """Runs make_nssdb.sh: <directory>/nssdb holds the self-signed EC
    certificate "Server-Cert" for localhost and 127.0.0.1, <directory>/ca.pem
    the certificate clients trust.  Returns (nssdb, ca_pem)."""
    os.makedirs(directory, exist_ok=True)
    run_cmd([os.path.join(_here, "make_nssdb.sh"), directory], timeout=60)
    nssdb = os.path.join(directory, "nssdb")
    ca = os.path.join(directory, "ca.pem")
    if not os.path.isfile(ca):
        raise Fail(f"make_nssdb.sh made no {ca}")
    return nssdb, ca


def client_context(cafile, minimum=None, maximum=None, seclevel0=False):
    """A client SSL context trusting cafile, host names checked.  minimum and
    maximum are ssl.TLSVersion values.  seclevel0 lets the client offer old
    protocol versions at all, so a refusal is the server's."""
    ctx = ssl.create_default_context(cafile=cafile)
    if seclevel0:
        ctx.set_ciphers("DEFAULT@SECLEVEL=0")
    with warnings.catch_warnings():
        # Old versions are asked for on purpose, to see them refused.
        warnings.simplefilter("ignore", DeprecationWarning)
        if minimum is not None:
            ctx.minimum_version = minimum
        if maximum is not None:
            ctx.maximum_version = maximum
    return ctx


# ---------------------------------------------------------------------------
# Users of the SASL database

SASL_REALM = "example.com"


def add_sasl_users(inst, users):
    """Puts users (name -> password) into a sasldb of inst, in SASL_REALM
    (also the instance's service.defaultdomain), and points the server at
    it.  Needs saslpasswd2 (sasl2-bin)."""
    db = os.path.join(inst.tmp, "sasldb2")
    for user, password in users.items():
        p = subprocess.run(["saslpasswd2", "-p", "-c", "-f", db, "-u", SASL_REALM, user], input=password.encode(),
                           capture_output=True, timeout=TIMEOUT)
        if p.returncode != 0:
            raise Fail(f"saslpasswd2 failed: {p.stderr.decode(errors='replace')}")
    inst.set("sasl.pop.sasldb_path", db, write=False)
    inst.set("service.defaultdomain", SASL_REALM)


# ---------------------------------------------------------------------------
# The store instance

class Instance:
    """A store in a temporary directory.  Use as a context manager: leaving
    it stops every orvpopd started from it, then orvstored, and removes the
    directory (kept when ORV_KEEP is set in the environment).

    config: extra configuration, a dict of key -> value (None leaves a key
    out).  tls: make an NSS database and configure it."""

    def __init__(self, config=None, tls=False):
        self.tmp = tempfile.mkdtemp(prefix="orv-pop3-")
        self.conf = os.path.join(self.tmp, "c.conf")
        self.env = dict(os.environ, ORV_CONFIG=self.conf)
        self.env.pop("ORV_KEEP", None)
        self.store_dir = os.path.join(self.tmp, "store")
        self.stored_log = os.path.join(self.tmp, "stored.log")
        self.stored_pid = None
        self.popds = []
        self.nssdb = self.ca = None
        self.settings = {
            "local.store.dir": self.store_dir,
            "store.partition.primary.path": os.path.join(self.tmp, "p1"),
            "store.partition.second.path": os.path.join(self.tmp, "p2"),
            "local.log.target": "stderr",
            "local.hostname": HOSTNAME,
        }
        if tls:
            self.nssdb, self.ca = make_nssdb(os.path.join(self.tmp, "tls"))
            for k, v in TLS_KEYS.items():
                self.settings[k] = v.format(nssdb=self.nssdb, ca=self.ca)
        else:
            self.settings["service.pop.sslusessl"] = "off"
            self.settings["service.pop.enablesslport"] = "off"
        self.settings.update(config or {})
        self.write_config()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def write_config(self, **changes):
        """Writes the configuration file (atomically: a server refreshing at
        that moment reads the old or the new text, never half of one).
        changes are keyword pairs with dots written as "__":
        write_config(service__pop__banner="x")."""
        for k, v in changes.items():
            self.set(k.replace("__", "."), v, write=False)
        text = "".join(f"{k} = {v}\n" for k, v in self.settings.items() if v is not None)
        tmp = self.conf + ".new"
        with open(tmp, "w") as f:
            f.write(text)
        os.rename(tmp, self.conf)

    def set(self, key, value, write=True):
        """Sets (value None: removes) one key, and rewrites the file."""
        self.settings[key] = value
        if write:
            self.write_config()

    # -- store programs --

    def adm(self, *args, check=True, timeout=TIMEOUT * 3):
        """orvadm ARGS on this instance; the finished process, stdout text in
        .out."""
        r = run_cmd([program("orvadm"), *args], timeout=timeout, check=check, env=self.env)
        r.out = r.stdout.decode(errors="replace")
        return r

    def start_stored(self):
        # Without -f the daemon detaches once ready and the command ends.
        with open(self.stored_log, "ab") as log:
            try:
                p = subprocess.run([program("orvstored")], env=self.env, stdout=log, stderr=log,
                                   timeout=START_TIMEOUT)
            except subprocess.TimeoutExpired as e:
                raise Fail(f"orvstored not ready within {START_TIMEOUT} s") from e
        if p.returncode != 0:
            raise Fail(f"orvstored did not start (status {p.returncode}):\n{self.read(self.stored_log)}")
        m = re.search(r"pid (\d+)", self.adm("status").out)
        if not m:
            raise Fail("orvadm status names no daemon pid")
        self.stored_pid = int(m.group(1))

    def stop_stored(self):
        pid, self.stored_pid = self.stored_pid, None
        if pid is None or not pid_alive(pid):
            return
        os.kill(pid, signal.SIGTERM)
        try:
            wait_until(lambda: not pid_alive(pid), STOP_TIMEOUT, "orvstored ends on SIGTERM")
        except Fail:
            os.kill(pid, signal.SIGKILL)
            raise

    def create_user(self, name, *args):
        self.adm("user", "create", name, *args)

    def deliver(self, user, message):
        """Puts message (bytes or text, LF or CRLF line ends) in user's INBOX."""
        if isinstance(message, str):
            message = message.encode()
        run_cmd([program("orvdeliver"), user], input=message, env=self.env)

    def stats(self):
        """The popstat counters: name -> int, from `orvadm stats pop`."""
        r = self.adm(*STATS_COMMAND)
        return Stats(parse_stats(r.out), r.out)

    # -- servers --

    def popd(self, **kw):
        """Starts orvpopd on this instance (see Popd) and returns it."""
        p = Popd(self, **kw)
        self.popds.append(p)
        p.start()
        return p

    def close(self):
        errors = []
        for p in self.popds:
            try:
                p.kill()
            except Exception as e:   # noqa: BLE001 - teardown goes on
                errors.append(e)
        try:
            self.stop_stored()
        except Exception as e:   # noqa: BLE001
            errors.append(e)
        if os.environ.get("ORV_KEEP"):
            print(f"kept {self.tmp}", file=sys.stderr)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)
        if errors:
            raise errors[0]

    @staticmethod
    def read(path):
        try:
            with open(path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""


class Stats(dict):
    """Counters by name; a name orvadm did not print fails with its output."""

    def __init__(self, values, text):
        super().__init__(values)
        self.text = text

    def __missing__(self, name):
        raise Fail(f"no counter {name} in the output of orvadm {' '.join(STATS_COMMAND)}:\n{self.text}")


def parse_stats(text):
    """Counters from orvadm's listing: lines "name value", "name: value" or
    "name = value"; a dotted or prefixed name counts by its last part."""
    out = {}
    for line in text.splitlines():
        m = re.match(r"^\s*([A-Za-z][\w.]*)\s*[:=]?\s*(-?\d+)\b", line)
        if m:
            out[m.group(1).split(".")[-1]] = int(m.group(2))
    return out


# ---------------------------------------------------------------------------
# The server

def listener(host="127.0.0.1", family=socket.AF_INET):
    """A listening TCP socket on a free port of host."""
    s = socket.socket(family, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        # "::ffff:127.0.0.1" takes IPv4 clients, which then appear mapped.
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    s.bind((host, 0))
    s.listen(LISTEN_BACKLOG)
    return s


class Popd:
    """orvpopd on inherited listening sockets.

    plain/tls: which listeners to hand over (tls needs an Instance made with
    tls=True).  args: more options ("-1", "-x").  nofile: the descriptor limit
    (soft and hard) of the server.  wait: "ready" waits for the state file to
    say "ready <pid>"; None returns at once (a "-1" server's one session is
    the first connection, so nothing may probe it).  host: the address to
    listen on ("::1" for IPv6).  env: variables added to the server's
    environment."""

    _count = 0

    def __init__(self, inst, plain=True, tls=False, args=(), nofile=None, wait="ready",
                 host="127.0.0.1", env=None):
        self.inst = inst
        self.env = dict(inst.env, **(env or {}))
        self.want_plain = plain
        self.want_tls = tls
        self.args = list(args)
        self.nofile = nofile
        self.wait = wait
        self.host = host
        self.port = self.tls_port = None
        self.proc = None
        Popd._count += 1
        self.log_path = os.path.join(inst.tmp, f"popd-{Popd._count}.log")
        self.status = None

    def start(self):
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        socks = []
        argv = [program("orvpopd"), *POPD_ARGS]
        if self.want_plain:
            s = listener(self.host, family)
            socks.append(s)
            self.port = s.getsockname()[1]
            argv += [POPD_PLAIN_FD_OPTION, str(s.fileno())]
        if self.want_tls:
            s = listener(self.host, family)
            socks.append(s)
            self.tls_port = s.getsockname()[1]
            argv += [POPD_TLS_FD_OPTION, str(s.fileno())]
        argv += self.args

        def limit():
            if self.nofile is not None:
                resource.setrlimit(resource.RLIMIT_NOFILE, (self.nofile, self.nofile))

        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log, pass_fds=[s.fileno() for s in socks],
                                         preexec_fn=limit if self.nofile is not None else None)
        # The server holds the sockets now; without our copies a dead server
        # refuses connections at once instead of leaving them queued.
        for s in socks:
            s.close()
        if self.wait == "ready":
            self.wait_ready()
        return self

    @property
    def pid(self):
        return self.proc.pid

    def state(self):
        return Instance.read(os.path.join(self.inst.store_dir, "session", POPD_STATE_NAME + ".state")).strip()

    def wait_ready(self, timeout=START_TIMEOUT):
        def ready():
            if self.proc.poll() is not None:
                raise Fail(f"orvpopd ended with status {self.proc.returncode} while starting:\n"
                           f"{self.log()[-4000:]}")
            # Our own pid: a file left by a killed server says "ready" too.
            return self.state() == f"ready {self.proc.pid}"
        wait_until(ready, timeout, "orvpopd ready")

    def pids(self):
        """The server's live processes: the first one and its descendants."""
        out, todo = [], [self.proc.pid]
        while todo:
            p = todo.pop()
            if pid_alive(p):
                out.append(p)
                todo.extend(proc_children(p))
        return out

    def slaves(self):
        return [p for p in self.pids() if p != self.proc.pid]

    def wait_processes(self, n, timeout=START_TIMEOUT):
        """Waits until the server runs n processes; returns their pids."""
        return wait_until(lambda: (lambda ps: ps if len(ps) == n else None)(self.pids()), timeout,
                          f"orvpopd runs {n} processes")

    def rss_kb(self):
        return sum(rss_kb(p) for p in self.pids())

    def cpu_seconds(self):
        return cpu_seconds(self.pids())

    def signal(self, sig, all_processes=False):
        for p in (self.pids() if all_processes else [self.proc.pid]):
            try:
                os.kill(p, sig)
            except ProcessLookupError:
                pass

    def wait_exit(self, timeout=STOP_TIMEOUT):
        """The exit status, once the first process and all the others ended."""
        pids = self.pids()
        try:
            self.status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired as e:
            raise Fail(f"orvpopd still runs {timeout} s later") from e
        wait_until(lambda: not any(pid_alive(p) for p in pids), timeout, "every orvpopd process ends")
        return self.status

    def stop(self, timeout=STOP_TIMEOUT):
        """SIGTERM, and the exit status; Fail (after SIGKILL) when it does not
        end in time."""
        if self.proc.poll() is not None:
            return self.proc.returncode
        self.signal(signal.SIGTERM)
        try:
            return self.wait_exit(timeout)
        except Fail:
            self.kill()
            raise

    def kill(self):
        """SIGKILL to every process of the server."""
        if self.proc is None:
            return
        for p in self.pids():
            try:
                os.kill(p, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            pass

    def log(self):
        return Instance.read(self.log_path)

    def log_lines(self, pattern):
        """Log lines matching the regular expression pattern."""
        rx = re.compile(pattern)
        return [line for line in self.log().splitlines() if rx.search(line)]

    def wait_log(self, pattern, count=1, timeout=TIMEOUT):
        """Waits until count lines match pattern; returns them."""
        return wait_until(lambda: (lambda ls: ls if len(ls) >= count else None)(self.log_lines(pattern)),
                          timeout, f"{count} log line(s) matching {pattern!r}")

    def client(self, **kw):
        return Client(self.port, host=self.host, **kw)

    def tls_client(self, ctx=None, **kw):
        return Client(self.tls_port, host=self.host, tls=ctx or client_context(self.inst.ca), **kw)

    def sanitizer_reports(self):
        """Lines of the log where a sanitizer reported a fault."""
        return self.log_lines(r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|"
                              r"ThreadSanitizer|SUMMARY: \w+Sanitizer")


def close_checked(inst, popd):
    """Stops the instance; fails first when the server's log holds a
    sanitizer report (for test classes that share one server)."""
    try:
        reports = popd.sanitizer_reports()
        if reports:
            raise Fail("sanitizer reports:\n" + "\n".join(reports[:20]))
    finally:
        inst.close()


# ---------------------------------------------------------------------------
# The client

class Client:
    """A POP3 client on a raw socket.  Lines are bytes with their CRLF cut;
    text helpers decode them.  Every read waits at most timeout seconds.

    source: local address to connect from (an address of 127.0.0.0/8 lets a
    test be a different client address).  tls: an SSL context for implicit
    TLS.  rcvbuf: a small receive buffer, so that a client that does not
    read soon fills the server's output."""

    def __init__(self, port, host="127.0.0.1", source=None, timeout=TIMEOUT, tls=None,
                 server_hostname="localhost", rcvbuf=None):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        if source:
            self.sock.bind((source, 0))
        self.sock.connect((host, port))
        self.server_hostname = server_hostname
        if tls is not None:
            self.sock = tls.wrap_socket(self.sock, server_hostname=server_hostname)
        self.buf = bytearray()
        self.timeout = timeout

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def send(self, data):
        """Writes data (bytes or text) in one write."""
        if isinstance(data, str):
            data = data.encode()
        self.sock.sendall(data)

    def _fill(self):
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout as e:
            raise Fail(f"no answer within {self.timeout} s (have {bytes(self.buf)[:200]!r})") from e
        if not chunk:
            raise EOFError(f"connection closed (have {bytes(self.buf)[:200]!r})")
        self.buf += chunk

    def raw_line(self):
        """One line with its line end, as sent."""
        while True:
            i = self.buf.find(b"\n")
            if i >= 0:
                line = bytes(self.buf[:i + 1])
                del self.buf[:i + 1]
                return line
            self._fill()

    def line(self):
        """One response line, which must end in CRLF and, with it, be at
        most 512 octets; returned as text without the CRLF."""
        raw = self.raw_line()
        if not raw.endswith(b"\r\n"):
            raise Fail(f"line without CRLF: {raw[:200]!r}")
        if len(raw) > 512:
            raise Fail(f"response line of {len(raw)} octets: {raw[:80]!r}...")
        return raw[:-2].decode("utf-8", errors="replace")

    def expect(self, text):
        """Reads one line; Fail unless it is exactly text."""
        got = self.line()
        if got != text:
            raise Fail(f"expected {text!r}, got {got!r}")
        return got

    def expect_match(self, pattern):
        got = self.line()
        m = re.match(pattern, got)
        if not m:
            raise Fail(f"expected a line matching {pattern!r}, got {got!r}")
        return m

    def cmd(self, command):
        """Sends command and CRLF; returns the first response line."""
        self.send(command + "\r\n")
        return self.line()

    def multiline(self):
        """The lines of a multi-line body after its status line, up to the
        terminating "." (dot-unstuffed)."""
        lines = []
        while True:
            ln = self.line()
            if ln == ".":
                return lines
            lines.append(ln[1:] if ln.startswith("..") else ln)

    def greeting(self):
        """Reads the greeting; returns the match (banner, challenge)."""
        g = self.line()
        m = GREETING_RE.match(g)
        if not m:
            raise Fail(f"not a greeting: {g!r}")
        return m

    def capa(self):
        """CAPA; returns the capability lines."""
        self.expect_after("CAPA", "+OK list follows")
        return self.multiline()

    def expect_after(self, command, text):
        self.send(command + "\r\n")
        return self.expect(text)

    def quit(self):
        """QUIT, +OK, then the server closes; so do we."""
        self.expect_after("QUIT", "+OK")
        self.expect_eof()
        self.close()

    def pending(self):
        """Bytes already received but not read as lines."""
        return bytes(self.buf)

    def expect_eof(self, timeout=None):
        """Fail unless the server closes the connection (within timeout)
        without sending anything more."""
        if self.buf:
            raise Fail(f"expected the end, have {bytes(self.buf)[:200]!r}")
        self.sock.settimeout(timeout or self.timeout)
        try:
            while True:
                try:
                    chunk = self.sock.recv(65536)
                except (ConnectionResetError, ssl.SSLEOFError):
                    return
                except ssl.SSLError as e:
                    if "UNEXPECTED_EOF" in str(e) or "EOF" in str(e):
                        return
                    raise
                if not chunk:
                    return
                raise Fail(f"expected the end, got {chunk[:200]!r}")
        except socket.timeout as e:
            raise Fail("the server did not close the connection") from e
        finally:
            self.sock.settimeout(self.timeout)

    def silent_for(self, seconds):
        """True when nothing arrives within seconds (the connection stays
        open)."""
        if self.buf:
            return False
        self.sock.settimeout(seconds)
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            return True
        finally:
            self.sock.settimeout(self.timeout)
        self.buf += chunk
        return False

    def starttls(self, ctx):
        """STLS, +OK, nothing else in clear, then the handshake."""
        self.expect_after("STLS", "+OK")
        self.tls_after_ok(ctx)

    def tls_after_ok(self, ctx):
        """The handshake, after the server's +OK to STLS was read; Fail when
        the server sent anything else in clear first."""
        if self.buf:
            raise Fail(f"clear text after STLS's +OK: {bytes(self.buf)[:200]!r}")
        self.sock = ctx.wrap_socket(self.sock, server_hostname=self.server_hostname)

    def tls_version(self):
        return self.sock.version() if isinstance(self.sock, ssl.SSLSocket) else None


# ---------------------------------------------------------------------------
# A private network namespace

NETNS_ADDRESS = None   # a non-loopback address of this process's own namespace, or None
_NETNS_ENV = "ORV_POP3_NETNS"


def enter_private_network(address="192.0.2.1"):
    """Re-runs this test file in a network namespace of its own (unshare),
    where the loopback interface also carries address, a documentation
    address that is not loopback: servers and clients of the test can then
    use a non-loopback peer address without any real network.  The
    namespace has no other interface, so nothing leaves the machine.  When
    unshare is not permitted the file runs as it is and NETNS_ADDRESS stays
    None (tests that need it skip)."""
    global NETNS_ADDRESS
    if os.environ.get(_NETNS_ENV) == address:
        for argv in (["ip", "link", "set", "lo", "up"], ["ip", "addr", "add", address + "/32", "dev", "lo"]):
            if subprocess.run(argv, capture_output=True, timeout=TIMEOUT).returncode != 0:
                return
        NETNS_ADDRESS = address
        return
    if not (have_tool("unshare") and have_tool("ip")):
        return
    try:
        probe = subprocess.run(["unshare", "--net", "true"], capture_output=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return
    if probe.returncode != 0:
        return
    env = dict(os.environ, **{_NETNS_ENV: address})
    sys.stdout.flush()
    sys.stderr.flush()
    os.execvpe("unshare", ["unshare", "--net", "--", sys.executable, *sys.argv], env)


# ---------------------------------------------------------------------------
# Entry point of a test file

def run(limit_seconds):
    """Runs the unittest tests of __main__.  Usage of a test file:
        test_x.py BUILD_DIR [unittest options and test names]
    The whole file has limit_seconds; past it the stacks are printed and the
    process exits 1.  Exit status 0 passed, 1 failed, 77 all skipped."""
    global BUILD_DIR
    if len(sys.argv) < 2 or sys.argv[1].startswith("-"):
        print(f"usage: {sys.argv[0]} BUILD_DIR [unittest arguments]", file=sys.stderr)
        sys.exit(2)
    BUILD_DIR = os.path.abspath(sys.argv[1])
    faulthandler.dump_traceback_later(limit_seconds, exit=True)
    prog = unittest.main(module="__main__", argv=[sys.argv[0]] + sys.argv[2:], exit=False, verbosity=2)
    r = prog.result
    if not r.wasSuccessful():
        sys.exit(1)
    if r.testsRun and len(r.skipped) == r.testsRun:
        sys.exit(SKIPPED)
    sys.exit(0)
