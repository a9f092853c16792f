"""The review page in headless Chromium: a 50-sheet simulated exam reviewed
with the keyboard alone (a double mark, a faint mark and an unknown ID
corrected, one correction undone, the other doubts accepted as read; a
second reviewer meanwhile passes by the sheet the first has open), then
the project database checked for what was typed and the scores it gives, a
second reviewer who sees and overrides the first one's work, the page
refused without its token, and a server on another port of the same host
that the reviewer's browser visits receiving nothing that opens the API.

OMR_REVIEW_SCREENSHOT=FILE also saves the page's picture there (the README's:
docs/images/review-page.png).
"""

from __future__ import annotations

import json
import os
import sqlite3
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Dict, List

import pytest

import review_support as rs

# Planted on the drawn sheets: (sheet, question) -> answers-file item.
DOUBLE, FAINT, BLANK, ERASED, UNKNOWN = 5, 12, 20, 40, 31
PLANTS = {(DOUBLE, 15): "[1,3]", (FAINT, 20): "[2f]", (BLANK, 40): ".", (ERASED, 50): "[4h,2]"}
UNKNOWN_ID = "99990030"
ANN = "Ann O'Neil <i>x</i>"
BO = "Bo'; DROP TABLE corrections;--"
HTML_REASON = "<img src=x onerror=alert(1)> smudge"


@pytest.fixture(scope="module")
def exam(tmp_path_factory: pytest.TempPathFactory) -> rs.Exam:
    rs.need_programs()
    return rs.make_exam(tmp_path_factory.mktemp("review"), 50, PLANTS, {UNKNOWN: UNKNOWN_ID})


@pytest.fixture(scope="module")
def server(exam: rs.Exam):
    s = rs.Server(exam.path)
    yield s
    s.stop()


class Page:
    """One reviewer's browser on the page, driven by keys."""

    def __init__(self, driver, name: str) -> None:
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys

        self.driver, self.By, self.Keys, self.ActionChains = driver, By, Keys, ActionChains
        self.name = name

    def open(self, url: str) -> None:
        self.driver.get(url)
        dialog = self.driver.find_element(self.By.ID, "name-dialog")
        if dialog.get_attribute("open") is not None:
            self.keys(self.name, self.Keys.ENTER)
        self.idle()

    def keys(self, *keys: str) -> None:
        self.ActionChains(self.driver).send_keys(*keys).perform()

    def idle(self) -> None:
        deadline = time.monotonic() + 20
        while self.driver.find_element(self.By.TAG_NAME, "body").get_attribute("data-state") != "idle":
            assert time.monotonic() < deadline, "the page stayed busy"
            time.sleep(0.02)

    def press(self, *keys: str) -> None:
        self.keys(*keys)
        self.idle()

    def where(self) -> tuple:
        body = self.driver.find_element(self.By.TAG_NAME, "body")
        return int(body.get_attribute("data-sheet") or 0), body.get_attribute("data-focus")

    def text(self, element_id: str) -> str:
        return self.driver.find_element(self.By.ID, element_id).text

    def errors(self) -> List[dict]:
        return [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]


def bo_passes_by_the_sheet_ann_has_open(server: rs.Server, tmp_path: Path) -> None:
    """Ann has the least confident sheet open: Bo's first sheet is another; the
    queue says whose it is, and Bo opening it on purpose is told."""
    bo = Page(rs.browser(tmp_path / "bo0"), BO)
    try:
        bo.open(server.url)
        first = bo.where()[0]
        assert first != DOUBLE and first in (FAINT, BLANK, ERASED, UNKNOWN)
        held = bo.driver.find_element(bo.By.CSS_SELECTOR, f"#queue li[data-sheet='{DOUBLE}']")
        assert f"{ANN} has it open" in held.text and "held" in held.get_attribute("class")
        assert bo.driver.find_elements(bo.By.CSS_SELECTOR, "#queue i") == []  # the name is text
        held.find_element(bo.By.TAG_NAME, "button").click()
        bo.idle()
        assert bo.where()[0] == DOUBLE
        assert bo.text("sheet-held").startswith(f"{ANN} has this sheet open too")
        assert bo.errors() == []
        # Bo gave his first sheet back when he opened Ann's; hers is still held.
        held = server.get_json("/api/status")["held"]
        assert [(h["sheet"], h["by"]) for h in held] == [(DOUBLE, ANN)]
    finally:
        bo.driver.quit()


def expected_total(exam: rs.Exam, number: int, corrected: Dict[int, str]) -> float:
    """One point for each item whose answer (after corrections) is the key."""
    sheet = exam.sheet(number)
    return float(sum(1 for i, m in enumerate(sheet.marked) if corrected.get(rs.FIRST_ITEM + i, m) == exam.key[i]))


def test_a_reviewer_settles_every_doubt_with_the_keyboard(exam: rs.Exam, server: rs.Server, tmp_path: Path) -> None:
    keys_for = {  # what the reviewer types at each stop, besides Enter
        (FAINT, "20"): "b",  # the faint mark was meant
        (UNKNOWN, "id"): "20250031",  # the roster knows the student
    }
    page = Page(rs.browser(tmp_path / "ann"), ANN)
    try:
        page.open(server.url)
        assert page.driver.current_url == server.base + "/#" + str(page.where()[0])  # the token left the address
        assert page.text("progress-text") == "0 of 5 reviewed · 5 waiting"
        assert page.where()[0] == DOUBLE and page.text("sheet-held") == ""
        bo_passes_by_the_sheet_ann_has_open(server, tmp_path)
        stops = []
        undone = False
        for _ in range(40):
            if page.text("progress-text").endswith(" 0 waiting"):
                break
            sheet, focus = page.where()
            if (sheet, focus) in stops and not (sheet == DOUBLE and undone):
                pytest.fail(f"the page came back to sheet {sheet} at {focus}")
            stops.append((sheet, focus))
            if sheet == DOUBLE and focus == "15":
                # The double mark zoomed: both cells under the blue box, their grey values shown.
                cells = page.driver.find_elements(page.By.CSS_SELECTOR, "#current-cells .cell.marked")
                assert [c.text.split()[0] for c in cells] == ["A", "C"]
                if not undone:
                    # The pointer on option C of the picture: its grey value and decision.
                    cell = next(c for q in server.get_json(f"/api/sheets/{DOUBLE}")["questions"]
                                if q["question"] == 15 for c in q["cells"] if c["label"] == "C")
                    left, top = page.driver.execute_script(
                        "const r = document.getElementById('picture').getBoundingClientRect(); return [r.left, r.top];")
                    zoom = int(page.text("zoom-text").rstrip("×"))
                    geometry = server.get_json(f"/api/sheets/{DOUBLE}")["picture"]
                    # As the sheet lies: line 1 at the top, column 1 at the left.
                    x = geometry["margin"] + (cell["column"] - 1) * geometry["cell"] + 6
                    y = (cell["line"] - 1) * geometry["cell"] + 6
                    from selenium.webdriver.common.actions.action_builder import ActionBuilder
                    pointer = ActionBuilder(page.driver)
                    pointer.pointer_action.move_to_location(int(left + x * zoom), int(top + y * zoom))
                    pointer.perform()
                    # Item 5 is on line 14 + 4, option C in column 2 + 2; marks are drawn at darkness 11.
                    tip = page.text("cell-tip")
                    assert tip.startswith("line 18, column 4: grey 11 of 15 · q15 option C: marked"), tip
                    page.driver.save_screenshot(str(tmp_path / "review-page.png"))
                    if os.environ.get("OMR_REVIEW_SCREENSHOT"):
                        page.driver.save_screenshot(os.environ["OMR_REVIEW_SCREENSHOT"])
                    # A wrong answer stored, then taken back with Backspace.
                    page.press("d", page.Keys.ENTER)
                    page.press(page.Keys.BACKSPACE)
                    assert page.where() == (DOUBLE, "15")
                    assert "as read again" in page.text("message")
                    undone = True
                    continue
                page.press("/")
                page.press(HTML_REASON, page.Keys.ENTER)  # a reason for the next correction
                page.press("c", page.Keys.ENTER)
                continue
            if focus == "id":
                field = page.driver.find_element(page.By.ID, "id-input")
                assert page.driver.switch_to.active_element == field
                page.press(keys_for[(sheet, focus)])
                deadline = time.monotonic() + 10
                while not page.driver.find_elements(page.By.CSS_SELECTOR, "#id-suggestions li"):
                    assert time.monotonic() < deadline, "no roster suggestion"
                    time.sleep(0.05)
                suggestion = page.text("id-suggestions")
                assert suggestion.startswith("20250031") and "Student 31" in suggestion
                page.press(page.Keys.ARROW_DOWN, page.Keys.ENTER)
                continue
            page.press(*([keys_for[(sheet, focus)]] if (sheet, focus) in keys_for else []), page.Keys.ENTER)
        else:
            pytest.fail(f"the review did not end: {stops}")
        assert page.text("progress-text") == "5 of 5 reviewed · 0 waiting"
        assert page.text("queue-more") == "Nothing is waiting."
        assert "Nothing more waiting" in page.text("message")
        # Every flagged sheet was visited, the least confident first (the double mark).
        assert stops[0] == (DOUBLE, "15")
        assert {s for s, _ in stops} == {DOUBLE, FAINT, BLANK, ERASED, UNKNOWN}
        assert page.errors() == []

        # The report, live, from its link (a one-time ticket opens it in a tab of its own): nothing waits
        # now. Its sorting script runs; a script in it reaches nothing.
        review_tab = page.driver.current_window_handle
        page.driver.find_element(page.By.ID, "report-link").click()
        deadline = time.monotonic() + 10
        while len(page.driver.window_handles) < 2:
            assert time.monotonic() < deadline, "the report did not open"
            time.sleep(0.05)
        page.driver.switch_to.window(next(h for h in page.driver.window_handles if h != review_tab))
        while "/report" not in page.driver.current_url or not page.driver.find_elements(page.By.ID, "review"):
            assert time.monotonic() < deadline, "the report did not load: " + page.driver.current_url
            time.sleep(0.05)
        assert "No sheet is waiting for review." in page.text("review")
        table = page.driver.find_element(page.By.ID, "item-table")
        heading = table.find_elements(page.By.CSS_SELECTOR, "thead th")[2]
        heading.click()
        column = [c.get_attribute("data-v") for c in table.find_elements(page.By.CSS_SELECTOR, "tbody td:nth-child(3)")]
        assert [float(v) for v in column if v] == sorted(float(v) for v in column if v)
        assert page.errors() == []
        reached = page.driver.execute_async_script(
            "const done = arguments[0]; fetch('/api/queue').then(r => done('HTTP ' + r.status), e => done('refused'));")
        assert reached in ("refused", "HTTP 401"), reached
    finally:
        page.driver.quit()

    db = sqlite3.connect(f"file:{exam.path}?mode=ro", uri=True)
    rows = db.execute("SELECT c.id, s.number, c.target, c.old_value, c.new_value, c.author, c.reason, c.undoes "
                      "FROM corrections c JOIN sheets s ON s.id = c.sheet_id ORDER BY c.id").fetchall()
    got = {(n, t): [] for _, n, t, *_ in rows}
    for row in rows:
        got[(row[1], row[2])].append(row[3:])
    first_id = rows[0][0]
    assert got[(DOUBLE, "15")] == [("AC", "D", ANN, "", None), ("D", None, ANN, "", first_id),
                                   ("AC", "C", ANN, HTML_REASON, None)]
    assert got[(FAINT, "20")] == [("", "B", ANN, "", None)]
    assert got[(UNKNOWN, "id")] == [(UNKNOWN_ID, "20250031", ANN, "", None)]
    assert got[(BLANK, "40")] == [("", "", ANN, "", None)]  # the blank confirmed
    assert got[(ERASED, "50")] == [("B", "B", ANN, "", None)]  # the reading confirmed
    assert len(rows) == 7
    # Scores follow: every sheet's total from the drawing and what was typed.
    corrected = {DOUBLE: {15: "C"}, FAINT: {20: "B"}}
    scores = dict(db.execute("SELECT s.number, c.total FROM scores c JOIN sheets s ON s.id = c.sheet_id"))
    for sheet in exam.sheets:
        assert scores[sheet.number] == expected_total(exam, sheet.number, corrected.get(sheet.number, {})), sheet
    students = dict(db.execute("SELECT s.number, c.student_id FROM scores c JOIN sheets s ON s.id = c.sheet_id"))
    assert students[UNKNOWN] == "20250031"
    assert db.execute("SELECT COUNT(*) FROM reasons").fetchone()[0] == 0
    db.close()
    status = json.loads(rs.run(rs.OMRCTL, "exam", "status", str(exam.path), "--json").stdout)
    assert (status["waiting"], status["reviewed"]) == (0, 5)


def test_a_second_reviewer_sees_and_overrides_the_first(exam: rs.Exam, server: rs.Server, tmp_path: Path) -> None:
    bo = Page(rs.browser(tmp_path / "bo"), BO)
    ann = Page(rs.browser(tmp_path / "ann2"), ANN)
    try:
        bo.open(server.url + f"#{DOUBLE}")
        assert bo.where()[0] == DOUBLE
        corrections = bo.text("corrections")
        assert f"q15: AC → C · {ANN}" in corrections and HTML_REASON in corrections
        # Shown as text: nothing of the name or the reason became an element.
        assert bo.driver.find_elements(bo.By.CSS_SELECTOR, "#corrections img, #corrections i") == []
        assert bo.driver.execute_script("return document.querySelectorAll('img').length") == 0
        # Down to question 15 (questions 1-8 and 11-70 are used) and another answer.
        bo.press(*([bo.Keys.ARROW_DOWN] * 12))
        assert bo.where() == (DOUBLE, "15")
        bo.press("e", bo.Keys.ENTER)
        assert bo.errors() == []

        ann.open(server.url + f"#{DOUBLE}")
        items = ann.driver.find_elements(ann.By.CSS_SELECTOR, "#corrections li")
        states = [(li.find_element(ann.By.CSS_SELECTOR, ".change").text, li.get_attribute("class")) for li in items
                  if li.text.startswith("q15")]
        assert states == [("q15: AC → D", "undone"), ("q15: D → as read", "overridden"),
                          ("q15: AC → C", "overridden"), ("q15: C → E", "counts")]
        assert BO in ann.text("corrections")
    finally:
        bo.driver.quit()
        ann.driver.quit()
    db = sqlite3.connect(f"file:{exam.path}?mode=ro", uri=True)
    authors = [a for (a,) in db.execute("SELECT c.author FROM corrections c JOIN sheets s ON s.id = c.sheet_id "
                                        "WHERE s.number = ? AND c.target = '15' ORDER BY c.id", (DOUBLE,))]
    assert authors == [ANN, ANN, ANN, BO]
    total = db.execute("SELECT c.total FROM scores c JOIN sheets s ON s.id = c.sheet_id WHERE s.number = ?",
                       (DOUBLE,)).fetchone()[0]
    db.close()
    assert total == expected_total(exam, DOUBLE, {15: "E"})


def test_without_the_token_the_page_is_refused(server: rs.Server, tmp_path: Path) -> None:
    page = Page(rs.browser(tmp_path / "stranger"), "x")
    try:
        for path in ("/", f"/api/sheets/{DOUBLE}", "/?token=" + "0" * 64):
            page.driver.get(server.base + path)
            if path.startswith("/?") or path == "/":
                page.idle()
            assert "needs its access token" in page.driver.find_element(page.By.TAG_NAME, "body").text, path
            assert page.driver.find_elements(page.By.CSS_SELECTOR, "#queue li") == []
        assert page.driver.get_cookies() == []
    finally:
        page.driver.quit()
    # The page's own files hold no data; everything else needs the token.
    for path, status in (("/", 200), ("/review.js", 200), ("/api/queue", 401), (f"/api/sheets/{DOUBLE}/picture", 401),
                         ("/report", 401), ("/nothing", 401)):
        got, headers, _ = server.request("GET", path, token=None)
        assert got == status, path
        assert "default-src 'none'" in headers["content-security-policy"]


def test_a_server_on_another_port_receives_nothing_that_grants_access(server: rs.Server, tmp_path: Path) -> None:
    """Cookies on 127.0.0.1 go to every port: another local user's server there, visited by the reviewer's
    browser after a session on the page (and linked from it), must get neither the token nor a cookie."""
    seen: List[dict] = []

    class Spy(BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802
            seen.append({"path": self.path, **{k.lower(): v for k, v in self.headers.items()}})
            body = b"<!doctype html><title>elsewhere</title><p>elsewhere"
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args) -> None:
            pass

    spy = ThreadingHTTPServer(("127.0.0.1", 0), Spy)
    threading.Thread(target=spy.serve_forever, daemon=True).start()
    page = Page(rs.browser(tmp_path / "spied"), "Cy")
    try:
        page.open(server.url)
        assert "needs its access token" not in page.driver.find_element(page.By.TAG_NAME, "body").text
        assert server.token not in page.driver.current_url  # not left in the address (or its history)
        for host in ("127.0.0.1", "localhost"):
            page.driver.get(f"http://{host}:{spy.server_address[1]}/page")
            assert "elsewhere" in page.driver.find_element(page.By.TAG_NAME, "body").text
        page.driver.back()  # the review page again, then away by a link of its own
        page.driver.execute_script(
            "const a = document.createElement('a'); a.href = arguments[0]; document.body.append(a); a.click();",
            f"http://127.0.0.1:{spy.server_address[1]}/linked")
        deadline = time.monotonic() + 10
        while not any(s["path"] == "/linked" for s in seen) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert page.driver.get_cookies() == []
    finally:
        page.driver.quit()
        spy.shutdown()
    assert {s["path"] for s in seen} >= {"/page", "/linked"}, seen
    assert not any("cookie" in s or "authorization" in s for s in seen), seen
    assert server.token not in json.dumps(seen)
