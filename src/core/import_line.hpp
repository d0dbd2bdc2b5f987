// The import line a component shows for one inherited module statement.
#pragma once

#include <string>

namespace orvane {

// A dotted symbol ("os.path") is bound by its statement itself; a plain one is an alias that
// the front end shows as an assignment.
std::string import_line(const std::string& symbol, const std::string& statement);

}  // namespace orvane
