"""setuptools writes build/ and omr.egg-info beside the sources; both go to a
temporary folder instead, so that building or installing the package leaves
the source tree as it was."""

import atexit
import shutil
import tempfile

from setuptools import setup

_scratch = tempfile.mkdtemp(prefix="omr-python-build-")
atexit.register(shutil.rmtree, _scratch, ignore_errors=True)

setup(options={"build": {"build_base": _scratch}, "egg_info": {"egg_base": _scratch}})
