// The integrity screening as the terminal, JSON and the exam report show it:
// each method named with its reference, every flag with the figures that
// raised it, worded as screening (where to look), never as a finding.
#pragma once

#include <string>
#include <vector>

#include "integrity.h"

namespace omr::exam {

// A method of the screening and where it is published.
struct IntegrityMethod {
  const char* id;  // "erasures", "similarity", "dif", "dif-classes", "rasch", "key"
  const char* name;
  const char* reference;
};
const std::vector<IntegrityMethod>& IntegrityMethods();

// The terminal's text: each screen's figures, its flags and its method.
std::string IntegrityText(const IntegrityResult& result);

// Every figure as one JSON object (full precision; null where a figure
// cannot be computed).
std::string IntegrityJson(const IntegrityResult& result);

// The report's section (<section id=integrity>), styled by the exam report's
// page; every text from the result escaped.
std::string IntegritySection(const IntegrityResult& result);

// The section on a page of its own (omrctl exam integrity --html).
std::string RenderIntegrityPage(const IntegrityResult& result, const std::string& title,
                                const std::string& generated);

}  // namespace omr::exam
