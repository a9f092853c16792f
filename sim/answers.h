// The answers file of omrsim (one sheet a line) and the expected-results file
// it writes. The format is described in sim/README.md.
#pragma once

#include <string>
#include <vector>

#include "form/form_definition.h"
#include "sim/synth.h"

namespace omr::sim {

// One line of an answers file. `isSheet` is false for blank and comment lines.
// `defaults` gives the drawing options a line does not set.
bool ParseAnswersLine(const FormDefinition& forms, const std::string& line, const DrawOptions& defaults,
                      SheetPlan& plan, bool& isSheet, std::string& error);

// Every sheet of a file; errors name the line.
bool ReadAnswersFile(const FormDefinition& forms, const std::string& path, const DrawOptions& defaults,
                     std::vector<SheetPlan>& plans, std::string& error);

// The first layout of face A with this letter, or -1.
int LayoutByLetter(const FormDefinition& forms, char letter);

// Result text with every byte outside 0x21..0x7E, and the backslash, as \xHH.
std::string EscapeText(const std::string& text);

// One line of the expected-results file: "<letter> <escaped text>" for a sheet
// the host reads, "! <code>" for one whose read fails with that error code.
std::string FormatExpected(const Prediction& expected);

// One line of the planted file: "NUMBER:KIND" for every question with a
// planted doubt (PlantedDoubt), blank-separated, or "-" when there is none.
std::string FormatPlanted(const SheetLayout& layout, const std::vector<Answer>& answers);

}  // namespace omr::sim
