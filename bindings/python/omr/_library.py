"""Finding and loading libomr.so and libomr-offline.so, with the C prototypes
of their exports."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from pathlib import Path
from typing import List, Optional

__all__ = ["LIBRARY_ENV", "OFFLINE_LIBRARY_ENV", "SONAME", "candidates", "library", "library_path",
           "offline_library", "offline_candidates"]

#: Environment variable naming the library file to load, before any other place.
LIBRARY_ENV = "OMR_LIBRARY"
#: The same for libomr-offline.
OFFLINE_LIBRARY_ENV = "OMR_OFFLINE_LIBRARY"
#: The library's SONAME: the interface these prototypes describe.
SONAME = "libomr.so.1"


def _build_tree_library() -> Optional[Path]:
    """This source tree's build, when the package is imported from the tree
    (bindings/python/omr) rather than installed."""
    package = Path(__file__).resolve().parent
    if len(package.parents) < 3 or package.parents[0].name != "python" or package.parents[1].name != "bindings":
        return None
    root = package.parents[2]
    if not (root / "include" / "omr.h").is_file():
        return None
    return root / "build" / "default" / SONAME


_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None
_loaded_from: Optional[str] = None
_offline: Optional[ctypes.CDLL] = None

_c_int = ctypes.c_int
_c_ubyte = ctypes.c_ubyte
_c_char_p = ctypes.c_char_p
_c_void_p = ctypes.c_void_p

# name: (result type, argument types). Text buffers are passed as char*.
_PROTOTYPES = {
    "MR_Installed": (_c_int, [_c_int]),
    "MR_Close": (_c_ubyte, []),
    "CloseCom": (_c_ubyte, []),
    "MR_GetDeviceName": (_c_int, [_c_int, _c_char_p]),
    "MR_GetDeviceNum": (_c_int, [_c_int]),
    "MR_GetType": (_c_int, []),
    "MR_CheckAbility": (_c_int, [_c_int]),
    "MR_LoadForm": (_c_int, [_c_char_p, _c_char_p]),
    "MR_AddFormLine": (_c_ubyte, [_c_char_p]),
    "MR_Clear": (_c_ubyte, []),
    "MR_Read": (_c_int, []),
    "MR_ReadNoWait": (_c_int, []),
    "MR_ReadWithLine": (_c_int, [_c_int]),
    "MR_GetResult": (_c_int, [_c_char_p, _c_int]),
    "MR_GetBarcodeString": (_c_int, [_c_int, _c_int]),
    "MR_IsReading": (_c_int, []),
    "MR_StopRead": (_c_int, []),
    "MR_StartMotor": (_c_int, []),
    "MR_StopMotor": (_c_int, []),
    "MR_PassSheet": (_c_ubyte, []),
    "MR_GetLastError": (_c_int, []),
    "MR_GetErrMsg": (_c_int, [_c_int, _c_char_p]),
    "MR_GetErrMsgEn": (_c_int, [_c_int, _c_char_p]),
    "MR_SysCmd": (_c_int, [_c_int, _c_void_p]),
    "MR_GetSerial": (_c_int, [_c_char_p]),
    "MR_ReadTotal": (_c_int, []),
    "MR_SaveConfig": (_c_int, []),
    "MR_GetPara": (_c_int, [_c_int]),
    "MR_SetPara": (_c_int, [_c_int]),
    "OmrS": (_c_int, [_c_char_p]),
    "OmrG": (_c_int, [_c_char_p]),
    "OmrVer": (_c_int, [_c_char_p]),
}


def candidates() -> List[str]:
    """The places tried, in order: $OMR_LIBRARY alone when it is set; otherwise
    this source tree's build (only when the package is imported from the
    tree), then the installed library by its SONAME, as the dynamic linker
    finds it."""
    explicit = os.environ.get(LIBRARY_ENV)
    if explicit:
        return [explicit]
    found: List[str] = []
    built = _build_tree_library()
    if built is not None and built.is_file():
        found.append(str(built))
    found.append(SONAME)
    return found


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p), ("dli_sname", ctypes.c_char_p),
                ("dli_saddr", ctypes.c_void_p)]


def _file_of(lib: ctypes.CDLL, name: str) -> str:
    """The file the dynamic linker loaded for lib: a SONAME becomes the path
    it was found at. name when that cannot be told."""
    try:
        dladdr = ctypes.CDLL(None).dladdr
    except (OSError, AttributeError):
        return name
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    dladdr.restype = ctypes.c_int
    info = _DlInfo()
    if dladdr(ctypes.cast(lib.MR_Close, ctypes.c_void_p), ctypes.byref(info)) == 0 or not info.dli_fname:
        return name
    return os.path.abspath(os.fsdecode(info.dli_fname))


def _declare(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def library() -> ctypes.CDLL:
    """The loaded library (loaded once per process: it keeps one driver state
    for the whole process). Raises OSError when no candidate loads."""
    global _loaded, _loaded_from
    with _lock:
        if _loaded is not None:
            return _loaded
        errors = []
        for path in candidates():
            try:
                lib = ctypes.CDLL(path)
            except OSError as error:
                errors.append(f"{path}: {error}")
                continue
            _declare(lib)
            _loaded, _loaded_from = lib, _file_of(lib, path)
            return lib
        raise OSError("cannot load libomr (install the libomr1 package, or set " + LIBRARY_ENV +
                      " to the library's path): " + "; ".join(errors))


def library_path() -> Optional[str]:
    """The file the library was loaded from, None before loading."""
    return _loaded_from


def offline_candidates() -> List[str]:
    """The places tried for libomr-offline, in order: $OMR_OFFLINE_LIBRARY alone
    when it is set; otherwise beside the libomr that was loaded (and in its
    offline/ directory, as the build tree has it), the source tree's build,
    then the installed library."""
    explicit = os.environ.get(OFFLINE_LIBRARY_ENV)
    if explicit:
        return [explicit]
    found: List[str] = []
    if _loaded_from and os.sep in _loaded_from:
        here = Path(_loaded_from).resolve().parent
        found += [str(here / "libomr-offline.so.1"), str(here / "offline" / "libomr-offline.so.1")]
    built = _build_tree_library()
    if built is not None:
        found.append(str(built.parent / "offline" / "libomr-offline.so.1"))
    name = ctypes.util.find_library("omr-offline")
    if name:
        found.append(name)
    found.append("libomr-offline.so.1")
    return [f for i, f in enumerate(found) if f not in found[:i] and (os.sep not in f or Path(f).is_file())]


_c_size = ctypes.c_size_t
_c_double = ctypes.c_double
_p = ctypes.POINTER

# The C structures of omr_offline.h.
TEXT_MAX = 128


class Diagnostic(ctypes.Structure):
    _fields_ = [("line", _c_int), ("column", _c_int), ("code", _c_int), ("severity", _c_int),
                ("kind", ctypes.c_char * 24), ("message", ctypes.c_char * 512), ("text", ctypes.c_char * 256)]


class Bar(ctypes.Structure):
    _fields_ = [("line", _c_int), ("first", _c_int), ("last", _c_int)]


class LayoutInfo(ctypes.Structure):
    _fields_ = [("slot", _c_int), ("letter", ctypes.c_char), ("lines", _c_int), ("ident_line", _c_int),
                ("ident_column", _c_int), ("questions", _c_int), ("fields", _c_int), ("g1", _c_int), ("g2", _c_int),
                ("g3", _c_int), ("g4", _c_int), ("bar_count", _c_int), ("bars", Bar * 6), ("coding_mode", _c_int),
                ("empty_char", ctypes.c_char), ("multiple_char", ctypes.c_char), ("inherited", ctypes.c_char * 24)]


class QuestionInfo(ctypes.Structure):
    _fields_ = [("number", _c_int), ("type", ctypes.c_char), ("cell_count", _c_int), ("option_count", _c_int),
                ("options", ctypes.c_char * TEXT_MAX), ("first_line", _c_int), ("first_column", _c_int)]


class SheetInfo(ctypes.Structure):
    _fields_ = [("code", _c_int), ("letter", ctypes.c_char), ("layout", _c_int), ("lines", _c_int),
                ("columns", _c_int), ("mode", _c_int), ("questions", _c_int), ("paper", _c_double),
                ("mark", _c_double), ("doubtful", _c_int), ("confidence", _c_double)]


class Question(ctypes.Structure):
    _fields_ = [("number", _c_int), ("type", ctypes.c_char), ("character", ctypes.c_ubyte), ("cell_count", _c_int),
                ("option_count", _c_int), ("marked_count", _c_int), ("marked", ctypes.c_char * TEXT_MAX),
                ("options", ctypes.c_char * TEXT_MAX), ("confidence", _c_double), ("doubtful", _c_int)]


class Cell(ctypes.Structure):
    _fields_ = [("line", _c_int), ("column", _c_int), ("value", _c_int), ("label", ctypes.c_char),
                ("marked", _c_int), ("threshold", _c_int), ("margin", _c_double), ("doubtful", _c_int)]


_OFFLINE_PROTOTYPES = {
    "omro_version": (ctypes.c_uint, []),
    "omro_error_text": (_c_char_p, [_c_int]),
    "omro_last_message": (_c_int, [_c_char_p, _c_size]),
    "omro_doubt_name": (_c_char_p, [_c_int]),
    "omro_form_load": (_c_int, [_c_char_p, _p(_c_void_p)]),
    "omro_form_load_text": (_c_int, [_c_char_p, _c_size, _p(_c_void_p)]),
    "omro_form_free": (None, [_c_void_p]),
    "omro_form_status": (_c_int, [_c_void_p]),
    "omro_form_command_lines": (_c_int, [_c_void_p]),
    "omro_form_set_head_columns": (_c_int, [_c_void_p, _c_int]),
    "omro_form_diagnostic_count": (_c_int, [_c_void_p]),
    "omro_form_diagnostic": (_c_int, [_c_void_p, _c_int, _p(Diagnostic)]),
    "omro_form_layout_count": (_c_int, [_c_void_p]),
    "omro_form_layout": (_c_int, [_c_void_p, _c_int, _p(LayoutInfo)]),
    "omro_form_question": (_c_int, [_c_void_p, _c_int, _c_int, _p(QuestionInfo)]),
    "omro_grid_file_read": (_c_int, [_c_char_p, _p(_c_int), _p(_c_int), _c_char_p, _c_size]),
    "omro_grid_file_write": (_c_int, [_c_char_p, _c_int, _c_int, _c_char_p, _c_size, _c_char_p]),
    "omro_decode_grid": (_c_int, [_c_void_p, _c_int, _c_int, _c_char_p, _c_size, _c_int, _p(_c_void_p)]),
    "omro_decode_grid_file": (_c_int, [_c_void_p, _c_char_p, _c_int, _p(_c_void_p)]),
    "omro_decode_reader": (_c_int, [_c_void_p, _c_int, _p(_c_void_p)]),
    "omro_sheet_free": (None, [_c_void_p]),
    "omro_sheet_get_info": (_c_int, [_c_void_p, _p(SheetInfo)]),
    "omro_sheet_result": (_c_int, [_c_void_p, _c_char_p, _c_size, _p(_c_size)]),
    "omro_sheet_question": (_c_int, [_c_void_p, _c_int, _p(Question)]),
    "omro_sheet_cell": (_c_int, [_c_void_p, _c_int, _c_int, _p(Cell)]),
    "omro_sheet_grid": (_c_int, [_c_void_p, _c_char_p, _c_size]),
    "omro_sheet_write_grid": (_c_int, [_c_void_p, _c_char_p, _c_char_p]),
    "omro_sheet_write_png": (_c_int, [_c_void_p, _c_char_p]),
    "omro_sheet_png": (_c_int, [_c_void_p, _c_char_p, _c_size, _p(_c_size)]),
}


def offline_library() -> ctypes.CDLL:
    """libomr-offline, loaded once per process after libomr, so that the
    driver it reads the last sheet from is the one this process talks to.
    Raises OSError when no candidate loads."""
    global _offline
    library()
    with _lock:
        if _offline is not None:
            return _offline
        errors = []
        for path in offline_candidates():
            try:
                lib = ctypes.CDLL(path)
            except OSError as error:
                errors.append(f"{path}: {error}")
                continue
            for name, (restype, argtypes) in _OFFLINE_PROTOTYPES.items():
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
            _offline = lib
            return lib
        raise OSError("cannot load libomr-offline (set " + OFFLINE_LIBRARY_ENV + " to its path): " +
                      "; ".join(errors))
