"""The office's New exam, Keys and Results pages in headless Chromium against
`omrctl office`: an exam with two versions, negative marking and a GBK roster
made from the keyboard alone (its exam file equals the one written here); a
re-key after its preview (the students it lists are those the drawn answers
say); the Results downloads (equal to what the command line exports); and
axe-core over every page, which also reflows at 200 % zoom.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import time
import urllib.parse
import zipfile
from pathlib import Path
from typing import List

import pytest

from office_support import EXAMPLES, OMRCTL, Office, exam_query, need_programs, run
import review_support as rs  # noqa: E402 (office_support puts it on the path)

SHEETS = 30
READ = "read.omrexam"
# Version 2 of the example exam: its item i is master item ORDER[i].
ORDER = json.loads(re.search(r'"order": (\[[^\]]*\])', (EXAMPLES / "exam60.exam.json").read_text()).group(1))
KEY = "CCEBCBDDCAABBDABADBBCEBEEEEAEEACBAEBCBECABBCBBEAECDCDAEAAAEA"
ROSTER = [("20240001", "李雷"), ("20240002", "韩梅梅"), ("20240003", "Wang Fang")]


@pytest.fixture(scope="module")
def read_exam(tmp_path_factory) -> rs.Exam:
    """A project of SHEETS sheets read through omrsim (one version, right answers only)."""
    need_programs()
    return rs.make_exam(tmp_path_factory.mktemp("read"), SHEETS, {}, {})


@pytest.fixture(scope="module")
def office(tmp_path_factory, read_exam):
    place = tmp_path_factory.mktemp("place")
    run(OMRCTL, "exam", "backup", str(read_exam.path), str(place / READ))
    server = Office(place)
    yield server
    server.stop()


class Page:
    def __init__(self, office: Office, tmp: Path, name: str = "page") -> None:
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys

        self.downloads = tmp / (name + "-downloads")
        self.downloads.mkdir()
        self.driver = rs.browser(tmp / (name + "-profile"), self.downloads)
        self.By, self.Keys, self.ActionChains = By, Keys, ActionChains
        self.driver.get(office.url)
        self.idle()

    def keys(self, *keys: str) -> None:
        self.ActionChains(self.driver).send_keys(*keys).perform()

    def shift_tab(self) -> None:
        self.ActionChains(self.driver).key_down(self.Keys.SHIFT).send_keys(self.Keys.TAB).key_up(self.Keys.SHIFT).perform()

    def ctrl(self, key: str) -> None:
        self.ActionChains(self.driver).key_down(self.Keys.CONTROL).send_keys(key).key_up(self.Keys.CONTROL).perform()

    def idle(self) -> None:
        deadline = time.monotonic() + 20
        while self.driver.find_element(self.By.TAG_NAME, "body").get_attribute("data-state") != "idle":
            assert time.monotonic() < deadline, "the page stayed busy"
            time.sleep(0.02)

    def active(self) -> str:
        return self.driver.switch_to.active_element.get_attribute("id") or ""

    def wait(self, condition, what: str, seconds: float = 20):
        deadline = time.monotonic() + seconds
        while True:
            value = condition()
            if value:
                return value
            assert time.monotonic() < deadline, what
            time.sleep(0.05)

    def text(self, selector: str) -> str:
        found = self.driver.find_elements(self.By.CSS_SELECTOR, selector)
        return found[0].text if found else ""

    def go(self, letter: str) -> None:
        self.keys("g", letter)
        self.idle()

    def errors(self) -> List[dict]:
        return [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]

    def quit(self) -> None:
        self.driver.quit()


def test_an_exam_made_from_the_keyboard(office: Office, tmp_path: Path) -> None:
    roster = tmp_path / "class.csv"
    roster.write_bytes(("matric,name\n" + "".join(f"{i},{n}\n" for i, n in ROSTER)).encode("gbk"))
    page = Page(office, tmp_path)
    K = page.Keys
    try:
        page.go("n")
        page.keys("t")
        assert page.active() == "new-title"
        page.keys("Chemistry 2026", K.ESCAPE, "f")
        assert page.active() == "new-form"
        page.keys("exam60")  # the select takes the typed name
        page.wait(lambda: "Layout A: 70 questions" in page.text("#page .form-info"), "the form's layout is shown")
        page.keys(K.ESCAPE, "i")
        assert page.active() == "new-student"
        page.ctrl("a")
        page.keys("1-8", K.ESCAPE, "r")
        assert page.active() == "new-roster-file"
        page.driver.switch_to.active_element.send_keys(str(roster))
        # Not UTF-8: the roster's line is named until its character set is chosen.
        page.wait(lambda: "Line 2:" in page.text("#page .roster-info"), "the roster's problem at its line")
        page.keys(K.TAB)
        assert page.active() == "new-roster-encoding"
        page.keys("g")  # GBK
        page.wait(lambda: "3 students" in page.text("#page .roster-info"), "the roster read as GBK")
        page.keys(K.TAB)
        assert page.active() == "new-roster-column"
        page.keys("m")  # matric
        page.wait(lambda: "matric (ID)" in page.text("#page .roster-info"), "the ID column chosen")
        assert "韩梅梅" in page.text("#page .roster-info")

        page.keys(K.ESCAPE, "v")
        assert page.active() == "new-version-none"
        page.keys(K.ARROW_DOWN, K.TAB)  # by a question
        assert page.active() == "new-version-question"
        page.keys("10")
        for expected in ("new-version-name-0", "new-order-0", "", "new-version-name-1", "new-order-1"):
            page.keys(K.TAB)
            if expected:
                assert page.active() == expected
        page.keys(", ".join(map(str, ORDER)))

        page.keys(K.ESCAPE, "k")
        assert page.active() == "new-key"
        page.shift_tab()
        assert page.active() == "new-items"
        page.ctrl("a")
        page.keys("11-70", K.TAB)
        assert page.active() == "new-key"
        page.keys(" ".join(KEY[i:i + 5] for i in range(0, 60, 5)).lower())  # as on paper, in fives
        assert "60 of 60 items keyed" in page.text("#new-key-note")
        # The grid: item 5 void, 7 bonus, 9 accepts A too, 12 is worth 2 points.
        page.keys(K.ESCAPE, "a", K.ARROW_DOWN * 4, K.DELETE, K.ARROW_DOWN * 2, "=", K.ARROW_DOWN * 2, K.HOME, " ")
        assert "also right A" in page.text("#grid-status")
        page.keys(K.ARROW_DOWN * 3)
        page.shift_tab()
        assert page.active() == "grid-points"
        page.keys("2", K.ESCAPE, "s")
        assert page.active() == "new-preset-right"
        page.keys(K.ARROW_DOWN, K.TAB)
        assert page.active() == "new-floor-on"
        page.keys(" ", K.ESCAPE)
        page.ctrl(K.ENTER)
        page.wait(lambda: page.active() == "author", "the page asks for the author's name")
        page.keys("Ann Lee")
        page.ctrl(K.ENTER)
        page.wait(lambda: page.driver.current_url.endswith("#/exams"), "back on Exams once made")
        assert page.errors() == []
    finally:
        page.quit()

    listed = {e["exam"]: e for e in office.get("/api/exams")[1]["exams"]}
    made = listed["Chemistry 2026"]
    assert (made["project"], made["roster"], made["versions"]) == ("Chemistry-2026.omrexam", 3, ["1", "2"])
    kept = office.get("/api/exam?" + exam_query(made["project"], made["exam"]))[1]
    wrong = -1 / (5 - 1)  # negative marking: a wrong answer of five options
    assert json.loads(kept["exam_text"]) == {
        "title": "Chemistry 2026",
        "form": "exam60.form",
        "student": {"questions": "1-8", "roster": "class.csv", "roster_encoding": "gbk"},
        "version": {"question": 10},
        "items": "11-70",
        "key": KEY,
        "keys": {"1": {}, "2": {"order": ORDER}},
        "scoring": {"correct": 1, "wrong": wrong, "blank": 0, "multiple": 0, "floor": 0,
                    "items": {"5": "void", "7": "bonus", "9": {"accept": "A"}, "12": {"points": 2, "wrong": 2 * wrong}}},
        "review": {"blank": False, "multiple": True, "doubtful": True, "confidence": 0},
    }
    assert kept["roster_text"].splitlines() == ["id,name"] + [f"{i},{n}" for i, n in ROSTER]

    # The same file on the command line gives the same exam: the example grid scores alike in both.
    (tmp_path / "exam60.form").write_bytes((EXAMPLES / "exam60.form").read_bytes())
    # The command line takes the column named "id" (the page let the teacher choose it).
    roster.write_bytes(("id,name\n" + "".join(f"{i},{n}\n" for i, n in ROSTER)).encode("gbk"))
    (tmp_path / "exam.json").write_text(kept["exam_text"], encoding="utf-8")
    here = tmp_path / "cli.omrexam"
    run(OMRCTL, "exam", "new", str(here), "--exam", str(tmp_path / "exam.json"), "--by", "cli")
    there = Path(office.place) / made["project"]
    for project in (here, there):
        run(OMRCTL, "exam", "import", str(project), str(EXAMPLES / "exam60.grid"))
    scores = [json.loads(run(OMRCTL, "exam", "export", str(p), "--json").stdout)["sheets"] for p in (here, there)]
    strip = lambda rows: [{k: v for k, v in r.items() if k not in ("read_at", "station")} for r in rows]
    assert strip(scores[0]) == strip(scores[1]) and scores[0]


def test_a_rekey_after_its_preview(office: Office, read_exam: rs.Exam, tmp_path: Path) -> None:
    item, old = 3, read_exam.key[2]
    new = next(o for o in rs.OPTIONS if o != old)
    # Whose totals change: the sheets that marked the old key (a point lost) or the new one (a point won).
    moved = {s.number for s in read_exam.sheets if s.marked[item - 1] in (old, new)}
    assert 0 < len(moved) < SHEETS
    page = Page(office, tmp_path)
    K = page.Keys
    try:
        page.driver.find_element(page.By.ID, "author").send_keys("Bo Chen", K.TAB)
        page.driver.execute_script("location.hash = arguments[0]", "#/exams?" + exam_query(READ, "exam"))
        page.idle()
        page.go("k")
        page.wait(lambda: page.driver.find_elements(page.By.CSS_SELECTOR, "#keys-rows tr"), "the items")
        page.keys("i", K.ARROW_DOWN * (item - 1), new.lower())
        page.wait(lambda: page.active() == "keys-confirm", "the preview, then the confirm button")
        summary = page.text("#keys-preview .preview-summary")
        assert summary == f"{len(moved)} sheets’ totals change; {SHEETS - len(moved)} keep theirs.", summary
        rows = page.driver.find_elements(page.By.CSS_SELECTOR, "#keys-preview tbody tr")
        assert {int(r.find_element(page.By.TAG_NAME, "td").text) for r in rows} == moved
        page.keys(K.ENTER)
        page.wait(lambda: "Stored as revision 2" in page.text("#message"), "the change stored")
        assert page.errors() == []
    finally:
        page.quit()
    keys = office.get("/api/keys?" + exam_query(READ, "exam"))[1]
    assert keys["revision"] == 2 and keys["items"][item - 1]["key"] == new
    assert keys["history"][0]["note"] == f"item {item}: key {new}" and keys["history"][0]["author"] == "Bo Chen"
    totals = {r["sheet"]: r["total"] for r in json.loads(run(OMRCTL, "exam", "export", str(Path(office.place) / READ),
                                                                 "--json").stdout)["sheets"]}
    for s in read_exam.sheets:
        key = read_exam.key[:item - 1] + new + read_exam.key[item:]
        assert totals[s.number] == sum(1 for i, m in enumerate(s.marked) if m == key[i]), s.number


def test_the_results_downloads(office: Office, read_exam: rs.Exam, tmp_path: Path) -> None:
    project = Path(office.place) / READ
    page = Page(office, tmp_path)
    K = page.Keys
    try:
        page.driver.execute_script("location.hash = arguments[0]", "#/results?" + exam_query(READ, "exam"))
        page.idle()
        page.wait(lambda: page.driver.find_elements(page.By.CSS_SELECTOR, "#results-items tr"), "the item table")
        assert len(page.driver.find_elements(page.By.CSS_SELECTOR, "#results-items tr")) == 60
        page.keys("d", K.ENTER, K.TAB, K.TAB, K.TAB, K.ENTER)  # the students' CSV, then the workbook
        files = page.wait(lambda: sorted(p.name for p in page.downloads.iterdir() if not p.name.endswith(".crdownload"))
                          if len(list(page.downloads.iterdir())) >= 2 else None, "two downloads")
        assert files == ["Review-test-results.xlsx", "Review-test-students.csv"], files
        # A platform's file and the slips, each reached from the keyboard: "d", then Tab down the list.
        order = [b.get_attribute("data-download")
                 for b in page.driver.find_elements(page.By.CSS_SELECTOR, "#results-downloads button")]
        for wanted in ("moodle.csv", "slips.pdf", "slips.zip"):
            page.wait(lambda: all(b.is_enabled() for b in page.driver.find_elements(
                page.By.CSS_SELECTOR, "#results-downloads button")), "the downloads ready")
            page.keys("d", *[K.TAB] * order.index(wanted))
            assert page.driver.switch_to.active_element.get_attribute("data-download") == wanted
            page.keys(K.ENTER)
            page.wait(lambda: (page.downloads / ("Review-test-" + wanted)).exists(), wanted, seconds=60)
        page.wait(lambda: not [p for p in page.downloads.iterdir() if p.name.endswith(".crdownload")], "downloads done")
        windows = len(page.driver.window_handles)
        page.keys("o")
        page.wait(lambda: len(page.driver.window_handles) > windows, "the report's tab")
        page.driver.switch_to.window(page.driver.window_handles[-1])
        page.wait(lambda: "Review test" in page.driver.page_source and "Item" in page.driver.page_source, "the report")
    finally:
        page.quit()
    cli = tmp_path / "cli"
    cli.mkdir()
    run(OMRCTL, "exam", "export", str(project), "--csv", str(cli / "students.csv"), "--excel",
        "--xlsx", str(cli / "results.xlsx"), "--lms", "moodle", str(cli / "moodle.csv"))
    run(OMRCTL, "exam", "results", str(project), "--pdf", str(cli / "slips.pdf"))
    run(OMRCTL, "exam", "results", str(project), "--html", str(cli / "slips"))
    got = lambda name: page.downloads / ("Review-test-" + name)
    assert got("students.csv").read_bytes() == (cli / "students.csv").read_bytes()
    assert got("moodle.csv").read_bytes() == (cli / "moodle.csv").read_bytes()
    # Moodle's import: the ID number and the grade item (the exam's title), every sheet's student once.
    lines = got("moodle.csv").read_bytes().decode("utf-8").split("\r\n")
    assert lines[0] == "ID number,Review test" and len(lines) == SHEETS + 2 and lines[-1] == "", lines[:3]
    assert [line.split(",")[0] for line in lines[1:-1]] == [i for i, _ in read_exam.roster[:SHEETS]]
    # The PDF: a page per student in roster order, each with the student's ID and name (Chromium dates its
    # PDFs, so the page's text is compared with the command line's, not the bytes).
    pages = [subprocess.run(["pdftotext", "-layout", str(pdf), "-"], capture_output=True, text=True, check=True)
             .stdout.split("\f") for pdf in (got("slips.pdf"), cli / "slips.pdf")]
    assert pages[0] == pages[1]
    assert len([p for p in pages[0] if p.strip()]) == SHEETS
    for text, (student, name) in zip(pages[0], read_exam.roster[:SHEETS]):
        assert student in text and name in text, (student, name, text[:200])
    # The web pages: the files `exam results --html DIR` writes, byte for byte.
    with zipfile.ZipFile(got("slips.zip")) as archive:
        assert archive.testzip() is None
        packed = {i.filename: archive.read(i) for i in archive.infolist()}
    assert packed == {p.name: p.read_bytes() for p in (cli / "slips").iterdir()}
    assert sorted(packed) == sorted(i + ".html" for i, _ in read_exam.roster[:SHEETS])
    openpyxl = pytest.importorskip("openpyxl")
    books = [openpyxl.load_workbook(p, read_only=True) for p in (got("results.xlsx"), cli / "results.xlsx")]
    assert books[0].sheetnames == books[1].sheetnames
    for name in books[0].sheetnames:
        assert list(books[0][name].values) == list(books[1][name].values), name


PAGES = [  # what the address names, a key pressed there (to open more of it), what must be there
    ("#/exams", None, "#exam-rows tr"),
    ("#/new", "f", "#new-form"),
    ("#/keys?" + exam_query(READ, "exam"), "i", "#keys-rows tr"),
    ("#/results?" + exam_query(READ, "exam"), None, "#results-items tr"),
    ("#/reading?" + exam_query(READ, "exam"), None, "#sheet-rows tr"),
]


def test_every_page_passes_axe_and_reflows(office: Office, tmp_path: Path) -> None:
    page = Page(office, tmp_path)
    K = page.Keys
    problems: List[str] = []
    try:
        for width in (1400, 640):  # 640 CSS pixels: a 1280-pixel screen at 200 % zoom, or a tablet
            page.driver.set_window_size(width, 900)
            for where, key, ready in PAGES:
                page.driver.execute_script("location.hash = arguments[0]", where)
                page.idle()
                page.wait(lambda: page.driver.find_elements(page.By.CSS_SELECTOR, ready), where)
                if where == "#/new":  # the whole page: a form, its questions, the key grid
                    page.keys("f", "exam60", K.ESCAPE)
                    page.wait(lambda: page.driver.find_elements(page.By.CSS_SELECTOR, "#page td.option"), "the grid")
                if where.startswith("#/keys"):
                    page.keys("i", K.ENTER)  # the change panel open
                    page.wait(lambda: page.driver.find_elements(page.By.ID, "keys-kind-key"), "the panel")
                problems += rs.axe_problems(page.driver, f"{where} at {width}px")
                # OMR_OFFICE_SCREENSHOTS=DIR: the README's pictures of these pages.
                shown = where.split("?")[0][2:]
                if width == 1400 and os.environ.get("OMR_OFFICE_SCREENSHOTS") and shown in ("new", "keys", "results"):
                    page.driver.save_screenshot(str(Path(os.environ["OMR_OFFICE_SCREENSHOTS"]) / f"office-{shown}.png"))
                overflow = page.driver.execute_script(
                    "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
                if overflow > 1:
                    problems.append(f"{where} at {width}px: the page is {overflow}px wider than the window")
            # The review page as the office opens it: its name dialog, then a sheet.
            page.driver.get(office.base + "/review?" + exam_query(READ, "exam"))
            page.wait(lambda: page.driver.find_element(page.By.ID, "name-dialog").get_attribute("open") is not None
                      or page.driver.find_element(page.By.TAG_NAME, "body").get_attribute("data-state") == "idle",
                      "the review page")
            if page.driver.find_element(page.By.ID, "name-dialog").get_attribute("open") is not None:
                problems += rs.axe_problems(page.driver, f"review (name asked) at {width}px")
                page.keys("Ann", K.ENTER)
            page.idle()
            problems += rs.axe_problems(page.driver, f"review at {width}px")
            overflow = page.driver.execute_script(
                "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
            if overflow > 1:
                problems.append(f"review at {width}px: the page is {overflow}px wider than the window")
            page.driver.get(office.url)
            page.idle()
    finally:
        page.quit()
    assert problems == [], "\n".join(problems)


def test_the_catalogs_name_the_same_texts() -> None:
    """Every text of the English catalog is in the Chinese one and the other way round."""
    pages = rs.SOURCE / "exam" / "pages"
    script = ("global.window = {};" + "".join(f"require({json.dumps(str(pages / f))});" for f in ("text.en.js", "text.zh.js")) +
              "const {en, zh} = window.OMR_TEXTS;"
              "const names = (o, p) => Object.entries(o).flatMap(([k, v]) => v && typeof v === 'object' && !Array.isArray(v)"
              " ? names(v, p + k + '.') : [p + k + (typeof v === 'function' ? '()' + v.length : '')]);"
              "console.log(JSON.stringify([names(en, ''), names(zh, '')]));")
    try:
        done = subprocess.run(["node", "-e", script], capture_output=True, text=True, timeout=60)
    except FileNotFoundError:
        pytest.skip("node is not installed")
    assert done.returncode == 0, done.stderr
    en, zh = json.loads(done.stdout)
    en = [n for n in en if not n.startswith("reasonWords")]  # English takes the server's words
    zh = [n for n in zh if not n.startswith("reasonWords")]
    assert sorted(set(en) - set(zh)) == [] and sorted(set(zh) - set(en)) == []


def test_previews_equal_the_command_lines_dry_run(office: Office, read_exam: rs.Exam) -> None:
    """The page's previews are scored in memory; `exam rekey --dry-run` reads the store: they agree."""
    q = exam_query(READ, "exam")
    sheet = read_exam.sheet(4)
    other = next(o for o in rs.OPTIONS if o != sheet.marked[5])
    assert office.post("/api/corrections?" + q, {"sheet": 4, "target": str(rs.FIRST_ITEM + 5), "value": other,
                                                 "author": "Ann", "reason": ""})[0] == 200
    project = str(Path(office.place) / READ)
    for change, flags in (({"key": "B"}, ["--key", "B"]), ({"accept": "CD"}, ["--accept", "CD"]),
                          ({"void": True}, ["--void"]), ({"bonus": True}, ["--bonus"])):
        for item in (1, 6):
            status, page = office.post("/api/rekey?" + q, {"item": item, **change, "dry_run": True})
            done = subprocess.run([OMRCTL, "exam", "rekey", project, "--item", str(item), *flags, "--dry-run",
                                   "--json"], capture_output=True, text=True, timeout=120)
            if done.returncode != 0:  # nothing changes (the key is B already): both say so
                assert status == 400 and "nothing changes" in page["error"], (change, item, page)
                continue
            page.pop("revision_before")
            assert status == 200 and page == json.loads(done.stdout), (change, item)
