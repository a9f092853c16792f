// The recognition through the offline library (omr_offline.h): the form a
// project was made with, and sheets decoded from grids into responses.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "exam_file.h"
#include "grid_codec.h"
#include "scoring.h"
#include "vocabulary.h"

struct omro_form;
struct omro_sheet;

namespace omr::exam {

struct DecodedSheet {
  int code = 0;        // 0 recognised; else a recognition code (vocabulary.h) as a read reports
  char letter = 0;     // the reported form letter, 0 when none
  std::string result;  // the answers (mode 0), any bytes
  SheetGrid grid;
  std::vector<Response> responses;  // responses[q - 1] is question q
};

// One cell of a question as the recognition decided it.
struct CellDetail {
  int line = 0;
  int column = 0;
  int value = 0;  // 0..15; -1 off the grid
  char label = ' ';
  bool marked = false;
  int threshold = 16;  // from this value on it would count as marked; 16: never
  int doubtful = 0;    // the doubt bits that concern this cell
};

// A question of a decoded sheet with its cells (for a person checking it).
struct QuestionDetail {
  int question = 0;
  char type = ' ';
  std::string options;  // labels in cell order (form bytes)
  std::vector<CellDetail> cells;
};

class RecognitionForm {
 public:
  // Loads form text as the driver would; throws Error naming `name` and every
  // line the driver would reject.
  RecognitionForm(const std::string& text, const std::string& name);
  ~RecognitionForm();
  RecognitionForm(const RecognitionForm&) = delete;
  RecognitionForm& operator=(const RecognitionForm&) = delete;

  FormShape Shape() const;

  // Decodes a grid as the driver's read would (throws Error for a grid that
  // is not one a reader sends).
  DecodedSheet Decode(const SheetGrid& grid) const;
  // A grid file saved by omrctl read --save-grids; throws Error.
  DecodedSheet DecodeFile(const std::string& path) const;
  // The sheet's picture as PNG bytes (the offline library's renderer; its
  // geometry is kPictureCell and kPictureMargin).
  std::vector<std::uint8_t> Picture(const SheetGrid& grid) const;
  // Every question of the grid's layout with its cells (none when no layout
  // is identified).
  std::vector<QuestionDetail> Cells(const SheetGrid& grid) const;

 private:
  DecodedSheet FromSheet(omro_sheet* sheet) const;
  omro_form* form_ = nullptr;
};

// The offline library's last message in this thread.
std::string OfflineMessage();

}  // namespace omr::exam
