// Line settings of a POSIX terminal from a mode string.
#pragma once

#include <termios.h>

#include <string>

namespace omr {

// Raw mode with the settings of "baud,parity,data,stop" (for example
// "115200,n,8,1") on top of `tio`. Fields after the baud rate may be left out
// or empty, which keeps their current value. False, with `tio` in an
// unspecified state, when the text cannot be parsed.
bool ApplyModeString(const std::string& text, termios& tio);

}  // namespace omr
