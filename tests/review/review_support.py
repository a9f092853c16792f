"""A simulated exam read into a project through omrsim, and `omrctl exam serve`
started on it: what the review page tests share.

The answers are drawn here; what each sheet must read as, and so what a
reviewer sees, comes from the drawing, never from the project's own code.
Needs OMRCTL and OMRSIM (CTest sets them).
"""

from __future__ import annotations

import csv
import http.client
import json
import os
import random
import shutil
import subprocess
import time
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

import pytest

SOURCE = Path(__file__).resolve().parents[2]
OMRCTL = os.environ.get("OMRCTL", str(SOURCE / "build/default/tools/omrctl/omrctl"))
OMRSIM = os.environ.get("OMRSIM", str(SOURCE / "build/default/sim/omrsim"))
FORM = SOURCE / "examples" / "exam60.form"
OPTIONS = "ABCDE"
FIRST_ITEM, ITEMS = 11, 60  # items are questions 11-70


@dataclass
class Sheet:
    number: int
    student: str
    items: List[str]  # per item: the answers-file item
    marked: List[str]  # per item: the labels that read as marked


@dataclass
class Exam:
    work: Path
    path: Path
    key: str
    roster: List[Tuple[str, str]]  # (id, name)
    sheets: List[Sheet] = field(default_factory=list)

    def sheet(self, number: int) -> Sheet:
        return self.sheets[number - 1]


def need_programs() -> None:
    for program in (OMRCTL, OMRSIM):
        if not os.access(program, os.X_OK):
            pytest.skip(f"{program} is not built")


def make_exam(work: Path, count: int, plants: Dict[Tuple[int, int], str], unknown: Dict[int, str],
              refused: Tuple[int, ...] = (), seed: int = 23) -> Exam:
    """`count` sheets of the exam60 form read by one station. `plants` maps
    (sheet, question) to an answers-file item; `unknown` maps a sheet to a
    student ID that is not in the roster; the reader refuses the `refused`
    sheets (two fed at once: no grid). Every other answer is a clean mark."""
    rng = random.Random(seed)
    key = "".join(rng.choice(OPTIONS) for _ in range(ITEMS))
    roster = [(f"{20250000 + i:08d}", f"Student {i}") for i in range(1, count + 11)]
    roster[6] = (roster[6][0], "<b>Zoë</b> & O'Neil")  # text, never markup
    with open(work / "students.csv", "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["id", "name"])
        w.writerows(roster)
    exam_file = work / "exam.json"
    exam_file.write_text(json.dumps({
        "title": "Review test", "form": str(FORM),
        "student": {"questions": "1-8", "roster": "students.csv"},
        "items": f"{FIRST_ITEM}-{FIRST_ITEM + ITEMS - 1}", "keys": {"A": key},
        "review": {"blank": True}}), encoding="utf-8")  # the planted blanks go to the page
    exam = Exam(work, work / "review.omrexam", key, roster)
    run(OMRCTL, "exam", "new", str(exam.path), "--exam", str(exam_file), "--by", "office")

    lines = []
    for n in range(1, count + 1):
        student = unknown.get(n, roster[n - 1][0])
        items, marked = [], []
        for i in range(ITEMS):
            q = FIRST_ITEM + i
            if (n, q) in plants:
                item = plants[(n, q)]
            else:
                item = key[i] if rng.random() < 0.7 else rng.choice(OPTIONS)
            items.append(item)
            marked.append(reads_as(item))
        exam.sheets.append(Sheet(n, student, items, marked))
        lines.append("A " + student + "01" + "".join(items) + (" status=3" if n in refused else ""))
    answers = work / "sheets.answers"
    answers.write_text("\n".join(lines) + "\n", encoding="latin-1")
    link = work / "reader"
    log = open(work / "omrsim.log", "w")
    sim = subprocess.Popen([OMRSIM, "--link", str(link), "--form", str(FORM), "--answers", str(answers),
                            "--empty-status", "16"], stdout=subprocess.DEVNULL, stderr=log)
    try:
        deadline = time.monotonic() + 20
        while not link.is_symlink():
            assert sim.poll() is None, f"omrsim stopped: see {log.name}"
            assert time.monotonic() < deadline, "omrsim made no link"
            time.sleep(0.02)
        done = subprocess.run([OMRCTL, "--port", str(link), "exam", "read", str(exam.path), "--station", "desk"],
                              capture_output=True, text=True, timeout=300)
        # A refused sheet makes the run exit 5.
        assert done.returncode == (5 if refused else 0), done.stdout + done.stderr
    finally:
        sim.terminate()
        sim.wait(timeout=10)
        log.close()
    return exam


def reads_as(item: str) -> str:
    """The labels an answers-file item reads as (the simulator's rules for
    plain marks, f: faint, below the mark minimum, and h: half-erased, not a
    mark beside a real one)."""
    if item == ".":
        return ""
    if not item.startswith("["):
        return item
    parts = [(int(p.rstrip("fh")), p.lstrip("0123456789")) for p in item[1:-1].split(",")]
    assert all(style in ("", "f", "h") for _, style in parts), item
    assert not any(style == "h" for _, style in parts) or any(style == "" for _, style in parts), item
    return "".join(OPTIONS[n - 1] for n, style in sorted(parts) if style == "")


def run(*args: str) -> subprocess.CompletedProcess:
    done = subprocess.run(list(args), capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        pytest.fail(f"{' '.join(args)} exited {done.returncode}\n{done.stdout}\n{done.stderr}")
    return done


class Client:
    """Requests to a server on a loopback port (`port`, `token`)."""

    port: int
    token: str

    def request(self, method: str, path: str, body: Optional[bytes] = None, token: Optional[str] = "",
                headers: Optional[Dict[str, str]] = None) -> Tuple[int, Dict[str, str], bytes]:
        """One request; `token` "" sends the right one as a bearer token, None none."""
        sent = dict(headers or {})
        if token is not None:
            sent["Authorization"] = "Bearer " + (token or self.token)
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.request(method, path, body=body, headers=sent)
            response = connection.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            connection.close()

    def get_json(self, path: str) -> dict:
        status, _, body = self.request("GET", path)
        assert status == 200, (path, status, body)
        return json.loads(body)

    def post_json(self, path: str, data: object, token: Optional[str] = "") -> Tuple[int, dict]:
        status, _, body = self.request("POST", path, json.dumps(data).encode(), token=token,
                                       headers={"Content-Type": "application/json"})
        return status, json.loads(body) if body else {}


class Server(Client):
    """`omrctl exam serve` on a free loopback port."""

    def __init__(self, project: Path, *options: str) -> None:
        self.process = subprocess.Popen([OMRCTL, "exam", "serve", str(project), "--listen", "127.0.0.1:0", *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert self.process.stdout is not None
        first = self.process.stdout.readline()
        assert first.startswith("review page of"), first + (self.process.stderr.read() if self.process.stderr else "")
        self.url = first.split(": ", 1)[1].strip()
        parts = urllib.parse.urlsplit(self.url)
        self.base = f"{parts.scheme}://{parts.netloc}"
        self.port = parts.port
        self.token = urllib.parse.parse_qs(parts.query)["token"][0]

    def stop(self) -> None:
        self.process.terminate()
        try:
            out, err = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            pytest.fail("omrctl exam serve did not stop on SIGTERM")
        assert self.process.returncode == 0, err


def browser(profile: Optional[Path] = None, downloads: Optional[Path] = None):
    """Headless Chromium, with a fresh profile when one is given; files it
    downloads go to `downloads`."""
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.skip("chromium and chromium-driver are not installed (scripts/bootstrap installs them)")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1400,900",
                *([f"--user-data-dir={profile}"] if profile else [])):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    if downloads:
        options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                                  "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service(executable_path=driver_path), options=options)
    if downloads:
        driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
    return driver


# axe-core, as scripts/bootstrap installs it for the tests (the pages never load it).
AXE = Path(os.environ.get("OMR_TEST_CACHE") or Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") /
           "omr-tests") / "node_modules" / "axe-core" / "axe.min.js"


def axe_problems(driver, where: str) -> List[str]:
    """The serious and critical accessibility violations axe-core finds on the
    page as it is now, one line each."""
    if not AXE.is_file():
        pytest.fail(f"axe-core is not installed at {AXE}: run scripts/bootstrap")
    driver.execute_script(AXE.read_text(encoding="utf-8"))
    result = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document, {resultTypes: ['violations']}).then((r) => done(r.violations), (e) => done(String(e)));")
    assert isinstance(result, list), result
    return [f"{where}: {v['id']} ({v['impact']}): {v['help']}: " +
            "; ".join(n["target"][0] if isinstance(n["target"][0], str) else str(n["target"]) for n in v["nodes"][:5])
            for v in result if v["impact"] in ("serious", "critical")]
