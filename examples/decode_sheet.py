#!/usr/bin/env python3
"""Decodes a saved grid with a form: each question, its confidence, a picture.
usage: decode_sheet.py FORM GRID PICTURE.png"""
import sys

from omr import offline

if len(sys.argv) != 4:
    sys.exit("usage: decode_sheet.py FORM GRID PICTURE.png")
try:
    sheet = offline.Form(sys.argv[1]).decode(sys.argv[2])
    sheet.picture(sys.argv[3])
except offline.OfflineError as error:
    sys.exit(f"decode_sheet: {error.message}")
print(f"read: code {sheet.code}, {len(sheet.questions)} questions, {sheet.doubtful} doubtful")
for q in sheet.questions:
    print(f"{q.number:3} {q.answer} {q.confidence:.2f}{' doubtful' if q.doubtful else ''}")
sys.exit(0 if sheet.ok else 1)
