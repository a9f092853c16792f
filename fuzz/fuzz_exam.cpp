// The exam layer's readers of files people write and of stored bytes: an exam
// file checked against the sample form's shape (and, when it passes, a sheet
// made of the remaining bytes scored with it and with corrections), a roster,
// and a stored grid expanded and, when whole, packed and hashed again.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "exam_file.h"
#include "fuzz_support.h"
#include "grid_codec.h"
#include "roster.h"
#include "scoring.h"

using namespace omr::exam;

namespace {

// examples/exam60.form: 8 weighted ID digits, two class digits, 60 items A-E;
// a second layout without a letter and fewer questions.
FormShape SampleShape() {
  LayoutShape a;
  a.letter = 'A';
  for (int q = 1; q <= 70; ++q)
    a.questions.push_back({q, q <= 8 ? 'B' : q <= 10 ? 's' : 'S', q <= 8 ? "8421" : q <= 10 ? "0123456789" : "ABCDE"});
  LayoutShape b;
  for (int q = 1; q <= 12; ++q) b.questions.push_back({q, 'M', "ABCD"});
  return FormShape{{a, b}};
}

const FormShape& Shape() {
  static const FormShape shape = SampleShape();
  return shape;
}

// The next part up to a NUL byte (or the end).
std::string_view Part(std::string_view& rest) {
  const std::size_t nul = rest.find('\0');
  const std::string_view part = rest.substr(0, nul);
  rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  return part;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  omr::fuzz::Initialize();
  return 0;
}

// Parts separated by NUL bytes: the exam file, the roster, the sheet's
// responses (one byte a question), corrections ("TARGET=VALUE" lines), and a
// stored grid (its line and column counts in the first two bytes).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view examText = Part(rest);
  const std::string_view rosterText = Part(rest);
  const std::string_view marks = Part(rest);
  const std::string_view correctionText = Part(rest);
  const std::string_view gridBytes = rest;

  const ExamCheck check = ParseExam(examText, Shape());
  for (const Problem& p : check.problems) (void)FormatProblem("exam.json", p);

  Roster roster;
  std::string error;
  const bool haveRoster = ParseRoster(rosterText, roster, error);
  if (haveRoster) (void)roster.Find(rosterText.substr(0, 8), 5);

  if (check.problems.empty()) {
    SheetFacts sheet;
    sheet.number = 1;
    sheet.letter = marks.empty() ? 'A' : marks[0];
    for (std::size_t q = 1; q < marks.size() && q <= 80; ++q) {
      Response r;
      r.question = static_cast<int>(q);
      const unsigned char byte = static_cast<unsigned char>(marks[q]);
      for (int bit = 0; bit < 5; ++bit)
        if (byte & (1u << bit)) r.marked += static_cast<char>('A' + bit);
      r.character = r.marked.size() == 1 ? static_cast<unsigned char>(r.marked[0]) : (byte & 0x20 ? '>' : '.');
      r.confidence = (byte >> 6) / 3.0;
      r.doubtful = byte & 0x40 ? 1 : 0;
      sheet.responses.push_back(r);
    }
    std::vector<Override> corrections;
    std::string_view lines = correctionText;
    while (!lines.empty() && corrections.size() < 16) {
      const std::size_t end = lines.find('\n');
      const std::string_view line = lines.substr(0, end);
      lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
      const std::size_t eq = line.find('=');
      Override o;
      o.target = std::string(line.substr(0, eq));
      if (eq != std::string_view::npos) o.value = std::string(line.substr(eq + 1));
      corrections.push_back(o);
    }
    std::vector<SheetScore> scores{ScoreSheet(check.exam, sheet, corrections)};
    for (const Response& r : sheet.responses) (void)IsDoubtful(check.exam, r);
    ReviewAcross(scores, haveRoster ? &roster : nullptr, {""});
  }

  if (gridBytes.size() >= 2) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(gridBytes.data());
    SheetGrid grid;
    if (ExpandGrid(bytes[0], bytes[1], std::vector<std::uint8_t>(bytes + 2, bytes + gridBytes.size()), grid,
                   error)) {
      SheetGrid again;
      if (!ExpandGrid(grid.lines, grid.columns, CompressGrid(grid), again, error) || again.cells != grid.cells)
        __builtin_trap();  // what was packed must come back the same
      (void)GridHash(grid);
    }
  }
  return 0;
}
