// The HTTP server under the exam pages: libmicrohttpd, with every client
// bounded (connections per client and in all, header size and count, the time
// to send a request, idle time, the body) and one table of routes. Each route
// says what a token must grant to reach it, so pages with other tokens (an
// office page, a review-only token) add routes to the same table.
//
// The access token travels only as `Authorization: Bearer`: never in a cookie
// (cookies on a loopback address reach every port) and never in an API
// address. Requests naming another Host than this server's (DNS rebinding)
// and writes from another Origin are refused.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace omr::exam::http {

// What a token grants. A route needs one grant, or none (the pages' own
// files, which hold no data).
enum Grant : unsigned {
  kPublic = 0,
  kReview = 1u << 0,  // the review API: sheets, corrections, claims, the report
  kOffice = 1u << 1,  // the office: new exams, reading, keys, results, backups
};

inline constexpr int kTicketSeconds = 30;

struct Limits {
  int perClient = 32;                   // connections from one address
  int total = 256;                      // connections in all
  std::size_t headerBytes = 32 * 1024;  // the request line and headers (the connection's memory)
  int headers = 64;                     // header lines
  std::size_t path = 2048;              // bytes of the address
  std::size_t body = 64 * 1024;
  int requestSeconds = 10;  // from the connection (or the last answer) to a whole request
  int idleSeconds = 10;     // without a byte either way
  int answerSeconds = 60;   // from a whole request to its answer sent
  // A route's work (the project's database) past this: the caller gets 503
  // and may try again; the work goes on, and at most `jobs` at once.
  int workSeconds = 20;
  int jobs = 32;
  int threads = 8;
  // Answers sent as they are made (server-sent events): at most this many
  // at once, each ended after streamSeconds (the client asks again).
  int streams = 16;
  int streamSeconds = 600;
};

// An answer sent as it is made (server-sent events). The server asks for
// more whenever the client can take it; when there is nothing yet it waits
// for Wake(), which the producer calls (from any thread, holding none of its
// own locks) when there is, and the server itself about once a second.
class Stream {
 public:
  virtual ~Stream() = default;
  // Up to `size` bytes into `out`: how many; 0 when there is nothing yet;
  // -1 at the end. Called on the server's threads, one call at a time.
  virtual long Read(char* out, std::size_t size) = 0;
  void Wake();
  // The server's: what Wake() does while it sends the stream.
  void SetWaker(std::function<void()> wake);

 private:
  std::mutex wakeMutex_;
  std::function<void()> wake_;
};

// A request refused: its status and what to tell the caller.
class HttpError : public std::runtime_error {
 public:
  HttpError(int status, const std::string& message) : std::runtime_error(message), status(status) {}
  int status;
};

struct Request {
  std::string method;  // "GET" (HEAD too) or "POST"
  std::string path;
  std::vector<std::string> captures;                         // what the route's "*" segments matched
  std::vector<std::pair<std::string, std::string>> params;   // the query, in order
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;

  // The first header of that (lower-case) name, "" when none.
  std::string Header(std::string_view name) const;
  bool HasParam(std::string_view name) const;
  std::string Param(std::string_view name) const;
};

struct Response {
  int status = 200;
  std::string type;  // Content-Type
  std::string body;
  std::shared_ptr<Stream> stream;                            // instead of the body: sent as it is made
  std::vector<std::pair<std::string, std::string>> headers;  // replace the defaults of the same name

  void Set(std::string name, std::string value);
};

struct Route {
  std::string method;               // "GET" or "POST"
  std::string pattern;              // "/api/sheets/*/picture": a "*" is one segment, maybe empty
  unsigned needs;                   // the grant a token must give (kPublic: none)
  std::vector<std::string> params;  // query parameters taken ("token" is never one under /api/)
  bool json = false;                // takes a JSON body (Content-Type checked exactly)
  // May be opened once with a ticket (IssueTicket) in place of the token: a
  // page the browser opens in a tab of its own, where it sends no header.
  bool ticket = false;
  std::function<void(const Request&, Response&)> handle;
  // A larger body than Limits::body (an uploaded form or roster): taken only
  // from a token that opens the route, refused before it is read otherwise.
  std::size_t body = 0;
};

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: a free port
  Limits limits;
  std::vector<std::pair<std::string, unsigned>> tokens;  // each token and what it grants
};

class Server {
 public:
  // Binds the address (throws std::runtime_error naming it when it cannot).
  Server(ServerOptions options, std::vector<Route> routes);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const;
  // A ticket that opens `path` once within kTicketSeconds, granting `grants`.
  // Throws HttpError 503 when too many wait unused.
  std::string IssueTicket(const std::string& path, unsigned grants);
  // Serves until Stop() (from another thread); false when it could not start.
  bool Run();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether `host` names this machine only (127.0.0.0/8, ::1, localhost).
bool IsLoopback(const std::string& host);

// The answer to an error: JSON {"error": ...} under /api/, text elsewhere.
void SendError(const std::string& path, Response& res, int status, const std::string& message);

// 64 hexadecimal digits from /dev/urandom; throws std::runtime_error without it.
std::string RandomHex();

// Whether two tokens are equal, in a time that does not tell where they differ.
bool SameToken(std::string_view given, std::string_view token);

}  // namespace omr::exam::http
