// The Keys and Results pages' work: every master item with its key and
// figures, the history of keys, integrity's proposed keys, and the files the
// Results page downloads.
#include <algorithm>
#include <cctype>

#include "error.h"
#include "export.h"
#include "integrity.h"
#include "office.h"
#include "report_common.h"
#include "text.h"

namespace omr::exam::office {

namespace {

constexpr std::size_t kMaxHistory = 100;  // revisions whose keys the history shows

using http::HttpError;

const char* KindText(ItemKind kind) {
  return kind == ItemKind::kVoid ? "void" : kind == ItemKind::kBonus ? "bonus" : "scored";
}

// An option text without the label blanks (never options).
std::string OptionLabels(const std::string& options) {
  std::string out;
  for (const char c : options)
    if (c != ' ') out += c;
  return out;
}

Json Figure(const std::optional<double>& v) {
  return v ? Json(*v) : Json(nullptr);
}

// A revision's key as the history shows it; null when its text no longer
// reads against the current form (a revision from before a rescan).
Json RevisionKeys(const RevisionRecord& r, const FormShape& shape) {
  const ExamCheck check = ParseExam(r.examText, shape, /*stored=*/true);
  if (!check.problems.empty()) return nullptr;
  const Exam& e = check.exam;
  Json voided = Json::array();
  Json bonus = Json::array();
  Json accept = Json::object();
  Json points = Json::object();
  for (std::size_t m = 0; m < e.rules.size(); ++m) {
    const ItemRule& rule = e.rules[m];
    const int master = static_cast<int>(m + 1);
    if (rule.kind == ItemKind::kVoid) voided.push_back(master);
    if (rule.kind == ItemKind::kBonus) bonus.push_back(master);
    if (!rule.accept.empty()) accept[std::to_string(master)] = VisibleAscii(rule.accept);
    points[std::to_string(master)] = rule.points;
  }
  return {{"key", VisibleAscii(e.masterKey)},
          {"void", voided},
          {"bonus", bonus},
          {"accept", accept},
          {"points", points}};
}

// Whether a JSON value is absent, null or false.
bool Off(const Json& body, const char* name) {
  const auto hit = body.find(name);
  if (hit == body.end() || hit->is_null()) return true;
  if (!hit->is_boolean()) throw HttpError(400, std::string(name) + ": true or false");
  return !hit->get<bool>();
}

}  // namespace

Json Keys(Project& project, const Analyzed& analyzed) {
  const Exam& exam = project.exam();
  const FormShape& shape = project.shape();
  std::map<int, const ItemResult*> figures;
  for (const ItemResult& item : analyzed.analysis.overall.items) figures[item.master] = &item;

  Json versions = Json::array();
  for (const VersionKey& k : exam.keys) versions.push_back({{"name", CleanUtf8(k.name)}, {"order", k.order}});

  Json items = Json::array();
  for (int m = 1; m <= exam.ItemCount(); ++m) {
    const ItemRule& rule = exam.rules[static_cast<std::size_t>(m - 1)];
    Json questions = Json::object();  // version -> the question it is on
    std::string options;
    for (const VersionKey& k : exam.keys) {
      const auto at = std::find(k.order.begin(), k.order.end(), m);
      if (at == k.order.end()) continue;
      const std::size_t i = static_cast<std::size_t>(at - k.order.begin());
      if (i >= exam.items.size()) continue;
      const int q = exam.items[i];
      questions[CleanUtf8(k.name)] = q;
      if (options.empty()) options = OptionLabels(exam.OptionsAt(shape, k, i));
    }
    const char key = static_cast<std::size_t>(m - 1) < exam.masterKey.size()
                         ? exam.masterKey[static_cast<std::size_t>(m - 1)]
                         : '*';
    Json j;
    j["item"] = m;
    j["questions"] = questions;
    j["options"] = VisibleAscii(options);
    j["key"] = key == '*' ? Json(nullptr) : Json(VisibleAscii(std::string(1, key)));
    j["accept"] = VisibleAscii(rule.accept);
    j["all"] = VisibleAscii(rule.all);
    j["partial"] = rule.partial;
    j["kind"] = KindText(rule.kind);
    j["points"] = rule.points;
    j["wrong"] = rule.wrong;
    j["blank"] = rule.blank;
    j["multiple"] = rule.multiple;
    const auto hit = figures.find(m);
    if (hit != figures.end() && analyzed.error.empty()) {
      const ItemResult& f = *hit->second;
      Json flags = Json::array();
      for (const unsigned flag : kAllFlags)
        if (f.flags & flag) flags.push_back(std::string(FlagName(flag)));
      j["figures"] = {{"p", Figure(f.p)}, {"d", Figure(f.d)}, {"r", Figure(f.r)}, {"flags", flags}};
    } else {
      j["figures"] = nullptr;
    }
    items.push_back(j);
  }

  Json history = Json::array();
  std::vector<RevisionRecord> revisions = project.store().Revisions(project.examId());
  const std::size_t first = revisions.size() > kMaxHistory ? revisions.size() - kMaxHistory : 0;
  for (std::size_t i = revisions.size(); i-- > 0;) {
    const RevisionRecord& r = revisions[i];
    Json h;
    h["revision"] = r.revision;
    h["created_at"] = r.createdAt;
    h["author"] = CleanUtf8(r.author);
    h["kind"] = CleanUtf8(r.kind);
    h["note"] = CleanUtf8(r.note);
    h["keys"] = i >= first ? RevisionKeys(project.store().Revision(project.examId(), r.revision), shape)
                           : Json(nullptr);
    history.push_back(h);
  }

  Json j;
  j["exam"] = CleanUtf8(project.examName());
  j["title"] = CleanUtf8(exam.title.empty() ? project.examName() : exam.title);
  j["revision"] = project.revision();
  j["sheets"] = analyzed.stamp.sheets;
  j["scored"] = static_cast<std::int64_t>(analyzed.analysis.overall.test.n);
  j["analysis_error"] = analyzed.error.empty() ? Json(nullptr) : Json(CleanUtf8(analyzed.error));
  j["versions"] = versions;
  j["items"] = items;
  j["history"] = history;
  return j;
}

ItemChange ItemChangeOf(const Json& body) {
  ItemChange change;
  change.item = static_cast<int>(api::NumberField(body, "item", 1, 100000));
  const std::string key = api::TextField(body, "key", 8, false);
  const std::string accept = api::TextField(body, "accept", 64, false);
  if (!key.empty()) change.key = key;
  if (!accept.empty()) change.accept = accept;
  change.voided = !Off(body, "void");
  change.bonus = !Off(body, "bonus");
  const int kinds = (change.key || change.accept ? 1 : 0) + (change.voided ? 1 : 0) + (change.bonus ? 1 : 0);
  if (kinds != 1)
    throw HttpError(
        400, "say how the item changes: a key (alone or with accept), accept, void or bonus: one of them");
  return change;
}

Json KeyFixes(const Analyzed& analyzed) {
  Json out = Json::array();
  if (!analyzed.error.empty()) return out;
  for (const KeyFix& k : ProposeKeys(analyzed.analysis))
    out.push_back({{"item", k.master},
                   {"version", k.version.empty() ? Json(nullptr) : Json(CleanUtf8(k.version))},
                   {"keyed", LabelsText(k.keyed)},
                   {"proposed", LabelText(k.proposed)},
                   {"keyed_r", Figure(k.keyedR)},
                   {"proposed_r", Figure(k.proposedR)},
                   {"proposed_share", Figure(k.proposedShare)}});
  return out;
}

const std::vector<Download>& Downloads() {
  static const std::vector<Download> kDownloads = [] {
    auto csv = [](const char* table) {
      ExportRequest r;
      r.format = "csv";
      r.table = table;
      r.excel = true;  // opened with a double click: a byte-order mark and CRLF
      return Download{std::string(table) + ".csv", r};
    };
    auto of = [](const std::string& id, const std::string& format) {
      ExportRequest r;
      r.format = format;
      return Download{id, r};
    };
    std::vector<Download> rows = {csv("students"), csv("sheets"), csv("items"), of("results.xlsx", "xlsx"),
                                  of("results.json", "json")};
    for (const LmsPlatform& p : LmsPlatforms()) rows.push_back(of(std::string(p.name) + ".csv", p.name));
    rows.push_back(of("slips.pdf", "slips-pdf"));
    rows.push_back(of("slips.zip", "slips-zip"));
    return rows;
  }();
  return kDownloads;
}

const Download* FindDownload(const std::string& id) {
  for (const Download& d : Downloads())
    if (d.id == id) return &d;
  return nullptr;
}

Json DownloadsJson(Project& project) {
  Json list = Json::array();
  for (const Download& d : Downloads()) {
    const std::string problem = ExportProblem(project, d.request);
    list.push_back({{"id", d.id}, {"problem", problem.empty() ? Json(nullptr) : Json(CleanUtf8(problem))}});
  }
  return list;
}

std::string ContentDisposition(const std::string& name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string ascii;
  std::string encoded;
  for (const char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    ascii += u < 0x80 ? c : '_';
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_') {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[u >> 4];
      encoded += kHex[u & 15];
    }
  }
  return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

}  // namespace omr::exam::office
