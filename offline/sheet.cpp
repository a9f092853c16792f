#include "sheet.h"

#include <algorithm>
#include <cstring>

#include "read/result.h"

namespace omr::offline {

std::vector<QuestionInfo> LayoutQuestions(const omr::SheetLayout& layout, const omr::DeviceFrame& frame) {
  std::vector<QuestionInfo> questions;
  std::vector<std::uint8_t> out(omr::kResultBufferSize);
  int count = 0;
  omr::EvaluateLayout(layout, frame, out.data(), static_cast<int>(out.size()), count,
                      [&questions](const omr::QuestionDecision& d) {
                        QuestionInfo q;
                        q.number = d.number;
                        q.firstSlot = d.firstSlot;
                        q.lastSlot = d.lastSlot;
                        q.repeatIndex = d.repeatIndex;
                        q.type = d.type;
                        q.character = d.character;
                        q.cells.reserve(static_cast<std::size_t>(d.cellCount));
                        for (int i = 0; i < d.cellCount; ++i) {
                          DecidedCell c;
                          static_cast<omr::CellDecision&>(c) = d.cells[i];
                          q.cells.push_back(c);
                        }
                        questions.push_back(std::move(q));
                      });
  return questions;
}

std::unique_ptr<omr::DeviceFrame> FrameFromGrid(const Grid& grid) {
  auto frame = std::make_unique<omr::DeviceFrame>();
  const std::size_t count = static_cast<std::size_t>(grid.lines) * static_cast<std::size_t>(grid.columns);
  if (grid.lines <= 0 || grid.columns <= 0 || count > sizeof frame->cells || grid.cells.size() < count)
    return frame;
  std::memcpy(frame->cells, grid.cells.data(), count);
  frame->lines = grid.lines;
  frame->columns = grid.columns;
  return frame;
}

SheetAnalysis AnalyseGrid(omr::FormDefinition& forms, const Grid& grid, int mode) {
  SheetAnalysis a;
  const auto frame = FrameFromGrid(grid);
  if (forms.CountDefinedLayouts() == 0) {
    a.code = forms.errorCode;
    return a;
  }
  std::int32_t error = 0;
  omr::SheetLayout* layout = omr::IdentifyLayout(forms, *frame, error);
  if (layout == nullptr) {
    a.code = error;
    return a;
  }
  a.layout = layout;
  a.layoutIndex = static_cast<int>(layout - forms.layouts[forms.currentFace]);
  a.questions = LayoutQuestions(*layout, *frame);
  a.levels = SheetLevels(*layout, *frame, a.questions);
  for (QuestionInfo& q : a.questions) {
    JudgeQuestion(q, a.levels);
    if (q.doubt != 0) ++a.doubtful;
    a.confidence = std::min(a.confidence, q.confidence);
  }
  if (!omr::CheckBars(*layout, *frame)) {
    a.code = omr::kErrTestMark;
    return a;
  }
  std::vector<std::uint8_t> buffer(omr::kResultBufferSize);
  std::vector<char> text(omr::kResultBufferSize + 4);
  std::int32_t lastError = 0;
  const omr::ResultView view{forms, *frame, layout, buffer.data(), lastError};
  const int length = omr::GetResult(view, text.data(), mode);
  if (length > 0) a.result.assign(text.data(), static_cast<std::size_t>(length));
  lastError = 0;
  if (omr::GetResult(view, text.data(), 1) > 0) a.letter = text[0];
  return a;
}

}  // namespace omr::offline
