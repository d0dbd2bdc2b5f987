// Unit tests of the import lines shown for inherited module statements.
#include <gtest/gtest.h>

#include "core/import_line.hpp"

TEST(ImportLine, DottedSymbolKeepsStatementPlainSymbolBecomesAssignment) {
  struct Case {
    std::string symbol, statement, expected;
  };
  const Case cases[] = {
      {"np", "importlib.import_module('numpy')", "np = importlib.import_module('numpy')"},
      {"os.path", "importlib.import_module('os.path')", "importlib.import_module('os.path')"},
      {".", "x", "x"},
      {"", "x", " = x"},
  };
  for (const auto& c : cases) EXPECT_EQ(orvane::import_line(c.symbol, c.statement), c.expected);
}
