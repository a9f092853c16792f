// Loading form lines and files, and sending the reader its share of a form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "form/form_definition.h"
#include "form/reader_settings.h"
#include "link/link.h"

namespace omr {

// "Format file A open error!": a form file that cannot be opened.
inline constexpr std::int32_t kErrFormFileOpen = 21;

// Store one line (quotes added when the text lacks the opening one). Sends
// nothing and leaves lastError alone; a rejection shows in forms.errorCode.
bool StoreFormLine(FormDefinition& forms, const char* text);

// Select, summarise and send face A's layouts.
bool FinishForm(FormDefinition& forms, const ReaderSettings& settings, Link& link);

// One command line of a form file as it was routed: its number in the file
// (from 1), its text (cut at 255 characters) and the store's code after it.
struct FormLineReport {
  int number;
  const char* text;
  std::int32_t code;
};
// Sees every command line; answering true after a rejected line clears the
// code and goes on with the file instead of stopping.
using FormLineObserver = std::function<bool(const FormLineReport&)>;

// Store every command line of a file and complete the layouts, without
// talking to a reader (the loader's first half; tools that check forms use
// it with an observer). False when the file cannot be opened (error 21) or a
// line was rejected (its code); error is 0 otherwise.
bool ReadFormFile(FormDefinition& forms, ReaderSettings& settings, const char* name, std::int32_t& error,
                  const FormLineObserver& observer = nullptr);
// The same for the lines of a text already in memory.
bool ReadFormText(FormDefinition& forms, ReaderSettings& settings, const char* text, std::size_t length,
                  std::int32_t& error, const FormLineObserver& observer = nullptr);

// Store every command line of a file, complete the layouts and send them.
// A name that is not an openable regular file stores and sends nothing and
// fails with lastError 21; an empty file is loaded as a form without lines.
bool LoadFormFile(FormDefinition& forms, ReaderSettings& settings, Link& link, const char* name);

// The settings command FA 06 and the FormParameterBlock FA 21. Without an
// active port it fails with code 8 and touches nothing.
bool DownloadForm(const FormDefinition& forms, const ReaderSettings& settings, Link& link);

// Offset 2 of the settings command for a level (16 gives 0, 0 gives 225).
std::uint8_t LevelByte(std::uint8_t level);

}  // namespace omr
