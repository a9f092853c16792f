// omrsim: a simulated reader on a pseudo-terminal.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "form/form_definition.h"
#include "form/form_loader.h"
#include "form/reader_settings.h"
#include "sim/answers.h"
#include "sim/firmware.h"
#include "sim/pty_server.h"
#include "sim/synth.h"

namespace {

using namespace omr::sim;

constexpr const char* kUsage =
    R"(usage: omrsim [options]

Runs a simulated optical mark reader on a pseudo-terminal until SIGINT or SIGTERM.

  --link PATH          make PATH a symbolic link to the pty (OMR_SERIAL_PORTS=PATH finds it);
                       the link follows the pty when a hang-up fault renews it
  --form FILE          form file the sheets are drawn from (read with the library's form reader)
  --answers FILE       sheets to queue, one a line (see sim/README.md)
  --random N           queue N sheets with random answers (needs --form)
  --seed S             seed of random answers and noise (default 1)
  --expected FILE      write the expected result of every queued sheet, one a line
  --darkness N         darkness of marks, bars and identifying cells, 1..12 (default 11)
  --jitter N           marks up to N lighter, at random (default 0)
  --noise N            light cells 0..N, at random (default 0)
  --faint R            plant a lone faint mark in a share R (0..1) of the random questions
  --erased R           plant a mark and an erasure beside it in a share R of the random questions
  --near-tie R         plant a mark and another within 2 grey levels in a share R of the random
                       single-choice questions
  --planted FILE       write the planted questions of every queued sheet, one line a sheet
                       ("3:faint 17:near-tie", or "-")
  --version X.Y        firmware version answered to FA 54 (default 3.0)
  --channels N         channel count answered to FA 4E (default 48)
  --sheet-wait S       third byte of the parameter block: seconds a read waits beyond 8 (default 0)
  --empty-status N     answer a read with status N when no sheet is left (default: no answer)
  --feed-delay MS      time a read takes before its status reply (default 0)
  --fault FAULT        inject a fault, CODE:KIND[=VALUE][:once|:always][:after=N], repeatable; KIND is
                       silence, delay=MS, short[=BYTES], wrong-code, status[=N], crc,
                       oversize[=LENGTH], hangup[=BYTES] or drip[=MS]; CODE is the command code
                       in hex
  --stale HEX          bytes that wait in the line when the host opens it (power-on noise),
                       for example 00 or 00FB; again after every hang-up
  --capture FILE       write every byte received from the host to FILE, as it came
  --verbose            print every command received and every reply
  --help               this text
)";

PtyServer* gServer = nullptr;

void OnSignal(int) {
  if (gServer) gServer->RequestStop();
}

bool NumberArg(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 0);
  return end && *end == '\0' && end != text && value >= low && value <= high;
}

struct Args {
  std::string link, form, answers, expected, capture;
  long random = 0;
  RandomRates rates;
  std::string planted;
  long seed = 1;
  DrawOptions draw;
  FirmwareConfig firmware;
  std::vector<std::string> faults;
  Bytes stale;
  bool verbose = false;
};

int Fail(const std::string& message) {
  std::cerr << "omrsim: " << message << "\n";
  return 2;
}

bool ParseArgs(int argc, char** argv, Args& args, std::string& error, bool& help) {
  help = false;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      help = true;
      return true;
    }
    if (opt == "--verbose" || opt == "-v") {
      args.verbose = true;
      continue;
    }
    static const char* const kValueOptions[] = {"--link", "--form", "--answers", "--expected", "--random",
                                                "--seed", "--darkness", "--jitter", "--noise", "--version",
                                                "--channels", "--sheet-wait", "--empty-status",
                                                "--feed-delay", "--fault", "--stale", "--capture",
                                                // Planted doubts on random sheets.
                                                "--faint", "--erased", "--near-tie", "--planted"};
    if (std::find(std::begin(kValueOptions), std::end(kValueOptions), opt) == std::end(kValueOptions)) {
      error = "unknown option " + opt + " (see --help)";
      return false;
    }
    if (i + 1 >= argc) {
      error = opt + " needs a value (see --help)";
      return false;
    }
    const char* value = argv[++i];
    long n = 0;
    auto number = [&](long low, long high) {
      if (NumberArg(value, low, high, n)) return true;
      error = "bad value for " + opt + ": " + value;
      return false;
    };
    auto rate = [&](double& out) {
      char* end = nullptr;
      const double r = std::strtod(value, &end);
      if (end == value || *end != '\0' || !(r >= 0.0 && r <= 1.0)) {
        error = "bad value for " + opt + ": " + value + " (a rate from 0 to 1)";
        return false;
      }
      out = r;
      return true;
    };
    if (opt == "--faint") {
      if (!rate(args.rates.faint)) return false;
    } else if (opt == "--erased") {
      if (!rate(args.rates.erased)) return false;
    } else if (opt == "--near-tie") {
      if (!rate(args.rates.nearTie)) return false;
    } else if (opt == "--planted") {
      args.planted = value;
    } else if (opt == "--link") {
      args.link = value;
    } else if (opt == "--form") {
      args.form = value;
    } else if (opt == "--answers") {
      args.answers = value;
    } else if (opt == "--expected") {
      args.expected = value;
    } else if (opt == "--capture") {
      args.capture = value;
    } else if (opt == "--random") {
      if (!number(0, 100000)) return false;
      args.random = n;
    } else if (opt == "--seed") {
      if (!number(0, 0x7FFFFFFF)) return false;
      args.seed = n;
    } else if (opt == "--darkness") {
      if (!number(1, kDarkest)) return false;
      args.draw.darkness = static_cast<int>(n);
    } else if (opt == "--jitter") {
      if (!number(0, kDarkest)) return false;
      args.draw.jitter = static_cast<int>(n);
    } else if (opt == "--noise") {
      if (!number(0, kDarkest)) return false;
      args.draw.noise = static_cast<int>(n);
    } else if (opt == "--version") {
      unsigned major = 0, minor = 0;
      char tail = 0;
      if (std::sscanf(value, "%u.%u%c", &major, &minor, &tail) != 2 || major > 255 || minor > 255) {
        error = std::string("bad version: ") + value;
        return false;
      }
      args.firmware.versionMajor = static_cast<std::uint8_t>(major);
      args.firmware.versionMinor = static_cast<std::uint8_t>(minor);
    } else if (opt == "--channels") {
      if (!number(0, 0xFFFF)) return false;
      args.firmware.channels = static_cast<std::uint16_t>(n);
    } else if (opt == "--sheet-wait") {
      if (!number(0, 255)) return false;
      args.firmware.parameters[2] = static_cast<std::uint8_t>(n);
    } else if (opt == "--empty-status") {
      if (!number(0, 0xFFFF)) return false;
      args.firmware.emptyTrayStatus = static_cast<std::uint16_t>(n);
    } else if (opt == "--feed-delay") {
      if (!number(0, 600000)) return false;
      args.firmware.feedDelayMs = static_cast<int>(n);
    } else if (opt == "--stale") {
      const std::string hex = value;
      args.stale.clear();
      for (std::size_t at = 0; at < hex.size(); at += 2) {
        long byte = 0;
        if (at + 2 > hex.size() || !NumberArg(("0x" + hex.substr(at, 2)).c_str(), 0, 255, byte)) {
          error = "bad value for --stale: " + hex + " (hexadecimal bytes, e.g. 00FB)";
          return false;
        }
        args.stale.push_back(static_cast<std::uint8_t>(byte));
      }
      if (args.stale.empty()) {
        error = "bad value for --stale: empty";
        return false;
      }
    } else {
      args.faults.push_back(value);  // --fault
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  std::string error;
  bool help = false;
  if (!ParseArgs(argc, argv, args, error, help)) return Fail(error);
  if (help) {
    std::cout << kUsage;
    return 0;
  }
  if ((!args.answers.empty() || args.random > 0) && args.form.empty())
    return Fail("--answers and --random need --form");

  Firmware firmware(args.firmware);
  for (const std::string& faultText : args.faults) {
    std::uint8_t code = 0;
    Fault fault;
    if (!ParseFault(faultText, code, fault, error)) return Fail(error);
    firmware.AddFault(code, fault);
  }

  // The form store is large: keep it off the stack.
  auto forms = std::make_unique<omr::FormDefinition>();
  if (!args.form.empty()) {
    omr::ReaderSettings settings;
    int code = 0;
    if (!omr::ReadFormFile(*forms, settings, args.form.c_str(), code))
      return Fail("cannot read form file " + args.form + " (error " + std::to_string(code) + ")");
  }

  std::vector<SheetPlan> plans;
  args.draw.seed = static_cast<std::uint32_t>(args.seed);
  if (!args.answers.empty() && !ReadAnswersFile(*forms, args.answers, args.draw, plans, error))
    return Fail(error);
  if (args.random > 0) {
    std::vector<int> layouts;
    for (int i = 0; i < omr::kLayoutsPerFace; ++i)
      if (forms->layouts[omr::kFaceA][i].defined && forms->layouts[omr::kFaceA][i].fields.records[0].used)
        layouts.push_back(i);
    if (layouts.empty()) return Fail("the form has no layout with fields to draw");
    std::mt19937 rng(static_cast<std::uint32_t>(args.seed));
    for (long i = 0; i < args.random; ++i) {
      SheetPlan plan;
      plan.layout = layouts[static_cast<std::size_t>(i) % layouts.size()];
      plan.answers = RandomAnswers(forms->layouts[omr::kFaceA][plan.layout], rng, args.rates);
      plan.draw = args.draw;
      plan.draw.seed = static_cast<std::uint32_t>(args.seed + i + 1);
      plan.name = "random-" + std::to_string(i + 1);
      plans.push_back(std::move(plan));
    }
  }

  std::ofstream expected;
  if (!args.expected.empty()) {
    expected.open(args.expected);
    if (!expected) return Fail("cannot write " + args.expected);
  }
  std::ofstream planted;
  if (!args.planted.empty()) {
    planted.open(args.planted);
    if (!planted) return Fail("cannot write " + args.planted);
  }
  for (const SheetPlan& plan : plans) {
    SynthesizedSheet sheet;
    if (!Synthesize(*forms, plan, sheet, error)) return Fail(plan.name + ": " + error);
    if (expected.is_open()) expected << FormatExpected(sheet.expected) << "\n";
    if (planted.is_open())
      planted << FormatPlanted(forms->layouts[omr::kFaceA][plan.layout], plan.answers) << "\n";
    firmware.QueueSheet(Sheet{sheet.status, std::move(sheet.frame), plan.name});
  }
  if (expected.is_open()) {
    expected.close();
    if (!expected) return Fail("cannot write " + args.expected);
  }
  if (planted.is_open()) {
    planted.close();
    if (!planted) return Fail("cannot write " + args.planted);
  }

  const auto start = std::chrono::steady_clock::now();
  auto log = [start](const std::string& line) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    std::fprintf(stderr, "%8lld.%03lld %s\n", static_cast<long long>(ms / 1000),
                 static_cast<long long>(ms % 1000), line.c_str());
  };
  if (args.verbose) firmware.SetLogger(log);

  PtyServer::Options options{args.link, 2000, nullptr, args.stale};
  if (args.verbose) options.log = log;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> capture(nullptr, std::fclose);
  if (!args.capture.empty()) {
    capture.reset(std::fopen(args.capture.c_str(), "wb"));
    if (!capture) return Fail("cannot write " + args.capture);
    // Flushed at once: the file is whole while the simulator still runs.
    options.received = [file = capture.get()](const std::uint8_t* data, std::size_t count) {
      std::fwrite(data, 1, count, file);
      std::fflush(file);
    };
  }
  PtyServer server(firmware, options);
  if (!server.Open(error)) return Fail(error);
  gServer = &server;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("omrsim: reader on %s%s%s, %zu sheet(s) queued\n", server.SlavePath().c_str(),
              args.link.empty() ? "" : ", linked at ", args.link.c_str(), firmware.SheetsWaiting());
  std::fflush(stdout);

  const bool ok = server.Serve(error);
  gServer = nullptr;
  std::fprintf(stderr, "omrsim: stopped after %zu command(s), %zu sheet(s) read, %zu left\n",
               firmware.CommandsHandled(), firmware.SheetsRead(), firmware.SheetsWaiting());
  if (!ok) return Fail(error);
  return 0;
}
