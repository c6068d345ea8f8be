#include "ops/command_args.h"

#include <cstdlib>

namespace tvl {

const std::string* CommandArgs::value(const std::string& option) const {
  auto at = values.find(option);
  return at == values.end() ? nullptr : &at->second;
}

CommandArgs parse_command_args(const std::vector<std::string>& args, std::size_t from,
                               const std::set<std::string>& value_options,
                               const std::set<std::string>& flags, std::size_t positionals) {
  CommandArgs p;
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() <= 2 || a.compare(0, 2, "--") != 0) {
      p.positional.push_back(a);
      continue;
    }
    const std::size_t equals = a.find('=');
    const bool inline_value = equals != std::string::npos;
    const std::string name = inline_value ? a.substr(0, equals) : a;
    if (flags.count(name) && !inline_value) {
      p.flags.insert(name);
    } else if (value_options.count(name)) {
      if (inline_value) {
        p.values[name] = a.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        p.values[name] = args[++i];
      } else {
        p.error = "option " + name + " needs a value";
        return p;
      }
    } else {
      p.error = "unknown option \"" + a + "\"";
      return p;
    }
  }
  if (p.positional.size() != positionals)
    p.error = p.positional.size() < positionals ? "missing argument" : "too many arguments";
  return p;
}

bool parse_yes_no(const std::string& text, bool& on) {
  if (text == "yes") on = true;
  else if (text == "no") on = false;
  else return false;
  return true;
}

const char* yes_no_text(bool on) { return on ? "yes" : "no"; }

std::string first_line(const std::string& input) {
  std::string line = input.substr(0, input.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool parse_duration(const std::string& text, long long& seconds) {
  if (text.size() < 2 || text.size() > 7) return false;
  const std::string digits = text.substr(0, text.size() - 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
  long long unit = 0;
  switch (text.back()) {
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default: return false;
  }
  const long long total = std::stoll(digits) * unit;
  if (total <= 0 || total > 366LL * 86400) return false;
  seconds = total;
  return true;
}

int room_number_of(const std::string& text) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::atoi(text.c_str());
}

}  // namespace tvl
