"""Several stations and reviewers on one exam in PostgreSQL.

Four simulated readers and four `omrctl exam read` read 500 sheets each into
one exam at once while two reviewers correct the same questions through two
`omrctl exam serve` on the database: every sheet is there once, numbered
without a gap per station, both corrections of a question are kept, the later
one counts, and each server shows the other's. Then the database is restarted
mid-batch: every station stops, keeps the sheet in flight in a spool, and
after `exam import` nothing is missing or doubled; the same when the server
freezes (SIGSTOP) or the network to it is cut (in a network namespace of the
station's own), noticed within about ten seconds, the review server answering
503 meanwhile.

The cluster is this test's own (scripts/pg-test-server), since it restarts it.
Expected values come from the lines the test drew and the simulator's
predictions. Needs OMRCTL, OMRSIM (CTest sets them) and psql.
"""

from __future__ import annotations

import contextlib
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Tuple

import pytest

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests" / "review"))
from review_support import Server  # noqa: E402
sys.path.insert(0, str(SOURCE / "bindings" / "python"))
import omr  # noqa: E402

OMRCTL = os.environ.get("OMRCTL", str(SOURCE / "build/default/tools/omrctl/omrctl"))
OMRSIM = os.environ.get("OMRSIM", str(SOURCE / "build/default/sim/omrsim"))
PG_TEST_SERVER = SOURCE / "scripts" / "pg-test-server"
FORM = SOURCE / "examples" / "exam60.form"
OPTIONS = "ABCDE"
KEY = "".join(random.Random(24).choice(OPTIONS) for _ in range(60))
STATIONS = ["north", "south", "east", "west"]


@dataclass
class Cluster:
    dir: Path
    env: Dict[str, str]

    def uri(self, db: str) -> str:
        return f"postgresql://{self.env['PGUSER']}@{self.env['PGHOST']}:{self.env['PGPORT']}/{db}"

    def psql(self, db: str, sql: str) -> List[List[str]]:
        done = subprocess.run(["psql", "-X", "-q", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1", "-d", db,
                               "-c", sql], capture_output=True, text=True, env=self.env, timeout=60)
        assert done.returncode == 0, done.stderr
        return [line.split("\t") for line in done.stdout.splitlines() if line]


@pytest.fixture(scope="module")
def cluster():
    for program in (OMRCTL, OMRSIM):
        if not os.access(program, os.X_OK):
            pytest.skip(f"{program} is not built")
    if not shutil.which("psql"):
        pytest.fail("psql is missing: run scripts/bootstrap (postgresql)")
    # Not under pytest's folders (mode 0700): the server runs as postgres when the test runs as root.
    base = Path(tempfile.mkdtemp(prefix="omr-pg-"))
    os.chmod(base, 0o755)
    where = base / "cluster"
    started = subprocess.run([str(PG_TEST_SERVER), "start", str(where)], capture_output=True, text=True,
                             timeout=180)
    assert started.returncode == 0, started.stderr
    env = dict(os.environ)
    for word in started.stdout.split():
        if "=" in word:
            name, value = word.split("=", 1)
            env[name] = value
    # The review servers are started by review_support with this process's environment.
    saved = dict(os.environ)
    os.environ.update({k: v for k, v in env.items() if k.startswith("PG")})
    try:
        yield Cluster(where, env)
    finally:
        os.environ.clear()
        os.environ.update(saved)
        subprocess.run([str(PG_TEST_SERVER), "stop", str(where)], capture_output=True, timeout=60)
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="module")
def database(cluster: Cluster, tmp_path_factory: pytest.TempPathFactory) -> Tuple[str, Path]:
    cluster.psql("omr", "CREATE DATABASE centre")
    work = tmp_path_factory.mktemp("shared")
    (work / "exam.json").write_text(
        '{"form": "%s", "student": {"questions": "1-8"}, "items": "11-70", "keys": {"1": "%s"}}\n' % (FORM, KEY))
    return cluster.uri("centre"), work


def omrctl(cluster: Cluster, *args: str, check: bool = True) -> subprocess.CompletedProcess:
    done = subprocess.run([OMRCTL, *args], capture_output=True, text=True, env=cluster.env, timeout=300)
    if check and done.returncode != 0:
        pytest.fail(f"omrctl {' '.join(args)} exited {done.returncode}\n{done.stdout}\n{done.stderr}")
    return done


def draw(count: int, rng: random.Random, shared_ids: List[str]) -> List[str]:
    """Answer lines: an ID (some shared with other stations), class, version 1, 60 answers."""
    lines = []
    for n in range(count):
        sid = shared_ids[n] if n < len(shared_ids) else f"{rng.randrange(10**8):08d}"
        items = []
        for _ in range(60):
            roll = rng.random()
            if roll < 0.05:
                items.append(".")
            elif roll < 0.08:
                a, b = sorted(rng.sample(range(1, 6), 2))
                items.append(f"[{a},{b}]")
            else:
                items.append(rng.choice(OPTIONS))
        lines.append(f"A {sid}{rng.randrange(10)}1{''.join(items)}")
    return lines


class Station:
    """One omrsim reader and one `omrctl exam read` into the shared exam."""

    def __init__(self, cluster: Cluster, work: Path, uri: str, name: str, lines: List[str], *sim_options: str,
                 exam: str = "", prefix: Tuple[str, ...] = (), db: str = "centre",
                 options: Tuple[str, ...] = ()) -> None:
        self.name = name
        self.link = work / f"reader-{name}"
        (work / f"{name}.answers").write_text("\n".join(lines) + "\n")
        self.expected_file = work / f"{name}.expected"
        self.log = open(work / f"omrsim-{name}.log", "w")
        self.sim = subprocess.Popen(
            [OMRSIM, "--link", str(self.link), "--form", str(FORM), "--answers", str(work / f"{name}.answers"),
             "--expected", str(self.expected_file), "--empty-status", "16", *sim_options],
            stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.monotonic() + 30
        while not (self.link.is_symlink() and self.expected_file.exists()):
            if self.sim.poll() is not None or time.monotonic() > deadline:
                self.sim.kill()
                self.sim.wait()
                self.log.close()
                pytest.fail(f"omrsim made no link: see {self.log.name}")
            time.sleep(0.02)
        args = [*prefix, OMRCTL, "--port", str(self.link), "exam", "read", uri, "--station", name, "--max-errors", "0"]
        if exam:
            args += ["--name", exam]
        args += options
        self.read = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     env=cluster.env, cwd=work)

    def finish(self, timeout: float) -> Tuple[int, str, str]:
        try:
            out, err = self.read.communicate(timeout=timeout)
        finally:
            self.sim.terminate()
            self.sim.wait(timeout=30)
            self.log.close()
        return self.read.returncode, out, err

    def stop(self) -> None:
        """Nothing left running, whatever happened."""
        for process in (self.read, self.sim):
            if process.poll() is None:
                process.kill()
                process.wait(timeout=30)
        if not self.log.closed:
            self.log.close()

    def expected(self) -> List[str]:
        return [line[2:] for line in self.expected_file.read_text(encoding="latin-1").splitlines()]


def stored(cluster: Cluster, db: str, exam: str) -> Dict[str, List[Tuple[int, int, str, str]]]:
    """Per station: (number, station number, result text, grid hash) in station order."""
    rows = cluster.psql(db, "SELECT s.station, s.number, s.station_number, encode(s.result, 'escape'), "
                            "s.grid_hash FROM sheets s JOIN exams e ON e.id = s.exam_id "
                            f"WHERE e.name = '{exam}' ORDER BY s.station, s.station_number")
    out: Dict[str, List[Tuple[int, int, str, str]]] = {}
    for station, number, station_number, result, grid_hash in rows:
        out.setdefault(station, []).append((int(number), int(station_number), result, grid_hash))
    return out


def wait_for_sheets(cluster: Cluster, sql: str, count: int, stations: List[Station], db: str = "centre") -> None:
    """Until the query counts `count` sheets; every station still reading."""
    while int(cluster.psql(db, sql)[0][0]) < count:
        for s in stations:
            if s.read.poll() is not None:
                out, err = s.read.communicate()
                pytest.fail(f"station {s.name} ended early: exit {s.read.returncode}\n{out[-1000:]}\n{err}")
        time.sleep(0.05)


def parallel(calls: List[Callable[[], object]]) -> List[object]:
    """The calls run at once, their results in order."""
    results: List[object] = [None] * len(calls)

    def one(i: int) -> None:
        results[i] = calls[i]()

    threads = [threading.Thread(target=one, args=(i,)) for i in range(len(calls))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    return results


def reviewer(server: Server, name: str, answer: str, targets: List[Tuple[int, int]], failures: List[str]) -> None:
    """Corrects every target through the review API of one server."""
    for sheet, question in targets:
        try:
            status, body = server.post_json("/api/corrections", {
                "sheet": sheet, "target": str(question), "value": answer, "author": name,
                "reason": f"checked by {name}"})
        except OSError as e:
            status, body = 0, {"error": str(e)}
        if status != 200:
            failures.append(f"{name} on sheet {sheet} q{question}: HTTP {status}: {body}")


def test_four_stations_and_two_reviewers_on_one_exam(cluster: Cluster, database: Tuple[str, Path]) -> None:
    uri, work = database
    omrctl(cluster, "exam", "new", uri, "--exam", str(work / "exam.json"), "--name", "load")
    rng = random.Random(2024)
    # Ten IDs read at two stations each: both sheets must be flagged, whoever stored first.
    shared = [f"{77000000 + i:08d}" for i in range(10)]
    lines = {s: draw(500, rng, shared[:5] if i % 2 == 0 else shared[5:]) for i, s in enumerate(STATIONS)}
    started = time.monotonic()
    stations: List[Station] = []
    servers: List[Server] = []
    try:
        for name in STATIONS:
            stations.append(Station(cluster, work, uri, name, lines[name]))
        # Two review servers on the database; the reviewers start once some
        # sheets are in, one on each server, and both correct the same questions.
        servers = [Server(uri + "?application_name=review") for _ in range(2)]
        wait_for_sheets(cluster, "SELECT COUNT(*) FROM sheets", 60, stations)
        targets = [(sheet, 11 + (sheet * 7) % 60) for sheet in range(1, 41)]
        failures: List[str] = []
        reviewers = [threading.Thread(target=reviewer, args=(server, name, answer, targets, failures))
                     for server, (name, answer) in zip(servers, (("Ann", "A"), ("Bo", "B")))]
        for r in reviewers:
            r.start()
        results = {s.name: s.finish(timeout=600) for s in stations}
        for r in reviewers:
            r.join(timeout=300)
        # Each server shows both corrections of a question, the later counting.
        shown = [server.get_json(f"/api/sheets/{targets[0][0]}")["corrections"] for server in servers]
    finally:
        for server in servers:
            server.stop()
        for station in stations:
            station.stop()
    elapsed = time.monotonic() - started
    print(f"2,000 sheets and {2 * len(targets)} corrections in {elapsed:.1f} s")

    for name, (code, out, err) in results.items():
        assert code == 0, f"station {name}: exit {code}\n{out[-2000:]}\n{err}"
        assert "serializ" not in err and "deadlock" not in err, err
    assert failures == []
    assert shown[0] == shown[1]
    assert sorted(c["author"] for c in shown[0]) == ["Ann", "Bo"]
    assert [c["state"] for c in shown[0]] == ["overridden", "counts"]

    # Every sheet once: exam-wide numbers 1..2000, each station's 1..500 in the order it read them.
    got = stored(cluster, "centre", "load")
    numbers = sorted(n for sheets in got.values() for n, _, _, _ in sheets)
    assert numbers == list(range(1, 2001))
    for s in stations:
        sheets = got[s.name]
        assert [m for _, m, _, _ in sheets] == list(range(1, 501)), s.name
        assert [text for _, _, text, _ in sheets] == s.expected(), s.name
        # The exam-wide numbers grow with the station's own.
        assert [n for n, _, _, _ in sheets] == sorted(n for n, _, _, _ in sheets)

    # IDs read at two stations: every such sheet flagged, by whichever stored second.
    flagged = {int(n) for n, reasons in cluster.psql("centre", "SELECT number, reasons FROM scores")
               if any(why[0] == "duplicate-id" for why in json.loads(reasons))}
    twice = {n for s in stations for n, _, text, _ in got[s.name] if text[:8] in shared}
    assert len(twice) == 20 and twice <= flagged

    # Both corrections of each question kept; each saw the other's; the later counts.
    rows = cluster.psql("centre", "SELECT s.number, c.target, c.id, c.author, COALESCE(c.old_value, '-'), "
                                  "c.new_value FROM corrections c JOIN sheets s ON s.id = c.sheet_id ORDER BY c.id")
    assert len(rows) == 2 * len(targets)
    answers = {int(n): a.split(",") for n, a in cluster.psql(
        "centre", "SELECT s.number, c.answers FROM scores c JOIN sheets s ON s.id = c.sheet_id")}
    for sheet, question in targets:
        mine = [r for r in rows if int(r[0]) == sheet and r[1] == str(question)]
        assert sorted(r[3] for r in mine) == ["Ann", "Bo"], mine
        first, later = mine
        assert later[4] == first[5], mine  # the later one was made over the earlier
        assert answers[sheet][question - 11] == later[5], (sheet, question)

    # A notebook sees the same exam through omr.Exam, read-only.
    with omr.Exam(uri, "load") as exam:
        assert {s.sheet: s.answers for s in exam.scores} == answers
        assert [(c.sheet, c.target, c.author) for c in exam.corrections] == [
            (int(n), t, a) for n, t, _, a, _, _ in rows]
        assert {r.sheet for r in exam.review if r.reason == "duplicate-id"} == flagged
        grid = exam.grid(1)
        assert grid is not None and len(grid[2]) == grid[0] * grid[1]
    with pytest.raises(omr.ExamError, match="no exam named"):
        omr.Exam(uri, "nonesuch")
    with pytest.raises(omr.ExamError, match="pgpass"):
        omr.Exam(uri.replace("@", ":secret@", 1), "load")


def test_a_restart_mid_batch_spools_and_the_import_loses_nothing(cluster: Cluster,
                                                                  database: Tuple[str, Path]) -> None:
    uri, work = database
    work = work / "restart"
    work.mkdir()
    omrctl(cluster, "exam", "new", uri, "--exam", str(work.parent / "exam.json"), "--add", "--name", "restart")
    rng = random.Random(7)
    stations: List[Station] = []
    review = Server(uri, "--name", "restart")
    try:
        for name in STATIONS:
            stations.append(Station(cluster, work, uri, name, draw(300, rng, []), "--feed-delay", "40",
                                    exam="restart"))
        wait_for_sheets(cluster, "SELECT COUNT(*) FROM sheets s JOIN exams e ON e.id = s.exam_id "
                                 "WHERE e.name = 'restart'", 80, stations)
        # Requests at once leave several connections in the review server's pool.
        at_once = lambda: parallel([lambda: review.request("GET", "/api/queue")[::2] for _ in range(4)])  # noqa
        assert [status for status, _ in at_once()] == [200] * 4
        restarted = subprocess.run([str(PG_TEST_SERVER), "restart", str(cluster.dir), "1"], capture_output=True,
                                   text=True, timeout=120)
        assert restarted.returncode == 0, restarted.stderr
        # The first requests after the restart find their pooled connections gone: each is tried once more
        # on a fresh one, not answered 503.
        answers = at_once()
        assert [status for status, _ in answers] == [200] * 4, answers
        results = {s.name: s.finish(timeout=300) for s in stations}
    finally:
        review.stop()
        for station in stations:
            station.stop()

    spools = {}
    printed = {}
    for name, (code, out, err) in results.items():
        assert code == 6, f"station {name}: exit {code}\n{out[-2000:]}\n{err}"
        found = re.search(r"kept in the spool (\S+):", err)
        assert found, err
        spools[name] = work / found.group(1)
        assert spools[name].exists()
        printed[name] = [int(line.split()[0]) for line in out.splitlines() if line[:5].strip().isdigit()]
        assert out.rstrip().endswith(f"1 kept in the spool {found.group(1)}"), out[-500:]

    for name, spool in spools.items():
        done = omrctl(cluster, "exam", "import", uri, "--name", "restart", str(spool))
        assert re.search(r"1 sheet brought in|0 sheets brought in .* 1 here already", done.stdout), done.stdout
    again = omrctl(cluster, "exam", "import", uri, "--name", "restart", *map(str, spools.values()))
    assert again.stdout.count("1 here already") == 4, again.stdout

    # Each station's sheets: exactly the first ones of its tray, in order, once.
    got = stored(cluster, "centre", "restart")
    numbers = [n for sheets in got.values() for n, _, _, _ in sheets]
    assert len(numbers) == len(set(numbers))
    for s in stations:
        sheets = got[s.name]
        k = len(printed[s.name]) + 1  # every sheet it announced, and the one in flight
        assert [m for _, m, _, _ in sheets] == list(range(1, k + 1)), s.name
        assert [text for _, _, text, _ in sheets] == s.expected()[:k], s.name
        assert len({h for _, _, _, h in sheets}) == k
        assert set(printed[s.name]) <= {n for n, _, _, _ in sheets}


# ------------------------------------------------------------------ a server that stops answering

def cluster_processes(cluster: Cluster) -> List[int]:
    """The cluster's postmaster and every process it started."""
    postmaster = int((cluster.dir / "data" / "postmaster.pid").read_text().split()[0])
    children: Dict[int, List[int]] = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            parent = int(Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(parent, []).append(int(entry))
    found, todo = [], [postmaster]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo += children.get(pid, [])
    return found


@contextlib.contextmanager
def frozen(cluster: Cluster) -> Iterator[None]:
    processes = cluster_processes(cluster)
    for pid in processes:
        os.kill(pid, signal.SIGSTOP)
    try:
        yield
    finally:
        for pid in processes:
            os.kill(pid, signal.SIGCONT)


class CutNetwork:
    """A network namespace joined to this one by a veth pair, and a relay on this side's address to the
    cluster's port: a station run in the namespace reaches the database through the pair, and taking this
    side's end down drops its packets silently, as a cut cable does."""

    def __init__(self, cluster: Cluster) -> None:
        tag = os.getpid() % 10000
        self.name, self.outer, inner = f"omrcut{tag}", f"omrh{tag}", f"omrn{tag}"
        net = f"10.{200 + tag % 50}.{tag % 250}"
        self.address = f"{net}.1"
        self.made = False
        if not shutil.which("ip"):
            pytest.skip("no ip program (iproute2) here to make a network namespace")
        steps = [["ip", "netns", "add", self.name],
                 ["ip", "link", "add", self.outer, "type", "veth", "peer", "name", inner],
                 ["ip", "link", "set", inner, "netns", self.name],
                 ["ip", "addr", "add", f"{self.address}/30", "dev", self.outer],
                 ["ip", "link", "set", self.outer, "up"],
                 ["ip", "netns", "exec", self.name, "ip", "addr", "add", f"{net}.2/30", "dev", inner],
                 ["ip", "netns", "exec", self.name, "ip", "link", "set", inner, "up"]]
        for i, step in enumerate(steps):
            done = subprocess.run(step, capture_output=True, text=True, timeout=30)
            if done.returncode != 0:
                self.close()
                if i == 0:
                    pytest.skip(f"this machine makes no network namespace ({done.stderr.strip()})")
                pytest.fail(f"{' '.join(step)}: {done.stderr}")
            self.made = True
        self.listener = socket.create_server((self.address, 0))
        self.port = self.listener.getsockname()[1]
        self.target = ("127.0.0.1", int(cluster.env["PGPORT"]))
        threading.Thread(target=self.relay, daemon=True).start()

    def relay(self) -> None:
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(self.target)
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self.pump, args=(a, b), daemon=True).start()

    @staticmethod
    def pump(a: socket.socket, b: socket.socket) -> None:
        try:
            while data := a.recv(65536):
                b.sendall(data)
        except OSError:
            pass
        finally:
            for s in (a, b):
                with contextlib.suppress(OSError):
                    s.shutdown(socket.SHUT_RDWR)

    def wrap(self, args: List[str]) -> List[str]:
        return ["ip", "netns", "exec", self.name, *args]

    @contextlib.contextmanager
    def cut(self) -> Iterator[None]:
        subprocess.run(["ip", "link", "set", self.outer, "down"], check=True, timeout=30)
        try:
            yield
        finally:
            subprocess.run(["ip", "link", "set", self.outer, "up"], check=True, timeout=30)

    def close(self) -> None:
        if hasattr(self, "listener"):
            self.listener.close()
        subprocess.run(["ip", "link", "del", self.outer], capture_output=True, timeout=30)
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True, timeout=30)


class Lines:
    """A pipe read line by line in a thread, each line with when it came."""

    def __init__(self, pipe) -> None:
        self.lines: List[Tuple[float, str]] = []
        self.thread = threading.Thread(target=lambda: self.lines.extend((time.monotonic(), l) for l in pipe),
                                       daemon=True)
        self.thread.start()

    def first(self, text: str, timeout: float) -> float:
        """When the first line holding `text` came."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for when, line in list(self.lines):
                if text in line:
                    return when
            time.sleep(0.05)
        pytest.fail(f"no line with {text!r} in {timeout} s: {''.join(l for _, l in self.lines)[-2000:]}")

    def text(self) -> str:
        self.thread.join(timeout=60)
        return "".join(line for _, line in self.lines)


@pytest.mark.parametrize("fault", ["frozen", "cut"])
def test_a_database_that_stops_answering_is_noticed_and_the_sheet_in_flight_spooled(
        cluster: Cluster, database: Tuple[str, Path], fault: str) -> None:
    _, work = database
    work = work / fault
    work.mkdir()
    exam = db = f"silent_{fault}"
    cluster.psql("omr", f"CREATE DATABASE {db}")
    uri = cluster.uri(db)
    omrctl(cluster, "exam", "new", uri, "--exam", str(work.parent / "exam.json"), "--name", exam)
    network = CutNetwork(cluster) if fault == "cut" else None
    where = uri if network is None else uri.replace(f"@{cluster.env['PGHOST']}:{cluster.env['PGPORT']}/",
                                                   f"@{network.address}:{network.port}/")
    count = f"SELECT COUNT(*) FROM sheets s JOIN exams e ON e.id = s.exam_id WHERE e.name = '{exam}'"
    station = None
    review = Server(uri, "--name", exam)
    try:
        station = Station(cluster, work, where, "north", draw(200, random.Random(fault), []), "--feed-delay",
                          "100", exam=exam, prefix=tuple(network.wrap([])) if network else ())
        out, err = Lines(station.read.stdout), Lines(station.read.stderr)
        wait_for_sheets(cluster, count, 10, [station], db)
        review.get_json("/api/queue")
        answer: Dict[str, object] = {}

        def ask() -> None:
            asked = time.monotonic()
            answer["status"], _, answer["body"] = review.request("GET", "/api/queue")
            answer["after"] = time.monotonic() - asked

        started = time.monotonic()
        with frozen(cluster) if network is None else network.cut():
            asker = threading.Thread(target=ask)
            if network is None:
                asker.start()
            noticed = err.first("kept in the spool", timeout=30) - started
            if network is None:
                asker.join(timeout=30)
        assert station.read.wait(timeout=60) == 6
        printed = [int(line.split()[0]) for line in out.text().splitlines() if line[:5].strip().isdigit()]
        said = err.text()
    finally:
        review.stop()
        if station:
            station.stop()
        if network:
            network.close()
    print(f"{fault}: the station noticed after {noticed:.1f} s; the review server answered "
          f"{answer.get('status')} after {answer.get('after', 0):.1f} s")
    # Noticed within the ten seconds that the connection and statement time-outs allow, and said.
    assert noticed < 12, said
    assert "did not answer" in said, said
    if network is None:
        assert answer["status"] == 503 and b"did not answer" in answer["body"], answer
        assert answer["after"] < 15, answer

    spool = work / re.search(r"kept in the spool (\S+):", said).group(1)
    omrctl(cluster, "exam", "import", uri, "--name", exam, str(spool))
    sheets = stored(cluster, db, exam)["north"]
    k = len(printed) + 1  # every sheet it announced, and the one in flight: each once
    assert [m for _, m, _, _ in sheets] == list(range(1, k + 1))
    assert [text for _, _, text, _ in sheets] == station.expected()[:k]
