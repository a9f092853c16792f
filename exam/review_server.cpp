#include "review_server.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "error.h"
#include "export.h"
#include "http_server.h"
#include "project.h"
#include "project_analysis.h"
#include "review_assets.h"
#include "text.h"
#include "vocabulary.h"

namespace omr::exam {

namespace {

using Json = nlohmann::ordered_json;
using http::HttpError;
using http::Request;

constexpr int kMaxQueue = 1000;
constexpr int kDefaultQueue = 200;
constexpr int kMaxOffset = 100000000;
constexpr int kMaxSheetNumber = 100000000;
constexpr std::size_t kMaxTarget = 16;
constexpr std::size_t kMaxTyped = 64;
constexpr std::size_t kRosterMatches = 12;
constexpr int kMaxJsonDepth = 4;

// The report is one self-contained file: inline style, SVG and its sorting
// script. Sandboxed, it runs in an origin of its own: a script in it (were a
// text ever to become one) could not reach the API.
const char* const kReportPolicy =
    "sandbox allow-scripts; default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string Dump(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void SendJson(http::Response& res, const Json& j, int status = 200) {
  res.status = status;
  res.type = "application/json";
  res.body = Dump(j);
}

// What the caller sent, short enough to quote back.
std::string Quote(const std::string& text) {
  constexpr std::size_t kShown = 40;
  std::string shown = CleanUtf8(text.substr(0, kShown));
  return "\"" + shown + (text.size() > kShown ? "...\"" : "\"");
}

// A whole number of at most nine digits from `low` to `high`.
int ParseNumber(const std::string& text, const std::string& what, int low, int high) {
  int value = 0;
  const bool digits = !text.empty() && text.size() <= 9 &&
                      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) std::from_chars(text.data(), text.data() + text.size(), value);
  if (!digits || value < low || value > high)
    throw HttpError(400, what + ": a whole number from " + std::to_string(low) + " to " +
                             std::to_string(high) + " (got " + Quote(text) + ")");
  return value;
}

// The body as a JSON object with only these fields.
Json ParseBody(const Request& req, std::initializer_list<const char*> fields) {
  Json body;
  try {
    body = Json::parse(req.body, [](int depth, Json::parse_event_t, Json&) {
      if (depth > kMaxJsonDepth) throw HttpError(400, "the JSON body is nested too deep");
      return true;
    });
  } catch (const Json::exception& e) {
    throw HttpError(400, std::string("malformed JSON: ") + e.what());
  }
  if (!body.is_object()) throw HttpError(400, "the body must be a JSON object");
  for (const auto& item : body.items())
    if (std::none_of(fields.begin(), fields.end(), [&](const char* f) { return item.key() == f; }))
      throw HttpError(400, "unknown field " + Quote(item.key()));
  return body;
}

std::string TextField(const Json& body, const char* name, std::size_t limit, bool required) {
  const auto hit = body.find(name);
  if (hit == body.end()) {
    if (required) throw HttpError(400, std::string(name) + ": missing");
    return {};
  }
  if (!hit->is_string()) throw HttpError(400, std::string(name) + ": must be a text");
  const std::string& text = hit->get_ref<const std::string&>();
  if (text.size() > limit)
    throw HttpError(400, std::string(name) + ": longer than " + std::to_string(limit) + " bytes");
  return text;
}

std::int64_t NumberField(const Json& body, const char* name, std::int64_t low, std::int64_t high) {
  const auto hit = body.find(name);
  if (hit == body.end()) throw HttpError(400, std::string(name) + ": missing");
  if (!hit->is_number_integer() || hit->get<std::int64_t>() < low || hit->get<std::int64_t>() > high)
    throw HttpError(400, std::string(name) + ": a whole number from " + std::to_string(low) + " to " +
                             std::to_string(high));
  return hit->get<std::int64_t>();
}

// A reviewer's name: as the name on a correction.
void CheckName(const std::string& name, const char* field) {
  if (const std::string problem = NameProblem(name); !problem.empty())
    throw HttpError(400, std::string(field) + ": " + problem);
}

Json OptionalText(const std::optional<std::string>& v) {
  return v ? Json(CleanUtf8(*v)) : Json(nullptr);
}

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

const char* IdStateText(IdState s) {
  return s == IdState::kValid ? "valid" : s == IdState::kInvalid ? "invalid" : "none";
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
  j["code"] = s.code;
  j["letter"] = s.letter ? VisibleAscii(std::string(1, s.letter)) : "";
  j["student_id"] = CleanUtf8(score.studentId);
  j["id_state"] = IdStateText(score.idState);
  j["name"] = CleanUtf8(RosterName(project.roster(), score.studentId));
  j["version"] = CleanUtf8(score.version);
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
  for (const ItemScore& item : score.items) masterOf[item.question] = item.master;
  Json questions = Json::array();
  for (const Response& r : d.responses) {
    const QuestionDetail* detail = nullptr;
    for (const QuestionDetail& q : d.questions)
      if (q.question == r.question) detail = &q;
    Json q;
    q["question"] = r.question;
    const std::string role = exam.RoleOf(r.question);
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
    return Lease(*this, Project::Open(location_, exam_), false);
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

// Runs a request on a project from the pool. A connection lost on a project
// that had served before (a database restarted since) is tried once more on a
// fresh one before answering. Then what went wrong becomes its status: 404 for
// what does not exist, 503 for what may pass (busy, a lost connection), 500
// for a damaged project, 400 for what the caller sent.
template <class F>
void OnProject(ProjectPool& pool, const Request& req, http::Response& res, F f) {
  try {
    try {
      auto project = pool.Take();
      const bool reused = project.reused();
      try {
        f(*project);
      } catch (const UnavailableError&) {
        if (!reused) throw;
        pool.Drop();
        auto fresh = pool.Take(true);
        res = http::Response{};
        f(*fresh);
      }
    } catch (const UnavailableError&) {
      pool.Drop();
      throw;
    }
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
  ProjectPool pool;
  std::unique_ptr<http::Server> server;

  explicit Impl(const ReviewOptions& o) : options(o), pool(o.project, o.exam) {}

  // The one table of routes: what each needs, the parameters it takes, whether
  // it takes a JSON body, and what it does.
  std::vector<http::Route> Routes() {
    using http::kPublic;
    using http::kReview;
    std::vector<http::Route> routes;
    for (const ReviewAsset& asset : ReviewAssets()) {
      const bool page = asset.path == "/index.html";
      // The page and its files hold no data: the token in the first address is for the page's script.
      routes.push_back({"GET", page ? "/" : std::string(asset.path), kPublic,
                        page ? std::vector<std::string>{"token"} : std::vector<std::string>{}, false, false,
                        [asset](const Request&, http::Response& res) {
                          res.type = std::string(asset.type);
                          res.body = std::string(asset.data);
                        }});
    }

    routes.push_back({"GET",
                      "/api/queue",
                      kReview,
                      {"reason", "offset", "limit", "by"},
                      false,
                      false,
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
                        OnProject(pool, req, res, [&](Project& project) {
                          project.Sync();
                          SendJson(res, QueueJson(project, reason, offset, limit, CleanUtf8(by)));
                        });
                      }});

    // The words and numbers the page shares with the server, read once at start.
    routes.push_back(
        {"GET", "/api/vocabulary", kReview, {}, false, false, [](const Request&, http::Response& res) {
           res.type = "application/json";
           res.body = VocabularyJson();
         }});

    routes.push_back(
        {"GET", "/api/status", kReview, {}, false, false, [this](const Request& req, http::Response& res) {
           OnProject(pool, req, res, [&](Project& project) {
             project.Sync();
             res.type = "application/json";
             res.body = StatusJson(project.Status());
           });
         }});

    routes.push_back(
        {"GET", "/api/sheets/*", kReview, {}, false, false, [this](const Request& req, http::Response& res) {
           const int number = ParseNumber(req.captures[0], "sheet", 1, kMaxSheetNumber);
           OnProject(pool, req, res, [&](Project& project) {
             const SheetDetail detail = project.Detail(number);
             SendJson(res, SheetJson(project, detail));
           });
         }});

    // "v": the page's cache key, not read here.
    routes.push_back({"GET",
                      "/api/sheets/*/picture",
                      kReview,
                      {"v"},
                      false,
                      false,
                      [this](const Request& req, http::Response& res) {
                        const int number = ParseNumber(req.captures[0], "sheet", 1, kMaxSheetNumber);
                        OnProject(pool, req, res, [&](Project& project) {
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
        {"POST",
         "/api/corrections",
         kReview,
         {},
         true,
         false,
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
           OnProject(pool, req, res, [&](Project& project) {
             const CorrectionRecord c = project.Correct(sheet, target, value, author, reason);
             SendJson(res, {{"correction", CorrectionJson(c, c.newValue ? "counts" : "withdrawal", 0)},
                            {"score", ScoreSummary(project.store().Score(project.examId(), sheet))}});
           });
         }});

    routes.push_back(
        {"POST", "/api/undo", kReview, {}, true, false, [this](const Request& req, http::Response& res) {
           const Json body = ParseBody(req, {"sheet", "correction", "author", "reason"});
           const int sheet = static_cast<int>(NumberField(body, "sheet", 1, kMaxSheetNumber));
           const Id id = NumberField(body, "correction", 1, INT64_MAX);
           const std::string author = TextField(body, "author", kMaxName, true);
           const std::string reason = TextField(body, "reason", kMaxReason, false);
           OnProject(pool, req, res, [&](Project& project) {
             const CorrectionRecord c = project.Undo(sheet, id, author, reason);
             SendJson(res, {{"correction", CorrectionJson(c, c.newValue ? "counts" : "withdrawal", 0)},
                            {"score", ScoreSummary(project.store().Score(project.examId(), sheet))}});
           });
         }});

    // Claim (or renew) a sheet the reviewer has open, or give it back.
    routes.push_back(
        {"POST", "/api/claims", kReview, {}, true, false, [this](const Request& req, http::Response& res) {
           const Json body = ParseBody(req, {"sheet", "by", "release"});
           const int sheet = static_cast<int>(NumberField(body, "sheet", 1, kMaxSheetNumber));
           const std::string by = TextField(body, "by", kMaxName, true);
           CheckName(by, "by");
           const auto release = body.find("release");
           if (release != body.end() && !release->is_boolean())
             throw HttpError(400, "release: true or false");
           const bool giveBack = release != body.end() && release->get<bool>();
           OnProject(pool, req, res, [&](Project& project) {
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

    routes.push_back(
        {"GET", "/api/roster", kReview, {"q"}, false, false, [this](const Request& req, http::Response& res) {
           const std::string typed = req.Param("q");
           if (typed.size() > kMaxTyped)
             throw HttpError(400, "q: longer than " + std::to_string(kMaxTyped) + " bytes");
           OnProject(pool, req, res, [&](Project& project) {
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
    routes.push_back(
        {"POST", "/api/tickets", kReview, {}, true, false, [this](const Request& req, http::Response& res) {
           const Json body = ParseBody(req, {"path"});
           const std::string path = TextField(body, "path", 64, true);
           if (path != "/report") throw HttpError(400, "path: only /report is opened by a ticket");
           const std::string ticket = server->IssueTicket(path, kReview);
           SendJson(
               res,
               {{"ticket", ticket}, {"url", path + "?ticket=" + ticket}, {"seconds", http::kTicketSeconds}});
         }});

    // The exam report, made from the scores as they are at this request: with
    // the token, or once with a ticket (a new tab sends no header).
    routes.push_back(
        {"GET", "/report", kReview, {"ticket"}, false, true, [this](const Request& req, http::Response& res) {
           OnProject(pool, req, res, [&](Project& project) {
             project.Sync();
             const ProjectReport report = AnalyzeProject(project);
             res.Set("Content-Security-Policy", kReportPolicy);
             res.type = "text/html; charset=utf-8";
             res.body = RenderHtmlReport(report.analysis, report.info);
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
  if (!options.token.empty()) {
    const bool fits = options.token.size() >= 16 && options.token.size() <= 256 &&
                      std::all_of(options.token.begin(), options.token.end(), [](char c) {
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

bool ReviewServer::Run() {
  return impl_->server->Run();
}

void ReviewServer::Stop() {
  impl_->server->Stop();
}

}  // namespace omr::exam
