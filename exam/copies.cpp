// Prints the copies of the exam layer's definitions that Python reads, so
// that no one keeps them by hand: `omr_exam_copies vocabulary` is
// bindings/python/omr/_vocabulary.py, `omr_exam_copies schema` is
// bindings/python/omr/_schema.py. The target python-copies writes them
// into the tree; a test fails while a copy differs from what this prints.
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "db.h"
#include "derived_rows.h"
#include "schema.h"
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
  if (argc == 2 && std::strcmp(argv[1], "schema") == 0) {
    using Json = nlohmann::ordered_json;
    Json tables = Json::object();
    for (const omr::exam::schema::Table& t : omr::exam::schema::Tables())
      tables[t.name] = {{"derived", t.derived}, {"columns", t.columns}};
    Json j;
    j["version"] = omr::exam::schema::Version();
    j["application_id"] = omr::exam::db::kSqliteApplicationId;
    j["tables"] = tables;
    // How a responses row holds its questions; "<d" is Python's struct format of one confidence.
    j["responses"] = {{"label_separator", std::string(1, omr::exam::kLabelSeparator)},
                      {"confidence_format", "<d"},
                      {"absent_confidence_byte", omr::exam::kAbsentConfidenceByte}};
    std::fputs(PythonModule(
                   "The exam project's schema: its version, tables and columns, as exam/schema.sql has them.",
                   "exam/schema.sql", j.dump(1))
                   .c_str(),
               stdout);
    return 0;
  }
  std::fprintf(stderr, "usage: omr_exam_copies vocabulary|schema\n");
  return 2;
}
