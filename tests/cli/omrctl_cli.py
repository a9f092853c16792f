#!/usr/bin/env python3
"""Command-line tests of omrctl, one case per CTest test.

usage: omrctl_cli.py --omrctl PATH [--omrsim PATH] --forms DIR --examples DIR --work DIR CASE
"""
import argparse
import csv
import io
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib

CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Context:
    def __init__(self, args):
        self.omrctl = args.omrctl
        self.omrsim = args.omrsim
        self.forms = args.forms
        self.examples = args.examples
        self.work = args.work
        # omrctl never overwrites its outputs: each run starts clean.
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)

    def form(self, name):
        return os.path.join(self.forms, name)

    def path(self, name):
        return os.path.join(self.work, name)

    def run(self, *args, rc=None, timeout=60):
        p = subprocess.run([self.omrctl, *args], capture_output=True, timeout=timeout)
        out = p.stdout.decode("utf-8")
        err = p.stderr.decode("utf-8")
        if rc is not None:
            check(p.returncode == rc,
                  f"omrctl {' '.join(args)}: exit {p.returncode}, expected {rc}\n"
                  f"stdout:\n{out}\nstderr:\n{err}")
        return p.returncode, out, err


def json_lines(out):
    """The sheet objects and the summary of --json output (JSON Lines, the summary last)."""
    objects = [json.loads(line) for line in out.splitlines()]
    check(objects and "summary" in objects[-1], f"no summary last:\n{out}")
    return objects[:-1], objects[-1]["summary"]


def write_grid(path, lines, columns, cells, comment=None):
    """cells: {(line, column): value}; rows in sending order, line LINES first."""
    rows = []
    for line in range(lines, 0, -1):
        rows.append("".join("%X" % cells.get((line, c), 0) for c in range(1, columns + 1)))
    with open(path, "w") as f:
        f.write("omr-grid 1\n")
        if comment:
            f.write(f"# {comment}\n")
        f.write(f"{lines} {columns}\n")
        f.write("\n".join(rows) + "\n")


def png_image(path):
    """Width, height and the raw scanlines of an 8-bit RGB PNG."""
    with open(path, "rb") as f:
        data = f.read()
    check(data[:8] == b"\x89PNG\r\n\x1a\n", f"{path}: no PNG signature")
    pos, width, height, idat = 8, None, None, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        check(zlib.crc32(kind + body) & 0xFFFFFFFF == crc, f"{path}: bad CRC in {kind}")
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            check(depth == 8 and colour == 2, f"{path}: not 8-bit RGB")
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    raw = zlib.decompress(idat)
    check(len(raw) == height * (1 + 3 * width), f"{path}: {len(raw)} bytes of pixels for {width}x{height}")
    return width, height


# A grid of small.form: 10 lines of 16 cells, bar on line 1 columns 1-8,
# identifying cell at line 2, column 15; questions on lines 3-6 from column 2.
def small_grid(answers, bar=11, lines=10):
    cells = {(1, c): bar for c in range(1, 9)}
    cells[(2, 15)] = 11
    for q, marks in enumerate(answers):
        for option, value in marks.items():
            cells[(3 + q, 2 + "ABCD".index(option))] = value
    return lines, 16, cells


# ---------------------------------------------------------------- no reader

@case
def help_every_subcommand(ctx):
    for sub in ["scan", "check", "read", "decode", "info", "motor", "errors"]:
        _, out, _ = ctx.run(sub, "--help", rc=0)
        check(f"Usage: omrctl {sub}" in out, f"{sub} --help: no usage line\n{out}")
        check("Exit codes:" in out and "5  recognition error" in out, f"{sub} --help: no exit codes")
        _, same, _ = ctx.run("help", sub, rc=0)
        check(same == out, f"help {sub} differs from {sub} --help")
    ctx.run("help", "bogus", rc=2)
    _, out, _ = ctx.run("--help", rc=0)
    for sub in ["scan", "check", "read", "decode", "info", "motor", "errors"]:
        check(f"  {sub} " in out, f"--help does not list {sub}")


@case
def usage_errors(ctx):
    ctx.run(rc=2)
    ctx.run("bogus", rc=2)
    ctx.run("read", rc=2)
    ctx.run("read", ctx.form("small.form"), "--mode", "9", rc=2)
    ctx.run("motor", "spin", rc=2)
    ctx.run("decode", ctx.form("small.form"), rc=2)
    _, _, err = ctx.run("check", ctx.path("missing.form"), rc=2)
    check("cannot read form file" in err, err)


@case
def errors_list(ctx):
    _, out, _ = ctx.run("errors", rc=0)
    lines = out.splitlines()
    check(len(lines) == 27, f"{len(lines)} codes listed, expected 27")
    check(lines[2].split() [:3] == ["3", "Double", "page"], lines[2])
    check("通讯错(未联机)!" in out, "no Chinese text for code 8 in UTF-8")
    _, out, _ = ctx.run("errors", "--json", rc=0)
    entries = {e["code"]: e for e in json.loads(out)}
    check(sorted(entries)[-1] == 44 and 10 not in entries, "wrong set of codes")
    check(entries[8]["english"] == "Communication error!", entries[8])
    check(entries[23]["chinese"] == "D命令在一套格式中重复定义!", entries[23])


@case
def check_clean(ctx):
    _, out, _ = ctx.run("check", ctx.form("small.form"), "--head-columns", "16", rc=0)
    check("0 rejected lines, 0 warnings" in out, out)
    check("A: 10 lines; identifying cell line 2, column 15; bar line 1 columns 1-8; 1 field, 4 questions" in out,
          out)
    # The same form on a narrower head: its identifying cell is off it.
    _, out, _ = ctx.run("check", ctx.form("small.form"), "--head-columns", "12", "--json", rc=1)
    report = json.loads(out)
    check([w["kind"] for w in report["warnings"]] == ["head"], report["warnings"])
    check(report["layouts"][0]["questions"] == 4 and report["layouts"][0]["letter"] == "A", report["layouts"])


@case
def check_problems(ctx):
    _, out, _ = ctx.run("check", ctx.form("problems.form"), rc=3)
    check('line 17, column 11: "F  12   2  S  1   2R 0/"\n    error 25: F command overflow!\n'
          '    the cell direction (column 11) must be U, D, L or R, not a blank' in out, out)
    _, out, _ = ctx.run("check", ctx.form("problems.form"), "--json", rc=3)
    report = json.loads(out)
    rejected = [(r["line"], r["column"], r["code"], r["stops_loading"]) for r in report["rejected"]]
    check(rejected == [(17, 11, 25, True), (22, 4, 6, False)], rejected)
    check("form letter (column 4) is a blank" in report["rejected"][1]["detail"], report["rejected"][1])
    kinds = [(w["line"], w["kind"]) for w in report["warnings"]]
    check(kinds == [(8, "label"), (10, "outside"), (12, "head"), (15, "shared"), (19, "ambiguous")], kinds)
    texts = [w["text"] for w in report["warnings"]]
    check("label id 9" in texts[0], texts[0])
    check("8 option cell(s) outside the sheet's 20 lines (first at line 21, column 10)" in texts[1], texts[1])
    check("questions 10 and 11 at line 11, column 2" in texts[3], texts[3])
    check("cannot be told apart" in texts[4], texts[4])
    layouts = {l["letter"]: l for l in report["layouts"]}
    check(layouts["B"]["inherited"] == ["D", "L", "M"], layouts["B"])


@case
def check_identifying_cells(ctx):
    # B's identifying cell is a bar cell of A; C's is option B of A's question 1.
    form = ctx.path("idents.form")
    with open(form, "w") as f:
        f.write('"T A 002 47/"\n"L 020 30 24/"\n"M 001 01 40/"\n"D 01 ABCD/"\n"F   4   2U S  1   2R 0/"\n'
                '"T B 001 05/"\n"F   8   2U S  1   2R 0/"\n'
                '"T C 004 03/"\n"F  12   2U S  1   2R 0/"\n')
    _, out, _ = ctx.run("check", form, "--json", rc=1)
    texts = [w["text"] for w in json.loads(out)["warnings"] if w["kind"] == "ambiguous"]
    check(len(texts) == 3, texts)
    check("layout B's identifying cell (line 1, column 5) is a bar cell of layout A" in texts[0], texts[0])
    check("is an option cell of layout A: a sheet of layout A with option B of question 1 marked" in texts[1],
          texts[1])
    check("is a bar cell of layout B" in texts[2] or "is a bar cell of layout C" in texts[2], texts[2])


@case
def decode_grids(ctx):
    grids = []
    for name, grid in [("good", small_grid([{"B": 11}, {}, {"A": 11, "C": 11}, {"D": 2}])),
                       ("short", small_grid([{"A": 11}], lines=12)),
                       ("light-bar", small_grid([{"A": 11}], bar=2))]:
        grids.append(ctx.path(name + ".grid"))
        write_grid(grids[-1], *grid, comment=name)
    csv_path = ctx.path("decode.csv")
    _, out, _ = ctx.run("decode", ctx.form("small.form"), *grids, "--csv", csv_path, rc=5)
    lines = out.splitlines()
    check(lines[0].split() == ["1", "A", "B.>D"], lines[0])
    check(lines[1].split(None, 2) == ["2", "-", "error 7: Head-A page blocked or sync-mark error!"], lines[1])
    check(lines[2].split(None, 2) == ["3", "-", "error 5: Head-A test line or point error!"], lines[2])
    check(lines[3:] == ["3 sheets", "     1  read", "     1  error 5: Head-A test line or point error!",
                        "     1  error 7: Head-A page blocked or sync-mark error!"], lines[3:])
    with open(csv_path, newline="") as f:
        rows = list(csv.reader(f))
    check(rows[0] == ["sheet", "form", "code", "outcome", "answers", "doubtful", "q1", "q2", "q3", "q4"], rows[0])
    check(rows[1] == ["1", "A", "0", "read", "B.>D", "3 4", "B", ".", ">", "D"], rows[1])
    check(rows[2][:4] == ["2", "", "7", "error 7: Head-A page blocked or sync-mark error!"], rows[2])
    # JSON: the cell values. Question 3's two marks of one single choice are
    # a near tie; question 4's lone mark at 2 is lighter than half the
    # sheet's mark level (11) and within 2 of its blank neighbours.
    _, out, _ = ctx.run("decode", ctx.form("small.form"), grids[0], "--json", "--mode", "1", rc=0)
    sheet = json_lines(out)[0][0]
    check(sheet["result"] == "AB.>D" and sheet["form"] == "A", sheet["result"])
    check((sheet["paper"], sheet["mark"], sheet["doubtful"]) == (0, 11, 2), sheet)
    questions = sheet["questions"]
    check([q["values"] for q in questions] == [[0, 11, 0, 0], [0, 0, 0, 0], [11, 0, 11, 0], [0, 0, 0, 2]],
          [q["values"] for q in questions])
    check([q["doubt"] for q in questions] == [[], [], ["near-tie"], ["faint", "near-tie"]], [q["doubt"] for q in questions])
    check(max(q["confidence"] for q in questions[2:]) <= 0.5 < min(q["confidence"] for q in questions[:2]),
          questions)
    # The lone 2 is the question's darkest cell: G2 (2) decides it.
    check(questions[3]["cells"][3] == {"line": 6, "column": 5, "label": "D", "value": 2, "marked": True,
                                       "threshold": 2, "margin": 0.045, "doubtful": True}, questions[3]["cells"][3])
    # Chinese messages through --lang.
    _, out, _ = ctx.run("--lang", "zh", "decode", ctx.form("small.form"), grids[1], rc=5)
    check("error 7: A传感器卡纸(同步信号)错!" in out, out)


@case
def decode_picture(ctx):
    grid = ctx.path("picture.grid")
    write_grid(grid, *small_grid([{"B": 11}, {}, {"C": 9}, {"D": 11}]))
    pictures = ctx.path("pictures")
    _, out, _ = ctx.run("decode", ctx.form("small.form"), grid, grid, "--pictures", pictures, rc=0)
    check(sorted(os.listdir(pictures)) == ["sheet-001.png", "sheet-002.png"], os.listdir(pictures))
    check(png_image(os.path.join(pictures, "sheet-001.png")) == (26 + 12 * 16, 12 * 10), "wrong picture size")


@case
def decode_bad_grid(ctx):
    bad = ctx.path("bad.grid")
    with open(bad, "w") as f:
        f.write("omr-grid 1\n3 4\n0000\n00G0\n0000\n")
    _, _, err = ctx.run("decode", ctx.form("small.form"), bad, rc=2)
    check("bad.grid:4: not a hexadecimal digit: G" in err, err)
    with open(bad, "w") as f:
        f.write("omr-grid 1\n200 4\n")
    _, _, err = ctx.run("decode", ctx.form("small.form"), bad, rc=2)
    check("cannot come from a reader" in err, err)


@case
def no_reader(ctx):
    nowhere = ctx.path("no-such-port")
    for args in (["scan"], ["info"], ["motor", "start"], ["read", ctx.form("small.form"), "--count", "1"]):
        _, _, err = ctx.run("--port", nowhere, *args, rc=4)
        check(f"no reader found on {nowhere}" in err, err)
    # A form the library rejects is refused before the reader is looked for.
    _, _, err = ctx.run("--port", nowhere, "read", ctx.form("problems.form"), rc=3)
    check(":17:11: " in err and "error 25" in err, err)


# ---------------------------------------------------------------- simulator

class Simulator:
    """omrsim on a pty linked at WORK/reader; stopped with SIGTERM."""

    def __init__(self, ctx, *args):
        check(ctx.omrsim, "no omrsim")
        self.link = ctx.path("reader")
        self.log = open(ctx.path("omrsim.log"), "w")
        self.proc = subprocess.Popen([ctx.omrsim, "--link", self.link, "--empty-status", "16", *args],
                                     stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 10
        while not os.path.islink(self.link):
            check(self.proc.poll() is None, f"omrsim stopped: see {self.log.name}")
            check(time.time() < deadline, "omrsim made no link")
            time.sleep(0.05)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)
        self.log.close()


def expected_rows(path):
    with open(path) as f:
        return [line.rstrip("\n").split(" ", 1) for line in f]


@case
def read_batch(ctx):
    form = os.path.join(ctx.examples, "twolayout.form")
    expected, csv_path, pictures = ctx.path("expected"), ctx.path("sheets.csv"), ctx.path("pictures")
    with Simulator(ctx, "--form", form, "--random", "6", "--seed", "3", "--expected", expected) as sim:
        _, out, _ = ctx.run("--port", sim.link, "read", form, "--csv", csv_path, "--pictures", pictures, rc=0)
    check(out.splitlines()[-2:] == ["6 sheets", "     6  read"], out)
    with open(csv_path, newline="") as f:
        rows = list(csv.DictReader(f))
    want = expected_rows(expected)
    check([[r["form"], r["answers"]] for r in rows] == want, f"{rows}\n{want}")
    check(rows[1]["q40"] == want[1][1][39], rows[1])  # layout B's 40th question
    # Pictures: layouts A (40 lines) and B (60 lines), 48 cells wide.
    check(png_image(os.path.join(pictures, "sheet-001.png")) == (26 + 12 * 48, 12 * 40), "sheet 1 picture")
    check(png_image(os.path.join(pictures, "sheet-002.png")) == (26 + 12 * 48, 12 * 60), "sheet 2 picture")


@case
def read_faults(ctx):
    form = os.path.join(ctx.examples, "exam60.form")
    good = "A 2024013107ABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDE"
    answers = ctx.path("faults.answers")
    with open(answers, "w") as f:
        f.write("\n".join([good, good, good + " lines=60", good + " nobar", good + " status=3", good]) + "\n")
    with Simulator(ctx, "--form", form, "--answers", answers, "--fault", "26:crc") as sim:
        _, out, _ = ctx.run("--port", sim.link, "read", form, "--count", "5", "--json", rc=5)
    sheets, summary = json_lines(out)
    check([s["code"] for s in sheets] == [20, 0, 7, 5, 3], [s["code"] for s in sheets])
    check(sheets[1]["result"] == good[2:], sheets[1])
    # Refused by the reader or damaged on the way: to be fed again; read but not recognised: not.
    check([s["feed_again"] for s in sheets] == [True, False, False, False, True], sheets)
    check(sheets[4]["outcome"] == "feed again: error 3: Double page", sheets[4])
    check(summary["sheets"] == 5 and summary["failed"] == 4, summary)
    check({o["code"]: o["sheets"] for o in summary["outcomes"]} == {0: 1, 3: 1, 5: 1, 7: 1, 20: 1}, summary)


@case
def read_then_decode(ctx):
    form = os.path.join(ctx.examples, "exam60.form")
    grids = ctx.path("grids")
    with Simulator(ctx, "--form", form, "--random", "3", "--seed", "11", "--jitter", "3", "--noise", "1") as sim:
        _, out, _ = ctx.run("--port", sim.link, "read", form, "--save-grids", grids, "--json", rc=0)
    read = json_lines(out)[0]
    files = sorted(os.path.join(grids, n) for n in os.listdir(grids))
    check(len(files) == 3 and [s["grid"] for s in read] == files, files)
    _, out, _ = ctx.run("decode", form, *files, "--json", rc=0)
    decoded = json_lines(out)[0]
    check([s["result"] for s in decoded] == [s["result"] for s in read], "decode differs from read")
    check([s["questions"] for s in decoded] == [s["questions"] for s in read], "question details differ")


@case
def scan_reader(ctx):
    with Simulator(ctx, "--version", "3.1", "--channels", "40", "--sheet-wait", "4") as sim:
        _, out, _ = ctx.run("--port", sim.link, "scan", rc=0)
        check(out.splitlines() == [f"reader on {sim.link}", "  firmware         3.1", "  channels         40",
                                   "  serial number    SIM00001", "  sheet wait       12000 ms"], out)
        _, out, _ = ctx.run("--port", sim.link, "scan", "--json", rc=0)
    check(json.loads(out) == {"port": sim.link, "firmware": "3.1", "channels": 40, "serial": "SIM00001",
                              "sheet_wait_ms": 12000}, out)


@case
def info_reader(ctx):
    with Simulator(ctx) as sim:
        _, out, _ = ctx.run("--port", sim.link, "info", "--json", rc=0)
        info = json.loads(out)
        check(info["serial"] == "SIM00001" and info["total"] == 0 and info["parameters"] == "00 00 00 00", info)
        _, out, _ = ctx.run("--port", sim.link, "info", rc=0)
        check("  total counter    0" in out.splitlines(), out)


@case
def motor_reader(ctx):
    with Simulator(ctx, "--fault", "02:silence") as sim:
        for action, text in [("start", "motor started"), ("pass", "sheet passed")]:
            _, out, _ = ctx.run("--port", sim.link, "motor", action, rc=0)
            check(out == text + "\n", out)
        _, _, err = ctx.run("--port", sim.link, "motor", "stop", rc=4)
        check("motor stop: error 8: Communication error!" in err, err)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--omrctl", required=True)
    parser.add_argument("--omrsim")
    parser.add_argument("--forms", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    ctx = Context(args)
    try:
        CASES[args.case](ctx)
    except Failure as e:
        print(f"FAIL {args.case}: {e}", file=sys.stderr)
        return 1
    print(f"ok {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
