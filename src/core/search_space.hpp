// Parameter-search rules that need no interpreter: grid values, distributions, input messages.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::search {

// A grid step of zero; shown to callers as a division by zero, as numeric ranges do.
class ZeroStep : public std::domain_error {
 public:
  ZeroStep() : std::domain_error("division by zero") {}
};

// A range whose length cannot be computed (NaN bounds or step) or is too large to hold.
class BadLength : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The most points a grid search may have, over all its parameters together: the study keeps
// every combination in memory, so a larger grid is refused before any of it is built.
inline constexpr double kMaxGridPoints = 1e6;

// How many values grid_values(low, high, interval) gives, without building them. Throws as
// grid_values does for a zero step or a length that cannot be computed or held.
double grid_count(double low, double high, double interval);

// The half-open range low, low + interval, ... below high (above it for a negative step), with
// the element count and values of a numeric arange, each rounded to 15 decimal places so that
// the residue of repeated additions disappears (0.1 + 0.2 gives 0.3).
std::vector<double> grid_values(double low, double high, double interval);

// Rounds to `decimals` places by scaling, rounding half to even and scaling back; a value too
// large to scale is already integral at that precision and is returned as it is.
double round_decimals(double value, int decimals);

enum class Distribution { uniform, integer, loguniform, floating, discrete_uniform };

// The distribution named by a description's text; nullopt for a name outside the five.
std::optional<Distribution> parse_distribution(std::string_view text);

// Truncation toward zero of an integer parameter's bound; nullopt when the bound is not a finite
// number that fits a 64-bit integer.
std::optional<std::int64_t> truncate_bound(double value);

// One bound of a description as read from it: absent, a number, or a value that is not one
// (`refused` holds the conversion's complaint).
struct BoundRead {
  bool present = false;
  double value = 0;
  std::string refused;
};

// A parameter's description as read once: its bounds, whether it gives an interval, and its
// distribution ("uniform" when it names none) as it prints; only a text names a distribution.
struct Description {
  BoundRead low, high;
  bool has_interval = false;
  bool distribution_is_text = true;
  std::string distribution = "uniform";
};

// How a trial draws a parameter: a float between low and high, on a log scale or in steps of the
// description's interval, or an integer between the bounds truncated toward zero (step 1).
struct Draw {
  std::string error;  // the input error of a description that cannot be drawn; empty otherwise
  double low = 0, high = 0;
  bool integer = false;
  std::int64_t int_low = 0, int_high = 0;
  bool log = false;
  bool stepped = false;
};
// The draw of parameter `name`. The description's first error wins, checked in order: each bound
// (missing, not a number, not finite), the distribution's name, then what that distribution
// needs (an interval for steps, integer bounds in range).
Draw draw_for(std::string_view name, const Description& description);

// The direction word of one objective: a true flag maximizes.
inline const char* direction_word(bool maximize) { return maximize ? "maximize" : "minimize"; }

// Texts of the input errors. Every one begins with the prefix that marks an input error.
inline constexpr std::string_view kInputPrefix = "Invalid input:";
inline constexpr std::string_view kTargetPrefix = "Target value error:";
std::string unknown_distribution_message(std::string_view distribution);
std::string unknown_method_message(std::string_view method);
std::string parameter_message(std::string_view name, std::string_view detail);
std::string missing_key_message(std::string_view name, std::string_view key);
// The text of a complaint about parameter `name`'s description (the study refusing its bounds or
// step) as an input error naming it; a text that is an input error already stays as it is.
std::string description_error(std::string_view name, std::string_view complaint);
// The error of a bound `key` of parameter `name` that is not finite, or nullopt.
std::optional<std::string> bound_error(std::string_view name, std::string_view key, double value);
std::string empty_grid_message(std::string_view name);
// A grid that reaches `count` points with this parameter, more than kMaxGridPoints.
std::string oversized_grid_message(std::string_view name, double count);

bool starts_with(std::string_view text, std::string_view prefix);

}  // namespace orvane::search

namespace orvane::search {

// True when any objective value has diverged to plus or minus infinity.
bool any_infinite(const std::vector<double>& values);

// The report of a trial that ended without values (its target was not a number).
std::string failed_trial_message(long long number);

// The report of a target value too large for a floating-point number (an integer such as 10**400).
std::string overflow_message();

// The report of a target that gives another number of values than there are objectives.
std::string value_count_message(std::size_t values, std::size_t objectives);

// What one value of a trial's target is: a number, something else, or an integer too large for
// the floating-point numbers a study keeps.
enum class TargetValue { number, not_number, too_large };
// The error of a trial's target, or nullopt when it gives one number per objective. A target
// that did not succeed (`produced` false) has no value of its own; its values are checked in
// order (the caller may stop at the first that is not a number).
std::optional<std::string> target_error(bool produced, const std::vector<TargetValue>& values,
                                        std::size_t objectives);

// The report of an error that ended a search: its procedure's name and text. An interrupt
// cancels the search; a value error with the text of an input or target error is reported as
// such; any other error as a failure, by its text or, having none, by its type's name.
struct FailureReport {
  const char* procedure;
  std::string message;
};
FailureReport failure_report(bool interrupt, bool value_error, std::string message,
                             std::string_view type_name);

}  // namespace orvane::search
