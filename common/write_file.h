// Writing a whole file so that its name only ever holds a complete file: the
// old one or the new one, never a part, also after a crash or a full disk.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "output_guard.h"

namespace omr::common {

// What a write does with a file already under the name.
enum class IfExists {
  kReplace,  // the new file takes its place
  kKeep,     // the old one stays and the write fails
};

// Fills the temporary file; its argument is the temporary file's name (the
// file is there, empty). False with the reason in the second argument.
using FillFile = std::function<bool(const std::string& temporary, std::string& error)>;

// Files the programs write hold student data: they are made for their owner
// alone (less the umask); how to share them is up to the owner.
inline constexpr int kOwnerOnly = 0600;

// Writes a new file beside `path` (hidden, unique name, mode kOwnerOnly; a
// file it replaces lends it its permissions), syncs it to the disk, then
// moves it to `path`. On failure `path` is
// as it was, the temporary file is gone and `error` names `path` and the
// reason: "cannot write PATH: REASON", or ExistsError(path) for kKeep. A
// reason from `fill` that names the temporary file names `path` instead.
// Nothing is written where OutputProblem(path, rules) objects: `error` says why.
bool WriteFileWhole(const std::string& path, IfExists ifExists, const FillFile& fill, std::string& error,
                    const OutputRules& rules = {});
// The same with the bytes at hand.
bool WriteFileWhole(const std::string& path, std::string_view content, IfExists ifExists, std::string& error,
                    const OutputRules& rules = {});

// "PATH exists": the error of a kKeep write that found a file there.
std::string ExistsError(const std::string& path);

}  // namespace omr::common
