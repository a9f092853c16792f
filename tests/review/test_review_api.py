"""The review server's JSON API against `omrctl exam serve`: every endpoint
with bad input (refused with a status and a message, nothing stored), SQL and
HTML in names and reasons (stored and given back as they were), corrections by
two reviewers, undo, the queue's order and counts, the picture's geometry.
"""

from __future__ import annotations

import json
import re
import sqlite3
import struct
import subprocess
import sys
import time
import urllib.parse
import zlib
from datetime import datetime, timedelta
from typing import List, Tuple

import pytest

import review_support as rs

sys.path.insert(0, str(rs.SOURCE / "bindings" / "python"))
import omr  # noqa: E402

DOUBLE, UNKNOWN, REFUSED, COUNT = 2, 3, 6, 8
PLANTS = {(DOUBLE, 15): "[1,3]", (4, 30): "."}


@pytest.fixture(scope="module")
def exam(tmp_path_factory: pytest.TempPathFactory) -> rs.Exam:
    rs.need_programs()
    return rs.make_exam(tmp_path_factory.mktemp("api"), COUNT, PLANTS, {UNKNOWN: "99990003"}, refused=(REFUSED,))


@pytest.fixture(scope="module")
def server(exam: rs.Exam):
    s = rs.Server(exam.path)
    yield s
    s.stop()


def rows(exam: rs.Exam, sql: str) -> List[tuple]:
    db = sqlite3.connect(f"file:{exam.path}?mode=ro", uri=True)
    try:
        return db.execute(sql).fetchall()
    finally:
        db.close()


def corrections(exam: rs.Exam) -> List[tuple]:
    return rows(exam, "SELECT s.number, c.target, c.old_value, c.new_value, c.author, c.reason, c.undoes "
                      "FROM corrections c JOIN sheets s ON s.id = c.sheet_id ORDER BY c.id")


BAD_GETS = [
    ("/api/sheets/0", 400, "sheet: a whole number from 1"),
    ("/api/sheets/abc", 400, "sheet: a whole number"),
    ("/api/sheets/", 400, "sheet: a whole number"),
    ("/api/sheets/1234567890", 400, "sheet: a whole number"),
    ("/api/sheets/99", 404, "there is no sheet 99"),
    ("/api/sheets/1?x=1", 400, "unknown parameter"),
    (f"/api/sheets/{REFUSED}/picture", 404, "kept no grid"),
    ("/api/sheets/99/picture", 404, "there is no sheet 99"),
    ("/api/queue?reason=bogus", 400, "reason: one of"),
    ("/api/queue?reason=%3Cscript%3E", 400, "reason: one of"),
    ("/api/queue?limit=0", 400, "limit: a whole number from 1 to 1000"),
    ("/api/queue?limit=1001", 400, "limit"),
    ("/api/queue?offset=-1", 400, "offset"),
    ("/api/queue?limit=1&limit=2", 400, "more than once"),
    ("/api/queue?sort=name", 400, "unknown parameter"),
    ("/api/queue?by=", 400, "by: a name of 1 to 200 bytes"),
    ("/api/queue?by=" + "B" * 201, 400, "by: a name of 1 to 200 bytes"),
    ("/api/queue?by=A%00B", 400, "by: a NUL byte"),
    ("/api/queue?by=Ann&by=Bo", 400, "more than once"),
    ("/api/roster?q=" + "9" * 65, 400, "q: longer than 64 bytes"),
    ("/api/status?x=1", 400, "unknown parameter"),
    ("/api/nothing", 404, "there is nothing at"),
    ("/api", 404, "there is nothing at"),
    ("/api/sheets/1/cells", 404, "there is nothing at"),
]


@pytest.mark.parametrize("path,status,says", BAD_GETS)
def test_bad_requests_are_refused_with_a_message(server: rs.Server, path: str, status: int, says: str) -> None:
    got, headers, body = server.request("GET", path)
    assert got == status, body
    assert headers["content-type"] == "application/json"
    assert says in json.loads(body)["error"]


def test_outside_the_api_nothing_is_served_but_the_page(server: rs.Server) -> None:
    for path, status in (("/nothing", 404), ("/index.html", 404), ("/../../etc/passwd", 404), ("/", 200),
                         ("/review.js", 200), ("/review.css", 200)):
        got, headers, body = server.request("GET", path)
        assert got == status, path
        assert headers["x-content-type-options"] == "nosniff"
        assert "script-src 'self'" in headers["content-security-policy"]
    assert server.request("POST", "/api/queue", b"{}", headers={"Content-Type": "application/json"})[0] == 404
    assert server.request("GET", "/api/sheets/" + "9" * 10000)[0] == 414  # the address itself is too long


GOOD = {"sheet": DOUBLE, "target": "15", "value": "C", "author": "Ann", "reason": ""}
BAD_CORRECTIONS = [
    ({**GOOD, "sheet": 0}, "sheet: a whole number"),
    ({**GOOD, "sheet": "2"}, "sheet: a whole number"),
    ({**GOOD, "sheet": 2.5}, "sheet: a whole number"),
    ({**GOOD, "sheet": 99}, "there is no sheet 99"),
    ({**GOOD, "target": "200"}, "question 200 is not used by the exam"),
    ({**GOOD, "target": "9"}, "question 9 is not used by the exam"),
    ({**GOOD, "target": "0"}, "not a question number"),
    ({**GOOD, "target": "x" * 17}, "target: longer than 16 bytes"),
    ({**GOOD, "value": "F"}, "\"F\" is not a set of options of question 15"),
    ({**GOOD, "value": "A;DROP"}, "is not a set of options"),
    ({k: v for k, v in GOOD.items() if k != "value"}, "value: missing"),
    ({**GOOD, "value": 5}, "value: must be a text"),
    ({**GOOD, "value": None}, "no correction of 15 to withdraw"),
    ({**GOOD, "author": ""}, "say who corrects"),
    ({**GOOD, "author": "A" * 201}, "author: longer than 200 bytes"),
    ({k: v for k, v in GOOD.items() if k != "author"}, "author: missing"),
    ({**GOOD, "author": "A\u0000B"}, "NUL"),
    ({**GOOD, "author": "Ann\tBo"}, "a name cannot hold a line break, a tab"),
    ({**GOOD, "reason": "R" * 2001}, "reason: longer than 2000 bytes"),
    ({**GOOD, "reason": "R" * 60000}, "reason: longer than 2000 bytes"),
    ({**GOOD, "extra": 1}, "unknown field"),
    ({**GOOD, "target": "id", "value": "12 34"}, "without blanks"),
    ({**GOOD, "target": "id", "value": "#20251429"}, "a student ID of this exam is 8 characters, each one of 0-9"),
    ({**GOOD, "target": "id", "value": "ABCDEFGH"}, "\"A\" at position 1, where only 0-9 can be"),
    ({**GOOD, "target": "id", "value": "2025142"}, "\"2025142\" has 7 characters"),
    ({**GOOD, "target": "version", "value": "B"}, "one version only"),
    ({**GOOD, "target": "sheet", "value": "gone"}, "\"void\""),
    ({**GOOD, "target": "3", "value": "12"}, "one character"),
]




RAW_BODIES = [
    (b"{", "application/json", 400, "malformed JSON"),
    (b'{"sheet": 2', "application/json", 400, "malformed JSON"),
    (b"\xff\xfe{}", "application/json", 400, "malformed JSON"),
    (b'{"sheet": "\xc3\x28"}', "application/json", 400, "malformed JSON"),  # not UTF-8
    (b"[1, 2]", "application/json", 400, "a JSON object"),
    (b'{"reason": [[[[[[[[[["deep"]]]]]]]]]]}', "application/json", 400, "nested too deep"),
    (b"[" * 30000 + b"]" * 30000, "application/json", 400, "nested too deep"),
    (json.dumps(GOOD).encode(), "text/plain", 415, "application/json"),
    (json.dumps(GOOD).encode(), "application/x-www-form-urlencoded", 415, "application/json"),
    (b" " * (64 * 1024 + 1), "application/json", 413, "larger than 64 KB"),
]


@pytest.mark.parametrize("body,content_type,status,says", RAW_BODIES)
@pytest.mark.parametrize("path", ["/api/corrections", "/api/undo", "/api/claims"])
def test_malformed_bodies_are_refused(exam: rs.Exam, server: rs.Server, path: str, body: bytes, content_type: str,
                                      status: int, says: str) -> None:
    before = corrections(exam)
    got, headers, answer = server.request("POST", path, body, headers={"Content-Type": content_type})
    assert got == status, answer
    assert says in json.loads(answer)["error"]
    assert corrections(exam) == before


def test_without_the_token_nothing_is_reached(exam: rs.Exam, server: rs.Server) -> None:
    before = corrections(exam)
    for token in (None, "0" * 64, server.token[:-1], server.token + "0", ""):
        sent = None if token is None else token or "x"
        for method, path, body in (("GET", "/api/queue", None), ("GET", "/api/sheets/1", None),
                                   ("POST", "/api/corrections", json.dumps(GOOD).encode()),
                                   ("POST", "/api/claims", json.dumps({"sheet": 1, "by": "Ann"}).encode()),
                                   ("POST", "/api/corrections", b"x" * 100000)):
            status, headers, answer = server.request(method, path, body, token=sent,
                                                     headers={"Content-Type": "application/json"})
            assert status == 401, (token, path)
            assert "access token" in json.loads(answer)["error"]
    assert corrections(exam) == before


RELEASE = json.dumps({"sheet": 1, "by": "Attack", "release": True}).encode()
# (what, method, path, headers, body, token sent: "" the right one / None none / text, status, says)
ATTACKS = [
    ("open redirect", "GET", "//evil.example/?token={T}", {}, None, None, 400, "never goes in an address"),
    ("open redirect with the token", "GET", "//evil.example/", {}, None, "", 404, "there is nothing at"),
    ("token in an API address", "GET", "/api/queue?token={T}", {}, None, None, 400, "never goes in an address"),
    ("token in an API address too", "GET", "/api/queue?token={T}", {}, None, "", 400, "never goes in an address"),
    ("token in the report's address", "GET", "/report?token={T}", {}, None, None, 400, "never goes in an address"),
    ("token in a cookie", "GET", "/api/queue", {"Cookie": "omr_review_{P}={T}; token={T}"}, None, None, 401,
     "access token"),
    ("token as basic credentials", "GET", "/api/queue", {"Authorization": "Basic {T}"}, None, None, 401,
     "access token"),
    ("two tokens", "GET", "/api/queue", {"Authorization": "Bearer x"}, None, "", 400, "more than once"),
    ("DNS rebinding", "GET", "/api/queue", {"Host": "evil.example:{P}"}, None, "", 421, "loopback names only"),
    ("another port", "GET", "/api/queue", {"Host": "127.0.0.1:1"}, None, "", 421, "loopback names only"),
    ("a loopback name", "GET", "/api/queue", {"Host": "localhost:{P}"}, None, "", 200, None),
    ("an IPv6 loopback name", "GET", "/api/queue", {"Host": "[::1]:{P}"}, None, "", 200, None),
    ("a write from another origin", "POST", "/api/claims", {"Origin": "http://evil.example"}, RELEASE, "", 403,
     "another origin"),
    ("a write from a sandbox", "POST", "/api/claims", {"Origin": "null"}, RELEASE, "", 403, "another origin"),
    ("a write from another site", "POST", "/api/claims", {"Sec-Fetch-Site": "cross-site"}, RELEASE, "", 403,
     "another site"),
    ("a write from the page", "POST", "/api/claims", {"Origin": "http://127.0.0.1:{P}", "Sec-Fetch-Site":
                                                      "same-origin"}, RELEASE, "", 200, None),
    ("too many header lines", "GET", "/api/queue", {f"X-Line-{i}": "1" for i in range(70)}, None, "", 431,
     "header lines"),
    ("a header too large", "GET", "/api/queue", {"X-Large": "a" * 40000}, None, "", 431, "too big"),
    ("JSON by prefix", "POST", "/api/claims", {"Content-Type": "application/jsonx"}, RELEASE, "", 415,
     "application/json"),
    ("JSON in another charset", "POST", "/api/claims", {"Content-Type": "application/json; charset=latin1"},
     RELEASE, "", 415, "application/json"),
    ("JSON in UTF-8", "POST", "/api/claims", {"Content-Type": "Application/JSON; charset=\"UTF-8\""}, RELEASE, "",
     200, None),
]


@pytest.mark.parametrize("what,method,path,headers,body,token,status,says", ATTACKS, ids=[a[0] for a in ATTACKS])
def test_attacks_on_the_token_host_origin_and_content_type(exam: rs.Exam, server: rs.Server, what: str, method: str,
                                                           path: str, headers: dict, body: bytes, token, status: int,
                                                           says: str) -> None:
    before = corrections(exam)
    fill = lambda text: text.replace("{T}", server.token).replace("{P}", str(server.port))  # noqa: E731
    sent = {"Content-Type": "application/json", **{k: fill(v) for k, v in headers.items()}}
    if token == "" and "Authorization" in headers:  # the right token and another one
        sent["authorization"] = "Bearer " + server.token
        token = None
    got, answer_headers, answer = server.request(method, fill(path), body, token=token, headers=sent)
    assert got == status, answer
    if says:
        assert says in answer.decode()
    assert "location" not in answer_headers and "set-cookie" not in answer_headers
    assert corrections(exam) == before


def test_a_ticket_opens_the_report_once(server: rs.Server) -> None:
    status, answer = server.post_json("/api/tickets", {"path": "/report"})
    assert status == 200 and answer["url"] == "/report?ticket=" + answer["ticket"]
    assert server.request("GET", answer["url"].replace("report", "api/queue"), token=None)[0] == 401
    assert server.request("GET", answer["url"], token=None)[0] == 200
    assert server.request("GET", answer["url"], token=None)[0] == 401  # spent
    assert server.post_json("/api/tickets", {"path": "/api/queue"})[0] == 400
    assert server.post_json("/api/tickets", {"path": "/report"}, token=None)[0] == 401


def claims(exam: rs.Exam) -> List[tuple]:
    return rows(exam, "SELECT s.number, c.holder FROM claims c JOIN sheets s ON s.id = c.sheet_id ORDER BY s.number")


BAD_CLAIMS = [
    ({"sheet": 0, "by": "Ann"}, "sheet: a whole number"),
    ({"sheet": "1", "by": "Ann"}, "sheet: a whole number"),
    ({"sheet": 99, "by": "Ann"}, "there is no sheet 99"),
    ({"sheet": 1}, "by: missing"),
    ({"sheet": 1, "by": ""}, "by: a name of 1 to 200 bytes"),
    ({"sheet": 1, "by": "A" * 201}, "by: longer than 200 bytes"),
    ({"sheet": 1, "by": 7}, "by: must be a text"),
    ({"sheet": 1, "by": "A\u0000B"}, "by: a NUL byte"),
    ({"sheet": 1, "by": "Ann\nBo"}, "by: a name cannot hold a line break"),
    ({"sheet": 1, "by": "Ann", "release": "yes"}, "release: true or false"),
    ({"sheet": 1, "by": "Ann", "hold": 5}, "unknown field"),
]


@pytest.mark.parametrize("path,body,says", [("/api/corrections", b, w) for b, w in BAD_CORRECTIONS] +
                         [("/api/claims", b, w) for b, w in BAD_CLAIMS])
def test_posts_that_do_not_fit_are_refused(exam: rs.Exam, server: rs.Server, path: str, body: dict,
                                           says: str) -> None:
    stored = corrections if path == "/api/corrections" else claims
    before = stored(exam)
    status, answer = server.post_json(path, body)
    assert status == (404 if says.startswith("there is no sheet") else 400), answer
    assert says in answer["error"]
    assert stored(exam) == before


def held_by(server: rs.Server, who: str) -> dict:
    query = urllib.parse.urlencode({"by": who})
    return {e["sheet"]: e["held_by"] for e in server.get_json(f"/api/queue?{query}")["entries"]}


def test_two_reviewers_claiming_one_sheet_and_two_servers_on_one_project(exam: rs.Exam, server: rs.Server) -> None:
    """Ann and Bo on one server, then Cy on a second `exam serve` of the same file with
    a two-second hold: each sees the others' claims, and Cy's lapses."""
    ann = "Ann'); DELETE FROM claims;--"
    status, answer = server.post_json("/api/claims", {"sheet": UNKNOWN, "by": ann})
    assert status == 200 and (answer["held_by"], answer["yours"], answer["hold"]) == (ann, True, 300)
    # Bo is told who has it; nothing changes.
    status, answer = server.post_json("/api/claims", {"sheet": UNKNOWN, "by": "Bo"})
    assert status == 200 and (answer["held_by"], answer["yours"]) == (ann, False)
    assert (UNKNOWN, ann) in claims(exam)
    # The queue names the holder to others, not to her.
    assert held_by(server, "Bo")[UNKNOWN] == ann
    assert held_by(server, ann)[UNKNOWN] is None
    assert server.get_json("/api/queue")["entries"][0]["held_by"] in (None, ann)
    # Opening another sheet gives the first back; releasing someone else's claim does nothing.
    status, answer = server.post_json("/api/claims", {"sheet": DOUBLE, "by": ann})
    assert status == 200 and answer["yours"]
    assert server.post_json("/api/claims", {"sheet": UNKNOWN, "by": "Bo"})[1]["yours"]
    assert server.post_json("/api/claims", {"sheet": UNKNOWN, "by": ann, "release": True}) == \
        (200, {"sheet": UNKNOWN, "released": True})
    assert [(h["sheet"], h["by"]) for h in server.get_json("/api/status")["held"]] == [(DOUBLE, ann), (UNKNOWN, "Bo")]
    status, _ = server.post_json("/api/claims", {"sheet": UNKNOWN, "by": "Bo", "release": True})
    assert status == 200 and claims(exam) == [(DOUBLE, ann)]

    other = rs.Server(exam.path, "--hold", "2")
    try:
        assert server.post_json("/api/claims", {"sheet": 1, "by": "Bo"})[1]["yours"]
        status, answer = other.post_json("/api/claims", {"sheet": 1, "by": "Cy"})
        assert status == 200 and (answer["held_by"], answer["yours"]) == ("Bo", False)
        assert held_by(other, "Cy").get(DOUBLE) == ann
        started = time.monotonic()
        status, answer = other.post_json("/api/claims", {"sheet": 4, "by": "Cy"})
        assert status == 200 and answer["yours"] and answer["hold"] == 2
        since, expires = (datetime.strptime(answer[k], "%Y-%m-%dT%H:%M:%S.%fZ") for k in ("since", "expires"))
        assert expires - since == timedelta(seconds=2)
        assert not server.post_json("/api/claims", {"sheet": 4, "by": "Bo"})[1]["yours"]
        time.sleep(max(0.0, started + 2.3 - time.monotonic()))
        # Lapsed: Bo takes it (giving sheet 1 back), and the lapsed claim is gone from status.
        assert server.post_json("/api/claims", {"sheet": 4, "by": "Bo"})[1]["yours"]
        assert [(h["sheet"], h["by"]) for h in other.get_json("/api/status")["held"]] == [(DOUBLE, ann), (4, "Bo")]
        assert other.post_json("/api/claims", {"sheet": 1, "by": "Cy"})[1]["yours"]
    finally:
        other.stop()
    for who in (ann, "Cy", "Bo"):
        server.post_json("/api/claims", {"sheet": 1, "by": who, "release": True})
    for sheet, who in ((DOUBLE, ann), (4, "Bo")):
        server.post_json("/api/claims", {"sheet": sheet, "by": who, "release": True})
    assert claims(exam) == []
    assert "open in review         0" in rs.run(rs.OMRCTL, "exam", "status", str(exam.path)).stdout


def test_sql_and_html_in_names_and_reasons_are_stored_as_text(exam: rs.Exam, server: rs.Server) -> None:
    name = "Robert'); DROP TABLE corrections;-- <b>"
    reason = "<script>alert('x')</script> & \"quotes\" Zoë " + "é" * 600
    status, answer = server.post_json("/api/corrections", {**GOOD, "sheet": 4, "target": "30", "value": "-",
                                                           "author": name, "reason": reason})
    assert status == 200, answer
    assert (answer["correction"]["author"], answer["correction"]["reason"]) == (name, reason)
    assert corrections(exam)[-1] == (4, "30", "", "", name, reason, None)
    shown = server.get_json("/api/sheets/4")["corrections"][-1]
    assert (shown["author"], shown["reason"], shown["state"]) == (name, reason, "counts")
    # The shape a typed ID must have, for the page to check as it is typed (8 weighted digits).
    shape = server.get_json("/api/sheets/4")["exam"]["id_shape"]
    assert (shape["length"], shape["pattern"], shape["characters"]) == (8, "^[0123456789]{8}$", ["0123456789"] * 8)


def test_two_reviewers_corrections_are_both_kept_the_later_counting(exam: rs.Exam, server: rs.Server) -> None:
    sheet = server.get_json(f"/api/sheets/{DOUBLE}")
    q15 = next(q for q in sheet["questions"] if q["question"] == 15)
    assert (q15["read"], q15["reasons"]) == ("AC", ["multiple", "doubtful"])
    key = exam.key[15 - rs.FIRST_ITEM]
    wrong = next(o for o in rs.OPTIONS if o != key)
    for who, value in (("Ann", wrong), ("Bo", key.lower())):  # lower case stands for the label
        status, answer = server.post_json("/api/corrections", {**GOOD, "value": value, "author": who})
        assert status == 200, answer
    assert answer["score"]["reasons"] == []
    mine = [c for c in corrections(exam) if c[0] == DOUBLE]
    assert [(c[2], c[3], c[4]) for c in mine] == [("AC", wrong, "Ann"), (wrong, key, "Bo")]
    sheet = server.get_json(f"/api/sheets/{DOUBLE}")
    assert [c["state"] for c in sheet["corrections"]] == ["overridden", "counts"]
    q15 = next(q for q in sheet["questions"] if q["question"] == 15)
    assert (q15["value"], q15["reasons"]) == (key, [])
    drawn = exam.sheet(DOUBLE).marked
    expected = sum(1 for i, m in enumerate(drawn) if (key if i == 15 - rs.FIRST_ITEM else m) == exam.key[i])
    assert sheet["total"] == expected

    # Undo: Bo's correction goes, Ann's counts again; an undo is never undone twice.
    bo_id = sheet["corrections"][-1]["id"]
    ann_id = sheet["corrections"][-2]["id"]
    cases = [({"sheet": DOUBLE, "correction": 99999, "author": "Bo"}, "has no correction 99999"),
             ({"sheet": UNKNOWN, "correction": bo_id, "author": "Bo"}, f"has no correction {bo_id}"),
             ({"sheet": DOUBLE, "correction": ann_id, "author": "Bo"}, "undo that one first"),
             ({"sheet": DOUBLE, "correction": "1", "author": "Bo"}, "correction: a whole number"),
             ({"sheet": DOUBLE, "correction": bo_id}, "author: missing")]
    for body, says in cases:
        status, answer = server.post_json("/api/undo", body)
        assert status == 400 and says in answer["error"], (body, answer)
    status, answer = server.post_json("/api/undo", {"sheet": DOUBLE, "correction": bo_id, "author": "Bo"})
    assert status == 200, answer
    assert (answer["correction"]["old"], answer["correction"]["new"], answer["correction"]["undoes"]) == \
        (key, wrong, bo_id)
    undo_id = answer["correction"]["id"]
    for again, says in ((bo_id, "undone already"), (undo_id, "is an undo itself")):
        status, answer = server.post_json("/api/undo", {"sheet": DOUBLE, "correction": again, "author": "Bo"})
        assert status == 400 and says in answer["error"]
    sheet = server.get_json(f"/api/sheets/{DOUBLE}")
    assert next(q for q in sheet["questions"] if q["question"] == 15)["value"] == wrong
    assert sheet["corrections"][1]["undone_by"] == undo_id
    with omr.Exam(exam.path) as project:  # the Python package reads the undo too
        assert (project.corrections[-1].id, project.corrections[-1].undoes) == (undo_id, bo_id)
    # Ann's correction, now the latest that is not undone, can be undone: the reading is back.
    status, answer = server.post_json("/api/undo", {"sheet": DOUBLE, "correction": ann_id, "author": "Ann"})
    assert status == 200 and answer["correction"]["new"] is None
    assert {(r["reason"], r["question"]) for r in answer["score"]["reasons"]} == {("multiple", 15), ("doubtful", 15)}


def test_the_queue_orders_filters_and_counts(exam: rs.Exam, server: rs.Server) -> None:
    queue = server.get_json("/api/queue")
    confidences = [e["confidence"] for e in queue["entries"]]
    assert confidences == sorted(confidences)
    assert queue["entries"][0]["sheet"] == REFUSED and confidences[0] == 0  # not read: nothing to trust
    by_sheet = {e["sheet"]: {r["reason"] for r in e["reasons"]} for e in queue["entries"]}
    assert by_sheet[UNKNOWN] == {"unknown-id"} and by_sheet[REFUSED] == {"not-read"}
    for reason, count in queue["counts"].items():
        assert count == sum(reason in r for r in by_sheet.values()), reason
        filtered = server.get_json(f"/api/queue?reason={reason}")
        assert {e["sheet"] for e in filtered["entries"]} == {s for s, r in by_sheet.items() if reason in r}
        assert filtered["matched"] == count
    assert queue["progress"]["waiting"] == len(by_sheet) == queue["matched"]
    assert queue["progress"]["to_review"] >= queue["progress"]["waiting"]
    pages = [server.get_json(f"/api/queue?offset={o}&limit=1")["entries"] for o in range(len(by_sheet) + 1)]
    assert [p[0]["sheet"] for p in pages[:-1]] == [e["sheet"] for e in queue["entries"]] and pages[-1] == []
    # The sheet the roster does not know: the ID typed takes it out of the queue, for good.
    roster = server.get_json("/api/roster?q=2025000")
    assert [m["id"] for m in roster["matches"]][:3] == ["20250001", "20250002", "20250003"]
    assert not roster["exact"] and roster["columns"] == ["name"]
    named = server.get_json("/api/roster?q=o%27NEIL")  # a name, in any case
    assert [(m["id"], m["fields"]["name"]) for m in named["matches"]] == [("20250007", "<b>Zoë</b> & O'Neil")]
    status, answer = server.post_json("/api/corrections", {**GOOD, "sheet": UNKNOWN, "target": "id",
                                                           "value": "20250003", "author": "Ann"})
    assert status == 200 and answer["score"]["student_id"] == "20250003"
    after = server.get_json("/api/queue")
    assert UNKNOWN not in {e["sheet"] for e in after["entries"]}
    assert after["progress"]["reviewed"] == queue["progress"]["reviewed"] + 1
    assert after["progress"]["to_review"] == queue["progress"]["to_review"]


def png_pixels(data: bytes) -> Tuple[int, int, List[bytes]]:
    """An 8-bit RGB, non-interlaced PNG (what the offline library writes) as rows of pixels."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, width, height = 8, b"", 0, 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        chunk = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunk)
            assert (depth, colour, interlace) == (8, 2, 0)
        elif kind == b"IDAT":
            idat += chunk
        at += 12 + length
    raw, rows, stride, previous = zlib.decompress(idat), [], width * 3, bytes(width * 3)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 3] if i >= 3 else 0
            b, c = previous[i], previous[i - 3] if i >= 3 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        previous = line
    return width, height, rows


def test_the_picture_and_where_its_cells_are(server: rs.Server) -> None:
    sheet = server.get_json(f"/api/sheets/{DOUBLE}")
    status, headers, png = server.request("GET", sheet["picture"]["url"])
    assert status == 200 and headers["content-type"] == "image/png"
    width, height, rows = png_pixels(png)
    assert (width, height) == (sheet["picture"]["width"], sheet["picture"]["height"])
    grid = sheet["grid"]
    assert len(grid["cells"]) == grid["lines"] * grid["columns"]
    # Marked cells are filled red in the middle, others are their grey; each
    # cell's grey value is also the grid's at its place.
    checked = 0
    for q in sheet["questions"]:
        for c in q["cells"]:
            x, y = c["x"] + 6, c["y"] + 6
            r, g, b = rows[y][3 * x:3 * x + 3]
            assert (r > 150 and g < 100 and b < 100) == c["marked"], (q["question"], c)
            row = grid["lines"] - c["line"]
            assert int(grid["cells"][row * grid["columns"] + c["column"] - 1], 16) == c["value"]
            checked += 1
    assert checked > 300
    # Asked again with its tag: not sent again.
    status, _, body = server.request("GET", sheet["picture"]["url"], headers={"If-None-Match": headers["etag"]})
    assert status == 304 and body == b""


def test_the_vocabulary_is_the_one_python_reads_and_names_every_reason_given(exam: rs.Exam, server: rs.Server) -> None:
    from omr import _vocabulary
    vocabulary = server.get_json("/api/vocabulary")
    assert vocabulary == _vocabulary.DATA
    codes = {r["code"] for r in vocabulary["reasons"]}
    given = {why[0] for (reasons,) in rows(exam, "SELECT reasons FROM scores") for why in json.loads(reasons)}
    assert given and given <= codes
    assert server.request("GET", "/api/vocabulary", token=None)[0] == 401


def test_the_chinese_catalog_has_the_words_of_every_reason() -> None:
    # The page's catalog names reasons by the words the vocabulary gives them, never by their codes.
    from omr import _vocabulary
    text = (rs.SOURCE / "exam" / "pages" / "text.zh.js").read_text(encoding="utf-8")
    block = text[text.index("reasonWords: {") + len("reasonWords: {"):]
    block = block[:block.index("}")]
    keys = {quoted or bare for quoted, bare in re.findall(r"^ *(?:'([^']+)'|(\w+)):", block, re.M)}
    assert keys == {r["words"] for r in _vocabulary.DATA["reasons"]}


def test_the_report_is_made_at_each_request(server: rs.Server) -> None:
    waiting = server.get_json("/api/queue")["progress"]["waiting"]
    status, headers, body = server.request("GET", "/report")
    assert status == 200 and headers["content-type"].startswith("text/html")
    # Its own inline style and sorting script are let in; nothing from elsewhere.
    assert "script-src 'unsafe-inline'" in headers["content-security-policy"]
    assert "default-src 'none'" in headers["content-security-policy"]
    assert f"Sheets waiting for review ({waiting})" in body.decode()
    status, answer = server.post_json("/api/corrections", {**GOOD, "sheet": REFUSED, "target": "sheet",
                                                           "value": "void", "author": "Ann"})
    assert status == 200, answer
    assert f"Sheets waiting for review ({waiting - 1})" in server.request("GET", "/report")[2].decode()
    assert server.request("GET", "/report?x=1")[0] == 400


def test_listen_addresses_that_cannot_be_used_are_refused(exam: rs.Exam, server: rs.Server) -> None:
    for listen, says in (("nonsense", "ADDRESS:PORT"), ("127.0.0.1:99999", "0 to 65535"), (":8080", "name the address"),
                         (f"127.0.0.1:{server.port}", "cannot listen"), ("192.0.2.1:8080", "cannot listen")):
        done = subprocess.run([rs.OMRCTL, "exam", "serve", str(exam.path), "--listen", listen], capture_output=True,
                              text=True, timeout=30)
        assert done.returncode == 2 and says in done.stderr, (listen, done.stderr)
    for hold in ("0", "3601", "x"):
        done = subprocess.run([rs.OMRCTL, "exam", "serve", str(exam.path), "--hold", hold], capture_output=True,
                              text=True, timeout=30)
        assert done.returncode == 2 and "--hold" in done.stderr, (hold, done.stderr)
    done = subprocess.run([rs.OMRCTL, "exam", "serve", str(exam.work / "missing.omrexam")], capture_output=True,
                          text=True, timeout=30)
    assert done.returncode == 6 and "there is no project" in done.stderr
