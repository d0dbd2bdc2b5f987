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

// The formatted exception as the traceback module yields it: header, frames, the closing lines.
TEST(Banner, ClosingLinesAndNotesMoveToTheLastLine) {
  struct Case {
    std::vector<std::string> formatted, notes;
    std::string trace, last;
  };
  const std::string header = "Traceback (most recent call last):\n";
  const std::string frame = "  File \"<cell>\", line 1\n";
  const Case cases[] = {
      {{header, frame, "ValueError: bad\n"}, {}, frame, "bad"},
      {{header, frame, "ValueError: bad\n", "first\n", "second\n"},
       {"first", "second"},
       frame,
       "bad\nfirst\nsecond"},
      // A note of two lines, formatted one entry a line or as one entry.
      {{header, frame, "ValueError: bad\n", "a\n", "b\n"}, {"a\nb"}, frame, "bad\na\nb"},
      {{header, frame, "ValueError: bad\n", "a\nb\n"}, {"a\nb"}, frame, "bad\na\nb"},
      // A syntax error keeps the lines pointing at the code.
      {{frame, "    x y\n", "      ^\n", "SyntaxError: bad\n"},
       {},
       frame + "    x y\n      ^\n",
       "bad"},
      // No traceback at all.
      {{"ValueError: bad\n"}, {}, "", "bad"},
  };
  for (const Case& c : cases) {
    auto lines = orvane::exception_banner("ValueError", c.formatted, "bad", c.notes);
    EXPECT_EQ(lines[2], "\x1b[0m" + c.trace + "\x1b[0m");
    EXPECT_EQ(lines[3], "\x1b[0;31mOrvanePipelineError\x1b[0m: " + c.last);
  }
}
