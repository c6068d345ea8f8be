// The arguments of one operator command after its words ("user add ..."):
// positionals, options with a value ("--name value" or "--name=value") and
// flags ("--json"), each option known in advance, so that a mistyped one is
// a usage error rather than a name.
// Thread safety: pure functions.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tvl {

struct CommandArgs {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::string error;  // a usage error; empty when the arguments fit

  bool has(const std::string& flag) const { return flags.count(flag) > 0; }
  // The option's value, or null when it was not given.
  const std::string* value(const std::string& option) const;
};

// Reads args[from...]: options of value_options take a value, those of
// flags none; exactly `positionals` other words must remain. The first
// mistake is left in `error`.
CommandArgs parse_command_args(const std::vector<std::string>& args, std::size_t from,
                               const std::set<std::string>& value_options,
                               const std::set<std::string>& flags, std::size_t positionals);

// "yes" or "no" into on; false (on unchanged) for anything else.
[[nodiscard]] bool parse_yes_no(const std::string& text, bool& on);
const char* yes_no_text(bool on);

// The first line of the input, without its line end ("\n" or "\r\n").
std::string first_line(const std::string& input);

// A length of time as typed: a whole number of one to six digits and its
// unit, "m" (minutes), "h" (hours) or "d" (days): "30m", "1h", "2d". False
// (seconds unchanged) when the text is none, is zero or is past a year.
[[nodiscard]] bool parse_duration(const std::string& text, long long& seconds);

// A room's number as typed (1 = the first room); 0 when the text is not a
// number of one to six digits.
int room_number_of(const std::string& text);

}  // namespace tvl
