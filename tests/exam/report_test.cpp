// The report's forms: escaping, self-containment, what each form must show,
// and undefined figures never printed as numbers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "exam_sim.h"
#include "report_common.h"
#include "report_html.h"
#include "report_pdf.h"
#include "report_text.h"
#include "report_xlsx.h"

namespace omr::exam {
namespace {

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

ExamAnalysis Simulated(int sheets, std::vector<std::string> versions = {"A", "B"}) {
  testing::SimulationPlan plan;
  plan.sheets = sheets;
  plan.items = 20;
  plan.voidItem = 5;
  plan.versions = std::move(versions);
  ExamAnalysis exam;
  std::string error;
  EXPECT_TRUE(AnalyzeExam(testing::SimulateExam(plan).input, exam, error)) << error;
  return exam;
}

class TempDir {
 public:
  TempDir() {
    std::string p = (std::filesystem::temp_directory_path() / "omr-report-test-XXXXXX").string();
    path_ = mkdtemp(p.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::filesystem::path path_;
};

TEST(Report, TextFromTheCallerIsEscaped) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"a<b>&\"c\"'", "a&lt;b&gt;&amp;&quot;c&quot;&#39;"},
      {"plain", "plain"},
      {"\xE5\xAD\xA6\xE7\x94\x9F", "\xE5\xAD\xA6\xE7\x94\x9F"},  // UTF-8 kept
      {"bad \xFF byte", "bad \xEF\xBF\xBD byte"},
      {"cut \xE5\xAD", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong \xC0\xBC", "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
      {std::string("nul \0 bell \a", 12), "nul  bell "},  // control characters dropped
      {"no lead \xF8\x80\x80", "no lead \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"tab\tnewline\n", "tab\tnewline\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeHtml(c.in), c.out) << c.in;
  EXPECT_EQ(LabelText('A'), "A");
  EXPECT_EQ(LabelText('\xB0'), "\\xB0");
  EXPECT_EQ(LabelText(' '), "\\x20");
  EXPECT_EQ(Fixed(-0.0001, 2), "0.00");
  EXPECT_EQ(Fixed(-0.5, 1), "-0.5");
  EXPECT_EQ(Fixed(std::nullopt, 2, "-"), "-");
}

TEST(Report, HtmlEscapesNamesLabelsAndRosterText) {
  testing::SimulationPlan plan;
  plan.sheets = 60;
  plan.items = 12;
  plan.options = "AB<&";
  plan.versions = {"<b>V1</b>", "V&2\"'"};
  ExamAnalysis exam;
  std::string error;
  ASSERT_TRUE(AnalyzeExam(testing::SimulateExam(plan).input, exam, error)) << error;
  ReportInfo info;
  info.title = "Physics <script>alert(1)</script> & \"finals\"";
  info.generated = "today <i>";
  info.waiting = {{17, "<img src=x onerror=alert(2)>", "O'Brien & \"Sons\"", "multiple marks <q3>"},
                  {18, "\xFF\xFE", "", "blank item"}};
  const std::string html = RenderHtmlReport(exam, info);
  EXPECT_EQ(Count(html, "<script"), 1u);
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("<b>V1"), std::string::npos);
  EXPECT_EQ(html.find("<q3>"), std::string::npos);
  EXPECT_EQ(html.find("<i>"), std::string::npos);
  EXPECT_NE(html.find("Physics &lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;finals&quot;"),
            std::string::npos);
  EXPECT_NE(html.find("O&#39;Brien &amp; &quot;Sons&quot;"), std::string::npos);
  EXPECT_NE(html.find("&lt;b&gt;V1&lt;/b&gt;"), std::string::npos);
  EXPECT_NE(html.find("V&amp;2&quot;&#39;"), std::string::npos);
  EXPECT_NE(html.find(">&amp;</tspan>"), std::string::npos);  // the option label "&" in a bar chart
  EXPECT_NE(html.find("<td>\xEF\xBF\xBD\xEF\xBF\xBD<td>"), std::string::npos);
}

TEST(Report, HtmlIsSelfContainedAndShowsEverySection) {
  const ExamAnalysis exam = Simulated(200);
  ReportInfo info;
  info.title = "Exam";
  for (int i = 0; i < 25; ++i)
    info.waiting.push_back({1000 + i, "ID" + std::to_string(i), "Name", "blank item"});
  const std::string html = RenderHtmlReport(exam, info);
  for (const char* outside : {"http:", "https:", "//", "@import", "url(", "@font-face"}) {
    // "//" only inside the script's and style's own text would be a comment: there is none.
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  const std::regex attribute(R"re((src|href)="([^"]*)")re");
  for (std::sregex_iterator it(html.begin(), html.end(), attribute), end; it != end; ++it) {
    const std::string target = (*it)[2];
    EXPECT_TRUE(target.rfind("#", 0) == 0 || target.rfind("data:", 0) == 0) << target;
  }
  int flagged = 0;
  for (const ItemResult& item : exam.overall.items) {
    if (!item.flags) continue;
    ++flagged;
    EXPECT_NE(html.find("<article class=panel id=\"item-" + std::to_string(item.master) + "\">"),
              std::string::npos);
  }
  EXPECT_EQ(flagged, 3);
  EXPECT_EQ(Count(html, "<article class=panel"), static_cast<std::size_t>(flagged));
  EXPECT_NE(html.find("Sheets waiting for review (25)"), std::string::npos);
  EXPECT_EQ(Count(html, "<td>ID"), 25u);
  EXPECT_EQ(html.find("more sheets wait"), std::string::npos);
  EXPECT_EQ(Count(html, "<svg class=hist"), 1u);
  EXPECT_EQ(Count(html, "<svg class=opt"), exam.overall.items.size() - 1);  // not for the void item
  EXPECT_NE(html.find("re-key the item"), std::string::npos);
  EXPECT_NE(html.find("@media print"), std::string::npos);
}

TEST(Report, ALongReviewListKeepsThePageUnderTwoMegabytes) {
  const ExamAnalysis exam = Simulated(200);
  ReportInfo info;
  const std::string reasons(180, 'r');
  for (int i = 0; i < 20000; ++i) info.waiting.push_back({i + 1, "ID" + std::to_string(i), "Name", reasons});
  const std::string html = RenderHtmlReport(exam, info);
  EXPECT_LT(html.size(), 2u * 1024 * 1024);
  const std::size_t listed = Count(html.substr(html.find("<section id=review>")), "<tr><td>");
  EXPECT_GT(listed, 5000u);
  EXPECT_NE(html.find(std::to_string(20000 - listed) + " more sheets wait for review"), std::string::npos);
}

TEST(Report, UndefinedFiguresAreNeverNumbers) {
  struct Case {
    const char* name;
    ExamAnalysis exam;
  };
  const Case cases[] = {{"no sheets", Simulated(0)},
                        {"one sheet", Simulated(1)},
                        {"versions without sheets", Simulated(1, {"A", "B", "C"})}};
  const std::regex notNumber(R"((^|[^a-z])(nan|inf)([^a-z]|$))", std::regex::icase);
  for (const Case& c : cases) {
    const std::string html = RenderHtmlReport(c.exam, {});
    const std::string text = StatsText(c.exam, c.exam.overall);
    const std::string json = StatsJson(c.exam);
    EXPECT_FALSE(std::regex_search(html, notNumber)) << c.name;
    EXPECT_FALSE(std::regex_search(text, notNumber)) << c.name;
    EXPECT_FALSE(std::regex_search(json, notNumber)) << c.name;
    const nlohmann::json j = nlohmann::json::parse(json);
    EXPECT_TRUE(j["overall"]["items"][0]["r"].is_null()) << c.name;
    EXPECT_TRUE(j["overall"]["alpha"].is_null()) << c.name;
    EXPECT_TRUE(j["versions"].back()["mean"].is_null()) << c.name;
  }
}

TEST(Report, TextTableHasEveryItemAndWhyItIsFlagged) {
  const ExamAnalysis exam = Simulated(200);
  const std::string text = StatsText(exam, exam.overall);
  for (const ItemResult& item : exam.overall.items) {
    const std::regex line("\\n +" + std::to_string(item.master) + "  [A-E] ");
    EXPECT_TRUE(std::regex_search(text, line)) << item.master;
  }
  EXPECT_NE(text.find("\nFlagged items\nItem 3 (key?"), std::string::npos) << text;
  EXPECT_NE(text.find("\nItem 7 ("), std::string::npos);
  EXPECT_NE(text.find("\nItem 11 ("), std::string::npos);
  EXPECT_NE(text.find("void"), std::string::npos);
  ASSERT_TRUE(FindAnalysis(exam, "B"));
  EXPECT_EQ(FindAnalysis(exam, "nope"), nullptr);
  EXPECT_EQ(StatsText(exam, *FindAnalysis(exam, "B")).rfind("Item analysis of version B: 100 sheets", 0), 0u);
}

TEST(Report, JsonCarriesEveryFigureAtFullPrecision) {
  const ExamAnalysis exam = Simulated(200);
  const nlohmann::json j = nlohmann::json::parse(StatsJson(exam));
  ASSERT_EQ(j["versions"].size(), 2u);
  ASSERT_EQ(j["overall"]["items"].size(), exam.overall.items.size());
  const nlohmann::json& third = j["overall"]["items"][2];
  EXPECT_EQ(third["flags"][0], "key?");
  EXPECT_EQ(third["r"].get<double>(), *exam.overall.items[2].r);
  EXPECT_EQ(j["overall"]["alpha"].get<double>(), *exam.overall.test.alpha);
  EXPECT_TRUE(j["overall"]["items"][4]["void"].get<bool>());
}

TEST(Report, XlsxWorksheetsAreAddedOnce) {
  const ExamAnalysis exam = Simulated(50);
  TempDir dir;
  const std::string path = (dir.path_ / "stats.xlsx").string();
  lxw_workbook* wb = workbook_new(path.c_str());
  ASSERT_NE(wb, nullptr);
  std::string error;
  EXPECT_TRUE(AddAnalysisWorksheets(wb, exam, error)) << error;
  EXPECT_FALSE(AddAnalysisWorksheets(wb, exam, error));
  EXPECT_NE(error.find("already has a sheet \"Test statistics\""), std::string::npos) << error;
  ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
  std::ifstream in(path, std::ios::binary);
  char magic[2] = {};
  in.read(magic, 2);
  EXPECT_EQ(std::string(magic, 2), "PK");
}

TEST(Report, FailedWritesLeaveTheOldFile) {
  TempDir dir;
  const std::filesystem::path pdf = dir.path_ / "old.pdf";
  std::ofstream(pdf) << "old";
  std::string error;
  setenv("OMR_CHROMIUM", (dir.path_ / "no-such-browser").c_str(), 1);
  EXPECT_FALSE(PrintPdf("<p>x</p>", pdf, error));
  unsetenv("OMR_CHROMIUM");
  EXPECT_EQ(error, kNoChromium);
  std::ifstream in(pdf);
  std::string kept;
  in >> kept;
  EXPECT_EQ(kept, "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path_), {}), 1);
}

}  // namespace
}  // namespace omr::exam
