// Loading form lines and files, and sending the reader its share of a form.
#pragma once

#include "form/form_definition.h"
#include "form/reader_settings.h"
#include "link/link.h"

namespace omr {

// Store one line (quotes added when the text lacks the opening one). Sends nothing.
bool StoreFormLine(FormDefinition& forms, const char* text);

// Select, summarise and send face A's layouts.
bool FinishForm(FormDefinition& forms, const ReaderSettings& settings, Link& link);

// Store every command line of a file and complete the layouts, without
// talking to a reader (used by the loader and by tools that check forms).
// False when the file cannot be opened or a line was rejected; `error`
// receives the code.
bool ReadFormFile(FormDefinition& forms, ReaderSettings& settings, const char* name, int& error);

// Store every command line of a file, complete the layouts and send them.
bool LoadFormFile(FormDefinition& forms, ReaderSettings& settings, Link& link, const char* name);

// The settings command FA 06 and the FormParameterBlock FA 21.
bool DownloadForm(const FormDefinition& forms, const ReaderSettings& settings, Link& link);

}  // namespace omr
