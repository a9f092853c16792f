"""Reading through the office against simulated readers: the readers found,
a station per reader reading into an exam while every sheet comes as an
event the moment it is stored, two readers at once, a stop that keeps every
sheet, a refused sheet, typed sheets scored like read ones, and every
reading route closed to the reviewers' token and to no token.

Every total is computed here from the drawn answers and the exam's rules."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path

import pytest

from office_support import OMRCTL, Office, exam_query, need_programs, run
from reading_support import (ITEMS, Events, ExamSetup, Sim, draw, make_exam, project_sheets, sheets_of,
                             station_state)


@pytest.fixture()
def setup(tmp_path) -> ExamSetup:
    need_programs()
    place = tmp_path / "place"
    place.mkdir()
    return make_exam(place, 60)


def start(office: Office, setup: ExamSetup, sim: Sim, name: str) -> dict:
    status, body = office.post("/api/reading/start?" + setup.query, {"port": str(sim.link), "station": name})
    assert status == 201, body
    return body["station"]


def test_an_exam_in_parts_is_typed_a_part_at_a_time(tmp_path):
    """The typed sheet's form offers the parts; each part typed holds its own items, and the two make one
    candidate: every answer the key's (version 1 asks the master items in order) is the exam's maximum."""
    need_programs()
    examples = Path(__file__).resolve().parents[2] / "examples"
    place = tmp_path / "place"
    place.mkdir()
    run(OMRCTL, "exam", "new", str(place / "paper.omrexam"), "--exam", str(examples / "twopart.exam.json"),
        "--by", "office")
    key = json.loads("\n".join(line for line in (examples / "twopart.exam.json").read_text().splitlines()
                               if not line.lstrip().startswith("//")))["key"]
    query = exam_query("paper.omrexam", "exam")
    office = Office(place)
    try:
        shape = office.get("/api/typed?" + query)[1]
        assert shape["part_source"] == "layout"
        assert shape["parts"] == [{"name": "A", "first": 0, "count": 60}, {"name": "B", "first": 60, "count": 40}]
        sheet = {"id": "20240131", "version": "1", "author": "Ann Office"}
        status, body = office.post("/api/typed?" + query, {**sheet, "part": "C", "answers": key[60:]})
        assert status == 400 and 'part: the exam has no part "C" (its parts: A, B)' in body["error"], body
        for part, answers in (("B", key[60:]), ("A", key[:60])):
            status, body = office.post("/api/typed?" + query, {**sheet, "part": part, "answers": answers})
            assert status == 201, body
            assert body["sheet"]["total"] == (41 if part == "B" else 60)  # item 75 counts 2
    finally:
        office.stop()
    students = json.loads(run(OMRCTL, "exam", "export", str(place / "paper.omrexam"), "--json").stdout)["students"]
    ann = next(s for s in students if s["id"] == "20240131")
    assert (ann["status"], ann["total"], ann["maximum"], ann["sheet"]) == ("scored", 101, 101, "1;2")


def test_two_readers_read_at_once_and_every_sheet_comes_as_it_is_stored(setup, tmp_path):
    ids = [r[0] for r in setup.roster]
    north_sheets = draw(setup, ids[:20], seed=1)
    south_sheets = draw(setup, ids[20:45], seed=2, refused=(25,))  # the last one is refused
    north = Sim(tmp_path, "north", north_sheets)
    south = Sim(tmp_path, "south", south_sheets)
    office = Office(setup.place, "--reader", str(north.link), "--reader", str(south.link))
    try:
        readers = office.get("/api/readers")[1]["readers"]
        assert [(r["port"], r["found"], r["firmware"]) for r in readers] == [
            (str(north.link), True, "3.0"), (str(south.link), True, "3.0")]
        assert all(r["serial"] for r in readers)
        state = office.get("/api/reading?" + setup.query)[1]
        assert state["progress"]["roster"] == 60 and state["progress"]["students"] == 0
        events = Events(office, setup.query, state["last_event"])
        assert events.status == 200 and events.type.startswith("text/event-stream")
        a = start(office, setup, north, "north")
        b = start(office, setup, south, "south")
        # The same reader twice, or a name taken in the exam, is refused.
        assert office.post("/api/reading/start?" + setup.query, {"port": str(north.link), "station": "x"})[0] == 409
        seen = events.until(lambda e: len(sheets_of(e)) == 45 and all(
            (station_state(e, s["id"]) or {}).get("state") in ("waiting", "refused") for s in (a, b)))
        events.close()
    finally:
        north.stop()
        south.stop()
    try:
        sheets = sheets_of(seen)
        stored = project_sheets(setup.path)
        assert sorted(s["sheet"] for s in sheets) == sorted(stored) == list(range(1, 46))
        # Each station's sheets in tray order, each scored as its drawn answers say.
        for station, drawn in ((a, north_sheets), (b, south_sheets)):
            mine = [s for s in sheets if s["station"] == station["id"]]
            assert [s["station_number"] for s in mine] == list(range(1, len(drawn) + 1))
            for event, sheet in zip(mine, drawn):
                if sheet.refused:
                    assert event["feed_again"] and event["code"] == 3 and not event["scored"]
                    assert event["message"]["en"] and event["message"]["zh"]
                    continue
                assert event["student_id"] == sheet.student and event["name"].startswith("Student ")
                assert event["total"] == pytest.approx(setup.score(sheet.answers)), event["sheet"]
                assert stored[event["sheet"]]["total"] == pytest.approx(event["total"])
        # The refused sheet (south's last) is what its station says while it waits for more.
        south_state = station_state(seen, b["id"])
        assert south_state["state"] == "refused"
        assert south_state["refused"] == max(s["sheet"] for s in sheets if s["station"] == b["id"])
        assert (south_state["stored"], south_state["failed"]) == (25, 1)
        progress = office.get("/api/reading/progress?" + setup.query)[1]
        assert (progress["students"], progress["missing_count"], progress["sheets"]) == (44, 16, 45)
        assert {m["id"] for m in progress["missing"]} == set(ids[44:])
        assert progress["not_read"] == 1
        for station in (a, b):
            assert office.post("/api/reading/stop?" + setup.query, {"station": station["id"]})[0] == 200
    finally:
        office.stop()


def test_a_stop_keeps_every_sheet_and_reading_goes_on_where_it_stopped(setup, tmp_path):
    ids = [r[0] for r in setup.roster]
    drawn = draw(setup, ids[:30], seed=3)
    sim = Sim(tmp_path, "desk", drawn, "--feed-delay", "250")
    office = Office(setup.place, "--reader", str(sim.link))
    try:
        events = Events(office, setup.query)
        station = start(office, setup, sim, "desk")
        events.until(lambda e: len(sheets_of(e)) >= 6)
        assert office.post("/api/reading/stop?" + setup.query, {"station": station["id"]})[0] == 200
        seen = events.until(lambda e: (station_state(e, station["id"]) or {}).get("running") is False)
        first = sheets_of(seen)
        end = station_state(seen, station["id"])
        assert end["state"] == "stopped" and end["stored"] == len(first)
        assert sorted(project_sheets(setup.path)) == [s["sheet"] for s in first]
        # None fed was skipped: the next station reads on from the next sheet in the tray.
        again = start(office, setup, sim, "desk")
        seen = events.until(lambda e: len(sheets_of(e)) == 30)
        events.close()
        assert office.post("/api/reading/stop?" + setup.query, {"station": again["id"]})[0] == 200
        students = [s["student_id"] for s in sheets_of(seen)]
        assert students == [d.student for d in drawn]
        assert len(project_sheets(setup.path)) == 30
    finally:
        office.stop()
        sim.stop()


def test_typed_sheets_are_stored_with_their_author_and_scored_like_read_ones(setup, tmp_path):
    office = Office(setup.place)
    ids = [r[0] for r in setup.roster]
    try:
        shape = office.get("/api/typed?" + setup.query)[1]
        assert shape["version_source"] == "single" and shape["id"]["length"] == 8
        items = shape["layouts"][0]["items"]
        assert len(items) == ITEMS and items[0] == {"item": 1, "question": 11, "options": "ABCDE"}
        sheet = draw(setup, [ids[3]], seed=9)[0]
        typed = "".join(a if len(a) == 1 else "-" if a == "" else "(" + a + ")" for a in sheet.answers)
        events = Events(office, setup.query)
        status, body = office.post("/api/typed?" + setup.query,
                                   {"id": sheet.student, "answers": typed.lower(), "author": "Zoë Ng"})
        assert status == 201, body
        stored = body["sheet"]
        assert stored["source"] == "typed" and stored["author"] == "Zoë Ng"
        assert stored["total"] == pytest.approx(setup.score(sheet.answers))
        name, event = events.until(lambda e: len(e) > 0)[0]
        events.close()
        assert name == "sheet" and event["sheet"] == stored["sheet"] and event["author"] == "Zoë Ng"
        # The command line types the same sheet alike (a second sheet of that student).
        done = run(OMRCTL, "exam", "type", str(setup.path), "--id", sheet.student, "--answers", typed,
                   "--by", "Bo Li")
        assert "typed by Bo Li" in done.stdout
        review = office.get(f"/api/sheets/2?{setup.query}")[1]
        assert review["source"] == "typed" and review["author"] == "Bo Li" and review["picture"] is None
        assert review["total"] == pytest.approx(setup.score(sheet.answers))
        assert "duplicate-id" in {r["reason"] for r in review["reasons"]}
        status_json = json.loads(run(OMRCTL, "exam", "status", str(setup.path), "--json").stdout)
        assert status_json["typed"] == 2
        # Shown as typed in the exports' sheet table.
        csv_path = tmp_path / "sheets.csv"
        run(OMRCTL, "exam", "export", str(setup.path), "--csv", str(csv_path), "--sheets")
        import csv
        rows = list(csv.DictReader(open(csv_path, encoding="utf-8")))
        assert [(r["source"], r["typed_by"]) for r in rows] == [("typed", "Zoë Ng"), ("typed", "Bo Li")]
        # What does not fit is refused with its place, and nothing is stored.
        for body, words in (
                ({"id": sheet.student, "answers": typed[:-1], "author": "A"}, "59 typed, the exam has 60"),
                ({"id": sheet.student, "answers": "F" + typed[1:], "author": "A"}, "not one of its options"),
                ({"id": "123", "answers": typed, "author": "A"}, "id:"),
                ({"id": sheet.student, "answers": typed, "author": ""}, "author")):
            status, answer = office.post("/api/typed?" + setup.query, body)
            assert status == 400 and words in answer["error"], (body, answer)
        bad = subprocess.run([OMRCTL, "exam", "type", str(setup.path), "--id", sheet.student, "--answers",
                              typed + "(AB", "--by", "A"], capture_output=True, text=True)
        assert bad.returncode != 0 and "without its" in bad.stderr
        assert len(project_sheets(setup.path)) == 2
    finally:
        office.stop()


def test_every_reading_route_needs_the_office_token(setup):
    office = Office(setup.place)
    q = setup.query
    rows = [("GET", "/api/readers", None), ("GET", "/api/reading?" + q, None),
            ("GET", "/api/reading/progress?" + q, None), ("GET", "/api/reading/events?" + q, None),
            ("POST", "/api/reading/start?" + q, {"port": "/dev/null", "station": "x"}),
            ("POST", "/api/reading/stop?" + q, {"station": 1}), ("GET", "/api/typed?" + q, None),
            ("POST", "/api/typed?" + q, {"id": "1", "answers": "A", "author": "x"})]
    try:
        for method, path, body in rows:
            for token, want in ((None, 401), (office.reviewer, 403)):
                if method == "POST":
                    status, _, _ = office.request("POST", path, json.dumps(body).encode(), token=token,
                                                  headers={"Content-Type": "application/json"})
                else:
                    status, _, _ = office.request("GET", path, token=token)
                assert status == want, (path, token is None, status)
        assert len(project_sheets(setup.path)) == 0
    finally:
        office.stop()
