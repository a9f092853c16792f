#include "report_text.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "report_common.h"
#include "results.h"

namespace omr::exam {

namespace {

using Json = nlohmann::ordered_json;

std::string Pad(std::string s, std::size_t width, bool right) {
  // Pads by code points so that a version name in UTF-8 keeps the columns.
  std::size_t shown = 0;
  for (unsigned char c : s) shown += (c & 0xC0) != 0x80;
  if (shown >= width) return s;
  const std::string fill(width - shown, ' ');
  return right ? fill + s : s + fill;
}

std::string TestLine(const TestResult& t) {
  return "mean " + Fixed(t.mean, 2, "-") + "  median " + Fixed(t.median, 2, "-") + "  sd " +
         Fixed(t.sd, 2, "-") + "  min " + Fixed(t.min, 2, "-") + "  max " + Fixed(t.max, 2, "-") +
         "  alpha " + Fixed(t.alpha, 3, "-") + " (" + std::to_string(t.alphaItems) + " items)  SEM " +
         Fixed(t.sem, 2, "-");
}

std::string OptionsText(const ItemResult& item) {
  std::string out;
  for (std::size_t i = 0; i < item.options.size(); ++i) {
    const OptionRow& row = item.options[i];
    if (!out.empty()) out += "  ";
    out += RowName(row);
    if (row.keyed) out += '*';
    if (static_cast<int>(i) == item.keyRival) out += '!';
    out += ' ' + (row.share ? Fixed(*row.share * 100, 0) : std::string("-"));
  }
  return out;
}

Json Figure(const std::optional<double>& v) {
  return v ? Json(*v) : Json(nullptr);
}

Json AnalysisJson(const ExamAnalysis& exam, const Analysis& a) {
  Json j;
  j["version"] = a.allVersions ? Json(nullptr) : Json(CleanUtf8(a.version));
  const TestResult& t = a.test;
  j["sheets"] = t.n;
  j["items_scored"] = t.k;
  j["alpha_items"] = t.alphaItems;
  j["maximum"] = t.maximum;
  j["group_size"] = t.group;
  j["floored"] = t.floored;
  j["mean"] = Figure(t.mean);
  j["median"] = Figure(t.median);
  j["sd"] = Figure(t.sd);
  j["min"] = Figure(t.min);
  j["max"] = Figure(t.max);
  j["alpha"] = Figure(t.alpha);
  j["sem"] = Figure(t.sem);
  Json bins = Json::array();
  for (const Bin& b : t.distribution) bins.push_back({{"low", b.low}, {"high", b.high}, {"count", b.count}});
  j["distribution"] = std::move(bins);
  Json items = Json::array();
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    const ItemResult& item = a.items[i];
    Json ji;
    ji["item"] = item.master;
    ji["maximum"] = item.maximum;
    ji["key"] = KeyText(exam, a, i);
    ji["void"] = item.isVoid;
    ji["bonus"] = item.bonus;
    ji["key_varies"] = item.keyVaries;
    ji["mean"] = Figure(item.mean);
    ji["p"] = Figure(item.p);
    ji["d"] = Figure(item.d);
    ji["point_biserial"] = Figure(item.pointBiserial);
    ji["r"] = Figure(item.r);
    ji["alpha_if_deleted"] = Figure(item.alphaIfDeleted);
    ji["p_upper"] = Figure(item.pUpper);
    ji["p_lower"] = Figure(item.pLower);
    Json flags = Json::array();
    for (unsigned f : kAllFlags) {
      if (item.flags & f) flags.push_back(std::string(FlagName(f)));
    }
    ji["flags"] = std::move(flags);
    ji["key_rival"] = item.keyRival >= 0 ? Json(RowName(item.options[item.keyRival])) : Json(nullptr);
    Json options = Json::array();
    for (const OptionRow& row : item.options) {
      Json jo;
      jo["kind"] = row.kind == OptionRow::Kind::kLabel   ? "label"
                   : row.kind == OptionRow::Kind::kBlank ? "blank"
                                                         : "multiple";
      jo["label"] = row.kind == OptionRow::Kind::kLabel ? Json(LabelText(row.label)) : Json(nullptr);
      jo["keyed"] = row.keyed;
      jo["listed"] = row.listed;
      jo["count"] = row.count;
      jo["share"] = Figure(row.share);
      jo["upper_share"] = Figure(row.upperShare);
      jo["lower_share"] = Figure(row.lowerShare);
      jo["point_biserial"] = Figure(row.pointBiserial);
      options.push_back(std::move(jo));
    }
    ji["options"] = std::move(options);
    items.push_back(std::move(ji));
  }
  j["items"] = std::move(items);
  return j;
}

}  // namespace

const Analysis* FindAnalysis(const ExamAnalysis& exam, std::string_view version) {
  if (version.empty()) return &exam.overall;
  for (const Analysis& a : exam.versions) {
    if (a.version == version) return &a;
  }
  return nullptr;
}

std::string StatsText(const ExamAnalysis& exam, const Analysis& a) {
  const TestResult& t = a.test;
  std::string out = "Item analysis of " +
                    (a.allVersions ? std::string("all versions") : "version " + CleanUtf8(a.version)) + ": " +
                    std::to_string(t.n) + " sheets, " + std::to_string(t.k) + " items scored (maximum " +
                    Fixed(t.maximum, 2) + ")\n" + TestLine(t) + "\n";
  if (a.allVersions && exam.versions.size() > 1) {
    for (const Analysis& v : exam.versions) {
      out += "version " + CleanUtf8(v.version) + ": " + std::to_string(v.test.n) + " sheets  " +
             TestLine(v.test) + "\n";
    }
  }
  out += TotalsNote(t) + "\n";
  std::vector<std::string> keys;
  std::size_t keyWidth = 3;
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    keys.push_back(KeyText(exam, a, i));
    keyWidth = std::max(keyWidth, keys.back().size());
  }
  out += "\n" + Pad("Item", 5, true) + "  " + Pad("Key", keyWidth, false) + "  " + Pad("Max", 5, true) + " " +
         Pad("Mean", 6, true) + " " + Pad("p", 5, true) + " " + Pad("D", 5, true) + " " +
         Pad("r.tot", 6, true) + " " + Pad("r.rest", 6, true) + " " + Pad("a.del", 6, true) + "  " +
         Pad("Flags", 22, false) + "  Options (% of sheets; * keyed, ! beats the key)\n";
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    const ItemResult& item = a.items[i];
    std::string flags = item.isVoid ? "void" : FlagNames(item.flags, ",");
    if (item.bonus) flags = flags.empty() ? "bonus" : "bonus," + flags;
    std::string line =
        Pad(std::to_string(item.master), 5, true) + "  " + Pad(keys[i], keyWidth, false) + "  " +
        Pad(Fixed(item.maximum, 2), 5, true) + " " + Pad(Fixed(item.mean, 2, "-"), 6, true) + " " +
        Pad(Fixed(item.p, 2, "-"), 5, true) + " " + Pad(Fixed(item.d, 2, "-"), 5, true) + " " +
        Pad(Fixed(item.pointBiserial, 2, "-"), 6, true) + " " + Pad(Fixed(item.r, 2, "-"), 6, true) + " " +
        Pad(Fixed(item.alphaIfDeleted, 3, "-"), 6, true) + "  " + Pad(flags, 22, false);
    if (!item.isVoid) line += "  " + OptionsText(item);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  out += "\n" + std::string(kItemColumnsNote) + "\n";
  bool header = false;
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    if (!a.items[i].flags) continue;
    if (!header) out += "\nFlagged items\n";
    header = true;
    out += "Item " + std::to_string(a.items[i].master) + " (" + FlagNames(a.items[i].flags, ", ") + ")\n";
    for (const std::string& s : FlagAdvice(exam, a, i)) out += "  " + s + "\n";
  }
  return out;
}

std::string StatsJson(const ExamAnalysis& exam) {
  Json j;
  j["overall"] = AnalysisJson(exam, exam.overall);
  Json versions = Json::array();
  for (const Analysis& v : exam.versions) versions.push_back(AnalysisJson(exam, v));
  j["versions"] = std::move(versions);
  return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

namespace {

// The exam's analysis as the context of a group's: its keys, without the
// versions' lines (they are the whole exam's, not the group's).
ExamAnalysis GroupContext(const ExamAnalysis& exam) {
  ExamAnalysis context;
  context.overall = exam.overall;
  return context;
}

std::string GroupName(const GroupFigures& g) {
  return CleanUtf8(g.column) + " " + (g.value.empty() ? std::string(kNoGroup) : CleanUtf8(g.value));
}

}  // namespace

std::string GroupStatsText(const ExamAnalysis& exam, const ExamResults& results, const std::string& column) {
  const ExamAnalysis context = GroupContext(exam);
  std::string out;
  for (const GroupFigures& g : results.groups) {
    if (g.column != column || g.column.empty()) continue;
    out += (out.empty() ? "" : "\n") + std::string("== ") + GroupName(g) + ": " + std::to_string(g.students) +
           " student" + (g.students == 1 ? "" : "s") + " ==\n" + StatsText(context, g.analysis);
  }
  return out;
}

std::string GroupStatsJson(const ExamAnalysis& exam, const ExamResults& results, const std::string& column) {
  const ExamAnalysis context = GroupContext(exam);
  Json j;
  j["group"] = CleanUtf8(column);
  Json groups = Json::array();
  for (const GroupFigures& g : results.groups) {
    if (g.column != column || g.column.empty()) continue;
    Json e;
    e["value"] = CleanUtf8(g.value);
    e["students"] = g.students;
    e["analysis"] = AnalysisJson(context, g.analysis);
    groups.push_back(std::move(e));
  }
  j["groups"] = std::move(groups);
  return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace omr::exam
