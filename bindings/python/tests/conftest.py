"""Shared set-up: the package from this source tree, a serial list that never
reaches the machine's own ports, and omrsim on a pty."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterator, List, Optional, Sequence, Tuple

import pytest

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
SOURCE_ROOT = PACKAGE_ROOT.parents[1]
EXAMPLES = SOURCE_ROOT / "examples"
sys.path.insert(0, str(PACKAGE_ROOT))

# Never scan the machine's serial ports: every connection names its pty.
NO_READER = "/nonexistent/omr-no-reader"
os.environ["OMR_SERIAL_PORTS"] = NO_READER

import omr  # noqa: E402


def run_fresh(code: str, env: Optional[dict] = None) -> subprocess.CompletedProcess:
    """Run Python code in a new process (a fresh library state) with the
    package importable; returns the finished process."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = str(PACKAGE_ROOT) + os.pathsep + full_env.get("PYTHONPATH", "")
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", code], env=full_env, capture_output=True, text=True,
                          timeout=60)


@pytest.fixture(autouse=True)
def _closed_and_unscanned() -> Iterator[None]:
    """Each test starts with the safe serial list and leaves no connection."""
    os.environ["OMR_SERIAL_PORTS"] = NO_READER
    yield
    omr.library().MR_Close()
    os.environ["OMR_SERIAL_PORTS"] = NO_READER


def _omrsim_path() -> Optional[str]:
    explicit = os.environ.get("OMRSIM")
    if explicit:
        return explicit if os.access(explicit, os.X_OK) else None
    built = SOURCE_ROOT / "build" / "default" / "sim" / "omrsim"
    return str(built) if os.access(built, os.X_OK) else None


def parse_expected(path: Path) -> List[Tuple[str, str, int]]:
    """omrsim's expected file as (form letter, answers, status) per sheet:
    "LETTER TEXT" for a sheet that reads (\\xHH escapes undone), "! CODE" for
    one whose read fails."""
    sheets = []
    for line in path.read_text(encoding="latin-1").splitlines():
        if line.startswith("! "):
            sheets.append(("", "", int(line[2:])))
            continue
        letter, _, text = line.partition(" ")
        answers, i = [], 0
        while i < len(text):
            if text.startswith("\\x", i):
                answers.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
            else:
                answers.append(text[i])
                i += 1
        sheets.append((letter, "".join(answers), 0))
    return sheets


@dataclass
class Simulator:
    link: Path
    expected: List[Tuple[str, str, int]]
    process: subprocess.Popen


@pytest.fixture
def simulator(tmp_path: Path) -> Iterator[Callable[..., Simulator]]:
    """Starts omrsim on a pty: simulator(form, answers, *options). Skips the
    test when omrsim is not built. Every simulator is stopped afterwards."""
    program = _omrsim_path()
    if program is None:
        pytest.skip("omrsim is not built (set OMRSIM to its path)")
    started: List[subprocess.Popen] = []

    def start(form: Optional[Path] = EXAMPLES / "exam60.form",
              answers: Optional[Path] = EXAMPLES / "exam60.answers",
              *options: str, empty_status: Optional[int] = 16) -> Simulator:
        n = len(started)
        link = tmp_path / f"reader{n}"
        expected = tmp_path / f"reader{n}.expected"
        command = [program, "--link", str(link), "--expected", str(expected)]
        if form is not None:
            command += ["--form", str(form)]
        if answers is not None:
            command += ["--answers", str(answers)]
        if empty_status is not None:
            command += ["--empty-status", str(empty_status)]
        command += list(options)
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        started.append(process)
        deadline = time.monotonic() + 10
        while not (link.is_symlink() and expected.exists()):
            if process.poll() is not None:
                pytest.fail(f"omrsim stopped: {process.stderr.read() if process.stderr else ''}")
            if time.monotonic() > deadline:
                pytest.fail("omrsim did not make its link within 10 s")
            time.sleep(0.02)
        return Simulator(link, parse_expected(expected), process)

    yield start
    omr.library().MR_Close()
    for process in started:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
