"""What an exam project and its stations survive, against the real programs
(omrctl, omrsim) and real SQLite files: a reader that a killed run has just
let go, and ports that are no reader.

Needs OMRCTL and OMRSIM (paths of the built programs); CTest sets them.
"""

from __future__ import annotations

import fcntl
import os
import re
import subprocess
import threading
import time
from pathlib import Path
from typing import List

import pytest

from test_exam_project import OMRCTL, OMRSIM, SOURCE, Simulator, omrctl

EXAM = SOURCE / "examples" / "exam60.exam.json"
# Sheets every one of which reads (the example's failing sheets left out).
LINES = [line for line in (SOURCE / "examples" / "exam60.answers").read_text(encoding="latin-1").splitlines()
         if line.startswith("A 2") and "nobar" not in line and "status=" not in line]


@pytest.fixture(autouse=True)
def programs() -> None:
    for program in (OMRCTL, OMRSIM):
        if not os.access(program, os.X_OK):
            pytest.skip(f"{program} is not built")


def new_project(work: Path, name: str = "final.omrexam") -> Path:
    path = work / name
    omrctl("exam", "new", str(path), "--exam", str(EXAM))
    return path


def read(path: Path, port: Path, station: str, *options: str, **kw) -> subprocess.CompletedProcess:
    return subprocess.run([OMRCTL, "--port", str(port), "exam", "read", str(path), "--station", station, *options],
                          capture_output=True, text=True, timeout=120, **kw)


def stored(out: str) -> int:
    summary = re.search(r"^(\d+) sheets? read into ", out, re.M)
    assert summary, out
    return int(summary.group(1))


# ------------------------------------------------------------------ finding the reader

def test_a_reader_let_go_a_moment_ago_is_found(tmp_path: Path) -> None:
    path = new_project(tmp_path)
    # Each sheet takes the reader a second: a run killed during one leaves it busy with it.
    sim = Simulator(tmp_path, "K", LINES * 4, "--feed-delay", "1000")
    try:
        run = subprocess.Popen([OMRCTL, "--port", str(sim.link), "exam", "read", str(path), "--station", "K"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert run.stdout is not None and run.stdout.readline(), "no sheet read"
        time.sleep(0.2)  # the next sheet is in the reader
        run.kill()
        run.wait(timeout=10)
        run.stdout.close()
        after_kill = read(path, sim.link, "K2", "--count", "1")

        # Another program holds the port, and lets it go within the wait.
        holder = os.open(os.path.realpath(sim.link), os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(holder, fcntl.LOCK_EX)
        threading.Timer(0.6, os.close, (holder,)).start()
        after_lock = read(path, sim.link, "K3", "--count", "1")
    finally:
        sim.stop()
    for done in (after_kill, after_lock):
        assert done.returncode == 0, done.stderr
        assert stored(done.stdout) == 1


def test_no_reader_names_every_port_tried_and_why(tmp_path: Path) -> None:
    path = new_project(tmp_path)
    master, slave = os.openpty()  # a terminal no one answers on
    silent = os.ttyname(slave)
    plain = tmp_path / "plain-file"
    plain.write_text("")
    try:
        started = time.monotonic()
        done = read(path, Path(f"{tmp_path / 'nowhere'}:{plain}:{silent}"), "N")
        took = time.monotonic() - started
    finally:
        os.close(master)
        os.close(slave)
    assert done.returncode == 4, done.stderr
    for text in (f"no such port: {tmp_path / 'nowhere'}", f"{plain} is not a serial port",
                 f"nothing answered on {silent}", "no USB bridge answered"):
        assert text in done.stderr, done.stderr
    # The silent port was looked at again for a short while, not for ever.
    assert 1.5 < took < 15, took



# ------------------------------------------------------------------ files for their owner

def test_files_holding_student_data_are_their_owners(tmp_path: Path) -> None:
    old = os.umask(0o022)  # the usual one, which leaves new files readable by everyone
    try:
        path = new_project(tmp_path)
        sim = Simulator(tmp_path, "M", LINES[:2])
        grids = tmp_path / "grids"
        grids.mkdir()
        try:
            for args in (["--port", str(sim.link), "read", str(SOURCE / "examples" / "exam60.form"), "--count", "2",
                          "--csv", str(tmp_path / "read.csv"), "--save-grids", str(grids)],
                         ["exam", "export", str(path), "--csv", str(tmp_path / "export.csv"), "--xlsx",
                          str(tmp_path / "export.xlsx")],
                         ["exam", "report", str(path), "--html", str(tmp_path / "report.html")],
                         ["exam", "backup", str(path), str(tmp_path / "backup.omrexam")]):
                omrctl(*args)
        finally:
            sim.stop()
    finally:
        os.umask(old)
    made = ["read.csv", "export.csv", "export.xlsx", "report.html", "backup.omrexam"]
    made += [str(p.relative_to(tmp_path)) for p in grids.iterdir()]
    assert len(made) == 7
    modes = {name: oct((tmp_path / name).stat().st_mode & 0o777) for name in made}
    assert modes == {name: "0o600" for name in made}
