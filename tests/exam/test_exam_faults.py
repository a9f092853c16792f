"""What an exam project and its stations survive, against the real programs
(omrctl, omrsim) and real SQLite files: a project moved or deleted while read
into, damaged files, another exam's project, read-only media, a reader that a
killed run has just let go, ports that are no reader, files for their owner.

Needs OMRCTL and OMRSIM (paths of the built programs); CTest sets them.
"""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import List, Optional

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


def printed(out: str) -> List[int]:
    """The numbers of the sheets a run announced as stored."""
    return [int(line.split()[0]) for line in out.splitlines() if line[:5].strip().isdigit()]


def numbers_in(path: Path, station: str) -> List[int]:
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return [n for (n,) in db.execute("SELECT number FROM sheets WHERE station = ? ORDER BY number", (station,))]
    finally:
        db.close()


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


# ------------------------------------------------------------------ a project moved or deleted while read into

@pytest.mark.parametrize("what", ["moved", "deleted", "replaced"])
def test_a_project_moved_or_deleted_while_read_into_keeps_every_sheet(tmp_path: Path, what: str) -> None:
    path = new_project(tmp_path)
    other = new_project(tmp_path, "other.omrexam")  # made before: the run goes on meanwhile
    sim = Simulator(tmp_path, "R", LINES * 2, "--feed-delay", "300")
    try:
        run = subprocess.Popen([OMRCTL, "--port", str(sim.link), "exam", "read", str(path), "--station", "R"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert run.stdout is not None
        first = "".join(run.stdout.readline() for _ in range(3))
        # The project and the journals SQLite makes beside it are the owner's.
        modes = {suffix: oct(Path(f"{path}{suffix}").stat().st_mode & 0o777) for suffix in ("", "-wal", "-shm")}
        if what == "moved":
            os.rename(path, tmp_path / "elsewhere.omrexam")
        elif what == "deleted":
            path.unlink()
        else:
            os.replace(other, path)
        out, err = run.communicate(timeout=60)
    finally:
        sim.stop()
    assert modes == {"": "0o600", "-wal": "0o600", "-shm": "0o600"}
    assert run.returncode == 6, err
    announced = printed(first + out)
    assert 3 <= len(announced) < 6, out  # the transport stopped at the next sheet
    if what == "moved":
        where = tmp_path / "elsewhere.omrexam"
        assert f"was moved to {where}" in err and f"omrctl exam read {where}" in err, err
    else:
        found = re.search(r"is saved in (\S+) ", err)
        assert found, err
        where = Path(found.group(1))
        assert where.parent == tmp_path and re.fullmatch(r"final-rescued-\d{8}T\d{6}Z\.omrexam", where.name)
        assert oct(where.stat().st_mode & 0o777) == "0o600"
    # Every sheet announced is in the file, nothing waits in a journal under the old name.
    assert numbers_in(where, "R") == announced
    assert stored(out) == len(announced) and f"read into {where} " in out, out
    assert not Path(f"{path}-wal").exists() and not Path(f"{path}-shm").exists()
    status = json.loads(omrctl("exam", "status", str(where), "--json").stdout)
    assert status["sheets"] == len(announced) and status["unfinished"] == []
    if what == "replaced":
        assert numbers_in(path, "R") == []  # the file put there is left as it is


def test_a_new_project_never_deletes_a_journal_left_under_its_name(tmp_path: Path) -> None:
    for journal in ("-wal", "-journal"):
        left = tmp_path / f"final.omrexam{journal}"
        left.write_bytes(b"the last sheets of a project that was here")
        done = omrctl("exam", "new", str(tmp_path / "final.omrexam"), "--exam", str(EXAM), check=False)
        assert done.returncode == 6 and f"{left} is there" in done.stderr and "move" in done.stderr, done.stderr
        assert left.read_bytes() == b"the last sheets of a project that was here"
        assert not (tmp_path / "final.omrexam").exists()
        left.write_bytes(b"")  # an empty journal holds nothing
        new_project(tmp_path)
        (tmp_path / "final.omrexam").unlink()
        left.unlink(missing_ok=True)


# ------------------------------------------------------------------ a damaged project

def damage(path: Path, how: str) -> None:
    data = bytearray(path.read_bytes())
    page = 4096
    middle = (len(data) // page // 2) * page
    if how == "truncated":
        del data[middle:]
    elif how == "a page zeroed":
        data[middle:middle + page] = bytes(page)
    elif how == "a page overwritten":
        data[middle + 8:middle + page] = bytes((i * 37 + 11) % 256 for i in range(page - 8))
    path.write_bytes(bytes(data))


def test_a_damaged_project_is_refused_by_every_command_that_writes(tmp_path: Path) -> None:
    good = new_project(tmp_path, "good.omrexam")
    sim = Simulator(tmp_path, "G", LINES * 4)
    try:
        assert read(good, sim.link, "G").returncode == 0
    finally:
        sim.stop()
    assert good.stat().st_size >= 8 * 4096
    grid = SOURCE / "examples" / "exam60.grid"
    sim = Simulator(tmp_path, "Z", LINES[:3])
    try:
        writers = {
            "read": ["--port", str(sim.link), "exam", "read", "{P}", "--station", "Z"],
            "import": ["exam", "import", "{P}", str(grid)],
            "correct": ["exam", "correct", "{P}", "1", "11", "A", "--by", "T"],
            "rekey": ["exam", "rekey", "{P}", "--item", "1", "--key", "A"],
            "rescan": ["exam", "rescan", "{P}"],
            "serve": ["exam", "serve", "{P}", "--listen", "127.0.0.1:0"],
        }
        for how in ("truncated", "a page zeroed", "a page overwritten"):
            path = tmp_path / f"{how.replace(' ', '-')}.omrexam"
            shutil.copy(good, path)
            damage(path, how)
            before = digest(path)
            for name, args in writers.items():
                done = subprocess.run([OMRCTL, *[a.replace("{P}", str(path)) for a in args]], capture_output=True,
                                      text=True, timeout=60)
                assert done.returncode == 6 and f"the project {path} is damaged" in done.stderr, (how, name, done)
                assert "nothing was written" in done.stderr and printed(done.stdout) == [], (how, name)
                assert digest(path) == before, (how, name)
    finally:
        sim.stop()
    assert numbers_in(good, "Z") == []  # the reader fed nothing


# ------------------------------------------------------------------ another exam's project

def legacy(path: Path) -> None:
    """Makes a project look as one made before exams kept their identity (schema 3)."""
    db = sqlite3.connect(path)
    db.executescript("DROP INDEX sheets_by_source; ALTER TABLE sheets DROP COLUMN author; "
                     "ALTER TABLE exams DROP COLUMN uid; UPDATE schema_version SET version = 3;")
    db.close()


def test_another_exams_project_is_refused_unless_as_this_exam(tmp_path: Path) -> None:
    grid = str(SOURCE / "examples" / "exam60.grid")
    for name in ("exam60.form", "exam60.students.csv"):
        shutil.copy(SOURCE / "examples" / name, tmp_path / name)
    (tmp_path / "other.json").write_text(EXAM.read_text().replace('"key": "CCEB', '"key": "ACEB'))
    final = new_project(tmp_path)

    def project(name: str, exam: Optional[Path] = EXAM, *, copy_of: Optional[Path] = None,
                old: bool = False) -> Path:
        path = tmp_path / name
        if copy_of:
            omrctl("exam", "backup", str(copy_of), str(path))
        else:
            omrctl("exam", "new", str(path), "--exam", str(exam))
        omrctl("exam", "import", str(path), grid, "--station", name)
        if old:
            legacy(path)
        return path

    cases = [  # (project, import options, exit, says)
        (project("other.omrexam", tmp_path / "other.json"), [], 2, "its keys and scoring differ"),
        (project("again.omrexam"), [], 2, "made from the same exam file, on its own"),
        (project("offline.omrexam"), ["--as-this-exam"], 0, "1 sheet brought in"),
        (project("copy.omrexam", copy_of=final), [], 0, "1 sheet brought in"),
    ]
    for path, options, code, says in cases:
        done = omrctl("exam", "import", str(final), str(path), *options, check=False)
        assert done.returncode == code and says in done.stdout + done.stderr, (path, done)
        if code:
            assert "--as-this-exam" in done.stderr
    stations = {s for s in ("other.omrexam", "again.omrexam", "offline.omrexam", "copy.omrexam")
                if numbers_in(final, s)}
    assert stations == {"offline.omrexam", "copy.omrexam"}

    # Made before exams kept an identity: a project and the spools it made then (each a copy of the revision
    # current when it was made) still match; another exam's old project does not.
    old = new_project(tmp_path, "old.omrexam")
    legacy(old)
    omrctl("exam", "rekey", str(old), "--item", "2", "--key", "A")
    db = sqlite3.connect(f"file:{old}?mode=ro", uri=True)
    (tmp_path / "rekeyed.json").write_bytes(db.execute("SELECT exam_text FROM revisions WHERE revision = 2")
                                            .fetchone()[0])
    db.close()
    spools = [project("spool-1.omrexam", old=True), project("spool-2.omrexam", tmp_path / "rekeyed.json", old=True)]
    for spool in spools:
        assert "1 sheet brought in" in omrctl("exam", "import", str(old), str(spool)).stdout
    other = project("other-old.omrexam", tmp_path / "other.json", old=True)
    done = omrctl("exam", "import", str(old), str(other), check=False)
    assert done.returncode == 2 and "its keys and scoring differ" in done.stderr, done.stderr
    assert [numbers_in(old, p.name) for p in spools + [other]] == [[1], [2], []]


# ------------------------------------------------------------------ read-only media

def read_only_runner(folder: Path) -> Optional[List[str]]:
    """A prefix that runs a command with `folder` mounted read-only in a mount namespace of its own; None
    when this machine allows none."""
    script = 'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" && exec "$@"'
    prefix = ["unshare", "-m", "sh", "-c", script, str(folder)]
    if not shutil.which("unshare"):
        return None
    probe = subprocess.run(prefix + ["sh", "-c", f"! touch '{folder}/probe' 2>/dev/null"], capture_output=True,
                           timeout=30)
    return prefix if probe.returncode == 0 and not (folder / "probe").exists() else None


def test_commands_that_only_read_open_a_copy_on_read_only_media(tmp_path: Path) -> None:
    project = new_project(tmp_path)
    sim = Simulator(tmp_path, "O", LINES[:6])
    try:
        assert read(project, sim.link, "O").returncode == 0
    finally:
        sim.stop()
    media = tmp_path / "media"
    media.mkdir()
    shutil.copy(project, media / "wal.omrexam")  # closed: WAL mode, no -wal beside it
    omrctl("exam", "backup", str(project), str(media / "backup.omrexam"))
    shutil.copy(project, media / "old.omrexam")
    legacy(media / "old.omrexam")  # an older schema: brought up to date in memory only
    # A copy taken with its last commits still in the -wal, and no -shm.
    shutil.copy(project, tmp_path / "busy.omrexam")
    db = sqlite3.connect(tmp_path / "busy.omrexam")
    db.execute("PRAGMA wal_autocheckpoint = 0")
    db.execute("UPDATE batches SET sheets = sheets + 1")
    db.commit()
    for suffix in ("", "-wal"):
        shutil.copy(f"{tmp_path / 'busy.omrexam'}{suffix}", f"{media / 'pending.omrexam'}{suffix}")
    db.close()

    runner = read_only_runner(media)
    if runner is None:
        if os.geteuid() == 0:
            pytest.skip("no private mount namespace here (unshare -m and a read-only bind mount), and root "
                        "writes whatever the permissions say")
        runner = []
        for f in media.iterdir():
            f.chmod(0o400)
        media.chmod(0o500)
    before = {f.name: digest(f) for f in media.iterdir()}
    out = tmp_path / "out"
    out.mkdir()
    readers = [["status", "{P}", "--json"], ["export", "{P}", "--csv", str(out / "{N}.csv")], ["stats", "{P}"],
               ["report", "{P}", "--html", str(out / "{N}.html")], ["integrity", "{P}", "--json"]]
    try:
        for name in ("wal", "backup", "old"):
            path = media / f"{name}.omrexam"
            for args in readers:
                done = subprocess.run(runner + [OMRCTL, "exam", *[a.replace("{P}", str(path)).replace("{N}", name)
                                                                  for a in args]],
                                      capture_output=True, text=True, timeout=120)
                assert done.returncode == 0, (name, args, done.stderr)
                if args[0] == "status":
                    assert json.loads(done.stdout)["sheets"] == 6
            # Python reads it too.
            count = f"import omr; print(len(omr.Exam({str(path)!r}).sheets))"
            done = subprocess.run(runner + [sys.executable, "-c", count], capture_output=True, text=True, timeout=60,
                                  env={**os.environ, "PYTHONPATH": str(SOURCE / "bindings" / "python")})
            assert done.stdout.strip() == "6", (name, done.stderr)
        done = subprocess.run(runner + [OMRCTL, "exam", "status", str(media / "pending.omrexam")],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 6 and "its last commits are in" in done.stderr and "exam backup" in done.stderr
        done = subprocess.run(runner + [OMRCTL, "exam", "correct", str(media / "wal.omrexam"), "1", "11", "A",
                                        "--by", "T"], capture_output=True, text=True, timeout=60)
        assert done.returncode == 6 and "cannot be written here" in done.stderr, done.stderr
    finally:
        if not runner:
            media.chmod(0o700)
    assert {f.name: digest(f) for f in media.iterdir()} == before  # nothing changed, nothing added
    assert (out / "backup.csv").read_bytes() == (out / "wal.csv").read_bytes()


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


# ------------------------------------------------------------------ what a spreadsheet would run

def test_formulas_in_roster_fields_go_out_of_every_csv_as_text(tmp_path: Path) -> None:
    for name in ("exam60.form", "exam60.grid"):
        shutil.copy(SOURCE / "examples" / name, tmp_path / name)
    # The example grid's student, with fields a spreadsheet would take for formulas.
    (tmp_path / "students.csv").write_text('id,name,class\n20240131,=1+1,"@SUM(A1:A9)"\n20240002,-2+3,+7A\n')
    (tmp_path / "exam.json").write_text(EXAM.read_text().replace("exam60.students.csv", "students.csv"))
    path = tmp_path / "final.omrexam"
    omrctl("exam", "new", str(path), "--exam", str(tmp_path / "exam.json"))
    omrctl("exam", "import", str(path), str(tmp_path / "exam60.grid"))
    for options in ([], ["--excel"]):  # the students, with their roster columns
        out = tmp_path / f"export{len(options)}.csv"
        omrctl("exam", "export", str(path), "--csv", str(out), *options)
        text = out.read_text(encoding="utf-8-sig")
        for cell in ("=1+1", "@SUM(A1:A9)", "-2+3", "+7A"):
            assert f"'{cell}" in text, (options, text[:500])
        assert not re.search(r"(^|,)[=+@]", text.replace("\r", ""), re.M), text[:500]
