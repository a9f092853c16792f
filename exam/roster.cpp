#include "roster.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <set>

namespace omr::exam {

namespace {
constexpr std::size_t kMaxField = 4096;
constexpr std::size_t kMaxRows = 1000000;
}  // namespace

std::vector<std::vector<std::string>> ParseCsv(std::string_view text, std::string& error,
                                               std::vector<int>* lines) {
  std::vector<std::vector<std::string>> rows;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string> row;
  std::string field;
  int line = 1;
  int column = 1;
  bool quoted = false;
  bool wasQuoted = false;
  int rowLine = 1;
  if (lines) lines->clear();
  auto fail = [&](const std::string& what) {
    error = std::to_string(line) + ":" + std::to_string(column) + ": " + what;
    rows.clear();
    return rows;
  };
  for (std::size_t i = 0; i < text.size(); ++i, ++column) {
    const char c = text[i];
    if (c == '\0') return fail("a NUL byte: is this a text file?");
    if (quoted) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i, ++column;
        } else {
          quoted = false;
        }
      } else {
        if (c == '\n') ++line, column = 0;
        field += c;
      }
    } else if (c == '"') {
      if (!field.empty() || wasQuoted) return fail("a quote inside an unquoted field: quote the whole field");
      quoted = wasQuoted = true;
    } else if (c == ',') {
      row.push_back(std::move(field));
      field.clear();
      wasQuoted = false;
    } else if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      row.push_back(std::move(field));
      field.clear();
      wasQuoted = false;
      if (!(row.size() == 1 && row[0].empty())) {
        rows.push_back(std::move(row));
        if (lines) lines->push_back(rowLine);
      }
      row.clear();
      ++line, column = 0;
      rowLine = line;
    } else {
      if (wasQuoted) return fail("text after a closing quote");
      field += c;
    }
    if (field.size() > kMaxField) return fail("a field longer than 4096 bytes");
    if (rows.size() > kMaxRows) return fail("more than a million rows");
  }
  if (quoted) return fail("a quoted field is not closed");
  if (!field.empty() || !row.empty() || wasQuoted) {
    row.push_back(std::move(field));
    rows.push_back(std::move(row));
    if (lines) lines->push_back(rowLine);
  }
  return rows;
}

namespace {

std::string Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

bool IsIdHeader(const std::string& name) {
  const std::string t = Trimmed(name);
  return t.size() == 2 && (t[0] == 'i' || t[0] == 'I') && (t[1] == 'd' || t[1] == 'D');
}

// "2.0251E+07": what a spreadsheet shows of a long number it was given.
bool ScientificNotation(const std::string& s) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t start = i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i > start;
  };
  if (!digits()) return false;
  if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
    ++i;
    if (!digits()) return false;
  }
  if (i >= s.size() || (s[i] != 'E' && s[i] != 'e')) return false;
  ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  return digits() && i == s.size();
}

// What separates the fields of a header that has no "id" column, when it is
// not the comma: ";" or a tab, named for the message.
std::string OtherSeparator(const std::vector<std::string>& header) {
  for (const auto& [c, name] :
       {std::pair<char, const char*>{';', "\";\" (semicolons)"}, {'\t', "tabs"}, {'|', "\"|\""}}) {
    for (const std::string& field : header) {
      std::size_t from = 0;
      for (;;) {
        const std::size_t at = field.find(c, from);
        const std::string part = field.substr(from, at == std::string::npos ? std::string::npos : at - from);
        if (IsIdHeader(part)) return name;
        if (at == std::string::npos) break;
        from = at + 1;
      }
    }
  }
  return "";
}

}  // namespace

bool ParseRoster(std::string_view text, Roster& roster, std::string& error, bool stored) {
  roster = Roster{};
  std::vector<int> lines;
  std::vector<std::vector<std::string>> rows = ParseCsv(text, error, &lines);
  if (!error.empty()) return false;
  if (rows.empty()) {
    error = "1:1: the roster is empty: it needs a header line with an \"id\" column";
    return false;
  }
  const std::vector<std::string>& header = rows[0];
  int idColumn = -1;
  std::set<std::string> names;
  for (std::size_t c = 0; c < header.size(); ++c) {
    if (!names.insert(header[c]).second) {
      error = "1:" + std::to_string(c + 1) + ": the column \"" + header[c] + "\" is named twice";
      return false;
    }
    if (IsIdHeader(header[c]) && !(stored && idColumn >= 0)) {
      if (idColumn >= 0) {
        error = "1:" + std::to_string(c + 1) + ": two ID columns (\"" +
                header[static_cast<std::size_t>(idColumn)] + "\" and \"" + header[c] + "\"): keep one";
        return false;
      }
      idColumn = static_cast<int>(c);
    } else {
      roster.columns.push_back(header[c]);
    }
  }
  if (idColumn < 0) {
    const std::string separator = OtherSeparator(header);
    if (!separator.empty())
      error = "1:1: the header has no \"id\" column: its fields are separated by " + separator +
              ", a roster's by commas: save it from the spreadsheet as \"CSV (comma-separated)\", or "
              "replace the separators";
    else
      error = "1:1: the header has no \"id\" column (the student IDs)";
    return false;
  }
  for (std::size_t r = 1; r < rows.size(); ++r) {
    const std::vector<std::string>& row = rows[r];
    const std::string at = std::to_string(lines[r]) + ":1: ";
    if (row.size() != header.size()) {
      error = at + "this row has " + std::to_string(row.size()) + " fields, the header " +
              std::to_string(header.size());
      return false;
    }
    const std::string& field = row[static_cast<std::size_t>(idColumn)];
    const std::string id = stored ? field : Trimmed(field);
    if (id.empty()) {
      error = at + "this row has no id";
      return false;
    }
    if (!stored && ScientificNotation(id)) {
      error = at + "the id \"" + id +
              "\" is a number a spreadsheet wrote in scientific notation: the ID's digits are lost; "
              "format the id column as text in the spreadsheet, enter the IDs again (or take them from "
              "their source) and save the roster again";
      return false;
    }
    if (roster.rows.count(id)) {
      error = at + "the id " + id + " is in the roster twice";
      return false;
    }
    std::vector<std::string> rest;
    for (std::size_t c = 0; c < row.size(); ++c)
      if (static_cast<int>(c) != idColumn) rest.push_back(row[c]);
    roster.ids.push_back(id);
    roster.rows.emplace(id, std::move(rest));
  }
  return true;
}

bool KnownEncoding(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.' && c != ':')
      return false;
  const iconv_t cd = iconv_open("UTF-8", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

namespace {

// "LINE:COLUMN: " of a byte offset, columns counted in bytes.
std::string Place(std::string_view text, std::size_t offset) {
  int line = 1;
  std::size_t start = 0;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i)
    if (text[i] == '\n') ++line, start = i + 1;
  return std::to_string(line) + ":" + std::to_string(offset - start + 1) + ": ";
}

std::string Hex(std::string_view bytes) {
  std::string out;
  char b[8];
  for (const char c : bytes) {
    std::snprintf(b, sizeof b, "%s0x%02X", out.empty() ? "" : " ", static_cast<unsigned char>(c));
    out += b;
  }
  return out;
}

// The offset of the first byte that is not part of UTF-8 text, or npos.
std::size_t FirstNotUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2) || (n == 4 && c > 0xF4)) return i;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return i;
    const auto c1 = static_cast<unsigned char>(s[i + 1 < s.size() ? i + 1 : i]);
    if ((n == 3 && c == 0xE0 && c1 < 0xA0) || (n == 3 && c == 0xED && c1 >= 0xA0) ||
        (n == 4 && c == 0xF0 && c1 < 0x90) || (n == 4 && c == 0xF4 && c1 >= 0x90))
      return i;
    i += n;
  }
  return std::string_view::npos;
}

// Chinese text in GBK comes in pairs of high bytes; Western text has a high
// byte among ASCII letters.
bool LooksLikeGbk(std::string_view s) {
  int pairs = 0;
  int lone = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) continue;
    if (c >= 0x81 && c <= 0xFE && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(s[i + 1]) != 0xFF) {
      ++pairs, ++i;
    } else {
      ++lone;
    }
  }
  return pairs > 0 && pairs >= 4 * lone;
}

bool Convert(std::string_view text, const std::string& encoding, std::string& out, std::size_t& bad) {
  out.clear();
  const iconv_t cd = iconv_open("UTF-8", encoding.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    bad = std::string_view::npos;
    return false;
  }
  std::string input(text);
  char* in = input.data();
  std::size_t inLeft = input.size();
  char buffer[4096];
  bool ok = true;
  while (inLeft > 0) {
    char* o = buffer;
    std::size_t oLeft = sizeof buffer;
    const std::size_t rc = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, static_cast<std::size_t>(o - buffer));
    if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  if (ok) {  // the end of a stateful encoding
    char* o = buffer;
    std::size_t oLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &o, &oLeft);
    out.append(buffer, static_cast<std::size_t>(o - buffer));
  }
  bad = static_cast<std::size_t>(in - input.data());
  iconv_close(cd);
  return ok;
}

}  // namespace

bool RosterToUtf8(std::string_view text, const std::string& encoding, const std::string& file,
                  std::string& out, std::string& error) {
  const std::string name = file.empty() ? "ROSTER" : file;
  if (encoding.empty()) {
    const std::size_t bad = FirstNotUtf8(text);
    if (bad == std::string_view::npos) {
      out = std::string(text);
      return true;
    }
    const bool utf16 = text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF";
    const bool gbk = !utf16 && LooksLikeGbk(text);
    const std::string likely = utf16 ? "utf-16" : gbk ? "gbk" : "cp1252";
    const std::string upper = utf16 ? "UTF-16" : gbk ? "GBK" : "CP1252";
    error = Place(text, bad) + "this line is not UTF-8 text (byte " + Hex(text.substr(bad, 1)) +
            "): the roster " +
            (utf16 ? "is UTF-16 (a spreadsheet's \"Unicode text\")"
             : gbk ? "looks like GBK (Chinese Windows)"
                   : "looks like Latin-1 or Windows-1252 (Western European)") +
            ". Name its character set with --roster-encoding " + likely + " (or \"roster_encoding\": \"" +
            likely + "\" in the exam file's \"student\"; others: " + kEncodingExamples +
            "), or convert it to UTF-8: iconv -f " + upper + " -t UTF-8 " + name + " > " + name + ".utf8.csv";
    return false;
  }
  if (!KnownEncoding(encoding)) {
    error = "1:1: \"" + encoding + "\" is not a character set this system knows (" + kEncodingExamples +
            "; iconv -l lists them all)";
    return false;
  }
  std::size_t bad = 0;
  if (!Convert(text, encoding, out, bad)) {
    error = Place(text, bad) + "this line is not " + encoding + " text (bytes " + Hex(text.substr(bad, 2)) +
            "): is " + encoding + " the roster's character set? (others: " + kEncodingExamples + ")";
    out.clear();
    return false;
  }
  return true;
}

namespace {

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
  return std::search(text.begin(), text.end(), part.begin(), part.end(),
                     [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

}  // namespace

std::string Roster::Name(const std::string& id) const {
  const auto row = rows.find(id);
  if (row == rows.end() || row->second.empty()) return {};
  std::size_t column = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const std::string& c = columns[i];
    if (c.size() == 4 && ContainsIgnoringCase(c, "name")) column = i;
  }
  return column < row->second.size() ? row->second[column] : std::string();
}

std::vector<std::string> Roster::Find(std::string_view typed, std::size_t limit) const {
  std::vector<std::string> out;
  if (typed.empty()) return out;
  for (const std::string& id : ids) {
    if (out.size() >= limit) return out;
    if (id.size() >= typed.size() && std::string_view(id).substr(0, typed.size()) == typed) out.push_back(id);
  }
  for (const std::string& id : ids) {
    if (out.size() >= limit) break;
    if (std::find(out.begin(), out.end(), id) != out.end()) continue;
    const auto row = rows.find(id);
    if (row == rows.end()) continue;
    for (const std::string& field : row->second)
      if (ContainsIgnoringCase(field, typed)) {
        out.push_back(id);
        break;
      }
  }
  return out;
}

}  // namespace omr::exam
