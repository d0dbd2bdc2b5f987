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

}  // namespace orvane
