// Error banner formatting for failed components.
#include "core/banner.hpp"

namespace orvane {

namespace {
constexpr const char* kRed = "\x1b[0;31m";
constexpr const char* kReset = "\x1b[0m";
}  // namespace

std::size_t utf8_length(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

std::vector<std::string> format_error_banner(const std::string& exc_name,
                                             const std::vector<std::string>& traceback_entries,
                                             const std::string& exc_text) {
  std::vector<std::string> lines;
  lines.reserve(4);
  lines.push_back(std::string(kRed) + std::string(kExcLineLength, '-') + kReset);

  // Right-justify the header to the width left after the class name, like str.rjust.
  const std::string header = kExcTraceback;
  const long width = static_cast<long>(kExcLineLength) - static_cast<long>(utf8_length(exc_name));
  const long pad = width - static_cast<long>(utf8_length(header));
  std::string line2 = std::string(kRed) + exc_name + kReset;
  if (pad > 0) line2.append(static_cast<std::size_t>(pad), ' ');
  line2 += header;
  lines.push_back(std::move(line2));

  std::string trace = kReset;
  for (const auto& entry : traceback_entries) trace += entry;
  trace += kReset;
  lines.push_back(std::move(trace));

  // An exception without text (MemoryError, a bare raise of a class) is named instead: an
  // empty line would leave the reader with nothing.
  lines.push_back(std::string(kRed) + "OrvanePipelineError" + kReset + ": " +
                  (exc_text.empty() ? exc_name : exc_text));
  return lines;
}

std::vector<std::string> exception_banner(const std::string& exc_name,
                                          std::vector<std::string> formatted,
                                          const std::string& exc_text,
                                          const std::vector<std::string>& notes) {
  // The notes close the formatted exception, as one entry each or one a line depending on the
  // interpreter: their entries are the ones that add up to the notes' text.
  std::size_t notes_length = 0;
  for (const std::string& note : notes) notes_length += note.size() + 1;
  for (std::size_t taken = 0; !formatted.empty() && taken < notes_length; formatted.pop_back()) {
    taken += formatted.back().size();
  }
  if (!formatted.empty()) formatted.pop_back();  // the "Type: text" line
  if (!formatted.empty() && formatted.front().rfind(kExcTraceback, 0) == 0) {
    formatted.erase(formatted.begin());
  }
  std::string text = exc_text;
  for (const std::string& note : notes) text += "\n" + note;
  return format_error_banner(exc_name, formatted, text);
}

}  // namespace orvane
