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

// The banner of a failed cell from its exception formatted as the traceback module yields it,
// chain included: the header, the frames, then the last exception's own lines with one entry per
// note. That exception's "Type: text" line and its notes make up the banner's last line instead
// (the notes one a line after the text); a syntax error keeps the lines that point at the code.
std::vector<std::string> exception_banner(const std::string& exc_name,
                                          std::vector<std::string> formatted,
                                          const std::string& exc_text,
                                          const std::vector<std::string>& notes);

// Number of code points in UTF-8 text: what a terminal counts as width for justification.
std::size_t utf8_length(const std::string& text);

}  // namespace orvane
