"""Results that reach the students and the learning platform, end to end: 120 students in three classes sit a
60-item exam in two versions with topics, a grade scale (rescaled to 20, rounded to halves) and the class as
their group; omrsim draws their sheets and omrctl reads them. Every slip's total, mark, grade and topic
subscores, the PDF's pages, each platform's file, the exports, the report's group and topic sections and the
item analysis per class are checked against what the test drew, with the rules written out below.

Needs OMRCTL and OMRSIM (paths of the built programs); CTest sets them.
"""

from __future__ import annotations

import csv
import html
import io
import json
import math
import os
import random
import re
import shutil
import statistics
import subprocess
from dataclasses import dataclass, field
from fractions import Fraction
from pathlib import Path
from typing import Dict, List, Optional, Set

import pytest

from test_exam_project import OMRCTL, OMRSIM, SOURCE, Simulator, omrctl

FORM = SOURCE / "examples" / "exam60.form"
OPTIONS = "ABCDE"
ITEMS = 60
FIRST_ITEM = 11
RNG = random.Random(3434)
KEY = [RNG.choice(OPTIONS) for _ in range(ITEMS)]
ORDER2 = list(range(1, ITEMS + 1))
RNG.shuffle(ORDER2)  # item i of version 2 is master item ORDER2[i]
VOID, ACCEPT, DOUBLE = 13, 44, 50
ACCEPT_ALSO = next(o for o in OPTIONS if o != KEY[ACCEPT - 1])
WRONG = Fraction(-1, 4)
TOPICS = {"Mechanics": range(1, 21), "Optics": range(21, 36), "Waves": range(36, 61)}
# The scale: percent 0..100 to 0..20, rounded half up to halves; bands on that mark; D or better passes.
BANDS = [(17, "A"), (14, "B"), (11, "C"), (8, "D"), (0, "F")]
PASS = "D"
CLASSES = ["7A", "7B", "7C"]
ITEM_NAME = "Physics final"
BB_COLUMN = "_4242_1"
NOT_IN_ROSTER = ["99990001", "99990002"]


@dataclass
class Student:
    id: str
    name: str
    first: str
    last: str
    klass: str
    email: str
    login: str
    sis: str
    version: str = "1"
    absent: bool = False
    marked: List[str] = field(default_factory=list)  # per item of its version: the labels marked
    light: Set[int] = field(default_factory=set)  # positions (from 1) drawn with a light mark

    def doubted(self) -> Set[int]:
        """Positions the recognition doubts (light marks, two marks: a near tie) on items that count."""
        doubts = self.light | {i + 1 for i, m in enumerate(self.marked) if len(m) > 1}
        return {p for p in doubts if self.order()[p - 1] != VOID}

    def order(self) -> List[int]:
        return list(range(1, ITEMS + 1)) if self.version == "1" else ORDER2

    def points(self) -> Dict[int, Optional[Fraction]]:
        """Per master item: its points by the exam's rules (None for the void item)."""
        out: Dict[int, Optional[Fraction]] = {}
        for i, marked in enumerate(self.marked):
            m = self.order()[i]
            if m == VOID:
                out[m] = None
            elif marked == "" or len(marked) > 1:
                out[m] = Fraction(0)
            elif marked == KEY[m - 1] or (m == ACCEPT and marked == ACCEPT_ALSO):
                out[m] = Fraction(2 if m == DOUBLE else 1)
            else:
                out[m] = WRONG
        return out

    def total(self) -> Fraction:
        return max(Fraction(0), sum(p for p in self.points().values() if p is not None))

    def mark(self) -> Fraction:
        x = self.total() * 20 / MAXIMUM  # percent / 100 x 20
        return Fraction(math.floor(x * 2 + Fraction(1, 2)), 2)  # half up, to halves

    def grade(self) -> str:
        return next(g for low, g in BANDS if self.mark() >= low)

    def topic(self, name: str):
        pts = self.points()
        items = [m for m in TOPICS[name] if m != VOID]
        got = sum(pts[m] for m in items)
        top = sum(2 if m == DOUBLE else 1 for m in items)
        return got, top, 100 * got / top

    def counts(self):
        right = wrong = blank = multiple = 0
        for i, marked in enumerate(self.marked):
            m = self.order()[i]
            if m == VOID:
                continue
            if marked == "":
                blank += 1
            elif len(marked) > 1:
                multiple += 1
            elif self.points()[m] > 0:
                right += 1
            else:
                wrong += 1
        return right, wrong, blank, multiple


MAXIMUM = Fraction(ITEMS - 1 + 1)  # 59 items that count, one of them worth two


def number(v) -> str:
    """A number as the program writes it: shortest, no exponent."""
    v = Fraction(v)
    return str(v.numerator) if v.denominator == 1 else repr(float(v))


def draw() -> List[Student]:
    rng = random.Random(99)
    students = []
    firsts = ["Ann", "Bo", "Chen", "Dara", "Eli", "Fay", "Gus", "Hana", "Ivo", "Jun"]
    for n in range(120):
        first, last = firsts[n % 10], f"Zoë{n}" if n % 17 == 0 else f"Lee{n}"
        if n == 3:
            last = "O'Neil & <Co>"  # shown as text, never as markup
        sid = f"2024{n + 1:04d}"
        s = Student(sid, f"{last}, {first}", first, last, CLASSES[n % 3], f"s{n + 1}@school.example",
                    f"u{n + 1:03d}", f"S{n + 1:05d}")
        students.append(s)
    students[5].absent = students[77].absent = True
    students[9].email = ""  # Moodle finds this student by e-mail: left out there, and said so
    for s in students:
        s.version = rng.choice("12")
        ability = rng.gauss(0.4 if s.klass == "7A" else 0.0 if s.klass == "7B" else -0.4, 1)
        for i in range(ITEMS):
            m = s.order()[i]
            key = KEY[m - 1]
            roll = rng.random()
            if roll < 0.03:
                s.marked.append("")
            elif roll < 0.05:
                a, b = sorted(rng.sample(range(5), 2))
                s.marked.append(OPTIONS[a] + OPTIONS[b])
            else:
                chance = 0.25 + 0.7 / (1 + math.exp(-1.5 * (ability - (m % 7 - 3) / 3)))
                s.marked.append(key if rng.random() < chance else rng.choice([o for o in OPTIONS if o != key]))
                if rng.random() < 0.02:
                    s.light.add(i + 1)
    return students


def sheet_line(s: Student) -> str:
    items = []
    for i, marked in enumerate(s.marked):
        if marked == "":
            items.append(".")
        elif len(marked) > 1:
            items.append("[" + ",".join(str(OPTIONS.index(c) + 1) for c in marked) + "]")
        elif i + 1 in s.light:
            items.append(f"[{OPTIONS.index(marked) + 1}l]")
        else:
            items.append(marked)
    return "A " + s.id + "0" + s.version + "".join(items)


def exam_text() -> str:
    body = {
        "title": "Physics, final exam",
        "form": str(FORM),
        "student": {"questions": "1-8", "roster": "students.csv"},
        "version": {"question": 10},
        "items": f"{FIRST_ITEM}-{FIRST_ITEM + ITEMS - 1}",
        "key": "".join(KEY),
        "keys": {"1": {}, "2": {"order": ORDER2}},
        "scoring": {"wrong": float(WRONG), "floor": 0,
                    "items": {str(VOID): "void", str(ACCEPT): {"accept": ACCEPT_ALSO}, str(DOUBLE): {"points": 2}}},
        "grades": {"scale": {"to": 20}, "round": {"step": 0.5, "mode": "half-up"},
                   "bands": [{"min": low, "grade": g} for low, g in BANDS], "pass": PASS},
        "topics": {name: f"{r.start}-{r.stop - 1}" for name, r in TOPICS.items()},
        "groups": ["class"],
        "lms": {"item": ITEM_NAME,
                "moodle": {"Email address": "email"},
                "canvas": {"SIS User ID": "sis", "SIS Login ID": "login", "Section": "class"},
                "blackboard": {"Last Name": "last", "First Name": "first", "Username": "login", "Student ID": "sis",
                               "column": BB_COLUMN},
                "brightspace": {"OrgDefinedId": "sis", "Username": "login"}},
    }
    return "// physics, three classes\n" + json.dumps(body, indent=1) + "\n"


@dataclass
class Exam:
    work: Path
    path: Path
    students: List[Student]  # the roster's, in its order
    read: List[Student]  # every sheet, in reading order
    sheet_of: Dict[str, int]

    def scored(self) -> List[Student]:
        return [s for s in self.students if not s.absent]


@pytest.fixture(scope="module")
def exam(tmp_path_factory: pytest.TempPathFactory) -> Exam:
    for program in (OMRCTL, OMRSIM):
        if not os.access(program, os.X_OK):
            pytest.skip(f"{program} is not built")
    work = tmp_path_factory.mktemp("results")
    students = draw()
    with open(work / "students.csv", "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["id", "name", "first", "last", "class", "email", "login", "sis"])
        for s in students:
            w.writerow([s.id, s.name, s.first, s.last, s.klass, s.email, s.login, s.sis])
    (work / "exam.json").write_text(exam_text(), encoding="utf-8")
    path = work / "physics.omrexam"
    omrctl("exam", "new", str(path), "--exam", str(work / "exam.json"))
    read = [s for s in students if not s.absent] + draw_extra()
    sim = Simulator(work, "R", [sheet_line(s) for s in read])
    try:
        done = subprocess.run([OMRCTL, "--port", str(sim.link), "exam", "read", str(path), "--station", "R",
                               "--max-errors", "0"], capture_output=True, text=True, timeout=600)
        predicted = sim.predictions()
    finally:
        sim.stop()
    assert done.returncode == 0, done.stdout + done.stderr
    assert len(predicted) == len(read)
    for s, (code, text) in zip(read, predicted):
        assert code == 0 and text[:8] == s.id, (s.id, text)
    return Exam(work, path, students, read, {s.id: n for n, s in enumerate(read, start=1)})


def draw_extra() -> List[Student]:
    """The two students the roster lacks, drawn as the others are."""
    out = []
    rng = random.Random(7)
    for sid in NOT_IN_ROSTER:
        s = Student(sid, "", "", "", "", "", "", "", version=rng.choice("12"))
        s.marked = [rng.choice(OPTIONS) for _ in range(ITEMS)]
        out.append(s)
    return out


def figures(page: str) -> Dict[str, str]:
    return {k: html.unescape(v) for k, v in re.findall(r"data-figure=(\w+)><b>([^<]*)</b>", page)}


def test_every_slip_shows_what_the_student_got(exam: Exam) -> None:
    out = exam.work / "slips"
    done = omrctl("exam", "results", str(exam.path), "--html", str(out))
    scored = exam.scored() + draw_extra()  # roster order, then the IDs it lacks
    assert f"{len(scored)} slips written" in done.stdout
    assert sorted(p.name for p in out.iterdir()) == sorted(f"{s.id}.html" for s in scored)
    for s in scored:
        page = (out / f"{s.id}.html").read_text(encoding="utf-8")
        assert "http" not in page.replace("http-equiv", "") and "src=\"data:" not in page  # nothing from elsewhere
        assert '<meta name=viewport content="width=device-width,initial-scale=1">' in page
        f = figures(page)
        assert f["total"] == number(s.total()), s.id
        assert f["percent"] == f"{float(100 * s.total() / MAXIMUM):.1f}\xa0%"
        assert f["mark"] == f"{float(s.mark()):.1f}" and f["grade"] == s.grade(), s.id
        if s.name:
            assert f"<h1>{html.escape(s.name, quote=False)}</h1>" in page.replace("&#39;", "'")
        for name in TOPICS:
            got, top, pct = s.topic(name)
            row = re.search(rf'<tr data-topic="{name}"><td>{name}</td><td class=n>([^<]*)</td><td class=n>([^<]*)'
                            rf'</td><td class=n>([^<]*)</td>', page)
            assert row, (s.id, name)
            assert row.groups() == (number(got), number(top), f"{float(pct):.1f}&nbsp;%"), (s.id, name)
        # The items in the student's own order: answer, key, points; light marks are doubted and unreviewed.
        rows = re.findall(r"<tr class=(\w+) data-item=(\d+)><td class=n>(\d+)</td><td class=a>(.*?)</td>"
                          r"<td class=k>(.*?)</td><td class=n>(.*?)</td>", page)
        assert [int(m) for _, m, _, _, _, _ in rows] == s.order(), s.id
        pts = s.points()
        for (cls, m, pos, answer, key, points), marked in zip(rows, s.marked):
            m, pos = int(m), int(pos)
            doubt = "class=doubt" in answer
            assert re.sub(r" <span.*", "", answer) == (marked or "&ndash;"), (s.id, pos)
            assert doubt == (pos in s.doubted()), (s.id, pos)
            keyed = "" if m == VOID else KEY[m - 1] + (ACCEPT_ALSO if m == ACCEPT else "")
            assert key == (keyed or "&ndash;")
            assert points == ("void" if pts[m] is None else number(pts[m])), (s.id, pos)


def test_the_pdf_has_a_page_per_student_with_their_name(exam: Exam, tmp_path: Path) -> None:
    if not (shutil.which("pdftotext") and shutil.which("pdfinfo")):
        pytest.skip("pdftotext and pdfinfo (poppler-utils) are not installed")
    everyone = exam.scored() + draw_extra()
    # Half pages come by class: 7A, 7B, 7C, then those without one; roster order within.
    by_class = sorted(everyone, key=lambda s: CLASSES.index(s.klass) if s.klass else len(CLASSES))
    for options, per_page, order in (([], 1, everyone), (["--half", "--by-group", "class"], 2, by_class)):
        pdf = tmp_path / f"slips-{per_page}.pdf"
        done = omrctl("exam", "results", str(exam.path), "--pdf", str(pdf), *options, check=False)
        if done.returncode != 0 and "needs Chromium" in done.stderr:
            pytest.skip("Chromium is not installed")
        assert done.returncode == 0, done.stderr
        pages = int(re.search(r"Pages:\s+(\d+)", subprocess.run(["pdfinfo", str(pdf)], capture_output=True,
                                                                text=True).stdout).group(1))
        assert pages == math.ceil(len(order) / per_page)
        for p in range(pages):
            text = subprocess.run(["pdftotext", "-f", str(p + 1), "-l", str(p + 1), str(pdf), "-"],
                                  capture_output=True, text=True).stdout
            mine = order[p * per_page:(p + 1) * per_page]
            for s in mine:
                assert f"ID {s.id}" in text and (s.name or f"Student {s.id}") in text, (options, p + 1, s.id)
                assert f"of {number(MAXIMUM)} points" in text
            if len(mine) == 2:
                assert text.index(f"ID {mine[0].id}") < text.index(f"ID {mine[1].id}")
            others = [s for s in order if s not in mine]
            assert not any(f"ID {s.id}" in text for s in others), (options, p + 1)


def test_a_slip_can_carry_the_sheet_with_its_key_and_the_class(exam: Exam) -> None:
    s = next(x for x in exam.scored() if x.light - {x.order().index(VOID) + 1})
    out = exam.work / "one"
    omrctl("exam", "results", str(exam.path), "--html", str(out), "--student", s.id, "--sheet", "--class-stats",
           "--no-key")
    page = (out / f"{s.id}.html").read_text(encoding="utf-8")
    assert [p.name for p in out.iterdir()] == [f"{s.id}.html"]
    assert re.search(r'<img [^>]*src="data:image/png;base64,[A-Za-z0-9+/=]{100,}"', page)
    # One ring per keyed option of every item that counts: 58 keys, and the item that accepts two.
    assert page.count("<circle ") == ITEMS - 1 + 1
    assert "<td class=k>" not in page
    assert "The class" in page and f"class {s.klass}" in page
    # A person checks one doubted answer: it is no longer marked.
    position = min(s.light - {s.order().index(VOID) + 1})
    omrctl("exam", "correct", str(exam.path), str(exam.sheet_of[s.id]), str(FIRST_ITEM + position - 1),
           s.marked[position - 1], "--by", "test")
    omrctl("exam", "results", str(exam.path), "--html", str(out), "--student", s.id)
    page = (out / f"{s.id}.html").read_text(encoding="utf-8")
    doubted = {int(p) for p, a in re.findall(r"<td class=n>(\d+)</td><td class=a>([^<]*<span class=doubt)", page)}
    assert doubted == s.doubted() - {position}
    bad = omrctl("exam", "results", str(exam.path), "--html", str(out), "--student", exam.students[5].id,
                 check=False)
    assert bad.returncode == 2 and "no scored sheet (absent)" in bad.stderr


def roster_students(exam: Exam) -> List[Student]:
    return [s for s in exam.scored()]


# Each platform's grade import as its documentation gives it, written out here.
PLATFORMS = [
    # Moodle, https://docs.moodle.org/311/en/Grade_import: CSV; the import maps one column to the user's
    # "Email address" (useremail) or "ID number" (useridnumber) and one to the grade item; a column the
    # gradebook lacks is refused, so nothing else is in the file.
    ("moodle", "Email address,Physics final\r\n",
     lambda s: [s.email, number(s.mark())] if s.email else None, csv.QUOTE_MINIMAL),
    # Canvas, "Importing a CSV file" (https://teaching.resources.osu.edu/toolsets/carmencanvas/guides/
    # calculating-final-grades/import-csv-file-carmen-grades): Student, ID, SIS User ID, SIS Login ID,
    # Section, then the assignment; a column it does not know becomes a new assignment. The row "Points
    # Possible" is the one Canvas's own export carries.
    ("canvas", "Student,ID,SIS User ID,SIS Login ID,Section,Physics final\r\nPoints Possible,,,,,20\r\n",
     lambda s: [s.name, "", s.sis, s.login, s.klass, number(s.mark())], csv.QUOTE_MINIMAL),
    # Blackboard Learn, "Uploading External Grade Center Items" (http://library.blackboard.com/ref/
    # 36ba3329-e441-488a-93ce-7a55543cc999/Content/Grade%20Center/Uploading%20External%20Grade%20Center%20Items.htm):
    # comma-delimited .csv with every field in quotes; the column's ID after " |" (without it, a new text
    # column worth 0 points).
    ("blackboard", '"Last Name","First Name","Username","Student ID","Physics final |_4242_1"\r\n',
     lambda s: [s.last, s.first, s.login, s.sis, number(s.mark())], csv.QUOTE_ALL),
    # Brightspace, "Importing grades" (https://community.d2l.com/brightspace/kb/articles/3538-importing-grades)
    # and its file format (https://www2.tntech.edu/ilearn/Instructor/pages/semester-start/
    # instructor-file_format_for_importing_grades.htm): OrgDefinedId and/or Username, "<item> Points Grade",
    # and the last column "End-of-Line Indicator" holding "#"; "#" before an identifier as its export writes
    # it (https://kb.wisc.edu/page.php?id=4330).
    ("brightspace", "OrgDefinedId,Username,Physics final Points Grade,End-of-Line Indicator\r\n",
     lambda s: ["#" + s.sis, "#" + s.login, number(s.mark()), "#"], csv.QUOTE_MINIMAL),
]


@pytest.mark.parametrize("platform,header,row,quoting", PLATFORMS, ids=[p[0] for p in PLATFORMS])
def test_each_platform_gets_its_documented_file(exam: Exam, platform, header, row, quoting) -> None:
    path = exam.work / f"{platform}.csv"
    done = omrctl("exam", "export", str(exam.path), "--lms", platform, str(path))
    expected = io.StringIO()
    w = csv.writer(expected, lineterminator="\r\n", quoting=quoting)
    left_out = []
    for s in roster_students(exam):
        r = row(s)
        if r is None:
            left_out.append(s.id)
            continue
        w.writerow(r)
    data = path.read_bytes().decode("utf-8")
    assert data == header + expected.getvalue()
    # Students the roster lacks are never written; they, and those without an identifier, are named.
    for sid in NOT_IN_ROSTER:
        assert sid not in data and f"not written: {sid} (sheet {exam.sheet_of[sid]}): not in the roster" in done.stderr
    for sid in left_out:
        assert f"not written: {sid}" in done.stderr
    assert f"{len(roster_students(exam)) - len(left_out)} students for" in done.stdout
    assert "2 students of the roster had no sheet" in done.stdout
    # The item's name and the identifier column from the command line.
    if platform == "brightspace":
        again = exam.work / "bs-again.csv"
        omrctl("exam", "export", str(exam.path), "--lms", platform, str(again), "--item-name", "Exam 2",
               "--lms-id", "id")
        lines = again.read_bytes().decode("utf-8").split("\r\n")
        assert lines[0] == "OrgDefinedId,Username,Exam 2 Points Grade,End-of-Line Indicator"
        assert lines[1].startswith("#" + exam.scored()[0].id + ",")


def test_exports_carry_grades_topics_and_counts(exam: Exam) -> None:
    path = exam.work / "students.csv"
    omrctl("exam", "export", str(exam.path), "--csv", str(path))
    rows = {r["id"]: r for r in csv.DictReader(open(path, encoding="utf-8"))}
    for s in exam.scored():
        r = rows[s.id]
        assert (r["total"], r["mark"], r["grade"]) == (number(s.total()), number(s.mark()), s.grade()), s.id
        assert tuple(int(r[k]) for k in ("right", "wrong", "blank", "multiple")) == s.counts(), s.id
        for name in TOPICS:
            got, top, pct = s.topic(name)
            assert float(r[f"topic_{name}_points"]) == float(got) and float(r[f"topic_{name}_maximum"]) == top
            assert float(r[f"topic_{name}_percent"]) == pytest.approx(float(pct), abs=1e-9)
    for s in exam.students:
        if s.absent:
            assert rows[s.id]["status"] == "absent" and rows[s.id]["right"] == ""


def members_of(exam: Exam, group: str, value: str) -> List[Student]:
    """All students (group ""), or a class: the two the roster lacks have none ("")."""
    everyone = exam.scored() + draw_extra()
    return everyone if group == "" else [s for s in everyone if s.klass == value]


def class_figures(exam: Exam) -> Dict[tuple, Dict[str, float]]:
    """Per (group, value): the figures the test expects, computed here."""
    out = {}
    for key in [("", "")] + [("class", c) for c in CLASSES + [""]]:
        members = members_of(exam, *key)
        totals = [float(s.total()) for s in members]
        out[key] = {
            "students": len(members), "mean": statistics.mean(totals), "median": statistics.median(totals),
            "sd": statistics.stdev(totals), "min": min(totals), "max": max(totals),
            "mean_percent": statistics.mean(float(100 * s.total() / MAXIMUM) for s in members),
            "mean_mark": statistics.mean(float(s.mark()) for s in members),
            "pass_rate": sum(s.grade() in ("A", "B", "C", PASS) for s in members) / len(members),
            **{f"grade_{g}": sum(s.grade() == g for s in members) for _, g in BANDS},
            **{f"topic_{n}_percent": statistics.mean(float(s.topic(n)[2]) for s in members) for n in TOPICS},
        }
    return out


def test_the_report_and_the_exports_agree_on_groups_and_topics(exam: Exam) -> None:
    data = json.loads(omrctl("exam", "export", str(exam.path), "--json").stdout)
    expected = class_figures(exam)
    groups = {(r["group"], r["value"]): r for r in data["groups"]}
    assert set(groups) == set(expected)
    for klass, want in expected.items():
        got = groups[klass]
        for k, v in want.items():
            assert got[k] == pytest.approx(v, abs=1e-9), (klass, k)
    report = exam.work / "report.html"
    omrctl("exam", "report", str(exam.path), "--html", str(report))
    page = report.read_text(encoding="utf-8")
    section = page[page.index("<section id=groups>"):page.index("<section id=topics>")]
    topics = page[page.index("<section id=topics>"):]
    topics = topics[:topics.index("</section>")]
    for (group, klass), row in groups.items():
        tr = re.search(rf'<tr data-group="{group}" data-value="{klass}"[^>]*>(.*?)</tr>', section)
        assert tr, klass
        values = [float(v) if v else None for v in re.findall(r'data-v="([^"]*)"', tr.group(1))]
        columns = ["students", "mean", "median", "sd", "min", "max", "mean_percent", "mean_mark", "pass_rate",
                   *[f"grade_{g}" for _, g in BANDS]]
        shown = {c: v for c, v in zip(columns, values)}
        shown["pass_rate"] /= 100
        for c in columns:
            assert shown[c] == pytest.approx(row[c], abs=1e-8), (klass, c)
        tr = re.search(rf'<tr data-group="{group}" data-value="{klass}"[^>]*>(.*?)</tr>', topics)
        values = [float(v) for v in re.findall(r'data-v="([^"]*)"', tr.group(1))]
        assert values == pytest.approx([row[f"topic_{n}_percent"] for n in TOPICS], abs=1e-8), klass


def test_item_statistics_per_class(exam: Exam) -> None:
    got = json.loads(omrctl("exam", "stats", str(exam.path), "--group", "class", "--json").stdout)
    assert got["group"] == "class" and [g["value"] for g in got["groups"]] == CLASSES + [""]
    for g in got["groups"]:
        members = members_of(exam, "class", g["value"])
        assert g["students"] == len(members) == g["analysis"]["sheets"]
        for item in g["analysis"]["items"]:
            m = item["item"]
            if m == VOID:
                assert item["p"] is None
                continue
            right = [s.points()[m] > 0 for s in members]
            assert item["p"] == pytest.approx(sum(right) / len(right), abs=1e-12), (g["value"], m)
    text = omrctl("exam", "stats", str(exam.path), "--group", "class").stdout
    assert all(f"== class {c}: " in text for c in CLASSES)
    # The screening compares the groups the exam names, not every roster column that looks like one ("first").
    screening = json.loads(omrctl("exam", "integrity", str(exam.path), "--json").stdout)
    assert {g["column"] for g in screening["erasures"]["groups"]} == {"class"}
