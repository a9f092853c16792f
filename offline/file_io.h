// Files the offline library reads and writes: only regular files are read,
// and only up to a size, and a file is replaced whole or not at all.
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

// Writes `data` to a new file beside `path` and renames it over `path`; on
// failure `path` is left as it was and the new file is removed.
bool WriteFileAtomically(const std::string& path, const void* data, std::size_t size, std::string& error);

}  // namespace omr::offline
