# Generated from exam/vocabulary.cpp by omr_exam_copies: do not edit. The build's python-copies target
# writes it again; a test fails while it differs.
"""The exam layer's vocabulary: review reasons, doubt bits, limits."""

import json

DATA = json.loads(r'''{
 "reasons": [
  {
   "code": "not-read",
   "question": false,
   "settled_by": "sheet",
   "keep": false,
   "words": "not read"
  },
  {
   "code": "unknown-version",
   "question": false,
   "settled_by": "version",
   "keep": false,
   "words": "unknown version"
  },
  {
   "code": "invalid-id",
   "question": false,
   "settled_by": "id",
   "keep": false,
   "words": "invalid student ID"
  },
  {
   "code": "unknown-id",
   "question": false,
   "settled_by": "id",
   "keep": true,
   "words": "ID not in the roster"
  },
  {
   "code": "duplicate-id",
   "question": false,
   "settled_by": "id",
   "keep": true,
   "words": "ID on another sheet"
  },
  {
   "code": "duplicate-grid",
   "question": false,
   "settled_by": "sheet",
   "keep": true,
   "words": "same grid as another sheet"
  },
  {
   "code": "multiple",
   "question": true,
   "settled_by": "question",
   "keep": false,
   "words": "several marks"
  },
  {
   "code": "blank",
   "question": true,
   "settled_by": "question",
   "keep": false,
   "words": "blank"
  },
  {
   "code": "doubtful",
   "question": true,
   "settled_by": "question",
   "keep": false,
   "words": "doubtful"
  },
  {
   "code": "missing-part",
   "question": false,
   "settled_by": "sheet",
   "keep": true,
   "words": "another part of this student not read"
  },
  {
   "code": "duplicate-part",
   "question": false,
   "settled_by": "id",
   "keep": true,
   "words": "the same part on another sheet of this ID"
  },
  {
   "code": "unknown-part",
   "question": true,
   "settled_by": "question",
   "keep": false,
   "words": "unknown part"
  },
  {
   "code": "mixed-versions",
   "question": false,
   "settled_by": "version",
   "keep": false,
   "words": "parts of different versions"
  }
 ],
 "targets": {
  "id": "id",
  "version": "version",
  "sheet": "sheet",
  "void": "void",
  "keep": "keep"
 },
 "doubts": [
  {
   "bit": 1,
   "name": "faint"
  },
  {
   "bit": 2,
   "name": "erasure"
  },
  {
   "bit": 4,
   "name": "near-tie"
  },
  {
   "bit": 8,
   "name": "margin"
  },
  {
   "bit": 16,
   "name": "off-grid"
  }
 ],
 "recognition_codes": [
  4,
  5,
  7
 ],
 "limits": {
  "name": 200,
  "reason": 2000,
  "value": 256,
  "hold": {
   "min": 1,
   "max": 3600,
   "default": 300
  }
 },
 "picture": {
  "cell": 12,
  "margin": 26
 }
}''')
