"""A whole exam in the office from the keyboard alone, no command after
`omrctl office`: New exam (two versions, negative marking, a roster), the
Reading page's station reading 50 simulated sheets, the flagged sheets
reviewed, one item re-keyed after its preview, the report and the workbook
taken from Results.

Every total is the one the drawn answers give under the exam's rules, scored
here; and the office's exports equal those of a project made with the
command line from the exam file the page wrote and the same sheets, read by
`exam read`, corrected by `exam correct` and re-keyed by `exam rekey`.
"""

from __future__ import annotations

import csv
import json
import random
import re
import shutil
import subprocess
import time
from pathlib import Path
from typing import List, Tuple

import pytest

from office_support import EXAMPLES, OMRCTL, Office, need_programs, run
from reading_support import OPTIONS, Drawn, Sim
from test_office_pages import Page  # noqa: E402 (the office page driven by keys)
from test_review_page import Page as ReviewPage  # noqa: E402 (the review page driven by keys)

SHEETS, STUDENTS = 50, 52
TITLE = "Chemistry 2026"
READER = "Ann Lee"
rng = random.Random(33)
KEY = "".join(rng.choice(OPTIONS) for _ in range(60))  # as the teacher types it
REKEY = 3  # the master item keyed wrong: the students' answers follow the right key
RIGHT = KEY[:REKEY - 1] + next(o for o in OPTIONS if o != KEY[REKEY - 1]) + KEY[REKEY:]
ORDER = rng.sample(range(1, 61), 60)  # version 2's item i is master item ORDER[i]
WRONG = -1 / (len(OPTIONS) - 1)  # negative marking: a wrong answer of five options
ROSTER = [(f"{20260100 + i:08d}", "李雷" if i == 7 else f"Student {i}") for i in range(1, STUDENTS + 1)]
# Sheet n is the roster's student n; one wrote an ID the roster does not have.
UNKNOWN, UNKNOWN_ID = 17, "99990017"
# Two marks where one was meant: (sheet, position on the sheet) -> (the marks, the answer the reviewer types).
DOUBLES = {(4, 9): ("AC", "C"), (11, 30): ("BD", "B"), (22, 47): ("CE", "E"), (35, 2): ("AB", "A")}
FIRST_ITEM = 11  # questions 11-70 are the items


def draw() -> List[Drawn]:
    """Clean marks (70 % right, a few blanks), the planted double marks; odd sheets version 1, even 2."""
    draw_rng = random.Random(34)
    sheets = []
    for n in range(1, SHEETS + 1):
        version = "1" if n % 2 else "2"
        answers = []
        for i in range(60):
            if (n, i) in DOUBLES:
                answers.append(DOUBLES[(n, i)][0])
            elif draw_rng.random() < 0.05:
                answers.append("")
            else:
                right = RIGHT[master(version, i) - 1]
                answers.append(right if draw_rng.random() < 0.7 else draw_rng.choice(OPTIONS))
        student = UNKNOWN_ID if n == UNKNOWN else ROSTER[n - 1][0]
        sheets.append(Drawn(student, answers, version=version))
    return sheets


def master(version: str, position: int) -> int:
    return ORDER[position] if version == "2" else position + 1


def answers_after_review(sheet: Drawn, number: int) -> List[str]:
    return [DOUBLES[(number, i)][1] if (number, i) in DOUBLES else a for i, a in enumerate(sheet.answers)]


def total(sheet: Drawn, answers: List[str], key: str) -> float:
    """Right 1, wrong -1/(k-1), blank and several marks 0."""
    points = 0.0
    for i, marked in enumerate(answers):
        if len(marked) == 1:
            points += 1.0 if marked == key[master(sheet.version, i) - 1] else WRONG
    return points


def figure(text: str) -> float:
    return float(text.replace("−", "-"))


def tab_to(page, wanted, what: str, limit: int = 80) -> None:
    """Tab until the focused element is the one `wanted(element)` names."""
    for _ in range(limit):
        if wanted(page.driver.switch_to.active_element):
            return
        page.keys(page.Keys.TAB)
    pytest.fail(f"Tab never reached {what}")


def downloaded(folder: Path, name: str, seconds: float = 20) -> Path:
    deadline = time.monotonic() + seconds
    while not (folder / name).is_file() or any(p.suffix == ".crdownload" for p in folder.iterdir()):
        assert time.monotonic() < deadline, f"no {name} in {sorted(p.name for p in folder.iterdir())}"
        time.sleep(0.05)
    return folder / name


def comparable(export: dict) -> dict:
    """An export without what differs between two readings of the same sheets: when and where."""
    out = dict(export)
    for table in ("sheets", "students"):
        out[table] = [{k: v for k, v in row.items() if k not in ("read_at", "station")} for row in export[table]]
    return out


def workbook_rows(openpyxl, path: Path) -> dict:
    """Every worksheet's rows, the columns of when and where a sheet was read left empty."""
    book = openpyxl.load_workbook(path, read_only=True)
    out = {}
    for name in book.sheetnames:
        header, *rows = list(book[name].values)
        drop = [c for c, h in enumerate(header) if h in ("read_at", "station")]
        out[name] = [header] + [tuple(None if c in drop else v for c, v in enumerate(r)) for r in rows]
    return out


def test_a_whole_exam_from_the_keyboard(tmp_path: Path) -> None:
    need_programs()
    started = time.monotonic()
    place = tmp_path / "place"
    place.mkdir()
    # An exam made before, listed first: the new one must be the one the pages work on.
    run(OMRCTL, "exam", "new", str(place / "Algebra-mock.omrexam"), "--exam", str(EXAMPLES / "exam60.exam.json"),
        "--by", "office")
    sources = tmp_path / "sources"
    sources.mkdir()
    roster = sources / "class.csv"
    with open(roster, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([("id", "name"), *ROSTER])
    sheets = draw()
    readers = tmp_path / "readers"
    readers.mkdir()
    sim = Sim(readers, "desk", sheets)  # the simulator's fastest pace
    office = Office(place, "--reader", str(sim.link))
    page = Page(office, tmp_path, "teacher")
    K = page.Keys
    try:
        # ---- New exam: every field from its shortcut.
        page.go("n")
        page.keys("t", TITLE, K.ESCAPE, "f", "exam60")
        page.wait(lambda: "Layout A: 70 questions" in page.text("#page .form-info"), "the form's layout")
        page.keys(K.ESCAPE, "i")
        page.ctrl("a")
        page.keys("1-8", K.ESCAPE, "r")
        assert page.active() == "new-roster-file"
        page.driver.switch_to.active_element.send_keys(str(roster))  # the file chooser's answer
        page.wait(lambda: f"{STUDENTS} students" in page.text("#page .roster-info"), "the roster read")
        page.keys(K.ESCAPE, "v", K.ARROW_DOWN, K.TAB)  # versions by a question
        assert page.active() == "new-version-question"
        page.keys("10")
        tab_to(page, lambda e: e.get_attribute("id") == "new-order-1", "version 2's order")
        page.keys(" ".join(map(str, ORDER)))
        page.keys(K.ESCAPE, "k")
        page.shift_tab()
        page.ctrl("a")
        page.keys("11-70", K.TAB, KEY.lower())
        assert "60 of 60 items keyed" in page.text("#new-key-note")
        page.keys(K.ESCAPE, "s", K.ARROW_DOWN)  # right only, then negative marking
        assert page.active() == "new-preset-negative"
        page.wait(lambda: "a wrong answer scores -0.25" in page.driver.find_element(page.By.ID, "page").text,
                  "negative marking's figure")
        page.keys(K.ESCAPE, "c")  # the server's checker
        page.wait(lambda: page.text("section[aria-labelledby=new-s-file-heading] [role=status]") ==
                  "The checker finds no problem.", "the exam file checked")
        page.keys("d")  # the exam file, as the command line takes it
        exam_file = downloaded(page.downloads, "Chemistry-2026.exam.json")
        page.ctrl(K.ENTER)
        page.wait(lambda: page.active() == "author", "the page asks for the author's name")
        page.keys(READER)
        page.ctrl(K.ENTER)
        page.wait(lambda: page.driver.current_url.endswith("#/exams"), "back on Exams once made")
        page.idle()

        # ---- Exams: the exam just made is the highlighted one; "r" reads it.
        page.wait(lambda: page.text("#exam-rows tr.selected th a") == TITLE, "the new exam highlighted")
        page.keys("r")
        page.idle()
        assert page.text("#page h2") == f"Reading: {TITLE}"

        # ---- Reading: the station started with "s", every sheet shown as stored.
        page.wait(lambda: page.driver.find_elements(page.By.CSS_SELECTOR, "#reader-rows button.primary"),
                  "the reader with its Start")
        page.keys("s")
        page.wait(lambda: len(page.driver.find_elements(page.By.CSS_SELECTOR, "#sheet-rows tr")) == SHEETS,
                  f"{SHEETS} sheets on the page", 60)
        page.wait(lambda: page.text(".station-state") == "tray empty: add sheets, reading goes on", "tray empty")
        rows = page.driver.execute_script("return [...document.querySelectorAll('#sheet-rows tr')].map(r => "
                                          "[Number(r.dataset.sheet), r.cells[2].textContent, r.cells[4].textContent,"
                                          " r.cells[5].textContent])")
        assert sorted(r[0] for r in rows) == list(range(1, SHEETS + 1))
        for number, student, version, score in rows:
            sheet = sheets[number - 1]
            assert (student, version) == (sheet.student, sheet.version), number
            assert score == f"{total(sheet, sheet.answers, KEY):g} of 60", number
        page.wait(lambda: page.text("#progress-text") == f"{SHEETS - 1} of {STUDENTS} students", "the progress")
        page.keys("x")  # one station: it stops
        page.wait(lambda: page.text(".station-state") == "stopped: every sheet read is stored", "stopped")

        # ---- Review: every flagged sheet, from the keyboard.
        page.go("v")
        page.wait(lambda: "/review?" in page.driver.current_url, "the review page")
        review = ReviewPage(page.driver, READER)
        review.idle()
        flagged = {n for n, _ in DOUBLES} | {UNKNOWN}
        page.wait(lambda: review.text("progress-text") == f"0 of {len(flagged)} reviewed · {len(flagged)} waiting",
                  "the review queue")
        stops: List[Tuple[int, str]] = []
        while not review.text("progress-text").endswith(" 0 waiting"):
            assert len(stops) < 2 * len(flagged), f"the review does not end: {stops}"
            sheet, focus = review.where()
            stops.append((sheet, focus))
            if focus == "id":
                assert sheet == UNKNOWN
                review.press(ROSTER[UNKNOWN - 1][0])
                page.wait(lambda: review.driver.find_elements(review.By.CSS_SELECTOR, "#id-suggestions li"),
                          "the roster's suggestion")
                review.press(K.ARROW_DOWN, K.ENTER)
            else:
                position = int(focus) - FIRST_ITEM
                assert (sheet, position) in DOUBLES, (sheet, focus)
                review.press(DOUBLES[(sheet, position)][1].lower(), K.ENTER)
        assert sorted(stops) == sorted([(n, str(FIRST_ITEM + i)) for n, i in DOUBLES] + [(UNKNOWN, "id")])
        assert review.errors() == []
        # Back to the office by the page's first link.
        tab_to(page, lambda e: e.get_attribute("id") == "office-link", "the link to the office")
        page.keys(K.ENTER)
        page.wait(lambda: "/review" not in page.driver.current_url, "the office again")
        page.wait(lambda: page.driver.find_elements(page.By.CSS_SELECTOR, "#exam-rows tr"), "the exams listed")
        page.idle()
        assert page.text("#current-exam") == f"Exam: {TITLE}"

        # ---- Keys: item REKEY given another key; the preview's sheets and totals are the drawing's.
        reviewed = {n: answers_after_review(s, n) for n, s in enumerate(sheets, 1)}
        before = {n: total(sheets[n - 1], a, KEY) for n, a in reviewed.items()}
        after = {n: total(sheets[n - 1], a, RIGHT) for n, a in reviewed.items()}
        moved = {n for n in before if before[n] != after[n]}
        assert 0 < len(moved) < SHEETS
        page.go("k")
        page.wait(lambda: page.driver.find_elements(page.By.CSS_SELECTOR, "#keys-rows tr"), "the items")
        page.keys("i", K.ARROW_DOWN * (REKEY - 1), RIGHT[REKEY - 1].lower())
        page.wait(lambda: page.active() == "keys-confirm", "the preview, then the confirm button")
        summary = page.text("#keys-preview .preview-summary")
        assert summary == f"{len(moved)} sheets’ totals change; {SHEETS - len(moved)} keep theirs.", summary
        preview = page.driver.execute_script("return [...document.querySelectorAll('#keys-preview tbody tr')]"
                                             ".map(r => [...r.cells].map(c => c.textContent))")
        assert {int(r[0]): (figure(r[4]), figure(r[5])) for r in preview} == \
            {n: (round(before[n], 2), round(after[n], 2)) for n in moved}
        page.keys(K.ENTER)
        page.wait(lambda: "Stored as revision 2" in page.text("#message"), "the new key stored")

        # ---- Results: the figures, the workbook, the report.
        page.go("s")
        page.wait(lambda: len(page.driver.find_elements(page.By.CSS_SELECTOR, "#results-items tr")) == 60,
                  "the item table")
        mean = sum(after.values()) / SHEETS
        shown = dict(zip(page.driver.execute_script("return [...document.querySelectorAll('#results-summary dt')]"
                                                    ".map(e => e.textContent)"),
                         page.driver.execute_script("return [...document.querySelectorAll('#results-summary dd')]"
                                                    ".map(e => e.textContent)")))
        assert abs(figure(shown["Mean"]) - mean) <= 0.005 + 1e-9, (shown, mean)
        page.keys("d")
        tab_to(page, lambda e: e.get_attribute("data-download") == "results.xlsx", "the workbook's download")
        page.keys(K.ENTER)
        workbook = downloaded(page.downloads, "Chemistry-2026-results.xlsx")
        assert page.errors() == []
        windows = set(page.driver.window_handles)
        page.keys("o")
        page.wait(lambda: set(page.driver.window_handles) - windows, "the report's tab")
        page.driver.switch_to.window((set(page.driver.window_handles) - windows).pop())
        page.wait(lambda: page.driver.find_elements(page.By.ID, "item-table"), "the report")
        report = page.driver.find_element(page.By.TAG_NAME, "body").text
        assert page.errors() == []
        flow_seconds = time.monotonic() - started
        cli_path(tmp_path, exam_file, roster, sheets, RIGHT[REKEY - 1], readers)

        # The report the tab showed is the command line's report of its project, but for when it was made.
        run(OMRCTL, "exam", "report", str(tmp_path / "cli.omrexam"), "--html", str(tmp_path / "cli-report.html"))
        page.driver.get((tmp_path / "cli-report.html").as_uri())
        made = re.compile(r"^Made [^·]* · ", re.M)
        theirs = page.driver.find_element(page.By.TAG_NAME, "body").text
        assert made.sub("", report).replace(str(place / "Chemistry-2026.omrexam"), "PROJECT") == \
            made.sub("", theirs).replace(str(tmp_path / "cli.omrexam"), "PROJECT")
    finally:
        page.quit()
        office.stop()
        sim.stop()

    exports = [json.loads(run(OMRCTL, "exam", "export", str(p), "--json").stdout)
               for p in (place / "Chemistry-2026.omrexam", tmp_path / "cli.omrexam")]
    assert comparable(exports[0]) == comparable(exports[1])
    assert {r["sheet"]: r["total"] for r in exports[0]["sheets"]} == pytest.approx(after)
    assert {r["sheet"]: r["student_id"] for r in exports[0]["sheets"]} == \
        {n: ROSTER[n - 1][0] for n in range(1, SHEETS + 1)}

    # The workbook downloaded: each student's total is the drawing's, the two not read are absent, and
    # it equals the command line's workbook but for when and where each sheet was read.
    openpyxl = pytest.importorskip("openpyxl")
    ours = workbook_rows(openpyxl, workbook)
    header, *students = ours["Students"]
    got = {r[header.index("id")]: (r[header.index("status")], r[header.index("total")]) for r in students}
    assert got == {i: ("scored", pytest.approx(after[n])) if n <= SHEETS else ("absent", None)
                   for n, (i, _) in enumerate(ROSTER, 1)}
    run(OMRCTL, "exam", "export", str(tmp_path / "cli.omrexam"), "--xlsx", str(tmp_path / "cli.xlsx"))
    assert ours == workbook_rows(openpyxl, tmp_path / "cli.xlsx")
    print(f"the flow in the browser took {flow_seconds:.1f} s")


def cli_path(tmp_path: Path, exam_file: Path, roster: Path, sheets: List[Drawn], new_key: str, readers: Path) -> None:
    """The same exam with the command line: the page's exam file, the same sheets read, corrected and
    re-keyed as in the browser."""
    for source in (EXAMPLES / "exam60.form", roster):
        shutil.copy(source, exam_file.parent / source.name)
    cli = tmp_path / "cli.omrexam"
    run(OMRCTL, "exam", "new", str(cli), "--exam", str(exam_file), "--name", TITLE, "--by", READER)
    again = Sim(readers, "again", sheets)
    try:
        done = subprocess.run([OMRCTL, "--port", str(again.link), "exam", "read", str(cli), "--station", "cli"],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr
    finally:
        again.stop()
    for (n, i), (_, answer) in DOUBLES.items():
        run(OMRCTL, "exam", "correct", str(cli), str(n), str(FIRST_ITEM + i), answer, "--by", READER)
    run(OMRCTL, "exam", "correct", str(cli), str(UNKNOWN), "id", ROSTER[UNKNOWN - 1][0], "--by", READER)
    run(OMRCTL, "exam", "rekey", str(cli), "--item", str(REKEY), "--key", new_key, "--by", READER)
