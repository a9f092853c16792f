#include "report_common.h"

#include <charconv>
#include <cmath>

#include "escape.h"

namespace omr::exam {

namespace {

std::string Percent(const std::optional<double>& share) {
  return share ? Fixed(*share * 100, 0) + "%" : std::string("-");
}

}  // namespace

std::string Fixed(double value, int digits) {
  char buf[400];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, digits);
  if (ec != std::errc()) return std::isfinite(value) ? "overflow" : "undefined";
  std::string s(buf, end);
  if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
  return s;
}

std::string Fixed(const std::optional<double>& value, int digits, std::string_view none) {
  return value ? Fixed(*value, digits) : std::string(none);
}

std::string EscapeHtml(std::string_view text) {
  const std::string clean = CleanUtf8(std::string(text));
  std::string out;
  out.reserve(clean.size() + clean.size() / 8);
  for (char c : clean) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string LabelText(char label) {
  const auto b = static_cast<unsigned char>(label);
  if (b > 0x20 && b < 0x7F) return std::string(1, label);
  std::string out;
  omr::common::AppendHexEscape(out, b);
  return out;
}

std::string LabelsText(std::string_view labels) {
  std::string out;
  for (char c : labels) out += LabelText(c);
  return out;
}

std::string RowName(const OptionRow& row) {
  switch (row.kind) {
    case OptionRow::Kind::kBlank:
      return "blank";
    case OptionRow::Kind::kMultiple:
      return "multiple";
    default:
      return LabelText(row.label);
  }
}

std::string KeyText(const ExamAnalysis& exam, const Analysis& analysis, std::size_t index) {
  const ItemResult& item = analysis.items[index];
  if (!item.keyVaries) return item.keyed.empty() ? std::string("-") : LabelsText(item.keyed);
  std::string out;
  for (const Analysis& v : exam.versions) {
    if (v.test.n == 0) continue;
    if (!out.empty()) out += ", ";
    out += CleanUtf8(v.version) + ": " + LabelsText(v.items[index].keyed);
  }
  return out;
}

std::string TotalsNote(const TestResult& t) {
  const std::string floored = t.floored == 0   ? "no sheet raised to it"
                              : t.floored == 1 ? "1 sheet raised to it"
                                               : std::to_string(t.floored) + " sheets raised to it";
  return "Totals are those the students get, after any floor (" + floored +
         "), as in the exports. SD divides by n - 1;\nSEM = SD x sqrt(1 - alpha). Item figures, the upper "
         "and "
         "lower groups and alpha use the sum of the item points;\nalpha counts the " +
         std::to_string(t.alphaItems) + " items whose points vary (never bonus or void items).";
}

std::vector<std::string> FlagAdvice(const ExamAnalysis& exam, const Analysis& analysis, std::size_t index) {
  const ItemResult& item = analysis.items[index];
  std::vector<std::string> out;
  const std::string r = Fixed(item.r, 2, "undefined");
  if (item.flags & kFlagKey) {
    if (item.keyVaries) {
      std::string where;
      for (const Analysis& v : exam.versions) {
        const ItemResult& vi = v.items[index];
        if (!(vi.flags & kFlagKey) || vi.keyRival < 0) continue;
        if (!where.empty()) where += "; ";
        where += "version " + CleanUtf8(v.version) + ": " + RowName(vi.options[vi.keyRival]) +
                 " against the key " + LabelsText(vi.keyed);
      }
      out.push_back(
          "The versions key this item differently, and in some an unkeyed option goes with higher "
          "totals than the key (" +
          where +
          "). Consider: check those versions' keys; re-key the item there, accept the other option as a "
          "second answer, or void the item.");
    } else if (item.keyRival >= 0 && item.keyRow >= 0) {
      const OptionRow& rival = item.options[item.keyRival];
      const OptionRow& key = item.options[item.keyRow];
      const std::string rn = RowName(rival);
      std::string why;
      if (key.count == 0) {
        why = "Nobody chose the keyed answer " + RowName(key) + ", while " + rn + " was chosen by " +
              Percent(rival.share) + " of the sheets (point-biserial " + Fixed(rival.pointBiserial, 2, "-") +
              ").";
      } else {
        why = "Option " + rn + ", chosen by " + Percent(rival.share) +
              " of the sheets, goes with higher totals than the keyed answer " + RowName(key) +
              " (point-biserial " + Fixed(rival.pointBiserial, 2, "-") + " against " +
              Fixed(key.pointBiserial, 2, "undefined") + ").";
      }
      out.push_back(why + " Consider: if " + rn + " is the right answer, re-key the item; if both " +
                    RowName(key) + " and " + rn + " can be defended, accept " + rn +
                    " as a second answer; if neither, void the item.");
    }
  }
  if (item.flags & kFlagNegative) {
    out.push_back(
        "Sheets that do well on the rest of the test do worse on this item (item-rest r = " + r +
        "). Consider: check the key and the wording; re-key it if the key is wrong, otherwise void it.");
  }
  if (item.flags & kFlagWeak) {
    out.push_back(
        "The item hardly separates strong from weak sheets (item-rest r = " + r +
        ", D = " + Fixed(item.d, 2, "-") +
        "). Consider: review the wording and the distractors; keep it only if it measures something "
        "the test needs, otherwise void it.");
  }
  if (item.flags & kFlagHard) {
    out.push_back(
        "Few sheets answered the item right (p = " + Fixed(item.p, 2, "-") +
        "). Consider: check the key first; if it is right, the item may be too hard or the topic not "
        "yet taught, and voiding it is an option.");
  }
  if (item.flags & kFlagEasy) {
    out.push_back("Nearly every sheet answered the item right (p = " + Fixed(item.p, 2, "-") +
                  "), so the item tells little about differences between students. Nothing needs correcting; "
                  "a harder item would tell more next time.");
  }
  return out;
}

}  // namespace omr::exam
