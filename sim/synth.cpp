#include "sim/synth.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

namespace omr::sim {

namespace {

std::string MarkString(const Question& q, const std::vector<int>& options,
                       const std::vector<int>& optionCells) {
  std::string marks(q.cells.size(), '_');
  for (int o : options) marks[static_cast<std::size_t>(optionCells[static_cast<std::size_t>(o)])] = '1';
  return marks;
}

// Subsets of n options in the order MarksForChar tries them: by size, then
// lowest options first; only up to three marks when `upToThree`. Built once
// per shape, since long labels give tens of thousands of sets.
const std::vector<std::vector<int>>& CandidateSets(int n, bool upToThree) {
  thread_local std::map<std::pair<int, bool>, std::vector<std::vector<int>>> cache;
  auto [it, inserted] = cache.try_emplace({n, upToThree});
  std::vector<std::vector<int>>& sets = it->second;
  if (!inserted) return sets;
  if (!upToThree) {
    std::vector<unsigned> masks;
    for (unsigned m = 0; m < (1u << n); ++m) masks.push_back(m);
    std::stable_sort(masks.begin(), masks.end(),
                     [](unsigned a, unsigned b) { return std::popcount(a) < std::popcount(b); });
    for (unsigned m : masks) {
      std::vector<int> set;
      for (int i = 0; i < n; ++i)
        if (m & (1u << i)) set.push_back(i);
      sets.push_back(std::move(set));
    }
    return sets;
  }
  sets.push_back({});
  for (int a = 0; a < n; ++a) sets.push_back({a});
  for (int a = 0; a < n; ++a)
    for (int b = a + 1; b < n; ++b) sets.push_back({a, b});
  for (int a = 0; a < n; ++a)
    for (int b = a + 1; b < n; ++b)
      for (int c = b + 1; c < n; ++c) sets.push_back({a, b, c});
  return sets;
}

// The options whose mark can change the code. Binary and mask codes add up
// what each option contributes, so an option that alone codes like no mark at
// all never matters, and the first set that codes a character never holds
// one (without it the set codes the same and comes earlier). Other types keep
// every option.
std::vector<int> CodingOptions(const SheetLayout& layout, const Question& q,
                               const std::vector<int>& optionCells) {
  std::vector<int> relevant;
  const bool additive = q.type == 'B' || q.type == 'b' || q.type == 'm';
  std::string marks(q.cells.size(), '_');
  const char none = additive ? CodeQuestion(layout, q, marks) : '\0';
  for (std::size_t o = 0; o < optionCells.size(); ++o) {
    if (additive) {
      const std::size_t cell = static_cast<std::size_t>(optionCells[o]);
      marks[cell] = '1';
      const char alone = CodeQuestion(layout, q, marks);
      marks[cell] = '_';
      if (alone == none) continue;
    }
    relevant.push_back(static_cast<int>(o));
  }
  return relevant;
}

int ColumnsNeeded(const SheetLayout& layout, const std::vector<Question>& questions) {
  int needed = layout.ident.column;
  for (const BarRecord& bar : layout.bars.records)
    if (bar.used) needed = std::max({needed, bar.first, bar.last});
  for (const Question& q : questions)
    for (const QuestionCell& c : q.cells) needed = std::max(needed, c.column);
  needed += needed % 2;
  return std::clamp(needed, kDefaultColumns, 2 * kMaxBytesPerLine);
}

std::string Quoted(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  if (u >= 0x21 && u < 0x7F) return std::string("'") + c + "'";
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", u);
  return hex;
}

}  // namespace

bool MarksForChar(const SheetLayout& layout, const Question& question, char wanted,
                  std::vector<int>& options) {
  const std::vector<int> optionCells = question.Options();
  const std::vector<int> relevant = CodingOptions(layout, question, optionCells);
  // The set shape follows the whole option count, so pruning never changes
  // which set is found.
  const bool upToThree = optionCells.size() > 12;
  std::string marks(question.cells.size(), '_');
  auto markSet = [&](const std::vector<int>& set, char mark) {
    for (int i : set) {
      const int option = relevant[static_cast<std::size_t>(i)];
      marks[static_cast<std::size_t>(optionCells[static_cast<std::size_t>(option)])] = mark;
    }
  };
  for (const std::vector<int>& set : CandidateSets(static_cast<int>(relevant.size()), upToThree)) {
    markSet(set, '1');
    const char code = CodeQuestion(layout, question, marks);
    markSet(set, '_');
    if (code == wanted) {
      options.clear();
      for (int i : set) options.push_back(relevant[static_cast<std::size_t>(i)]);
      return true;
    }
  }
  return false;
}

bool DrawSheet(const SheetLayout& layout, const std::vector<Answer>& answers, const DrawOptions& options,
               SheetGrid& grid, std::string& error) {
  const std::vector<Question> questions = LayoutQuestions(layout);
  if (answers.size() > questions.size()) {
    error =
        std::to_string(answers.size()) + " answers for " + std::to_string(questions.size()) + " questions";
    return false;
  }
  const int lines = options.lines > 0 ? options.lines : layout.length.l1;
  if (lines < 1 || lines > kMaxGridLines) {
    error = "sheet of " + std::to_string(lines) + " lines cannot be sent (1 to 127)";
    return false;
  }
  const int columns = options.columns > 0 ? options.columns : ColumnsNeeded(layout, questions);
  if (columns % 2 != 0 || columns > 2 * kMaxBytesPerLine) {
    error = "sheet of " + std::to_string(columns) + " columns cannot be sent (even, at most 254)";
    return false;
  }

  std::mt19937 rng(options.seed);
  const int g1 = layout.grade.g1;
  const int g2 = layout.grade.g2;
  const int dark = std::clamp(options.darkness, 1, kDarkest);
  const int noise = std::clamp(options.noise, 0, kDarkest);
  grid = SheetGrid(lines, columns);
  for (std::uint8_t& cell : grid.Cells())
    cell = noise > 0 ? static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, noise)(rng)) : 0;

  if (!options.lightIdent)
    grid.Set(layout.ident.line, layout.ident.column, std::clamp(std::max(dark, g2 + 1), 0, kDarkest));
  else
    grid.Set(layout.ident.line, layout.ident.column, 0);
  int barNumber = 0;
  for (const BarRecord& bar : layout.bars.records) {
    if (!bar.used) continue;
    ++barNumber;
    const int value = barNumber == options.missingBar ? 0 : std::clamp(std::max(dark, g1), 0, kDarkest);
    for (int column = bar.first; column <= bar.last; ++column) grid.Set(bar.line, column, value);
  }

  const int jitter = std::clamp(options.jitter, 0, dark - 1);
  // The sheet's levels as a reader of it will measure them.
  const double paper = noise / 2.0;
  const double markLevel = dark - jitter / 2.0;
  const double spread = markLevel - paper;
  // The middle integer strictly between `low` and `high`, or -1.
  auto between = [](double low, double high) {
    const int first = static_cast<int>(std::floor(low)) + 1;
    const int last = static_cast<int>(std::ceil(high)) - 1;
    return first <= last ? (first + last) / 2 : -1;
  };
  const int light = between(std::max(paper + spread / 4, static_cast<double>(noise)), markLevel / 2);
  const int erasure =
      between(std::max(paper + spread / 4, static_cast<double>(noise)), markLevel - spread / 4);
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const Question& q = questions[i];
    const Answer& a = answers[i];
    const std::vector<int> optionCells = q.Options();
    std::vector<Mark> marks;
    if (a.kind == Answer::Kind::Char) {
      std::vector<int> set;
      if (!MarksForChar(layout, q, a.wanted, set)) {
        error = "question " + std::to_string(i + 1) + ": no marks make " + Quoted(a.wanted);
        return false;
      }
      for (int o : set) marks.push_back({o, MarkStyle::Normal});
    } else if (a.kind == Answer::Kind::Marks) {
      marks = a.marks;
    }
    // Ties follow the question's darkest normal mark: draw them last.
    std::stable_partition(marks.begin(), marks.end(),
                          [](const Mark& m) { return m.style != MarkStyle::Tie; });
    int darkest = -1;
    for (const Mark& m : marks) {
      if (m.option < 0 || m.option >= static_cast<int>(optionCells.size())) {
        error = "question " + std::to_string(i + 1) + ": option " + std::to_string(m.option + 1) + " of " +
                std::to_string(optionCells.size());
        return false;
      }
      int value = dark;
      switch (m.style) {
        case MarkStyle::Normal:
          value = dark - (jitter > 0 ? std::uniform_int_distribution<int>(0, jitter)(rng) : 0);
          darkest = std::max(darkest, value);
          break;
        case MarkStyle::Faint:
          value = std::max(0, g2 - 1);
          break;
        case MarkStyle::HalfErased:
          value = std::max(g2, dark / 3);
          break;
        case MarkStyle::Light:
        case MarkStyle::Erasure:
          value = m.style == MarkStyle::Light ? light : erasure;
          if (value < 0) {
            error = "question " + std::to_string(i + 1) + ": no grey is left for " +
                    (m.style == MarkStyle::Light ? "a faint mark" : "an erasure") + " between noise " +
                    std::to_string(noise) + " and darkness " + std::to_string(dark) + " (jitter " +
                    std::to_string(jitter) + ")";
            return false;
          }
          break;
        case MarkStyle::Tie:
          value = (darkest >= 0 ? darkest : dark) - std::uniform_int_distribution<int>(0, 2)(rng);
          break;
      }
      const QuestionCell& c =
          q.cells[static_cast<std::size_t>(optionCells[static_cast<std::size_t>(m.option)])];
      grid.Set(c.line, c.column, std::clamp(value, 0, kDarkest));
    }
  }
  return true;
}

bool Synthesize(const FormDefinition& forms, const SheetPlan& plan, SynthesizedSheet& sheet,
                std::string& error, bool strict) {
  if (plan.layout < 0 || plan.layout >= kLayoutsPerFace) {
    error = "layout index " + std::to_string(plan.layout);
    return false;
  }
  return Synthesize(forms.layouts[kFaceA][plan.layout], forms, plan, sheet, error, strict);
}

bool Synthesize(const SheetLayout& layout, const FormDefinition& forms, const SheetPlan& plan,
                SynthesizedSheet& sheet, std::string& error, bool strict) {
  sheet = SynthesizedSheet{};
  sheet.name = plan.name;
  sheet.status = plan.status;
  if (!DrawSheet(layout, plan.answers, plan.draw, sheet.grid, error)) return false;
  if (!EncodeFrame(sheet.grid, nullptr, sheet.frame, error)) return false;
  DecodedFrame decoded;
  if (!DecodeFrame(sheet.frame, decoded, error)) {
    error = "frame does not decode: " + error;
    return false;
  }
  if (decoded.headA.Lines() != sheet.grid.Lines() || decoded.headA.Cells() != sheet.grid.Cells()) {
    error = "frame decodes to another grid";
    return false;
  }
  if (plan.status != 0) sheet.frame.clear();
  sheet.expected = PredictRead(forms, sheet.grid, plan.status);

  if (strict) {
    // Every answer drawn without degraded marks must read back as asked.
    const std::vector<Question> questions = LayoutQuestions(layout);
    const std::string read = EvaluateLayout(layout, sheet.grid);
    for (std::size_t i = 0; i < plan.answers.size(); ++i) {
      const Answer& a = plan.answers[i];
      char wanted = a.wanted;
      if (a.kind != Answer::Kind::Char) {
        const std::vector<int> optionCells = questions[i].Options();
        std::vector<int> set;
        bool degraded = false;
        for (const Mark& m : a.marks) {
          degraded |= m.style != MarkStyle::Normal;
          set.push_back(m.option);
        }
        if (degraded) continue;
        wanted = CodeQuestion(layout, questions[i], MarkString(questions[i], set, optionCells));
      }
      if (i < read.size() && read[i] != wanted) {
        error = "question " + std::to_string(i + 1) + " drawn as " + Quoted(wanted) + " reads as " +
                Quoted(read[i]) +
                " (darkness, jitter or noise too close to the thresholds, or cells outside the sheet)";
        return false;
      }
    }
  }
  return true;
}

std::vector<Answer> RandomAnswers(const SheetLayout& layout, std::mt19937& rng, const RandomRates& rates) {
  std::vector<Answer> answers;
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  const bool planting = rates.faint + rates.erased + rates.nearTie > 0.0;
  for (const Question& q : LayoutQuestions(layout)) {
    const int n = static_cast<int>(q.Options().size());
    if (planting && n >= 1) {
      // Drawn only when asked for, so the other answers of a seed stay as they were.
      const double roll = chance(rng);
      auto pick = [&](int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng); };
      auto other = [&](int a) {
        const int b = pick(n - 1);
        return b >= a ? b + 1 : b;
      };
      const bool single = q.type == 'S' || q.type == 's';
      if (roll < rates.faint) {
        answers.push_back(Answer::Marks({{pick(n), MarkStyle::Light}}));
        continue;
      }
      if (roll < rates.faint + rates.erased && n >= 2) {
        const int a = pick(n);
        answers.push_back(Answer::Marks({{a, MarkStyle::Normal}, {other(a), MarkStyle::Erasure}}));
        continue;
      }
      if (roll < rates.faint + rates.erased + rates.nearTie && n >= 2 && single) {
        const int a = pick(n);
        answers.push_back(Answer::Marks({{a, MarkStyle::Normal}, {other(a), MarkStyle::Tie}}));
        continue;
      }
    }
    const double roll = chance(rng);
    if (n == 0 || roll < rates.blank) {
      answers.push_back(Answer::Blank());
      continue;
    }
    auto pick = [&](int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng); };
    if (roll < rates.blank + rates.doubleMark && n >= 2) {
      const int a = pick(n);
      int b = pick(n - 1);
      if (b >= a) ++b;
      answers.push_back(Answer::Marks({{a}, {b}}));
      continue;
    }
    switch (q.type) {
      case 'B':
      case 'b': {
        // A random value the label's weights can make.
        Answer answer = Answer::Blank();
        for (int attempt = 0; attempt < 16; ++attempt) {
          const int value = pick(q.type == 'B' ? 10 : 16);
          const char c = "0123456789ABCDEF"[value];
          std::vector<int> set;
          if (MarksForChar(layout, q, c, set)) {
            answer = Answer::Char(c);
            break;
          }
        }
        answers.push_back(answer);
        break;
      }
      case 'M':
      case 'm': {
        // One to three of the first options; table codes reach only the first few.
        const int span = std::min(n, q.type == 'M' && layout.coding.mode != 4 ? 4 : 7);
        std::vector<Mark> marks;
        const int count = 1 + pick(std::min(3, span));
        std::vector<int> all(static_cast<std::size_t>(span));
        for (int i = 0; i < span; ++i) all[static_cast<std::size_t>(i)] = i;
        std::shuffle(all.begin(), all.end(), rng);
        for (int i = 0; i < count; ++i) marks.push_back({all[static_cast<std::size_t>(i)]});
        std::sort(marks.begin(), marks.end(),
                  [](const Mark& a, const Mark& b) { return a.option < b.option; });
        answers.push_back(Answer::Marks(std::move(marks)));
        break;
      }
      default:
        answers.push_back(Answer::Marks({{pick(n)}}));
        break;
    }
  }
  return answers;
}

std::string PlantedDoubt(const Question& question, const Answer& answer) {
  if (answer.kind != Answer::Kind::Marks) return "";
  int normal = 0;
  for (const Mark& m : answer.marks) {
    if (m.style == MarkStyle::Light) return "faint";
    if (m.style == MarkStyle::Erasure) return "erased";
    if (m.style == MarkStyle::Tie) return "near-tie";
    normal += m.style == MarkStyle::Normal ? 1 : 0;
  }
  const bool single = question.type == 'S' || question.type == 's';
  return single && normal >= 2 ? "near-tie" : "";
}

}  // namespace omr::sim
