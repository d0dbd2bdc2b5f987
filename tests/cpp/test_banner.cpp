// Unit tests of the error banner layout.
#include <gtest/gtest.h>

#include "core/banner.hpp"

using orvane::format_error_banner;

TEST(Banner, HasFourLinesWithRuleAndLabel) {
  auto lines = format_error_banner("ValueError", {"  File \"x\", line 1\n"}, "bad value");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "\x1b[0;31m" + std::string(75, '-') + "\x1b[0m");
  EXPECT_EQ(lines[2], "\x1b[0m  File \"x\", line 1\n\x1b[0m");
  EXPECT_EQ(lines[3], "\x1b[0;31mOrvanePipelineError\x1b[0m: bad value");
  // Without a text, the last line names the exception.
  EXPECT_EQ(format_error_banner("MemoryError", {}, "")[3],
            "\x1b[0;31mOrvanePipelineError\x1b[0m: MemoryError");
}

TEST(Banner, HeaderRightAlignedToSeventyFiveColumns) {
  struct Case {
    std::string name;
    std::size_t blanks;
  };
  // Ten characters leave 32 blanks before the 33-character header; 42 or more leave none.
  for (const Case& c : {Case{"ValueError", 32}, Case{"E", 41}, Case{std::string(42, 'X'), 0},
                        Case{std::string(60, 'X'), 0}}) {
    auto line = format_error_banner(c.name, {}, "")[1];
    std::string expected = "\x1b[0;31m" + c.name + "\x1b[0m" + std::string(c.blanks, ' ') +
                           "Traceback (most recent call last)";
    EXPECT_EQ(line, expected) << c.name;
  }
}

TEST(Banner, CountsCodePointsNotBytes) {
  EXPECT_EQ(orvane::utf8_length("Fehlerä"), 7u);
  auto line = format_error_banner("Fehlerä", {}, "")[1];
  EXPECT_NE(line.find(std::string(35, ' ') + "Traceback"), std::string::npos);
}
