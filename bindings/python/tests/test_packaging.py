"""pip installs the package offline, and the installed copy works outside the
source tree."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest

import omr
from conftest import PACKAGE_ROOT


def test_pip_installs_offline_into_a_venv(tmp_path):
    venv = tmp_path / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)],
                          capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"no venv module: {made.stderr.strip()}")
    python = venv / "bin" / "python"
    has_pip = subprocess.run([str(python), "-m", "pip", "--version"], capture_output=True)
    if has_pip.returncode != 0:
        pytest.skip("pip is not available to this Python")
    env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYTHONPATH", None)
    # setuptools builds inside the project: build from a copy, not the source tree.
    copy = tmp_path / "src"
    shutil.copytree(PACKAGE_ROOT, copy, ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    installed = subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-build-isolation", str(copy)],
                               cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    omr.library()
    env[omr.LIBRARY_ENV] = omr.library_path()
    used = subprocess.run([str(python), "-c", "import omr; print(omr.__file__); print(omr.error_message(3))"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    assert used.returncode == 0, used.stderr
    location, message = used.stdout.splitlines()
    assert location.startswith(str(venv))
    assert message == "Double page"
