// The report as PDF, printed by headless Chromium where it is installed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace omr::exam {

// The Chromium to print with: $OMR_CHROMIUM when set, otherwise chromium,
// chromium-browser, google-chrome-stable or google-chrome on the PATH.
std::optional<std::filesystem::path> FindChromium();

// What to do when there is no Chromium.
inline constexpr const char* kNoChromium =
    "printing to PDF needs Chromium, which is not installed: install it (Debian and Ubuntu: "
    "sudo apt-get install chromium), or set OMR_CHROMIUM to a Chromium or Chrome program, or open the HTML "
    "report in a browser and print it from there";

// Prints the page to `pdf` with headless Chromium: the page is written to a
// private temporary directory (its own browser profile too) and the PDF is
// renamed into place only when Chromium made one, so a failed run leaves
// whatever `pdf` was. Chromium gets `timeoutSeconds` before it is killed.
// False with the reason in `error`.
bool PrintPdf(std::string_view html, const std::filesystem::path& pdf, std::string& error,
              int timeoutSeconds = 120);

}  // namespace omr::exam
