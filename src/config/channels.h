// Per-channel tables, the matrix capture, the run search and the sheet-grid
// copy of the system commands.
#pragma once

#include <cstdint>

#include "config/maintenance.h"

namespace omr {

inline constexpr int kTableArea = 128;
inline constexpr int kMatrixArea = 16384;
inline constexpr int kMatrixHeader = 6;
inline constexpr int kMaxMatrixCells = kMatrixArea - kMatrixHeader;  // 16378
inline constexpr int kMaxRunEntries = 84;
inline constexpr int kRunChannel = 46;

// Refreshes channelCount with FA 4E; false (error 8) when the reader does not answer.
bool RefreshChannelCount(const MaintenanceView& view);

// The channel byte sent for a signed channel number c: the smaller of c and N, low 8 bits.
std::uint8_t ChannelSelector(std::int8_t channel, std::int32_t channelCount);

bool ReadChannelWords(const MaintenanceView& view, std::uint8_t* out);  // code 3
bool ReadChannelBlock(const MaintenanceView& view, std::uint8_t* out);  // code 4
bool ReadChannelBytes(const MaintenanceView& view, std::uint8_t* out);  // code 12

// Code 13: rows, columns, then rows x columns bytes into out.
bool CaptureMatrix(const MaintenanceView& view, std::int8_t channel, std::uint8_t* out);

// Code 24: the run list into out; two zero bytes when the capture fails.
bool FindChannelRuns(const MaintenanceView& view, std::uint8_t* out);

// Code 25: lines, columns and the cells of the last sheet.
bool GetSheetGrid(const MaintenanceView& view, std::uint8_t* out);

}  // namespace omr
