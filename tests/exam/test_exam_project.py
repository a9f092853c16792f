"""An exam project end to end: 200 simulated sheets of known answers read from
two stations into one project, every total and review reason checked against
what the test drew, a rekey, corrections, an import, a killed run, and the
exports read back.

Expected values come from the drawn answers and the scoring rules written out
below, never from the project's own code. Needs OMRCTL and OMRSIM (paths of
the built programs); CTest sets them.
"""

from __future__ import annotations

import contextlib
import csv
import json
import math
import os
import re
import random
import resource
import shutil
import signal
import sqlite3
import stat
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Set, Tuple

import pytest

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "bindings" / "python"))
import omr  # noqa: E402

OMRCTL = os.environ.get("OMRCTL", str(SOURCE / "build/default/tools/omrctl/omrctl"))
OMRSIM = os.environ.get("OMRSIM", str(SOURCE / "build/default/sim/omrsim"))
FORM = SOURCE / "examples" / "exam60.form"
OPTIONS = "ABCDE"
ITEMS = 60
FIRST_ITEM = 11  # items are questions 11-70

# The exam: two versions, the second in another order; a void item, a bonus
# item, an item with a second right answer, an item worth two points, and
# negative marking with a floor.
RNG = random.Random(2121)
KEY1 = [RNG.choice(OPTIONS) for _ in range(ITEMS)]
ORDER2 = list(range(1, ITEMS + 1))
RNG.shuffle(ORDER2)  # item i of version 2 is master item ORDER2[i]
KEY2 = [KEY1[m - 1] for m in ORDER2]
VOID, BONUS, ACCEPT, DOUBLE_POINTS, REKEY_VOID = 5, 7, 9, 12, 20
ACCEPT_ALSO = next(o for o in OPTIONS if o != KEY1[ACCEPT - 1])
CORRECT, WRONG, BLANK, MULTIPLE, FLOOR = 1.0, -0.25, 0.0, -0.5, 0.0

# The item analysis needs answers that follow ability: a student of ability
# theta answers item m right with a logistic chance (one in five by guessing).
# Three items are planted for the report to flag: the key of WRONG_KEY names a
# distractor (the able answer TRUTH), the able get NEGATIVE wrong, and nearly
# everyone gets EASY right (it also escapes the blank and double marks).
WRONG_KEY, NEGATIVE, EASY = 30, 40, 50
_ITEM_RNG = random.Random(6)
ITEM_A = [_ITEM_RNG.uniform(1.2, 2.2) for _ in range(ITEMS)]
ITEM_B = [_ITEM_RNG.uniform(-1.5, 0.3) for _ in range(ITEMS)]
TRUTH = next(o for o in OPTIONS if o != KEY1[WRONG_KEY - 1])


def chance_right(theta: float, master: int) -> float:
    if master == EASY:
        return 0.995
    a, b = (-1.5, 0.0) if master == NEGATIVE else (ITEM_A[master - 1], ITEM_B[master - 1])
    return 0.2 + 0.8 / (1 + math.exp(-1.7 * a * (theta - b)))


def exam_text(extra_void: Optional[int] = None) -> str:
    items = {str(VOID): "void", str(BONUS): "bonus", str(ACCEPT): {"accept": ACCEPT_ALSO},
             str(DOUBLE_POINTS): {"points": 2}}
    if extra_void:
        items[str(extra_void)] = "void"
    body = {
        "form": str(FORM),
        "student": {"questions": "1-8", "roster": "students.csv"},
        "version": {"question": 10},
        "items": f"{FIRST_ITEM}-{FIRST_ITEM + ITEMS - 1}",
        "keys": {"1": "".join(KEY1), "2": {"answers": "".join(KEY2), "order": ORDER2}},
        "scoring": {"correct": CORRECT, "wrong": WRONG, "blank": BLANK, "multiple": MULTIPLE, "floor": FLOOR,
                    "items": items},
    }
    return "// the final exam\n" + json.dumps(body, indent=1) + "\n"


@dataclass
class Drawn:
    """One sheet as drawn: the answers-file line and what it must read as."""
    line: str
    station: str
    index: int  # place in its station's tray, from 1
    status: int = 0  # non-zero: the reader refuses it (no data)
    nobar: bool = False
    student: str = ""
    version: str = ""
    marked: List[str] = field(default_factory=list)  # per item of its version: labels that read as marked
    doubtful: Set[int] = field(default_factory=set)  # questions drawn light, erased or double-marked


def item_points(master: int, marked: str, key: str, void: Set[int]) -> Optional[float]:
    """The rules of the exam file, written out."""
    if master in void:
        return None
    points = 2.0 if master == DOUBLE_POINTS else CORRECT
    if master == BONUS:
        return points
    if marked == "":
        return BLANK
    if len(marked) > 1:
        return MULTIPLE
    right = {key} | ({ACCEPT_ALSO} if master == ACCEPT else set())
    return points if marked in right else WRONG


def expected_score(d: Drawn, void: Set[int], key1: Optional[List[str]] = None) -> Tuple[float, float]:
    """The floored total and the maximum of a drawn sheet, with the master key `key1` (KEY1 by default)."""
    master_key = key1 or KEY1
    order = list(range(1, ITEMS + 1)) if d.version == "1" else ORDER2
    total, maximum = 0.0, 0.0
    for i, marked in enumerate(d.marked):
        master = order[i]
        p = item_points(master, marked, master_key[master - 1], void)
        if p is not None:
            total += p
            maximum += 2.0 if master == DOUBLE_POINTS else CORRECT
    return max(total, FLOOR), maximum


def draw_sheets() -> Tuple[List[Drawn], List[str]]:
    """200 sheets and the roster's IDs."""
    rng = random.Random(77)
    ability = random.Random(4)
    roster = [f"{20240000 + i:08d}" for i in range(1, 196)]
    ids = list(roster[:188])  # the others stay absent (two of them on sheets the reader refuses)
    ids += ["99990001", "99990002", "99990003", "99990004"]  # not in the roster
    ids += [ids[3], ids[40], ids[100]]  # read twice
    ids += ["2024>001", "20240>02"]  # a position with weights that make no digit
    sheets: List[Drawn] = []
    for n, sid in enumerate(ids):
        station = "A" if n % 2 == 0 else "B"
        version = "1" if rng.random() < 0.5 else "2"
        if n == 7:
            version = "3"  # no such key
        d = Drawn("", station, 0, student=sid, version=version)
        theta = ability.gauss(0, 1)
        key = KEY1 if version != "2" else KEY2
        order = list(range(1, ITEMS + 1)) if version != "2" else ORDER2
        items = []
        for i in range(ITEMS):
            q = FIRST_ITEM + i
            roll = rng.random()
            k = key[i]
            other = rng.choice([o for o in OPTIONS if o != k])
            if order[i] == EASY:
                roll = 1.0
            if n == 11:  # every answer wrong: below the floor
                items.append(other), d.marked.append(other)
            elif roll < 0.05:
                items.append("."), d.marked.append("")
            elif roll < 0.09:  # two marks: a near tie as well
                a, b = sorted(rng.sample(range(5), 2))
                items.append(f"[{a + 1},{b + 1}]"), d.marked.append(OPTIONS[a] + OPTIONS[b])
                d.doubtful.add(q)
            elif roll < 0.12:  # a faint mark alone, at the paper's level: reads as blank, nothing doubtful
                f = rng.randrange(5)
                items.append(f"[{f + 1}f]"), d.marked.append("")
            elif roll < 0.15:  # half-erased beside the chosen one: reads as the chosen one, an erasure
                c = OPTIONS.index(k)
                e = rng.choice([x for x in range(5) if x != c])
                items.append(f"[{e + 1}h,{c + 1}]"), d.marked.append(k)
                d.doubtful.add(q)
            elif roll < 0.17:  # a light mark alone: reads as marked, but faint
                items.append(f"[{OPTIONS.index(k) + 1}l]"), d.marked.append(k)
                d.doubtful.add(q)
            else:  # an answer as able as the student
                m = order[i]
                if m == WRONG_KEY:
                    a = TRUTH if ability.random() < chance_right(theta, m) else \
                        ability.choice([o for o in OPTIONS if o != TRUTH])
                elif ability.random() < chance_right(theta, m):
                    a = ACCEPT_ALSO if m == ACCEPT and ability.random() < 0.3 else k
                else:
                    a = ability.choice([o for o in OPTIONS if o not in (k, ACCEPT_ALSO)]) if m == ACCEPT else other
                items.append(a), d.marked.append(a)
        cls = str(rng.randrange(10))
        d.line = "A " + sid + cls + version + "".join(items)
        sheets.append(d)
    # The reader refuses a sheet (two fed at once); a bar did not print.
    sheets.append(Drawn("A " + roster[188] + "01" + "".join(KEY1) + " status=3", "", 0, status=3))
    sheets.append(Drawn("A " + roster[189] + "01" + "".join(KEY1) + " nobar=2", "", 0, nobar=True))
    # The same sheet fed twice: identical grids.
    twin = sheets[20]
    sheets.append(Drawn(twin.line, "", 0, student=twin.student, version=twin.version, marked=list(twin.marked),
                        doubtful=set(twin.doubtful)))
    assert len(sheets) == 200
    count = {"A": 0, "B": 0}
    for n, d in enumerate(sheets):
        if not d.station:
            d.station = "A" if n % 2 == 0 else "B"
        count[d.station] += 1
        d.index = count[d.station]
    return sheets, roster


def omrctl(*args: str, check: bool = True, **kw) -> subprocess.CompletedProcess:
    done = subprocess.run([OMRCTL, *args], capture_output=True, text=True, timeout=300, **kw)
    if check and done.returncode != 0:
        pytest.fail(f"omrctl {' '.join(args)} exited {done.returncode}\n{done.stdout}\n{done.stderr}")
    return done


class Simulator:
    def __init__(self, work: Path, name: str, lines: List[str], *options: str, form: Path = FORM) -> None:
        self.link = work / f"reader-{name}"
        answers = work / f"{name}.answers"
        answers.write_text("\n".join(lines) + "\n", encoding="latin-1")
        self.expected = work / f"{name}.expected"
        self.log = open(work / f"omrsim-{name}.log", "w")
        self.process = subprocess.Popen(
            [OMRSIM, "--link", str(self.link), "--form", str(form), "--answers", str(answers), "--expected",
             str(self.expected), "--empty-status", "16", *options], stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.monotonic() + 20
        while not (self.link.is_symlink() and self.expected.exists()):
            assert self.process.poll() is None, f"omrsim stopped: see {self.log.name}"
            assert time.monotonic() < deadline, "omrsim made no link"
            time.sleep(0.02)

    def predictions(self) -> List[Tuple[int, str]]:
        """Per sheet: the read's error code, and the text the host reads."""
        out = []
        for line in self.expected.read_text(encoding="latin-1").splitlines():
            out.append((int(line[2:]), "") if line.startswith("! ") else (0, line[2:]))
        return out

    def stop(self) -> None:
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()


@dataclass
class Project:
    work: Path
    path: Path
    sheets: List[Drawn]
    roster: List[str]
    codes: Dict[Tuple[str, int], int]  # (station, index) -> the read's error code
    texts: Dict[Tuple[str, int], str]  # (station, index) -> the text the simulator predicts


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Project:
    for program in (OMRCTL, OMRSIM):
        if not os.access(program, os.X_OK):
            pytest.skip(f"{program} is not built")
    work = tmp_path_factory.mktemp("exam")
    sheets, roster = draw_sheets()
    with open(work / "students.csv", "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["id", "name", "class"])
        for n, sid in enumerate(roster):
            w.writerow([sid, f"Student {n}, Ümit", f"{7 + n % 3}{'ABC'[n % 3]}"])
    (work / "exam.json").write_text(exam_text(), encoding="utf-8")
    path = work / "final.omrexam"
    omrctl("exam", "new", str(path), "--exam", str(work / "exam.json"), "--by", "office")

    sims = {s: Simulator(work, s, [d.line for d in sheets if d.station == s]) for s in ("A", "B")}
    try:
        # Both stations read at once into the one project.
        runs = {s: subprocess.Popen([OMRCTL, "--port", str(sims[s].link), "exam", "read", str(path), "--station",
                                     s, "--max-errors", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True) for s in sims}
        outputs = {s: r.communicate(timeout=600) for s, r in runs.items()}
        codes, texts = {}, {}
        for s, sim in sims.items():
            for i, (c, text) in enumerate(sim.predictions(), start=1):
                codes[(s, i)], texts[(s, i)] = c, text
    finally:
        for sim in sims.values():
            sim.stop()
    for s, r in runs.items():
        out, err = outputs[s]
        # Sheets the reader refused or could not recognise make the run exit 5.
        assert r.returncode in (0, 5), f"station {s}: exit {r.returncode}\n{out}\n{err}"
        assert f"read into {path}" in out, out
    return Project(work, path, sheets, roster, codes, texts)


def test_the_drawing_reads_as_the_test_assumes(project: Project) -> None:
    """The marks the test expects per item are those the simulator predicts."""
    for d in project.sheets:
        text = project.texts[(d.station, d.index)]
        if not text:
            continue
        assert text[:8] == d.student and text[9] == d.version, d.line
        for i, marked in enumerate(d.marked):
            c = text[FIRST_ITEM - 1 + i]
            assert c == ("." if marked == "" else marked if len(marked) == 1 else ">"), (d.line, i)


def by_station(exam: omr.Exam) -> Dict[Tuple[str, int], omr.Sheet]:
    return {(s.station, s.station_number): s for s in exam.sheets}


def test_every_sheet_is_stored_once_with_unique_numbers(project: Project) -> None:
    with omr.Exam(project.path) as exam:
        sheets = exam.sheets
        assert [s.number for s in sheets] == list(range(1, 201))
        stored = by_station(exam)
        assert set(stored) == {(d.station, d.index) for d in project.sheets}
        for d in project.sheets:
            s = stored[(d.station, d.index)]
            assert s.code == project.codes[(d.station, d.index)], d.line
            assert (s.code != 0) == bool(d.status or d.nobar)
            assert s.firmware == "3.0" and s.source == "read"


def test_totals_match_the_drawn_answers(project: Project) -> None:
    with omr.Exam(project.path) as exam:
        stored = by_station(exam)
        scores = {s.sheet: s for s in exam.scores}
        checked = 0
        for d in project.sheets:
            score = scores[stored[(d.station, d.index)].number]
            readable = not d.status and not d.nobar
            assert score.scored == (readable and d.version in ("1", "2")), d.line
            if not score.scored:
                continue
            total, maximum = expected_score(d, {VOID})
            assert score.total == pytest.approx(total, abs=1e-9), d.line
            assert score.maximum == pytest.approx(maximum, abs=1e-9)
            assert score.percent == pytest.approx(100 * total / maximum, abs=1e-9)
            assert score.version == d.version
            checked += 1
        assert checked >= 190
        # The floor held for the sheet of wrong answers only.
        assert any(s.scored and s.total == 0 for s in scores.values())


def expected_reasons(project: Project, d: Drawn, number_of: Dict[int, int]) -> Set[Tuple[str, int]]:
    """Reasons from what was drawn: a sheet-level reason has question 0."""
    if d.status or d.nobar:
        return {("not-read", 0)}
    reasons: Set[Tuple[str, int]] = set()
    valid = d.student.isdigit()
    if not valid:
        reasons.add(("invalid-id", 0))
    if valid and d.student not in project.roster:
        reasons.add(("unknown-id", 0))
    same_id = [x for x in project.sheets if x is not d and x.student == d.student and not (x.status or x.nobar)]
    if valid and same_id:
        reasons.add(("duplicate-id", 0))
    if any(x is not d and x.line == d.line for x in project.sheets):
        reasons.add(("duplicate-grid", 0))
    if d.version not in ("1", "2"):
        reasons.add(("unknown-version", 0))
        return reasons
    order = list(range(1, ITEMS + 1)) if d.version == "1" else ORDER2
    for i, marked in enumerate(d.marked):
        q = FIRST_ITEM + i
        if order[i] in (VOID, BONUS):
            continue
        if marked == "" and q in d.doubtful:  # a blank read without doubt is the student's own
            reasons.add(("blank", q))
        if len(marked) > 1:
            reasons.add(("multiple", q))
        if q in d.doubtful:
            reasons.add(("doubtful", q))
    return reasons


def test_review_reasons_match_what_was_drawn(project: Project) -> None:
    with omr.Exam(project.path) as exam:
        stored = by_station(exam)
        got: Dict[int, Set[Tuple[str, int]]] = {}
        for r in exam.review:
            got.setdefault(r.sheet, set()).add((r.reason, r.question))
        seen_kinds = set()
        for d in project.sheets:
            number = stored[(d.station, d.index)].number
            want = expected_reasons(project, d, {})
            assert got.get(number, set()) == want, d.line
            seen_kinds |= {r for r, _ in want}
        assert seen_kinds == {"not-read", "invalid-id", "unknown-id", "duplicate-id", "duplicate-grid",
                              "unknown-version", "multiple", "doubtful"}


def test_status_counts(project: Project) -> None:
    done = omrctl("exam", "status", str(project.path), "--json")
    status = json.loads(done.stdout)
    assert status["sheets"] == 200
    assert {s["station"]: s["sheets"] for s in status["stations"]} == {"A": 100, "B": 100}
    assert status["not_read"] == 2
    assert status["duplicate_grids"] == 2
    assert status["unfinished"] == []
    readable = [d for d in project.sheets if not d.status and not d.nobar]
    assert status["scored"] == sum(d.version in ("1", "2") for d in readable)
    assert status["students"] == len({d.student for d in readable if d.student.isdigit() and
                                      d.version in ("1", "2")})
    text = omrctl("exam", "status", str(project.path)).stdout
    assert "waiting for review" in text and "station A" in text

    # A backup holds the same exam; a second one is not written over it unasked.
    copy = project.work / "backup.omrexam"
    assert "integrity checked" in omrctl("exam", "backup", str(project.path), str(copy)).stdout
    with omr.Exam(copy) as exam, omr.Exam(project.path) as original:
        assert exam.scores == original.scores and exam.corrections == original.corrections
    again = omrctl("exam", "backup", str(project.path), str(copy), check=False)
    assert again.returncode == 2 and "--force" in again.stderr
    # Outputs given a project's name by mistake are refused; the projects stay whole.
    for args in (["report", str(project.path), "--html", str(project.path)],
                 ["export", str(project.path), "--csv", str(copy)],
                 ["export", str(project.path), "--xlsx", f"{project.path}-wal"]):
        refused = omrctl("exam", *args, check=False)
        assert refused.returncode == 2 and "writing there would lose it" in refused.stderr, args
    with omr.Exam(copy) as exam, omr.Exam(project.path) as original:
        assert len(exam.sheets) == len(original.sheets) == 200


def scored_sheets(project: Project) -> List[dict]:
    """Per scored sheet as drawn, in master item order: its points, whether each item was answered right (the key
    or the accepted option; a bonus item always), the labels marked; and the total it gets (after the floor)."""
    with omr.Exam(project.path) as exam:
        stored = by_station(exam)
    sheets = []
    for d in project.sheets:
        if d.status or d.nobar or d.version not in ("1", "2"):
            continue
        order = list(range(1, ITEMS + 1)) if d.version == "1" else ORDER2
        key = KEY1 if d.version == "1" else KEY2
        points, right, marked = [0.0] * ITEMS, [0.0] * ITEMS, [""] * ITEMS
        for i, m in enumerate(d.marked):
            master = order[i]
            points[master - 1] = item_points(master, m, key[i], {VOID}) or 0.0
            right[master - 1] = float(master == BONUS or m in ({key[i], ACCEPT_ALSO} if master == ACCEPT else {key[i]}))
            marked[master - 1] = m
        sheets.append({"number": stored[(d.station, d.index)].number, "version": d.version, "points": points,
                       "right": right, "marked": marked, "total": expected_score(d, {VOID})[0]})
    return sheets


def test_item_analysis_flags_the_planted_items_and_matches_the_statistics_module(project: Project) -> None:
    """exam stats and exam report against every figure computed from the drawing with Python's statistics
    module (test_report.reference), and the report page in headless Chromium."""
    from test_report import browser, compare, reference

    items = [{"master": m, "maximum": 2.0 if m == DOUBLE_POINTS else CORRECT, "void": m == VOID,
              "bonus": m == BONUS, "options": OPTIONS, "keyed": KEY1[m - 1] + (ACCEPT_ALSO if m == ACCEPT else "")}
             for m in range(1, ITEMS + 1)]
    sheets = scored_sheets(project)
    stats = json.loads(omrctl("exam", "stats", str(project.path), "--json").stdout)
    compare(stats["overall"], reference(items, sheets), "all versions")
    assert [v["version"] for v in stats["versions"]] == ["1", "2"]
    for v in stats["versions"]:
        compare(v, reference(items, [s for s in sheets if s["version"] == v["version"]]), f"version {v['version']}")
    flags = {item["item"]: set(item["flags"]) for item in stats["overall"]["items"] if item["flags"]}
    assert set(flags) == {WRONG_KEY, NEGATIVE, EASY}, flags
    assert "key?" in flags[WRONG_KEY] and "negative" in flags[NEGATIVE] and "easy" in flags[EASY]
    text = omrctl("exam", "stats", str(project.path), "--version", "2").stdout
    assert text.startswith(f"Item analysis of version 2: {stats['versions'][1]['sheets']} sheets")
    assert "no version" in omrctl("exam", "stats", str(project.path), "--version", "9", check=False).stderr

    # The workbook's analysis sheets hold the same numbers, as numbers.
    openpyxl = pytest.importorskip("openpyxl")
    xlsx = project.work / "analysis.xlsx"
    omrctl("exam", "export", str(project.path), "--xlsx", str(xlsx))
    book = openpyxl.load_workbook(xlsx, read_only=True)
    table = list(book["Item analysis"].iter_rows(values_only=True))
    rows = [dict(zip(table[0], r)) for r in table[1:] if r[0] == "(all versions)"]
    assert len(rows) == ITEMS
    for row, item in zip(rows, stats["overall"]["items"]):
        assert row["Item"] == item["item"]
        for column, name in (("p", "p"), ("r", "r"), ("D", "d"), ("Alpha if deleted", "alpha_if_deleted")):
            value = row[column]
            assert (value is None) == (item[name] is None) and (value is None or abs(value - item[name]) <= 1e-9)

    # The report: a panel for each planted item, every waiting sheet listed; it renders without a console error.
    html_path, pdf_path = project.work / "report.html", project.work / "report.pdf"
    done = omrctl("exam", "report", str(project.path), "--html", str(html_path), check=False)
    assert done.returncode == 0, done.stderr
    html = html_path.read_text(encoding="utf-8")
    assert re.findall(r'<article class=panel id="item-(\d+)">', html) == [str(WRONG_KEY), str(NEGATIVE), str(EASY)]
    status = json.loads(omrctl("exam", "status", str(project.path), "--json").stdout)
    assert f"Sheets waiting for review ({status['waiting']})" in html
    assert "Student 0, Ümit" in html or "Student" in html
    if shutil.which("chromium"):
        driver = browser()
        try:
            driver.get(html_path.as_uri())
            assert [e for e in driver.get_log("browser") if e["level"] == "SEVERE"] == []
            driver.save_screenshot(str(project.work / "report.png"))
        finally:
            driver.quit()
        omrctl("exam", "report", str(project.path), "--pdf", str(pdf_path))
        assert pdf_path.read_bytes().startswith(b"%PDF-")
    else:
        done = omrctl("exam", "report", str(project.path), "--pdf", str(pdf_path), check=False)
        assert done.returncode != 0 and "apt-get install chromium" in done.stderr and not pdf_path.exists()


def test_item_analysis_agrees_with_r_psych(project: Project) -> None:
    """p, D, the point-biserial and corrected item-rest correlations of right/wrong, alpha, alpha if deleted, and
    the mean, SD and SEM of the totals (from the scorer above) against R's psych package, over all versions and
    (but the correlations) per version."""
    rscript = shutil.which("Rscript")
    if not rscript:
        pytest.fail("Rscript is missing: scripts/bootstrap installs r-base and r-cran-psych")
    sheets = scored_sheets(project)
    kept = [m for m in range(1, ITEMS + 1) if m != VOID]
    matrix = project.work / "psych-input.csv"
    with open(matrix, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["number", "version", "total"] + [f"x{m}" for m in kept] + [f"u{m}" for m in kept])
        for s in sheets:
            w.writerow([s["number"], s["version"], repr(s["total"])] + [repr(s["points"][m - 1]) for m in kept] +
                       [repr(s["right"][m - 1]) for m in kept])
    done = subprocess.run([rscript, str(SOURCE / "tests" / "exam" / "psych_reference.R"), str(matrix)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    want: Dict[Tuple[str, int, str], float] = {}
    for row in csv.DictReader(done.stdout.splitlines()):
        want[(row["group"], int(row["item"]), row["figure"])] = float(row["value"])

    stats = json.loads(omrctl("exam", "stats", str(project.path), "--json").stdout)
    analyses = {"all": stats["overall"], **{v["version"]: v for v in stats["versions"]}}
    worst: Dict[str, float] = {}
    for group, analysis in analyses.items():
        mine = [s for s in sheets if group in ("all", s["version"])]
        assert analysis["sheets"] == len(mine)
        totals = sorted(s["total"] for s in mine)
        assert (analysis["min"], analysis["max"]) == (totals[0], totals[-1])
        assert analysis["floored"] == sum(s["total"] != sum(s["points"]) for s in mine)
        assert analysis["alpha_items"] == want[(group, 0, "alpha_items")]
        got = [((group, 0, name), analysis[name]) for name in ("mean", "sd", "alpha", "sem")]
        correlations = ("r", "point_biserial") if group == "all" else ()  # R computes them over all versions
        for item in analysis["items"]:
            for name in ("p", "d", "alpha_if_deleted") + correlations:
                got.append(((group, item["item"], name), item[name]))
        for key, value in got:
            expected = want.get(key)
            assert (value is None) == (expected is None), key
            if value is not None:
                worst[key[2]] = max(worst.get(key[2], 0.0), abs(value - expected))
    assert sum(1 for g, _, f in want if g == "all" and f == "r") == ITEMS - 2  # none for the void and bonus items
    print("largest difference from R psych per figure:", worst)
    assert all(diff <= 1e-9 for diff in worst.values()), worst


def copy_project(project: Project, name: str) -> Path:
    target = project.work / name
    shutil.copy(project.path, target)
    return target


def test_rekey_voids_another_item_and_rescores_every_sheet(project: Project) -> None:
    path = copy_project(project, "rekey.omrexam")
    (project.work / "exam2.json").write_text(exam_text(extra_void=REKEY_VOID), encoding="utf-8")
    out = omrctl("exam", "rekey", str(path), "--exam", str(project.work / "exam2.json"), "--by", "office").stdout
    assert "revision 2" in out
    with omr.Exam(path) as exam:
        assert exam.revision == 2
        stored = by_station(exam)
        scores = {s.sheet: s for s in exam.scores}
        for d in project.sheets:
            score = scores[stored[(d.station, d.index)].number]
            if score.scored:
                total, maximum = expected_score(d, {VOID, REKEY_VOID})
                assert score.total == pytest.approx(total, abs=1e-9), d.line
                assert score.maximum == pytest.approx(maximum, abs=1e-9)
                assert score.points[REKEY_VOID - 1] is None
        # The first exam file stays in the history.
        db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
        kinds = [k for (k,) in db.execute("SELECT kind FROM revisions ORDER BY revision")]
        db.close()
        assert kinds == ["new", "rekey"]


REKEY_ITEM = 33  # a plain item, on another question on each version


def changed_sheets(project: Project, before: Tuple[List[str], Set[int]],
                   after: Tuple[List[str], Set[int]]) -> Dict[int, Tuple[float, ...]]:
    """Sheet -> (old total, new total, old maximum, new maximum) of each scored sheet whose total or maximum changes
    from one (master key, void items) to another: the rules written out above, not the project's."""
    with omr.Exam(project.path) as exam:
        stored = by_station(exam)
    out = {}
    for d in project.sheets:
        if d.status or d.nobar or d.version not in ("1", "2"):
            continue
        (old, old_max), (new, new_max) = expected_score(d, before[1], before[0]), expected_score(d, after[1], after[0])
        if abs(old - new) > 1e-9 or abs(old_max - new_max) > 1e-9:
            out[stored[(d.station, d.index)].number] = (old, new, old_max, new_max)
    return out


def check_changes(report: dict, want: Dict[int, Tuple[float, ...]]) -> None:
    got = {c["sheet"]: (c["before"]["total"], c["after"]["total"], c["before"]["maximum"], c["after"]["maximum"])
           for c in report["changed"]}
    assert set(got) == set(want)
    for sheet, values in want.items():
        assert got[sheet] == pytest.approx(values, abs=1e-9), sheet
    sizes = [abs(c["after"]["total"] - c["before"]["total"]) for c in report["changed"]]
    assert sizes == sorted(sizes, reverse=True)


def test_rekey_one_item_lists_the_sheets_that_change(project: Project) -> None:
    path = copy_project(project, "rekey-item.omrexam")
    new_key = next(o for o in OPTIONS if o != KEY1[REKEY_ITEM - 1])
    key1 = list(KEY1)
    key1[REKEY_ITEM - 1] = new_key
    want = changed_sheets(project, (KEY1, {VOID}), (key1, {VOID}))
    assert len(want) > 20
    args = ["exam", "rekey", str(path), "--item", str(REKEY_ITEM), "--key", new_key, "--by", "office"]

    # A dry run says what would change and changes nothing.
    dry = json.loads(omrctl(*args, "--dry-run", "--json").stdout)
    assert dry["dry_run"] and dry["revision"] is None and dry["note"] == f"item {REKEY_ITEM}: key {new_key}"
    check_changes(dry, want)
    scored = sum(1 for d in project.sheets if not (d.status or d.nobar) and d.version in ("1", "2"))
    assert dry["unchanged"] == scored - len(want)
    text = omrctl(*args, "--dry-run").stdout
    lines = text.splitlines()  # what would change, the table's head, a line per sheet, the count
    assert [int(line.split()[0]) for line in lines[2:-1]] == [c["sheet"] for c in dry["changed"]]
    assert lines[-1] == f"{len(want)} sheets change; {dry['unchanged']} others keep their total and percent"
    with omr.Exam(path) as exam:
        assert exam.revision == 1

    # The change itself: the same list, a new revision holding the whole exam file with the new key.
    done = json.loads(omrctl(*args, "--json").stdout)
    assert done["revision"] == 2 and done["changed"] == dry["changed"]
    with omr.Exam(path) as exam:
        stored = by_station(exam)
        totals = {s.sheet: s.total for s in exam.scores if s.scored}
        rekeyed = json.loads(exam.exam_text.split("\n", 1)[1])
    for d in project.sheets:
        if not (d.status or d.nobar) and d.version in ("1", "2"):
            assert totals[stored[(d.station, d.index)].number] == pytest.approx(expected_score(d, {VOID}, key1)[0])
    assert rekeyed["keys"]["1"] == "".join(key1)
    assert rekeyed["keys"]["2"]["answers"] == "".join(key1[m - 1] for m in ORDER2)
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    history = db.execute("SELECT revision, kind, note FROM revisions ORDER BY revision").fetchall()
    db.close()
    assert history == [(1, "new", ""), (2, "rekey", f"item {REKEY_ITEM}: key {new_key}")]

    # Voiding an item changes every maximum: every scored sheet is listed, the largest change first.
    void = json.loads(omrctl("exam", "rekey", str(path), "--item", "40", "--void", "--dry-run", "--json").stdout)
    everyone = changed_sheets(project, (key1, {VOID}), (key1, {VOID, 40}))
    assert len(everyone) == scored
    check_changes(void, everyone)


def test_corrections_are_appended_and_the_latest_counts(project: Project) -> None:
    path = copy_project(project, "corrections.omrexam")
    with omr.Exam(path) as exam:
        stored = by_station(exam)
    # A double mark on a scored sheet of version 1, on a single-choice item.
    d, i = next((d, i) for d in project.sheets if d.version == "1" and not (d.status or d.nobar)
                and d.student.isdigit() for i, m in enumerate(d.marked) if len(m) > 1
                and i + 1 not in (VOID, BONUS, ACCEPT, DOUBLE_POINTS))
    number = stored[(d.station, d.index)].number
    q = FIRST_ITEM + i
    before, maximum = expected_score(d, {VOID})
    omrctl("exam", "correct", str(path), str(number), str(q), KEY1[i], "--by", "Ann", "--reason", "two marks")
    d.marked[i], old = KEY1[i], d.marked[i]
    after, _ = expected_score(d, {VOID})
    d.marked[i] = old
    assert after == pytest.approx(before - MULTIPLE + CORRECT)
    with omr.Exam(path) as exam:
        score = next(s for s in exam.scores if s.sheet == number)
        assert score.total == pytest.approx(after, abs=1e-9)
        assert ("multiple", q) not in {(r.reason, r.question) for r in score.reasons}
        c = exam.corrections[-1]
        assert (c.sheet, c.target, c.old, c.new, c.author, c.reason) == (number, str(q), old, KEY1[i], "Ann",
                                                                          "two marks")
    # A later correction by someone else counts; withdrawing both restores the reading.
    omrctl("exam", "correct", str(path), str(number), str(q), "-", "--by", "Bo")
    omrctl("exam", "correct", str(path), str(number), str(q), "--withdraw", "--by", "Cy")
    with omr.Exam(path) as exam:
        score = next(s for s in exam.scores if s.sheet == number)
        assert score.total == pytest.approx(before, abs=1e-9)
        assert [c.author for c in exam.corrections] == ["Ann", "Bo", "Cy"]
        assert exam.corrections[1].new == "" and exam.corrections[2].new is None
    # Bad corrections change nothing.
    for args in ([str(number), str(q), "F"], [str(number), "9", "1"], ["999", str(q), "A"],
                 [str(number), "version", "7"], [str(number), "sheet", "gone"]):
        done = omrctl("exam", "correct", str(path), *args, "--by", "Ann", check=False)
        assert done.returncode == 2 and "omrctl:" in done.stderr, args
    # A typed ID has the shape the ID questions code (8 weighted digits here).
    for bad_id, says in (("#20251429", "has 9 characters"), ("ABCDEFGH", '"A" at position 1'),
                         ("2025142", "has 7 characters")):
        done = omrctl("exam", "correct", str(path), str(number), "id", bad_id, "--by", "Ann", check=False)
        assert done.returncode == 2 and "a student ID of this exam is 8 characters, each one of 0-9" in done.stderr
        assert says in done.stderr, done.stderr
    with omr.Exam(path) as exam:
        assert len(exam.corrections) == 3
    # The student ID typed whole settles an invalid ID.
    bad = next(d for d in project.sheets if not d.student.isdigit() and d.student and not d.status)
    n = stored[(bad.station, bad.index)].number
    omrctl("exam", "correct", str(path), str(n), "id", project.roster[189], "--by", "Ann")
    with omr.Exam(path) as exam:
        score = next(s for s in exam.scores if s.sheet == n)
        assert score.student_id == project.roster[189] and score.id_state == "valid"
        assert "invalid-id" not in {r.reason for r in score.reasons}


def test_omr_exam_reads_the_current_schema_and_names_the_command_for_another(project: Project) -> None:
    from omr import _schema
    path = copy_project(project, "schemas.omrexam")
    with omr.Exam(path) as exam:
        number = next(s.sheet for s in exam.scores if s.scored)
    omrctl("exam", "correct", str(path), str(number), str(FIRST_ITEM), "-", "--by", "Ann")
    omrctl("exam", "correct", str(path), str(number), str(FIRST_ITEM), "--withdraw", "--by", "Bo")

    def read() -> Tuple[list, list]:
        with omr.Exam(path) as exam:
            return ([(s.sheet, s.total, s.student_id, [r.reason for r in s.reasons]) for s in exam.scores],
                    [(c.sheet, c.target, c.new, c.author, c.undoes) for c in exam.corrections])

    scores, corrections = read()
    assert len(scores) == len(project.sheets) and len(corrections) == 2
    current = _schema.DATA["version"]
    db = sqlite3.connect(path)
    assert db.execute("SELECT version FROM schema_version").fetchone()[0] == current
    # Older and newer schemas are refused, each with what to do (omrctl
    # migrates an older one; the store tests check what it keeps).
    for version, says in ((current - 1, "open it once with omrctl"),
                          (current + 1, f"schema version {current + 1}; this module reads up to {current}")):
        db.execute("UPDATE schema_version SET version = ?", (version,))
        db.commit()
        with pytest.raises(omr.ExamError, match=says):
            omr.Exam(path)
    # Derived rows not built yet (a migration leaves them out): named too, and
    # the next omrctl command builds them, the same as they were.
    db.execute("UPDATE schema_version SET version = ?", (current,))
    db.execute("DELETE FROM derived")
    db.execute("DELETE FROM scores")
    db.commit()
    db.close()
    with pytest.raises(omr.ExamError, match="not built"):
        omr.Exam(path)
    # A command that only reads builds them in memory and leaves the file as it is; one that writes keeps them.
    omrctl("exam", "status", str(path))
    with pytest.raises(omr.ExamError, match="not built"):
        omr.Exam(path)
    omrctl("exam", "rescan", str(path))
    assert read() == (scores, corrections)


def write_grid(path: Path, grid: Tuple[int, int, bytes]) -> None:
    lines, columns, cells = grid
    rows = ["".join("0123456789ABCDEF"[c] for c in cells[r * columns:(r + 1) * columns]) for r in range(lines)]
    path.write_text("omr-grid 1\n# exported from a project\n" + f"{lines} {columns}\n" + "\n".join(rows) + "\n")


def test_import_flags_a_grid_already_present_and_rescan_changes_nothing(project: Project) -> None:
    path = copy_project(project, "import.omrexam")
    with omr.Exam(path) as exam:
        first = next(s for s in exam.sheets if s.code == 0)
        grid = exam.grid(first.number)
        original = {s.sheet: s.total for s in exam.scores}
    assert grid is not None
    write_grid(project.work / "again.grid", grid)
    done = omrctl("exam", "import", str(path), str(project.work / "again.grid"))
    assert "duplicate-grid" in done.stdout
    with omr.Exam(path) as exam:
        new = exam.sheets[-1]
        assert (new.number, new.source, new.grid_hash) == (201, "import", first.grid_hash)
        reasons = {r.reason for r in exam.review if r.sheet == 201}
        assert "duplicate-grid" in reasons
    out = omrctl("exam", "rescan", str(path)).stdout
    assert "0 changed" in out
    with omr.Exam(path) as exam:
        assert {s.sheet: s.total for s in exam.scores if s.sheet <= 200} == original


def test_rescan_shows_how_far_it_is_on_a_terminal_only(project: Project) -> None:
    path = copy_project(project, "progress.omrexam")
    with omr.Exam(path) as exam:
        sheets = len(exam.sheets)
    # Without a terminal (scripts, files): nothing on stderr.
    plain = omrctl("exam", "rescan", str(path))
    assert plain.stderr == ""
    # stderr a terminal, stdout a pipe: the line is written over in place and erased at the end.
    master, slave = os.openpty()
    try:
        done = subprocess.run([OMRCTL, "exam", "rescan", str(path)], stdout=subprocess.PIPE, stderr=slave,
                              text=True, timeout=300)
        os.close(slave)
        slave = -1
        seen = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: the terminal's other end is closed and all of it read
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
        if slave >= 0:
            os.close(slave)
    assert done.returncode == 0 and done.stdout == plain.stdout
    text = seen.decode()
    erase = "\r\x1b[K"
    for words in ("re-scanning", "re-scoring", "saving scores"):
        assert f"{erase}{words}: 0 of {sheets} sheets (0 %)" in text, text
    assert text.endswith(erase) and "\n" not in text, text


def test_exports_read_back(project: Project) -> None:
    students_csv = project.work / "students-export.csv"
    sheets_csv = project.work / "sheets-export.csv"
    xlsx = project.work / "export.xlsx"
    omrctl("exam", "export", str(project.path), "--csv", str(students_csv))
    omrctl("exam", "export", str(project.path), "--csv", str(sheets_csv), "--sheets")
    omrctl("exam", "export", str(project.path), "--xlsx", str(xlsx))
    data = json.loads(omrctl("exam", "export", str(project.path), "--json").stdout)

    # Per student: the roster's order, then IDs not in it; totals from the drawing.
    rows = list(csv.DictReader(open(students_csv, encoding="utf-8")))
    by_id = {r["id"]: r for r in rows}
    assert [r["id"] for r in rows[:195]] == project.roster
    assert by_id[project.roster[0]]["name"] == "Student 0, Ümit"
    for sid in project.roster[188:195]:
        assert by_id[sid]["status"] == "absent"
    drawn = [d for d in project.sheets if not (d.status or d.nobar) and d.version in ("1", "2")]
    for sid in {d.student for d in drawn if d.student.isdigit()}:
        mine = [d for d in drawn if d.student == sid]
        if len(mine) > 1:
            assert by_id[sid]["status"] == "several sheets"
            continue
        total, maximum = expected_score(mine[0], {VOID})
        assert float(by_id[sid]["total"]) == pytest.approx(total, abs=1e-9)
        assert float(by_id[sid]["maximum"]) == pytest.approx(maximum, abs=1e-9)
        assert by_id[sid]["item1"] in ("", *OPTIONS) or len(by_id[sid]["item1"]) == 2
        assert by_id[sid]["status"] == ("scored" if sid in project.roster else "not in roster")
    # --excel: the same rows behind a byte-order mark, with CRLF line ends.
    excel_csv = project.work / "students-excel.csv"
    omrctl("exam", "export", str(project.path), "--csv", str(excel_csv), "--excel")
    raw = excel_csv.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf") and raw.count(b"\r\n") == raw.count(b"\n") == len(rows) + 1
    assert raw[3:].replace(b"\r\n", b"\n") == students_csv.read_bytes()
    assert "--excel requires --csv" in omrctl("exam", "export", str(project.path), "--excel", check=False).stderr
    sheet_rows = list(csv.DictReader(open(sheets_csv, encoding="utf-8")))
    assert len(sheet_rows) == 200 and sheet_rows[0]["sheet"] == "1"
    # Reasons name the question and, as the report counts them, its master item on the sheet's version.
    named = 0
    for r in sheet_rows:
        order = ORDER2 if r["version"] == "2" else list(range(1, ITEMS + 1))
        for q, item in re.findall(r"question (\d+)(?: \(item (\d+)\))?", r["review"]):
            if int(q) >= FIRST_ITEM:
                # Named where the numbers differ: question 11 of version 2 may be item 11.
                assert int(item or q) == order[int(q) - FIRST_ITEM] and item != q, (r["sheet"], r["review"])
                named += 1
    assert named > 50
    assert sheet_rows[0][f"item{VOID}_points"] == ""

    # The workbook: four sheets and the item analysis, numbers stored as numbers.
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.load_workbook(xlsx, read_only=True)
    assert book.sheetnames == ["Students", "Sheets", "Items", "Review", "Test statistics", "Item analysis",
                               "Option analysis"]
    table = list(book["Students"].iter_rows(values_only=True))
    header = list(table[0])
    for values in table[1:]:
        row = dict(zip(header, values))
        expected = by_id[row["id"]]
        if expected["total"]:
            assert isinstance(row["total"], (int, float)) and not isinstance(row["total"], bool)
            assert row["total"] == pytest.approx(float(expected["total"]))
    # Every number is a number: text that reads as one is only an ID, a version name, a response or a detail.
    for sheet in book.worksheets:
        table = list(sheet.iter_rows(values_only=True))
        for values in table[1:]:
            for name, value in zip(table[0], values):
                if isinstance(value, str) and re.fullmatch(r"-?[0-9]+(\.[0-9]+)?", value):
                    assert name in ("id", "student_id", "version", "Version", "detail") or \
                        re.fullmatch(r"item[0-9]+", name), (sheet.title, name, value)
    items = list(book["Items"].iter_rows(values_only=True))
    assert len(items) == ITEMS + 1
    item_row = dict(zip(items[0], items[VOID]))
    assert item_row["kind"] == "void" and item_row["maximum"] == 0
    review = list(book["Review"].iter_rows(values_only=True))
    with omr.Exam(project.path) as exam:
        assert len(review) - 1 == len(exam.review)
    assert len(data["sheets"]) == 200 and len(data["items"]) == ITEMS
    assert len(data["students"]) == len(rows)


def test_omr_exam_students_agree_with_the_export(project: Project) -> None:
    rows = {r["id"]: r for r in csv.DictReader(open(project.work / "students-export.csv", encoding="utf-8"))} \
        if (project.work / "students-export.csv").exists() else None
    with omr.Exam(project.path) as exam:
        students = exam.students
        assert len(exam.roster) == 195 and exam.roster[0]["name"].startswith("Student 0")
        assert "keys" in exam.exam_text
        responses = exam.responses(1)
        assert [r.question for r in responses] == list(range(1, 71))
    if rows is not None:
        for s in students:
            assert rows[s.id]["status"] == s.status
            if s.total is not None:
                assert float(rows[s.id]["total"]) == pytest.approx(s.total)



def test_omr_exam_reads_a_typed_sheet_s_questions_only(project: Project) -> None:
    # A typed sheet has the ID, the version and the items: question 9 (the
    # class, which the exam does not read) has no response, and it scores as typed.
    path = copy_project(project, "typed.omrexam")
    omrctl("exam", "type", str(path), "--id", project.roster[0], "--version", "1", "--answers", "".join(KEY1),
           "--by", "Dee")
    with omr.Exam(path) as exam:
        typed = exam.sheets[-1]
        responses = exam.responses(typed.number)
        score = next(s for s in exam.scores if s.sheet == typed.number)
    assert [r.question for r in responses] == [*range(1, 9), *range(10, FIRST_ITEM + ITEMS)]
    assert "".join(r.character for r in responses[:9]) == project.roster[0] + "1"
    assert [r.marked for r in responses[9:]] == KEY1
    right = sum(2 if m == DOUBLE_POINTS else 0 if m == VOID else 1 for m in range(1, ITEMS + 1))
    assert score.total == pytest.approx(right * CORRECT)

@contextlib.contextmanager
def reading(project: Project, name: str, station: str, wait_for: int):
    """exam read into a copy of the project from a slow simulated station, once it has printed `wait_for`
    sheets: the copy, the process and the sheet numbers it printed."""
    path = copy_project(project, name)
    lines = [d.line for d in project.sheets if not (d.status or d.nobar)][:30]
    sim = Simulator(project.work, station, lines, "--feed-delay", "300")
    try:
        run = subprocess.Popen([OMRCTL, "--port", str(sim.link), "exam", "read", str(path), "--station", station],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        printed = []
        assert run.stdout is not None
        while len(printed) < wait_for:
            line = run.stdout.readline()
            assert line, f"exam read ended early: {run.stderr.read() if run.stderr else ''}"
            printed.append(int(line.split()[0]))
        yield path, run, printed
    finally:
        sim.stop()


def test_a_killed_run_keeps_every_sheet_before_the_one_in_flight(project: Project) -> None:
    with reading(project, "killed.omrexam", "C", 5) as (path, run, printed):
        run.send_signal(signal.SIGKILL)
        run.wait(timeout=10)
    with omr.Exam(path) as exam:
        mine = [s for s in exam.sheets if s.station == "C"]
        numbers = {s.number for s in mine}
        assert set(printed) <= numbers  # every sheet announced is stored
        assert len(mine) in (len(printed), len(printed) + 1)  # plus at most the one in flight
        assert [s.station_number for s in mine] == list(range(1, len(mine) + 1))
        assert all(s.number in {x.sheet for x in exam.scores} for s in mine)
    status = json.loads(omrctl("exam", "status", str(path), "--json").stdout)
    assert [u["station"] for u in status["unfinished"]] == ["C"]


def test_sigint_finishes_the_sheet_in_flight_and_ends_the_run(project: Project) -> None:
    with reading(project, "interrupted.omrexam", "E", 3) as (path, run, _):
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=30)
    assert run.returncode == 130, err
    printed = 3 + sum(1 for line in out.splitlines() if line[:5].strip().isdigit())
    assert "interrupted" in out
    with omr.Exam(path) as exam:
        assert len([s for s in exam.sheets if s.station == "E"]) == printed
    status = json.loads(omrctl("exam", "status", str(path), "--json").stdout)
    assert status["unfinished"] == []


def test_a_reader_that_hangs_up_ends_the_run_with_exit_4(project: Project) -> None:
    path = copy_project(project, "hangup.omrexam")
    lines = [d.line for d in project.sheets if not (d.status or d.nobar)][:5]
    sim = Simulator(project.work, "F", lines, "--fault", "26:hangup")
    try:
        done = subprocess.run([OMRCTL, "--port", str(sim.link), "exam", "read", str(path), "--station", "F"],
                              capture_output=True, text=True, timeout=120)
    finally:
        sim.stop()
    assert done.returncode == 4, done.stderr
    assert "feed it again" in done.stderr
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    runs = db.execute("SELECT sheets, outcome FROM batches WHERE station = 'F'").fetchall()
    db.close()
    assert runs == [(0, "reader lost")]


def test_a_failed_write_stops_the_run_and_names_the_sheet_in_flight(project: Project) -> None:
    path = copy_project(project, "full.omrexam")
    limit = path.stat().st_size + 96 * 1024  # the journal soon reaches it

    def small_files() -> None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    lines = [d.line for d in project.sheets if not (d.status or d.nobar)][:60]
    sim = Simulator(project.work, "D", lines)
    try:
        done = subprocess.run([OMRCTL, "--port", str(sim.link), "exam", "read", str(path), "--station", "D"],
                              capture_output=True, text=True, timeout=120, preexec_fn=small_files)
    finally:
        sim.stop()
    assert done.returncode == 6, done.stderr
    assert "not stored" in done.stderr and "feed it again" in done.stderr
    printed = [int(line.split()[0]) for line in done.stdout.splitlines() if line[:5].strip().isdigit()]
    assert 0 < len(printed) < 60
    with omr.Exam(path) as exam:
        mine = [s.number for s in exam.sheets if s.station == "D"]
    assert mine == printed
    summary = re.search(r"^(\d+) sheets? read into ", done.stdout, re.M)
    assert summary and int(summary.group(1)) == len(mine), done.stdout  # what is stored, not what was fed


def test_refusals_name_the_problem(project: Project) -> None:
    size = project.path.stat().st_size
    done = omrctl("exam", "new", str(project.path), "--exam", str(project.work / "exam.json"), check=False)
    assert done.returncode != 0 and "exists" in done.stderr
    assert project.path.stat().st_size == size
    bad = project.work / "bad.json"
    bad.write_text('{"form": "%s", "items": "11-70",\n "keys": {"1": "ABC"}}\n' % FORM)
    done = omrctl("exam", "new", str(project.work / "bad.omrexam"), "--exam", str(bad), check=False)
    assert done.returncode == 2
    assert f"{bad}:2:16: /keys/1: has 3 answers for 60 items" in done.stderr
    assert not (project.work / "bad.omrexam").exists()
    done = omrctl("exam", "status", str(project.work / "students.csv"), check=False)
    assert done.returncode == 6 and "not an exam project" in done.stderr
    with pytest.raises(omr.ExamError):
        omr.Exam(project.work / "students.csv")


def test_a_named_pipe_is_refused_at_once(project: Project) -> None:
    # No one writes into the pipe: a command that opened it to look would wait for ever.
    pipe = project.work / "pipe"
    os.mkfifo(pipe)
    for args in (["export", str(project.path), "--csv", str(pipe)],
                 ["report", str(project.path), "--html", str(pipe)],
                 ["backup", str(project.path), str(pipe), "--force"],
                 ["import", str(project.path), str(pipe)],
                 ["status", str(pipe)]):
        done = subprocess.run([OMRCTL, "exam", *args], capture_output=True, text=True, timeout=60)
        assert done.returncode != 0 and "not a regular file" in done.stderr, (args, done.stderr)
    assert stat.S_ISFIFO(pipe.stat().st_mode)


def test_the_example_exam_file_makes_a_project(tmp_path: Path) -> None:
    if not os.access(OMRCTL, os.X_OK):
        pytest.skip(f"{OMRCTL} is not built")
    path = tmp_path / "example.omrexam"
    out = omrctl("exam", "new", str(path), "--exam", str(SOURCE / "examples" / "exam60.exam.json")).stdout
    assert "60 items, 2 versions, 40 students" in out
    with omr.Exam(path) as exam:
        assert exam.roster[0] == {"id": "20240131", "name": "Ann Lee", "class": "7A"}
        assert exam.sheets == []


def test_rosters_and_numbers_people_bring_are_named(tmp_path: Path) -> None:
    """A roster in GBK or Latin-1, with semicolons or an ID a spreadsheet mangled, and a number no double holds:
    each refused with its file, line and a way out, or taken once its character set is named."""
    if not os.access(OMRCTL, os.X_OK):
        pytest.skip(f"{OMRCTL} is not built")
    names = ["张三", "李四", "Zoë Ümit"]
    rows = [f"2024000{i},{name}\n" for i, name in enumerate(names, start=1)]
    (tmp_path / "gbk.csv").write_bytes(("id,name\n" + "".join(rows[:2])).encode("gbk"))
    (tmp_path / "latin1.csv").write_bytes(("ID,name\n" + rows[2]).encode("latin-1"))
    (tmp_path / "semicolons.csv").write_text("id;name\n20240001;Ann\n", encoding="utf-8")
    (tmp_path / "spreadsheet.csv").write_text("id,name\n20240001,Ann\n2.0240E+07,Bo\n", encoding="utf-8")

    def exam_file(name: str, roster: str, encoding: Optional[str] = None, wrong: str = "-0.25") -> Path:
        student = {"questions": "1-8", "roster": roster}
        if encoding:
            student["roster_encoding"] = encoding
        text = json.dumps({"form": str(FORM), "student": student, "items": "11-12", "key": "AB"}, indent=1)
        path = tmp_path / name
        path.write_text(text[:-2] + f',\n "scoring": {{"wrong": {wrong}}}\n}}\n', encoding="utf-8")
        return path

    def new(exam: Path, *options: str) -> subprocess.CompletedProcess:
        project = tmp_path / (exam.stem + ".omrexam")
        if project.exists():
            project.unlink()
        return omrctl("exam", "new", str(project), "--exam", str(exam), *options, check=False)

    refused = [
        (exam_file("gbk.json", "gbk.csv"), (), f"{tmp_path / 'gbk.csv'}:2:10: this line is not UTF-8 text",
         "--roster-encoding gbk"),
        (exam_file("latin1.json", "latin1.csv"), (), "latin1.csv:2:12:", "iconv -f CP1252 -t UTF-8"),
        (exam_file("semicolons.json", "semicolons.csv"), (), "semicolons.csv:1:1:", 'separated by ";"'),
        (exam_file("spreadsheet.json", "spreadsheet.csv"), (), "spreadsheet.csv:3:1:", "scientific notation"),
        (exam_file("huge.json", "semicolons.csv", wrong="1e400"), (), "huge.json:9:23: /scoring/wrong",
         "the number 1e400 is beyond"),
        (exam_file("klingon.json", "gbk.csv", encoding="klingon"), (), "/student/roster_encoding",
         "not a character set"),
        (exam_file("option.json", "gbk.csv"), ("--roster-encoding", "klingon"), "--roster-encoding klingon",
         "not a character set"),
    ]
    for exam, options, where, says in refused:
        done = new(exam, *options)
        assert done.returncode == 2, (exam, done.stdout)
        assert where in done.stderr and says in done.stderr, done.stderr
        assert "Traceback" not in done.stderr and "json.exception" not in done.stderr
        assert not (tmp_path / (exam.stem + ".omrexam")).exists()

    # Named, on the command line or in the exam file, the rosters read as their people wrote them.
    for exam, options, want in ((exam_file("gbk.json", "gbk.csv"), ("--roster-encoding", "gbk"), names[:2]),
                                (exam_file("gbk2.json", "gbk.csv", encoding="GBK"), (), names[:2]),
                                (exam_file("latin1.json", "latin1.csv"), ("--roster-encoding", "latin1"), names[2:])):
        done = new(exam, *options)
        assert done.returncode == 0, done.stderr
        with omr.Exam(tmp_path / (exam.stem + ".omrexam")) as project:
            assert [r["name"] for r in project.roster] == want

    # A rekey with such a number is refused the same way, and the project stays as it was.
    project = tmp_path / "gbk2.omrexam"
    done = omrctl("exam", "rekey", str(project), "--exam", str(exam_file("huge2.json", "gbk.csv", wrong="-1e999")),
                  check=False)
    assert done.returncode == 2 and "huge2.json:9:23: /scoring/wrong: the number -1e999 is beyond" in done.stderr
    with omr.Exam(project) as exam:
        assert exam.revision == 1
