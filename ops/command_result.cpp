#include "ops/command_result.h"

namespace tvl {

CommandResult usage_error(const std::string& text) {
  return {2, "", "tvlctl: " + text + "\nTry \"tvlctl --help\".\n"};
}

CommandResult command_refused(const std::string& text) { return {1, "", "tvlctl: " + text + "\n"}; }

CommandResult command_done(const std::string& text) { return {0, text, ""}; }

}  // namespace tvl
