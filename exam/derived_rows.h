// How the derived rows of schema.sql hold a sheet in one row: its responses
// as four columns of one entry a question, its review reasons as one JSON
// text and one bit mask. Written and read by the store only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scoring.h"

namespace omr::exam {

// Between the labels of two questions in `marked` (labels are visible
// ASCII, never a space).
inline constexpr char kLabelSeparator = ' ';

struct PackedResponses {
  std::string marked;      // labels of each question, separated by one space
  std::string coded;       // one byte a question
  std::string doubtful;    // one byte a question
  std::string confidence;  // eight bytes a question, a little-endian double
};

// A question the sheet has no response for (a typed sheet has the exam's
// questions only) holds an entry too: no labels, coded 0, no doubt and these
// eight confidence bytes, a NaN no confidence is. Unpacking leaves it out.
inline constexpr unsigned char kAbsentConfidenceByte = 0xFF;
// The highest question number stored: far past any form's (a grid has at most
// 127 lines of 254 cells), so a wild number cannot make a huge row.
inline constexpr int kMaxStoredQuestion = 1 << 15;

// Questions must rise from 1 to at most kMaxStoredQuestion, with doubt bits of
// one byte and a confidence that is a number; throws StoreError naming the
// question otherwise.
PackedResponses PackResponses(const std::vector<Response>& responses);
// The responses packed, absent questions left out; false when the columns do
// not agree (a damaged row).
bool UnpackResponses(std::string_view marked, std::string_view coded, std::string_view doubtful,
                     std::string_view confidence, std::vector<Response>& out);

// [[code, question, detail], ...] in order.
std::string PackReasons(const std::vector<Reason>& reasons);
bool UnpackReasons(std::string_view text, std::vector<Reason>& out);
// Every reason's bit (ReasonBit); throws StoreError for a code that is not a reason.
unsigned ReasonMask(const std::vector<Reason>& reasons);

}  // namespace omr::exam
