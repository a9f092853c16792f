"""The office's API against `omrctl office`: where it keeps exams, what each
token opens, names that are never paths, and an exam made, checked and
edited from what a page sends."""

from __future__ import annotations

import http.client
import json
import os
import stat
import subprocess
from pathlib import Path

import pytest

from office_support import EXAMPLES, Office, b64, exam_query, need_programs, run, OMRCTL

EXAM = EXAMPLES / "exam60.exam.json"


@pytest.fixture(scope="module")
def office(tmp_path_factory):
    need_programs()
    place = tmp_path_factory.mktemp("place")
    run(OMRCTL, "exam", "new", str(place / "final.omrexam"), "--exam", str(EXAM), "--by", "office")
    server = Office(place)
    yield server
    server.stop()


def test_default_folder_is_made_for_its_owner_only(tmp_path):
    need_programs()
    server = Office(None, env={"XDG_DATA_HOME": str(tmp_path / "data")})
    try:
        folder = tmp_path / "data" / "omr" / "office"
        assert server.place == str(folder)
        assert stat.S_IMODE(folder.stat().st_mode) == 0o700
        assert server.get("/api/exams")[1] == {"exams": [], "problems": []}
    finally:
        server.stop()


def test_each_token_opens_what_it_grants(office):
    q = exam_query("final.omrexam", "exam")
    rows = [  # method, path, body, office's status, reviewer's status
        ("GET", "/api/session", None, 200, 200),
        ("GET", "/api/exams", None, 200, 200),
        ("GET", "/api/queue?" + q, None, 200, 200),
        ("GET", "/api/status?" + q, None, 200, 200),
        ("GET", "/api/forms", None, 200, 403),
        ("GET", "/api/exam?" + q, None, 200, 403),
        ("POST", "/api/check/form", {"data": b64(b"")}, 200, 403),
        ("POST", "/api/backup?" + q, {}, 200, 403),
    ]
    for method, path, body, mine, theirs in rows:
        for token, want in ((office.token, mine), (office.reviewer, theirs)):
            status = office.post(path, body, token)[0] if method == "POST" else office.get(path, token)[0]
            assert status == want, (path, token == office.token, status)
    assert office.get("/api/session")[1]["grants"] == ["review", "office"]
    theirs = office.get("/api/session", office.reviewer)[1]
    assert theirs["grants"] == ["review"] and theirs["reviewer_token"] is None and theirs["place"] is None
    assert list((Path(office.place) / "backups").glob("final-*.omrexam"))


def test_names_are_never_paths(office):
    for project in ("../final.omrexam", "/etc/passwd", ".final.omrexam", "sub/final.omrexam", "nope.omrexam",
                    "final.omrexam\x00x", ""):
        status, body = office.get("/api/queue?" + exam_query(project, "exam"))
        assert status in (400, 404), (project, status, body)
    assert office.get("/api/queue?" + exam_query("final.omrexam", "other"))[0] == 404
    assert office.get("/api/queue")[0] == 400  # no exam named


def test_a_large_upload_is_taken_from_the_office_only(office):
    big = json.dumps({"data": b64(b"# a comment\n" * 80000)}).encode()  # 1.3 MB as sent
    # Only the headers: the reviewer's upload is refused before any of it is read.
    connection = http.client.HTTPConnection("127.0.0.1", office.port, timeout=30)
    connection.putrequest("POST", "/api/check/form")
    for name, value in (("Authorization", "Bearer " + office.reviewer), ("Content-Type", "application/json"),
                        ("Content-Length", str(len(big)))):
        connection.putheader(name, value)
    connection.endheaders()
    assert connection.getresponse().status == 403
    connection.close()
    status, _, body = office.request("POST", "/api/check/form", big, headers={"Content-Type": "application/json"})
    assert status == 200 and json.loads(body)["problems"], body[:200]


def test_an_exam_made_checked_and_edited_from_a_page(office, tmp_path):
    text = EXAM.read_text().replace('"Final exam"', '"Chemistry"').replace("exam60.students.csv", "class.csv")
    roster = b"matric,name\n20240001,Ann Lee\n20240002,Bo Chen\n"
    checked = office.post("/api/check/roster", {"data": b64(roster), "id_column": "matric"})[1]
    assert checked["columns"] == ["matric", "name"] and checked["count"] == 2 and checked["problems"] == []
    assert checked["stored"].splitlines()[0] == "id,name"
    bad = office.post("/api/check/roster", {"data": b64(b"id,name\n1,a\n1,b\n")})[1]
    assert bad["problems"] and bad["problems"][0]["line"] == 3, bad

    wrong = text.replace('"key": "CCEB', '"key": "FCEB')
    assert wrong != text
    problems = office.post("/api/check/exam", {"exam": wrong, "form": {"name": "exam60.form"}})[1]["problems"]
    assert problems and problems[0]["pointer"] == "/key" and problems[0]["line"] > 1, problems
    assert office.post("/api/check/exam", {"exam": text, "form": {"name": "exam60.form"}})[1]["problems"] == []

    made = {"name": "Chemistry 2026", "exam": text, "author": "Ann Lee", "form": {"name": "exam60.form"},
            "roster": {"name": "class.csv", "data": b64(roster), "id_column": "matric"}}
    status, where = office.post("/api/exams", made)
    assert status == 201, where
    assert where == {"project": "Chemistry-2026.omrexam", "exam": "Chemistry 2026"}
    assert office.post("/api/exams", made)[1]["project"] == "Chemistry-2026-2.omrexam"  # never over a file
    listed = {e["project"]: e for e in office.get("/api/exams")[1]["exams"]}
    chem = listed["Chemistry-2026.omrexam"]
    assert (chem["title"], chem["roster"], chem["missing"], chem["sheets"], chem["editable"]) == \
        ("Chemistry", 2, 2, 0, True)

    q = exam_query(where["project"], where["exam"])
    kept = office.get("/api/exam?" + q)[1]
    assert kept["roster_text"].startswith("id,name\n") and kept["form_name"] == "exam60.form"
    edited = dict(made, exam=text.replace('"Chemistry"', '"Chemistry, second sitting"'))
    del edited["name"]
    assert office.post("/api/exam?" + q, edited)[1]["revision"] == 2
    chem = lambda: {e["project"]: e for e in office.get("/api/exams")[1]["exams"]}[where["project"]]
    assert chem()["title"] == "Chemistry, second sitting"

    # Once a sheet is there, the exam is changed by its keys only.
    run(OMRCTL, "exam", "import", os.path.join(office.place, where["project"]), str(EXAMPLES / "exam60.grid"))
    status, refused = office.post("/api/exam?" + q, edited)
    assert status == 400 and "has sheets" in refused["error"]
    assert chem()["sheets"] == 1 and not chem()["editable"]


def test_keys_and_results_routes_refuse_what_they_must(office, tmp_path):
    """Every Keys and Results route: no token or a wrong one, the reviewers' token, and malformed requests."""
    q = exam_query("final.omrexam", "exam")
    routes = [("GET", "/api/keys?" + q, None), ("POST", "/api/rekey?" + q, {"item": 1, "key": "A", "dry_run": True}),
              ("GET", "/api/keyfixes?" + q, None), ("GET", "/api/stats?" + q, None), ("GET", "/api/downloads?" + q, None),
              ("GET", "/api/download/students.csv?" + q, None), ("GET", "/api/progress?" + q, None)]
    for method, path, body in routes:
        for token, want in ((None, 401), ("0" * 64, 401), (office.reviewer, 403)):
            sent = json.dumps(body).encode() if body is not None else None
            status = office.request(method, path, sent, token=token,
                                    headers={"Content-Type": "application/json"} if sent else None)[0]
            assert status == want, (path, token, status)
        assert (office.post(path, body)[0] if method == "POST" else office.get(path)[0]) == 200, path

    revision = office.get("/api/keys?" + q)[1]["revision"]
    refused = [  # body, status, words the message has
        ({"item": 1}, 400, "say how the item changes"),
        ({"key": "A", "dry_run": True}, 400, "item: missing"),
        ({"item": 0, "key": "A", "dry_run": True}, 400, "item: a whole number"),
        ({"item": "1", "key": "A", "dry_run": True}, 400, "item: a whole number"),
        ({"item": 61, "key": "A", "dry_run": True}, 400, "there is no item 61"),
        ({"item": 1, "key": "F", "dry_run": True}, 400, "its options: ABCDE"),
        ({"item": 1, "void": True, "bonus": True, "dry_run": True}, 400, "one of them"),
        ({"item": 1, "key": "A", "void": True, "dry_run": True}, 400, "one of them"),
        ({"item": 1, "void": "yes", "dry_run": True}, 400, "void: true or false"),
        ({"item": 1, "key": "A", "dry_run": "no"}, 400, "dry_run"),
        ({"item": 1, "key": "A", "colour": "red", "dry_run": True}, 400, "unknown field"),
        ({"item": 1, "key": "A"}, 400, "author: missing"),
        ({"item": 1, "key": "A", "author": "Ann"}, 400, "revision: missing"),
        ({"item": 1, "key": "A", "author": "Ann", "revision": revision + 5}, 409, "look at the preview again"),
        ({"item": 20, "key": "A", "dry_run": True}, 400, "all of AC"),
    ]
    for body, want, words in refused:
        status, answer = office.post("/api/rekey?" + q, body)
        assert status == want and words in answer.get("error", ""), (body, status, answer)
    status, _, raw = office.request("POST", "/api/rekey?" + q, b"{not json", headers={"Content-Type": "application/json"})
    assert status == 400 and b"malformed JSON" in raw
    for name in ("nothing.csv", "moodle", "slips-html", "..%2Fstudents.csv", "students.csv.exe"):
        assert office.get(f"/api/download/{name}?" + q)[0] == 404, name
    assert office.get("/api/keys?" + q)[1]["revision"] == revision  # nothing was stored

    # A dry run stores nothing; the same change confirmed is a revision of its own, named in the history.
    dry = office.post("/api/rekey?" + q, {"item": 2, "key": "D", "dry_run": True})[1]
    assert dry["dry_run"] is True and dry["revision"] is None and dry["revision_before"] == revision
    done = office.post("/api/rekey?" + q, {"item": 2, "key": "D", "author": "Ann Lee", "revision": revision})[1]
    assert done["revision"] == revision + 1 and done["note"] == "item 2: key D"
    keys = office.get("/api/keys?" + q)[1]
    assert keys["items"][1]["key"] == "D" and keys["history"][0]["author"] == "Ann Lee"
    assert keys["history"][0]["keys"]["key"][1] == "D" and keys["history"][1]["keys"]["key"][1] == "C"
    # No step is running once the answers are in: none is left behind for the pages to show.
    assert office.get("/api/progress?" + q) == (200, {"step": None, "done": 0, "total": 0})


def test_a_platforms_file_without_a_roster_is_offered_as_unavailable(tmp_path):
    """An exam without a roster: the page lists each platform's file with the reason the command line
    gives, and the file is refused with the same words; the other downloads stay offered."""
    need_programs()
    exam = tmp_path / "bare.exam.json"
    exam.write_text(json.dumps({"title": "No roster", "form": str(EXAMPLES / "exam60.form"),
                                "student": {"questions": "1-8"}, "items": "11-70", "key": "C" * 60}))
    (tmp_path / "place").mkdir()
    project = tmp_path / "place" / "bare.omrexam"
    run(OMRCTL, "exam", "new", str(project), "--exam", str(exam), "--by", "office")
    server = Office(tmp_path / "place")
    try:
        q = exam_query("bare.omrexam", "exam")
        listed = {d["id"]: d["problem"] for d in server.get("/api/downloads?" + q)[1]}
        assert [i for i, why in listed.items() if why is None] == [
            "students.csv", "sheets.csv", "items.csv", "results.xlsx", "results.json", "slips.pdf", "slips.zip"]
        for platform in ("moodle", "canvas", "blackboard", "brightspace"):
            why = listed[platform + ".csv"]
            done = subprocess.run([OMRCTL, "exam", "export", str(project), "--lms", platform, str(tmp_path / "x.csv")],
                                  capture_output=True, text=True, timeout=60)
            assert done.returncode != 0 and "has no roster" in why and why in done.stderr, (why, done.stderr)
            status, answer = server.get(f"/api/download/{platform}.csv?" + q)
            assert status >= 400 and answer["error"] == why, (status, answer)
        assert not (tmp_path / "x.csv").exists()
    finally:
        server.stop()


def test_a_roster_in_another_character_set(office):
    gbk = "学号,姓名\n20240001,李雷\n".encode("gbk")
    asked = office.post("/api/check/roster", {"data": b64(gbk)})[1]
    assert asked["stored"] is None and asked["problems"][0]["line"] == 1 and "GBK" in asked["problems"][0]["message"]
    read = office.post("/api/check/roster", {"data": b64(gbk), "encoding": "gbk", "id_column": "学号"})[1]
    assert read["problems"] == [] and read["stored"] == "id,姓名\n20240001,李雷\n"
    unknown = office.post("/api/check/roster", {"data": b64(gbk), "encoding": "klingon"})[1]
    assert "not a character set" in unknown["problems"][0]["message"]


def test_writes_through_the_office_survive_the_command_line_on_the_same_project(office, tmp_path):
    """The server keeps the project open; a command run on it meanwhile (which opens and closes it) must
    not take the server's writes away (a WAL deleted under the server's connection loses them)."""
    q = exam_query("final.omrexam", "exam")
    project = os.path.join(office.place, "final.omrexam")
    for round_ in range(3):
        revision = office.get("/api/keys?" + q)[1]["revision"]
        run(OMRCTL, "exam", "status", project)  # opens and closes the project in another process
        key = "ABE"[round_]
        done = office.post("/api/rekey?" + q, {"item": 3, "key": key, "author": "Ann", "revision": revision})[1]
        assert done.get("revision") == revision + 1, done
        status = json.loads(run(OMRCTL, "exam", "status", project, "--json").stdout)
        assert status["revision"] == revision + 1, (round_, status)


def test_numbers_beyond_a_double_a_journal_left_and_a_damaged_project_are_named(office):
    place = Path(office.place)
    text = EXAM.read_text().replace("exam60.students.csv", "class.csv")
    huge = text.replace('"wrong": -0.25', '"wrong": -1e400')
    assert huge != text
    problems = office.post("/api/check/exam", {"exam": huge, "form": {"name": "exam60.form"}})[1]["problems"]
    assert [(p["pointer"], p["line"], p["column"]) for p in problems] == [("/scoring/wrong", 18, 28)], problems
    assert "the number -1e400 is beyond" in problems[0]["message"]
    made = {"name": "Leftover", "exam": text, "author": "Ann", "form": {"name": "exam60.form"},
            "roster": {"name": "class.csv", "data": b64(b"id,name\n20240001,Ann Lee\n")}}
    status, refused = office.post("/api/exams", dict(made, exam=huge))
    assert status == 400 and any("/scoring/wrong: the number -1e400" in line for line in refused["lines"]), refused

    # A new exam never deletes a journal left under its file's name.
    journal = place / "Leftover.omrexam-wal"
    journal.write_bytes(b"the last sheets of a project that was here")
    try:
        status, refused = office.post("/api/exams", made)
        assert status >= 400 and "Leftover.omrexam-wal is there" in refused["error"], refused
        assert journal.read_bytes() == b"the last sheets of a project that was here"
        assert not (place / "Leftover.omrexam").exists()
    finally:
        journal.unlink()

    # A damaged project is not opened to be written into.
    damaged = place / "damaged.omrexam"
    data = (place / "final.omrexam").read_bytes()
    damaged.write_bytes(data[:len(data) // 2])
    try:
        status, answer = office.get("/api/queue?" + exam_query("damaged.omrexam", "exam"))
        assert status == 500 and "damaged.omrexam is damaged" in answer["error"], answer
        assert damaged.read_bytes() == data[:len(data) // 2]
    finally:
        damaged.unlink()
