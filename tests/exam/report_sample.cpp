// Writes a simulated exam and every form of its item analysis for the Python
// and browser checks: input.json (the scored sheets and the planted items),
// stats.json, stats.txt, report.html, report.xlsx and, with --pdf,
// report.pdf. Names and roster text hold characters HTML must escape.
#include <xlsxwriter.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "exam_sim.h"
#include "report_html.h"
#include "report_pdf.h"
#include "report_text.h"
#include "report_xlsx.h"
#include "write_file.h"

namespace {

bool WriteFile(const std::filesystem::path& path, std::string_view content, std::string& error) {
  return omr::common::WriteFileWhole(path.string(), content, omr::common::IfExists::kReplace, error);
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "omr_exam_report_sample: %s\n", what.c_str());
  return 1;
}

nlohmann::json InputJson(const omr::exam::testing::SimulatedExam& sim) {
  nlohmann::json j;
  for (const auto& item : sim.input.items) {
    j["items"].push_back({{"master", item.master},
                          {"maximum", item.maximum},
                          {"options", item.options},
                          {"keyed", item.keyed},
                          {"void", item.isVoid},
                          {"bonus", item.bonus}});
  }
  j["sheets"] = nlohmann::json::array();
  for (const auto& sheet : sim.input.sheets) {
    j["sheets"].push_back({{"number", sheet.number},
                           {"version", sheet.version},
                           {"points", sheet.points},
                           {"right", sheet.right},
                           {"marked", sheet.marked},
                           {"total", sheet.total ? nlohmann::json(*sheet.total) : nlohmann::json()}});
  }
  j["versions"] = sim.input.versions;
  j["planted"] = {{"wrong_key", sim.wrongKey}, {"negative", sim.negative}, {"easy", sim.easy}};
  return j;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path out;
  bool pdf = false;
  omr::exam::testing::SimulationPlan plan;
  plan.items = 30;
  plan.voidItem = 20;
  plan.bonusItem = 25;
  plan.acceptItem = 14;
  plan.wrong = -0.25;
  plan.floor = 0;
  plan.versions = {"A", "B"};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--out" && hasValue) {
      out = argv[++i];
    } else if (arg == "--sheets" && hasValue) {
      plan.sheets = std::atoi(argv[++i]);
    } else if (arg == "--seed" && hasValue) {
      plan.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--pdf") {
      pdf = true;
    } else {
      return Fail("usage: omr_exam_report_sample --out DIR [--sheets N] [--seed S] [--pdf]");
    }
  }
  if (out.empty() || plan.sheets < 0 || plan.sheets > 100000)
    return Fail("--out DIR is needed, sheets 0 to 100000");
  std::filesystem::create_directories(out);

  omr::exam::testing::SimulatedExam sim = omr::exam::testing::SimulateExam(plan);
  sim.input.versions.push_back("C <none> & \"empty\"");  // a version no sheet has
  omr::exam::ExamAnalysis exam;
  std::string error;
  if (!omr::exam::AnalyzeExam(sim.input, exam, error)) return Fail(error);

  omr::exam::ReportInfo info;
  info.title = "Physics <final> & \"resit\" 'B'";
  info.generated = "2026-12-09 10:00";
  for (std::size_t i = 0; i < sim.input.sheets.size(); i += 17) {
    const auto& sheet = sim.input.sheets[i];
    info.waiting.push_back({sheet.number, "S<" + std::to_string(i) + ">", "O'Brien & \"Daughters\" <b>",
                            "multiple marks on item 4 & blank item 9"});
  }
  const std::string html = omr::exam::RenderHtmlReport(exam, info);
  if (!WriteFile(out / "input.json", InputJson(sim).dump(1) + "\n", error) ||
      !WriteFile(out / "stats.json", omr::exam::StatsJson(exam), error) ||
      !WriteFile(out / "stats.txt", omr::exam::StatsText(exam, exam.overall), error) ||
      !WriteFile(out / "report.html", html, error)) {
    return Fail(error);
  }
  lxw_workbook* wb = workbook_new((out / "report.xlsx").c_str());
  if (!wb) return Fail("cannot create report.xlsx");
  const bool added = omr::exam::AddAnalysisWorksheets(wb, exam, error);
  if (workbook_close(wb) != LXW_NO_ERROR) return Fail("cannot write report.xlsx");
  if (!added) return Fail(error);
  if (pdf && !omr::exam::PrintPdf(html, out / "report.pdf", error)) return Fail(error);
  return 0;
}
