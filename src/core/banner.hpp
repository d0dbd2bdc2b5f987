// The four-line red error banner shown for a failed component.
#pragma once

#include <string>
#include <vector>

namespace orvane {

inline constexpr int kExcLineLength = 75;
inline constexpr const char* kExcTraceback = "Traceback (most recent call last)";

// Lines: a red rule; the red class name with the traceback header right-aligned so both span
// kExcLineLength visible characters; the traceback entries joined; the label and the message.
std::vector<std::string> format_error_banner(const std::string& exc_name,
                                             const std::vector<std::string>& traceback_entries,
                                             const std::string& exc_text);

// Number of code points in UTF-8 text: what a terminal counts as width for justification.
std::size_t utf8_length(const std::string& text);

}  // namespace orvane
