"""The command line's progress display, fed by a fake clock and fake progress reports."""

import io
import os
import pty
import subprocess
import sys
from pathlib import Path

from simsieve import cli


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


def display(live):
    clock = Clock()
    stream = io.StringIO()
    return cli.ProgressDisplay(stream, live=live, clock=clock), clock, stream


def test_log_mode_writes_one_line_per_phase():
    show, clock, stream = display(live=False)
    for done in range(0, 1001, 10):
        clock.now += 0.01
        show("edges", done, 1000)
    show("edges", 1000, 1000)  # a repeated end report prints nothing more
    show("minima", 0, 5)
    clock.now += 2.0
    show("minima", 5, 5)
    show.close()
    assert stream.getvalue() == ("simsieve: edges: 1,000/1,000 in 1.0s (1,000/s)\n"
                                 "simsieve: minima: 5/5 in 2.0s (2/s)\n")


def test_live_mode_rewrites_one_line_in_place():
    show, clock, stream = display(live=True)
    show("edges", 0, 1000)
    for done in range(10, 1000, 10):
        clock.now += 0.02  # 50 reports a second, redrawn at most 10 times a second
        show("edges", done, 1000)
    text = stream.getvalue()
    redraws = text.split("\r")[1:]
    assert 15 <= len(redraws) <= 21, len(redraws)
    assert "\n" not in text
    assert redraws[-1].startswith("simsieve: edges: 960/1,000 (96%)") and redraws[-1].endswith("), 500/s, ETA 0:00\x1b[K")
    assert all(r.endswith("\x1b[K") for r in redraws)
    clock.now += 0.02
    show("edges", 1000, 1000)
    assert stream.getvalue().endswith("\rsimsieve: edges: 1,000/1,000 in 2.0s (500/s)\x1b[K\n")
    # A new phase completes the line of an unfinished one, marked as stopped.
    show("verify", 1, 10)
    clock.now += 1
    show("minima", 0, 3)
    assert "\rsimsieve: verify: 1/10 in 1.0s (1/s), stopped\x1b[K\n" in stream.getvalue()


def test_eta_and_large_counts():
    show, clock, stream = display(live=True)
    show("pairs", 0, 10**9)
    clock.now += 10
    show("pairs", 10**6, 10**9)
    assert stream.getvalue().endswith("\rsimsieve: pairs: 1,000,000/1,000,000,000 (0%), 100,000/s, ETA 2:46:30\x1b[K")


def test_library_counters_are_used_when_the_function_takes_them():
    calls = []

    def with_counters(items, *, progress):
        progress("scan", 1, 2)
        progress("scan", 2, 2)
        return len(items)

    def without_counters(items):
        return len(items)

    show, clock, stream = display(live=False)
    assert cli._call(with_counters, "cluster", 3, show, [1, 2, 3]) == 3
    assert cli._call(without_counters, "cluster", 3, show, [1, 2, 3]) == 3
    assert cli._call(without_counters, "cluster", 3, None, [1, 2, 3]) == 3
    lines = stream.getvalue().splitlines()
    assert [line.split(" in ")[0] for line in lines] == ["simsieve: scan: 2/2", "simsieve: cluster: 3/3"]
    assert cli._takes_progress(len) is False  # a builtin without a signature


def test_terminal_gets_a_live_line(tmp_path):
    # A real terminal on standard error: the line is redrawn in place and completed.
    names = Path(__file__).resolve().parent.parent / "examples" / "names.txt"
    primary, secondary = pty.openpty()
    try:
        done = subprocess.run([sys.executable, "-m", "simsieve", "cluster", str(names), "--progress"],
                              stdout=subprocess.PIPE, stderr=secondary, timeout=120)
        os.close(secondary)
        secondary = -1
        chunks = []
        while True:
            try:
                chunk = os.read(primary, 65536)
            except OSError:
                break
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        if secondary >= 0:
            os.close(secondary)
        os.close(primary)
    assert done.returncode == 0
    err = b"".join(chunks).decode()
    assert "\rsimsieve: read: " in err and "\x1b[K" in err
