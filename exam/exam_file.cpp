#include "exam_file.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

#include "json_positions.h"
#include "lms.h"
#include "roster.h"

namespace omr::exam {

using Json = nlohmann::ordered_json;

const VersionKey* Exam::FindKey(std::string_view name) const {
  for (const VersionKey& k : keys)
    if (k.name == name) return &k;
  return nullptr;
}

double Exam::MaximumPoints() const {
  double sum = 0;
  for (const ItemRule& r : rules)
    if (r.kind != ItemKind::kVoid) sum += r.points;
  return sum;
}

char Exam::KeyFor(const VersionKey& key, int master) const {
  for (std::size_t i = 0; i < key.order.size(); ++i)
    if (key.order[i] == master) return key.answers[i];
  return 0;
}

std::string Exam::RoleOf(int question, std::string_view part) const {
  if (std::find(studentQuestions.begin(), studentQuestions.end(), question) != studentQuestions.end())
    return "student";
  if (versionSource == VersionSource::kQuestion && versionQuestion == question) return "version";
  if (partSource == PartSource::kQuestion && partQuestion == question) return "part";
  const int p = part.empty() ? -1 : FindPart(part);
  const std::vector<int>& on = p >= 0 ? parts[static_cast<std::size_t>(p)].questions : items;
  if (std::find(on.begin(), on.end(), question) != on.end()) return "item";
  return "";
}

int Exam::FindPart(std::string_view name) const {
  for (std::size_t p = 0; p < parts.size(); ++p)
    if (parts[p].name == name) return static_cast<int>(p);
  return -1;
}

std::size_t Exam::PartAt(std::size_t position) const {
  std::size_t p = 0;
  while (p + 1 < parts.size() && position >= parts[p + 1].first) ++p;
  return p;
}

const LayoutShape* Exam::LayoutAt(const FormShape& shape, const VersionKey& key, std::size_t position) const {
  if (shape.layouts.empty()) return nullptr;
  char letter = 0;
  if (partSource == PartSource::kLayout && !parts.empty())
    letter = parts[PartAt(position)].name[0];
  else if (versionSource == VersionSource::kLayout && key.name.size() == 1)
    letter = key.name[0];
  for (const LayoutShape& l : shape.layouts)
    if (letter && l.letter == letter) return &l;
  return &shape.layouts.front();
}

std::string Exam::OptionsAt(const FormShape& shape, const VersionKey& key, std::size_t position) const {
  const LayoutShape* layout = LayoutAt(shape, key, position);
  if (!layout || position >= items.size()) return "";
  const int q = items[position];
  if (q < 1 || q > static_cast<int>(layout->questions.size())) return "";
  return layout->questions[static_cast<std::size_t>(q - 1)].options;
}

std::string FormatProblem(const std::string& file, const Problem& p) {
  return file + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) + ": " +
         (p.pointer.empty() ? std::string("(document)") : p.pointer) + ": " + p.message;
}

bool ParseRanges(std::string_view text, std::vector<int>& out) {
  out.clear();
  std::size_t at = 0;
  auto number = [&](int& value) {
    while (at < text.size() && text[at] == ' ') ++at;
    const std::size_t start = at;
    long v = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6)
      v = v * 10 + (text[at++] - '0');
    while (at < text.size() && text[at] == ' ') ++at;
    value = static_cast<int>(v);
    return at > start && v > 0;
  };
  for (;;) {
    int first = 0;
    int last = 0;
    if (!number(first)) return false;
    last = first;
    if (at < text.size() && text[at] == '-') {
      ++at;
      if (!number(last) || last < first) return false;
    }
    if (out.size() + static_cast<std::size_t>(last - first + 1) > 100000) return false;
    for (int q = first; q <= last; ++q) out.push_back(q);
    if (at == text.size()) return true;
    if (text[at] != ',') return false;
    ++at;
  }
}

namespace {

// "0-9", "A-E", "+0-9": a sorted set of bytes with its runs shortened.
std::string Runs(const std::string& sorted) {
  std::string out;
  for (std::size_t i = 0; i < sorted.size();) {
    std::size_t j = i;
    while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1) ++j;
    out += sorted[i];
    if (j >= i + 2)
      out += std::string("-") + sorted[j];
    else if (j == i + 1)
      out += sorted[j];
    i = j + 1;
  }
  return out;
}

}  // namespace

// The characters a question codes when it is read as one valid ID position:
// a single choice its option labels, a weighted digit the sums of its weights
// (as the recognition codes them), other types any visible character but the
// empty-field and multiple-mark ones.
std::string CodableCharacters(const QuestionShape& q) {
  std::string out;
  auto add = [&](char c) {
    if (c > 0x20 && c < 0x7F && out.find(c) == std::string::npos) out += c;
  };
  if (q.type == 'S' || q.type == 's') {
    for (const char c : q.options) add(c);
  } else if (q.type == 'B' || q.type == 'b') {
    std::vector<int> weights;
    for (std::size_t i = 0; i < q.options.size() && i < 8; ++i)
      if (q.options[i] == '1' || q.options[i] == '2' || q.options[i] == '4' || q.options[i] == '8')
        weights.push_back(q.options[i] - '0');
    const int top = q.type == 'B' ? 9 : 15;
    for (unsigned mask = 0; mask < (1u << weights.size()); ++mask) {
      int sum = 0;
      for (std::size_t i = 0; i < weights.size(); ++i)
        if (mask & (1u << i)) sum += weights[i];
      if (sum <= top) add("0123456789ABCDEF"[sum]);
    }
  } else if (q.type == 'm') {
    int options = 0;
    for (const char c : q.options) options += c != ' ' ? 1 : 0;
    for (int mask = 0; options < 8 && mask < (1 << options); ++mask) add(static_cast<char>(0x30 + mask));
  } else {
    for (char c = 0x21; c < 0x7F; ++c)
      if (c != '.' && c != '>') add(c);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string Exam::DescribeStudentId() const {
  const std::size_t n = idCharacters.size();
  bool same = true;
  for (const std::string& c : idCharacters) same = same && c == idCharacters.front();
  std::string out = std::to_string(n) + " character" + (n == 1 ? "" : "s");
  if (n == 0) return out;
  if (same) return out + (n == 1 ? ", one of " : ", each one of ") + Runs(idCharacters.front());
  out += ":";
  for (std::size_t i = 0; i < n; ++i) out += (i ? ", " : " ") + Runs(idCharacters[i]);
  return out;
}

bool Exam::CheckStudentId(std::string_view id, std::string& error) const {
  const std::string shape =
      "a student ID of this exam is " + DescribeStudentId() + " (as its student questions code them)";
  std::string shown;
  for (const char c : id.substr(0, 64)) shown += c > 0x1F && c < 0x7F ? c : '?';
  if (id.size() > 64) shown += "...";
  if (id.size() != idCharacters.size()) {
    error = shape + ": \"" + shown + "\" has " + std::to_string(id.size()) + " character" +
            (id.size() == 1 ? "" : "s");
    return false;
  }
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (idCharacters[i].find(id[i]) != std::string::npos) continue;
    const char c = id[i];
    error = shape + ": \"" + shown + "\" has " +
            (c > 0x20 && c < 0x7F ? "\"" + std::string(1, c) + "\""
                                  : std::string("a blank or a control character")) +
            " at position " + std::to_string(i + 1) + ", where only " + Runs(idCharacters[i]) + " can be";
    return false;
  }
  return true;
}

namespace {

std::string Quote(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

class Checker {
 public:
  Checker(std::string_view text, const FormShape& form, bool stored, ExamCheck& out)
      : positions_(text), form_(form), stored_(stored), exam_(out.exam), problems_(out.problems) {}

  void Run(const Json& root) {
    if (!root.is_object()) return Report("", "the exam file must be one JSON object { ... }");
    Members(root, "",
            {"title", "form", "student", "version", "sheets", "items", "key", "keys", "scoring", "review",
             "grades", "topics", "groups", "lms"});
    if (root.contains("title")) exam_.title = String(root, "", "title");
    exam_.form = String(root, "", "form", true);
    if (!exam_.form.empty() && exam_.form.find('\0') != std::string::npos)
      Report("/form", "the form file name holds a NUL character");
    Student(root);
    Version(root);
    if (root.contains("sheets")) {
      Sheets(root["sheets"]);
      if (root.contains("items"))
        Report("/items",
               "an exam in parts names the items of each part (\"sheets\": {\"parts\": ...}): leave "
               "\"items\" out",
               true);
    } else if (Required(root, "", "items")) {
      Questions(root["items"], "/items", exam_.items);
    }
    if (exam_.items.empty() && problems_.empty())
      Report("/items", "no item is scored: give \"11-70\" or the like");
    Layouts();
    Keys(root);
    Scoring(root);
    Review(root);
    Grades(root);
    Topics(root);
    Groups(root);
    Lms(root);
  }

 private:
  void Report(const std::string& pointer, std::string message, bool atKey = false) {
    const TextPosition p = atKey ? positions_.Key(pointer) : positions_.Value(pointer);
    problems_.push_back({pointer, p.line, p.column, std::move(message)});
  }
  void ReportAt(const std::string& pointer, TextPosition p, std::string message) {
    problems_.push_back({pointer, p.line, p.column, std::move(message)});
  }

  void Members(const Json& object, const std::string& pointer, std::initializer_list<const char*> allowed) {
    for (const auto& [name, value] : object.items()) {
      bool known = false;
      for (const char* a : allowed) known = known || name == a;
      if (known) continue;
      std::string list;
      for (const char* a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
      Report(PointerAppend(pointer, name), "unknown member " + Quote(name) + "; expected one of: " + list,
             true);
    }
  }

  bool Required(const Json& object, const std::string& pointer, const char* name) {
    if (object.contains(name)) return true;
    Report(PointerAppend(pointer, name), std::string("missing: the member \"") + name + "\" is required");
    return false;
  }

  std::string String(const Json& object, const std::string& pointer, const char* name,
                     bool required = false) {
    if (!object.contains(name)) {
      if (required) Required(object, pointer, name);
      return "";
    }
    const Json& v = object[name];
    const std::string p = PointerAppend(pointer, name);
    if (!v.is_string() || v.get<std::string>().empty()) {
      Report(p, "must be a non-empty text");
      return "";
    }
    return v.get<std::string>();
  }

  bool Finite(const Json& v, const std::string& pointer, double& out) {
    if (!v.is_number()) {
      Report(pointer, "must be a number");
      return false;
    }
    out = v.get<double>();
    if (!std::isfinite(out) || std::fabs(out) > 1e9) {
      Report(pointer, "must be a number between -1e9 and 1e9");
      return false;
    }
    return true;
  }

  // "11-70", "1,3,5-9", 12 or [11, 12, "20-30"]: question numbers.
  void Questions(const Json& v, const std::string& pointer, std::vector<int>& out) {
    out.clear();
    std::vector<int> part;
    auto add = [&](const Json& e, const std::string& p) {
      if (e.is_number_integer() && e.get<long long>() > 0 && e.get<long long>() < 100000) {
        out.push_back(static_cast<int>(e.get<long long>()));
      } else if (e.is_string() && ParseRanges(e.get<std::string>(), part)) {
        out.insert(out.end(), part.begin(), part.end());
      } else {
        Report(p,
               "must be question numbers from 1: a number, or a text of ranges such as \"11-70\" or "
               "\"1,3,5-9\"");
        return false;
      }
      return true;
    };
    if (v.is_array()) {
      for (std::size_t i = 0; i < v.size(); ++i)
        if (!add(v[i], PointerAppend(pointer, i))) return out.clear();
    } else if (!add(v, pointer)) {
      return out.clear();
    }
    std::set<int> seen;
    for (const int q : out)
      if (!seen.insert(q).second) {
        Report(pointer, "question " + std::to_string(q) + " is named twice");
        return out.clear();
      }
    pointers_[&out] = pointer;
  }

  void Student(const Json& root) {
    if (!root.contains("student")) return;
    const Json& s = root["student"];
    if (!s.is_object())
      return Report("/student", "must be an object: {\"questions\": \"1-8\", \"roster\": \"students.csv\"}");
    Members(s, "/student", {"questions", "roster", "roster_encoding"});
    if (Required(s, "/student", "questions"))
      Questions(s["questions"], "/student/questions", exam_.studentQuestions);
    if (s.contains("roster")) exam_.roster = String(s, "/student", "roster");
    if (s.contains("roster_encoding")) {
      exam_.rosterEncoding = String(s, "/student", "roster_encoding");
      if (!exam_.rosterEncoding.empty() && !KnownEncoding(exam_.rosterEncoding))
        Report("/student/roster_encoding", Quote(exam_.rosterEncoding) +
                                               " is not a character set this system knows (" +
                                               kEncodingExamples + "; iconv -l lists them all)");
      else if (!s.contains("roster"))
        Report("/student/roster_encoding", "names the character set of a roster, and there is no \"roster\"");
    }
  }

  void Version(const Json& root) {
    if (!root.contains("version")) return;
    const Json& v = root["version"];
    const char* shape =
        "must be {\"question\": N} (the coded character names the version) or {\"layout\": true} (the form "
        "letter names it)";
    if (!v.is_object() || v.size() != 1) return Report("/version", shape);
    Members(v, "/version", {"question", "layout"});
    if (v.contains("question")) {
      const Json& q = v["question"];
      if (!q.is_number_integer() || q.get<long long>() < 1 || q.get<long long>() > 100000)
        return Report("/version/question", "must be a question number from 1");
      exam_.versionSource = VersionSource::kQuestion;
      exam_.versionQuestion = static_cast<int>(q.get<long long>());
    } else if (v.contains("layout")) {
      if (v["layout"] != true)
        return Report("/version/layout", "must be true (the form letter names the version)");
      exam_.versionSource = VersionSource::kLayout;
    }
  }

  // "sheets": how a sheet tells its part (the layout letter or a question)
  // and the questions of each part's items; the exam's items are the parts'
  // items, one part after the other.
  void Sheets(const Json& s) {
    const char* shape =
        "must be {\"layout\": true, \"parts\": {\"A\": \"11-70\", \"B\": \"11-50\"}} (the form letter names "
        "the part) or {\"question\": N, \"parts\": {\"1\": \"11-70\", \"2\": \"11-50\"}} (the question's "
        "character names it)";
    if (!s.is_object() || s.contains("layout") == s.contains("question")) return Report("/sheets", shape);
    Members(s, "/sheets", {"layout", "question", "parts"});
    if (s.contains("question")) {
      const Json& q = s["question"];
      if (!q.is_number_integer() || q.get<long long>() < 1 || q.get<long long>() > 100000)
        return Report("/sheets/question", "must be a question number from 1");
      exam_.partSource = PartSource::kQuestion;
      exam_.partQuestion = static_cast<int>(q.get<long long>());
    } else {
      if (s["layout"] != true)
        return Report("/sheets/layout", "must be true (the form letter names the part)");
      if (exam_.versionSource == VersionSource::kLayout)
        return Report("/sheets/layout",
                      "the form letter names the version already (\"version\": {\"layout\": true}): tell the "
                      "parts by a question ({\"question\": N})");
      exam_.partSource = PartSource::kLayout;
    }
    if (!Required(s, "/sheets", "parts")) return;
    const Json& parts = s["parts"];
    if (!parts.is_object() || parts.size() < 2)
      return Report(
          "/sheets/parts",
          "must name two parts or more, each with the questions of its items: {\"A\": \"11-70\", \"B\": "
          "\"11-50\"} (an exam of one sheet has no \"sheets\")");
    for (const auto& [name, value] : parts.items()) {
      const std::string pointer = PointerAppend("/sheets/parts", name);
      if (name.size() != 1 || !(name[0] > 0x20 && name[0] < 0x7F)) {
        Report(pointer,
               exam_.partSource == PartSource::kLayout
                   ? "a part is named by the form letter of its layout"
                   : "a part is named by the one character its question codes for it",
               true);
        continue;
      }
      if (exam_.partSource == PartSource::kLayout && !LayoutByLetter(name)) {
        Report(pointer,
               "part " + Quote(name) + " is not a form letter of the form (it has: " + Letters() + ")", true);
        continue;
      }
      SheetPart part;
      part.name = name;
      part.first = exam_.items.size();
      Questions(value, pointer, part.questions);
      pointers_.erase(&part.questions);
      if (part.questions.empty()) continue;
      exam_.items.insert(exam_.items.end(), part.questions.begin(), part.questions.end());
      exam_.parts.push_back(std::move(part));
      partPointers_.push_back(pointer);
    }
    // Every sheet read must be of a part: a layout no part names could not be counted.
    if (exam_.partSource == PartSource::kLayout)
      for (const LayoutShape& l : form_.layouts)
        if (l.letter != ' ' && !parts.contains(std::string(1, l.letter)))
          Report("/sheets/parts",
                 std::string("layout ") + l.letter +
                     " of the form is not a part: name the questions of its items, or read the "
                     "exam with a form without it");
  }

  std::string Letters() const {
    std::string letters;
    for (const LayoutShape& x : form_.layouts)
      if (x.letter != ' ') letters += x.letter;
    return letters.empty() ? std::string("none") : letters;
  }

  // Where the item at `position` is named: its part, or "items".
  std::string ItemPointer(std::size_t position) const {
    return exam_.parts.empty() ? std::string("/items") : partPointers_[exam_.PartAt(position)];
  }

  // The layouts the question of the item at `position` of key `k` may be on.
  std::vector<const LayoutShape*> LayoutsAt(std::size_t k, std::size_t position) const {
    if (exam_.partSource != PartSource::kLayout || exam_.parts.empty()) return keyLayouts_[k];
    return {LayoutByLetter(exam_.parts[exam_.PartAt(position)].name)};
  }

  // The layouts a sheet of this exam may be: those a version names, or all.
  void Layouts() {
    if (form_.layouts.empty()) return Report("/form", "the form defines no layout");
    std::set<int> roles;
    const std::string kinds = exam_.partSource == PartSource::kQuestion
                                  ? "the student ID, the version, the part or an item"
                                  : "the student ID, the version or an item";
    auto check = [&](std::set<int>& taken, const std::vector<int>& qs, const std::string& pointer,
                     const std::string& what) {
      for (const int q : qs) {
        if (!taken.insert(q).second) {
          Report(pointer, "question " + std::to_string(q) + " is used twice (" + what +
                              " and another role); a question is " + kinds);
          return;
        }
      }
    };
    check(roles, exam_.studentQuestions, pointers_[&exam_.studentQuestions], "student ID");
    if (exam_.versionSource == VersionSource::kQuestion)
      check(roles, {exam_.versionQuestion}, "/version/question", "version");
    if (exam_.partSource == PartSource::kQuestion)
      check(roles, {exam_.partQuestion}, "/sheets/question", "part");
    if (exam_.parts.empty()) check(roles, exam_.items, pointers_[&exam_.items], "items");
    // Each part's sheet holds its own items: the parts may ask on the same questions.
    for (std::size_t p = 0; p < exam_.parts.size(); ++p) {
      std::set<int> taken = roles;
      check(taken, exam_.parts[p].questions, partPointers_[p], "items of part " + exam_.parts[p].name);
    }
    if (exam_.partSource == PartSource::kQuestion) PartNames();
    for (const int q : exam_.studentQuestions) {
      const auto& qs = form_.layouts[0].questions;
      exam_.studentTypes += q <= static_cast<int>(qs.size()) ? qs[static_cast<std::size_t>(q - 1)].type : 'S';
      std::set<char> codable;
      for (const LayoutShape& l : form_.layouts)
        if (q <= static_cast<int>(l.questions.size()))
          for (const char c : CodableCharacters(l.questions[static_cast<std::size_t>(q - 1)]))
            codable.insert(c);
      exam_.idCharacters.emplace_back(codable.begin(), codable.end());
    }
  }

  // Each part's name is a character the part question can code.
  void PartNames() {
    std::set<char> codable;
    for (const LayoutShape& l : form_.layouts)
      if (exam_.partQuestion <= static_cast<int>(l.questions.size()))
        for (const char c : CodableCharacters(l.questions[static_cast<std::size_t>(exam_.partQuestion - 1)]))
          codable.insert(c);
    if (codable.empty()) return;  // not a question of the form: said where the questions are checked
    for (std::size_t p = 0; p < exam_.parts.size(); ++p)
      if (!codable.count(exam_.parts[p].name[0]))
        Report(partPointers_[p],
               "question " + std::to_string(exam_.partQuestion) + " cannot code " +
                   Quote(exam_.parts[p].name) + " (it codes " +
                   Runs(std::string(codable.begin(), codable.end())) + ")",
               true);
  }

  const LayoutShape* LayoutByLetter(const std::string& name) const {
    for (const LayoutShape& l : form_.layouts)
      if (name.size() == 1 && l.letter == name[0]) return &l;
    return nullptr;
  }

  // The question on every layout a key applies to, or null with a problem.
  bool QuestionExists(const std::vector<const LayoutShape*>& layouts, int q, const std::string& pointer,
                      const std::string& what) {
    for (const LayoutShape* l : layouts) {
      if (q >= 1 && q <= static_cast<int>(l->questions.size())) continue;
      Report(pointer, what + " " + std::to_string(q) + " is not a question of the form" +
                          (l->letter != ' ' ? std::string(" (layout ") + l->letter + ")" : std::string()) +
                          ": it has " + std::to_string(l->questions.size()) + " questions");
      return false;
    }
    return true;
  }

  // Every question the exam uses must exist on each layout its sheets may be.
  bool QuestionsExist(const std::vector<const LayoutShape*>& layouts) {
    bool ok = true;
    for (const int q : exam_.studentQuestions)
      ok = ok && QuestionExists(layouts, q, "/student/questions", "student ID question");
    if (exam_.versionSource == VersionSource::kQuestion)
      ok = ok && QuestionExists(layouts, exam_.versionQuestion, "/version/question", "version question");
    if (exam_.partSource == PartSource::kQuestion)
      ok = ok && QuestionExists(layouts, exam_.partQuestion, "/sheets/question", "part question");
    for (std::size_t i = 0; ok && i < exam_.items.size(); ++i) {
      std::vector<const LayoutShape*> on = layouts;
      if (exam_.partSource == PartSource::kLayout && !exam_.parts.empty())
        on = {LayoutByLetter(exam_.parts[exam_.PartAt(i)].name)};
      ok = QuestionExists(on, exam_.items[i], ItemPointer(i), "item question");
    }
    return ok;
  }

  // The master key ("key": one option per master item), when there is one.
  bool MasterKey(const Json& root) {
    const int n = exam_.ItemCount();
    const Json& k = root["key"];
    if (!k.is_string()) {
      Report("/key", "must be the master key: one option per master item (\"ABCD...\")");
      return false;
    }
    const std::string answers = k.get<std::string>();
    if (static_cast<int>(answers.size()) != n) {
      Report("/key", "has " + std::to_string(answers.size()) + " answers for " + std::to_string(n) +
                         " items (one character per master item)");
      return false;
    }
    exam_.masterKey = answers;
    return true;
  }

  void Keys(const Json& root) {
    const bool master = root.contains("key");
    if (master && !MasterKey(root)) return;
    std::vector<const LayoutShape*> all;
    for (const LayoutShape& l : form_.layouts) all.push_back(&l);
    const int n = exam_.ItemCount();
    if (!root.contains("keys")) {
      if (!master) {
        Report("/keys",
               "missing: the member \"keys\" is required (one key per version), or the master key \"key\"");
        return;
      }
      if (exam_.versionSource != VersionSource::kSingle)
        return Report(
            "/keys",
            "missing: name the versions, each with its order: {\"1\": {}, \"2\": {\"order\": [...]}}");
      if (!QuestionsExist(all)) return;
      VersionKey key;
      key.name = "1";
      key.answers = exam_.masterKey;
      for (int i = 1; i <= n; ++i) key.order.push_back(i);
      AddKey(std::move(key), all, "/key", true);
      return;
    }
    const Json& keys = root["keys"];
    if (!keys.is_object() || keys.empty())
      return Report("/keys", master ? "must be an object with one entry per version: {\"1\": {}, \"2\": "
                                      "{\"order\": [...]}}"
                                    : "must be an object with one key per version: {\"A\": \"ABCD...\"}");
    if (exam_.versionSource == VersionSource::kSingle && keys.size() > 1)
      return Report("/keys", "several keys need a \"version\": {\"question\": N} or {\"layout\": true}");

    bool first = true;
    for (const auto& [name, value] : keys.items()) {
      const std::string pointer = PointerAppend("/keys", name);
      VersionKey key;
      key.name = name;
      std::vector<const LayoutShape*> layouts = all;
      if (exam_.versionSource == VersionSource::kLayout) {
        const LayoutShape* l = LayoutByLetter(name);
        if (!l) {
          std::string letters;
          for (const LayoutShape& x : form_.layouts)
            if (x.letter != ' ') letters += x.letter;
          Report(pointer,
                 "version " + Quote(name) + " is not a form letter of the form (it has: " +
                     (letters.empty() ? std::string("none") : letters) + ")",
                 true);
          continue;
        }
        layouts = {l};
      } else if (exam_.versionSource == VersionSource::kQuestion && name.size() != 1) {
        Report(pointer, "a version named by a question's character is one character long", true);
        continue;
      }
      if (!QuestionsExist(layouts)) return;

      std::string answersPointer = pointer;
      const Json* answers = &value;
      bool ok = true;
      if (value.is_object()) {
        Members(value, pointer, {"answers", "order"});
        if (!master && !Required(value, pointer, "answers")) continue;
        answers = value.contains("answers") ? &value["answers"] : nullptr;
        answersPointer = pointer + "/answers";
        if (value.contains("order")) {
          const Json& order = value["order"];
          const std::string op = pointer + "/order";
          if (!order.is_array() || static_cast<int>(order.size()) != n) {
            Report(op, "must list " + std::to_string(n) + " master item numbers, one per item");
            continue;
          }
          std::set<int> seen;
          for (std::size_t i = 0; i < order.size(); ++i) {
            const Json& e = order[i];
            const long long m = e.is_number_integer() ? e.get<long long>() : 0;
            if (m < 1 || m > n) {
              Report(PointerAppend(op, i), "must be a master item number from 1 to " + std::to_string(n));
              ok = false;
            } else if (!seen.insert(static_cast<int>(m)).second) {
              Report(PointerAppend(op, i), "master item " + std::to_string(m) + " is named twice");
              ok = false;
            }
            key.order.push_back(static_cast<int>(m));
          }
          if (!ok) continue;
          bool identity = true;
          for (int i = 0; i < n; ++i) identity = identity && key.order[static_cast<std::size_t>(i)] == i + 1;
          if (first && !identity && !master) {
            Report(op,
                   "the first key gives the master numbering: its order can only be 1, 2, 3, ... (or give "
                   "the master key as \"key\")");
            continue;
          }
        }
      } else if (!value.is_string()) {
        Report(pointer,
               master ? "must be {\"order\": [...]} (the answers follow from \"key\")"
                      : "must be the answers (\"ABCD...\") or {\"answers\": \"...\", \"order\": [...]}");
        continue;
      }
      if (key.order.empty())
        for (int i = 1; i <= n; ++i) key.order.push_back(i);
      if (!answers) {
        // Derived from the master key through the order.
        for (const int m : key.order) key.answers += exam_.masterKey[static_cast<std::size_t>(m - 1)];
        AddKey(std::move(key), layouts, "/key", true);
        first = false;
        continue;
      }
      if (!answers->is_string()) {
        Report(answersPointer, "must be a text of one option per item");
        continue;
      }
      key.answers = answers->get<std::string>();
      if (static_cast<int>(key.answers.size()) != n) {
        Report(answersPointer, "has " + std::to_string(key.answers.size()) + " answers for " +
                                   std::to_string(n) + " items (one character per item)");
        continue;
      }
      AddKey(std::move(key), layouts, answersPointer, false);
      first = false;
    }
    if (!master && !exam_.keys.empty()) {
      masterName_ = exam_.keys.front().name;
      exam_.masterKey = exam_.keys.front().answers;
    }
  }

  void AddKey(VersionKey key, std::vector<const LayoutShape*> layouts, std::string pointer, bool derived) {
    keyLayouts_.push_back(std::move(layouts));
    keyPointers_.push_back(std::move(pointer));
    keyDerived_.push_back(derived);
    exam_.keys.push_back(std::move(key));
  }

  // Options of the question of item `index` (0-based, in a key's order).
  std::string OptionsOf(const LayoutShape* l, int index) const {
    return l->questions[static_cast<std::size_t>(exam_.items[static_cast<std::size_t>(index)] - 1)].options;
  }

  void Scoring(const Json& root) {
    const int n = exam_.ItemCount();
    ItemRule base;
    base.points = 1;
    std::vector<bool> set(static_cast<std::size_t>(n), false);
    std::vector<std::string> where(static_cast<std::size_t>(n));
    const Json* items = nullptr;
    if (root.contains("scoring")) {
      const Json& s = root["scoring"];
      if (!s.is_object()) {
        Report("/scoring", "must be an object: {\"correct\": 1, \"wrong\": -0.25, ...}");
      } else {
        Members(s, "/scoring", {"correct", "wrong", "blank", "multiple", "floor", "items"});
        double v = 0;
        if (s.contains("correct") && Finite(s["correct"], "/scoring/correct", v)) {
          if (v < 0)
            Report("/scoring/correct", "points for a correct answer cannot be negative");
          else
            base.points = v;
        }
        if (s.contains("wrong") && Finite(s["wrong"], "/scoring/wrong", v)) base.wrong = v;
        if (s.contains("blank") && Finite(s["blank"], "/scoring/blank", v)) base.blank = v;
        if (s.contains("multiple") && Finite(s["multiple"], "/scoring/multiple", v)) base.multiple = v;
        if (s.contains("floor") && !s["floor"].is_null() && Finite(s["floor"], "/scoring/floor", v))
          exam_.floor = v;
        if (s.contains("items")) items = &s["items"];
      }
    }
    exam_.rules.assign(static_cast<std::size_t>(n), base);
    if (!items) return CheckKeys();
    if (!items->is_object()) {
      Report("/scoring/items",
             "must be an object keyed by master item number: {\"12\": \"void\", \"5-7\": {\"points\": 2}}");
      return CheckKeys();
    }
    for (const auto& [name, value] : items->items()) {
      const std::string pointer = PointerAppend("/scoring/items", name);
      std::vector<int> masters;
      if (!ParseRanges(name, masters)) {
        Report(pointer, "must be named by a master item number or range (\"12\", \"5-7\")", true);
        continue;
      }
      bool ok = true;
      for (const int m : masters) {
        if (m > n) {
          Report(pointer,
                 "master item " + std::to_string(m) + " does not exist: items run from 1 to " +
                     std::to_string(n),
                 true);
          ok = false;
          break;
        }
        if (set[static_cast<std::size_t>(m - 1)]) {
          Report(pointer,
                 "master item " + std::to_string(m) + " already has rules at " +
                     where[static_cast<std::size_t>(m - 1)],
                 true);
          ok = false;
          break;
        }
      }
      if (!ok) continue;
      ItemRule rule = base;
      if (!Rule(value, pointer, masters, rule)) continue;
      for (const int m : masters) {
        set[static_cast<std::size_t>(m - 1)] = true;
        where[static_cast<std::size_t>(m - 1)] = pointer;
        exam_.rules[static_cast<std::size_t>(m - 1)] = rule;
      }
    }
    CheckKeys();
  }

  bool Labels(const Json& v, const std::string& pointer, const std::vector<int>& masters, std::string& out) {
    if (!v.is_string() || v.get<std::string>().empty()) {
      Report(pointer, "must be a text of option labels, such as \"BC\"");
      return false;
    }
    out = v.get<std::string>();
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (out.find(out[i]) != i) {
        Report(pointer, std::string("option ") + out[i] + " is named twice");
        return false;
      }
      for (const int m : masters) {
        const std::string options = MasterOptions(m);
        if (!options.empty() && options.find(out[i]) == std::string::npos) {
          Report(pointer, std::string("\"") + out[i] + "\" is not an option of master item " +
                              std::to_string(m) + " (its options: " + options + ")");
          return false;
        }
      }
    }
    return true;
  }

  // The options of master item m on the first key's first layout.
  std::string MasterOptions(int m) const {
    if (keyLayouts_.empty() || keyLayouts_[0].empty()) return "";
    const std::vector<int>& order = exam_.keys[0].order;
    for (std::size_t i = 0; i < order.size(); ++i)
      if (order[i] == m) return OptionsOf(LayoutsAt(0, i).front(), static_cast<int>(i));
    return "";
  }

  bool Rule(const Json& v, const std::string& pointer, const std::vector<int>& masters, ItemRule& rule) {
    if (v.is_string()) {
      if (v == "void") return rule.kind = ItemKind::kVoid, true;
      if (v == "bonus") return rule.kind = ItemKind::kBonus, true;
      Report(pointer, "must be \"void\", \"bonus\" or an object of rules");
      return false;
    }
    if (!v.is_object()) {
      Report(pointer, "must be \"void\", \"bonus\" or an object of rules");
      return false;
    }
    Members(v, pointer,
            {"points", "wrong", "blank", "multiple", "accept", "all", "partial", "void", "bonus"});
    bool ok = true;
    double d = 0;
    auto number = [&](const char* name, double& into) {
      if (!v.contains(name)) return;
      if (Finite(v[name], PointerAppend(pointer, name), d))
        into = d;
      else
        ok = false;
    };
    number("points", rule.points);
    if (rule.points < 0) {
      Report(pointer + "/points", "an item's points cannot be negative");
      ok = false;
    }
    number("wrong", rule.wrong);
    number("blank", rule.blank);
    number("multiple", rule.multiple);
    for (const char* flag : {"partial", "void", "bonus"}) {
      if (v.contains(flag) && !v[flag].is_boolean()) {
        Report(PointerAppend(pointer, flag), "must be true or false");
        ok = false;
      }
    }
    if (v.value("void", false)) rule.kind = ItemKind::kVoid;
    if (v.value("bonus", false)) {
      if (rule.kind == ItemKind::kVoid) {
        Report(pointer, "an item cannot be both void and bonus");
        ok = false;
      }
      rule.kind = ItemKind::kBonus;
    }
    if (v.contains("accept") && !Labels(v["accept"], pointer + "/accept", masters, rule.accept)) ok = false;
    if (v.contains("all") && !Labels(v["all"], pointer + "/all", masters, rule.all)) ok = false;
    if (v.contains("accept") && v.contains("all")) {
      Report(pointer + "/accept",
             "an item with \"all\" has no further correct options: list them in \"all\"");
      ok = false;
    }
    if (v.contains("partial")) {
      if (!v.contains("all")) {
        Report(pointer + "/partial", "\"partial\" applies to an item with \"all\" (a multiple-answer item)");
        ok = false;
      }
      rule.partial = v.value("partial", false);
    }
    return ok;
  }

  // Each key character must be an option of its item's question, or "*" where
  // the item's rule makes the key irrelevant (void, bonus, all); a version's
  // own answers must agree with the master key where the key counts.
  void CheckKeys() {
    std::set<int> masterReported;  // a wrong master character is named once, not per version
    for (std::size_t k = 0; k < exam_.keys.size(); ++k) {
      const VersionKey& key = exam_.keys[k];
      const bool derived = keyDerived_[k];
      const TextPosition start = positions_.Value(keyPointers_[k]);
      for (int i = 0; i < exam_.ItemCount(); ++i) {
        const char c = key.answers[static_cast<std::size_t>(i)];
        const int master = key.order[static_cast<std::size_t>(i)];
        if (derived && !masterReported.insert(master).second) continue;
        const ItemRule& rule = exam_.rules[static_cast<std::size_t>(master - 1)];
        // The character's column, behind the opening quote (exact unless escapes precede it).
        const TextPosition at{start.line, start.column + 1 + (derived ? master - 1 : i)};
        std::string question = std::to_string(exam_.items[static_cast<std::size_t>(i)]);
        if (!exam_.parts.empty())
          question += " of part " + exam_.parts[exam_.PartAt(static_cast<std::size_t>(i))].name;
        const std::string what = derived ? "master item " + std::to_string(master) + " (question " +
                                               question + " on version " + key.name + ")"
                                 : master == i + 1
                                     ? "item " + std::to_string(i + 1) + " (question " + question + ")"
                                     : "item " + std::to_string(i + 1) + " (master item " +
                                           std::to_string(master) + ", question " + question + ")";
        if (c == '*') {
          if (rule.kind == ItemKind::kScored && rule.all.empty())
            ReportAt(keyPointers_[k], at,
                     what + ": \"*\" is only for a void, bonus or \"all\" item; give its correct option");
          continue;
        }
        bool known = true;
        for (const LayoutShape* l : LayoutsAt(k, static_cast<std::size_t>(i))) {
          const std::string options = OptionsOf(l, i);
          if (options.find(c) != std::string::npos) continue;
          ReportAt(keyPointers_[k], at,
                   what + ": \"" + std::string(1, c) + "\" is not one of its options (" + options + ")");
          known = false;
          break;
        }
        if (!known || derived || stored_ || (k == 0 && masterName_ == key.name)) continue;
        const char wanted = exam_.masterKey[static_cast<std::size_t>(master - 1)];
        if (rule.kind != ItemKind::kScored || !rule.all.empty() || wanted == c || wanted == '*') continue;
        std::string other;
        if (masterName_.empty()) {
          other = "the master key (\"key\") gives \"" + std::string(1, wanted) + "\"";
        } else {
          other = "version " + masterName_ + " gives \"" + std::string(1, wanted) + "\" (its item " +
                  std::to_string(master) + ")";
        }
        ReportAt(keyPointers_[k], at,
                 "item " + std::to_string(i + 1) + " of version " + key.name + " is master item " +
                     std::to_string(master) + ": version " + key.name + " gives \"" + std::string(1, c) +
                     "\", " + other +
                     "; a key is given once: correct the one that is wrong (versions follow the master key "
                     "through their order)");
      }
    }
  }

  void Review(const Json& root) {
    if (!root.contains("review")) return;
    const Json& r = root["review"];
    if (!r.is_object())
      return Report("/review",
                    "must be an object: {\"blank\": false, \"multiple\": true, \"confidence\": 0.5}");
    Members(r, "/review", {"blank", "multiple", "doubtful", "confidence"});
    ReviewRules& rules = exam_.review;
    for (const auto& [name, into] : {std::pair<const char*, bool*>{"blank", &rules.blank},
                                     {"multiple", &rules.multiple},
                                     {"doubtful", &rules.doubtful}}) {
      if (!r.contains(name)) continue;
      if (r[name].is_boolean())
        *into = r[name].get<bool>();
      else
        Report(PointerAppend("/review", name), "must be true or false");
    }
    double v = 0;
    if (r.contains("confidence") && Finite(r["confidence"], "/review/confidence", v)) {
      if (v < 0 || v > 1)
        Report("/review/confidence", "must be from 0 to 1: questions below it are flagged as doubtful");
      else
        rules.confidence = v;
    }
  }

  // "grades": bands on the percent as an array, or an object with the value
  // graded on, bands, a linear rescaling and the rounding rule.
  void Grades(const Json& root) {
    if (!root.contains("grades")) return;
    const Json& g = root["grades"];
    GradeRules& rules = exam_.grades;
    const char* shape =
        "must be the grade bands [{\"min\": 90, \"grade\": \"A\"}, ...] or {\"bands\": [...], \"on\": "
        "\"percent\", \"scale\": {\"to\": 20}, \"round\": 0.5}";
    if (g.is_array()) return Bands(g, "/grades");
    if (!g.is_object()) return Report("/grades", shape);
    Members(g, "/grades", {"on", "bands", "scale", "round", "pass"});
    if (g.contains("on")) {
      if (g["on"] == "percent")
        rules.on = GradeBasis::kPercent;
      else if (g["on"] == "points")
        rules.on = GradeBasis::kPoints;
      else
        Report("/grades/on", "must be \"percent\" or \"points\": what the bands (or the scale) start from");
    }
    if (g.contains("scale")) Scale(g["scale"]);
    if (g.contains("round")) Round(g["round"]);
    if (g.contains("bands")) Bands(g["bands"], "/grades/bands");
    if (!g.contains("bands") && !rules.scaled && rules.step == 0)
      Report("/grades", std::string("gives no bands and no scale: ") + shape);
    if (g.contains("pass")) {
      const Json& pass = g["pass"];
      bool known = false;
      if (pass.is_string())
        for (const GradeBand& b : rules.bands) known = known || b.grade == pass.get<std::string>();
      if (known)
        rules.pass = pass.get<std::string>();
      else
        Report("/grades/pass", "must be the grade of one of the bands: the lowest grade that passes");
    }
  }

  // The highest value the graded value can reach (the scale's top, 100 %, or
  // the exam's points).
  double GradeTop() const {
    const GradeRules& r = exam_.grades;
    if (r.scaled) return std::max(r.toLow, r.toHigh);
    return r.on == GradeBasis::kPercent ? 100.0 : exam_.MaximumPoints();
  }

  void Bands(const Json& v, const std::string& pointer) {
    GradeRules& rules = exam_.grades;
    if (!v.is_array() || v.empty())
      return Report(pointer, "must be a list of bands: [{\"min\": 90, \"grade\": \"A\"}, ...]");
    std::vector<GradeBand> bands;
    for (std::size_t i = 0; i < v.size(); ++i) {
      const std::string p = PointerAppend(pointer, i);
      const Json& b = v[i];
      if (!b.is_object()) {
        Report(p, "must be {\"min\": 90, \"grade\": \"A\"}");
        continue;
      }
      Members(b, p, {"min", "grade"});
      double min = 0;
      const bool hasMin = Required(b, p, "min") && Finite(b["min"], p + "/min", min);
      const std::string grade = String(b, p, "grade", true);
      if (!hasMin || grade.empty()) continue;
      if (grade.size() > 40 ||
          std::any_of(grade.begin(), grade.end(), [](unsigned char c) { return c < 0x20; })) {
        Report(p + "/grade", "must be a short text on one line (40 bytes at most)");
        continue;
      }
      bool clash = false;
      for (const GradeBand& o : bands) {
        if (o.grade == grade) Report(p + "/grade", "the grade " + Quote(grade) + " is given twice");
        if (o.min == min)
          Report(p + "/min", "two bands start at " + FormatMin(min) + ": each needs its own minimum");
        clash = clash || o.grade == grade || o.min == min;
      }
      if (clash) continue;
      const double top = GradeTop();
      if (min > top + 1e-9) {
        Report(p + "/min",
               "no student can reach " + FormatMin(min) + ": " +
                   (rules.scaled                       ? "the scale ends at " + FormatMin(top)
                    : rules.on == GradeBasis::kPercent ? std::string("a percent is at most 100")
                                                       : "the exam has " + FormatMin(top) + " points"));
        continue;
      }
      bands.push_back({min, grade});
    }
    std::sort(bands.begin(), bands.end(),
              [](const GradeBand& a, const GradeBand& b) { return a.min > b.min; });
    rules.bands = std::move(bands);
  }

  static std::string FormatMin(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
  }

  // "scale": {"to": 20} (from 0 up to the top) or {"from": [30, 90], "to": [0, 20]}.
  void Scale(const Json& s) {
    GradeRules& rules = exam_.grades;
    const char* shape = "must be {\"to\": 20} or {\"from\": [LOW, HIGH], \"to\": [LOW, HIGH]}";
    if (!s.is_object()) return Report("/grades/scale", shape);
    Members(s, "/grades/scale", {"from", "to"});
    if (!Required(s, "/grades/scale", "to")) return;
    double a = 0, b = 0;
    if (!Pair(s["to"], "/grades/scale/to", true, a, b)) return;
    double lo = 0, hi = 0;
    const bool from = s.contains("from");
    if (from && !Pair(s["from"], "/grades/scale/from", false, lo, hi)) return;
    if (from && lo >= hi) return Report("/grades/scale/from", "must rise: [LOW, HIGH] with LOW below HIGH");
    if (a == b) return Report("/grades/scale/to", "must be a range: its two ends are equal");
    rules.scaled = true;
    rules.toLow = a;
    rules.toHigh = b;
    if (from) {
      rules.fromLow = lo;
      rules.fromHigh = hi;
    }
  }

  // A number (the upper end from 0, when `single` allows it) or [LOW, HIGH].
  bool Pair(const Json& v, const std::string& pointer, bool single, double& lo, double& hi) {
    if (single && v.is_number()) {
      lo = 0;
      if (!Finite(v, pointer, hi)) return false;
      if (hi <= 0) {
        Report(pointer, "must be above 0 (the top of the scale)");
        return false;
      }
      return true;
    }
    if (!v.is_array() || v.size() != 2) {
      Report(pointer, single ? "must be a number (from 0 up to it) or [LOW, HIGH]" : "must be [LOW, HIGH]");
      return false;
    }
    return Finite(v[0], PointerAppend(pointer, 0), lo) && Finite(v[1], PointerAppend(pointer, 1), hi);
  }

  // "round": 0.5, or {"step": 0.5, "mode": "half-up"}.
  void Round(const Json& r) {
    GradeRules& rules = exam_.grades;
    const Json* step = &r;
    std::string pointer = "/grades/round";
    if (r.is_object()) {
      Members(r, pointer, {"step", "mode"});
      if (!Required(r, pointer, "step")) return;
      step = &r["step"];
      pointer += "/step";
      if (r.contains("mode")) {
        const Json& m = r["mode"];
        if (m == "half-up")
          rules.mode = RoundMode::kHalfUp;
        else if (m == "half-even")
          rules.mode = RoundMode::kHalfEven;
        else if (m == "down")
          rules.mode = RoundMode::kDown;
        else if (m == "up")
          rules.mode = RoundMode::kUp;
        else
          Report("/grades/round/mode", "must be \"half-up\", \"half-even\", \"down\" or \"up\"");
      }
    } else if (!r.is_number()) {
      return Report(pointer,
                    "must be the step to round to (1, 0.5, 0.1) or {\"step\": 0.5, \"mode\": \"half-up\"}");
    }
    double v = 0;
    if (!Finite(*step, pointer, v)) return;
    if (v <= 0 || v > 1000)
      return Report(pointer, "must be above 0 and at most 1000 (1: whole numbers, 0.5: halves)");
    rules.step = v;
  }

  // "topics": {"Mechanics": "1-20", "Optics": [21, "22-35"]}: master items.
  void Topics(const Json& root) {
    if (!root.contains("topics")) return;
    const Json& t = root["topics"];
    if (!t.is_object() || t.empty())
      return Report("/topics",
                    "must be an object of topics and their master items: {\"Mechanics\": \"1-20\"}");
    const int n = exam_.ItemCount();
    for (const auto& [name, value] : t.items()) {
      const std::string pointer = PointerAppend("/topics", name);
      if (name.empty() || name.size() > 80 ||
          std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20; })) {
        Report(pointer, "a topic is named by a short text on one line (80 bytes at most)", true);
        continue;
      }
      Topic topic;
      topic.name = name;
      std::vector<Json> parts =
          value.is_array() ? std::vector<Json>(value.begin(), value.end()) : std::vector<Json>{value};
      bool ok = !parts.empty();
      std::set<int> seen;
      for (std::size_t i = 0; ok && i < parts.size(); ++i) {
        const std::string p = value.is_array() ? PointerAppend(pointer, i) : pointer;
        std::vector<int> masters;
        if (parts[i].is_number_integer() && parts[i].get<long long>() > 0 &&
            parts[i].get<long long>() < 100000)
          masters = {static_cast<int>(parts[i].get<long long>())};
        else if (!parts[i].is_string() || !ParseRanges(parts[i].get<std::string>(), masters)) {
          Report(p, "must be master item numbers: \"1-20\", \"1,3,5-9\", a number, or a list of those");
          ok = false;
          break;
        }
        for (const int m : masters) {
          if (m > n) {
            Report(p, "master item " + std::to_string(m) + " does not exist: items run from 1 to " +
                          std::to_string(n));
            ok = false;
            break;
          }
          if (!seen.insert(m).second) {
            Report(p, "master item " + std::to_string(m) + " is named twice in topic " + Quote(name));
            ok = false;
            break;
          }
          topic.items.push_back(m);
        }
      }
      if (!ok) {
        if (parts.empty()) Report(pointer, "names no item");
        continue;
      }
      std::sort(topic.items.begin(), topic.items.end());
      exam_.topics.push_back(std::move(topic));
    }
  }

  // "groups": "class" or ["class", "room"]: roster columns (checked against
  // the roster where the roster is read).
  void Groups(const Json& root) {
    if (!root.contains("groups")) return;
    const Json& g = root["groups"];
    std::vector<Json> names = g.is_array() ? std::vector<Json>(g.begin(), g.end()) : std::vector<Json>{g};
    if (names.empty() || (!g.is_array() && !g.is_string()))
      return Report("/groups",
                    "must be the roster columns that group students: \"class\" or [\"class\", \"room\"]");
    if (exam_.roster.empty())
      return Report("/groups",
                    "groups are roster columns, and the exam has no roster (\"student\": {\"roster\": ...})");
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::string p = g.is_array() ? PointerAppend("/groups", i) : "/groups";
      if (!names[i].is_string() || names[i].get<std::string>().empty()) {
        Report(p, "must be the name of a roster column");
        continue;
      }
      const std::string name = names[i].get<std::string>();
      if (std::find(exam_.groups.begin(), exam_.groups.end(), name) != exam_.groups.end()) {
        Report(p, "the column " + Quote(name) + " is named twice");
        continue;
      }
      exam_.groups.push_back(name);
    }
  }

  // "lms": the grade item's name, the value written and each platform's
  // identifier columns.
  void Lms(const Json& root) {
    if (!root.contains("lms")) return;
    const Json& l = root["lms"];
    LmsRules& rules = exam_.lms;
    if (!l.is_object())
      return Report("/lms",
                    "must be an object: {\"item\": \"Final exam\", \"canvas\": {\"SIS User ID\": \"id\"}}");
    std::vector<const char*> allowed = {"item", "value"};
    for (const LmsPlatform& p : LmsPlatforms()) allowed.push_back(p.name);
    for (const auto& [name, value] : l.items()) {
      if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
        Report(PointerAppend("/lms", name),
               "unknown member " + Quote(name) + "; expected one of: item, value, " + LmsPlatformNames(),
               true);
    }
    if (l.contains("item")) rules.item = String(l, "/lms", "item");
    if (l.contains("value")) {
      const Json& v = l["value"];
      if (v == "points" || v == "percent" || v == "mark")
        rules.value = v.get<std::string>();
      else
        Report("/lms/value", "must be \"points\", \"percent\" or \"mark\": what the grade column holds");
      if (rules.value == "mark" && !exam_.grades.scaled)
        Report("/lms/value", "\"mark\" is the rescaled value, and \"grades\" has no \"scale\"");
    }
    for (const LmsPlatform& platform : LmsPlatforms()) {
      if (!l.contains(platform.name)) continue;
      const std::string pointer = PointerAppend("/lms", platform.name);
      const Json& m = l[platform.name];
      std::string keys;
      for (const char* k : platform.keys) keys += (keys.empty() ? "" : ", ") + Quote(k);
      const bool blackboard = std::string_view(platform.name) == "blackboard";
      if (!m.is_object()) {
        Report(pointer, "must map the platform's identifier columns (" + keys + ") to roster columns");
        continue;
      }
      auto& columns = rules.columns[platform.name];
      for (const auto& [key, column] : m.items()) {
        const std::string p = PointerAppend(pointer, key);
        if (blackboard && key == "column") {
          if (column.is_string() && !column.get<std::string>().empty() &&
              column.get<std::string>().find_first_of("\"\r\n") == std::string::npos)
            rules.blackboardColumn = column.get<std::string>();
          else
            Report(p, "must be the Grade Center column's ID, as the downloaded file shows it after \"|\"");
          continue;
        }
        if (std::find(platform.keys.begin(), platform.keys.end(), key) == platform.keys.end()) {
          Report(p,
                 Quote(key) + " is not an identifier column of " + platform.title + " (it takes " + keys +
                     (blackboard ? ", and \"column\"" : "") + ")",
                 true);
          continue;
        }
        if (!column.is_string() || column.get<std::string>().empty()) {
          Report(p, "must be the roster column that holds it (\"id\": the roster's ID)");
          continue;
        }
        if (platform.oneKey && !columns.empty()) {
          Report(p, std::string(platform.title) + " takes one identifier column: give one of " + keys, true);
          continue;
        }
        columns.emplace_back(key, column.get<std::string>());
      }
    }
  }

  JsonPositions positions_;
  const FormShape& form_;
  bool stored_;
  Exam& exam_;
  std::vector<Problem>& problems_;
  std::map<const std::vector<int>*, std::string> pointers_;
  std::vector<std::vector<const LayoutShape*>> keyLayouts_;
  std::vector<std::string> keyPointers_;
  std::vector<bool> keyDerived_;  // the key's answers come from the master key
  std::vector<std::string> partPointers_;  // where each part is named
  std::string masterName_;        // the version whose answers are the master key; "" with "key"
};

}  // namespace

std::vector<Problem> CheckRosterColumns(const Exam& exam, std::string_view text, const Roster& roster) {
  std::vector<Problem> problems;
  const JsonPositions positions(text);
  auto known = [&](const std::string& column) {
    return column == "id" ||
           std::find(roster.columns.begin(), roster.columns.end(), column) != roster.columns.end();
  };
  std::string names = "id";
  for (const std::string& c : roster.columns) names += ", " + c;
  auto report = [&](const std::string& pointer, const std::string& column) {
    const TextPosition p = positions.Value(pointer);
    problems.push_back({pointer, p.line, p.column,
                        Quote(column) + " is not a column of the roster (its columns: " + names + ")"});
  };
  std::size_t begin = 0, end = 0;
  const bool list = positions.Span("/groups/0", begin, end);
  for (std::size_t i = 0; i < exam.groups.size(); ++i)
    if (exam.groups[i] == "id" || !known(exam.groups[i]))
      report(list ? PointerAppend("/groups", i) : "/groups", exam.groups[i]);
  for (const auto& [platform, columns] : exam.lms.columns)
    for (const auto& [key, column] : columns)
      if (!known(column)) report(PointerAppend(PointerAppend("/lms", platform), key), column);
  return problems;
}

ExamCheck ParseExam(std::string_view text, const FormShape& form, bool stored) {
  ExamCheck out;
  Json root;
  try {
    root = Json::parse(text.begin(), text.end(), nullptr, true, true);
  } catch (const Json::parse_error& e) {
    const JsonPositions positions(text);
    const std::size_t byte = e.byte > 0 ? e.byte - 1 : 0;
    const TextPosition p = positions.At(byte);
    std::string what = e.what();
    // nlohmann's text: "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
    const std::size_t colon = what.find(": ", what.find("parse error"));
    if (colon != std::string::npos) what = what.substr(colon + 2);
    out.problems.push_back({positions.FailurePointer(), p.line, p.column, "not valid JSON: " + what});
    return out;
  } catch (const Json::exception& e) {
    // A number beyond a double ("1e400"): nlohmann names it but not where.
    const JsonPositions positions(text);
    std::string pointer;
    std::string number;
    TextPosition p;
    if (positions.HugeNumber(pointer, number, p)) {
      out.problems.push_back(
          {pointer, p.line, p.column,
           "the number " + number + " is beyond what a number here can be: write an ordinary number"});
    } else {
      out.problems.push_back({"", 1, 1, std::string("not valid JSON: ") + e.what()});
    }
    return out;
  }
  Checker(text, form, stored, out).Run(root);
  return out;
}

}  // namespace omr::exam
