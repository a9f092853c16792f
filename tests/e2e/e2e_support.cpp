#include "e2e_support.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace omr::e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::string LinkTarget(const std::string& link) {
  char target[512];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes omrsim's \xHH escapes.
bool Unescape(const std::string& in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out.push_back(in[i]);
      continue;
    }
    if (i + 3 >= in.size()) return false;
    if (in[i + 1] != 'x') return false;
    const int high = HexDigit(in[i + 2]), low = HexDigit(in[i + 3]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 3;
  }
  return true;
}

}  // namespace

bool Library::Load(std::string& error) {
  // Never scan the machine's own serial ports.
  setenv("OMR_SERIAL_PORTS", "/nonexistent/omr-e2e", 1);
  handle_ = dlopen(OMR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    error = dlerror();
    return false;
  }
#define OMR_E2E_RESOLVE(name)                                        \
  name = reinterpret_cast<decltype(&::name)>(dlsym(handle_, #name)); \
  if (!name) {                                                       \
    error = "missing export " #name;                                 \
    return false;                                                    \
  }
  OMR_E2E_EXPORTS(OMR_E2E_RESOLVE)
#undef OMR_E2E_RESOLVE
  return true;
}

bool Library::Unload() {
  if (!handle_) return true;
  MR_Close();
  dlclose(handle_);
  handle_ = nullptr;
  void* still = dlopen(OMR_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (!still) return true;
  dlclose(still);
  return false;
}

bool ReadExpectedFile(const std::string& path, std::vector<ExpectedSheet>& sheets, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  sheets.clear();
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    ExpectedSheet sheet;
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) {
      error = path + ":" + std::to_string(number) + ": no space";
      return false;
    }
    const std::string head = line.substr(0, space), rest = line.substr(space + 1);
    std::string letter;
    if (head == "!") {
      sheet.error = std::atoi(rest.c_str());
      if (sheet.error == 0) {
        error = path + ":" + std::to_string(number) + ": bad code";
        return false;
      }
    } else if (!Unescape(head, letter) || letter.size() != 1 || !Unescape(rest, sheet.text)) {
      error = path + ":" + std::to_string(number) + ": bad line";
      return false;
    } else {
      sheet.letter = letter[0];
    }
    sheets.push_back(sheet);
  }
  return true;
}

std::string TempPath(const std::string& stem) {
  static std::atomic<int> counter{0};
  return ::testing::TempDir() + "omr-e2e-" + std::to_string(getpid()) + "-" + std::to_string(counter++) +
         "-" + stem;
}

std::string ExamplePath(const std::string& name) {
  return std::string(OMR_SOURCE_DIR) + "/examples/" + name;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x21 && c <= 0x7E && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char piece[8];
      std::snprintf(piece, sizeof piece, "\\x%02X", c);
      out += piece;
    }
  }
  return out;
}

bool Simulator::Start(const std::vector<std::string>& args, std::string& error, bool wantExpected) {
  link_ = TempPath("reader");
  logPath_ = link_ + ".log";
  expectedPath_ = wantExpected ? link_ + ".expected" : std::string();
  unlink(link_.c_str());
  std::vector<std::string> all{OMRSIM_PATH, "--link", link_, "--verbose"};
  if (wantExpected) {
    all.push_back("--expected");
    all.push_back(expectedPath_);
  }
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) {
    error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    const int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  // Synthesizing and checking the sheets takes a moment on a loaded machine.
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (LinkTarget(link_).empty()) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error = "omrsim exited: " + Log();
      return false;
    }
    if (Clock::now() > deadline) {
      error = "omrsim made no link: " + Log();
      Stop();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (wantExpected && !ReadExpectedFile(expectedPath_, expected_, error)) {
    Stop();
    return false;
  }
  return true;
}

bool Simulator::Stop() {
  if (pid_ <= 0) return true;
  kill(pid_, SIGTERM);
  int status = 0;
  const bool waited = waitpid(pid_, &status, 0) == pid_;
  pid_ = -1;
  const bool clean = waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  const bool linkRemoved = LinkTarget(link_).empty();
  unlink(logPath_.c_str());
  if (!expectedPath_.empty()) unlink(expectedPath_.c_str());
  return clean && linkRemoved;
}

std::string Simulator::Log() const {
  std::ifstream in(logPath_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Simulator::WaitForLog(const std::string& text, int timeoutMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Log().find(text) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace omr::e2e
