// Prints the copies of the exam layer's definitions that Python reads, so
// that no one keeps them by hand: `omr_exam_copies vocabulary` is
// bindings/python/omr/_vocabulary.py. The target python-copies writes them
// into the tree; a test fails while a copy differs from what this prints.
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "vocabulary.h"

namespace {

std::string PythonModule(const char* name, const char* source, const std::string& json) {
  return std::string("# Generated from ") + source +
         " by omr_exam_copies: do not edit. The build's python-copies target\n"
         "# writes it again; a test fails while it differs.\n"
         "\"\"\"" +
         name + "\"\"\"\n\nimport json\n\nDATA = json.loads(r'''" + json + "''')\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "vocabulary") == 0) {
    const std::string json = nlohmann::ordered_json::parse(omr::exam::VocabularyJson()).dump(1);
    std::fputs(PythonModule("The exam layer's vocabulary: review reasons, doubt bits, limits.",
                            "exam/vocabulary.cpp", json)
                   .c_str(),
               stdout);
    return 0;
  }
  std::fprintf(stderr, "usage: omr_exam_copies vocabulary\n");
  return 2;
}
