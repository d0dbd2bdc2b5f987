// A fresh private folder under the test framework's temporary root, named after its suite.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace orvane::testing_support {

inline std::string make_temp_dir(const std::string& prefix) {
  std::string tmpl = ::testing::TempDir() + "/" + prefix + "-XXXXXX";
  EXPECT_NE(::mkdtemp(tmpl.data()), nullptr);
  return tmpl;
}

}  // namespace orvane::testing_support
