"""The package builds and installs offline without writing into the source
tree, and an installed copy finds the library by its SONAME and says where
it found it."""

from __future__ import annotations

import os
import subprocess
import sys
import zipfile
from pathlib import Path
from typing import List

import pytest

import omr
from conftest import PACKAGE_ROOT, SOURCE_ROOT
from omr._library import SONAME, candidates


def _tree() -> List[str]:
    """Every file and folder of the Python project but bytecode caches."""
    return sorted(str(p.relative_to(PACKAGE_ROOT)) for p in PACKAGE_ROOT.rglob("*") if "__pycache__" not in p.parts)


def _offline_env() -> dict:
    env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONPATH", None)
    env.pop(omr.LIBRARY_ENV, None)
    return env


def _venv_with_pip(tmp_path: Path) -> Path:
    venv = tmp_path / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)],
                          capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"no venv module: {made.stderr.strip()}")
    python = venv / "bin" / "python"
    if subprocess.run([str(python), "-m", "pip", "--version"], capture_output=True).returncode != 0:
        pytest.skip("pip is not available to this Python (python3-pip)")
    return python


def test_wheel_builds_offline_and_leaves_the_source_tree_as_it_was(tmp_path):
    before = _tree()
    built = subprocess.run([sys.executable, "-c", "import sys; from setuptools import build_meta; "
                            "print(build_meta.build_wheel(sys.argv[1]))", str(tmp_path)],
                           cwd=PACKAGE_ROOT, env=_offline_env(), capture_output=True, text=True, timeout=300)
    assert built.returncode == 0, built.stdout + built.stderr
    assert _tree() == before
    with zipfile.ZipFile(tmp_path / built.stdout.split()[-1]) as wheel:
        names = set(wheel.namelist())
        metadata = wheel.read(f"omr-{omr.__version__}.dist-info/METADATA").decode().splitlines()
    sources = {f"omr/{p.name}" for p in (PACKAGE_ROOT / "omr").iterdir() if p.suffix == ".py" or p.name == "py.typed"}
    assert {n for n in names if n.startswith("omr/")} == sources
    assert f"Version: {omr.__version__}" in metadata


def test_versions_agree_with_the_project():
    cmake = (SOURCE_ROOT / "CMakeLists.txt").read_text()
    assert f"project(omr VERSION {omr.__version__} " in cmake


def test_pip_install_leaves_the_tree_and_the_copy_finds_the_library_by_its_soname(tmp_path):
    python = _venv_with_pip(tmp_path)
    env = _offline_env()
    before = _tree()
    installed = subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-build-isolation", str(PACKAGE_ROOT)],
                               cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    assert _tree() == before

    # The library's folder on the linker's path stands in for an installed libomr1.
    omr.library()
    folder = Path(omr.library_path()).parent
    assert (folder / SONAME).exists()
    env["LD_LIBRARY_PATH"] = str(folder) + os.pathsep + env.get("LD_LIBRARY_PATH", "")
    used = subprocess.run([str(python), "-c", "import omr, omr._library as l; m = omr.error_message(3); "
                           "print(omr.__file__); print(l.candidates()); print(omr.library_path()); print(m)"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    assert used.returncode == 0, used.stderr
    location, candidates, path, message = used.stdout.splitlines()
    assert location.startswith(str(tmp_path / "venv"))
    assert candidates == repr([SONAME])  # no source tree for an installed copy
    assert path == str(folder / SONAME)
    assert message == "Double page"


def test_a_copy_in_the_source_tree_tries_the_tree_build_first(monkeypatch):
    monkeypatch.delenv(omr.LIBRARY_ENV, raising=False)
    built = SOURCE_ROOT / "build" / "default" / SONAME
    assert candidates() == ([str(built)] if built.is_file() else []) + [SONAME]
