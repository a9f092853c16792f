// Form files the benchmarks write in the temporary directory.
#pragma once

#include <string>

namespace omr::bench {

// Writes `text` to a file in the temporary directory and returns its path;
// RemoveTempFiles deletes every file written so.
std::string WriteTempFile(const char* stem, const std::string& text);
void RemoveTempFiles();

}  // namespace omr::bench
