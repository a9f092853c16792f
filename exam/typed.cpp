#include "typed.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "error.h"
#include "text.h"

namespace omr::exam {

namespace {

std::string Shown(char c) {
  return c > 0x20 && c < 0x7F ? "\"" + std::string(1, c) + "\"" : "a control character";
}

const QuestionShape* FindQuestion(const LayoutShape& layout, int number) {
  for (const QuestionShape& q : layout.questions)
    if (q.number == number) return &q;
  return nullptr;
}

bool Single(char type) {
  return type == 'S' || type == 's';
}

}  // namespace

std::vector<std::string> ParseTypedAnswers(std::string_view text) {
  if (text.size() > kMaxTypedText)
    throw Error("the answers are longer than " + std::to_string(kMaxTypedText) + " characters");
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const std::string at =
        " at character " + std::to_string(i + 1) + " (answer " + std::to_string(out.size() + 1) + ")";
    if (c == ' ' || c == ',' || c == '\t') continue;
    if (c == '-' || c == '.') {
      out.emplace_back();
    } else if (c == '(') {
      const std::size_t close = text.find(')', i);
      if (close == std::string_view::npos) throw Error("a \"(\" without its \")\"" + at);
      std::string marks;
      for (const char m : text.substr(i + 1, close - i - 1)) {
        if (m == ' ' || m == ',') continue;
        if (m == '(' || m == '-' || m == '.' || m <= 0x20 || m >= 0x7F)
          throw Error(Shown(m) + " inside \"( )\"" + at + ": only the options marked go there");
        marks += m;
      }
      out.push_back(marks);
      i = close;
    } else if (c == ')') {
      throw Error("a \")\" without its \"(\"" + at);
    } else if (c > 0x20 && c < 0x7F) {
      out.emplace_back(1, c);
    } else {
      throw Error(Shown(c) + at + ": type an option, - for a blank or (AC) for several marks");
    }
  }
  return out;
}

std::string FormatTypedAnswers(const std::vector<std::string>& answers) {
  std::string out;
  for (const std::string& a : answers) out += a.empty() ? "-" : a.size() == 1 ? a : "(" + a + ")";
  return out;
}

TypedFacts TypedFactsOf(const Exam& exam, const FormShape& shape, const TypedSheet& typed) {
  if (shape.layouts.empty()) throw Error("the exam's form has no layout");
  // Of an exam in parts a typed sheet is one part's: it holds that part's items.
  const SheetPart* part = nullptr;
  if (exam.parts.empty()) {
    if (!typed.part.empty()) throw Error("part: this exam is on one sheet a candidate");
  } else {
    const int p = exam.FindPart(typed.part);
    if (p < 0) {
      std::string names;
      for (const SheetPart& s : exam.parts) names += (names.empty() ? "" : ", ") + s.name;
      if (typed.part.empty()) throw Error("part: name the sheet's part, one of " + names);
      const std::string shown = typed.part.size() > 16 ? "" : " \"" + CleanUtf8(typed.part) + "\"";
      throw Error("part: the exam has no part" + shown + " (its parts: " + names + ")");
    }
    part = &exam.parts[static_cast<std::size_t>(p)];
  }
  TypedFacts facts;
  // The layout: the one the part's or the version's letter names, else the first.
  const LayoutShape* layout = &shape.layouts.front();
  auto layoutOf = [&](const std::string& letter, const char* field) {
    const auto hit = std::find_if(shape.layouts.begin(), shape.layouts.end(),
                                  [&](const LayoutShape& l) { return l.letter == letter[0]; });
    if (hit == shape.layouts.end()) throw Error(std::string(field) + ": the form has no layout " + letter);
    return &*hit;
  };
  if (part && exam.partSource == PartSource::kLayout) layout = layoutOf(part->name, "part");
  if (exam.versionSource == VersionSource::kLayout) {
    const VersionKey* key = exam.FindKey(typed.version);
    if (!key || typed.version.size() != 1)
      throw Error("version: the form letter of the sheet's layout, one of the exam's versions");
    layout = layoutOf(typed.version, "version");
  }
  facts.letter = layout->letter == ' ' ? 0 : layout->letter;
  auto response = [&](int question, std::string marked, char character) {
    facts.responses.push_back({question, std::move(marked), static_cast<unsigned char>(character), 1.0, 0});
  };

  if (exam.studentQuestions.empty()) {
    if (!typed.studentId.empty()) throw Error("id: this exam reads no student ID");
  } else {
    std::string why;
    if (!exam.CheckStudentId(typed.studentId, why)) throw Error("id: " + why);
    for (std::size_t i = 0; i < exam.studentQuestions.size(); ++i) {
      const char c = typed.studentId[i];
      const char type = i < exam.studentTypes.size() ? exam.studentTypes[i] : 'S';
      response(exam.studentQuestions[i], Single(type) ? std::string(1, c) : std::string(), c);
    }
  }

  switch (exam.versionSource) {
    case VersionSource::kSingle:
      if (!typed.version.empty() && typed.version != exam.keys.front().name)
        throw Error("version: this exam has one version, " + exam.keys.front().name);
      break;
    case VersionSource::kQuestion: {
      if (!exam.FindKey(typed.version) || typed.version.size() != 1) {
        std::string names;
        for (const VersionKey& k : exam.keys) names += (names.empty() ? "" : ", ") + k.name;
        throw Error("version: one of " + names);
      }
      response(exam.versionQuestion, typed.version, typed.version[0]);
      break;
    }
    case VersionSource::kLayout:
      break;
  }

  if (part && exam.partSource == PartSource::kQuestion)
    response(exam.partQuestion, part->name, part->name[0]);

  const std::size_t first = part ? part->first : 0;
  const std::size_t count = part ? part->questions.size() : exam.items.size();
  if (typed.answers.size() != count)
    throw Error("answers: " + std::to_string(typed.answers.size()) + " typed, " +
                (part ? "part " + part->name : std::string("the exam")) + " has " + std::to_string(count) +
                " items");
  std::vector<std::string> answers;
  for (std::size_t i = 0; i < count; ++i) {
    const int question = exam.items[first + i];
    const QuestionShape* q = FindQuestion(*layout, question);
    if (!q) throw Error("answers: the layout has no question " + std::to_string(question));
    const std::string where =
        "answers: item " + std::to_string(i + 1) + " (question " + std::to_string(question) + ")";
    std::string marked;
    for (char c : typed.answers[i]) {
      if (q->options.find(c) == std::string::npos) {
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (q->options.find(upper) != std::string::npos) c = upper;
      }
      if (c == ' ' || q->options.find(c) == std::string::npos)
        throw Error(where + ": " + Shown(c) + " is not one of its options " + VisibleAscii(q->options));
      if (marked.find(c) != std::string::npos) throw Error(where + ": " + Shown(c) + " is typed twice");
      marked += c;
    }
    // In cell order, as the recognition lists marks.
    std::string ordered;
    for (const char o : q->options)
      if (marked.find(o) != std::string::npos && ordered.find(o) == std::string::npos) ordered += o;
    const char coded = ordered.empty() ? '.' : ordered.size() == 1 ? ordered[0] : '>';
    response(question, ordered, coded);
    answers.push_back(ordered);
  }
  std::sort(facts.responses.begin(), facts.responses.end(),
            [](const Response& a, const Response& b) { return a.question < b.question; });

  nlohmann::ordered_json j;
  j["id"] = typed.studentId;
  j["version"] = typed.version;
  j["answers"] = answers;
  if (part) j["part"] = part->name;
  facts.result = j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return facts;
}

TypedSheet ParseTypedResult(const std::string& result) {
  const nlohmann::json j = nlohmann::json::parse(result, nullptr, false);
  auto text = [&](const char* name) {
    const auto at = j.find(name);
    if (at == j.end() || !at->is_string()) throw Error("the typed sheet's text has no " + std::string(name));
    return at->get<std::string>();
  };
  if (j.is_discarded() || !j.is_object()) throw Error("the typed sheet's text is not JSON");
  TypedSheet typed;
  typed.studentId = text("id");
  typed.version = text("version");
  const auto answers = j.find("answers");
  if (answers == j.end() || !answers->is_array()) throw Error("the typed sheet's text has no answers");
  for (const auto& a : *answers) {
    if (!a.is_string()) throw Error("the typed sheet's answers are not texts");
    typed.answers.push_back(a.get<std::string>());
  }
  if (j.contains("part")) typed.part = text("part");
  return typed;
}

}  // namespace omr::exam
