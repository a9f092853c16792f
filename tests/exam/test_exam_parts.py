"""An exam on two sheets a candidate end to end: examples/twopart.form (sheet A
with 60 questions, sheet B with 40) read in mixed order from two stations (two
omrsim, two `omrctl exam read`) into one SQLite project. Each candidate's
sheets are combined by student ID: totals, statuses and the item analysis are
checked against the answers the test drew and the scoring rules written out
below; a missing, a doubled and a misread part are review reasons, an ID
corrected on one sheet regroups it, the exports and Python count candidates,
and a lost sheet typed in as its part completes its candidate.

Needs OMRCTL and OMRSIM (paths of the built programs); CTest sets them.
"""

from __future__ import annotations

import csv
import json
import os
import random
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

import pytest

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "bindings" / "python"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import omr  # noqa: E402
from test_exam_project import Simulator, omrctl  # noqa: E402
import test_exam_project  # noqa: E402

FORM = SOURCE / "examples" / "twopart.form"
os.environ[omr.exam.OMRCTL_ENV] = test_exam_project.OMRCTL  # the omrctl under test gives Python its candidates
OPTIONS = "ABCDE"
ON = {"A": 60, "B": 40}  # items on each sheet, questions 11 on
ITEMS = 100
RNG = random.Random(3232)
KEY = [RNG.choice(OPTIONS) for _ in range(ITEMS)]
ORDER2 = list(range(1, ITEMS + 1))
RNG.shuffle(ORDER2)  # item i of version 2 is master item ORDER2[i], across both sheets
VOID, DOUBLE = 17, 75
CORRECT, WRONG, FLOOR = 1.0, -0.25, 0.0
ROSTER = [f"{20250000 + i:08d}" for i in range(1, 31)]


def positions(sheet: str) -> range:
    """The version's item positions (0-based) sheet A or B carries."""
    return range(0, ON["A"]) if sheet == "A" else range(ON["A"], ITEMS)


def key_of(version: str) -> Tuple[List[int], List[str]]:
    order = list(range(1, ITEMS + 1)) if version == "1" else ORDER2
    return order, [KEY[m - 1] for m in order]


def points(master: int, marked: str, key: str) -> Optional[float]:
    """The exam file's rules, written out."""
    if master == VOID:
        return None
    if marked == "" or len(marked) > 1:
        return 0.0
    return (2.0 if master == DOUBLE else CORRECT) if marked == key else WRONG


@dataclass
class Sheet:
    """One sheet as drawn: its line for omrsim and the marks it must read as."""
    part: str
    student: str
    version: str
    marked: List[str]  # per item of its part, in its version's order
    station: str = ""
    index: int = 0

    def line(self) -> str:
        items = "".join("." if m == "" else m if len(m) == 1 else
                        "[" + ",".join(str(OPTIONS.index(c) + 1) for c in m) + "]" for m in self.marked)
        return f"{self.part} {self.student}0{self.version}{items}"


@dataclass
class Candidate:
    student: str
    version: str
    sheets: Dict[str, List[Sheet]] = field(default_factory=dict)  # part -> its sheets, in reading order


def draw() -> Tuple[List[Candidate], List[Sheet]]:
    rng = random.Random(77)
    candidates = []
    for n, sid in enumerate(ROSTER[:28]):
        c = Candidate(sid, "1" if rng.random() < 0.5 else "2")
        theta = rng.gauss(0, 1)
        for part in ("A", "B"):
            order, key = key_of(c.version)
            marked = []
            for i in positions(part):
                roll = rng.random()
                if roll < 0.04:
                    marked.append("")
                elif roll < 0.07:
                    marked.append("".join(sorted(rng.sample(OPTIONS, 2))))
                elif rng.random() < 0.35 + 0.2 * theta:
                    marked.append(key[i])
                else:
                    marked.append(rng.choice([o for o in OPTIONS if o != key[i]]))
            c.sheets[part] = [Sheet(part, sid, c.version, marked)]
        candidates.append(c)
    # Candidate 0 lost sheet A; candidate 1's sheet A was fed again after a change (the later counts);
    # candidate 2's sheet B has its ID misread (fixed later); candidate 3 marked another version on B.
    del candidates[0].sheets["A"]
    again = candidates[1].sheets["A"][0]
    candidates[1].sheets["A"].append(Sheet("A", again.student, again.version,
                                           [OPTIONS[(OPTIONS.index(m) + 1) % 5] if len(m) == 1 else m
                                            for m in again.marked]))
    candidates[2].sheets["B"][0].student = "99990002"
    b3 = candidates[3].sheets["B"][0]
    b3.version = "2" if candidates[3].version == "1" else "1"
    sheets = [s for c in candidates for part in c.sheets.values() for s in part]
    # Mixed order, two stations; a part read twice is fed twice at one station, in order.
    rng.shuffle(sheets)
    twice = candidates[1].sheets["A"]
    sheets.remove(twice[1])
    sheets.insert(sheets.index(twice[0]) + 1 + rng.randrange(5), twice[1])
    count = {"north": 0, "south": 0}
    for s in sheets:
        s.station = twice[0].station if s is twice[1] else rng.choice(["north", "south"])
        count[s.station] += 1
        s.index = count[s.station]
    return candidates, sheets


def expected_total(c: Candidate) -> Tuple[float, float]:
    """A whole candidate of one version: the sum over both sheets (the later sheet of a part read twice), then
    the floor; and the maximum."""
    order, key = key_of(c.version)
    total, maximum = 0.0, 0.0
    for part in ("A", "B"):
        sheet = c.sheets[part][-1]
        for i, marked in zip(positions(part), sheet.marked):
            p = points(order[i], marked, key[i])
            if p is not None:
                total += p
                maximum += 2.0 if order[i] == DOUBLE else CORRECT
    return max(total, FLOOR), maximum


@dataclass
class Project:
    work: Path
    path: Path
    candidates: List[Candidate]
    sheets: List[Sheet]
    texts: Dict[Tuple[str, int], str]
    number: Dict[int, int]  # id(sheet) -> its sheet number


def exam_text() -> str:
    body = {
        "form": str(FORM),
        "student": {"questions": "1-8", "roster": "students.csv"},
        "version": {"question": 10},
        "sheets": {"layout": True, "parts": {"A": "11-70", "B": "11-50"}},
        "key": "".join(KEY),
        "keys": {"1": {}, "2": {"order": ORDER2}},
        "scoring": {"correct": CORRECT, "wrong": WRONG, "floor": FLOOR,
                    "items": {str(VOID): "void", str(DOUBLE): {"points": 2}}},
    }
    return json.dumps(body, indent=1) + "\n"


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Project:
    for program in (test_exam_project.OMRCTL, test_exam_project.OMRSIM):
        if not os.access(program, os.X_OK):
            pytest.skip(f"{program} is not built")
    work = tmp_path_factory.mktemp("parts")
    candidates, sheets = draw()
    with open(work / "students.csv", "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["id", "name"])
        for n, sid in enumerate(ROSTER):
            w.writerow([sid, f"Candidate {n}"])
    (work / "exam.json").write_text(exam_text(), encoding="utf-8")
    path = work / "paper.omrexam"
    omrctl("exam", "new", str(path), "--exam", str(work / "exam.json"), "--by", "office")
    stations = ("north", "south")
    sims = {s: Simulator(work, s, [d.line() for d in sheets if d.station == s], form=FORM) for s in stations}
    try:
        runs = {s: subprocess.Popen([test_exam_project.OMRCTL, "--port", str(sims[s].link), "exam", "read",
                                     str(path), "--station", s], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True) for s in stations}
        outputs = {s: r.communicate(timeout=300) for s, r in runs.items()}
        texts = {(s, i): text for s in stations for i, (_, text) in enumerate(sims[s].predictions(), start=1)}
    finally:
        for sim in sims.values():
            sim.stop()
    for s, r in runs.items():
        out, err = outputs[s]
        assert r.returncode == 0, f"station {s}: exit {r.returncode}\n{out}\n{err}"
        assert "  part A" in out or "  part B" in out, out
    with omr.Exam(path) as exam:
        stored = {(s.station, s.station_number): s.number for s in exam.sheets}
    number = {id(d): stored[(d.station, d.index)] for d in sheets}
    return Project(work, path, candidates, sheets, texts, number)


def test_the_drawing_reads_as_the_test_assumes(project: Project) -> None:
    for d in project.sheets:
        text = project.texts[(d.station, d.index)]
        assert text[:8] == d.student and text[9] == d.version, d.line()
        for i, marked in enumerate(d.marked):
            assert text[10 + i] == ("." if marked == "" else marked if len(marked) == 1 else ">"), (d.line(), i)


def test_sheets_are_stored_once_each_scored_on_its_own_items(project: Project) -> None:
    with omr.Exam(project.path) as exam:
        assert len(exam.sheets) == len(project.sheets)
        assert {s.station for s in exam.sheets} == {"north", "south"}
        scores = {s.sheet: s for s in exam.scores}
    for d in project.sheets:
        score = scores[project.number[id(d)]]
        order, key = key_of(d.version)
        on = set(order[i] for i in positions(d.part))
        # One entry per master item: the other sheet's items are empty.
        assert len(score.answers) == ITEMS
        assert all(score.points[m - 1] is None for m in range(1, ITEMS + 1) if m not in on)
        total = sum(points(order[i], m, key[i]) or 0.0 for i, m in zip(positions(d.part), d.marked))
        assert score.total == pytest.approx(total, abs=1e-9), d.line()  # a part has no floor


def expected_reasons(project: Project, d: Sheet) -> set:
    """The reasons across a student's sheets, from the drawing."""
    mine = [x for x in project.sheets if x.student == d.student]
    parts = {x.part for x in mine}
    out = set()
    if d.student not in ROSTER:
        out.add(("unknown-id", f"{d.student}"))
    same = sorted(project.number[id(x)] for x in mine if x is not d and x.part == d.part)
    if same:
        out.add(("duplicate-part", "sheet " + ",".join(map(str, same))))
    missing = [p for p in ("A", "B") if p not in parts]
    if missing:
        out.add(("missing-part", "part " + missing[0]))
    other = sorted(project.number[id(x)] for x in mine if x is not d and x.version != d.version)
    if other:
        out.add(("mixed-versions", "sheet " + ",".join(map(str, other))))
    return out


def across(project: Project) -> Dict[int, set]:
    got: Dict[int, set] = {}
    with omr.Exam(project.path) as exam:
        for r in exam.review:
            if r.reason in ("unknown-id", "duplicate-part", "missing-part", "mixed-versions", "duplicate-id"):
                got.setdefault(r.sheet, set()).add((r.reason, r.detail))
    return got


def test_a_missing_a_doubled_and_a_misread_part_are_review_reasons(project: Project) -> None:
    got = across(project)
    kinds = set()
    for d in project.sheets:
        want = expected_reasons(project, d)
        assert got.get(project.number[id(d)], set()) == want, d.line()
        kinds |= {k for k, _ in want}
    # A student's other part is no duplicate ID.
    assert kinds == {"unknown-id", "duplicate-part", "missing-part", "mixed-versions"}
    status = json.loads(omrctl("exam", "status", str(project.path), "--json").stdout)
    assert status["by_reason"]["missing-part"] == 3  # candidate 0's B, candidate 2's A, the misread B
    assert status["by_reason"]["duplicate-part"] == 2


def students(project: Project) -> Dict[str, dict]:
    data = json.loads(omrctl("exam", "export", str(project.path), "--json").stdout)
    assert len(data["sheets"]) == len(project.sheets)  # the sheets table still lists sheets
    rows = {r["id"]: r for r in data["students"]}
    assert len(rows) == len(data["students"])
    return rows


def test_exports_count_candidates_with_their_combined_totals(project: Project) -> None:
    rows = students(project)
    assert set(rows) == set(ROSTER) | {"99990002"}  # one row a student, not a sheet
    whole = 0
    for n, c in enumerate(project.candidates):
        row = rows[c.student]
        numbers = sorted(project.number[id(s)] for s in project.sheets if s.student == c.student)
        if n in (0, 2):
            assert row["status"] == "missing part" and row["total"] is None, row
        elif n == 3:
            assert row["status"] == "not scored" and row["total"] is None, row
        else:
            total, maximum = expected_total(c)
            assert row["total"] == pytest.approx(total, abs=1e-9), c.student
            assert row["maximum"] == pytest.approx(maximum, abs=1e-9)
            assert row["percent"] == pytest.approx(100 * total / maximum, abs=1e-9)
            assert row["version"] == c.version
            assert row["status"] == ("several sheets" if n == 1 else "scored"), row
            whole += n != 1
        assert row["sheet"] == (";".join(map(str, numbers)) if len(numbers) > 1 else numbers[0]), row
    assert rows["99990002"]["status"] == "missing part"
    for sid in ROSTER[28:]:
        assert rows[sid]["status"] == "absent"

    # The learning platform gets the candidates that are whole and settled.
    lms = project.work / "moodle.csv"
    done = omrctl("exam", "export", str(project.path), "--lms", "moodle", str(lms), "--item-name", "Paper 1")
    lines = lms.read_text(encoding="utf-8").splitlines()
    assert len(lines) == 1 + whole
    assert "a part not read" in done.stderr and "several sheets" in done.stderr


def test_the_item_analysis_is_of_candidates(project: Project) -> None:
    """exam stats against every figure computed from the drawn candidates (test_report.reference)."""
    from test_report import compare, reference

    items = [{"master": m, "maximum": 2.0 if m == DOUBLE else CORRECT, "void": m == VOID, "bonus": False,
              "options": OPTIONS, "keyed": KEY[m - 1]} for m in range(1, ITEMS + 1)]
    rows = students(project)
    sheets = []
    for c in project.candidates:
        if rows[c.student]["total"] is None:
            continue
        order, key = key_of(c.version)
        got = {"number": rows[c.student]["sheet"] if isinstance(rows[c.student]["sheet"], int) else
               int(rows[c.student]["sheet"].split(";")[0]), "points": [0.0] * ITEMS, "right": [0.0] * ITEMS,
               "marked": [""] * ITEMS, "total": expected_total(c)[0]}
        for part in ("A", "B"):
            for i, marked in zip(positions(part), c.sheets[part][-1].marked):
                m = order[i]
                got["points"][m - 1] = points(m, marked, key[i]) or 0.0
                got["right"][m - 1] = float(marked == key[i])
                got["marked"][m - 1] = marked
        sheets.append(got)
    stats = json.loads(omrctl("exam", "stats", str(project.path), "--json").stdout)
    assert stats["overall"]["sheets"] == len(sheets) == 25
    compare(stats["overall"], reference(items, sheets), "all versions")


def expected_student(project: Project, sid: str) -> Tuple[str, Optional[float], List[str], List[int]]:
    """Status, total, missing parts and sheet numbers of a student, from the drawing."""
    mine = [d for d in project.sheets if d.student == sid]
    numbers = sorted(project.number[id(d)] for d in mine)
    if not mine:
        return "absent", None, [], []
    missing = [p for p in ("A", "B") if p not in {d.part for d in mine}]
    if missing:
        return "missing part", None, missing, numbers
    c = next(c for c in project.candidates if c.student == sid)
    if len({d.version for d in mine}) > 1:
        return "not scored", None, [], numbers
    doubled = len(mine) > 2
    return ("several sheets" if doubled else "scored"), expected_total(c)[0], [], numbers


def test_python_gives_one_student_a_candidate(project: Project) -> None:
    with omr.Exam(project.path) as exam:
        assert exam.in_parts
        got = exam.students
    assert [s.id for s in got] == ROSTER + ["99990002"]
    for s in got:
        status, total, missing, numbers = expected_student(project, s.id)
        assert (s.status, s.missing, s.sheets) == (status, missing, numbers), s
        assert s.total == (None if total is None else pytest.approx(total, abs=1e-9)), s
    assert {s.id: s.columns["name"] for s in got if s.id in ROSTER} == {sid: f"Candidate {n}"
                                                                          for n, sid in enumerate(ROSTER)}
    # What every export counts, field by field.
    rows = students(project)
    for s in got:
        r = rows[s.id]
        sheets = [] if r["sheet"] is None else [r["sheet"]] if isinstance(r["sheet"], int) else \
            [int(n) for n in r["sheet"].split(";")]
        assert (s.status, s.total, s.maximum, s.percent, s.version, s.sheets) == \
            (r["status"], r["total"], r["maximum"], r["percent"], r["version"] or "", sheets), s.id


def test_an_id_corrected_on_one_sheet_regroups_it(project: Project) -> None:
    """Last: it changes the project."""
    c = project.candidates[2]
    misread = c.sheets["B"][0]
    done = omrctl("exam", "correct", str(project.path), str(project.number[id(misread)]), "id", c.student,
                  "--by", "office", "--reason", "ID misread")
    assert done.returncode == 0
    misread.student = c.student
    got = across(project)
    for d in project.sheets:
        assert got.get(project.number[id(d)], set()) == expected_reasons(project, d), d.line()
    rows = students(project)
    assert "99990002" not in rows
    total, _ = expected_total(c)
    assert rows[c.student]["status"] == "scored"
    assert rows[c.student]["total"] == pytest.approx(total, abs=1e-9)
    # A re-key lists candidates: a change to an item of sheet B shows in their totals.
    dry = json.loads(omrctl("exam", "rekey", str(project.path), "--item", "80", "--void", "--dry-run",
                            "--json").stdout)
    assert len(dry["changed"]) + dry["unchanged"] == 26


def test_a_lost_sheet_typed_in_as_its_part_completes_its_candidate(project: Project) -> None:
    """After the ID correction: candidate 0 lost sheet A, which is typed in; its read sheet B and the typed A
    make one candidate scored as the sum of the two."""
    c = project.candidates[0]
    order, key = key_of(c.version)
    typed = [key[i] if i % 3 else "" for i in positions("A")]
    typed[4] = "AC"
    typed[7] = OPTIONS[(OPTIONS.index(key[7]) + 2) % 5]
    text = "".join("-" if m == "" else m if len(m) == 1 else f"({m})" for m in typed)
    base = ["exam", "type", str(project.path), "--id", c.student, "--version", c.version, "--by", "office"]
    wrong = omrctl(*base, "--part", "C", "--answers", text, check=False)
    assert wrong.returncode != 0 and 'part: the exam has no part "C" (its parts: A, B)' in wrong.stderr
    short = omrctl(*base, "--part", "B", "--answers", text, check=False)
    assert short.returncode != 0 and "answers: 60 typed, part B has 40 items" in short.stderr
    omrctl(*base, "--part", "A", "--answers", text)
    c.sheets["A"] = [Sheet("A", c.student, c.version, typed)]
    total, maximum = expected_total(c)
    with omr.Exam(project.path) as exam:
        sheet = exam.sheets[-1]
        assert (sheet.source, sheet.form, json.loads(sheet.result)["part"]) == ("typed", "A", "A")
        student = next(s for s in exam.students if s.id == c.student)
    b = project.number[id(c.sheets["B"][0])]
    assert (student.status, student.missing, student.sheets) == ("scored", [], [b, sheet.number])
    assert student.total == pytest.approx(total, abs=1e-9) and student.maximum == pytest.approx(maximum)
    exported = json.loads(omrctl("exam", "export", str(project.path), "--json").stdout)["students"]
    assert next(r for r in exported if r["id"] == c.student)["total"] == pytest.approx(total, abs=1e-9)
