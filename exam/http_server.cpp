#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <list>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

#include "text.h"

namespace omr::exam::http {

namespace {

using Clock = std::chrono::steady_clock;

// The pages load their own files only; nothing inline, nothing from elsewhere.
const char* const kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool IsApi(const std::string& path) {
  return path == "/api" || path.rfind("/api/", 0) == 0;
}

// What the caller sent, short enough to quote back.
std::string Quote(const std::string& text) {
  constexpr std::size_t kShown = 40;
  std::string shown = CleanUtf8(text.substr(0, kShown));
  return "\"" + shown + (text.size() > kShown ? "...\"" : "\"");
}

std::string AddressText(const sockaddr* addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr == nullptr) return "?";
  if (addr->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
  else if (addr->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text, sizeof text);
  return text;
}

// %XX and "+" (a blank in a query, as forms and URLSearchParams write it).
// NUL bytes stay: the sized values show them, and they are refused by name.
std::size_t Unescape(void*, MHD_Connection*, char* text) {
  char* out = text;
  for (const char* in = text; *in;) {
    if (*in == '%' && std::isxdigit(static_cast<unsigned char>(in[1])) &&
        std::isxdigit(static_cast<unsigned char>(in[2]))) {
      auto hex = [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10;
      };
      *out++ = static_cast<char>(hex(in[1]) * 16 + hex(in[2]));
      in += 3;
    } else {
      *out++ = *in == '+' ? ' ' : *in;
      ++in;
    }
  }
  *out = '\0';
  return static_cast<std::size_t>(out - text);
}

// One open connection as the limits see it. `fd` is our own duplicate of the
// socket: shutting it down ends the connection without racing its close.
struct Connection {
  int fd = -1;
  std::string client;
  Clock::time_point deadline;
  bool answering = false;  // a whole request is in: the answer's time runs
  bool cut = false;
  bool reserved = false;  // admitted, not yet opened (deadline: when the reservation lapses)
};

// One request while its body comes in.
struct Pending {
  std::string body;
  std::size_t limit = 0;
  bool tooLarge = false;
};

}  // namespace

std::string Request::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (key == name) return value;
  return {};
}

bool Request::HasParam(std::string_view name) const {
  return std::any_of(params.begin(), params.end(), [&](const auto& p) { return p.first == name; });
}

std::string Request::Param(std::string_view name) const {
  for (const auto& [key, value] : params)
    if (key == name) return value;
  return {};
}

void Stream::Wake() {
  std::function<void()> wake;
  {
    const std::lock_guard<std::mutex> lock(wakeMutex_);
    wake = wake_;
  }
  if (wake) wake();
}

void Stream::SetWaker(std::function<void()> wake) {
  const std::lock_guard<std::mutex> lock(wakeMutex_);
  wake_ = std::move(wake);
}

void Response::Set(std::string name, std::string value) {
  const std::string lower = Lower(name);
  headers.erase(
      std::remove_if(headers.begin(), headers.end(), [&](const auto& h) { return Lower(h.first) == lower; }),
      headers.end());
  headers.emplace_back(std::move(name), std::move(value));
}

void SendError(const std::string& path, Response& res, int status, const std::string& message) {
  res.status = status;
  if (IsApi(path)) {
    res.type = "application/json";
    res.body = nlohmann::json{{"error", CleanUtf8(message)}}.dump(-1, ' ', false,
                                                                  nlohmann::json::error_handler_t::replace);
  } else {
    res.type = "text/plain; charset=utf-8";
    res.body = CleanUtf8(message) + "\n";
  }
}

std::string RandomHex() {
  unsigned char bytes[32];
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  std::size_t got = 0;
  while (fd >= 0 && got < sizeof bytes) {
    const ssize_t n = ::read(fd, bytes + got, sizeof bytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (fd >= 0) ::close(fd);
  if (got != sizeof bytes) throw std::runtime_error("cannot read random bytes from /dev/urandom");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

bool SameToken(std::string_view given, std::string_view token) {
  // Every byte of the token is compared whatever the given text holds.
  unsigned diff = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= g ^ static_cast<unsigned char>(token[i]);
  }
  return diff == 0 && !token.empty();
}

bool IsLoopback(const std::string& host) {
  if (Lower(host) == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

struct Server::Impl {
  ServerOptions options;
  std::vector<Route> routes;
  int listenFd = -1;
  int port = 0;
  bool checkHost = true;  // listening on this machine only: Host must name it
  MHD_Daemon* daemon = nullptr;

  std::mutex ticketMutex;
  struct Ticket {
    std::string path;
    unsigned grants;
    Clock::time_point end;
  };
  std::map<std::string, Ticket> tickets;

  // Routes' work runs on a thread of its own, waited for up to workSeconds.
  struct Job {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    Response res;
    std::exception_ptr error;
  };
  std::mutex jobMutex;
  std::condition_variable jobsDone;
  int jobs = 0;

  // Streams being sent: the connection, whether it waits for Wake(), when
  // it ends. The library holds a Holder of each until it lets go of it.
  struct Streaming {
    std::shared_ptr<Stream> stream;
    MHD_Connection* connection = nullptr;
    std::mutex mutex;
    bool suspended = false;
    bool done = false;
    Clock::time_point end;
  };
  struct Holder {
    Impl* impl;
    std::shared_ptr<Streaming> streaming;
  };
  std::mutex streamMutex;
  std::list<std::shared_ptr<Streaming>> streams;
  std::atomic<bool> streamsEnd{false};  // the server stops: every stream ends

  std::mutex mutex;  // guards what follows
  std::list<Connection> connections;
  std::condition_variable wake;
  bool stopping = false;  // Stop() was called
  bool running = false;   // Run() has the library's threads going

  ~Impl() {
    if (listenFd >= 0) ::close(listenFd);
  }

  void Bind() {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(options.port);
    const std::string where = options.host + ":" + service;
    if (options.port < 0 || options.port > 65535 ||
        getaddrinfo(options.host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr)
      throw std::runtime_error("cannot listen on " + where + ": not an address of this machine");
    std::string why = "the address is not one of this machine's";
    for (addrinfo* a = found; a != nullptr && listenFd < 0; a = a->ai_next) {
      const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
      if (fd < 0) continue;
      // Reusing the address lets a server start again at once; SO_REUSEPORT
      // is not set: two servers never share a port unnoticed.
      int yes = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
        listenFd = fd;
        sockaddr_storage bound{};
        socklen_t size = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
        port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                 : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
      } else {
        why = errno == EADDRINUSE ? "the port is taken" : std::strerror(errno);
        ::close(fd);
      }
    }
    freeaddrinfo(found);
    if (listenFd < 0) throw std::runtime_error("cannot listen on " + where + ": " + why);
    checkHost = IsLoopback(options.host);
  }

  // ------------------------------------------------------------ the limits

  // A new connection: within the limits, or in place of the oldest one of
  // that client (or of all) that has not sent a whole request yet. Clients
  // that only hold connections open so make way for one that asks.
  bool Admit(const sockaddr* addr) {
    const std::string client = AddressText(addr);
    const std::lock_guard<std::mutex> lock(mutex);
    int mine = 0;
    int all = 0;
    Connection* oldestMine = nullptr;
    Connection* oldest = nullptr;
    for (Connection& c : connections) {
      if (c.cut) continue;
      ++all;
      if (c.client == client) ++mine;
      if (c.answering || c.reserved) continue;
      if (!oldest || c.deadline < oldest->deadline) oldest = &c;
      if (c.client == client && (!oldestMine || c.deadline < oldestMine->deadline)) oldestMine = &c;
    }
    Connection* victim = nullptr;
    if (mine >= options.limits.perClient) {
      if (!oldestMine) return false;
      victim = oldestMine;
    } else if (all >= options.limits.total) {
      if (!oldest) return false;
      victim = oldest;
    }
    if (victim) Cut(*victim);
    // Counted from now on: admissions on other threads see it before it opens.
    Connection reservation;
    reservation.client = client;
    reservation.reserved = true;
    reservation.deadline = Clock::now() + std::chrono::seconds(2);
    connections.push_back(reservation);
    return true;
  }

  static void Cut(Connection& c) {
    c.cut = true;
    if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
  }

  void Opened(MHD_Connection* connection, void** context) {
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* addr = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const std::string client = AddressText(addr ? addr->client_addr : nullptr);
    const std::lock_guard<std::mutex> lock(mutex);
    auto at = std::find_if(connections.begin(), connections.end(),
                           [&](const Connection& c) { return c.reserved && c.client == client; });
    if (at == connections.end()) at = connections.insert(connections.end(), Connection{});
    at->reserved = false;
    at->fd = fd ? ::fcntl(fd->connect_fd, F_DUPFD_CLOEXEC, 0) : -1;
    // Headers and body may go in two writes: no 40 ms wait for the client's acknowledgement.
    int yes = 1;
    if (at->fd >= 0) setsockopt(at->fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    at->client = client;
    at->deadline = Clock::now() + std::chrono::seconds(options.limits.requestSeconds);
    *context = new std::list<Connection>::iterator(at);
  }

  void Closed(void** context) {
    auto* at = static_cast<std::list<Connection>::iterator*>(*context);
    if (!at) return;
    const std::lock_guard<std::mutex> lock(mutex);
    if ((*at)->fd >= 0) ::close((*at)->fd);
    connections.erase(*at);
    delete at;
    *context = nullptr;
  }

  // The request is whole (answering) or its answer went out (a new request's time starts).
  void Phase(MHD_Connection* connection, bool answering) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (!info || !info->socket_context) return;
    auto* at = static_cast<std::list<Connection>::iterator*>(info->socket_context);
    const std::lock_guard<std::mutex> lock(mutex);
    (*at)->answering = answering;
    (*at)->deadline = Clock::now() + std::chrono::seconds(answering ? options.limits.answerSeconds
                                                                    : options.limits.requestSeconds);
  }

  // A connection that carries a stream lasts as long as the stream may.
  void Extend(MHD_Connection* connection, int seconds) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (!info || !info->socket_context) return;
    auto* at = static_cast<std::list<Connection>::iterator*>(info->socket_context);
    const std::lock_guard<std::mutex> lock(mutex);
    (*at)->answering = true;
    (*at)->deadline = Clock::now() + std::chrono::seconds(seconds);
  }

  // ------------------------------------------------------------ streams

  static void Resume(Streaming& s) {
    const std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.suspended || s.done) return;
    s.suspended = false;
    MHD_resume_connection(s.connection);
  }

  void WakeStreams() {
    std::vector<std::shared_ptr<Streaming>> all;
    {
      const std::lock_guard<std::mutex> lock(streamMutex);
      all.assign(streams.begin(), streams.end());
    }
    for (const auto& s : all) Resume(*s);
  }

  static ssize_t ReadStream(void* cls, std::uint64_t, char* out, std::size_t size) {
    auto* holder = static_cast<Holder*>(cls);
    Streaming& s = *holder->streaming;
    const std::lock_guard<std::mutex> lock(s.mutex);
    if (holder->impl->streamsEnd || Clock::now() >= s.end) return MHD_CONTENT_READER_END_OF_STREAM;
    const long n = s.stream->Read(out, size);
    if (n < 0) return MHD_CONTENT_READER_END_OF_STREAM;
    if (n == 0) {
      // Nothing yet: the connection waits, out of the library's loop, for Wake().
      s.suspended = true;
      MHD_suspend_connection(s.connection);
    }
    return static_cast<ssize_t>(n);
  }

  static void FreeStream(void* cls) {
    auto* holder = static_cast<Holder*>(cls);
    Streaming& s = *holder->streaming;
    s.stream->SetWaker(nullptr);
    {
      const std::lock_guard<std::mutex> lock(s.mutex);
      s.done = true;
    }
    {
      const std::lock_guard<std::mutex> lock(holder->impl->streamMutex);
      holder->impl->streams.remove(holder->streaming);
    }
    delete holder;
  }

  MHD_Result SendStream(MHD_Connection* connection, const std::string& path, Response& res) {
    auto s = std::make_shared<Streaming>();
    s->stream = res.stream;
    s->connection = connection;
    s->end = Clock::now() + std::chrono::seconds(options.limits.streamSeconds);
    {
      const std::lock_guard<std::mutex> lock(streamMutex);
      if (streamsEnd || streams.size() >= static_cast<std::size_t>(options.limits.streams)) {
        Response busy;
        SendError(path, busy, 503,
                  "the server sends live updates to " + std::to_string(streams.size()) +
                      " pages already: close a page you do not need, then reload this one");
        busy.Set("Retry-After", "10");
        Defaults(busy);
        return Send(connection, busy);
      }
      streams.push_back(s);
    }
    std::weak_ptr<Streaming> weak = s;
    res.stream->SetWaker([weak] {
      if (const auto alive = weak.lock()) Resume(*alive);
    });
    auto* holder = new Holder{this, s};
    MHD_Response* out =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &ReadStream, holder, &FreeStream);
    if (!out) {
      FreeStream(holder);
      return MHD_NO;
    }
    AddHeaders(out, res);
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(res.status), out);
    MHD_destroy_response(out);
    Extend(connection, options.limits.streamSeconds + options.limits.idleSeconds + 5);
    return queued;
  }

  // Ends every connection past its time, until the server stops.
  void Watch() {
    std::unique_lock<std::mutex> lock(mutex);
    auto woken = Clock::now();
    while (!stopping) {
      wake.wait_for(lock, std::chrono::milliseconds(200));
      const auto now = Clock::now();
      // Streams that wait look at their time (and their heartbeat) once a second.
      if (now - woken >= std::chrono::seconds(1)) {
        woken = now;
        lock.unlock();
        WakeStreams();
        lock.lock();
      }
      for (auto c = connections.begin(); c != connections.end();) {
        if (c->reserved && c->deadline < now) {
          c = connections.erase(c);  // the library refused it after all
          continue;
        }
        if (!c->cut && !c->reserved && c->deadline < now) Cut(*c);
        ++c;
      }
    }
  }

  // ----------------------------------------------------------- a request

  static void Defaults(Response& res) {
    res.headers.insert(res.headers.begin(), {{"Content-Security-Policy", kPagePolicy},
                                             {"X-Content-Type-Options", "nosniff"},
                                             {"Referrer-Policy", "no-referrer"},
                                             {"X-Frame-Options", "DENY"},
                                             {"Cache-Control", "no-store"}});
  }

  static void AddHeaders(MHD_Response* out, const Response& res) {
    // A later header of a name replaces an earlier one (a route's over the defaults).
    std::map<std::string, std::string> seen;
    for (const auto& [name, value] : res.headers) seen[Lower(name)] = value;
    for (const auto& [name, value] : res.headers) {
      const auto hit = seen.find(Lower(name));
      if (hit == seen.end()) continue;
      MHD_add_response_header(out, name.c_str(), hit->second.c_str());
      seen.erase(hit);
    }
    if (!res.type.empty()) MHD_add_response_header(out, MHD_HTTP_HEADER_CONTENT_TYPE, res.type.c_str());
  }

  static MHD_Result Send(MHD_Connection* connection, Response& res) {
    MHD_Response* out =
        MHD_create_response_from_buffer(res.body.size(), res.body.data(), MHD_RESPMEM_MUST_COPY);
    if (!out) return MHD_NO;
    AddHeaders(out, res);
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(res.status), out);
    MHD_destroy_response(out);
    return queued;
  }

  static MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, size_t keySize,
                                  const char* value, size_t valueSize) {
    static_cast<Request*>(cls)->headers.emplace_back(Lower(std::string_view(key, keySize)),
                                                     value ? std::string(value, valueSize) : std::string());
    return MHD_YES;
  }

  static MHD_Result CollectParam(void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value,
                                 size_t valueSize) {
    static_cast<Request*>(cls)->params.emplace_back(std::string(key, keySize),
                                                    value ? std::string(value, valueSize) : std::string());
    return MHD_YES;
  }

  static bool Matches(const std::string& pattern, const std::string& path,
                      std::vector<std::string>& captures) {
    captures.clear();
    std::size_t p = 0;
    std::size_t q = 0;
    while (true) {
      const std::size_t pe = std::min(pattern.find('/', p + 1), pattern.size());
      const std::size_t qe = std::min(path.find('/', q + 1), path.size());
      if (p >= pattern.size() || q >= path.size()) return p >= pattern.size() && q >= path.size();
      const std::string_view ps(pattern.data() + p, pe - p);
      const std::string_view qs(path.data() + q, qe - q);
      if (ps == "/*")
        captures.emplace_back(qs.substr(1));
      else if (ps != qs)
        return false;
      p = pe;
      q = qe;
    }
  }

  // Spends the ticket given for this path: its grants, 0 when none fits.
  unsigned SpendTicket(const Request& req) {
    const std::string given = req.Param("ticket");
    const std::lock_guard<std::mutex> lock(ticketMutex);
    for (auto t = tickets.begin(); t != tickets.end(); ++t) {
      if (!SameToken(given, t->first)) continue;
      const unsigned grants =
          t->second.path == req.path && t->second.end >= Clock::now() ? t->second.grants : 0;
      tickets.erase(t);
      return grants;
    }
    return 0;
  }

  // The grants of the bearer token given, 0 without one that fits.
  unsigned Grants(const Request& req) const {
    const std::string auth = req.Header("authorization");
    if (auth.size() < 7 || Lower(auth.substr(0, 7)) != "bearer ") return 0;
    unsigned grants = 0;
    for (const auto& [token, given] : options.tokens)
      if (SameToken(std::string_view(auth).substr(7), token)) grants |= given;
    return grants;
  }

  // Host names this server (the listening address or a loopback name, with
  // this port), unless it listens for the network.
  void CheckHost(const Request& req) const {
    const auto hosts = std::count_if(req.headers.begin(), req.headers.end(),
                                     [](const auto& h) { return h.first == "host"; });
    if (hosts > 1) throw HttpError(400, "the request names its Host more than once");
    if (!checkHost) return;
    const std::string host = Lower(req.Header("host"));
    std::string name = host;
    std::string portText;
    if (!host.empty() && host.front() == '[') {
      const std::size_t close = host.find(']');
      name = close == std::string::npos ? host : host.substr(1, close - 1);
      if (close != std::string::npos && close + 1 < host.size()) {
        if (host[close + 1] != ':') name.clear();
        portText = host.substr(close + 2);
      }
    } else if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
      name = host.substr(0, colon);
      portText = host.substr(colon + 1);
    }
    const bool portOk = portText.empty() || portText == std::to_string(port);
    const bool nameOk =
        name == "localhost" || name == Lower(options.host) || (IsLoopback(name) && name != "localhost");
    if (host.empty() || !portOk || !nameOk)
      throw HttpError(421, "this server answers to " + options.host + ":" + std::to_string(port) +
                               " and loopback names only, not to the Host " + Quote(host) +
                               " (serve with --listen ADDRESS:PORT to open it to the network)");
  }

  // A write comes from this server's own page, or from no browser page at all.
  static void CheckOrigin(const Request& req) {
    const std::string site = Lower(req.Header("sec-fetch-site"));
    if (!site.empty() && site != "same-origin" && site != "none")
      throw HttpError(403, "a write from another site (" + site + ") is refused");
    for (const auto& [key, value] : req.headers) {
      if (key != "origin") continue;
      if (Lower(value) != "http://" + Lower(req.Header("host")))
        throw HttpError(403, "a write from the page of another origin (" + Quote(value) + ") is refused");
    }
  }

  static void CheckJson(const Request& req) {
    const std::string type = req.Header("content-type");
    const std::size_t semi = type.find(';');
    auto trim = [](std::string s) {
      s.erase(0, s.find_first_not_of(" \t"));
      s.erase(s.find_last_not_of(" \t") + 1);
      return Lower(s);
    };
    bool ok = trim(type.substr(0, semi)) == "application/json";
    if (ok && semi != std::string::npos) {
      std::string rest = trim(type.substr(semi + 1));
      rest.erase(std::remove(rest.begin(), rest.end(), '"'), rest.end());
      ok = rest == "charset=utf-8";
    }
    if (!ok) throw HttpError(415, "send the body as application/json (got " + Quote(type) + ")");
  }

  static void CheckParams(const Request& req, const Route& route) {
    for (const auto& [key, value] : req.params) {
      if (std::find(route.params.begin(), route.params.end(), key) == route.params.end()) {
        std::string names;
        for (const std::string& a : route.params) names += (names.empty() ? "" : ", ") + a;
        throw HttpError(400, "unknown parameter " + Quote(key) +
                                 (names.empty() ? " (this takes none)" : " (this takes: " + names + ")"));
      }
      if (std::count_if(req.params.begin(), req.params.end(), [&](const auto& p) { return p.first == key; }) >
          1)
        throw HttpError(400, "parameter " + key + " is given more than once");
    }
  }

  void Answer(Request& req, Response& res, bool tooLarge) {
    if (req.path.size() > options.limits.path)
      throw HttpError(414, "the address is longer than " + std::to_string(options.limits.path) + " bytes");
    if (req.headers.size() > static_cast<std::size_t>(options.limits.headers))
      throw HttpError(431, "more than " + std::to_string(options.limits.headers) + " header lines");
    CheckHost(req);
    if (std::count_if(req.headers.begin(), req.headers.end(),
                      [](const auto& h) { return h.first == "authorization"; }) > 1)
      throw HttpError(400, "the request gives Authorization more than once");
    unsigned grants = Grants(req);
    const Route* route = nullptr;
    bool pathKnown = false;
    for (const Route& r : routes) {
      if (!Matches(r.pattern, req.path, req.captures)) continue;
      pathKnown = true;
      if (r.method == req.method) {
        route = &r;
        break;
      }
    }
    if (route && route->ticket && req.HasParam("ticket")) grants |= SpendTicket(req);
    if (req.HasParam("token") && (!route || route->needs != kPublic))
      throw HttpError(400,
                      "the access token never goes in an address (it stays in logs and the history): "
                      "send it as the header Authorization: Bearer TOKEN");
    if (!route || (route->needs != kPublic && !(grants & route->needs))) {
      if (grants == 0) {
        res.Set("WWW-Authenticate", "Bearer realm=\"omr\"");
        throw HttpError(
            401,
            "this page needs its access token: open the address omrctl printed (it ends in ?token=...), "
            "or send the token as Authorization: Bearer TOKEN");
      }
      if (route) throw HttpError(403, "this token does not open " + Quote(req.path));
      throw HttpError(404,
                      "there is nothing at " + Quote(req.path) + (pathKnown ? " for " + req.method : ""));
    }
    if (tooLarge)
      throw HttpError(413, "the body is larger than " +
                               std::to_string(std::max(route->body, options.limits.body) / 1024) + " KB");
    if (req.method != "GET") CheckOrigin(req);
    CheckParams(req, *route);
    if (route->json) CheckJson(req);
    if (route->needs == kPublic)
      route->handle(req, res);  // the pages' own files: nothing to wait for
    else
      Work(*route, req, res);
  }

  // Runs the route on a thread of its own and waits for it a bounded time: a
  // database that stops answering gets the caller a 503, never a hang.
  void Work(const Route& route, const Request& req, Response& res) {
    {
      const std::lock_guard<std::mutex> lock(jobMutex);
      if (jobs >= options.limits.jobs) {
        res.Set("Retry-After", "5");
        throw HttpError(
            503, "the server is busy: " + std::to_string(jobs) +
                     " requests wait for the project (its database may be slow or stopped): try again");
      }
      ++jobs;
    }
    auto job = std::make_shared<Job>();
    try {
      std::thread([this, job, request = req, handle = route.handle] {
        Response out;
        std::exception_ptr error;
        try {
          handle(request, out);
        } catch (...) {
          error = std::current_exception();
        }
        {
          const std::lock_guard<std::mutex> lock(job->mutex);
          job->res = std::move(out);
          job->error = error;
          job->finished = true;
        }
        job->done.notify_all();
        const std::lock_guard<std::mutex> lock(jobMutex);
        --jobs;
        jobsDone.notify_all();
      }).detach();
    } catch (const std::system_error&) {
      const std::lock_guard<std::mutex> lock(jobMutex);
      --jobs;
      throw HttpError(503, "the server cannot start more work now: try again");
    }
    std::unique_lock<std::mutex> lock(job->mutex);
    if (!job->done.wait_for(lock, std::chrono::seconds(options.limits.workSeconds),
                            [&] { return job->finished; })) {
      res.Set("Retry-After", "5");
      throw HttpError(503,
                      "the project did not answer within " + std::to_string(options.limits.workSeconds) +
                          " s (its database may be stopped or cut off): try again; what was asked may still "
                          "be done, so look before repeating a correction");
    }
    if (job->error) std::rethrow_exception(job->error);
    for (auto& [name, value] : job->res.headers) res.Set(name, value);
    res.status = job->res.status;
    res.type = std::move(job->res.type);
    res.body = std::move(job->res.body);
    res.stream = std::move(job->res.stream);
  }

  // The body a request may send: a route's larger limit only to a token
  // that opens it (known from the headers, before any of the body is read).
  std::size_t BodyLimit(MHD_Connection* connection, const char* url, const char* method) const {
    Request head;
    head.path = url ? url : "";
    std::vector<std::string> captures;
    for (const Route& r : routes) {
      if (r.body <= options.limits.body || r.method != method || !Matches(r.pattern, head.path, captures))
        continue;
      MHD_get_connection_values_n(connection, MHD_HEADER_KIND, CollectHeader, &head);
      return Grants(head) & r.needs ? r.body : options.limits.body;
    }
    return options.limits.body;
  }

  MHD_Result Handle(MHD_Connection* connection, const char* url, const char* method, const char* upload,
                    size_t* uploadSize, void** context) {
    auto* pending = static_cast<Pending*>(*context);
    if (!pending) {
      // The headers are in: a body too large is refused before it is read.
      pending = new Pending;
      *context = pending;
      pending->limit = BodyLimit(connection, url, method);
      const char* length =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (length && std::strtoull(length, nullptr, 10) > pending->limit) pending->tooLarge = true;
      if (!pending->tooLarge) return MHD_YES;
    }
    if (*uploadSize > 0) {
      if (pending->body.size() + *uploadSize > pending->limit) pending->tooLarge = true;
      if (!pending->tooLarge) pending->body.append(upload, *uploadSize);
      *uploadSize = 0;
      if (!pending->tooLarge) return MHD_YES;
    }
    Phase(connection, true);
    Request req;
    req.method = std::strcmp(method, "HEAD") == 0 ? "GET" : method;
    req.path = url ? url : "";
    req.body = std::move(pending->body);
    MHD_get_connection_values_n(connection, MHD_HEADER_KIND, CollectHeader, &req);
    MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, CollectParam, &req);
    Response res;
    try {
      Answer(req, res, pending->tooLarge);
    } catch (const HttpError& e) {
      SendError(req.path, res, e.status, e.what());
    } catch (const std::exception& e) {
      SendError(req.path, res, 500, std::string("the server failed: ") + e.what());
    }
    Defaults(res);
    if (res.stream && res.status == 200) return SendStream(connection, req.path, res);
    return Send(connection, res);
  }
};

Server::Server(ServerOptions options, std::vector<Route> routes) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->routes = std::move(routes);
  impl_->Bind();
}

Server::~Server() {
  Stop();
}

int Server::port() const {
  return impl_->port;
}

std::string Server::IssueTicket(const std::string& path, unsigned grants) {
  constexpr std::size_t kMaxTickets = 64;
  Impl& m = *impl_;
  const std::string ticket = RandomHex();
  const auto now = Clock::now();
  const std::lock_guard<std::mutex> lock(m.ticketMutex);
  for (auto t = m.tickets.begin(); t != m.tickets.end();)
    t = t->second.end < now ? m.tickets.erase(t) : std::next(t);
  if (m.tickets.size() >= kMaxTickets)
    throw HttpError(503, "too many tickets wait unused: try again in a minute");
  m.tickets[ticket] = {path, grants, now + std::chrono::seconds(kTicketSeconds)};
  return ticket;
}

bool Server::Run() {
  Impl& m = *impl_;
  {
    const std::lock_guard<std::mutex> lock(m.mutex);
    if (m.stopping || m.running) return true;
    m.running = true;
  }
  const Limits& l = m.options.limits;
  auto admit = [](void* cls, const sockaddr* addr, socklen_t) -> MHD_Result {
    return static_cast<Impl*>(cls)->Admit(addr) ? MHD_YES : MHD_NO;
  };
  auto handle = [](void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                   const char* upload, size_t* uploadSize, void** context) -> MHD_Result {
    return static_cast<Impl*>(cls)->Handle(connection, url, method, upload, uploadSize, context);
  };
  auto completed = [](void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
    delete static_cast<Pending*>(*context);
    *context = nullptr;
    static_cast<Impl*>(cls)->Phase(connection, false);
  };
  auto notify = [](void* cls, MHD_Connection* connection, void** context,
                   MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
      static_cast<Impl*>(cls)->Opened(connection, context);
    else
      static_cast<Impl*>(cls)->Closed(context);
  };
  using Completed = void (*)(void*, MHD_Connection*, void**, MHD_RequestTerminationCode);
  using Notify = void (*)(void*, MHD_Connection*, void**, MHD_ConnectionNotificationCode);
  using UnescapeFn = size_t (*)(void*, MHD_Connection*, char*);
  // Our own limits come first (Admit): the library's are a backstop above them
  // (it shares its limit out among its threads, so each gets the whole).
  m.daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ITC | MHD_ALLOW_SUSPEND_RESUME, 0, admit, &m,
      handle, &m, MHD_OPTION_LISTEN_SOCKET, m.listenFd, MHD_OPTION_THREAD_POOL_SIZE,
      static_cast<unsigned>(std::clamp(l.threads, 1, 64)), MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>((l.total + 64) * std::clamp(l.threads, 1, 64)),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, l.headerBytes, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(l.idleSeconds), MHD_OPTION_NOTIFY_COMPLETED, static_cast<Completed>(completed),
      &m, MHD_OPTION_NOTIFY_CONNECTION, static_cast<Notify>(notify), &m, MHD_OPTION_UNESCAPE_CALLBACK,
      static_cast<UnescapeFn>(Unescape), nullptr, MHD_OPTION_END);
  if (!m.daemon) {
    const std::lock_guard<std::mutex> lock(m.mutex);
    m.running = false;
    m.wake.notify_all();
    return false;
  }
  m.Watch();  // until Stop()
  // Streams end first: the library must not be stopped with a connection that waits.
  m.streamsEnd = true;
  for (const auto deadline = Clock::now() + std::chrono::seconds(2); Clock::now() < deadline;) {
    m.WakeStreams();
    {
      const std::lock_guard<std::mutex> lock(m.streamMutex);
      if (m.streams.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const MHD_socket listening = MHD_quiesce_daemon(m.daemon);
  MHD_stop_daemon(m.daemon);
  m.daemon = nullptr;
  {
    // Whatever the library did not give back has no connection any more.
    const std::lock_guard<std::mutex> lock(m.streamMutex);
    for (const auto& streaming : m.streams) {
      streaming->stream->SetWaker(nullptr);
      const std::lock_guard<std::mutex> done(streaming->mutex);
      streaming->done = true;
    }
    m.streams.clear();
  }
  if (listening == m.listenFd) {
    ::close(m.listenFd);
    m.listenFd = -1;
  }
  {
    // Routes' work still running uses what the routes hold: it ends first.
    std::unique_lock<std::mutex> lock(m.jobMutex);
    m.jobsDone.wait(lock, [&] { return m.jobs == 0; });
  }
  const std::lock_guard<std::mutex> lock(m.mutex);
  m.running = false;
  m.wake.notify_all();
  return true;
}

void Server::Stop() {
  Impl& m = *impl_;
  std::unique_lock<std::mutex> lock(m.mutex);
  m.stopping = true;
  m.wake.notify_all();
  // Waits until Run() has stopped the library's threads.
  while (m.running) m.wake.wait(lock);
}

}  // namespace omr::exam::http
