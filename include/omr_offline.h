/* omr_offline: the reader's recognition without a reader.
 *
 * Loads a form file with the same form reader the driver uses and reports
 * what a form author needs (rejected lines, warnings), decodes sheet grids
 * (from a grid file, from memory, or the last sheet the driver read) into
 * one character per question with every cell's decision and a confidence,
 * and draws a sheet as a PNG picture.
 *
 * Conventions: every function answers OMRO_OK (0) or a positive OMRO_ERR_
 * code; omro_last_message() then gives the reason in the calling thread.
 * Handles are opaque and owned by the caller (free them with their _free
 * function; freeing NULL does nothing). Buffers belong to the caller, who
 * passes their size; text is zero-terminated. Form texts (labels, lines) are
 * the form file's own bytes (GBK); messages are UTF-8. A form handle may be
 * shared by threads that only decode with it; everything else belongs to one
 * thread at a time. No function talks to a reader except
 * omro_decode_reader(). */
#ifndef OMR_OFFLINE_H
#define OMR_OFFLINE_H

#include <stddef.h>

#if defined(_WIN32)
#define OMRO_API
#elif defined(OMRO_BUILDING_LIBRARY)
#define OMRO_API __attribute__((visibility("default")))
#else
#define OMRO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define OMRO_VERSION_MAJOR 1
#define OMRO_VERSION_MINOR 0
#define OMRO_VERSION_PATCH 0

/* Result codes. */
#define OMRO_OK 0
#define OMRO_ERR_ARGUMENT 1 /* a null handle or pointer, or a value out of range */
#define OMRO_ERR_BUFFER 2   /* the caller's buffer is too small (nothing partial is written) */
#define OMRO_ERR_FILE 3     /* a file cannot be opened, read or written (not a regular file, too large) */
#define OMRO_ERR_GRID 4     /* a malformed grid or grid file */
#define OMRO_ERR_FORM 5     /* the driver would not load this form: see the diagnostics */
#define OMRO_ERR_READER 6   /* the driver holds no sheet grid */
#define OMRO_ERR_MEMORY 7   /* out of memory */

/* Limits of the sheet grid the reader sends. */
#define OMRO_MAX_LINES 127
#define OMRO_MAX_COLUMNS 254
#define OMRO_MAX_CELLS 6154

/* The library's version, (major << 16) | (minor << 8) | patch. */
OMRO_API unsigned omro_version(void);

/* A short English text for a result code; never NULL. */
OMRO_API const char* omro_error_text(int code);

/* The reason for the calling thread's last failure (UTF-8, names the file,
 * line and column where there is one). Answers the length written; the text is
 * cut to fit `size`. */
OMRO_API int omro_last_message(char* buffer, size_t size);

/* ---------------------------------------------------------------- forms -- */

typedef struct omro_form omro_form;

/* Reads a form file (or text) as the driver's MR_LoadForm reads it, going on
 * past rejected lines so that every problem is reported. OMRO_OK and a handle
 * whenever the text could be read, even when the driver would reject the form
 * (omro_form_status() then tells); OMRO_ERR_FILE when the file cannot be read. */
OMRO_API int omro_form_load(const char* path, omro_form** form);
OMRO_API int omro_form_load_text(const char* text, size_t length, omro_form** form);
OMRO_API void omro_form_free(omro_form* form);

/* 0 when the driver would load this form and it defines a layout; otherwise
 * the driver's error code for it (the first line it stops at, or 1 when no
 * layout is defined). Decoding with such a form answers OMRO_ERR_FORM. */
OMRO_API int omro_form_status(const omro_form* form);

#define OMRO_SEVERITY_ERROR 2   /* the driver stops loading the form at this line */
#define OMRO_SEVERITY_SKIPPED 1 /* the driver skips this line and goes on */
#define OMRO_SEVERITY_WARNING 0 /* accepted, but probably not what the author meant */

typedef struct omro_diagnostic {
  int line;         /* line in the form file, from 1; 0 when it concerns the whole form */
  int column;       /* character column, from 1; 0 when no single column is at fault */
  int code;         /* the driver's error code for a rejected line; 0 for a warning */
  int severity;     /* OMRO_SEVERITY_ */
  char kind[24];    /* warnings: label, outside, head, ambiguous, shared, empty, comment, ... */
  char message[512]; /* UTF-8: what is wrong and what to do */
} omro_diagnostic;

OMRO_API int omro_form_diagnostic_count(const omro_form* form);
OMRO_API int omro_form_diagnostic(const omro_form* form, int index, omro_diagnostic* out);

typedef struct omro_layout_info {
  char letter;      /* form letter (GBK byte); ' ' when none */
  int lines;        /* the line count a sheet of this layout has */
  int ident_line;   /* the identifying cell */
  int ident_column;
  int questions;    /* questions in its result text */
  int g1, g2, g3, g4; /* its thresholds */
} omro_layout_info;

/* Layouts of the first face, in the order the form defines them. */
OMRO_API int omro_form_layout_count(const omro_form* form);
OMRO_API int omro_form_layout(const omro_form* form, int layout, omro_layout_info* out);

typedef struct omro_question_info {
  int number;        /* from 1, in result order */
  char type;         /* the field type letter */
  int option_count;  /* option cells (label blanks are not options) */
  char options[64];  /* their labels, in cell order, zero-terminated */
  int first_line, first_column; /* the first option cell */
} omro_question_info;

/* The questions of a layout: `number` from 1 to its `questions`. */
OMRO_API int omro_form_question(const omro_form* form, int layout, int number, omro_question_info* out);

/* --------------------------------------------------------------- sheets -- */

typedef struct omro_sheet omro_sheet;

/* Decodes a grid as the driver's read and MR_GetResult(mode) would: cells in
 * sending order (the first `columns` cells are sheet line `lines`), values
 * 0..15. The sheet is returned also when the read would fail (code 7, 4 or 5
 * in omro_sheet_info); OMRO_ERR_GRID for sizes out of range or values above
 * 15. mode: 0 to 3 as MR_GetResult. */
OMRO_API int omro_decode_grid(const omro_form* form, int lines, int columns, const unsigned char* cells,
                              size_t count, int mode, omro_sheet** sheet);

/* A grid file as omrctl --save-grids writes it ("omr-grid 1"). Refuses
 * anything but a regular file and reads it in bounded memory. */
OMRO_API int omro_decode_grid_file(const omro_form* form, const char* path, int mode, omro_sheet** sheet);

/* The grid of the last sheet the driver (libomr) read, through MR_SysCmd(25).
 * OMRO_ERR_READER when it holds none. */
OMRO_API int omro_decode_reader(const omro_form* form, int mode, omro_sheet** sheet);

OMRO_API void omro_sheet_free(omro_sheet* sheet);

typedef struct omro_sheet_info {
  int code;          /* 0 recognised; else 7, 4 or 5, as the driver's read reports */
  char letter;       /* the reported form letter (MR_GetResult mode 1); 0 when none */
  int layout;        /* index of the identified layout, -1 when none */
  int lines, columns;
  int questions;     /* 0 when no layout was identified */
  int paper;         /* the sheet's paper level: the grey of its unmarked option cells */
  int mark;          /* the sheet's mark level: the grey of its marked option cells */
  int doubtful;      /* questions flagged doubtful */
  double confidence; /* the lowest question confidence, 1 when no question */
} omro_sheet_info;

OMRO_API int omro_sheet_info(const omro_sheet* sheet, omro_sheet_info* out);

/* The result text in the decode's mode (any bytes), zero-terminated; `length`
 * (may be NULL) gets its length without the zero. OMRO_ERR_BUFFER when `size`
 * is too small; `length` then gets what is needed. */
OMRO_API int omro_sheet_result(const omro_sheet* sheet, char* buffer, size_t size, size_t* length);

#define OMRO_DOUBT_FAINT 1    /* a lone mark lighter than half the sheet's mark level */
#define OMRO_DOUBT_ERASURE 2  /* a cell between the paper and the mark levels */
#define OMRO_DOUBT_NEAR_TIE 4 /* a marked option and another within 2 grey levels of it */
#define OMRO_DOUBT_MARGIN 8   /* a deciding cell close to the threshold that decided it */

typedef struct omro_question {
  int number;          /* from 1, in result order */
  char type;           /* the type it was coded with */
  unsigned char character; /* the coded character */
  int cell_count;      /* its cells, option cells and label blanks */
  int marked_count;
  char marked[64];     /* labels of the marked options, in cell order, zero-terminated */
  char options[64];    /* labels of all its options, in cell order */
  double confidence;   /* 0 (undecidable) .. 1 (clear) */
  int doubtful;        /* OMRO_DOUBT_ bits; 0 when the question is clear */
} omro_question;

OMRO_API int omro_sheet_question(const omro_sheet* sheet, int index, omro_question* out);

typedef struct omro_cell {
  int line, column;
  int value;        /* 0..15, -1 off the grid */
  char label;       /* ' ' for a label blank (no option) */
  int marked;
  int threshold;    /* the value from which this cell counts as marked */
  double margin;    /* distance from that threshold in units of (mark - paper) level; negative below */
  int doubtful;     /* OMRO_DOUBT_ bits that concern this cell */
} omro_cell;

/* Cell `index` (0 .. cell_count-1) of question `question` (0-based index). */
OMRO_API int omro_sheet_cell(const omro_sheet* sheet, int question, int index, omro_cell* out);

/* The grid as decoded, in sending order (lines x columns bytes). */
OMRO_API int omro_sheet_grid(const omro_sheet* sheet, unsigned char* cells, size_t size);

/* Writes the sheet as a grid file (comment may be NULL). Written to a
 * temporary name and renamed, so an existing file is replaced whole or not at
 * all. */
OMRO_API int omro_sheet_write_grid(const omro_sheet* sheet, const char* path, const char* comment);

/* The sheet picture (12 pixels a cell, 26 + 12 x columns wide, 12 x lines
 * high): cells in their grey, option cells outlined (doubtful ones in
 * orange), marks filled, bars and the identifying cell highlighted, question
 * numbers beside the questions. To a file (temporary name, then renamed) or
 * to memory (OMRO_ERR_BUFFER and the size needed in `length` when `size` is
 * too small; a NULL buffer asks for the size). */
OMRO_API int omro_sheet_write_png(const omro_sheet* sheet, const char* path);
OMRO_API int omro_sheet_png(const omro_sheet* sheet, unsigned char* buffer, size_t size, size_t* length);

#ifdef __cplusplus
}
#endif

#endif /* OMR_OFFLINE_H */
