#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Drives the running program the way a person with an assistive tool does,
for scripts/bench-desktop.sh: finds its window over AT-SPI, fills in the
folders, picks the mode, clicks Sieve! (and Yes in the move confirmation) with
real pointer clicks through the X server, and times each run from that click
to the arrival of its last file. Each round also times the anchor, a bare
readdir pass and raw loop over the same files, from its start to the arrival
of its last file, seen by the same watch. Each round goes to stderr as
it ends; the table of medians goes to stdout at the end.

All waiting is for a condition, with a bound.
"""

import argparse
import statistics
import subprocess
import sys
import time

import pyatspi

WAIT_FOR_UI = 30.0      # seconds for the window, a box or the unlocked toolbar
WAIT_FOR_FILES = 600.0  # seconds for a run's files to arrive
TARGET = 0.90           # anchor time / time from the click


def wait_for(what, probe, bound=WAIT_FOR_UI, step=0.02):
    """Calls probe() until it returns something true, for at most `bound` seconds."""
    until = time.monotonic() + bound
    while True:
        found = probe()
        if found:
            return found
        if time.monotonic() > until:
            sys.exit(f"desktop_driver: gave up waiting for {what}")
        time.sleep(step)


def walk(node, depth=0):
    if node is None or depth > 30:
        return
    yield node
    try:
        children = list(node)
    except Exception:
        return
    for child in children:
        yield from walk(child, depth + 1)


def find(root, role, name):
    """The first node of `role` whose name is `name`, or passes `name` when it is a test."""
    matches = name if callable(name) else (lambda given: given == name)
    for node in walk(root):
        try:
            if node.getRoleName() == role and matches(node.name):
                return node
        except Exception:
            continue
    return None


def the_program():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is not None and app.name.lower() == "quillbox":
            return app
    return None


def has_state(node, state):
    node.clearCache()
    return node.getState().contains(state)


def click(node):
    """A left click at the middle of the control, through the X server."""
    box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    x, y = box.x + box.width // 2, box.y + box.height // 2
    start = time.monotonic()
    pyatspi.Registry.generateMouseEvent(x, y, "b1c")
    return start


def press(node):
    """The control's own action, as an assistive tool presses it."""
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i).lower() in ("press", "click", "toggle"):
            action.doAction(i)
            return
    action.doAction(0)


def helper(args, *command):
    out = subprocess.run([args.bench, "--desktop", *command], check=True, stdout=subprocess.PIPE, text=True)
    return out.stdout.strip()


def watched(args, mode, source, go):
    """Seconds from the moment go() returns to the arrival of the last file,
    as the arrival watch sees it. The program and the anchor are both timed
    this way, with the watch running beside them."""
    watch = subprocess.Popen([args.bench, "--desktop", "watch", mode, source, args.destination,
                              str(args.files), str(WAIT_FOR_FILES)], stdout=subprocess.PIPE, text=True)
    if watch.stdout.readline().strip() != "ready":
        sys.exit("desktop_driver: the arrival watch did not start")
    start = go()
    arrived = watch.stdout.readline().strip()
    if watch.wait() != 0 or not arrived:
        sys.exit("desktop_driver: the files did not all arrive")
    return float(arrived) - start


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--bench", required=True, help="the quillbox_bench program")
    p.add_argument("--program", required=True, help="the quillbox program, started again for its command line")
    p.add_argument("--pool", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--destination", required=True)
    p.add_argument("--files", type=int, required=True)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--modes", default="move,copy")
    args = p.parse_args()

    app = wait_for("the program on the accessibility bus", the_program)
    # The main window is a plain top-level widget: a "filler" to AT-SPI.
    # Its title carries the version, which this script does not repeat.
    window = wait_for("the main window", lambda: find(app, "filler", lambda name: name.startswith("Quillbox v")))
    sieve = wait_for("the Sieve! button", lambda: find(window, "push button", "Sieve!"))
    fields = {
        "source": find(window, "text", "Select the directory containing the files to sort."),
        "destination": find(window, "text", "Select where to place the created dirs+files."),
    }
    if None in fields.values():
        sys.exit("desktop_driver: the folder fields were not found")
    create = find(window, "check box", "Create #-Z directories")
    if create is not None and not has_state(create, pyatspi.STATE_CHECKED):
        press(create)

    rounds = {}
    for mode in args.modes.split(","):
        move = mode == "move"
        source = args.source if move else args.pool
        fields["source"].queryEditableText().setTextContents(source + "/")
        fields["destination"].queryEditableText().setTextContents(args.destination + "/")
        option = find(window, "radio button", "Move the files" if move else "Copy the files")
        if not has_state(option, pyatspi.STATE_CHECKED):
            press(option)
        wait_for(f"the {mode} option to be on", lambda: has_state(option, pyatspi.STATE_CHECKED))
        # Page-cache memory at hand for both sides (see TouchMemory).
        touch = str(args.files * (2048 if move else 8192))

        # One untimed anchor first, as the benchmark's comparisons do: memory
        # the machine touches for the first time costs more, and the first
        # side to run should not pay for that alone.
        helper(args, "fresh", mode, args.pool, args.source, args.destination, "buckets")
        helper(args, "anchor", mode, source, args.destination, touch)
        def time_the_program():
            helper(args, "fresh", mode, args.pool, args.source, args.destination)

            def go():
                wait_for("the window to be ready", lambda: has_state(sieve, pyatspi.STATE_SENSITIVE))
                helper(args, "touch", touch)
                start = click(sieve)
                if move:
                    # The run starts when the move is confirmed: time from that click.
                    yes = wait_for("the move confirmation", lambda: find(app, "push button", "Yes"))
                    wait_for("the confirmation to show", lambda: has_state(yes, pyatspi.STATE_SHOWING))
                    start = click(yes)
                return start

            full = watched(args, mode, source, go)
            # The window unlocks once the run has ended.
            wait_for("the run to end", lambda: has_state(sieve, pyatspi.STATE_SENSITIVE), bound=WAIT_FOR_FILES)
            return full

        def time_the_anchor():
            helper(args, "fresh", mode, args.pool, args.source, args.destination, "buckets")
            return watched(args, mode, source,
                           lambda: float(helper(args, "anchor", mode, source, args.destination, touch)))

        def time_the_command_line():
            # The same run without its window, started as a new process in
            # the same session: what the window and its accessibility cost
            # beside the run itself.
            helper(args, "fresh", mode, args.pool, args.source, args.destination)
            helper(args, "touch", touch)
            process = []

            def go():
                start = time.monotonic()
                process.append(subprocess.Popen([args.program, "--" + mode, "--create-dirs", source + "/",
                                                 args.destination + "/"], stdout=subprocess.DEVNULL))
                return start

            took = watched(args, mode, source, go)
            if process[0].wait() != 0:
                sys.exit("desktop_driver: the command line's run failed")
            return took

        for round_ in range(1, args.rounds + 1):
            # Each side goes first in every other round, so that neither
            # always inherits what the other left behind.
            if round_ % 2:
                full = time_the_program()
                anchor = time_the_anchor()
                command_line = time_the_command_line()
            else:
                command_line = time_the_command_line()
                anchor = time_the_anchor()
                full = time_the_program()
            rounds.setdefault(mode, []).append((full, anchor, command_line))
            print(f"  round {round_}: {mode} from the click {full:.3f} s, anchor {anchor:.3f} s, "
                  f"command line {command_line:.3f} s", file=sys.stderr, flush=True)
    print_table(args, rounds)


def print_table(args, rounds):
    what = {
        "move": ("Move {} small files, tmpfs: click on Yes in the move confirmation to the last file's arrival, "
                 "vs readdir pass + raw loop"),
        "copy": ("Copy {} small files, tmpfs: click on Sieve! to the last file's arrival, "
                 "vs readdir pass + safe raw loop keeping mode and times"),
    }
    print("| Measure | Time | Anchor | Anchor time / time | Target | Met |")
    print("|---|---|---|---|---|---|")
    for mode, measured in rounds.items():
        anchor = statistics.median(a for _, a, _ in measured)
        full = statistics.median(f for f, _, _ in measured)
        ratio = statistics.median(a / f for f, a, _ in measured)
        print(f"| {what[mode].format(args.files)} | {full:.3f} s | {anchor:.3f} s | {ratio:.3f}x "
              f"| >= {TARGET:.2f}x | {'yes' if ratio >= TARGET else 'NO'} |")
        line = statistics.median(c for _, _, c in measured)
        line_ratio = statistics.median(a / c for _, a, c in measured)
        print(f"| {mode.capitalize()}, the same run from the command line (quillbox --{mode} --create-dirs), "
              f"from its start to the last file's arrival | {line:.3f} s | {anchor:.3f} s | {line_ratio:.3f}x "
              "| information | |")
    print(f"\nMedians of {args.rounds} rounds; each round runs the program, the anchor and the command line (in that "
          "order in odd rounds, the other way round in even ones) on freshly made folders, each timed to the arrival "
          "of its last file by the same watch. Every round: " + "; ".join(
              f"{mode} " + ", ".join(f"{f:.3f}/{a:.3f}/{c:.3f} s" for f, a, c in measured)
              for mode, measured in rounds.items())
          + " (from the click / anchor / command line).")


if __name__ == "__main__":
    main()
