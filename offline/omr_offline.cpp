// The C interface of libomr-offline: handles around the offline units, no
// exception and no C++ type crossing it.
#include "omr_offline.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "file_io.h"
#include "form_report.h"
#include "gbk.h"
#include "grid_file.h"
#include "link/discovery.h"
#include "link/link.h"
#include "omr.h"
#include "picture.h"
#include "sheet.h"
#include "write_file.h"

using omr::offline::DecidedCell;
using omr::offline::Grid;
using omr::offline::QuestionInfo;

static_assert(OMRO_MAX_LINES == omr::offline::kMaxGridLines &&
              OMRO_MAX_COLUMNS == omr::offline::kMaxGridColumns && OMRO_MAX_CELLS == omr::kFrameArea);
static_assert(OMRO_DOUBT_FAINT == omr::offline::kDoubtFaint &&
              OMRO_DOUBT_ERASURE == omr::offline::kDoubtErasure &&
              OMRO_DOUBT_NEAR_TIE == omr::offline::kDoubtNearTie &&
              OMRO_DOUBT_MARGIN == omr::offline::kDoubtMargin &&
              OMRO_DOUBT_OFF_GRID == omr::offline::kDoubtOffGrid);

namespace {

constexpr int kDefaultHeadColumns = 48;
constexpr std::size_t kMaxFormBytes = 16u << 20;
constexpr int kSysGetSheetGrid = 25;

struct Diagnostic {
  int line = 0;
  int column = 0;
  int code = 0;
  int severity = OMRO_SEVERITY_WARNING;
  std::string kind;
  std::string message;
  std::string text;
};

thread_local std::string lastMessage;

int Fail(int code, std::string message) {
  lastMessage = std::move(message);
  return code;
}

// Runs `body`, turning what it throws into a result code: nothing crosses the
// interface.
template <typename Body>
int Guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(OMRO_ERR_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return Fail(OMRO_ERR_ARGUMENT, e.what());
  } catch (...) {
    return Fail(OMRO_ERR_ARGUMENT, "unexpected failure");
  }
}

// Copies text into a fixed field, cut to fit.
template <std::size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  const std::size_t n = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// Copies text and a zero into `size` bytes, cut to fit but never in the
// middle of a UTF-8 character; the bytes copied.
std::size_t CopyUtf8(char* buffer, std::size_t size, const std::string& text) {
  std::size_t n = std::min(text.size(), size - 1);
  if (n < text.size())
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

bool ValidMode(int mode) {
  return mode >= 0 && mode <= 3;
}

}  // namespace

struct omro_form {
  omr::offline::LocalForm local;
  int headColumns = kDefaultHeadColumns;
  int status = 0;
  std::vector<Diagnostic> diagnostics;
  std::vector<omr::offline::LayoutSummary> layouts;
  std::vector<std::vector<QuestionInfo>> questions;  // positions, per layout
  mutable std::mutex decoding;                       // the driver's form store is not for two at once

  void Build() {
    status = omr::offline::FormStatus(local);
    layouts = omr::offline::SummarizeLayouts(local);
    questions.clear();
    const auto empty = std::make_unique<omr::DeviceFrame>();
    for (const auto& s : layouts)
      questions.push_back(omr::offline::LayoutQuestions(local.forms->Layout(omr::kFaceA, s.index), *empty));
    Check();
  }

  void Check() {
    diagnostics.clear();
    for (const omr::offline::FormLineInfo& r : local.rejected) {
      Diagnostic d;
      d.line = r.number;
      d.column = r.column;
      d.code = r.code;
      d.severity = r.stops ? OMRO_SEVERITY_ERROR : OMRO_SEVERITY_SKIPPED;
      d.kind = "rejected";
      char english[64] = {};
      MR_GetErrMsgEn(r.code, english);
      d.message = r.detail.empty() ? std::string("the driver rejects this line: ") + english : r.detail;
      d.text = r.text;
      diagnostics.push_back(std::move(d));
    }
    if (local.unlisted > 0) {
      Diagnostic d;
      d.kind = "rejected";
      d.code = local.unlistedCode;
      d.severity = local.unlistedCode > 0 ? OMRO_SEVERITY_ERROR : OMRO_SEVERITY_SKIPPED;
      d.message = "and " + std::to_string(local.unlisted) + " more rejected lines";
      diagnostics.push_back(std::move(d));
    }
    for (const omr::offline::FormWarning& w : omr::offline::CheckForm(local, headColumns)) {
      Diagnostic d;
      d.line = w.line;
      d.column = w.column;
      d.kind = w.kind;
      d.message = w.text;
      diagnostics.push_back(std::move(d));
    }
  }
};

struct omro_sheet {
  Grid grid;
  int mode = 0;
  int layout = -1;                              // index among the form's defined layouts
  std::unique_ptr<omr::SheetLayout> ownLayout;  // a copy: the sheet outlives its form
  omr::offline::SheetAnalysis analysis;
};

extern "C" {

unsigned omro_version(void) {
  return (OMRO_VERSION_MAJOR << 16) | (OMRO_VERSION_MINOR << 8) | OMRO_VERSION_PATCH;
}

const char* omro_error_text(int code) {
  switch (code) {
    case OMRO_OK:
      return "success";
    case OMRO_ERR_ARGUMENT:
      return "bad argument";
    case OMRO_ERR_BUFFER:
      return "buffer too small";
    case OMRO_ERR_FILE:
      return "file cannot be read or written";
    case OMRO_ERR_GRID:
      return "malformed grid";
    case OMRO_ERR_FORM:
      return "form not loadable";
    case OMRO_ERR_READER:
      return "no sheet grid in the driver";
    case OMRO_ERR_MEMORY:
      return "out of memory";
    default:
      return "unknown result code";
  }
}

int omro_recognition_code(int code) {
  return code == OMRO_NOT_IDENTIFIED || code == OMRO_BAR_TOO_LIGHT || code == OMRO_NO_LAYOUT ? 1 : 0;
}

const char* omro_doubt_name(int bit) {
  switch (bit) {
    case OMRO_DOUBT_FAINT:
      return "faint";
    case OMRO_DOUBT_ERASURE:
      return "erasure";
    case OMRO_DOUBT_NEAR_TIE:
      return "near-tie";
    case OMRO_DOUBT_MARGIN:
      return "margin";
    case OMRO_DOUBT_OFF_GRID:
      return "off-grid";
    default:
      return nullptr;
  }
}

int omro_serial_port(int index, char* buffer, size_t size) {
  std::string name;
  if (buffer == nullptr || index < 0 || index >= omr::kMaxSerialCandidates ||
      !omr::SerialCandidate(index, name))
    return Fail(OMRO_ERR_ARGUMENT, "omro_serial_port: no serial device " + std::to_string(index));
  if (name.size() + 1 > size)
    return Fail(OMRO_ERR_BUFFER,
                "omro_serial_port: the path needs " + std::to_string(name.size() + 1) + " bytes");
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return OMRO_OK;
}

int omro_wait_in_parameters(const char* version) {
  return omr::WaitInParameters(version) ? 1 : 0;
}

int omro_sheet_wait_ms(const char* version, const unsigned char* parameters) {
  return omr::SheetWaitFor(version ? version : "", parameters);
}

int omro_last_message(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  return static_cast<int>(CopyUtf8(buffer, size, lastMessage));
}

int omro_gbk_to_utf8(const char* gbk, size_t length, char* buffer, size_t size, size_t* written) {
  return Guarded([&] {
    if ((gbk == nullptr && length > 0) || buffer == nullptr)
      return Fail(OMRO_ERR_ARGUMENT, "omro_gbk_to_utf8: null text or buffer");
    const std::string text = omr::offline::GbkToUtf8(std::string_view(gbk ? gbk : "", length));
    if (text.size() + 1 > size) {
      if (written != nullptr) *written = text.size() + 1;
      return Fail(OMRO_ERR_BUFFER, "omro_gbk_to_utf8: the text needs " + std::to_string(text.size() + 1) +
                                       " bytes, the buffer has " + std::to_string(size));
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    if (written != nullptr) *written = text.size();
    return OMRO_OK;
  });
}

// ------------------------------------------------------------------ forms --

int omro_form_load(const char* path, omro_form** form) {
  if (form != nullptr) *form = nullptr;
  return Guarded([&] {
    if (path == nullptr || form == nullptr) return Fail(OMRO_ERR_ARGUMENT, "omro_form_load: null argument");
    std::string text, error;
    if (!omr::offline::ReadRegularFile(path, kMaxFormBytes, "form file", text, error))
      return Fail(OMRO_ERR_FILE, error);
    auto f = std::make_unique<omro_form>();
    omr::offline::LoadLocalFormText(text, f->local);
    f->Build();
    *form = f.release();
    return OMRO_OK;
  });
}

int omro_form_load_text(const char* text, size_t length, omro_form** form) {
  if (form != nullptr) *form = nullptr;
  return Guarded([&] {
    if ((text == nullptr && length > 0) || form == nullptr)
      return Fail(OMRO_ERR_ARGUMENT, "omro_form_load_text: null argument");
    if (length > kMaxFormBytes)
      return Fail(OMRO_ERR_ARGUMENT,
                  "omro_form_load_text: a form text has at most " + std::to_string(kMaxFormBytes) + " bytes");
    auto f = std::make_unique<omro_form>();
    omr::offline::LoadLocalFormText(std::string_view(text ? text : "", length), f->local);
    f->Build();
    *form = f.release();
    return OMRO_OK;
  });
}

void omro_form_free(omro_form* form) {
  delete form;
}

int omro_form_status(const omro_form* form) {
  return form ? form->status : -1;
}

int omro_form_command_lines(const omro_form* form) {
  return form ? form->local.commandLines : -1;
}

int omro_form_set_head_columns(omro_form* form, int columns) {
  return Guarded([&] {
    if (form == nullptr || columns < 2 || columns > OMRO_MAX_COLUMNS)
      return Fail(OMRO_ERR_ARGUMENT, "omro_form_set_head_columns: a head has 2 to 254 columns");
    form->headColumns = columns;
    form->Check();
    return OMRO_OK;
  });
}

int omro_form_diagnostic_count(const omro_form* form) {
  return form ? static_cast<int>(form->diagnostics.size()) : -1;
}

int omro_form_diagnostic(const omro_form* form, int index, omro_diagnostic* out) {
  if (form == nullptr || out == nullptr || index < 0 || index >= static_cast<int>(form->diagnostics.size()))
    return Fail(OMRO_ERR_ARGUMENT, "omro_form_diagnostic: no diagnostic " + std::to_string(index));
  const Diagnostic& d = form->diagnostics[static_cast<std::size_t>(index)];
  *out = omro_diagnostic{};
  out->line = d.line;
  out->column = d.column;
  out->code = d.code;
  out->severity = d.severity;
  CopyField(out->kind, d.kind);
  CopyUtf8(out->message, sizeof out->message, d.message);
  CopyField(out->text, d.text);
  return OMRO_OK;
}

int omro_form_layout_count(const omro_form* form) {
  return form ? static_cast<int>(form->layouts.size()) : -1;
}

int omro_form_layout(const omro_form* form, int layout, omro_layout_info* out) {
  if (form == nullptr || out == nullptr || layout < 0 || layout >= static_cast<int>(form->layouts.size()))
    return Fail(OMRO_ERR_ARGUMENT, "omro_form_layout: no layout " + std::to_string(layout));
  const auto& s = form->layouts[static_cast<std::size_t>(layout)];
  const omr::SheetLayout& l = form->local.forms->Layout(omr::kFaceA, s.index);
  *out = omro_layout_info{};
  out->slot = s.index;
  out->letter = s.letter;
  out->lines = s.lines;
  out->ident_line = s.identLine;
  out->ident_column = s.identColumn;
  out->questions = s.questions;
  out->fields = s.fields;
  out->g1 = s.grade.g1;
  out->g2 = s.grade.g2;
  out->g3 = s.grade.g3;
  out->g4 = s.grade.g4;
  for (const omr::BarRecord& bar : s.bars) {
    if (out->bar_count >= 6) break;
    out->bars[out->bar_count++] = {bar.line, bar.first, bar.last};
  }
  out->coding_mode = l.coding.mode;
  out->empty_char = l.coding.emptyChar;
  out->multiple_char = l.coding.multipleChar;
  std::string inherited;
  for (const std::string& what : s.inherited) inherited += (inherited.empty() ? "" : " ") + what;
  CopyField(out->inherited, inherited);
  return OMRO_OK;
}

namespace {

void FillOptions(const QuestionInfo& q, char (&options)[OMRO_TEXT_MAX], int& count) {
  std::string labels;
  for (const DecidedCell& c : q.cells)
    if (c.label != ' ') labels += c.label;
  count = static_cast<int>(labels.size());
  CopyField(options, labels);
}

}  // namespace

int omro_form_question(const omro_form* form, int layout, int number, omro_question_info* out) {
  if (form == nullptr || out == nullptr || layout < 0 || layout >= static_cast<int>(form->questions.size()))
    return Fail(OMRO_ERR_ARGUMENT, "omro_form_question: no layout " + std::to_string(layout));
  const auto& qs = form->questions[static_cast<std::size_t>(layout)];
  if (number < 1 || number > static_cast<int>(qs.size()))
    return Fail(OMRO_ERR_ARGUMENT, "omro_form_question: layout " + std::to_string(layout) +
                                       " has no question " + std::to_string(number));
  const QuestionInfo& q = qs[static_cast<std::size_t>(number - 1)];
  *out = omro_question_info{};
  out->number = q.number;
  out->type = q.type;
  out->cell_count = static_cast<int>(q.cells.size());
  FillOptions(q, out->options, out->option_count);
  for (const DecidedCell& c : q.cells)
    if (c.label != ' ') {
      out->first_line = c.line;
      out->first_column = c.column;
      break;
    }
  return OMRO_OK;
}

// ------------------------------------------------------------------ grids --

int omro_grid_file_read(const char* path, int* lines, int* columns, unsigned char* cells, size_t size) {
  return Guarded([&] {
    if (path == nullptr || lines == nullptr || columns == nullptr || cells == nullptr)
      return Fail(OMRO_ERR_ARGUMENT, "omro_grid_file_read: null argument");
    std::string text, error;
    if (!omr::offline::ReadRegularFile(path, omr::offline::kMaxGridFileBytes, "grid file", text, error))
      return Fail(OMRO_ERR_FILE, error);
    Grid grid;
    if (!omr::offline::GridFromText(text, path, grid, error)) return Fail(OMRO_ERR_GRID, error);
    *lines = grid.lines;
    *columns = grid.columns;
    if (grid.cells.size() > size)
      return Fail(OMRO_ERR_BUFFER, std::string(path) + ": " + std::to_string(grid.cells.size()) +
                                       " cells do not fit a buffer of " + std::to_string(size));
    std::memcpy(cells, grid.cells.data(), grid.cells.size());
    return OMRO_OK;
  });
}

int omro_grid_file_write(const char* path, int lines, int columns, const unsigned char* cells, size_t count,
                         const char* comment) {
  return Guarded([&] {
    if (path == nullptr || cells == nullptr)
      return Fail(OMRO_ERR_ARGUMENT, "omro_grid_file_write: null argument");
    Grid grid;
    std::string error;
    if (!omr::offline::GridFromCells(lines, columns, cells, count, grid, error))
      return Fail(OMRO_ERR_GRID, error);
    if (!omr::offline::WriteGridFile(path, grid, comment ? comment : "", error))
      return Fail(OMRO_ERR_FILE, error);
    return OMRO_OK;
  });
}

// ----------------------------------------------------------------- sheets --

namespace {

int Decode(const omro_form* form, Grid&& grid, int mode, omro_sheet** sheet) {
  if (form->status != 0)
    return Fail(OMRO_ERR_FORM, "the driver does not load this form (error " + std::to_string(form->status) +
                                   "): see its diagnostics");
  auto s = std::make_unique<omro_sheet>();
  s->grid = std::move(grid);
  s->mode = mode;
  {
    std::lock_guard<std::mutex> lock(form->decoding);
    s->analysis = omr::offline::AnalyseGrid(*form->local.forms, s->grid, mode);
  }
  if (s->analysis.layout != nullptr) {
    s->ownLayout = std::make_unique<omr::SheetLayout>(*s->analysis.layout);
    s->analysis.layout = s->ownLayout.get();
    for (std::size_t i = 0; i < form->layouts.size(); ++i)
      if (form->layouts[i].index == s->analysis.layoutIndex) s->layout = static_cast<int>(i);
  }
  *sheet = s.release();
  return OMRO_OK;
}

bool DecodeArguments(const omro_form* form, int mode, omro_sheet** sheet, const char* function) {
  if (sheet != nullptr) *sheet = nullptr;
  if (form == nullptr || sheet == nullptr) {
    Fail(OMRO_ERR_ARGUMENT, std::string(function) + ": null argument");
    return false;
  }
  if (!ValidMode(mode)) {
    Fail(OMRO_ERR_ARGUMENT, std::string(function) + ": mode " + std::to_string(mode) + " is not 0 to 3");
    return false;
  }
  return true;
}

}  // namespace

int omro_decode_grid(const omro_form* form, int lines, int columns, const unsigned char* cells, size_t count,
                     int mode, omro_sheet** sheet) {
  if (!DecodeArguments(form, mode, sheet, "omro_decode_grid")) return OMRO_ERR_ARGUMENT;
  return Guarded([&] {
    Grid grid;
    std::string error;
    if (!omr::offline::GridFromCells(lines, columns, cells, count, grid, error))
      return Fail(OMRO_ERR_GRID, error);
    return Decode(form, std::move(grid), mode, sheet);
  });
}

int omro_decode_grid_file(const omro_form* form, const char* path, int mode, omro_sheet** sheet) {
  if (!DecodeArguments(form, mode, sheet, "omro_decode_grid_file")) return OMRO_ERR_ARGUMENT;
  return Guarded([&] {
    if (path == nullptr) return Fail(OMRO_ERR_ARGUMENT, "omro_decode_grid_file: null path");
    std::string text, error;
    if (!omr::offline::ReadRegularFile(path, omr::offline::kMaxGridFileBytes, "grid file", text, error))
      return Fail(OMRO_ERR_FILE, error);
    Grid grid;
    if (!omr::offline::GridFromText(text, path, grid, error)) return Fail(OMRO_ERR_GRID, error);
    return Decode(form, std::move(grid), mode, sheet);
  });
}

int omro_decode_reader(const omro_form* form, int mode, omro_sheet** sheet) {
  if (!DecodeArguments(form, mode, sheet, "omro_decode_reader")) return OMRO_ERR_ARGUMENT;
  return Guarded([&] {
    // Counts, then at most the frame's cell area.
    std::vector<unsigned char> copy(2 + OMRO_MAX_CELLS, 0);
    if (MR_SysCmd(kSysGetSheetGrid, copy.data()) != 1)
      return Fail(OMRO_ERR_READER, "the driver holds no sheet grid (no sheet has been read)");
    Grid grid;
    std::string error;
    if (!omr::offline::GridFromCopy(copy.data(), copy.size(), grid, error))
      return Fail(OMRO_ERR_GRID, "the driver's grid: " + error);
    return Decode(form, std::move(grid), mode, sheet);
  });
}

void omro_sheet_free(omro_sheet* sheet) {
  delete sheet;
}

int omro_sheet_get_info(const omro_sheet* sheet, omro_sheet_info* out) {
  if (sheet == nullptr || out == nullptr) return Fail(OMRO_ERR_ARGUMENT, "omro_sheet_info: null argument");
  const auto& a = sheet->analysis;
  *out = omro_sheet_info{};
  out->code = a.code;
  out->letter = a.code == 0 ? a.letter : 0;
  out->layout = sheet->layout;
  out->lines = sheet->grid.lines;
  out->columns = sheet->grid.columns;
  out->mode = sheet->mode;
  out->questions = static_cast<int>(a.questions.size());
  out->paper = a.levels.paper;
  out->mark = a.levels.mark;
  out->doubtful = a.doubtful;
  out->confidence = a.confidence;
  return OMRO_OK;
}

int omro_sheet_result(const omro_sheet* sheet, char* buffer, size_t size, size_t* length) {
  if (sheet == nullptr || (buffer == nullptr && size > 0))
    return Fail(OMRO_ERR_ARGUMENT, "omro_sheet_result: null argument");
  const std::string& text = sheet->analysis.result;
  if (text.size() + 1 > size) {
    if (length != nullptr) *length = text.size() + 1;
    return Fail(OMRO_ERR_BUFFER, "omro_sheet_result: the result needs " + std::to_string(text.size() + 1) +
                                     " bytes, the buffer has " + std::to_string(size));
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  if (length != nullptr) *length = text.size();
  return OMRO_OK;
}

int omro_sheet_question(const omro_sheet* sheet, int index, omro_question* out) {
  if (sheet == nullptr || out == nullptr || index < 0 ||
      index >= static_cast<int>(sheet->analysis.questions.size()))
    return Fail(OMRO_ERR_ARGUMENT, "omro_sheet_question: no question " + std::to_string(index));
  const QuestionInfo& q = sheet->analysis.questions[static_cast<std::size_t>(index)];
  *out = omro_question{};
  out->number = q.number;
  out->type = q.type;
  out->character = q.character;
  out->cell_count = static_cast<int>(q.cells.size());
  FillOptions(q, out->options, out->option_count);
  std::string marked;
  for (const DecidedCell& c : q.cells)
    if (c.marked) marked += c.label;
  out->marked_count = static_cast<int>(marked.size());
  CopyField(out->marked, marked);
  out->confidence = q.confidence;
  out->doubtful = q.doubt;
  return OMRO_OK;
}

int omro_sheet_cell(const omro_sheet* sheet, int question, int index, omro_cell* out) {
  if (sheet == nullptr || out == nullptr || question < 0 ||
      question >= static_cast<int>(sheet->analysis.questions.size()))
    return Fail(OMRO_ERR_ARGUMENT, "omro_sheet_cell: no question " + std::to_string(question));
  const QuestionInfo& q = sheet->analysis.questions[static_cast<std::size_t>(question)];
  if (index < 0 || index >= static_cast<int>(q.cells.size()))
    return Fail(OMRO_ERR_ARGUMENT, "omro_sheet_cell: question " + std::to_string(question) + " has no cell " +
                                       std::to_string(index));
  const DecidedCell& c = q.cells[static_cast<std::size_t>(index)];
  *out = omro_cell{};
  out->line = c.line;
  out->column = c.column;
  out->value = c.value;
  out->label = c.label;
  out->marked = c.marked ? 1 : 0;
  out->threshold = c.threshold;
  out->margin = c.margin;
  out->doubtful = c.doubt;
  return OMRO_OK;
}

int omro_sheet_grid(const omro_sheet* sheet, unsigned char* cells, size_t size) {
  if (sheet == nullptr || cells == nullptr) return Fail(OMRO_ERR_ARGUMENT, "omro_sheet_grid: null argument");
  const auto& g = sheet->grid.cells;
  if (g.size() > size)
    return Fail(OMRO_ERR_BUFFER, "omro_sheet_grid: the grid has " + std::to_string(g.size()) +
                                     " cells, the buffer " + std::to_string(size));
  std::memcpy(cells, g.data(), g.size());
  return OMRO_OK;
}

int omro_sheet_write_grid(const omro_sheet* sheet, const char* path, const char* comment) {
  return Guarded([&] {
    if (sheet == nullptr || path == nullptr)
      return Fail(OMRO_ERR_ARGUMENT, "omro_sheet_write_grid: null argument");
    std::string error;
    if (!omr::offline::WriteGridFile(path, sheet->grid, comment ? comment : "", error))
      return Fail(OMRO_ERR_FILE, error);
    return OMRO_OK;
  });
}

int omro_sheet_write_png(const omro_sheet* sheet, const char* path) {
  return Guarded([&] {
    if (sheet == nullptr || path == nullptr)
      return Fail(OMRO_ERR_ARGUMENT, "omro_sheet_write_png: null argument");
    std::vector<std::uint8_t> png;
    std::string error;
    if (!omr::offline::EncodePicture(sheet->grid, sheet->analysis.layout, sheet->analysis.questions, png,
                                     error))
      return Fail(OMRO_ERR_MEMORY, error);
    const std::string_view bytes(reinterpret_cast<const char*>(png.data()), png.size());
    if (!omr::common::WriteFileWhole(path, bytes, omr::common::IfExists::kReplace, error))
      return Fail(OMRO_ERR_FILE, error);
    return OMRO_OK;
  });
}

int omro_sheet_png(const omro_sheet* sheet, unsigned char* buffer, size_t size, size_t* length) {
  return Guarded([&] {
    if (sheet == nullptr || length == nullptr)
      return Fail(OMRO_ERR_ARGUMENT, "omro_sheet_png: null argument");
    std::vector<std::uint8_t> png;
    std::string error;
    if (!omr::offline::EncodePicture(sheet->grid, sheet->analysis.layout, sheet->analysis.questions, png,
                                     error))
      return Fail(OMRO_ERR_MEMORY, error);
    *length = png.size();
    if (buffer == nullptr || png.size() > size)
      return Fail(OMRO_ERR_BUFFER, "omro_sheet_png: the picture needs " + std::to_string(png.size()) +
                                       " bytes, the buffer has " + std::to_string(buffer ? size : 0));
    std::memcpy(buffer, png.data(), png.size());
    return OMRO_OK;
  });
}

}  // extern "C"
