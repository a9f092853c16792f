"""The Reading page in headless Chromium against two simulated readers, from
the keyboard: two stations started, the sheets arriving live, the page's
counts equal to the project's, a refused sheet shown as "feed it again",
Stop keeping every sheet, and a sheet typed in on the key-entry grid.

OMR_OFFICE_SCREENSHOTS=DIR saves the page as the README shows it
(docs/images/office-reading.png)."""

from __future__ import annotations

import os
import shutil
import tempfile
import time
from pathlib import Path

import pytest

from office_support import Office, browser, need_programs
import review_support as rs  # noqa: E402 (on the path office_support gives)
from reading_support import Sim, draw, make_exam, project_sheets


def wait(driver, condition, seconds=60, what=""):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            value = driver.execute_script(condition)
        except Exception:  # the page is between two states
            value = None
        if value:
            return value
        time.sleep(0.1)
    logs = [e["message"] for e in driver.get_log("browser")]
    stations = driver.execute_script("const l = document.getElementById('station-list'); return l && l.innerText")
    pytest.fail(f"timed out waiting for {what or condition}; stations: {stations!r}; browser log: {logs[-5:]}")


def test_reading_from_the_keyboard_with_two_readers(tmp_path):
    need_programs()
    place = tmp_path / "place"
    place.mkdir()
    setup = make_exam(place, 40)
    ids = [r[0] for r in setup.roster]
    # Short ports for the page (the pictures show them); a reader's pace.
    readers = Path(tempfile.mkdtemp(prefix="omr-"))
    north = Sim(readers, "north", draw(setup, ids[:14], seed=11), "--feed-delay", "100")
    south_sheets = draw(setup, ids[14:26], seed=12, refused=(12,))
    south = Sim(readers, "south", south_sheets, "--feed-delay", "100")
    office = Office(place, "--reader", str(north.link), "--reader", str(south.link))
    driver = browser(tmp_path / "profile")
    try:
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys

        driver.get(office.url)
        wait(driver, "return document.body.dataset.state === 'idle' && document.querySelector('#exam-rows tr')",
             what="the Exams page")
        assert "token" not in driver.current_url
        # Both catalogs name the same texts.
        assert driver.execute_script(
            "const e = Object.keys(OMR_TEXTS.en).sort(), z = Object.keys(OMR_TEXTS.zh).sort();"
            "return JSON.stringify(e) === JSON.stringify(z)")
        author = driver.find_element(By.ID, "author")
        author.send_keys("Ann Office", Keys.TAB)
        body = driver.find_element(By.TAG_NAME, "body")
        body.send_keys("r")  # the chosen exam's Reading page
        wait(driver, "return document.querySelectorAll('#reader-rows button.primary').length === 2",
             what="two readers with Start")

        # One station with "s", the other by its name field and Enter.
        driver.find_element(By.ID, "page").send_keys("s")
        wait(driver, "return document.querySelectorAll('#reader-rows button.primary').length === 1")
        name = driver.find_element(By.CSS_SELECTOR, "#reader-rows input")
        name.send_keys(Keys.CONTROL, "a")
        name.send_keys("south desk", Keys.ENTER)
        wait(driver, "return document.querySelectorAll('#station-list li').length === 2")

        total = 14 + 12
        wait(driver, f"return document.querySelectorAll('#sheet-rows tr').length === {total}", 90,
             what=f"{total} sheets on the page")
        refused = wait(driver, "const s = [...document.querySelectorAll('.station-state')]"
                               ".find(e => e.dataset.state === 'refused'); return s && s.textContent")
        stored = project_sheets(setup.path)
        refused_number = max(n for n, s in stored.items() if s["station"] == "south desk")
        assert refused == f"sheet {refused_number} was refused: feed it again"
        assert stored[refused_number]["code"] == 3
        # The page's counts are the project's.
        students = {s["student"] for s in stored.values() if s["code"] == 0}
        wait(driver, f"return document.getElementById('progress-text').textContent === "
                     f"'{len(students)} of 40 students'", what="the progress")
        missing = driver.find_element(By.ID, "missing-summary").text
        assert missing == f"{40 - len(students)} students still missing"
        rows = driver.execute_script("return [...document.querySelectorAll('#sheet-rows tr')].map(r => "
                                     "[Number(r.dataset.sheet), r.cells[2].textContent, r.cells[5].textContent])")
        assert sorted(r[0] for r in rows) == sorted(stored)
        for number, student, score in rows:
            if stored[number]["code"] == 0:
                assert student == stored[number]["student"]
                assert score.startswith(f"{stored[number]['total']:g} of 60")

        if os.environ.get("OMR_OFFICE_SCREENSHOTS"):
            driver.execute_script("document.getElementById('message').className = ''")
            driver.set_window_size(1300, 1100)
            driver.save_screenshot(str(Path(os.environ["OMR_OFFICE_SCREENSHOTS"]) / "office-reading.png"))

        # Stop, from the keyboard: "x" goes to the first station's Stop (two read), Enter; "x" stops the other.
        page = driver.find_element(By.ID, "page")
        page.send_keys("x")
        wait(driver, "return document.activeElement.closest('#station-list li') !== null", what="a Stop button")
        driver.switch_to.active_element.send_keys(Keys.ENTER)
        wait(driver, "return document.querySelectorAll('#station-list li.state-stopping, #station-list li.state-stopped').length >= 1")
        page.send_keys("x")
        wait(driver, "return [...document.querySelectorAll('.station-state')]"
                     ".every(e => e.textContent === 'stopped: every sheet read is stored')", 60, "both stopped")
        assert len(project_sheets(setup.path)) == total
        assert driver.execute_script("return document.querySelectorAll('#sheet-rows tr').length") == total

        # Stations that ended, the progress, the sheets and the typed sheet's grid: no serious or critical
        # accessibility violation, on a wide window and at 200 % zoom.
        driver.find_element(By.ID, "type-button").click()
        wait(driver, "return document.querySelector('.answer-grid tbody tr')")
        for width in (1400, 640):
            driver.set_window_size(width, 900)
            assert rs.axe_problems(driver, f"Reading at {width}px") == []
        driver.find_element(By.ID, "typed-id").send_keys(Keys.ESCAPE)
        wait(driver, "return document.getElementById('typed').hidden")

        # A sheet typed in: "t", the ID, the answers in one field, Ctrl+Enter.
        typed = draw(setup, [ids[30]], seed=13)[0]
        line = "".join(a if len(a) == 1 else "-" if a == "" else "(" + a + ")" for a in typed.answers)
        driver.find_element(By.ID, "page").send_keys("t")
        wait(driver, "return document.activeElement && document.activeElement.id === 'typed-id'")
        driver.switch_to.active_element.send_keys(typed.student, Keys.TAB, line)
        assert driver.find_element(By.ID, "answer-line").get_attribute("aria-invalid") == "false"
        # The grid follows the field.
        marked = driver.execute_script("return [...document.querySelectorAll('.answer-grid tbody tr')].map(r => "
                                       "[...r.querySelectorAll('input:checked')].map(b => b.dataset.option).join(''))")
        assert marked == typed.answers
        driver.switch_to.active_element.send_keys(Keys.CONTROL, Keys.ENTER)
        row = wait(driver, "const r = document.querySelector('#sheet-rows tr[data-typed]');"
                           "return r && [...r.cells].map(c => c.textContent)", what="the typed sheet's row")
        assert row[1] == "typed by Ann Office" and row[2] == typed.student
        assert row[5].startswith(f"{setup.score(typed.answers):g} of 60")
        stored = project_sheets(setup.path)
        assert [s["author"] for s in stored.values() if s["source"] == "typed"] == ["Ann Office"]

        if os.environ.get("OMR_OFFICE_SCREENSHOTS"):
            folder = Path(os.environ["OMR_OFFICE_SCREENSHOTS"])
            driver.find_element(By.ID, "page").send_keys("g", "e")
            wait(driver, "return document.querySelector('#exam-rows tr td.number')")
            driver.execute_script("document.getElementById('message').className = ''")
            driver.set_window_size(1300, 640)
            driver.save_screenshot(str(folder / "office-exams.png"))
            # Review opened from the office, on a sheet with a double mark (the refused one comes first).
            driver.get(office.base + "/review?" + setup.query + "#2")
            wait(driver, "return document.body.dataset.sheet === '2'", what="the review page on sheet 2")
            time.sleep(0.5)
            driver.set_window_size(1300, 900)
            driver.save_screenshot(str(folder / "office-review.png"))
    finally:
        driver.quit()
        office.stop()
        north.stop()
        south.stop()
        shutil.rmtree(readers, ignore_errors=True)
