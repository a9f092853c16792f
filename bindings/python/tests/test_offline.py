"""omr.offline: forms with their diagnostics, saved grids decoded into
questions with cells and confidence, pictures, and the last sheet of the
reader (omrsim on a pty) through Reader.grid and Reader.decode."""

from __future__ import annotations

import struct

import pytest

import omr
from omr import offline
from conftest import EXAMPLES

EXAM = EXAMPLES / "exam60.form"
GRID = EXAMPLES / "exam60.grid"  # answers 4, 8 and 13 hold a faint mark, an erasure and a near tie


def png_size(data: bytes):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def test_form_layouts_and_questions():
    form = offline.Form(EXAM)
    assert form.ok and form.status == 0 and form.diagnostics == []
    (layout,) = form.layouts
    assert (layout.letter, layout.lines, layout.identifying_cell, layout.questions) == ("A", 70, (2, 47), 70)
    assert layout.bars == ((1, 1, 40), (70, 1, 40)) and layout.grade == (3, 2, 2, 5)
    form.set_head_columns(40)
    assert [d.kind for d in form.diagnostics] == ["head"]


def test_form_text_reports_every_problem():
    form = offline.Form(text='"T A 002 47/"\n"D 01 ABCD/"\n"F  12   2  S  1   2R 0/"\n"T   003 47/"\n')
    assert form.status == 25 and not form.ok
    rejected = [(d.line, d.column, d.code, d.severity, d.text) for d in form.diagnostics if d.kind == "rejected"]
    assert rejected == [(3, 11, 25, "error", '"F  12   2  S  1   2R 0/"'), (4, 4, 6, "skipped", '"T   003 47/"')]
    with pytest.raises(offline.OfflineError) as error:
        form.decode(GRID)
    assert error.value.code == 5


def test_lines_taken_as_comments_are_warned_about(tmp_path):
    text = '"T A 002 47/"\n"L 020 30 24/"\n"d 01 ABCD/"\n"D 01 ABCD/"\n"F   4   2U S  1   5R 0"\n'
    path = tmp_path / "comments.form"
    path.write_text(text)
    for form in (offline.Form(path), offline.Form(text=text)):
        comments = [(d.line, d.column, d.severity) for d in form.diagnostics if d.kind == "comment"]
        # The lower-case letter is the line's second character; a missing "/" has no one column.
        assert comments == [(3, 2, "warning"), (5, 0, "warning")]


def test_missing_files_raise(tmp_path):
    with pytest.raises(offline.OfflineError) as error:
        offline.Form(tmp_path / "none.form")
    assert error.value.code == 3 and "none.form" in error.value.message
    with pytest.raises(offline.OfflineError) as error:
        offline.Form(EXAM).decode(tmp_path)
    assert error.value.code == 3 and "not a regular file" in error.value.message


def test_saved_grid_decodes_with_doubts_and_picture(tmp_path):
    sheet = offline.Form(EXAM).decode(GRID, mode=1)
    assert sheet.ok and sheet.letter == "A" and sheet.result.startswith("A2024013107ABC")
    assert (sheet.paper, sheet.mark, sheet.doubtful) == (0.0, 11.0, 3)
    doubtful = {q.number: q.doubts for q in sheet.questions if q.doubtful}
    assert doubtful == {14: ("faint",), 18: ("erasure",), 23: ("near-tie",)}
    assert sheet.confidence == min(q.confidence for q in sheet.questions) <= 0.5
    near_tie = sheet.questions[22]
    assert near_tie.answer == ">" and near_tie.marked == "CD" and near_tie.options == "ABCDE"
    assert [c.value for c in near_tie.cells] == [sheet.grid.at(c.line, c.column) for c in near_tie.cells]
    assert all(c.doubtful for c in near_tie.cells if c.marked)
    picture = tmp_path / "sheet.png"
    sheet.picture(picture)
    assert picture.read_bytes() == sheet.png()
    assert png_size(sheet.png()) == (26 + 12 * 48, 12 * 70)


def test_grid_round_trip(tmp_path):
    grid = offline.Grid.load(GRID)
    assert (grid.lines, grid.columns) == (70, 48) and grid.at(2, 47) == 11 and grid.at(0, 1) == -1
    grid.save(tmp_path / "copy.grid", comment="copy")
    assert offline.Grid.load(tmp_path / "copy.grid") == grid
    form = offline.Form(EXAM)
    assert form.decode(grid).result == form.decode(GRID).result
    with pytest.raises(ValueError):
        offline.Grid(2, 4, b"\0" * 7)
    with pytest.raises(offline.OfflineError) as error:
        form.decode(offline.Grid(1, 3, b"\0" * 3))
    assert error.value.code == 4


def test_reader_gives_the_last_sheets_grid_and_decisions(simulator):
    sim = simulator()
    form = offline.Form(EXAM)
    with omr.Reader(sim.link) as reader:
        reader.clear()
        reader.load_form(EXAM)
        sheet = reader.read()
        decoded = reader.decode(form)
        grid = reader.grid()
    assert decoded.result == sheet.answers and decoded.ok
    assert grid == decoded.grid and form.decode(grid).result == sheet.answers
    assert len(decoded.questions) == 70 and decoded.doubtful == 0
