// Parameter-search rules: grid arithmetic, distribution names and the texts of input errors.
#include "core/search_space.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

namespace orvane::search {

namespace {
// Larger grids cannot be enumerated by any study; the same bound numeric ranges apply.
constexpr double kMaxLength = static_cast<double>(std::numeric_limits<std::int64_t>::max());
}  // namespace

double round_decimals(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  const double scaled = value * scale;
  if (!std::isfinite(scaled)) return value;
  return std::nearbyint(scaled) / scale;
}

double grid_count(double low, double high, double interval) {
  if (interval == 0.0) throw ZeroStep();
  const double span = high - low;
  double steps = span / interval;
  // A quotient that underflowed to zero still covers one value when the range is not empty.
  if (steps == 0.0 && span != 0.0) steps = std::signbit(steps) ? 0.0 : 1.0;
  const double length = std::ceil(steps);
  if (std::isnan(length)) throw BadLength("arange: cannot compute length");
  if (length > kMaxLength) throw BadLength("Maximum allowed size exceeded");
  return length <= 0.0 ? 0.0 : length;
}

std::vector<double> grid_values(double low, double high, double interval) {
  const double length = grid_count(low, high, interval);
  if (length <= 0.0) return {};

  const auto count = static_cast<std::size_t>(length);
  std::vector<double> values(count);
  values[0] = low;
  if (count > 1) values[1] = low + interval;
  // Further values step by the difference of the first two, as a numeric range fills itself.
  const double delta = count > 1 ? values[1] - values[0] : interval;
  for (std::size_t i = 2; i < count; ++i) values[i] = low + static_cast<double>(i) * delta;
  for (double& v : values) v = round_decimals(v, 15);
  return values;
}

std::optional<Distribution> parse_distribution(std::string_view text) {
  if (text == "uniform") return Distribution::uniform;
  if (text == "int") return Distribution::integer;
  if (text == "loguniform") return Distribution::loguniform;
  if (text == "float") return Distribution::floating;
  if (text == "discrete_uniform") return Distribution::discrete_uniform;
  return std::nullopt;
}

std::optional<std::int64_t> truncate_bound(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double whole = std::trunc(value);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (whole >= 9223372036854775808.0 || whole < -9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(whole);
}

namespace {

// Checks one bound; false (with the error in `draw`) when it is not usable.
bool check_bound(std::string_view name, const char* key, const BoundRead& bound, Draw& draw) {
  if (!bound.present) {
    draw.error = missing_key_message(name, key);
  } else if (!bound.refused.empty()) {
    draw.error = parameter_message(name, bound.refused);
  } else if (auto error = bound_error(name, key, bound.value)) {
    draw.error = *error;
  }
  return draw.error.empty();
}

}  // namespace

Draw draw_for(std::string_view name, const Description& description) {
  Draw draw;
  if (!check_bound(name, "low", description.low, draw) ||
      !check_bound(name, "high", description.high, draw)) {
    return draw;
  }
  draw.low = description.low.value;
  draw.high = description.high.value;
  const std::optional<Distribution> kind = description.distribution_is_text
                                               ? parse_distribution(description.distribution)
                                               : std::nullopt;
  if (!kind) {
    draw.error = unknown_distribution_message(description.distribution);
    return draw;
  }
  switch (*kind) {
    case Distribution::uniform:
    case Distribution::floating:
      break;
    case Distribution::loguniform:
      draw.log = true;
      break;
    case Distribution::discrete_uniform:
      if (!description.has_interval) {
        draw.error = std::string(kInputPrefix) + " no interval value for discrete uniform sampler";
      }
      draw.stepped = true;
      break;
    case Distribution::integer: {
      const auto int_low = truncate_bound(draw.low), int_high = truncate_bound(draw.high);
      if (!int_low || !int_high) {
        draw.error = parameter_message(name, "bounds out of integer range");
      } else {
        draw.integer = true;
        draw.int_low = *int_low;
        draw.int_high = *int_high;
      }
      break;
    }
  }
  return draw;
}

std::string unknown_distribution_message(std::string_view distribution) {
  return std::string(kInputPrefix) + " distribution '" + std::string(distribution) + "'";
}

std::string unknown_method_message(std::string_view method) {
  return std::string(kInputPrefix) + " optimization method '" + std::string(method) + "'";
}

std::string parameter_message(std::string_view name, std::string_view detail) {
  return std::string(kInputPrefix) + " parameter '" + std::string(name) +
         "': " + std::string(detail);
}

std::string missing_key_message(std::string_view name, std::string_view key) {
  return parameter_message(name, "the description has no '" + std::string(key) + "' value");
}

std::string description_error(std::string_view name, std::string_view complaint) {
  if (starts_with(complaint, kInputPrefix)) return std::string(complaint);
  return parameter_message(name, complaint);
}

std::optional<std::string> bound_error(std::string_view name, std::string_view key, double value) {
  if (std::isfinite(value)) return std::nullopt;
  return parameter_message(name, "'" + std::string(key) + "' must be a finite number");
}

std::string empty_grid_message(std::string_view name) {
  return parameter_message(name,
                           "its grid is empty: no value lies from 'low' up to 'high' (excluded) "
                           "in steps of 'interval'");
}

std::string oversized_grid_message(std::string_view name, double count) {
  char shown[32];
  if (count < 1e15) {
    std::snprintf(shown, sizeof shown, "%.0f", count);
  } else {
    std::snprintf(shown, sizeof shown, "%.3g", count);
  }
  char limit[32];
  std::snprintf(limit, sizeof limit, "%.0f", kMaxGridPoints);
  return parameter_message(name, std::string("the grid reaches ") + shown +
                                     " points with it, more than the " + limit +
                                     " a grid search may have; choose a larger 'interval' or a "
                                     "narrower range");
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace orvane::search

namespace orvane::search {

bool any_infinite(const std::vector<double>& values) {
  for (double v : values) {
    if (std::isinf(v)) return true;
  }
  return false;
}

std::string failed_trial_message(long long number) {
  return "Trial " + std::to_string(number) + " failed because its target value is not a number";
}

std::string overflow_message() {
  return std::string(kTargetPrefix) +
         " the target value is too large for a floating-point number; scale it down";
}

std::string value_count_message(std::size_t values, std::size_t objectives) {
  return std::string(kTargetPrefix) + " the target gives " + std::to_string(values) +
         " value(s) for " + std::to_string(objectives) + " optimization direction(s)";
}

std::optional<std::string> target_error(bool produced, const std::vector<TargetValue>& values,
                                        std::size_t objectives) {
  if (!produced) return std::string(kTargetPrefix) + " target values to optimize do not exist";
  for (TargetValue value : values) {
    if (value == TargetValue::too_large) return overflow_message();
    if (value == TargetValue::not_number) {
      return std::string(kTargetPrefix) + " type of target values should be integer or float";
    }
  }
  if (values.size() != objectives) return value_count_message(values.size(), objectives);
  return std::nullopt;
}

FailureReport failure_report(bool interrupt, bool value_error, std::string message,
                             std::string_view type_name) {
  if (interrupt) return {"HPO_CANCELED", "Parameter optimizing operation stopped."};
  // An error without text (MemoryError) is named rather than reported as nothing.
  if (message.empty()) message = type_name;
  if (value_error && starts_with(message, kInputPrefix)) return {"HPO_INPUT_ERROR", message};
  if (value_error && starts_with(message, kTargetPrefix)) return {"HPO_TARGET_VALUE", message};
  return {"HPO_ERROR", message};
}

}  // namespace orvane::search
