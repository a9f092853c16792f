// Mark recognition: which layout a sheet is, whether its bars are dark, and
// one character per question.
#pragma once

#include <cstdint>

#include "form/form_definition.h"
#include "read/device_frame.h"

namespace omr {

inline constexpr int kErrFormatMark = 4;  // no single layout's identifying cell is dark
inline constexpr int kErrTestMark = 5;    // a bar mark is too light
inline constexpr int kErrSyncMark = 7;    // no layout has the sheet's line count
inline constexpr int kWorkingStringSize = 120;

// The layout of the current face that describes the sheet, or null with 7 or
// 4 in `error` (left alone when no layout is defined at all).
SheetLayout* IdentifyLayout(FormDefinition& forms, const DeviceFrame& frame, std::int32_t& error);

// Every cell of every used bar at least G1; a cell off the grid counts as -1.
bool CheckBars(const SheetLayout& layout, const DeviceFrame& frame);

// Appends one character per question to out[count..capacity-1] and advances
// count; the text stops at capacity. False when the layout has no used field.
bool EvaluateLayout(const SheetLayout& layout, const DeviceFrame& frame, std::uint8_t* out, int capacity,
                    int& count);

}  // namespace omr
