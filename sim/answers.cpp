#include "sim/answers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace omr::sim {

namespace {

bool ParseInt(const std::string& text, long low, long high, long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 0);
  return errno == 0 && end && *end == '\0' && value >= low && value <= high;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "[...]": comma-separated 1-based option numbers, each with an optional style
// letter f (faint), h (half-erased), l (light), e (erasure) or t (tie).
bool ParseMarks(const std::string& body, Answer& answer, std::string& error) {
  answer = Answer::Marks({});
  std::stringstream items(body);
  std::string item;
  while (std::getline(items, item, ',')) {
    if (item.empty()) continue;
    Mark mark;
    const char last = item.back();
    static const struct {
      char letter;
      MarkStyle style;
    } kStyles[] = {{'f', MarkStyle::Faint},
                   {'h', MarkStyle::HalfErased},
                   {'l', MarkStyle::Light},
                   {'e', MarkStyle::Erasure},
                   {'t', MarkStyle::Tie}};
    for (const auto& s : kStyles)
      if (last == s.letter) {
        mark.style = s.style;
        item.pop_back();
        break;
      }
    long number = 0;
    if (!ParseInt(item, 1, 255, number)) {
      error = "bad option '" + item + "' in [" + body + "]";
      return false;
    }
    mark.option = static_cast<int>(number - 1);
    answer.marks.push_back(mark);
  }
  if (answer.marks.empty()) answer = Answer::Blank();
  return true;
}

bool ParseAnswerItems(const std::string& token, std::vector<Answer>& answers, std::string& error) {
  for (std::size_t i = 0; i < token.size();) {
    const char c = token[i];
    if (c == '[') {
      const std::size_t close = token.find(']', i);
      if (close == std::string::npos) {
        error = "unclosed [ in answers";
        return false;
      }
      Answer a;
      if (!ParseMarks(token.substr(i + 1, close - i - 1), a, error)) return false;
      answers.push_back(std::move(a));
      i = close + 1;
    } else if (c == '\\') {
      if (i + 1 >= token.size()) {
        error = "answers end with a lone backslash";
        return false;
      }
      if (token[i + 1] == 'x' && i + 3 < token.size() && HexDigit(token[i + 2]) >= 0 &&
          HexDigit(token[i + 3]) >= 0) {
        answers.push_back(
            Answer::Char(static_cast<char>(HexDigit(token[i + 2]) * 16 + HexDigit(token[i + 3]))));
        i += 4;
      } else {
        answers.push_back(Answer::Char(token[i + 1]));
        i += 2;
      }
    } else {
      answers.push_back(Answer::Char(c));
      ++i;
    }
  }
  return true;
}

bool ParseOption(const std::string& word, SheetPlan& plan, std::string& error) {
  const std::size_t equals = word.find('=');
  const std::string key = word.substr(0, equals);
  const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
  long number = 0;
  auto need = [&](long low, long high) {
    if (ParseInt(value, low, high, number)) return true;
    error = "bad value in '" + word + "'";
    return false;
  };
  DrawOptions& d = plan.draw;
  if (key == "status") {
    if (!need(0, 0xFFFF)) return false;
    plan.status = static_cast<std::uint16_t>(number);
  } else if (key == "dark") {
    if (!need(1, kDarkest)) return false;
    d.darkness = static_cast<int>(number);
  } else if (key == "jitter") {
    if (!need(0, kDarkest)) return false;
    d.jitter = static_cast<int>(number);
  } else if (key == "noise") {
    if (!need(0, kDarkest)) return false;
    d.noise = static_cast<int>(number);
  } else if (key == "seed") {
    if (!need(0, 0x7FFFFFFF)) return false;
    d.seed = static_cast<std::uint32_t>(number);
  } else if (key == "nobar") {
    if (equals == std::string::npos) {
      d.missingBar = 1;
    } else {
      if (!need(1, kBarRecords)) return false;
      d.missingBar = static_cast<int>(number);
    }
  } else if (key == "noident" && equals == std::string::npos) {
    d.lightIdent = true;
  } else if (key == "lines") {
    if (!need(1, kMaxGridLines)) return false;
    d.lines = static_cast<int>(number);
  } else if (key == "columns") {
    if (!need(2, 2 * kMaxBytesPerLine)) return false;
    d.columns = static_cast<int>(number);
  } else if (key == "name" && !value.empty()) {
    plan.name = value;
  } else {
    error = "unknown option '" + word + "'";
    return false;
  }
  return true;
}

}  // namespace

int LayoutByLetter(const FormDefinition& forms, char letter) {
  for (int i = 0; i < kLayoutsPerFace; ++i)
    if (forms.layouts[kFaceA][i].defined && forms.layouts[kFaceA][i].ident.letter == letter) return i;
  return -1;
}

bool ParseAnswersLine(const FormDefinition& forms, const std::string& line, const DrawOptions& defaults,
                      SheetPlan& plan, bool& isSheet, std::string& error) {
  std::stringstream words(line);
  std::string letter;
  isSheet = false;
  if (!(words >> letter) || letter[0] == '#') return true;
  isSheet = true;
  plan = SheetPlan{};
  plan.draw = defaults;
  if (letter.size() != 1) {
    error = "the first word must be the form letter, got '" + letter + "'";
    return false;
  }
  plan.layout = LayoutByLetter(forms, letter[0]);
  if (plan.layout < 0) {
    error = "no loaded layout has the letter " + letter;
    return false;
  }
  std::string answers;
  if (!(words >> answers)) {
    error = "no answers after the form letter";
    return false;
  }
  if (!ParseAnswerItems(answers, plan.answers, error)) return false;
  const std::size_t questions = LayoutQuestions(forms.layouts[kFaceA][plan.layout]).size();
  if (plan.answers.size() > questions) {
    error = std::to_string(plan.answers.size()) + " answers for " + std::to_string(questions) + " questions";
    return false;
  }
  std::string word;
  while (words >> word)
    if (!ParseOption(word, plan, error)) return false;
  return true;
}

bool ReadAnswersFile(const FormDefinition& forms, const std::string& path, const DrawOptions& defaults,
                     std::vector<SheetPlan>& plans, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    SheetPlan plan;
    bool isSheet = false;
    DrawOptions d = defaults;
    d.seed = defaults.seed + static_cast<std::uint32_t>(number);  // each sheet its own noise
    if (!ParseAnswersLine(forms, line, d, plan, isSheet, error)) {
      error = path + ":" + std::to_string(number) + ": " + error;
      return false;
    }
    if (!isSheet) continue;
    if (plan.name.empty()) plan.name = path + ":" + std::to_string(number);
    plans.push_back(std::move(plan));
  }
  return true;
}

std::string EscapeText(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u <= 0x7E && c != '\\') {
      out.push_back(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    }
  }
  return out;
}

std::string FormatExpected(const Prediction& expected) {
  if (expected.error != 0) return "! " + std::to_string(expected.error);
  return EscapeText(std::string(1, expected.letter)) + " " + EscapeText(expected.text);
}

std::string FormatPlanted(const SheetLayout& layout, const std::vector<Answer>& answers) {
  const std::vector<Question> questions = LayoutQuestions(layout);
  std::string line;
  for (std::size_t i = 0; i < answers.size() && i < questions.size(); ++i) {
    const std::string kind = PlantedDoubt(questions[i], answers[i]);
    if (!kind.empty()) line += (line.empty() ? "" : " ") + std::to_string(i + 1) + ":" + kind;
  }
  return line.empty() ? "-" : line;
}

}  // namespace omr::sim
