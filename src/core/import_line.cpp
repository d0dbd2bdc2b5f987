// Import lines shown for a component's inherited module statements.
#include "core/import_line.hpp"

namespace orvane {

std::string import_line(const std::string& symbol, const std::string& statement) {
  if (symbol.find('.') != std::string::npos) return statement;
  return symbol + " = " + statement;
}

}  // namespace orvane
