/**
 * @file omr_offline.h
 * @brief libomr-offline: the reader's recognition without a reader.
 *
 * Loads a form file with the same form reader the driver uses and reports
 * what a form author needs (rejected lines, warnings), decodes sheet grids
 * (from a grid file, from memory, or the last sheet the driver read) into
 * one character per question with every cell's decision and a confidence,
 * and draws a sheet as a PNG picture.
 *
 * Conventions: every function that can fail answers #OMRO_OK (0) or a
 * positive OMRO_ERR_ code; omro_last_message() then gives the reason in the
 * calling thread. Handles are opaque and owned by the caller (free them with
 * their _free function; freeing NULL does nothing). Buffers belong to the
 * caller, who passes their size; text is zero-terminated. Form texts (labels,
 * lines, letters) are the form file's own bytes (GBK); messages are UTF-8.
 * No function throws, keeps a pointer it was given, or blocks on anything
 * but the files it is asked to read or write. A form handle may be shared by
 * threads that only decode with it (decodes with one form take turns);
 * everything else belongs to one thread at a time. No function talks to a
 * reader: omro_decode_reader() only copies the grid the driver holds.
 */
#ifndef OMR_OFFLINE_H
#define OMR_OFFLINE_H

#include <stddef.h>

/** Marks the library's exports (visible from the shared library). */
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

/** @name Version of this interface */
/** @{ */
#define OMRO_VERSION_MAJOR 1 /**< changes when a program built against an older header may break */
#define OMRO_VERSION_MINOR 1 /**< changes when functions or constants are added */
#define OMRO_VERSION_PATCH 0 /**< changes with fixes only */
/** @} */

/** @name Result codes */
/** @{ */
#define OMRO_OK 0           /**< success */
#define OMRO_ERR_ARGUMENT 1 /**< a null handle or pointer, or a value out of range */
#define OMRO_ERR_BUFFER 2   /**< the caller's buffer is too small (nothing partial is written) */
#define OMRO_ERR_FILE 3     /**< a file cannot be opened, read or written (not a regular file, too large) */
#define OMRO_ERR_GRID 4     /**< a malformed grid or grid file */
#define OMRO_ERR_FORM 5     /**< the driver would not load this form: see the diagnostics */
#define OMRO_ERR_READER 6   /**< the driver holds no sheet grid */
#define OMRO_ERR_MEMORY 7   /**< out of memory */
/** @} */

/** @name Limits of the sheet grid the reader sends */
/** @{ */
#define OMRO_MAX_LINES 127   /**< lines of a grid */
#define OMRO_MAX_COLUMNS 254 /**< cells per line (always even) */
#define OMRO_MAX_CELLS 6154  /**< lines x columns */
/** @} */

/** @name Codes of a sheet whose grid arrived but was not read (omro_sheet_info.code)
 *  The driver's read reports the same numbers; a reader may also give them as
 *  its own status, and then sends no grid. */
/** @{ */
#define OMRO_NOT_IDENTIFIED 4 /**< the layouts of the sheet's length are not told apart */
#define OMRO_BAR_TOO_LIGHT 5  /**< a bar mark too light */
#define OMRO_NO_LAYOUT 7      /**< no layout of the sheet's length */
/** @} */

/** @name Geometry of the sheet picture (omro_sheet_write_png(), omro_sheet_png())
 *  Cell (line, column) has its top left corner at x = OMRO_PICTURE_MARGIN +
 *  (column - 1) x OMRO_PICTURE_CELL, y = (lines - line) x OMRO_PICTURE_CELL. */
/** @{ */
#define OMRO_PICTURE_CELL 12   /**< pixels a cell, square */
#define OMRO_PICTURE_MARGIN 26 /**< pixels on the left, for question numbers */
/** @} */

/** The size of a buffer that holds any text this library writes into a
 *  fixed field (labels of one question, a message), zero included. */
#define OMRO_TEXT_MAX 128

/**
 * @brief The library's version.
 * @return (major << 16) | (minor << 8) | patch, for example 0x010000 for 1.0.0.
 */
OMRO_API unsigned omro_version(void);

/**
 * @brief A short English text for a result code.
 * @param code an OMRO_ERR_ code, or #OMRO_OK.
 * @return a static text; never NULL ("unknown result code" for others).
 */
OMRO_API const char* omro_error_text(int code);

/**
 * @brief The reason for the calling thread's last failure.
 *
 * UTF-8; names the file, line and column where there is one. Each thread has
 * its own; a successful call does not clear it.
 * @param buffer where the text goes (zero-terminated); may be NULL when @p size is 0.
 * @param size bytes at @p buffer; the text is cut to fit (at a character boundary).
 * @return the length written, without the zero; 0 when nothing failed yet
 *         or @p size is 0.
 */
OMRO_API int omro_last_message(char* buffer, size_t size);

/**
 * @brief Whether a read's code is the recognition's verdict on a grid that arrived.
 * @param code a code of MR_Read() (MR_GetLastError()) or of omro_sheet_info.
 * @return 1 for #OMRO_NOT_IDENTIFIED, #OMRO_BAR_TOO_LIGHT and #OMRO_NO_LAYOUT; 0 otherwise.
 */
OMRO_API int omro_recognition_code(int code);

/**
 * @brief The name of a doubt bit (see OMRO_DOUBT_FAINT and the others).
 * @param bit one OMRO_DOUBT_ bit.
 * @return "faint", "erasure", "near-tie", "margin" or "off-grid"; NULL for
 *         anything else. Static text.
 */
OMRO_API const char* omro_doubt_name(int bit);

/** @name The driver's own rules, for programs that drive a reader through libomr */
/** @{ */

/**
 * @brief The serial devices MR_Installed() tries, in its order.
 *
 * On Linux the devices named by OMR_SERIAL_PORTS (colon-separated) when it is
 * set, else /dev/ttyUSB0-15, /dev/ttyACM0-15 and /dev/ttyS0-31 that exist.
 * Looks at the environment and the device folder only; opens nothing.
 * @param index from 0.
 * @param buffer gets the device's path and a zero.
 * @param size bytes at @p buffer.
 * @return #OMRO_OK; #OMRO_ERR_ARGUMENT past the last device (or a NULL
 *         buffer); #OMRO_ERR_BUFFER when the path does not fit.
 */
OMRO_API int omro_serial_port(int index, char* buffer, size_t size);

/**
 * @brief Whether firmware of this version sets its sheet wait in its parameter block (3.0 and later).
 * @param version the version text (MR_SysCmd() 23), or NULL.
 * @return 1 or 0.
 */
OMRO_API int omro_wait_in_parameters(const char* version);

/**
 * @brief How long MR_Read() waits for a reader's first answer, as the driver derives it at connection.
 * @param version the version text (MR_SysCmd() 23); NULL or "" when the reader gave none.
 * @param parameters its 4-byte parameter block (MR_SysCmd() 8), or NULL when it gave none; read only
 *        where omro_wait_in_parameters() is 1.
 * @return milliseconds: 2000 before firmware 3.0; from 3.0 on, (third parameter byte + 8) seconds,
 *         or 8000 without a parameter block.
 */
OMRO_API int omro_sheet_wait_ms(const char* version, const unsigned char* parameters);
/** @} */

/**
 * @brief GBK text (form labels, letters, the driver's Chinese messages) as UTF-8.
 *
 * A byte that does not start a valid GBK character is written as the four
 * characters \\xHH.
 * @param gbk the bytes; may hold zero bytes.
 * @param length bytes at @p gbk.
 * @param buffer where the UTF-8 text and a zero go.
 * @param size bytes at @p buffer.
 * @param written may be NULL; gets the UTF-8 length without the zero, or the
 *        size needed (zero included) on #OMRO_ERR_BUFFER.
 * @return #OMRO_OK; #OMRO_ERR_ARGUMENT for a null @p gbk with a length or a
 *         null @p buffer; #OMRO_ERR_BUFFER when @p size is too small.
 */
OMRO_API int omro_gbk_to_utf8(const char* gbk, size_t length, char* buffer, size_t size, size_t* written);

/* ---------------------------------------------------------------- forms -- */

/** A loaded form: its layouts, questions and diagnostics. */
typedef struct omro_form omro_form;

/**
 * @brief Reads a form file as the driver's MR_LoadForm reads it.
 *
 * Goes on past rejected lines so that every problem is reported, and checks
 * the form for problems the driver does not report (warnings, for a read head
 * 48 cells wide; see omro_form_set_head_columns()).
 * @param path the form file: a regular file of at most 16 MiB.
 * @param form gets the new handle (NULL on failure).
 * @return #OMRO_OK and a handle whenever the text could be read, even when the
 *         driver would reject the form (omro_form_status() then tells);
 *         #OMRO_ERR_FILE when the file cannot be read; #OMRO_ERR_ARGUMENT for
 *         a null argument; #OMRO_ERR_MEMORY.
 */
OMRO_API int omro_form_load(const char* path, omro_form** form);

/**
 * @brief omro_form_load() for a form text in memory (lines end with a line feed).
 * @param text the form's bytes; may be NULL when @p length is 0.
 * @param length bytes at @p text (at most 16 MiB).
 * @param form gets the new handle.
 * @return #OMRO_OK, #OMRO_ERR_ARGUMENT or #OMRO_ERR_MEMORY.
 */
OMRO_API int omro_form_load_text(const char* text, size_t length, omro_form** form);

/**
 * @brief Frees a form. Sheets decoded with it stay valid.
 * @param form the handle, or NULL.
 */
OMRO_API void omro_form_free(omro_form* form);

/**
 * @brief Whether the driver would load this form.
 * @param form the handle.
 * @return 0 when the driver would load the form and it defines a layout;
 *         otherwise the driver's error code for it (that of the first line the
 *         driver stops at, or 1 when no layout is defined); -1 for a null
 *         @p form. Decoding with such a form answers #OMRO_ERR_FORM.
 */
OMRO_API int omro_form_status(const omro_form* form);

/**
 * @brief The command lines of the form (lines the driver reads as commands).
 * @param form the handle.
 * @return the count, or -1 for a null @p form.
 */
OMRO_API int omro_form_command_lines(const omro_form* form);

/**
 * @brief Checks the form again for a read head of another width.
 *
 * Replaces the warnings about cells off the read head; everything else stays.
 * Not to be called while another thread decodes with the form.
 * @param form the handle.
 * @param columns cells across the read head, 2 to #OMRO_MAX_COLUMNS (48 when loaded).
 * @return #OMRO_OK or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_form_set_head_columns(omro_form* form, int columns);

/** @name Diagnostic severities */
/** @{ */
#define OMRO_SEVERITY_ERROR 2   /**< the driver stops loading the form at this line */
#define OMRO_SEVERITY_SKIPPED 1 /**< the driver skips this line and goes on */
#define OMRO_SEVERITY_WARNING 0 /**< accepted, but probably not what the author meant */
/** @} */

/** One problem of a form: a rejected line or a warning. */
typedef struct omro_diagnostic {
  int line;     /**< line in the form file, from 1; 0 when it concerns the whole form */
  int column;   /**< character column, from 1 (the opening quote); 0 when no single column is at fault */
  int code;     /**< the driver's error code for a rejected line; 0 for a warning */
  int severity; /**< an OMRO_SEVERITY_ value */
  /** "rejected" for a rejected line; warnings: label, outside, head, ambiguous, shared, empty, comment (a
      line that looks like a command but is taken as a comment) */
  char kind[24];
  char message[512]; /**< UTF-8: what is wrong and what to do */
  char text[256];    /**< a rejected line as it stands in the file (GBK, cut at 255 bytes); "" for warnings */
} omro_diagnostic;

/**
 * @brief Rejected lines and warnings: rejected lines first, in file order.
 * @param form the handle.
 * @return the count, or -1 for a null @p form.
 */
OMRO_API int omro_form_diagnostic_count(const omro_form* form);

/**
 * @brief One diagnostic.
 * @param form the handle.
 * @param index 0 to omro_form_diagnostic_count() - 1.
 * @param out filled in.
 * @return #OMRO_OK or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_form_diagnostic(const omro_form* form, int index, omro_diagnostic* out);

/** A bar mark: line and the range of columns that must be dark. */
typedef struct omro_bar {
  int line;  /**< the bar's line */
  int first; /**< its first column */
  int last;  /**< its last column */
} omro_bar;

/** One layout (sheet kind) of a form. */
typedef struct omro_layout_info {
  int slot;         /**< its place among the 26 layouts of the face, from 0 */
  char letter;      /**< form letter (GBK byte); ' ' when none */
  int lines;        /**< the line count a sheet of this layout has */
  int ident_line;   /**< the identifying cell: line */
  int ident_column; /**< the identifying cell: column */
  int questions;    /**< questions in its result text */
  int fields;       /**< its F lines */
  int g1;           /**< threshold G1: the least value of a bar cell */
  int g2;           /**< threshold G2: the least value of a marked cell; an identifying cell must exceed it */
  int g3;           /**< threshold G3: tolerance against the darkest cell, types S and s */
  int g4;           /**< threshold G4: tolerance against the darkest cell, types B, M, b and m */
  int bar_count;    /**< entries of @c bars */
  omro_bar bars[6]; /**< its bar marks */
  int coding_mode;  /**< coding mode of type M, 1 to 4 */
  char empty_char;  /**< written for a question without a mark */
  char multiple_char; /**< written for marks that cannot be one answer */
  char inherited[24]; /**< what it took over from the layout before it: "letter", "D", "G", "L", "M",
                         blank-separated */
} omro_layout_info;

/**
 * @brief Layouts of the first face that the form defines, in slot order.
 * @param form the handle.
 * @return the count, or -1 for a null @p form.
 */
OMRO_API int omro_form_layout_count(const omro_form* form);

/**
 * @brief One layout.
 * @param form the handle.
 * @param layout 0 to omro_form_layout_count() - 1.
 * @param out filled in.
 * @return #OMRO_OK or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_form_layout(const omro_form* form, int layout, omro_layout_info* out);

/** One question of a layout, as the form defines it. */
typedef struct omro_question_info {
  int number;                  /**< from 1, in result order */
  char type;                   /**< the field type letter it is coded with */
  int cell_count;              /**< its cells: option cells and label blanks */
  int option_count;            /**< option cells (label blanks are not options) */
  char options[OMRO_TEXT_MAX]; /**< their labels, in cell order, zero-terminated */
  int first_line;              /**< the first option cell: line */
  int first_column;            /**< the first option cell: column */
} omro_question_info;

/**
 * @brief A question of a layout.
 * @param form the handle.
 * @param layout 0 to omro_form_layout_count() - 1.
 * @param number 1 to the layout's @c questions.
 * @param out filled in.
 * @return #OMRO_OK or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_form_question(const omro_form* form, int layout, int number, omro_question_info* out);

/* ---------------------------------------------------------------- grids -- */

/**
 * @brief Reads a grid file as omrctl --save-grids writes it ("omr-grid 1").
 *
 * Refuses anything but a regular file of at most 4 MiB.
 * @param path the file.
 * @param lines gets its line count.
 * @param columns gets its column count.
 * @param cells gets lines x columns values 0..15 in sending order (the first
 *        @p columns cells are sheet line @p lines).
 * @param size bytes at @p cells; #OMRO_MAX_CELLS always suffice.
 * @return #OMRO_OK; #OMRO_ERR_FILE, #OMRO_ERR_GRID (the message names the
 *         line), #OMRO_ERR_BUFFER (@p lines and @p columns are still set) or
 *         #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_grid_file_read(const char* path, int* lines, int* columns, unsigned char* cells,
                                 size_t size);

/**
 * @brief Writes a grid file; replaces @p path whole or not at all.
 * @param path the file.
 * @param lines 1 to #OMRO_MAX_LINES.
 * @param columns 2 to #OMRO_MAX_COLUMNS, even; lines x columns at most #OMRO_MAX_CELLS.
 * @param cells lines x columns values 0..15 in sending order.
 * @param count bytes at @p cells: exactly lines x columns.
 * @param comment one line written as a comment, or NULL.
 * @return #OMRO_OK, #OMRO_ERR_GRID, #OMRO_ERR_FILE or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_grid_file_write(const char* path, int lines, int columns, const unsigned char* cells,
                                  size_t count, const char* comment);

/* --------------------------------------------------------------- sheets -- */

/** A decoded sheet: its result, questions, cells and confidence. */
typedef struct omro_sheet omro_sheet;

/**
 * @brief Decodes a grid as the driver's read and MR_GetResult(mode) would.
 *
 * The sheet is returned also when the read would fail (code 7, 4 or 5 in
 * omro_sheet_get_info()).
 * @param form a form whose omro_form_status() is 0.
 * @param lines 1 to #OMRO_MAX_LINES.
 * @param columns 2 to #OMRO_MAX_COLUMNS, even; lines x columns at most #OMRO_MAX_CELLS.
 * @param cells values 0..15 in sending order: the first @p columns cells are sheet line @p lines.
 * @param count bytes at @p cells: exactly lines x columns.
 * @param mode 0 to 3 as MR_GetResult: 0 the answers, 1 the form letter first,
 *        2 the status byte first, 3 both.
 * @param sheet gets the new handle.
 * @return #OMRO_OK; #OMRO_ERR_GRID for sizes out of range or values above 15;
 *         #OMRO_ERR_FORM; #OMRO_ERR_ARGUMENT; #OMRO_ERR_MEMORY.
 */
OMRO_API int omro_decode_grid(const omro_form* form, int lines, int columns, const unsigned char* cells,
                              size_t count, int mode, omro_sheet** sheet);

/**
 * @brief Decodes a grid file (see omro_grid_file_read()).
 * @param form a form whose omro_form_status() is 0.
 * @param path the grid file.
 * @param mode 0 to 3 as MR_GetResult.
 * @param sheet gets the new handle.
 * @return as omro_grid_file_read() and omro_decode_grid().
 */
OMRO_API int omro_decode_grid_file(const omro_form* form, const char* path, int mode, omro_sheet** sheet);

/**
 * @brief Decodes the grid of the last sheet the driver (libomr) received.
 *
 * Copies it with MR_SysCmd(25), which sends nothing to the reader. A read that
 * failed before the sheet's data arrived (a reader status such as 3, or a
 * CRC error) leaves the grid of the sheet before it.
 * @param form a form whose omro_form_status() is 0 (the form the driver loaded).
 * @param mode 0 to 3 as MR_GetResult.
 * @param sheet gets the new handle.
 * @return #OMRO_OK; #OMRO_ERR_READER when the driver holds no grid; as omro_decode_grid().
 */
OMRO_API int omro_decode_reader(const omro_form* form, int mode, omro_sheet** sheet);

/**
 * @brief Frees a sheet.
 * @param sheet the handle, or NULL.
 */
OMRO_API void omro_sheet_free(omro_sheet* sheet);

/** A decoded sheet as a whole. */
typedef struct omro_sheet_info {
  int code;          /**< 0 recognised; else 7, 4 or 5, as the driver's read reports */
  char letter;       /**< the reported form letter (MR_GetResult mode 1); 0 when none */
  int layout;        /**< index of the identified layout (as omro_form_layout()), -1 when none */
  int lines;         /**< the grid's lines */
  int columns;       /**< the grid's cells per line */
  int mode;          /**< the result mode it was decoded with */
  int questions;     /**< 0 when no layout was identified */
  double paper;      /**< the sheet's paper level: the median grey of its option cells left blank */
  double mark;       /**< the sheet's mark level: the median grey of its marked option cells */
  int doubtful;      /**< questions with any OMRO_DOUBT_ bit */
  double confidence; /**< the lowest question confidence; 1 when there is no question */
} omro_sheet_info;

/**
 * @brief The sheet as a whole.
 * @param sheet the handle.
 * @param out filled in.
 * @return #OMRO_OK or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_sheet_get_info(const omro_sheet* sheet, omro_sheet_info* out);

/**
 * @brief The result text in the decode's mode, as MR_GetResult gives it.
 *
 * Any bytes, the zero among them; empty when the read would fail or the
 * layout yields no character.
 * @param sheet the handle.
 * @param buffer gets the text and a zero; may be NULL when @p size is 0.
 * @param size bytes at @p buffer.
 * @param length may be NULL; gets the text's length without the zero, or on
 *        #OMRO_ERR_BUFFER the size needed with the zero.
 * @return #OMRO_OK, #OMRO_ERR_BUFFER or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_sheet_result(const omro_sheet* sheet, char* buffer, size_t size, size_t* length);

/** @name Why a question is doubtful (bits) */
/** @{ */
#define OMRO_DOUBT_FAINT \
  1 /**< a lone light mark, or a marked cell lighter than half the sheet's mark level */
#define OMRO_DOUBT_ERASURE 2 /**< a cell between the sheet's paper and mark levels (beside a mark) */
#define OMRO_DOUBT_NEAR_TIE \
  4 /**< a marked option and another within 2 grey levels where that decides the answer */
#define OMRO_DOUBT_MARGIN 8 /**< a deciding cell close to the threshold that decided it */
#define OMRO_DOUBT_OFF_GRID \
  16 /**< an option cell outside the sheet's grid: the form does not fit the sheet */
/** @} */

/** One question of a decoded sheet. */
typedef struct omro_question {
  int number;                  /**< from 1, in result order */
  char type;                   /**< the type it was coded with */
  unsigned char character;     /**< the coded character */
  int cell_count;              /**< its cells, option cells and label blanks */
  int option_count;            /**< its option cells */
  int marked_count;            /**< its marked option cells */
  char marked[OMRO_TEXT_MAX];  /**< labels of the marked options, in cell order, zero-terminated */
  char options[OMRO_TEXT_MAX]; /**< labels of all its options, in cell order */
  double confidence;           /**< 0 (undecidable) .. 1 (clear); at most 0.5 when doubtful */
  int doubtful;                /**< OMRO_DOUBT_ bits; 0 when the question is clear */
} omro_question;

/**
 * @brief One question of the identified layout.
 * @param sheet the handle.
 * @param index 0 to the sheet's @c questions - 1.
 * @param out filled in.
 * @return #OMRO_OK or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_sheet_question(const omro_sheet* sheet, int index, omro_question* out);

/** One cell of a question and how it was decided. */
typedef struct omro_cell {
  int line;      /**< its line */
  int column;    /**< its column */
  int value;     /**< 0..15, -1 off the grid */
  char label;    /**< its label (GBK byte); ' ' for a label blank (no option) */
  int marked;    /**< 1 when it counts as a mark */
  int threshold; /**< the value from which this cell would count as marked, the others as they are; 16: never
                  */
  double margin; /**< (value - (threshold - 0.5)) in units of (mark - paper) level; negative below */
  int doubtful;  /**< OMRO_DOUBT_ bits that concern this cell */
} omro_cell;

/**
 * @brief Cell @p index of question @p question.
 * @param sheet the handle.
 * @param question the question's index (0-based, as omro_sheet_question()).
 * @param index 0 to the question's @c cell_count - 1, in walking order.
 * @param out filled in.
 * @return #OMRO_OK or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_sheet_cell(const omro_sheet* sheet, int question, int index, omro_cell* out);

/**
 * @brief The grid as decoded, in sending order.
 * @param sheet the handle.
 * @param cells gets lines x columns bytes.
 * @param size bytes at @p cells.
 * @return #OMRO_OK, #OMRO_ERR_BUFFER or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_sheet_grid(const omro_sheet* sheet, unsigned char* cells, size_t size);

/**
 * @brief Writes the sheet's grid as a grid file; replaces @p path whole or not at all.
 *
 * A new file is readable by its owner only (0600: it shows a student's
 * answers); a file it replaces keeps its permissions.
 * @param sheet the handle.
 * @param path the file.
 * @param comment one line written as a comment, or NULL.
 * @return #OMRO_OK, #OMRO_ERR_FILE or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_sheet_write_grid(const omro_sheet* sheet, const char* path, const char* comment);

/**
 * @brief Writes the sheet picture as a PNG file; replaces @p path whole or not at all.
 *
 * A new file is readable by its owner only (0600: it shows a student's
 * answers); a file it replaces keeps its permissions.
 *
 * #OMRO_PICTURE_CELL pixels a cell, #OMRO_PICTURE_MARGIN + #OMRO_PICTURE_CELL x
 * columns wide and #OMRO_PICTURE_CELL x lines high, rows in sending order: cells in their grey, option cells
 * outlined in blue (orange when the cell makes its question doubtful), marks filled red, bars outlined in
 * green, the identifying cell in magenta, question numbers beside the questions (orange for doubtful ones).
 * @param sheet the handle.
 * @param path the file.
 * @return #OMRO_OK, #OMRO_ERR_FILE, #OMRO_ERR_MEMORY or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_sheet_write_png(const omro_sheet* sheet, const char* path);

/**
 * @brief The sheet picture (as omro_sheet_write_png()) into memory.
 * @param sheet the handle.
 * @param buffer gets the PNG bytes; NULL asks for the size only.
 * @param size bytes at @p buffer.
 * @param length gets the PNG's size in bytes, also on #OMRO_ERR_BUFFER.
 * @return #OMRO_OK, #OMRO_ERR_BUFFER (also for a NULL @p buffer), #OMRO_ERR_MEMORY or #OMRO_ERR_ARGUMENT.
 */
OMRO_API int omro_sheet_png(const omro_sheet* sheet, unsigned char* buffer, size_t size, size_t* length);

#ifdef __cplusplus
}
#endif

#endif /* OMR_OFFLINE_H */
