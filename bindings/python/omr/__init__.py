"""Python interface to libomr, the driver library of a desktop optical mark reader.

A thin layer over the library's C interface (through ctypes): every call is one
library call; a failure becomes an :class:`OmrError` carrying the library's
code and its English and Chinese messages, and bytes become text (GBK for the
library's texts, one character per byte for results).

    import omr
    with omr.Reader("/tmp/omr-reader") as reader:   # serial path(s); None scans
        reader.load_form("examples/exam60.form")
        for sheet in reader:                         # until the reader has none
            print(sheet.form, sheet.answers if sheet.ok else sheet.error)

The library keeps one driver state per process: every :class:`Reader` object
talks to the same connection, form and last sheet. :mod:`omr.offline` runs
the same recognition without a reader, on saved grids or on the last sheet
(:meth:`Reader.grid`, :meth:`Reader.decode`), with every cell's decision and a
confidence per question.
"""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterator, Optional, Sequence, Union

from ._library import LIBRARY_ENV, library, library_path
from .exam import Exam, ExamError

if TYPE_CHECKING:  # pragma: no cover
    from .offline import Form, Grid, Sheet as DecodedSheet

__all__ = [
    "COMMUNICATION_ERROR",
    "Exam",
    "ExamError",
    "LIBRARY_ENV",
    "NO_FORMAT",
    "NO_SHEET",
    "OmrError",
    "Reader",
    "Sheet",
    "TooManyFailures",
    "error_message",
    "error_message_zh",
    "library",
    "library_path",
]

__version__ = "1.0.0"

#: "No format!": no form layout is loaded or selectable.
NO_FORMAT = 1
#: "Communication error!": the reader did not answer, or is not connected.
COMMUNICATION_ERROR = 8
#: "No sheet!": a read found no sheet (reader firmware 3.0).
NO_SHEET = 16

#: Result modes of :meth:`Reader.result`.
RESULT_ANSWERS = 0
RESULT_FORM_LETTER = 1
RESULT_STATUS = 2
RESULT_FORM_LETTER_AND_STATUS = 3

# Room for the prefix, 16384 question characters and the closing zero.
_RESULT_SIZE = 16384 + 16
_MESSAGE_SIZE = 64
_TEXT_ENCODING = "gbk"
_RESULT_ENCODING = "latin-1"  # one character per byte: one per question

# System command numbers used below.
_SYS_PARAMETER_BLOCK = 8
_SYS_SET_PARAMETER_BLOCK = 9
_SYS_CHANNEL_COUNT = 17
_SYS_WRITE_SERIAL = 18
_SYS_WRITE_INFO_BLOCK = 19
_SYS_READ_INFO_BLOCK = 20
_SYS_VERSION = 23
_SYS_SHEET_GRID = 25
_SYS_WRITE_USER_TEXT = 28
_SYS_READ_USER_TEXT = 29

_INFO_BLOCK_SIZE = 128
_SERIAL_SIZE = 8
_USER_TEXT_AREA = 512

PathLike = Union[str, bytes, "os.PathLike[str]"]


def _message(code: int, english: bool) -> str:
    out = ctypes.create_string_buffer(_MESSAGE_SIZE)
    lib = library()
    (lib.MR_GetErrMsgEn if english else lib.MR_GetErrMsg)(code, out)
    return out.value.decode("ascii" if english else _TEXT_ENCODING, errors="replace")


def error_message(code: int) -> str:
    """The library's English text for an error code (for a code without a text:
    "Unknown error code:" and the code)."""
    return _message(code, english=True)


def error_message_zh(code: int) -> str:
    """The library's Chinese text for an error code, decoded from GBK."""
    return _message(code, english=False)


class OmrError(Exception):
    """A library call failed.

    Attributes:
        code: the library's error code (the last error after the call).
        message: the English text of the code.
        message_zh: the Chinese text of the code.
        operation: the method that failed.
    """

    def __init__(self, code: int, operation: str = "") -> None:
        self.code = code
        self.operation = operation
        self.message = error_message(code)
        self.message_zh = error_message_zh(code)
        prefix = f"{operation}: " if operation else ""
        super().__init__(f"{prefix}{self.message} (code {code}; {self.message_zh})")


class TooManyFailures(OmrError):
    """Reading stopped: ``max_errors`` sheets in a row failed (as ``omrctl
    read --max-errors`` stops a batch), for example a jammed reader that
    refuses every sheet.

    Attributes (besides those of the last failure, an :class:`OmrError`):
        failures: the failed sheets in a row.
        max_errors: the limit that stopped the iteration.
        transport_stopped: whether the reader confirmed that its feed stopped.
    """

    def __init__(self, failures: int, max_errors: int, last: OmrError, transport_stopped: bool) -> None:
        super().__init__(last.code, "read")
        self.failures = failures
        self.max_errors = max_errors
        self.last = last
        self.transport_stopped = transport_stopped
        stopped = "the transport is stopped" if transport_stopped else "the transport did not confirm a stop"
        self.args = (f"{failures} sheets in a row failed (max_errors {max_errors}; the last: {last}): "
                     f"{stopped}; check the reader, the sheets and the form",)


@dataclass(frozen=True)
class Sheet:
    """One sheet.

    Attributes:
        form: the form letter of the layout it was read with ("" when the read failed).
        answers: one character per question ("" when the read failed).
        status: 0 when the sheet was read, otherwise the error code of the read.
        error: the error of a failed read, None for a sheet that was read.
    """

    form: str
    answers: str
    status: int = 0
    error: Optional[OmrError] = None

    @property
    def ok(self) -> bool:
        """True when the sheet was read and recognised."""
        return self.status == 0


def _encode_text(text: str, what: str) -> bytes:
    data = text.encode(_TEXT_ENCODING)
    if b"\0" in data:
        raise ValueError(f"{what} must not contain a zero character")
    return data


def _decode_text(data: bytes) -> str:
    return data.decode(_TEXT_ENCODING, errors="replace")


class Reader:
    """The reader, through the library's process-wide connection.

    ``Reader(ports)`` only remembers the serial paths; :meth:`connect` (or
    ``with``) finds the reader. Calls that talk to the reader block until the
    reader answers or its time-out passes. The texts of errors are fetched
    from the library, which waits 200 ms before it reports a last error.
    """

    def __init__(self, ports: Union[None, PathLike, Sequence[PathLike]] = None) -> None:
        """ports: a serial device path or a sequence of them, tried in order
        instead of the built-in list (None keeps the environment's
        OMR_SERIAL_PORTS, or the built-in list when it is not set)."""
        self._lib = library()
        self._ports = ports
        self._token = 0

    # Connection -------------------------------------------------------------

    def connect(self, ports: Union[None, PathLike, Sequence[PathLike]] = None) -> int:
        """Find and connect the reader; returns the connection token.

        ports (or those given to the constructor) become OMR_SERIAL_PORTS,
        colon-separated, before the search. Raises OmrError (code 8) when no
        reader answers."""
        chosen = ports if ports is not None else self._ports
        if chosen is not None:
            if isinstance(chosen, (str, bytes, os.PathLike)):
                chosen = [chosen]
            os.environ["OMR_SERIAL_PORTS"] = ":".join(os.fsdecode(p) for p in chosen)
        self._token = self._lib.MR_Installed(0)
        if self._token == 0:
            # The search sets no code of its own: "not connected" is code 8.
            raise OmrError(COMMUNICATION_ERROR, "connect")
        return self._token

    def close(self) -> bool:
        """Close the connection; True when one was closed."""
        self._token = 0
        return bool(self._lib.MR_Close())

    @property
    def token(self) -> int:
        """The connection token of the last successful :meth:`connect`, 0 after :meth:`close`."""
        return self._token

    def __enter__(self) -> "Reader":
        self.connect()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # Errors -----------------------------------------------------------------

    def last_error(self) -> int:
        """The library's last error code (waits 200 ms, as the library does)."""
        return int(self._lib.MR_GetLastError())

    def _fail(self, operation: str) -> OmrError:
        return OmrError(self.last_error(), operation)

    # Forms ------------------------------------------------------------------

    def load_form(self, path: PathLike) -> None:
        """Load a form file and send it to the reader. The form adds to what is
        loaded; :meth:`clear` starts afresh. A file that cannot be opened loads
        as an empty file (the library's rule)."""
        if self._lib.MR_LoadForm(os.fsencode(path), b"") != 0:
            raise self._fail("load_form")

    def add_form_line(self, text: str) -> None:
        """Store one form line (with or without its opening double quote) and
        send the form. When the library refuses the line itself it keeps the
        reason to itself: the error then carries the code the library last
        reported, which may be older than this call."""
        if not self._lib.MR_AddFormLine(_encode_text(text, "a form line")):
            raise self._fail("add_form_line")

    def clear(self) -> None:
        """Clear the reader and, when it answered, the loaded form. Its outcome
        shows only in :meth:`last_error`."""
        self._lib.MR_Clear()

    # Reading ----------------------------------------------------------------

    def read(self, line: Optional[int] = None) -> Sheet:
        """Read one sheet (with ``line``: the read command that passes the low
        8 bits of line to the reader) and return it. Raises OmrError when the
        read fails, for example code 16 when there is no sheet."""
        rc = self._lib.MR_Read() if line is None else self._lib.MR_ReadWithLine(line)
        if rc != 0:
            raise self._fail("read")
        raw = self._result_bytes(RESULT_FORM_LETTER_AND_STATUS, "read")
        text = raw.decode(_RESULT_ENCODING)
        return Sheet(form=text[:1], answers=text[2:], status=raw[1])

    def __iter__(self) -> Iterator[Sheet]:
        """Read sheets until the reader has none: :meth:`sheets` with its
        default limit of failures in a row."""
        return self.sheets()

    def sheets(self, max_errors: int = 5) -> Iterator[Sheet]:
        """Read sheets until the reader has none (code 16, "No sheet!").

        A sheet whose read fails (a reader status such as 3, "Double page", or
        a recognition code 4, 5, 7, 20) is yielded with that code as status.
        After ``max_errors`` such sheets in a row (0: no limit), the feed motor
        is stopped and :class:`TooManyFailures` is raised instead of feeding
        another sheet, as ``omrctl read --max-errors`` stops a batch: a jammed
        reader does not yield refused sheets for ever. Codes 1 (no form) and 8
        (communication) are raised: they are not about a sheet, and a reader
        other than firmware 3.0 reports an empty tray as 8."""
        if isinstance(max_errors, bool) or not isinstance(max_errors, int) or max_errors < 0:
            raise ValueError("max_errors is a whole number from 0 (0: no limit)")
        return self._sheets(max_errors)

    def _sheets(self, max_errors: int) -> Iterator[Sheet]:
        failures = 0
        while True:
            try:
                sheet = self.read()
            except OmrError as error:
                if error.code == NO_SHEET:
                    return
                if error.code in (NO_FORMAT, COMMUNICATION_ERROR):
                    raise
                sheet = Sheet(form="", answers="", status=error.code, error=error)
            failures = failures + 1 if not sheet.ok else 0
            yield sheet
            if max_errors and failures >= max_errors:
                last = sheet.error if sheet.error is not None else OmrError(sheet.status, "read")
                stopped = self._lib.MR_StopMotor() == 0x02FB
                raise TooManyFailures(failures, max_errors, last, stopped)

    def result(self, mode: int = RESULT_ANSWERS) -> str:
        """The last sheet's result text in a mode of the library: 0 the answers,
        1 the form letter and the answers, 2 the status byte and the answers,
        3 the letter, the status byte and the answers. One character per byte,
        so the status byte of a read sheet is "\\x00"."""
        return self._result_bytes(mode, "result").decode(_RESULT_ENCODING)

    def grid(self) -> Optional["Grid"]:
        """The grid of the last sheet whose data arrived (system command 25; it
        sends nothing to the reader), or None when no sheet has been read. A
        read that failed with a reader status such as 3 leaves the sheet
        before it."""
        from .offline import Grid

        area = bytearray(2 + 6154)  # the counts and the frame's cell area
        arg = ctypes.cast((ctypes.c_char * len(area)).from_buffer(area), ctypes.c_void_p)
        if not self._lib.MR_SysCmd(_SYS_SHEET_GRID, arg):
            return None
        lines, columns = area[0], area[1]
        return Grid(lines, columns, bytes(area[2:2 + lines * columns]))

    def decode(self, form: "Form", mode: int = RESULT_ANSWERS) -> "DecodedSheet":
        """The last sheet decoded with ``form`` (an :class:`omr.offline.Form`, the
        form this reader was loaded with): its questions with every cell's
        decision and a confidence. Raises omr.offline.OfflineError (code 6)
        when the library holds no sheet."""
        return form.decode_reader(mode)

    def _result_bytes(self, mode: int, operation: str) -> bytes:
        out = ctypes.create_string_buffer(_RESULT_SIZE)
        count = self._lib.MR_GetResult(out, mode)
        if count < 0:
            raise self._fail(operation)
        return out.raw[: min(count, _RESULT_SIZE)]

    # Transport --------------------------------------------------------------

    def start_motor(self) -> None:
        """Start the feed motor."""
        if self._lib.MR_StartMotor() != 0x01FB:
            raise self._fail("start_motor")

    def stop_motor(self) -> None:
        """Stop the feed motor."""
        if self._lib.MR_StopMotor() != 0x02FB:
            raise self._fail("stop_motor")

    def pass_sheet(self) -> None:
        """Pass (eject) one sheet without reading it."""
        if not self._lib.MR_PassSheet():
            raise self._fail("pass_sheet")

    def is_reading(self) -> int:
        """The reader's answer to "are you reading": 0 to 65535."""
        value = self._lib.MR_IsReading()
        if value < 0:
            raise self._fail("is_reading")
        return int(value)

    def stop_read(self) -> None:
        """Stop a read in progress."""
        if self._lib.MR_StopRead() != 0x27FB:
            raise self._fail("stop_read")

    # Maintenance ------------------------------------------------------------

    def sys_cmd(self, code: int, buffer: Optional[bytearray] = None) -> None:
        """Run a numbered system command with ``buffer`` as its parameter area
        (input read from it, output written into it). The buffer must be as
        large as the command reads or writes."""
        if buffer is None or len(buffer) == 0:
            arg = None
        else:
            arg = ctypes.cast((ctypes.c_char * len(buffer)).from_buffer(buffer), ctypes.c_void_p)
        if not self._lib.MR_SysCmd(code, arg):
            raise self._fail(f"sys_cmd({code})")

    def serial(self) -> str:
        """The reader's serial number."""
        out = ctypes.create_string_buffer(64)
        count = self._lib.MR_GetSerial(out)
        if count < 0:
            raise self._fail("serial")
        return _decode_text(out.raw[: min(count, 63)])

    def set_serial(self, serial: str) -> None:
        """Write the serial number: at most 8 bytes, filled out with zero bytes."""
        data = _encode_text(serial, "a serial number")
        if len(data) > _SERIAL_SIZE:
            raise ValueError("a serial number has at most 8 bytes")
        self.sys_cmd(_SYS_WRITE_SERIAL, bytearray(data.ljust(_SERIAL_SIZE, b"\0")))

    def info_block(self) -> str:
        """The reader's 128-byte information block, as text."""
        area = bytearray(_INFO_BLOCK_SIZE + 1)
        self.sys_cmd(_SYS_READ_INFO_BLOCK, area)
        return _decode_text(bytes(area[:_INFO_BLOCK_SIZE]))

    def set_info_block(self, text: str) -> None:
        """Write the information block: at most 128 bytes, filled out with spaces."""
        data = _encode_text(text, "the information block")
        if len(data) > _INFO_BLOCK_SIZE:
            raise ValueError("the information block has at most 128 bytes")
        self.sys_cmd(_SYS_WRITE_INFO_BLOCK, bytearray(data.ljust(_INFO_BLOCK_SIZE, b" ")))

    def user_text(self) -> str:
        """The reader's stored user text. The library does not set an error
        code when this fails: the error carries the last code reported."""
        area = bytearray(_USER_TEXT_AREA + 1)
        self.sys_cmd(_SYS_READ_USER_TEXT, area)
        return _decode_text(bytes(area).split(b"\0", 1)[0])

    def set_user_text(self, text: str) -> None:
        """Store a user text (at most 255 bytes in GBK). As for
        :meth:`user_text`, a failure leaves the last error code as it was."""
        self.sys_cmd(_SYS_WRITE_USER_TEXT, bytearray(_encode_text(text, "a user text") + b"\0"))

    def total(self) -> int:
        """The reader's total counter. The library answers 0 on failure, so a
        0 is checked against the last error (8 on failure)."""
        value = self._lib.MR_ReadTotal()
        if value == 0 and self.last_error() == COMMUNICATION_ERROR:
            raise OmrError(COMMUNICATION_ERROR, "total")
        return int(value)

    def version(self) -> str:
        """The reader's firmware version, such as "3.0"."""
        area = bytearray(16)
        self.sys_cmd(_SYS_VERSION, area)
        return _decode_text(bytes(area).split(b"\0", 1)[0])

    def channel_count(self) -> int:
        """The reader's channel count."""
        area = bytearray(4)
        self.sys_cmd(_SYS_CHANNEL_COUNT, area)
        return int.from_bytes(area, "little", signed=True)

    def parameter_block(self) -> bytes:
        """The reader's 4-byte parameter block."""
        area = bytearray(4)
        self.sys_cmd(_SYS_PARAMETER_BLOCK, area)
        return bytes(area)

    def set_parameter_block(self, block: bytes) -> None:
        """Write the 4-byte parameter block."""
        if len(block) != 4:
            raise ValueError("the parameter block has 4 bytes")
        self.sys_cmd(_SYS_SET_PARAMETER_BLOCK, bytearray(block))

    # Identity (no reader needed) --------------------------------------------

    def device_name(self) -> str:
        """The device name the library reports."""
        out = ctypes.create_string_buffer(64)
        count = self._lib.MR_GetDeviceName(self.device_number(), out)
        return _decode_text(out.raw[: max(0, min(count, 63))])

    def device_number(self) -> int:
        """The device number the library reports (2005)."""
        return int(self._lib.MR_GetDeviceNum(0))

    def check_ability(self, capability: int) -> bool:
        """Whether the library reports the capability code as supported."""
        return bool(self._lib.MR_CheckAbility(capability))
