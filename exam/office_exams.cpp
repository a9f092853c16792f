// The Exams and New exam pages' work: an exam's state, the example forms, and
// the checks of a form, a roster and an exam file as the page builds them.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "error.h"
#include "office.h"
#include "omr_offline.h"
#include "recognition.h"
#include "roster.h"
#include "text.h"

namespace omr::exam::office {

namespace {

constexpr std::size_t kPreviewRows = 8;
constexpr std::size_t kMaxForms = 64;

// Form bytes (GBK) as text to show.
std::string FormBytesText(const std::string& bytes) {
  std::vector<char> buffer(bytes.size() * 4 + 4);
  std::size_t written = 0;
  if (omro_gbk_to_utf8(bytes.data(), bytes.size(), buffer.data(), buffer.size(), &written) == OMRO_OK)
    return CleanUtf8(std::string(buffer.data(), written));
  return CleanUtf8(bytes);
}

Json ShapeJson(const FormShape& shape) {
  Json layouts = Json::array();
  for (const LayoutShape& l : shape.layouts) {
    Json questions = Json::array();
    for (const QuestionShape& q : l.questions)
      questions.push_back({{"number", q.number},
                           {"type", VisibleAscii(std::string(1, q.type))},
                           {"options", FormBytesText(q.options)}});
    layouts.push_back({{"letter", l.letter == ' ' ? "" : FormBytesText(std::string(1, l.letter))},
                       {"questions", questions}});
  }
  return layouts;
}

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > limit)
    return false;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  out = text.str();
  return static_cast<bool>(in) || in.eof();
}

}  // namespace

Stamp StampOf(Project& project) {
  project.Sync();
  Stamp s;
  s.revision = project.revision();
  s.sheets = project.store().SheetCount(project.examId());
  const std::vector<CorrectionRecord> corrections = project.store().Corrections(project.examId(), 0);
  s.corrections = static_cast<int>(corrections.size());
  s.lastCorrection = corrections.empty() ? 0 : corrections.back().id;
  return s;
}

std::shared_ptr<const Analyzed> Analyze(Project& project, const Stamp& stamp,
                                        std::shared_ptr<const Project::ScoringInputs>* inputs) {
  auto out = std::make_shared<Analyzed>();
  out->stamp = stamp;
  auto read = std::make_shared<Project::ScoringInputs>(project.ReadScoringInputs());
  out->scores = project.ScoreInputs(*read);
  out->sheets = read->sheets;
  if (inputs) *inputs = std::move(read);
  try {
    out->analysis =
        AnalyzeScores(project.exam(), project.shape(), CombineSheets(project.exam(), out->scores));
  } catch (const Error& e) {
    out->error = e.what();
  }
  return out;
}

Json Summary(Project& project, const std::string& file, const Stamp& stamp, const Analyzed* a) {
  const Exam& exam = project.exam();
  const Roster& roster = project.roster();
  Store& store = project.store();
  // From the stored scores' counts and indexes: the list stays quick however
  // many sheets an exam holds; the flagged items only when analysed already.
  const ScoreCounts counts = store.CountScores(project.examId());
  const int scored = counts.scored;
  const int waiting = counts.waiting;
  const auto notReadHit = counts.byReason.find(reason::kNotRead);
  const int notRead = notReadHit == counts.byReason.end() ? 0 : notReadHit->second;
  int missing = 0;
  if (!roster.Empty()) {
    std::set<std::string> present;
    for (const auto& [id, number] : store.SheetsWithStudents(project.examId(), roster.ids))
      present.insert(id);
    for (const std::string& id : roster.ids) missing += present.count(id) ? 0 : 1;
  }
  const bool analysed = a && a->error.empty();
  int flagged = 0;
  if (analysed)
    for (const ItemResult& item : a->analysis.overall.items) flagged += item.flags != 0 ? 1 : 0;
  const std::string lastRead = store.LastRead(project.examId());
  Json versions = Json::array();
  for (const VersionKey& k : exam.keys) versions.push_back(CleanUtf8(k.name));
  Json j;
  j["project"] = CleanUtf8(file);
  j["exam"] = CleanUtf8(project.examName());
  j["title"] = CleanUtf8(exam.title.empty() ? project.examName() : exam.title);
  j["revision"] = project.revision();
  j["created_at"] = project.store().Revision(project.examId(), 1).createdAt;
  j["items"] = exam.ItemCount();
  j["versions"] = versions;
  j["sheets"] = stamp.sheets;
  j["scored"] = scored;
  j["not_read"] = notRead;
  j["roster"] = roster.ids.size();
  j["students"] = counts.students;
  j["missing"] = roster.Empty() ? Json(nullptr) : Json(missing);
  j["waiting"] = waiting;
  j["corrections"] = stamp.corrections;
  j["last_read"] = lastRead.empty() ? Json(nullptr) : Json(lastRead);
  j["flagged_items"] = analysed ? Json(flagged) : Json(nullptr);
  j["editable"] = stamp.sheets == 0;
  return j;
}

Json Forms(const std::vector<std::string>& folders) {
  Json out = Json::array();
  std::set<std::string> seen;
  for (const std::string& folder : folders) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
      while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".form") == 0 && name[0] != '.')
          names.push_back(name);
      }
      ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (seen.count(name) || out.size() >= kMaxForms) continue;
      std::string text;
      if (!ReadSmallFile(folder + "/" + name, kMaxFormText, text)) continue;
      seen.insert(name);
      Json checked = CheckForm(text);
      Json entry;
      entry["name"] = CleanUtf8(name);
      entry["text"] = FormBytesText(text);
      entry["loads"] = checked["loads"];
      entry["problems"] = checked["problems"];
      entry["layouts"] = checked["layouts"];
      out.push_back(entry);
    }
  }
  return out;
}

Json CheckForm(const std::string& text) {
  Json j;
  Json problems = Json::array();
  omro_form* form = nullptr;
  if (omro_form_load_text(text.data(), text.size(), &form) != OMRO_OK) {
    problems.push_back({{"line", 0}, {"column", 0}, {"severity", "error"}, {"message", OfflineMessage()}});
    j["loads"] = false;
    j["problems"] = problems;
    j["layouts"] = Json::array();
    return j;
  }
  const int count = omro_form_diagnostic_count(form);
  for (int i = 0; i < count; ++i) {
    omro_diagnostic d{};
    if (omro_form_diagnostic(form, i, &d) != OMRO_OK) continue;
    const char* severity = d.severity == OMRO_SEVERITY_ERROR     ? "error"
                           : d.severity == OMRO_SEVERITY_SKIPPED ? "skipped"
                                                                 : "warning";
    problems.push_back({{"line", d.line},
                        {"column", d.column},
                        {"severity", severity},
                        {"kind", CleanUtf8(d.kind)},
                        {"message", CleanUtf8(d.message)}});
  }
  const bool loads = omro_form_status(form) == 0;
  omro_form_free(form);
  j["loads"] = loads;
  j["problems"] = problems;
  j["layouts"] = Json::array();
  if (loads) j["layouts"] = ShapeJson(RecognitionForm(text, "form").Shape());
  return j;
}

Json CheckRoster(const std::string& bytes, const std::string& encoding, const std::string& idColumn) {
  Json j;
  Json problems = Json::array();
  auto problem = [&](int line, const std::string& message) {
    problems.push_back({{"line", line}, {"message", CleanUtf8(message)}});
  };
  // As the command line reads it: converted from the character set chosen,
  // else checked to be UTF-8 (the problem names its line and what to choose).
  std::string text;
  std::string error;
  const std::string charset = encoding == "utf-8" || encoding == "UTF-8" ? "" : encoding;
  if (!charset.empty() && !KnownEncoding(charset)) {
    problem(0, "\"" + charset + "\" is not a character set this system knows (" + kEncodingExamples + ")");
  } else if (!RosterToUtf8(bytes, charset, "the roster", text, error)) {
    const int line = std::atoi(error.c_str());
    const std::size_t colon = error.find(':', error.find(':') + 1);
    problem(line, line > 0 && colon != std::string::npos ? error.substr(colon + 1) : error);
    text.clear();
  }
  error.clear();
  std::vector<int> lines;
  const std::vector<std::vector<std::string>> rows = ParseCsv(text, error, &lines);
  if (!error.empty()) problem(0, error);
  Json columns = Json::array();
  if (!rows.empty())
    for (const std::string& c : rows[0]) columns.push_back(CleanUtf8(c));
  Json preview = Json::array();
  for (std::size_t r = 1; r < rows.size() && preview.size() < kPreviewRows; ++r) {
    Json row = Json::array();
    for (const std::string& c : rows[r]) row.push_back(CleanUtf8(c));
    preview.push_back(row);
  }
  j["columns"] = columns;
  j["rows"] = preview;
  j["count"] = rows.empty() ? 0 : rows.size() - 1;
  // The roster as the exam keeps it: the chosen column is its "id".
  std::string stored;
  if (problems.empty() && !rows.empty()) {
    int chosen = -1;
    for (std::size_t c = 0; c < rows[0].size(); ++c) {
      std::string lower = rows[0][c];
      for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (idColumn.empty() ? lower == "id" : rows[0][c] == idColumn) chosen = static_cast<int>(c);
    }
    if (chosen < 0) {
      problem(1, idColumn.empty() ? "choose the column that holds the student IDs"
                                  : "the roster has no column \"" + idColumn + "\"");
    } else {
      std::ostringstream out;
      for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
          std::string cell = rows[r][c];
          if (r == 0) {
            std::string lower = cell;
            for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            if (static_cast<int>(c) == chosen)
              cell = "id";
            else if (lower == "id")
              cell += " (first)";
          }
          const bool quote = cell.find_first_of(",\"\r\n") != std::string::npos;
          if (c) out << ',';
          if (quote) {
            std::string q;
            for (const char ch : cell) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
            out << '"' << q << '"';
          } else {
            out << cell;
          }
        }
        out << '\n';
      }
      stored = out.str();
      Roster roster;
      if (!ParseRoster(stored, roster, error)) {
        const std::size_t colon = error.find(':');
        const int row = colon == std::string::npos ? 0 : std::atoi(error.c_str());
        const int line = row > 0 && static_cast<std::size_t>(row) <= lines.size() ? lines[row - 1] : row;
        problem(line, colon == std::string::npos ? error : error.substr(error.find(':', colon + 1) + 1));
        stored.clear();
      }
    }
  }
  j["problems"] = problems;
  j["stored"] = stored.empty() ? Json(nullptr) : Json(stored);
  return j;
}

Json CheckExam(const std::string& examText, const std::string& formText, const std::string&) {
  Json j;
  Json problems = Json::array();
  FormShape shape;
  try {
    shape = RecognitionForm(formText, "the form").Shape();
  } catch (const Error& e) {
    problems.push_back({{"pointer", "/form"}, {"line", 0}, {"column", 0}, {"message", CleanUtf8(e.what())}});
  }
  const ExamCheck check = ParseExam(examText, shape);
  for (const Problem& p : check.problems)
    problems.push_back({{"pointer", CleanUtf8(p.pointer)},
                        {"line", p.line},
                        {"column", p.column},
                        {"message", CleanUtf8(p.message)}});
  j["problems"] = problems;
  if (problems.empty()) {
    Json versions = Json::array();
    for (const VersionKey& k : check.exam.keys) versions.push_back(CleanUtf8(k.name));
    j["summary"] = {{"items", check.exam.ItemCount()},
                    {"versions", versions},
                    {"student_questions", check.exam.studentQuestions.size()}};
  }
  return j;
}

}  // namespace omr::exam::office
