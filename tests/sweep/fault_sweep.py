#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Fault sweep: the real quillbox program, with one system call made to fail,
or to carry a Stop (SIGINT) or a kill (SIGKILL), at each point of a run or of
an undo, on a small tree of about 40 files.

Each case is one scenario (a move, a copy one file at a time, a copy with
files in flight, or the undo of a move or a copy), one system call, one
action and one point N: the Nth call of that system call in a thread of the
program (strace counts per thread), made to fail with an error or to carry
a signal. The points are the calls of a clean run that touch the tree (or,
for journal writes, the run's journal), found first by a traced clean run.

After each case the sweep checks that
  - the program ended within a bound (it is killed and the case fails if not);
  - nothing is lost: every file of the source is, byte for byte, in the
    source or in a bucket folder, and what the destination held before is
    still there (but the file a copy replaces);
  - in a move, no file is in both places;
  - no temporary (.quillbox-*) is left after a handled stop or failure
    (after a kill, only the .quillbox-PID-N files the README allows);
  - the exit status is not 0 where the outcome differs from a clean one;
  - an undo afterwards (repeated, a bounded number of times, while it exits
    with 1) gives the starting tree back: a move's files all in the source,
    a copy's bucket folders as they were (the replaced file may keep its new
    content, as the README says). Files the run placed after saying that it
    cannot be taken back are excused.

The sets: --set ci takes about a dozen points of each kind of call across
the scenarios and actions; --set full takes every point. Known faults that
are being mended elsewhere are listed in KNOWN_FAULTS below: a case whose
every problem matches an entry there counts as an expected failure.

Exit status: 0 when every case passed or failed as expected, 1 when one
failed otherwise, 77 when the sweep cannot run here (no strace, or ptrace
refused).
"""

import argparse
import concurrent.futures
import fnmatch
import hashlib
import itertools
import json
import os
import random
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import threading
import time

# Faults known and being mended on their own branches. Each entry is a
# pattern (fnmatch) over "CASE: PROBLEM", where CASE is
# "SCENARIO SYSCALL ACTION@N" and PROBLEM one of the problem kinds below,
# and the reason. A case whose every problem matches an entry (here or in
# REPORTED_FAULTS) is an expected failure; remove the entries as the mends
# land. The first entry that matches names the cause.
KNOWN_FAULTS = [
    # None at present: every case the earlier entries named passes now.
]

# Faults the sweep found beyond those being mended, reported to be filed;
# each stays here until it is mended.
REPORTED_FAULTS = []

# Problem kinds a case can show.
HANG = "hang"  # the program did not end within the bound
LOST = "lost"  # a file's bytes are nowhere
TWICE = "twice"  # a moved file is in the source and in a bucket
TEMPORARY = "temporary"  # a .quillbox-* name left after a handled end
STATUS = "status-0"  # exit status 0 though the outcome is not a clean one
UNDO_HANG = "undo-hang"  # a follow-up undo did not end within the bound
NOT_RESTORED = "not-restored"  # the undos did not give the starting tree back
UNDO_TEMPORARY = "undo-temporary"  # a .quillbox-* name left after the undos
UNJOURNALED = "unjournaled"  # after a kill: a placed file the journal does not name stays placed
FOLDERS_LEFT = "folders-left"  # only empty bucket folders the run made are left after the undos
START = "start"  # the program did not start or did something unexpected
SYNC_FAILED = "sync-failed"  # a sync of a clean run failed: what it was to make durable is not

# The kinds of calls, with their system calls and the errors that the call
# can really return. EINTR only where a signal can interrupt the call (on a
# network share or a user-space mount any of these can).
KINDS = {
    "listing": {"getdents64": ["EIO"]},
    "looks": {"statx": ["EIO"], "newfstatat": ["EIO"], "readlinkat": ["EIO"], "readlink": ["EIO"]},
    "opens": {"openat": ["EIO", "ENOSPC", "EINTR"]},
    "copies": {
        "copy_file_range": ["EIO", "ENOSPC", "EINTR"],
        "read": ["EIO", "EINTR"],
        "pread64": ["EIO", "EINTR"],
        "write": ["EIO", "ENOSPC", "EINTR"],
        "pwrite64": ["EIO", "ENOSPC", "EINTR"],
        "sendfile": ["EIO", "ENOSPC", "EINTR"],
    },
    "links": {"linkat": ["EIO", "ENOSPC"], "symlinkat": ["EIO", "ENOSPC"]},
    "renames": {"renameat2": ["EIO", "ENOSPC"], "renameat": ["EIO", "ENOSPC"]},
    "syncs": {"fsync": ["EIO", "ENOSPC", "EINTR"], "fdatasync": ["EIO", "ENOSPC", "EINTR"]},
    "removals": {"unlinkat": ["EIO"], "rmdir": ["EIO"]},
    "folders": {"mkdir": ["EIO", "ENOSPC"], "mkdirat": ["EIO", "ENOSPC"]},
    "attributes": {
        "fsetxattr": ["EIO", "ENOSPC"],
        "setxattr": ["EIO", "ENOSPC"],
        "lsetxattr": ["EIO", "ENOSPC"],
        "fchmod": ["EIO"],
        "fchmodat": ["EIO"],
        "fchown": ["EIO"],
        "fchownat": ["EIO"],
        "utimensat": ["EIO"],
    },
    # Writes of the run's journal (or of the undo's mark in it), told apart
    # from other writes with strace -P.
    "journal": {"write": ["EIO", "ENOSPC"]},
}
SIGNALS = ["SIGINT", "SIGKILL"]

# Scenarios: what runs under strace, and how many processors the program
# is told it has (a local copy keeps files in flight only with more than one;
# an undo takes back two at a time with more than one).
SCENARIOS = {
    "move": {"mode": "move", "cpus": 2, "undo": False},
    "copy/one": {"mode": "copy", "cpus": 1, "undo": False},
    "copy/flight": {"mode": "copy", "cpus": 2, "undo": False},
    "undo-move/one": {"mode": "move", "cpus": 1, "undo": True},
    "undo-move/flight": {"mode": "move", "cpus": 2, "undo": True},
    "undo-copy/flight": {"mode": "copy", "cpus": 2, "undo": True},
}

TEMP_PREFIX = b".quillbox-"
# What a kill may leave, as the README says: a named temporary of a copy, a
# bucket folder or a link a run made under a private name and had not noted
# yet, and an undo's private name, which the next undo finishes.
KILL_DEBRIS = re.compile(rb"^\.quillbox-[0-9]+-[0-9]+$")
UNDO_DEBRIS = re.compile(rb"^\.quillbox-undo-[0-9a-f]+$")
CANNOT_TAKE_BACK = re.compile(r"(cannot|could not) be taken back")
MOUNTED_BUCKET = b"Q"

# The source: about 40 entries spread over the buckets. Names are bytes.
SOURCE_FILES = [
    b"apple.txt", b"Avocado.md", b"banana.txt", b"blueberry.csv", b"cherry.txt", b"Cranberry.log", b"date.txt",
    b"elder.dat", b"fig.txt", b"grape.txt", b"honeydew.bin", b"iris.txt", b"jasmine.txt", b"kiwi.txt",
    b"lemon.txt", b"mango.txt", b"nectarine.txt", b"olive.txt", b"peach.txt", b"pear.txt", b"quince.txt",
    b"Quartz.bin", b"raspberry.txt", b"strawberry.txt", b"tomato.txt", b"ugli.txt", b"vanilla.txt",
    b"walnut.txt", b"xigua.txt", b"yam.txt", b"zucchini.txt", b"1st.txt", b"42", b"_under.txt",
    b"\xffbyte name", "\u00f1ame.txt".encode(), b"with space.txt", b"elder copy.dat",
]
SOURCE_LINK = (b"quick-link", b"apple.txt")  # to bucket Q: another file system, where mounted
SOURCE_SUBFOLDER = (b"sub", b"inner.txt")
HARD_LINK = (b"grape.txt", b"Grapevine.txt")  # a second name of grape.txt, with --hard-link
REPLACED = (b"B", b"banana.txt")  # a copy replaces it
DESTINATION_FILES = [(b"A", b"Anchor.dat"), (b"#", b"0-existing.txt")]
PRESENT_BUCKETS = [b"A", b"B", b"#", MOUNTED_BUCKET]
BIG = {b"honeydew.bin": 300 * 1024, b"Quartz.bin": 200 * 1024}


def content_of(name):
    size = BIG.get(name, 64 + len(name) * 37)
    seed = hashlib.sha256(name).digest()
    return (seed * (size // len(seed) + 1))[:size]


class Tree:
    """One case's folders: src, dst and the private state folder."""

    def __init__(self, root, mode, mount, hard_link=False):
        self.root = root
        self.src = os.path.join(root, b"src")
        self.dst = os.path.join(root, b"dst")
        self.state = os.path.join(root, b"state")
        self.mode = mode
        self.mounted = False
        self.make(mount, hard_link)

    def make(self, mount, hard_link):
        os.makedirs(self.src)
        os.makedirs(self.state)
        for bucket in PRESENT_BUCKETS:
            os.makedirs(os.path.join(self.dst, bucket))
        if mount:
            target = os.path.join(self.dst, MOUNTED_BUCKET)
            result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,mode=0755", "tmpfs", target],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.mounted = result.returncode == 0
        for name in SOURCE_FILES:
            path = os.path.join(self.src, name)
            with open(path, "wb") as f:
                f.write(content_of(name))
        os.chmod(os.path.join(self.src, b"cherry.txt"), 0o600)
        os.chmod(os.path.join(self.src, b"42"), 0o755)
        for name in (b"apple.txt", b"quince.txt", b"kiwi.txt"):
            try:
                os.setxattr(os.path.join(self.src, name), b"user.sweep", b"kept " + name)
            except OSError:
                pass
        os.symlink(SOURCE_LINK[1], os.path.join(self.src, SOURCE_LINK[0]))
        if hard_link:
            os.link(os.path.join(self.src, HARD_LINK[0]), os.path.join(self.src, HARD_LINK[1]))
        os.makedirs(os.path.join(self.src, SOURCE_SUBFOLDER[0]))
        with open(os.path.join(self.src, *SOURCE_SUBFOLDER), "wb") as f:
            f.write(b"never touched\n")
        for bucket, name in DESTINATION_FILES:
            with open(os.path.join(self.dst, bucket, name), "wb") as f:
                f.write(b"there before: " + name)
        if self.mode == "copy":
            with open(os.path.join(self.dst, *REPLACED), "wb") as f:
                f.write(b"the older banana\n")

    def journal(self):
        return os.path.join(os.path.realpath(self.state), b"quillbox", b"runs", b"run-1.journal")

    def unmount(self, keep):
        """Unmounts the other file system; with keep, what it held is kept
        in a plain folder beside dst."""
        if not self.mounted:
            return
        bucket = os.path.join(self.dst, MOUNTED_BUCKET)
        if keep:
            shutil.copytree(bucket, os.path.join(self.root, b"dst-" + MOUNTED_BUCKET + b"-mounted"), symlinks=True)
        subprocess.run(["umount", "-l", bucket], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.mounted = False

    def remove(self):
        self.unmount(False)
        shutil.rmtree(self.root, ignore_errors=True)


def snapshot(tree):
    """Every entry under src and dst: relative path -> what it is."""
    entries = {}

    def walk(folder, relative):
        for entry in os.scandir(folder):
            path = relative + b"/" + entry.name
            info = entry.stat(follow_symlinks=False)
            if stat.S_ISDIR(info.st_mode):
                entries[path] = ("d",)
                walk(entry.path, path)
            elif stat.S_ISLNK(info.st_mode):
                entries[path] = ("l", os.readlink(entry.path))
            elif stat.S_ISREG(info.st_mode):
                with open(entry.path, "rb") as f:
                    digest = hashlib.sha1(f.read()).hexdigest()
                entries[path] = ("f", digest, stat.S_IMODE(info.st_mode))
            else:
                entries[path] = ("?", info.st_mode)

    walk(tree.src, b"src")
    walk(tree.dst, b"dst")
    return entries


def shown(path):
    return path.decode("utf-8", "backslashreplace")


def is_temporary(path):
    return os.path.basename(path).startswith(TEMP_PREFIX)


def without_kill_debris(entries):
    return {p: e for p, e in entries.items() if not KILL_DEBRIS.match(os.path.basename(p))}


class Sweep:
    def __init__(self, args):
        self.args = args
        self.quillbox = os.path.realpath(args.quillbox)
        self.shim = os.path.realpath(args.processor_count)
        self.work = os.fsencode(os.path.realpath(args.work))
        self.mount = False
        self.lock = threading.Lock()
        self.serial = 0
        self.seccomp = True

    # ----- running the program ------------------------------------------

    def env(self, tree, cpus):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": os.fsdecode(tree.root),
            "XDG_STATE_HOME": os.fsdecode(tree.state),
            "LC_ALL": "C.UTF-8",
            "QT_QPA_PLATFORM": "offscreen",
            "LD_PRELOAD": self.shim,
            "QUILLBOX_SWEEP_CPUS": str(cpus),
        }
        if "XDG_RUNTIME_DIR" in os.environ:
            env["XDG_RUNTIME_DIR"] = os.environ["XDG_RUNTIME_DIR"]
        return env

    def command(self, tree, scenario, undo):
        if undo:
            return [self.quillbox, "--undo"]
        return [self.quillbox, "--" + scenario["mode"], "--create-dirs", "--verbose", tree.src, tree.dst]

    def run_bounded(self, argv, env, output, bound):
        """Runs argv in a session of its own; returns its status, or None
        when it did not end within the bound (it is killed then)."""
        with open(output, "ab") as out:
            out.write(b"$ " + b" ".join(os.fsencode(a) for a in argv) + b"\n")
            out.flush()
            process = subprocess.Popen(argv, env=env, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                       cwd=env["HOME"], start_new_session=True)
            try:
                status = process.wait(timeout=bound)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                out.write(b"[killed: no end within %d s]\n" % bound)
                return None
            out.write(b"[status %d]\n" % status)
            return status

    def strace_prefix(self, syscall, action, n, journal):
        argv = ["strace", "-f", "-qq", "-o", "/dev/null"]
        # The filter stops the program only at the calls swept, which is
        # much faster; but a signal strace hands over at such a stop is
        # dropped, so signals go with stops at every call.
        if self.seccomp and not action.startswith("SIG"):
            argv.append("--seccomp-bpf")
        if journal is not None:
            argv += ["-P", journal]
        argv += ["-e", "trace=" + syscall]
        what = ("signal=" + action) if action.startswith("SIG") else ("error=" + action)
        argv += ["-e", "inject=%s:%s:when=%d" % (syscall, what, n), "--"]
        return argv

    # ----- counting the calls of a clean run -----------------------------

    def all_syscalls(self):
        names = set()
        for calls in KINDS.values():
            names.update(calls)
        return sorted(names)

    def new_root(self, label):
        with self.lock:
            self.serial += 1
            serial = self.serial
        safe = re.sub(r"[^A-Za-z0-9@._-]+", "_", label)
        return os.path.join(self.work, os.fsencode("%05d-%s" % (serial, safe)))

    def count(self, name, scenario):
        """A traced clean run of the scenario: the points of each call, the
        tree's start, its end after the clean run and after a clean undo."""
        tree = Tree(self.new_root("count-" + name), scenario["mode"], self.mount, self.args.hard_link)
        try:
            start = snapshot(tree)
            env = self.env(tree, scenario["cpus"])
            log = os.path.join(tree.root, b"output.txt")
            trace = os.path.join(tree.root, b"trace.txt")
            strace = ["strace", "-f", "-qq", "-y", "-o", trace]
            if self.seccomp:
                strace.append("--seccomp-bpf")
            strace += ["-e", "trace=" + ",".join(self.all_syscalls()), "--"]
            if scenario["undo"]:
                status = self.run_bounded(self.command(tree, scenario, False), env, log, self.args.bound)
                if status != 0:
                    raise SystemExit("the clean run of %s ended with %r (see %s)" % (name, status, shown(log)))
            status = self.run_bounded(strace + self.command(tree, scenario, scenario["undo"]), env, log,
                                      self.args.bound)
            if status not in (0, 1):
                raise SystemExit("the traced clean run of %s ended with %r (see %s)" % (name, status, shown(log)))
            after = snapshot(tree)
            points = self.points(trace, tree)
            failed_syncs = self.failed_syncs(trace)
            if not scenario["undo"]:
                undo_status = self.run_bounded(self.command(tree, scenario, True), env, log, self.args.bound)
            else:
                undo_status = status
            restored = snapshot(tree)
            with open(log, "rb") as f:
                text = f.read().decode("utf-8", "replace")
            return {"start": start, "after": after, "restored": restored, "points": points, "syncs": failed_syncs,
                    "status": status, "undo_status": undo_status, "log": text}
        finally:
            if not self.args.keep:
                tree.remove()

    def failed_syncs(self, trace):
        """The syncs of a clean run that failed: each names what it synced."""
        failed = []
        pending = {}
        call = re.compile(rb"^([0-9]+) +(fsync|fdatasync)\(([^)]*)")
        resumed = re.compile(rb"^([0-9]+) +<\.\.\. (fsync|fdatasync) resumed>.*= -1 (E[A-Z]+)")
        ended = re.compile(rb"= -1 (E[A-Z]+)")
        with open(trace, "rb") as f:
            for line in f:
                match = call.match(line)
                if match is not None:
                    what = "%s(%s)" % (match.group(2).decode(), shown(match.group(3)))
                    error = ended.search(line)
                    if error is not None:
                        failed.append("%s: %s" % (what, error.group(1).decode()))
                    elif b"<unfinished" in line:
                        pending[match.group(1)] = what
                    continue
                match = resumed.match(line)
                if match is not None:
                    failed.append("%s: %s" % (pending.get(match.group(1), match.group(2).decode()),
                                              match.group(3).decode()))
        return failed

    def points(self, trace, tree):
        """(syscall, journal?) -> sorted points N: the per-thread call
        numbers at which a call touched the tree or the journal."""
        root = tree.root
        journal = tree.journal()
        counters = {}
        found = {}
        line_start = re.compile(rb"^([0-9]+) +([a-z0-9_]+)\((.*)$")
        with open(trace, "rb") as f:
            for line in f:
                match = line_start.match(line)
                if match is None:
                    continue
                tid, name, rest = match.group(1), match.group(2).decode(), match.group(3)
                key = (tid, name)
                counters[key] = counters.get(key, 0) + 1
                if root in rest:
                    found.setdefault((name, False), set()).add(counters[key])
                if name == "write":
                    journal_key = (tid, "journal")
                    if (b"<" + journal + b">") in rest:
                        counters[journal_key] = counters.get(journal_key, 0) + 1
                        found.setdefault((name, True), set()).add(counters[journal_key])
        return {key: sorted(ns) for key, ns in found.items()}

    # ----- one case --------------------------------------------------------

    def run_case(self, case):
        name, scenario, kind, syscall, action, n = case
        label = case_name(case)
        tree = Tree(self.new_root(label), scenario["mode"], self.mount, self.args.hard_link)
        problems = []
        detail = []
        log = os.path.join(tree.root, b"output.txt")
        try:
            env = self.env(tree, scenario["cpus"])
            start = snapshot(tree)
            clean = self.clean[name]
            if scenario["undo"]:
                status = self.run_bounded(self.command(tree, scenario, False), env, log, self.args.bound)
                if status not in (0, 1):
                    problems.append(START)
                    detail.append("the clean run before the undo ended with %r" % status)
                    return self.finish(label, problems, detail, tree, log)
            journal = os.fsdecode(tree.journal()) if kind == "journal" else None
            argv = self.strace_prefix(syscall, action, n, journal) + self.command(tree, scenario, scenario["undo"])
            status = self.run_bounded(argv, env, log, self.args.bound)
            killed = action == "SIGKILL" and status == -signal.SIGKILL
            if status is None:
                problems.append(HANG)
                detail.append("no end within %d s" % self.args.bound)
                killed = True
            after = snapshot(tree)
            with open(log, "rb") as f:
                said = f.read().decode("utf-8", "replace")
            # Nothing lost; in a move nothing in two places.
            self.check_kept(start, after, scenario, killed, problems, detail)
            # No temporary after a handled end.
            if not killed:
                left = [p for p in after if is_temporary(p)]
                if left:
                    problems.append(TEMPORARY)
                    detail.append("left: " + ", ".join(shown(p) for p in left))
            else:
                debris = UNDO_DEBRIS if scenario["undo"] else KILL_DEBRIS
                left = [p for p in after if is_temporary(p) and not debris.match(os.path.basename(p))]
                if left:
                    problems.append(TEMPORARY)
                    detail.append("left after a kill: " + ", ".join(shown(p) for p in left))
            # Status 0 only for a clean outcome.
            expected_after = clean["restored"] if scenario["undo"] else clean["after"]
            if status == 0 and after != expected_after:
                problems.append(STATUS)
                detail.append("status 0, but: " + self.difference(expected_after, after))
            # The undos give the start back.
            self.check_undo(tree, env, log, start, scenario, killed, CANNOT_TAKE_BACK.search(said) is not None,
                            problems, detail)
        except Exception as error:  # noqa: BLE001 - a broken case is a finding too
            problems.append(START)
            detail.append("the sweep itself failed: %r" % (error,))
        return self.finish(label, problems, detail, tree, log)

    def check_kept(self, start, after, scenario, killed, problems, detail):
        """Nothing lost: every file of the source is somewhere in the tree
        (under any name), what the destination held is where it was; in a
        move that ended as it meant to, no file is in two places."""
        anywhere = {entry[:2] for entry in after.values() if entry[0] in ("f", "l")}
        lost = []
        twice = []
        for path, entry in start.items():
            if entry[0] == "d":
                continue
            if path.startswith(b"dst/"):
                if scenario["mode"] == "copy" and path == b"dst/" + b"/".join(REPLACED):
                    continue
                if after.get(path) != entry:
                    lost.append(path)
                continue
            name = path[len(b"src/"):]
            if b"/" in name:  # inside a subfolder of the source: never touched
                if after.get(path) != entry:
                    lost.append(path)
                continue
            if entry[:2] not in anywhere:
                lost.append(path)
            placed = [p for p in after if p.startswith(b"dst/") and p.count(b"/") == 2 and p.endswith(b"/" + name)]
            if scenario["mode"] == "move" and path in after and placed and not killed:
                twice.append(path)
        if lost:
            problems.append(LOST)
            detail.append("lost: " + ", ".join(shown(p) for p in lost))
        if twice:
            problems.append(TWICE)
            detail.append("in two places: " + ", ".join(shown(p) for p in twice))

    def expected_restored(self, start, scenario, entries):
        """Whether entries is the start tree again, as an undo can give it."""
        if scenario["mode"] == "copy":
            replaced = b"dst/" + b"/".join(REPLACED)
            if replaced in entries and replaced in start:
                entries = dict(entries)
                entries[replaced] = start[replaced]
        return entries == start

    def check_undo(self, tree, env, log, start, scenario, killed, said_unjournaled, problems, detail):
        """Undos, while one exits with 1 and the start is not back, give the
        start tree back."""
        entries = snapshot(tree)
        if not self.expected_restored(start, scenario, without_kill_debris(entries) if killed else entries):
            for attempt in range(self.args.undo_repeats):
                status = self.run_bounded([self.quillbox, "--undo"], env, log, self.args.bound)
                entries = snapshot(tree)
                if status is None:
                    problems.append(UNDO_HANG)
                    detail.append("undo %d: no end within %d s" % (attempt + 1, self.args.bound))
                    break
                if self.expected_restored(start, scenario, without_kill_debris(entries) if killed else entries):
                    break
                if status != 1:
                    break
        left = [p for p in entries if is_temporary(p) and not (killed and KILL_DEBRIS.match(os.path.basename(p)))]
        if left:
            problems.append(UNDO_TEMPORARY)
            detail.append("after undo, left: " + ", ".join(shown(p) for p in left))
        if killed:
            entries = without_kill_debris(entries)
        if self.expected_restored(start, scenario, entries):
            return
        replaced = b"dst/" + b"/".join(REPLACED)
        if scenario["mode"] == "copy" and replaced in entries and replaced in start:
            entries = dict(entries)
            entries[replaced] = start[replaced]
        difference = self.difference(start, entries)
        if said_unjournaled:
            detail.append("not restored, but the run said it cannot be taken back: " + difference)
            return
        kinds = self.classify(tree, start, entries, scenario, killed)
        problems.extend(kinds)
        detail.append("after undo (%s): %s" % (", ".join(kinds), difference))

    def classify(self, tree, start, entries, scenario, killed):
        """Why the start is not back: only empty bucket folders the run made;
        after a kill, placed files the journal does not name; or else."""
        try:
            with open(tree.journal(), "rb") as f:
                journal = f.read()
        except OSError:
            journal = b""
        kinds = set()
        for path in set(start) | set(entries):
            if start.get(path) == entries.get(path):
                continue
            entry = entries.get(path)
            if path not in start and entry == ("d",) and path.count(b"/") == 1 and \
                    not any(p.startswith(path + b"/") for p in entries):
                kinds.add(FOLDERS_LEFT)
                continue
            name = os.path.basename(path)
            if killed and struct.pack("<I", len(name)) + name not in journal:
                if path.startswith(b"dst/") and path.count(b"/") == 2 and path not in start:
                    kinds.add(UNJOURNALED)
                    continue
                if path.startswith(b"src/") and path not in entries and scenario["mode"] == "move":
                    kinds.add(UNJOURNALED)
                    continue
                if path.count(b"/") == 1 and entry == ("d",):
                    kinds.add(UNJOURNALED)
                    continue
            kinds.add(NOT_RESTORED)
        return sorted(kinds)

    def difference(self, want, have):
        parts = []
        for path in sorted(set(want) | set(have)):
            if want.get(path) != have.get(path):
                if path not in have:
                    parts.append("missing " + shown(path))
                elif path not in want:
                    parts.append("extra " + shown(path))
                else:
                    parts.append("changed " + shown(path))
        if len(parts) > 8:
            parts = parts[:8] + ["... %d more" % (len(parts) - 8)]
        return ", ".join(parts) if parts else "(same)"

    def finish(self, label, problems, detail, tree, log):
        try:
            with open(log, "rb") as f:
                output = f.read().decode("utf-8", "replace")
        except OSError:
            output = ""
        if not self.args.keep and (not problems or not self.args.keep_failed):
            tree.remove()
        else:
            tree.unmount(True)
        return {"case": label, "problems": sorted(set(problems)), "detail": detail,
                "output": output[-4000:] if problems else "", "root": shown(tree.root)}

    # ----- the sets ------------------------------------------------------

    def cases(self, counts):
        """Every case: (scenario name, scenario, kind, syscall, action, n)."""
        groups = {}
        for name, scenario in SCENARIOS.items():
            points = counts[name]["points"]
            for kind, calls in KINDS.items():
                for syscall, errors in calls.items():
                    ns = points.get((syscall, kind == "journal"), [])
                    if not ns:
                        continue
                    for action in errors + SIGNALS:
                        groups.setdefault(kind, []).append([(name, scenario, kind, syscall, action, n) for n in ns])
        chosen = []
        for kind, lists in groups.items():
            if self.args.set == "full":
                for cases in lists:
                    chosen += cases
                continue
            chosen += thin(kind, lists, self.args.points)
        return chosen

    def check_clean(self, name, counted):
        """The clean run and undo must be what the checks take for granted."""
        scenario = SCENARIOS[name]
        if scenario["undo"]:
            ok = counted["undo_status"] in (0, 1) and self.expected_restored(counted["start"], scenario,
                                                                              counted["restored"])
        else:
            ok = counted["status"] == 0 and self.expected_restored(counted["start"], scenario, counted["restored"])
        if not ok:
            raise SystemExit("the clean %s does not end as it should (status %r, undo %r): %s\n%s" % (
                name, counted["status"], counted["undo_status"],
                self.difference(counted["start"], counted["restored"]), counted["log"][-3000:]))


def thin(kind, lists, points):
    """About `points` cases from the lists of one kind (one list for each
    scenario, call and action), spread over the lists and over the points of
    each; the same cases every time."""
    chooser = random.Random("fault sweep " + kind)
    order = chooser.sample(range(len(lists)), len(lists))
    chosen = {}
    for i in range(points):
        cases = lists[order[i % len(order)]]
        case = cases[chooser.randrange(len(cases))]
        chosen[case_name(case)] = case
    return list(chosen.values())


def case_name(case):
    name, _, kind, syscall, action, n = case
    return "%s %s %s@%d" % (name, "journal-write" if kind == "journal" else syscall, action, n)


def known(case, problem):
    text = "%s: %s" % (case, problem)
    for pattern, reason in KNOWN_FAULTS + [(p, "reported: " + r) for p, r in REPORTED_FAULTS]:
        if fnmatch.fnmatchcase(text, pattern):
            return reason
    return None


def summarize(failed, expected):
    """The failures grouped by cause: the known fault an entry names, or for
    the others the call, the action and the problems; with a few cases of
    each to reproduce."""
    groups = {}
    for result in expected:
        groups.setdefault("known: " + "; ".join(result["known"]), []).append(result["case"])
    for result in failed:
        _, syscall, point = result["case"].split(" ")
        scenario = result["case"].split(" ")[0].split("/")[0]
        key = "new: %s %s %s: %s" % (scenario, syscall, point.split("@")[0], ", ".join(result["problems"]))
        groups.setdefault(key, []).append(result["case"])
    if not groups:
        return
    print("failures by cause:")
    for key in sorted(groups):
        cases = groups[key]
        print("  %s: %d case(s), e.g. %s" % (key, len(cases), "; ".join(cases[:3])))


def can_trace():
    """None when strace can trace here; else why not."""
    if shutil.which("strace") is None:
        return "strace is not installed (bash scripts/install-deps.sh installs it)"
    result = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "true"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    if result.returncode != 0:
        return "ptrace is refused here: " + result.stderr.decode("utf-8", "replace").strip().splitlines()[0]
    return None


def unmount_below(work):
    """Mounts an earlier sweep left in its work folder (killed itself)."""
    try:
        with open("/proc/self/mounts", "rb") as f:
            points = [line.split()[1] for line in f]
    except OSError:
        return
    for point in sorted(points, reverse=True):
        point = point.replace(b"\\040", b" ")
        if point.startswith(work + b"/"):
            subprocess.run(["umount", "-l", point], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def can_mount(work):
    if os.geteuid() != 0:
        return False
    probe = os.path.join(work, b"mount-probe")
    os.makedirs(probe, exist_ok=True)
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", probe], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    if result.returncode == 0:
        subprocess.run(["umount", probe], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.rmdir(probe)
    return result.returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quillbox", required=True, help="the program to sweep")
    parser.add_argument("--processor-count", required=True, help="the preloaded processor-count library")
    parser.add_argument("--work", required=True, help="a folder for the cases' trees (emptied first)")
    parser.add_argument("--set", choices=["ci", "full"], default="ci")
    parser.add_argument("--points", type=int, default=12, help="cases per kind of call in the ci set")
    parser.add_argument("--jobs", type=int, default=min(2, os.cpu_count() or 1))
    parser.add_argument("--bound", type=int, default=20, help="seconds a run or an undo may take")
    parser.add_argument("--undo-repeats", type=int, default=3)
    parser.add_argument("--only", default=None, help="a regular expression over the case names")
    parser.add_argument("--cases", default=None, help="a file naming the cases to run, one a line (with --set full)")
    parser.add_argument("--report", default=None, help="write every result as JSON here")
    parser.add_argument("--keep", action="store_true", help="keep every case's tree")
    parser.add_argument("--keep-failed", action="store_true", help="keep the trees of failing cases")
    parser.add_argument("--list", action="store_true", help="list the cases and stop")
    parser.add_argument("--hard-link", action="store_true", help="give one file of the source a second name")
    args = parser.parse_args()

    why = can_trace()
    if why is not None:
        print("fault sweep skipped: " + why)
        return 77

    sweep = Sweep(args)
    unmount_below(sweep.work)
    shutil.rmtree(sweep.work, ignore_errors=True)
    os.makedirs(sweep.work)
    sweep.mount = can_mount(sweep.work)
    if not sweep.mount:
        print("note: no tmpfs mount here (not root, or mounts refused): no file crosses to another file system")
    probe = subprocess.run(["strace", "-f", "-qq", "--seccomp-bpf", "-o", "/dev/null", "-e", "trace=write", "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sweep.seccomp = probe.returncode == 0

    began = time.monotonic()
    counts = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = {name: pool.submit(sweep.count, name, scenario) for name, scenario in SCENARIOS.items()}
        for name, future in futures.items():
            counts[name] = future.result()
            sweep.check_clean(name, counts[name])
    sweep.clean = counts
    for name in SCENARIOS:
        summary = ", ".join("%s%s %d" % ("journal-" if j else "", s, len(ns))
                            for (s, j), ns in sorted(counts[name]["points"].items()))
        print("%s: points %s" % (name, summary))

    clean_results = []
    for name in SCENARIOS:
        result = {"case": name + " clean", "problems": [], "detail": [], "output": "", "root": ""}
        if counts[name]["syncs"]:
            result["problems"] = [SYNC_FAILED]
            result["detail"] = ["failed in a clean run: " + ", ".join(sorted(set(counts[name]["syncs"])))]
        clean_results.append(result)

    cases = sweep.cases(counts)
    if args.only:
        only = re.compile(args.only)
        cases = [c for c in cases if only.search(case_name(c))]
    if args.cases:
        with open(args.cases) as f:
            wanted = {line.strip() for line in f if line.strip()}
        cases = [c for c in cases if case_name(c) in wanted]
    if args.list:
        for c in cases:
            print(case_name(c))
        return 0
    print("%d cases, %d at a time, bound %d s" % (len(cases), args.jobs, args.bound))
    sys.stdout.flush()

    results = []
    failed = []
    expected = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for result in itertools.chain(clean_results, pool.map(sweep.run_case, cases)):
            results.append(result)
            if not result["problems"]:
                continue
            reasons = [known(result["case"], p) for p in result["problems"]]
            if all(reasons):
                result["known"] = sorted(set(reasons))
                expected.append(result)
                print("expected failure: %s: %s (%s)" % (result["case"], ", ".join(result["problems"]),
                                                         "; ".join(result["known"])))
            else:
                failed.append(result)
                print("FAIL: %s: %s\n    %s" % (result["case"], ", ".join(result["problems"]),
                                               "\n    ".join(result["detail"])))
            sys.stdout.flush()
    took = time.monotonic() - began
    summarize(failed, expected)
    if args.report:
        with open(args.report, "w") as f:
            json.dump({"cases": len(results), "seconds": round(took, 1), "results": results}, f, indent=1)
    print("%d cases in %.0f s: %d passed, %d failed as expected, %d failed" % (
        len(results), took, len(results) - len(failed) - len(expected), len(expected), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
