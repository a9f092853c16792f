"""omrctl read against omrsim when the run is stopped, the disk fills, the reader hangs up or refuses every
sheet, or the outputs exist already: every sheet the simulator fed is in the outputs or named on stderr as to
be fed again, no file is truncated or overwritten, and the exit code is the README's.

Environment: OMRCTL and OMRSIM (the programs), OMR_EXAMPLES (the example forms), OMR_READ_TRAY (the README's
C example, built).
"""
import csv
import fcntl
import grp
import io
import json
import os
import re
import resource
import selectors
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

OMRCTL = os.environ.get("OMRCTL", "")
OMRSIM = os.environ.get("OMRSIM", "")
EXAMPLES = os.environ.get("OMR_EXAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
FORM = os.path.join(EXAMPLES, "exam60.form")
READ_TRAY = os.environ.get("OMR_READ_TRAY", "")
README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")

pytestmark = pytest.mark.skipif(not (os.access(OMRCTL, os.X_OK) and os.access(OMRSIM, os.X_OK)),
                                reason="OMRCTL and OMRSIM must name the programs")

# Exit codes from the README's table.
OK, USAGE, FORM_ERROR, READER, RECOGNITION = 0, 2, 3, 4, 5
SIGINT_EXIT, SIGPIPE_EXIT, SIGTERM_EXIT = 130, 141, 143


class Simulator:
    """omrsim on a pty linked at DIR/reader, logging every sheet it feeds."""

    def __init__(self, directory, *args, sheets=20, seed=7, empty_status=16):
        self.link = os.path.join(directory, "reader")
        self.expected = os.path.join(directory, "expected")
        self.log_path = os.path.join(directory, "omrsim.log")
        self.log = open(self.log_path, "w")
        empty = ["--empty-status", str(empty_status)] if empty_status is not None else []
        self.proc = subprocess.Popen(
            [OMRSIM, "--link", self.link, "--form", FORM, "--random", str(sheets), "--seed", str(seed),
             "--expected", self.expected, "--verbose", *empty, *args],
            stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 10
        while not os.path.islink(self.link):
            assert self.proc.poll() is None, open(self.log_path).read()
            assert time.time() < deadline, "omrsim made no link"
            time.sleep(0.02)

    def fed(self):
        """How many sheets the simulator took from its tray."""
        with open(self.log_path) as f:
            return sum(1 for line in f if " feeds sheet " in line)

    def drawn(self):
        with open(self.expected) as f:
            return [line.rstrip("\n").split(" ", 1) for line in f]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=10)
        self.log.close()


@pytest.fixture
def sim_factory(tmp_path):
    sims = []

    def make(*args, **kwargs):
        sims.append(Simulator(str(tmp_path), *args, **kwargs))
        return sims[-1]

    yield make
    for s in sims:
        s.stop()


def omrctl(*args, **kwargs):
    return subprocess.run([OMRCTL, *args], capture_output=True, text=True, timeout=90, **kwargs)


def start_read(sim, *args, **kwargs):
    return subprocess.Popen([OMRCTL, "--port", sim.link, "read", FORM, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kwargs)


def sheet_lines(proc, count, timeout=30):
    """Reads stdout until `count` sheet lines have come; returns them."""
    lines = []
    selector = selectors.DefaultSelector()
    selector.register(proc.stdout, selectors.EVENT_READ)
    deadline = time.time() + timeout
    while len(lines) < count:
        assert time.time() < deadline, f"only {len(lines)} sheet lines in {timeout} s"
        if selector.select(timeout=1):
            line = proc.stdout.readline()
            assert line, "omrctl ended early: " + proc.stderr.read()
            lines.append(line)
    return lines


def csv_rows(path):
    """The rows of an omrctl CSV; every row must be whole: as many fields as the header."""
    with open(path, newline="", encoding="utf-8-sig") as f:
        text = f.read()
    assert text.endswith("\n"), "the CSV ends in an incomplete row"
    rows = list(csv.reader(io.StringIO(text)))
    header, body = rows[0], rows[1:]
    assert header[:6] == ["sheet", "form", "code", "outcome", "answers", "doubtful"], header
    for row in body:
        assert len(row) == len(header), f"row {row[0]} has {len(row)} fields, the header {len(header)}"
    return [dict(zip(header, row)) for row in body]


def to_feed_again(stderr):
    """Sheet numbers stderr names as to be fed again."""
    return {int(n) for n in re.findall(r"sheet (\d+)[^\n]*feed it again", stderr)}


def assert_accounted(sim, rows, stderr):
    """Every sheet the simulator fed has a row or is named on stderr, and each row that says it read a
    sheet holds what the simulator drew for it, in order."""
    saved = [r for r in rows if not r["outcome"].startswith("feed again")]
    named = to_feed_again(stderr)
    assert len(saved) + len(named) == sim.fed(), (len(saved), named, sim.fed(), stderr)
    drawn = sim.drawn()
    for i, row in enumerate(saved):
        assert [row["form"], row["answers"]] == drawn[i], (row["sheet"], drawn[i])


def temporary_files(directory):
    return [n for n in os.listdir(directory) if ".tmp-" in n]


def decodes(grids):
    result = omrctl("decode", FORM, *grids)
    assert result.returncode in (OK, RECOGNITION), result.stderr
    return result


# ------------------------------------------------------------------ stopping the run

def test_sigint_after_five_sheets_finishes_the_sheet_in_flight(tmp_path, sim_factory):
    sim = sim_factory("--feed-delay", "300")
    out_csv, grids = tmp_path / "sheets.csv", tmp_path / "grids"
    proc = start_read(sim, "--csv", str(out_csv), "--save-grids", str(grids))
    sheet_lines(proc, 5)
    proc.send_signal(signal.SIGINT)
    _, stderr = proc.communicate(timeout=30)
    assert proc.returncode == SIGINT_EXIT, stderr
    assert "stopped by SIGINT" in stderr
    rows = csv_rows(out_csv)
    assert len(rows) >= 5
    assert_accounted(sim, rows, stderr)
    assert not to_feed_again(stderr), "the sheet in flight was finished, not dropped"
    files = sorted(str(p) for p in grids.iterdir())
    assert len(files) == len(rows) and not temporary_files(grids)
    decodes(files)


def test_second_signal_stops_at_once_naming_the_sheet(tmp_path, sim_factory):
    # Each sheet takes 3 s to feed: the second signal comes while one is in flight.
    sim = sim_factory("--feed-delay", "3000")
    out_csv, grids = tmp_path / "sheets.csv", tmp_path / "grids"
    proc = start_read(sim, "--csv", str(out_csv), "--save-grids", str(grids))
    sheet_lines(proc, 1, timeout=15)
    # Sheet 2 is in flight once the simulator has taken it (a signal before that stops between sheets).
    deadline = time.time() + 10
    while sim.fed() < 2:
        assert time.time() < deadline, "sheet 2 was never fed"
        time.sleep(0.02)
    proc.send_signal(signal.SIGTERM)
    time.sleep(0.3)
    proc.send_signal(signal.SIGTERM)
    _, stderr = proc.communicate(timeout=10)
    assert proc.returncode == SIGTERM_EXIT, stderr
    assert "stopped at once: sheet 2 was in flight and is not saved: feed it again" in stderr
    rows = csv_rows(out_csv)
    assert [r["sheet"] for r in rows] == ["1"]
    assert not temporary_files(grids)


def test_closed_output_ends_the_run_like_an_interrupt(tmp_path, sim_factory):
    sim = sim_factory("--feed-delay", "100")
    out_csv = tmp_path / "sheets.csv"
    proc = start_read(sim, "--csv", str(out_csv))
    sheet_lines(proc, 3)
    proc.stdout.close()  # what `| head -3` does
    stderr = proc.stderr.read()
    proc.wait(timeout=30)
    assert proc.returncode == SIGPIPE_EXIT, stderr
    # The summary goes to stderr once stdout is gone.
    assert re.search(r"^\d+ sheets$", stderr, re.M), stderr
    rows = csv_rows(out_csv)
    assert len(rows) >= 3
    assert_accounted(sim, rows, stderr)


def test_after_sigkill_printed_sheets_are_whole_rows_and_grids_decode(tmp_path, sim_factory):
    sim = sim_factory("--feed-delay", "150")
    out_csv, grids = tmp_path / "sheets.csv", tmp_path / "grids"
    proc = start_read(sim, "--csv", str(out_csv), "--save-grids", str(grids))
    printed = sheet_lines(proc, 4)
    proc.kill()
    proc.communicate(timeout=10)
    rows = {r["sheet"]: r for r in csv_rows(out_csv)}
    for line in printed:
        number, letter, answers = line.split()
        assert rows[number]["form"] == letter and rows[number]["answers"] == answers
    files = sorted(str(p) for p in grids.iterdir() if p.name.endswith(".grid"))
    assert len(files) >= len(printed)
    decodes(files)


# ------------------------------------------------------------------ writes that fail

def limit_file_size(size):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))


def test_full_csv_stops_before_the_next_sheet(tmp_path, sim_factory):
    sim = sim_factory()
    out_csv = tmp_path / "sheets.csv"
    # Room for the header and a few rows of 60 answers.
    proc = start_read(sim, "--csv", str(out_csv), preexec_fn=limit_file_size(1500))
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == USAGE, stderr
    assert f"cannot write {out_csv}: File too large" in stderr
    rows = csv_rows(out_csv)
    assert 0 < len(rows) < 20
    named = to_feed_again(stderr)
    assert named == {len(rows) + 1}, stderr
    assert sim.fed() == len(rows) + 1, "a sheet was fed after the failed write"
    assert_accounted(sim, rows, stderr)


def test_full_grid_folder_leaves_no_empty_file(tmp_path, sim_factory):
    sim = sim_factory()
    out_csv, grids = tmp_path / "sheets.csv", tmp_path / "grids"
    # Rows fit, a grid file (some 3.5 kB) does not.
    proc = start_read(sim, "--csv", str(out_csv), "--save-grids", str(grids),
                      preexec_fn=limit_file_size(3000))
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == USAGE, stderr
    assert "sheet-001.grid: File too large" in stderr and f"its result is in {out_csv}" in stderr
    assert os.listdir(grids) == []
    rows = csv_rows(out_csv)
    assert len(rows) == 1 and sim.fed() == 1
    assert_accounted(sim, rows, stderr)


def tmpfs_allowed():
    """Whether this machine lets a user mount a small tmpfs in a namespace of its own."""
    try:
        return subprocess.run(["unshare", "-rm", "sh", "-c", "mount -t tmpfs -o size=16k none /mnt"],
                              capture_output=True, timeout=10).returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


@pytest.mark.skipif(not tmpfs_allowed(), reason="no tmpfs can be mounted here (the file size limit tests run)")
def test_full_tmpfs_stops_before_the_next_sheet(tmp_path, sim_factory):
    sim = sim_factory()
    disk, kept = tmp_path / "disk", tmp_path / "kept"
    disk.mkdir()
    # A 32 kB disk, copied out before the namespace and its mount go.
    script = (f'mount -t tmpfs -o size=32k none "{disk}" || exit 99; '
              f'"{OMRCTL}" --port "{sim.link}" read "{FORM}" --csv "{disk}/sheets.csv" --save-grids "{disk}/grids"; '
              f'rc=$?; cp -a "{disk}/." "{kept}/"; exit $rc')
    result = subprocess.run(["unshare", "-rm", "sh", "-c", script], capture_output=True, text=True, timeout=90)
    assert result.returncode == USAGE, result.stderr
    assert "No space left on device" in result.stderr
    rows = csv_rows(kept / "sheets.csv")
    assert_accounted(sim, rows, result.stderr)
    assert sim.fed() < 20, "sheets were fed after the disk was full"
    files = sorted((kept / "grids").iterdir())
    assert all(p.stat().st_size > 0 for p in files) and not temporary_files(kept / "grids")
    decodes([str(p) for p in files])


# ------------------------------------------------------------------ the reader fails

@pytest.mark.parametrize("fault", ["24:hangup=0:after=3", "26:hangup=100:after=3"],
                         ids=["mid-status", "mid-data"])
def test_hang_up_names_the_sheet_in_flight(tmp_path, sim_factory, fault):
    sim = sim_factory("--fault", fault)
    out_csv = tmp_path / "sheets.csv"
    result = omrctl("--port", sim.link, "read", FORM, "--csv", str(out_csv))
    assert result.returncode == READER, result.stderr
    assert to_feed_again(result.stderr) == {4}
    assert "not saved: sheet 4" in result.stdout
    rows = csv_rows(out_csv)
    assert [r["sheet"] for r in rows] == ["1", "2", "3"]
    assert_accounted(sim, rows, result.stderr)


def test_status_7_for_ever_stops_the_transport(tmp_path, sim_factory):
    sim = sim_factory("--fault", "24:status=7:always:after=2")
    out_csv, grids = tmp_path / "sheets.csv", tmp_path / "grids"
    result = omrctl("--port", sim.link, "read", FORM, "--csv", str(out_csv), "--save-grids", str(grids),
                    "--json")
    assert result.returncode == RECOGNITION, result.stderr
    assert "5 sheets in a row failed" in result.stderr
    rows = csv_rows(out_csv)
    assert [r["code"] for r in rows] == ["0", "0", "7", "7", "7", "7", "7"]
    assert all(r["outcome"].startswith("feed again") for r in rows[2:])
    # No grid of the sheet before under a refused sheet's number.
    assert sorted(os.listdir(grids)) == ["sheet-001.grid", "sheet-002.grid"]
    assert sim.fed() == 2
    assert_accounted(sim, rows, result.stderr)
    with open(sim.log_path) as f:
        assert "host   FA 02" in f.read(), "the transport was not stopped"


@pytest.mark.parametrize("gone", [False, True], ids=["tray-empty", "reader-gone"])
def test_firmware_below_3_asks_for_the_version_once(tmp_path, sim_factory, gone):
    # An empty tray gets no answer, as such a reader does: the library answers 8 for it and for a reader
    # that is gone alike.
    args = ["--version", "2.9"] + (["--fault", "24:hangup=0:after=2"] if gone else [])
    sim = sim_factory(*args, sheets=3, empty_status=None)
    out_csv = tmp_path / "sheets.csv"
    result = omrctl("--port", sim.link, "read", FORM, "--csv", str(out_csv))
    rows = csv_rows(out_csv)
    if gone:
        assert result.returncode == READER, result.stderr
        assert to_feed_again(result.stderr) == {3}
    else:
        assert result.returncode == OK, result.stderr
        assert len(rows) == 3
    assert_accounted(sim, rows, result.stderr)


def test_reader_that_stops_answering_is_not_an_empty_tray(tmp_path, sim_factory):
    # Version 3.0 takes a missing status for "no sheet" (16); a reader that then does not tell its version
    # either has stopped answering. (The version is asked twice at connection and once by omrctl.)
    sim = sim_factory("--fault", "24:silence:always:after=2", "--fault", "54:silence:always:after=3",
                      sheets=4)
    out_csv = tmp_path / "sheets.csv"
    result = omrctl("--port", sim.link, "read", FORM, "--csv", str(out_csv))
    assert result.returncode == READER, result.stderr
    assert to_feed_again(result.stderr) == {3}
    assert len(csv_rows(out_csv)) == 2 and sim.fed() == 2


# ------------------------------------------------------------------ outputs of an earlier run

def test_second_run_into_the_same_outputs(tmp_path, sim_factory):
    sim = sim_factory(sheets=6)
    out_csv, grids, pictures = tmp_path / "sheets.csv", tmp_path / "grids", tmp_path / "pictures"
    outputs = ["--csv", str(out_csv), "--save-grids", str(grids), "--pictures", str(pictures)]
    first = omrctl("--port", sim.link, "read", FORM, "--count", "2", *outputs)
    assert first.returncode == OK, first.stderr
    before = {p: p.read_bytes() for p in [out_csv, *grids.iterdir(), *pictures.iterdir()]}

    again = omrctl("--port", sim.link, "read", FORM, "--count", "2", *outputs)
    assert again.returncode == USAGE
    assert f"{out_csv} exists" in again.stderr
    assert {p: p.read_bytes() for p in before} == before
    assert sim.fed() == 2, "a refused run fed a sheet"

    appended = omrctl("--port", sim.link, "read", FORM, "--count", "2", "--append", *outputs)
    assert appended.returncode == OK, appended.stderr
    rows = csv_rows(out_csv)
    assert [r["sheet"] for r in rows] == ["1", "2", "3", "4"]
    assert sorted(os.listdir(grids)) == [f"sheet-00{i}.grid" for i in range(1, 5)]
    assert all(p.read_bytes() == data for p, data in before.items() if p != out_csv)
    assert out_csv.read_bytes().startswith(before[out_csv])
    assert_accounted(sim, rows, "")

    forced = omrctl("--port", sim.link, "read", FORM, "--count", "1", "--force", *outputs)
    assert forced.returncode == OK, forced.stderr
    assert [r["sheet"] for r in csv_rows(out_csv)] == ["1"]
    assert [r["answers"] for r in csv_rows(out_csv)] == [sim.drawn()[4][1]]


def test_failed_start_touches_nothing(tmp_path):
    out_csv, grids = tmp_path / "sheets.csv", tmp_path / "grids"
    result = omrctl("--port", str(tmp_path / "no-such-port"), "read", FORM, "--csv", str(out_csv),
                    "--save-grids", str(grids))
    assert result.returncode == READER
    assert f"no such port: {tmp_path / 'no-such-port'}" in result.stderr
    assert not out_csv.exists() and not grids.exists()


def test_a_database_is_never_written_over(tmp_path, sim_factory):
    # An exam project's name given as the CSV by mistake: not even --force or --append touches it.
    import sqlite3
    project = tmp_path / "final.omrexam"
    with sqlite3.connect(project) as db:
        db.execute("CREATE TABLE sheets(number INTEGER)")
    before = project.read_bytes()
    sim = sim_factory(sheets=1)
    for flag in ("--force", "--append"):
        result = omrctl("--port", sim.link, "read", FORM, "--csv", str(project), flag)
        assert result.returncode == USAGE, result.stderr
        assert f"{project} is a database" in result.stderr
        assert project.read_bytes() == before


def test_excel_csv(tmp_path, sim_factory):
    sim = sim_factory(sheets=2)
    out_csv = tmp_path / "sheets.csv"
    result = omrctl("--port", sim.link, "read", FORM, "--csv", str(out_csv), "--excel")
    assert result.returncode == OK, result.stderr
    data = out_csv.read_bytes()
    assert data.startswith(b"\xef\xbb\xbfsheet,form,code,outcome,answers,doubtful,q1,")
    assert data.count(b"\r\n") == 3 and data.count(b"\n") == 3


# ------------------------------------------------------------------ forms

def test_form_without_layout_stops_before_feeding(tmp_path):
    form = tmp_path / "empty.form"
    form.write_text("# nothing but comments\n")
    result = omrctl("--port", str(tmp_path / "no-such-port"), "read", str(form))
    assert result.returncode == FORM_ERROR
    assert "defines no layout with a line count (L) and questions (F)" in result.stderr


def test_read_prints_the_checks_warnings(tmp_path, sim_factory):
    sim = sim_factory(sheets=1)
    form = tmp_path / "warned.form"
    form.write_text(open(FORM).read() + '"t B 002 47/"\n')
    result = omrctl("--port", sim.link, "read", str(form))
    assert result.returncode == OK, result.stderr
    assert "warning: the command letter 't' is lower case" in result.stderr


def test_check_explains_comment_like_lines_and_f_columns(tmp_path):
    form = tmp_path / "subtle.form"
    nul_line = b'"D 01 AB\x00CD/"'
    f_line = b'"F   3   2U X  1   4R 0/"'
    form.write_bytes(b'\xef\xbb\xbf"T A 002 15/"\n'
                     b'"L 010 30 24"\n'
                     b'  "M 001 01 08/"\n'
                     b'"d 01 ABCD/"\n' + nul_line + b'\n'
                     b'"T B 002 15/"\n"L 010 30 24/"\n"D 01 ABCD/"\n' + f_line + b'\n')
    result = omrctl("check", str(form), "--json")
    report = json.loads(result.stdout)
    comments = {w["line"]: (w["column"], w["text"]) for w in report["warnings"] if w["kind"] == "comment"}
    assert "byte-order mark" in comments[1][1]
    assert 'without its closing "/"' in comments[2][1]
    assert "a blank before the opening quote" in comments[3][1]
    assert comments[4][0] == 2 and "'d' is lower case" in comments[4][1]
    # Columns count from 1, the opening quote.
    nul_column = nul_line.index(b"\x00") + 1
    assert comments[5][0] == nul_column and f"NUL byte at column {nul_column}" in comments[5][1]
    rejected = report["rejected"]
    type_column = f_line.index(b"X") + 1
    assert rejected[0]["line"] == 9 and rejected[0]["column"] == type_column
    assert rejected[0]["detail"] == f'the field type (column {type_column}) must be S, M, B, s, m or b, not "X"'
    # The text report says the same.
    text = omrctl("check", str(form)).stdout
    assert f"line 5, column {nul_column}: a NUL byte" in text


# ------------------------------------------------------------------ decode

def test_decode_refuses_what_is_no_grid_file(tmp_path):
    huge = tmp_path / "huge.grid"
    with open(huge, "wb") as f:
        f.truncate(100 * 1024 * 1024)  # one 100 MB line, sparse
    for path, why in [("/dev/zero", "not a regular file"), (str(huge), "too large for a grid file"),
                      (str(tmp_path), "not a regular file")]:
        started = time.time()
        result = omrctl("decode", FORM, path)
        assert result.returncode == USAGE and why in result.stderr, result.stderr
        assert time.time() - started < 5


def test_decode_keeps_the_sheet_numbers(tmp_path, sim_factory):
    sim = sim_factory(sheets=3)
    grids = tmp_path / "grids"
    assert omrctl("--port", sim.link, "read", FORM, "--save-grids", str(grids)).returncode == OK
    pictures = tmp_path / "pictures"
    result = omrctl("decode", FORM, str(grids / "sheet-003.grid"), str(grids / "sheet-001.grid"),
                    "--pictures", str(pictures))
    assert result.returncode == OK, result.stderr
    assert [line.split()[0] for line in result.stdout.splitlines()[:2]] == ["3", "1"]
    assert sorted(os.listdir(pictures)) == ["sheet-001.png", "sheet-003.png"]


# ------------------------------------------------------------------ the command line

def test_version_and_unknown_subcommand():
    result = omrctl("--version")
    assert result.returncode == OK and re.fullmatch(r"omrctl \d+\.\d+\.\d+\n", result.stdout)
    result = omrctl("--port", "/dev/null", "bogus")
    assert result.returncode == USAGE
    assert "unknown subcommand 'bogus'" in result.stderr
    assert "scan, check, read, decode, info, motor, errors" in result.stderr


def test_busy_port_is_named(tmp_path):
    master, slave = os.openpty()
    try:
        name = os.ttyname(slave)
        holder = os.open(name, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(holder, fcntl.LOCK_EX)
        result = omrctl("--port", name, "scan")
        assert result.returncode == READER
        assert f"port busy: another program holds {name}" in result.stderr
        os.close(holder)
    finally:
        os.close(master)
        os.close(slave)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run omrctl as another user")
def test_port_without_permission_names_the_group():
    nobody = 65534
    master, slave = os.openpty()
    # omrctl and its libraries where another user may run them, whatever the checkout's modes.
    with tempfile.TemporaryDirectory(prefix="omrctl-nobody-") as here:
        os.chmod(here, 0o755)
        ldd = subprocess.run(["ldd", OMRCTL], capture_output=True, text=True, check=True).stdout
        for path in re.findall(r"=> (/\S+)", ldd):
            if not path.startswith(("/lib", "/usr")):
                shutil.copy(path, here)
        program = shutil.copy(OMRCTL, here)
        try:
            name = os.ttyname(slave)
            os.chmod(name, 0o660)
            # The port's group, whatever it is called here, is the one to join.
            group = grp.getgrgid(os.stat(name).st_gid).gr_name

            def drop():
                os.setgroups([])
                os.setgid(nobody)
                os.setuid(nobody)

            result = subprocess.run([program, "--port", name, "scan"], capture_output=True, text=True, timeout=90,
                                    preexec_fn=drop, cwd="/", env={**os.environ, "LD_LIBRARY_PATH": here})
            assert result.returncode == READER, result.stderr
            assert f"permission denied on {name}: add your user to the {group} group" in result.stderr
        finally:
            os.close(master)
            os.close(slave)


# ------------------------------------------------------------------ the README's C example

@pytest.mark.skipif(not os.access(READ_TRAY, os.X_OK), reason="OMR_READ_TRAY must name the built example")
@pytest.mark.parametrize("gone", [False, True], ids=["tray-empty", "reader-gone"])
def test_readme_c_example_tells_bad_sheets_the_end_and_a_dead_reader(tmp_path, sim_factory, gone):
    with open(README) as f:
        shown = re.search(r"```c\n(.*?)```", f.read(), re.S).group(1)
    with open(os.path.join(EXAMPLES, "read_tray.c")) as f:
        assert shown == f.read(), "the README's C example is not examples/read_tray.c"
    good = "A 2024013107" + "ABCDE" * 12
    answers = tmp_path / "sheets.answers"
    answers.write_text("\n".join([good, good + " status=3", good]) + "\n")
    fault = ["--fault", "24:hangup=0:after=2"] if gone else []
    sim = sim_factory("--answers", str(answers), *fault, sheets=0)
    result = subprocess.run([READ_TRAY, FORM], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, OMR_SERIAL_PORTS=sim.link))
    drawn = sim.drawn()
    lines = result.stdout.splitlines()
    assert lines[0] == "1 " + "".join(drawn[0])
    assert lines[1] == "sheet 2: error 3: Double page"
    if gone:
        assert result.returncode == 3
        assert lines[2:] == ["sheet 3: the reader stopped answering: feed this sheet again"]
    else:
        assert result.returncode == 0
        assert lines[2:] == ["3 " + "".join(drawn[2])]
