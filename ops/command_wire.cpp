#include "ops/command_wire.h"

namespace tvl {

namespace {

const char kRequestMagic[] = "tvlctl 1\n";

void put(std::string& out, const std::string& text) {
  out += std::to_string(text.size());
  out += '\n';
  out += text;
}

// Reads one "<length>\n<bytes>" at pos; false when malformed or cut.
bool take(const std::string& data, std::size_t& pos, std::string& text) {
  std::size_t end = data.find('\n', pos);
  if (end == std::string::npos || end == pos || end - pos > 9) return false;
  std::size_t size = 0;
  for (std::size_t i = pos; i < end; ++i) {
    if (data[i] < '0' || data[i] > '9') return false;
    size = size * 10 + static_cast<std::size_t>(data[i] - '0');
  }
  if (data.size() - (end + 1) < size) return false;
  text.assign(data, end + 1, size);
  pos = end + 1 + size;
  return true;
}

bool take_number(const std::string& data, std::size_t& pos, int& number) {
  std::string text;
  if (!take(data, pos, text) || text.empty() || text.size() > 6) return false;
  number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return true;
}

}  // namespace

std::string encode_request(const CommandRequest& request) {
  std::string out = kRequestMagic;
  put(out, request.folder);
  put(out, std::to_string(request.args.size()));
  for (const std::string& a : request.args) put(out, a);
  put(out, request.input);
  return out;
}

bool decode_request(const std::string& data, CommandRequest& request) {
  const std::size_t magic = sizeof kRequestMagic - 1;
  if (data.compare(0, magic, kRequestMagic) != 0) return false;
  std::size_t pos = magic;
  CommandRequest r;
  int count = 0;
  if (!take(data, pos, r.folder) || !take_number(data, pos, count) || count > 1000) return false;
  for (int i = 0; i < count; ++i) {
    std::string a;
    if (!take(data, pos, a)) return false;
    r.args.push_back(std::move(a));
  }
  if (!take(data, pos, r.input) || pos != data.size()) return false;
  request = std::move(r);
  return true;
}

std::string encode_result(const CommandResult& result) {
  std::string out;
  put(out, std::to_string(result.exit_code));
  put(out, result.out);
  put(out, result.err);
  return out;
}

bool decode_result(const std::string& data, CommandResult& result) {
  std::size_t pos = 0;
  CommandResult r;
  if (!take_number(data, pos, r.exit_code) || !take(data, pos, r.out) || !take(data, pos, r.err) ||
      pos != data.size())
    return false;
  result = std::move(r);
  return true;
}

}  // namespace tvl
