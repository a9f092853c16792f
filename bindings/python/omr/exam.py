"""Exam projects, read-only: SQLite files with the standard library's sqlite3,
PostgreSQL projects with psycopg2 (Debian: python3-psycopg2).

A project is the SQLite file (or PostgreSQL database) that ``omrctl exam new``
makes and ``omrctl exam read`` fills: every sheet as it was read, each question's response, the
corrections people made, and the scores. This module opens it without
changing anything, so a project can be analysed in a notebook while a station
is still reading into it::

    import omr
    with omr.Exam("final.omrexam") as exam:
        for student in exam.students:
            print(student.id, student.total, student.percent)
        waiting = [r for r in exam.review if r.question]  # reasons about one question

    with omr.Exam("postgresql://omr@exams.example.org/centre", "final") as exam:
        ...

A PostgreSQL project is named as to omrctl: a ``postgresql://`` URI or a libpq
``key=value`` text; the password comes from ~/.pgpass or PGPASSWORD.

Scores and review reasons are those the project stores; every command that
changes a project (read, correct, rekey, rescan) brings them up to date.
The students of an exam on several sheets a candidate are combined from
their sheets by the exam layer itself: :attr:`Exam.students` asks
``omrctl exam export --json`` for them (omrctl from ``$OMR_OMRCTL``, this
source tree's build, or the PATH), so Python and every report count the
same candidates.
The tables and columns read here are those of the project's schema
(exam/schema.sql, copied into ``omr._schema`` when the package is built); a
project of an older schema is brought up to date by opening it once with an
omrctl command that writes (for example ``omrctl exam rescan PROJECT``; one
that only reads, such as status, does it in memory and leaves the file as it
is).
"""

from __future__ import annotations

import csv
import io
import json
import os
import re
import shutil
import sqlite3
import struct
import subprocess
import urllib.parse
import zlib
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional, Tuple, Union

from ._schema import DATA as _SCHEMA
from ._vocabulary import DATA as _VOCABULARY

__all__ = ["Correction", "Exam", "ExamError", "OMRCTL_ENV", "REASONS", "Reason", "Response", "Score", "Sheet", "Student"]

#: Every review reason's code, sheet reasons first (the vocabulary the exam
#: layer and the review page share).
REASONS: Tuple[str, ...] = tuple(r["code"] for r in _VOCABULARY["reasons"])

_APPLICATION_ID = _SCHEMA["application_id"]
_SCHEMA_VERSION = _SCHEMA["version"]
_SEPARATOR = _SCHEMA["responses"]["label_separator"]
_CONFIDENCE = _SCHEMA["responses"]["confidence_format"]
_ABSENT = bytes([_SCHEMA["responses"]["absent_confidence_byte"]]) * struct.calcsize(_CONFIDENCE)


def _columns(table: str, *names: str, alias: str = "") -> str:
    """The schema's columns of a table for a SELECT; a name the schema does not
    have is a bug of this module, found by its first test."""
    known = _SCHEMA["tables"][table]["columns"]
    missing = [n for n in names if n not in known]
    if missing:
        raise AssertionError(f"the schema has no column {', '.join(missing)} in {table}")
    return ", ".join(alias + n for n in names)


class ExamError(Exception):
    """The file is not a project this module can read, or has no such exam."""


@dataclass(frozen=True)
class Sheet:
    """One sheet as it was read.

    ``code`` is 0 for a sheet that was read, else the library's error code;
    ``form`` its form letter ("" when none); ``result`` the result text as
    bytes (one byte per question). A sheet a person typed in has ``source``
    "typed", ``author`` the typist and ``result`` what was typed (JSON:
    id, version, answers, and part in an exam in parts).
    """

    number: int
    station: str
    station_number: int
    read_at: str
    source: str
    origin: str
    serial: str
    firmware: str
    form: str
    code: int
    result: bytes
    grid_lines: int
    grid_columns: int
    grid_hash: str
    author: str = ""  # who typed a typed sheet


@dataclass(frozen=True)
class Response:
    """A question as the recognition read it: the labels of its marked options,
    its coded character, a confidence from 0 to 1, and the recognition's doubt
    bits (0 when clear)."""

    question: int
    marked: str
    character: str
    confidence: float
    doubtful: int


@dataclass(frozen=True)
class Reason:
    """Why a sheet waits for a person: ``reason`` is one of :data:`REASONS`;
    ``question`` is the question's number for a reason about one question,
    else 0."""

    sheet: int
    reason: str
    question: int
    detail: str


@dataclass(frozen=True)
class Score:
    """A sheet's score. ``answers`` and ``points`` hold one entry per master
    item (points None for a void item, and on a sheet of an exam in parts
    for the items of its other parts); ``total``, ``maximum`` and ``percent``
    are None for a sheet that was not scored."""

    sheet: int
    scored: bool
    voided: bool
    student_id: str
    id_state: str
    version: str
    total: Optional[float]
    maximum: Optional[float]
    percent: Optional[float]
    answers: List[str]
    points: List[Optional[float]]
    reasons: List[Reason] = field(default_factory=list)


@dataclass(frozen=True)
class Correction:
    """A correction as recorded: ``target`` is a question number as text, or
    "id", "version" or "sheet"; ``new`` None withdraws the earlier ones."""

    id: int
    sheet: int
    target: str
    old: Optional[str]
    new: Optional[str]
    author: str
    made_at: str
    reason: str
    undoes: Optional[int] = None  # the correction this one undoes


@dataclass(frozen=True)
class Student:
    """A student: roster columns, the sheets with their ID, and the score of the
    latest scored one. ``status`` is "scored", "several sheets", "not in
    roster", "not scored" or "absent".

    Of an exam on several sheets a candidate, a student is the candidate
    those sheets make: ``total`` the sum of its parts then the exam's floor,
    ``status`` also "missing part" (with the parts no sheet is in
    ``missing``), "several sheets" when a part was read twice (the latest
    scored counts)."""

    id: str
    columns: Dict[str, str]
    sheets: List[int]
    version: str
    total: Optional[float]
    maximum: Optional[float]
    percent: Optional[float]
    status: str
    missing: List[str] = field(default_factory=list)


#: Environment variable naming the omrctl to ask for an exam in parts' students.
OMRCTL_ENV = "OMR_OMRCTL"


def _omrctl() -> str:
    """omrctl: $OMR_OMRCTL, this source tree's build, else the PATH."""
    named = os.environ.get(OMRCTL_ENV)
    if named:
        return named
    package = os.path.dirname(os.path.abspath(__file__))
    built = os.path.join(package, "..", "..", "..", "build", "default", "tools", "omrctl", "omrctl")
    if os.path.isfile(os.path.join(package, "..", "..", "..", "include", "omr.h")) and os.access(built, os.X_OK):
        return os.path.normpath(built)
    found = shutil.which("omrctl")
    if not found:
        raise ExamError("the students of an exam on several sheets a candidate come from omrctl, which is not "
                        f"here: install omr-tools or name it in {OMRCTL_ENV}")
    return found


def _without_comments(text: str) -> str:
    """JSON with // and /* */ comments, as exam files are, without them."""
    out = []
    i, n, quoted = 0, len(text), False
    while i < n:
        c = text[i]
        if quoted:
            out.append(text[i:i + 2] if c == "\\" else c)
            i += 2 if c == "\\" else 1
            quoted = c != '"'
        elif c == '"':
            out.append(c)
            quoted, i = True, i + 1
        elif text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _number(text: str) -> Optional[float]:
    return float(text) if text != "" else None


# libpq's connection keywords: a text that starts with one and "=" names a server.
_LIBPQ_KEYWORDS = frozenset(
    "host hostaddr port dbname user passfile password channel_binding connect_timeout client_encoding options "
    "application_name fallback_application_name keepalives keepalives_idle keepalives_interval keepalives_count "
    "tcp_user_timeout replication gssencmode sslmode requiressl sslcompression sslcert sslkey sslpassword "
    "sslrootcert sslcrl sslcrldir sslsni requirepeer ssl_min_protocol_version ssl_max_protocol_version "
    "krbsrvname gsslib service target_session_attrs load_balance_hosts".split())


def _is_server(location: str) -> bool:
    """Whether omrctl takes `location` for a PostgreSQL project rather than a file."""
    if location.startswith(("postgresql://", "postgres://")):
        return True
    found = re.match(r"[ \t]*([a-z_]+)[ \t]*=", location)
    return bool(found) and found.group(1) in _LIBPQ_KEYWORDS


class _PgConnection:
    """The few sqlite3 connection calls this module makes, on psycopg2."""

    def __init__(self, location: str) -> None:
        try:
            import psycopg2  # type: ignore[import-not-found]
        except ImportError:
            raise ExamError("a PostgreSQL project needs psycopg2: sudo apt-get install python3-psycopg2") from None
        self._error = psycopg2.Error
        if "password=" in location or re.match(r"postgres(ql)?://[^/@]*:[^/@]*@", location):
            raise ExamError("give the password in ~/.pgpass or PGPASSWORD, never in the project's name")
        try:
            self._db = psycopg2.connect(location, connect_timeout=10, application_name="omr-python")
            self._db.set_session(readonly=True, autocommit=True)
        except psycopg2.Error as e:
            raise ExamError(f"cannot connect to the project {location}: {str(e).strip()}") from None

    def execute(self, sql: str, parameters: Tuple = ()) -> "_PgCursor":
        cursor = self._db.cursor()
        try:
            cursor.execute(sql.replace("?", "%s"), parameters)
        except self._error as e:
            raise ExamError(str(e).strip()) from None
        return _PgCursor(cursor)

    def close(self) -> None:
        self._db.close()


class _PgCursor:
    def __init__(self, cursor: object) -> None:
        self._cursor = cursor

    def fetchone(self) -> Optional[tuple]:
        return self._cursor.fetchone()  # type: ignore[attr-defined]

    def fetchall(self) -> List[tuple]:
        return self._cursor.fetchall()  # type: ignore[attr-defined]

    def __iter__(self) -> Iterator[tuple]:
        return iter(self._cursor)  # type: ignore[call-overload]


_SHEET_COLUMNS = ("number", "station", "station_number", "read_at", "source", "origin", "serial", "firmware",
                  "letter", "code", "result", "grid_lines", "grid_columns", "grid_hash", "author")
_SCORE_COLUMNS = ("number", "scored", "voided", "student_id", "id_state", "version", "total", "maximum", "percent",
                  "answers", "points", "reasons")
_CORRECTION_COLUMNS = ("target", "old_value", "new_value", "author", "made_at", "reason", "undoes")


class Exam:
    """An exam of a project, opened read-only.

    Args:
        path: the project file, or a PostgreSQL project's URI or key=value text.
        name: the exam's name when the project holds several.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], name: Optional[str] = None) -> None:
        path = os.fspath(path)
        self._server = _is_server(path)
        if self._server:
            self._db: Union[sqlite3.Connection, _PgConnection] = _PgConnection(path)
        else:
            if not os.path.isfile(path):
                raise ExamError(f"there is no project {path}")
            uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
            self._db = sqlite3.connect(uri, uri=True)
            try:
                self._db.execute("PRAGMA application_id").fetchone()
            except sqlite3.OperationalError:
                # A WAL project whose -shm cannot be made here (read-only media): read as it stands, unless
                # its last commits wait in its -wal.
                self._db.close()
                wal = path + "-wal"
                if os.path.exists(wal) and os.path.getsize(wal) > 0:
                    raise ExamError(f"{path} cannot be read here: its last commits are in {wal}, and the -shm "
                                    "it needs cannot be made; copy both files to a place that can be written") \
                        from None
                self._db = sqlite3.connect(uri + "&immutable=1", uri=True)
            except sqlite3.DatabaseError:
                pass  # not a database: _open says so
        try:
            self._open(path, name)
        except Exception:
            self._db.close()
            raise

    def _open(self, path: str, name: Optional[str]) -> None:
        if self._server:
            found = self._db.execute("SELECT to_regclass('schema_version') IS NOT NULL").fetchone()[0]
            if not found:
                raise ExamError(f"{path} holds no exam project")
        else:
            try:
                application = self._db.execute("PRAGMA application_id").fetchone()[0]
            except sqlite3.DatabaseError as e:
                raise ExamError(f"{path} is not an exam project: {e}") from None
            if application != _APPLICATION_ID:
                raise ExamError(f"{path} is not an exam project")
        version = self._db.execute("SELECT version FROM schema_version").fetchone()[0]
        if version > _SCHEMA_VERSION:
            raise ExamError(f"{path} has schema version {version}; this module reads up to {_SCHEMA_VERSION}")
        if version < _SCHEMA_VERSION:
            raise ExamError(f"{path} has schema version {version}, older than this module reads "
                            f"({_SCHEMA_VERSION}): open it once with omrctl to bring it up to date "
                            f"(for example: omrctl exam rescan {path})")
        exams = self._db.execute(f"SELECT {_columns('exams', 'id', 'name', 'revision')} FROM exams ORDER BY id"
                                 ).fetchall()
        chosen = [e for e in exams if e[1] == name] if name is not None else exams
        if len(chosen) != 1:
            names = ", ".join(e[1] for e in exams)
            raise ExamError(f"{path} holds the exams {names}: name one" if name is None
                            else f"{path} has no exam named {name} (it holds: {names})")
        self._exam, self.name, self.revision = chosen[0]
        self._location = path
        built = self._db.execute(f"SELECT {_columns('derived', 'built_at')} FROM derived WHERE exam_id = ?",
                                 (self._exam,)).fetchone()
        if built is None:
            raise ExamError(f"the scores of exam {self.name} in {path} are not built since the project was "
                            f"brought up to date: open it once with omrctl (for example: omrctl exam rescan {path})")

    def close(self) -> None:
        self._db.close()

    def __enter__(self) -> "Exam":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _revision(self) -> Tuple[bytes, bytes, bytes]:
        return self._db.execute(
            f"SELECT {_columns('revisions', 'exam_text', 'form_text', 'roster_text')} FROM revisions "
            "WHERE exam_id = ? AND revision = ?", (self._exam, self.revision)).fetchone()

    @property
    def exam_text(self) -> str:
        """The exam file (JSON with comments) the scores come from."""
        return bytes(self._revision()[0]).decode("utf-8", errors="replace")

    @property
    def form_text(self) -> bytes:
        """The form file's bytes (GBK)."""
        return bytes(self._revision()[1])

    @property
    def roster(self) -> List[Dict[str, str]]:
        """The roster's rows as dictionaries keyed by its header ("id" included)."""
        text = bytes(self._revision()[2]).decode("utf-8-sig", errors="replace")
        return [dict(row) for row in csv.DictReader(io.StringIO(text))] if text else []

    @property
    def sheets(self) -> List[Sheet]:
        """Every sheet in number order."""
        rows = self._db.execute(
            f"SELECT {_columns('sheets', *_SHEET_COLUMNS)} FROM sheets WHERE exam_id = ? ORDER BY number",
            (self._exam,))
        return [Sheet(*row[:10], bytes(row[10]), *row[11:]) for row in rows]

    def responses(self, sheet: int) -> List[Response]:
        """The responses of one sheet, in question order."""
        row = self._db.execute(
            f"SELECT {_columns('responses', 'marked', 'coded', 'doubtful', 'confidence', alias='r.')} "
            "FROM responses r JOIN sheets s ON s.id = r.sheet_id WHERE s.exam_id = ? AND s.number = ?",
            (self._exam, sheet)).fetchone()
        if row is None:
            return []
        marked, coded, doubtful, confidence = row[0], bytes(row[1]), bytes(row[2]), bytes(row[3])
        labels = marked.split(_SEPARATOR) if coded else []
        size = len(_ABSENT)
        # A question the sheet has no response for (a typed sheet's other questions) is left out.
        return [Response(q + 1, labels[q], bytes([coded[q]]).decode("latin-1"),
                         struct.unpack(_CONFIDENCE, confidence[size * q:size * (q + 1)])[0], doubtful[q])
                for q in range(len(coded)) if confidence[size * q:size * (q + 1)] != _ABSENT]

    def grid(self, sheet: int) -> Optional[Tuple[int, int, bytes]]:
        """A sheet's grid as the reader sent it: lines, columns and one value
        0..15 per cell in sending order; None when the reader kept none."""
        row = self._db.execute(
            f"SELECT {_columns('sheets', 'grid_lines', 'grid_columns', 'grid')} FROM sheets "
            "WHERE exam_id = ? AND number = ?", (self._exam, sheet)).fetchone()
        if row is None or row[2] is None:
            return None
        lines, columns, data = row
        packed = zlib.decompress(data)
        cells = bytearray(lines * columns)
        for i in range(len(cells)):
            byte = packed[i // 2]
            cells[i] = byte & 0x0F if i % 2 else byte >> 4
        return lines, columns, bytes(cells)

    @property
    def review(self) -> List[Reason]:
        """Every review reason, in sheet order."""
        rows = self._db.execute(
            f"SELECT {_columns('scores', 'number', 'reasons')} FROM scores WHERE exam_id = ? AND reason_mask <> 0 "
            "ORDER BY number", (self._exam,))
        return [Reason(number, *why) for number, reasons in rows for why in json.loads(reasons)]

    @property
    def scores(self) -> List[Score]:
        """Every sheet's score, in sheet order, with its review reasons."""
        rows = self._db.execute(
            f"SELECT {_columns('scores', *_SCORE_COLUMNS)} FROM scores WHERE exam_id = ? ORDER BY number",
            (self._exam,))
        out = []
        for n, scored, voided, sid, state, version, total, maximum, percent, answers, points, reasons in rows:
            items = answers.split(",") if scored else []
            values = [_number(p) for p in points.split(",")] if scored else []
            out.append(Score(n, bool(scored), bool(voided), sid, state, version, total, maximum, percent, items,
                             values, [Reason(n, *why) for why in json.loads(reasons)]))
        return out

    @property
    def corrections(self) -> List[Correction]:
        """Every correction, oldest first."""
        rows = self._db.execute(
            f"SELECT c.id, s.number, {_columns('corrections', *_CORRECTION_COLUMNS, alias='c.')} "
            "FROM corrections c JOIN sheets s ON s.id = c.sheet_id WHERE s.exam_id = ? ORDER BY c.id",
            (self._exam,))
        return [Correction(*row) for row in rows]

    @property
    def in_parts(self) -> bool:
        """Whether a candidate's answers are on several sheets (the exam file's "sheets")."""
        try:
            document = json.loads(_without_comments(self.exam_text))
        except ValueError:
            return False
        return isinstance(document, dict) and isinstance(document.get("sheets"), dict)

    def _candidates(self) -> List[Student]:
        """The students of an exam in parts, as the exam layer combines their sheets."""
        try:
            done = subprocess.run([_omrctl(), "exam", "export", self._location, "--name", self.name, "--json"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=600)
        except (OSError, subprocess.TimeoutExpired) as e:
            raise ExamError(f"omrctl could not export the students of {self._location}: {e}") from None
        if done.returncode != 0:
            raise ExamError(f"omrctl could not export the students of {self._location}: {done.stderr.strip()}")
        header = next(csv.reader(io.StringIO(bytes(self._revision()[2]).decode("utf-8-sig", errors="replace"))),
                      ["id"])
        roster = [c for c in header if c != "id"]
        out = []
        for row in json.loads(done.stdout)["students"]:
            sheet = row["sheet"]
            sheets = [] if sheet is None else [sheet] if isinstance(sheet, int) else [int(n) for n in sheet.split(";")]
            number = lambda v: None if v is None else float(v)  # noqa: E731
            out.append(Student(row["id"], {c: row[c] or "" for c in roster}, sheets, row["version"] or "",
                               number(row["total"]), number(row["maximum"]), number(row["percent"]),
                               row["status"], [m for m in (row.get("missing") or "").split(", ") if m]))
        return out

    @property
    def students(self) -> List[Student]:
        """The roster's students (absent ones too), then IDs read that are not in
        it; each with the score of its latest scored sheet (of an exam in
        parts: the candidate its sheets make)."""
        if self.in_parts:
            return self._candidates()
        roster = self.roster
        by_id: Dict[str, List[Score]] = {}
        for s in self.scores:
            if not s.voided and s.id_state == "valid":
                by_id.setdefault(s.student_id, []).append(s)
        known = {row["id"] for row in roster}
        order = [row["id"] for row in roster] + sorted(i for i in by_id if i not in known)
        columns = {row["id"]: {k: v for k, v in row.items() if k != "id"} for row in roster}
        out = []
        for sid in order:
            found = by_id.get(sid, [])
            if not found:
                out.append(Student(sid, columns.get(sid, {}), [], "", None, None, None, "absent"))
                continue
            scored = [s for s in found if s.scored]
            chosen = scored[-1] if scored else found[-1]
            status = ("not scored" if not chosen.scored else "several sheets" if len(found) > 1
                      else "not in roster" if roster and sid not in known else "scored")
            out.append(Student(sid, columns.get(sid, {}), [s.sheet for s in found], chosen.version, chosen.total,
                               chosen.maximum, chosen.percent, status))
        return out

    def __iter__(self) -> Iterator[Score]:
        return iter(self.scores)
