#include "project.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "grid_codec.h"
#include "json_positions.h"
#include "text.h"

namespace omr::exam {

namespace {

constexpr std::size_t kMaxExamFile = 1 << 20;
constexpr std::size_t kMaxFormFile = 1 << 20;
constexpr std::size_t kMaxRosterFile = 64 << 20;

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += (out.empty() ? "" : "\n") + l;
  return out;
}

// A regular file of at most `limit` bytes, read whole; false with the reason.
bool ReadBounded(const std::string& path, std::size_t limit, std::string& text, std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
    return false;
  }
  if (static_cast<std::size_t>(st.st_size) > limit) {
    error = "larger than " + std::to_string(limit >> 20) + " MB";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = std::strerror(errno);
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  if (text.size() > limit) {
    error = "larger than " + std::to_string(limit >> 20) + " MB";
    return false;
  }
  return true;
}

std::string Relative(const std::string& examPath, const std::string& name) {
  const std::filesystem::path p(name);
  if (p.is_absolute()) return name;
  return (std::filesystem::path(examPath).parent_path() / p).string();
}

// Labels and letters are single form bytes; kept as visible ASCII so that
// every text column holds UTF-8 (see VisibleAscii).
std::vector<Response> CleanResponses(const std::vector<Response>& in) {
  std::vector<Response> out = in;
  for (Response& r : out) r.marked = VisibleAscii(r.marked);
  return out;
}

char CleanLetter(char letter) {
  if (letter == 0) return 0;
  return VisibleAscii(std::string(1, letter))[0];
}

// The parts of an exam file a project needs before it can check the rest.
struct Validated {
  Exam exam;
  FormShape shape;
  Roster roster;
  std::unique_ptr<RecognitionForm> form;
};

Validated Validate(const ExamSources& src) {
  Validated v;
  const JsonPositions positions(src.examText);
  auto at = [&](const std::string& pointer, const std::string& message) {
    const TextPosition p = positions.Value(pointer);
    return FormatProblem(src.examName, {pointer, p.line, p.column, message});
  };
  if (!src.formText.empty() || !src.formName.empty()) {
    try {
      v.form = std::make_unique<RecognitionForm>(src.formText, src.formName);
    } catch (const Error& e) {
      throw ExamFileError({at("/form", e.what())});
    }
    v.shape = v.form->Shape();
  }
  ExamCheck check = ParseExam(src.examText, v.shape, src.examStored);
  if (!check.problems.empty()) {
    std::vector<std::string> lines;
    for (const Problem& p : check.problems) lines.push_back(FormatProblem(src.examName, p));
    throw ExamFileError(lines);
  }
  v.exam = std::move(check.exam);
  if (!src.rosterText.empty() || !v.exam.roster.empty()) {
    std::string error;
    if (!ParseRoster(src.rosterText, v.roster, error, src.rosterStored))
      throw ExamFileError(
          {src.rosterName + ":" + error, at("/student/roster", "the roster has a problem (above)")});
  }
  if (const std::vector<Problem> problems = CheckRosterColumns(v.exam, src.examText, v.roster);
      !problems.empty()) {
    std::vector<std::string> lines;
    for (const Problem& p : problems) lines.push_back(FormatProblem(src.examName, p));
    throw ExamFileError(lines);
  }
  return v;
}

}  // namespace

ExamFileError::ExamFileError(const std::vector<std::string>& l) : Error(Join(l)), lines(l) {}

std::string NowUtc(bool milliseconds) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string out = text;
  if (milliseconds) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::snprintf(text, sizeof text, ".%03d", static_cast<int>(ms));
    out += text;
  }
  return out + "Z";
}

std::string SpoolName(const std::string& station) {
  std::string name;
  for (const char c : station.substr(0, 64))
    name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
  std::string stamp;
  for (const char c : NowUtc())
    if (c != '-' && c != ':') stamp += c;
  return "spool-" + (name.empty() ? std::string("station") : name) + "-" + stamp + ".omrexam";
}

std::string FormatNumber(double value) {
  // Nine decimals hide the binary noise of sums such as 0.1 + 0.2.
  double rounded = std::round(value * 1e9) / 1e9;
  if (rounded == 0) rounded = 0;  // no "-0"
  char text[64];
  const auto r = std::to_chars(text, text + sizeof text, rounded, std::chars_format::fixed, 9);
  std::string out(text, r.ptr);
  if (out.find('.') != std::string::npos) {
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
  }
  return out;
}

std::string JoinAnswers(const SheetScore& score) {
  std::string out;
  for (std::size_t i = 0; i < score.items.size(); ++i) out += (i ? "," : "") + score.items[i].response;
  return out;
}

std::string JoinPoints(const SheetScore& score) {
  std::string out;
  for (std::size_t i = 0; i < score.items.size(); ++i) {
    if (i) out += ',';
    const Outcome o = score.items[i].outcome;
    if (o != Outcome::kVoid && o != Outcome::kAbsent) out += FormatNumber(score.items[i].points);
  }
  return out;
}

namespace {

// "23 (item 13)": a question and, where its number differs, the item on it.
std::string QuestionAndItem(const Reason& r) {
  std::string out = std::to_string(r.question);
  if (r.item && r.item != r.question) out += " (item " + std::to_string(r.item) + ")";
  return out;
}

}  // namespace

std::string DescribeReasons(const std::vector<Reason>& reasons) {
  std::string out;
  for (const Reason& r : reasons) {
    if (!out.empty()) out += "; ";
    if (r.sheet) out += "sheet " + std::to_string(r.sheet) + ": ";
    out += r.code;
    if (r.question) out += " question " + QuestionAndItem(r);
    if (!r.detail.empty()) out += " (" + r.detail + ")";
  }
  return out;
}

std::string SummarizeReasons(const std::vector<Reason>& reasons) {
  struct Part {
    std::string code;
    std::vector<std::string> questions;
    std::string details;
  };
  std::vector<Part> parts;  // in first-seen order
  for (const Reason& r : reasons) {
    auto hit = std::find_if(parts.begin(), parts.end(), [&](const Part& p) { return p.code == r.code; });
    if (hit == parts.end()) {
      parts.push_back({r.code, {}, {}});
      hit = parts.end() - 1;
    }
    if (r.question) hit->questions.push_back(QuestionAndItem(r));
    if (!r.detail.empty()) hit->details += " (" + r.detail + ")";
  }
  std::string out;
  for (const Part& p : parts) {
    out += (out.empty() ? "" : "; ") + p.code;
    if (!p.questions.empty()) out += p.questions.size() == 1 ? " question " : " questions ";
    for (std::size_t i = 0; i < p.questions.size(); ++i) out += (i ? ", " : "") + p.questions[i];
    out += p.details;
  }
  return out;
}

ExamSources ReadExamSources(const std::string& examPath, const std::string* keepForm,
                            const std::string& rosterEncoding) {
  ExamSources src;
  src.examName = examPath;
  std::string error;
  if (!ReadBounded(examPath, kMaxExamFile, src.examText, error))
    throw ExamFileError({"cannot read the exam file " + examPath + ": " + error});
  if (!rosterEncoding.empty() && !KnownEncoding(rosterEncoding))
    throw ExamFileError({"--roster-encoding " + rosterEncoding + ": not a character set this system knows (" +
                         kEncodingExamples + "; iconv -l lists them all)"});
  // The names of the form and the roster; a file that does not parse (or
  // holds a number no double can) is reported in full by the check that follows.
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(src.examText, nullptr, true, true);
  } catch (const nlohmann::json::exception&) {
    return src;
  }
  const JsonPositions positions(src.examText);
  auto problem = [&](const std::string& pointer, const std::string& message) {
    const TextPosition p = positions.Value(pointer);
    return FormatProblem(examPath, {pointer, p.line, p.column, message});
  };
  if (keepForm) {
    src.formText = *keepForm;
  } else if (root.is_object() && root.contains("form") && root["form"].is_string()) {
    src.formName = Relative(examPath, root["form"].get<std::string>());
    if (!ReadBounded(src.formName, kMaxFormFile, src.formText, error))
      throw ExamFileError({problem("/form", "cannot read the form file " + src.formName + ": " + error)});
  }
  if (root.is_object() && root.contains("student") && root["student"].is_object() &&
      root["student"].contains("roster") && root["student"]["roster"].is_string()) {
    const nlohmann::json& student = root["student"];
    src.rosterName = Relative(examPath, student["roster"].get<std::string>());
    std::string bytes;
    if (!ReadBounded(src.rosterName, kMaxRosterFile, bytes, error))
      throw ExamFileError(
          {problem("/student/roster", "cannot read the roster " + src.rosterName + ": " + error)});
    // The option wins over the file; a name the file gets wrong is the check's to report.
    std::string encoding = rosterEncoding;
    if (encoding.empty() && student.contains("roster_encoding") && student["roster_encoding"].is_string())
      encoding = student["roster_encoding"].get<std::string>();
    if (!encoding.empty() && !KnownEncoding(encoding)) return src;
    if (!RosterToUtf8(bytes, encoding, src.rosterName, src.rosterText, error))
      throw ExamFileError({src.rosterName + ":" + error,
                           problem("/student/roster", "the roster cannot be read as text (above)")});
  }
  return src;
}

std::unique_ptr<Project> Project::Create(const std::string& location, const std::string& examPath,
                                         const std::string& examName, const std::string& author, bool add,
                                         const std::string& rosterEncoding) {
  return Create(location, ReadExamSources(examPath, nullptr, rosterEncoding), examName, author, add);
}

namespace {

// A revision holding these texts whole (a new exam, or one edited before its first sheet).
RevisionRecord RevisionOf(const ExamSources& src, const std::string& author, const char* kind,
                          const std::string& now) {
  RevisionRecord r;
  r.createdAt = now;
  r.author = CleanUtf8(author);
  r.kind = kind;
  r.examName = CleanUtf8(src.examName);
  r.examText = src.examText;
  r.formName = CleanUtf8(src.formName);
  r.formText = src.formText;
  r.rosterName = CleanUtf8(src.rosterName);
  r.rosterText = src.rosterText;
  return r;
}

}  // namespace

namespace {

// 128 random bits in hex: an exam's identity.
std::string NewUid() {
  std::random_device random;
  std::string out;
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t word = random();
    for (int b = 0; b < 8; ++b) out += kHex[(word >> (4 * b)) & 15];
  }
  return out;
}

// The identity of an exam made before exams kept one, from one of its
// revisions: the same for the exam and for a spool that copied it.
std::string TextsIdentity(const std::string& examName, const RevisionRecord& r) {
  std::string all = examName;
  for (const std::string* part : {&r.examText, &r.formText, &r.rosterText}) all += '\0' + *part;
  return "texts-" + Sha256Hex(reinterpret_cast<const std::uint8_t*>(all.data()), all.size());
}

}  // namespace

std::unique_ptr<Project> Project::Create(const std::string& location, const ExamSources& src,
                                         const std::string& examName, const std::string& author, bool add,
                                         const std::string& uid) {
  Validate(src);
  std::unique_ptr<Store> store = add ? OpenStore(location) : CreateStore(location);
  const Id exam = InTransaction(*store, [&] {
    const std::string now = NowUtc();
    const Id id = store->CreateExam(CleanUtf8(examName), now, uid.empty() ? NewUid() : uid);
    store->AddRevision(id, RevisionOf(src, author, "new", now));
    return id;
  });
  return std::make_unique<Project>(std::move(store), exam, examName);
}

std::unique_ptr<Project> Project::Open(const std::string& location, const std::string& examName,
                                       Access access) {
  std::unique_ptr<Store> store = OpenStore(location, access);
  const std::vector<ExamRecord> exams = store->Exams();
  std::string names;
  for (const ExamRecord& e : exams) {
    if (e.name == examName || (examName.empty() && exams.size() == 1)) {
      const std::string name = e.name;
      return std::make_unique<Project>(std::move(store), e.id, name);
    }
    names += (names.empty() ? "" : ", ") + e.name;
  }
  if (exams.empty()) throw Error(location + " holds no exam");
  if (examName.empty()) throw Error(location + " holds several exams (" + names + "): name one with --name");
  throw NotFoundError(location + " holds no exam named " + examName + " (it holds: " + names + ")");
}

Project::Project(std::unique_ptr<Store> store, Id exam, std::string examName)
    : store_(std::move(store)), examId_(exam), examName_(std::move(examName)) {
  Load();
  for (const ExamRecord& e : store_->Exams())
    if (e.id == examId_) uid_ = e.uid;
  if (!store_->Built(examId_)) {
    // Opened to read: built in a copy in memory, the file left as it is.
    if (store_->ReadOnly()) store_->CopyToMemory();
    Build();
  }
}

void Project::Build() {
  Write([&] {
    if (store_->Built(examId_)) return;  // another program built them meanwhile
    if (form_) Recognize(*form_, revision_.formText, revision_.formName);
    Retype();
    ScoreEverySheet(exam_, roster_, true);
    store_->MarkBuilt(examId_, NowUtc());
  });
}

void Project::Retype() {
  std::vector<std::pair<Id, std::vector<Response>>> typed;
  store_->ForEachSheet(examId_, false, [&](SheetRecord& s, std::vector<Response>&) {
    if (s.source != "typed") return;
    try {
      typed.emplace_back(s.id,
                         CleanResponses(TypedFactsOf(exam_, shape_, ParseTypedResult(s.result)).responses));
    } catch (const Error& e) {
      throw StoreError(store_->Location() + ", typed sheet " + std::to_string(s.number) + ": " + e.what());
    }
  });
  std::vector<std::pair<Id, const std::vector<Response>*>> rows;
  for (const auto& entry : typed) rows.emplace_back(entry.first, &entry.second);
  store_->PutResponses(rows);
}

std::string Project::Identity() {
  return uid_.empty() ? TextsIdentity(examName_, store_->Revision(examId_, 1)) : uid_;
}

bool Project::SameExam(Project& from) {
  const std::string theirs = from.Identity();
  if (theirs == Identity()) return true;
  if (!from.uid_.empty()) return false;
  for (const RevisionRecord& r : store_->Revisions(examId_))
    if (TextsIdentity(examName_, store_->Revision(examId_, r.revision)) == theirs) return true;
  return false;
}

template <class Work>
auto Project::Write(Work&& work) -> decltype(work()) {
  return InTransaction(
      *store_,
      [&]() -> decltype(work()) {
        // Another program may have stored a new revision (a rekey) since.
        if (store_->LockExam(examId_) != revision_.revision) Load();
        return work();
      },
      &retries_);
}

bool Project::Sync() {
  for (const ExamRecord& e : store_->Exams()) {
    if (e.id != examId_ || e.revision == revision_.revision) continue;
    Load();
    return true;
  }
  return false;
}

std::optional<SheetRecord> Project::FindSheetOrThrow(int sheet, bool withGrid) {
  std::optional<SheetRecord> found = store_->FindSheet(examId_, sheet, withGrid);
  if (!found)
    throw NotFoundError("there is no sheet " + std::to_string(sheet) + " (the project has " +
                        std::to_string(store_->SheetCount(examId_)) + ")");
  return found;
}

std::vector<SheetScore> Project::ScoreEverySheet(const Exam& exam, const Roster& roster, bool store,
                                                 std::string_view what) {
  ProgressMeter meter(progress_, what, progress_ ? store_->SheetCount(examId_) : 0);
  std::map<int, std::vector<CorrectionRecord>> corrections;
  for (CorrectionRecord& c : store_->Corrections(examId_, 0)) corrections[c.sheet].push_back(std::move(c));
  static const std::vector<CorrectionRecord> kNone;
  // A sheet's items are let go once its record is made: the reasons across
  // sheets need only IDs and grids, a comparison only totals. A million
  // sheets keep a record and a score of a few hundred bytes each. Candidates
  // of an exam in parts are combined from their items, so those stay.
  const bool keepItems = !exam.parts.empty();
  std::vector<SheetScore> scores;
  std::vector<ScoreRecord> records;
  std::vector<Id> ids;
  std::vector<std::string> hashes;
  store_->ForEachSheet(examId_, false, [&](SheetRecord& sheet, std::vector<Response>& responses) {
    const auto hit = corrections.find(sheet.number);
    SheetScore s = Evaluate(exam, sheet, responses, hit == corrections.end() ? kNone : hit->second);
    if (store) {
      records.push_back(ToRecord(s));
      ids.push_back(sheet.id);
    }
    if (!keepItems) std::vector<ItemScore>().swap(s.items);
    scores.push_back(std::move(s));
    hashes.push_back(std::move(sheet.gridHash));
    meter.Add();
  });
  ReviewAcross(exam, scores, &roster, hashes);
  meter.Finish();
  if (store) {
    std::vector<std::pair<Id, const ScoreRecord*>> rows;
    rows.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      records[i].reasons = scores[i].reasons;
      records[i].flagged = !scores[i].reasons.empty();
      rows.emplace_back(ids[i], &records[i]);
    }
    ProgressMeter saving(progress_, step::kSave, static_cast<std::int64_t>(rows.size()));
    store_->ReplaceScores(examId_, rows);
    saving.Finish();
  }
  return scores;
}

void Project::Load() {
  revision_ = store_->Revision(examId_, 0);
  ExamSources src{revision_.examName,
                  revision_.examText,
                  revision_.formName,
                  revision_.formText,
                  revision_.rosterName,
                  revision_.rosterText,
                  true,
                  true};
  try {
    Validated v = Validate(src);
    exam_ = std::move(v.exam);
    shape_ = std::move(v.shape);
    roster_ = std::move(v.roster);
    form_ = std::move(v.form);
  } catch (const Error& e) {
    throw StoreError("the exam stored in " + store_->Location() + " (revision " +
                     std::to_string(revision_.revision) + ") does not check: " + e.what());
  }
}

SheetScore Project::Evaluate(const SheetRecord& sheet, const std::vector<Response>& responses,
                             const std::vector<CorrectionRecord>& corrections) const {
  return Evaluate(exam_, sheet, responses, corrections);
}

namespace {

SheetFacts FactsOf(const SheetRecord& sheet, const std::vector<Response>& responses) {
  SheetFacts facts;
  facts.number = sheet.number;
  facts.code = sheet.code;
  facts.letter = sheet.letter;
  int most = 0;
  for (const Response& r : responses) most = std::max(most, r.question);
  facts.responses.resize(static_cast<std::size_t>(most));
  for (int q = 1; q <= most; ++q) facts.responses[static_cast<std::size_t>(q - 1)].question = q;
  for (const Response& r : responses)
    if (r.question >= 1) facts.responses[static_cast<std::size_t>(r.question - 1)] = r;
  return facts;
}

std::vector<Override> OverridesOf(const std::vector<CorrectionRecord>& corrections) {
  std::vector<Override> overrides;
  for (const CorrectionRecord& c : corrections) overrides.push_back({c.target, c.newValue});
  return overrides;
}

}  // namespace

SheetScore Project::Evaluate(const Exam& exam, const SheetRecord& sheet,
                             const std::vector<Response>& responses,
                             const std::vector<CorrectionRecord>& corrections) {
  return ScoreSheet(exam, FactsOf(sheet, responses), OverridesOf(corrections));
}

ScoreRecord Project::ToRecord(const SheetScore& s) const {
  ScoreRecord r;
  r.sheet = s.number;
  r.revision = revision_.revision;
  r.scored = s.scored;
  r.voided = s.voided;
  r.studentId = s.studentId;
  r.idState = IdStateName(s.idState);
  r.version = s.version;
  r.total = s.total;
  r.maximum = s.maximum;
  r.percent = s.percent;
  r.answers = JoinAnswers(s);
  r.points = JoinPoints(s);
  r.reasons = s.reasons;
  r.confidence = s.confidence;
  r.flagged = !s.reasons.empty();
  return r;
}

namespace {

struct Loaded {
  SheetRecord sheet;
  std::vector<Response> responses;
  std::vector<CorrectionRecord> corrections;
};

Loaded LoadSheet(Store& store, Id exam, int n) {
  std::optional<SheetRecord> sheet = store.FindSheet(exam, n, false);
  if (!sheet) throw NotFoundError("there is no sheet " + std::to_string(n));
  Loaded l{std::move(*sheet), {}, {}};
  l.responses = store.Responses(l.sheet.id);
  l.corrections = store.Corrections(exam, n);
  return l;
}

}  // namespace

std::vector<Peer> Project::PeersOf(const std::vector<int>& numbers) {
  std::vector<Peer> peers;
  for (const int n : numbers) {
    Peer p{n, "", "", false};
    // In parts the reasons need each one's part and version: scored again (a student has a few sheets).
    if (!exam_.parts.empty()) {
      const Loaded l = LoadSheet(*store_, examId_, n);
      const SheetScore s = Evaluate(l.sheet, l.responses, l.corrections);
      p.part = s.part;
      p.version = s.version;
      p.scored = s.scored;
    }
    peers.push_back(std::move(p));
  }
  return peers;
}

void Project::Across(SheetScore& score, const std::string& gridHash) {
  std::vector<int> sameId;
  std::vector<int> sameGrid;
  if (score.idState == IdState::kValid)
    for (const int n : store_->SheetsWithStudent(examId_, score.studentId))
      if (n != score.number) sameId.push_back(n);
  if (!gridHash.empty())
    for (const int n : store_->SheetsWithGrid(examId_, gridHash))
      if (n != score.number) sameGrid.push_back(n);
  AddAcrossReasons(exam_, score, &roster_, PeersOf(sameId), sameGrid);
}

void Project::RescoreWithOthers(const std::set<int>& numbers) {
  for (const int n : numbers) {
    const Loaded l = LoadSheet(*store_, examId_, n);
    SheetScore score = Evaluate(l.sheet, l.responses, l.corrections);
    Across(score, l.sheet.gridHash);
    store_->PutScore(l.sheet.id, ToRecord(score));
  }
}

void Project::Refresh(std::vector<int> numbers) {
  auto load = [&](int n) { return LoadSheet(*store_, examId_, n); };
  // The sheets that shared an ID with these before; then their new scores
  // without cross-sheet reasons, so the queries below see the new IDs.
  std::set<int> touched(numbers.begin(), numbers.end());
  for (const int n : numbers) {
    if (const std::optional<ScoreRecord> old = store_->Score(examId_, n); old && old->idState == "valid")
      for (const int m : store_->SheetsWithStudent(examId_, old->studentId)) touched.insert(m);
    const Loaded l = load(n);
    store_->PutScore(l.sheet.id, ToRecord(Evaluate(l.sheet, l.responses, l.corrections)));
    if (!l.sheet.gridHash.empty())
      for (const int m : store_->SheetsWithGrid(examId_, l.sheet.gridHash)) touched.insert(m);
  }
  for (const int n : numbers) {
    if (const std::optional<ScoreRecord> now = store_->Score(examId_, n); now && now->idState == "valid")
      for (const int m : store_->SheetsWithStudent(examId_, now->studentId)) touched.insert(m);
  }
  RescoreWithOthers(touched);
}

namespace {}  // namespace

// Grids decoded on every core: a form for each thread, since decodes with
// one form take turns.
class Project::Decoders {
 public:
  Decoders(const RecognitionForm& form, const std::string& text, const std::string& name) : first_(form) {
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    for (unsigned i = 1; i < cores; ++i) more_.push_back(std::make_unique<RecognitionForm>(text, name));
  }

  // The sheets' grids decoded (none for a sheet without one); throws Error
  // naming (after `where`) the first sheet whose grid does not decode.
  std::vector<std::optional<DecodedSheet>> Decode(const std::vector<SheetRecord>& sheets,
                                                  const std::string& where) const {
    std::vector<std::optional<DecodedSheet>> out(sheets.size());
    std::vector<std::string> errors(sheets.size());
    // A handful of sheets is not worth a thread.
    const std::size_t workers = sheets.size() < 16 ? 1 : more_.size() + 1;
    const auto work = [&](std::size_t w) {
      const RecognitionForm& form = w ? *more_[w - 1] : first_;
      for (std::size_t i = w; i < sheets.size(); i += workers) {
        const SheetRecord& s = sheets[i];
        if (s.grid.empty()) continue;
        SheetGrid grid;
        if (!ExpandGrid(s.lines, s.columns, s.grid, grid, errors[i])) continue;
        try {
          out[i] = form.Decode(grid);
        } catch (const std::exception& e) {
          errors[i] = e.what();
        }
      }
    };
    std::vector<std::thread> threads;
    for (std::size_t w = 1; w < workers; ++w) threads.emplace_back(work, w);
    work(0);
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < sheets.size(); ++i)
      if (!errors[i].empty())
        throw Error(where + "sheet " + std::to_string(sheets[i].number) + ": " + errors[i]);
    return out;
  }

 private:
  const RecognitionForm& first_;
  std::vector<std::unique_ptr<RecognitionForm>> more_;
};

namespace {

// What a station hands over, as the store keeps it: the sheet and its responses.
void MakeRecord(const SheetInput& input, SheetRecord& rec, std::vector<Response>& responses) {
  rec.station = CleanUtf8(input.station);
  rec.batch = input.batch;
  rec.readAt = input.readAt.empty() ? NowUtc(true) : input.readAt;
  rec.source = input.source;
  rec.origin = CleanUtf8(input.origin);
  rec.serial = VisibleAscii(input.serial);
  rec.firmware = VisibleAscii(input.firmware);
  rec.author = CleanUtf8(input.author);
  rec.code = input.code;
  responses.clear();
  if (input.source == "typed") {
    responses = CleanResponses(input.decoded.responses);
    rec.letter = CleanLetter(input.decoded.letter);
    rec.result = input.decoded.result;
  } else if (input.hasGrid) {
    const DecodedSheet& d = input.decoded;
    responses = CleanResponses(d.responses);
    std::string error;
    if (!ValidGrid(d.grid, error)) throw Error("sheet grid: " + error);
    // The reader's verdict stands; a grid the recognition refuses is not read either.
    if (rec.code == 0) rec.code = d.code;
    rec.letter = CleanLetter(d.letter);
    if (rec.code == 0) rec.result = d.result;
    rec.lines = d.grid.lines;
    rec.columns = d.grid.columns;
    rec.grid = CompressGrid(d.grid);
    rec.gridHash = GridHash(d.grid);
  }
}

}  // namespace

AddedSheet Project::AddSheet(const SheetInput& input) {
  SheetRecord rec;
  std::vector<Response> responses;
  MakeRecord(input, rec, responses);
  return Write([&] {
    AddedSheet added;
    if (input.once) {
      if (const std::optional<int> n = store_->FindReading(examId_, rec.station, rec.readAt, rec.gridHash)) {
        added.presentAs = *n;
        return added;
      }
    }
    store_->AddSheet(examId_, rec);
    if (!responses.empty()) store_->PutResponses(rec.id, responses);
    // A new sheet has no corrections and no stored score yet: it is scored
    // here, and only the sheets it shares an ID or a grid with are read
    // again (Refresh would read it back: a station's cost a sheet counts).
    // Asked under the exam's lock, so a station storing the same grid or ID
    // at the same moment is seen by one of the two.
    added.score = Evaluate(rec, responses, {});
    std::vector<int> sameId;
    if (!rec.gridHash.empty())
      for (const int n : store_->SheetsWithGrid(examId_, rec.gridHash))
        if (n != rec.number) added.duplicateGridOf.push_back(n);
    if (added.score.idState == IdState::kValid)
      sameId = store_->SheetsWithStudent(examId_, added.score.studentId);
    AddAcrossReasons(exam_, added.score, &roster_, PeersOf(sameId), added.duplicateGridOf);
    store_->PutScore(rec.id, ToRecord(added.score));
    std::set<int> others(sameId.begin(), sameId.end());
    others.insert(added.duplicateGridOf.begin(), added.duplicateGridOf.end());
    RescoreWithOthers(others);
    added.number = rec.number;
    added.stationNumber = rec.stationNumber;
    return added;
  });
}

AddedSheet Project::AddTyped(const TypedSheet& typed) {
  if (const std::string problem = NameProblem(typed.author); !problem.empty())
    throw Error("say who typed the sheet: " + problem);
  TypedFacts facts = TypedFactsOf(exam_, shape_, typed);
  SheetInput input;
  input.station = typed.station.empty() ? "typed" : typed.station;
  input.source = "typed";
  input.author = typed.author;
  input.decoded.responses = std::move(facts.responses);
  input.decoded.letter = facts.letter;
  input.decoded.result = std::move(facts.result);
  return AddSheet(input);
}

AddedSheet Project::Spool(const std::string& path, const SheetInput& input) {
  if (IsServerLocation(path)) throw Error("a spool is a file: " + path);
  const ExamSources src{revision_.examName,
                        revision_.examText,
                        revision_.formName,
                        revision_.formText,
                        revision_.rosterName,
                        revision_.rosterText,
                        true,
                        true};
  auto spool = Create(path, src, examName_, revision_.author, false, Identity());
  SheetInput kept = input;
  kept.batch = 0;  // the batch is the lost database's
  return spool->AddSheet(kept);
}

ImportReport Project::ImportSheets(Project& from,
                                   const std::function<void(const AddedSheet&, const SheetRecord&)>& each,
                                   bool asThisExam, std::size_t batchSize) {
  if (from.revisionRecord().formText != revision_.formText)
    throw Error("the sheets of " + from.store().Location() + " were read with another form than the exam \"" +
                examName_ + "\" of " + store_->Location() + "; they cannot be brought in");
  if (!asThisExam && !SameExam(from)) {
    std::string made;
    for (const ExamRecord& e : from.store().Exams())
      if (e.id == from.examId()) made = e.createdAt;
    throw Error(from.store().Location() + " holds the exam \"" + from.examName() + "\" made " + made +
                ", not the exam \"" + examName_ + "\" of " + store_->Location() +
                (from.revisionRecord().examText == revision_.examText
                     ? " (it was made from the same exam file, on its own)"
                     : " (its keys and scoring differ)") +
                ": its sheets would be scored with this exam's keys. If they are sheets of this exam (an "
                "offline station's project made with exam new), bring them in with --as-this-exam; give "
                "a station a copy of the project (omrctl exam backup) to read into, and its sheets come "
                "in without it");
  }
  const Decoders decoders(*form_, revision_.formText, revision_.formName);
  ImportReport report;
  ProgressMeter meter(progress_, step::kImport, progress_ ? from.store().SheetCount(from.examId()) : 0);
  std::vector<SheetRecord> batch;
  from.store().ForEachSheet(from.examId(), true, [&](SheetRecord& sheet, std::vector<Response>&) {
    batch.push_back(std::move(sheet));
    if (batch.size() < std::max<std::size_t>(batchSize, 1)) return;
    ImportBatch(decoders, from.store().Location(), batch, report, each);
    meter.Add(static_cast<std::int64_t>(batch.size()));
    batch.clear();
  });
  ImportBatch(decoders, from.store().Location(), batch, report, each);
  meter.Finish();
  return report;
}

void Project::ImportBatch(const Decoders& decoders, const std::string& origin,
                          const std::vector<SheetRecord>& sheets, ImportReport& report,
                          const std::function<void(const AddedSheet&, const SheetRecord&)>& each) {
  const std::size_t n = sheets.size();
  if (n == 0) return;
  // Decoded outside the transaction: the recognition needs no lock.
  const std::vector<std::optional<DecodedSheet>> decoded = decoders.Decode(sheets, origin + ", ");
  std::vector<SheetRecord> recs(n);
  std::vector<std::vector<Response>> responses(n);
  for (std::size_t i = 0; i < n; ++i) {
    const SheetRecord& s = sheets[i];
    SheetInput input;
    input.station = s.station;
    input.source = "import";
    input.origin = origin + " sheet " + std::to_string(s.number);
    input.serial = s.serial;
    input.firmware = s.firmware;
    input.readAt = s.readAt;
    input.once = true;
    if (s.source == "typed") {
      // What was typed is the fact: its responses are made again here.
      TypedFacts facts;
      try {
        facts = TypedFactsOf(exam_, shape_, ParseTypedResult(s.result));
      } catch (const Error& e) {
        throw Error(origin + ", typed sheet " + std::to_string(s.number) + ": " + e.what());
      }
      input.source = "typed";
      input.author = s.author;
      input.origin.clear();
      input.decoded.responses = std::move(facts.responses);
      input.decoded.letter = facts.letter;
      input.decoded.result = std::move(facts.result);
    }
    // Only recognition verdicts come from the grid; the reader's own stand.
    input.code = s.grid.empty() || !(s.code == 0 || IsRecognitionCode(s.code)) ? s.code : 0;
    if (decoded[i]) {
      input.decoded = *decoded[i];
      input.hasGrid = true;
    }
    MakeRecord(input, recs[i], responses[i]);
  }
  std::vector<AddedSheet> added;
  Write([&] {
    added.assign(n, AddedSheet{});
    // Readings the exam has already (a spool brought in twice, a sheet the
    // server committed before the connection broke), and grids read before.
    std::vector<std::string> hashes;
    for (const SheetRecord& r : recs)
      if (!r.gridHash.empty()) hashes.push_back(r.gridHash);
    std::sort(hashes.begin(), hashes.end());
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
    const std::vector<SheetKey> stored = store_->SheetsWithGrids(examId_, hashes);
    std::map<std::string, std::vector<int>> storedGrids;  // not void
    for (const SheetKey& k : stored)
      if (!k.voided) storedGrids[k.gridHash].push_back(k.number);
    std::map<std::tuple<std::string, std::string, std::string>, std::size_t>
        first;  // a reading's first in the batch
    std::vector<std::size_t> adding;
    std::vector<std::pair<std::size_t, std::size_t>>
        again;  // (sheet, the earlier one of the batch it repeats)
    for (std::size_t i = 0; i < n; ++i) {
      const SheetRecord& r = recs[i];
      if (r.gridHash.empty()) {
        if (const std::optional<int> m = store_->FindReading(examId_, r.station, r.readAt, r.gridHash))
          added[i].presentAs = *m;
      } else {
        for (const SheetKey& k : stored)
          if (k.gridHash == r.gridHash && k.station == r.station && k.readAt == r.readAt &&
              (!added[i].presentAs || k.number < added[i].presentAs))
            added[i].presentAs = k.number;
      }
      if (added[i].presentAs) continue;
      const auto [hit, fresh] = first.try_emplace({r.station, r.readAt, r.gridHash}, i);
      if (!fresh) {
        again.emplace_back(i, hit->second);
        continue;
      }
      adding.push_back(i);
    }
    std::vector<SheetRecord> rows;
    rows.reserve(adding.size());
    for (const std::size_t i : adding) rows.push_back(recs[i]);
    store_->AddSheets(examId_, rows);
    std::vector<std::pair<Id, const std::vector<Response>*>> read;
    for (std::size_t j = 0; j < adding.size(); ++j) {
      added[adding[j]].number = rows[j].number;
      added[adding[j]].stationNumber = rows[j].stationNumber;
      if (!responses[adding[j]].empty()) read.emplace_back(rows[j].id, &responses[adding[j]]);
    }
    for (const auto& [i, earlier] : again) added[i].presentAs = added[earlier].number;
    store_->PutResponses(read);

    // Scores, with the reasons the new sheets share with stored ones and with
    // each other; the stored ones they share an ID or a grid with are scored
    // again after.
    std::vector<SheetScore> scores(adding.size());
    std::vector<std::string> students;
    std::map<std::string, std::vector<std::size_t>> byGrid;
    std::map<std::string, std::vector<std::size_t>> byStudent;
    for (std::size_t j = 0; j < adding.size(); ++j) {
      scores[j] = Evaluate(rows[j], responses[adding[j]], {});
      if (!rows[j].gridHash.empty()) byGrid[rows[j].gridHash].push_back(j);
      if (scores[j].idState == IdState::kValid) {
        students.push_back(scores[j].studentId);
        byStudent[scores[j].studentId].push_back(j);
      }
    }
    std::sort(students.begin(), students.end());
    students.erase(std::unique(students.begin(), students.end()), students.end());
    std::map<std::string, std::vector<int>> storedStudents;
    for (const auto& [id, number] : store_->SheetsWithStudents(examId_, students))
      storedStudents[id].push_back(number);
    std::set<int> touched;
    std::vector<ScoreRecord> records(adding.size());
    std::vector<std::pair<Id, const ScoreRecord*>> put;
    for (std::size_t j = 0; j < adding.size(); ++j) {
      AddedSheet& a = added[adding[j]];
      const auto others = [&](const std::vector<int>& before, const std::vector<std::size_t>& batch,
                              bool earlier) {
        std::vector<int> out = before;
        for (const std::size_t k : batch)
          if (k != j && (!earlier || k < j)) out.push_back(rows[k].number);
        std::sort(out.begin(), out.end());
        return out;
      };
      std::vector<int> sameGrid;
      if (!rows[j].gridHash.empty()) {
        const std::vector<int>& before = storedGrids[rows[j].gridHash];
        touched.insert(before.begin(), before.end());
        a.duplicateGridOf = others(before, byGrid[rows[j].gridHash], true);
        sameGrid = others(before, byGrid[rows[j].gridHash], false);
      }
      std::vector<int> sameId;
      if (scores[j].idState == IdState::kValid) {
        const std::vector<int>& before = storedStudents[scores[j].studentId];
        touched.insert(before.begin(), before.end());
        sameId = others(before, byStudent[scores[j].studentId], false);
      }
      AddAcrossReasons(scores[j], &roster_, sameId, sameGrid);
      a.score = scores[j];
      records[j] = ToRecord(scores[j]);
      put.emplace_back(rows[j].id, &records[j]);
    }
    store_->PutScores(examId_, put);
    RescoreWithOthers(touched);
  });
  for (std::size_t i = 0; i < n; ++i) {
    if (added[i].number == 0) {
      ++report.present;
    } else {
      ++report.added;
      if (!added[i].duplicateGridOf.empty()) ++report.duplicates;
    }
    if (each) each(added[i], sheets[i]);
  }
}

Id Project::BeginBatch(const std::string& station) {
  return Write([&] { return store_->BeginBatch(examId_, station, NowUtc()); });
}

void Project::EndBatch(Id batch, const std::string& outcome) {
  Write([&] { store_->EndBatch(batch, NowUtc(), outcome); });
}

namespace {

void CheckAuthorAndReason(const std::string& author, const std::string& reason) {
  if (const std::string problem = NameProblem(author); !problem.empty())
    throw Error(author.empty() || author.size() > kMaxName ? "say who corrects: " + problem + " (--by NAME)"
                                                           : problem);
  if (reason.size() > kMaxReason)
    throw Error("the reason is longer than " + std::to_string(kMaxReason) + " bytes");
  if (reason.find('\0') != std::string::npos) throw Error("a NUL byte in the reason");
}

}  // namespace

CorrectionRecord Project::Correct(int sheet, const std::string& target,
                                  const std::optional<std::string>& value, const std::string& author,
                                  const std::string& reason) {
  CheckAuthorAndReason(author, reason);
  if (value && value->size() > kMaxValue)
    throw Error("the answer is longer than " + std::to_string(kMaxValue) + " bytes");

  // Write() scores with the exam as it is now, whoever changed it.
  return Write([&] {
    const std::optional<SheetRecord> found = FindSheetOrThrow(sheet, false);
    const std::vector<CorrectionRecord> earlier = store_->Corrections(examId_, sheet);
    std::optional<std::string> current;  // the value that counts now, when a correction set it
    for (const CorrectionRecord& c : earlier)
      if (c.target == target) current = c.newValue;

    CorrectionRecord rec;
    rec.sheet = sheet;
    rec.target = target;
    rec.author = CleanUtf8(author);
    rec.reason = CleanUtf8(reason);
    rec.madeAt = NowUtc();
    const std::vector<Response> responses = store_->Responses(found->id);
    auto reading = [&](int q) -> const Response* {
      for (const Response& r : responses)
        if (r.question == q) return &r;
      return nullptr;
    };
    const std::optional<ScoreRecord> score = store_->Score(examId_, sheet);

    if (target == "id") {
      if (exam_.studentQuestions.empty()) throw Error("the exam has no student ID");
      if (value && (value->empty() ||
                    !std::all_of(value->begin(), value->end(), [](char c) { return c > 0x20 && c < 0x7F; })))
        throw Error("a student ID is visible ASCII characters without blanks");
      std::string why;
      if (value && !exam_.CheckStudentId(*value, why)) throw Error(why);
      rec.oldValue =
          current ? current : (score ? std::optional<std::string>(score->studentId) : std::nullopt);
      rec.newValue = value;
    } else if (target == "version") {
      if (exam_.keys.size() < 2) throw Error("the exam has one version only");
      if (value && !exam_.FindKey(*value)) {
        std::string names;
        for (const VersionKey& k : exam_.keys) names += (names.empty() ? "" : ", ") + k.name;
        throw Error("there is no version " + *value + " (the versions: " + names + ")");
      }
      rec.oldValue = current ? current : (score ? std::optional<std::string>(score->version) : std::nullopt);
      rec.newValue = value;
    } else if (target == "sheet") {
      if (value && *value != "void" && *value != "keep")
        throw Error(
            "a sheet is corrected to \"void\" (not counted) or \"keep\" (its duplicates and unknown ID "
            "accepted)");
      rec.oldValue = current;
      rec.newValue = value;
    } else {
      int q = 0;
      const auto r = std::from_chars(target.data(), target.data() + target.size(), q);
      if (r.ec != std::errc() || r.ptr != target.data() + target.size() || q < 1)
        throw Error("\"" + target + "\" is not a question number, id, version or sheet");
      // In parts: the items of the sheet's own part (when it can be told).
      const std::string part = exam_.parts.empty() ? "" : Evaluate(*found, responses, earlier).part;
      const std::string role = exam_.RoleOf(q, part);
      if (role.empty())
        throw Error("question " + std::to_string(q) +
                    " is not used by the exam (not the student ID, the version" +
                    (exam_.partSource == PartSource::kQuestion ? ", the part" : "") + " or an item" +
                    (part.empty() ? std::string() : " of part " + part) + ")");
      const Response* read = reading(q);
      // The options of the question on the layout the sheet was read with.
      const LayoutShape* layout = &shape_.layouts.front();
      for (const LayoutShape& l : shape_.layouts)
        if (found->letter && l.letter == found->letter) layout = &l;
      if (q > static_cast<int>(layout->questions.size()))
        throw Error("question " + std::to_string(q) + " is not on this sheet's layout");
      const std::string& options = layout->questions[static_cast<std::size_t>(q - 1)].options;
      if (role == "item") {
        if (value) {
          std::string labels;
          if (!NormalizeLabels(options, *value, labels))
            throw Error("\"" + *value + "\" is not a set of options of question " + std::to_string(q) +
                        " (its options: " + options + "; \"-\" for blank)");
          rec.newValue = labels;
        }
        rec.oldValue = current ? current : (read ? std::optional<std::string>(read->marked) : std::nullopt);
      } else {
        if (value && (value->size() != 1 || !((*value)[0] > 0x20 && (*value)[0] < 0x7F)))
          throw Error("question " + std::to_string(q) + " (the " + role + ") is corrected to one character");
        if (value && role == "part" && exam_.FindPart(*value) < 0) {
          std::string names;
          for (const SheetPart& p : exam_.parts) names += (names.empty() ? "" : ", ") + p.name;
          throw Error("question " + std::to_string(q) + " (the part) is corrected to a part: " + names);
        }
        if (value && role == "student") {
          const auto at = std::find(exam_.studentQuestions.begin(), exam_.studentQuestions.end(), q);
          const std::string& codable =
              exam_.idCharacters[static_cast<std::size_t>(at - exam_.studentQuestions.begin())];
          if (codable.find((*value)[0]) == std::string::npos)
            throw Error("question " + std::to_string(q) + " (position " +
                        std::to_string(at - exam_.studentQuestions.begin() + 1) +
                        " of the student ID) codes " + codable + ", not \"" + *value + "\"");
        }
        rec.newValue = value;
        rec.oldValue =
            current ? current
                    : (read ? std::optional<std::string>(std::string(1, static_cast<char>(read->character)))
                            : std::nullopt);
      }
    }
    if (!value) {
      bool any = false;
      for (const CorrectionRecord& c : earlier) any = any || c.target == target;
      if (!any)
        throw Error("sheet " + std::to_string(sheet) + " has no correction of " + target + " to withdraw");
    }
    store_->AddCorrection(examId_, rec);
    Refresh({sheet});
    return rec;
  });
}

ClaimRecord Project::Claim(int sheet, const std::string& by, int seconds) {
  CheckAuthorAndReason(by, "");
  if (seconds < kMinHold || seconds > kMaxHold)
    throw Error("a claim lasts " + std::to_string(kMinHold) + " to " + std::to_string(kMaxHold) +
                " seconds, not " + std::to_string(seconds));
  const std::string holder = CleanUtf8(by);
  return InTransaction(
      *store_,
      [&] {
        FindSheetOrThrow(sheet, false);
        return store_->Claim(examId_, sheet, holder, seconds);
      },
      &retries_);
}

void Project::Release(int sheet, const std::string& by) {
  CheckAuthorAndReason(by, "");
  const std::string holder = CleanUtf8(by);
  InTransaction(
      *store_,
      [&] {
        FindSheetOrThrow(sheet, false);
        store_->Release(examId_, sheet, holder);
      },
      &retries_);
}

std::vector<ClaimRecord> Project::Claims() {
  return store_->Claims(examId_);
}

CorrectionRecord Project::Undo(int sheet, Id id, const std::string& author, const std::string& reason) {
  CheckAuthorAndReason(author, reason);
  return Write([&] {
    FindSheetOrThrow(sheet, false);
    const std::vector<CorrectionRecord> all = store_->Corrections(examId_, sheet);
    const auto undone =
        std::find_if(all.begin(), all.end(), [&](const CorrectionRecord& c) { return c.id == id; });
    if (undone == all.end())
      throw Error("sheet " + std::to_string(sheet) + " has no correction " + std::to_string(id));
    if (undone->undoes)
      throw Error("correction " + std::to_string(id) + " is an undo itself: correct " + undone->target +
                  " again instead");
    std::optional<std::string> before;  // what counted before it: none is the reading
    for (auto c = all.begin(); c != undone; ++c)
      if (c->target == undone->target) before = c->newValue;
    // Later corrections of the target must all be undone (with their undos).
    std::set<Id> cancelled;
    for (auto c = undone + 1; c != all.end(); ++c) {
      if (c->undoes == id)
        throw Error("correction " + std::to_string(id) + " was undone already (by " + c->author + ")");
      if (c->undoes) cancelled.insert({c->id, c->undoes});
    }
    for (auto c = undone + 1; c != all.end(); ++c)
      if (c->target == undone->target && !cancelled.count(c->id))
        throw Error("correction " + std::to_string(id) + " of " + undone->target + " was followed by " +
                    std::to_string(c->id) + " (by " + c->author +
                    "): undo that one first, or correct it again");
    CorrectionRecord rec;
    rec.sheet = sheet;
    rec.target = undone->target;
    rec.oldValue = undone->newValue;
    rec.newValue = before;
    rec.author = CleanUtf8(author);
    rec.reason = CleanUtf8(reason);
    rec.madeAt = NowUtc();
    rec.undoes = id;
    store_->AddCorrection(examId_, rec);
    Refresh({sheet});
    return rec;
  });
}

SheetDetail Project::Detail(int sheet) {
  Sync();
  std::optional<SheetRecord> found = FindSheetOrThrow(sheet, true);
  SheetDetail d;
  if (!found->grid.empty()) {
    std::string error;
    if (!ExpandGrid(found->lines, found->columns, found->grid, d.grid, error))
      throw StoreError("sheet " + std::to_string(sheet) + " is stored damaged: " + error);
    d.questions = form_->Cells(d.grid);
  }
  found->grid.clear();
  d.sheet = std::move(*found);
  d.responses = store_->Responses(d.sheet.id);
  d.corrections = store_->Corrections(examId_, sheet);
  d.score = Evaluate(d.sheet, d.responses, d.corrections);
  Across(d.score, d.sheet.gridHash);
  return d;
}

std::vector<SheetScore> Project::ScoreAll(std::vector<SheetRecord>* sheets) {
  return ScoreAllWith(exam_, roster_, sheets);
}

std::vector<SheetScore> Project::ScoreAllWith(const Exam& exam, const Roster& roster,
                                              std::vector<SheetRecord>* sheets, std::string_view what) {
  ProgressMeter meter(progress_, what, progress_ ? store_->SheetCount(examId_) : 0);
  std::map<int, std::vector<CorrectionRecord>> corrections;
  for (CorrectionRecord& c : store_->Corrections(examId_, 0)) corrections[c.sheet].push_back(std::move(c));
  static const std::vector<CorrectionRecord> kNone;
  std::vector<SheetScore> scores;
  std::vector<std::string> hashes;
  store_->ForEachSheet(examId_, false, [&](SheetRecord& sheet, std::vector<Response>& responses) {
    const auto hit = corrections.find(sheet.number);
    scores.push_back(Evaluate(exam, sheet, responses, hit == corrections.end() ? kNone : hit->second));
    hashes.push_back(sheet.gridHash);
    if (sheets) sheets->push_back(std::move(sheet));
    meter.Add();
  });
  ReviewAcross(exam, scores, &roster, hashes);
  meter.Finish();
  return scores;
}

Project::ScoringInputs Project::ReadScoringInputs() {
  ProgressMeter meter(progress_, step::kScore, progress_ ? store_->SheetCount(examId_) : 0);
  std::map<int, std::vector<CorrectionRecord>> corrections;
  for (CorrectionRecord& c : store_->Corrections(examId_, 0)) corrections[c.sheet].push_back(std::move(c));
  ScoringInputs in;
  store_->ForEachSheet(examId_, false, [&](SheetRecord& sheet, std::vector<Response>& responses) {
    const auto hit = corrections.find(sheet.number);
    in.facts.push_back(FactsOf(sheet, responses));
    in.overrides.push_back(hit == corrections.end() ? std::vector<Override>{} : OverridesOf(hit->second));
    in.sheets.push_back(std::move(sheet));
    meter.Add();
  });
  meter.Finish();
  return in;
}

namespace {

// Scoring is a pure function: a large exam is scored in two halves at once.
std::vector<SheetScore> ScoreWith(const Exam& exam, const Roster& roster, const Project::ScoringInputs& in) {
  const std::size_t n = in.facts.size();
  std::vector<SheetScore> scores(n);
  auto part = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) scores[i] = ScoreSheet(exam, in.facts[i], in.overrides[i]);
  };
  if (n >= 2000 && std::thread::hardware_concurrency() > 1) {
    std::exception_ptr failed;
    std::thread other([&] {
      try {
        part(0, n / 2);
      } catch (...) {
        failed = std::current_exception();
      }
    });
    try {
      part(n / 2, n);
    } catch (...) {
      other.join();
      throw;
    }
    other.join();
    if (failed) std::rethrow_exception(failed);
  } else {
    part(0, n);
  }
  std::vector<std::string> hashes;
  for (const SheetRecord& s : in.sheets) hashes.push_back(s.gridHash);
  ReviewAcross(exam, scores, &roster, hashes);
  return scores;
}

// What a new exam changes: candidate by candidate (for an exam of one sheet,
// sheet by sheet).
RekeyReport CompareCandidates(const Exam& was, std::vector<SheetScore> before, const Exam& now,
                              std::vector<SheetScore> after, const Roster& roster) {
  return CompareScores(CombineSheets(was, std::move(before)), CombineSheets(now, std::move(after)), roster);
}

}  // namespace

std::vector<SheetScore> Project::ScoreInputs(const ScoringInputs& inputs) const {
  return ScoreWith(exam_, roster_, inputs);
}

RekeyReport Project::PreviewRekey(const ItemChange& change, const ScoringInputs& inputs,
                                  const std::vector<SheetScore>& before) const {
  const Validated v = Validate(ItemChangeSources(change));
  RekeyReport report =
      CompareCandidates(exam_, before, v.exam, ScoreWith(v.exam, v.roster, inputs), v.roster);
  report.note = change.Describe();
  return report;
}

int Project::RescoreAll() {
  return Write(
      [&] { return static_cast<int>(ScoreEverySheet(exam_, roster_, true, step::kRescore).size()); });
}

RekeyReport Project::Rekey(const std::string& examPath, const std::string& author, bool dryRun,
                           const std::string& rosterEncoding) {
  ExamSources src = ReadExamSources(examPath, &revision_.formText, rosterEncoding);
  return Replace(
      [&] {
        src.formName = revision_.formName;
        src.formText = revision_.formText;
        return src;
      },
      author, "", dryRun);
}

RekeyReport Project::Rekey(const ItemChange& change, const std::string& author, bool dryRun) {
  // Made from the revision that is current under the exam's lock: a rekey
  // made elsewhere meanwhile is kept, not overwritten.
  return Replace([&] { return ItemChangeSources(change); }, author, change.Describe(), dryRun);
}

ExamSources Project::ItemChangeSources(const ItemChange& change) const {
  ExamSources src{revision_.examName,
                  ApplyItemChange(revision_.examText, exam_, shape_, change),
                  revision_.formName,
                  revision_.formText,
                  revision_.rosterName,
                  revision_.rosterText,
                  false,
                  true};
  if (src.examText == revision_.examText)
    throw Error(change.Describe() + " is what the exam has already: nothing changes");
  return src;
}

RekeyReport Project::Replace(const std::function<ExamSources()>& make, const std::string& author,
                             const std::string& note, bool dryRun) {
  if (dryRun) {
    Sync();
    const Validated v = Validate(make());
    RekeyReport report = CompareCandidates(exam_, ScoreEverySheet(exam_, roster_, false), v.exam,
                                           ScoreEverySheet(v.exam, v.roster, false), v.roster);
    report.note = note;
    return report;
  }
  RekeyReport report = Write([&] {
    const ExamSources src = make();
    const Validated v = Validate(src);
    RevisionRecord r;
    r.createdAt = NowUtc();
    r.author = CleanUtf8(author);
    r.kind = "rekey";
    r.examName = CleanUtf8(src.examName);
    r.examText = src.examText;
    r.formName = src.formName;
    r.formText = src.formText;
    r.rosterName = CleanUtf8(src.rosterName);
    r.rosterText = src.rosterText;
    r.note = CleanUtf8(note);
    std::vector<SheetScore> before = ScoreEverySheet(exam_, roster_, false);
    const Exam was = exam_;
    r.revision = store_->AddRevision(examId_, r);
    // Copies: an attempt run again starts from the loaded exam.
    revision_ = r;
    exam_ = v.exam;
    roster_ = v.roster;
    std::vector<SheetScore> after = ScoreEverySheet(exam_, roster_, true, step::kRescore);
    RekeyReport changes = CompareCandidates(was, std::move(before), exam_, std::move(after), roster_);
    changes.revision = r.revision;
    changes.note = note;
    return changes;
  });
  Load();
  return report;
}

RescanReport Project::Recognize(const RecognitionForm& form, const std::string& text,
                                const std::string& name) {
  const Decoders decoders(form, text, name);
  ProgressMeter meter(progress_, step::kRescan, progress_ ? store_->SheetCount(examId_) : 0);
  RescanReport counts;
  std::vector<SheetRecord> chunk;
  std::vector<std::vector<Response>> before;
  const auto recognize = [&] {
    const std::vector<std::optional<DecodedSheet>> decoded = decoders.Decode(chunk, "");
    std::vector<std::pair<Id, const std::vector<Response>*>> rows;
    std::vector<std::vector<Response>> fresh(chunk.size());
    std::vector<RecognitionRecord> recognitions;
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      const SheetRecord& sheet = chunk[i];
      if (!decoded[i]) {
        ++counts.noGrid;
        continue;
      }
      const DecodedSheet& d = *decoded[i];
      const std::vector<Response>& old = before[i];
      ++counts.sheets;
      // Only recognition verdicts come from the grid; the reader's own stand.
      const int code = sheet.code == 0 || IsRecognitionCode(sheet.code) ? d.code : sheet.code;
      fresh[i] = CleanResponses(d.responses);
      bool changed = code != sheet.code || fresh[i].size() != old.size();
      for (std::size_t q = 0; !changed && q < old.size(); ++q)
        changed = old[q].marked != fresh[i][q].marked || old[q].character != fresh[i][q].character ||
                  old[q].doubtful != fresh[i][q].doubtful;
      if (changed) ++counts.changed;
      const char letter = CleanLetter(d.letter);
      const std::string result = code == 0 ? d.result : std::string();
      if (code != sheet.code || letter != sheet.letter || result != sheet.result)
        recognitions.push_back({sheet.id, code, letter, result});
      // Rows the same to the last bit need no writing.
      bool same = fresh[i].size() == old.size();
      for (std::size_t q = 0; same && q < old.size(); ++q)
        same = old[q].marked == fresh[i][q].marked && old[q].character == fresh[i][q].character &&
               old[q].doubtful == fresh[i][q].doubtful && old[q].confidence == fresh[i][q].confidence;
      if (!same) rows.emplace_back(sheet.id, &fresh[i]);
    }
    store_->PutResponses(rows);
    store_->PutRecognitions(recognitions);
    meter.Add(static_cast<std::int64_t>(chunk.size()));
    chunk.clear();
    before.clear();
  };
  store_->ForEachSheet(examId_, true, [&](SheetRecord& sheet, std::vector<Response>& old) {
    chunk.push_back(std::move(sheet));
    before.push_back(std::move(old));
    if (chunk.size() >= 1000) recognize();
  });
  recognize();
  meter.Finish();
  return counts;
}

RescanReport Project::Rescan(const std::string* formPath, const std::string& author) {
  std::unique_ptr<RecognitionForm> newForm;
  RevisionRecord next = revision_;
  if (formPath) {
    std::string text;
    std::string error;
    if (!ReadBounded(*formPath, kMaxFormFile, text, error))
      throw Error("cannot read the form file " + *formPath + ": " + error);
    ExamSources src{revision_.examName,   revision_.examText,   *formPath, text,
                    revision_.rosterName, revision_.rosterText, true,      true};
    Validated v = Validate(src);  // the exam must still fit the new form
    next.formName = CleanUtf8(*formPath);
    next.formText = text;
    newForm = std::move(v.form);
  }
  const RescanReport report = Write([&] {
    const RecognitionForm& form = newForm ? *newForm : *form_;
    if (formPath) {
      next.createdAt = NowUtc();
      next.author = CleanUtf8(author);
      next.kind = "rescan";
      next.note = "";
      next.revision = store_->AddRevision(examId_, next);
    }
    const RescanReport counts = Recognize(form, formPath ? next.formText : revision_.formText, next.formName);
    if (formPath) revision_ = next;
    ScoreEverySheet(exam_, roster_, true, step::kRescore);
    return counts;
  });
  if (formPath) {
    form_ = std::move(newForm);
    shape_ = form_->Shape();
  }
  return report;
}

ExamStatus Project::Status() {
  ExamStatus s;
  s.exam = examName_;
  s.revision = revision_.revision;
  s.sheets = store_->SheetCount(examId_);
  s.typed = store_->SheetCount(examId_, "typed");
  const ScoreCounts counts = store_->CountScores(examId_);
  s.voided = counts.voided;
  s.scored = counts.scored;
  s.students = counts.students;
  s.waiting = counts.waiting;
  s.byReason = counts.byReason;
  const auto count = [&](const char* code) {
    const auto hit = counts.byReason.find(code);
    return hit == counts.byReason.end() ? 0 : hit->second;
  };
  // A sheet has one such reason at most.
  s.notRead = count(reason::kNotRead);
  s.duplicateGrids = count(reason::kDuplicateGrid);
  const ReviewCounts review = store_->CountReview(examId_);
  s.reviewed = std::max(0, review.flagged - review.waiting);
  s.corrections = static_cast<int>(store_->Corrections(examId_, 0).size());
  s.stations = store_->Stations(examId_);
  for (const BatchRecord& b : store_->Batches(examId_))
    if (b.endedAt.empty()) s.unfinished.push_back(b);
  s.claims = store_->Claims(examId_);
  return s;
}

std::vector<std::uint8_t> Project::Picture(int sheet) {
  Sync();
  const std::optional<SheetRecord> found = FindSheetOrThrow(sheet, true);
  if (found->grid.empty()) throw Error("the reader kept no grid of sheet " + std::to_string(sheet));
  SheetGrid grid;
  std::string error;
  if (!ExpandGrid(found->lines, found->columns, found->grid, grid, error))
    throw StoreError("sheet " + std::to_string(sheet) + " is stored damaged: " + error);
  return form_->Picture(grid);
}

void Project::Edit(const ExamSources& src, const std::string& author) {
  const Validated v = Validate(src);
  Write([&] {
    if (store_->SheetCount(examId_) > 0)
      throw Error("exam " + examName_ + " has sheets already: change its keys (rekey) or its form (rescan)");
    store_->AddRevision(examId_, RevisionOf(src, author, "edit", NowUtc()));
  });
  Load();
}

}  // namespace omr::exam
