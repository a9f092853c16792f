#include "csv.h"

#include <cerrno>
#include <cstring>

namespace omrctl {

std::string CsvField(const std::string& text) {
  const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                     (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quote) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

bool CsvFile::Open(const std::string& path, std::string& error) {
  out_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out_) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void CsvFile::Row(const std::vector<std::string>& fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) out_ << ',';
    out_ << CsvField(fields[i]);
  }
  out_ << "\n";
}

bool CsvFile::Close() {
  if (!out_.is_open()) return true;
  out_.close();
  return !out_.fail();
}

}  // namespace omrctl
