#include "cluster/shared_entry.h"

#include <charconv>

namespace tvl {

const char kNodesKey[] = "tvl:nodes";

namespace {

bool parse_unsigned(const std::string& text, unsigned long long& value) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string room_stream_key(const std::string& room_name) { return "tvl:lines:" + room_name; }
std::string node_key(const std::string& node) { return "tvl:node:" + node; }
std::string name_claim(const std::string& room_name, const std::string& name_fold) {
  return room_name + "\n" + name_fold;
}
std::string name_key(const std::string& claim) { return "tvl:name:" + claim; }

// Both run in Redis as one step, so that no other node's claim comes
// between the look and the change.
std::vector<std::string> claim_name_command(const std::string& claim, const std::string& node) {
  static const char kScript[] =
      "local v = redis.call('GET', KEYS[1]) "
      "if not v or v == ARGV[1] then redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2]) return 1 end "
      "return 0";
  return {"EVAL", kScript, "1", name_key(claim), node, std::to_string(kNameLifeS)};
}

std::vector<std::string> claim_names_command(const std::vector<std::string>& claims,
                                             const std::string& node) {
  static const char kScript[] =
      "local got = {} "
      "for i, key in ipairs(KEYS) do "
      "local v = redis.call('GET', key) "
      "if not v or v == ARGV[1] then redis.call('SET', key, ARGV[1], 'EX', ARGV[2]) got[i] = 1 "
      "else got[i] = 0 end "
      "end "
      "return got";
  std::vector<std::string> argv{"EVAL", kScript, std::to_string(claims.size())};
  for (const std::string& claim : claims) argv.push_back(name_key(claim));
  argv.push_back(node);
  argv.push_back(std::to_string(kNameLifeS));
  return argv;
}

std::vector<std::string> release_name_command(const std::string& claim, const std::string& node) {
  static const char kScript[] =
      "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end "
      "return 0";
  return {"EVAL", kScript, "1", name_key(claim), node};
}

std::vector<std::string> xadd_command(const std::string& room_name, const std::string& node,
                                      const SharedLine& line) {
  return {"XADD", room_stream_key(room_name), "MAXLEN", "~", std::to_string(kStreamKeep), "*",
          "n", node, "t", line.text, "w", line.to_whom,
          "p", std::to_string(line.to_place), "f", std::to_string(line.from_place)};
}

bool read_entry(const std::vector<std::string>& fields, EntryLine& into) {
  if (fields.size() % 2 != 0) return false;
  EntryLine e;
  int seen = 0;
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
    const std::string& key = fields[i];
    const std::string& value = fields[i + 1];
    if (key == "n") e.node = value, seen |= 1;
    else if (key == "t") e.line.text = value, seen |= 2;
    else if (key == "w") e.line.to_whom = value, seen |= 4;
    else if (key == "p") {
      if (!parse_unsigned(value, e.line.to_place)) return false;
      seen |= 8;
    } else if (key == "f") {
      if (!parse_unsigned(value, e.line.from_place)) return false;
      seen |= 16;
    }
  }
  if (seen != 31) return false;
  into = std::move(e);
  return true;
}

std::string StreamId::text() const { return std::to_string(ms) + "-" + std::to_string(seq); }

bool parse_stream_id(const std::string& text, StreamId& into) {
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  StreamId id;
  if (!parse_unsigned(text.substr(0, dash), id.ms) || !parse_unsigned(text.substr(dash + 1), id.seq))
    return false;
  into = id;
  return true;
}

LocalPlaces local_places(const SharedLine& line, bool own, bool private_line,
                         unsigned long long local_addressee) {
  LocalPlaces p;
  if (own) {
    p.to_place = private_line ? line.to_place : 0;
    p.from_place = line.from_place;
    return p;
  }
  if (!private_line) return p;
  // The posting server found the addressee at home: nobody here gets it.
  if (line.to_place != ~0ULL) p.to_place = ~0ULL;
  else p.to_place = local_addressee != 0 ? local_addressee : ~0ULL;
  return p;
}

}  // namespace tvl
