#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How quickly quillbox --watch sorts what arrives.

  python3 bench/watch_latency.py [QUILLBOX] [--folder DIR]

1. A file written and closed in the watched folder, one at a time: the time
   from its close to its arrival in the bucket folder, median and 90th
   percentile over 100 files, against the settle time + 100 ms.
2. 20,000 files created at once: the time until every one is sorted, whether
   every one was, and in how many runs.
3. 20,000 files already there when the watch starts: the time until every
   one is sorted, less the settle time the watch waits for them by rule, against
   a plain `quillbox --move` of the same files: the watch's rate once they
   settle.
4. An idle watch, after it sorted one file: how often its threads woke and
   how much CPU time they took over 20 s (none is the target on local disks).

Both run on tmpfs (/dev/shm) unless --folder names another place. Arrival is
seen by looking every millisecond, so figures are good to about 1 ms.
"""
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

SETTLE = 0.2


def start(binary, source, destination, state):
    environment = dict(os.environ, XDG_STATE_HOME=state)
    # The log goes to a file, so that the watcher never waits for a reader.
    log = open(os.path.join(state, "log"), "w+b")
    process = subprocess.Popen(
        [binary, "--watch", "--move", "--create-dirs", "--settle", str(SETTLE), source, destination],
        stdout=log, stderr=subprocess.DEVNULL, env=environment)
    # Ready once it says it watches.
    wait_for(lambda: os.path.getsize(log.name) > 0, 30)
    return process


def stop(process):
    process.send_signal(signal.SIGTERM)
    return process.wait(timeout=120)


def wait_for(condition, bound):
    end = time.monotonic() + bound
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.001)
    return True


def latency(binary, base):
    source, destination, state = (os.path.join(base, name) for name in ("in", "out", "state"))
    for folder in (source, destination, state):
        os.makedirs(folder)
    process = start(binary, source, destination, state)
    delays = []
    for i in range(100):
        name = "file%03d" % i
        with open(os.path.join(source, name), "wb") as file:
            file.write(b"x" * 4096)
        closed = time.monotonic()
        if not wait_for(lambda: os.path.exists(os.path.join(destination, "F", name)), 30):
            print("file %s never arrived" % name)
            break
        delays.append(time.monotonic() - closed)
    stop(process)
    delays.sort()
    median = statistics.median(delays)
    p90 = delays[int(len(delays) * 0.9) - 1]
    target = SETTLE + 0.100
    print("| Close to bucket, 1 file at a time, settle %.1f s (median of %d) | %.0f ms | p90 %.0f ms, max %.0f ms | "
          "<= %.0f ms | %s |" % (SETTLE, len(delays), median * 1e3, p90 * 1e3, delays[-1] * 1e3, target * 1e3,
                                 "yes" if median <= target else "no"))


def burst(binary, base, files=20000):
    source, destination, state = (os.path.join(base, name) for name in ("in", "out", "state"))
    for folder in (source, destination, state):
        os.makedirs(folder)
    process = start(binary, source, destination, state)
    began = time.monotonic()
    for i in range(files):
        with open(os.path.join(source, "f%05d" % i), "wb") as file:
            file.write(b"x")
    created = time.monotonic() - began
    bucket = os.path.join(destination, "F")
    done = wait_for(lambda: os.path.isdir(bucket) and len(os.listdir(bucket)) == files and not os.listdir(source),
                    600)
    sorted_after = time.monotonic() - began
    status = stop(process)
    count = len(os.listdir(bucket)) if os.path.isdir(bucket) else 0
    print("| %d files created at once (in %.2f s): all sorted | %.2f s after the first | %d sorted, %d left, "
          "status %d, %d runs | all | %s |" % (files, created, sorted_after, count, len(os.listdir(source)), status,
                                                runs(state), "yes" if done and count == files else "no"))


RUN_END = b"Operation complete."


def runs(state):
    with open(os.path.join(state, "log"), "rb") as log:
        return log.read().count(RUN_END)


class RunEnds:
    """The runs' ends a growing log tells, reading only what was added since
    the last look: read whole every millisecond, a log of 20,000 lines would
    cost the machine more than the watch it measures."""

    def __init__(self, path):
        self.log = open(path, "rb")
        self.tail = b""
        self.count = 0

    def __call__(self):
        added = self.log.read()
        if added:
            text = self.tail + added
            self.count += text.count(RUN_END)
            self.tail = text[-(len(RUN_END) - 1):]
        return self.count


def make_quiet(folder, files):
    os.makedirs(folder)
    for i in range(files):
        with open(os.path.join(folder, "f%05d" % i), "wb") as file:
            file.write(b"x")


def settled(binary, base, files=20000, rounds=5):
    ratios = []
    for round_ in range(rounds):
        here = os.path.join(base, str(round_))
        source, destination, state = (os.path.join(here, name) for name in ("in", "out", "state"))
        plain_source, plain_destination = os.path.join(here, "plain-in"), os.path.join(here, "plain-out")
        make_quiet(source, files)
        make_quiet(plain_source, files)
        for folder in (destination, state, plain_destination):
            os.makedirs(folder)
        environment = dict(os.environ, XDG_STATE_HOME=state)
        began = time.monotonic()
        subprocess.run([binary, "--move", "--create-dirs", plain_source, plain_destination],
                       stdout=subprocess.DEVNULL, env=environment, check=True)
        plain = time.monotonic() - began
        began = time.monotonic()
        # Done when the log tells the run's end (a look at the log costs the
        # machine less than listing 20,000 names every millisecond).
        log = open(os.path.join(state, "log"), "w+b")
        process = subprocess.Popen(
            [binary, "--watch", "--move", "--create-dirs", "--settle", str(SETTLE), source, destination],
            stdout=log, stderr=subprocess.DEVNULL, env=environment)
        ends = RunEnds(log.name)
        wait_for(lambda: ends() > 0, 600)
        # The watch takes a file once it has seen it quiet for the settle
        # time; what it spends beyond that is its own.
        watched = time.monotonic() - began - SETTLE
        if os.listdir(source):
            print("the watch left files in %s" % source)
        stop(process)
        ratios.append((plain / watched, plain, watched))
        shutil.rmtree(here, ignore_errors=True)
    ratios.sort()
    ratio, plain, watched = ratios[len(ratios) // 2]
    print("| %d files there when the watch starts: the watch's rate once they settle vs a plain run's (median of "
          "%d) | %.2fx | plain %.3f s, watch %.3f s beyond the settle time | >= 0.9x | %s |" % (files, rounds, ratio, plain, watched,
                                                          "yes" if ratio >= 0.9 else "no"))


def wakes(pid):
    """Context switches of every thread of `pid`, and its CPU ticks."""
    switches = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, task)) as status:
            for line in status:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    switches += int(line.split()[1])
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return switches, int(fields[11]) + int(fields[12])


def idle(binary, base, seconds=20):
    source, destination, state = (os.path.join(base, name) for name in ("in", "out", "state"))
    for folder in (source, destination, state):
        os.makedirs(folder)
    process = start(binary, source, destination, state)
    with open(os.path.join(source, "one"), "wb") as file:
        file.write(b"x")
    wait_for(lambda: os.path.exists(os.path.join(destination, "O", "one")), 30)
    # The batch's own threads are gone once its log is out.
    wait_for(lambda: runs(state) > 0 and len(os.listdir("/proc/%d/task" % process.pid)) == 1, 30)
    # Asleep once its count of switches stands still.
    before = wakes(process.pid)
    while True:
        time.sleep(0.5)
        now = wakes(process.pid)
        if now == before:
            break
        before = now
    time.sleep(seconds)
    after = wakes(process.pid)
    stop(process)
    woke, ticks = after[0] - before[0], after[1] - before[1]
    print("| Idle watch on %s for %d s, after one file | %d wakes, %d CPU ticks | all its threads | none | %s |"
          % (base, seconds, woke, ticks, "yes" if woke == 0 and ticks == 0 else "no"))


def main():
    arguments = sys.argv[1:]
    place = "/dev/shm"
    if "--folder" in arguments:
        at = arguments.index("--folder")
        place = arguments[at + 1]
        del arguments[at:at + 2]
    binary = os.path.abspath(arguments[0] if arguments else "build/quillbox")
    print("| Measure | Result | Detail | Target | Met |")
    print("|---|---|---|---|---|")
    for measure in (latency, burst, settled, idle):
        base = tempfile.mkdtemp(prefix="quillbox-watch-", dir=place)
        try:
            measure(binary, base)
        finally:
            shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
