"""The package against omrsim on a pty: a whole batch, errors with their
codes and texts, transport and maintenance calls, and the legacy entry points
through plain ctypes."""

from __future__ import annotations

import ctypes
import os

import pytest

import omr
from conftest import EXAMPLES

EXAM = EXAMPLES / "exam60.form"


def connected(sim) -> omr.Reader:
    reader = omr.Reader(sim.link)
    reader.connect()
    reader.clear()  # the library's form store is process-wide: start afresh
    return reader


def test_whole_exam_batch_matches_the_simulators_expectation(simulator):
    sim = simulator()
    with omr.Reader(sim.link) as reader:
        reader.clear()
        reader.load_form(EXAM)
        sheets = list(reader)
    assert [(s.form, s.answers, s.status) for s in sheets] == sim.expected
    assert any(s.ok for s in sheets) and any(not s.ok for s in sheets)
    for sheet in sheets:
        if sheet.ok:
            assert sheet.error is None and sheet.form == "A" and len(sheet.answers) == 70
        else:
            assert sheet.error.code == sheet.status
            assert sheet.error.message == omr.error_message(sheet.status)
            assert sheet.error.message_zh == omr.error_message_zh(sheet.status)


def test_read_and_result_modes(simulator):
    sim = simulator()
    letter, answers, _ = sim.expected[0]
    with connected(sim) as reader:
        reader.load_form(EXAM)
        sheet = reader.read()
        assert (sheet.form, sheet.answers, sheet.status) == (letter, answers, 0)
        assert reader.result() == answers
        assert reader.result(omr.RESULT_FORM_LETTER) == letter + answers
        assert reader.result(omr.RESULT_STATUS) == "\0" + answers
        assert reader.result(omr.RESULT_FORM_LETTER_AND_STATUS) == letter + "\0" + answers
        second = reader.read(line=5)  # the read command that names a line
        assert (second.form, second.answers) == sim.expected[1][:2]


def test_empty_tray_is_no_sheet(simulator):
    sim = simulator(EXAM, None)
    with connected(sim) as reader:
        reader.load_form(EXAM)
        assert list(reader) == []
        with pytest.raises(omr.OmrError) as raised:
            reader.read()
    assert (raised.value.code, raised.value.message, raised.value.message_zh) == (16, "No sheet!", "无纸!")
    assert raised.value.operation == "read"


@pytest.mark.parametrize("fault, code, english, chinese", [
    ("24:status=3", 3, "Double page", "双张错!"),
    ("26:crc", 20, "CRC error!", "CRC校验错!"),
    ("24:wrong-code", 8, "Communication error!", "通讯错(未联机)!"),
])
def test_read_faults_raise_the_readers_code(simulator, fault, code, english, chinese):
    sim = simulator(EXAM, EXAMPLES / "exam60.answers", "--fault", fault)
    with connected(sim) as reader:
        reader.load_form(EXAM)
        with pytest.raises(omr.OmrError) as raised:
            reader.read()
        assert (raised.value.code, raised.value.message, raised.value.message_zh) == (code, english, chinese)


def test_form_errors_raise_the_loaders_code(simulator, tmp_path):
    sim = simulator(None, None)
    bad = tmp_path / "bad.form"
    # The third command line is an F line without a cell direction.
    bad.write_text('"T A 002 47/"\n"L 070 30 24/"\n"F  14   2  S  1  20R 0/"\n', encoding="ascii")
    with connected(sim) as reader:
        with pytest.raises(omr.OmrError) as raised:
            reader.load_form(bad)
        assert (raised.value.code, raised.value.message) == (25, "F command overflow!")
        assert raised.value.message_zh == "F命令溢出!"
        reader.clear()
        reader.add_form_line("T A 002 47/")  # without its quotes, as the library allows
        reader.add_form_line('"L 070 30 24/"')


def test_calls_after_close_raise_not_connected(simulator):
    sim = simulator()
    reader = connected(sim)
    assert reader.token != 0
    assert reader.close() is True
    assert reader.close() is False
    with pytest.raises(omr.OmrError) as raised:
        reader.start_motor()
    assert raised.value.code == omr.COMMUNICATION_ERROR


def test_transport_calls(simulator):
    sim = simulator()
    with connected(sim) as reader:
        reader.load_form(EXAM)
        reader.start_motor()
        reader.stop_motor()
        assert reader.is_reading() == 0
        reader.stop_read()
        reader.pass_sheet()  # the first sheet leaves unread
        sheet = reader.read()
        assert (sheet.form, sheet.answers) == sim.expected[1][:2]


def test_maintenance_round_trips(simulator):
    sim = simulator(EXAM, EXAMPLES / "exam60.answers", "--version", "3.1", "--channels", "40")
    with connected(sim) as reader:
        assert reader.version() == "3.1"
        assert reader.channel_count() == 40
        reader.set_serial("OMR20261")
        assert reader.serial() == "OMR20261"
        reader.set_info_block("Exam office, room 12")
        assert reader.info_block() == "Exam office, room 12".ljust(128)
        reader.set_user_text("期末考试 2026")
        assert reader.user_text() == "期末考试 2026"
        reader.set_parameter_block(b"\x01\x02\x00\x04")
        assert reader.parameter_block() == b"\x01\x02\x00\x04"
        before = reader.total()
        reader.load_form(EXAM)
        reader.read()
        assert reader.total() == before + 1


def test_legacy_entry_points_still_work_through_plain_ctypes(simulator):
    sim = simulator()
    letter, answers, _ = sim.expected[0]
    os.environ["OMR_SERIAL_PORTS"] = str(sim.link)
    lib = ctypes.CDLL(omr.library_path())  # no prototypes from the package
    reply = ctypes.create_string_buffer(64)

    def send(text: bytes) -> int:
        command = ctypes.create_string_buffer(text, 300)
        return lib.OmrS(command)

    assert send(b"B/") == 0  # connects on demand, clears reader and form
    assert send(b"S " + bytes(EXAM) + b"/") == 0
    assert lib.OmrG(reply) == 0 and reply.value == b"OK"
    assert send(b"/") == 0
    assert send(b"001") == 1
    ctypes.memset(reply, 0, 64)
    assert lib.OmrG(reply) == 0 and reply.value == letter.encode()
    assert send(b"002   ") == 4
    ctypes.memset(reply, 0, 64)
    assert lib.OmrG(reply) == 0 and reply.value == answers[:4].encode()
    version = ctypes.create_string_buffer(64)
    assert lib.OmrVer(version) == 0 and version.value
    assert lib.CloseCom() == 1


@pytest.mark.parametrize("max_errors", [5, 2])
def test_a_jammed_reader_stops_after_max_errors_failures_in_a_row(simulator, max_errors):
    # Every read is refused (two sheets at once): omrctl read --max-errors stops the batch; so does iteration.
    sim = simulator(EXAM, EXAMPLES / "exam60.answers", "--fault", "24:status=3:always")
    with connected(sim) as reader:
        reader.load_form(EXAM)
        seen = []
        with pytest.raises(omr.TooManyFailures) as raised:
            for sheet in (reader if max_errors == 5 else reader.sheets(max_errors=max_errors)):
                seen.append(sheet.status)
        assert seen == [3] * max_errors
        error = raised.value
        assert isinstance(error, omr.OmrError) and (error.code, error.failures, error.max_errors) == (3, max_errors,
                                                                                                     max_errors)
        assert f"{max_errors} sheets in a row failed (max_errors {max_errors}" in str(error)
        assert "Double page" in str(error) and error.transport_stopped


def test_a_sheet_read_starts_the_count_again_and_max_errors_0_never_stops(simulator):
    # The first read is refused, the second reads, then every read is refused.
    sim = simulator(EXAM, EXAMPLES / "exam60.answers", "--fault", "24:status=3",
                    "--fault", "24:status=3:always:after=2")
    with connected(sim) as reader:
        reader.load_form(EXAM)
        seen = []
        with pytest.raises(omr.TooManyFailures):
            for sheet in reader.sheets(max_errors=2):
                seen.append(sheet.status)
        assert seen == [3, 0, 3, 3]
        statuses = [s.status for s, _ in zip(reader.sheets(max_errors=0), range(12))]
        assert statuses == [3] * 12
        for bad in (-1, 1.5, True):
            with pytest.raises(ValueError):
                reader.sheets(max_errors=bad)
