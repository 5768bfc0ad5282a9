# SPDX-License-Identifier: GPL-3.0-or-later
"""A real network share, for the tests and the benchmark.

An sshd listens on the loopback of a network namespace of the process's own,
with a host key and a user key made for this run alone, and sshfs mounts a
folder of it. Optionally a relay sits between the two and holds every chunk
a set time in each direction, as a network with that delay would.

Every process started here dies with the process that started it (and the
mount with the mount namespace), so a test killed half-way leaves no sshd,
no relay and no mount behind.
"""

import asyncio
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests
SEARCH_PATH = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
_INSIDE = "QUILLBOX_SHARE_NAMESPACE"
_PR_SET_PDEATHSIG = 1


def skip(reason):
    print("SKIPPED: " + reason, flush=True)
    sys.exit(SKIP)


def tool(name):
    found = shutil.which(name, path=SEARCH_PATH)
    if found is None:
        raise FileNotFoundError(name)
    return found


def enter_namespace():
    """Runs this script again inside a network and a mount namespace of its
    own, with its loopback up; skips where that or FUSE is refused."""
    if os.environ.get(_INSIDE) == "1":
        subprocess.run([tool("ip"), "link", "set", "lo", "up"], check=True)
        return
    try:
        for name in ("sshd", "sshfs", "ssh", "ssh-keygen", "fusermount3", "unshare", "ip"):
            tool(name)
    except FileNotFoundError as missing:
        skip(f"{missing} is not installed (bash scripts/install-deps.sh)")
    unshare = [tool("unshare"), "--net", "--mount", "--propagation", "private"]
    probe = subprocess.run(unshare + ["true"], capture_output=True, text=True)
    if probe.returncode != 0:
        skip("namespaces are refused here: " + probe.stderr.strip())
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        skip(f"FUSE is refused here: /dev/fuse: {error.strerror}")
    # sshd wants its privilege separation folder, as its service makes it.
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
    env = dict(os.environ, **{_INSIDE: "1"})
    sys.stdout.flush()
    os.execve(unshare[0], unshare + [sys.executable] + sys.argv, env)


def _die_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def start(command, **options):
    """A child process that is killed when this process ends."""
    return subprocess.Popen(command, preexec_fn=_die_with_parent, **options)


def wait_until(condition, seconds, what):
    """Polls `condition` until it holds; raises after `seconds`."""
    deadline = time.monotonic() + seconds
    pause = 0.001
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(f"waited {seconds} s for {what}")
        time.sleep(pause)
        pause = min(pause * 2, 0.05)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def mounted_at(path):
    with open("/proc/self/mountinfo") as table:
        return any(line.split()[4] == path for line in table)


class Share:
    """An sshd serving `server` (a local folder), mounted on `mnt` by sshfs.
    With `delay_ms`, sshfs talks to sshd through the holding relay. Its
    folders are made in `base` (the system's temporary folder if None)."""

    def __init__(self, delay_ms=None, base=None, count_requests=False):
        self.count_requests = count_requests
        self.requests = 0  # SFTP requests sent, with count_requests
        self._said = []
        self.dir = tempfile.mkdtemp(prefix="quillbox-share-", dir=base)
        self.server = os.path.join(self.dir, "server")
        self.mnt = os.path.join(self.dir, "mnt")
        os.mkdir(self.server)
        os.mkdir(self.mnt)
        self.sshd = self.relay = self.client = None
        try:
            self._start_server(delay_ms)
        except BaseException:
            self.close()
            raise

    def _start_server(self, delay_ms):
        keygen = tool("ssh-keygen")
        for key in ("host_key", "user_key"):
            subprocess.run([keygen, "-q", "-t", "ed25519", "-N", "", "-f", self.path(key)], check=True)
        shutil.copy(self.path("user_key.pub"), self.path("authorized_keys"))
        self.port = free_port()
        with open(self.path("sshd_config"), "w") as config:
            config.write(
                f"Port {self.port}\nListenAddress 127.0.0.1\nHostKey {self.path('host_key')}\n"
                f"AuthorizedKeysFile {self.path('authorized_keys')}\nPidFile none\nStrictModes no\n"
                "PermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                "KbdInteractiveAuthentication no\nUsePAM no\nSubsystem sftp internal-sftp\nLogLevel FATAL\n")
        self.sshd = start([tool("sshd"), "-D", "-e", "-f", self.path("sshd_config")])
        wait_until(lambda: self.sshd.poll() is not None or accepts(self.port), 20, "sshd to listen")
        if self.sshd.poll() is not None:
            raise RuntimeError(f"sshd ended with status {self.sshd.returncode}")
        self.client_port = self.port
        if delay_ms is not None:
            self.client_port = free_port()
            self.relay = start([sys.executable, os.path.abspath(__file__), "relay", str(self.client_port),
                                str(self.port), str(delay_ms)])
            wait_until(lambda: self.relay.poll() is not None or accepts(self.client_port), 20, "the relay")
            if self.relay.poll() is not None:
                raise RuntimeError(f"the relay ended with status {self.relay.returncode}")

    def path(self, name):
        return os.path.join(self.dir, name)

    def mount(self):
        """Mounts the server's folder; a second call after unmount() or a
        lost connection mounts it again, as a new mount."""
        ssh = f"{tool('ssh')} -F /dev/null"
        options = (f"IdentityFile={self.path('user_key')},StrictHostKeyChecking=no,"
                   f"UserKnownHostsFile=/dev/null,BatchMode=yes,LogLevel=ERROR,port={self.client_port}")
        debug = ["-o", "sshfs_debug"] if self.count_requests else []
        self.client = start([tool("sshfs"), "-f", "-o", options, "-o", "ssh_command=" + ssh, *debug,
                             f"root@127.0.0.1:{self.server}", self.mnt], stderr=subprocess.PIPE)
        if self.count_requests:
            # sshfs_debug writes a line "[ID] KIND" for each request it sends.
            self._said = []
            threading.Thread(target=self._count, args=(self.client.stderr, self._said), daemon=True).start()
        wait_until(lambda: self.client.poll() is not None or mounted_at(self.mnt), 30, "the mount")
        if self.client.poll() is not None:
            said = b"".join(self._said) if self.count_requests else self.client.stderr.read()
            raise RuntimeError("sshfs failed: " + said.decode(errors="replace"))
        # The first call on a new mount waits for sshfs to settle in; no
        # measure should pay for that.
        os.listdir(self.mnt)

    def _count(self, stream, said):
        try:
            for line in stream:
                if line.startswith(b"[") and b"]" in line:
                    self.requests += 1
                elif len(said) < 100:
                    said.append(line)
        except (OSError, ValueError):
            pass  # closed by unmount()

    def unmount(self):
        """Unmounts, also a mount whose connection is gone."""
        if mounted_at(self.mnt):
            if subprocess.run([tool("fusermount3"), "-u", self.mnt], capture_output=True).returncode != 0:
                subprocess.run([tool("fusermount3"), "-u", "-z", self.mnt], capture_output=True)
        if self.client is not None:
            try:
                self.client.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.client.kill()
                self.client.wait()
            self.client.stderr.close()
            self.client = None

    def kill_client(self):
        """Kills sshfs, as a crash of the client: the mount stays, dead."""
        self.client.kill()
        self.client.wait()

    def kill_sessions(self):
        """Kills the server's side of every connection, leaving sshd
        listening: the client sees its connection end."""
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            if parent == self.sshd.pid:
                try:
                    os.kill(int(entry), signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def close(self):
        try:
            self.unmount()
        finally:
            for process in (self.relay, self.sshd):
                if process is not None and process.poll() is None:
                    process.kill()
                    process.wait()
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


# The relay: every chunk read from one side is written to the other a set
# time after it arrived, in order, in each direction.


async def _hold(reader, writer, delay):
    loop = asyncio.get_running_loop()
    chunks = asyncio.Queue()

    async def take():
        while True:
            data = await reader.read(1 << 16)
            chunks.put_nowait((loop.time() + delay, data))
            if not data:
                return

    async def give():
        while True:
            due, data = await chunks.get()
            if due > loop.time():
                await asyncio.sleep(due - loop.time())
            if not data:
                writer.close()
                return
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(take(), give())
    except (ConnectionError, OSError):
        writer.close()


async def _relay(listen_port, target_port, delay):
    async def connection(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        for stream in (client_writer, server_writer):
            stream.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        await asyncio.gather(_hold(client_reader, server_writer, delay), _hold(server_reader, client_writer, delay))

    server = await asyncio.start_server(connection, "127.0.0.1", listen_port)
    async with server:
        await server.serve_forever()


if __name__ == "__main__" and len(sys.argv) == 5 and sys.argv[1] == "relay":
    asyncio.run(_relay(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]) / 1000))
