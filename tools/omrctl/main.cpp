// omrctl: reads answer sheets with an optical mark reader through libomr.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "commands.h"
#include "omr_offline.h"

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
    "Pictures (--pictures): one PNG per sheet whose grid the reader kept (not for errors 3 and 20), "
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

void AddPort(CLI::App* app, GlobalOptions& global) {
  app->add_option("--port", global.port, kPortHelp)->type_name("PATH");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"omrctl: reads answer sheets with an optical mark reader, through libomr.", "omrctl"};
  app.footer(kExitCodesHelp);
  app.require_subcommand(1);
  app.fallthrough();

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
      "use");
  checkCmd->add_option("FORM", check.form, "Form file")->required()->type_name("FILE");
  checkCmd->add_option("--head-columns", check.headColumns, "Cells across the read head")
      ->capture_default_str()
      ->check(CLI::Range(2, OMRO_MAX_COLUMNS));
  checkCmd->add_flag("--json", check.json, "Print one JSON object");
  checkCmd->footer(kExitCodesHelp);

  SheetOptions read;
  CLI::App* readCmd = app.add_subcommand(
      "read",
      "Load a form into the reader and read sheets until --count are read or the reader has no sheet; one "
      "line per sheet (number, form letter, answers or the error), then the count of sheets per outcome. A "
      "bad sheet never stops the batch.");
  readCmd->add_option("FORM", read.form, "Form file")->required()->type_name("FILE");
  readCmd->add_option("--count", read.count, "Sheets to read (0: until the reader has no sheet)")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000000));
  readCmd->add_option("--mode", read.mode, kModeHelp)->capture_default_str()->check(CLI::Range(0, 3));
  readCmd
      ->add_option("--csv", read.csv,
                   "Write one CSV row per sheet: sheet,form,code,outcome,answers,doubtful,q1..qN (doubtful: "
                   "the numbers of the doubtful questions)")
      ->type_name("FILE");
  readCmd->add_flag(
      "--json", read.json,
      "Print one JSON document instead of the lines: every sheet with its paper and mark levels "
      "and, per question, the doubt, the confidence and every cell's value, decision and "
      "threshold");
  readCmd->add_option("--pictures", read.pictures, "Write DIR/sheet-NNN.png for every sheet")
      ->type_name("DIR");
  readCmd->add_option("--save-grids", read.saveGrids, "Keep every sheet's grid in DIR/sheet-NNN.grid")
      ->type_name("DIR");
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
      "Print one JSON document: every grid with its paper and mark levels and, per question, the "
      "doubt, the confidence and every cell's value, decision and threshold");
  decodeCmd->add_option("--pictures", decode.pictures, "Write DIR/sheet-NNN.png for every grid")
      ->type_name("DIR");
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

  std::string topic;
  CLI::App* help = app.add_subcommand("help", "Print the help of a command, or of omrctl");
  help->add_option("COMMAND", topic, "scan, check, read, decode, info, motor or errors")
      ->check(CLI::IsMember({"scan", "check", "read", "decode", "info", "motor", "errors", "help"}));
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
  return kExitUsage;
}
