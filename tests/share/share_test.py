# SPDX-License-Identifier: GPL-3.0-or-later
"""The program on a real network share: runs, undo, undo after the share was
mounted again, and a connection lost in the middle of a run.

    share_test.py QUILLBOX CASE

runs one case (CTest registers each as a test of its own) in a network and
mount namespace of its own, against an sshd on its loopback mounted with
sshfs. Exits 0 when it held, 1 when it did not, 77 (skipped, one line) where
namespaces or FUSE are refused.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import share_mount  # noqa: E402
from share_mount import Share, wait_until  # noqa: E402

BUCKETS = [chr(c) for c in range(ord("A"), ord("Z") + 1)] + ["#"]
RUN_SECONDS = 120


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def bucket_of(name):
    first = name[:1].upper()
    return first if first.isalpha() and first.isascii() else "#"


def make_files(folder, count, size, seed=b""):
    """`count` files of `size` bytes, each with bytes of its own, their
    names spread over the buckets (one with a byte that is no UTF-8).
    Returns {name (bytes): content}."""
    os.makedirs(folder, exist_ok=True)
    files = {}
    for i in range(count):
        name = (b"abcdefghijklmnopqrstuvwxyz0"[i % 27:i % 27 + 1] + b"file%d" % i + (b"\xff" if i == 1 else b""))
        block = b"%s-%d-" % (seed, i)
        content = (block * (size // len(block) + 1))[:size]
        with open(os.path.join(os.fsencode(folder), name), "wb") as out:
            out.write(content)
        files[name] = content
    return files


def read(path):
    with open(path, "rb") as source:
        return source.read()


def tree(folder):
    """{relative path (bytes): content} of every file under `folder`."""
    found = {}
    root = os.fsencode(folder)
    for parent, _, names in os.walk(root):
        for name in names:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, root)] = read(path)
    return found


def in_buckets(files):
    return {os.path.join(os.fsencode(bucket_of(name.decode(errors="replace"))), name): content
            for name, content in files.items()}


def temporaries(folder):
    return [path for path in tree(folder) if os.path.basename(path).startswith(b".quillbox-")]


def destination(share, name):
    """A destination folder on the share, made behind it; its path there."""
    os.makedirs(f"{share.server}/{name}")
    return f"{share.mnt}/{name}"


class Program:
    """The built program, with journals of its own."""

    def __init__(self, binary, state):
        self.binary = binary
        self.env = dict(os.environ, XDG_STATE_HOME=state, LC_ALL="C.UTF-8")
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)

    def start(self, *arguments):
        return subprocess.Popen([self.binary, *arguments], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def run(self, *arguments):
        process = self.start(*arguments)
        out, err = process.communicate(timeout=RUN_SECONDS)
        return process.returncode, out.decode(errors="replace") + err.decode(errors="replace")


def ran(result, status, what):
    code, output = result
    check(code == status, f"{what}: exit status {code}, not {status}; it said:\n{output}")
    return output


# The cases. Each gets a mounted share and the program; `local` is a folder
# beside the share, on the local disk.


def case_placing(share, program, local):
    """Copy and move onto the share, and move within it: every file placed
    once, byte for byte, nothing left behind."""
    files = make_files(f"{local}/copy", 60, 2048, b"copy")
    ran(program.run("--copy", "--create-dirs", f"{local}/copy", destination(share, "copied")), 0, "copy onto the share")
    check(tree(f"{share.server}/copied") == in_buckets(files), "the copy did not place every file byte for byte")
    check(tree(f"{local}/copy") == files, "the copy changed its source")

    files = make_files(f"{local}/move", 60, 2048, b"move")
    ran(program.run("--move", "--create-dirs", f"{local}/move", destination(share, "moved")), 0, "move onto the share")
    check(tree(f"{share.server}/moved") == in_buckets(files), "the move did not place every file byte for byte")
    check(tree(f"{local}/move") == {}, "the move left files in its source")

    files = make_files(f"{share.server}/within", 60, 2048, b"within")
    ran(program.run("--move", "--create-dirs", f"{share.mnt}/within", destination(share, "sorted")), 0,
        "move within the share")
    check(tree(f"{share.server}/sorted") == in_buckets(files), "the move within did not place every file")
    check(tree(f"{share.server}/within") == {}, "the move within left files in its source")


def case_undo(share, program, local):
    """Undo of a move within the share and of a copy onto it takes every
    file back, but leaves a copy a user changed since."""
    files = make_files(f"{share.server}/within", 40, 2048, b"within")
    ran(program.run("--move", "--create-dirs", f"{share.mnt}/within", destination(share, "sorted")), 0, "the move")
    ran(program.run("--undo"), 0, "undo of the move within the share")
    check(tree(f"{share.server}/within") == files, "undo did not put every file back, byte for byte")
    check(tree(f"{share.server}/sorted") == {}, "undo left files in the bucket folders")

    files = make_files(f"{local}/copy", 40, 2048, b"copy")
    ran(program.run("--copy", "--create-dirs", f"{local}/copy", destination(share, "copied")), 0, "the copy")
    edited = f"{share.mnt}/copied/B/bfile1".encode() + b"\xff"
    with open(edited, "ab") as out:
        out.write(b"a user's own line\n")
    output = ran(program.run("--undo"), 1, "undo of the copy, one copy changed since")
    check(tree(f"{share.server}/copied") == {b"B/bfile1\xff": files[b"bfile1\xff"] + b"a user's own line\n"},
          "undo did not remove exactly the copies nobody changed")
    check("bfile1" in output, "undo did not name the file it left:\n" + output)


def case_undo_after_remount(share, program, local):
    """The share unmounted and mounted again between the run and its undo."""
    files = make_files(f"{share.server}/within", 40, 2048, b"within")
    ran(program.run("--move", "--create-dirs", f"{share.mnt}/within", destination(share, "sorted")), 0, "the move")
    share.unmount()
    share.mount()
    ran(program.run("--undo"), 0, "undo of the move after a remount")
    check(tree(f"{share.server}/within") == files, "undo did not put every file back after a remount")
    check(tree(f"{share.server}/sorted") == {}, "undo left files in the bucket folders")

    files = make_files(f"{local}/copy", 40, 2048, b"copy")
    ran(program.run("--copy", "--create-dirs", f"{local}/copy", destination(share, "copied")), 0, "the copy")
    share.unmount()
    # Changed behind the share: the same size, the time put back.
    changed = f"{share.server}/copied/C/cfile2".encode()
    before = os.stat(changed)
    with open(changed, "r+b") as out:
        out.write(b"X")
    os.utime(changed, ns=(before.st_atime_ns, before.st_mtime_ns))
    share.mount()
    output = ran(program.run("--undo"), 1, "undo of the copy after a remount, one copy changed")
    check(set(tree(f"{share.server}/copied")) == {b"C/cfile2"}, "undo removed a changed copy, or left others")
    check("cfile2" in output, "undo did not name the file it left:\n" + output)

    # A copy within the share, which the share may make on its own side.
    files = make_files(f"{share.server}/originals", 30, 2048, b"originals")
    ran(program.run("--copy", "--create-dirs", f"{share.mnt}/originals", destination(share, "copies")), 0,
        "the copy within the share")
    share.unmount()
    changed = f"{share.server}/copies/D/dfile3".encode()
    with open(changed, "ab") as out:
        out.write(b"more")
    share.mount()
    output = ran(program.run("--undo"), 1, "undo of the copy within the share, one copy changed")
    check(set(tree(f"{share.server}/copies")) == {b"D/dfile3"}, "undo removed a changed copy, or left others")
    check(tree(f"{share.server}/originals") == files, "undo changed the originals")


# A journal as versions before the share identity wrote it on a share: each
# folder and file known by its device and inode numbers, as on a local disk.
SHARE_DEVICE = (1 << 64) - 1
MASK = (1 << 64) - 1


def journal_checksum(data):
    prime = 0x9E3779B97F4A7C15
    value = (len(data) * prime) & MASK
    at = 0
    while at + 8 <= len(data):
        value = ((value ^ int.from_bytes(data[at:at + 8], "little")) * prime) & MASK
        value ^= value >> 29
        at += 8
    for byte in data[at:]:
        value = ((value ^ byte) * prime) & MASK
    value ^= value >> 32
    return value & 0xFFFFFFFF


def as_before_share_identity(journal):
    """Rewrites `journal` as an earlier version wrote it: every identity of
    the share's kind becomes the device and inode numbers of that folder or
    file as the mount shows them now."""
    data = bytearray(read(journal))
    at = data.index(b"\n") + 1
    header = None

    def rewrite(offset, path):
        if int.from_bytes(data[offset:offset + 8], "little") == SHARE_DEVICE:
            st = os.stat(path, follow_symlinks=False)
            data[offset:offset + 16] = st.st_dev.to_bytes(8, "little") + st.st_ino.to_bytes(8, "little")

    while at + 5 <= len(data):
        kind, length = data[at], int.from_bytes(data[at + 1:at + 5], "little")
        payload = at + 5
        if kind == 1:  # the header: mode, start, sequence, two folders, two paths
            fields = payload + 17 + 48
            source_length = int.from_bytes(data[fields:fields + 4], "little")
            source = bytes(data[fields + 4:fields + 4 + source_length])
            fields += 4 + source_length
            target = bytes(data[fields + 4:fields + 4 + int.from_bytes(data[fields:fields + 4], "little")])
            header = (source, target)
            rewrite(payload + 17, source)
            rewrite(payload + 41, target)
        elif kind == 3:  # a bucket folder made: its letter, its identity
            rewrite(payload + 1, header[1] + data[payload:payload + 1])
        elif kind == 2:  # a file placed: number, mode, replaced, bucket, identity, name
            bucket = header[1] + data[payload + 10:payload + 11]
            name = bytes(data[payload + 63:payload + length])
            rewrite(payload + 11, os.path.join(bucket, name))
        data[payload + length:payload + length + 4] = journal_checksum(
            bytes(data[at:payload + length])).to_bytes(4, "little")
        at = payload + length + 4
    with open(journal, "wb") as out:
        out.write(data)


def case_old_journal(share, program, local):
    """A run on the share journaled by an earlier version, which kept what
    a local disk keeps: undo changes nothing and says why in one line."""
    files = make_files(f"{share.server}/within", 20, 2048, b"within")
    ran(program.run("--move", "--create-dirs", f"{share.mnt}/within", destination(share, "sorted")), 0, "the move")
    runs = os.path.join(program.env["XDG_STATE_HOME"], "quillbox", "runs")
    journals = [os.path.join(runs, name) for name in os.listdir(runs)]
    check(len(journals) == 1, f"not one journal: {journals}")
    as_before_share_identity(journals[0])
    placed = tree(f"{share.server}/sorted")
    output = ran(program.run("--undo"), 1, "undo of a run journaled by an earlier version")
    check(tree(f"{share.server}/sorted") == placed and tree(f"{share.server}/within") == {},
          "undo of a journal it cannot trust changed files")
    lines = [line for line in output.splitlines() if line.strip()]
    print("undo said:\n" + output)
    check(any("numbers a share does not keep" in line for line in lines), "undo did not say why it took nothing back:\n" + output)
    check(not any("Could not take back" in line for line in lines), "undo named files one by one:\n" + output)


def lost_connection(share, program, local, cut):
    """A move of large files onto the share, its connection cut (by `cut`)
    once a few files have their final names: no file is lost, the files
    that were placed are in the journal, so undo takes them back, and the
    next run names the temporaries it finds."""
    files = make_files(f"{local}/big", 40, 4 << 20, b"big")
    run = program.start("--move", "--create-dirs", f"{local}/big", destination(share, "sorted"))
    placed = lambda: sum(1 for path in tree_names(f"{share.server}/sorted")
                         if not os.path.basename(path).startswith(b"."))
    wait_until(lambda: run.poll() is not None or placed() >= 4, RUN_SECONDS, "four files placed")
    cut()
    out, err = run.communicate(timeout=RUN_SECONDS)
    said = out.decode(errors="replace") + err.decode(errors="replace")
    check(run.returncode not in (0, -9), f"the run ended with {run.returncode} after its connection was cut:\n{said}")
    share.unmount()
    share.mount()

    left = tree(f"{local}/big")
    # Hidden names are temporaries: the program's own, and those FUSE gives
    # a file removed while open.
    arrived = {os.path.basename(path): content for path, content in tree(f"{share.server}/sorted").items()
               if not os.path.basename(path).startswith(b".")}
    check(0 < len(arrived) < len(files), f"{len(arrived)} of {len(files)} files arrived:\n{said}")
    print(f"{len(arrived)} of {len(files)} files arrived; on the server: {sorted(tree_names(share.server))}")
    for name, content in files.items():
        check(left.get(name) == content or arrived.get(name) == content, f"{name} was lost")
    for name, content in arrived.items():
        check(content == files[name], f"{name} arrived changed")

    code, output = program.run("--undo")
    check(code in (0, 1), f"undo ended with {code}:\n{output}")
    check(tree(f"{local}/big") == files, "undo did not leave every file in the source:\n" + output)
    arrived = [p for p in tree_names(f"{share.server}/sorted") if not os.path.basename(p).startswith(b".")]
    check(arrived == [], f"undo left copies in the bucket folders: {arrived}\n{output}")

    remaining = temporaries(f"{share.server}/sorted")
    make_files(f"{local}/later", 1, 10, b"later")
    code, output = program.run("--move", "--create-dirs", f"{local}/later", f"{share.mnt}/sorted")
    check(code == 0, f"the later run ended with {code}:\n{output}")
    for path in remaining:
        check(os.path.basename(path).decode() in output, f"the later run did not name {path}:\n{output}")
    check(sorted(temporaries(f"{share.server}/sorted")) == sorted(remaining), "the later run removed temporaries")


def tree_names(folder):
    root = os.fsencode(folder)
    return [os.path.relpath(os.path.join(parent, name), root)
            for parent, _, names in os.walk(root) for name in names]


def case_client_killed(share, program, local):
    lost_connection(share, program, local, share.kill_client)


def case_server_session_killed(share, program, local):
    lost_connection(share, program, local, share.kill_sessions)


def main():
    if len(sys.argv) != 3 or not callable(globals().get("case_" + sys.argv[2])):
        print(__doc__, file=sys.stderr)
        return 2
    binary, case = os.path.abspath(sys.argv[1]), globals()["case_" + sys.argv[2]]
    share_mount.enter_namespace()
    state = tempfile.mkdtemp(prefix="quillbox-share-state-")
    local = tempfile.mkdtemp(prefix="quillbox-share-local-")
    try:
        with Share() as share:
            share.mount()
            case(share, Program(binary, state), local)
    except Failed as failure:
        print("FAILED: " + str(failure), flush=True)
        return 1
    finally:
        shutil.rmtree(state, ignore_errors=True)
        shutil.rmtree(local, ignore_errors=True)
    print("passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
