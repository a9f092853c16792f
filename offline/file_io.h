// Files the offline library reads: only regular files, and only up to a size.
// (Files are written whole by omr::common::WriteFileWhole.)
#pragma once

#include <cstddef>
#include <string>

namespace omr::offline {

// The whole of a regular file of at most `maxBytes`, read in bounded memory:
// a directory, a device or a pipe (which would block or never end) and a
// larger file are refused at once. The reason names `what` ("form file") and
// the path.
bool ReadRegularFile(const std::string& path, std::size_t maxBytes, const char* what, std::string& text,
                     std::string& error);

}  // namespace omr::offline
