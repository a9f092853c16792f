#include "recognition.h"

#include "error.h"
#include "omr_offline.h"

namespace omr::exam {

namespace {

struct SheetFree {
  void operator()(omro_sheet* s) const { omro_sheet_free(s); }
};
using SheetPtr = std::unique_ptr<omro_sheet, SheetFree>;

// Decoding in mode 0: the answers only; the letter comes from the sheet info.
constexpr int kMode = 0;

SheetPtr DecodeGrid(const omro_form* form, const SheetGrid& grid) {
  std::string error;
  if (!ValidGrid(grid, error)) throw Error(error);
  omro_sheet* raw = nullptr;
  if (omro_decode_grid(form, grid.lines, grid.columns, grid.cells.data(), grid.cells.size(), kMode, &raw) !=
      OMRO_OK)
    throw Error("cannot decode the grid: " + OfflineMessage());
  return SheetPtr(raw);
}

}  // namespace

std::string OfflineMessage() {
  char text[1024] = {0};
  omro_last_message(text, sizeof text);
  return text;
}

RecognitionForm::RecognitionForm(const std::string& text, const std::string& name) {
  if (omro_form_load_text(text.data(), text.size(), &form_) != OMRO_OK)
    throw Error("cannot read the form " + name + ": " + OfflineMessage());
  const int status = omro_form_status(form_);
  if (status == 0) return;
  std::string lines;
  const int count = omro_form_diagnostic_count(form_);
  for (int i = 0; i < count; ++i) {
    omro_diagnostic d{};
    if (omro_form_diagnostic(form_, i, &d) != OMRO_OK || d.severity != OMRO_SEVERITY_ERROR) continue;
    lines += "\n  " + name + ":" + std::to_string(d.line) + ":" + std::to_string(d.column) + ": " + d.message;
  }
  omro_form_free(form_);
  form_ = nullptr;
  throw Error("the driver does not load the form " + name + " (error " + std::to_string(status) +
              "; see omrctl check)" + lines);
}

RecognitionForm::~RecognitionForm() {
  omro_form_free(form_);
}

FormShape RecognitionForm::Shape() const {
  FormShape shape;
  const int layouts = omro_form_layout_count(form_);
  for (int l = 0; l < layouts; ++l) {
    omro_layout_info info{};
    if (omro_form_layout(form_, l, &info) != OMRO_OK) continue;
    LayoutShape layout;
    layout.letter = info.letter;
    for (int q = 1; q <= info.questions; ++q) {
      omro_question_info qi{};
      if (omro_form_question(form_, l, q, &qi) != OMRO_OK) break;
      layout.questions.push_back({qi.number, qi.type, std::string(qi.options)});
    }
    shape.layouts.push_back(std::move(layout));
  }
  return shape;
}

DecodedSheet RecognitionForm::FromSheet(omro_sheet* sheet) const {
  DecodedSheet out;
  omro_sheet_info info{};
  if (omro_sheet_get_info(sheet, &info) != OMRO_OK)
    throw Error("cannot decode the sheet: " + OfflineMessage());
  out.code = info.code;
  out.letter = info.letter;
  out.grid.lines = info.lines;
  out.grid.columns = info.columns;
  out.grid.cells.resize(static_cast<std::size_t>(info.lines) * static_cast<std::size_t>(info.columns));
  if (omro_sheet_grid(sheet, out.grid.cells.data(), out.grid.cells.size()) != OMRO_OK)
    throw Error("cannot copy the sheet's grid: " + OfflineMessage());
  if (info.code == 0) {
    std::size_t length = 0;
    std::string text(static_cast<std::size_t>(info.questions) + 16, '\0');
    if (omro_sheet_result(sheet, text.data(), text.size(), &length) == OMRO_ERR_BUFFER) {
      text.assign(length + 1, '\0');
      omro_sheet_result(sheet, text.data(), text.size(), &length);
    }
    out.result.assign(text.data(), length);
  }
  for (int q = 0; q < info.questions; ++q) {
    omro_question question{};
    if (omro_sheet_question(sheet, q, &question) != OMRO_OK) break;
    out.responses.push_back({question.number, std::string(question.marked), question.character,
                             question.confidence, question.doubtful});
  }
  return out;
}

DecodedSheet RecognitionForm::Decode(const SheetGrid& grid) const {
  return FromSheet(DecodeGrid(form_, grid).get());
}

DecodedSheet RecognitionForm::DecodeFile(const std::string& path) const {
  omro_sheet* raw = nullptr;
  if (omro_decode_grid_file(form_, path.c_str(), kMode, &raw) != OMRO_OK) throw Error(OfflineMessage());
  const SheetPtr sheet(raw);
  return FromSheet(sheet.get());
}

std::vector<QuestionDetail> RecognitionForm::Cells(const SheetGrid& grid) const {
  const SheetPtr sheet = DecodeGrid(form_, grid);
  omro_sheet_info info{};
  if (omro_sheet_get_info(sheet.get(), &info) != OMRO_OK)
    throw Error("cannot decode the sheet: " + OfflineMessage());
  std::vector<QuestionDetail> out;
  for (int q = 0; q < info.questions; ++q) {
    omro_question question{};
    if (omro_sheet_question(sheet.get(), q, &question) != OMRO_OK) break;
    QuestionDetail d;
    d.question = question.number;
    d.type = question.type;
    d.options = question.options;
    for (int c = 0; c < question.cell_count; ++c) {
      omro_cell cell{};
      if (omro_sheet_cell(sheet.get(), q, c, &cell) != OMRO_OK) break;
      d.cells.push_back(
          {cell.line, cell.column, cell.value, cell.label, cell.marked != 0, cell.threshold, cell.doubtful});
    }
    out.push_back(std::move(d));
  }
  return out;
}

std::vector<std::uint8_t> RecognitionForm::Picture(const SheetGrid& grid) const {
  const SheetPtr sheet = DecodeGrid(form_, grid);
  std::size_t length = 0;
  omro_sheet_png(sheet.get(), nullptr, 0, &length);
  std::vector<std::uint8_t> png(length);
  if (length == 0 || omro_sheet_png(sheet.get(), png.data(), png.size(), &length) != OMRO_OK)
    throw Error("cannot draw the sheet: " + OfflineMessage());
  png.resize(length);
  return png;
}

}  // namespace omr::exam
