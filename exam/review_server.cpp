#include "review_server.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <fstream>
#include <initializer_list>
#include <list>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <tuple>
#include <vector>

#include "api_support.h"
#include "backup.h"
#include "error.h"
#include "export.h"
#include "http_server.h"
#include "office.h"
#include "office_place.h"
#include "office_reading.h"
#include "page_assets.h"
#include "progress.h"
#include "project.h"
#include "project_analysis.h"
#include "project_integrity.h"
#include "rekey.h"
#include "report_text.h"
#include "text.h"
#include "vocabulary.h"

namespace omr::exam {

namespace {

using api::CheckName;
using api::Json;
using api::NumberField;
using api::OptionalText;
using api::ParseBody;
using api::ParseNumber;
using api::Quote;
using api::SendJson;
using api::TextField;
using http::HttpError;
using http::Request;

constexpr int kMaxQueue = 1000;
constexpr int kDefaultQueue = 200;
constexpr int kMaxOffset = 100000000;
constexpr int kMaxSheetNumber = 100000000;
constexpr std::size_t kMaxTarget = 16;
constexpr std::size_t kMaxTyped = 64;
constexpr std::size_t kRosterMatches = 12;

// The report is one self-contained file: inline style, SVG and its sorting
// script. Sandboxed, it runs in an origin of its own: a script in it (were a
// text ever to become one) could not reach the API.
const char* const kReportPolicy =
    "sandbox allow-scripts; default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

Json ReasonJson(const Reason& r) {
  return {{"reason", r.code}, {"question", r.question}, {"detail", CleanUtf8(r.detail)}};
}

Json ReasonsJson(const std::vector<Reason>& reasons) {
  Json out = Json::array();
  for (const Reason& r : reasons) out.push_back(ReasonJson(r));
  return out;
}

Json DoubtJson(int bits) {
  Json out = Json::array();
  for (const std::string_view name : DoubtNames(bits)) out.push_back(name);
  return out;
}

// The roster's name for an ID: its "name" column, else its first other column.
std::string RosterName(const Roster& roster, const std::string& id) {
  const auto row = roster.rows.find(id);
  if (row == roster.rows.end() || row->second.empty()) return {};
  std::size_t column = 0;
  for (std::size_t i = 0; i < roster.columns.size(); ++i) {
    std::string lower = roster.columns[i];
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "name") column = i;
  }
  return column < row->second.size() ? row->second[column] : std::string();
}

Json CorrectionJson(const CorrectionRecord& c, const char* state, Id undoneBy) {
  Json j;
  j["id"] = c.id;
  j["target"] = CleanUtf8(c.target);
  j["old"] = OptionalText(c.oldValue);
  j["new"] = OptionalText(c.newValue);
  j["author"] = CleanUtf8(c.author);
  j["made_at"] = c.madeAt;
  j["reason"] = CleanUtf8(c.reason);
  j["undoes"] = c.undoes ? Json(c.undoes) : Json(nullptr);
  j["undone_by"] = undoneBy ? Json(undoneBy) : Json(nullptr);
  j["state"] = state;
  return j;
}

// Every correction with what became of it: the latest of each target counts
// (or, without a value, gives the reading back); earlier ones are overridden.
Json CorrectionsJson(const std::vector<CorrectionRecord>& corrections) {
  std::map<std::string, Id> last;
  std::map<Id, Id> undoneBy;
  for (const CorrectionRecord& c : corrections) {
    last[c.target] = c.id;
    if (c.undoes) undoneBy[c.undoes] = c.id;
  }
  Json out = Json::array();
  for (const CorrectionRecord& c : corrections) {
    const char* state = last[c.target] != c.id ? "overridden" : c.newValue ? "counts" : "withdrawal";
    const auto undone = undoneBy.find(c.id);
    out.push_back(CorrectionJson(c, state, undone == undoneBy.end() ? 0 : undone->second));
  }
  return out;
}

Json ScoreSummary(const std::optional<ScoreRecord>& s) {
  if (!s) return nullptr;
  Json j;
  j["scored"] = s->scored;
  j["voided"] = s->voided;
  j["student_id"] = CleanUtf8(s->studentId);
  j["total"] = s->scored ? Json(s->total) : Json(nullptr);
  j["maximum"] = s->scored ? Json(s->maximum) : Json(nullptr);
  j["reasons"] = ReasonsJson(s->reasons);
  return j;
}

// What a typed student ID must be, for the page to check as it is typed:
// the characters of each position and the same as a regular expression.
Json IdShapeJson(const Exam& exam) {
  Json characters = Json::array();
  std::string pattern = "^";
  for (std::size_t i = 0; i < exam.idCharacters.size();) {
    std::size_t same = i;
    while (same < exam.idCharacters.size() && exam.idCharacters[same] == exam.idCharacters[i]) ++same;
    std::string set;
    for (const char c : exam.idCharacters[i])
      set += std::string(c == '\\' || c == ']' || c == '[' || c == '^' || c == '-' ? "\\" : "") + c;
    if (set.empty()) set = "^\\s\\S";  // a position nothing fits
    pattern += "[" + set + "]" + (same - i > 1 ? "{" + std::to_string(same - i) + "}" : "");
    i = same;
  }
  for (const std::string& c : exam.idCharacters) characters.push_back(VisibleAscii(c));
  return {{"length", exam.idCharacters.size()},
          {"characters", characters},
          {"pattern", pattern + "$"},
          {"text", exam.DescribeStudentId()}};
}

Json SheetJson(Project& project, const SheetDetail& d) {
  const SheetRecord& s = d.sheet;
  const SheetScore& score = d.score;
  const Exam& exam = project.exam();
  std::vector<Override> overrides;
  for (const CorrectionRecord& c : d.corrections) overrides.push_back({c.target, c.newValue});
  const std::map<std::string, std::string> latest = LatestCorrections(overrides);
  auto current = [&](const std::string& target) {
    const auto hit = latest.find(target);
    return hit == latest.end() ? Json(nullptr) : Json(CleanUtf8(hit->second));
  };

  Json j;
  j["sheet"] = s.number;
  j["station"] = CleanUtf8(s.station);
  j["station_number"] = s.stationNumber;
  j["read_at"] = s.readAt;
  j["source"] = s.source;
  j["author"] = CleanUtf8(s.author);
  j["code"] = s.code;
  j["letter"] = s.letter ? VisibleAscii(std::string(1, s.letter)) : "";
  j["student_id"] = CleanUtf8(score.studentId);
  j["id_state"] = IdStateName(score.idState);
  j["name"] = CleanUtf8(RosterName(project.roster(), score.studentId));
  j["version"] = CleanUtf8(score.version);
  j["part"] = CleanUtf8(score.part);
  j["scored"] = score.scored;
  j["voided"] = score.voided;
  j["kept"] = score.kept;
  j["total"] = score.scored ? Json(score.total) : Json(nullptr);
  j["maximum"] = score.scored ? Json(score.maximum) : Json(nullptr);
  j["percent"] = score.percent ? Json(*score.percent) : Json(nullptr);
  j["confidence"] = score.confidence;
  j["reasons"] = ReasonsJson(score.reasons);
  j["targets"] = {{"id", current("id")}, {"version", current("version")}, {"sheet", current("sheet")}};

  Json info;
  info["student_questions"] = exam.studentQuestions;
  info["version_question"] = exam.versionSource == VersionSource::kQuestion ? exam.versionQuestion : 0;
  Json versions = Json::array();
  for (const VersionKey& k : exam.keys) versions.push_back(CleanUtf8(k.name));
  info["versions"] = versions;
  Json parts = Json::array();
  for (const SheetPart& p : exam.parts) parts.push_back(CleanUtf8(p.name));
  info["parts"] = parts;
  info["part_question"] = exam.partSource == PartSource::kQuestion ? exam.partQuestion : 0;
  info["roster"] = !project.roster().Empty();
  info["id_shape"] = IdShapeJson(exam);
  j["exam"] = info;

  if (d.grid.lines > 0) {
    j["picture"] = {{"url", "/api/sheets/" + std::to_string(s.number) + "/picture"},
                    {"width", kPictureMargin + kPictureCell * d.grid.columns},
                    {"height", kPictureCell * d.grid.lines},
                    {"cell", kPictureCell},
                    {"margin", kPictureMargin}};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string cells;
    cells.reserve(d.grid.cells.size());
    for (const std::uint8_t v : d.grid.cells) cells += kHex[v & 15];
    j["grid"] = {{"lines", d.grid.lines}, {"columns", d.grid.columns}, {"cells", cells}};
  } else {
    j["picture"] = nullptr;
    j["grid"] = nullptr;
  }

  std::map<int, int> masterOf;  // question -> master item, on this sheet's version
  for (const ItemScore& item : score.items)
    if (item.outcome != Outcome::kAbsent) masterOf[item.question] = item.master;
  Json questions = Json::array();
  for (const Response& r : d.responses) {
    const QuestionDetail* detail = nullptr;
    for (const QuestionDetail& q : d.questions)
      if (q.question == r.question) detail = &q;
    Json q;
    q["question"] = r.question;
    const std::string role = exam.RoleOf(r.question, score.part);
    q["role"] = role;
    const auto master = masterOf.find(r.question);
    q["item"] = master == masterOf.end() ? Json(nullptr) : Json(master->second);
    q["type"] = detail ? VisibleAscii(std::string(1, detail->type)) : "";
    q["options"] = detail ? VisibleAscii(detail->options) : "";
    q["read"] = r.marked;
    q["character"] = VisibleAscii(std::string(1, static_cast<char>(r.character)));
    q["value"] = current(std::to_string(r.question));
    q["confidence"] = r.confidence;
    q["doubt"] = DoubtJson(r.doubtful);
    Json reasons = Json::array();
    for (const Reason& reason : score.reasons)
      if (reason.question == r.question) reasons.push_back(reason.code);
    q["reasons"] = reasons;
    Json cells = Json::array();
    if (detail) {
      for (const CellDetail& c : detail->cells) {
        if (c.label == ' ') continue;  // a label blank: no option
        Json cell;
        cell["label"] = VisibleAscii(std::string(1, c.label));
        cell["line"] = c.line;
        cell["column"] = c.column;
        cell["value"] = c.value;
        cell["marked"] = c.marked;
        cell["threshold"] = c.threshold;
        cell["doubt"] = DoubtJson(c.doubtful);
        const bool onGrid = c.value >= 0;
        cell["x"] = onGrid ? Json(kPictureMargin + (c.column - 1) * kPictureCell) : Json(nullptr);
        cell["y"] = onGrid ? Json((d.grid.lines - c.line) * kPictureCell) : Json(nullptr);
        cells.push_back(cell);
      }
    }
    q["cells"] = cells;
    questions.push_back(q);
  }
  j["questions"] = questions;
  j["corrections"] = CorrectionsJson(d.corrections);
  return j;
}

// Open projects for the worker threads: each request takes one and gives it
// back. One that saw a failure is closed rather than reused.
class ProjectPool {
 public:
  ProjectPool(std::string location, std::string exam)
      : location_(std::move(location)), exam_(std::move(exam)) {
    idle_.push_back(Project::Open(location_, exam_));
  }

  class Lease {
   public:
    Lease(ProjectPool& pool, std::unique_ptr<Project> project, bool reused)
        : pool_(pool),
          project_(std::move(project)),
          reused_(reused),
          exceptions_(std::uncaught_exceptions()) {}
    ~Lease() {
      if (std::uncaught_exceptions() == exceptions_) pool_.Give(std::move(project_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Project* operator->() { return project_.get(); }
    Project& operator*() { return *project_; }
    // Whether it had served an earlier request (its connection may have gone since).
    bool reused() const { return reused_; }

   private:
    ProjectPool& pool_;
    std::unique_ptr<Project> project_;
    bool reused_;
    int exceptions_;
  };

  Lease Take(bool fresh = false) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!fresh && !idle_.empty()) {
        std::unique_ptr<Project> p = std::move(idle_.back());
        idle_.pop_back();
        return Lease(*this, std::move(p), true);
      }
    }
    return Lease(*this, Project::Open(location_, exam_, Access::kReopen), false);
  }

  // After a lost connection the others are likely gone too (a database restart).
  void Drop() {
    const std::lock_guard<std::mutex> lock(mutex_);
    idle_.clear();
  }

 private:
  void Give(std::unique_ptr<Project> project) {
    const std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(project));
  }

  std::string location_;
  std::string exam_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Project>> idle_;
};

// The projects the server serves: the one exam of `exam serve`, or any exam
// of the office's place, each with a pool of its own (the least recently used
// closed past kMaxPools).
class Pools {
 public:
  static constexpr std::size_t kMaxPools = 32;

  Pools(const std::string& project, const std::string& exam)
      : single_(std::make_shared<ProjectPool>(project, exam)) {}
  explicit Pools(std::shared_ptr<const Place> place) : place_(std::move(place)) {}

  const Place* place() const { return place_.get(); }

  // The pool of the exam a request names (office: the parameters project and exam).
  std::shared_ptr<ProjectPool> For(const Request& req) {
    if (!place_) {
      if (req.HasParam("project") || req.HasParam("exam"))
        throw HttpError(400, "this server serves one exam: name none (no project, no exam)");
      return single_;
    }
    const std::string project = req.Param("project");
    const std::string exam = req.Param("exam");
    if (exam.empty()) throw HttpError(400, "exam: missing (the name of the exam)");
    return For(project, exam);
  }

  std::shared_ptr<ProjectPool> For(const std::string& project, const std::string& exam) {
    const std::string location = place_->Locate(project);
    const std::string key = project + '\n' + exam;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (auto at = used_.begin(); at != used_.end(); ++at)
        if (at->first == key) {
          used_.splice(used_.begin(), used_, at);
          return used_.front().second;
        }
    }
    auto pool = std::make_shared<ProjectPool>(location, exam);  // opens one: throws for no such exam
    const std::lock_guard<std::mutex> lock(mutex_);
    used_.emplace_front(key, pool);
    if (used_.size() > kMaxPools) used_.pop_back();  // requests holding it keep it until they end
    return pool;
  }

  // A project the office changed as a whole (made anew, edited): its pools go.
  void Forget(const std::string& project) {
    const std::lock_guard<std::mutex> lock(mutex_);
    used_.remove_if(
        [&](const auto& p) { return p.first.compare(0, project.size() + 1, project + '\n') == 0; });
  }

 private:
  std::shared_ptr<ProjectPool> single_;
  std::shared_ptr<const Place> place_;
  std::mutex mutex_;
  std::list<std::pair<std::string, std::shared_ptr<ProjectPool>>> used_;  // the latest first
};

// Runs `f` and turns what went wrong into its status: 404 for what does not
// exist, 503 for what may pass (busy, a lost connection), 500 for a damaged
// project, 400 for what the caller sent.
template <class F>
void Answering(const Request& req, http::Response& res, F f) {
  try {
    f();
  } catch (const HttpError&) {
    throw;
  } catch (const NotFoundError& e) {
    http::SendError(req.path, res, 404, e.what());
  } catch (const UnavailableError& e) {
    res.Set("Retry-After", "2");
    http::SendError(req.path, res, 503, e.what());
  } catch (const StoreError& e) {
    http::SendError(req.path, res, 500, std::string("the project cannot be used: ") + e.what());
  } catch (const Error& e) {
    http::SendError(req.path, res, 400, e.what());
  }
}

// Runs a request on a project from its pool. A connection lost on a project
// that had served before (a database restarted since) is tried once more on a
// fresh one before answering.
template <class F>
void OnProject(Pools& pools, const Request& req, http::Response& res, F f) {
  Answering(req, res, [&] {
    const std::shared_ptr<ProjectPool> pool = pools.For(req);
    try {
      auto project = pool->Take();
      const bool reused = project.reused();
      try {
        f(*project);
      } catch (const NoAnswerError&) {
        throw;  // a fresh connection would wait as long again
      } catch (const UnavailableError&) {
        if (!reused) throw;
        pool->Drop();
        auto fresh = pool->Take(true);
        res = http::Response{};
        f(*fresh);
      }
    } catch (const UnavailableError&) {
      pool->Drop();
      throw;
    }
  });
}

std::string HostForUrl(const std::string& host) {
  std::string shown = host;
  if (host == "0.0.0.0" || host == "::" || host.empty()) {
    char name[256] = {};
    shown = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
  }
  return shown.find(':') != std::string::npos ? "[" + shown + "]" : shown;
}

}  // namespace

std::string RandomToken() {
  try {
    return http::RandomHex();
  } catch (const std::runtime_error&) {
    throw Error("cannot read random bytes from /dev/urandom for the access token");
  }
}

bool ParseListen(const std::string& text, std::string& host, int& port, std::string& error) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    error = "give the address as ADDRESS:PORT, for example 127.0.0.1:8080";
    return false;
  }
  host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) {
    error = "name the address to listen on before the port (127.0.0.1 for this machine only)";
    return false;
  }
  const std::string digits = text.substr(colon + 1);
  port = -1;
  if (!digits.empty() && digits.size() <= 5 &&
      std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    port = std::stoi(digits);
  if (port < 0 || port > 65535) {
    error = "the port is a number from 0 to 65535 (0 picks a free one), not \"" + digits + "\"";
    return false;
  }
  return true;
}

struct ReviewServer::Impl {
  ReviewOptions options;
  std::string token;
  std::string reviewerToken;  // office: opens review only
  std::shared_ptr<const Place> place;
  Pools pools;
  // The office's reading stations: made before the server (and so gone after it).
  std::unique_ptr<office::Reading> reading;
  std::unique_ptr<http::Server> server;

  // The office's analyses of exams, kept while their stamp holds; what the
  // scores of the latest few were made from, for re-key previews.
  std::mutex analysisMutex;
  std::map<std::string, std::shared_ptr<const office::Analyzed>> analyses;
  static constexpr std::size_t kMaxInputs = 2;
  // Exams of more sheets than this are listed without their flagged items until analysed.
  static constexpr int kAnalysedInList = 20000;
  std::list<std::tuple<std::string, office::Stamp, std::shared_ptr<const Project::ScoringInputs>>> inputs;
  // How far the long steps on each exam are (a re-key, a download), by the
  // key the progress route names: the project file, a newline, the exam.
  ProgressBoard steps;

  explicit Impl(const ReviewOptions& o)
      : options(o),
        place(o.place.empty() ? nullptr : std::make_shared<const Place>(o.place, true)),
        pools(place ? Pools(place) : Pools(o.project, o.exam)),
        reading(place ? std::make_unique<office::Reading>(o.program, o.readers) : nullptr) {}

  bool office() const { return place != nullptr; }

  // The scores and item analysis of the project's exam as they are now.
  // The analysis when it is at hand, made here only for an exam small enough
  // to analyse within the list's time (the Results page makes the others').
  std::shared_ptr<const office::Analyzed> CachedAnalysis(Project& project, const std::string& file,
                                                         const office::Stamp& stamp) {
    {
      const std::lock_guard<std::mutex> lock(analysisMutex);
      const auto hit = analyses.find(file + '\n' + project.examName());
      if (hit != analyses.end() && hit->second->stamp == stamp) return hit->second;
    }
    if (stamp.sheets > kAnalysedInList) return nullptr;
    return Analysis(project, file);
  }

  std::shared_ptr<const office::Analyzed> Analysis(Project& project, const std::string& file) {
    const office::Stamp stamp = office::StampOf(project);
    const std::string key = file + '\n' + project.examName();
    {
      const std::lock_guard<std::mutex> lock(analysisMutex);
      const auto hit = analyses.find(key);
      if (hit != analyses.end() && hit->second->stamp == stamp) return hit->second;
    }
    std::shared_ptr<const Project::ScoringInputs> read;
    auto fresh = office::Analyze(project, stamp, &read);
    const std::lock_guard<std::mutex> lock(analysisMutex);
    if (analyses.size() >= Pools::kMaxPools) analyses.clear();
    analyses[key] = fresh;
    inputs.remove_if([&](const auto& e) { return std::get<0>(e) == key; });
    inputs.emplace_front(key, stamp, read);
    if (inputs.size() > kMaxInputs) inputs.pop_back();
    return fresh;
  }

  // A re-key's dry run from the analysis's scores and what they were made
  // from (read again when another exam's preview has pushed them out).
  RekeyReport Preview(Project& project, const std::string& file, const ItemChange& change) {
    const std::string key = file + '\n' + project.examName();
    for (int attempt = 0; attempt < 2; ++attempt) {
      const auto analyzed = Analysis(project, file);
      std::shared_ptr<const Project::ScoringInputs> read;
      {
        const std::lock_guard<std::mutex> lock(analysisMutex);
        for (const auto& [k, stamp, in] : inputs)
          if (k == key && stamp == analyzed->stamp) read = in;
        if (!read) analyses.erase(key);
      }
      if (read && project.revision() == analyzed->stamp.revision)
        return project.PreviewRekey(change, *read, analyzed->scores);
    }
    return project.Rekey(change, "office", /*dryRun=*/true);
  }

  // A form the page names: an uploaded one (its bytes), or one of the examples.
  std::pair<std::string, std::string> FormOf(const Json& body) const {
    const auto form = body.find("form");
    if (form == body.end() || !form->is_object())
      throw HttpError(400, "form: missing ({\"name\": ..., \"data\": ...})");
    for (const auto& item : form->items())
      if (item.key() != "name" && item.key() != "data")
        throw HttpError(400, "form: unknown field " + Quote(item.key()));
    const std::string name = TextField(*form, "name", office::kMaxFileName, true);
    if (form->contains("data")) return {name, api::BytesField(*form, "data", office::kMaxFormText, true)};
    for (const std::string& folder : options.forms) {
      if (name.find('/') != std::string::npos || name.empty() || name[0] == '.') break;
      const std::string path = folder + "/" + name;
      std::ifstream in(path, std::ios::binary);
      if (!in) continue;
      std::ostringstream text;
      text << in.rdbuf();
      if (text.str().size() > office::kMaxFormText) break;
      return {name, text.str()};
    }
    throw HttpError(400, "form: no example form " + Quote(name) + ": upload the form file");
  }

  // What the page sends to make or edit an exam, as the project keeps it.
  ExamSources SourcesOf(const Json& body) const {
    ExamSources src;
    src.examName = "exam.json";
    src.examText = TextField(body, "exam", office::kMaxExamText, true);
    std::tie(src.formName, src.formText) = FormOf(body);
    const auto roster = body.find("roster");
    if (roster != body.end() && !roster->is_null()) {
      if (!roster->is_object())
        throw HttpError(400, "roster: {\"name\", \"data\", \"encoding\", \"id_column\"}");
      src.rosterName = TextField(*roster, "name", office::kMaxFileName, true);
      const std::string bytes = api::BytesField(*roster, "data", office::kMaxRosterText, true);
      const Json checked = office::CheckRoster(bytes, TextField(*roster, "encoding", 40, false),
                                               TextField(*roster, "id_column", 200, false));
      if (!checked["problems"].empty())
        throw Error("the roster has problems: " + checked["problems"][0]["message"].get<std::string>());
      src.rosterText = checked["stored"].get<std::string>();
    }
    return src;
  }

  // Runs `f` on the exam the request names, with the name of its project
  // file; its steps over every sheet report to `steps` meanwhile.
  template <class F>
  void OnExam(const Request& req, http::Response& res, F f) {
    OnProject(pools, req, res, [&](Project& project) {
      const ProgressBoard::Scope scope(steps, req.Param("project") + '\n' + req.Param("exam"));
      struct Reset {
        Project& project;
        ~Reset() { project.SetProgress({}); }  // the project goes back to its pool
      } reset{project};
      project.SetProgress(scope.Reporter());
      f(project, req.Param("project"));
    });
  }

  Json Grants(const Request& req) const {
    const std::string auth = req.Header("authorization");
    const std::string given = auth.size() > 7 ? auth.substr(7) : "";
    Json grants = Json::array();
    grants.push_back("review");
    if (SameToken(given, token)) grants.push_back("office");
    return grants;
  }

  // The office's rows of the table, page by page.
  void OfficeRoutes(std::vector<http::Route>& routes) {
    using http::kOffice;
    using http::kReview;
    const std::vector<std::string> exam = {"project", "exam"};

    // Every page: what this token opens, where the exams are.
    routes.push_back(
        {"GET", "/api/session", kReview, {}, false, false, [this](const Request& req, http::Response& res) {
           Json j;
           j["grants"] = Grants(req);
           const bool all = j["grants"].size() > 1;
           j["place"] = all ? Json(CleanUtf8(place->location())) : Json(nullptr);
           j["server"] = place->server();
           j["reviewer_token"] = all ? Json(reviewerToken) : Json(nullptr);
           SendJson(res, j);
         }});

    // Exams: every exam of the place with its state.
    routes.push_back(
        {"GET", "/api/exams", kReview, {}, false, false, [this](const Request& req, http::Response& res) {
           Answering(req, res, [&] {
             std::vector<PlaceProblem> problems;
             Json list = Json::array();
             for (const PlaceEntry& e : place->List(&problems)) {
               try {
                 const auto pool = pools.For(e.project, e.exam);
                 auto project = pool->Take();
                 const office::Stamp stamp = office::StampOf(*project);
                 const auto analyzed = CachedAnalysis(*project, e.project, stamp);
                 list.push_back(office::Summary(*project, e.project, stamp, analyzed.get()));
               } catch (const Error& error) {
                 problems.push_back({e.project, error.what()});
               }
             }
             Json unreadable = Json::array();
             for (const PlaceProblem& p : problems)
               unreadable.push_back({{"project", CleanUtf8(p.project)}, {"message", CleanUtf8(p.message)}});
             SendJson(res, {{"exams", list}, {"problems", unreadable}});
           });
         }});

    // Back up a project file (the existing backup: one consistent, checked copy).
    routes.push_back(
        {"POST", "/api/backup", kOffice, exam, true, false, [this](const Request& req, http::Response& res) {
           ParseBody(req, {});
           Answering(req, res, [&] {
             const std::string project = req.Param("project");
             const std::string target = place->BackupPath(project);
             const BackupReport r = BackupProject(place->Locate(project), target, false);
             SendJson(res, {{"path", CleanUtf8(target)}, {"bytes", r.bytes}, {"sheets", r.sheets}});
           });
         }});

    // New exam: the example forms, and the checks as the page builds the exam.
    routes.push_back(
        {"GET", "/api/forms", kOffice, {}, false, false, [this](const Request&, http::Response& res) {
           SendJson(res, office::Forms(options.forms));
         }});
    routes.push_back(
        {"POST",
         "/api/check/form",
         kOffice,
         {},
         true,
         false,
         [](const Request& req, http::Response& res) {
           const Json body = ParseBody(req, {"data"});
           SendJson(res, office::CheckForm(api::BytesField(body, "data", office::kMaxFormText, true)));
         },
         office::kMaxUpload});
    routes.push_back(
        {"POST",
         "/api/check/roster",
         kOffice,
         {},
         true,
         false,
         [](const Request& req, http::Response& res) {
           const Json body = ParseBody(req, {"data", "encoding", "id_column"});
           SendJson(res, office::CheckRoster(api::BytesField(body, "data", office::kMaxRosterText, true),
                                             TextField(body, "encoding", 40, false),
                                             TextField(body, "id_column", 200, false)));
         },
         office::kMaxUpload});
    routes.push_back({"POST",
                      "/api/check/exam",
                      kOffice,
                      {},
                      true,
                      false,
                      [this](const Request& req, http::Response& res) {
                        const Json body = ParseBody(req, {"exam", "form"});
                        Answering(req, res, [&] {
                          const std::string text = TextField(body, "exam", office::kMaxExamText, true);
                          SendJson(res, office::CheckExam(text, FormOf(body).second, ""));
                        });
                      },
                      office::kMaxUpload});

    // Make an exam: a new project file in the folder (on a server, an exam
    // added to the project).
    routes.push_back({"POST",
                      "/api/exams",
                      kOffice,
                      {},
                      true,
                      false,
                      [this](const Request& req, http::Response& res) {
                        const Json body = ParseBody(req, {"name", "exam", "form", "roster", "author"});
                        const std::string name = TextField(body, "name", 100, true);
                        const std::string author = TextField(body, "author", kMaxName, true);
                        CheckName(author, "author");
                        Answering(req, res, [&] {
                          std::string why;
                          if (!ExamNameOk(name, why)) throw HttpError(400, "name: " + why);
                          const ExamSources src = SourcesOf(body);
                          const std::string file = place->NewProject(name);
                          bool add = false;
                          if (place->server()) {
                            for (const PlaceEntry& e : place->List()) {
                              if (e.exam == name)
                                throw HttpError(409, "there is an exam named " + Quote(name) + " already");
                              add = true;
                            }
                          }
                          try {
                            Project::Create(
                                place->server() ? place->location() : place->location() + "/" + file, src,
                                name, author, add);
                          } catch (const ExamFileError& e) {
                            SendJson(res, {{"error", CleanUtf8(e.what())}, {"lines", e.lines}}, 400);
                            return;
                          }
                          SendJson(res, {{"project", CleanUtf8(file)}, {"exam", CleanUtf8(name)}}, 201);
                        });
                      },
                      office::kMaxUpload});

    // An exam's texts as they stand (to edit it, or to show and download).
    routes.push_back(
        {"GET", "/api/exam", kOffice, exam, false, false, [this](const Request& req, http::Response& res) {
           OnExam(req, res, [&](Project& project, const std::string&) {
             project.Sync();
             const RevisionRecord& r = project.revisionRecord();
             Json j;
             j["exam"] = CleanUtf8(project.examName());
             j["revision"] = r.revision;
             j["exam_name"] = CleanUtf8(r.examName);
             j["exam_text"] = CleanUtf8(r.examText);
             j["form_name"] = CleanUtf8(r.formName);
             j["form"] = office::CheckForm(r.formText);
             j["form_data"] = api::Base64(r.formText);
             j["roster_name"] = CleanUtf8(r.rosterName);
             j["roster_text"] = CleanUtf8(r.rosterText);
             j["sheets"] = project.store().SheetCount(project.examId());
             SendJson(res, j);
           });
         }});

    // Edit an exam before its first sheet: a new revision with the new texts.
    routes.push_back({"POST", "/api/exam", kOffice, exam, true, false,
                      [this](const Request& req, http::Response& res) {
                        const Json body = ParseBody(req, {"exam", "form", "roster", "author"});
                        const std::string author = TextField(body, "author", kMaxName, true);
                        CheckName(author, "author");
                        OnExam(req, res, [&](Project& project, const std::string&) {
                          const ExamSources src = SourcesOf(body);
                          try {
                            project.Edit(src, author);
                          } catch (const ExamFileError& e) {
                            SendJson(res, {{"error", CleanUtf8(e.what())}, {"lines", e.lines}}, 400);
                            return;
                          }
                          SendJson(res, {{"revision", project.revision()}});
                        });
                      },
                      office::kMaxUpload});
  }

  // The Keys and Results pages' rows of the table.
  void KeysAndResultsRoutes(std::vector<http::Route>& routes) {
    using http::kOffice;
    const std::vector<std::string> exam = {"project", "exam"};

    // Keys: every master item with its key and figures, the history of keys.
    routes.push_back(
        {"GET", "/api/keys", kOffice, exam, false, false, [this](const Request& req, http::Response& res) {
           OnExam(req, res, [&](Project& project, const std::string& file) {
             SendJson(res, office::Keys(project, *Analysis(project, file)));
           });
         }});

    // One item re-keyed, or (dry_run) what that would change. A change is
    // stored only on the revision its preview was made on.
    routes.push_back(
        {"POST", "/api/rekey", kOffice, exam, true, false, [this](const Request& req, http::Response& res) {
           const Json body =
               ParseBody(req, {"item", "key", "accept", "void", "bonus", "dry_run", "author", "revision"});
           const ItemChange change = office::ItemChangeOf(body);
           const bool dry = api::FlagField(body, "dry_run", false);
           std::string author;
           int revision = 0;
           if (!dry) {
             author = TextField(body, "author", kMaxName, true);
             CheckName(author, "author");
             revision = static_cast<int>(NumberField(body, "revision", 1, 1000000000));
           }
           OnExam(req, res, [&](Project& project, const std::string& file) {
             project.Sync();
             const int before = project.revision();
             if (!dry && revision != before)
               throw HttpError(409, "the keys changed since this preview (now revision " +
                                        std::to_string(before) + "): look at the preview again");
             const RekeyReport r =
                 dry ? Preview(project, file, change) : project.Rekey(change, author, false);
             Json j = Json::parse(RekeyJson(r, dry));
             j["revision_before"] = before;
             SendJson(res, j);
           });
         }});

    // How far a long step on the exam is (a page asks while its request
    // works): {"step": null} when none is running.
    routes.push_back({"GET", "/api/progress", kOffice, exam, false, false,
                      [this](const Request& req, http::Response& res) {
                        const std::optional<ProgressBoard::State> s =
                            steps.Get(req.Param("project") + '\n' + req.Param("exam"));
                        if (!s) {
                          SendJson(res, {{"step", nullptr}, {"done", 0}, {"total", 0}});
                          return;
                        }
                        SendJson(res, {{"step", s->step}, {"done", s->done}, {"total", s->total}});
                      }});

    // Integrity's proposed keys for the items flagged "key?".
    routes.push_back(
        {"GET", "/api/keyfixes", kOffice, exam, false, false,
         [this](const Request& req, http::Response& res) {
           OnExam(req, res, [&](Project& project, const std::string& file) {
             const auto analyzed = Analysis(project, file);
             SendJson(res, {{"revision", analyzed->stamp.revision}, {"fixes", office::KeyFixes(*analyzed)}});
           });
         }});

    // Results: the item statistics of every version and of all together.
    routes.push_back(
        {"GET", "/api/stats", kOffice, exam, false, false, [this](const Request& req, http::Response& res) {
           OnExam(req, res, [&](Project& project, const std::string& file) {
             const auto analyzed = Analysis(project, file);
             if (!analyzed->error.empty()) throw Error("the scores cannot be analysed: " + analyzed->error);
             res.type = "application/json";
             res.body = StatsJson(analyzed->analysis);
           });
         }});

    // What can be downloaded (and why not, for this exam), and each download
    // made from the scores as they are now, by the command line's own export.
    routes.push_back({"GET", "/api/downloads", kOffice, exam, false, false,
                      [this](const Request& req, http::Response& res) {
                        OnExam(req, res, [&](Project& project, const std::string&) {
                          project.Sync();
                          SendJson(res, office::DownloadsJson(project));
                        });
                      }});
    routes.push_back({"GET", "/api/download/*", kOffice, exam, false, false,
                      [this](const Request& req, http::Response& res) {
                        const office::Download* d = office::FindDownload(req.captures[0]);
                        if (!d) throw HttpError(404, "there is no download " + Quote(req.captures[0]));
                        OnExam(req, res, [&](Project& project, const std::string&) {
                          project.Sync();
                          ExportFile file = ExportBytes(project, d->request);
                          res.body = std::move(file.bytes);
                          res.type = file.contentType;
                          res.Set("Content-Disposition", office::ContentDisposition(file.fileName));
                        });
                      }});
  }

  // ------------------------------------------------------------- Reading

  // The exam a reading route names: its key among the office's exams, the
  // location `exam read` takes.
  std::pair<std::string, std::string> ReadingTarget(const Request& req) const {
    const std::string project = req.Param("project");
    return {project + '\n' + req.Param("exam"), place->server() ? place->location() : place->Locate(project)};
  }

  // A stored sheet as the Reading page lists it.
  static Json ReadSheetJson(Project& project, const ScoreRecord& score) {
    const std::optional<SheetRecord> sheet = project.store().FindSheet(project.examId(), score.sheet, false);
    Json reasons = Json::array();
    for (const Reason& r : score.reasons)
      reasons.push_back(
          {{"reason", r.code}, {"question", r.question}, {"item", r.item}, {"detail", CleanUtf8(r.detail)}});
    return {{"sheet", score.sheet},
            {"station_name", sheet ? CleanUtf8(sheet->station) : ""},
            {"source", sheet ? sheet->source : ""},
            {"author", sheet ? CleanUtf8(sheet->author) : ""},
            {"read_at", sheet ? sheet->readAt : ""},
            {"code", sheet ? sheet->code : 0},
            {"student_id", CleanUtf8(score.studentId)},
            {"id_state", score.idState},
            {"name", CleanUtf8(project.roster().Name(score.studentId))},
            {"version", CleanUtf8(score.version)},
            {"scored", score.scored},
            {"total", score.scored ? Json(score.total) : Json(nullptr)},
            {"maximum", score.scored ? Json(score.maximum) : Json(nullptr)},
            {"percent", score.scored && score.percent ? Json(*score.percent) : Json(nullptr)},
            {"reasons", reasons}};
  }

  // How far the exam is: the roster's students read and those still missing.
  // From the stored scores' counts and the roster's IDs looked up by index:
  // quick while a million sheets come in.
  static Json ProgressJson(Project& project) {
    constexpr std::size_t kMissingShown = 500;
    const Roster& roster = project.roster();
    Store& store = project.store();
    const ScoreCounts counts = store.CountScores(project.examId());
    const auto notRead = counts.byReason.find(reason::kNotRead);
    std::set<std::string> read;
    if (!roster.Empty())
      for (const auto& [id, number] : store.SheetsWithStudents(project.examId(), roster.ids)) read.insert(id);
    Json missing = Json::array();
    int missingCount = 0;
    for (const std::string& id : roster.ids) {
      if (read.count(id)) continue;
      if (++missingCount <= static_cast<int>(kMissingShown))
        missing.push_back({{"id", CleanUtf8(id)}, {"name", CleanUtf8(roster.Name(id))}});
    }
    return {{"sheets", counts.sheets},
            {"typed", store.SheetCount(project.examId(), "typed")},
            {"not_read", notRead == counts.byReason.end() ? 0 : notRead->second},
            {"waiting", counts.waiting},
            {"roster", static_cast<int>(roster.ids.size())},
            {"students", static_cast<int>(read.size())},
            {"missing_count", missingCount},
            {"missing", missing}};
  }

  // What a typed sheet is typed into: the ID's shape, the versions, each
  // layout's items with their options.
  static Json TypedShapeJson(Project& project) {
    const Exam& exam = project.exam();
    Json versions = Json::array();
    for (const VersionKey& k : exam.keys) versions.push_back(CleanUtf8(k.name));
    Json layouts = Json::array();
    for (const LayoutShape& l : project.shape().layouts) {
      Json items = Json::array();
      for (int i = 0; i < exam.ItemCount(); ++i) {
        const int question = exam.items[static_cast<std::size_t>(i)];
        std::string options;
        for (const QuestionShape& q : l.questions)
          if (q.number == question)
            for (const char c : q.options)
              if (c != ' ') options += c;
        items.push_back({{"item", i + 1}, {"question", question}, {"options", VisibleAscii(options)}});
      }
      layouts.push_back(
          {{"letter", l.letter == ' ' ? "" : VisibleAscii(std::string(1, l.letter))}, {"items", items}});
    }
    const char* source = exam.versionSource == VersionSource::kQuestion ? "question"
                         : exam.versionSource == VersionSource::kLayout ? "layout"
                                                                        : "single";
    // In parts a sheet holds one part's items: [first, first + count) of each layout's.
    Json parts = Json::array();
    for (const SheetPart& p : exam.parts)
      parts.push_back({{"name", VisibleAscii(p.name)}, {"first", p.first}, {"count", p.questions.size()}});
    return {{"title", CleanUtf8(exam.title)},
            {"id", exam.studentQuestions.empty() ? Json(nullptr) : IdShapeJson(exam)},
            {"versions", versions},
            {"version_source", source},
            {"parts", parts},
            {"part_source", exam.partSource == PartSource::kLayout     ? "layout"
                            : exam.partSource == PartSource::kQuestion ? "question"
                                                                       : "single"},
            {"layouts", layouts}};
  }

  // The Reading page's rows of the table: the readers, a station per reader
  // started and stopped, the sheets as they are stored (server-sent events),
  // and sheets typed in.
  void ReadingRoutes(std::vector<http::Route>& routes) {
    using http::kOffice;
    const std::vector<std::string> exam = {"project", "exam"};

    routes.push_back({"GET",
                      "/api/readers",
                      kOffice,
                      {"fresh"},
                      false,
                      false,
                      [this](const Request& req, http::Response& res) {
                        const std::string fresh = req.Param("fresh");
                        if (req.HasParam("fresh") && fresh != "1" && fresh != "0")
                          throw HttpError(400, "fresh: 1 (look again) or 0");
                        SendJson(res, reading->Readers(fresh == "1"));
                      }});

    routes.push_back(
        {"GET", "/api/reading", kOffice, exam, false, false, [this](const Request& req, http::Response& res) {
           constexpr int kRecent = 50;
           OnExam(req, res, [&](Project& project, const std::string&) {
             project.Sync();
             // The stations' state first: a sheet stored meanwhile comes as an event after it.
             Json stations = reading->Stations(ReadingTarget(req).first);
             const std::vector<ScoreRecord> latest = project.store().LatestScores(project.examId(), kRecent);
             Json recent = Json::array();
             for (std::size_t i = latest.size(); i > 0; --i)
               recent.push_back(ReadSheetJson(project, latest[i - 1]));
             Json j;
             j["title"] = CleanUtf8(project.exam().title);
             j["stations"] = stations["stations"];
             j["last_event"] = stations["last_event"];
             j["sheets"] = recent;
             j["progress"] = ProgressJson(project);
             SendJson(res, j);
           });
         }});

    routes.push_back({"GET", "/api/reading/progress", kOffice, exam, false, false,
                      [this](const Request& req, http::Response& res) {
                        OnExam(req, res, [&](Project& project, const std::string&) {
                          project.Sync();
                          SendJson(res, ProgressJson(project));
                        });
                      }});

    // Live: each event of the exam's reading after `since` (the page's last).
    routes.push_back({"GET",
                      "/api/reading/events",
                      kOffice,
                      {"project", "exam", "since"},
                      false,
                      false,
                      [this](const Request& req, http::Response& res) {
                        const std::string sinceText = req.Param("since");
                        const int since =
                            sinceText.empty() ? 0 : ParseNumber(sinceText, "since", 0, 999999999);
                        OnExam(req, res, [&](Project&, const std::string&) {
                          res.type = "text/event-stream; charset=utf-8";
                          res.Set("Cache-Control", "no-store");
                          res.stream = reading->Events(ReadingTarget(req).first, since);
                        });
                      }});

    routes.push_back(
        {"POST", "/api/reading/start", kOffice, exam, true, false,
         [this](const Request& req, http::Response& res) {
           const Json body = ParseBody(req, {"port", "station"});
           const std::string port = TextField(body, "port", 1024, false);
           const std::string name = TextField(body, "station", kMaxName, true);
           CheckName(name, "station");
           OnExam(req, res, [&](Project& project, const std::string& file) {
             if (!options.readers.empty() &&
                 std::find(options.readers.begin(), options.readers.end(), port) == options.readers.end())
               throw HttpError(400, "port: not a reader this office offers (" + Quote(port) + ")");
             office::StationStart start;
             std::tie(start.examKey, start.location) = ReadingTarget(req);
             start.project = file;
             start.exam = project.examName();
             start.port = port;
             start.name = name;
             SendJson(res, {{"station", reading->Start(start)}}, 201);
           });
         }});

    routes.push_back({"POST", "/api/reading/stop", kOffice, exam, true, false,
                      [this](const Request& req, http::Response& res) {
                        const Json body = ParseBody(req, {"station"});
                        const int station = static_cast<int>(NumberField(body, "station", 1, 1000000));
                        Answering(req, res, [&] {
                          SendJson(res, {{"station", reading->Stop(ReadingTarget(req).first, station)}});
                        });
                      }});

    routes.push_back(
        {"GET", "/api/typed", kOffice, exam, false, false, [this](const Request& req, http::Response& res) {
           OnExam(req, res, [&](Project& project, const std::string&) {
             project.Sync();
             SendJson(res, TypedShapeJson(project));
           });
         }});

    // A sheet the reader cannot take, typed in.
    routes.push_back(
        {"POST", "/api/typed", kOffice, exam, true, false, [this](const Request& req, http::Response& res) {
           const Json body = ParseBody(req, {"id", "version", "part", "answers", "author", "station"});
           TypedSheet typed;
           typed.studentId = TextField(body, "id", 64, false);
           typed.version = TextField(body, "version", 64, false);
           typed.part = TextField(body, "part", 64, false);
           const std::string answers = TextField(body, "answers", kMaxTypedText, false);
           typed.author = TextField(body, "author", kMaxName, true);
           CheckName(typed.author, "author");
           const std::string station = TextField(body, "station", kMaxName, false);
           if (!station.empty()) {
             CheckName(station, "station");
             typed.station = station;
           }
           OnExam(req, res, [&](Project& project, const std::string&) {
             project.Sync();
             typed.answers = ParseTypedAnswers(answers);
             const AddedSheet added = project.AddTyped(typed);
             const std::optional<ScoreRecord> score = project.store().Score(project.examId(), added.number);
             Json sheet = score ? ReadSheetJson(project, *score) : Json(nullptr);
             if (score) reading->Publish(ReadingTarget(req).first, "sheet", sheet);
             SendJson(res, {{"sheet", sheet}}, 201);
           });
         }});
  }

  // The one table of routes: what each needs, the parameters it takes, whether
  // it takes a JSON body, and what it does. The office's rows come first;
  // `exam serve` has the review's only.
  std::vector<http::Route> Routes() {
    using http::kOffice;
    using http::kPublic;
    using http::kReview;
    std::vector<http::Route> routes;
    for (const PageAsset& asset : PageAssets()) {
      const bool office = asset.path.rfind("/office", 0) == 0;
      if (office && !this->office()) continue;
      // The page and its files hold no data: the token in the first address is for the page's script.
      std::string path(asset.path);
      std::vector<std::string> params;
      if (path == (this->office() ? "/office.html" : "/review.html")) {
        path = "/";
        params = {"token"};
      } else if (path == "/review.html") {
        path = "/review";
        params = {"project", "exam"};
      }
      routes.push_back(
          {"GET", path, kPublic, params, false, false, [asset](const Request&, http::Response& res) {
             res.type = std::string(asset.type);
             res.body = std::string(asset.data);
           }});
    }
    const std::vector<std::string> examParams =
        office() ? std::vector<std::string>{"project", "exam"} : std::vector<std::string>{};
    auto with = [&](std::vector<std::string> params) {
      params.insert(params.end(), examParams.begin(), examParams.end());
      return params;
    };
    if (office()) {
      OfficeRoutes(routes);
      KeysAndResultsRoutes(routes);
      ReadingRoutes(routes);
    }
    routes.push_back({"GET", "/api/queue", kReview, with({"reason", "offset", "limit", "by"}), false, false,
                      [this](const Request& req, http::Response& res) {
                        const std::string reason = req.Param("reason");
                        const std::string by = req.Param("by");
                        if (req.HasParam("by")) CheckName(by, "by");
                        if (!reason.empty() && !FindReason(reason)) {
                          std::string names;
                          for (const ReasonInfo& r : Reasons())
                            names += (names.empty() ? "" : ", ") + std::string(r.code);
                          throw HttpError(400, "reason: one of " + names + " (got " + Quote(reason) + ")");
                        }
                        const std::string offsetText = req.Param("offset");
                        const std::string limitText = req.Param("limit");
                        const int offset =
                            offsetText.empty() ? 0 : ParseNumber(offsetText, "offset", 0, kMaxOffset);
                        const int limit =
                            limitText.empty() ? kDefaultQueue : ParseNumber(limitText, "limit", 1, kMaxQueue);
                        OnProject(pools, req, res, [&](Project& project) {
                          project.Sync();
                          SendJson(res, QueueJson(project, reason, offset, limit, CleanUtf8(by)));
                        });
                      }});

    // The words and numbers the page shares with the server, read once at start.
    routes.push_back(
        {"GET", "/api/vocabulary", kReview, with({}), false, false, [](const Request&, http::Response& res) {
           res.type = "application/json";
           res.body = VocabularyJson();
         }});

    routes.push_back({"GET", "/api/status", kReview, with({}), false, false,
                      [this](const Request& req, http::Response& res) {
                        OnProject(pools, req, res, [&](Project& project) {
                          project.Sync();
                          res.type = "application/json";
                          res.body = StatusJson(project.Status());
                        });
                      }});

    routes.push_back({"GET", "/api/sheets/*", kReview, with({}), false, false,
                      [this](const Request& req, http::Response& res) {
                        const int number = ParseNumber(req.captures[0], "sheet", 1, kMaxSheetNumber);
                        OnProject(pools, req, res, [&](Project& project) {
                          const SheetDetail detail = project.Detail(number);
                          SendJson(res, SheetJson(project, detail));
                        });
                      }});

    // "v": the page's cache key, not read here.
    routes.push_back({"GET", "/api/sheets/*/picture", kReview, with({"v"}), false, false,
                      [this](const Request& req, http::Response& res) {
                        const int number = ParseNumber(req.captures[0], "sheet", 1, kMaxSheetNumber);
                        OnProject(pools, req, res, [&](Project& project) {
                          project.Sync();
                          const std::optional<SheetRecord> sheet =
                              project.store().FindSheet(project.examId(), number, false);
                          if (!sheet) throw NotFoundError("there is no sheet " + std::to_string(number));
                          if (sheet->gridHash.empty())
                            throw NotFoundError("the reader kept no grid of sheet " + std::to_string(number) +
                                                ": it was not read (feed it again)");
                          // The picture changes with the grid or the form (a rescan with a new form).
                          const std::string tag =
                              "\"" + sheet->gridHash + "-" + std::to_string(project.revision()) + "\"";
                          res.Set("Cache-Control", "private, no-cache");
                          res.Set("ETag", tag);
                          if (req.Header("if-none-match") == tag) {
                            res.status = 304;
                            return;
                          }
                          const std::vector<std::uint8_t> png = project.Picture(number);
                          res.type = "image/png";
                          res.body.assign(png.begin(), png.end());
                        });
                      }});

    routes.push_back(
        {"POST", "/api/corrections", kReview, with({}), true, false,
         [this](const Request& req, http::Response& res) {
           const Json body = ParseBody(req, {"sheet", "target", "value", "author", "reason"});
           const int sheet = static_cast<int>(NumberField(body, "sheet", 1, kMaxSheetNumber));
           const std::string target = TextField(body, "target", kMaxTarget, true);
           if (!body.contains("value"))
             throw HttpError(400, "value: missing (the answer, or null to withdraw the corrections)");
           std::optional<std::string> value;
           if (!body["value"].is_null()) value = TextField(body, "value", kMaxValue, true);
           const std::string author = TextField(body, "author", kMaxName, true);
           const std::string reason = TextField(body, "reason", kMaxReason, false);
           OnProject(pools, req, res, [&](Project& project) {
             const CorrectionRecord c = project.Correct(sheet, target, value, author, reason);
             SendJson(res, {{"correction", CorrectionJson(c, c.newValue ? "counts" : "withdrawal", 0)},
                            {"score", ScoreSummary(project.store().Score(project.examId(), sheet))}});
           });
         }});

    routes.push_back(
        {"POST", "/api/undo", kReview, with({}), true, false,
         [this](const Request& req, http::Response& res) {
           const Json body = ParseBody(req, {"sheet", "correction", "author", "reason"});
           const int sheet = static_cast<int>(NumberField(body, "sheet", 1, kMaxSheetNumber));
           const Id id = NumberField(body, "correction", 1, INT64_MAX);
           const std::string author = TextField(body, "author", kMaxName, true);
           const std::string reason = TextField(body, "reason", kMaxReason, false);
           OnProject(pools, req, res, [&](Project& project) {
             const CorrectionRecord c = project.Undo(sheet, id, author, reason);
             SendJson(res, {{"correction", CorrectionJson(c, c.newValue ? "counts" : "withdrawal", 0)},
                            {"score", ScoreSummary(project.store().Score(project.examId(), sheet))}});
           });
         }});

    // Claim (or renew) a sheet the reviewer has open, or give it back.
    routes.push_back({"POST", "/api/claims", kReview, with({}), true, false,
                      [this](const Request& req, http::Response& res) {
                        const Json body = ParseBody(req, {"sheet", "by", "release"});
                        const int sheet = static_cast<int>(NumberField(body, "sheet", 1, kMaxSheetNumber));
                        const std::string by = TextField(body, "by", kMaxName, true);
                        CheckName(by, "by");
                        const auto release = body.find("release");
                        if (release != body.end() && !release->is_boolean())
                          throw HttpError(400, "release: true or false");
                        const bool giveBack = release != body.end() && release->get<bool>();
                        OnProject(pools, req, res, [&](Project& project) {
                          if (giveBack) {
                            project.Release(sheet, by);
                            SendJson(res, {{"sheet", sheet}, {"released", true}});
                            return;
                          }
                          const ClaimRecord c = project.Claim(sheet, by, options.hold);
                          // Not an error: a reviewer may open a held sheet on purpose.
                          Json j;
                          j["sheet"] = sheet;
                          j["held_by"] = CleanUtf8(c.holder);
                          j["yours"] = c.holder == CleanUtf8(by);
                          j["since"] = c.since;
                          j["expires"] = c.expires;
                          j["hold"] = options.hold;
                          SendJson(res, j);
                        });
                      }});

    routes.push_back({"GET", "/api/roster", kReview, with({"q"}), false, false,
                      [this](const Request& req, http::Response& res) {
                        const std::string typed = req.Param("q");
                        if (typed.size() > kMaxTyped)
                          throw HttpError(400, "q: longer than " + std::to_string(kMaxTyped) + " bytes");
                        OnProject(pools, req, res, [&](Project& project) {
                          project.Sync();
                          const Roster& roster = project.roster();
                          Json columns = Json::array();
                          for (const std::string& c : roster.columns) columns.push_back(CleanUtf8(c));
                          Json matches = Json::array();
                          for (const std::string& id : roster.Find(typed, kRosterMatches)) {
                            Json fields = Json::object();
                            const std::vector<std::string>& row = roster.rows.at(id);
                            for (std::size_t i = 0; i < roster.columns.size() && i < row.size(); ++i)
                              fields[CleanUtf8(roster.columns[i])] = CleanUtf8(row[i]);
                            matches.push_back({{"id", CleanUtf8(id)}, {"fields", fields}});
                          }
                          SendJson(res, {{"roster", !roster.Empty()},
                                         {"columns", columns},
                                         {"exact", roster.Has(typed)},
                                         {"matches", matches}});
                        });
                      }});

    // A one-time ticket for a page the browser opens in a tab of its own.
    routes.push_back({"POST", "/api/tickets", kReview, with({}), true, false,
                      [this](const Request& req, http::Response& res) {
                        const Json body = ParseBody(req, {"path"});
                        const std::string path = TextField(body, "path", 64, true);
                        if (path != "/report")
                          throw HttpError(400, "path: only /report is opened by a ticket");
                        const std::string ticket = server->IssueTicket(path, kReview);
                        SendJson(res, {{"ticket", ticket},
                                       {"url", path + "?ticket=" + ticket},
                                       {"seconds", http::kTicketSeconds}});
                      }});

    // The exam report, made from the scores as they are at this request: with
    // the token, or once with a ticket (a new tab sends no header).
    routes.push_back({"GET", "/report", kReview, with({"ticket"}), false, true,
                      [this](const Request& req, http::Response& res) {
                        OnProject(pools, req, res, [&](Project& project) {
                          project.Sync();
                          res.Set("Content-Security-Policy", kReportPolicy);
                          res.type = "text/html; charset=utf-8";
                          res.body = RenderProjectReport(project);
                        });
                      }});
    return routes;
  }

  // `by`: the reviewer asking; his own claims are not shown as held.
  static Json QueueJson(Project& project, const std::string& reason, int offset, int limit,
                        const std::string& by) {
    Store& store = project.store();
    std::map<int, std::string> held;
    for (ClaimRecord& c : project.Claims())
      if (c.holder != by) held[c.sheet] = std::move(c.holder);
    const ReviewCounts counts = store.CountReview(project.examId());
    const std::vector<QueueEntry> entries = store.ReviewQueue(project.examId(), reason, offset, limit);
    Json j;
    j["exam"] = CleanUtf8(project.examName());
    j["title"] = CleanUtf8(project.exam().title);
    j["revision"] = project.revision();
    j["sheets"] = store.SheetCount(project.examId());
    j["progress"] = {{"to_review", counts.flagged},
                     {"reviewed", counts.flagged - counts.waiting},
                     {"waiting", counts.waiting}};
    Json byReason = Json::object();
    for (const ReasonInfo& r : Reasons()) {
      const auto hit = counts.byReason.find(std::string(r.code));
      byReason[std::string(r.code)] = hit == counts.byReason.end() ? 0 : hit->second;
    }
    j["counts"] = byReason;
    j["filter"] = reason;
    j["matched"] = reason.empty() ? counts.waiting : byReason[reason].get<int>();
    j["offset"] = offset;
    j["limit"] = limit;
    Json list = Json::array();
    for (const QueueEntry& e : entries) {
      list.push_back({{"sheet", e.sheet},
                      {"student_id", CleanUtf8(e.studentId)},
                      {"id_state", e.idState},
                      {"name", CleanUtf8(RosterName(project.roster(), e.studentId))},
                      {"confidence", e.confidence},
                      {"reasons", ReasonsJson(e.reasons)},
                      {"held_by", held.count(e.sheet) ? Json(CleanUtf8(held[e.sheet])) : Json(nullptr)}});
    }
    j["entries"] = list;
    return j;
  }
};

ReviewServer::ReviewServer(const ReviewOptions& options) {
  if (options.hold < kMinHold || options.hold > kMaxHold)
    throw Error("a claim on a sheet lasts " + std::to_string(kMinHold) + " to " + std::to_string(kMaxHold) +
                " seconds (--hold), not " + std::to_string(options.hold));
  for (const std::string* given : {&options.token, &options.reviewerToken}) {
    if (given->empty()) continue;
    const bool fits =
        given->size() >= 16 && given->size() <= 256 && std::all_of(given->begin(), given->end(), [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
        });
    if (!fits) throw Error("an access token is 16 to 256 letters, digits, - or _");
  }
  impl_ = std::make_unique<Impl>(options);
  Impl& m = *impl_;
  m.token = options.token.empty() ? RandomToken() : options.token;
  http::ServerOptions o;
  o.host = options.host;
  o.port = options.port;
  o.limits = options.limits;
  o.limits.threads = options.threads;
  o.tokens = {{m.token, http::kReview}};
  if (m.office()) {
    m.reviewerToken = options.reviewerToken.empty() ? RandomToken() : options.reviewerToken;
    if (m.reviewerToken == m.token) throw Error("the reviewers' token must differ from the office's");
    o.tokens = {{m.token, http::kReview | http::kOffice}, {m.reviewerToken, http::kReview}};
  }
  try {
    m.server = std::make_unique<http::Server>(o, m.Routes());
  } catch (const std::runtime_error& e) {
    throw Error(e.what());
  }
}

ReviewServer::~ReviewServer() {
  if (impl_ && impl_->server) impl_->server->Stop();
}

int ReviewServer::port() const {
  return impl_->server->port();
}

const std::string& ReviewServer::token() const {
  return impl_->token;
}

std::string ReviewServer::Url() const {
  return "http://" + HostForUrl(impl_->options.host) + ":" + std::to_string(port()) +
         "/?token=" + impl_->token;
}

std::string ReviewServer::ReviewerUrl() const {
  if (impl_->reviewerToken.empty()) return "";
  return "http://" + HostForUrl(impl_->options.host) + ":" + std::to_string(port()) +
         "/?token=" + impl_->reviewerToken;
}

bool ReviewServer::Run() {
  return impl_->server->Run();
}

void ReviewServer::Stop() {
  // Each station stores its sheet in flight first; the pages see it end.
  if (impl_->reading) impl_->reading->StopAll();
  impl_->server->Stop();
}

}  // namespace omr::exam
