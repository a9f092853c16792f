#include "rekey.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "error.h"
#include "json_positions.h"
#include "text.h"

namespace omr::exam {

using Json = nlohmann::ordered_json;

std::string ItemChange::Describe() const {
  std::string out = "item " + std::to_string(item) + ":";
  if (key) out += " key " + *key;
  if (accept) out += std::string(key ? "," : "") + " accept " + *accept;
  if (voided) out += " void";
  if (bonus) out += " bonus";
  return out;
}

namespace {

struct Edit {
  std::size_t at = 0;
  std::size_t length = 0;
  std::string text;
};

// Where character `index` of the JSON string starting at `quote` is written
// (an escape is several bytes).
Edit CharacterOf(const std::string& text, std::size_t quote, int index) {
  std::size_t at = quote + 1;
  auto width = [&](std::size_t p) -> std::size_t {
    if (text[p] != '\\' || p + 1 >= text.size()) return 1;
    return text[p + 1] == 'u' ? 6 : 2;
  };
  for (int i = 0; i < index && at < text.size() && text[at] != '"'; ++i) at += width(at);
  if (at >= text.size() || text[at] == '"')
    throw Error("the stored exam file's key is shorter than its items");
  return {at, std::min(width(at), text.size() - at), ""};
}

Edit KeyCharacter(const std::string& text, const JsonPositions& positions, const std::string& pointer,
                  int index, char key) {
  std::size_t begin = 0;
  std::size_t end = 0;
  if (!positions.Span(pointer, begin, end) || text[begin] != '"')
    throw Error("the stored exam file has no key text at " + pointer);
  Edit e = CharacterOf(text, begin, index);
  e.text = std::string(1, key);
  return e;
}

// "5,7-9" for {5, 7, 8, 9}.
std::string RangesText(const std::vector<int>& sorted) {
  std::string out;
  for (std::size_t i = 0; i < sorted.size();) {
    std::size_t j = i;
    while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1) ++j;
    out += (out.empty() ? "" : ",") + std::to_string(sorted[i]);
    if (j > i) out += "-" + std::to_string(sorted[j]);
    i = j + 1;
  }
  return out;
}

// A rule on one line: "void", "bonus", or {"points": 2, "void": true}.
std::string RuleText(const Json& rule) {
  for (const char* word : {"void", "bonus"})
    if (rule.size() == 1 && rule.contains(word) && rule[word] == true) return Json(word).dump();
  std::string out;
  for (const auto& [name, value] : rule.items())
    out += (out.empty() ? "" : ", ") + Json(name).dump() + ": " + value.dump();
  return "{" + out + "}";
}

// Inserts `member` as the first member of the object at `pointer`, on its
// own line when the object's members are on lines of their own.
Edit FirstMember(const std::string& text, const JsonPositions& positions, const std::string& pointer,
                 bool empty, const std::string& member) {
  std::size_t begin = 0;
  std::size_t end = 0;
  if (!positions.Span(pointer, begin, end) || text[begin] != '{')
    throw Error("the stored exam file has no object at " +
                (pointer.empty() ? std::string("its top") : pointer));
  std::size_t k = begin + 1;
  while (k < end && (text[k] == ' ' || text[k] == '\t' || text[k] == '\r')) ++k;
  if (!empty && k < end && text[k] == '\n') {
    std::size_t m = k + 1;
    while (m < end && (text[m] == ' ' || text[m] == '\t')) ++m;
    return {k + 1, 0, text.substr(k + 1, m - k - 1) + member + ",\n"};
  }
  return {begin + 1, 0, member + (empty ? "" : ", ")};
}

// The options of master item `item` on the first version's question.
std::string OptionsOfItem(const Exam& exam, const FormShape& shape, int item) {
  if (exam.keys.empty()) return "";
  const VersionKey& key = exam.keys.front();
  for (std::size_t i = 0; i < key.order.size() && i < exam.items.size(); ++i)
    if (key.order[i] == item) return exam.OptionsAt(shape, key, i);
  return "";
}

Json Normalized(const Json& rule) {
  if (rule.is_object()) return rule;
  if (rule == "void") return Json{{"void", true}};
  if (rule == "bonus") return Json{{"bonus", true}};
  return Json::object();
}

}  // namespace

std::string ApplyItemChange(const std::string& text, const Exam& exam, const FormShape& shape,
                            const ItemChange& change) {
  const int n = exam.ItemCount();
  const int item = change.item;
  if (item < 1 || item > n)
    throw Error("there is no item " + std::to_string(item) + ": the exam's items run from 1 to " +
                std::to_string(n) + " (master items, as the report and the exports number them)");
  const int kinds = (change.key || change.accept ? 1 : 0) + (change.voided ? 1 : 0) + (change.bonus ? 1 : 0);
  if (kinds != 1)
    throw Error("say how item " + std::to_string(item) +
                " changes: --key C (alone or with --accept), --accept BD, --void or --bonus");
  const ItemRule& rule = exam.rules[static_cast<std::size_t>(item - 1)];
  const std::string options = OptionsOfItem(exam, shape, item);
  if ((change.key || change.accept) && !rule.all.empty())
    throw Error("item " + std::to_string(item) + " is right when all of " + rule.all +
                " are marked (an \"all\" item): change its rule in the exam file and rekey with --exam");
  std::string key;
  if (change.key && (!NormalizeLabels(options, *change.key, key) || key.size() != 1))
    throw Error("--key: give one option of item " + std::to_string(item) + " (its options: " + options + ")");
  std::string accept;
  if (change.accept && (!NormalizeLabels(options, *change.accept, accept) || accept.empty()))
    throw Error("--accept: give options of item " + std::to_string(item) + " (its options: " + options + ")");

  Json root;
  try {
    root = Json::parse(text, nullptr, true, true);
  } catch (const Json::exception& e) {
    throw Error(std::string("the stored exam file does not parse: ") + e.what());
  }
  const JsonPositions positions(text);
  std::vector<Edit> edits;

  // The key character, in the master key and in every version that gives its own answers.
  if (change.key) {
    if (root.contains("key")) edits.push_back(KeyCharacter(text, positions, "/key", item - 1, key[0]));
    if (root.contains("keys") && root["keys"].is_object()) {
      for (const auto& [name, value] : root["keys"].items()) {
        const VersionKey* version = exam.FindKey(name);
        if (!version) continue;
        const auto at = std::find(version->order.begin(), version->order.end(), item);
        const int index = static_cast<int>(at - version->order.begin());
        const std::string pointer = PointerAppend("/keys", name);
        if (value.is_string())
          edits.push_back(KeyCharacter(text, positions, pointer, index, key[0]));
        else if (value.is_object() && value.contains("answers"))
          edits.push_back(KeyCharacter(text, positions, pointer + "/answers", index, key[0]));
      }
    }
  }

  // The rule: the item's own entry changed, or one of its own split from a range.
  const Json* items = nullptr;
  if (root.contains("scoring") && root["scoring"].is_object() && root["scoring"].contains("items") &&
      root["scoring"]["items"].is_object())
    items = &root["scoring"]["items"];
  std::string entry;
  std::vector<int> shared;
  Json old = Json::object();
  if (items) {
    for (const auto& [name, value] : items->items()) {
      std::vector<int> masters;
      if (!ParseRanges(name, masters) || std::find(masters.begin(), masters.end(), item) == masters.end())
        continue;
      entry = name;
      shared = masters;
      old = Normalized(value);
      break;
    }
  }
  Json next = old;
  next.erase("void");
  next.erase("bonus");
  if (change.voided) next["void"] = true;
  if (change.bonus) next["bonus"] = true;
  if (change.key || change.accept) {
    next.erase("accept");
    const char counted = change.key ? key[0] : exam.masterKey[static_cast<std::size_t>(item - 1)];
    std::string further;
    for (const char c : accept)
      if (c != counted) further += c;
    if (!further.empty()) next["accept"] = further;
  }
  if (next != old) {
    const std::string member = Json(std::to_string(item)).dump() + ": " + RuleText(next);
    if (!entry.empty() && shared.size() == 1) {
      std::size_t begin = 0;
      std::size_t end = 0;
      positions.Span(PointerAppend("/scoring/items", entry), begin, end);
      edits.push_back({begin, end - begin, RuleText(next)});
    } else {
      if (!entry.empty()) {
        // The range keeps its other items.
        std::vector<int> rest;
        for (const int m : shared)
          if (m != item) rest.push_back(m);
        std::sort(rest.begin(), rest.end());
        std::size_t at = 0;
        if (!positions.KeyOffset(PointerAppend("/scoring/items", entry), at))
          throw Error("the stored exam file has no rule named " + entry);
        std::size_t close = at + 1;
        while (close < text.size() && text[close] != '"') close += text[close] == '\\' ? 2 : 1;
        edits.push_back({at, close + 1 - at, Json(RangesText(rest)).dump()});
      }
      if (!next.empty()) {
        if (items)
          edits.push_back(FirstMember(text, positions, "/scoring/items", items->empty(), member));
        else if (root.contains("scoring"))
          edits.push_back(FirstMember(text, positions, "/scoring", root["scoring"].empty(),
                                      "\"items\": {" + member + "}"));
        else
          edits.push_back(
              FirstMember(text, positions, "", root.empty(), "\"scoring\": {\"items\": {" + member + "}}"));
      }
    }
  }

  // From the end, so that offsets before stay true; a replacement before an insertion at the same place.
  std::sort(edits.begin(), edits.end(),
            [](const Edit& a, const Edit& b) { return a.at != b.at ? a.at > b.at : a.length > b.length; });
  std::string out = text;
  for (const Edit& e : edits) out.replace(e.at, e.length, e.text);
  return out;
}

namespace {

bool Same(double a, double b) {
  return std::fabs(a - b) <= 1e-9;
}

bool Same(const std::optional<double>& a, const std::optional<double>& b) {
  return a.has_value() == b.has_value() && (!a || Same(*a, *b));
}

double Round(double v) {
  const double r = std::round(v * 1e9) / 1e9;
  return r == 0 ? 0 : r;
}

Json Side(bool scored, double total, double maximum, const std::optional<double>& percent) {
  if (!scored) return Json{{"scored", false}, {"total", nullptr}, {"maximum", nullptr}, {"percent", nullptr}};
  return Json{{"scored", true},
              {"total", Round(total)},
              {"maximum", Round(maximum)},
              {"percent", percent ? Json(Round(*percent)) : Json(nullptr)}};
}

}  // namespace

RekeyReport CompareScores(const std::vector<SheetScore>& before, const std::vector<SheetScore>& after,
                          const Roster& roster) {
  RekeyReport report;
  // Paired by number (both in number order): a candidate of an exam in parts
  // may be on one side only when the new exam groups its sheets otherwise.
  SheetScore none;
  for (std::size_t i = 0, j = 0; i < before.size() || j < after.size();) {
    const bool left = j == after.size() || (i < before.size() && before[i].number < after[j].number);
    const bool right = i == before.size() || (j < after.size() && after[j].number < before[i].number);
    none.number = left ? before[i].number : after[j].number;
    const SheetScore& a = right ? none : before[i++];
    const SheetScore& b = left ? none : after[j++];
    if (a.voided || b.voided || (!a.scored && !b.scored)) continue;
    if (a.scored == b.scored && Same(a.total, b.total) && Same(a.maximum, b.maximum) &&
        Same(a.percent, b.percent)) {
      ++report.unchanged;
      continue;
    }
    ScoreChange c;
    c.sheet = b.number;
    const SheetScore& named = b.idState == IdState::kValid ? b : a;
    if (named.idState == IdState::kValid) c.studentId = named.studentId;
    c.name = roster.Name(c.studentId);
    c.version = b.scored ? b.version : a.version;
    c.scoredBefore = a.scored;
    c.scoredAfter = b.scored;
    c.totalBefore = a.total;
    c.totalAfter = b.total;
    c.maximumBefore = a.maximum;
    c.maximumAfter = b.maximum;
    c.percentBefore = a.percent;
    c.percentAfter = b.percent;
    report.changed.push_back(std::move(c));
  }
  auto percentChange = [](const ScoreChange& c) {
    return c.percentBefore && c.percentAfter ? std::fabs(*c.percentAfter - *c.percentBefore) : 0.0;
  };
  std::sort(report.changed.begin(), report.changed.end(), [&](const ScoreChange& x, const ScoreChange& y) {
    const bool xs = x.scoredBefore != x.scoredAfter;
    const bool ys = y.scoredBefore != y.scoredAfter;
    if (xs != ys) return xs;
    const double dx = Round(std::fabs(x.totalAfter - x.totalBefore));
    const double dy = Round(std::fabs(y.totalAfter - y.totalBefore));
    if (dx != dy) return dx > dy;
    const double px = Round(percentChange(x));
    const double py = Round(percentChange(y));
    if (px != py) return px > py;
    return x.sheet < y.sheet;
  });
  return report;
}

std::string RekeyJson(const RekeyReport& report, bool dryRun) {
  Json changed = Json::array();
  for (const ScoreChange& c : report.changed) {
    changed.push_back({{"sheet", c.sheet},
                       {"student_id", c.studentId.empty() ? Json(nullptr) : Json(CleanUtf8(c.studentId))},
                       {"name", CleanUtf8(c.name)},
                       {"version", CleanUtf8(c.version)},
                       {"before", Side(c.scoredBefore, c.totalBefore, c.maximumBefore, c.percentBefore)},
                       {"after", Side(c.scoredAfter, c.totalAfter, c.maximumAfter, c.percentAfter)},
                       {"change", c.scoredBefore && c.scoredAfter ? Json(Round(c.totalAfter - c.totalBefore))
                                                                  : Json(nullptr)}});
  }
  const Json j{{"dry_run", dryRun},
               {"revision", report.revision ? Json(report.revision) : Json(nullptr)},
               {"note", CleanUtf8(report.note)},
               {"changed", changed},
               {"unchanged", report.unchanged}};
  return j.dump(2) + "\n";
}

}  // namespace omr::exam
