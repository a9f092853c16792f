#!/usr/bin/env python3
"""Runs examples/decode_sheet.c (built) and examples/decode_sheet.py on the
exam form and its saved grid: both must print the same lines, name the
questions the grid's comment says were drawn doubtful, and write the picture.

usage: run_examples.py DECODE_SHEET_PROGRAM SOURCE_DIR WORK_DIR"""
import os
import struct
import subprocess
import sys


def main():
    program, source, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    form = os.path.join(source, "examples", "exam60.form")
    grid = os.path.join(source, "examples", "exam60.grid")
    outputs = []
    for name, command in [("c", [program]), ("python", [sys.executable, os.path.join(source, "examples", "decode_sheet.py")])]:
        picture = os.path.join(work, f"{name}.png")
        if os.path.exists(picture):
            os.remove(picture)
        done = subprocess.run(command + [form, grid, picture], capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            sys.exit(f"FAIL {name}: exit {done.returncode}\n{done.stderr}")
        with open(picture, "rb") as f:
            data = f.read()
        if data[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", data[16:24]) != (26 + 12 * 48, 12 * 70):
            sys.exit(f"FAIL {name}: the picture is not a 602 x 840 PNG")
        outputs.append(done.stdout)
    if outputs[0] != outputs[1]:
        sys.exit(f"FAIL: the C and Python examples differ\n--- C\n{outputs[0]}--- Python\n{outputs[1]}")
    lines = outputs[0].splitlines()
    # Answers 4, 8 and 13 are questions 14, 18 and 23 (after 10 digits).
    doubtful = [int(line.split()[0]) for line in lines[1:] if line.endswith(" doubtful")]
    if lines[0] != "read: code 0, 70 questions, 3 doubtful" or doubtful != [14, 18, 23] or len(lines) != 71:
        sys.exit(f"FAIL: unexpected output\n{outputs[0]}")
    print("both examples: 70 questions, doubtful", doubtful)


if __name__ == "__main__":
    main()
