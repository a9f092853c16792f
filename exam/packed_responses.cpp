// Every sheet's responses packed for CompactScorer, corrections applied as
// ScoreSheet applies them.
#include <map>

#include "project.h"
#include "vocabulary.h"

namespace omr::exam {

PackedSheets Project::PackedResponses(const CompactScorer& scorer) {
  if (!scorer.Usable()) throw Error("this exam cannot be scored from packed responses");
  std::map<int, std::vector<Override>> corrections;
  for (const CorrectionRecord& c : store_->Corrections(examId_, 0))
    corrections[c.sheet].push_back({c.target, c.newValue});
  PackedSheets out;
  for (const LayoutShape& l : shape_.layouts)
    for (const QuestionShape& q : l.questions) out.questions = std::max(out.questions, q.number);
  const std::size_t width = static_cast<std::size_t>(out.questions);
  const auto keyIndex = [&](std::string_view name) {
    const VersionKey* k = exam_.FindKey(name);
    return k ? static_cast<std::uint8_t>(k - exam_.keys.data()) : PackedSheets::kNoKey;
  };
  store_->ForEachSheet(examId_, false, [&](SheetRecord& sheet, std::vector<Response>& responses) {
    const std::size_t at = out.marks.size();
    out.marks.resize(at + width, 0);
    std::map<std::string, std::string> latest;
    if (const auto hit = corrections.find(sheet.number); hit != corrections.end())
      latest = LatestCorrections(hit->second);
    for (const Response& r : responses)
      if (r.question >= 1 && static_cast<std::size_t>(r.question) <= width)
        out.marks[at + static_cast<std::size_t>(r.question - 1)] = scorer.Pack(r.question, r.marked);
    for (const auto& [target, value] : latest) {
      const int q = std::atoi(target.c_str());
      if (q >= 1 && static_cast<std::size_t>(q) <= width && std::to_string(q) == target)
        out.marks[at + static_cast<std::size_t>(q - 1)] = scorer.Pack(q, value);
    }
    std::uint8_t key = PackedSheets::kNoKey;
    const auto sheetFix = latest.find("sheet");
    if (sheet.code == 0 && !(sheetFix != latest.end() && sheetFix->second == kVoid)) {
      if (const auto v = latest.find("version"); v != latest.end()) {
        key = keyIndex(v->second);
      } else if (exam_.versionSource == VersionSource::kSingle) {
        key = 0;
      } else if (exam_.versionSource == VersionSource::kLayout) {
        key = sheet.letter ? keyIndex(std::string(1, sheet.letter)) : PackedSheets::kNoKey;
      } else {
        for (const Response& r : responses)
          if (r.question == exam_.versionQuestion)
            key = keyIndex(std::string(1, static_cast<char>(r.character)));
      }
    }
    out.keys.push_back(key);
  });
  return out;
}

}  // namespace omr::exam
