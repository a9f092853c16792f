// Serial number, information block and user text of the reader.
#pragma once

#include <cstdint>

#include "link/link.h"

namespace omr {

inline constexpr int kSerialReplySize = 20;
inline constexpr int kSerialTextMax = 18;  // out of GetSerial holds 19 bytes
inline constexpr int kUserTextMax = 255;
inline constexpr int kUserTextArea = 512;

bool WriteSerial(Link& link, const std::uint8_t* serial);    // code 18, 8 bytes
bool WriteInfoBlock(Link& link, const std::uint8_t* block);  // code 19, 128 bytes
bool ReadInfoBlock(Link& link, std::uint8_t* out);           // code 20, 129 bytes
// Code 28: a zero-terminated text of at most 255 bytes; lastError untouched.
bool WriteUserText(Link& link, const char* text);
// Code 29: the stored text and a zero byte; lastError untouched.
bool ReadUserText(Link& link, char* out);

}  // namespace omr
