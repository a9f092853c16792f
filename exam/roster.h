// The roster: a CSV file with a header whose "id" column (in any case) holds
// the student IDs; the other columns (name, class, ...) are carried to the
// exports. Its text is UTF-8, converted from another character set when the
// exam says which.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace omr::exam {

struct Roster {
  std::vector<std::string> columns;                      // the header without "id"
  std::vector<std::string> ids;                          // in file order
  std::map<std::string, std::vector<std::string>> rows;  // id -> the other columns

  bool Empty() const { return ids.empty(); }
  bool Has(const std::string& id) const { return rows.count(id) != 0; }
  // Up to `limit` IDs for what a person typed: IDs that start with it first,
  // then those with another column (a name) containing it, ignoring ASCII
  // case; each in file order.
  std::vector<std::string> Find(std::string_view typed, std::size_t limit) const;
  // The name of a student: the "name" column (in any case), else the first
  // other column; "" for an ID the roster does not have.
  std::string Name(const std::string& id) const;
};

// RFC 4180 fields: quotes, doubled quotes, commas and line breaks inside
// quotes; CRLF or LF; a UTF-8 byte-order mark is skipped.
// `lines` (may be null) gets the line each row starts on.
std::vector<std::vector<std::string>> ParseCsv(std::string_view text, std::string& error,
                                               std::vector<int>* lines = nullptr);

// Reads the roster text; false with "LINE:COLUMN: what is wrong" (the caller
// adds the file name). `stored`: a roster a project holds, checked when it
// came: IDs are taken as they were then (untrimmed, a spreadsheet's
// "2.0251E+07" too, the first ID column of several).
bool ParseRoster(std::string_view text, Roster& roster, std::string& error, bool stored = false);

// Character sets a roster often comes in, for messages.
inline constexpr const char* kEncodingExamples = "gbk, gb18030, big5, latin1, cp1252, utf-16";

// Whether iconv knows the character set `name` ("gbk", "latin1", ...).
bool KnownEncoding(const std::string& name);

// The roster's bytes as UTF-8: converted from `encoding`, or, when it is
// empty, checked to be UTF-8 already. False with "LINE:COLUMN: what is wrong"
// and the ways out (`file` names the roster in the advice).
bool RosterToUtf8(std::string_view text, const std::string& encoding, const std::string& file,
                  std::string& out, std::string& error);

}  // namespace omr::exam
