// Unit tests of the parameter-search rules: grid values, rounding, distributions, bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/search_space.hpp"

namespace s = orvane::search;

TEST(GridValues, HalfOpenRangesRoundedTo15Places) {
  struct Case {
    double low, high, interval;
    std::vector<double> expected;
  };
  const Case cases[] = {
      {0, 1, 0.1, {0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9}},
      {0, 3, 1, {0, 1, 2}},
      {1, 1, 1, {}},
      {0, 5, -1, {}},
      {5, 0, -2, {5, 3, 1}},
      {0, 1, 2, {0}},
      {0.5, 0.5000000001, 1, {0.5}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(s::grid_values(c.low, c.high, c.interval), c.expected)
        << c.low << " " << c.high << " " << c.interval;
  }
}

TEST(GridValues, UnusableStepsAndBoundsRaise) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(s::grid_values(0, 1, 0), s::ZeroStep);
  EXPECT_THROW(s::grid_values(0, 1, nan), s::BadLength);
  EXPECT_THROW(s::grid_values(nan, 1, 1), s::BadLength);
  EXPECT_THROW(s::grid_values(0, inf, 1), s::BadLength);
}

TEST(GridCount, CountsWithoutBuildingAndNamesAnOversizedGrid) {
  EXPECT_EQ(s::grid_count(0, 1, 1e-9), 1e9);
  EXPECT_EQ(s::grid_count(0, 1, 0.25), 4.0);
  EXPECT_EQ(s::grid_count(1, 1, 1), 0.0);
  EXPECT_EQ(s::oversized_grid_message("x", 1e9).rfind(
                "Invalid input: parameter 'x': the grid reaches 1000000000 points", 0),
            0u);
}

TEST(RoundDecimals, RemovesResidueAndKeepsHugeValues) {
  EXPECT_EQ(s::round_decimals(0.1 + 0.2, 15), 0.3);
  EXPECT_EQ(s::round_decimals(0.6000000000000001, 15), 0.6);
  EXPECT_EQ(s::round_decimals(1e300, 15), 1e300);
  EXPECT_EQ(s::round_decimals(-2.5, 0), -2.0);  // half to even
}

TEST(Distribution, FiveNamesAreKnown) {
  EXPECT_EQ(s::parse_distribution("uniform"), s::Distribution::uniform);
  EXPECT_EQ(s::parse_distribution("int"), s::Distribution::integer);
  EXPECT_EQ(s::parse_distribution("loguniform"), s::Distribution::loguniform);
  EXPECT_EQ(s::parse_distribution("float"), s::Distribution::floating);
  EXPECT_EQ(s::parse_distribution("discrete_uniform"), s::Distribution::discrete_uniform);
  EXPECT_FALSE(s::parse_distribution("Uniform"));
  EXPECT_FALSE(s::parse_distribution(""));
}

TEST(TruncateBound, TowardZeroAndOnlyWhenRepresentable) {
  EXPECT_EQ(s::truncate_bound(1.9), 1);
  EXPECT_EQ(s::truncate_bound(8.7), 8);
  EXPECT_EQ(s::truncate_bound(-1.9), -1);
  EXPECT_FALSE(s::truncate_bound(std::nan("")));
  EXPECT_FALSE(s::truncate_bound(1e19));
  EXPECT_FALSE(s::truncate_bound(-std::numeric_limits<double>::infinity()));
}

TEST(Messages, CarryTheInputPrefixAndName) {
  EXPECT_EQ(s::unknown_distribution_message("gauss"), "Invalid input: distribution 'gauss'");
  EXPECT_EQ(s::unknown_method_message("None"), "Invalid input: optimization method 'None'");
  EXPECT_EQ(s::missing_key_message("lr", "low"),
            "Invalid input: parameter 'lr': the description has no 'low' value");
  EXPECT_TRUE(s::starts_with(s::empty_grid_message("x"), s::kInputPrefix));
  for (const double value : {std::numeric_limits<double>::infinity(), std::nan("")}) {
    EXPECT_EQ(s::bound_error("lr", "high", value),
              "Invalid input: parameter 'lr': 'high' must be a finite number");
  }
  EXPECT_EQ(s::bound_error("lr", "high", -1e308), std::nullopt);
  for (const auto& [complaint, reported] : std::vector<std::pair<std::string, std::string>>{
           {"low > high", "Invalid input: parameter 'lr': low > high"},
           {"Invalid input: no interval", "Invalid input: no interval"}}) {
    EXPECT_EQ(s::description_error("lr", complaint), reported);
  }
  EXPECT_FALSE(s::starts_with("Inv", s::kInputPrefix));
}

TEST(Trials, DivergenceAndReports) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(s::any_infinite({}));
  EXPECT_FALSE(s::any_infinite({0.5, std::nan("")}));
  EXPECT_TRUE(s::any_infinite({0.5, -inf}));
  EXPECT_EQ(s::failed_trial_message(3), "Trial 3 failed because its target value is not a number");
  EXPECT_EQ(s::value_count_message(2, 3),
            "Target value error: the target gives 2 value(s) for 3 optimization direction(s)");
}

TEST(Targets, OneNumberPerObjective) {
  using V = s::TargetValue;
  const V n = V::number, x = V::not_number, big = V::too_large;
  const struct {
    bool produced;
    std::vector<V> values;
    std::size_t objectives;
    const char* error;  // the end of the error's text; "" when accepted
  } cases[] = {
      {true, {n}, 1, ""},
      {true, {n, n}, 2, ""},
      {false, {}, 1, "target values to optimize do not exist"},
      {true, {n, x}, 2, "should be integer or float"},
      // The first value that is no number decides, before the count is looked at.
      {true, {big, x}, 3, "too large for a floating-point number; scale it down"},
      {true, {x, big}, 1, "should be integer or float"},
      {true, {n, n}, 1, "the target gives 2 value(s) for 1 optimization direction(s)"},
  };
  for (const auto& c : cases) {
    const std::string error = s::target_error(c.produced, c.values, c.objectives).value_or("");
    const std::string end = c.error;
    EXPECT_EQ(error.empty(), end.empty()) << error;
    EXPECT_EQ(error.substr(error.size() - std::min(error.size(), end.size())), end);
    EXPECT_TRUE(end.empty() || s::starts_with(error, s::kTargetPrefix)) << error;
  }
}

TEST(Failures, ReportedByKindAndText) {
  const struct {
    bool interrupt, value_error;
    const char* message;
    const char* procedure;
    const char* reported;  // nullptr: the message itself
  } cases[] = {
      {false, true, "Invalid input: distribution 'gauss'", "HPO_INPUT_ERROR", nullptr},
      {false, true, "Target value error: target values to optimize do not exist",
       "HPO_TARGET_VALUE", nullptr},
      {false, true, "math domain error", "HPO_ERROR", nullptr},
      {false, false, "Invalid input: raised as another type", "HPO_ERROR", nullptr},
      {false, false, "Target value error: raised as another type", "HPO_ERROR", nullptr},
      {false, false, "", "HPO_ERROR", "MemoryError"},
      {true, false, "", "HPO_CANCELED", "Parameter optimizing operation stopped."},
  };
  for (const auto& c : cases) {
    const s::FailureReport r =
        s::failure_report(c.interrupt, c.value_error, c.message, "MemoryError");
    EXPECT_STREQ(r.procedure, c.procedure) << c.message;
    EXPECT_EQ(r.message, c.reported ? c.reported : c.message);
  }
}

TEST(Draws, FollowTheDescription) {
  const s::BoundRead zero{true, 0, ""}, one{true, 1, ""}, missing{};
  const s::BoundRead inf{true, std::numeric_limits<double>::infinity(), ""};
  const s::BoundRead text{true, 0, "could not convert string to float: 'a'"};
  const struct {
    s::BoundRead low, high;
    const char* distribution;
    bool is_text, has_interval;
    bool integer, log, stepped;
    std::int64_t int_low, int_high;
    const char* error;  // "": drawn
  } cases[] = {
      {zero, one, "uniform", true, false, false, false, false, 0, 0, ""},
      {zero, one, "float", true, true, false, false, false, 0, 0, ""},
      {{true, 0.1, ""}, one, "loguniform", true, false, false, true, false, 0, 0, ""},
      {zero, one, "discrete_uniform", true, true, false, false, true, 0, 0, ""},
      {zero, one, "discrete_uniform", true, false, false, false, true, 0, 0,
       "Invalid input: no interval value for discrete uniform sampler"},
      {{true, 1.9, ""}, {true, -8.7, ""}, "int", true, false, true, false, false, 1, -8, ""},
      {zero,
       {true, 1e300, ""},
       "int",
       true,
       false,
       false,
       false,
       false,
       0,
       0,
       "Invalid input: parameter 'p': bounds out of integer range"},
      {zero, one, "gauss", true, false, false, false, false, 0, 0,
       "Invalid input: distribution 'gauss'"},
      // Only a text names a distribution, even one that prints as a name.
      {zero, one, "uniform", false, false, false, false, false, 0, 0,
       "Invalid input: distribution 'uniform'"},
      // The first bound's error wins over the second's and over the distribution's.
      {missing, text, "gauss", true, false, false, false, false, 0, 0,
       "Invalid input: parameter 'p': the description has no 'low' value"},
      {zero, text, "gauss", true, false, false, false, false, 0, 0,
       "Invalid input: parameter 'p': could not convert string to float: 'a'"},
      {inf, zero, "gauss", true, false, false, false, false, 0, 0,
       "Invalid input: parameter 'p': 'low' must be a finite number"},
  };
  for (const auto& c : cases) {
    const s::Draw d = s::draw_for("p", {c.low, c.high, c.has_interval, c.is_text, c.distribution});
    EXPECT_EQ(d.error, c.error) << c.distribution;
    if (!d.error.empty()) continue;
    EXPECT_EQ(std::tie(d.low, d.high), std::tie(c.low.value, c.high.value));
    EXPECT_EQ(std::tie(d.integer, d.int_low, d.int_high, d.log, d.stepped),
              std::tie(c.integer, c.int_low, c.int_high, c.log, c.stepped));
  }
}
