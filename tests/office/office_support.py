"""`omrctl office` on a folder of exams, and what the office tests share.
Needs OMRCTL and OMRSIM (CTest sets them)."""

from __future__ import annotations

import base64
import json
import os
import subprocess
import sys
import urllib.parse
from pathlib import Path
from typing import Dict, Optional, Tuple

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "review"))
from review_support import OMRCTL, OMRSIM, SOURCE, Client, browser, need_programs, run  # noqa: E402,F401

EXAMPLES = SOURCE / "examples"


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


class Office(Client):
    """`omrctl office PLACE` on a free loopback port: its two addresses."""

    def __init__(self, place: Optional[Path], *options: str, env: Optional[Dict[str, str]] = None) -> None:
        args = [OMRCTL, "office", *([str(place)] if place else []), "--listen", "127.0.0.1:0", *options]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        env={**os.environ, **(env or {})})
        assert self.process.stdout is not None
        first = self.process.stdout.readline()
        second = self.process.stdout.readline()
        assert first.startswith("office page of"), first + second + self.process.stderr.read()
        assert second.startswith("for reviewers (review only): "), second
        self.place = first[len("office page of "):first.rindex(": http")]
        self.url = first.rsplit(": ", 1)[1].strip()
        self.reviewer_url = second.rsplit(": ", 1)[1].strip()
        parts = urllib.parse.urlsplit(self.url)
        self.port = parts.port
        self.base = f"{parts.scheme}://{parts.netloc}"
        self.token = urllib.parse.parse_qs(parts.query)["token"][0]
        self.reviewer = urllib.parse.parse_qs(urllib.parse.urlsplit(self.reviewer_url).query)["token"][0]

    def get(self, path: str, token: Optional[str] = "") -> Tuple[int, object]:
        status, _, body = self.request("GET", path, token=token)
        return status, json.loads(body) if body.startswith((b"{", b"[")) else body

    def post(self, path: str, data: object, token: Optional[str] = "") -> Tuple[int, dict]:
        return self.post_json(path, data, token)

    def stop(self) -> None:
        self.process.terminate()
        try:
            _, err = self.process.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            pytest.fail("omrctl office did not stop on SIGTERM")
        assert self.process.returncode == 0, err


def exam_query(project: str, exam: str) -> str:
    return "project=" + urllib.parse.quote(project) + "&exam=" + urllib.parse.quote(exam)
