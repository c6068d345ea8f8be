// The controlling terminal, for a password typed by a person: the prompt
// goes to the terminal and the typed line is not echoed.
#pragma once
#include <string>

namespace tvl {

// Shows `prompt` on the controlling terminal and reads one line without
// echo. False when there is no terminal (line untouched).
[[nodiscard]] bool read_hidden_line(const std::string& prompt, std::string& line);

}  // namespace tvl
