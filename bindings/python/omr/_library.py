"""Finding and loading libomr.so, with the C prototypes of its exports."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from pathlib import Path
from typing import List, Optional

__all__ = ["LIBRARY_ENV", "SONAME", "candidates", "library", "library_path"]

#: Environment variable naming the library file to load, before any other place.
LIBRARY_ENV = "OMR_LIBRARY"
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
