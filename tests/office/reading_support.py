"""What the Reading tests share: an exam of the exam60 form in an office
folder, simulated readers (omrsim) loaded with drawn sheets, the score each
sheet must get (written out here from the exam's rules, never taken from
the project), and a client of the office's live events.

Needs OMRCTL and OMRSIM (CTest sets them)."""

from __future__ import annotations

import csv
import http.client
import json
import random
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Tuple

from office_support import OMRCTL, OMRSIM, SOURCE, Office, exam_query, run  # noqa: F401

FORM = SOURCE / "examples" / "exam60.form"
OPTIONS = "ABCDE"
ITEMS, FIRST_ITEM = 60, 11  # items are questions 11-70
CORRECT, WRONG, BLANK, MULTIPLE = 1.0, -0.25, 0.0, -0.5


@dataclass
class Drawn:
    student: str
    answers: List[str]  # per item: the options marked ("" blank, "AC" several)
    refused: bool = False
    version: str = "1"  # the class digit of question 10 (question 9 is 0)


@dataclass
class ExamSetup:
    place: Path
    project: str  # the file name in the place
    exam: str
    key: str
    roster: List[Tuple[str, str]]

    @property
    def path(self) -> Path:
        return self.place / self.project

    @property
    def query(self) -> str:
        return exam_query(self.project, self.exam)

    def score(self, answers: List[str]) -> float:
        """The total of a sheet, from the exam's rules as the exam file states them."""
        total = 0.0
        for marked, key in zip(answers, self.key):
            if marked == "":
                total += BLANK
            elif len(marked) > 1:
                total += MULTIPLE
            else:
                total += CORRECT if marked == key else WRONG
        return total


def make_exam(place: Path, students: int, seed: int = 5, name: str = "final") -> ExamSetup:
    rng = random.Random(seed)
    key = "".join(rng.choice(OPTIONS) for _ in range(ITEMS))
    roster = [(f"{20260000 + i:08d}", f"Student {i}") for i in range(1, students + 1)]
    work = place.parent / (place.name + "-sources")
    work.mkdir(exist_ok=True)
    with open(work / "students.csv", "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["id", "name"])
        w.writerows(roster)
    (work / "exam.json").write_text(json.dumps({
        "title": "Reading test", "form": str(FORM),
        "student": {"questions": "1-8", "roster": "students.csv"},
        "items": f"{FIRST_ITEM}-{FIRST_ITEM + ITEMS - 1}", "keys": {"A": key},
        "scoring": {"correct": CORRECT, "wrong": WRONG, "blank": BLANK, "multiple": MULTIPLE},
        "review": {"blank": False, "multiple": True}}), encoding="utf-8")
    run(OMRCTL, "exam", "new", str(place / f"{name}.omrexam"), "--exam", str(work / "exam.json"), "--by", "office")
    return ExamSetup(place, f"{name}.omrexam", "exam", key, roster)


def draw(setup: ExamSetup, students: List[str], seed: int, refused: Tuple[int, ...] = ()) -> List[Drawn]:
    """A sheet per student; `refused` are 1-based positions the reader refuses."""
    rng = random.Random(seed)
    sheets = []
    for n, student in enumerate(students, 1):
        answers = []
        for i in range(ITEMS):
            roll = rng.random()
            if roll < 0.05:
                answers.append("")
            elif roll < 0.08:
                answers.append("".join(sorted(rng.sample(OPTIONS, 2))))
            else:
                answers.append(setup.key[i] if rng.random() < 0.7 else rng.choice(OPTIONS))
        sheets.append(Drawn(student, answers, n in refused))
    return sheets


def answers_line(sheet: Drawn) -> str:
    items = []
    for marked in sheet.answers:
        if marked == "":
            items.append(".")
        elif len(marked) == 1:
            items.append(marked)
        else:
            items.append("[" + ",".join(str(OPTIONS.index(m) + 1) for m in marked) + "]")
    return "A " + sheet.student + "0" + sheet.version + "".join(items) + (" status=3" if sheet.refused else "")


class Sim:
    """omrsim on a pseudo-terminal with these sheets in its tray."""

    def __init__(self, work: Path, name: str, sheets: List[Drawn], *options: str) -> None:
        self.link = work / name
        answers = work / f"{name}.answers"
        answers.write_text("\n".join(answers_line(s) for s in sheets) + "\n", encoding="latin-1")
        self.log = open(work / f"{name}.log", "w")
        self.process = subprocess.Popen([OMRSIM, "--link", str(self.link), "--form", str(FORM), "--answers",
                                         str(answers), "--empty-status", "16", *options],
                                        stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.monotonic() + 20
        while not self.link.is_symlink():
            assert self.process.poll() is None, f"omrsim stopped: see {self.log.name}"
            assert time.monotonic() < deadline, "omrsim made no link"
            time.sleep(0.02)

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=10)
        self.log.close()


class Events:
    """The office's live events of an exam (server-sent events over one
    connection, the token as a bearer header), read as they come."""

    def __init__(self, office: Office, query: str, since: int = 0, token: Optional[str] = None) -> None:
        self.connection = http.client.HTTPConnection("127.0.0.1", office.port, timeout=30)
        self.connection.request("GET", f"/api/reading/events?{query}&since={since}",
                                headers={"Authorization": "Bearer " + (token or office.token)})
        self.response = self.connection.getresponse()
        self.status = self.response.status
        self.type = self.response.getheader("content-type", "")
        self.seen: List[Tuple[str, dict]] = []
        self._events = iter(self)

    def __iter__(self) -> Iterator[Tuple[str, dict, float]]:
        """(event, data, the time it arrived) for each event; comments skipped."""
        name, data = "message", []
        while True:
            line = self.response.readline()
            if not line:
                return
            arrived = time.time()
            line = line.decode("utf-8").rstrip("\n")
            if line == "":
                if data:
                    yield name, json.loads("\n".join(data)), arrived
                name, data = "message", []
            elif line.startswith(":"):
                continue
            elif line.startswith("event: "):
                name = line[7:]
            elif line.startswith("data: "):
                data.append(line[6:])

    def until(self, want, seconds: float = 90) -> List[Tuple[str, dict]]:
        """Every event so far, once `want(every event so far)` holds."""
        self.connection.sock.settimeout(seconds)
        deadline = time.monotonic() + seconds
        if want(self.seen):
            return self.seen
        for name, data, _ in self._events:
            self.seen.append((name, data))
            if want(self.seen):
                return self.seen
            assert time.monotonic() < deadline, f"no end after {seconds} s: {self.seen[-3:]}"
        raise AssertionError(f"the events ended: {self.seen[-3:]}")

    def close(self) -> None:
        self.connection.close()


def sheets_of(events: List[Tuple[str, dict]]) -> List[dict]:
    return [d for n, d in events if n == "sheet"]


def station_state(events: List[Tuple[str, dict]], station: int) -> Optional[dict]:
    states = [d for n, d in events if n == "station" and d["id"] == station]
    return states[-1] if states else None


def project_sheets(path: Path) -> Dict[int, dict]:
    """The project's sheets and scores as Python's module reads them."""
    import sys
    sys.path.insert(0, str(SOURCE / "bindings" / "python"))
    import omr
    with omr.Exam(str(path)) as exam:
        scores = {s.sheet: s for s in exam.scores}
        return {s.number: {"station": s.station, "source": s.source, "author": s.author, "code": s.code,
                           "student": scores[s.number].student_id, "total": scores[s.number].total}
                for s in exam.sheets}
