#include "confidence.h"

#include <algorithm>
#include <cmath>

#include "sheet.h"

namespace omr::offline {

namespace {

double Median(std::vector<int>& values) {
  const std::size_t n = values.size();
  std::sort(values.begin(), values.end());
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

bool Option(const DecidedCell& c) {
  return c.label != ' ';
}

bool OnGrid(const DecidedCell& c) {
  return c.value >= 0;
}

}  // namespace

Levels SheetLevels(const SheetLayout& layout, const DeviceFrame& frame,
                   const std::vector<QuestionInfo>& questions) {
  std::vector<int> blank;
  std::vector<int> marked;
  for (const QuestionInfo& q : questions)
    for (const DecidedCell& c : q.cells)
      if (Option(c) && OnGrid(c)) (c.marked ? marked : blank).push_back(c.value);
  if (marked.empty()) {
    // The sheet's printed marks stand in for the pencil's.
    for (const BarRecord& bar : layout.bars.records)
      if (bar.used)
        for (int column = std::max(bar.first, 1); column <= std::min(bar.last, frame.columns); ++column)
          if (const int v = frame.CellAt(bar.line, column); v >= 0) marked.push_back(v);
    if (const int v = frame.CellAt(layout.ident.line, layout.ident.column); v >= 0) marked.push_back(v);
  }
  Levels l;
  l.paper = blank.empty() ? 0.0 : Median(blank);
  l.mark = marked.empty() ? kDefaultMarkLevel : Median(marked);
  l.spread = std::max(l.mark - l.paper, 1.0);
  l.paperTop = l.paper + l.spread / 4;
  l.markFloor = l.mark - l.spread / 4;
  return l;
}

void JudgeQuestion(QuestionInfo& q, const Levels& l) {
  q.doubt = 0;
  const double quarter = l.spread / 4;
  double score = 1.0;  // distance of the deciding cells from their thresholds, in quarters of the spread
  bool offGrid = false;
  bool markLevel = false;
  const DecidedCell* darkest = nullptr;
  for (DecidedCell& c : q.cells) {
    c.doubt = 0;
    c.margin = 0.0;
    if (!Option(c)) continue;
    if (!OnGrid(c)) {
      c.doubt = kDoubtOffGrid;
      offGrid = true;
      continue;
    }
    const double boundary = c.threshold - 0.5;
    c.margin = (c.value - boundary) / l.spread;
    score = std::min(score, std::fabs(c.value - boundary) / quarter);
    markLevel = markLevel || c.value >= l.markFloor;
    if (darkest == nullptr || c.value > darkest->value) darkest = &c;
  }
  const bool single = q.type == 'S' || q.type == 's';
  for (DecidedCell& c : q.cells) {
    if (!Option(c) || !OnGrid(c)) continue;
    const double v = c.value;
    const bool between = v > l.paperTop && v < l.markFloor;
    // Between the levels: the question's lone light mark, or an erasure (or a
    // second light mark) beside it. At the paper level but taken for a mark:
    // the thresholds read paper as a mark.
    if (between)
      c.doubt |= (!markLevel && &c == darkest) ? kDoubtFaint : kDoubtErasure;
    else if (c.marked && v < l.mark / 2)
      c.doubt |= kDoubtFaint;
    if ((between && std::fabs(v - (c.threshold - 0.5)) <= 1.0) || (!c.marked && v >= l.markFloor))
      c.doubt |= kDoubtMargin;
    // Two options within two grey levels where that decides the answer: one
    // taken for a mark and the other not, or two marks of a single choice.
    for (DecidedCell& o : q.cells) {
      if (&o == &c || !Option(o) || !OnGrid(o) || !c.marked) continue;
      const int gap = c.value - o.value;
      if ((!o.marked && gap <= kNearTieLevels) || (single && o.marked && std::abs(gap) <= kNearTieLevels)) {
        c.doubt |= kDoubtNearTie;
        o.doubt |= kDoubtNearTie;
        score = std::min(score, (std::abs(gap) + 0.5) / quarter);
      }
    }
  }
  for (const DecidedCell& c : q.cells) q.doubt |= c.doubt;
  score = std::min(score, 1.0);
  if (offGrid)
    q.confidence = 0.0;
  else
    q.confidence = q.doubt != 0 ? 0.5 * score : 0.5 + 0.5 * score;
}

}  // namespace omr::offline
