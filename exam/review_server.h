// The exam server: the review page over one exam project (`omrctl exam
// serve`), or the office page over every exam of a place (`omrctl office`),
// with review as its subset. A thin layer over Project: the JSON API under
// /api/ calls what `omrctl exam` calls, the pages' files are compiled in (they
// hold no data), and every request for data needs an access token as a bearer
// header (see http_server.h): the office's opens everything, a reviewer's
// only review. Nothing is kept between requests that another server on the
// same project would not see: every answer is read from the store (reading
// stations aside: they run under this server).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http_server.h"
#include "vocabulary.h"

namespace omr::exam {

struct ReviewOptions {
  std::string project;  // its location (as Project::Open takes it)
  std::string exam;     // "" for the only exam of the project
  // The office: every exam of this place (a folder of SQLite projects, made
  // when missing, or a PostgreSQL project) instead of one project.
  std::string place;
  std::vector<std::string> readers;  // ports to offer; none: those discovery finds
  std::string program;               // omrctl, which runs the stations and discovery
  std::vector<std::string> forms;    // folders of example forms offered for a new exam
  std::string reviewerToken;         // "": a random one (office only)
  std::string host = "127.0.0.1";
  int port = 8080;    // 0: a free port
  std::string token;  // "": a random one
  int threads = 8;
  int hold = kDefaultHold;  // seconds a reviewer's claim on a sheet lasts unless renewed
  http::Limits limits;      // what each client may take (threads: above)
};

class ReviewServer {
 public:
  // Opens the project and binds the address; throws Error when either fails.
  explicit ReviewServer(const ReviewOptions& options);
  ~ReviewServer();
  ReviewServer(const ReviewServer&) = delete;
  ReviewServer& operator=(const ReviewServer&) = delete;

  int port() const;
  const std::string& token() const;
  // The address to open first: http://HOST:PORT/?token=TOKEN
  std::string Url() const;
  // The office's address for reviewers: its token opens review only.
  std::string ReviewerUrl() const;

  // Serves until Stop() is called (from another thread); false when the
  // server could not go on listening.
  bool Run();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A fresh access token: 32 bytes from /dev/urandom, in hexadecimal. Throws
// Error when the system gives no random bytes.
std::string RandomToken();

using http::SameToken;

// "127.0.0.1:8080", "[::1]:0", "0.0.0.0:8080" into host and port; false with
// the reason.
bool ParseListen(const std::string& text, std::string& host, int& port, std::string& error);

}  // namespace omr::exam
