#include "roster.h"

#include <algorithm>
#include <cctype>
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

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) out += ',';
    const std::string& f = fields[i];
    const bool quote = f.find_first_of(",\"\r\n") != std::string::npos ||
                       (!f.empty() && (f.front() == ' ' || f.back() == ' '));
    if (!quote) {
      out += f;
      continue;
    }
    out += '"';
    for (const char c : f) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    out += '"';
  }
  return out;
}

bool ParseRoster(std::string_view text, Roster& roster, std::string& error) {
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
    if (header[c] == "id")
      idColumn = static_cast<int>(c);
    else
      roster.columns.push_back(header[c]);
  }
  if (idColumn < 0) {
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
    const std::string& id = row[static_cast<std::size_t>(idColumn)];
    if (id.empty()) {
      error = at + "this row has no id";
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

namespace {

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
  return std::search(text.begin(), text.end(), part.begin(), part.end(),
                     [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

}  // namespace

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
