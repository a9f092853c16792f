"""The review page's keys in headless Chromium, and what the browser gives
away: keys typed ahead of a slow page (every stored answer belongs to the
question that was on screen when its keys were pressed), every shortcut
pressed while the student ID field has focus (nothing but the roster's ID or
the typed digits is stored), and a second server on another loopback port
that must receive nothing that grants access.
"""

from __future__ import annotations

import http.server
import sqlite3
import threading
import time
from pathlib import Path
from typing import List, Tuple

import pytest

import review_support as rs
from test_review_page import Page

UNKNOWN, UNKNOWN_ID = 5, "99990005"
PLANTS = {(1, 15): "[1,3]", (1, 16): "[2f]", (2, 20): "[3f]", (2, 21): "[2,4]", (3, 30): "[1f]", (3, 31): "[1,2]"}
# Keys that mean something to the page but are no part of an ID.
SHORTCUTS = ["#", "?", "/", "+", "-", "=", "*", " "]


@pytest.fixture(scope="module")
def exam(tmp_path_factory: pytest.TempPathFactory) -> rs.Exam:
    rs.need_programs()
    return rs.make_exam(tmp_path_factory.mktemp("keys"), 8, PLANTS, {UNKNOWN: UNKNOWN_ID})


@pytest.fixture(scope="module")
def server(exam: rs.Exam):
    s = rs.Server(exam.path)
    yield s
    s.stop()


def corrections(exam: rs.Exam, author: str) -> List[Tuple[int, str, str]]:
    db = sqlite3.connect(f"file:{exam.path}?mode=ro", uri=True)
    try:
        return db.execute("SELECT s.number, c.target, c.new_value FROM corrections c JOIN sheets s ON s.id = c.sheet_id "
                          "WHERE c.author = ? AND c.undoes IS NULL ORDER BY c.id", (author,)).fetchall()
    finally:
        db.close()


# What the page shows at each key press (read before the page handles the key), the
# messages it says, and every answer from the server held back 300 ms: a slow page.
WATCH = """
window.__keys = [];
window.addEventListener('keydown', (e) => {
  __keys.push([e.key, Number(document.body.dataset.sheet || 0), document.body.dataset.focus || '']);
}, true);
window.__said = [];
new MutationObserver(() => __said.push(document.getElementById('message').textContent))
  .observe(document.getElementById('message'), { childList: true, characterData: true, subtree: true });
const plain = window.fetch;
window.fetch = (...args) => new Promise((r) => setTimeout(r, 300)).then(() => plain(...args));
"""


def test_keys_typed_ahead_land_on_the_question_they_were_typed_on(exam: rs.Exam, server: rs.Server,
                                                                   tmp_path: Path) -> None:
    page = Page(rs.browser(tmp_path / "fast"), "Fast Typist")
    try:
        page.open(server.url)
        page.driver.execute_script(WATCH)
        for _ in range(4):  # bursts far faster than a 300 ms page
            page.keys("b", page.Keys.ENTER, "c", page.Keys.ENTER, "d", page.Keys.ENTER)
            page.idle()
        keys = page.driver.execute_script("return __keys")
        said = page.driver.execute_script("return __said")
        assert page.errors() == []
    finally:
        page.driver.quit()
    assert any("not used" in m for m in said), said  # keys were typed ahead, and the page said so
    stored = corrections(exam, "Fast Typist")
    assert stored
    # Each answer stored was typed on its own question: an Enter pressed while that question
    # was shown, after the letter stored (the latest letter typed on it).
    for sheet, target, value in stored:
        letters: List[str] = []
        entered = set()
        for key, seen_sheet, seen_focus in keys:
            if (seen_sheet, seen_focus) != (sheet, target):
                continue
            if key == "Enter":
                entered.add(letters[-1] if letters else None)
            elif len(key) == 1:
                letters.append(key.upper())
        assert value in entered or None in entered, (sheet, target, value, keys)


def test_shortcuts_never_type_into_the_id_field(exam: rs.Exam, server: rs.Server, tmp_path: Path) -> None:
    page = Page(rs.browser(tmp_path / "ids"), "Careful")
    By = page.By
    try:
        page.open(server.url + f"#{UNKNOWN}")
        assert page.where() == (UNKNOWN, "id")
        field = page.driver.find_element(By.ID, "id-input")
        page.press("#")  # the documented key brings the field...
        assert page.driver.switch_to.active_element == field
        page.press("#", "2025")  # ...and typed in it, types nothing
        assert field.get_attribute("value") == "2025"
        deadline = time.monotonic() + 10
        while not page.driver.find_elements(By.CSS_SELECTOR, "#id-suggestions li"):
            assert time.monotonic() < deadline, "no roster suggestion"
            time.sleep(0.05)
        offered = page.text("id-suggestions")
        for key in SHORTCUTS:
            field.click()
            page.press(key)
            assert field.get_attribute("value") == "2025", key
            assert page.text("id-suggestions") == offered, key  # the roster's suggestion stays
            if page.driver.find_element(By.ID, "help-dialog").get_attribute("open") is not None:
                page.press(page.Keys.ESCAPE)
        field.click()
        page.press("0005", page.Keys.ENTER)
        deadline = time.monotonic() + 10
        while not corrections(exam, "Careful"):
            assert time.monotonic() < deadline, "the ID was not stored"
            time.sleep(0.05)
        assert page.errors() == []
    finally:
        page.driver.quit()
    assert corrections(exam, "Careful") == [(UNKNOWN, "id", "20250005")]


class Recorder(http.server.BaseHTTPRequestHandler):
    """Another program's server on another port of the same address: keeps what it is sent."""
    seen: List[Tuple[str, str]] = []

    def do_GET(self) -> None:  # noqa: N802 (the library's name)
        Recorder.seen.append((self.path, str(self.headers)))
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Access-Control-Allow-Origin", self.headers.get("Origin", "*"))
        self.send_header("Access-Control-Allow-Credentials", "true")
        self.end_headers()
        self.wfile.write(b"<p>elsewhere</p>")

    def log_message(self, *args) -> None:
        pass


def test_a_server_on_another_port_receives_nothing_that_grants_access(server: rs.Server, tmp_path: Path) -> None:
    other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    serving = threading.Thread(target=other.serve_forever)
    serving.start()
    page = Page(rs.browser(tmp_path / "leak"), "Ann")
    try:
        page.open(server.url)
        page.press(page.Keys.ARROW_DOWN)
        assert page.driver.get_cookies() == []
        # The same browser on the other server's page: what it sends there (the review page's own
        # policy lets it send nothing elsewhere).
        elsewhere = f"http://127.0.0.1:{other.server_address[1]}"
        page.driver.get(elsewhere + "/visited")
        assert "elsewhere" in page.driver.page_source
        page.driver.set_script_timeout(10)
        reached = page.driver.execute_async_script(
            "const done = arguments[0]; fetch('/from-there', {credentials: 'include'})"
            ".then(r => done(r.status), e => done(String(e)));")
        assert reached == 200, reached
    finally:
        page.driver.quit()
        other.shutdown()
        serving.join()
    assert {p for p, _ in Recorder.seen} >= {"/from-there", "/visited"}
    for path, headers in Recorder.seen:
        assert server.token not in path + headers
        assert "cookie:" not in headers.lower() and "authorization:" not in headers.lower(), headers
