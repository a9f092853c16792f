"""The reader's recognition without a reader, through libomr-offline.

Load a form (with what ``omrctl check`` says about it), decode a sheet grid
(a grid file, a :class:`Grid`, or the last sheet the driver read) into its
questions with every cell's decision and a confidence, and draw the sheet:

    from omr import offline
    form = offline.Form("examples/exam60.form")
    sheet = form.decode("examples/exam60.grid")
    for q in sheet.questions:
        print(q.number, q.answer, round(q.confidence, 2), q.doubts)
    sheet.picture("sheet.png")

Form texts (labels, letters, lines) are GBK in the files and str here; result
texts are one character per byte, as :meth:`omr.Reader.result` gives them.
"""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from typing import Iterator, List, Optional, Sequence, Tuple, Union

from . import _library
from ._library import offline_library

__all__ = [
    "DOUBT_ERASURE",
    "DOUBT_FAINT",
    "DOUBT_MARGIN",
    "DOUBT_NEAR_TIE",
    "DOUBT_OFF_GRID",
    "Cell",
    "Diagnostic",
    "Form",
    "Grid",
    "Layout",
    "OfflineError",
    "Question",
    "Sheet",
    "version",
]

#: Why a question is doubtful (bits of :attr:`Question.doubt`).
DOUBT_FAINT = 1
DOUBT_ERASURE = 2
DOUBT_NEAR_TIE = 4
DOUBT_MARGIN = 8
DOUBT_OFF_GRID = 16

_OK = 0
_ERR_BUFFER = 2
_MAX_CELLS = 6154
_SEVERITIES = {0: "warning", 1: "skipped", 2: "error"}
_TEXT = "gbk"
_RESULT = "latin-1"

PathLike = Union[str, bytes, "os.PathLike[str]"]


def version() -> str:
    """libomr-offline's version, such as "1.0.0"."""
    v = offline_library().omro_version()
    return f"{v >> 16}.{(v >> 8) & 0xFF}.{v & 0xFF}"


class OfflineError(Exception):
    """A libomr-offline call failed.

    Attributes:
        code: the library's result code (2 buffer, 3 file, 4 grid, 5 form, 6 no sheet in the driver, ...).
        message: the library's reason, naming the file, line and column where there is one.
    """

    def __init__(self, code: int, message: str) -> None:
        self.code = code
        self.message = message
        super().__init__(f"{message} ({offline_library().omro_error_text(code).decode()})")


def _check(code: int) -> None:
    if code != _OK:
        text = ctypes.create_string_buffer(1024)
        offline_library().omro_last_message(text, len(text))
        raise OfflineError(code, text.value.decode("utf-8", errors="replace"))


def _gbk(data: bytes) -> str:
    return data.decode(_TEXT, errors="replace")


def _doubt_names(bits: int) -> Tuple[str, ...]:
    lib = offline_library()
    return tuple(lib.omro_doubt_name(bit).decode() for bit in (DOUBT_FAINT, DOUBT_ERASURE, DOUBT_NEAR_TIE,
                                                                 DOUBT_MARGIN, DOUBT_OFF_GRID) if bits & bit)


@dataclass(frozen=True)
class Diagnostic:
    """A rejected line or a warning of a form.

    ``severity`` is "error" (the driver stops loading there), "skipped" (the
    driver skips the line) or "warning"; ``line`` and ``column`` count from 1
    (0: none); ``text`` is the rejected line ("" for warnings)."""

    line: int
    column: int
    code: int
    severity: str
    kind: str
    message: str
    text: str


@dataclass(frozen=True)
class Layout:
    """A layout (sheet kind) of a form."""

    slot: int
    letter: str
    lines: int
    identifying_cell: Tuple[int, int]
    questions: int
    fields: int
    grade: Tuple[int, int, int, int]
    bars: Tuple[Tuple[int, int, int], ...]
    coding_mode: int
    empty_char: str
    multiple_char: str
    inherited: Tuple[str, ...]


@dataclass(frozen=True)
class Cell:
    """One cell of a question: where it is, its grey (0..15, -1 off the grid),
    its label (" " for a label blank), whether it counts as a mark, the value
    from which it would (16: never), its distance from that threshold in units
    of the sheet's paper-to-mark spread, and the doubt bits it causes."""

    line: int
    column: int
    value: int
    label: str
    marked: bool
    threshold: int
    margin: float
    doubt: int

    @property
    def doubtful(self) -> bool:
        return self.doubt != 0


@dataclass(frozen=True)
class Question:
    """One question of a decoded sheet: its coded character (``answer``), the
    labels of its marked and of all its options, a confidence from 0 to 1 (at
    most 0.5 when doubtful) and the doubt bits with their names."""

    number: int
    type: str
    answer: str
    marked: str
    options: str
    confidence: float
    doubt: int
    cells: Tuple[Cell, ...]

    @property
    def doubtful(self) -> bool:
        return self.doubt != 0

    @property
    def doubts(self) -> Tuple[str, ...]:
        """The names of the doubt bits set (the library's names for them)."""
        return _doubt_names(self.doubt)


class Grid:
    """A sheet's grid: ``lines`` x ``columns`` greys 0..15 in the order the
    reader sends them (the first ``columns`` cells are sheet line ``lines``)."""

    def __init__(self, lines: int, columns: int, cells: bytes) -> None:
        if len(cells) != lines * columns:
            raise ValueError(f"a grid of {lines} x {columns} has {lines * columns} cells, not {len(cells)}")
        self.lines = lines
        self.columns = columns
        self.cells = bytes(cells)

    @classmethod
    def load(cls, path: PathLike) -> "Grid":
        """A grid file ("omr-grid 1"), as omrctl --save-grids writes it."""
        lines, columns = ctypes.c_int(), ctypes.c_int()
        out = ctypes.create_string_buffer(_MAX_CELLS)
        _check(offline_library().omro_grid_file_read(os.fsencode(path), ctypes.byref(lines),
                                                     ctypes.byref(columns), out, len(out)))
        return cls(lines.value, columns.value, out.raw[: lines.value * columns.value])

    def save(self, path: PathLike, comment: Optional[str] = None) -> None:
        """Writes the grid file; an existing file is replaced whole or not at all."""
        _check(offline_library().omro_grid_file_write(os.fsencode(path), self.lines, self.columns, self.cells,
                                                      len(self.cells), comment.encode() if comment else None))

    def at(self, line: int, column: int) -> int:
        """The grey at (line, column), both from 1; -1 off the grid."""
        if not (1 <= line <= self.lines and 1 <= column <= self.columns):
            return -1
        return self.cells[(self.lines - line) * self.columns + column - 1]

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Grid) and (self.lines, self.columns, self.cells) == (
            other.lines, other.columns, other.cells)

    def __repr__(self) -> str:
        return f"Grid({self.lines} x {self.columns})"


class Sheet:
    """A decoded sheet. ``code`` is 0 when the driver would read it, else 7, 4
    or 5; ``result`` the result text in the decode's mode ("" when the read
    would fail); ``questions`` those of the identified layout (also for code
    5); ``paper`` and ``mark`` the sheet's levels the confidence is judged by."""

    def __init__(self, handle: int) -> None:
        self._lib = offline_library()
        self._handle = ctypes.c_void_p(handle)
        info = _library.SheetInfo()
        _check(self._lib.omro_sheet_get_info(self._handle, ctypes.byref(info)))
        self.code = info.code
        self.letter = info.letter.decode(_RESULT) if info.letter else ""
        self.layout = info.layout
        self.mode = info.mode
        self.paper = info.paper
        self.mark = info.mark
        self.doubtful = info.doubtful
        self.confidence = info.confidence
        cells = ctypes.create_string_buffer(info.lines * info.columns)
        _check(self._lib.omro_sheet_grid(self._handle, cells, len(cells)))
        self.grid = Grid(info.lines, info.columns, cells.raw)
        length = ctypes.c_size_t()
        text = ctypes.create_string_buffer(16384 + 8)
        _check(self._lib.omro_sheet_result(self._handle, text, len(text), ctypes.byref(length)))
        self.result = text.raw[: length.value].decode(_RESULT)
        self.questions: List[Question] = [self._question(i) for i in range(info.questions)]

    def _question(self, index: int) -> Question:
        q = _library.Question()
        _check(self._lib.omro_sheet_question(self._handle, index, ctypes.byref(q)))
        cells = []
        for i in range(q.cell_count):
            c = _library.Cell()
            _check(self._lib.omro_sheet_cell(self._handle, index, i, ctypes.byref(c)))
            cells.append(Cell(c.line, c.column, c.value, _gbk(c.label) if c.label else " ", bool(c.marked),
                              c.threshold, c.margin, c.doubtful))
        return Question(q.number, q.type.decode(_RESULT), bytes([q.character]).decode(_RESULT), _gbk(q.marked),
                        _gbk(q.options), q.confidence, q.doubtful, tuple(cells))

    @property
    def ok(self) -> bool:
        """True when the driver would read and recognise the sheet."""
        return self.code == 0

    def picture(self, path: PathLike) -> None:
        """Writes the sheet picture as PNG (12 pixels a cell; doubtful cells
        and question numbers in orange); replaced whole or not at all."""
        _check(self._lib.omro_sheet_write_png(self._handle, os.fsencode(path)))

    def png(self) -> bytes:
        """The sheet picture as PNG bytes."""
        size = ctypes.c_size_t()
        code = self._lib.omro_sheet_png(self._handle, None, 0, ctypes.byref(size))
        if code != _ERR_BUFFER:
            _check(code)
        out = ctypes.create_string_buffer(size.value)
        _check(self._lib.omro_sheet_png(self._handle, out, len(out), ctypes.byref(size)))
        return out.raw[: size.value]

    def save_grid(self, path: PathLike, comment: Optional[str] = None) -> None:
        """Writes the sheet's grid as a grid file."""
        _check(self._lib.omro_sheet_write_grid(self._handle, os.fsencode(path),
                                               comment.encode() if comment else None))

    def __iter__(self) -> Iterator[Question]:
        return iter(self.questions)

    def __del__(self) -> None:
        handle = getattr(self, "_handle", None)
        if handle is not None and handle.value:
            self._lib.omro_sheet_free(handle)
            self._handle = None


class Form:
    """A form file (or text) read as the driver reads it, going on past
    rejected lines so that :attr:`diagnostics` lists every problem.

    ``Form(path)`` or ``Form(text=...)``; :attr:`status` is 0 when the driver
    would load the form, else the driver's error code (decoding then raises
    :class:`OfflineError` with code 5). Raises OfflineError (code 3) when the
    file cannot be read."""

    def __init__(self, path: Optional[PathLike] = None, *, text: Union[None, str, bytes] = None,
                 head_columns: int = 48) -> None:
        if (path is None) == (text is None):
            raise ValueError("give a path or a text")
        self._lib = offline_library()
        handle = ctypes.c_void_p()
        if path is not None:
            _check(self._lib.omro_form_load(os.fsencode(path), ctypes.byref(handle)))
        else:
            data = text.encode(_TEXT) if isinstance(text, str) else bytes(text)
            _check(self._lib.omro_form_load_text(data, len(data), ctypes.byref(handle)))
        self._handle = handle
        if head_columns != 48:
            self.set_head_columns(head_columns)

    @property
    def status(self) -> int:
        return int(self._lib.omro_form_status(self._handle))

    @property
    def ok(self) -> bool:
        """True when the driver would load the form."""
        return self.status == 0

    @property
    def command_lines(self) -> int:
        return int(self._lib.omro_form_command_lines(self._handle))

    def set_head_columns(self, columns: int) -> None:
        """Checks the form again for a read head ``columns`` cells wide (48 by default)."""
        _check(self._lib.omro_form_set_head_columns(self._handle, columns))

    @property
    def diagnostics(self) -> List[Diagnostic]:
        """Rejected lines (in file order), then warnings."""
        out = []
        for i in range(self._lib.omro_form_diagnostic_count(self._handle)):
            d = _library.Diagnostic()
            _check(self._lib.omro_form_diagnostic(self._handle, i, ctypes.byref(d)))
            out.append(Diagnostic(d.line, d.column, d.code, _SEVERITIES.get(d.severity, str(d.severity)),
                                  d.kind.decode(), d.message.decode("utf-8", errors="replace"), _gbk(d.text)))
        return out

    @property
    def layouts(self) -> List[Layout]:
        out = []
        for i in range(self._lib.omro_form_layout_count(self._handle)):
            l = _library.LayoutInfo()
            _check(self._lib.omro_form_layout(self._handle, i, ctypes.byref(l)))
            out.append(Layout(l.slot, _gbk(l.letter).strip(), l.lines, (l.ident_line, l.ident_column), l.questions,
                              l.fields, (l.g1, l.g2, l.g3, l.g4),
                              tuple((b.line, b.first, b.last) for b in l.bars[: l.bar_count]), l.coding_mode,
                              _gbk(l.empty_char), _gbk(l.multiple_char), tuple(l.inherited.decode().split())))
        return out

    def decode(self, grid: Union[Grid, PathLike], mode: int = 0) -> Sheet:
        """Decodes a :class:`Grid` or a grid file as the driver's read and
        MR_GetResult(mode) would."""
        handle = ctypes.c_void_p()
        if isinstance(grid, Grid):
            _check(self._lib.omro_decode_grid(self._handle, grid.lines, grid.columns, grid.cells, len(grid.cells),
                                              mode, ctypes.byref(handle)))
        else:
            _check(self._lib.omro_decode_grid_file(self._handle, os.fsencode(grid), mode, ctypes.byref(handle)))
        return Sheet(handle.value)

    def decode_reader(self, mode: int = 0) -> Sheet:
        """Decodes the grid of the last sheet the driver (libomr, in this
        process) received. Raises OfflineError (code 6) when it holds none."""
        handle = ctypes.c_void_p()
        _check(self._lib.omro_decode_reader(self._handle, mode, ctypes.byref(handle)))
        return Sheet(handle.value)

    def close(self) -> None:
        if getattr(self, "_handle", None) is not None and self._handle.value:
            self._lib.omro_form_free(self._handle)
        self._handle = None

    def __enter__(self) -> "Form":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

