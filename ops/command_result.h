// CommandResult: the answer of one operator command: tvlctl's exit status
// and what it prints on standard output and standard error. The three
// makers below give the three kinds of answer in tvlctl's words; tvlctl
// itself uses usage_error for the mistakes it catches before a command runs.
// Thread safety: plain values and pure functions.
#pragma once
#include <string>

namespace tvl {

struct CommandResult {
  int exit_code = 0;
  std::string out, err;
};

// Exit status 2: "tvlctl: <text>" and the hint to --help on err.
CommandResult usage_error(const std::string& text);
// Exit status 1, nothing changed: "tvlctl: <text>" on err.
CommandResult command_refused(const std::string& text);
// Exit status 0 and `text` on out.
CommandResult command_done(const std::string& text);

}  // namespace tvl
