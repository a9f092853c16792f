// omrctl: reads answer sheets with an optical mark reader through libomr.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "omr_offline.h"
#ifdef OMR_WITH_EXAM
#include "cmd_exam.h"
#endif
#ifdef OMR_WITH_REVIEW
#include "cmd_office.h"
#endif

using namespace omrctl;

namespace {

constexpr const char* kPortHelp =
    "Serial device of the reader: the library looks only there (sets OMR_SERIAL_PORTS; a "
    "colon-separated list is tried in order). Default: OMR_SERIAL_PORTS if set, else /dev/ttyUSB*, "
    "/dev/ttyACM*, /dev/ttyS*, then the USB bridge";

constexpr const char* kModeHelp =
    "Result mode of MR_GetResult: 0 the answers only, 1 the form letter first, 2 the status byte first, "
    "3 both (blanks, backslashes and bytes outside ASCII are shown as \\xHH)";

constexpr const char* kGridFormat =
    "Grid files (--save-grids, decode): text, first line \"omr-grid 1\", then \"LINES COLUMNS\", then "
    "LINES rows of COLUMNS hexadecimal digits (one per cell, 0 light to F dark) in the order the reader "
    "sends them: the first row is sheet line LINES, the last row line 1. Lines starting with # are "
    "comments.";

constexpr const char* kPictureFormat =
    "Pictures (--pictures): one PNG per sheet whose grid arrived (not for a sheet to feed again), "
    "12 pixels a cell, 26 + 12 x columns wide and 12 x lines high; grey cells, option cells outlined in "
    "blue (orange: doubtful), marked cells filled red, bars green, the identifying cell magenta, question "
    "numbers before each question's first cell (orange: doubtful).";

constexpr const char* kDoubtHelp =
    "Doubtful questions (the CSV's doubtful column, the JSON's doubt and confidence): judged against the "
    "sheet's own paper level (the median grey of its blank option cells) and mark level (that of its marked "
    "ones). A question is doubtful for a faint mark (a lone light mark, or a mark lighter than half the "
    "mark level), an erasure (a cell between the two levels), a near tie (a marked option and another "
    "within 2 grey levels where that decides the answer), a margin (a deciding cell between the levels "
    "within one grey level of its threshold) or an option cell off the grid. Confidence: 0 to 1 from the "
    "deciding cells' distance to their thresholds; at most 0.5 when doubtful.";

constexpr const char* kSubcommands[] = {
    "scan",   "check", "read", "decode", "info", "motor", "errors", "help",
#ifdef OMR_WITH_EXAM
    "exam",
#endif
#ifdef OMR_WITH_REVIEW
    "office",
#endif
};

void AddPort(CLI::App* app, GlobalOptions& global) {
  app->add_option("--port", global.port, kPortHelp)->type_name("PATH");
}

// The first word that is not a global option, when it names no subcommand
// ("" otherwise): CLI11 would only say that it was not expected.
std::string UnknownSubcommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--port" || word == "--lang") {
      ++i;
      continue;
    }
    if (word.rfind("-", 0) == 0) continue;
    for (const char* known : kSubcommands)
      if (word == known) return "";
    return word;
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::string unknown = UnknownSubcommand(argc, argv); !unknown.empty()) {
    std::string list;
    for (const char* known : kSubcommands) list += (list.empty() ? "" : ", ") + std::string(known);
    std::fprintf(stderr,
                 "omrctl: unknown subcommand '%s'; the subcommands are %s (omrctl --help tells more)\n",
                 unknown.c_str(), list.c_str());
    return kExitUsage;
  }
  CLI::App app{"omrctl: reads answer sheets with an optical mark reader, through libomr.", "omrctl"};
  app.footer(kExitCodesHelp);
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", std::string("omrctl ") + OMR_VERSION, "Print the version and exit");

  GlobalOptions global;
  std::string language = "en";
  AddPort(&app, global);
  app.add_option("--lang", language, "Language of the library's messages: en (English) or zh (Chinese)")
      ->check(CLI::IsMember({"en", "zh"}));

  bool json = false;

  CLI::App* scan = app.add_subcommand(
      "scan",
      "Find the reader and print its port, firmware version, channel count, serial number and sheet wait");
  scan->add_flag("--json", json, "Print one JSON object");
  scan->footer(kExitCodesHelp);

  CheckOptions check;
  CLI::App* checkCmd = app.add_subcommand(
      "check",
      "Check a form file without a reader: every line the library rejects (line number, text, code, "
      "message), a summary of each layout, and warnings: label ids that do not exist, option cells outside "
      "the sheet's lines or off the read head, layouts a sheet cannot be told apart by, cells two questions "
      "use, lines that look like commands but are taken as comments");
  checkCmd->add_option("FORM", check.form, "Form file")->required()->type_name("FILE");
  checkCmd
      ->add_option("--head-columns", check.headColumns, "Cells across the read head (read checks with 48)")
      ->capture_default_str()
      ->check(CLI::Range(2, OMRO_MAX_COLUMNS));
  checkCmd->add_flag("--json", check.json, "Print one JSON object");
  checkCmd->footer(kExitCodesHelp);

  SheetOptions read;
  CLI::App* readCmd = app.add_subcommand(
      "read",
      "Load a form into the reader and read sheets until --count are read or the tray is empty; one line "
      "per sheet (number, form letter, answers or the error; \"feed again\" for a sheet the reader refused), "
      "then the count of sheets per outcome. Each sheet is saved before the next is fed; a bad sheet "
      "does not stop the batch unless --max-errors sheets in a row fail. SIGINT or SIGTERM stop after the "
      "sheet in flight (a second one at once); a reader that stops answering ends the run naming the sheet "
      "to feed again.");
  readCmd->add_option("FORM", read.form, "Form file")->required()->type_name("FILE");
  readCmd->add_option("--count", read.count, "Sheets to read (0: until the tray is empty)")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000000));
  readCmd->add_option("--mode", read.mode, kModeHelp)->capture_default_str()->check(CLI::Range(0, 3));
  readCmd
      ->add_option("--csv", read.csv,
                   "Write one CSV row per sheet, on the disk before the next sheet is fed: "
                   "sheet,form,code,outcome,answers,doubtful,q1..qN (doubtful: the numbers of the doubtful "
                   "questions; every row has every column)")
      ->type_name("FILE");
  readCmd->add_flag(
      "--json", read.json,
      "Print JSON Lines instead of the lines: one object per sheet as it is read, with its paper "
      "and mark levels and, per question, the doubt, the confidence and every cell's value, "
      "decision and threshold; the summary object last");
  readCmd->add_option("--pictures", read.pictures, "Write DIR/sheet-NNN.png for every sheet")
      ->type_name("DIR");
  readCmd->add_option("--save-grids", read.saveGrids, "Keep every sheet's grid in DIR/sheet-NNN.grid")
      ->type_name("DIR");
  auto* append = readCmd->add_flag(
      "--append", read.append,
      "Add to an existing CSV and folders, numbering after the last sheet in them (else an existing output "
      "is refused)");
  readCmd->add_flag("--force", read.force, "Replace existing outputs")->excludes(append);
  readCmd->add_flag("--excel", read.excel,
                    "Write the CSV for spreadsheets: UTF-8 with a byte-order mark, CRLF");
  readCmd
      ->add_option("--max-errors", read.maxErrors,
                   "Stop the transport and the batch after N sheets in a row that fail (0: never)")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000000));
  readCmd->footer(std::string(kDoubtHelp) + "\n" + kPictureFormat + "\n" + kGridFormat + "\n\n" +
                  kExitCodesHelp);

  SheetOptions decode;
  CLI::App* decodeCmd = app.add_subcommand(
      "decode",
      "Run the recognition again on saved grids, without a reader: tune a form's thresholds (its G line) "
      "or re-read a disputed sheet");
  decodeCmd->add_option("FORM", decode.form, "Form file")->required()->type_name("FILE");
  decodeCmd->add_option("GRID", decode.grids, "Grid files (from read --save-grids)")
      ->required()
      ->type_name("FILE");
  decodeCmd->add_option("--mode", decode.mode, kModeHelp)->capture_default_str()->check(CLI::Range(0, 3));
  decodeCmd
      ->add_option(
          "--csv", decode.csv,
          "Write one CSV row per grid: sheet,form,code,outcome,answers,doubtful,q1..qN (doubtful: the "
          "numbers of the doubtful questions)")
      ->type_name("FILE");
  decodeCmd->add_flag(
      "--json", decode.json,
      "Print JSON Lines: one object per grid with its paper and mark levels and, per question, "
      "the doubt, the confidence and every cell's value, decision and threshold; the summary "
      "object last");
  decodeCmd
      ->add_option("--pictures", decode.pictures,
                   "Write DIR/sheet-NNN.png for every grid (NNN: the number of sheet-NNN.grid)")
      ->type_name("DIR");
  decodeCmd->add_flag("--force", decode.force,
                      "Replace an existing CSV and pictures (else they are refused)");
  decodeCmd->add_flag("--excel", decode.excel,
                      "Write the CSV for spreadsheets: UTF-8 with a byte-order mark, CRLF");
  decodeCmd->footer(std::string(kDoubtHelp) + "\n" + kPictureFormat + "\n" + kGridFormat + "\n\n" +
                    kExitCodesHelp);

  CLI::App* info = app.add_subcommand(
      "info", "Print the reader's serial number, info block, user text, total counter and parameter block");
  info->add_flag("--json", json, "Print one JSON object");
  info->footer(kExitCodesHelp);

  std::string action;
  CLI::App* motor =
      app.add_subcommand("motor", "Drive the sheet transport: start or stop the motor, pass a sheet");
  motor->add_option("ACTION", action, "start, stop or pass")
      ->required()
      ->check(CLI::IsMember({"start", "stop", "pass"}));
  motor->footer(kExitCodesHelp);

  CLI::App* errors = app.add_subcommand("errors", "List every error code with its English and Chinese text");
  errors->add_flag("--json", json, "Print one JSON array");
  errors->footer(kExitCodesHelp);

#ifdef OMR_WITH_EXAM
  ExamOptions examOptions;
  CLI::App* exam = AddExamCommands(app, examOptions);
#endif
#ifdef OMR_WITH_REVIEW
  OfficeOptions officeOptions;
  CLI::App* office = AddOfficeCommand(app, officeOptions);
#endif

  std::string topic;
  const std::vector<std::string> topics(std::begin(kSubcommands), std::end(kSubcommands));
  CLI::App* help = app.add_subcommand("help", "Print the help of a command, or of omrctl");
  help->add_option("COMMAND", topic, "scan, check, read, decode, info, motor, errors, exam or office")
      ->check(CLI::IsMember(topics));
  help->footer(kExitCodesHelp);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }
  global.chinese = language == "zh";

  if (help->parsed()) {
    // A command's help names its parent, as `omrctl COMMAND --help` does.
    const std::string text = topic.empty() ? app.help() : app.get_subcommand(topic)->help("omrctl");
    std::printf("%s", text.c_str());
    return kExitOk;
  }
  if (scan->parsed()) return RunScan(global, json);
  if (checkCmd->parsed()) return RunCheck(global, check);
  if (readCmd->parsed()) return RunRead(global, read);
  if (decodeCmd->parsed()) return RunDecode(global, decode);
  if (info->parsed()) return RunInfo(global, json);
  if (motor->parsed()) return RunMotor(global, action);
  if (errors->parsed()) return RunErrors(global, json);
#ifdef OMR_WITH_EXAM
  if (exam->parsed()) return RunExam(global, exam, examOptions);
#endif
#ifdef OMR_WITH_REVIEW
  if (office->parsed()) return RunOffice(global, office, officeOptions);
#endif
  return kExitUsage;
}
