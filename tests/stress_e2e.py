#!/usr/bin/env python3
"""The store under load and sudden death.

An instance with two partitions and four users with quotas.  Eight
deliverers run orvdeliver without pause (one user or several at once, into
the INBOX or with -m into a sub-folder) while folders and users are renamed
back and forth, the whole store is backed up, users are reconstructed, and
every few seconds a random deliverer, rename or the store daemon itself is
killed with SIGKILL (the daemon is then started again).  Every command runs
under a time-out: one that does not end is a hang, reported with the command
and how long it ran, and the test then kills everything and fails.

When the load stops, the daemon is stopped and started once cleanly, and:
every acknowledged message (orvdeliver exited 0) is in its user's folders
exactly once and byte for byte as delivered (CR LF line ends, no envelope
line); a message whose delivery was not acknowledged is there at most once;
orvadm check finds every folder consistent and no folder directory lies on
disk without its record; every user's quota usage is the sum of the sizes of
its messages; every user has all of its folders under one name.

Exit statuses a sound store gives under this load are accepted: 75 (try
again) everywhere; 67 (unknown user), 79 (no such folder) or 77 (no INBOX)
only for a name that a user rename was changing while the command ran; 65 or
79 from a rename that follows an interrupted one; 69 while the daemon is
down.  Anything else (1, 70, a signal we did not send, a hang) is a failure.

Usage: stress_e2e.py BUILD_DIR [--seconds N] [--seed N] [--keep]
                     [--kills deliver,rename,daemon|none] [--without LOAD,...]
BUILD_DIR holds the programs, directly or in tools/ and backup/ below it.
The random choices follow the seed, printed at the start and on failure;
how the commands interleave does not.  --kills and --without narrow the run
down to corner one fault by hand.  Standard library only.
"""

import argparse
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

# Time-outs, in seconds, of one command.  Generous: a slow sanitized build on
# two busy cores, and a killed process's locks may take a few seconds to be
# released by the daemon.
TIMEOUT_CMD = 45
TIMEOUT_BACKUP = 90
TIMEOUT_START = 90
TIMEOUT_STOP = 30

# The logical users: the names each one is renamed between, the partition
# and the quota (KB).  The last one is never renamed, so an "unknown user"
# for it is always a fault.
USERS = [
    ("ann", "anna", "primary", 2000000),
    ("bob", "robert", "second", 2000000),
    ("cat", "kate", "primary", 2000000),
    ("dan", "dan", "second", 2000000),
]
# Every user has Lists (never renamed) and Work, which is renamed to Archive
# and back, with a child folder that moves along.
SUBFOLDERS = ["Lists", "Work", "Work/Old"]
ALPHABET = "abcdefghij klmnopqrstuvwxyz0123456789.,:"


def now():
    return time.monotonic()


class Failures:
    """Faults found, grouped by kind, with a bounded number of details."""

    def __init__(self):
        self.lock = threading.Lock()
        self.kinds = {}

    def add(self, kind, detail):
        with self.lock:
            entry = self.kinds.setdefault(kind, [0, []])
            entry[0] += 1
            if len(entry[1]) < 5:
                entry[1].append(detail)

    def __bool__(self):
        return bool(self.kinds)

    def report(self, out):
        for kind, (count, details) in sorted(self.kinds.items()):
            print(f"FAIL: {kind}: {count} time(s)", file=out)
            for d in details:
                print(f"    {d}", file=out)


class Stopped(Exception):
    """The run cannot go on: a command hung, or the instance could not be
    set up or started."""


class Child:
    def __init__(self, proc, kind, desc):
        self.proc = proc
        self.kind = kind
        self.desc = desc
        self.start = now()
        self.killed = False


class Stress:
    def __init__(self, args):
        self.args = args
        self.fail = Failures()
        self.prog = {}
        for name, sub in (("orvadm", "tools"), ("orvstored", "tools"), ("orvdeliver", "tools"),
                          ("orvbackup", "backup")):
            for d in (args.bindir, os.path.join(args.bindir, sub)):
                p = os.path.join(d, name)
                if os.access(p, os.X_OK) and os.path.isfile(p):
                    self.prog[name] = p
                    break
            else:
                sys.exit(f"FAIL: no {name} in {args.bindir} or {args.bindir}/{sub}")
        self.tmp = tempfile.mkdtemp(prefix="orv-stress-")
        self.conf = os.path.join(self.tmp, "c.conf")
        self.env = dict(os.environ, ORV_CONFIG=self.conf)
        self.lock = threading.Lock()
        self.children = {}          # id(Child) -> Child, the commands running now
        self.stop = threading.Event()
        self.abort = threading.Event()
        self.stop_text = None
        self.daemon_pid = None
        self.t_begin = now()
        self.kills = []             # (time, what) of every SIGKILL sent
        self.trace = []             # start, end, status and command line of every command
        self.daemon_down = []       # [start, end or None] of every time the daemon was down
        # Per logical user: the name it has now, or None while a rename of it
        # runs or after one whose outcome is unknown; with the history of
        # those states as (time, state) so a failure can be judged against
        # what held while the command ran.
        self.user_state = [[(0.0, u[0])] for u in USERS]
        self.work_state = [[(0.0, "Work")] for _ in USERS]
        # Per logical user, id -> (id, stored bytes, -m folder or None): the
        # acknowledged deliveries, and those that may or may not have landed.
        self.expected = [dict() for _ in USERS]
        self.possible = [dict() for _ in USERS]
        self.stats = dict(attempted=0, acked=0, tempfail=0, unknown_user=0, killed_deliver=0,
                          killed_rename=0, killed_daemon=0, user_renames=0, folder_renames=0,
                          backups=0, reconstructs=0)

    # ---- running commands -------------------------------------------------

    def run(self, kind, argv, stdin=None, timeout=TIMEOUT_CMD):
        """Runs one command under a time-out; returns (status, stderr text,
        stdout text, killed by us, start, end).  A command that outlives its
        time-out is a hang: everything is stopped."""
        desc = " ".join(os.path.basename(a) if i == 0 else a for i, a in enumerate(argv))
        with self.lock:
            if self.abort.is_set():
                raise Stopped()
            proc = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
            child = Child(proc, kind, desc)
            self.children[id(child)] = child
        try:
            try:
                out, err = proc.communicate(stdin, timeout=timeout)
            except subprocess.TimeoutExpired:
                self.hung(child, timeout)
                proc.kill()
                proc.wait()
                raise Stopped()
            except (BrokenPipeError, ConnectionResetError):
                proc.wait(timeout=timeout)
                out, err = b"", b""
        finally:
            with self.lock:
                self.children.pop(id(child), None)
                self.trace.append(f"{child.start - self.t_begin:8.3f} {now() - self.t_begin:8.3f} "
                                  f"{proc.returncode}{' killed' if child.killed else ''} {desc}")
        if self.abort.is_set():
            raise Stopped()
        return (proc.returncode, err.decode("utf-8", "replace").strip(), out.decode("utf-8", "replace"),
                child.killed, child.start, now())

    def hung(self, child, timeout):
        with self.lock:
            if self.stop_text is None:
                others = [f"{c.desc} (running {now() - c.start:.1f} s)" for c in self.children.values()
                          if c is not child]
                kills = [f"{d} at {t - self.t_begin:.1f} s" for t, d in self.kills if t <= child.start][-3:]
                self.stop_text = (f"hang: {child.desc}: no exit after {timeout} s "
                                  f"(started at {child.start - self.t_begin:.1f} s); running at the same time: "
                                  + ("; ".join(others) if others else "nothing else")
                                  + "; the last kills before it started: " + ("; ".join(kills) if kills else "none"))
            self.abort.set()

    def kill_everything(self):
        with self.lock:
            for c in self.children.values():
                try:
                    c.proc.kill()
                except OSError:
                    pass
        self.kill_daemon()

    def check_status(self, what, r, allowed):
        """Status r of a finished command: a signal we sent is fine, the
        allowed statuses are fine, anything else is a fault."""
        status, err, _, killed, _, _ = r
        if status == -signal.SIGKILL and killed:
            return
        if status in allowed:
            return
        # A sanitizer's report ends in its summary; what the program said
        # before it comes first.
        text = err if len(err) < 500 else err[:300] + " ... " + err[-200:]
        if status < 0:
            self.fail.add(f"{what} died of signal {-status}", text)
        else:
            self.fail.add(f"{what} exit status {status}", text)

    def daemon_was_down(self, t0, t1):
        with self.lock:
            return any(s <= t1 and (e is None or e >= t0) for s, e in self.daemon_down)

    # ---- the daemon -------------------------------------------------------

    def alive(self, pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
        except OSError:
            return False

    def start_daemon(self):
        for attempt in range(5):
            r = self.run("start", [self.prog["orvstored"]], timeout=TIMEOUT_START)
            if r[0] == 0:
                break
            self.fail.add("orvstored did not start", f"status {r[0]}: {r[1][-300:]}")
            time.sleep(1)
        else:
            raise Stopped()
        r = self.run("status", [self.prog["orvadm"], "status"])
        m = re.search(r"pid (\d+)", r[2])
        if r[0] != 0 or not m:
            self.fail.add("orvadm status after a start", f"status {r[0]}: {r[2]} {r[1]}")
            raise Stopped()
        with self.lock:
            self.daemon_pid = int(m.group(1))
            if self.daemon_down and self.daemon_down[-1][1] is None:
                self.daemon_down[-1][1] = now()

    def kill_daemon(self):
        with self.lock:
            pid, self.daemon_pid = self.daemon_pid, None
            if pid is None:
                return False
            self.daemon_down.append([now(), None])
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
        t = now()
        while self.alive(pid) and now() - t < 10:
            time.sleep(0.05)
        return True

    def stop_daemon(self):
        with self.lock:
            pid, self.daemon_pid = self.daemon_pid, None
        if pid is None:
            return
        os.kill(pid, signal.SIGTERM)
        t = now()
        while self.alive(pid):
            if now() - t > TIMEOUT_STOP:
                self.fail.add("orvstored ignored SIGTERM", f"still running {TIMEOUT_STOP} s after it")
                os.kill(pid, signal.SIGKILL)
                break
            time.sleep(0.05)

    # ---- set-up -----------------------------------------------------------

    def adm(self, *args, allowed=(0,)):
        r = self.run("adm", [self.prog["orvadm"], *args])
        if r[0] not in allowed:
            self.fail.add(f"orvadm {args[0]} {args[1] if len(args) > 1 else ''}".strip(),
                          f"orvadm {' '.join(args)}: status {r[0]}: {r[1][-300:]}")
        return r

    def setup(self):
        with open(self.conf, "w") as f:
            f.write(f"local.store.dir = {self.tmp}/store\n"
                    f"store.partition.primary.path = {self.tmp}/p1\n"
                    f"store.partition.second.path = {self.tmp}/p2\n")
        if self.adm("init")[0] != 0:
            raise Stopped()
        self.start_daemon()
        for name, _, part, kb in USERS:
            self.adm("user", "create", name, "--partition", part, "--quota", str(kb))
            for sub in SUBFOLDERS:
                self.adm("folder", "create", f"user/{name}/{sub}")
        if self.fail:
            raise Stopped()

    # ---- bookkeeping of names ---------------------------------------------

    def set_state(self, hist, value):
        with self.lock:
            hist.append((now(), value))

    def current(self, hist):
        with self.lock:
            return hist[-1][1]

    def held_throughout(self, hist, value, t0, t1):
        """Whether hist said `value` for the whole of [t0, t1]."""
        with self.lock:
            state_at_t0 = None
            for t, v in hist:
                if t <= t0:
                    state_at_t0 = v
                elif t <= t1:
                    if v != value:
                        return False
                else:
                    break
            return state_at_t0 == value

    # ---- the workers ------------------------------------------------------

    def message(self, rng, mid):
        """A message with a unique Message-ID and body marker, of varied size:
        (what is fed to orvdeliver, what the store must keep)."""
        size = rng.choice([rng.randint(100, 2000), rng.randint(2000, 20000), rng.randint(20000, 120000)])
        head = [f"From: Sender {mid} <s{mid}@example.com>", "To: someone@example.org",
                f"Subject: stress {mid}", f"Message-ID: <{mid}@stress.example>",
                f"X-Stress-Id: {mid}", ""]
        body = [f"marker {mid} begins"]
        n = 0
        while n < size:
            line = "x" + "".join(rng.choices(ALPHABET, k=rng.randint(0, 76)))
            body.append(line)
            n += len(line) + 2
        body.append(f"marker {mid} ends")
        lines = head + body
        stored = "\r\n".join(lines).encode() + b"\r\n"
        style = rng.randint(0, 3)
        if style == 0:
            fed = stored  # CR LF already
        else:
            fed = "\n".join(lines).encode() + b"\n"
            if style == 1:  # an mbox envelope line, dropped by the store
                fed = f"From s{mid}@example.com Mon Jan  1 00:00:00 2024\n".encode() + fed
        return fed, stored

    def deliverer(self, n):
        rng = random.Random(f"{self.args.seed}/deliverer/{n}")
        count = 0
        while not self.stop.is_set():
            count += 1
            mid = f"s{self.args.seed}.d{n}.{count}"
            # Deliverers 0-3 give one recipient per call, 4-7 several;
            # the odd ones deliver into a sub-folder.
            if n < 4:
                users = [rng.randrange(len(USERS))]
            else:
                users = rng.sample(range(len(USERS)), rng.randint(2, len(USERS)))
            folder = rng.choice(["Lists", "Work", "Archive"]) if n % 2 else None
            names = []
            for u in users:
                cur = self.current(self.user_state[u])
                if cur is None or rng.random() < 0.1:
                    cur = rng.choice(USERS[u][:2])
                names.append(cur)
            fed, stored = self.message(rng, mid)
            argv = [self.prog["orvdeliver"]] + (["-m", folder] if folder else []) + names
            with self.lock:
                self.stats["attempted"] += 1
            try:
                r = self.run("deliver", argv, stdin=fed)
            except Stopped:
                return
            status, err, _, killed, t0, t1 = r
            target = (mid, stored, folder)
            if status == 0:
                with self.lock:
                    self.stats["acked"] += 1
                    for u in users:
                        self.expected[u][mid] = target
                continue
            with self.lock:
                for u in users:
                    self.possible[u][mid] = target
                if status == 75:
                    self.stats["tempfail"] += 1
                elif status == -signal.SIGKILL and killed:
                    self.stats["killed_deliver"] += 1
                elif status == 67:
                    self.stats["unknown_user"] += 1
            if status == 67:
                # Fine only if some recipient's name was not surely there for
                # the whole delivery.
                if all(self.held_throughout(self.user_state[u], nm, t0, t1) for u, nm in zip(users, names)):
                    self.fail.add("orvdeliver: unknown user for a user that existed throughout",
                                  f"{' '.join(argv[1:])}: {err[-200:]}")
                continue
            self.check_status("orvdeliver", r, (75,))

    def user_renamer(self):
        rng = random.Random(f"{self.args.seed}/users")
        while not self.stop.wait(rng.uniform(0.3, 1.5)):
            u = rng.randrange(len(USERS) - 1)
            a, b = USERS[u][:2]
            cur = self.current(self.user_state[u])
            order = [(a, b), (b, a)] if cur in (a, None) else [(b, a), (a, b)]
            self.set_state(self.user_state[u], None)
            outcome = None
            for frm, to in order:
                try:
                    r = self.run("rename", [self.prog["orvadm"], "user", "rename", frm, to])
                except Stopped:
                    return
                status, err, _, killed, t0, t1 = r
                if status == 0:
                    outcome = to
                    with self.lock:
                        self.stats["user_renames"] += 1
                    break
                if killed or status == 75:
                    if killed:
                        with self.lock:
                            self.stats["killed_rename"] += 1
                    break
                if status in (79, 65) and cur is None:
                    continue  # after an interrupted rename: try the other way
                if status == 69 and self.daemon_was_down(t0, t1):
                    break
                self.fail.add(f"orvadm user rename exit status {status}",
                              f"{frm} -> {to} (believed name {cur}): {err[-300:]}")
                break
            self.set_state(self.user_state[u], outcome)
            if outcome is None and cur is None and not killed and status in (79, 65):
                self.fail.add("user rename refused both ways (user split or lost?)",
                              f"{a} <-> {b}: {self.folder_list_text()}")

    def folder_list_text(self):
        try:
            r = self.run("list", [self.prog["orvadm"], "folder", "list", "user/"])
        except Stopped:
            return "(hang)"
        return " ".join(line.split("\t")[0] for line in r[2].splitlines())

    def folder_renamer(self):
        rng = random.Random(f"{self.args.seed}/folders")
        while not self.stop.wait(rng.uniform(0.05, 0.5)):
            u = rng.randrange(len(USERS))
            user = self.current(self.user_state[u])
            if user is None:
                user = rng.choice(USERS[u][:2])
            cur = self.current(self.work_state[u])
            order = [("Work", "Archive"), ("Archive", "Work")]
            if cur == "Archive":
                order.reverse()
            self.set_state(self.work_state[u], None)
            outcome = None
            for frm, to in order:
                try:
                    r = self.run("rename", [self.prog["orvadm"], "folder", "rename",
                                            f"user/{user}/{frm}", f"user/{user}/{to}"])
                except Stopped:
                    return
                status, err, _, killed, t0, t1 = r
                if status == 0:
                    outcome = to
                    with self.lock:
                        self.stats["folder_renames"] += 1
                    break
                if killed or status == 75:
                    if killed:
                        with self.lock:
                            self.stats["killed_rename"] += 1
                    break
                if status in (79, 77) and not self.held_throughout(self.user_state[u], user, t0, t1):
                    outcome = cur
                    break  # the user was being renamed: its INBOX may be gone already
                if status == 79 and cur is None:
                    continue
                if status == 65 and cur is None:
                    continue
                if status == 69 and self.daemon_was_down(t0, t1):
                    outcome = cur
                    break
                self.fail.add(f"orvadm folder rename exit status {status}",
                              f"user/{user}/{frm} -> {to} (believed {cur}): {err[-300:]}")
                break
            self.set_state(self.work_state[u], outcome)

    def backuper(self):
        rng = random.Random(f"{self.args.seed}/backup")
        vol = os.path.join(self.tmp, "backup.vol")
        while not self.stop.wait(rng.uniform(1, 4)):
            try:
                r = self.run("backup", [self.prog["orvbackup"], "-f", vol, "/"], timeout=TIMEOUT_BACKUP)
            except Stopped:
                return
            if r[0] == 0:
                with self.lock:
                    self.stats["backups"] += 1
            elif r[0] == 69 and self.daemon_was_down(r[4], r[5]):
                pass
            else:
                self.check_status("orvbackup /", r, (75,))

    def reconstructer(self):
        rng = random.Random(f"{self.args.seed}/reconstruct")
        while not self.stop.wait(rng.uniform(1, 3)):
            u = rng.randrange(len(USERS))
            user = self.current(self.user_state[u]) or rng.choice(USERS[u][:2])
            try:
                r = self.run("reconstruct", [self.prog["orvadm"], "reconstruct", user])
            except Stopped:
                return
            status, _, _, _, t0, t1 = r
            if status == 0:
                with self.lock:
                    self.stats["reconstructs"] += 1
            elif status in (79, 77) and not self.held_throughout(self.user_state[u], user, t0, t1):
                pass
            elif status == 69 and self.daemon_was_down(t0, t1):
                pass
            else:
                self.check_status(f"orvadm reconstruct (user {'held' if self.held_throughout(self.user_state[u], user, t0, t1) else 'moving'})", r, (75,))

    def killer(self):
        rng = random.Random(f"{self.args.seed}/killer")
        while not self.stop.wait(rng.uniform(1.0, 4.0)):
            choice = rng.random()
            if choice < 0.12 and "daemon" in self.args.kills:
                if self.kill_daemon():
                    with self.lock:
                        self.stats["killed_daemon"] += 1
                        self.kills.append((now(), "orvstored"))
                    time.sleep(rng.uniform(0, 1))
                    try:
                        self.start_daemon()
                    except Stopped:
                        self.stop_with("orvstored could not be started again after SIGKILL")
                        return
                continue
            kind = "rename" if choice < 0.45 else "deliver"
            kinds = [k for k in ("rename", "deliver") if k in self.args.kills]
            if not kinds:
                continue
            with self.lock:
                victims = [c for c in self.children.values() if c.kind == kind and kind in kinds and not c.killed]
                if not victims:
                    victims = [c for c in self.children.values() if c.kind in kinds and not c.killed]
                if victims:
                    v = rng.choice(sorted(victims, key=lambda c: c.start))
                    v.killed = True
                    self.kills.append((now(), v.desc))
                    try:
                        v.proc.send_signal(signal.SIGKILL)
                    except OSError:
                        pass

    def stop_with(self, text):
        with self.lock:
            if self.stop_text is None:
                self.stop_text = text
            self.abort.set()

    # ---- the final checks -------------------------------------------------

    def final_checks(self):
        r = self.run("list", [self.prog["orvadm"], "folder", "list"])
        if r[0] != 0:
            self.fail.add("orvadm folder list at the end", f"status {r[0]}: {r[1]}")
            return
        folders = [line.split("\t")[0] for line in r[2].splitlines() if line]
        owner_of = {}
        for u, (a, b, _, _) in enumerate(USERS):
            owner_of[a] = u
            owner_of[b] = u
        by_user = [dict() for _ in USERS]   # name -> [folders]
        for f in folders:
            parts = f.split("/")
            if len(parts) < 2 or parts[0] != "user" or parts[1] not in owner_of:
                self.fail.add("folder that this test never made", f)
                continue
            by_user[owner_of[parts[1]]].setdefault(parts[1], []).append(f)
        final = [None] * len(USERS)
        for u, names in enumerate(by_user):
            if len(names) != 1:
                self.fail.add("user split across names (or gone)",
                              f"{USERS[u][0]}/{USERS[u][1]}: {sorted(sum(names.values(), []))}")
            for name, fl in names.items():
                if f"user/{name}" not in fl:
                    self.fail.add("folders of a user without its INBOX", f"{sorted(fl)}")
                else:
                    final[u] = name
            if final[u] is None:
                continue
            have = set(names.get(final[u], []))
            base = f"user/{final[u]}"
            if not any(have == {base, f"{base}/Lists", f"{base}/{w}", f"{base}/{w}/Old"} for w in ("Work", "Archive")):
                self.fail.add("a user's folders are not what the renames left", f"{sorted(have)}")

        index_dirs = set()
        for u in range(len(USERS)):
            name = final[u]
            if name is None:
                continue
            seen = {}
            used = 0
            count = 0
            for f in sorted(by_user[u][name]):
                r = self.run("check", [self.prog["orvadm"], "check", f])
                text = r[2] + r[1]
                if r[0] != 0 or "\nconsistent" not in "\n" + text:
                    self.fail.add("orvadm check finds a folder inconsistent", f"{f}: status {r[0]}: {text[-400:]}")
                m = re.search(r"^index:\s+(\S+)/store\.idx", r[2], re.M)
                if not m:
                    self.fail.add("orvadm check names no index file", f"{f}: {text[-300:]}")
                    continue
                d = m.group(1)
                index_dirs.add(os.path.realpath(d))
                for uid, size in self.read_index(f, d):
                    count += 1
                    used += size
                    path = os.path.join(d, f"{(uid // 100) % 100:02d}", f"{uid}.msg")
                    try:
                        with open(path, "rb") as fh:
                            data = fh.read()
                    except OSError as e:
                        self.fail.add("message file of an index record missing", f"{f} uid {uid}: {e}")
                        continue
                    if len(data) != size:
                        self.fail.add("message size differs from its index record",
                                      f"{f} uid {uid}: record {size}, file {len(data)}")
                    m2 = re.search(rb"\r\nX-Stress-Id: (\S+)\r\n", data)
                    if not m2:
                        self.fail.add("message that this test never sent", f"{f} uid {uid}: {data[:120]!r}")
                        continue
                    mid = m2.group(1).decode()
                    seen.setdefault(mid, []).append((f, uid, data))
            for mid, places in seen.items():
                target = self.expected[u].get(mid) or self.possible[u].get(mid)
                where = ", ".join(f"{f} uid {uid}" for f, uid, _ in places)
                if target is None:
                    self.fail.add("message in a user it was never sent to", f"{mid} in {where}")
                    continue
                if len(places) > 1:
                    self.fail.add("message stored twice", f"{mid} ({'acknowledged' if mid in self.expected[u] else 'not acknowledged'}): {where}")
                for f, uid, data in places:
                    if data != target[1]:
                        self.fail.add("message bytes differ from what was delivered",
                                      f"{mid} in {f} uid {uid}: {len(data)} bytes, wanted {len(target[1])}")
                    allowed = {f"user/{name}"}
                    if target[2] == "Lists":
                        allowed.add(f"user/{name}/Lists")
                    elif target[2] in ("Work", "Archive"):
                        allowed |= {f"user/{name}/Work", f"user/{name}/Archive"}
                    if f not in allowed:
                        self.fail.add("message in a folder it was not delivered to",
                                      f"{mid} (-m {target[2]}) in {f}")
            for mid in self.expected[u]:
                if mid not in seen:
                    self.fail.add("acknowledged message lost", f"{mid} for {USERS[u][0]}/{USERS[u][1]}")
            r = self.run("quota", [self.prog["orvadm"], "quota", "show", f"user/{name}"])
            m = re.search(r"(\d+) bytes of .*?, (\d+) of", r[2])
            if r[0] != 0 or not m:
                self.fail.add("orvadm quota show", f"user/{name}: status {r[0]}: {r[2]} {r[1]}")
            elif (int(m.group(1)), int(m.group(2))) != (used, count):
                self.fail.add("quota usage differs from the messages",
                              f"user/{name}: quota says {m.group(1)} bytes in {m.group(2)} messages; "
                              f"the folders hold {used} bytes in {count} messages")

        for part in ("p1", "p2"):
            for dirpath, _, files in os.walk(os.path.join(self.tmp, part)):
                if "store.idx" in files and os.path.realpath(dirpath) not in index_dirs:
                    self.fail.add("folder directory on disk without a folder record",
                                  os.path.relpath(dirpath, self.tmp))

    def read_index(self, folder, d):
        """(uid, size) of every record of the folder's index file."""
        try:
            with open(os.path.join(d, "store.idx"), "rb") as fh:
                data = fh.read()
            exists = struct.unpack_from("<I", data, 4)[0]
            start = struct.unpack_from("<I", data, 64)[0]
            out = []
            for i in range(exists):
                rec = start + 76 * i
                out.append((struct.unpack_from("<I", data, rec)[0], struct.unpack_from("<I", data, rec + 28)[0]))
            return out
        except (OSError, struct.error) as e:
            self.fail.add("index file unreadable", f"{folder}: {e}")
            return []

    # ---- the whole run ----------------------------------------------------

    def worker(self, target, *args):
        """A load thread whose unexpected exception fails the run (a load
        that silently stopped would let a broken store pass)."""
        def run():
            try:
                target(*args)
            except Exception:
                self.fail.add("load thread died", traceback.format_exc(limit=3))
                self.abort.set()
        return threading.Thread(target=run, daemon=True)

    def main(self):
        print(f"stress: seed {self.args.seed}, {self.args.seconds} s of load, "
              f"killing {','.join(self.args.kills) or 'nothing'}"
              f"{', without ' + ','.join(self.args.without) if self.args.without else ''}, instance in {self.tmp}", flush=True)
        t_begin = self.t_begin = now()
        try:
            self.setup()
            workers = [self.worker(self.deliverer, n) for n in range(8)]
            jobs = {"user-rename": self.user_renamer, "folder-rename": self.folder_renamer,
                    "backup": self.backuper, "reconstruct": self.reconstructer}
            workers += [self.worker(f) for k, f in jobs.items() if k not in self.args.without]
            workers.append(self.worker(self.killer))
            for w in workers:
                w.start()
            deadline = now() + self.args.seconds
            while now() < deadline and not self.abort.is_set():
                time.sleep(0.1)
            self.stop.set()
            # Workers end once their command does, which its time-out bounds;
            # after a hang, everything still running is killed at once.
            bound = now() + TIMEOUT_BACKUP + TIMEOUT_START + 10
            killed = False
            while any(w.is_alive() for w in workers) and now() < bound:
                if self.abort.is_set() and not killed:
                    self.kill_everything()
                    killed = True
                time.sleep(0.1)
            if any(w.is_alive() for w in workers):
                self.stop_with("the load did not end")
            if not self.abort.is_set():
                with self.lock:
                    down = self.daemon_pid is None
                if down:
                    self.start_daemon()
                self.stop_daemon()
                self.start_daemon()
                self.final_checks()
                self.stop_daemon()
        except Stopped:
            pass
        except Exception as e:  # a fault of the test itself still ends everything
            traceback.print_exc()
            self.stop_with(f"test error: {e!r}")
        finally:
            self.abort.set()  # no command starts any more
            self.kill_everything()
        s = self.stats
        print(f"stress: {s['attempted']} deliveries attempted, {s['acked']} acknowledged, {s['tempfail']} try-again, "
              f"{s['unknown_user']} unknown user; kills: {s['killed_deliver']} deliverers, {s['killed_rename']} renames, "
              f"{s['killed_daemon']} orvstored; renames: {s['user_renames']} user, {s['folder_renames']} folder; "
              f"{s['backups']} backups, {s['reconstructs']} reconstructs; {now() - t_begin:.0f} s", flush=True)
        ok = not self.fail and self.stop_text is None
        if self.stop_text:
            print(f"FAIL: {self.stop_text}", file=sys.stderr)
        self.fail.report(sys.stderr)
        if not ok:
            print(f"stress: FAILED (seed {self.args.seed}; instance kept in {self.tmp})"
                  if self.args.keep else f"stress: FAILED (seed {self.args.seed})", file=sys.stderr)
        else:
            print("stress: passed")
        if self.args.keep:
            with open(os.path.join(self.tmp, "trace.txt"), "w") as f:
                f.write("\n".join(self.trace + [f"{t - self.t_begin:8.3f} kill {d}" for t, d in self.kills]) + "\n")
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)
        return 0 if ok else 1


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("bindir", help="the build directory (programs in it or in tools/ and backup/)")
    p.add_argument("--seconds", type=float, default=90, help="how long the load runs (default 90)")
    p.add_argument("--seed", type=int, default=None, help="seed of every random choice (default: from the clock)")
    p.add_argument("--keep", action="store_true",
                   help="keep the instance directory, with trace.txt: every command's start, end and status")
    p.add_argument("--kills", default="deliver,rename,daemon",
                   help="what may be killed: a comma-separated subset of deliver,rename,daemon, or none")
    p.add_argument("--without", default="",
                   help="load left out, to corner a fault: a comma-separated subset of "
                        "user-rename,folder-rename,backup,reconstruct")
    args = p.parse_args()
    if args.seed is None:
        args.seed = int(time.time() * 1000) % 1000000
    args.without = [w for w in args.without.split(",") if w]
    args.kills = [k for k in args.kills.split(",") if k in ("deliver", "rename", "daemon")]
    sys.exit(Stress(args).main())


if __name__ == "__main__":
    main()
