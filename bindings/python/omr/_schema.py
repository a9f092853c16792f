# Generated from exam/schema.sql by omr_exam_copies: do not edit. The build's python-copies target
# writes it again; a test fails while it differs.
"""The exam project's schema: its version, tables and columns, as exam/schema.sql has them."""

import json

DATA = json.loads(r'''{
 "version": 6,
 "application_id": 1330467397,
 "tables": {
  "schema_version": {
   "derived": false,
   "columns": [
    "version"
   ]
  },
  "exams": {
   "derived": false,
   "columns": [
    "id",
    "name",
    "created_at",
    "revision",
    "uid"
   ]
  },
  "revisions": {
   "derived": false,
   "columns": [
    "exam_id",
    "revision",
    "created_at",
    "author",
    "kind",
    "exam_name",
    "exam_text",
    "form_name",
    "form_text",
    "roster_name",
    "roster_text",
    "note"
   ]
  },
  "batches": {
   "derived": false,
   "columns": [
    "id",
    "exam_id",
    "station",
    "started_at",
    "ended_at",
    "sheets",
    "outcome"
   ]
  },
  "sheets": {
   "derived": false,
   "columns": [
    "id",
    "exam_id",
    "number",
    "station",
    "station_number",
    "batch_id",
    "read_at",
    "source",
    "origin",
    "serial",
    "firmware",
    "letter",
    "code",
    "result",
    "grid_lines",
    "grid_columns",
    "grid",
    "grid_hash",
    "author"
   ]
  },
  "corrections": {
   "derived": false,
   "columns": [
    "id",
    "sheet_id",
    "target",
    "old_value",
    "new_value",
    "author",
    "made_at",
    "reason",
    "undoes"
   ]
  },
  "claims": {
   "derived": false,
   "columns": [
    "sheet_id",
    "holder",
    "claimed_at",
    "expires_at"
   ]
  },
  "flags": {
   "derived": false,
   "columns": [
    "sheet_id"
   ]
  },
  "derived": {
   "derived": true,
   "columns": [
    "exam_id",
    "built_at"
   ]
  },
  "responses": {
   "derived": true,
   "columns": [
    "sheet_id",
    "marked",
    "coded",
    "doubtful",
    "confidence"
   ]
  },
  "scores": {
   "derived": true,
   "columns": [
    "sheet_id",
    "exam_id",
    "number",
    "revision",
    "scored",
    "voided",
    "student_id",
    "id_state",
    "version",
    "total",
    "maximum",
    "percent",
    "answers",
    "points",
    "confidence",
    "reason_mask",
    "reasons"
   ]
  }
 },
 "responses": {
  "label_separator": " ",
  "confidence_format": "<d",
  "absent_confidence_byte": 255
 }
}''')
