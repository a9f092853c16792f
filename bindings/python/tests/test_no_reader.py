"""The package without a reader: library loading, messages, errors, and every
call that needs a reader failing with the library's code."""

from __future__ import annotations

import ctypes
import os

import pytest

import omr
from conftest import NO_READER, run_fresh


def test_library_comes_from_omr_library_when_set():
    lib = omr.library()
    assert omr.library_path() is not None
    if os.environ.get(omr.LIBRARY_ENV):
        assert omr.library_path() == os.environ[omr.LIBRARY_ENV]
    assert lib.MR_GetDeviceNum(0) == 2005


def test_unloadable_omr_library_is_an_os_error_naming_it():
    done = run_fresh("import omr\n"
                     "try:\n"
                     "    omr.Reader()\n"
                     "except OSError as e:\n"
                     "    print('OSError', e)\n",
                     env={omr.LIBRARY_ENV: "/nonexistent/libomr.so"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("OSError")
    assert "/nonexistent/libomr.so" in done.stdout


@pytest.mark.parametrize("code, english, chinese", [
    (3, "Double page", "双张错!"),
    (8, "Communication error!", "通讯错(未联机)!"),
    (9, "Head-A Sync-mark overcount!", "A传感器同步框计数值超界!"),
    (11, "Head-A/B not matching!", "A、B传感器匹配阅读错!"),
    (16, "No sheet!", "无纸!"),
    (23, "Redefined D command in same form!", "D命令在一套格式中重复定义!"),
    (10, "Unknown error code:10", "未知错误代码:10"),
    (0, "Unknown error code:0", "未知错误代码:0"),
    (-5, "Unknown error code:-5", "未知错误代码:-5"),
])
def test_messages_in_both_languages(code, english, chinese):
    assert omr.error_message(code) == english
    assert omr.error_message_zh(code) == chinese
    error = omr.OmrError(code, "read")
    assert (error.code, error.message, error.message_zh, error.operation) == (code, english, chinese, "read")
    assert str(error).startswith(f"read: {english} (code {code}")
    assert chinese in str(error)


def test_device_identity_needs_no_reader():
    reader = omr.Reader()
    assert reader.device_name() == "HalvexorZuta系列"
    assert reader.device_number() == 2005
    assert [reader.check_ability(c) for c in (101, 402, 102, 0)] == [True, True, False, False]


def test_connect_sets_the_serial_list_and_fails_with_code_8(tmp_path):
    paths = [tmp_path / "a", tmp_path / "b"]
    reader = omr.Reader(paths)
    with pytest.raises(omr.OmrError) as raised:
        reader.connect()
    assert os.environ["OMR_SERIAL_PORTS"] == f"{paths[0]}:{paths[1]}"
    assert (raised.value.code, raised.value.message) == (8, "Communication error!")
    assert raised.value.message_zh == "通讯错(未联机)!"
    assert reader.token == 0


def test_connect_without_ports_keeps_the_environment():
    with pytest.raises(omr.OmrError) as raised:
        with omr.Reader():
            pass
    assert raised.value.code == omr.COMMUNICATION_ERROR
    assert os.environ["OMR_SERIAL_PORTS"] == NO_READER


def test_close_without_connection_is_false():
    assert omr.Reader().close() is False


def test_read_without_form_is_no_format():
    # A fresh process: the library state of this one may hold forms.
    done = run_fresh("import omr\n"
                     "try:\n"
                     "    omr.Reader().read()\n"
                     "except omr.OmrError as e:\n"
                     "    print(e.code, e.message, e.operation)\n",
                     env={"OMR_SERIAL_PORTS": NO_READER})
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "1 No format! read"


SMALL_FORM = """\
"T A 002 47/"
"G 03 02 02 05/"
"L 070 30 24/"
"M 001 01 40/"
"D 01 ABCDE/"
"F  14   2U S  1  20R 0/"
"""


@pytest.fixture(scope="module")
def small_form(tmp_path_factory):
    path = tmp_path_factory.mktemp("forms") / "small.form"
    path.write_text(SMALL_FORM, encoding="ascii")
    return path


@pytest.mark.parametrize("call", [
    lambda r, form: r.load_form(form),
    lambda r, form: r.add_form_line('"T A 002 47/"'),
    lambda r, form: r.start_motor(),
    lambda r, form: r.stop_motor(),
    lambda r, form: r.pass_sheet(),
    lambda r, form: r.is_reading(),
    lambda r, form: r.stop_read(),
    lambda r, form: r.serial(),
    lambda r, form: r.version(),
    lambda r, form: r.channel_count(),
    lambda r, form: r.info_block(),
    lambda r, form: r.parameter_block(),
    lambda r, form: r.total(),
], ids=["load_form", "add_form_line", "start_motor", "stop_motor", "pass_sheet", "is_reading",
        "stop_read", "serial", "version", "channel_count", "info_block", "parameter_block", "total"])
def test_reader_calls_without_reader_raise_code_8(call, small_form):
    reader = omr.Reader()
    with pytest.raises(omr.OmrError) as raised:
        call(reader, small_form)
    assert raised.value.code == omr.COMMUNICATION_ERROR
    assert raised.value.message == "Communication error!"


def test_texts_with_a_zero_or_too_long_are_refused_before_the_library():
    reader = omr.Reader()
    with pytest.raises(ValueError):
        reader.add_form_line('"T A\0 002 47/"')
    with pytest.raises(ValueError):
        reader.set_info_block("x" * 129)
    with pytest.raises(ValueError):
        reader.set_serial("123456789")
    with pytest.raises(ValueError):
        reader.set_parameter_block(b"\x01\x02\x03")


def test_unknown_system_command_raises_with_the_unchanged_last_error():
    reader = omr.Reader()
    before = reader.last_error()
    with pytest.raises(omr.OmrError) as raised:
        reader.sys_cmd(31, bytearray(8))
    assert raised.value.code == before


def test_legacy_entry_points_through_plain_ctypes_without_reader():
    # A separate handle on the same library, with no prototypes from the package.
    lib = ctypes.CDLL(omr.library_path())
    command = ctypes.create_string_buffer(b"", 16)
    assert lib.OmrS(command) == -1  # no reader to connect on demand
    out = ctypes.create_string_buffer(b"XYZW", 16)
    assert lib.OmrG(out) == -1
    assert lib.OmrVer(out) == -1
    assert out.value == b"XYZW"
