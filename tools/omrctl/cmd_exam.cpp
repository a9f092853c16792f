#include "cmd_exam.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>

#include "backup.h"
#include "export.h"
#include "integrity_report.h"
#include "output_guard.h"
#include "progress.h"
#include "project.h"
#include "project_analysis.h"
#include "project_integrity.h"
#include "read_loop.h"
#include "reader.h"
#include "report_pdf.h"
#include "report_text.h"
#include "results.h"
#include "slips.h"
#include "station.h"
#include "text.h"
#include "write_file.h"
#ifdef OMR_WITH_REVIEW
#include "cmd_office.h"
#include "review_server.h"
#endif

namespace omrctl {

namespace {

namespace ex = omr::exam;
namespace rd = omr::reading;

constexpr const char* kProjectHelp =
    "The project: an SQLite file, or a PostgreSQL database (postgresql://USER@HOST/DB or \"host=HOST "
    "dbname=DB\"; the password from ~/.pgpass or PGPASSWORD, never here)";

std::string DefaultAuthor() {
  const char* user = std::getenv("USER");
  return user && *user ? user : "operator";
}

std::string DefaultStation() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == 0) return "local";
  return host;
}

// How often a station that waits for sheets asks an empty tray again.
constexpr int kTrayWaitMs = 1000;

int Fail(const std::exception& e) {
  std::fprintf(stderr, "omrctl: %s\n", e.what());
  if (dynamic_cast<const ex::ExamFileError*>(&e)) return kExitUsage;
  if (dynamic_cast<const ex::StoreError*>(&e)) return kExitProject;
  return kExitUsage;
}

// The project's steps over every sheet on the terminal's progress line:
// "re-scoring: 412,000 of 1,000,000 sheets (41 %)", erased as each ends.
class StepProgress {
 public:
  explicit StepProgress(ex::Project& project) : project_(project) {
    if (!line_.on()) return;
    project.SetProgress([this](std::string_view step, std::int64_t done, std::int64_t total) {
      if (done >= total)
        line_.Clear();
      else
        line_.Show(std::string(ex::StepWords(step)) + ": " + CountOf(done, total, "sheets"));
    });
  }
  ~StepProgress() { project_.SetProgress({}); }
  StepProgress(const StepProgress&) = delete;
  StepProgress& operator=(const StepProgress&) = delete;
  // Before a line of other output.
  void Clear() { line_.Clear(); }

 private:
  ex::Project& project_;
  ProgressLine line_;
};

std::string Score(const ex::SheetScore& s) {
  if (!s.scored) return "";
  std::string text = ex::FormatNumber(s.total) + " of " + ex::FormatNumber(s.maximum);
  if (s.percent) text += " (" + ex::FormatNumber(std::round(*s.percent * 10) / 10) + " %)";
  return text;
}

// One line per sheet as it arrives; false when standard output is gone
// (a closed pipe).
bool PrintSheet(const ex::AddedSheet& added, int code, const GlobalOptions& global,
                const std::string& extra) {
  const ex::SheetScore& s = added.score;
  std::string line;
  char head[32];
  std::snprintf(head, sizeof head, "%5d  ", added.number);
  line = head;
  if (code != 0) {
    line += "not read: error " + std::to_string(code) + ": " + ErrorText(code, global.chinese);
  } else {
    line += "id " + (s.studentId.empty() ? std::string("-") : EscapeBytes(s.studentId));
    line += "  version " + (s.version.empty() ? std::string("?") : s.version);
    if (!s.part.empty()) line += "  part " + s.part;
    if (s.scored) line += "  " + Score(s);
  }
  std::vector<ex::Reason> shown;
  for (const ex::Reason& r : s.reasons)
    if (r.code != ex::reason::kNotRead) shown.push_back(r);
  const std::string reasons = ex::SummarizeReasons(shown);
  if (!reasons.empty()) line += "  review: " + reasons;
  if (!extra.empty()) line += "  " + extra;
  std::printf("%s\n", line.c_str());
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

// The form stored in the project, in a file for MR_LoadForm.
class FormFile {
 public:
  explicit FormFile(const std::string& text) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/omr-form-XXXXXX";
    const int fd = mkstemp(path_.data());
    if (fd < 0) throw ex::Error("cannot write a temporary form file in " + std::string(dir ? dir : "/tmp"));
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!ok) throw ex::Error("cannot write the temporary form file " + path_);
  }
  ~FormFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int RunNew(const ExamOptions& o) {
  auto project = ex::Project::Create(o.project, o.examFile, o.name.empty() ? "exam" : o.name, o.by, o.add,
                                     o.rosterEncoding);
  const ex::Exam& exam = project->exam();
  std::printf("project %s: %sexam \"%s\", %d items, %zu version%s, %zu students in the roster\n",
              o.project.c_str(), o.add ? "added " : "", project->examName().c_str(), exam.ItemCount(),
              exam.keys.size(), exam.keys.size() == 1 ? "" : "s", project->roster().ids.size());
  return kExitOk;
}

// The sheet in flight, named by the one stored before it.
std::string InFlight(int last) {
  return last > 0 ? "the sheet after sheet " + std::to_string(last) : "the first sheet of this run";
}

const char* EndName(rd::LoopEnd end) {
  switch (end) {
    case rd::LoopEnd::TrayEmpty:
      return "tray empty";
    case rd::LoopEnd::Count:
      return "count reached";
    case rd::LoopEnd::Stopped:
      return "stopped";
    case rd::LoopEnd::ReaderGone:
      return "reader lost";
    case rd::LoopEnd::TooManyFailures:
      return "too many failures in a row";
    case rd::LoopEnd::SheetNotKept:
      return "store failed";
  }
  return "";
}

// The station, with the sheet in flight named if a second signal stops the run at once.
class InFlightStation final : public rd::SheetHandler {
 public:
  InFlightStation(ex::Station& station, std::function<void(int)> waiting)
      : station_(station), waiting_(std::move(waiting)) {}
  void Feeding(int number) override { rd::StopSignals::SetInFlight(number); }
  rd::SheetVerdict Take(rd::FedSheet& sheet) override {
    const rd::SheetVerdict verdict = station_.Take(sheet);
    if (!verdict.stop) rd::StopSignals::SetInFlight(0);
    return verdict;
  }
  void Waiting(int) override {
    if (waiting_) waiting_(station_.last());
  }

 private:
  ex::Station& station_;
  std::function<void(int)> waiting_;
};

ex::station_lines::Message Words(int code) {
  if (code == 0) return {};
  return {ErrorText(code, false), ErrorText(code, true)};
}

// One line of --json output, flushed: the office follows it as it comes.
bool PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

// A problem before the run starts: on stderr, and as a line with --json.
int NotStarted(const ExamOptions& o, const std::string& message, int exit) {
  std::fprintf(stderr, "omrctl: %s\n", message.c_str());
  if (o.json) PrintLine(ex::station_lines::Failed(message, exit));
  return exit;
}

// The read loop (read_loop.h) with the exam's station (station.h) as the
// keeper of each sheet; this prints, as lines or (--json) JSON Lines.
int RunRead(const GlobalOptions& global, const ExamOptions& o) {
  std::unique_ptr<ex::Project> project;
  try {
    project = ex::Project::Open(o.project, o.name);
  } catch (const std::exception& e) {
    const int exit = Fail(e);
    if (o.json) PrintLine(ex::station_lines::Failed(e.what(), exit));
    return exit;
  }
  std::string port;
  if (!rd::ConnectReader(global.port, port)) {
    ReportNoReader(global.port);
    if (o.json) {
      std::string why;
      for (const std::string& line : rd::ExplainNoReader(global.port))
        why += (why.empty() ? "" : "; ") + line;
      PrintLine(ex::station_lines::Failed("no reader found: " + why, kExitReader));
    }
    return kExitReader;
  }
  // The library reads the form file once; it goes before the batch starts,
  // so a killed run leaves none behind.
  if (const int code = rd::LoadForm(FormFile(project->revisionRecord().formText).path()); code != 0) {
    rd::DisconnectReader();
    return NotStarted(o,
                      "the reader did not take the project's form: error " + std::to_string(code) + ": " +
                          ErrorText(code, global.chinese),
                      code == rd::kErrorCommunication ? kExitReader : kExitForm);
  }
  rd::CApiReader reader;
  rd::LoopOptions loopOptions{o.count, o.maxErrors, 1, 0};
  if (o.wait) loopOptions.waitMs = kTrayWaitMs;
  rd::ReadLoop loop(reader, loopOptions);
  const auto start = std::chrono::steady_clock::now();
  int shown = 0;
  const std::string stationName = o.station.empty() ? DefaultStation() : o.station;
  const std::string serial = rd::ReaderSerial();
  if (o.json && !PrintLine(ex::station_lines::Connected(stationName, project->examName(), port,
                                                        loop.Version(), serial)))
    raise(SIGPIPE);
  ex::Station station(
      *project, {stationName, o.spool, serial, loop.Version()}, [&](const ex::Station::Stored& s) {
        ++shown;
        const double minutes =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 60;
        const double rate = minutes > 0 ? shown / minutes : 0.0;
        bool printed = false;
        if (o.json) {
          printed = PrintLine(ex::station_lines::Sheet(*project, s, Words(s.code), shown, rate));
        } else {
          char text[64];
          std::snprintf(text, sizeof text, "[%d read, %.1f/min]", shown, rate);
          std::string extra = text;
          if (s.feedAgain) extra = "feed it again  " + extra;
          printed = PrintSheet(s.added, s.code, global, extra);
        }
        // The sheet is stored: a reader of the output that went away ends the run as SIGPIPE does.
        if (!printed) raise(SIGPIPE);
      });
  const rd::StopSignals signals;
  InFlightStation handler(station, [&](int last) {
    if (o.json && !PrintLine(ex::station_lines::Waiting(last))) raise(SIGPIPE);
  });
  // A station that waits for sheets also stops (after the sheet in flight)
  // when the program that started it is gone: nobody would stop it else.
  const pid_t parent = getppid();
  const rd::LoopReport run =
      loop.Run(handler, [&] { return rd::StopSignals::Requested() != 0 || (o.wait && getppid() != parent); });
  rd::StopSignals::SetInFlight(0);
  rd::DisconnectReader();
  rd::LoopEnd end = run.end;
  const bool displaced = station.displaced();
  std::string problem;  // what went wrong, as the last line says it
  if (end == rd::LoopEnd::ReaderGone) {
    problem = "the reader stopped answering or was disconnected (error " + std::to_string(run.lostCode) +
              ": " + ErrorText(run.lostCode, global.chinese) + "); if it took " + InFlight(station.last()) +
              ", feed it again";
    if (o.json)
      PrintLine(ex::station_lines::Lost(run.lostCode, Words(run.lostCode), InFlight(station.last())));
  }
  if (end == rd::LoopEnd::SheetNotKept && !displaced) {
    const std::string inFlight = InFlight(station.last());
    if (!station.spooled().empty())
      problem = "the project cannot be written: " + station.storeError() +
                "\nomrctl: the transport is stopped; " + inFlight + " is kept in the spool " +
                station.spooled() + ": when the database is back, bring it in with: omrctl exam import " +
                o.project + " " + station.spooled();
    else if (!station.spoolError().empty())
      problem = inFlight + " was read but not stored: " + station.storeError() +
                "; nor could it be kept in the spool " + station.spoolError() + "; feed it again";
    else
      problem = inFlight + " was read but not stored: " + station.storeError() + "; feed it again";
  }
  if (end == rd::LoopEnd::TooManyFailures) problem = run.tooManyFailures;
  if (!problem.empty()) std::fprintf(stderr, "omrctl: %s\n", problem.c_str());
  bool ended = true;
  try {
    station.Finish(displaced ? "project moved" : EndName(end));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "omrctl: %s\n", e.what());
    if (problem.empty()) problem = e.what();
    ended = false;
  }
  std::string into = o.project;
  if (displaced) {
    // Everything the run stored is in the file it holds: into that file, and
    // a copy of it when it has no name left.
    try {
      const ex::Relocation now = project->store().Secure();
      into = now.path;
      if (now.copy)
        problem =
            "the project " + o.project +
            " was deleted or replaced while this run read into it: the transport is stopped; everything "
            "the project held, with every sheet of this run, is saved in " +
            now.path + " (the file as this run held it); check it with: omrctl exam status " + now.path;
      else
        problem =
            "the project " + o.project + " was moved to " + now.path +
            " while this run read into it: the transport is stopped, and every sheet of this run is in " +
            now.path + "; go on with: omrctl exam read " + now.path;
    } catch (const std::exception& e) {
      problem = "the project " + o.project + " was moved or deleted while this run read into it: " + e.what();
      ended = false;
    }
    std::fprintf(stderr, "omrctl: %s\n", problem.c_str());
  }
  // What is stored, not what was fed: a sheet the project could not take is not in it.
  const int stored = station.stored();
  if (!o.json) {
    std::printf("%d sheet%s read into %s (station %s): %d not read, %d waiting for review; %s%s\n", stored,
                stored == 1 ? "" : "s", into.c_str(), station.name().c_str(), station.failed(),
                station.waiting(),
                displaced ? "the project moved" : EndName(ended ? end : rd::LoopEnd::SheetNotKept),
                station.spooled().empty() ? "" : ("; 1 kept in the spool " + station.spooled()).c_str());
    std::fflush(stdout);
  }

  int exit = station.failed() > 0 ? kExitRecognition : kExitOk;
  if (end == rd::LoopEnd::TrayEmpty && o.count > 0 && run.fed < o.count) {
    problem =
        "the tray is empty after " + std::to_string(run.fed) + " of " + std::to_string(o.count) + " sheets";
    std::fprintf(stderr, "omrctl: %s\n", problem.c_str());
    exit = kExitRecognition;
  }
  if (end == rd::LoopEnd::TooManyFailures) exit = kExitRecognition;
  if (end == rd::LoopEnd::ReaderGone) exit = kExitReader;
  if (end == rd::LoopEnd::SheetNotKept || !ended) exit = kExitProject;
  if (end == rd::LoopEnd::Stopped) {
    const int stopSignal = rd::StopSignals::Requested();
    exit = rd::StopSignals::ExitCode(stopSignal != 0 ? stopSignal : SIGPIPE);
  }
  if (o.json)
    PrintLine(
        ex::station_lines::End(displaced ? "project moved" : EndName(ended ? end : rd::LoopEnd::SheetNotKept),
                               station, problem, exit));
  return exit;
}

// The sheets of another project (a spool, an offline station's project).
int ImportProject(const GlobalOptions& global, ex::Project& project, const std::string& from, bool asThisExam,
                  StepProgress& progress) {
  std::unique_ptr<ex::Project> source;
  try {
    source = ex::Project::Open(from, project.examName(), ex::Access::kRead);
  } catch (const ex::StoreError&) {
    throw;
  } catch (const ex::Error&) {
    source = ex::Project::Open(from, "", ex::Access::kRead);  // its only exam, whatever its name
  }
  int failed = 0;
  const ex::ImportReport r = project.ImportSheets(
      *source,
      [&](const ex::AddedSheet& added, const ex::SheetRecord& s) {
        progress.Clear();
        if (added.number == 0) {
          std::printf("       %s sheet %d (station %s, read %s) is here already as sheet %d\n", from.c_str(),
                      s.number, s.station.c_str(), s.readAt.c_str(), added.presentAs);
          return;
        }
        failed += s.code != 0;
        PrintSheet(added, s.code, global, "station " + s.station + ", read " + s.readAt);
      },
      asThisExam);
  std::printf("%s: %d sheet%s brought in (%d with a grid read before: flagged %s), %d here already\n",
              from.c_str(), r.added, r.added == 1 ? "" : "s", r.duplicates, omr::exam::reason::kDuplicateGrid,
              r.present);
  return failed;
}

int RunImport(const GlobalOptions& global, const ExamOptions& o) {
  auto project = ex::Project::Open(o.project, o.name);
  StepProgress progress(*project);
  int failed = 0;
  int bad = 0;
  std::size_t grids = 0;
  for (const std::string& path : o.grids) {
    if (ex::LooksLikeProject(path)) {
      failed += ImportProject(global, *project, path, o.asThisExam, progress);
      continue;
    }
    ++grids;
    ex::SheetInput input;
    input.station = o.station.empty() ? "import" : o.station;
    input.source = "import";
    input.origin = path;
    try {
      input.decoded = project->form().DecodeFile(path);
    } catch (const ex::Error& e) {
      std::fprintf(stderr, "omrctl: %s: %s\n", path.c_str(), e.what());
      ++bad;
      continue;
    }
    input.hasGrid = true;
    input.code = input.decoded.code;
    const ex::AddedSheet added = project->AddSheet(input);
    failed += input.code != 0;
    PrintSheet(added, input.code, global, "from " + path);
  }
  if (grids > 0)
    std::printf("%zu grid%s imported into %s\n", grids - static_cast<std::size_t>(bad), grids == 1 ? "" : "s",
                o.project.c_str());
  if (bad > 0) return kExitUsage;
  return failed > 0 ? kExitRecognition : kExitOk;
}

// A sheet the reader could not take, typed in: checked, stored and scored
// like a read one.
int RunType(const GlobalOptions& global, const ExamOptions& o) {
  auto project = ex::Project::Open(o.project, o.name);
  ex::TypedSheet typed;
  typed.studentId = o.typedId;
  typed.version = o.version;
  typed.part = o.part;
  typed.answers = ex::ParseTypedAnswers(o.answer);
  typed.author = o.by;
  if (!o.station.empty()) typed.station = o.station;
  const ex::AddedSheet added = project->AddTyped(typed);
  PrintSheet(added, 0, global, "typed by " + ex::CleanUtf8(typed.author));
  return kExitOk;
}

int RunCorrect(const GlobalOptions&, const ExamOptions& o) {
  if (o.withdraw == !o.answer.empty())
    throw ex::Error(o.withdraw ? "give either ANSWER or --withdraw, not both"
                               : "give the ANSWER (or --withdraw)");
  auto project = ex::Project::Open(o.project, o.name);
  const std::optional<std::string> value = o.withdraw ? std::nullopt : std::optional<std::string>(o.answer);
  const ex::CorrectionRecord c = project->Correct(o.sheet, o.target, value, o.by, o.reason);
  const ex::SheetScore score = project->Detail(o.sheet).score;
  const bool question = !c.target.empty() && std::isdigit(static_cast<unsigned char>(c.target[0]));
  std::printf("sheet %d, %s%s: %s -> %s (by %s)\n", c.sheet, question ? "question " : "", c.target.c_str(),
              c.oldValue ? (c.oldValue->empty() ? "blank" : c.oldValue->c_str()) : "as read",
              c.newValue ? (c.newValue->empty() ? "blank" : c.newValue->c_str()) : "as read (withdrawn)",
              c.author.c_str());
  if (score.scored)
    std::printf("sheet %d now: %s of %s%s\n", c.sheet, ex::FormatNumber(score.total).c_str(),
                ex::FormatNumber(score.maximum).c_str(),
                score.reasons.empty() ? "" : ("; review: " + ex::SummarizeReasons(score.reasons)).c_str());
  return kExitOk;
}

// "23.75 -> 24.75", "not scored -> 12"
std::string OldNew(bool scoredBefore, double before, bool scoredAfter, double after, const char* unit) {
  auto one = [&](bool scored, double v) {
    return scored ? ex::FormatNumber(v) + unit : std::string("not scored");
  };
  return one(scoredBefore, before) + " -> " + one(scoredAfter, after);
}

double Tenth(const std::optional<double>& v) {
  return v ? std::round(*v * 10) / 10 : 0;
}

void PrintChanges(const ex::RekeyReport& r) {
  if (!r.changed.empty())
    std::printf("%7s  %-12s %-8s %-24s %-22s %s\n", "sheet", "student", "version", "total", "percent",
                "name");
  for (const ex::ScoreChange& c : r.changed) {
    const std::string id = c.studentId.empty() ? "-" : EscapeBytes(c.studentId);
    std::printf("%7d  %-12s %-8s %-24s %-22s %s\n", c.sheet, id.c_str(), EscapeBytes(c.version).c_str(),
                OldNew(c.scoredBefore, c.totalBefore, c.scoredAfter, c.totalAfter, "").c_str(),
                OldNew(c.scoredBefore && c.percentBefore, Tenth(c.percentBefore),
                       c.scoredAfter && c.percentAfter, Tenth(c.percentAfter), " %")
                    .c_str(),
                ex::CleanUtf8(c.name).c_str());
  }
  std::printf("%zu sheet%s change%s; %d other%s keep%s %s total and percent\n", r.changed.size(),
              r.changed.size() == 1 ? "" : "s", r.changed.size() == 1 ? "s" : "", r.unchanged,
              r.unchanged == 1 ? "" : "s", r.unchanged == 1 ? "s" : "", r.unchanged == 1 ? "its" : "their");
}

int RunRekey(const ExamOptions& o) {
  const bool item = o.item != 0;
  if (item == !o.examFile.empty())
    throw ex::Error(
        item ? "give either --exam FILE or --item N, not both"
             : "say what changes: --exam FILE (a whole exam file) or --item N with --key, --accept, "
               "--void or --bonus");
  if (!item && (!o.key.empty() || !o.accept.empty() || o.voidItem || o.bonus))
    throw ex::Error("--key, --accept, --void and --bonus change one item: name it with --item N");
  if (item && !o.rosterEncoding.empty())
    throw ex::Error("--roster-encoding goes with --exam FILE: --item keeps the project's roster");
  auto project = ex::Project::Open(o.project, o.name);
  StepProgress progress(*project);
  ex::RekeyReport r;
  if (item) {
    ex::ItemChange change;
    change.item = o.item;
    if (!o.key.empty()) change.key = o.key;
    if (!o.accept.empty()) change.accept = o.accept;
    change.voided = o.voidItem;
    change.bonus = o.bonus;
    r = project->Rekey(change, o.by, o.dryRun);
  } else {
    r = project->Rekey(o.examFile, o.by, o.dryRun, o.rosterEncoding);
  }
  if (o.json) {
    std::fputs(ex::RekeyJson(r, o.dryRun).c_str(), stdout);
    return kExitOk;
  }
  const std::string what = r.note.empty() ? "" : " (" + r.note + ")";
  if (o.dryRun)
    std::printf("dry run%s: nothing is stored; these sheets would change\n", what.c_str());
  else
    std::printf("exam \"%s\" is now revision %d%s; every sheet scored again\n", project->examName().c_str(),
                r.revision, what.c_str());
  PrintChanges(r);
  return kExitOk;
}

int RunRescan(const ExamOptions& o) {
  auto project = ex::Project::Open(o.project, o.name);
  StepProgress progress(*project);
  const ex::RescanReport r = project->Rescan(o.form.empty() ? nullptr : &o.form, o.by);
  std::printf("%d grid%s decoded again (%d changed, %d sheets without a grid), every sheet scored again%s\n",
              r.sheets, r.sheets == 1 ? "" : "s", r.changed, r.noGrid,
              o.form.empty() ? "" : ("; the form is now " + o.form).c_str());
  return kExitOk;
}

int RunStatus(const ExamOptions& o) {
  auto project = ex::Project::Open(o.project, o.name, ex::Access::kRead);
  const ex::ExamStatus s = project->Status();
  if (o.json) {
    std::printf("%s\n", ex::StatusJson(s).c_str());
    return kExitOk;
  }
  std::printf("exam \"%s\" (revision %d) in %s\n", s.exam.c_str(), s.revision, o.project.c_str());
  std::printf("  %-22s %d\n", "sheets", s.sheets);
  for (const ex::StationCount& c : s.stations)
    std::printf("    %-20s %d\n", ("station " + c.station).c_str(), c.sheets);
  std::printf("  %-22s %d\n", "students", s.students);
  std::printf("  %-22s %d\n", "scored", s.scored);
  std::printf("  %-22s %d\n", "not read", s.notRead);
  std::printf("  %-22s %d\n", "typed in", s.typed);
  std::printf("  %-22s %d\n", "void", s.voided);
  std::printf("  %-22s %d\n", "duplicate grids", s.duplicateGrids);
  std::printf("  %-22s %d\n", "waiting for review", s.waiting);
  for (const auto& [reason, count] : s.byReason) std::printf("    %-20s %d\n", reason.c_str(), count);
  std::printf("  %-22s %d\n", "reviewed", s.reviewed);
  std::printf("  %-22s %d\n", "corrections", s.corrections);
  std::printf("  %-22s %zu\n", "open in review", s.claims.size());
  for (const ex::ClaimRecord& c : s.claims)
    std::printf("    sheet %-14d %s\n", c.sheet, ex::CleanUtf8(c.holder).c_str());
  for (const ex::BatchRecord& b : s.unfinished)
    std::printf(
        "  run at station %s started %s did not finish (%d sheets stored): if it is not still reading, "
        "feed the sheet after its last one again\n",
        b.station.c_str(), b.startedAt.c_str(), b.sheets);
  return kExitOk;
}

int RunBackup(const ExamOptions& o) {
  const ex::BackupReport r = ex::BackupProject(o.project, o.copy, o.force);
  std::printf("%s: a copy of %s (%d sheet%s, schema %d, %lld bytes), integrity checked\n", o.copy.c_str(),
              o.project.c_str(), r.sheets, r.sheets == 1 ? "" : "s", r.schema,
              static_cast<long long>(r.bytes));
  return kExitOk;
}

// Refuses at once, before any work, an output that must not be written.
void CheckOutputs(std::initializer_list<const std::string*> outputs) {
  for (const std::string* output : outputs)
    if (!output->empty())
      if (std::string problem = omr::common::OutputProblem(*output); !problem.empty())
        throw ex::Error(problem);
}

int RunExport(const ExamOptions& o) {
  if (o.csv.empty() && o.xlsx.empty() && !o.json && o.lms.empty())
    throw ex::Error("say what to export: --csv FILE, --xlsx FILE, --json or --lms PLATFORM FILE");
  const std::string lmsFile = o.lms.size() == 2 ? o.lms[1] : "";
  CheckOutputs({&o.csv, &o.xlsx, &lmsFile});
  auto project = ex::Project::Open(o.project, o.name, ex::Access::kRead);
  StepProgress progress(*project);
  if (!o.lms.empty()) {
    ex::ExportRequest request;
    request.format = o.lms[0];
    if (!ex::FindLmsPlatform(request.format))
      throw ex::Error("--lms " + request.format + ": not a platform this system writes for (" +
                      ex::LmsPlatformNames() + ")");
    request.lms = {request.format, o.itemName, o.lmsId, o.columnId};
    const ex::ExportFile file = ex::ExportBytes(*project, request);
    std::string error;
    if (!omr::common::WriteFileWhole(lmsFile, file.bytes, omr::common::IfExists::kReplace, error))
      throw ex::Error(error);
    for (const std::string& s : file.skipped) std::fprintf(stderr, "omrctl: not written: %s\n", s.c_str());
    const int written = file.records;
    std::printf("%s: %d student%s for %s%s\n", lmsFile.c_str(), written, written == 1 ? "" : "s",
                ex::FindLmsPlatform(request.format)->title,
                file.skipped.empty()
                    ? ""
                    : (", " + std::to_string(file.skipped.size()) + " left out (above)").c_str());
    for (const std::string& n : file.notes) std::printf("  %s\n", n.c_str());
  }
  if (o.csv.empty() && o.xlsx.empty() && !o.json) return kExitOk;
  const ex::ExportTables tables = ex::BuildTables(*project);
  if (!o.csv.empty()) {
    const ex::Table* table = tables.Find(o.sheets ? "sheets" : o.table.empty() ? "students" : o.table);
    if (!table)
      throw ex::Error("--table " + o.table +
                      ": the tables are students, sheets, items, review, groups and group-items");
    ex::WriteCsv(*table, o.csv, o.excel);
  }
  if (!o.xlsx.empty()) ex::WriteXlsx(tables, o.xlsx);
  if (o.json) std::printf("%s\n", ex::ExportJson(*project, tables).c_str());
  return kExitOk;
}

int RunStats(const ExamOptions& o) {
  auto project = ex::Project::Open(o.project, o.name, ex::Access::kRead);
  std::vector<ex::SheetScore> scores;
  {
    StepProgress progress(*project);
    scores = project->ScoreAll();
  }
  const ex::ExamAnalysis analysis =
      ex::AnalyzeScores(project->exam(), project->shape(), ex::CombineSheets(project->exam(), scores));
  if (!o.group.empty()) {
    const ex::ExamResults results =
        ex::BuildResults(project->exam(), project->shape(), project->roster(), scores, {o.group});
    std::fputs((o.json ? ex::GroupStatsJson(analysis, results, o.group)
                       : ex::GroupStatsText(analysis, results, o.group))
                   .c_str(),
               stdout);
    return kExitOk;
  }
  if (o.json) {
    std::fputs(ex::StatsJson(analysis).c_str(), stdout);
    return kExitOk;
  }
  const ex::Analysis* shown = ex::FindAnalysis(analysis, o.version);
  if (!shown) {
    std::string names;
    for (const ex::Analysis& v : analysis.versions) names += (names.empty() ? "" : ", ") + v.version;
    throw ex::Error("the exam has no version \"" + o.version + "\"; its versions are " + names);
  }
  std::fputs(ex::StatsText(analysis, *shown).c_str(), stdout);
  return kExitOk;
}

int RunResults(const ExamOptions& o) {
  if (o.html.empty() == o.pdf.empty())
    throw ex::Error("say where the slips go: --pdf FILE (one PDF for all) or --html DIR (one page each)");
  CheckOutputs({&o.pdf});
  auto project = ex::Project::Open(o.project, o.name, ex::Access::kRead);
  StepProgress progress(*project);
  ex::SlipOptions options;
  options.answers = !o.noAnswers;
  options.key = !o.noKey;
  options.picture = o.picture;
  options.statistics = o.classStats;
  options.half = o.half;
  options.byGroup = o.byGroup;
  options.students = o.students;
  if (!o.pdf.empty()) {
    const int n = ex::WriteSlipsPdf(*project, options, o.pdf);
    std::printf("%d slip%s printed to %s\n", n, n == 1 ? "" : "s", o.pdf.c_str());
  } else {
    const int n = ex::WriteSlipsHtml(*project, options, o.html);
    std::printf("%d slip%s written to %s (one page each, named by student ID)\n", n, n == 1 ? "" : "s",
                o.html.c_str());
  }
  return kExitOk;
}

int RunReport(const ExamOptions& o) {
  if (o.html.empty() && o.pdf.empty())
    throw ex::Error("say where to write the report: --html FILE, --pdf FILE or both");
  CheckOutputs({&o.html, &o.pdf});
  auto project = ex::Project::Open(o.project, o.name, ex::Access::kRead);
  std::string html;
  {
    StepProgress progress(*project);
    html = ex::RenderProjectReport(*project);
  }
  std::string error;
  if (!o.html.empty()) {
    if (!omr::common::WriteFileWhole(o.html, html, omr::common::IfExists::kReplace, error))
      throw ex::Error(error);
    std::printf("report written to %s\n", o.html.c_str());
  }
  if (!o.pdf.empty()) {
    if (!ex::PrintPdf(html, o.pdf, error)) throw ex::Error(error);
    std::printf("report printed to %s\n", o.pdf.c_str());
  }
  return kExitOk;
}

int RunIntegrity(const ExamOptions& o) {
  CheckOutputs({&o.html});
  auto project = ex::Project::Open(o.project, o.name, ex::Access::kRead);
  StepProgress progress(*project);
  ex::IntegrityOptions options;
  options.group = o.group;
  const ex::ProjectIntegrity screening = ex::AnalyzeProjectIntegrity(*project, options);
  if (!o.html.empty()) {
    std::string error;
    if (!omr::common::WriteFileWhole(
            o.html, ex::RenderIntegrityPage(screening.result, screening.title, screening.generated),
            omr::common::IfExists::kReplace, error))
      throw ex::Error(error);
  }
  if (o.json)
    std::fputs(ex::IntegrityJson(screening.result).c_str(), stdout);
  else if (o.html.empty())
    std::fputs(ex::IntegrityText(screening.result).c_str(), stdout);
  else
    std::printf("screening written to %s\n", o.html.c_str());
  return kExitOk;
}

#ifdef OMR_WITH_REVIEW
// Serves until SIGINT, SIGTERM or SIGHUP: the signals are taken by this
// thread (sigwait), the server runs in another.
int RunServe(const ExamOptions& o) {
  ex::ReviewOptions options;
  options.project = o.project;
  options.exam = o.name;
  options.hold = o.hold;
  std::string error;
  if (!ex::ParseListen(o.listen, options.host, options.port, error))
    throw ex::Error("--listen " + o.listen + ": " + error);
  ServerSignals signals;
  ex::ReviewServer server(options);
  std::printf("review page of %s: %s\n", o.project.c_str(), server.Url().c_str());
  const bool loopback = options.host == "127.0.0.1" || options.host == "::1" || options.host == "localhost";
  if (!loopback)
    std::printf("listening on %s for other machines too: give the address only to the reviewers\n",
                o.listen.c_str());
  std::printf("stop with Ctrl-C\n");
  std::fflush(stdout);
  if (!signals.Serve(server)) {
    std::fprintf(stderr, "omrctl: the review server stopped listening on %s\n", o.listen.c_str());
    return kExitUsage;
  }
  return kExitOk;
}
#endif

}  // namespace

CLI::App* AddExamCommands(CLI::App& app, ExamOptions& o) {
  CLI::App* exam = app.add_subcommand(
      "exam",
      "Exam projects: every sheet stored as it is read (in an SQLite file, or a PostgreSQL database that "
      "several stations share), scored against the answer keys, corrected and re-scored at will, analysed "
      "item "
      "by item");
  exam->require_subcommand(1);
  exam->footer(kExitCodesHelp);
  auto project = [&](CLI::App* c) {
    c->add_option("PROJECT", o.project, kProjectHelp)->required()->type_name("PROJECT");
    c->add_option("--name", o.name, "The exam in the project (when it holds several)")->type_name("NAME");
  };

  CLI::App* create =
      exam->add_subcommand("new",
                           "Create a project from an exam file (never over an existing file or project; in "
                           "PostgreSQL, in an empty database)");
  create->add_option("PROJECT", o.project, kProjectHelp)->required()->type_name("PROJECT");
  create->add_option("--exam", o.examFile, "The exam file (JSON with comments)")
      ->required()
      ->type_name("FILE");
  create->add_option("--name", o.name, "The exam's name in the project (default: exam)")->type_name("NAME");
  create->add_flag("--add", o.add, "Add the exam to an existing project (under a new --name)");
  create->add_option("--by", o.by, "Who creates it (default: $USER)")->type_name("NAME");
  constexpr const char* kEncodingHelp =
      "The roster's character set when it is not UTF-8 (gbk, gb18030, big5, latin1, cp1252, utf-16, ...; "
      "instead of the exam file's roster_encoding)";
  create->add_option("--roster-encoding", o.rosterEncoding, kEncodingHelp)->type_name("CHARSET");

  CLI::App* read = exam->add_subcommand(
      "read",
      "Read sheets into the project: each sheet is stored with its responses and score before the next is "
      "fed; one line per sheet (ID, version, score, review reasons) with a running count and sheets per "
      "minute");
  project(read);
  read->add_option("--station", o.station, "This station's name (default: the host name)")->type_name("NAME");
  read->add_option("--count", o.count, "Sheets to read (0: until the tray is empty)")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000000));
  read->add_option("--spool", o.spool,
                   "Where a sheet a PostgreSQL project could not take (the database is gone) is kept, as an "
                   "SQLite project (default: spool-STATION-TIME.omrexam here)")
      ->type_name("FILE");
  read->add_option("--max-errors", o.maxErrors,
                   "Stop after this many sheets in a row that were not read (0: never)")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000000));
  read->add_flag("--wait", o.wait,
                 "An empty tray does not end the run: the station asks the reader again every second "
                 "until it is stopped (SIGINT, SIGTERM) or the program that started it goes away");
  read->add_flag("--json", o.json,
                 "Print JSON Lines instead: the reader connected, each sheet as it is stored (number, ID, "
                 "name, version, score, reasons, the reader's code and message in English and Chinese, the "
                 "running count and sheets per minute), the tray running empty (--wait), a lost reader, "
                 "and the end with its exit code; docs/exams.md lists the fields");

  CLI::App* import = exam->add_subcommand(
      "import",
      std::string(
          "Add saved grids (from read --save-grids) as sheets, or the sheets of another project of the "
          "exam (a spool, an offline station's project) with their stations and times; a reading already "
          "here is skipped, a grid read before is flagged ") +
          omr::exam::reason::kDuplicateGrid);
  project(import);
  import->add_option("GRID", o.grids, "Grid files, spools or projects")->required()->type_name("FILE");
  import
      ->add_option(
          "--station", o.station,
          "The station grid files are counted to (default: import); the sheets of a project keep theirs")
      ->type_name("NAME");
  import->add_flag(
      "--as-this-exam", o.asThisExam,
      "The sheets of a project that is not this exam's (nor its spool or copy) are of this exam "
      "all the same (an offline station's project made with exam new): score them with its keys");

  CLI::App* type = exam->add_subcommand(
      "type",
      "Type in a sheet the reader cannot take (torn, crumpled, wet): its student ID, version and answers are "
      "stored as a typed sheet with who typed it, scored and reviewed like a read one");
  project(type);
  type->add_option("--id", o.typedId, "The student ID as written on the sheet")->type_name("ID");
  type->add_option("--version", o.version, "The sheet's version (a key's name; not needed with one version)")
      ->type_name("NAME");
  type->add_option("--part", o.part,
                   "Of an exam on several sheets a candidate: the sheet's part (its form letter, or what its "
                   "part question codes); --answers are then that part's items")
      ->type_name("NAME");
  type->add_option("--answers", o.answer,
                   "One entry per item in the sheet's order: the option marked (A), - for a blank, (AC) for "
                   "several marks; blanks between entries are skipped: \"CCEBC BD-(AC)A ...\"")
      ->required()
      ->type_name("TEXT");
  type->add_option("--by", o.by, "Who typed it (default: $USER)")->type_name("NAME");
  type->add_option("--station", o.station, "Where it was typed (default: typed)")->type_name("NAME");

  CLI::App* correct = exam->add_subcommand("correct",
                                           "Record a correction (append-only: who, when, old, new, why); the "
                                           "latest correction of a question counts");
  project(correct);
  correct->add_option("SHEET", o.sheet, "Sheet number")->required()->check(CLI::Range(1, 100000000));
  correct
      ->add_option(
          "QUESTION", o.target,
          "A question number (as omrctl numbers them), or id (the whole student ID), version, or sheet")
      ->required();
  correct->add_option("ANSWER", o.answer,
                      "An item: its marked options (\"B\", \"AC\", \"-\" for blank); a student ID or version "
                      "question: its character; id: the ID; version: a key's name; sheet: void or keep");
  correct->add_flag("--withdraw", o.withdraw,
                    "Withdraw the corrections of QUESTION: the reading counts again");
  correct->add_option("--by", o.by, "Who corrects")->required()->type_name("NAME");
  correct->add_option("--reason", o.reason, "Why")->type_name("TEXT");

  CLI::App* rekey = exam->add_subcommand(
      "rekey",
      "Replace the keys and scoring with a new exam file, or change one item (--item), and re-score; the new "
      "exam file is a new revision, the old one stays in the history. Prints the sheets whose total or "
      "percent changes, the largest change first, and how many others keep theirs");
  project(rekey);
  rekey->add_option("--exam", o.examFile, "The new exam file")->type_name("FILE");
  rekey->add_option("--item", o.item, "The master item to change (as the report and exports number items)")
      ->check(CLI::Range(1, 100000))
      ->type_name("N");
  rekey->add_option("--key", o.key, "--item's new key option (its other correct options go unless --accept)")
      ->type_name("OPTION");
  rekey->add_option("--accept", o.accept, "--item's further correct options besides the key (\"BD\")")
      ->type_name("OPTIONS");
  rekey->add_flag("--void", o.voidItem, "--item is void: out of the score and the maximum");
  rekey->add_flag("--bonus", o.bonus, "--item is a bonus: full points for every sheet");
  rekey->add_flag("--dry-run", o.dryRun, "Print what would change; store nothing");
  rekey->add_flag("--json", o.json, "Print the changed sheets as one JSON object");
  rekey->add_option("--roster-encoding", o.rosterEncoding, kEncodingHelp)->type_name("CHARSET");
  rekey->add_option("--by", o.by, "Who (default: $USER)")->type_name("NAME");

  CLI::App* rescan = exam->add_subcommand(
      "rescan", "Run the recognition again on the stored grids (with a changed form: --form) and re-score");
  project(rescan);
  rescan->add_option("--form", o.form, "A new form file (a changed G line), kept in the history")
      ->type_name("FILE");
  rescan->add_option("--by", o.by, "Who (default: $USER)")->type_name("NAME");

  CLI::App* status = exam->add_subcommand("status",
                                          "Sheets, students, scored, waiting for review by reason, reviewed, "
                                          "duplicates, stations, unfinished runs");
  project(status);
  status->add_flag("--json", o.json, "Print one JSON object");

  CLI::App* exp = exam->add_subcommand("export",
                                       "Per student (ID, roster columns, version, total, maximum, percent, "
                                       "then per master item the response and "
                                       "its points) and per sheet");
  project(exp);
  CLI::Option* csv =
      exp->add_option("--csv", o.csv, "Write the students (or with --sheets, the sheets) as CSV")
          ->type_name("FILE");
  exp->add_flag("--sheets", o.sheets, "--csv writes one row per sheet");
  exp->add_option(
         "--table", o.table,
         "The table --csv writes: students (default), sheets, items, review, groups (per group: totals, "
         "grades, topics) or group-items (the item analysis of each group)")
      ->type_name("NAME");
  exp->add_flag("--excel", o.excel, "Write the CSV for spreadsheets: UTF-8 with a byte-order mark, CRLF")
      ->needs(csv);
  exp->add_option("--xlsx", o.xlsx,
                  "Write a workbook: students, sheets, items, review reasons and the item analysis (test "
                  "statistics, items, options)")
      ->type_name("FILE");
  exp->add_flag(
      "--json", o.json,
      "Print everything as one JSON document (per student the records the platforms' files hold, and more)");
  CLI::Option* lms =
      exp->add_option(
             "--lms", o.lms,
             "Write PLATFORM's grade import to FILE: moodle, canvas, blackboard or brightspace (only "
             "students the roster has; the others are listed on standard error)")
          ->expected(2)
          ->type_name("PLATFORM FILE");
  exp->add_option("--item-name", o.itemName,
                  "--lms: the grade item (assignment, column) in the platform's gradebook (default: the exam "
                  "file's lms.item, else its title)")
      ->needs(lms)
      ->type_name("NAME");
  exp->add_option(
         "--lms-id", o.lmsId,
         "--lms: the roster column that holds the platform's identifier (Moodle: ID number or e-mail; "
         "Canvas: SIS User ID; Blackboard: Username; Brightspace: OrgDefinedId; default: the exam "
         "file's lms columns, else the roster's id)")
      ->needs(lms)
      ->type_name("COLUMN");
  exp->add_option(
         "--column-id", o.columnId,
         "--lms blackboard: the Grade Center column's ID (the number after \"|\" in a downloaded file)")
      ->needs(lms)
      ->type_name("ID");

  CLI::App* stats = exam->add_subcommand(
      "stats",
      "Item analysis on the terminal: the figures of the totals the students get (SD and SEM from n - 1), "
      "then per item the key, its points and mean points, p (the share answered right), D, the item-total "
      "and item-rest correlations of right/wrong, alpha if the item is deleted, flags (key?, negative, "
      "weak, hard, easy) and the share of each option, then why each flagged item is flagged");
  project(stats);
  stats->add_option("--version", o.version, "One version's analysis (default: all versions together)")
      ->type_name("NAME");
  stats->add_flag("--json", o.json, "Print every figure of all versions and of each version as JSON");
  stats
      ->add_option("--group", o.group,
                   "The item analysis of each group of this roster column (class, room) instead")
      ->type_name("COLUMN");

  CLI::App* results = exam->add_subcommand(
      "results",
      "Result slips, one page per student (or half a page with --half): name, ID, version, total, percent, "
      "mark and grade, topic subscores, and the items in the student's own order with their answer, the key "
      "and the points; answers the recognition doubted that nobody reviewed are marked. One PDF for all "
      "(--pdf, printed with Chromium) or one HTML page each (--html), readable on a phone; nothing in them "
      "comes from elsewhere");
  project(results);
  results->add_option("--pdf", o.pdf, "Print every slip into this PDF (an existing file is replaced)")
      ->type_name("FILE");
  results->add_option("--html", o.html, "Write one page per student into this folder, named by student ID")
      ->type_name("DIR");
  results
      ->add_option("--student", o.students,
                   "Only these students (IDs); default: every student with a scored "
                   "sheet, in roster order")
      ->type_name("ID");
  results->add_option("--by-group", o.byGroup, "Order the slips by this roster column (roster order within)")
      ->type_name("COLUMN");
  results->add_flag("--half", o.half, "Half an A4 page per slip, two to a page");
  results->add_flag("--no-answers", o.noAnswers, "Leave out the table of items");
  results->add_flag("--no-key", o.noKey, "Leave out the key and the points beside the answers");
  results->add_flag("--sheet", o.picture, "Add the sheet's picture as the reader saw it, the key ringed");
  results->add_flag("--class-stats", o.classStats,
                    "Add the figures of all students and of the student's groups (mean, median, topics)");

  CLI::App* report = exam->add_subcommand(
      "report",
      "Write the exam report: one self-contained HTML page (summary, histogram of totals, sortable item "
      "table, a panel per flagged item, sheets waiting for review, results by group and topic), and print it "
      "to PDF with Chromium");
  project(report);
  report->add_option("--html", o.html, "Write the page here (an existing file is replaced)")
      ->type_name("FILE");
  report->add_option("--pdf", o.pdf, "Print the page to PDF here with headless Chromium (Debian: chromium)")
      ->type_name("FILE");

  CLI::App* integrity = exam->add_subcommand(
      "integrity",
      "Screen the exam for what a person may want to look at: answer changes (erasures) per student and "
      "group, answer similarity between pairs of students, item bias between versions and groups "
      "(Mantel-Haenszel, ETS classes), Rasch measures and item fit, and the key an item flagged \"key?\" "
      "seems to have; every flag with its figures and its method");
  project(integrity);
  integrity->add_flag("--json", o.json, "Print every figure as one JSON object");
  integrity->add_option("--html", o.html, "Write the screening as a page (an existing file is replaced)")
      ->type_name("FILE");
  integrity
      ->add_option("--group", o.group,
                   "The roster column (or station) whose groups are compared and within which students are "
                   "paired (default: every roster column that groups students, and station; pairs over all "
                   "students up to 5,000)")
      ->type_name("COLUMN");

  CLI::App* backup = exam->add_subcommand(
      "backup",
      "Copy an SQLite project while it is in use: one consistent state in a single file, checked before it "
      "takes its name (a plain file copy can miss the last commits)");
  backup->add_option("PROJECT", o.project, "The project: an SQLite file")->required()->type_name("PROJECT");
  backup->add_option("FILE", o.copy, "The copy (never over an existing file without --force)")
      ->required()
      ->type_name("FILE");
  backup->add_flag("--force", o.force, "Replace an existing FILE (once the copy is complete)");

#ifdef OMR_WITH_REVIEW
  CLI::App* serve = exam->add_subcommand(
      "serve",
      "Serve the review page: people check the doubtful sheets in a browser, every correction stored at once "
      "with their name; prints the address to open (with its access token)");
  project(serve);
  serve
      ->add_option("--listen", o.listen,
                   "ADDRESS:PORT to listen on (port 0 picks a free one); another address than 127.0.0.1 lets "
                   "other machines in, still with the token")
      ->capture_default_str()
      ->type_name("ADDR:PORT");
  serve
      ->add_option(
          "--hold", o.hold,
          "Seconds a sheet stays held by the reviewer who opened it unless his page renews it; other "
          "reviewers' next sheet passes it by")
      ->capture_default_str()
      ->check(CLI::Range(ex::kMinHold, ex::kMaxHold))
      ->type_name("SECONDS");
#endif
  for (CLI::App* c : exam->get_subcommands({})) c->footer(exam->get_footer());
  return exam;
}

int RunExam(const GlobalOptions& global, CLI::App* exam, const ExamOptions& given) {
  ExamOptions o = given;
  if (o.by.empty()) o.by = DefaultAuthor();
  try {
    const std::string name = exam->get_subcommands().front()->get_name();
    if (name == "new") return RunNew(o);
    if (name == "read") return RunRead(global, o);
    if (name == "import") return RunImport(global, o);
    if (name == "correct") return RunCorrect(global, o);
    if (name == "type") return RunType(global, o);
    if (name == "rekey") return RunRekey(o);
    if (name == "rescan") return RunRescan(o);
    if (name == "status") return RunStatus(o);
    if (name == "export") return RunExport(o);
    if (name == "stats") return RunStats(o);
    if (name == "results") return RunResults(o);
    if (name == "report") return RunReport(o);
    if (name == "integrity") return RunIntegrity(o);
    if (name == "backup") return RunBackup(o);

#ifdef OMR_WITH_REVIEW
    if (name == "serve") return RunServe(o);
#endif
  } catch (const std::exception& e) {
    return Fail(e);
  }
  return kExitUsage;
}

}  // namespace omrctl
