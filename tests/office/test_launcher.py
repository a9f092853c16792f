"""The desktop entry "OMR office": its Exec command line run as a desktop
would (omrctl on PATH, a fake xdg-open that records what it is given), the
office answering at the address the browser is sent to, with its token; a
second click opens the office that runs. And the systemd user unit's form."""

from __future__ import annotations

import configparser
import os
import re
import shlex
import shutil
import socket
import stat
import subprocess
import time
import urllib.parse
from pathlib import Path

import pytest

from office_support import OMRCTL, SOURCE, Client, need_programs

DESKTOP = SOURCE / "packaging" / "desktop" / "omr-office.desktop"
UNIT = SOURCE / "packaging" / "desktop" / "omr-office.service"
PORT = 8090  # the default address the entry starts the office on


class Opened(Client):
    def __init__(self, url: str) -> None:
        parts = urllib.parse.urlsplit(url)
        self.port = parts.port
        self.token = urllib.parse.parse_qs(parts.query)["token"][0]


def entry() -> configparser.SectionProxy:
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(DESKTOP, encoding="utf-8")
    return parser["Desktop Entry"]


def wait_for_lines(path: Path, count: int, process: subprocess.Popen) -> list:
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if path.exists():
            lines = path.read_text().splitlines()
            if len(lines) >= count:
                return lines
        if process.poll() is not None and process.returncode != 0:
            pytest.fail(f"the entry's command exited {process.returncode}: {process.communicate()}")
        time.sleep(0.05)
    pytest.fail(f"the browser was not opened ({path} has fewer than {count} lines)")


def test_the_desktop_entry_opens_the_office_in_the_browser(tmp_path):
    need_programs()
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.1", PORT))
        except OSError:
            pytest.skip(f"port {PORT} is taken on this machine: the entry's office cannot start there")
    if shutil.which("desktop-file-validate"):
        checked = subprocess.run(["desktop-file-validate", str(DESKTOP)], capture_output=True, text=True)
        assert checked.returncode == 0 and checked.stdout == "", checked.stdout + checked.stderr
    e = entry()
    assert e["Type"] == "Application" and e["Name"] == "OMR office" and e["Terminal"] == "false"
    command = shlex.split(e["Exec"])
    assert command[0] == "omrctl" and not any(re.match(r"%[fFuU]", a) for a in command)

    # omrctl on PATH as the package puts it there; the browser a stub that records its arguments.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "omrctl").symlink_to(OMRCTL)
    opened = tmp_path / "opened.txt"
    stub = bin_dir / "xdg-open"
    stub.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$*\" >> {shlex.quote(str(opened))}\n")
    stub.chmod(0o755)
    run_dir = tmp_path / "run"
    run_dir.mkdir(mode=0o700)
    env = {k: v for k, v in os.environ.items() if k not in ("OMR_BROWSER", "BROWSER")}
    env.update(PATH=f"{bin_dir}:{env.get('PATH', '/usr/bin:/bin')}", HOME=str(tmp_path / "home"),
               XDG_DATA_HOME=str(tmp_path / "data"), XDG_RUNTIME_DIR=str(run_dir))
    (tmp_path / "home").mkdir()

    office = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        page = Path(wait_for_lines(opened, 1, office)[0])
        # The browser gets a file of this user only, never the token on its command line.
        assert page.parent.parent == run_dir and stat.S_IMODE(page.stat().st_mode) == 0o600
        assert stat.S_IMODE(page.parent.stat().st_mode) == 0o700
        url = re.search(r'url=(http://[^"]+)"', page.read_text()).group(1)
        assert url.startswith(f"http://127.0.0.1:{PORT}/?token=")
        client = Opened(url)
        assert client.token not in opened.read_text()
        status, _, body = client.request("GET", "/?token=" + client.token, token=None)
        assert status == 200 and b"OMR office" in body
        session = client.get_json("/api/session")
        assert session["grants"] == ["review", "office"]
        # The default folder, made for its owner only.
        folder = tmp_path / "data" / "omr" / "office"
        assert session["place"] == str(folder) and stat.S_IMODE(folder.stat().st_mode) == 0o700

        # Clicked again: the office that runs is opened, nothing else starts.
        again = subprocess.run(command, env=env, capture_output=True, text=True, timeout=30)
        assert again.returncode == 0, again.stdout + again.stderr
        assert "running" in again.stdout and "already" in again.stdout
        assert wait_for_lines(opened, 2, office)[1] == str(page)
    finally:
        office.terminate()
        out, err = office.communicate(timeout=30)
    assert office.returncode == 0, err
    assert not page.exists()  # the file with the token goes with the office


def test_the_user_unit_serves_the_office_all_day():
    unit = configparser.ConfigParser(interpolation=None, strict=False)
    unit.optionxform = str
    unit.read(UNIT, encoding="utf-8")
    service = unit["Service"]
    assert shlex.split(service["ExecStart"])[:2] == ["omrctl", "office"]
    # Only the office is signalled: a second SIGTERM would stop a station without its sheet in flight.
    assert service["KillMode"] == "mixed"
    # The token stays out of the journal.
    assert service["StandardOutput"] == "null"
    assert unit["Install"]["WantedBy"] == "default.target"
    if shutil.which("systemd-analyze"):
        copy = Path(os.environ.get("TMPDIR", "/tmp")) / f"omr-office-{os.getpid()}.service"
        copy.write_text(UNIT.read_text().replace("ExecStart=omrctl", "ExecStart=" + OMRCTL))
        try:
            checked = subprocess.run(["systemd-analyze", "verify", str(copy)], capture_output=True, text=True)
        finally:
            copy.unlink()
        problems = [line for line in checked.stderr.splitlines()
                    if "Failed to parse" in line or "Unknown" in line or "Invalid" in line]
        assert not problems, checked.stderr
