#include "office_reading.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "error.h"
#include "project.h"
#include "reader.h"
#include "text.h"
#include "vocabulary.h"

extern char** environ;

namespace omr::exam::office {

namespace {

using Clock = std::chrono::steady_clock;
using http::HttpError;

constexpr std::size_t kMaxLine = 64 * 1024;      // a line of a station's output
constexpr std::size_t kMaxErrorText = 4 * 1024;  // what is kept of its standard error
constexpr int kScanSeconds = 10;                 // a discovery of all ports at most
constexpr int kFoundSeconds = 30;                // what discovery found stays that long
constexpr int kStopSeconds = 20;                 // a station's sheet in flight, when the server stops
constexpr std::size_t kMaxChunk = 64 * 1024;     // events sent in one go

// A child process with its standard output and error in pipes, standard
// input from /dev/null, in a process group of its own (a Ctrl-C at the
// office's terminal reaches the office only, which stops its stations one
// signal at a time), with the signals the office holds off set back.
struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

Child Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& port) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, "OMR_SERIAL_PORTS=", 17) != 0) env.emplace_back(*e);
  // The one port the child looks at; empty: no serial port, the USB bridge only.
  env.push_back("OMR_SERIAL_PORTS=" + port);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0) throw Error(std::string("cannot make a pipe: ") + std::strerror(errno));
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw Error(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  Child child;
  const int rc = ::posix_spawn(&child.pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]);
    ::close(err[0]);
    throw Error("cannot start " + program + ": " + std::strerror(rc));
  }
  child.out = out[0];
  child.err = err[0];
  return child;
}

// Reads what is there of `fd` into `into` (at most `limit` kept); false at its end.
bool Drain(int fd, std::string& into, std::size_t limit) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  if (into.size() > limit) into.erase(0, into.size() - limit);
  return true;
}

std::string LastLine(const std::string& text) {
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  const std::size_t nl = t.rfind('\n');
  std::string line = nl == std::string::npos ? t : t.substr(nl + 1);
  if (line.rfind("omrctl: ", 0) == 0) line.erase(0, 8);
  return CleanUtf8(line);
}

std::string Host() {
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 && name[0] ? VisibleAscii(name) : std::string("station");
}

bool OnBoard(const std::string& port) {
  return port.rfind("/dev/ttyS", 0) == 0;
}

std::string Sse(std::int64_t id, const std::string& event, const Json& data) {
  return "id: " + std::to_string(id) + "\nevent: " + event + "\ndata: " + api::Dump(data) + "\n\n";
}

}  // namespace

struct Reading::Station {
  int id = 0;
  StationStart start;
  pid_t pid = -1;
  bool running = true;
  bool stopAsked = false;
  std::string state =
      "starting";      // starting, reading, waiting, refused, lost, stopping, stopped, ended, failed
  std::string reader;  // the port it connected to, as it says
  std::string firmware;
  std::string serial;
  int stored = 0;
  int failed = 0;
  int waiting = 0;
  int last = 0;     // the number of the last sheet stored
  int refused = 0;  // the sheet the reader refused last (to feed again), 0 when the next one came
  double rate = 0;
  std::string end;         // how the run ended
  Json message = nullptr;  // the reader's message ({"en", "zh"}) or omrctl's text
  int exit = -1;
  std::string startedAt;
  std::string errors;  // the end of its standard error
  int changes = 0;     // its state's number: a page keeps the latest it saw
};

// One exam's events, numbered from 1, the latest kept.
struct Reading::Log {
  std::mutex mutex;
  std::int64_t next = 1;
  std::deque<std::pair<std::int64_t, std::string>> events;  // number, as sent
  std::vector<std::weak_ptr<http::Stream>> followers;
};

namespace {

// The events of one exam for one page, as server-sent events: what happened
// after `since`, then each new one as it comes; a comment line every few
// seconds when nothing does (a page that went away is noticed).
class EventStream final : public http::Stream {
 public:
  EventStream(std::shared_ptr<Reading::Log> log, std::int64_t since)
      : log_(std::move(log)), next_(since + 1), lastSent_(Clock::now()) {}

  long Read(char* out, std::size_t size) override {
    if (offset_ >= pending_.size()) {
      pending_.clear();
      offset_ = 0;
      const std::lock_guard<std::mutex> lock(log_->mutex);
      if (!log_->events.empty() && next_ < log_->events.front().first) {
        // Events were dropped since: the page reads the state again.
        pending_ = "event: reset\ndata: {}\n\n";
        next_ = log_->events.front().first;
      }
      if (next_ > log_->next) next_ = log_->next;  // a number from before a restart
      for (const auto& [id, text] : log_->events) {
        if (id < next_) continue;
        if (pending_.size() + text.size() > kMaxChunk && !pending_.empty()) break;
        pending_ += text;
        next_ = id + 1;
      }
    }
    if (pending_.empty()) {
      if (Clock::now() - lastSent_ < std::chrono::seconds(kHeartbeatSeconds)) return 0;
      pending_ = ": still here\n\n";
    }
    const std::size_t n = std::min(size, pending_.size() - offset_);
    std::memcpy(out, pending_.data() + offset_, n);
    offset_ += n;
    lastSent_ = Clock::now();
    return static_cast<long>(n);
  }

 private:
  std::shared_ptr<Reading::Log> log_;
  std::int64_t next_;
  std::string pending_;
  std::size_t offset_ = 0;
  Clock::time_point lastSent_;
};

}  // namespace

Reading::Reading(std::string program, std::vector<std::string> ports)
    : program_(std::move(program)), ports_(std::move(ports)) {}

Reading::~Reading() {
  StopAll();
}

// ------------------------------------------------------------- readers

std::vector<ReaderInfo> Reading::Discover() {
  struct Candidate {
    ReaderInfo info;
    Child child;
    std::string out;
    std::string err;
    bool scanning = false;
  };
  std::vector<Candidate> candidates;
  std::vector<std::string> inUse;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : stations_)
      if (s->running) inUse.push_back(s->start.port);
  }
  auto add = [&](const std::string& port, const std::string& problem) {
    Candidate c;
    c.info.port = port;
    c.info.name = port.empty() ? "USB bridge" : port;
    c.info.problem = problem;
    candidates.push_back(std::move(c));
  };
  if (!ports_.empty()) {
    for (const std::string& p : ports_) add(p, "");
  } else {
    for (const reading::PortTried& p : reading::TryPorts("")) {
      if (p.state == reading::PortState::kSilent)
        add(p.name, "");
      else if ((p.state == reading::PortState::kBusy || p.state == reading::PortState::kDenied) &&
               !OnBoard(p.name))
        add(p.name, p.why);
    }
    add("", "");  // the USB bridge
  }
  for (Candidate& c : candidates) {
    if (!c.info.problem.empty() || std::find(inUse.begin(), inUse.end(), c.info.port) != inUse.end())
      continue;
    try {
      c.child = Spawn(program_, {"scan", "--json"}, c.info.port);
      c.scanning = true;
    } catch (const Error& e) {
      c.info.problem = e.what();
    }
  }
  // Every scan at once, each until its end or the deadline.
  const auto deadline = Clock::now() + std::chrono::seconds(kScanSeconds);
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<std::pair<Candidate*, bool>> owners;  // candidate, standard output
    for (Candidate& c : candidates) {
      if (c.child.out >= 0) {
        fds.push_back({c.child.out, POLLIN, 0});
        owners.push_back({&c, true});
      }
      if (c.child.err >= 0) {
        fds.push_back({c.child.err, POLLIN, 0});
        owners.push_back({&c, false});
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (fds.empty() || left <= 0) break;
    if (::poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      Candidate& c = *owners[i].first;
      int& fd = owners[i].second ? c.child.out : c.child.err;
      if (!Drain(fd, owners[i].second ? c.out : c.err, kMaxErrorText)) {
        ::close(fd);
        fd = -1;
      }
    }
  }
  std::vector<ReaderInfo> found;
  for (Candidate& c : candidates) {
    if (c.scanning) {
      for (int* fd : {&c.child.out, &c.child.err}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
      }
      ::kill(c.child.pid, SIGKILL);  // nothing if it ended
      int status = 0;
      ::waitpid(c.child.pid, &status, 0);
      const Json j = Json::parse(c.out, nullptr, false);
      const bool answered = j.is_object() && j.contains("port") && j["port"].is_string();
      // Without an answer on its port the library goes on to the USB bridge: that one is not this port.
      const bool here = answered && (j["port"] == (c.info.port.empty() ? "USB bridge" : c.info.port));
      if (here) {
        c.info.found = true;
        if (j.contains("firmware") && j["firmware"].is_string()) c.info.firmware = CleanUtf8(j["firmware"]);
        if (j.contains("serial") && j["serial"].is_string()) c.info.serial = CleanUtf8(j["serial"]);
      } else {
        const std::string why = LastLine(c.err);
        c.info.problem = why.empty() ? "nothing answered on " + c.info.name : why;
      }
    } else if (c.info.problem.empty()) {
      c.info.problem = "a station of this office reads there";
    }
    // Ports found by looking that did not answer are left out (an on-board terminal, a modem).
    if (!c.info.found && ports_.empty() &&
        (c.info.port.empty() || c.info.problem.rfind("nothing answered", 0) == 0 ||
         c.info.problem.rfind("no reader found", 0) == 0))
      continue;
    found.push_back(c.info);
  }
  return found;
}

Json Reading::Readers(bool fresh) {
  std::vector<ReaderInfo> readers;
  {
    const std::lock_guard<std::mutex> lock(discoveryMutex_);
    if (fresh || foundAt_ == Clock::time_point{} ||
        Clock::now() - foundAt_ > std::chrono::seconds(kFoundSeconds)) {
      found_ = Discover();
      foundAt_ = Clock::now();
    }
    readers = found_;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  Json list = Json::array();
  for (ReaderInfo& r : readers) {
    for (const auto& s : stations_) {
      if (!s->running || s->start.port != r.port) continue;
      r.station = s->id;
      if (r.firmware.empty()) r.firmware = s->firmware;
      if (r.serial.empty()) r.serial = s->serial;
    }
    list.push_back({{"port", CleanUtf8(r.port)},
                    {"name", CleanUtf8(r.name)},
                    {"found", r.found || r.station != 0},
                    {"firmware", r.firmware},
                    {"serial", r.serial},
                    {"problem", r.station           ? Json(nullptr)
                                : r.problem.empty() ? Json(nullptr)
                                                    : Json(r.problem)},
                    {"station", r.station ? Json(r.station) : Json(nullptr)}});
  }
  return {{"readers", list}, {"host", Host()}, {"named", !ports_.empty()}};
}

// ------------------------------------------------------------ stations

Json Reading::StationJson(const Station& s) const {
  return {{"id", s.id},
          {"changes", s.changes},
          {"name", CleanUtf8(s.start.name)},
          {"port", CleanUtf8(s.start.port)},
          {"reader",
           CleanUtf8(s.reader.empty() ? (s.start.port.empty() ? "USB bridge" : s.start.port) : s.reader)},
          {"state", s.state},
          {"running", s.running},
          {"firmware", s.firmware},
          {"serial", s.serial},
          {"stored", s.stored},
          {"failed", s.failed},
          {"waiting", s.waiting},
          {"last", s.last},
          {"refused", s.refused},
          {"rate", s.rate},
          {"end", s.end},
          {"message", s.message},
          {"exit", s.exit},
          {"started_at", s.startedAt}};
}

void Reading::Append(const std::string& examKey, const std::string& event, const Json& data) {
  auto& log = logs_[examKey];
  if (!log) log = std::make_shared<Log>();
  std::vector<std::shared_ptr<http::Stream>> wake;
  {
    const std::lock_guard<std::mutex> lock(log->mutex);
    const std::int64_t id = log->next++;
    log->events.emplace_back(id, Sse(id, event, data));
    while (log->events.size() > kMaxEventsKept) log->events.pop_front();
    auto& f = log->followers;
    f.erase(std::remove_if(f.begin(), f.end(), [](const auto& w) { return w.expired(); }), f.end());
    for (const auto& w : f)
      if (auto s = w.lock()) wake.push_back(std::move(s));
  }
  // Outside the log's lock: a stream being read holds its own lock, then the log's.
  for (const auto& s : wake) s->Wake();
}

void Reading::Changed(Station& s) {
  ++s.changes;
  Append(s.start.examKey, "station", StationJson(s));
}

void Reading::Publish(const std::string& examKey, const std::string& event, const Json& data) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Append(examKey, event, data);
}

Json Reading::Start(const StationStart& start) {
  std::string why = NameProblem(start.name);
  if (!why.empty()) throw HttpError(400, "station: " + why);
  auto station = std::make_shared<Station>();
  station->start = start;
  station->startedAt = NowUtc();
  std::vector<std::string> args = {"exam",     "read",   start.location, "--station",
                                   start.name, "--json", "--wait"};
  if (!start.exam.empty()) args.insert(args.begin() + 3, {"--name", start.exam});
  const std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) throw HttpError(503, "the office is stopping");
  int running = 0;
  for (const auto& s : stations_) {
    if (!s->running) continue;
    ++running;
    if (s->start.port == start.port)
      throw HttpError(409, "station " + s->start.name + " reads on " +
                               (start.port.empty() ? std::string("the USB bridge") : start.port) +
                               " already: stop it first");
    if (s->start.examKey == start.examKey && s->start.name == start.name)
      throw HttpError(
          409, "a station named " + start.name + " reads into this exam already: name this one otherwise");
  }
  if (running >= kMaxStations)
    throw HttpError(409, std::to_string(running) + " stations read already (at most " +
                             std::to_string(kMaxStations) + " at once)");
  // Started under the lock: two pages asking for one reader at once get it once.
  const Child child = Spawn(program_, args, start.port);
  station->id = nextStation_++;
  station->pid = child.pid;
  stations_.push_back(station);
  while (stations_.size() > 4 * static_cast<std::size_t>(kMaxStations)) {
    // The oldest ended ones go (their sheets are in the project).
    const auto ended =
        std::find_if(stations_.begin(), stations_.end(), [](const auto& s) { return !s->running; });
    if (ended == stations_.end()) break;
    stations_.erase(ended);
  }
  Changed(*station);
  // The relays of stations that ended are done (they end with the lock given back).
  for (auto r = relays_.begin(); r != relays_.end();) {
    if (r->first->running) {
      ++r;
      continue;
    }
    r->second.join();
    r = relays_.erase(r);
  }
  relays_.emplace_back(station, std::thread(&Reading::Relay, this, station, child.out, child.err));
  return StationJson(*station);
}

Json Reading::Stop(const std::string& examKey, int id) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& s : stations_) {
    if (s->id != id || s->start.examKey != examKey) continue;
    if (s->running && !s->stopAsked && s->pid > 0) {
      // One signal: the station stops after the sheet in flight is stored.
      ::kill(s->pid, SIGTERM);
      s->stopAsked = true;
      s->state = "stopping";
      Changed(*s);
    }
    return StationJson(*s);
  }
  throw NotFoundError("this exam has no station " + std::to_string(id));
}

Json Reading::Stations(const std::string& examKey) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Json list = Json::array();
  for (const auto& s : stations_)
    if (s->start.examKey == examKey) list.push_back(StationJson(*s));
  const auto log = logs_.find(examKey);
  std::int64_t last = 0;
  if (log != logs_.end()) {
    const std::lock_guard<std::mutex> inner(log->second->mutex);
    last = log->second->next - 1;
  }
  return {{"stations", list}, {"last_event", last}};
}

std::shared_ptr<http::Stream> Reading::Events(const std::string& examKey, std::int64_t since) {
  const std::lock_guard<std::mutex> lock(mutex_);
  auto& log = logs_[examKey];
  if (!log) log = std::make_shared<Log>();
  auto stream = std::make_shared<EventStream>(log, since);
  const std::lock_guard<std::mutex> inner(log->mutex);
  log->followers.push_back(stream);
  return stream;
}

void Reading::Take(Station& s, const std::string& line) {
  const Json j = Json::parse(line, nullptr, false);
  if (!j.is_object() || !j.contains("event") || !j["event"].is_string()) return;
  const std::string event = j["event"];
  auto text = [&](const char* name) {
    const auto at = j.find(name);
    return at != j.end() && at->is_string() ? CleanUtf8(at->get<std::string>()) : std::string();
  };
  auto whole = [&](const char* name) {
    const auto at = j.find(name);
    return at != j.end() && at->is_number_integer() ? at->get<int>() : 0;
  };
  const std::lock_guard<std::mutex> lock(mutex_);
  if (event == "connected") {
    s.reader = text("port");
    s.firmware = text("firmware");
    s.serial = text("serial");
    if (!s.stopAsked) s.state = "reading";
  } else if (event == "sheet") {
    s.stored = whole("stored");
    s.last = whole("sheet");
    const auto rate = j.find("rate");
    if (rate != j.end() && rate->is_number()) s.rate = rate->get<double>();
    const auto feedAgain = j.find("feed_again");
    const bool again = feedAgain != j.end() && feedAgain->is_boolean() && feedAgain->get<bool>();
    if (whole("code") != 0) ++s.failed;
    const auto reasons = j.find("reasons");
    if (reasons != j.end() && reasons->is_array() && !reasons->empty()) ++s.waiting;
    s.refused = again ? s.last : 0;
    if (!s.stopAsked) s.state = again ? "refused" : "reading";
    Json sheet = j;
    sheet.erase("event");
    sheet["station"] = s.id;
    sheet["station_name"] = CleanUtf8(s.start.name);
    sheet["source"] = "read";
    Append(s.start.examKey, "sheet", sheet);
  } else if (event == "waiting") {
    if (!s.stopAsked) s.state = s.refused ? "refused" : "waiting";
  } else if (event == "lost") {
    s.state = "lost";
    s.message = j.contains("message") && j["message"].is_object() ? j["message"] : Json(nullptr);
  } else if (event == "end") {
    s.end = text("end");
    s.exit = whole("exit");
    if (s.state != "lost") {
      s.state = s.end == "stopped" ? "stopped" : "ended";
      const std::string message = text("message");
      if (!message.empty()) s.message = message;
    }
  } else if (event == "error") {
    s.state = "failed";
    s.exit = whole("exit");
    s.message = text("message");
  } else {
    return;
  }
  Changed(s);
}

void Reading::Relay(std::shared_ptr<Station> station, int out, int err) {
  std::string pending;
  std::string errors;
  bool tooLong = false;  // a line past kMaxLine: skipped to its end
  while (out >= 0 || err >= 0) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (out >= 0 && fds[0].revents) {
      char buffer[8192];
      const ssize_t n = ::read(out, buffer, sizeof buffer);
      if (n <= 0 && !(n < 0 && errno == EINTR)) {
        ::close(out);
        out = -1;
      } else if (n > 0) {
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
          if (!tooLong) Take(*station, pending.substr(0, nl));
          tooLong = false;
          pending.erase(0, nl + 1);
        }
        if (pending.size() > kMaxLine) {
          pending.clear();
          tooLong = true;
        }
      }
    }
    if (err >= 0 && fds[1].revents && !Drain(err, errors, kMaxErrorText)) {
      ::close(err);
      err = -1;
    }
  }
  int status = 0;
  while (::waitpid(station->pid, &status, 0) < 0 && errno == EINTR) {
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  station->running = false;
  station->errors = errors;
  if (station->exit < 0) station->exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (station->end.empty() && station->state != "failed") {
    // It ended without saying how (killed, crashed): its last words.
    station->state = "failed";
    const std::string why = LastLine(errors);
    station->message = why.empty() ? "the station ended with " + std::to_string(station->exit) : why;
  }
  Changed(*station);
  ended_.notify_all();
}

void Reading::StopAll() {
  std::vector<std::pair<std::shared_ptr<Station>, std::thread>> relays;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    auto signal = [&](int sig) {
      for (const auto& s : stations_)
        if (s->running && s->pid > 0) ::kill(s->pid, sig);
    };
    auto anyRunning = [&] {
      return std::any_of(stations_.begin(), stations_.end(), [](const auto& s) { return s->running; });
    };
    for (const auto& s : stations_)
      if (s->running && !s->stopAsked && s->pid > 0) {
        ::kill(s->pid, SIGTERM);
        s->stopAsked = true;
      }
    // Each stores its sheet in flight first; one that does not stop is stopped at once (it names that sheet).
    if (!ended_.wait_for(lock, std::chrono::seconds(kStopSeconds), [&] { return !anyRunning(); })) {
      signal(SIGTERM);
      if (!ended_.wait_for(lock, std::chrono::seconds(5), [&] { return !anyRunning(); })) signal(SIGKILL);
    }
    relays.swap(relays_);
  }
  for (auto& [station, thread] : relays)
    if (thread.joinable()) thread.join();
}

}  // namespace omr::exam::office
