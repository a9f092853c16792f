"""A centre on this machine: one PostgreSQL cluster of scripts/pg-test-server (TLS-only over TCP, optionally
a PgBouncer in front of it) and many stations, each an omrsim reader and an `omrctl exam read --json` into one
exam. Used by test_exam_centre.py and bench/stations.py; the stations are those of test_exam_shared.py.
"""

from __future__ import annotations

import json
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))
from test_exam_shared import FORM, KEY, OMRCTL, OMRSIM, PG_TEST_SERVER, Cluster, Station, draw, stored  # noqa: E402


class Missing(Exception):
    """A program the centre needs is not on this machine (the message says which and how to get it)."""


def environment(text: str, env: Dict[str, str]) -> None:
    """The `export NAME=VALUE` lines pg-test-server prints, into env."""
    for line in text.splitlines():
        for word in line.replace("export ", "", 1).split():
            if "=" in word:
                name, value = word.split("=", 1)
                env[name] = value.strip("'")


@dataclass
class Centre:
    cluster: Cluster
    base: Path
    pooler_uri: str = ""

    @staticmethod
    def start(tls: bool = True, options: str = "") -> "Centre":
        if not shutil.which("psql"):
            raise Missing("psql is missing: run scripts/bootstrap (postgresql)")
        # Not under pytest's folders (mode 0700): the server runs as postgres when this runs as root.
        base = Path(tempfile.mkdtemp(prefix="omr-centre-"))
        os.chmod(base, 0o755)
        where = base / "cluster"
        env = dict(os.environ)
        if options:
            env["OMR_PG_OPTIONS"] = options
        started = subprocess.run([str(PG_TEST_SERVER), "start", *(["--tls"] if tls else []), str(where)],
                                 capture_output=True, text=True, timeout=180, env=env)
        if started.returncode != 0:
            shutil.rmtree(base, ignore_errors=True)
            raise RuntimeError(f"pg-test-server start: {started.stderr}")
        env = dict(os.environ)
        environment(started.stdout, env)
        return Centre(Cluster(where, env), base)

    def pooler(self, size: int) -> str:
        """A PgBouncer in transaction mode with `size` server connections; its URI."""
        done = subprocess.run([str(PG_TEST_SERVER), "pooler", str(self.cluster.dir), str(size)],
                              capture_output=True, text=True, timeout=60)
        if done.returncode == 2 and "pgbouncer is missing" in done.stderr:
            raise Missing(done.stderr.strip())
        if done.returncode != 0:
            raise RuntimeError(f"pg-test-server pooler: {done.stderr}")
        environment(done.stdout, self.cluster.env)
        self.pooler_uri = self.cluster.env["OMR_PGBOUNCER_URI"]
        return self.pooler_uri

    def stop(self) -> None:
        subprocess.run([str(PG_TEST_SERVER), "stop", str(self.cluster.dir)], capture_output=True, timeout=60)
        shutil.rmtree(self.base, ignore_errors=True)

    def uri(self, db: str, query: str = "") -> str:
        """Direct to the server; over TLS verified against the cluster's certificate when it has one."""
        root = self.cluster.env.get("OMR_PG_ROOTCERT")
        if root and not query:
            query = f"sslmode=verify-full&sslrootcert={root}"
        return self.cluster.uri(db) + (f"?{query}" if query else "")

    def pooled(self, db: str) -> str:
        return self.pooler_uri.rsplit("/", 1)[0] + "/" + db

    def database(self, db: str) -> None:
        self.cluster.psql("omr", f"CREATE DATABASE {db}")

    def omrctl(self, *args: str) -> subprocess.CompletedProcess:
        return subprocess.run([OMRCTL, *args], capture_output=True, text=True, env=self.cluster.env, timeout=300)


def exam_file(work: Path) -> Path:
    path = work / "exam.json"
    path.write_text('{"form": "%s", "student": {"questions": "1-8"}, "items": "11-70", "keys": {"1": "%s"}}\n'
                    % (FORM, KEY))
    return path


@dataclass
class Run:
    """What the stations of one run did: per station its exit, JSON lines, standard error and what the
    simulator predicted for each sheet; the wall time from the first start to the last exit."""
    exits: Dict[str, Tuple[int, List[dict], str]] = field(default_factory=dict)
    expected: Dict[str, List[str]] = field(default_factory=dict)
    seconds: float = 0.0

    def sheets(self, name: str) -> List[dict]:
        return [line for line in self.exits[name][1] if line.get("event") == "sheet"]

    def store_ms(self) -> List[float]:
        return [s["store_ms"] for name in self.exits for s in self.sheets(name)]


def json_lines(out: str) -> List[dict]:
    lines = []
    for text in out.splitlines():
        try:
            lines.append(json.loads(text))
        except ValueError:
            lines.append({"event": "not json", "text": text})
    return lines


def read_at_once(centre: Centre, work: Path, uri: str, names: List[str], sheets: int, seed: int,
                 sim_options: Tuple[str, ...] = (), timeout: float = 120) -> Run:
    """Every station reads `sheets` drawn sheets into the exam at `uri`, all at once."""
    rng = random.Random(seed)
    run = Run()
    stations: List[Station] = []
    started = time.monotonic()
    try:
        for name in names:
            stations.append(Station(centre.cluster, work, uri, name, draw(sheets, rng, []), *sim_options,
                                    options=("--json",)))
        for s in stations:
            code, out, err = s.finish(timeout=max(1.0, timeout - (time.monotonic() - started)))
            run.exits[s.name] = (code, json_lines(out), err)
            run.expected[s.name] = s.expected()
    finally:
        for s in stations:
            s.stop()
    run.seconds = time.monotonic() - started
    return run


def every_sheet_once(centre: Centre, db: str, exam: str, run: Run) -> List[str]:
    """What is wrong with the run (nothing: []): every station ended well, and the database holds each sheet
    it read once, numbered 1..N exam-wide and 1..k per station in the order read, with the simulator's
    result, as the station's lines said."""
    wrong = []
    for name, (code, lines, err) in run.exits.items():
        if code != 0:
            wrong.append(f"station {name}: exit {code}: {err[-1500:]}")
    got = stored(centre.cluster, db, exam)
    numbers = sorted(n for rows in got.values() for n, _, _, _ in rows)
    total = sum(len(e) for e in run.expected.values())
    if numbers != list(range(1, total + 1)):
        wrong.append(f"exam-wide numbers are not 1..{total} once each: {numbers}")
    for name, expected in run.expected.items():
        rows = got.get(name, [])
        if [m for _, m, _, _ in rows] != list(range(1, len(expected) + 1)):
            wrong.append(f"station {name}: station numbers {[m for _, m, _, _ in rows]}")
        if [text for _, _, text, _ in rows] != expected:
            wrong.append(f"station {name}: results differ from the simulator's")
        said = run.sheets(name)
        if [(s["sheet"], s["station_number"]) for s in said] != [(n, m) for n, m, _, _ in rows]:
            wrong.append(f"station {name}: its lines name other sheets than stored")
        if not all(isinstance(s.get("store_ms"), (int, float)) and s["store_ms"] >= 0 for s in said):
            wrong.append(f"station {name}: a sheet line without its store time")
    return wrong


def percentile(values: List[float], p: float) -> Optional[float]:
    """The nearest-rank percentile (the smallest value with p % of them at or below it)."""
    if not values:
        return None
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100 * len(ordered)) - 1)]
