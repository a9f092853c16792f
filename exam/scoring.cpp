#include "scoring.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <unordered_map>

#include "vocabulary.h"

namespace omr::exam {

bool IsDoubtful(const Exam& exam, const Response& r) {
  return (exam.review.doubtful && r.doubtful != 0) || r.confidence < exam.review.confidence;
}

bool NormalizeLabels(const std::string& options, const std::string& answer, std::string& out) {
  out.clear();
  if (answer == "-") return true;
  // "b" stands for "B" where the form has no label "b" (people type in lower case).
  std::string wanted;
  for (const char c : answer) {
    char label = c;
    if (options.find(c) == std::string::npos) {
      const char other = std::isupper(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c))
                                                                     : static_cast<char>(std::toupper(c));
      if (options.find(other) == std::string::npos) return false;
      label = other;
    }
    wanted += label;
  }
  for (const char c : options)
    if (wanted.find(c) != std::string::npos && out.find(c) == std::string::npos) out += c;
  return true;
}

std::map<std::string, std::string> LatestCorrections(const std::vector<Override>& corrections) {
  std::map<std::string, std::string> latest;
  for (const Override& o : corrections) {
    if (o.value)
      latest[o.target] = *o.value;
    else
      latest.erase(o.target);
  }
  return latest;
}

namespace {

bool Visible(unsigned char c) {
  return c > 0x20 && c < 0x7F;
}

// A position of the student ID that holds no digit: blank, several marks, or
// a character the coding gives for those.
bool BadPosition(char type, const Response& r) {
  if (r.character == '.' || r.character == '>' || !Visible(r.character)) return true;
  const bool single = type == 'S' || type == 's';
  return single && r.marked.size() != 1;
}

double ItemPoints(const ItemRule& rule, char key, const std::string& marked, Outcome& outcome) {
  if (rule.kind == ItemKind::kVoid) return outcome = Outcome::kVoid, 0;
  if (rule.kind == ItemKind::kBonus) return outcome = Outcome::kBonus, rule.points;
  if (marked.empty()) return outcome = Outcome::kBlank, rule.blank;
  if (!rule.all.empty()) {
    int right = 0;
    int wrong = 0;
    for (const char c : marked) (rule.all.find(c) != std::string::npos ? right : wrong)++;
    const int size = static_cast<int>(rule.all.size());
    if (right == size && wrong == 0) return outcome = Outcome::kCorrect, rule.points;
    if (!rule.partial) return outcome = Outcome::kWrong, 0;
    const double share = std::max(0, right - wrong) / static_cast<double>(size);
    outcome = share > 0 ? Outcome::kPartial : Outcome::kWrong;
    return rule.points * share;
  }
  if (marked.size() > 1) return outcome = Outcome::kMultiple, rule.multiple;
  const bool right = marked[0] == key || rule.accept.find(marked[0]) != std::string::npos;
  if (right) return outcome = Outcome::kCorrect, rule.points;
  return outcome = Outcome::kWrong, rule.wrong;
}

}  // namespace

const char* IdStateName(IdState s) {
  switch (s) {
    case IdState::kNone:
      return "none";
    case IdState::kValid:
      return "valid";
    case IdState::kInvalid:
      return "invalid";
  }
  return "";
}

SheetScore ScoreSheet(const Exam& exam, const SheetFacts& sheet, const std::vector<Override>& corrections) {
  SheetScore out;
  out.number = sheet.number;
  const std::map<std::string, std::string> latest = LatestCorrections(corrections);
  auto corrected = [&](int question) -> const std::string* {
    const auto hit = latest.find(std::to_string(question));
    return hit == latest.end() ? nullptr : &hit->second;
  };
  if (const auto s = latest.find("sheet"); s != latest.end()) {
    out.voided = s->second == kVoid;
    out.kept = s->second == kKeep;
  }
  if (out.voided) return out;
  if (sheet.code != 0) {
    out.reasons.push_back({reason::kNotRead, 0, std::to_string(sheet.code)});
    out.confidence = 0;
    return out;
  }
  auto response = [&](int question) -> const Response* {
    if (question < 1 || question > static_cast<int>(sheet.responses.size())) return nullptr;
    return &sheet.responses[static_cast<std::size_t>(question - 1)];
  };
  // Called for every question the score reads: its doubt, and its confidence in the sheet's.
  auto doubtful = [&](int question, int master = 0) {
    const Response* r = response(question);
    if (!r || corrected(question)) return;
    out.confidence = std::min(out.confidence, r->confidence);
    if (IsDoubtful(exam, *r)) out.reasons.push_back({reason::kDoubtful, question, "", master});
  };

  // The student ID: typed whole, or the characters of its questions.
  if (!exam.studentQuestions.empty()) {
    out.idState = IdState::kValid;
    if (const auto typed = latest.find("id"); typed != latest.end()) {
      out.studentId = typed->second;
      if (out.studentId.empty()) out.idState = IdState::kInvalid;
    } else {
      std::string bad;
      for (std::size_t i = 0; i < exam.studentQuestions.size(); ++i) {
        const int q = exam.studentQuestions[i];
        const char type = i < exam.studentTypes.size() ? exam.studentTypes[i] : 'S';
        char c = 0;
        bool ok = false;
        if (const std::string* v = corrected(q)) {
          ok = v->size() == 1 && Visible(static_cast<unsigned char>((*v)[0]));
          c = ok ? (*v)[0] : '?';
        } else if (const Response* r = response(q)) {
          ok = !BadPosition(type, *r);
          c = ok ? static_cast<char>(r->character) : '?';
        }
        out.studentId += c ? c : '?';
        if (!ok) bad += (bad.empty() ? "" : ",") + std::to_string(q);
        doubtful(q);
      }
      if (!bad.empty()) {
        out.idState = IdState::kInvalid;
        out.reasons.push_back({reason::kInvalidId, 0, "question " + bad});
      }
    }
    if (out.idState == IdState::kInvalid && latest.count("id"))
      out.reasons.push_back({reason::kInvalidId, 0, "typed empty"});
  }

  // The version names the key.
  const VersionKey* key = nullptr;
  if (const auto typed = latest.find("version"); typed != latest.end()) {
    key = exam.FindKey(typed->second);
    out.version = typed->second;
  } else if (exam.versionSource == VersionSource::kSingle) {
    key = &exam.keys.front();
    out.version = key->name;
  } else if (exam.versionSource == VersionSource::kLayout) {
    out.version = sheet.letter ? std::string(1, sheet.letter) : "";
    key = exam.FindKey(out.version);
  } else {
    const int q = exam.versionQuestion;
    if (const std::string* v = corrected(q)) {
      out.version = *v;
    } else if (const Response* r = response(q)) {
      out.version = std::string(1, static_cast<char>(r->character));
      doubtful(q);
    }
    key = exam.FindKey(out.version);
  }
  if (!key) {
    std::string shown;
    for (const char c : out.version)
      shown += Visible(static_cast<unsigned char>(c)) ? std::string(1, c) : "?";
    out.reasons.push_back({reason::kUnknownVersion, 0, shown});
    out.version.clear();
    return out;
  }
  out.version = key->name;
  out.scored = true;

  const int n = exam.ItemCount();
  out.items.resize(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const int question = exam.items[static_cast<std::size_t>(i)];
    const int master = key->order[static_cast<std::size_t>(i)];
    const ItemRule& rule = exam.rules[static_cast<std::size_t>(master - 1)];
    ItemScore& item = out.items[static_cast<std::size_t>(master - 1)];
    item.master = master;
    item.question = question;
    if (const std::string* v = corrected(question)) {
      item.response = *v;
      item.corrected = true;
    } else if (const Response* r = response(question)) {
      item.response = r->marked;
    }
    item.points = ItemPoints(rule, key->answers[static_cast<std::size_t>(i)], item.response, item.outcome);
    item.maximum = rule.kind == ItemKind::kVoid ? 0 : rule.points;
    out.total += item.points;
    out.maximum += item.maximum;
    if (rule.kind != ItemKind::kScored) continue;
    if (!item.corrected) {
      // A blank or a double mark the recognition is sure of is the student's doing: it goes to a
      // person only when the exam asks for it.
      const Response* r = response(question);
      const bool unsure = r && IsDoubtful(exam, *r);
      if (item.response.empty() && (exam.review.blank || unsure))
        out.reasons.push_back({reason::kBlank, question, "", master});
      if (item.response.size() > 1 && rule.all.empty() && (exam.review.multiple || unsure))
        out.reasons.push_back({reason::kMultiple, question, "", master});
    }
    doubtful(question, master);
  }
  if (exam.floor && out.total < *exam.floor) out.total = *exam.floor;
  if (out.maximum > 0) out.percent = 100.0 * out.total / out.maximum;
  return out;
}

void AddAcrossReasons(SheetScore& s, const Roster* roster, const std::vector<int>& sameId,
                      const std::vector<int>& sameGrid) {
  if (s.voided || s.kept) return;
  auto list = [](const std::vector<int>& numbers) {
    std::string out;
    for (const int n : numbers) out += (out.empty() ? "sheet " : ",") + std::to_string(n);
    return out;
  };
  if (s.idState == IdState::kValid) {
    if (roster && !roster->Empty() && !roster->Has(s.studentId))
      s.reasons.push_back({reason::kUnknownId, 0, s.studentId});
    if (!sameId.empty()) s.reasons.push_back({reason::kDuplicateId, 0, list(sameId)});
  }
  if (!sameGrid.empty()) s.reasons.push_back({reason::kDuplicateGrid, 0, list(sameGrid)});
}

void ReviewAcross(std::vector<SheetScore>& sheets, const Roster* roster,
                  const std::vector<std::string>& hashes) {
  std::unordered_map<std::string, std::vector<int>> ids;
  std::unordered_map<std::string, std::vector<int>> grids;
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    const SheetScore& s = sheets[i];
    if (s.voided) continue;
    if (s.idState == IdState::kValid) ids[s.studentId].push_back(s.number);
    if (i < hashes.size() && !hashes[i].empty()) grids[hashes[i]].push_back(s.number);
  }
  auto others = [](const std::vector<int>& group, int self) {
    std::vector<int> out;
    for (const int n : group)
      if (n != self) out.push_back(n);
    return out;
  };
  static const std::vector<int> kNone;
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    SheetScore& s = sheets[i];
    if (s.voided) continue;
    const std::vector<int> sameId = s.idState == IdState::kValid ? others(ids[s.studentId], s.number) : kNone;
    const std::vector<int> sameGrid =
        i < hashes.size() && !hashes[i].empty() ? others(grids[hashes[i]], s.number) : kNone;
    AddAcrossReasons(s, roster, sameId, sameGrid);
  }
}

}  // namespace omr::exam
