# SPDX-License-Identifier: GPL-3.0-or-later
"""The program on a real network share, against what a user types per bucket
folder. Run by bench/share_bench.sh, which builds the program and records the
table; it can also be run alone, as root:

    share_bench.py --program PATH [--files N] [--bytes B] [--delays 1,5] [--rounds 3,1] [--calls]

An sshd on the loopback of a network namespace of its own, mounted with sshfs
through a relay that holds every chunk DELAY ms in each direction
(tests/share/share_mount.py). Its folders and the local folder live in
memory. Per delay and round, each side on freshly made folders, the program
first in odd rounds and the other side first in even ones:
  - copy onto the share:      quillbox --copy   vs  cp SRC/a* DST/A/ ... and rsync -a SRC/a* DST/A/ ...
  - move onto the share:      quillbox --move   vs  mv -n SRC/a* DST/A/ ...
  - move within the share:    quillbox --move   vs  mv -n SRC/a* DST/A/ ...
  - undo of that move:        quillbox --undo   vs  mv -n DST/A/* SRC/ ...
With --calls, the requests sshfs sends the server (each a round trip) and
the system calls (strace -c -f) of the copy onto the share, the move within
it and its undo are counted per file, against cp's and mv -n's, on a mount
of their own (sshfs telling each request slows it).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "share"))
import share_mount  # noqa: E402
from share_mount import Share  # noqa: E402

LETTERS = "abcdefghijklmnopqrstuvwxyz"
BUCKETS = [c.upper() for c in LETTERS] + ["#"]

# The tool once per bucket folder, as a user types it: $1 the tool, $2 the
# source, $3 the destination.
PER_BUCKET = r'''
tool=$1 src=$2 dst=$3
shopt -s nullglob
for l in a b c d e f g h i j k l m n o p q r s t u v w x y z; do
  names=("$src/$l"*)
  [[ ${#names[@]} -eq 0 ]] || $tool "${names[@]}" "$dst/${l^^}/"
done
names=("$src"/[0-9]*)
[[ ${#names[@]} -eq 0 ]] || $tool "${names[@]}" "$dst/#/"
'''
# Back from the bucket folders: $1 the tool, $2 the source, $3 the destination.
BACK = r'''
tool=$1 src=$2 dst=$3
shopt -s nullglob
for b in "$dst"/*/; do
  names=("$b"*)
  [[ ${#names[@]} -eq 0 ]] || $tool "${names[@]}" "$src/"
done
'''


def per_bucket(tool, src, dst):
    return ["bash", "-c", PER_BUCKET, "per-bucket", tool, src, dst]


def back(tool, src, dst):
    return ["bash", "-c", BACK, "back", tool, src, dst]


class Bench:
    def __init__(self, options, share, local, state):
        self.options = options
        self.share = share
        self.local = local
        self.env = dict(os.environ, XDG_STATE_HOME=state, LC_ALL="C.UTF-8")
        self.serial = 0
        self.not_back = []
        self.content = os.urandom(options.bytes)

    def make_files(self, folder):
        os.makedirs(folder)
        for i in range(self.options.files):
            first = str(i % 10) if i % 27 == 26 else LETTERS[i % 27]
            with open(f"{folder}/{first}file{i}.dat", "wb") as out:
                out.write(self.content)

    def make_buckets(self, folder):
        for bucket in BUCKETS:
            os.makedirs(f"{folder}/{bucket}")

    def fresh(self, source_on_share):
        """A source with the files and a destination with its bucket
        folders, made behind the share; returns their paths as the runs
        see them, and as the server sees them."""
        self.serial += 1
        tag = f"run{self.serial}"
        server_src = f"{self.share.server}/{tag}/src" if source_on_share else f"{self.local}/{tag}/src"
        seen_src = f"{self.share.mnt}/{tag}/src" if source_on_share else server_src
        self.make_files(server_src)
        self.make_buckets(f"{self.share.server}/{tag}/dst")
        return seen_src, f"{self.share.mnt}/{tag}/dst", server_src, f"{self.share.server}/{tag}/dst"

    def timed(self, command, may_fail=False):
        start = time.monotonic()
        done = subprocess.run(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.monotonic() - start
        if done.returncode != 0 and not may_fail:
            raise RuntimeError(f"{' '.join(command[:2])} failed ({done.returncode}): {done.stderr.decode()}")
        return seconds

    def expect(self, folder, count, what):
        got = sum(len(names) for _, _, names in os.walk(folder))
        if got != count:
            raise RuntimeError(f"{what}: {got} files, not {count}")

    def side(self, kind, tool, source_on_share):
        src, dst, server_src, server_dst = self.fresh(source_on_share)
        if tool is None:
            seconds = self.timed([self.options.program, "--" + kind, src, dst])
        else:
            seconds = self.timed(per_bucket(tool, src, dst))
        self.expect(server_dst, self.options.files, f"{kind} by {tool or 'quillbox'}")
        return seconds, (src, dst, server_src, server_dst)

    def short(self, folder):
        """How many of the files are not in `folder`."""
        return self.options.files - sum(len(names) for _, _, names in os.walk(folder))

    def round(self, first_program, rows):
        only = [row for row in self.options.only.split(",") if row]

        def both(name, program_side, other_side):
            key = {"copy vs cp": "cp", "copy vs rsync": "rsync", "move onto": "onto"}.get(name, "within")
            if only and key not in only:
                return
            order = [("quillbox", program_side), ("other", other_side)]
            for who, run in order if first_program else reversed(order):
                rows.setdefault((name, who), []).append(run())

        both("copy vs cp", lambda: self.side("copy", None, False)[0], lambda: self.side("copy", "cp", False)[0])
        both("copy vs rsync", lambda: self.side("copy", None, False)[0],
             lambda: self.side("copy", "rsync -a", False)[0])
        both("move onto", lambda: self.side("move", None, False)[0], lambda: self.side("move", "mv -n", False)[0])
        moved = {}

        def within(who, tool):
            seconds, folders = self.side("move", tool, True)
            moved[who] = folders
            return seconds

        both("move within", lambda: within("quillbox", None), lambda: within("other", "mv -n"))

        def undo(who):
            src, dst, server_src, server_dst = moved[who]
            if who == "quillbox":
                seconds = self.timed([self.options.program, "--undo"], may_fail=True)
                # What undo did not put back is told in the table.
                self.not_back.append(self.short(server_src))
            else:
                seconds = self.timed(back("mv -n", src, dst))
                self.expect(server_src, self.options.files, f"undo by {who}")
                self.expect(server_dst, 0, f"undo by {who}")
            return seconds

        both("undo", lambda: undo("quillbox"), lambda: undo("other"))
        for folder in (self.share.server, self.local):
            for entry in os.listdir(folder):
                shutil.rmtree(os.path.join(folder, entry))

    def calls(self):
        """Requests to the server and system calls per file of the copy onto
        the share, the move within it and its undo, against cp's and mv -n's
        (the share counts the requests sshfs sends)."""
        counts = {}

        def count(name, command, may_fail=False):
            with tempfile.NamedTemporaryFile("r") as report:
                before = self.settled_requests()
                self.timed(["strace", "-c", "-f", "-o", report.name] + command, may_fail)
                requests = (self.settled_requests() - before) / self.options.files
                counts[name] = (requests,) + parse_strace(report.read(), self.options.files)

        src, dst, _, _ = self.fresh(False)
        count("copy onto: quillbox", [self.options.program, "--copy", src, dst])
        src, dst, _, _ = self.fresh(False)
        count("copy onto: cp", per_bucket("cp", src, dst))
        src, dst, _, _ = self.fresh(True)
        count("move within: quillbox", [self.options.program, "--move", src, dst])
        count("undo: quillbox", [self.options.program, "--undo"], may_fail=True)
        src, dst, _, _ = self.fresh(True)
        count("move within: mv -n", per_bucket("mv -n", src, dst))
        count("undo: mv -n back", back("mv -n", src, dst))
        return counts

    def settled_requests(self):
        """The share's count of requests once sshfs has told them all."""
        last, steady = -1, 0
        deadline = time.monotonic() + 5
        while steady < 3 and time.monotonic() < deadline:
            now = self.share.requests
            steady = steady + 1 if now == last else 0
            last = now
            time.sleep(0.05)
        return last


def parse_strace(text, files):
    """(calls per file, the five commonest with theirs) from strace -c."""
    calls = {}
    for line in text.splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
            calls[fields[-1]] = int(fields[3])
    total = sum(calls.values())
    top = sorted(calls.items(), key=lambda item: -item[1])[:5]
    return total / files, ", ".join(f"{name} {n / files:.2f}" for name, n in top)


LABELS = {
    "copy vs cp": ("copy onto the share vs `cp` per bucket", 5.0),
    "copy vs rsync": ("the same vs `rsync -a` per bucket", None),
    "move onto": ("move onto the share vs `mv -n` per bucket", None),
    "move within": ("move within the share vs `mv -n` per bucket", 2.0),
    "undo": ("undo of that move vs `mv -n` back per bucket", None),
}


def table(delay, rows, files, size, not_back):
    lines = [f"| work ({files} files of {size} bytes; {delay} ms each way) | quillbox | the other "
             "| other time / quillbox time | target at 1 ms | met |", "|---|---|---|---|---|---|"]
    medians = {key: statistics.median(values) for key, values in rows.items()}
    for name, (label, target) in LABELS.items():
        if (name, "quillbox") not in medians:
            continue
        mine, other = medians[(name, "quillbox")], medians[(name, "other")]
        ratio = other / mine
        goal = met = ""
        if target is not None and delay == 1:
            goal, met = f">= {target:g}x", "yes" if ratio >= target else "NO"
        if name == "undo" and not_back and max(not_back) > 0:
            label += f" (**up to {max(not_back)} of {files} files not put back**)"
        lines.append(f"| {label} | {mine:.2f} s | {other:.2f} s | {ratio:.2f}x | {goal} | {met} |")
    if ("undo", "quillbox") in medians:
        move, undo = medians[("move within", "quillbox")], medians[("undo", "quillbox")]
        goal, met = ("no slower", "yes" if undo <= move else "NO") if delay == 1 else ("", "")
        lines.append(f"| quillbox: undo vs the move it takes back | {undo:.2f} s | {move:.2f} s | {move / undo:.2f}x "
                     f"| {goal} | {met} |")
    every = "; ".join(f"{name} {who} " + "/".join(f"{v:.2f}" for v in values) for (name, who), values in rows.items())
    return "\n".join(lines), every


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--bytes", type=int, default=2048)
    parser.add_argument("--delays", default="1,5")
    parser.add_argument("--rounds", default="3,1")
    parser.add_argument("--calls", action="store_true")
    parser.add_argument("--only", default="", help="rows to time, of: cp,rsync,onto,within (within times its undo)")
    options = parser.parse_args()
    options.program = os.path.abspath(options.program)
    share_mount.enter_namespace()
    delays = [float(d) if "." in d else int(d) for d in options.delays.split(",")]
    rounds = [int(r) for r in options.rounds.split(",")]
    memory = "/dev/shm" if os.path.isdir("/dev/shm") else None
    out = []
    for index, delay in enumerate(delays):
        count = rounds[min(index, len(rounds) - 1)]
        local, state = tempfile.mkdtemp(dir=memory), tempfile.mkdtemp(dir=memory)
        try:
            with Share(delay_ms=delay, base=memory) as share:
                share.mount()
                bench = Bench(options, share, local, state)
                rows = {}
                for number in range(1, count + 1):
                    bench.round(number % 2 == 1, rows)
                    print(f"{delay} ms, round {number}: " + ", ".join(
                        f"{name} {who} {values[-1]:.2f} s" for (name, who), values in rows.items()),
                        file=sys.stderr, flush=True)
                text, every = table(delay, rows, options.files, options.bytes, bench.not_back)
                out += [text, "", f"Every round at {delay} ms (s): {every}.", ""]
            if options.calls and index == 0:
                # On a mount of its own that counts what sshfs sends.
                with Share(delay_ms=delay, base=memory, count_requests=True) as counting:
                    counting.mount()
                    counts = Bench(options, counting, local, state).calls()
                out += [f"| Per file, {delay} ms each way | requests to the server | system calls (strace -c -f) "
                        "| commonest calls |", "|---|---|---|---|"]
                out += [f"| {name} | {requests:.1f} | {total:.1f} | {top} |"
                        for name, (requests, total, top) in counts.items()]
                out.append("")
        finally:
            shutil.rmtree(local, ignore_errors=True)
            shutil.rmtree(state, ignore_errors=True)
    print("\n".join(out))


if __name__ == "__main__":
    main()
