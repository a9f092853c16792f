// Rows of comma-separated values (RFC 4180 quoting), UTF-8.
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace omrctl {

std::string CsvField(const std::string& text);

class CsvFile {
 public:
  // False (with the reason) when the file cannot be written.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return out_.is_open(); }
  void Row(const std::vector<std::string>& fields);
  bool Close();

 private:
  std::ofstream out_;
};

}  // namespace omrctl
