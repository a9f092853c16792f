// The serial devices discovery tries, in order, before the USB bridge.
#pragma once

namespace omr {

// Number of candidate slots for one scan.
int SerialCandidateCount();

// Writes the name of slot `index` (0-based) into out as a zero-terminated
// text of at most size bytes. False, with out unchanged, when the slot is to
// be skipped: index out of range, a device of the built-in list that does not
// exist, or a name that does not fit.
bool SerialCandidateName(int index, char* out, int size);

}  // namespace omr
