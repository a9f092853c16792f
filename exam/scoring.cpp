#include "scoring.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
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

// A read character or typed value as a reason's detail shows it.
std::string Shown(const std::string& value) {
  std::string shown;
  for (const char c : value) shown += Visible(static_cast<unsigned char>(c)) ? std::string(1, c) : "?";
  return shown;
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

  // The part, in an exam in parts: the layout letter, or the part question's character.
  int part = -1;
  if (!exam.parts.empty()) {
    std::string name;
    if (exam.partSource == PartSource::kLayout) {
      if (sheet.letter) name = std::string(1, sheet.letter);
    } else if (const std::string* v = corrected(exam.partQuestion)) {
      name = *v;
    } else if (const Response* r = response(exam.partQuestion)) {
      name = std::string(1, static_cast<char>(r->character));
      doubtful(exam.partQuestion);
    }
    part = exam.FindPart(name);
    if (part < 0)
      out.reasons.push_back({reason::kUnknownPart,
                             exam.partSource == PartSource::kQuestion ? exam.partQuestion : 0, Shown(name)});
    else
      out.part = name;
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
    out.reasons.push_back({reason::kUnknownVersion, 0, Shown(out.version)});
    out.version.clear();
    return out;
  }
  out.version = key->name;
  if (!exam.parts.empty() && part < 0) return out;
  out.scored = true;

  const int n = exam.ItemCount();
  out.items.resize(static_cast<std::size_t>(n));
  int from = 0;
  int to = n;
  if (part >= 0) {
    // The items of the other parts are on their own sheets.
    const SheetPart& mine = exam.parts[static_cast<std::size_t>(part)];
    from = static_cast<int>(mine.first);
    to = from + static_cast<int>(mine.questions.size());
    for (int m = 1; m <= n; ++m) {
      out.items[static_cast<std::size_t>(m - 1)].master = m;
      out.items[static_cast<std::size_t>(m - 1)].outcome = Outcome::kAbsent;
    }
  }
  for (int i = from; i < to; ++i) {
    const int question = exam.items[static_cast<std::size_t>(i)];
    const int master = key->order[static_cast<std::size_t>(i)];
    const ItemRule& rule = exam.rules[static_cast<std::size_t>(master - 1)];
    ItemScore& item = out.items[static_cast<std::size_t>(master - 1)];
    item.master = master;
    item.question = question;
    item.sheet = sheet.number;
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
  if (exam.floor && part < 0 && out.total < *exam.floor) out.total = *exam.floor;
  if (out.maximum > 0) out.percent = 100.0 * out.total / out.maximum;
  return out;
}

namespace {

std::string SheetList(const std::vector<int>& numbers) {
  std::string out;
  for (const int n : numbers) out += (out.empty() ? "sheet " : ",") + std::to_string(n);
  return out;
}

// Stands for an exam of one sheet where callers give none.
const Exam& OneSheet() {
  static const Exam exam;
  return exam;
}

}  // namespace

void AddAcrossReasons(const Exam& exam, SheetScore& s, const Roster* roster, const std::vector<Peer>& sameId,
                      const std::vector<int>& sameGrid) {
  if (s.voided || s.kept) return;
  if (s.idState == IdState::kValid) {
    if (roster && !roster->Empty() && !roster->Has(s.studentId))
      s.reasons.push_back({reason::kUnknownId, 0, s.studentId});
    if (exam.parts.empty()) {
      std::vector<int> numbers;
      for (const Peer& p : sameId) numbers.push_back(p.number);
      if (!numbers.empty()) s.reasons.push_back({reason::kDuplicateId, 0, SheetList(numbers)});
    } else if (!s.part.empty()) {
      // The student's other sheets: those of other parts are expected.
      std::vector<int> samePart;
      std::vector<int> otherVersion;
      std::set<std::string> present = {s.part};
      for (const Peer& p : sameId) {
        if (p.part.empty()) continue;
        present.insert(p.part);
        if (p.part == s.part) samePart.push_back(p.number);
        if (s.scored && p.scored && p.version != s.version) otherVersion.push_back(p.number);
      }
      if (!samePart.empty()) s.reasons.push_back({reason::kDuplicatePart, 0, SheetList(samePart)});
      std::string missing;
      int count = 0;
      for (const SheetPart& part : exam.parts)
        if (!present.count(part.name)) missing += (count++ ? ", " : "") + part.name;
      if (count) s.reasons.push_back({reason::kMissingPart, 0, (count == 1 ? "part " : "parts ") + missing});
      if (!otherVersion.empty()) s.reasons.push_back({reason::kMixedVersions, 0, SheetList(otherVersion)});
    }
  }
  if (!sameGrid.empty()) s.reasons.push_back({reason::kDuplicateGrid, 0, SheetList(sameGrid)});
}

void AddAcrossReasons(SheetScore& s, const Roster* roster, const std::vector<int>& sameId,
                      const std::vector<int>& sameGrid) {
  std::vector<Peer> peers;
  for (const int n : sameId) peers.push_back({n, "", "", false});
  AddAcrossReasons(OneSheet(), s, roster, peers, sameGrid);
}

void ReviewAcross(std::vector<SheetScore>& sheets, const Roster* roster,
                  const std::vector<std::string>& hashes) {
  ReviewAcross(OneSheet(), sheets, roster, hashes);
}

void ReviewAcross(const Exam& exam, std::vector<SheetScore>& sheets, const Roster* roster,
                  const std::vector<std::string>& hashes) {
  std::unordered_map<std::string, std::vector<std::size_t>> ids;
  std::unordered_map<std::string, std::vector<int>> grids;
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    const SheetScore& s = sheets[i];
    if (s.voided) continue;
    if (s.idState == IdState::kValid) ids[s.studentId].push_back(i);
    if (i < hashes.size() && !hashes[i].empty()) grids[hashes[i]].push_back(s.number);
  }
  // Peers first, reasons after: a sheet's reasons never change another's peers.
  std::vector<std::vector<Peer>> peers(sheets.size());
  for (const auto& [id, group] : ids)
    for (const std::size_t i : group)
      for (const std::size_t j : group)
        if (sheets[j].number != sheets[i].number)
          peers[i].push_back({sheets[j].number, sheets[j].part, sheets[j].version, sheets[j].scored});
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    SheetScore& s = sheets[i];
    if (s.voided) continue;
    std::vector<int> sameGrid;
    if (i < hashes.size() && !hashes[i].empty())
      for (const int n : grids[hashes[i]])
        if (n != s.number) sameGrid.push_back(n);
    AddAcrossReasons(exam, s, roster, peers[i], sameGrid);
  }
}

std::vector<SheetScore> CombineSheets(const Exam& exam, std::vector<SheetScore> sheets) {
  if (exam.parts.empty()) return sheets;
  std::sort(sheets.begin(), sheets.end(),
            [](const SheetScore& a, const SheetScore& b) { return a.number < b.number; });
  // A candidate's sheets, in the order of their first.
  std::unordered_map<std::string, std::size_t> index;
  std::vector<std::vector<const SheetScore*>> groups;
  for (const SheetScore& s : sheets) {
    if (s.voided || s.idState != IdState::kValid || s.part.empty()) continue;
    const auto [at, fresh] = index.try_emplace(s.studentId, groups.size());
    if (fresh) groups.emplace_back();
    groups[at->second].push_back(&s);
  }
  const std::size_t n = static_cast<std::size_t>(exam.ItemCount());
  std::vector<SheetScore> out;
  out.reserve(groups.size());
  for (const std::vector<const SheetScore*>& group : groups) {
    SheetScore c;
    c.number = group.front()->number;
    c.idState = IdState::kValid;
    c.studentId = group.front()->studentId;
    std::vector<const SheetScore*> counted(exam.parts.size(), nullptr);
    std::vector<int> seen(exam.parts.size(), 0);
    for (const SheetScore* s : group) {
      c.sheets.push_back(s->number);
      c.kept = c.kept || s->kept;
      const std::size_t p = static_cast<std::size_t>(exam.FindPart(s->part));
      ++seen[p];
      if (!counted[p] || s->scored || !counted[p]->scored) counted[p] = s;
      for (Reason r : s->reasons) {
        r.sheet = s->number;
        c.reasons.push_back(std::move(r));
      }
    }
    // Scored once every part is, of one version (a part not read counts blank on a kept sheet).
    bool scorable = true;
    std::vector<std::string> versions;
    for (std::size_t p = 0; p < exam.parts.size(); ++p) {
      c.doubled = c.doubled || seen[p] > 1;
      const SheetScore* s = counted[p];
      if (!s) {
        c.missing.push_back(exam.parts[p].name);
        scorable = scorable && c.kept;
        continue;
      }
      c.confidence = std::min(c.confidence, s->confidence);
      if (!s->scored) scorable = false;
      if (!s->version.empty() && std::find(versions.begin(), versions.end(), s->version) == versions.end())
        versions.push_back(s->version);
    }
    for (std::size_t v = 0; v < versions.size(); ++v) c.version += (v ? "/" : "") + versions[v];
    const VersionKey* key = versions.size() == 1 ? exam.FindKey(versions.front()) : nullptr;
    if (!scorable || !key) {
      out.push_back(std::move(c));
      continue;
    }
    c.scored = true;
    c.items.resize(n);
    for (std::size_t p = 0; p < exam.parts.size(); ++p) {
      if (const SheetScore* s = counted[p]) {
        for (std::size_t m = 0; m < n && m < s->items.size(); ++m)
          if (s->items[m].outcome != Outcome::kAbsent) c.items[m] = s->items[m];
        continue;
      }
      const SheetPart& part = exam.parts[p];
      for (std::size_t i = part.first; i < part.first + part.questions.size(); ++i) {
        const int master = key->order[i];
        const ItemRule& rule = exam.rules[static_cast<std::size_t>(master - 1)];
        ItemScore& item = c.items[static_cast<std::size_t>(master - 1)];
        item.master = master;
        item.points = ItemPoints(rule, key->answers[i], "", item.outcome);
        item.maximum = rule.kind == ItemKind::kVoid ? 0 : rule.points;
      }
    }
    for (const ItemScore& item : c.items) {
      c.total += item.points;
      c.maximum += item.maximum;
    }
    if (exam.floor && c.total < *exam.floor) c.total = *exam.floor;
    if (c.maximum > 0) c.percent = 100.0 * c.total / c.maximum;
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace omr::exam

namespace omr::exam {

CompactScorer::CompactScorer(const Exam& exam, const FormShape& shape) {
  if (!exam.parts.empty() || exam.keys.size() >= PackedSheets::kNoKey || shape.layouts.empty()) {
    usable_ = false;
    return;
  }
  for (const QuestionShape& q : shape.layouts.front().questions) {
    if (q.number < 1) continue;
    if (options_.size() < static_cast<std::size_t>(q.number))
      options_.resize(static_cast<std::size_t>(q.number));
    options_[static_cast<std::size_t>(q.number - 1)] = q.options;
  }
  if (exam.floor) {
    hasFloor_ = true;
    floor_ = static_cast<float>(*exam.floor);
  }
  for (const VersionKey& key : exam.keys) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < exam.items.size(); ++i) {
      const int question = exam.items[i];
      const int master = key.order[i];
      const ItemRule& rule = exam.rules[static_cast<std::size_t>(master - 1)];
      if (question < 1 || static_cast<std::size_t>(question) > options_.size()) {
        usable_ = false;
        return;
      }
      const std::string& labels = options_[static_cast<std::size_t>(question - 1)];
      if (labels.size() > 8) {
        usable_ = false;
        return;
      }
      Item item;
      item.offset = question - 1;
      for (unsigned bits = 0; bits < 256; ++bits) {
        std::string marked;
        for (std::size_t k = 0; k < labels.size(); ++k)
          if (bits & (1u << k)) marked += labels[k];
        Outcome outcome;
        item.points[bits] = static_cast<float>(ItemPoints(rule, key.answers[i], marked, outcome));
      }
      items.push_back(item);
    }
    keys_.push_back(std::move(items));
  }
}

std::uint8_t CompactScorer::Pack(int question, const std::string& marked) const {
  if (question < 1 || static_cast<std::size_t>(question) > options_.size()) return 0;
  const std::string& labels = options_[static_cast<std::size_t>(question - 1)];
  std::uint8_t bits = 0;
  for (std::size_t k = 0; k < labels.size() && k < 8; ++k)
    if (marked.find(labels[k]) != std::string::npos) bits = static_cast<std::uint8_t>(bits | (1u << k));
  return bits;
}

void CompactScorer::Totals(const PackedSheets& sheets, std::vector<float>& totals) const {
  const std::size_t n = sheets.Count();
  totals.assign(n, 0.0f);
  const std::size_t width = static_cast<std::size_t>(sheets.questions);
  for (std::size_t s = 0; s < n; ++s) {
    const std::uint8_t k = sheets.keys[s];
    if (k >= keys_.size()) continue;
    const std::uint8_t* marks = sheets.marks.data() + s * width;
    float total = 0;
    for (const Item& item : keys_[k])
      if (static_cast<std::size_t>(item.offset) < width) total += item.points[marks[item.offset]];
    if (hasFloor_ && total < floor_) total = floor_;
    totals[s] = total;
  }
}

}  // namespace omr::exam
