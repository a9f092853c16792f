#include "cmd_office.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "error.h"
#include "office_place.h"
#include "review_server.h"
#include "store.h"

extern char** environ;

namespace omrctl {

namespace {

namespace ex = omr::exam;

std::string Program() {
  char path[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("omrctl");
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Where the example forms are: installed beside the program
// (PREFIX/share/omr/examples), and the source tree's when it runs from a build.
std::vector<std::string> FormFolders(const std::string& program) {
  std::vector<std::string> folders = {Folder(Folder(program)) + "/share/omr/examples"};
#ifdef OMR_SOURCE_EXAMPLES
  folders.push_back(OMR_SOURCE_EXAMPLES);
#endif
  return folders;
}

// A folder of this user only: made when missing; refused when another owns it.
bool PrivateFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         (st.st_mode & 077) == 0;
}

// The file the browser is sent to: a page of this user only that moves on to
// the office's address, so that the token never stands on a command line.
std::string OpenerPath(int port) {
  std::string folder;
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && run[0] == '/') {
    folder = std::string(run) + "/omr";
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    const std::string cache = std::string(home) + "/.cache";
    ::mkdir(cache.c_str(), 0700);
    folder = cache + "/omr";
  } else {
    return "";
  }
  if (!PrivateFolder(folder)) return "";
  return folder + "/office-" + std::to_string(port) + ".html";
}

bool WriteOpener(const std::string& path, const std::string& url) {
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string page =
      "<!doctype html>\n<meta charset=\"utf-8\">\n<title>OMR office</title>\n"
      "<meta http-equiv=\"refresh\" content=\"0; url=" +
      url + "\">\n<p><a href=\"" + url + "\">OMR office</a></p>\n";
  const bool ok = ::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
  ::close(fd);
  return ok && ::rename(tmp.c_str(), path.c_str()) == 0;
}

// Opens `file` with $OMR_BROWSER (a program that takes the file), else
// xdg-open; does not wait for it.
bool OpenInBrowser(const std::string& file) {
  const char* chosen = std::getenv("OMR_BROWSER");
  const std::string program = chosen && *chosen ? chosen : "xdg-open";
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(file.c_str()), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
  // Its own child: reaped by a thread, so that none is left behind.
  std::thread([pid] {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }).detach();
  return true;
}

}  // namespace

ServerSignals::ServerSignals() {
  sigemptyset(&stops_);
  sigaddset(&stops_, SIGINT);
  sigaddset(&stops_, SIGTERM);
  sigaddset(&stops_, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops_, nullptr);  // before any thread starts: they inherit it
}

bool ServerSignals::Serve(ex::ReviewServer& server) {
  bool ok = true;
  std::thread serving([&] { ok = server.Run(); });
  int signal = 0;
  sigwait(&stops_, &signal);
  server.Stop();
  serving.join();
  return ok;
}

CLI::App* AddOfficeCommand(CLI::App& app, OfficeOptions& o) {
  CLI::App* office = app.add_subcommand(
      "office",
      "Serve the office page: every exam of a folder made, read, reviewed, re-keyed and exported from a "
      "browser; prints the address to open (with its token) and a second one for reviewers, whose token "
      "opens review only");
  office
      ->add_option("PLACE", o.place,
                   "A folder of exam projects (default: the office folder in your data folder, "
                   "$XDG_DATA_HOME/omr/office or ~/.local/share/omr/office, made for you only), or a "
                   "PostgreSQL project (postgresql://USER@HOST/DB)")
      ->type_name("PLACE");
  office
      ->add_option("--listen", o.listen,
                   "ADDRESS:PORT to listen on (port 0 picks a free one); another address than 127.0.0.1 lets "
                   "other machines in, still with the token")
      ->capture_default_str()
      ->type_name("ADDR:PORT");
  office
      ->add_option("--reader", o.readers,
                   "A reader's port to offer on the reading page (repeat for several; default: the readers "
                   "found on the usual ports)")
      ->type_name("PORT");
  office->add_flag("--open", o.open,
                   "Open the page in the browser ($OMR_BROWSER, else xdg-open); when the port is taken by an "
                   "office of yours already, open that one");
  office->footer(kExitCodesHelp);
  return office;
}

int RunOffice(const GlobalOptions&, CLI::App*, const OfficeOptions& o) {
  try {
    ex::ReviewOptions options;
    options.place = o.place.empty() ? ex::DefaultOfficeFolder() : o.place;
    if (!ex::IsServerLocation(options.place)) {
      // Printed whole: the folder is where the files are, wherever it was started.
      if (char* real = ::realpath(options.place.c_str(), nullptr)) {
        options.place = real;
        std::free(real);
      }
    }
    options.readers = o.readers;
    options.program = Program();
    options.forms = FormFolders(options.program);
    std::string error;
    if (!ex::ParseListen(o.listen, options.host, options.port, error))
      throw ex::Error("--listen " + o.listen + ": " + error);
    ServerSignals signals;
    std::unique_ptr<ex::ReviewServer> server;
    try {
      server = std::make_unique<ex::ReviewServer>(options);
    } catch (const ex::Error& e) {
      // Clicked again while it serves: show the page it serves.
      const std::string opener = o.open && options.port != 0 ? OpenerPath(options.port) : "";
      if (!opener.empty() && ::access(opener.c_str(), R_OK) == 0 && std::strstr(e.what(), "port is taken")) {
        std::printf("the office is running on %s already: its page is opened\n", o.listen.c_str());
        return OpenInBrowser(opener) ? kExitOk : kExitUsage;
      }
      throw;
    }
    std::printf("office page of %s: %s\n", options.place.c_str(), server->Url().c_str());
    std::printf("for reviewers (review only): %s\n", server->ReviewerUrl().c_str());
    if (!ex::IsServerLocation(options.place) && options.host != "127.0.0.1" && options.host != "::1" &&
        options.host != "localhost")
      std::printf("listening on %s for other machines too: give the addresses only to your colleagues\n",
                  o.listen.c_str());
    const std::string opener = OpenerPath(server->port());
    const bool wrote = !opener.empty() && WriteOpener(opener, server->Url());
    if (o.open && !(wrote && OpenInBrowser(opener)))
      std::fprintf(stderr, "omrctl: cannot open a browser: open the address above\n");
    std::printf("stop with Ctrl-C\n");
    std::fflush(stdout);
    const bool ok = signals.Serve(*server);
    if (wrote) ::unlink(opener.c_str());
    if (!ok) {
      std::fprintf(stderr, "omrctl: the office stopped listening on %s\n", o.listen.c_str());
      return kExitUsage;
    }
    return kExitOk;
  } catch (const ex::StoreError& e) {
    std::fprintf(stderr, "omrctl: %s\n", e.what());
    return kExitProject;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "omrctl: %s\n", e.what());
    return kExitUsage;
  }
}

}  // namespace omrctl
